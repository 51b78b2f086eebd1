// Matrix Market reading and writing (matrix_market.h). The reader owns one
// fixed buffer and hands out lines from it; numbers are parsed in place with
// std::from_chars. The writer formats into a buffer of its own with
// std::to_chars, whose shortest form reads back to the same double.
#include "matrix_market.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace tessera::solve::mm {
namespace {

// One line must fit in the buffer; the reader refuses longer ones.
constexpr size_t kBufferBytes = size_t{1} << 20;
// Integers beyond this are not exact in a double.
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53
// The largest shape accepted: its value count must not overflow.
constexpr int64_t kMaxValues = int64_t{1} << 62;

std::string system_reason() { return std::strerror(errno); }

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A token for a message: quoted, cut short if long.
std::string quoted(std::string_view t) {
  if (t.empty()) return "the end of the line";
  if (t.size() > 40) return "\"" + std::string(t.substr(0, 40)) + "...\"";
  return "\"" + std::string(t) + "\"";
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The whitespace-separated words of one line.
class Words {
 public:
  explicit Words(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}
  std::string_view next() {
    while (p_ < end_ && blank(*p_)) ++p_;
    const char *start = p_;
    while (p_ < end_ && !blank(*p_)) ++p_;
    return {start, static_cast<size_t>(p_ - start)};
  }
  bool done() {
    while (p_ < end_ && blank(*p_)) ++p_;
    return p_ == end_;
  }
  // Where the next word starts, and that word, for messages.
  const char *mark() {
    done();
    return p_;
  }
  std::string_view word_at(const char *s) const {
    const char *q = s;
    while (q < end_ && !blank(*q)) ++q;
    return {s, static_cast<size_t>(q - s)};
  }

  // The next word as a whole number or a real number, parsed in place (the
  // hot path: no separate scan for the word's end). A leading '+' is valid
  // in the files but not to from_chars. False if the word is not one.
  bool integer(int64_t &v) {
    const char *q = number_start();
    const auto [ptr, ec] = std::from_chars(q, end_, v);
    return ec == std::errc() && ends_word(q, ptr);
  }
  bool real(double &v) {
    const char *q = number_start();
    const auto [ptr, ec] = std::from_chars(q, end_, v);
    if (ec == std::errc::result_out_of_range && ptr > q) {
      // An overflow is refused, an underflow reads as the nearest subnormal
      // or zero, as strtod gives it.
      const std::string copy(q, ptr);
      v = std::strtod(copy.c_str(), nullptr);
      return !std::isinf(v) && ends_word(q, ptr);
    }
    return ec == std::errc() && ends_word(q, ptr);
  }

 private:
  const char *number_start() {
    done();
    const char *q = p_;
    if (q + 1 < end_ && *q == '+' && q[1] != '-' && q[1] != '+') ++q;
    return q;
  }
  bool ends_word(const char *q, const char *ptr) {
    if (ptr == q || (ptr < end_ && !blank(*ptr))) return false;
    p_ = ptr;
    return true;
  }

  const char *p_, *end_;
};

bool ignorable(std::string_view line) {
  Words w(line);
  if (w.done()) return true;
  return w.next().front() == '%';
}

// --- lines from a file -----------------------------------------------------------

class LineSource {
 public:
  explicit LineSource(const std::string &path) : path_(path), buf_(new char[kBufferBytes]) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw InputError(path + ": cannot open: " + system_reason());
    struct stat st;
    regular_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    if (regular_) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  ~LineSource() { ::close(fd_); }
  LineSource(const LineSource &) = delete;
  LineSource &operator=(const LineSource &) = delete;

  // The next line without its end of line; false at the end of the file.
  bool next(std::string_view &line) {
    for (;;) {
      const char *start = buf_.get() + begin_;
      if (const void *nl = std::memchr(start, '\n', end_ - begin_)) {
        const size_t len = static_cast<const char *>(nl) - start;
        line = {start, len};
        begin_ += len + 1;
        ++line_;
        return true;
      }
      if (eof_) {
        if (begin_ == end_) return false;
        line = {start, end_ - begin_};
        begin_ = end_;
        ++line_;
        return true;
      }
      if (begin_ > 0) {
        std::memmove(buf_.get(), start, end_ - begin_);
        base_ += static_cast<int64_t>(begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      if (end_ == kBufferBytes)
        throw InputError(path_ + ":" + std::to_string(line_ + 1) +
                         ": expected a line of at most 1 MiB");
      const ssize_t got = ::read(fd_, buf_.get() + end_, kBufferBytes - end_);
      if (got < 0) {
        if (errno == EINTR) continue;
        throw InputError(path_ + ": cannot read: " + system_reason());
      }
      if (got == 0)
        eof_ = true;
      else
        end_ += static_cast<size_t>(got);
    }
  }

  int64_t line() const { return line_; }
  int64_t offset() const { return base_ + static_cast<int64_t>(begin_); }
  bool regular() const { return regular_; }

  void seek(int64_t offset, int64_t line) {
    if (::lseek(fd_, offset, SEEK_SET) != offset)
      throw InputError(path_ + ": cannot go back to the first entry: " + system_reason());
    base_ = offset;
    begin_ = end_ = 0;
    eof_ = false;
    line_ = line;
  }

 private:
  std::string path_;
  std::unique_ptr<char[]> buf_;
  int fd_ = -1;
  bool regular_ = false;
  size_t begin_ = 0, end_ = 0;  // unread bytes of the buffer
  int64_t base_ = 0;            // file offset of buf_[0]
  bool eof_ = false;
  int64_t line_ = 0;
};

// First stored row (0-based) of column j of an array file.
int64_t first_stored_row(Symmetry s, int64_t j) {
  switch (s) {
    case Symmetry::general:
      return 0;
    case Symmetry::skew_symmetric:
      return j + 1;
    default:
      return j;
  }
}

}  // namespace

const char *name(Format f) { return f == Format::coordinate ? "coordinate" : "array"; }

const char *name(Field f) {
  switch (f) {
    case Field::real:
      return "real";
    case Field::integer:
      return "integer";
    case Field::complex:
      return "complex";
    default:
      return "pattern";
  }
}

const char *name(Symmetry s) {
  switch (s) {
    case Symmetry::general:
      return "general";
    case Symmetry::symmetric:
      return "symmetric";
    case Symmetry::skew_symmetric:
      return "skew-symmetric";
    default:
      return "hermitian";
  }
}

// --- Reader ----------------------------------------------------------------------

struct Reader::Impl {
  std::string path;
  LineSource src;
  Header h;
  bool finite = false;
  int64_t data_offset = 0, data_line = 0;  // where the entries start
  int64_t count = 0;                       // entries read
  bool finished = false;                   // the tail after the entries was checked
  int64_t row = 0, col = 0;                // array files: position of the next value
  int64_t next_column = 0;                 // array files: next column read_columns gives
  bool used_next = false, used_columns = false;

  explicit Impl(const std::string &p) : path(p), src(p) {}

  [[noreturn]] void fail(int64_t line, const std::string &what) const {
    throw InputError(path + ":" + std::to_string(line) + ": expected " + what);
  }

  void read_header();
  void start_positions() {
    row = col = 0;
    if (h.format == Format::array) {
      row = first_stored_row(h.symmetry, 0);
      settle();
    }
  }
  // Moves past columns whose stored part is empty or used up.
  void settle() {
    while (col < h.cols && row >= h.rows) row = first_stored_row(h.symmetry, ++col);
  }

  double value(Words &w, const char *part, const char *kind) {
    const char *at = w.mark();
    double v = 0;
    if (h.field == Field::integer) {
      int64_t i = 0;
      if (!w.integer(i) || std::abs(static_cast<double>(i)) > kMaxExactInteger)
        fail(src.line(), std::string(part) + " of entry " + std::to_string(count + 1) +
                             " (an integer of at most 2^53 in magnitude), found " +
                             quoted(w.word_at(at)));
      return static_cast<double>(i);
    }
    if (!w.real(v))
      fail(src.line(), std::string(part) + " of entry " + std::to_string(count + 1) + " (" + kind +
                           "), found " + quoted(w.word_at(at)));
    if (finite && !std::isfinite(v))
      fail(src.line(), std::string(part) + " of entry " + std::to_string(count + 1) +
                           " (a finite number), found " + quoted(w.word_at(at)));
    return v;
  }

  int64_t index(Words &w, const char *what, int64_t limit) {
    const char *at = w.mark();
    int64_t v = 0;
    if (!w.integer(v) || v < 1 || v > limit)
      fail(src.line(), std::string(what) + " of entry " + std::to_string(count + 1) +
                           " (a whole number from 1 to " + std::to_string(limit) + "), found " +
                           quoted(w.word_at(at)));
    return v;
  }

  // Reads entry count+1; false (after checking the tail) when all are read.
  bool read(Entry &e) {
    if (count == h.entries) {
      finish();
      return false;
    }
    std::string_view line;
    do {
      if (!src.next(line))
        fail(src.line() + 1, "entry " + std::to_string(count + 1) + " of " +
                                 std::to_string(h.entries) + ", found the end of the file");
    } while (ignorable(line));
    Words w(line);
    if (h.format == Format::coordinate) {
      e.row = index(w, "the row index", h.rows);
      e.col = index(w, "the column index", h.cols);
      if (h.symmetry == Symmetry::skew_symmetric && e.row == e.col)
        fail(src.line(), "entry " + std::to_string(count + 1) +
                             " off the diagonal (a skew-symmetric matrix has none on it), found "
                             "row and column " +
                             std::to_string(e.row));
    } else {
      e.row = row + 1;
      e.col = col + 1;
      ++row;
      settle();
    }
    e.re = 1;
    e.im = 0;
    switch (h.field) {
      case Field::pattern:
        break;
      case Field::complex:
        e.re = value(w, "the real part", "a number");
        e.im = value(w, "the imaginary part", "a number");
        break;
      default:
        e.re = value(w, "the value", "a real number");
    }
    if (!w.done())
      fail(src.line(), "the end of the line after entry " + std::to_string(count + 1) + ", found " +
                           quoted(w.next()));
    ++count;
    return true;
  }

  // After the last entry only blank and comment lines may follow.
  void finish() {
    if (finished) return;
    std::string_view line;
    while (src.next(line))
      if (!ignorable(line))
        fail(src.line(), "the end of the file after " + std::to_string(h.entries) +
                             " entries, found " + quoted(Words(line).next()));
    finished = true;
  }
};

void Reader::Impl::read_header() {
  std::string_view line;
  const std::string banner = "the banner \"%%MatrixMarket matrix <format> <field> <symmetry>\"";
  if (!src.next(line)) fail(1, banner + ", found the end of the file");
  Words w(line);
  std::string_view t = w.next();
  if (!same_word(t, "%%MatrixMarket")) fail(1, banner + ", found " + quoted(t));
  t = w.next();
  if (!same_word(t, "matrix")) fail(1, "the object \"matrix\", found " + quoted(t));
  t = w.next();
  if (same_word(t, "coordinate"))
    h.format = Format::coordinate;
  else if (same_word(t, "array"))
    h.format = Format::array;
  else
    fail(1, "the format \"coordinate\" or \"array\", found " + quoted(t));
  t = w.next();
  if (same_word(t, "real") || same_word(t, "double"))
    h.field = Field::real;
  else if (same_word(t, "integer"))
    h.field = Field::integer;
  else if (same_word(t, "complex"))
    h.field = Field::complex;
  else if (same_word(t, "pattern"))
    h.field = Field::pattern;
  else
    fail(1, "the field \"real\", \"integer\", \"complex\" or \"pattern\", found " + quoted(t));
  t = w.next();
  if (same_word(t, "general"))
    h.symmetry = Symmetry::general;
  else if (same_word(t, "symmetric"))
    h.symmetry = Symmetry::symmetric;
  else if (same_word(t, "skew-symmetric"))
    h.symmetry = Symmetry::skew_symmetric;
  else if (same_word(t, "hermitian"))
    h.symmetry = Symmetry::hermitian;
  else
    fail(1, "the symmetry \"general\", \"symmetric\", \"skew-symmetric\" or \"hermitian\", found " +
                quoted(t));
  if (!w.done()) fail(1, "the end of the banner, found " + quoted(w.next()));
  if (h.field == Field::pattern && h.format == Format::array)
    fail(1, "the format \"coordinate\" for the field \"pattern\" (an array file lists values)");
  if (h.field == Field::pattern && h.symmetry == Symmetry::skew_symmetric)
    fail(1, "values for a skew-symmetric matrix, found the field \"pattern\"");
  if (h.symmetry == Symmetry::hermitian && h.field != Field::complex)
    fail(1, "the field \"complex\" for a hermitian matrix, found " + quoted(name(h.field)));

  const bool coordinate = h.format == Format::coordinate;
  const std::string size_line =
      coordinate ? "the size line \"rows columns entries\"" : "the size line \"rows columns\"";
  do {
    if (!src.next(line)) fail(src.line() + 1, size_line + ", found the end of the file");
  } while (ignorable(line));
  Words s(line);
  int64_t v[3] = {0, 0, 0};
  const char *what[3] = {"rows", "columns", "entries"};
  for (int i = 0; i < (coordinate ? 3 : 2); ++i) {
    if (s.done()) fail(src.line(), size_line + ", found " + quoted(line));
    const char *at = s.mark();
    if (!s.integer(v[i]) || v[i] < 0)
      fail(src.line(),
           size_line + " with a whole number of " + what[i] + ", found " + quoted(s.word_at(at)));
  }
  if (!s.done()) fail(src.line(), size_line + ", found " + quoted(s.next()) + " after it");
  h.rows = v[0];
  h.cols = v[1];
  if (h.symmetry != Symmetry::general && h.rows != h.cols)
    fail(src.line(), "a square matrix for the symmetry \"" + std::string(name(h.symmetry)) +
                         "\", found " + std::to_string(h.rows) + " rows and " +
                         std::to_string(h.cols) + " columns");
  int64_t values = 0;
  if (coordinate)
    h.entries = v[2];
  else if (__builtin_mul_overflow(h.rows, h.cols, &values) || values > kMaxValues)
    fail(src.line(), "at most 2^62 values in an array file, found " + std::to_string(h.rows) +
                         " rows and " + std::to_string(h.cols) + " columns");
  else if (h.symmetry == Symmetry::general)
    h.entries = values;
  else if (h.symmetry == Symmetry::skew_symmetric)
    h.entries = h.rows * (h.rows - 1) / 2;  // rows <= 2^31 here
  else
    h.entries = h.rows * (h.rows + 1) / 2;
  data_offset = src.offset();
  data_line = src.line();
  start_positions();
}

Reader::Reader(const std::string &path) : impl_(std::make_unique<Impl>(path)) {
  impl_->read_header();
}
Reader::~Reader() = default;

const Header &Reader::header() const { return impl_->h; }
const std::string &Reader::path() const { return impl_->path; }
int64_t Reader::line() const { return impl_->src.line(); }
void Reader::require_finite(bool on) { impl_->finite = on; }

bool Reader::next(Entry &e) {
  if (impl_->used_columns) throw std::logic_error("Reader: next after read_columns");
  impl_->used_next = true;
  return impl_->read(e);
}

int64_t Reader::read_columns(double *a, int64_t lda, int64_t ncols) {
  Impl &m = *impl_;
  if (m.h.format != Format::array) m.fail(1, "an array file, found a coordinate one");
  if (m.h.field != Field::real && m.h.field != Field::integer)
    m.fail(1, "real or integer values, found the field " + quoted(name(m.h.field)));
  if (m.used_next) throw std::logic_error("Reader: read_columns after next");
  if (ncols > 0 && lda < m.h.rows) throw std::invalid_argument("Reader: lda below the row count");
  m.used_columns = true;
  int64_t done = 0;
  Entry e;
  for (; done < ncols && m.next_column < m.h.cols; ++done, ++m.next_column) {
    double *column = a + done * lda;
    const int64_t j = m.next_column;
    if (m.h.symmetry == Symmetry::skew_symmetric) column[j] = 0;
    while (m.col == j && m.count < m.h.entries) {
      m.read(e);
      column[e.row - 1] = e.re;
    }
  }
  if (m.count == m.h.entries) m.finish();
  return done;
}

void Reader::rewind() {
  Impl &m = *impl_;
  if (!m.src.regular()) throw InputError(m.path + ": cannot be read twice: not a regular file");
  m.src.seek(m.data_offset, m.data_line);
  m.count = 0;
  m.finished = false;
  m.next_column = 0;
  m.used_next = m.used_columns = false;
  m.start_positions();
}

void Reader::fail(const std::string &what) const { impl_->fail(impl_->src.line(), what); }

// --- Writer ----------------------------------------------------------------------

struct Writer::Impl {
  std::string path, temp;  // temp: the file written, renamed to path at close
  int fd = -1;
  Header h;
  std::unique_ptr<char[]> buf{new char[kBufferBytes]};
  size_t used = 0;
  int64_t written = 0;        // bytes handed to the file
  int64_t count_offset = -1;  // where the open entry count goes
  int64_t count = 0;          // entries or values written
  int64_t row = 0, col = 0;   // array files: position of the next value
  int64_t next_column = 0;    // array files: next column columns() writes
  bool closed = false;

  static constexpr int kCountWidth = 20;  // digits of the largest int64

  ~Impl() {
    if (fd >= 0) ::close(fd);
    if (!closed && !temp.empty()) ::unlink(temp.c_str());
  }

  [[noreturn]] void failed(const char *doing) const {
    throw OutputError("cannot " + std::string(doing) + " " + path + ": " + system_reason());
  }

  void flush() {
    size_t off = 0;
    while (off < used) {
      const ssize_t put = ::write(fd, buf.get() + off, used - off);
      if (put < 0) {
        if (errno == EINTR) continue;
        failed("write");
      }
      off += static_cast<size_t>(put);
    }
    written += static_cast<int64_t>(used);
    used = 0;
  }
  // Room for one formatted line of numbers.
  char *room() {
    if (kBufferBytes - used < 256) flush();
    return buf.get() + used;
  }
  void text(std::string_view s) {
    while (!s.empty()) {
      if (used == kBufferBytes) flush();
      const size_t n = std::min(s.size(), kBufferBytes - used);
      std::memcpy(buf.get() + used, s.data(), n);
      used += n;
      s.remove_prefix(n);
    }
  }

  char *put_value(char *p, double v) {
    if (h.field == Field::integer) {
      if (v != std::floor(v) || std::abs(v) > kMaxExactInteger)
        throw std::invalid_argument("Writer: " + std::to_string(v) + " is not an integer");
      return std::to_chars(p, p + 32, static_cast<int64_t>(v)).ptr;
    }
    return std::to_chars(p, p + 32, v).ptr;
  }
  void put(int64_t i, int64_t j, bool indices, double re, double im) {
    char *start = room(), *p = start;
    if (indices) {
      p = std::to_chars(p, p + 24, i).ptr;
      *p++ = ' ';
      p = std::to_chars(p, p + 24, j).ptr;
    }
    if (h.field != Field::pattern) {
      if (indices) *p++ = ' ';
      p = put_value(p, re);
      if (h.field == Field::complex) {
        *p++ = ' ';
        p = put_value(p, im);
      }
    }
    *p++ = '\n';
    used += static_cast<size_t>(p - start);
  }
};

Writer::Writer(const std::string &path, const Header &h, const std::string &comment)
    : impl_(std::make_unique<Impl>()) {
  Impl &m = *impl_;
  m.path = path;
  m.h = h;
  const bool coordinate = h.format == Format::coordinate;
  if (h.rows < 0 || h.cols < 0 || (coordinate && h.entries < -1))
    throw std::invalid_argument("Writer: negative size");
  if (h.symmetry != Symmetry::general && h.rows != h.cols)
    throw std::invalid_argument("Writer: a matrix with a symmetry must be square");
  if (h.field == Field::pattern && (!coordinate || h.symmetry == Symmetry::skew_symmetric))
    throw std::invalid_argument("Writer: pattern is for coordinate files without skew symmetry");
  if (h.symmetry == Symmetry::hermitian && h.field != Field::complex)
    throw std::invalid_argument("Writer: a hermitian matrix is complex");
  int64_t values = 0;
  if (!coordinate && (__builtin_mul_overflow(h.rows, h.cols, &values) || values > kMaxValues))
    throw std::invalid_argument("Writer: more than 2^62 values");
  if (!coordinate) {
    const int64_t n = h.rows;
    m.h.entries = h.symmetry == Symmetry::general          ? h.rows * h.cols
                  : h.symmetry == Symmetry::skew_symmetric ? n * (n - 1) / 2
                                                           : n * (n + 1) / 2;
    m.row = first_stored_row(h.symmetry, 0);
    while (m.col < h.cols && m.row >= h.rows) m.row = first_stored_row(h.symmetry, ++m.col);
  }

  // A new or regular file is written beside the target and renamed over it
  // when complete, so a failed write never leaves a truncated file behind nor
  // destroys the one that was there. Anything else (a pipe, a terminal) is
  // written in place.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (coordinate && h.entries < 0)
      throw std::invalid_argument("Writer: the entry count is needed to write " + path);
    m.fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (m.fd < 0) m.failed("open");
  } else {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; m.fd < 0; ++attempt) {
      m.temp = path + ".part" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
      m.fd = ::open(m.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (m.fd < 0 && (errno != EEXIST || attempt > 100)) {
        m.temp.clear();
        m.failed("create");
      }
    }
  }

  m.text("%%MatrixMarket matrix ");
  m.text(name(h.format));
  m.text(" ");
  m.text(name(h.field));
  m.text(" ");
  m.text(name(h.symmetry));
  m.text("\n");
  std::string_view c = comment;
  while (!c.empty()) {
    const size_t nl = c.find('\n');
    m.text("% ");
    m.text(c.substr(0, nl));
    m.text("\n");
    c = nl == std::string_view::npos ? std::string_view() : c.substr(nl + 1);
  }
  m.text(std::to_string(h.rows) + " " + std::to_string(h.cols));
  if (coordinate) {
    m.text(" ");
    if (h.entries >= 0) {
      m.text(std::to_string(h.entries));
    } else {
      m.count_offset = m.written + static_cast<int64_t>(m.used);
      m.text(std::string(Impl::kCountWidth, ' '));
    }
  }
  m.text("\n");
}

Writer::~Writer() = default;

void Writer::entry(int64_t row, int64_t col, double re, double im) {
  Impl &m = *impl_;
  if (m.closed || m.h.format != Format::coordinate)
    throw std::logic_error("Writer: entry on a closed or array file");
  if (row < 1 || row > m.h.rows || col < 1 || col > m.h.cols)
    throw std::invalid_argument("Writer: entry outside the matrix");
  if (m.h.symmetry != Symmetry::general &&
      (row < col || (row == col && m.h.symmetry == Symmetry::skew_symmetric)))
    throw std::invalid_argument("Writer: entry outside the stored triangle");
  if (m.h.entries >= 0 && m.count == m.h.entries)
    throw std::invalid_argument("Writer: more entries than announced");
  m.put(row, col, true, re, im);
  ++m.count;
}

void Writer::value(double re, double im) {
  Impl &m = *impl_;
  if (m.closed || m.h.format != Format::array)
    throw std::logic_error("Writer: value on a closed or coordinate file");
  if (m.count == m.h.entries)
    throw std::invalid_argument("Writer: more values than the shape holds");
  m.put(0, 0, false, re, im);
  ++m.count;
  ++m.row;
  while (m.col < m.h.cols && m.row >= m.h.rows) m.row = first_stored_row(m.h.symmetry, ++m.col);
}

void Writer::columns(const double *a, int64_t lda, int64_t ncols) {
  Impl &m = *impl_;
  if (m.h.format != Format::array || m.h.field == Field::complex)
    throw std::logic_error("Writer: columns needs a real or integer array file");
  if (ncols > 0 && lda < m.h.rows) throw std::invalid_argument("Writer: lda below the row count");
  for (int64_t k = 0; k < ncols; ++k) {
    const int64_t j = m.next_column++;
    if (j >= m.h.cols) throw std::invalid_argument("Writer: more columns than the shape holds");
    const double *column = a + k * lda;
    for (int64_t i = first_stored_row(m.h.symmetry, j); i < m.h.rows; ++i) value(column[i]);
  }
}

void Writer::close() {
  Impl &m = *impl_;
  if (m.closed) return;
  if (m.h.entries >= 0 && m.count != m.h.entries)
    throw std::invalid_argument("Writer: " + std::to_string(m.count) + " of " +
                                std::to_string(m.h.entries) + " entries written");
  m.flush();
  if (m.count_offset >= 0) {
    char digits[Impl::kCountWidth];
    const auto r = std::to_chars(digits, digits + sizeof digits, m.count);
    const size_t n = static_cast<size_t>(r.ptr - digits);
    if (::pwrite(m.fd, digits, n, m.count_offset) != static_cast<ssize_t>(n)) m.failed("write");
  }
  if (!m.temp.empty()) {
    if (::fsync(m.fd) != 0) m.failed("write");
  }
  const int fd = m.fd;
  m.fd = -1;
  if (::close(fd) != 0) m.failed("write");
  if (!m.temp.empty()) {
    if (::rename(m.temp.c_str(), m.path.c_str()) != 0) m.failed("replace");
    // The rename is durable once the directory is.
    const size_t slash = m.path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : m.path.substr(0, slash + 1);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
  m.closed = true;
}

// --- whole matrices --------------------------------------------------------------

namespace {

// The matrix must fit in memory; saying so beats being killed half way.
void check_memory(const std::string &path, double bytes, const char *what) {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return;
  const double have = static_cast<double>(pages) * static_cast<double>(page);
  if (bytes > have) {
    char text[200];
    std::snprintf(text, sizeof text, "%s needs %.1f GB, more than this machine's %.1f GB of memory",
                  what, bytes / 1e9, have / 1e9);
    throw InputError(path + ": " + text);
  }
}

// Compressed columns under construction: entries land in their column in
// file order, then each column is sorted and its duplicates summed.
struct Columns {
  std::vector<int64_t> ptr;  // see fill_start
  std::vector<int32_t> row;
  std::vector<double> val;

  // ptr holds each column's count at [c + 1]. Turns it into the start of
  // column c at [c + 1], so that filling column c at ptr[c + 1]++ leaves
  // ptr as the column pointers once every entry is in.
  int64_t fill_start() {
    int64_t total = 0;
    for (size_t c = 1; c < ptr.size(); ++c) {
      const int64_t count = ptr[c];
      ptr[c] = total;
      total += count;
    }
    return total;
  }

  // Sorts every column by row, stably, and sums duplicates in file order.
  void sum_duplicates() {
    std::vector<std::pair<int32_t, double>> scratch;
    int64_t w = 0, begin = 0;
    for (size_t c = 0; c + 1 < ptr.size(); ++c) {
      const int64_t end = ptr[c + 1];
      bool sorted = true;
      for (int64_t p = begin + 1; p < end && sorted; ++p) sorted = row[p - 1] <= row[p];
      if (!sorted) {
        scratch.clear();
        for (int64_t p = begin; p < end; ++p) scratch.emplace_back(row[p], val[p]);
        std::stable_sort(scratch.begin(), scratch.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (int64_t p = begin; p < end; ++p)
          row[p] = scratch[p - begin].first, val[p] = scratch[p - begin].second;
      }
      for (int64_t p = begin; p < end; ++p) {
        if (p > begin && row[p] == row[w - 1]) {
          val[w - 1] += val[p];
        } else {
          row[w] = row[p];
          val[w++] = val[p];
        }
      }
      begin = end;
      ptr[c + 1] = w;
    }
    row.resize(static_cast<size_t>(w));
    val.resize(static_cast<size_t>(w));
    // Give back what the duplicates took when that is much.
    if (row.capacity() > 2 * row.size() + 1024) {
      row.shrink_to_fit();
      val.shrink_to_fit();
    }
  }
};

// Order-sensitive digest of the entries, to see that the second pass read
// the same file as the first.
struct Digest {
  uint64_t h = 0x243f6a8885a308d3ULL;
  void add(const Entry &e) {
    uint64_t bits;
    std::memcpy(&bits, &e.re, sizeof bits);
    for (uint64_t v : {static_cast<uint64_t>(e.row), static_cast<uint64_t>(e.col), bits}) {
      h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
      h *= 0xff51afd7ed558ccdULL;
    }
  }
};

std::string format_number(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

}  // namespace

SparseSym read_symmetric(const std::string &path) {
  Reader r(path);
  const Header h = r.header();
  const std::string size_line = path + ":" + std::to_string(r.line()) + ": expected ";
  if (h.format != Format::coordinate)
    throw InputError(path + ":1: expected a coordinate (sparse) matrix, found an array one");
  if (h.field != Field::real && h.field != Field::integer)
    throw InputError(path + ":1: expected the field \"real\" or \"integer\", found \"" +
                     name(h.field) + "\"" +
                     (h.field == Field::pattern ? " (a pattern matrix has no values)" : ""));
  if (h.symmetry != Symmetry::symmetric && h.symmetry != Symmetry::general)
    throw InputError(path + ":1: expected the symmetry \"symmetric\" or \"general\", found \"" +
                     name(h.symmetry) + "\"");
  if (h.rows != h.cols)
    throw InputError(size_line + "a square matrix, found " + std::to_string(h.rows) + " rows and " +
                     std::to_string(h.cols) + " columns");
  if (h.rows < 1 || h.rows > INT32_MAX)
    throw InputError(size_line + "from 1 to 2147483647 rows, found " + std::to_string(h.rows));
  const int32_t n = static_cast<int32_t>(h.rows);
  check_memory(path, 16.0 * (static_cast<double>(n) + 1), "counting the columns");
  r.require_finite(true);

  // First pass: count. Entries on or below the diagonal go to their column of
  // the lower triangle; those above it to the column of their row (the
  // position of their mirror image).
  Columns lower, upper;
  lower.ptr.assign(static_cast<size_t>(n) + 1, 0);
  upper.ptr.assign(static_cast<size_t>(n) + 1, 0);
  int64_t above = 0, below = 0;
  Digest first;
  Entry e;
  while (r.next(e)) {
    first.add(e);
    if (e.row >= e.col) {
      ++lower.ptr[e.col];
      below += e.row > e.col;
    } else {
      ++upper.ptr[e.row];
      ++above;
    }
  }
  // A general file lists both halves; so does a symmetric one with entries on
  // both sides of the diagonal, and then each half must be complete. A
  // symmetric file with one half is that half, wherever its entries lie.
  const bool halves = h.symmetry == Symmetry::general || (above > 0 && below > 0);
  if (!halves) {
    for (int32_t c = 1; c <= n; ++c) lower.ptr[c] += upper.ptr[c];
    upper = Columns();
  }
  check_memory(path, 16.0 * (static_cast<double>(n) + 1) + 12.0 * static_cast<double>(h.entries),
               "the matrix");
  const int64_t in_lower = lower.fill_start();
  lower.row.resize(static_cast<size_t>(in_lower));
  lower.val.resize(static_cast<size_t>(in_lower));
  const int64_t in_upper = halves ? upper.fill_start() : 0;
  upper.row.resize(static_cast<size_t>(in_upper));
  upper.val.resize(static_cast<size_t>(in_upper));

  // Second pass: fill. The positions are bounded by the first pass's counts;
  // should the file have changed in between, the digests differ.
  r.rewind();
  Digest second;
  while (r.next(e)) {
    second.add(e);
    const bool low = e.row >= e.col || !halves;
    Columns &t = low ? lower : upper;
    const int64_t hi = std::max(e.row, e.col) - 1, lo = std::min(e.row, e.col) - 1;
    int64_t &at = t.ptr[lo + 1];
    if (at >= static_cast<int64_t>(t.row.size())) break;
    t.row[at] = static_cast<int32_t>(hi);
    t.val[at++] = e.re;
  }
  if (second.h != first.h || lower.ptr[n] != in_lower || (halves && upper.ptr[n] != in_upper))
    throw InputError(path + ": the file changed while it was being read");
  lower.sum_duplicates();

  if (halves) {
    upper.sum_duplicates();
    // Two halves describe the same matrix when each a(i,j) matches its
    // a(j,i) up to rounding. Values assembled in a different order differ in
    // the last bits of the largest terms summed, and no term exceeds the
    // largest entry of row i or row j (a finite-element contribution to
    // a(i,j) is bounded by the element's diagonal terms, which the assembled
    // diagonal adds up). So the tolerance is kSymmetryTolerance (about 4500
    // ulps) times the largest magnitude in row i or j: loose enough for any
    // assembly order, and tight enough that keeping one half changes the
    // matrix less than a backward-stable factorisation's own rounding does.
    std::vector<double> scale(static_cast<size_t>(n), 0.0);
    for (const Columns *t : {&lower, &upper})
      for (int32_t c = 0; c < n; ++c)
        for (int64_t p = t->ptr[c]; p < t->ptr[c + 1]; ++p) {
          const double m = std::abs(t->val[p]);
          scale[c] = std::max(scale[c], m);
          scale[t->row[p]] = std::max(scale[t->row[p]], m);
        }
    int64_t beyond = 0;
    double worst = -1, worst_low = 0, worst_up = 0;
    int64_t worst_row = 0, worst_col = 0;
    for (int32_t c = 0; c < n; ++c) {
      int64_t p = lower.ptr[c], q = upper.ptr[c];
      const int64_t pe = lower.ptr[c + 1], qe = upper.ptr[c + 1];
      if (p < pe && lower.row[p] == c) ++p;  // the diagonal has no mirror
      while (p < pe || q < qe) {
        const int32_t rp = p < pe ? lower.row[p] : INT32_MAX,
                      rq = q < qe ? upper.row[q] : INT32_MAX;
        const int32_t r0 = std::min(rp, rq);
        const double l = rp == r0 ? lower.val[p++] : 0.0, u = rq == r0 ? upper.val[q++] : 0.0;
        const double diff = std::abs(l - u);
        if (diff > kSymmetryTolerance * std::max(scale[r0], scale[c])) {
          ++beyond;
          if (diff > worst)
            worst = diff, worst_low = l, worst_up = u, worst_row = r0, worst_col = c;
        }
      }
    }
    if (beyond > 0) {
      char tolerance[16];
      std::snprintf(tolerance, sizeof tolerance, "%g", kSymmetryTolerance);
      const std::string i = std::to_string(worst_row + 1), j = std::to_string(worst_col + 1);
      throw InputError(path + ": expected " +
                       (h.symmetry == Symmetry::general
                            ? std::string("symmetric values")
                            : std::string("the two triangles a symmetric file lists to agree")) +
                       ", found |a(" + i + "," + j + ") - a(" + j + "," + i + ")| = |" +
                       format_number(worst_low) + " - " + format_number(worst_up) +
                       "| = " + format_number(worst) + ", the largest of " +
                       std::to_string(beyond) + " difference" + (beyond > 1 ? "s" : "") +
                       " beyond " + tolerance + " times the largest entry of their rows");
    }
  }

  SparseSym a;
  a.n = n;
  a.colptr = std::move(lower.ptr);
  a.rowind = std::move(lower.row);
  a.values = std::move(lower.val);
  return a;
}

DenseMatrix read_dense(const std::string &path) {
  Reader r(path);
  const Header h = r.header();
  if (h.field != Field::real && h.field != Field::integer)
    throw InputError(path + ":1: expected the field \"real\" or \"integer\", found \"" +
                     name(h.field) + "\"");
  check_memory(path, 8.0 * static_cast<double>(h.rows) * static_cast<double>(h.cols),
               "the dense matrix");
  DenseMatrix d;
  d.rows = h.rows;
  d.cols = h.cols;
  d.values.assign(static_cast<size_t>(h.rows * h.cols), 0.0);
  const int64_t ld = h.rows;
  auto at = [&](int64_t i, int64_t j) -> double & {
    return d.values[static_cast<size_t>(i + j * ld)];
  };
  if (h.format == Format::array && d.values.empty()) {
    Entry e;
    while (r.next(e)) {
    }
  } else if (h.format == Format::array) {
    r.read_columns(d.values.data(), ld, h.cols);
    if (h.symmetry != Symmetry::general) {
      const double sign = h.symmetry == Symmetry::skew_symmetric ? -1 : 1;
      for (int64_t j = 0; j < h.cols; ++j)
        for (int64_t i = j + 1; i < h.rows; ++i) at(j, i) = sign * at(i, j);
    }
  } else {
    Entry e;
    while (r.next(e)) {
      at(e.row - 1, e.col - 1) += e.re;
      if (h.symmetry != Symmetry::general && e.row != e.col)
        at(e.col - 1, e.row - 1) += h.symmetry == Symmetry::skew_symmetric ? -e.re : e.re;
    }
  }
  return d;
}

void write_dense(const std::string &path, int64_t rows, int64_t cols, const double *a, int64_t lda,
                 const std::string &comment) {
  Header h;
  h.format = Format::array;
  h.rows = rows;
  h.cols = cols;
  Writer w(path, h, comment);
  w.columns(a, std::max<int64_t>(lda, 1), cols);
  w.close();
}

}  // namespace tessera::solve::mm
