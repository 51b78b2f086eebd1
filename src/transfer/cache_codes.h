// Trace codes of the block cache. Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kCacheFileRead = 31553;      // record read refused
inline constexpr int32_t kCacheFileWrite = 31564;     // record write refused
inline constexpr int32_t kCacheFlushWrite = 31500;    // write refused while flushing
inline constexpr int32_t kCacheReadEvict = 33697;     // evicted node's tree removal (read)
inline constexpr int32_t kCacheWriteEvict = 33754;    // evicted node's tree removal (write)
inline constexpr int32_t kCacheDiscard = 32067;       // tree removal while discarding a range
inline constexpr int32_t kCacheDiscardSet = 32068;    // tree removal while forgetting a set
}  // namespace tessera::trace
