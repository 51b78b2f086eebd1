// Word positions of the control area and of a file-set area.
//
// This is the one place where these positions are named; code reads
// ctrl[cw::kRecordLength] or fs[fsw::kEnd], never a bare number.
//
// Control area (1-based, global part):
//
//   WORD     MEANING
//   1        |option| given to hminmf
//   2        record length in words for a new file set (2048)
//   3        8192 when the option is non-zero, else 0
//   4        BLAS switch: 0 off, 1 or more uses DGEMM for double blocks
//   5        sizing constant of hyperblocks and index nodes (18)
//   10       allocation granule (128); pool positions p have p - 1 a multiple
//   129      next free word where the next pool is laid out
//   130      fresh flag: 1 until the first file set built the pools
//   131      last word usable for pools: length - 256
//   132      record-unit size (record length rounded up to the granule)
//   133      buffer size (the same rounding)
//   134-138  file-set slot table: link array position, slots, free, head,
//            position of slot 1's area (slot s at 138 + 640 (s - 1))
//   139-143  descriptor slot table: the same, slot m at 143 + 128 (m - 1)
//   144-153  unit pool; 154-163 pair pool; 191-200 word pool
//   164-167  spare node list; 173-176 its extent list
//   168-183  buffer pool and its use list; 177, 179 buffer 31 and buffer 1
//   184-190  sizing words copied into every file-set header
//   187      12345 while the area is initialised
//   201      number of buffers reserved at the start of the pool (30)
//   257-     file-set slot links, file-set areas, descriptor slot links,
//            descriptor areas, then the pools
#pragma once

#include <cstdint>

namespace tessera::cw {

inline constexpr int32_t kOptionMagnitude = 1;
inline constexpr int32_t kRecordLength = 2;
inline constexpr int32_t kOptionFlag = 3;
inline constexpr int32_t kBlasSwitch = 4;
inline constexpr int32_t kSizing = 5;
inline constexpr int32_t kGranule = 10;

inline constexpr int32_t kNextFree = 129;
inline constexpr int32_t kFresh = 130;
inline constexpr int32_t kLastPoolWord = 131;
inline constexpr int32_t kUnitSize = 132;
inline constexpr int32_t kBufferSize = 133;

// File-set slot table.
inline constexpr int32_t kFsLinks = 134;
inline constexpr int32_t kFsSlots = 135;
inline constexpr int32_t kFsFree = 136;   // then 137, the head
inline constexpr int32_t kFsHead = 137;
inline constexpr int32_t kFsArea1 = 138;

// Descriptor slot table.
inline constexpr int32_t kDescLinks = 139;
inline constexpr int32_t kDescSlots = 140;
inline constexpr int32_t kDescFree = 141;  // then 142, the head
inline constexpr int32_t kDescHead = 142;
inline constexpr int32_t kDescArea1 = 143;

// Unit pool: extent table, its entries, free-entry list (free, first), units,
// free-unit extent list (total, count, first, last), position of unit 1.
inline constexpr int32_t kUnitTable = 144;
inline constexpr int32_t kUnitEntries = 145;
inline constexpr int32_t kUnitTableFree = 146;
inline constexpr int32_t kUnitCount = 148;
inline constexpr int32_t kUnitList = 149;
inline constexpr int32_t kUnitBase = 153;

// Pair pool: the same shape, counted in words.
inline constexpr int32_t kPairTable = 154;
inline constexpr int32_t kPairEntries = 155;
inline constexpr int32_t kPairTableFree = 156;
inline constexpr int32_t kPairSize = 158;
inline constexpr int32_t kPairList = 159;
inline constexpr int32_t kPairBase = 163;

// Spare node list (4-word nodes) and its extent list.
inline constexpr int32_t kSpareNodes = 164;
inline constexpr int32_t kSpareCount = 165;
inline constexpr int32_t kSpareFree = 166;  // then 167, the head
inline constexpr int32_t kSpareList = 173;

// Buffer pool.
inline constexpr int32_t kBufferHeaders = 168;
inline constexpr int32_t kBufferCount = 169;
inline constexpr int32_t kBufferFree = 170;       // free count
inline constexpr int32_t kBufferFirstFree = 171;
inline constexpr int32_t kBufferWordsBeyondReserved = 172;
inline constexpr int32_t kBuffer31 = 177;
inline constexpr int32_t kWord178 = 178;
inline constexpr int32_t kBuffer1 = 179;
inline constexpr int32_t kBufferDataWords = 180;
inline constexpr int32_t kUseCount = 181;
inline constexpr int32_t kUseFirst = 182;
inline constexpr int32_t kUseLast = 183;

inline constexpr int32_t kUnitPerMatrix = 184;
inline constexpr int32_t kWord185 = 185;
inline constexpr int32_t kUnitReserve = 186;
inline constexpr int32_t kInitMarker = 187;
inline constexpr int32_t kAfterSmallPools = 188;
inline constexpr int32_t kFirstRecordLength = 190;

// Word pool.
inline constexpr int32_t kWordTable = 191;
inline constexpr int32_t kWordEntries = 192;
inline constexpr int32_t kWordTableFree = 193;
inline constexpr int32_t kWordSize = 195;
inline constexpr int32_t kWordList = 196;
inline constexpr int32_t kWordBase = 200;

inline constexpr int32_t kReservedBuffers = 201;

inline constexpr int32_t kFixedWords = 256;     // words 1-256 are fixed
inline constexpr int32_t kFsLinksPosition = 257;

// Values.
inline constexpr int32_t kInitialised = 12345;
inline constexpr int32_t kDefaultRecordLength = 2048;
inline constexpr int32_t kDefaultGranule = 128;
inline constexpr int32_t kDefaultSizing = 18;
inline constexpr int32_t kOptionFlagValue = 8192;
inline constexpr int32_t kFilesetAreaWords = 640;
inline constexpr int32_t kDescriptorWords = 128;

// Slot links: a slot in use has link -1.
inline constexpr int32_t kSlotInUse = -1;

}  // namespace tessera::cw

// Words of a file-set area (1-based from the file-set handle). Words 1-100
// are the file-set header and are stored in the set's first records.
//
//   WORD      MEANING
//   1-40      name of file 1, two characters a word
//   41        record length L
//   42, 43    header records h = (L + 99) / L, first header record 0
//   45        records the files were created with
//   46, 47    records of the index region, of the data region
//   48, 49    least growth of the index, data region
//   50        records in the set (its current end)
//   51-56     the set's extent table: records, first record, 1, capacity,
//             free entries, first free entry
//   57-60     list A, free index records (total, count, first, last)
//   61-64     list B, free data records
//   65-70     node table: records, first record, 1, capacity, free, first free
//   71-75     directory: nodes, root, released list (count, first, last)
//   76, 77    current header record, offset of the last header in it
//   78        (((L + 127) / L) L) / 4
//   79-96     copies of control-area words at creation
//   100       cache flag
//   102       handle of file 1
//   105-107   positions of the extent table, node table, one-record buffer
//   108-113   two pair stacks (position, capacity, depth)
//   114       number of files
//   115+41(i-2) .. 154+41(i-2)   name of file i >= 2
//   155+41(i-2)                  handle of file i >= 2
//   484-523   name of file 1 as it was opened (words 1-40 keep the name it
//             was created with, which is what the header stores)
//   524-527   where the header on disk keeps the extent table and the node
//             table (records, first record of each); 0 while none is stored
//   528       which of those runs a removal has given back to list A (bits)
namespace tessera::fsw {

inline constexpr int32_t kName1 = 1;
inline constexpr int32_t kNameWords = 40;
inline constexpr int32_t kRecordLength = 41;
inline constexpr int32_t kHeaderRecords = 42;
inline constexpr int32_t kFirstHeaderRecord = 43;
inline constexpr int32_t kWord44 = 44;
inline constexpr int32_t kCreatedRecords = 45;
inline constexpr int32_t kIndexRegion = 46;
inline constexpr int32_t kDataRegion = 47;
inline constexpr int32_t kIndexGrowth = 48;
inline constexpr int32_t kDataGrowth = 49;
inline constexpr int32_t kEnd = 50;
inline constexpr int32_t kTableRecords = 51;
inline constexpr int32_t kTableFirstRecord = 52;
inline constexpr int32_t kWord53 = 53;
inline constexpr int32_t kTableCapacity = 54;
inline constexpr int32_t kTableFree = 55;        // then 56, first free entry
inline constexpr int32_t kTableFirstFree = 56;
inline constexpr int32_t kListA = 57;            // 57-60
inline constexpr int32_t kListB = 61;            // 61-64
inline constexpr int32_t kNodeRecords = 65;
inline constexpr int32_t kNodeFirstRecord = 66;
inline constexpr int32_t kWord67 = 67;
inline constexpr int32_t kNodeCapacity = 68;
inline constexpr int32_t kNodeFree = 69;         // then 70, first free node
inline constexpr int32_t kNodeFirstFree = 70;
inline constexpr int32_t kDirCount = 71;
inline constexpr int32_t kDirRoot = 72;
inline constexpr int32_t kReleasedCount = 73;    // 73-75: count, first, last
inline constexpr int32_t kReleasedFirst = 74;
inline constexpr int32_t kReleasedLast = 75;
inline constexpr int32_t kHeaderRecord = 76;
inline constexpr int32_t kHeaderOffset = 77;
inline constexpr int32_t kWord78 = 78;
inline constexpr int32_t kCopiedControl = 79;    // 79-96
inline constexpr int32_t kCopiedUnitSize = 80;
inline constexpr int32_t kCopiedBufferSize = 81;
inline constexpr int32_t kCopiedPairEntries = 85;
inline constexpr int32_t kCopiedSpareCount = 88;
inline constexpr int32_t kCopiedUnitPerMatrix = 93;
inline constexpr int32_t kCacheFlag = 100;
inline constexpr int32_t kHeaderWords = 100;
inline constexpr int32_t kHandle1 = 102;
inline constexpr int32_t kTablePos = 105;
inline constexpr int32_t kNodePos = 106;
inline constexpr int32_t kWorkBuffer = 107;
inline constexpr int32_t kStack1 = 108;          // position, capacity, depth
inline constexpr int32_t kStack1Capacity = 109;
inline constexpr int32_t kStack1Depth = 110;
inline constexpr int32_t kStack2 = 111;
inline constexpr int32_t kStack2Capacity = 112;
inline constexpr int32_t kStack2Depth = 113;
inline constexpr int32_t kFileCount = 114;
inline constexpr int32_t kMaxFiles = 10;
inline constexpr int32_t kFirstStackCapacity = 10;

// Control-area words copied into words 79-96, in this order.
inline constexpr int32_t kCopiedControlWords[18] = {131, 132, 133, 135, 140, 145,
                                                    155, 158, 159, 165, 169, 172,
                                                    173, 180, 184, 185, 186, 188};

// Packed name of file i (1-based) begins at this file-set word.
constexpr int32_t name_word(int32_t i) { return i == 1 ? kName1 : 115 + 41 * (i - 2); }
// File handle of file i.
constexpr int32_t handle_word(int32_t i) { return i == 1 ? kHandle1 : 155 + 41 * (i - 2); }
// Packed name of file 1 as opened, after the tenth file's words.
inline constexpr int32_t kOpenName1 = 484;
// Table records that the header on disk names: a removal must not write
// into them before its own header has replaced that one.
inline constexpr int32_t kStoredTableRecords = 524;
inline constexpr int32_t kStoredTableFirst = 525;
inline constexpr int32_t kStoredNodeRecords = 526;
inline constexpr int32_t kStoredNodeFirst = 527;
// Bits of word 528: the stored extent table's, the stored node table's run
// is back in list A. Until then a run the tables have left stays out of it.
inline constexpr int32_t kStoredGivenBack = 528;
inline constexpr int32_t kStoredTableBack = 1;
inline constexpr int32_t kStoredNodeBack = 2;
// Packed name under which file i is open now.
constexpr int32_t open_name_word(int32_t i) { return i == 1 ? kOpenName1 : name_word(i); }

}  // namespace tessera::fsw

// Extent-list heads are four consecutive words.
namespace tessera::listw {
inline constexpr int32_t kTotal = 0;
inline constexpr int32_t kCount = 1;
inline constexpr int32_t kFirst = 2;
inline constexpr int32_t kLast = 3;
}  // namespace tessera::listw
