// Trace codes of the work-space pools (unit, word and pair pool). Each names
// one failure site: the routine that refused.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kWorkAlloc = 33151;   // unit size 0 or no free run
inline constexpr int32_t kWorkFree = 33642;    // refused give-back
inline constexpr int32_t kSmallAlloc = 33128;
inline constexpr int32_t kSmallFree = 33627;
inline constexpr int32_t kPairAlloc = 33063;
inline constexpr int32_t kPairFree = 33617;
}  // namespace tessera::trace
