// Trace codes of the control-area routines (initialisation and the list
// primitives). Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kInitTooSmall = 30695;    // length below the minimum
inline constexpr int32_t kInitNoSlots = 30696;     // fewer than one file set or matrix
inline constexpr int32_t kHminmf = 32443;
// An exported routine was called before an area it reaches was linked
// (Xerror, Xcache or Xchosky still null); pushed only when Xerror is linked.
inline constexpr int32_t kAreaNotLinked = 30697;
}  // namespace tessera::trace
