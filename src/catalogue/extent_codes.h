// Trace codes of the extent-list primitives and the node-table tree. Each
// names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kExtentCopyNoEntry = 32654;  // new table ran out of entries
inline constexpr int32_t kTreeRemoveEmpty = 33752;    // removal from an empty tree
}  // namespace tessera::trace
