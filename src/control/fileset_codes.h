// Trace codes of file-set creation, opening, closing and record input and
// output. Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {

// Record input and output.
inline constexpr int32_t kRecordReadRefused = 31543;
inline constexpr int32_t kRecordWriteRefused = 31550;
inline constexpr int32_t kCacheReadFailed = 33601;
inline constexpr int32_t kCacheWriteFailed = 33651;
inline constexpr int32_t kHeaderWrite = 33653;
// A run of records that does not lie inside the set (164 / 165): nothing is
// read or written. Whatever names the records has been checked before; this
// is the last guard in front of the files.
inline constexpr int32_t kReadOutsideSet = 34801;
inline constexpr int32_t kWriteOutsideSet = 34802;

// hmnewf and its worker.
inline constexpr int32_t kHmnewf = 32492;
inline constexpr int32_t kNewRecordLengthDiffers = 29649;
inline constexpr int32_t kNewBadArgument = 29650;
inline constexpr int32_t kCreateRefused = 31525;
inline constexpr int32_t kNewCreateFiles = 33420;
inline constexpr int32_t kNewTakeSlot = 33419;
inline constexpr int32_t kNewPoolSetup = 33421;
inline constexpr int32_t kNewLists = 33417;
inline constexpr int32_t kNewCleanupClose = 33418;

// hmoldf and its worker.
inline constexpr int32_t kHmoldf = 32507;
inline constexpr int32_t kOpenRefused = 31529;
inline constexpr int32_t kOldTakeSlot = 33431;
inline constexpr int32_t kOldOpenFiles = 33432;
inline constexpr int32_t kOldReadHeader = 33433;
inline constexpr int32_t kOldPoolSetup = 33434;
inline constexpr int32_t kOldRecordLengthDiffers = 29661;
inline constexpr int32_t kOldLists = 33429;
inline constexpr int32_t kOldCleanupClose = 33430;

// File-set slots.
inline constexpr int32_t kNoFilesetSlot = 32732;

// hm_read_header.
inline constexpr int32_t kHeaderNoRoom = 30710;
inline constexpr int32_t kHeaderTake = 33603;
inline constexpr int32_t kHeaderGive = 33604;
inline constexpr int32_t kHeaderRead = 33605;

// hm_init_fileset_lists (new set) and hm_load_fileset_lists (opened set).
inline constexpr int32_t kInitPairStacks = 32009;
inline constexpr int32_t kInitNoDataRegion = 32010;
inline constexpr int32_t kInitNoIndexRoom = 32011;
inline constexpr int32_t kInitTables = 32012;
inline constexpr int32_t kInitNoEntry = 32013;
inline constexpr int32_t kLoadPairStacks = 32014;
inline constexpr int32_t kLoadTables = 32015;
inline constexpr int32_t kLoadRead = 32016;

// hm_pool_setup: each part's own code, then the part's code after it.
inline constexpr int32_t kUnitPoolRoom = 30850;
inline constexpr int32_t kPairPoolRoom = 30835;
inline constexpr int32_t kWordPoolRoom = 30845;
inline constexpr int32_t kSpareNodesRoom = 30665;
inline constexpr int32_t kBufferPoolRoom = 30840;
inline constexpr int32_t kUnitPoolPart = 33710;
inline constexpr int32_t kPairPoolPart = 33708;
inline constexpr int32_t kWordPoolPart = 33709;
inline constexpr int32_t kSpareNodesPart = 33706;
inline constexpr int32_t kBufferPoolPart = 33707;
// The buffer pool's failure pushes a second code of its own.
inline constexpr int32_t kBufferPoolTooFew = 33713;

// Closing files.
inline constexpr int32_t kCloseRefused = 31502;

// hmremf.
inline constexpr int32_t kRemOpenMatrix = 29540;
inline constexpr int32_t kRemGiveBack = 32553;
inline constexpr int32_t kRemTableWrite = 32554;
inline constexpr int32_t kRemStackGive = 33699;
inline constexpr int32_t kRemStacks = 32556;
inline constexpr int32_t kRemHeader = 32555;
inline constexpr int32_t kRemGrow = 31522;
inline constexpr int32_t kRemFlush = 32551;
inline constexpr int32_t kRemClose = 32552;

// hmkilf.
inline constexpr int32_t kKilOpenMatrix = 29489;
inline constexpr int32_t kKilGiveBack = 32467;
inline constexpr int32_t kKilStacks = 32469;
inline constexpr int32_t kKilClose = 32466;

// hmclos.
inline constexpr int32_t kClosNotInitialised = 30660;
inline constexpr int32_t kClosStillOpen = 29390;
inline constexpr int32_t kClosClose = 32361;

}  // namespace tessera::trace

// Refusals of this library's own, for arguments and stored sets that the
// routines above would otherwise act on unsafely.
namespace tessera::trace {
inline constexpr int32_t kNewNameTooLong = 34401;     // hmnewf: a name over 80 characters
inline constexpr int32_t kOldBadFileCount = 34402;    // hmoldf: fewer than 1 or more than 10 files
inline constexpr int32_t kOldNameTooLong = 34403;     // hmoldf: a name over 80 characters
inline constexpr int32_t kNewNotInitialised = 34404;  // hmnewf on an uninitialised area
inline constexpr int32_t kOldNotInitialised = 34405;  // hmoldf on an uninitialised area
// A stored set refused by hmoldf (status 164), one code per kind of check.
inline constexpr int32_t kStoredRecordLength = 34410; // files' lengths differ or below 128
inline constexpr int32_t kStoredHeader = 34411;       // header words out of range
inline constexpr int32_t kStoredFileCount = 34412;    // record counts do not fit n files
inline constexpr int32_t kStoredTables = 34413;       // extent or node table links broken
// A handle that is not an open file set's (status 2).
inline constexpr int32_t kRemBadHandle = 34420;
inline constexpr int32_t kKilBadHandle = 34421;
// Forgetting the cached records of a removed or killed set.
inline constexpr int32_t kRemCacheDiscard = 34422;
inline constexpr int32_t kKilCacheDiscard = 34423;
// Writing out the other open sets' cached records before the cache memory
// is freed.
inline constexpr int32_t kRemFlushOthers = 34424;
inline constexpr int32_t kKilFlushOthers = 34425;
// hmremf moving the tables off the records the stored header names.
inline constexpr int32_t kRemNewTableRecords = 34426;  // records for the extent table
inline constexpr int32_t kRemNewNodeRecords = 34427;   // records for the node table
inline constexpr int32_t kRemOldRecords = 34428;       // the former records back to list A
inline constexpr int32_t kRemHeldRecords = 34429;      // runs held aside back to list A
inline constexpr int32_t kRemUnsettled = 34430;        // the tables keep landing on them
inline constexpr int32_t kRemBeforeHeader = 34431;     // cached records forgotten before the header
inline constexpr int32_t kRemUndoRecords = 34432;      // runs taken for a move that is redone
inline constexpr int32_t kRemHeaderFlush = 34433;      // the cached header to its record
inline constexpr int32_t kRemStoredRecords = 34435;    // the stored tables' runs back to list A
// The record-file service's set of a file set's files (status 161 when it
// cannot be formed, 165 when its commit fails).
inline constexpr int32_t kCreateJoin = 34460;   // hmnewf: the new files made one set
inline constexpr int32_t kOpenRecover = 34461;  // hmoldf: the set's journal applied
inline constexpr int32_t kRemCommit = 34462;    // hmremf: the removal committed
}  // namespace tessera::trace
