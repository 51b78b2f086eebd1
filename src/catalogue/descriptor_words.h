// Word positions of a matrix descriptor, a directory node and an extent entry.
//
// A descriptor is the 128-word slot of an open matrix; its handle is the
// control-area position of word 1. Words 1-128 (or 1-41 and the extent table
// for placement 2) are stored as the matrix header. This header is the one
// place where the positions are named.
#pragma once

#include <cstdint>

namespace tessera::dw {

inline constexpr int32_t kQualifier = 1;      // key word 1
inline constexpr int32_t kName = 2;           // key words 2-4
inline constexpr int32_t kKeyWords = 4;
inline constexpr int32_t kWord6 = 6;          // 3 at creation
inline constexpr int32_t kTriangle = 7;       // 1 for forms 1 and 6
inline constexpr int32_t kHeaderRecord = 8;
inline constexpr int32_t kHeaderOffset = 9;
inline constexpr int32_t kType = 10;          // element type code t
inline constexpr int32_t kItems = 11;         // items per element k
inline constexpr int32_t kRows = 12;          // m
inline constexpr int32_t kCols = 13;          // n
inline constexpr int32_t kForm = 14;          // storage form s
inline constexpr int32_t kStoredCols = 15;    // n'
inline constexpr int32_t kLowerBand = 16;
inline constexpr int32_t kUpperBand = 17;
inline constexpr int32_t kLowerSeen = 18;     // largest bi - bj of blocks created
inline constexpr int32_t kUpperSeen = 19;     // largest bj - bi
inline constexpr int32_t kHyperOrder = 20;    // b1
inline constexpr int32_t kFirstReserve = 21;
inline constexpr int32_t kLaterReserve = 22;
inline constexpr int32_t kTableRecords = 23;  // placement 3
inline constexpr int32_t kTableRecord = 24;
inline constexpr int32_t kTableOffset = 25;
inline constexpr int32_t kTableCapacity = 26;
inline constexpr int32_t kTableFree = 27;     // then 28, first free entry
inline constexpr int32_t kTableFirstFree = 28;
inline constexpr int32_t kUsedList = 29;      // 29-32
inline constexpr int32_t kPlacement = 33;     // 1 in slot, 2 word pool, 3 records
inline constexpr int32_t kIndexNodes = 34;
inline constexpr int32_t kIndexEntries = 35;
inline constexpr int32_t kIndexHeight = 36;
inline constexpr int32_t kIndexRoot = 37;     // record of the root node
inline constexpr int32_t kRecordsNeeded = 38;
inline constexpr int32_t kRightPacked = 39;   // current right-edge packed record
inline constexpr int32_t kBottomPacked = 40;
inline constexpr int32_t kWord41 = 41;        // control word 5 - 4
inline constexpr int32_t kBlockOrder = 42;    // nb
inline constexpr int32_t kBlockRows = 43;
inline constexpr int32_t kBlockColsOfN = 44;
inline constexpr int32_t kBlockCols = 45;
inline constexpr int32_t kFullBlockRows = 46;
inline constexpr int32_t kFullBlockCols = 47;
inline constexpr int32_t kRightEdgeRows = 48;
inline constexpr int32_t kRightEdgeCols = 49;
inline constexpr int32_t kBottomEdgeRows = 50;
inline constexpr int32_t kBottomEdgeCols = 51;
inline constexpr int32_t kHyperRows = 52;
inline constexpr int32_t kHyperColsOfN = 53;
inline constexpr int32_t kHyperCols = 54;
inline constexpr int32_t kFullHyperRows = 55;
inline constexpr int32_t kFullHyperCols = 56;
inline constexpr int32_t kHyperOrder57 = 57;
inline constexpr int32_t kLastHyperColBlocks = 58;
inline constexpr int32_t kLastHyperRowBlocks = 59;
inline constexpr int32_t kHyperOrder60 = 60;
inline constexpr int32_t kTrees = 61;         // 61-68: (count, root) per class 1-4
inline constexpr int32_t kRightEdgeSize = 70;
inline constexpr int32_t kRightPerRecord = 71;
inline constexpr int32_t kRightBuffer = 72;
inline constexpr int32_t kBottomEdgeSize = 73;
inline constexpr int32_t kBottomPerRecord = 74;
inline constexpr int32_t kBottomBuffer = 75;
inline constexpr int32_t kGridBlocks = 76;
inline constexpr int32_t kAscCursor = 77;     // 77-80: position, hit, leaf, entry
inline constexpr int32_t kHeldBuffer = 79;
inline constexpr int32_t kReservedList = 81;  // 81-84
inline constexpr int32_t kTableAddress = 85;
inline constexpr int32_t kDescCursor = 86;    // 86-89
inline constexpr int32_t kHeldBuffer2 = 88;
inline constexpr int32_t kRootArea = 90;
inline constexpr int32_t kOpenState = 91;     // 2 after create, 1 after open
inline constexpr int32_t kFileset = 92;
inline constexpr int32_t kReadOnlyFlag = 94;
inline constexpr int32_t kDirectTable = 95;
inline constexpr int32_t kDirectTableWords = 96;  // 96-100
inline constexpr int32_t kInSlotTable = 101;  // 101-128: 7 extent entries

inline constexpr int32_t kWords = 128;
inline constexpr int32_t kInSlotEntries = 7;
inline constexpr int32_t kSmallTableWords = 87;   // placement 2 area
inline constexpr int32_t kHeaderPrefixWords = 41; // placement 2 header: words 1-41

// Lookup tree of the buffers of class c (1-4): count and root words.
constexpr int32_t tree_count(int32_t cls) { return kTrees + 2 * (cls - 1); }
constexpr int32_t tree_root(int32_t cls) { return kTrees + 2 * (cls - 1) + 1; }

}  // namespace tessera::dw

// A directory node: 12 words in the file set's node table.
namespace tessera::dirw {
inline constexpr int32_t kKey = 1;            // qualifier and three name words
inline constexpr int32_t kReleasedLink = 1;   // on the released-node list
inline constexpr int32_t kHeaderRecord = 5;
inline constexpr int32_t kHeaderOffset = 6;
inline constexpr int32_t kHandle = 7;         // open matrix handle or 0
inline constexpr int32_t kLength = 12;
}  // namespace tessera::dirw

// An extent entry: 4 words of an extent table, entries numbered from 1.
namespace tessera::extw {
inline constexpr int32_t kNext = 1;
inline constexpr int32_t kPrev = 2;
inline constexpr int32_t kLength = 3;
inline constexpr int32_t kFirst = 4;
inline constexpr int32_t kWords = 4;
}  // namespace tessera::extw

// The tree links of any node-table node of length N sit in its last 5 words.
namespace tessera::treew {
constexpr int32_t parent(int32_t n) { return n - 4; }
constexpr int32_t side(int32_t n) { return n - 3; }
constexpr int32_t balance(int32_t n) { return n - 2; }
constexpr int32_t left(int32_t n) { return n - 1; }
constexpr int32_t right(int32_t n) { return n; }
inline constexpr int32_t kLeftSide = 1;
inline constexpr int32_t kRightSide = 2;
}  // namespace tessera::treew
