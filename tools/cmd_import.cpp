// tessera import: a Matrix Market file into a new matrix of a file set (an
// existing set, or a new one when none of the files exists), streaming.
//
// The file is read once, entry by entry, with the solver's reader. Entries
// are gathered in passes of a bounded number; each pass is sorted by block,
// and every block it touches is read, added to and written back with
// hmgets and hmputs, so memory does not grow with the file and entries
// listed twice are summed (as finite-element assembly does), also across
// passes. A failure removes what the import made: the new matrix, and the
// set when the import created it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "command.h"
#include "matrix_io.h"
#include "platsvc.h"
#include "set_view.h"
#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"

namespace tessera::tool {
namespace {

struct Options {
  std::string mtx;
  std::vector<std::string> files;
  std::string matrix;
  int32_t qualifier = 1;
  std::string type;
  std::string form;
  int32_t record_length = 2048;
  int32_t hyperblock = 0;
  int64_t pass_entries = 1 << 21;
};

// The buffer pool of the import's control area stays near this.
constexpr int64_t kPoolBytes = 64LL << 20;
constexpr int32_t kMaxHyperblock = 8;

// An entry as the matrix stores it: row and stored column (1-based).
struct Stored {
  int32_t row, col;
  double re, im;
};

class LibraryError : public UserError {
 public:
  LibraryError(const std::string &what, int32_t ierr)
      : UserError(what + ": " + tessera_status_text(ierr) + " (status " + std::to_string(ierr) + ")") {}
};

int32_t type_code(const std::string &name, mm::Field field) {
  if (name.empty()) {
    switch (field) {
      case mm::Field::integer: return TESSERA_TYPE_INT32;
      case mm::Field::complex: return TESSERA_TYPE_COMPLEX_DOUBLE;
      default: return TESSERA_TYPE_DOUBLE;
    }
  }
  if (name == "int") return TESSERA_TYPE_INT32;
  if (name == "float") return TESSERA_TYPE_FLOAT;
  if (name == "double") return TESSERA_TYPE_DOUBLE;
  if (name == "complex") return TESSERA_TYPE_COMPLEX_DOUBLE;
  return TESSERA_TYPE_COMPLEX_FLOAT;  // "complex-float"
}

int32_t form_code(const std::string &name, mm::Symmetry symmetry) {
  if (name.empty()) {
    return symmetry == mm::Symmetry::symmetric || symmetry == mm::Symmetry::hermitian
               ? TESSERA_FORM_SYMMETRIC
               : TESSERA_FORM_GENERAL;
  }
  if (name == "symmetric") return TESSERA_FORM_SYMMETRIC;
  if (name == "upper") return TESSERA_FORM_UPPER;
  if (name == "diagonal") return TESSERA_FORM_DIAGONAL;
  return TESSERA_FORM_GENERAL;
}

// A control area and one open set, and what the import made in it, undone
// unless the import completes.
class Target {
 public:
  explicit Target(const Options &o) : o_(o) {
    Xerror = reinterpret_cast<char *>(trace_);
    Xcache = reinterpret_cast<char *>(cache_);
    Xchosky = reinterpret_cast<char *>(chosky_);
  }
  ~Target() {
    if (D_ != 0) {
      // An unfinished import: the matrix goes, and the set when it is new.
      int32_t ierr = 0;
      hmkilm(ctrl_.data(), name_words_, &o_.qualifier, &P_, &ierr);
    }
    if (P_ != 0) {
      int32_t ierr = 0;
      if (created_) {
        hmkilf(ctrl_.data(), &P_, &ierr);
      } else {
        hmremf(ctrl_.data(), &P_, &ierr);
      }
    }
  }

  void open_set() {
    size_t exist = 0;
    for (const std::string &f : o_.files) exist += CFI_ask_file_exist(f.c_str()) == 0 ? 1 : 0;
    if (exist != 0 && exist != o_.files.size()) {
      throw UserError("some of the files exist and some do not: give the files of one set, or "
                      "names of files that do not exist yet for a new set");
    }
    created_ = exist == 0;
    int32_t L = o_.record_length;
    if (!created_) {
      // The set must be whole before anything is added to it.
      SetView view(o_.files);
      const int64_t findings = tessera_view_check(view.get(), nullptr, nullptr);
      if (findings > 0) {
        throw UserError("the set is damaged (" + std::to_string(findings) +
                        " findings; tessera check lists them): nothing was imported");
      }
      L = view.set().record_length;
    }
    if (L < 128) throw UserError("--record-length " + std::to_string(L) + " is below 128");
    int32_t b1 = o_.hyperblock;
    if (b1 < 1) {
      const int64_t buffers = kPoolBytes / (4 * ((int64_t{L} + 127) / 128 * 128));
      b1 = static_cast<int32_t>(std::sqrt(std::max<double>((buffers - 21) / 18.0, 1.0)));
      b1 = std::clamp(b1, 1, kMaxHyperblock);
    }
    const int32_t ndesc = 2;
    int32_t length = tessera_control_length(L, 1, ndesc, tessera_buffers_for_hyperblock(b1, ndesc));
    if (length == 0) throw UserError("no control area fits records of " + std::to_string(L) + " words");
    ctrl_.assign(static_cast<size_t>(length), 0);
    int32_t nfs = 1, option = 0, ierr = 0;
    hminmf(ctrl_.data(), &length, &nfs, &ndesc, &option, &ierr);
    if (ierr != 0) throw LibraryError("the control area", ierr);
    TESSERA_CTRL(ctrl_.data(), TESSERA_CTRL_RECORD_LENGTH) = L;
    std::vector<char *> names;
    for (const std::string &f : o_.files) names.push_back(const_cast<char *>(f.c_str()));
    int32_t n = static_cast<int32_t>(names.size());
    if (created_) {
      int32_t index = 0, words = tessera_fileset_min_words(L, length, 0);
      hmnewf(ctrl_.data(), &n, names.data(), &index, &words, &P_, &ierr);
      if (ierr != 0) throw LibraryError("the new set cannot be created", ierr);
    } else {
      hmoldf(ctrl_.data(), &n, names.data(), &P_, &ierr);
      if (ierr != 0) throw LibraryError("the set cannot be opened", ierr);
    }
  }

  void create_matrix(int32_t type, int32_t form, int32_t rows, int32_t cols) {
    const std::vector<unsigned char> name = stored_name(o_.matrix);
    std::memcpy(name_words_, name.data(), sizeof name_words_);
    int32_t typeword = tessera_type_word(type, 1), storage = tessera_storage_word(form);
    int32_t ierr = 0, D = 0;
    hmnewm(ctrl_.data(), name_words_, &o_.qualifier, &P_, &typeword, &storage, &rows, &cols, &D,
           &ierr);
    if (ierr == 17) {
      throw UserError("the set already holds a matrix \"" + o_.matrix + "\" (qualifier " +
                      std::to_string(o_.qualifier) + "): choose another name or qualifier");
    }
    if (ierr != 0) throw LibraryError("matrix \"" + o_.matrix + "\" cannot be created", ierr);
    D_ = D;
    type_ = type;
    rows_ = rows;
    stored_cols_ = form == TESSERA_FORM_DIAGONAL ? 1 : cols;
    // The block order, as the library computes it from the record length.
    const int32_t L = TESSERA_CTRL(ctrl_.data(), TESSERA_CTRL_RECORD_LENGTH);
    const int64_t p = L / static_cast<int64_t>(element_bytes(type) / 4);
    nb_ = static_cast<int32_t>(std::sqrt(static_cast<double>(p)));
    while (int64_t{nb_} * nb_ > p) --nb_;
    while (int64_t{nb_ + 1} * (nb_ + 1) <= p) ++nb_;
  }

  // Add a pass of entries to the matrix, block by block.
  void add(std::vector<Stored> &pass) {
    auto block_of = [&](const Stored &e) {
      return std::pair<int32_t, int32_t>((e.col - 1) / nb_, (e.row - 1) / nb_);
    };
    std::sort(pass.begin(), pass.end(), [&](const Stored &a, const Stored &b) {
      return std::tuple(block_of(a), a.col, a.row) < std::tuple(block_of(b), b.col, b.row);
    });
    const size_t eb = element_bytes(type_);
    std::vector<unsigned char> block(static_cast<size_t>(nb_) * nb_ * eb);
    for (size_t first = 0; first < pass.size();) {
      size_t last = first;
      while (last < pass.size() && block_of(pass[last]) == block_of(pass[first])) ++last;
      const auto [bc, br] = block_of(pass[first]);
      int32_t i1 = br * nb_ + 1, j1 = bc * nb_ + 1;
      int32_t nr = std::min(nb_, rows_ - i1 + 1), nc = std::min(nb_, stored_cols_ - j1 + 1);
      int32_t ierr = 0;
      hmgets(ctrl_.data(), &D_, &i1, &nr, &j1, &nc, reinterpret_cast<float *>(block.data()), &nr, &ierr);
      if (ierr != 0) throw LibraryError("reading back block (" + std::to_string(br + 1) + ", " +
                                            std::to_string(bc + 1) + ")", ierr);
      for (size_t k = first; k < last; ++k) {
        unsigned char *at = &block[(static_cast<size_t>(pass[k].col - j1) * nr + (pass[k].row - i1)) * eb];
        double re = 0, im = 0;
        load_number(at, type_, re, im);
        if (!store_number(at, type_, re + pass[k].re, im + pass[k].im)) {
          throw UserError("the entries at row " + std::to_string(pass[k].row) + ", column " +
                          std::to_string(pass[k].col) + " add up beyond a 32-bit integer");
        }
      }
      hmputs(ctrl_.data(), &D_, &i1, &nr, &j1, &nc, reinterpret_cast<const float *>(block.data()), &nr,
             &ierr);
      if (ierr != 0) throw LibraryError("writing block (" + std::to_string(br + 1) + ", " +
                                            std::to_string(bc + 1) + ")", ierr);
      ++blocks_written_;
      first = last;
    }
    pass.clear();
  }

  // Release the matrix and store the set: the import is complete.
  void finish() {
    int32_t ierr = 0;
    hmrelm(ctrl_.data(), &D_, &ierr);
    if (ierr != 0) throw LibraryError("the matrix cannot be released", ierr);
    D_ = 0;
    hmremf(ctrl_.data(), &P_, &ierr);
    if (ierr != 0) throw LibraryError("the set cannot be stored", ierr);
    P_ = 0;
  }

  bool created() const { return created_; }
  int64_t blocks_written() const { return blocks_written_; }

 private:
  const Options &o_;
  int32_t trace_[21] = {}, cache_[64] = {}, chosky_[600] = {};
  std::vector<int32_t> ctrl_;
  int32_t P_ = 0, D_ = 0;
  int32_t name_words_[3] = {};
  bool created_ = false;
  int32_t type_ = 0, rows_ = 0, stored_cols_ = 0, nb_ = 1;
  int64_t blocks_written_ = 0;
};

int run_import(const Options &o) {
  try {
    stored_name(o.matrix);
    mm::Reader reader(o.mtx);
    const mm::Header h = reader.header();
    if (h.field == mm::Field::pattern) {
      throw UserError(o.mtx + ": a pattern file lists positions without values; nothing to store");
    }
    const int32_t type = type_code(o.type, h.field);
    const int32_t form = form_code(o.form, h.symmetry);
    const bool complex = is_complex(type);
    if (h.field == mm::Field::complex && !complex) {
      throw UserError(o.mtx + " holds complex values; store them with --type complex or complex-float");
    }
    if (h.rows > INT32_MAX || h.cols > INT32_MAX) throw UserError(o.mtx + ": more rows or columns than a matrix can have");
    const bool mirrored = h.symmetry != mm::Symmetry::general;
    if (form == TESSERA_FORM_SYMMETRIC) {
      if (h.symmetry == mm::Symmetry::general || h.symmetry == mm::Symmetry::skew_symmetric) {
        throw UserError(o.mtx + " lists a " + mm::name(h.symmetry) +
                        " matrix; --form symmetric takes a file whose banner says symmetric (or "
                        "hermitian)");
      }
      if (complex && h.symmetry == mm::Symmetry::symmetric) {
        throw UserError(o.mtx + " lists a complex symmetric matrix; the symmetric storage form "
                                "of a complex matrix reads back Hermitian (the lower triangle as "
                                "conjugates): store it with --form general");
      }
      if (h.rows != h.cols) throw UserError(o.mtx + ": a symmetric matrix must be square");
    }
    if (form == TESSERA_FORM_UPPER && mirrored) {
      throw UserError(o.mtx + " lists a " + mm::name(h.symmetry) +
                      " matrix; --form upper takes a general file whose entries below the "
                      "diagonal are zero");
    }

    Target target(o);
    target.open_set();
    target.create_matrix(type, form, static_cast<int32_t>(h.rows), static_cast<int32_t>(h.cols));

    std::vector<Stored> pass;
    pass.reserve(static_cast<size_t>(std::clamp<int64_t>(h.entries, 1, o.pass_entries)));
    int64_t entries = 0;
    auto keep = [&](int64_t i, int64_t j, double re, double im) {
      if (form == TESSERA_FORM_DIAGONAL) {
        if (i != j) {
          if (re != 0 || im != 0)
            reader.fail("only entries on the diagonal for --form diagonal, found row " +
                        std::to_string(i) + ", column " + std::to_string(j));
          return;
        }
        j = 1;  // the one stored column holds the diagonal
      } else if (form == TESSERA_FORM_UPPER && i > j) {
        if (re != 0 || im != 0)
          reader.fail("entries on or above the diagonal for --form upper, found row " +
                      std::to_string(i) + ", column " + std::to_string(j));
        return;
      } else if (form == TESSERA_FORM_SYMMETRIC) {
        // The upper triangle is stored; a Hermitian matrix's lower element
        // is the conjugate of the stored one.
        if (i > j) {
          std::swap(i, j);
          im = -im;
        }
        if (i == j && im != 0)
          reader.fail("a real diagonal entry (a Hermitian matrix has none with an imaginary part), "
                      "found row and column " + std::to_string(i));
      }
      pass.push_back(Stored{static_cast<int32_t>(i), static_cast<int32_t>(j), re, im});
      if (static_cast<int64_t>(pass.size()) >= o.pass_entries) target.add(pass);
    };
    mm::Entry e;
    unsigned char probe[16];
    while (reader.next(e)) {
      ++entries;
      if (!store_number(probe, type, e.re, e.im))
        reader.fail("a whole number of 32 bits for an integer matrix, found " + std::to_string(e.re));
      keep(e.row, e.col, e.re, e.im);
      if (form != TESSERA_FORM_SYMMETRIC && mirrored && e.row != e.col) {
        // The file lists one triangle: the other follows from it.
        const double sign = h.symmetry == mm::Symmetry::skew_symmetric ? -1 : 1;
        const double mirror_im = h.symmetry == mm::Symmetry::hermitian ? -e.im : e.im;
        keep(e.col, e.row, sign * e.re, sign * mirror_im);
      }
    }
    target.add(pass);
    target.finish();
    std::printf("%s: %lld entries into \"%s\" (qualifier %d) of %s%s: %lld x %lld %s, %s\n",
                o.mtx.c_str(), static_cast<long long>(entries), o.matrix.c_str(), o.qualifier,
                target.created() ? "a new set " : "", o.files[0].c_str(),
                static_cast<long long>(h.rows), static_cast<long long>(h.cols),
                type_name(type, 1).c_str(), form_name(form).c_str());
    return 0;
  } catch (const UserError &e) {
    std::fprintf(stderr, "tessera import: %s\n", e.what());
    return e.status();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tessera import: %s\n", e.what());
    return 1;
  }
}

Registrar reg("import", "Store a Matrix Market file as a matrix of a file set", 40,
              [](CLI::App &cmd) {
                auto o = std::make_shared<Options>();
                cmd.add_option("MTX", o->mtx, "The Matrix Market file")->required();
                cmd.add_option("FILE", o->files,
                               "The set's files, in the order it was created with; a new set "
                               "when none of them exists")
                    ->required();
                cmd.add_option("--matrix", o->matrix, "Name of the new matrix (1 to 12 characters)")
                    ->required();
                cmd.add_option("--qualifier", o->qualifier, "Qualifier of the new matrix")
                    ->capture_default_str();
                cmd.add_option("--type", o->type,
                               "Element type; by default the file's field: integer as int, real "
                               "as double, complex as complex (double)")
                    ->check(CLI::IsMember({"double", "float", "int", "complex", "complex-float"}));
                cmd.add_option("--form", o->form,
                               "Storage form; by default symmetric for a symmetric or Hermitian "
                               "file, general otherwise")
                    ->check(CLI::IsMember({"general", "symmetric", "upper", "diagonal"}));
                cmd.add_option("--record-length", o->record_length,
                               "Record length in words of a new set (sets the block order)")
                    ->capture_default_str();
                cmd.add_option("--hyperblock", o->hyperblock,
                               "Hyperblock order of the new matrix; by default as large as a "
                               "64 MiB buffer pool allows, at most 8");
                cmd.add_option("--pass-entries", o->pass_entries,
                               "Entries gathered before they are written")
                    ->check(CLI::PositiveNumber)
                    ->group("");
                cmd.footer(
                    "Reads coordinate and array files of integer, real and complex values in "
                    "one pass, in bounded memory. A symmetric, Hermitian or skew-symmetric file "
                    "lists one triangle; into a general matrix the other is filled in. Entries "
                    "listed twice are summed, as finite-element assembly does (for a symmetric "
                    "matrix, also an entry listed in both triangles). --form upper refuses "
                    "non-zero entries below the diagonal, --form diagonal non-zero entries off "
                    "it. When the import fails, nothing of it is left: the new matrix is "
                    "deleted, and so is a set the import created.\n\n"
                    "Example:\n  tessera import K.mtx model1.hm model2.hm --matrix K\n"
                    "  tessera import B.mtx model1.hm model2.hm --matrix B --type float --form upper");
                return [o] { return run_import(*o); };
              });

}  // namespace
}  // namespace tessera::tool
