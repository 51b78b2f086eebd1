// End-to-end tests of the tessera program's file-set commands, run as a user
// runs them. The sets are made through the public interface by
// test::SetSession, which keeps a model of every matrix (its stored blocks
// and values) worked out from the puts alone; what the program prints and
// writes is compared with that model, or with Matrix Market files written
// here from a dense model.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "matrix_market.h"
#include "recstore.h"
#include "test_support/host.h"
#include "test_support/stored_sets.h"

namespace tessera {
namespace {

namespace mm = tessera::solve::mm;

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string quote(const std::string &s) { return "'" + s + "'"; }

std::string joined(const std::vector<std::string> &files) {
  std::string out;
  for (const std::string &f : files) out += " " + quote(f);
  return out;
}

// The program with these arguments (shell words), its status and output.
Outcome tessera(const std::string &args) {
  static const std::string dir = test::temp_dir();
  const std::string out = dir + "/out", err = dir + "/err";
  const int raw = std::system((quote(TESSERA_PROGRAM) + " " + args + " >" + out + " 2>" + err).c_str());
  Outcome r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

struct VariedSet {
  test::HostAreas host;
  test::SetSession session{test::temp_dir(), 3, 128};
  bool built = test::build_varied_set(session);
  std::string files() const { return joined(session.files()); }
};

TEST(ToolInfo, ShowsTheSetAndEveryMatrixAsTheModelSays) {
  VariedSet v;
  ASSERT_TRUE(v.built);
  const Outcome json = tessera("info --json" + v.files());
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json j = nlohmann::json::parse(json.out);
  EXPECT_EQ(j["record_length"], 128);
  EXPECT_EQ(j["findings"], 0);
  EXPECT_EQ(j["files"].size(), 3u);
  const auto &models = v.session.models();
  ASSERT_EQ(j["matrices"].size(), models.size());
  for (const auto &m : j["matrices"]) {
    const std::string name = m["name"];
    ASSERT_EQ(models.count(name), 1u) << name;
    const test::MatrixModel &model = models.at(name);
    EXPECT_EQ(m["qualifier"], model.qualifier) << name;
    EXPECT_EQ(m["type_code"], model.type) << name;
    EXPECT_EQ(m["items"], model.items) << name;
    EXPECT_EQ(m["form_code"], model.form) << name;
    EXPECT_EQ(m["rows"], model.rows) << name;
    EXPECT_EQ(m["columns"], model.cols) << name;
    EXPECT_EQ(m["block_order"], model.nb) << name;
    EXPECT_EQ(m["stored_blocks"], model.blocks.size()) << name;
    EXPECT_EQ(m["damaged"], false) << name;
    // Edge blocks share records, so a matrix holds fewer records than blocks.
    EXPECT_EQ(m["records"] > 0, !model.blocks.empty()) << name;
  }
  const Outcome text = tessera("info" + v.files());
  ASSERT_EQ(text.status, 0) << text.err;
  for (const auto &[name, model] : models) EXPECT_TRUE(contains(text.out, "\n" + name + " ")) << name;
  EXPECT_TRUE(contains(text.out, "records of 128 words")) << text.out;
}

TEST(ToolInfo, NamesFilesGivenWronglyAndUnknownMatrices) {
  VariedSet v;
  ASSERT_TRUE(v.built);
  const std::vector<std::string> &f = v.session.files();
  const std::string dir = test::temp_dir();
  struct Case {
    std::string files;
    std::vector<std::string> words;
  };
  std::ofstream(dir + "/notes.txt") << "a text file\n";
  const std::vector<Case> cases = {
      {joined({f[1], f[0], f[2]}), {"wrong order", "set1.hm' holds the set's header", "must come first"}},
      {joined({f[0], f[2], f[1]}), {"wrong order", "reads whole with them as"}},
      {joined({f[0], f[1]}), {"the set has 3 files", "a file is missing"}},
      {joined({f[0], f[1], dir + "/gone.hm"}), {"gone.hm': no such file"}},
      {joined({dir + "/notes.txt"}), {"notes.txt' is not a file of a file set"}},
  };
  for (const Case &c : cases) {
    const Outcome info = tessera("info" + c.files);
    EXPECT_EQ(info.status, 1) << c.files;
    const Outcome check = tessera("check" + c.files);
    EXPECT_EQ(check.status, 2) << c.files;  // the files cannot be read as a set
    for (const std::string &w : c.words) {
      EXPECT_TRUE(contains(info.err, w)) << info.err;
      EXPECT_TRUE(contains(check.err, w)) << check.err;
    }
  }
  const Outcome unknown = tessera("dump" + v.files() + " --matrix NOPE");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_TRUE(contains(unknown.err, "no matrix \"NOPE\" in the set; it holds:")) << unknown.err;
  EXPECT_TRUE(contains(unknown.err, "\"GEN\" (qualifier 1)")) << unknown.err;
  EXPECT_TRUE(contains(unknown.err, "\"LATE\" (qualifier 3)")) << unknown.err;
  for (const char *command : {"info", "check", "dump", "import", "export", "spy"}) {
    const Outcome help = tessera(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_TRUE(contains(help.out, "Example:\n  tessera " + std::string(command))) << help.out;
  }
}

// Word w (1-based) of record r of a set, rewritten through the record service.
void set_word(const std::vector<std::string> &files, int64_t r, int32_t w, int32_t value) {
  int32_t open = 5, one = 1, keep = 1, count = 0, spare = 0, L = 0;
  std::vector<int32_t> handles;
  for (const std::string &f : files) {
    int32_t h = 0;
    ASSERT_EQ(DAF_file_open(&h, f.c_str(), &open, &count, &spare, &L), 0);
    handles.push_back(h);
  }
  const size_t n = files.size();
  std::vector<int32_t> record(static_cast<size_t>(L));
  ASSERT_EQ(DAF_file_nrecord_read(handles[r % n], static_cast<int32_t>(r / n), L, 1, record.data()), 0);
  record[static_cast<size_t>(w - 1)] = value;
  ASSERT_EQ(DAF_file_nrecord_write(handles[r % n], static_cast<int32_t>(r / n), L, 1, record.data()), 0);
  for (size_t i = 0; i < n; ++i) DAF_file_close(&handles[i], files[i].c_str(), &one, &keep);
}

TEST(ToolCheck, ExitsByWhatItFindsWithOneLinePerFinding) {
  VariedSet v;
  ASSERT_TRUE(v.built);
  const Outcome clean = tessera("check" + v.files());
  EXPECT_EQ(clean.status, 0) << clean.out;
  EXPECT_TRUE(contains(clean.out, "sound:")) << clean.out;

  // A copy whose set header names a node-table capacity its records cannot
  // hold, and one whose directory root lost its right subtree.
  for (const auto &[word, value, where] :
       std::vector<std::tuple<int32_t, int32_t, std::string>>{{68, 1 << 30, "set header: "},
                                                              {72, 0, "directory: "}}) {
    const std::string dir = test::temp_dir();
    std::vector<std::string> copy;
    for (const std::string &f : v.session.files()) {
      copy.push_back(dir + "/" + std::filesystem::path(f).filename().string());
      std::filesystem::copy_file(f, copy.back());
    }
    set_word(copy, 0, word, value);
    const Outcome damaged = tessera("check" + joined(copy));
    EXPECT_EQ(damaged.status, 1) << damaged.out << damaged.err;
    std::istringstream lines(damaged.out);
    std::string line, last;
    bool seen = false;
    while (std::getline(lines, line)) {
      if (line.rfind(where, 0) == 0) {
        seen = true;
        EXPECT_TRUE(contains(line, "(record ")) << line;
      }
      last = line;
    }
    EXPECT_TRUE(seen) << damaged.out;
    EXPECT_EQ(last.rfind("damaged: ", 0), 0u) << damaged.out;
  }
}

// ---- Matrix Market round trips ---------------------------------------------------

// A dense model of a matrix in a Matrix Market file: values by (i, j).
using Dense = std::map<std::pair<int64_t, int64_t>, std::complex<double>>;

// The whole matrix a file describes (the other triangle filled in from a
// symmetric, Hermitian or skew-symmetric file).
Dense read_dense_model(const std::string &path, mm::Header *header = nullptr) {
  mm::Reader r(path);
  if (header != nullptr) *header = r.header();
  Dense d;
  mm::Entry e;
  while (r.next(e)) {
    const std::complex<double> v(e.re, e.im);
    if (v != 0.0) d[{e.row, e.col}] += v;
    if (e.row != e.col) {
      switch (r.header().symmetry) {
        case mm::Symmetry::symmetric: if (v != 0.0) d[{e.col, e.row}] += v; break;
        case mm::Symmetry::hermitian: if (v != 0.0) d[{e.col, e.row}] += std::conj(v); break;
        case mm::Symmetry::skew_symmetric: if (v != 0.0) d[{e.col, e.row}] -= v; break;
        default: break;
      }
    }
  }
  for (auto it = d.begin(); it != d.end();) it = it->second == 0.0 ? d.erase(it) : std::next(it);
  return d;
}

struct Kind {
  std::string type, form;
};

// A 37 x 37 matrix of the kind (two block rows and columns of 32 with an
// edge at the default record length), every third element non-zero, values
// exact in single precision: written as the file a user would have.
Dense write_source(const std::string &path, const Kind &k) {
  const int64_t n = 37;
  const bool complex = k.type == "complex";
  const bool symmetric = k.form == "symmetric";
  mm::Header h;
  h.format = mm::Format::coordinate;
  h.field = complex ? mm::Field::complex : (k.type == "int" ? mm::Field::integer : mm::Field::real);
  h.symmetry = !symmetric ? mm::Symmetry::general
                          : (complex ? mm::Symmetry::hermitian : mm::Symmetry::symmetric);
  h.rows = h.cols = n;
  h.entries = -1;
  mm::Writer w(path, h);
  for (int64_t j = 1; j <= n; ++j) {
    for (int64_t i = 1; i <= n; ++i) {
      if (symmetric && i < j) continue;                 // a symmetric file lists the lower triangle
      if (k.form == "upper" && i > j) continue;
      if (k.form == "diagonal" && i != j) continue;
      if ((i * 7 + j * 3) % 3 != 0 && i != j) continue;  // about a third of the rest
      const double re = static_cast<double>(i * 100 + j) * (j % 2 == 0 ? -1 : 1) *
                        (k.type == "int" ? 1 : 0.25);
      const double im = complex && !(symmetric && i == j) ? static_cast<double>(i - j) / 2 + 0.5 : 0;
      w.entry(i, j, re, im);
    }
  }
  w.close();
  return read_dense_model(path);
}

TEST(ToolImportExport, RoundTripsEveryTypeAndForm) {
  const std::string dir = test::temp_dir();
  const std::string set = joined({dir + "/rt1.hm", dir + "/rt2.hm"});
  int count = 0;
  for (const char *type : {"int", "float", "double", "complex"}) {
    for (const char *form : {"general", "symmetric", "upper", "diagonal"}) {
      SCOPED_TRACE(std::string(type) + " " + form);
      const Kind k{type, form};
      const std::string name = std::string(type).substr(0, 3) + "_" + std::string(form).substr(0, 4);
      const std::string source = dir + "/" + name + ".mtx";
      const Dense model = write_source(source, k);
      // The first import makes the set, the others add to it.
      const Outcome in = tessera("import " + quote(source) + set + " --matrix " + name + " --type " +
                             type + " --form " + form);
      ASSERT_EQ(in.status, 0) << in.err;
      ++count;
      // An array and a coordinate file in turn (both for the two kinds read
      // back below); a diagonal matrix is written as coordinates either way.
      const bool both = (std::string(type) == "double" && std::string(form) == "general") ||
                        (std::string(type) == "complex" && std::string(form) == "symmetric");
      for (const bool sparse : {false, true}) {
        if (!both && sparse != (count % 2 == 0 || std::string(form) == "diagonal")) continue;
        const std::string out = dir + "/" + name + (sparse ? ".sparse.mtx" : ".out.mtx");
        const Outcome ex = tessera("export" + set + " --matrix " + name + " -o " + quote(out) +
                               (sparse ? " --sparse" : ""));
        ASSERT_EQ(ex.status, 0) << ex.err;
        mm::Header h;
        EXPECT_EQ(read_dense_model(out, &h), model) << out;
        EXPECT_EQ(h.field, std::string(type) == "complex"
                               ? mm::Field::complex
                               : (std::string(type) == "int" ? mm::Field::integer : mm::Field::real));
        EXPECT_EQ(h.symmetry == mm::Symmetry::general, std::string(form) != "symmetric");
      }
      // The sparse file back into a second matrix: the same stored blocks
      // and values (for two kinds; the others differ only where tested above).
      if (!both) continue;
      const Outcome again = tessera("import " + quote(dir + "/" + name + ".sparse.mtx") + set +
                                " --matrix " + name + " --qualifier 2 --type " + type +
                                " --form " + form);
      ASSERT_EQ(again.status, 0) << again.err;
      const Outcome a = tessera("dump" + set + " --matrix " + name + " --qualifier 1");
      const Outcome b = tessera("dump" + set + " --matrix " + name + " --qualifier 2");
      ASSERT_EQ(a.status, 0) << a.err;
      EXPECT_EQ(a.out.substr(a.out.find('\n', a.out.find('\n') + 1)),
                b.out.substr(b.out.find('\n', b.out.find('\n') + 1)));
    }
  }
  const Outcome check = tessera("check" + set);
  EXPECT_EQ(check.status, 0) << check.out;
  const nlohmann::json info = nlohmann::json::parse(tessera("info --json" + set).out);
  ASSERT_EQ(info["matrices"].size(), count + 2u);
  std::map<std::string, int> blocks;
  for (const auto &m : info["matrices"]) {
    const std::string key = m["name"];
    if (blocks.count(key) != 0) {
      EXPECT_EQ(blocks[key], m["stored_blocks"].get<int>()) << key;
    }
    blocks[key] = m["stored_blocks"];
  }
}

TEST(ToolImport, SumsRepeatedEntriesAndLeavesNothingWhenItFails) {
  const std::string dir = test::temp_dir();
  const std::string set = joined({dir + "/s1.hm"});
  std::ofstream(dir + "/dup.mtx") << "%%MatrixMarket matrix coordinate real general\n"
                                     "40 40 7\n1 1 1\n39 38 5\n1 1 2\n2 3 -1\n1 1 4\n39 38 -5\n40 40 9\n";
  // Passes of two entries: the repeats fall into different passes.
  const Outcome in = tessera("import " + quote(dir + "/dup.mtx") + set + " --matrix D --pass-entries 2");
  ASSERT_EQ(in.status, 0) << in.err;
  const Outcome sparse = tessera("dump" + set + " --matrix D --sparse");
  const Dense got = [&] {
    std::ofstream(dir + "/got.mtx") << sparse.out;
    return read_dense_model(dir + "/got.mtx");
  }();
  const Dense want = {{{1, 1}, 7.0}, {{2, 3}, -1.0}, {{40, 40}, 9.0}};
  EXPECT_EQ(got, want);

  // A malformed file into a new set: the message names the file and the
  // line, and no file of the set is left.
  std::ofstream(dir + "/bad.mtx") << "%%MatrixMarket matrix coordinate real general\n"
                                     "3 3 2\n1 1 1.5\n2 x 4\n";
  const std::string fresh = joined({dir + "/new1.hm", dir + "/new2.hm"});
  const Outcome bad = tessera("import " + quote(dir + "/bad.mtx") + fresh + " --matrix B");
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(contains(bad.err, "bad.mtx:4: expected")) << bad.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/new1.hm"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/new2.hm"));

  // Into the existing set: an entry below the diagonal of an upper matrix,
  // and a name that exists. The set keeps its one matrix and stays sound.
  std::ofstream(dir + "/low.mtx") << "%%MatrixMarket matrix coordinate real general\n"
                                     "3 3 2\n1 2 1\n3 1 4\n";
  const Outcome low = tessera("import " + quote(dir + "/low.mtx") + set + " --matrix U --form upper");
  EXPECT_EQ(low.status, 1);
  EXPECT_TRUE(contains(low.err, "low.mtx:4: expected entries on or above the diagonal")) << low.err;
  const Outcome exists = tessera("import " + quote(dir + "/dup.mtx") + set + " --matrix D");
  EXPECT_EQ(exists.status, 1);
  EXPECT_TRUE(contains(exists.err, "already holds a matrix \"D\"")) << exists.err;
  EXPECT_EQ(tessera("check" + set).status, 0);
  EXPECT_EQ(nlohmann::json::parse(tessera("info --json" + set).out)["matrices"].size(), 1u);
}

TEST(ToolDump, RegionsReadAsTheModelSays) {
  VariedSet v;
  ASSERT_TRUE(v.built);
  const std::string dir = test::temp_dir();
  // A region of the general matrix across block boundaries, as an array.
  const Outcome gen = tessera("dump" + v.files() + " --matrix GEN --rows 5:20 --cols 30:41 -o " +
                          quote(dir + "/gen.mtx"));
  ASSERT_EQ(gen.status, 0) << gen.err;
  const test::MatrixModel &g = v.session.models().at("GEN");
  Dense want;
  for (int32_t j = 30; j <= 41; ++j)
    for (int32_t i = 5; i <= 20; ++i)
      if (g.values.count({i, j}) != 0) want[{i - 4, j - 29}] = g.values.at({i, j});
  EXPECT_EQ(read_dense_model(dir + "/gen.mtx"), want);

  // The symmetric matrix reads whole: a region across the diagonal holds
  // the stored triangle and its mirror, also from the stored blocks only.
  const test::MatrixModel &late = v.session.models().at("LATE");  // complex, Hermitian
  for (const bool sparse : {false, true}) {
    const Outcome sym = tessera("dump" + v.files() + " --matrix LATE --rows 3:20 --cols 1:25" +
                            (sparse ? " --sparse" : ""));
    ASSERT_EQ(sym.status, 0) << sym.err;
    std::ofstream(dir + "/late.mtx") << sym.out;
    const Dense got = read_dense_model(dir + "/late.mtx");
    for (int32_t j = 1; j <= 25; ++j)
      for (int32_t i = 3; i <= 20; ++i) {
        if (i == j) continue;  // the library returns the diagonal of a Hermitian block conjugated
        const auto at = late.values.find({std::min(i, j), std::max(i, j)});
        std::complex<double> v2 = at == late.values.end() ? 0.0 : std::complex<double>(at->second, -at->second);
        if (i > j) v2 = std::conj(v2);
        const auto it = got.find({i - 2, j});
        EXPECT_EQ(it == got.end() ? 0.0 : it->second, v2) << i << ", " << j << (sparse ? " sparse" : "");
      }
  }
}

}  // namespace
}  // namespace tessera
