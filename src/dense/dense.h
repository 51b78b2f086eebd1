// Internal routines of the dense block solver: the Crout decomposition of a
// block row held by the host, the tiny-pivot test and diagnostics, and the
// substitutions. They use only the error trace and the Xchosky area.
#pragma once

#include <cstdint>

namespace tessera {

// Crout decomposition A = F^T G of the n x n diagonal block, and G's columns
// n + 1..m from F^T G12 = A12. first_column labels recorded pivots. Returns 0,
// -j for a tiny negative pivot in column j, or kShapesDoNotConform for m < n.
int32_t cr_decompose(double *a, double *f, double *g, int32_t n, int32_t m,
                     int32_t first_column);

// Tiny-pivot test of the reduced diagonal d in block column j against the
// threshold t: tiny is set when sqrt|d| <= t. A tiny negative pivot is refused
// with -j.
int32_t cr_check_pivot(double d, double t, int32_t j, bool &tiny);

// Enter a tiny pivot d of global column `column` into lists S (20 smallest)
// and L (20 largest) of the Xchosky area `chosky`. Returns the number of
// lists (0-2) that took it.
int32_t cr_record_pivot(int32_t *chosky, double d, int32_t column);

// Enter a tiny pivot into list R: `given` is the diagonal entry before the
// elimination, `removed` the amount the elimination took from it. Returns
// true when the list took it.
bool cr_record_ratio(int32_t *chosky, double given, double removed, int32_t column);

// Solve U^T X = B (forward) or U X = B (backward) in place for k columns;
// mode 5 takes U as its n diagonal entries. Returns 0 or -jmin when U's
// smallest diagonal entry is negligible against its largest entry.
int32_t cr_forward(const double *u, double *x, int32_t n, int32_t k, int32_t mode);
int32_t cr_backward(const double *u, double *x, int32_t n, int32_t k, int32_t mode);

}  // namespace tessera
