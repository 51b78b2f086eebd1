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

// Address of the host's cache memory, kept in Xcache words 2 (and 3).
int32_t *cache_memory();

}  // namespace tessera
