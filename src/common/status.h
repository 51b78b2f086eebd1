// Status numbers returned in ierr. They are shared by the whole library and
// are part of the contract with hosts: never renumber them.
#pragma once

#include <cstdint>

namespace tessera::status {

inline constexpr int32_t kOk = 0;
inline constexpr int32_t kRecordLengthDiffers = 1;   // not the first file set's length
inline constexpr int32_t kBadFilesetArgument = 2;    // record length, file count
inline constexpr int32_t kRecordTooSmall = 3;        // no room for one element
inline constexpr int32_t kFilesetsStillOpen = 4;     // hmclos in checking mode
inline constexpr int32_t kMatrixStillOpen = 9;
inline constexpr int32_t kColumnsDiffer = 10;
inline constexpr int32_t kColumnsNotPositive = 11;
inline constexpr int32_t kTypesDiffer = 13;
inline constexpr int32_t kBadType = 14;              // type code or items per element
inline constexpr int32_t kShapesDoNotConform = 16;
inline constexpr int32_t kMatrixExists = 17;
inline constexpr int32_t kFormsDiffer = 19;
inline constexpr int32_t kBadForm = 20;
inline constexpr int32_t kRowsDiffer = 29;
inline constexpr int32_t kRowsNotPositive = 30;
inline constexpr int32_t kNoSuchMatrix = 31;
inline constexpr int32_t kItemsDiffer = 32;
inline constexpr int32_t kReadOnly = 35;
inline constexpr int32_t kRegionOutside = 37;
inline constexpr int32_t kTransposeType = 38;
inline constexpr int32_t kTransposeForm = 39;
inline constexpr int32_t kNotInitialised = 100;
inline constexpr int32_t kAreaTooSmall = 101;
inline constexpr int32_t kPoolTooSmallForHyperblock = 105;
inline constexpr int32_t kFileCreateOrOpen = 161;
inline constexpr int32_t kFileClose = 162;
inline constexpr int32_t kFileExtend = 163;
inline constexpr int32_t kRecordRead = 164;
inline constexpr int32_t kRecordWrite = 165;
inline constexpr int32_t kFull = 170;                // table, list or pool full

}  // namespace tessera::status
