// Trace codes of the block buffers, the block index, the traversal, the
// packed edge records and the block locates. Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {

// Taking a buffer.
inline constexpr int32_t kTakeAllPinned = 33077;
inline constexpr int32_t kTakeWriteBack = 33078;
inline constexpr int32_t kTakeTreeRemove = 33079;

// Read fetch of a block.
inline constexpr int32_t kReadFetchIndex = 32128;
inline constexpr int32_t kReadFetchBuffer = 32129;
inline constexpr int32_t kReadFetchRead = 32130;

// Write fetch of a block.
inline constexpr int32_t kWriteFetchInsert = 32151;
inline constexpr int32_t kWriteFetchIndex = 32152;
inline constexpr int32_t kWriteFetchRecord = 32153;
inline constexpr int32_t kWriteFetchBuffer = 32154;
inline constexpr int32_t kWriteFetchRead = 32155;

// Index search and insertion.
inline constexpr int32_t kFindNode = 32062;
inline constexpr int32_t kFindStackFull = 32063;
inline constexpr int32_t kFindNodeRead = 32066;
inline constexpr int32_t kInsertClimb = 32047;
inline constexpr int32_t kInsertFirstRoot = 32048;
inline constexpr int32_t kInsertSplitRight = 32049;
inline constexpr int32_t kInsertSplitLeft = 32050;
inline constexpr int32_t kInsertRootSplit = 32051;
inline constexpr int32_t kNewNodeRecord = 32726;
inline constexpr int32_t kNewNodeBuffer = 32727;
inline constexpr int32_t kNewNodeRootArea = 32728;

// What the index and the packed records read from disk must be before
// their words index anything (status 164). A node is checked once, when it
// is read into its buffer or the root area; the descent and the walk check
// how the nodes they pass fit together.
inline constexpr int32_t kNodeShape = 34701;      // leaf flag, words 2-5, count outside 1..q
inline constexpr int32_t kNodeKeys = 34702;       // keys not ascending, or outside the grid
inline constexpr int32_t kNodeRecords = 34703;    // a child or block record outside the set,
                                                  // or the node itself or the root
inline constexpr int32_t kNodeShared = 34704;     // two entries name one record
inline constexpr int32_t kNodeOwner = 34705;      // a record the matrix does not use
inline constexpr int32_t kNodeScratch = 34706;    // no memory to sort a large node (170)
inline constexpr int32_t kDescentDepth = 34707;   // leaf above the height, or none at it
inline constexpr int32_t kDescentBounds = 34708;  // child keys outside the parent's separators
inline constexpr int32_t kStepOrder = 34709;      // next or previous leaf out of key order
inline constexpr int32_t kStepChainEnd = 34715;   // the chain ends before the index does
inline constexpr int32_t kStepChainSkip = 34716;  // the chain skips a leaf of the index
inline constexpr int32_t kVerifyDepth = 34710;    // the whole-index walk: the same two rules
inline constexpr int32_t kVerifyBounds = 34711;
inline constexpr int32_t kBlockDistance = 34712;  // a stored block beyond words 18-19
inline constexpr int32_t kReadFetchOutside = 34713;   // traversal record outside the set
inline constexpr int32_t kWriteFetchOutside = 34714;  // index record outside the set

// Traversal.
inline constexpr int32_t kStepNextInner = 32107;
inline constexpr int32_t kStepNext = 33112;
inline constexpr int32_t kStepForwardInner = 32110;
inline constexpr int32_t kStepForward = 33113;
inline constexpr int32_t kStepPrevInner = 32113;
inline constexpr int32_t kStepPrev = 33114;
inline constexpr int32_t kStepBackInner = 32116;
inline constexpr int32_t kStepBack = 33115;
inline constexpr int32_t kTraverseSearch = 33111;

// Locating a block by (bi, bj).
inline constexpr int32_t kGetRightEdge = 33116;
inline constexpr int32_t kGetBottomEdge = 33117;
inline constexpr int32_t kGetBlock = 33118;
inline constexpr int32_t kGetOutsideGrid = 33119;
inline constexpr int32_t kPutRightEdge = 33122;
inline constexpr int32_t kPutBottomEdge = 33123;
inline constexpr int32_t kPutBlock = 33124;
inline constexpr int32_t kPutOutsideGrid = 33125;

// Packed edge records, right edge then bottom edge.
inline constexpr int32_t kRightClose = 32019;
inline constexpr int32_t kRightRecord = 32020;
inline constexpr int32_t kRightBuffer = 32021;
inline constexpr int32_t kRightCurrentRead = 32022;
inline constexpr int32_t kRightTreeRemove = 32023;
inline constexpr int32_t kRightInsert = 32138;
inline constexpr int32_t kRightSearch = 32139;
inline constexpr int32_t kRightWriteBuffer = 32140;
inline constexpr int32_t kRightWriteRead = 32141;
inline constexpr int32_t kRightReadSearch = 32119;
inline constexpr int32_t kRightReadBuffer = 32120;
inline constexpr int32_t kRightReadRead = 32121;

inline constexpr int32_t kBottomClose = 32026;
inline constexpr int32_t kBottomRecord = 32027;
inline constexpr int32_t kBottomBuffer = 32028;
inline constexpr int32_t kBottomCurrentRead = 32029;
inline constexpr int32_t kBottomTreeRemove = 32030;
inline constexpr int32_t kBottomInsert = 32144;
inline constexpr int32_t kBottomSearch = 32145;
inline constexpr int32_t kBottomWriteBuffer = 32146;
inline constexpr int32_t kBottomWriteRead = 32147;
inline constexpr int32_t kBottomReadSearch = 32124;
inline constexpr int32_t kBottomReadBuffer = 32125;
inline constexpr int32_t kBottomReadRead = 32126;

// A packed record read from disk whose trailer is unusable (count outside
// 1..blocks per record, a position outside the grid, of the other edge or
// twice), or that the index names for a block its trailer does not list;
// a packed record named outside the set (status 164).
inline constexpr int32_t kRightPackedOutside = 34721;
inline constexpr int32_t kRightPackedTrailer = 34722;
inline constexpr int32_t kRightCurrentTrailer = 34723;
inline constexpr int32_t kRightWriteMissing = 34724;
inline constexpr int32_t kRightReadMissing = 34725;
inline constexpr int32_t kBottomPackedOutside = 34731;
inline constexpr int32_t kBottomPackedTrailer = 34732;
inline constexpr int32_t kBottomCurrentTrailer = 34733;
inline constexpr int32_t kBottomWriteMissing = 34734;
inline constexpr int32_t kBottomReadMissing = 34735;

}  // namespace tessera::trace
