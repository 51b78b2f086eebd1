// Trace codes of the dense block solver. Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kTinyNegativePivot = 30715;  // cr_check_pivot: tiny pivot below 0
inline constexpr int32_t kCrudrPivot = 30870;         // crudr: factorisation stopped
inline constexpr int32_t kCrudrShape = 30716;         // crudr: block row narrower than n
inline constexpr int32_t kFwsdrRefused = 30635;       // fwsdr: negligible diagonal
inline constexpr int32_t kBwsdrRefused = 30533;       // bwsdr: negligible diagonal
}  // namespace tessera::trace
