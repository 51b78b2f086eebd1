/**
 * \file tessera.hpp
 * \brief C++ interface: owners for the control area, file sets and typed
 * matrices over the C routines of tessera.h. Header-only, C++17.
 *
 * Every call clears the error trace first and turns a non-zero status into
 * a tessera::Error that carries the status, the routine, the trace codes and
 * the status text. Names are std::string_view, blank-padded to 12 bytes.
 *
 * \code
 * tessera::Session session(tessera::Session::bytes_for({}, 200));
 * auto set = tessera::FileSet::create(session, {"demo.tsf"});
 * auto a = tessera::Matrix<double>::create(set, "DEMO", 1000, 1000);
 * std::vector<double> cols(1000 * 100, 1.0);
 * a.put(1, 1, 1000, 100, cols);          // rows 1.., columns 1..100
 * \endcode
 *
 * Destroy (or release) matrices before their file set and file sets before
 * the session; declared in that order, C++ does it.
 */
#ifndef TESSERA_HPP
#define TESSERA_HPP

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"

namespace tessera {

/** A refused call: the status (0 when the header itself refused and no
 * status of the library fits), the routine, the trace codes innermost first
 * and the status text, all in what(). */
class Error : public std::runtime_error {
 public:
  /** \param status   the status returned in `ierr`
   *  \param routine  the C routine (or the header's function) that failed
   *  \param trace    the error trace's codes, innermost first
   *  \param detail   what the header adds, empty for a library refusal */
  Error(int32_t status, std::string routine, std::vector<int32_t> trace,
        const std::string &detail = std::string())
      : std::runtime_error(message(status, routine, trace, detail)),
        status_(status),
        routine_(std::move(routine)),
        trace_(std::move(trace)) {}
  /** \return the status number (::tessera_status), 0 for the header's own refusals */
  int32_t status() const noexcept { return status_; }
  /** \return the routine that failed */
  const std::string &routine() const noexcept { return routine_; }
  /** \return the trace codes, innermost first */
  const std::vector<int32_t> &trace() const noexcept { return trace_; }
  /** \return tessera_status_text() of the status */
  const char *status_text() const noexcept { return tessera_status_text(status_); }

 private:
  static std::string message(int32_t status, const std::string &routine,
                             const std::vector<int32_t> &trace, const std::string &detail) {
    std::string m = routine + ": ";
    if (status != 0 || detail.empty()) {
      m += "status " + std::to_string(status) + ": " + tessera_status_text(status);
    }
    if (!detail.empty()) m += (status != 0 ? " " : "") + detail;
    if (!trace.empty()) {
      m += " (trace";
      for (int32_t code : trace) m += " " + std::to_string(code);
      m += ")";
    }
    return m;
  }
  int32_t status_;
  std::string routine_;
  std::vector<int32_t> trace_;
};

/** Storage forms (::tessera_storage_form). */
enum class Form : int32_t {
  symmetric = TESSERA_FORM_SYMMETRIC, /**< blocks on and above the block diagonal */
  general = TESSERA_FORM_GENERAL,     /**< every block */
  diagonal = TESSERA_FORM_DIAGONAL,   /**< one stored column */
  upper = TESSERA_FORM_UPPER          /**< the upper triangle */
};
/** How FileSet::create treats existing files. */
enum class Replace {
  allow, /**< an existing file of a given name is deleted and made anew */
  refuse /**< refuse (status 161) when any of the files exists */
};
/** How Matrix::open opens. */
enum class Access : int32_t {
  read_write = TESSERA_READ_WRITE, /**< reading and writing */
  read_only = TESSERA_READ_ONLY    /**< reading only */
};
/** Transposition of an operand of Matrix::multiply. */
enum class Transpose : int32_t {
  no = TESSERA_NO_TRANSPOSE, /**< as stored */
  yes = TESSERA_TRANSPOSE    /**< transposed (conjugate-transposed for complex types) */
};
/** Whether Matrix::add and Matrix::multiply add or subtract. */
enum class Sign : int32_t {
  add = TESSERA_ADD,          /**< add */
  subtract = TESSERA_SUBTRACT /**< subtract */
};
/** Which blocks of the result Matrix::multiply computes. */
enum class Blocks : int32_t {
  all = TESSERA_ALL_BLOCKS,    /**< every block */
  upper = TESSERA_UPPER_BLOCKS /**< blocks on and above the block diagonal */
};
/** Copy modes of Matrix::copy_to (::tessera_copy_mode). */
enum class Copy : int32_t {
  plain = TESSERA_COPY,                                     /**< B = A */
  negated = TESSERA_COPY_NEGATED,                           /**< B = -A */
  transposed = TESSERA_COPY_TRANSPOSED,                     /**< B = A^T (conjugated for complex) */
  negated_transposed = TESSERA_COPY_NEGATED_TRANSPOSED,     /**< B = -A^T */
  upper_blocks = TESSERA_COPY_UPPER_BLOCKS,                 /**< A's blocks on and above the block diagonal */
  diagonal = TESSERA_COPY_DIAGONAL,                         /**< each block's diagonal into its first column */
  mirrored = TESSERA_COPY_MIRRORED,                         /**< upper blocks and their transposed mirrors */
  conjugated = TESSERA_COPY_CONJUGATED,                     /**< B = conj(A) */
  negated_conjugated = TESSERA_COPY_NEGATED_CONJUGATED      /**< B = -conj(A) */
};

/** \cond internal */
namespace detail {

// Descriptor and file-set words the header reads (1-based from the handle).
constexpr int32_t kFilesetRecordLength = 41;
constexpr int32_t kDescType = 10, kDescItems = 11, kDescRows = 12, kDescCols = 13,
                  kDescForm = 14, kDescLowerWidth = 16, kDescUpperWidth = 17,
                  kDescHyperOrder = 20, kDescBlockOrder = 42, kDescReadOnly = 94;

inline std::atomic<bool> &session_live() {
  static std::atomic<bool> live{false};
  return live;
}
inline int32_t *trace_area() { return reinterpret_cast<int32_t *>(Xerror); }
inline void clear_trace() { trace_area()[0] = 0; }
inline std::vector<int32_t> trace_codes() {
  const int32_t *t = trace_area();
  if (t == nullptr) return {};
  const int32_t n = t[0] < 0 ? 0 : (t[0] > TESSERA_TRACE_CODES ? TESSERA_TRACE_CODES : t[0]);
  return std::vector<int32_t>(t + 1, t + 1 + n);
}
inline void check(int32_t ierr, const char *routine) {
  if (ierr != 0) throw Error(ierr, routine, trace_codes());
}

// A matrix name as the library takes it: 12 bytes, blank-padded.
struct Name {
  int32_t words[3];
  explicit Name(std::string_view name) {
    if (name.size() > static_cast<size_t>(TESSERA_NAME_BYTES)) {
      throw Error(0, "tessera::Matrix", {},
                  "the name \"" + std::string(name) + "\" is longer than 12 bytes");
    }
    char bytes[TESSERA_NAME_BYTES];
    std::memset(bytes, ' ', sizeof bytes);
    std::memcpy(bytes, name.data(), name.size());
    std::memcpy(words, bytes, sizeof bytes);
  }
};

// Paths as the library takes them: an array of NUL-terminated strings.
struct Paths {
  std::vector<std::string> copies;
  std::vector<char *> argv;
  explicit Paths(const std::vector<std::string> &paths) : copies(paths) {
    for (std::string &p : copies) argv.push_back(p.data());
  }
  int32_t count() const { return static_cast<int32_t>(argv.size()); }
};

template <class T>
struct Element;
template <>
struct Element<int32_t> {
  static constexpr int32_t code = TESSERA_TYPE_INT32;
};
template <>
struct Element<float> {
  static constexpr int32_t code = TESSERA_TYPE_FLOAT;
};
template <>
struct Element<double> {
  static constexpr int32_t code = TESSERA_TYPE_DOUBLE;
};
template <>
struct Element<std::complex<float>> {
  static constexpr int32_t code = TESSERA_TYPE_COMPLEX_FLOAT;
};
template <>
struct Element<std::complex<double>> {
  static constexpr int32_t code = TESSERA_TYPE_COMPLEX_DOUBLE;
};

}  // namespace detail
/** \endcond */

/** Sizes of a Session's control area. */
struct SessionOptions {
  int32_t record_length = TESSERA_DEFAULT_RECORD_LENGTH; /**< record length of new file sets, in words */
  int32_t filesets = 1;                                  /**< file sets open at once */
  int32_t matrices = 16;                                 /**< matrices open at once */
  bool blas = false;                                     /**< DGEMM for products of double blocks */
};

/**
 * The control area and the three linked areas, for the life of the object.
 * The linked areas are process-wide: a second Session while one lives
 * throws. Closing checks that no file set is left open and never deletes
 * files.
 */
class Session {
 public:
  /** Bytes of a control area that takes `options` and gets at least
   * `buffers` block buffers (tessera_control_length()).
   * \param options  what the session will be asked for
   * \param buffers  block buffers wanted
   * \return the size in bytes for the constructor */
  static std::size_t bytes_for(const SessionOptions &options, int32_t buffers) {
    const int32_t words =
        tessera_control_length(options.record_length, options.filesets, options.matrices, buffers);
    if (words == 0) throw Error(0, "tessera::Session", {}, "no control area of 2^31 words fits");
    return static_cast<std::size_t>(words) * sizeof(int32_t);
  }

  /** Lay out a control area of `bytes` bytes (rounded down to words).
   * \param bytes    size of the control area
   * \param options  record length, file sets, matrices, BLAS switch */
  explicit Session(std::size_t bytes, const SessionOptions &options = SessionOptions())
      : options_(options) {
    if (detail::session_live().exchange(true)) {
      throw Error(0, "tessera::Session", {},
                  "another session is live; the linked areas are process-wide");
    }
    saved_[0] = Xerror;
    saved_[1] = Xcache;
    saved_[2] = Xchosky;
    const std::size_t words = bytes / sizeof(int32_t);
    if (words > static_cast<std::size_t>(INT32_MAX)) {
      release_areas();
      throw Error(0, "tessera::Session", {}, "a control area has at most 2^31 - 1 words");
    }
    ctrl_.assign(words, 0);
    Xerror = reinterpret_cast<char *>(trace_);
    Xcache = reinterpret_cast<char *>(cache_);
    Xchosky = reinterpret_cast<char *>(chosky_);
    int32_t length = static_cast<int32_t>(words), nfs = options.filesets,
            ndesc = options.matrices, option = 0, ierr = 0;
    hminmf(ctrl_.data(), &length, &nfs, &ndesc, &option, &ierr);
    if (ierr != 0) {
      std::vector<int32_t> trace = detail::trace_codes();
      release_areas();
      throw Error(ierr, "hminmf", std::move(trace));
    }
    TESSERA_CTRL(ctrl_.data(), TESSERA_CTRL_RECORD_LENGTH) = options.record_length;
    TESSERA_CTRL(ctrl_.data(), TESSERA_CTRL_BLAS) = options.blas ? TESSERA_BLAS_ON : TESSERA_BLAS_OFF;
  }
  ~Session() {
    int32_t ierr = TESSERA_CLOSE_CHECK;
    hmclos(ctrl_.data(), &ierr);
    release_areas();
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  /** \return the control area, for calls of the C routines */
  int32_t *ctrl() noexcept { return ctrl_.data(); }
  /** \return the control area's length in words */
  int32_t length() const noexcept { return static_cast<int32_t>(ctrl_.size()); }
  /** \return what the session was made with */
  const SessionOptions &options() const noexcept { return options_; }
  /** \return buffers of the block pool (0 before the first file set) */
  int32_t buffers() const noexcept {
    return TESSERA_CTRL(ctrl_.data(), TESSERA_CTRL_BUFFERS);
  }

 private:
  void release_areas() {
    Xerror = saved_[0];
    Xcache = saved_[1];
    Xchosky = saved_[2];
    detail::session_live() = false;
  }
  SessionOptions options_;
  std::vector<int32_t> ctrl_;
  int32_t trace_[TESSERA_TRACE_WORDS] = {};
  int32_t cache_[TESSERA_CACHE_WORDS] = {};
  int32_t chosky_[TESSERA_CHOSKY_WORDS] = {};
  char *saved_[3] = {nullptr, nullptr, nullptr};
};

/**
 * An open file set. Destruction removes it (hmremf: tables and header
 * written, files kept); kill() deletes its files instead.
 */
class FileSet {
 public:
  /** Create a new set (hmnewf).
   * \param session        the session
   * \param paths          its physical files, 1 to ::TESSERA_MAX_FILES
   * \param replace        Replace::refuse refuses when a file exists
   * \param index_records  index-region records, 0 for the default
   * \param initial_words  size at creation in words; 0 for what the set
   *                       needs at least (tessera_fileset_min_words())
   * \return the open set */
  static FileSet create(Session &session, const std::vector<std::string> &paths,
                        Replace replace = Replace::allow, int32_t index_records = 0,
                        int32_t initial_words = 0) {
    if (replace == Replace::refuse) {
      for (const std::string &p : paths) {
        std::error_code ec;
        if (std::filesystem::exists(p, ec) || ec) {
          throw Error(TESSERA_STATUS_FILE_CREATE_OPEN, "hmnewf", {},
                      "(" + p + " exists and the set may not replace it)");
        }
      }
    }
    if (initial_words == 0) {
      initial_words = tessera_fileset_min_words(session.options().record_length, session.length(),
                                                index_records);
    }
    detail::Paths names(paths);
    int32_t n = names.count(), handle = 0, ierr = 0;
    detail::clear_trace();
    hmnewf(session.ctrl(), &n, names.argv.data(), &index_records, &initial_words, &handle, &ierr);
    detail::check(ierr, "hmnewf");
    return FileSet(session, handle, paths);
  }
  /** Open an existing set (hmoldf).
   * \param session  the session
   * \param paths    its physical files, in the order of creation
   * \return the open set */
  static FileSet open(Session &session, const std::vector<std::string> &paths) {
    detail::Paths names(paths);
    int32_t n = names.count(), handle = 0, ierr = 0;
    detail::clear_trace();
    hmoldf(session.ctrl(), &n, names.argv.data(), &handle, &ierr);
    detail::check(ierr, "hmoldf");
    return FileSet(session, handle, paths);
  }

  /** Move: the source no longer owns the set. \param other the set moved from */
  FileSet(FileSet &&other) noexcept
      : session_(other.session_), handle_(std::exchange(other.handle_, 0)),
        paths_(std::move(other.paths_)) {}
  /** Move-assign: the set held before is removed. \param other the set moved from
   * \return this set */
  FileSet &operator=(FileSet &&other) noexcept {
    if (this != &other) {
      close_quietly();
      session_ = other.session_;
      handle_ = std::exchange(other.handle_, 0);
      paths_ = std::move(other.paths_);
    }
    return *this;
  }
  FileSet(const FileSet &) = delete;
  FileSet &operator=(const FileSet &) = delete;
  ~FileSet() { close_quietly(); }

  /** Remove the set now (hmremf): write its tables and header, keep its files. */
  void remove() {
    int32_t ierr = 0;
    detail::clear_trace();
    hmremf(session_->ctrl(), &handle_, &ierr);
    detail::check(ierr, "hmremf");
    handle_ = 0;
  }
  /** Kill the set (hmkilf): delete its files, writing nothing. */
  void kill() {
    int32_t ierr = 0;
    detail::clear_trace();
    hmkilf(session_->ctrl(), &handle_, &ierr);
    detail::check(ierr, "hmkilf");
    handle_ = 0;
  }
  /** \return true until the set is removed or killed */
  bool is_open() const noexcept { return handle_ != 0; }
  /** \return the file-set handle for the C routines */
  int32_t handle() const noexcept { return handle_; }
  /** \return the session the set is open in */
  Session &session() const noexcept { return *session_; }
  /** \return the set's physical files */
  const std::vector<std::string> &paths() const noexcept { return paths_; }
  /** \return the set's record length in words */
  int32_t record_length() const noexcept {
    return session_->ctrl()[handle_ + detail::kFilesetRecordLength - 2];
  }

 private:
  FileSet(Session &session, int32_t handle, std::vector<std::string> paths)
      : session_(&session), handle_(handle), paths_(std::move(paths)) {}
  void close_quietly() noexcept {
    if (handle_ == 0) return;
    int32_t ierr = 0;
    detail::clear_trace();
    hmremf(session_->ctrl(), &handle_, &ierr);
    handle_ = 0;
  }
  Session *session_;
  int32_t handle_ = 0;
  std::vector<std::string> paths_;
};

/** What Matrix::info() reports, from the matrix's descriptor. */
struct MatrixInfo {
  int32_t handle;           /**< matrix handle for the C routines */
  int32_t rows;             /**< rows m */
  int32_t cols;             /**< columns n */
  Form form;                /**< storage form */
  int32_t type_code;        /**< ::tessera_type_code */
  int32_t items;            /**< items per element */
  int32_t lower_width;      /**< band width below the diagonal (m - 1 without a band) */
  int32_t upper_width;      /**< band width above the diagonal (n - 1 without a band) */
  int32_t block_order;      /**< nb: elements on a block side */
  int32_t hyperblock_order; /**< b1: blocks on a hyperblock side */
  bool read_only;           /**< opened read-only */
};

/**
 * An open matrix of element type T: `int32_t`, `float`, `double`,
 * `std::complex<float>` or `std::complex<double>`. Rows and columns are
 * 1-based; host arrays are column-major. Destruction releases it (hmrelm).
 */
template <class T>
class Matrix {
 public:
  /** The library's element type code of T. */
  static constexpr int32_t type_code = detail::Element<T>::code;

  /** Create a new, empty matrix (hmnewm).
   * \param set        the file set
   * \param name       at most 12 bytes
   * \param rows       rows m
   * \param cols       columns n
   * \param form       storage form
   * \param band       band width on both sides of the diagonal, -1 for none
   * \param qualifier  second part of the key
   * \return the open matrix */
  static Matrix create(FileSet &set, std::string_view name, int32_t rows, int32_t cols,
                       Form form = Form::general, int32_t band = -1, int32_t qualifier = 1) {
    detail::Name packed(name);
    int32_t fs = set.handle(), type = tessera_type_word(type_code, 1);
    int32_t storage = band < 0 ? tessera_storage_word(static_cast<int32_t>(form))
                               : tessera_storage_band(static_cast<int32_t>(form), band);
    int32_t handle = 0, ierr = 0;
    detail::clear_trace();
    hmnewm(set.session().ctrl(), packed.words, &qualifier, &fs, &type, &storage, &rows, &cols,
           &handle, &ierr);
    detail::check(ierr, "hmnewm");
    return Matrix(set.session(), handle);
  }
  /** Open an existing matrix (hmoldm); its element type must be T's.
   * \param set        the file set
   * \param name       at most 12 bytes
   * \param access     Access::read_only refuses every change
   * \param qualifier  second part of the key
   * \return the open matrix */
  static Matrix open(FileSet &set, std::string_view name, Access access = Access::read_write,
                     int32_t qualifier = 1) {
    detail::Name packed(name);
    int32_t fs = set.handle(), readonly = static_cast<int32_t>(access);
    int32_t typeword = 0, storage = 0, rows = 0, cols = 0, handle = 0, ierr = 0;
    detail::clear_trace();
    hmoldm(set.session().ctrl(), packed.words, &qualifier, &fs, &readonly, &typeword, &storage,
           &rows, &cols, &handle, &ierr);
    detail::check(ierr, "hmoldm");
    Matrix m(set.session(), handle);  // released again if the type is wrong
    if (tessera_type_code(typeword) != type_code || tessera_type_items(typeword) != 1) {
      throw Error(TESSERA_STATUS_TYPES_DIFFER, "hmoldm", {},
                  "(\"" + std::string(name) + "\" has type word " + std::to_string(typeword) +
                      ", not type " + std::to_string(type_code) + " with one item)");
    }
    return m;
  }
  /** Whether a matrix exists (hminqm).
   * \param set        the file set
   * \param name       at most 12 bytes
   * \param qualifier  second part of the key
   * \return true when it exists, open or not */
  static bool exists(FileSet &set, std::string_view name, int32_t qualifier = 1) {
    detail::Name packed(name);
    int32_t fs = set.handle(), state = TESSERA_MATRIX_ABSENT;
    hminqm(set.session().ctrl(), packed.words, &qualifier, &fs, &state);
    return state != TESSERA_MATRIX_ABSENT;
  }
  /** Delete a matrix and its blocks (hmkilm); an open one must not be used again.
   * \param set        the file set
   * \param name       at most 12 bytes
   * \param qualifier  second part of the key */
  static void kill(FileSet &set, std::string_view name, int32_t qualifier = 1) {
    detail::Name packed(name);
    int32_t fs = set.handle(), ierr = 0;
    detail::clear_trace();
    hmkilm(set.session().ctrl(), packed.words, &qualifier, &fs, &ierr);
    detail::check(ierr, "hmkilm");
  }

  /** Move: the source no longer owns the matrix. \param other the matrix moved from */
  Matrix(Matrix &&other) noexcept
      : ctrl_(other.ctrl_), handle_(std::exchange(other.handle_, 0)), form_(other.form_),
        nb_(other.nb_) {}
  /** Move-assign: the matrix held before is released. \param other the matrix moved from
   * \return this matrix */
  Matrix &operator=(Matrix &&other) noexcept {
    if (this != &other) {
      release_quietly();
      ctrl_ = other.ctrl_;
      handle_ = std::exchange(other.handle_, 0);
      form_ = other.form_;
      nb_ = other.nb_;
    }
    return *this;
  }
  Matrix(const Matrix &) = delete;
  Matrix &operator=(const Matrix &) = delete;
  ~Matrix() { release_quietly(); }

  /** Release the matrix now (hmrelm): its blocks, tables and header reach the files. */
  void release() {
    int32_t ierr = 0;
    detail::clear_trace();
    hmrelm(ctrl_, &handle_, &ierr);
    detail::check(ierr, "hmrelm");
    handle_ = 0;
  }

  /** Put rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 from a(1..nr, 1..nc)
   * (hmputs). A region wholly in the part of a symmetric or upper-triangular
   * matrix that is not stored is refused (the library would drop it).
   * \param i1   first row
   * \param j1   first column
   * \param nr   rows
   * \param nc   columns
   * \param a    column-major host array
   * \param lda  its leading dimension, at least nr */
  void put(int32_t i1, int32_t j1, int32_t nr, int32_t nc, const T *a, int32_t lda) {
    if (lda < nr) refuse_lda("hmputs");
    if (form_ != TESSERA_FORM_GENERAL && form_ != TESSERA_FORM_DIAGONAL && nr > 0 && nc > 0 &&
        i1 > 0 && j1 > 0) {
      refuse_unstored(i1, j1, nc);
    }
    int32_t ierr = 0;
    detail::clear_trace();
    hmputs(ctrl_, &handle_, &i1, &nr, &j1, &nc, reinterpret_cast<const float *>(a), &lda, &ierr);
    if (ierr != 0) detail::check(ierr, "hmputs");
  }
  /** Put from a contiguous range (std::vector, std::array, std::span) of at
   * least nr x nc elements, leading dimension nr.
   * \param i1     first row
   * \param j1     first column
   * \param nr     rows
   * \param nc     columns
   * \param range  column-major elements */
  template <class Range>
  void put(int32_t i1, int32_t j1, int32_t nr, int32_t nc, const Range &range) {
    check_size(std::size(range), nr, nc, "hmputs");
    put(i1, j1, nr, nc, std::data(range), nr);
  }
  /** Get rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 into a(1..nr, 1..nc) (hmgets).
   * \param i1   first row
   * \param j1   first column
   * \param nr   rows
   * \param nc   columns
   * \param a    column-major host array
   * \param lda  its leading dimension, at least nr */
  void get(int32_t i1, int32_t j1, int32_t nr, int32_t nc, T *a, int32_t lda) const {
    if (lda < nr) refuse_lda("hmgets");
    int32_t ierr = 0, handle = handle_;
    detail::clear_trace();
    hmgets(ctrl_, &handle, &i1, &nr, &j1, &nc, reinterpret_cast<float *>(a), &lda, &ierr);
    if (ierr != 0) detail::check(ierr, "hmgets");
  }
  /** Get into a contiguous range of at least nr x nc elements, leading dimension nr.
   * \param i1     first row
   * \param j1     first column
   * \param nr     rows
   * \param nc     columns
   * \param range  column-major elements */
  template <class Range>
  void get(int32_t i1, int32_t j1, int32_t nr, int32_t nc, Range &range) const {
    check_size(std::size(range), nr, nc, "hmgets");
    get(i1, j1, nr, nc, std::data(range), nr);
  }

  /** This = this + b or this - b (hladd); this - this empties the matrix.
   * \param b     same type, shape and form
   * \param sign  Sign::add or Sign::subtract */
  void add(const Matrix &b, Sign sign = Sign::add) {
    int32_t op = static_cast<int32_t>(sign), ierr = 0, mb = b.handle_;
    detail::clear_trace();
    hladd(ctrl_, &handle_, &b == this ? &handle_ : &mb, &op, &ierr);
    detail::check(ierr, "hladd");
  }
  /** Copy this matrix's stored blocks into `dst` under a copy mode (hlcopm).
   * \param dst   destination, same type
   * \param mode  copy mode */
  void copy_to(Matrix &dst, Copy mode = Copy::plain) const {
    int32_t m = static_cast<int32_t>(mode), ierr = 0, ma = handle_;
    detail::clear_trace();
    hlcopm(ctrl_, &ma, &dst.handle_, &m, &ierr);
    detail::check(ierr, "hlcopm");
  }
  /** This (Y) = Y + op(A) op(B), or Y - op(A) op(B) (hlmult). Y must not be A or B.
   * \param a       A
   * \param b       B
   * \param ta      Transpose::yes takes A transposed
   * \param tb      Transpose::yes takes B transposed
   * \param sign    Sign::subtract subtracts the product
   * \param blocks  Blocks::upper computes only Y's upper blocks */
  void multiply(const Matrix &a, const Matrix &b, Transpose ta = Transpose::no,
                Transpose tb = Transpose::no, Sign sign = Sign::add, Blocks blocks = Blocks::all) {
    int32_t ma = a.handle_, mb = b.handle_, fa = static_cast<int32_t>(ta),
            fb = static_cast<int32_t>(tb), up = static_cast<int32_t>(blocks),
            sub = static_cast<int32_t>(sign), ierr = 0;
    detail::clear_trace();
    hlmult(ctrl_, &ma, &mb, &handle_, &fa, &fb, &up, &sub, &ierr);
    detail::check(ierr, "hlmult");
  }

  /** \return shape, form, type and blocking, from the descriptor */
  MatrixInfo info() const {
    auto w = [&](int32_t word) { return ctrl_[handle_ + word - 2]; };
    return MatrixInfo{handle_,
                      w(detail::kDescRows),
                      w(detail::kDescCols),
                      static_cast<Form>(w(detail::kDescForm)),
                      w(detail::kDescType),
                      w(detail::kDescItems),
                      w(detail::kDescLowerWidth),
                      w(detail::kDescUpperWidth),
                      w(detail::kDescBlockOrder),
                      w(detail::kDescHyperOrder),
                      w(detail::kDescReadOnly) == 1};
  }
  /** \return the matrix handle for the C routines (0 once released) */
  int32_t handle() const noexcept { return handle_; }

 private:
  Matrix(Session &session, int32_t handle)
      : ctrl_(session.ctrl()), handle_(handle),
        form_(session.ctrl()[handle + detail::kDescForm - 2]),
        nb_(session.ctrl()[handle + detail::kDescBlockOrder - 2]) {}
  void release_quietly() noexcept {
    if (handle_ == 0) return;
    int32_t ierr = 0;
    detail::clear_trace();
    hmrelm(ctrl_, &handle_, &ierr);
    handle_ = 0;
  }
  [[noreturn]] static void refuse_lda(const char *routine) {
    throw Error(TESSERA_STATUS_REGION_OUTSIDE, routine, {},
                "(the leading dimension is below the number of rows)");
  }
  static void check_size(std::size_t size, int32_t nr, int32_t nc, const char *routine) {
    if (nr > 0 && nc > 0 && size < static_cast<std::size_t>(nr) * static_cast<std::size_t>(nc)) {
      throw Error(TESSERA_STATUS_REGION_OUTSIDE, routine, {},
                  "(the host range holds fewer than rows x columns elements)");
    }
  }
  // A symmetric matrix stores no block below its block diagonal, an upper
  // triangular one nothing below its diagonal: a put that lies wholly there
  // would be dropped by the library without a word.
  void refuse_unstored(int32_t i1, int32_t j1, int32_t nc) const {
    const int32_t last_col = j1 + nc - 1;
    const bool lost = form_ == TESSERA_FORM_SYMMETRIC
                          ? nb_ > 0 && (i1 - 1) / nb_ > (last_col - 1) / nb_
                          : form_ == TESSERA_FORM_UPPER && i1 > last_col;
    if (lost) {
      throw Error(TESSERA_STATUS_REGION_OUTSIDE, "hmputs", {},
                  form_ == TESSERA_FORM_SYMMETRIC
                      ? "(the region lies wholly below the block diagonal of a symmetric "
                        "matrix, which stores the upper blocks only: put the mirrored region)"
                      : "(the region lies wholly below the diagonal of an upper-triangular "
                        "matrix, which stores nothing there)");
    }
  }
  int32_t *ctrl_;
  int32_t handle_;
  int32_t form_;
  int32_t nb_;
};

}  // namespace tessera

#endif  // TESSERA_HPP
