// The block cache: copies of file-set records in memory the host provides,
// between record input/output and the record-file service, governed by the
// Xcache words (cachew). Kind 1 writes through with least-recently-used
// replacement; kind 2 keeps records in memory while it has free nodes and
// sends the rest to the files.
//
// A record is known by the file set it belongs to and its number. The set is
// named by the handle of its first file (handles[0]), which is unique among
// the open file sets, so two open sets never share a cached record.
#pragma once

#include <cstdint>

namespace tessera {

// memory: the cache memory (word 1 at memory[0]); n files with `handles`;
// R the record length; r the record number within the set.
int32_t hm_cache_read(int32_t *memory, int32_t n, const int32_t *handles, int32_t R, int32_t r,
                      int32_t *buffer);
int32_t hm_cache_write(int32_t *memory, int32_t n, const int32_t *handles, int32_t R, int32_t r,
                       const int32_t *buffer);
// Write every cached record of this file set to its file (status 165, trace
// 31500 on the first failure). Records stay cached.
int32_t hm_cache_flush(int32_t *memory, int32_t n, const int32_t *handles, int32_t R);
// Forget the cached copies of records first .. first + count - 1 of the set
// whose first file has handle `set` (32067 when a tree removal fails).
int32_t hm_cache_discard_range(int32_t *memory, int32_t set, int32_t count, int32_t first);
// Forget every cached record of the set, without writing (a killed set).
int32_t hm_cache_discard_set(int32_t *memory, int32_t set);

// True when the cache is on (Xcache word 1 non-zero) with kind `kind`.
bool hm_cache_on(int32_t kind);

}  // namespace tessera
