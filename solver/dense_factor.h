// Factorisation of a dense square held in memory, the diagonal part of every
// panel of the out-of-core factorisation: A = U^T S U with U upper triangular
// and S the signs of the pivots.
//
// The square is split in two recursively, at multiples of the block order;
// each leaf of at most one block goes through crudr, so its tiny-pivot
// handling and the Xchosky diagnostics apply, and the rest is triangular
// solves and symmetric updates through the BLAS.
#pragma once

#include <cstdint>
#include <vector>

namespace tessera::solve {

// A pivot the factorisation refused: negative when the matrix should be
// positive definite, or a tiny negative one that crudr itself refuses.
struct PivotRefusal {
  int64_t column = -1;  // 0-based, in the factor's numbering
  double pivot = 0;     // the pivot before its square root was taken
  bool tiny = false;    // refused by crudr as a tiny negative pivot
};

class SquareFactor {
 public:
  explicit SquareFactor(int32_t nb);

  // Factorises the upper triangle of the m x m square t (leading dimension
  // ldt) in place. first is the factor column of t's first column. On return
  // t's upper triangle holds U and sign[0..m) the signs of the pivots (+1 or
  // -1). Returns false, with refusal set, when a pivot is refused: always for
  // crudr's refusals, and for every negative pivot unless indefinite.
  bool factor(double *t, int64_t ldt, int32_t m, int64_t first, bool indefinite, int8_t *sign,
              PivotRefusal *refusal);

  // Floating-point operations done so far.
  double flops() const { return flops_; }

 private:
  bool leaf(double *t, int64_t ldt, int32_t m, int64_t first, bool indefinite, int8_t *sign,
            PivotRefusal *refusal);
  int32_t nb_;
  std::vector<double> a_, f_, g_, v_;
  double flops_ = 0;
};

// Upper triangle of C (n x n) := C - W^T S W, W k x n, S the signs of W's rows
// (null: all +1). Uses work of k * chunk doubles when signs are given.
void update_upper(double *c, int64_t ldc, int32_t n, const double *w, int64_t ldw, int32_t k,
                  const int8_t *sign, std::vector<double> &work);

// Rows of b (m x n) times their signs.
void scale_rows(double *b, int64_t ldb, int32_t m, int32_t n, const int8_t *sign);

}  // namespace tessera::solve
