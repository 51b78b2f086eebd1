// Work-space pools carved out of the control area.
//
//   unit pool  record-sized units (control word 132 words each), for record
//              buffers, file-set tables and matrix extent tables
//   word pool  small areas counted in words (matrix extent tables of 87 words)
//   pair pool  even-sized areas (pair stacks, multiply directories, scratch)
//
// Each is an extent list of free runs over its own extent table, taken first
// fit and merged on release. Addresses are control-area positions (1-based).
// Every routine returns its status and pushes its own trace code on failure;
// the free routines set the caller's address to 0 on success.
#pragma once

#include <cstdint>

namespace tessera {

int32_t hm_work_alloc(int32_t *ctrl, int32_t size, int32_t &address);
int32_t hm_work_free(int32_t *ctrl, int32_t size, int32_t &address);
int32_t hm_small_alloc(int32_t *ctrl, int32_t size, int32_t &address);
int32_t hm_small_free(int32_t *ctrl, int32_t size, int32_t &address);
int32_t hm_pair_alloc(int32_t *ctrl, int32_t size, int32_t &address);
int32_t hm_pair_free(int32_t *ctrl, int32_t size, int32_t &address);

}  // namespace tessera
