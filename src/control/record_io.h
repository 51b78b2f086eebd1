// Record input and output of a file set. Records are numbered from 0 across
// the set's n files; record r lies in file (r mod n) + 1 at record r div n.
// Every record goes through the block cache when the host has switched it on
// (Xcache word 1 non-zero, read again for each record), else straight to the
// record-file service. One service call per record, in increasing order; a
// failure leaves the records before it transferred.
#pragma once

#include <cstdint>

#include "control/control_words.h"

namespace tessera {

// Handles of a file set's files in file order, taken from its file-set area
// at position P. Returns n (file-set word 114).
int32_t hm_gather_handles(int32_t *ctrl, int32_t P, int32_t (&handles)[fsw::kMaxFiles]);

// Read or write k records of L words from record r0 to or from `buffer`
// (k L words). Status 164 (read) or 165 (write) with trace 31543 / 31550, or
// the cache's status with 33601 / 33651 pushed after the cache's code.
int32_t hm_read_records(int32_t n, const int32_t *handles, int32_t L, int32_t k, int32_t r0,
                        int32_t *buffer);
int32_t hm_write_records(int32_t n, const int32_t *handles, int32_t L, int32_t k, int32_t r0,
                         const int32_t *buffer);

// The same for the file set at P (gathers the handles; L = file-set word 41).
// A run that does not lie inside the set (records 0 .. file-set word 50 - 1)
// is refused before any record moves: 164 / 34801, 165 / 34802.
int32_t hm_fileset_read(int32_t *ctrl, int32_t P, int32_t k, int32_t r0, int32_t *buffer);
int32_t hm_fileset_write(int32_t *ctrl, int32_t P, int32_t k, int32_t r0, const int32_t *buffer);

// Write file-set words 1.. as word 42 records from record word 43; 33653 on
// failure, after the write's code.
int32_t hm_write_header(int32_t *ctrl, int32_t P);

}  // namespace tessera
