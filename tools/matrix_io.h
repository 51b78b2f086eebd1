// Between a stored matrix and Matrix Market numbers: which element types a
// Matrix Market file can hold, the conversion of one element to and from
// (re, im), and the values of a stored matrix as a user sees them, region
// by region (the diagonal form's one stored column spread on the diagonal,
// symmetric forms whole).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "matrix_market.h"
#include "set_view.h"

namespace tessera::tool {

namespace mm = tessera::solve::mm;

// The types a Matrix Market file holds one number of per entry: integer,
// real (single or double), complex (single or double), and the integer
// one-column type. Others are a UserError naming the matrix.
void require_single_numbers(const tessera_matrix_info &m);
// Bytes of one element of a supported type.
size_t element_bytes(int32_t type);
// The Matrix Market field of a type: integer, real or complex.
mm::Field field_of(int32_t type);
bool is_complex(int32_t type);

void load_number(const unsigned char *at, int32_t type, double &re, double &im);
// An integer type takes whole numbers of 32 bits only; false otherwise.
bool store_number(unsigned char *at, int32_t type, double re, double im);

// The values of matrix `index` of a view as the user sees them.
class MatrixValues {
 public:
  MatrixValues(const SetView &view, int32_t index);
  const tessera_matrix_info &info() const { return m_; }
  // Rows and columns the user sees: the integer one-column type has one
  // column; every other form its own shape.
  int32_t rows() const { return m_.rows; }
  int32_t cols() const { return cols_; }
  // Rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 into re and im, column-major
  // with leading dimension nr (im 0 for real types).
  void get(int32_t i1, int32_t nr, int32_t j1, int32_t nc, std::vector<double> &re,
           std::vector<double> &im) const;
  // Columns a region of `rows` rows may span to stay within about `bytes`.
  int32_t panel_columns(int64_t rows, int64_t bytes) const;
  // Calls fn(i, j, re, im) for every non-zero element of the stored blocks
  // that lies in rows i1..i2, columns j1..j2 (both ends included), once per
  // element; a symmetric form's stored block stands for its mirror too.
  void stored_nonzeros(int32_t i1, int32_t i2, int32_t j1, int32_t j2,
                       const std::function<void(int32_t, int32_t, double, double)> &fn) const;

 private:
  const SetView &view_;
  int32_t index_;
  tessera_matrix_info m_;
  int32_t cols_;
  bool diagonal_;
};

// Runs write(path) with a path in a fresh temporary directory and copies
// the file it leaves to standard output (the writer puts its file in place
// only when it is complete).
void write_to_stdout(const std::function<void(const std::string &path)> &write);

}  // namespace tessera::tool
