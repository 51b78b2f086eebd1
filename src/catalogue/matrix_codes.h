// Trace codes of the matrix life cycle: creating, opening, releasing, killing
// and inquiring matrices. Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {

// hmnewm and the descriptor it fills.
inline constexpr int32_t kNewmNoSlot = 32495;
inline constexpr int32_t kNewmExists = 32494;
inline constexpr int32_t kNewmColumns = 33777;
inline constexpr int32_t kNewmRows = 33778;
inline constexpr int32_t kNewmForm9 = 29506;         // a notice: form 9 taken as 3
inline constexpr int32_t kNewmDefine = 32496;
inline constexpr int32_t kNewmNotSquare = 29507;     // symmetric form with m != n
inline constexpr int32_t kNewmBadFileset = 29508;    // handle is no open file set
inline constexpr int32_t kDefineDirectory = 33424;
inline constexpr int32_t kDefineType = 29655;
inline constexpr int32_t kDefineForm = 29656;
inline constexpr int32_t kDefineHyperblock = 30706;
inline constexpr int32_t kDefineBlockOrder = 30703;
inline constexpr int32_t kDefineReserve = 33427;
inline constexpr int32_t kDefineGrid = 30707;        // more blocks than positions count

// hmoldm, the header read and the restore of derived words.
inline constexpr int32_t kOldmNoSlot = 32509;
inline constexpr int32_t kOldmAbsent = 29513;
inline constexpr int32_t kOldmAlreadyOpen = 29514;   // a second open of one matrix
inline constexpr int32_t kOldmBadFileset = 29515;
inline constexpr int32_t kOldmHeader = 32514;
inline constexpr int32_t kHeaderReadWork = 33608;
inline constexpr int32_t kHeaderReadRecord = 33609;
inline constexpr int32_t kHeaderReadFree = 33610;
inline constexpr int32_t kOldmSmallTable = 32510;
inline constexpr int32_t kOldmWorkTable = 32511;
inline constexpr int32_t kOldmTableRead = 32513;
inline constexpr int32_t kOldmRestore = 32512;       // hmoldm's own push
inline constexpr int32_t kRestore = 32512;           // the restore's site: nb or b1 is 0

// A stored header or extent table that cannot be what the directory says it
// is: hmoldm refuses it (status 164) before any of its words positions,
// sizes or divides anything. Header checks run inside the header read, so
// 32514 follows them; the restore's follow with 32512.
inline constexpr int32_t kHeaderSlot = 34601;        // node words 5-6: no header slot of the set
inline constexpr int32_t kHeaderKey = 34602;         // words 1-4, 8-9: another matrix's header
inline constexpr int32_t kHeaderType = 34603;        // words 10-11
inline constexpr int32_t kHeaderShape = 34604;       // words 12, 13, 15
inline constexpr int32_t kHeaderForm = 34605;        // words 7, 14
inline constexpr int32_t kHeaderBand = 34606;        // words 16-17
inline constexpr int32_t kHeaderHyperOrder = 34607;  // word 20
inline constexpr int32_t kHeaderTableWords = 34608;  // words 23-28, 33
inline constexpr int32_t kHeaderIndex = 34609;       // words 34, 36, 37
inline constexpr int32_t kHeaderPacked = 34610;      // words 39-40
inline constexpr int32_t kRestoreRecordsNeeded = 34611;  // word 38 and the shape disagree
inline constexpr int32_t kRestoreGeometry = 34612;   // stored words 42-76 and the shape disagree
inline constexpr int32_t kRestoreDistances = 34613;  // words 18-19 outside the block grid
inline constexpr int32_t kRestoreTypeWord = 34619;  // 256 k + t beyond a word
inline constexpr int32_t kTableUnsound = 34614;      // extent lists or free entries broken
inline constexpr int32_t kTableOutside = 34615;      // used records outside the set, free, or
                                                     // over the header or the saved table
inline constexpr int32_t kTableIndexOwner = 34616;   // root or packed records not the matrix's

// hmrelm and what it runs.
inline constexpr int32_t kRelmBadHandle = 32544;
inline constexpr int32_t kRelmFlush = 32545;
inline constexpr int32_t kRelmSpace = 32546;
inline constexpr int32_t kRelmRootWrite = 32548;
inline constexpr int32_t kRelmRootFree = 32547;
inline constexpr int32_t kRelmHeader = 32549;
inline constexpr int32_t kSpaceUnreserve = 33620;
inline constexpr int32_t kSpaceSmallFree = 33621;
inline constexpr int32_t kSpaceWorkFree = 33622;
inline constexpr int32_t kSpaceTableWrite = 33623;
inline constexpr int32_t kSpaceHeader = 33624;
inline constexpr int32_t kHeaderWriteWork = 33656;
inline constexpr int32_t kHeaderWriteRead = 33657;
inline constexpr int32_t kHeaderWriteFree = 33658;
inline constexpr int32_t kHeaderWriteRecord = 33659;
inline constexpr int32_t kFlushRightEdge = 32744;
inline constexpr int32_t kFlushBottomEdge = 32745;
inline constexpr int32_t kFlushTree = 32747;
inline constexpr int32_t kTreeFlushStackFull = 32164;
inline constexpr int32_t kTreeFlushStack = 33701;
inline constexpr int32_t kTreeFlushWrite = 33702;

// hmkilm, the kill by handle and the return of records.
inline constexpr int32_t kKilmAbsent = 29491;
inline constexpr int32_t kKilmBadFileset = 29492;
inline constexpr int32_t kKilmOpen = 32472;
inline constexpr int32_t kKilmKill = 32471;
inline constexpr int32_t kKillRecords = 32245;
inline constexpr int32_t kKillRootFree = 32246;
inline constexpr int32_t kKillFlush = 32244;
inline constexpr int32_t kKillDirectory = 32243;
inline constexpr int32_t kKillBadHandle = 32242;
inline constexpr int32_t kKillUnreserve = 33201;
inline constexpr int32_t kKillFreeUsed = 33202;
inline constexpr int32_t kKillSmallAlloc = 33203;
inline constexpr int32_t kKillWorkAlloc = 33204;
inline constexpr int32_t kKillTableRead = 33205;
inline constexpr int32_t kKillSmallFree = 33206;
inline constexpr int32_t kKillWorkFree = 33207;
inline constexpr int32_t kKillCacheDiscard = 33199;
inline constexpr int32_t kKillTableRecords = 33200;
// The saved extent table a kill reads for a matrix opened read-only, and the
// walk of its index that proves every record it names is its own before
// any record is given back (status 164).
inline constexpr int32_t kKillTableCheck = 34617;
inline constexpr int32_t kKillIndexCheck = 34618;

}  // namespace tessera::trace
