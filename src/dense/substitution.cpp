// Forward and backward substitution with one upper-triangular factor (or a
// diagonal one, mode 5) for k right-hand sides at once, in place. With the
// factors of the Crout decomposition, forward with F then backward with G
// solves A Z = X.
//
// Before X is touched the factor must pass an acceptance test: its smallest
// diagonal magnitude must exceed its largest magnitude / 2^55. A refused
// factor leaves X as it was.
#include <cmath>
#include <cstddef>

#include "common/status.h"
#include "control/trace.h"
#include "dense/dense.h"
#include "dense/dense_codes.h"
#include "dense/kernels.h"
#include "tessera.h"

namespace tessera {
namespace {

inline constexpr int32_t kDiagonalMode = 5;

// 0 when the factor is accepted, else -jmin (first index of the smallest
// diagonal magnitude).
int32_t accept(const double *u, int32_t n, int32_t mode) {
  int32_t jmin = 1;
  double dmin = 0, umax = 0;
  if (mode == kDiagonalMode) {
    dmin = cr_min_abs_strided(u, 1, n, jmin);
    umax = cr_max_abs(u, static_cast<std::size_t>(n));
  } else {
    const std::ptrdiff_t ld = n;
    dmin = cr_min_abs_strided(u, ld + 1, n, jmin);
    umax = std::fabs(u[0]);
    for (int32_t j = 2; j <= n; ++j) {
      const double c = cr_max_abs(u + (j - 1) * ld, static_cast<std::size_t>(j));
      if (c > umax) umax = c;
    }
  }
  return dmin > umax / kNegligibleScale ? 0 : -jmin;
}

}  // namespace

int32_t cr_forward(const double *u, double *x, int32_t n, int32_t k, int32_t mode) {
  if (n < 1) return status::kOk;
  if (const int32_t s = accept(u, n, mode); s != 0) return hm_fail(s, trace::kFwsdrRefused);
  const std::ptrdiff_t ld = n;
  if (mode == kDiagonalMode) {
    for (int32_t j = 1; j <= n; ++j) {
      const double r = 1.0 / u[j - 1];
      for (int32_t q = 1; q <= k; ++q) x[(q - 1) * ld + j - 1] *= r;
    }
    return status::kOk;
  }
  for (int32_t j = 1; j <= n; ++j) {
    const double *uj = u + (j - 1) * ld;
    const double r = 1.0 / uj[j - 1];
    for (int32_t q = 1; q <= k; ++q) {
      double *xq = x + (q - 1) * ld;
      xq[j - 1] = (xq[j - 1] - cr_dot(uj, xq, j - 1)) * r;
    }
  }
  return status::kOk;
}

int32_t cr_backward(const double *u, double *x, int32_t n, int32_t k, int32_t mode) {
  if (n < 1) return status::kOk;
  if (const int32_t s = accept(u, n, mode); s != 0) return hm_fail(s, trace::kBwsdrRefused);
  const std::ptrdiff_t ld = n;
  if (mode == kDiagonalMode) {
    for (int32_t j = n; j >= 1; --j) {
      const double r = 1.0 / u[j - 1];
      for (int32_t q = 1; q <= k; ++q) x[(q - 1) * ld + j - 1] *= r;
    }
    return status::kOk;
  }
  for (int32_t j = n; j >= 1; --j) {
    const double r = 1.0 / u[(j - 1) * ld + j - 1];
    if (j == n) {
      for (int32_t q = 1; q <= k; ++q) x[(q - 1) * ld + j - 1] *= r;
      continue;
    }
    // Row j of U right of the diagonal: U(j, i) for i > j, stride ld.
    const double *row = u + j * ld + (j - 1);
    for (int32_t q = 1; q <= k; ++q) {
      double *xq = x + (q - 1) * ld;
      xq[j - 1] = (xq[j - 1] - cr_dot_strided(row, ld, xq + j, n - j)) * r;
    }
  }
  return status::kOk;
}

}  // namespace tessera

// A negative k counts as no right-hand side.
extern "C" TESSERA_API void fwsdr(const double *u, double *x, const int32_t *n,
                                  const int32_t *k, const int32_t *mode, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kAreaTrace, false, ierr)) return;
  *ierr = 0;
  *ierr = tessera::cr_forward(u, x, *n, *k < 0 ? 0 : *k, *mode);
}

extern "C" TESSERA_API void bwsdr(const double *u, double *x, const int32_t *n,
                                  const int32_t *k, const int32_t *mode, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kAreaTrace, false, ierr)) return;
  *ierr = 0;
  *ierr = tessera::cr_backward(u, x, *n, *k < 0 ? 0 : *k, *mode);
}
