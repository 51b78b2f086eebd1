// Trace codes of the control-area routines (initialisation and the list
// primitives). Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kInitTooSmall = 30695;    // length below the minimum
inline constexpr int32_t kInitNoSlots = 30696;     // fewer than one file set or matrix
inline constexpr int32_t kHminmf = 32443;
}  // namespace tessera::trace
