// Element type codes and the conversions between column-major arrays.
//
//   t   element                           words per item
//   1   32-bit integer                    1
//   2   single real                       1
//   3   k 32-bit integers                 1
//   4   double real                       2
//   5   single complex                    2
//   6   double complex                    4
//   7   k single reals                    1
//   8   k double reals                    2
//   9   k single complex                  2
//   10  k double complex                  4
//   11  32-bit integer, one column        1
//   12  k 32-bit integers, one column     1
//
// Arrays are untyped runs of 32-bit words; indices are 1-based and leading
// dimensions count elements. The routines know nothing of files or blocks.
#pragma once

#include <cstdint>

namespace tessera {

// Conversion modes.
inline constexpr int32_t kConvCopy = 0;
inline constexpr int32_t kConvNegate = 1;
inline constexpr int32_t kConvTranspose = 2;
inline constexpr int32_t kConvNegTranspose = 3;
inline constexpr int32_t kConvUpper = 4;
inline constexpr int32_t kConvSymmetricFill = 5;
inline constexpr int32_t kConvDiagonal = 6;
inline constexpr int32_t kConvConjugate = 11;
inline constexpr int32_t kConvNegConjugate = 12;

// Words per item of type t (0 for an unknown type); words per element = k
// times this for the vector types, this for the scalar types.
int32_t hm_words_per_item(int32_t t);
int32_t hm_words_per_element(int32_t t, int32_t k);
bool hm_is_vector_type(int32_t t);

void hm_convert_region(const void *src, int32_t lds, void *dst, int32_t ldd, int32_t t,
                       int32_t k, int32_t ia, int32_t nr, int32_t ja, int32_t nc, int32_t ib,
                       int32_t jb, int32_t mode);
void hm_convert_vector(const void *src, void *dst, int32_t n, int32_t t, int32_t k, int32_t neg);
void hm_zero_region(void *a, int32_t lda, int32_t t, int32_t k, int32_t i0, int32_t nr,
                    int32_t j0, int32_t nc);

}  // namespace tessera
