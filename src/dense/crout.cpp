// Crout decomposition of a dense block row held in host memory: the n x n
// diagonal block A11 and the m - n columns A12 to its right become upper
// triangular F and G with A11 = F^T G and F^T G12 = A12. For a symmetric
// positive definite block both factors are its Cholesky factor; ordinary
// negative pivots are accepted (F carries their sign), tiny ones are replaced
// and, when the host switched recording on, entered in the Xchosky lists.
//
// Storage: every array is column-major with leading dimension n; X(i, j) is
// element (j - 1) n + i - 1 here. Only the upper triangles of F and G are
// touched. A is read, except that a tiny pivot's diagonal entry is replaced
// by the square root of its reduced value.
#include <cmath>
#include <cstddef>

#include "common/status.h"
#include "control/trace.h"
#include "dense/chosky_words.h"
#include "dense/dense.h"
#include "dense/dense_codes.h"
#include "dense/kernels.h"
#include "tessera.h"

namespace tessera {

int32_t cr_check_pivot(double d, double t, int32_t j, bool &tiny) {
  tiny = !(std::sqrt(std::fabs(d)) > t);
  if (tiny && d < 0) return hm_fail(-j, trace::kTinyNegativePivot);
  return status::kOk;
}

int32_t cr_decompose(double *a, double *f, double *g, int32_t n, int32_t m,
                     int32_t first_column) {
  if (n < 1) return status::kOk;
  // A block row narrower than its square part has no A12 and would send the
  // threshold scan and G's columns past the host's arrays.
  if (m < n) return hm_fail(status::kShapesDoNotConform, trace::kCrudrShape);

  const std::ptrdiff_t ld = n;
  const double t =
      cr_max_abs(a, static_cast<std::size_t>(n) * static_cast<std::size_t>(m)) /
      kNegligibleScale;
  int32_t *chosky = chosky_words();

  for (int32_t j = 1; j <= n; ++j) {
    double *aj = a + (j - 1) * ld;
    double *fj = f + (j - 1) * ld;
    double *gj = g + (j - 1) * ld;
    const double given = aj[j - 1];
    double d = given - cr_dot(fj, gj, j - 1);

    bool tiny = false;
    if (const int32_t s = cr_check_pivot(d, t, j, tiny); s != status::kOk) {
      return hm_fail(s, trace::kCrudrPivot);
    }
    double p = d;
    if (tiny) {
      const double removed = given - d;
      if (d == 0) d = 1.0;
      if (chosky[chw::kRecording] != 0) {
        // Global column labels wrap rather than overflow for absurd offsets.
        const auto column = static_cast<int32_t>(static_cast<int64_t>(first_column) + j - 1);
        chosky[chw::kTinyCount] += 1;
        cr_record_pivot(chosky, d, column);
        cr_record_ratio(chosky, given, removed, column);
      }
      const double root = std::sqrt(d);
      aj[j - 1] = root;
      p = 1.0 / root;
    }
    const double gjj = std::sqrt(std::fabs(p));
    const double fjj = p < 0 ? -gjj : gjj;
    fj[j - 1] = fjj;
    gj[j - 1] = gjj;
    const double rg = 1.0 / gjj;
    const double rf = 1.0 / fjj;

    // Row j of F from column j of A below the diagonal.
    for (int32_t i = j + 1; i <= n; ++i) {
      double *fi = f + (i - 1) * ld;
      fi[j - 1] = (aj[i - 1] - cr_dot(gj, fi, j - 1)) * rg;
    }
    // Row j of G from row j of A to the right of the diagonal.
    for (int32_t i = j + 1; i <= m; ++i) {
      double *gi = g + (i - 1) * ld;
      gi[j - 1] = (a[(i - 1) * ld + j - 1] - cr_dot(fj, gi, j - 1)) * rf;
    }
  }
  return status::kOk;
}

}  // namespace tessera

extern "C" TESSERA_API void crudr(double *a, double *f, double *g, const int32_t *n,
                                  const int32_t *m, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kAreaTrace | tessera::kAreaChosky, false, ierr)) return;
  const int32_t first_column = *ierr;
  *ierr = 0;
  *ierr = tessera::cr_decompose(a, f, g, *n, *m, first_column);
}
