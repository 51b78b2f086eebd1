// The error trace and the three areas the host links in.
//
// Xerror points to 21 words: word 0 is the slot last written (0 after a
// clear), words 1-20 hold trace codes. A failing site pushes its code and
// returns its status; every caller that sees a non-zero status pushes its own
// code and returns, so the trace reads like a call stack, innermost first.
#pragma once

#include <cstdint>

namespace tessera {

inline constexpr int32_t kTraceSlots = 20;

int32_t *error_trace();     // Xerror seen as words 0-20
int32_t *cache_words();     // Xcache seen as 32-bit words from 0
int32_t *chosky_words();    // Xchosky seen as 32-bit words from 0

void hm_push_trace(int32_t code);
void hm_clear_trace();

// Push `code` and hand the status back: `return hm_fail(ierr, kTraceX);`.
inline int32_t hm_fail(int32_t ierr, int32_t code) {
  hm_push_trace(code);
  return ierr;
}

// The areas an exported routine reaches through the exported pointers. A
// host that calls before linking one of them gets status 100 instead of a
// write through a null pointer.
enum LinkedArea : unsigned { kAreaTrace = 1u, kAreaCache = 2u, kAreaChosky = 4u };
// The store and algebra routines may reach all three (hminmf writes Xchosky,
// the file-set routines Xcache, the record path reads it).
inline constexpr unsigned kStoreAreas = kAreaTrace | kAreaCache | kAreaChosky;

// Checked first by every exported routine that touches an area: true when an
// area in `needed` is still null, with *ierr set to 100 (the routine then
// returns at once). Nothing is written through a null pointer; when the trace
// itself is linked it is cleared (if the routine clears it on entry) and
// receives kAreaNotLinked.
bool hm_refuse_unlinked(unsigned needed, bool clears, int32_t *ierr);

// Address of the host's cache memory, kept in Xcache words 2 (and 3).
int32_t *cache_memory();

}  // namespace tessera
