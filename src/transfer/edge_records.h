// Packed edge records: the small partial blocks of the right edge (kind 3)
// and the bottom edge (kind 4) of a matrix that is not symmetric, several to
// a record. Block k of a record occupies w words from word 1 + (k - 1) w (w
// = descriptor word 70 / 73); word L holds the count and words L - 1 ..
// L - count the block positions of blocks 1 .. count. The record being
// filled is "current" (descriptor word 39 / 40), its buffer named by word
// 72 / 75 and in no lookup tree; every other packed record is an ordinary
// class-3 / class-4 buffer found by record number.
#pragma once

#include <cstdint>

#include "transfer/buffers.h"

namespace tessera {

// edge: kKindRightEdge (3) or kKindBottomEdge (4) of block_index.h.

// Locate packed block `block` for writing, creating it when the index does
// not hold it (created = 1; it is appended to the current record, a new
// current record being started when that one is full). The buffer is left
// modified; pin_mode 1 pins it once. Traces (right / bottom): close 32019 /
// 32026, record 32020 / 32027, buffer 32021 / 32028, current read 32022 /
// 32029, tree removal 32023 / 32030, insertion 32138 / 32144, search 32139 /
// 32145, buffer 32140 / 32146, read 32141 / 32147.
int32_t hm_edge_block_write(int32_t *ctrl, int32_t D, int32_t edge, int32_t block,
                            int32_t pin_mode, int32_t state, int32_t &record,
                            int32_t &position, int32_t &offset, int32_t &created);

// Locate packed block `block` for reading; record = position = offset = 0
// when the block was never created. Traces (right / bottom): search 32119 /
// 32124, buffer 32120 / 32125, read 32121 / 32126.
int32_t hm_edge_block_read(int32_t *ctrl, int32_t D, int32_t edge, int32_t block,
                           int32_t pin_mode, int32_t state, int32_t &record,
                           int32_t &position, int32_t &offset);

// Close the current packed record of `edge`: its buffer (when resident)
// becomes an ordinary modified class-3/4 buffer in the lookup tree, and
// descriptor words 39/40 and 72/75 become 0. hm_matrix_flush calls this for
// both edges before flushing the trees. Trace 32019 / 32026 (tree).
int32_t hm_edge_close(int32_t *ctrl, int32_t D, int32_t edge);

}  // namespace tessera
