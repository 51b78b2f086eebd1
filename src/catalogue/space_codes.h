// Trace codes of record space allocation. Each names one failure site.
#pragma once

#include <cstdint>

namespace tessera::trace {
// Index records (list A).
inline constexpr int32_t kHeaderSlotNoFiles = 32759;    // nf = 0
inline constexpr int32_t kHeaderSlotExtend = 32759;     // extension failed
inline constexpr int32_t kIndexRecordsNoFiles = 32772;  // the same for n records
inline constexpr int32_t kIndexRecordsExtend = 32772;
// Data records (list B) and reservations.
inline constexpr int32_t kReserveNoFiles = 32779;       // nf = 0
inline constexpr int32_t kReserveExtend = 32775;        // every extension failed
inline constexpr int32_t kReserveGrow = 32776;          // matrix table growth failed
inline constexpr int32_t kReserveAddAgain = 32779;      // add failed after growth
inline constexpr int32_t kReserveOverlap = 32777;       // run overlaps a reserved extent
inline constexpr int32_t kBlockReserve = 32758;         // reservation failed
inline constexpr int32_t kBlockGrow = 32756;            // matrix table growth failed
inline constexpr int32_t kBlockAddAgain = 32757;        // add failed after growth
inline constexpr int32_t kBlockOverlap = 32755;         // record already in the used list
// Extension.
inline constexpr int32_t kExtendFile = 31503;           // DAF_file_extend refused
inline constexpr int32_t kExtendRefused = 31504;        // file count out of 1..10, or
                                                        // the end would pass 2^31 - 1
inline constexpr int32_t kIndexExtendWork = 32077;
inline constexpr int32_t kIndexExtendFree = 32078;
inline constexpr int32_t kIndexExtendGrow = 32075;
inline constexpr int32_t kIndexExtendAddAgain = 32076;
inline constexpr int32_t kDataExtendWork = 32071;
inline constexpr int32_t kDataExtendFree = 32072;
inline constexpr int32_t kDataExtendGrow = 32069;
inline constexpr int32_t kDataExtendAddAgain = 32070;
// Giving records back.
inline constexpr int32_t kDataRecordGrow = 32785;
inline constexpr int32_t kDataRecordAddAgain = 32786;
inline constexpr int32_t kDataExtentGrow = 32806;
inline constexpr int32_t kDataExtentAddAgain = 32807;
inline constexpr int32_t kDataExtentOverlap = 32808;    // run overlaps a free extent
inline constexpr int32_t kIndexExtentGrow = 32810;
inline constexpr int32_t kIndexExtentAddAgain = 32811;
inline constexpr int32_t kIndexExtentOverlap = 32812;   // run overlaps a free extent
inline constexpr int32_t kUnreserve = 32864;
inline constexpr int32_t kFreeMatrixDiscard = 32922;
inline constexpr int32_t kFreeMatrixGiveBack = 32923;
// Table growth.
inline constexpr int32_t kMatrixTableSmall = 32089;     // no 87-word area
inline constexpr int32_t kMatrixTableWork = 32090;      // no work space
inline constexpr int32_t kMatrixTableFreeSmall = 32091;
inline constexpr int32_t kMatrixTableFreeWork = 32092;
inline constexpr int32_t kMatrixTableDiscard = 32086;
inline constexpr int32_t kMatrixTableRecords = 32087;   // no index records for the table
inline constexpr int32_t kMatrixTableGiveBack = 32088;
inline constexpr int32_t kMatrixTableCopy = 32085;      // the lists do not fit the new table
inline constexpr int32_t kFilesetTableWork = 32083;
inline constexpr int32_t kFilesetTableFree = 32084;
inline constexpr int32_t kFilesetTableDiscard = 32080;
inline constexpr int32_t kFilesetTableGiveBack = 32082;
inline constexpr int32_t kFilesetTableRecords = 32081;
inline constexpr int32_t kFilesetTableCopy = 32079;     // the lists do not fit the new table
// Tables read back from a file set that would lead outside themselves.
inline constexpr int32_t kFilesetTableCorrupt = 32798;
inline constexpr int32_t kMatrixTableCorrupt = 32797;
}  // namespace tessera::trace
