// Forward and backward substitution with the stored factor, for k
// right-hand sides at once.
//
// A = U^T S U = W^T U with W = S U (crudr's F, G pair: F = W, G = U on each
// diagonal block). Forward: W^T y = b, block row by block row, each row read
// once (fwsdr on its diagonal block, then the products with the row's other
// blocks pushed down); backward: U x = y, block rows from the last (the
// products gathered from below first, then bwsdr). Each pass reads the factor
// once, a block row at a time.
#pragma once

#include <cstdint>

#include "factor_set.h"
#include "problem.h"

namespace tessera::solve {

struct SubstitutionStats {
  double seconds = 0;
  double io_seconds = 0;
  int64_t bytes_read = 0;
};

// x (n x k, leading dimension n, in the factor's numbering) := A^-1 x. With
// verify, the forward pass checks every block it reads against its segment's
// checksum and throws FactorError on a mismatch before x is touched further.
// A block row is read in pieces of at most max_bytes (at least one block).
TESSERA_SOLVE_API SubstitutionStats substitute(FactorSet &f, double *x, int32_t k, bool verify,
                                               int64_t max_bytes);
// Blocks of a piece.
int32_t substitution_blocks(int32_t nb, int64_t max_bytes);

}  // namespace tessera::solve
