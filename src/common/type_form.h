// Element type codes and storage forms inside the library: the names hosts
// use (tessera.h), in the library's namespaces. The one place the library
// names them.
#pragma once

#include <cstdint>

#include "tessera.h"

namespace tessera::etype {
inline constexpr int32_t kInt32 = TESSERA_TYPE_INT32;
inline constexpr int32_t kFloat = TESSERA_TYPE_FLOAT;
inline constexpr int32_t kInt32Items = TESSERA_TYPE_INT32_ITEMS;
inline constexpr int32_t kDouble = TESSERA_TYPE_DOUBLE;
inline constexpr int32_t kComplexFloat = TESSERA_TYPE_COMPLEX_FLOAT;
inline constexpr int32_t kComplexDouble = TESSERA_TYPE_COMPLEX_DOUBLE;
inline constexpr int32_t kFloatItems = TESSERA_TYPE_FLOAT_ITEMS;
inline constexpr int32_t kDoubleItems = TESSERA_TYPE_DOUBLE_ITEMS;
inline constexpr int32_t kComplexFloatItems = TESSERA_TYPE_COMPLEX_FLOAT_ITEMS;
inline constexpr int32_t kComplexDoubleItems = TESSERA_TYPE_COMPLEX_DOUBLE_ITEMS;
inline constexpr int32_t kInt32Column = TESSERA_TYPE_INT32_COLUMN;
inline constexpr int32_t kInt32ItemsColumn = TESSERA_TYPE_INT32_ITEMS_COLUMN;
inline constexpr int32_t kLast = kInt32ItemsColumn;
}  // namespace tessera::etype

namespace tessera::form {
inline constexpr int32_t kSymmetric = TESSERA_FORM_SYMMETRIC;
inline constexpr int32_t kGeneral = TESSERA_FORM_GENERAL;  // also a full block
inline constexpr int32_t kDiagonal = TESSERA_FORM_DIAGONAL;
inline constexpr int32_t kUpper = TESSERA_FORM_UPPER;
inline constexpr int32_t kLast = kUpper;
// Form 9, taken as the general form by hmnewm (with a notice in the trace).
inline constexpr int32_t kObsolete = 9;
}  // namespace tessera::form
