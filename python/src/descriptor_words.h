// Words of the library's areas that the module reads beside the routines'
// outputs. Their numbers are part of the library's contract (hosts and
// stored files rely on them); the public header names only the control-area
// words a host sets, so the few read here are named in this one place.
#pragma once

#include <cstdint>

namespace tessera::python::words {

// Matrix descriptor, word j at control-area word handle + j - 1.
inline constexpr int32_t kHyperblockOrder = 20;  // b1: blocks on a hyperblock side
inline constexpr int32_t kIndexEntries = 35;     // blocks entered in the block index
inline constexpr int32_t kBlockOrder = 42;       // nb: elements on a block side

// File-set area, word j at control-area word handle + j - 1.
inline constexpr int32_t kFileSetRecordLength = 41;  // words per record of the set

// Word `word` (1-based) of the area that begins at control-area word `first`.
inline int32_t read(const int32_t *ctrl, int32_t first, int32_t word) {
  return ctrl[first + word - 2];
}

}  // namespace tessera::python::words
