// Matrix Market files, read and written as streams.
//
// A file is a banner, comment lines, a size line and then one entry per line:
//
//   %%MatrixMarket matrix coordinate real symmetric
//   % comments
//   rows cols entries            (an array file: rows cols)
//   i j value                    (1-based; an array file lists values only,
//   ...                           column by column)
//
// Formats coordinate and array; fields real, integer, complex (two numbers per
// value) and pattern (no value; coordinate only); symmetries general,
// symmetric, skew-symmetric (no diagonal) and hermitian (complex only). An
// array file with a symmetry lists only the lower triangle of each column:
// rows j .. n (skew-symmetric: j+1 .. n) of column j.
//
// Reader goes through a file once with a fixed buffer, whatever its size:
// memory does not grow with the file. read_symmetric builds the solver's
// compressed columns from it in two passes (count, then fill), so the memory it
// holds is the matrix itself plus, while it is being built, 12 bytes for each
// entry the file lists. Writer writes into a temporary file beside the target
// and renames it over the target only when the file is complete.
//
// Every malformed file is refused with an InputError whose message starts
// "file:line: expected ...".
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "problem.h"

namespace tessera::solve::mm {

enum class Format { coordinate, array };
enum class Field { real, integer, complex, pattern };
enum class Symmetry { general, symmetric, skew_symmetric, hermitian };

// The banner's words: "coordinate", "real", "skew-symmetric", ...
TESSERA_SOLVE_API const char *name(Format f);
TESSERA_SOLVE_API const char *name(Field f);
TESSERA_SOLVE_API const char *name(Symmetry s);

struct Header {
  Format format = Format::coordinate;
  Field field = Field::real;
  Symmetry symmetry = Symmetry::general;
  int64_t rows = 0, cols = 0;
  // The number of entry lines: a coordinate file's stated count, or the
  // values an array file stores (rows * cols, or its lower triangle). A
  // Writer takes -1 for a coordinate file whose count is not known yet.
  int64_t entries = 0;
};

// One entry, 1-based. An integer value is exact in re (at most 2^53 in
// magnitude); a pattern entry has re = 1. Entries of an array file carry
// their position too.
struct Entry {
  int64_t row = 0, col = 0;
  double re = 0, im = 0;
};

// A failed write: the message names the file and the system's reason.
class TESSERA_SOLVE_API OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TESSERA_SOLVE_API Reader {
 public:
  // Opens the file and reads the banner and the size line.
  explicit Reader(const std::string &path);
  ~Reader();
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  const Header &header() const;
  const std::string &path() const;
  // The line last read (1-based).
  int64_t line() const;

  // Refuse values that are infinite or not a number (they are read as such
  // otherwise: "inf", "nan").
  void require_finite(bool on);

  // The next entry. Returns false once all entries are read, after checking
  // that nothing but blank and comment lines follows them.
  bool next(Entry &e);

  // Array files with real or integer values: reads the next ncols columns
  // (fewer at the end) into a (column-major, leading dimension lda) and
  // returns how many it read, 0 at the end. Column j fills rows 1 .. rows of
  // a general file; of a symmetric file only rows j .. n (the lower triangle;
  // a skew-symmetric file also sets the diagonal to 0), leaving the rows above
  // as they were.
  int64_t read_columns(double *a, int64_t lda, int64_t ncols);

  // Goes back to the first entry, for a second pass. The file must be a
  // regular file.
  void rewind();

  // Throws InputError "path:line: expected <what>".
  [[noreturn]] void fail(const std::string &what) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class TESSERA_SOLVE_API Writer {
 public:
  // Writes the banner, the comment (each of its lines prefixed with "%") and
  // the size line. For an array file the entry count follows from the shape.
  Writer(const std::string &path, const Header &h, const std::string &comment = {});
  // A writer that was not closed removes what it wrote.
  ~Writer();
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;

  // Coordinate files: one entry, 1-based; of a file with a symmetry, only the
  // lower triangle (row >= col, row > col for skew-symmetric). Values are
  // written in the shortest form that reads back to the same double; an
  // integer field takes whole numbers only; im is written for complex only,
  // no value for pattern.
  void entry(int64_t row, int64_t col, double re, double im = 0);
  // Array files: the next value in file order.
  void value(double re, double im = 0);
  // Array files: the next ncols columns from a (leading dimension lda), the
  // part of each column the file stores.
  void columns(const double *a, int64_t lda, int64_t ncols);

  // Checks that every announced entry was written, completes the size line
  // if its count was left open, makes the file durable and puts it in place.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A sparse symmetric matrix for the solver, from a coordinate file:
//  - real or integer symmetric, with the lower triangle, the upper triangle or
//    both listed: duplicates are summed, as finite-element assembly does; when
//    both triangles are listed each must describe the whole matrix, and they
//    must agree as the two halves of a general file do;
//  - real or integer general, whose values must be symmetric: the largest
//    difference |a(i,j) - a(j,i)| beyond the tolerance is named and the file
//    refused.
// Infinite and NaN values are refused. The file is read twice.
TESSERA_SOLVE_API SparseSym read_symmetric(const std::string &path);

// The relative tolerance of the symmetry check (see read_symmetric).
inline constexpr double kSymmetryTolerance = 1e-12;

// A dense matrix in memory, column-major: right-hand sides and solutions.
struct DenseMatrix {
  int64_t rows = 0, cols = 0;
  std::vector<double> values;
};

// Reads a real or integer matrix into memory: an array file (a symmetric one
// is completed from its lower triangle) or a coordinate file (missing entries
// are 0, duplicates summed).
TESSERA_SOLVE_API DenseMatrix read_dense(const std::string &path);

// Writes rows x cols values from a (leading dimension lda) as an array real
// general file.
TESSERA_SOLVE_API void write_dense(const std::string &path, int64_t rows, int64_t cols,
                                   const double *a, int64_t lda, const std::string &comment = {});

}  // namespace tessera::solve::mm
