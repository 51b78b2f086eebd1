// The two pure per-block routines of the hypermatrix algebra: adding one
// block into another and asking whether a block holds any non-zero value.
// Blocks are column-major word runs of the element type t (k items per
// element for the item types), leading dimension = rows.
#pragma once

#include <cstdint>

namespace tessera {

// dst := dst - src when op = 1, dst := dst + src otherwise, per item and per
// real or imaginary part; form 6 touches only the upper triangle with the
// diagonal. Integers wrap at 32 bits. Unknown type codes do nothing.
void hl_add_block(int32_t *dst, const int32_t *src, int32_t t, int32_t k, int32_t form,
                  int32_t rows, int32_t cols, int32_t op);

// 1 when any value of the rows x cols block is non-zero, else 0. Integers are
// tested by word; real numbers and both parts of complex numbers count only
// when they compare ordered-unequal to 0.0, so -0.0 and NaN count as zero.
int32_t hl_block_nonzero(const int32_t *block, int32_t rows, int32_t cols, int32_t t, int32_t k);

}  // namespace tessera
