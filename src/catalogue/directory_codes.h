// Trace codes of the descriptor slots and the matrix directory. Each names
// one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
inline constexpr int32_t kDescNoSlot = 32735;          // every descriptor slot taken
inline constexpr int32_t kDirNoHeaderRecord = 32173;   // no header record for a new matrix
inline constexpr int32_t kDirNoNode = 32174;           // node table full
inline constexpr int32_t kDirRemove = 32170;           // tree removal failed
inline constexpr int32_t kDirCancel = 32171;           // tree removal failed while undoing an entry
inline constexpr int32_t kDirDuplicate = 32175;        // the key is already in the directory
inline constexpr int32_t kDirCorrupt = 32177;          // a node number out of the table
inline constexpr int32_t kDescCorrupt = 32736;         // descriptor free-slot head out of range
}  // namespace tessera::trace
