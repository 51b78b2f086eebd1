// Factorisation of a dense square in memory (dense_factor.h).
//
// With the square split as [A11 A12; . A22], A11 = U11^T S1 U11 first; then
// W12 = U11^-T A12 and U12 = S1 W12 (crudr's F = S U, and F^-T = S U^-T);
// then A22 - U12^T S1 U12 = A22 - W12^T S1 W12 is factorised the same way.
#include "dense_factor.h"

#include <algorithm>
#include <cmath>

#include "blas.h"
#include "tessera.h"

namespace tessera::solve {
namespace {

// Columns of W^T S W formed at once when signs are given.
constexpr int32_t kSignedChunk = 256;

}  // namespace

void scale_rows(double *b, int64_t ldb, int32_t m, int32_t n, const int8_t *sign) {
  for (int32_t j = 0; j < n; ++j) {
    double *col = b + j * ldb;
    for (int32_t i = 0; i < m; ++i)
      if (sign[i] < 0) col[i] = -col[i];
  }
}

void update_upper(double *c, int64_t ldc, int32_t n, const double *w, int64_t ldw, int32_t k,
                  const int8_t *sign, std::vector<double> &work) {
  if (n <= 0 || k <= 0) return;
  if (sign == nullptr) {
    blas::syrk_upper_minus(n, k, w, static_cast<int>(ldw), c, static_cast<int>(ldc));
    return;
  }
  // Rows c0..c1 of C's upper triangle from a signed copy of W's columns
  // c0..c1; the lower part of the chunk's own square is formed too, and
  // nobody reads it.
  work.resize(static_cast<size_t>(k) * kSignedChunk);
  for (int32_t c0 = 0; c0 < n; c0 += kSignedChunk) {
    const int32_t cw = std::min(kSignedChunk, n - c0);
    for (int32_t j = 0; j < cw; ++j) {
      const double *src = w + (c0 + j) * ldw;
      double *dst = work.data() + static_cast<size_t>(j) * k;
      for (int32_t i = 0; i < k; ++i) dst[i] = sign[i] < 0 ? -src[i] : src[i];
    }
    blas::gemm('T', 'N', cw, n - c0, k, -1.0, work.data(), k, w + c0 * ldw,
               static_cast<int>(ldw), 1.0, c + c0 + c0 * ldc, static_cast<int>(ldc));
  }
}

SquareFactor::SquareFactor(int32_t nb)
    : nb_(nb), a_(static_cast<size_t>(nb) * nb), f_(a_.size()), g_(a_.size()) {}

bool SquareFactor::factor(double *t, int64_t ldt, int32_t m, int64_t first, bool indefinite,
                          int8_t *sign, PivotRefusal *refusal) {
  if (m <= 0) return true;
  if (m <= nb_) return leaf(t, ldt, m, first, indefinite, sign, refusal);
  const int32_t m1 = std::max(nb_, (m / 2) / nb_ * nb_), m2 = m - m1;
  if (!factor(t, ldt, m1, first, indefinite, sign, refusal)) return false;
  double *a12 = t + m1 * ldt, *a22 = a12 + m1;
  blas::trsm_upper_transposed(m1, m2, t, static_cast<int>(ldt), a12, static_cast<int>(ldt));
  const bool all_positive = std::all_of(sign, sign + m1, [](int8_t s) { return s > 0; });
  update_upper(a22, ldt, m2, a12, ldt, m1, all_positive ? nullptr : sign, v_);
  if (!all_positive) scale_rows(a12, ldt, m1, m2, sign);
  flops_ += double(m1) * m1 * m2 + double(m1) * m2 * m2;
  return factor(a22, ldt, m2, first + m1, indefinite, sign + m1, refusal);
}

bool SquareFactor::leaf(double *t, int64_t ldt, int32_t m, int64_t first, bool indefinite,
                        int8_t *sign, PivotRefusal *refusal) {
  // crudr reads both triangles of its block: mirror the upper one.
  double *a = a_.data(), *f = f_.data(), *g = g_.data();
  for (int32_t j = 0; j < m; ++j)
    for (int32_t i = 0; i <= j; ++i) a[i + j * m] = a[j + i * m] = t[i + j * ldt];
  int32_t n = m;
  int32_t ierr = static_cast<int32_t>(first + 1);
  crudr(a, f, g, &n, &n, &ierr);
  flops_ += double(m) * m * m / 3.0;
  if (ierr < 0) {
    // A tiny negative pivot at block column j: what the elimination left of
    // it, from the rows of F and G completed before it.
    const int32_t j = -ierr - 1;
    double d = a[j + j * m];
    for (int32_t k = 0; k < j; ++k) d -= f[k + j * m] * g[k + j * m];
    *refusal = {first + j, d, true};
    return false;
  }
  for (int32_t j = 0; j < m; ++j) {
    const double fjj = f[j + j * m];
    sign[j] = fjj < 0 ? -1 : 1;
    if (fjj < 0 && !indefinite) {
      *refusal = {first + j, fjj * std::fabs(fjj), false};
      return false;
    }
  }
  for (int32_t j = 0; j < m; ++j)
    for (int32_t i = 0; i <= j; ++i) t[i + j * ldt] = g[i + j * m];
  return true;
}

}  // namespace tessera::solve
