// Word positions of a buffer header, a block-index node, a packed edge record
// and the Xcache area. The one place where they are named.
#pragma once

#include <cstdint>

// Buffer header: 14 words a buffer, buffer x at control word
// ctrl[kBufferHeaders] + 14 (x - 1); its data at ctrl[kBuffer1] + (x - 1) b.
namespace tessera::bufw {
inline constexpr int32_t kNext = 1;        // use list, or free list
inline constexpr int32_t kPrev = 2;
inline constexpr int32_t kOwner = 3;       // matrix handle, 0 when free
inline constexpr int32_t kPins = 4;
inline constexpr int32_t kBlock = 5;       // block position number (class 2 key)
inline constexpr int32_t kRecord = 6;      // record held (key of classes 1, 3, 4)
inline constexpr int32_t kClass = 7;       // 0 none, 1 index node, 2 block, 3/4 packed edges
inline constexpr int32_t kState = 8;       // replacement state
inline constexpr int32_t kModified = 9;
inline constexpr int32_t kLength = 14;     // tree links in words 10-14

inline constexpr int32_t kClassNone = 0;
inline constexpr int32_t kClassIndex = 1;
inline constexpr int32_t kClassBlock = 2;
inline constexpr int32_t kClassRightEdge = 3;
inline constexpr int32_t kClassBottomEdge = 4;

inline constexpr int32_t kStateOrdinary = 1;
inline constexpr int32_t kStateToFront = 2;
inline constexpr int32_t kStateBlockOrder = 3;
}  // namespace tessera::bufw

// Block-index node: one record of L words.
namespace tessera::idxw {
inline constexpr int32_t kLeaf = 1;        // 1 leaf, 0 interior
inline constexpr int32_t kPrevLeaf = 2;
inline constexpr int32_t kNextLeaf = 3;
inline constexpr int32_t kUnused4 = 4;     // words 4 and 5 are 0
inline constexpr int32_t kUnused5 = 5;
inline constexpr int32_t kCount = 6;
inline constexpr int32_t kChild0 = 7;      // child for keys below the first key
inline constexpr int32_t kEntries = 8;     // entry i: key at 8 + 2(i-1), value at 9 + 2(i-1)
inline constexpr int32_t kHeaderWords = 7;
constexpr int32_t key_word(int32_t i) { return kEntries + 2 * (i - 1); }
constexpr int32_t value_word(int32_t i) { return kEntries + 2 * (i - 1) + 1; }
// Entries a node holds for record length L.
constexpr int32_t capacity(int32_t L) { return (L - kHeaderWords) / 2; }
}  // namespace tessera::idxw

// Xcache area, 32-bit words counted from 0. The address of the cache memory
// takes two words in a 64-bit build (2-3) and one in a 32-bit build (2);
// every later word moves down with it. Positions below are those of the
// 64-bit build; word() maps them to this build.
namespace tessera::cachew {
inline constexpr int32_t kAddressWords = static_cast<int32_t>(sizeof(void *) / 4);
constexpr int32_t word(int32_t w64) { return w64 <= 2 ? w64 : w64 - (2 - kAddressWords); }
inline constexpr int32_t kKind = 0;
inline constexpr int32_t kState = 1;
inline constexpr int32_t kAddress = 2;
inline constexpr int32_t kMemoryWords = word(4);
inline constexpr int32_t kNodes = word(5);       // S
inline constexpr int32_t kRecordArea = word(6);  // w6, 1-based word of the memory
inline constexpr int32_t kCapacity = word(7);
inline constexpr int32_t kFreeCount = word(8);
inline constexpr int32_t kFreeFirst = word(9);
inline constexpr int32_t kUseCount = word(10);
inline constexpr int32_t kUseFirst = word(11);
inline constexpr int32_t kUseLast = word(12);
inline constexpr int32_t kTreeCount = word(13);
inline constexpr int32_t kTreeRoot = word(14);

inline constexpr int32_t kKindWriteThrough = 1;
inline constexpr int32_t kKindMemoryFirst = 2;

// Cache node: 14 words at the start of the cache memory.
inline constexpr int32_t kNodeNext = 1;
inline constexpr int32_t kNodePrev = 2;
inline constexpr int32_t kNodeSet = 5;     // file set: handle of its first file
inline constexpr int32_t kNodeRecord = 6;  // key is (set, record), words 5-6
inline constexpr int32_t kNodeKeyWords = 2;
inline constexpr int32_t kNodeLength = 14;
}  // namespace tessera::cachew
