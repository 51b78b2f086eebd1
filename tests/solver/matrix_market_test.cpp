// Matrix Market files: every kind of malformed file refused with its file,
// line and expectation; bit-exact round trips through the writer and the
// reader for every format, field and symmetry; the solver's symmetric reader
// against a dense model for each way of listing a matrix; a large file read
// with bounded memory; failed writes that leave nothing behind.
#include "matrix_market.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "dense_check.h"
#include "generate.h"

namespace tessera::test {
namespace {

namespace mm = solve::mm;
namespace fs = std::filesystem;
using solve::InputError;

class MatrixMarket : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *root = std::getenv("TESSERA_TEST_TMP");
    fs::path base = root != nullptr ? root : "/tmp";
    fs::create_directories(base);
    std::string pattern = (base / "mm-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string &name, const std::string &text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // The files in the directory: what a failed write must not leave.
  size_t files() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  fs::path dir_;
};

std::string message_of(const std::function<void()> &f) {
  try {
    f();
  } catch (const InputError &e) {
    return e.what();
  }
  return "(accepted)";
}

void read_all(const std::string &path) {
  mm::Reader r(path);
  mm::Entry e;
  while (r.next(e)) {
  }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST_F(MatrixMarket, MalformedFilesAreRefusedWithFileLineAndExpectation) {
  const std::string coo = "%%MatrixMarket matrix coordinate real general\n";
  const std::string sym = "%%MatrixMarket matrix coordinate real symmetric\n";
  struct Case {
    std::string text;
    int line;
    std::string says;
    bool symmetric_reader = false;  // read_symmetric instead of the plain reader
  };
  const std::vector<Case> cases = {
      {"", 1, "the banner \"%%MatrixMarket matrix <format> <field> <symmetry>\", found the end"},
      {"3 3 1\n1 1 1\n", 1,
       "the banner \"%%MatrixMarket matrix <format> <field> <symmetry>\", found \"3\""},
      {"%%MatrixMarket vector coordinate real general\n", 1,
       "the object \"matrix\", found \"vector\""},
      {"%%MatrixMarket matrix sparse real general\n", 1,
       "the format \"coordinate\" or \"array\", found \"sparse\""},
      {"%%MatrixMarket matrix coordinate float general\n", 1,
       "the field \"real\", \"integer\", \"complex\" or \"pattern\", found \"float\""},
      {"%%MatrixMarket matrix coordinate real\n", 1,
       "the symmetry \"general\", \"symmetric\", \"skew-symmetric\" or \"hermitian\", found the "
       "end of the line"},
      {"%%MatrixMarket matrix coordinate real general extra\n", 1,
       "the end of the banner, found \"extra\""},
      {"%%MatrixMarket matrix array pattern general\n", 1,
       "the format \"coordinate\" for the field \"pattern\""},
      {"%%MatrixMarket matrix coordinate real hermitian\n", 1,
       "the field \"complex\" for a hermitian matrix"},
      {coo + "% only comments\n\n", 4,
       "the size line \"rows columns entries\", found the end of the file"},
      {coo + "% c\n3 3\n", 3, "the size line \"rows columns entries\", found \"3 3\""},
      {coo + "3 x 2\n", 2, "with a whole number of columns, found \"x\""},
      {coo + "-3 3 1\n", 2, "with a whole number of rows, found \"-3\""},
      {coo + "3 3 1 9\n", 2, "found \"9\" after it"},
      {"%%MatrixMarket matrix array real general\n2 2 4\n", 2,
       "the size line \"rows columns\", found \"4\" after it"},
      {sym + "3 4 1\n", 2,
       "a square matrix for the symmetry \"symmetric\", found 3 rows and 4 columns"},
      {coo + "3 3 2\n1 1 1.0\n4 1 2.0\n", 4,
       "the row index of entry 2 (a whole number from 1 to 3), found \"4\""},
      {coo + "3 3 2\n1 1 1.0\n% comment\n\n2 0 2.0\n", 6,
       "the column index of entry 2 (a whole number from 1 to 3), found \"0\""},
      {coo + "3 3 1\n1 1 abc\n", 3, "the value of entry 1 (a real number), found \"abc\""},
      {coo + "3 3 1\n1 1 1e400\n", 3, "the value of entry 1 (a real number), found \"1e400\""},
      {coo + "3 3 1\n1 1\n", 3, "the value of entry 1 (a real number), found the end of the line"},
      {coo + "3 3 1\n1 1 2.0 5\n", 3, "the end of the line after entry 1, found \"5\""},
      {coo + "3 3 3\n1 1 1\n2 2 1\n", 5, "entry 3 of 3, found the end of the file"},
      {coo + "3 3 2\n1 1 1\n2 2 1\n3 3 1\n", 5, "the end of the file after 2 entries, found \"3\""},
      {"%%MatrixMarket matrix coordinate integer general\n3 3 1\n1 1 1.5\n", 3,
       "the value of entry 1 (an integer of at most 2^53 in magnitude), found \"1.5\""},
      {"%%MatrixMarket matrix coordinate complex general\n3 3 1\n1 1 1.5\n", 3,
       "the imaginary part of entry 1 (a number), found the end of the line"},
      {"%%MatrixMarket matrix coordinate real skew-symmetric\n3 3 1\n2 2 1.5\n", 3,
       "entry 1 off the diagonal"},
      {"%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n", 6,
       "entry 4 of 4, found the end of the file"},
      {"%%MatrixMarket matrix array real symmetric\n2 2\n1\n2\n3\n4\n", 6,
       "the end of the file after 3 entries"},
      {"%%MatrixMarket matrix array real general\n1 2\n1 2\n", 3,
       "the end of the line after entry 1, found \"2\""},
      // What the solver's reader refuses besides.
      {"%%MatrixMarket matrix coordinate pattern symmetric\n2 2 1\n1 1\n", 1,
       "the field \"real\" or \"integer\", found \"pattern\" (a pattern matrix has no values)",
       true},
      {"%%MatrixMarket matrix coordinate complex symmetric\n2 2 1\n1 1 1 0\n", 1,
       "the field \"real\" or \"integer\", found \"complex\"", true},
      {"%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 1\n", 1,
       "the symmetry \"symmetric\" or \"general\", found \"skew-symmetric\"", true},
      {"%%MatrixMarket matrix array real symmetric\n2 2\n1\n2\n3\n", 1,
       "a coordinate (sparse) matrix, found an array one", true},
      {coo + "% c\n2 3 1\n1 1 1\n", 3, "a square matrix, found 2 rows and 3 columns", true},
      {coo + "0 0 0\n", 2, "from 1 to 2147483647 rows, found 0", true},
      {sym + "2 2 2\n1 1 1\n2 2 nan\n", 4, "the value of entry 2 (a finite number), found \"nan\"",
       true},
      {sym + "2 2 2\n1 1 inf\n2 2 1\n", 3, "the value of entry 1 (a finite number), found \"inf\"",
       true},
      {sym + "2 2 2\n1 1 1\n3 2 1\n", 4,
       "the row index of entry 2 (a whole number from 1 to 2), found \"3\"", true},
      {sym + "2 2 3\n1 1 1\n2 2 1\n", 5, "entry 3 of 3, found the end of the file", true},
  };
  int i = 0;
  for (const Case &c : cases) {
    const std::string path = file("bad" + std::to_string(i++) + ".mtx", c.text);
    SCOPED_TRACE(c.text);
    const std::string got =
        message_of([&] { c.symmetric_reader ? (void)mm::read_symmetric(path) : read_all(path); });
    EXPECT_EQ(got.rfind(path + ":" + std::to_string(c.line) + ": expected ", 0), 0u) << got;
    EXPECT_NE(got.find(c.says), std::string::npos) << got;
  }
  // A line longer than the buffer, and a file that is not there.
  const std::string path = file("long.mtx", coo + "1 1 1\n1 1 " + std::string(1 << 21, '1') + "\n");
  EXPECT_NE(message_of([&] { read_all(path); }).find(":3: expected a line of at most 1 MiB"),
            std::string::npos);
  EXPECT_NE(
      message_of([&] { read_all((dir_ / "none.mtx").string()); }).find("none.mtx: cannot open"),
      std::string::npos);
}

// Special values every field must carry exactly.
std::vector<double> awkward_values(std::mt19937_64 &rng, size_t count) {
  std::vector<double> v = {0.0,
                           -0.0,
                           1.0 / 3,
                           -M_PI,
                           std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::infinity(),
                           1e-300,
                           123456789.0,
                           0.1};
  std::uniform_real_distribution<double> unit(-1, 1);
  std::uniform_int_distribution<int> exponent(-300, 300);
  while (v.size() < count) v.push_back(std::ldexp(unit(rng), exponent(rng) / 2));
  v.resize(count);
  return v;
}

TEST_F(MatrixMarket, EveryFormFieldAndSymmetryRoundTripsBitForBit) {
  std::mt19937_64 rng(7);
  for (mm::Format format : {mm::Format::coordinate, mm::Format::array})
    for (mm::Field field :
         {mm::Field::real, mm::Field::integer, mm::Field::complex, mm::Field::pattern})
      for (mm::Symmetry sym : {mm::Symmetry::general, mm::Symmetry::symmetric,
                               mm::Symmetry::skew_symmetric, mm::Symmetry::hermitian}) {
        if (field == mm::Field::pattern &&
            (format == mm::Format::array || sym == mm::Symmetry::skew_symmetric))
          continue;
        if (sym == mm::Symmetry::hermitian && field != mm::Field::complex) continue;
        for (bool open_count : {false, true}) {
          if (open_count && format == mm::Format::array) continue;
          SCOPED_TRACE(std::string(mm::name(format)) + " " + mm::name(field) + " " + mm::name(sym) +
                       (open_count ? " (count completed at close)" : ""));
          const int64_t rows = 6, cols = sym == mm::Symmetry::general ? 4 : 6;
          // The entries, in file order.
          std::vector<mm::Entry> want;
          for (int64_t j = 1; j <= cols; ++j)
            for (int64_t i = 1; i <= rows; ++i) {
              if (sym != mm::Symmetry::general &&
                  (i < j || (i == j && sym == mm::Symmetry::skew_symmetric)))
                continue;
              if (format == mm::Format::coordinate && (i + 2 * j) % 3 == 0) continue;  // sparse
              want.push_back({i, j, 0, 0});
            }
          if (format == mm::Format::coordinate) want.push_back(want.front());  // a duplicate stays
          const std::vector<double> re = awkward_values(rng, want.size()),
                                    im = awkward_values(rng, want.size());
          std::uniform_int_distribution<int64_t> whole(-(int64_t{1} << 53), int64_t{1} << 53);
          for (size_t k = 0; k < want.size(); ++k) {
            if (field == mm::Field::integer) {
              want[k].re = k == 0 ? -9007199254740992.0 : static_cast<double>(whole(rng));
            } else if (field != mm::Field::pattern) {
              want[k].re = re[k];
              if (field == mm::Field::complex) want[k].im = im[k];
            } else {
              want[k].re = 1;  // what the reader reports for a pattern entry
            }
          }
          mm::Header h;
          h.format = format;
          h.field = field;
          h.symmetry = sym;
          h.rows = rows;
          h.cols = cols;
          h.entries = open_count ? -1 : static_cast<int64_t>(want.size());
          const std::string path = (dir_ / "trip.mtx").string();
          {
            mm::Writer w(path, h, "written by the round-trip test\nsecond line");
            for (const mm::Entry &e : want)
              format == mm::Format::coordinate ? w.entry(e.row, e.col, e.re, e.im)
                                               : w.value(e.re, e.im);
            w.close();
          }
          mm::Reader r(path);
          EXPECT_EQ(r.header().format, format);
          EXPECT_EQ(r.header().field, field);
          EXPECT_EQ(r.header().symmetry, sym);
          EXPECT_EQ(r.header().rows, rows);
          EXPECT_EQ(r.header().cols, cols);
          EXPECT_EQ(r.header().entries, static_cast<int64_t>(want.size()));
          mm::Entry e;
          for (const mm::Entry &w : want) {
            ASSERT_TRUE(r.next(e));
            EXPECT_EQ(e.row, w.row);
            EXPECT_EQ(e.col, w.col);
            EXPECT_TRUE(same_bits(e.re, w.re)) << e.re << " " << w.re;
            EXPECT_TRUE(same_bits(e.im, w.im)) << e.im << " " << w.im;
          }
          EXPECT_FALSE(r.next(e));
          EXPECT_EQ(files(), 1u);  // no temporary left beside it
        }
      }
}

TEST_F(MatrixMarket, DenseColumnsStreamAndRoundTrip) {
  const int64_t n = 5, k = 3, lda = 7;
  std::vector<double> x(lda * k);
  std::mt19937_64 rng(3);
  for (double &v : x) v = std::uniform_real_distribution<double>(-1e5, 1e5)(rng) / 7;
  const std::string path = (dir_ / "x.mtx").string();
  mm::write_dense(path, n, k, x.data(), lda, "solution");
  const mm::DenseMatrix d = mm::read_dense(path);
  ASSERT_EQ(d.rows, n);
  ASSERT_EQ(d.cols, k);
  for (int64_t j = 0; j < k; ++j)
    for (int64_t i = 0; i < n; ++i) EXPECT_TRUE(same_bits(d.values[i + j * n], x[i + j * lda]));
  // Two columns at a time, as the solver streams a dense matrix.
  mm::Reader r(path);
  std::vector<double> panel(lda * 2, -1);
  EXPECT_EQ(r.read_columns(panel.data(), lda, 2), 2);
  EXPECT_TRUE(same_bits(panel[1 + lda], x[1 + lda]));
  EXPECT_EQ(r.read_columns(panel.data(), lda, 2), 1);
  EXPECT_TRUE(same_bits(panel[4], x[4 + 2 * lda]));
  EXPECT_EQ(r.read_columns(panel.data(), lda, 2), 0);

  // A symmetric and a skew-symmetric array: each column's stored part, the
  // rest completed by read_dense.
  for (mm::Symmetry sym : {mm::Symmetry::symmetric, mm::Symmetry::skew_symmetric}) {
    const double sign = sym == mm::Symmetry::symmetric ? 1 : -1;
    std::vector<double> a(n * n);
    for (int64_t j = 0; j < n; ++j)
      for (int64_t i = 0; i < n; ++i)
        a[i + j * n] = i == j ? (sign > 0 ? 10.0 + i : 0.0)
                              : (i > j ? 1 : sign) * (1 + std::max(i, j) + 10.0 * std::min(i, j));
    mm::Header h;
    h.format = mm::Format::array;
    h.symmetry = sym;
    h.rows = h.cols = n;
    {
      mm::Writer w(path, h);
      w.columns(a.data(), n, 2);
      w.columns(a.data() + 2 * n, n, 3);
      w.close();
    }
    EXPECT_EQ(mm::read_dense(path).values, a) << mm::name(sym);
    mm::Reader s(path);
    std::vector<double> cols(n * n, -1);
    EXPECT_EQ(s.read_columns(cols.data(), n, n), n);
    for (int64_t j = 0; j < n; ++j)
      for (int64_t i = 0; i < n; ++i)
        EXPECT_EQ(cols[i + j * n], i >= j ? a[i + j * n] : -1) << i << " " << j;
  }
  // A right-hand side in coordinate form works too; unlisted entries are 0.
  const std::string b = file(
      "b.mtx", "%%MatrixMarket matrix coordinate real general\n3 2 3\n1 1 2\n3 2 -1\n1 1 0.5\n");
  EXPECT_EQ(mm::read_dense(b).values, (std::vector<double>{2.5, 0, 0, 0, 0, -1}));
}

// The solver's reader against a dense model: one symmetric matrix listed in
// every way a file may list it gives the same compressed columns.
TEST_F(MatrixMarket, SymmetricReaderTakesEveryListingAndRefusesDisagreement) {
  const int n = 7;
  std::mt19937_64 rng(11);
  std::map<std::pair<int, int>, double> lower;  // (row, col), row >= col, 1-based
  for (int j = 1; j <= n; ++j)
    for (int i = j; i <= n; ++i)
      if (i == j || (i * 3 + j) % 4 == 0)
        lower[{i, j}] = std::ldexp(static_cast<double>(rng() % 2001) - 1000, -6);
  auto expect_model = [&](const solve::SparseSym &a) {
    expect_well_formed(a);
    ASSERT_EQ(a.n, n);
    ASSERT_EQ(a.entries(), static_cast<int64_t>(lower.size()));
    for (int j = 0; j < n; ++j)
      for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p) {
        auto it = lower.find({a.rowind[p] + 1, j + 1});
        ASSERT_NE(it, lower.end());
        EXPECT_EQ(a.values[p], it->second) << a.rowind[p] << " " << j;
      }
  };
  auto num = [](double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return std::string(text);
  };
  // Lines "i j v"; each value split into two exact halves listed apart
  // (duplicates to be summed) when split is set.
  auto listing = [&](bool lo, bool up, bool split) {
    std::vector<std::string> lines;
    for (auto [ij, v] : lower) {
      auto [i, j] = ij;
      std::vector<std::pair<int, int>> at;
      if (lo || i == j) at.push_back({i, j});
      if (up && i != j) at.push_back({j, i});
      for (auto [r, c] : at) {
        const double part = split ? std::ldexp(std::round(std::ldexp(v, 3)), -4) : v;
        lines.push_back(std::to_string(r) + " " + std::to_string(c) + " " + num(part));
        if (split)
          lines.push_back(std::to_string(r) + " " + std::to_string(c) + " " + num(v - part));
      }
    }
    std::shuffle(lines.begin(), lines.end(), rng);
    return lines;
  };
  auto write = [&](const std::string &kind, const std::vector<std::string> &lines) {
    std::ostringstream s;
    s << "%%MatrixMarket matrix coordinate " << kind << "\n% listing\n"
      << n << " " << n << " " << lines.size() << "\n";
    for (const std::string &l : lines) s << l << "\n";
    return file("a.mtx", s.str());
  };
  for (bool split : {false, true}) {
    SCOPED_TRACE(split ? "duplicates" : "no duplicates");
    expect_model(mm::read_symmetric(write("real symmetric", listing(true, false, split))));
    expect_model(mm::read_symmetric(write("real symmetric", listing(false, true, split))));
    expect_model(mm::read_symmetric(write("real symmetric", listing(true, true, split))));
    expect_model(mm::read_symmetric(write("real general", listing(true, true, split))));
  }
  // Integer values, and a general file whose halves differ only by rounding.
  expect_model(mm::read_symmetric(write("real general", [&] {
    std::vector<std::string> lines;
    char text[80];
    for (auto [ij, v] : lower) {
      std::snprintf(text, sizeof text, "%d %d %.17g", ij.first, ij.second, v);
      lines.push_back(text);
      if (ij.first != ij.second) {
        std::snprintf(text, sizeof text, "%d %d %.17g", ij.second, ij.first, v * (1 + 1e-14));
        lines.push_back(text);
      }
    }
    return lines;
  }())));
  for (auto &[ij, v] : lower) v = std::round(v * 64);
  expect_model(mm::read_symmetric(write("integer symmetric", listing(false, true, false))));

  // Halves that disagree: the largest difference is named with its place.
  auto refusal = [&](const std::string &kind, const std::vector<std::string> &extra) {
    std::vector<std::string> lines = listing(true, true, false);
    lines.insert(lines.end(), extra.begin(), extra.end());
    const std::string path = write(kind, lines);
    return message_of([&] { mm::read_symmetric(path); });
  };
  const double a62 = lower.at({6, 2});
  std::string got = refusal("real general", {"2 6 0.25", "7 1 1e-3"});
  EXPECT_NE(got.find(": expected symmetric values, found |a(6,2) - a(2,6)| = |" + num(a62) + " - " +
                     num(a62 + 0.25) + "| = 0.25, the largest of 2 differences beyond 1e-12 times"),
            std::string::npos)
      << got;
  // An entry with no mirror at all.
  got = refusal("real symmetric", {"1 7 4"});
  EXPECT_NE(got.find("expected the two triangles a symmetric file lists to agree, found |a(7,1) - "
                     "a(1,7)| = |0 - 4| = 4, the largest of 1 difference "),
            std::string::npos)
      << got;
}

// The reader's memory does not grow with the file, and read_symmetric holds
// the matrix plus 12 bytes per listed entry while it builds it. Peak resident
// set growth is measured after resetting the peak (/proc/self/clear_refs).
bool reset_peak() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  f.close();
  return f.good();
}
long peak_kib() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST_F(MatrixMarket, LargeFileIsReadInBoundedMemory) {
  // Both halves of laplace2d:K as a general file, rows in file order.
  const int32_t k = 300;
  const solve::SparseSym lap = solve::laplace2d(k);
  const std::string path = (dir_ / "big.mtx").string();
  mm::Header h;
  h.rows = h.cols = lap.n;
  h.entries = 2 * lap.entries() - lap.n;
  {
    mm::Writer w(path, h);
    for (int32_t j = 0; j < lap.n; ++j)
      for (int64_t p = lap.colptr[j]; p < lap.colptr[j + 1]; ++p) {
        w.entry(lap.rowind[p] + 1, j + 1, lap.values[p]);
        if (lap.rowind[p] != j) w.entry(j + 1, lap.rowind[p] + 1, lap.values[p]);
      }
    w.close();
  }
  const double file_mib = static_cast<double>(fs::file_size(path)) / (1 << 20);
  const bool measured = reset_peak();
  const long before = peak_kib();
  {
    mm::Reader r(path);
    mm::Entry e;
    int64_t count = 0;
    while (r.next(e)) ++count;
    EXPECT_EQ(count, h.entries);
  }
  const long streaming = peak_kib() - before;
  reset_peak();
  const long before_csc = peak_kib();
  const solve::SparseSym a = mm::read_symmetric(path);
  const long building = peak_kib() - before_csc;
  EXPECT_EQ(a.colptr, lap.colptr);
  EXPECT_EQ(a.rowind, lap.rowind);
  EXPECT_EQ(a.values, lap.values);
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "memory is not measured under AddressSanitizer";
#endif
  if (!measured) GTEST_SKIP() << "the peak resident set cannot be reset here";
  // Streaming: the 1 MiB buffer and nothing that grows with the file.
  EXPECT_LT(streaming, 2 * 1024) << "file " << file_mib << " MiB";
  // Building: 12 bytes per listed entry, 16 per column for the counts, 8 per
  // column for the symmetry check's row scales, plus 2 MiB.
  const double bound_kib = (12.0 * h.entries + 24.0 * (lap.n + 1)) / 1024 + 2048;
  EXPECT_LT(building, bound_kib) << "file " << file_mib << " MiB";
}

TEST_F(MatrixMarket, FailedWritesLeaveNothingBehindAndKeepTheOldFile) {
  const std::string path = file("x.mtx", "old contents\n");
  mm::Header h;
  h.format = mm::Format::array;
  h.rows = 3;
  h.cols = 1;
  {
    mm::Writer w(path, h);
    w.value(1);
  }  // never closed: dropped
  {
    mm::Writer w(path, h);
    w.value(1);
    EXPECT_THROW(w.close(), std::invalid_argument);  // two values short
  }
  EXPECT_EQ(files(), 1u);
  {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "old contents");
  }
  try {
    const double one = 1;
    mm::write_dense((dir_ / "no" / "x.mtx").string(), 1, 1, &one, 1);
    ADD_FAILURE() << "accepted";
  } catch (const mm::OutputError &e) {
    EXPECT_NE(std::string(e.what()).find("cannot create " + (dir_ / "no" / "x.mtx").string() +
                                         ": No such file"),
              std::string::npos)
        << e.what();
  }
  // A full disk, as a file-size limit: the write fails, names the file, and
  // leaves the old file as it was and no partial one. In a child process, so
  // the limit binds nothing else.
  auto past_the_limit = [&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 16, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::vector<double> big(100000, 1.0 / 3);
    const int64_t n = static_cast<int64_t>(big.size());
    try {
      mm::write_dense(path, n, 1, big.data(), n);
    } catch (const mm::OutputError &e) {
      std::fprintf(stderr, "%s\n", e.what());
      return files() == 1 ? 0 : 2;
    }
    return 1;
  };
  EXPECT_EXIT(std::exit(past_the_limit()), ::testing::ExitedWithCode(0),
              "cannot write .*x.mtx: File too large");
  EXPECT_EQ(files(), 1u);
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "old contents");
}

TEST_F(MatrixMarket, SymmetricReaderNeedsAFileItCanReadTwice) {
  const std::string path = (dir_ / "pipe.mtx").string();
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::thread feed([&] {
    std::ofstream(path) << "%%MatrixMarket matrix coordinate real symmetric\n1 1 1\n1 1 2\n";
  });
  const std::string got = message_of([&] { mm::read_symmetric(path); });
  feed.join();
  EXPECT_EQ(got, path + ": cannot be read twice: not a regular file");
}

}  // namespace
}  // namespace tessera::test
