// Trace codes of putting and getting submatrices. Each names one failure
// site.
#pragma once

#include <cstdint>

namespace tessera::trace {

inline constexpr int32_t kPutsReadOnly = 29526;
inline constexpr int32_t kPutsRegion = 29527;     // region outside, or block order 0
inline constexpr int32_t kPutsBadHandle = 29528;  // handle is no open matrix
inline constexpr int32_t kPutsBlock = 32521;
inline constexpr int32_t kPutPartLocate = 33454;

inline constexpr int32_t kGetsRegion = 29455;     // region outside, or block order 0
inline constexpr int32_t kGetsBadHandle = 29456;
inline constexpr int32_t kGetsBlock = 32436;
inline constexpr int32_t kGetPartLocate = 33020;

}  // namespace tessera::trace
