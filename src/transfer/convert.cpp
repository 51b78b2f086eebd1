// Element sizes, the region conversion, the vector copy and the zero fill.
//
// A conversion never needs the value of an element, only its bits: negating
// an integer is two's-complement negation, negating a real part flips its
// sign bit, conjugating flips the sign bit of the imaginary part. So every
// type group is one instantiation of a template over the "part" of an item
// (a 32-bit integer, a 32-bit real or a 64-bit real, moved as raw bits), the
// number of parts per item (1, or 2 for complex) and whether the element
// holds k items. Arrays are untyped word runs whose doubles may sit on 4-byte
// boundaries, so every access goes through memcpy; the compilers turn these
// into plain loads and stores.
#include "transfer/convert.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/type_form.h"

namespace tessera {
namespace {

using Bytes = unsigned char;

// Parts: how the bits of one real or integer are negated.
struct IntPart {
  using bits = uint32_t;
  static bits neg(bits x) { return 0u - x; }  // wraps: -INT32_MIN is INT32_MIN
};
struct F32Part {
  using bits = uint32_t;
  static bits neg(bits x) { return x ^ 0x80000000u; }
};
struct F64Part {
  using bits = uint64_t;
  static bits neg(bits x) { return x ^ (uint64_t{1} << 63); }
};

// Element layout of one type group.
template <class Part, int Parts, bool Vector>
struct Group {
  using bits = typename Part::bits;
  static constexpr std::ptrdiff_t item_bytes = sizeof(bits) * Parts;
  static constexpr bool vector = Vector;
};

// Move n consecutive items from s to d; NegRe negates the first part of
// every item, NegIm the second (complex only). Each item is loaded before it
// is stored, so s == d is harmless. With a compile-time n of 1 (the scalar
// types) this is a pair of plain loads and stores.
template <class Part, int Parts, bool NegRe, bool NegIm>
inline void move_items(const Bytes *s, Bytes *d, std::ptrdiff_t n) {
  using bits = typename Part::bits;
  constexpr std::ptrdiff_t item = static_cast<std::ptrdiff_t>(sizeof(bits)) * Parts;
  for (std::ptrdiff_t r = 0; r < n; ++r) {
    bits p0;
    std::memcpy(&p0, s, sizeof p0);
    if constexpr (NegRe) p0 = Part::neg(p0);
    if constexpr (Parts == 2) {
      bits p1;
      std::memcpy(&p1, s + sizeof p0, sizeof p1);
      if constexpr (NegIm) p1 = Part::neg(p1);
      std::memcpy(d + sizeof p0, &p1, sizeof p1);
    }
    std::memcpy(d, &p0, sizeof p0);
    s += item;
    d += item;
  }
}

// One element (k items; 1 for the scalar groups, known when compiling).
template <class G, class Part, int Parts, bool NegRe, bool NegIm>
inline void move_element(const Bytes *s, Bytes *d, int32_t k) {
  move_items<Part, Parts, NegRe, NegIm>(s, d, G::vector ? k : 1);
}

// Region arguments shared by every member, with element offsets precomputed.
struct Region {
  const Bytes *src;
  Bytes *dst;
  std::ptrdiff_t lds, ldd, esize;  // leading dimensions in elements, element size in bytes
  int32_t k, ia, nr, ja, nc, ib, jb;

  const Bytes *s(int32_t row, int32_t col) const {
    return src + ((static_cast<std::ptrdiff_t>(col) - 1) * lds + (row - 1)) * esize;
  }
  Bytes *d(int32_t row, int32_t col) const {
    return dst + ((static_cast<std::ptrdiff_t>(col) - 1) * ldd + (row - 1)) * esize;
  }
};

// Source and destination share bytes without being the same region in the
// same place (for a transposition: share any bytes). Only then does the
// order of the element moves show, and the slow paths keep it.
bool overlaps(const Region &g, bool transposed) {
  const int32_t dr = transposed ? g.nc : g.nr, dc = transposed ? g.nr : g.nc;
  const Bytes *s0 = g.s(g.ia, g.ja), *s1 = g.s(g.ia + g.nr - 1, g.ja + g.nc - 1) + g.esize;
  const Bytes *d0 = g.d(g.ib, g.jb), *d1 = g.d(g.ib + dr - 1, g.jb + dc - 1) + g.esize;
  const auto at = [](const Bytes *p) { return reinterpret_cast<std::uintptr_t>(p); };
  if (at(s1) <= at(d0) || at(d1) <= at(s0)) return false;
  return transposed || !(s0 == d0 && g.lds == g.ldd);
}

// The element-by-element order of the plain moves, each element one memmove.
void move_each(const Region &g, int32_t j, int32_t n) {
  for (int32_t i = 0; i < n; ++i)
    std::memmove(g.d(g.ib + i, g.jb + j), g.s(g.ia + i, g.ja + j),
                 static_cast<std::size_t>(g.esize));
}

// Same position, optionally negated parts (modes 0, 1, 11, 12). Columns are
// contiguous on both sides, so a column is one run; when both leading
// dimensions are the column length the whole region is one run.
template <class G, class Part, int Parts, bool NegRe, bool NegIm>
void place_same(const Region &g) {
  constexpr bool plain = !NegRe && !(NegIm && Parts == 2);
  const bool one_run = g.lds == g.nr && g.ldd == g.nr;
  const std::ptrdiff_t cols = one_run ? 1 : g.nc;
  const std::ptrdiff_t elements = one_run ? std::ptrdiff_t{g.nr} * g.nc : g.nr;
  const std::ptrdiff_t items = elements * (G::vector ? g.k : 1);
  const Bytes *s = g.s(g.ia, g.ja);
  Bytes *d = g.d(g.ib, g.jb);
  const std::ptrdiff_t sstep = g.lds * g.esize, dstep = g.ldd * g.esize;
  if constexpr (plain) {
    if (overlaps(g, false)) {
      for (int32_t j = 0; j < g.nc; ++j) move_each(g, j, g.nr);
      return;
    }
    const std::size_t run = static_cast<std::size_t>(elements * g.esize);
    for (std::ptrdiff_t j = 0; j < cols; ++j) std::memmove(d + j * dstep, s + j * sstep, run);
  } else {
    for (std::ptrdiff_t j = 0; j < cols; ++j)
      move_items<Part, Parts, NegRe, NegIm>(s + j * sstep, d + j * dstep, items);
  }
}

// Transposed position (modes 2, 3): source column j becomes destination row
// j. Tiles keep both sides' lines in the cache.
template <class G, class Part, int Parts, bool NegRe, bool NegIm>
void place_transposed(const Region &g) {
  constexpr int32_t kTile = 16;
  const Bytes *s = g.s(g.ia, g.ja);
  Bytes *d = g.d(g.ib, g.jb);
  const std::ptrdiff_t es = g.esize, sstep = g.lds * es, dstep = g.ldd * es;
  if (overlaps(g, true)) {
    for (int32_t j = 0; j < g.nc; ++j)
      for (int32_t i = 0; i < g.nr; ++i)
        move_element<G, Part, Parts, NegRe, NegIm>(s + j * sstep + i * es, d + i * dstep + j * es,
                                                    g.k);
    return;
  }
  for (int32_t j0 = 0; j0 < g.nc; j0 += kTile) {
    const int32_t j1 = j0 + kTile < g.nc ? j0 + kTile : g.nc;
    for (int32_t i0 = 0; i0 < g.nr; i0 += kTile) {
      const int32_t i1 = i0 + kTile < g.nr ? i0 + kTile : g.nr;
      for (int32_t j = j0; j < j1; ++j) {
        const Bytes *sc = s + j * sstep;
        Bytes *dr = d + j * es;
        for (int32_t i = i0; i < i1; ++i)
          move_element<G, Part, Parts, NegRe, NegIm>(sc + i * es, dr + i * dstep, g.k);
      }
    }
  }
}

// Upper triangle of the destination only (mode 4): in each column a
// contiguous run down to the diagonal.
template <class G, class Part, int Parts>
void place_upper(const Region &g) {
  const bool overlap = overlaps(g, false);
  for (int32_t j = 1; j <= g.nc; ++j) {
    // destination row ib+i-1 not below destination column jb+j-1
    const int32_t last = g.jb + j - g.ib < g.nr ? g.jb + j - g.ib : g.nr;
    if (last < 1) continue;
    if (overlap) {
      move_each(g, j - 1, last);
    } else {
      std::memmove(g.d(g.ib, g.jb + j - 1), g.s(g.ia, g.ja + j - 1),
                   static_cast<std::size_t>(last * g.esize));
    }
  }
}

// Symmetric (Hermitian) fill (mode 5): the plain store, then the mirrored
// conjugate. The order of stores decides which of two mirrored sources wins,
// so this stays element by element.
template <class G, class Part, int Parts>
void place_mirrored(const Region &g) {
  for (int32_t j = 1; j <= g.nc; ++j) {
    const Bytes *s = g.s(g.ia, g.ja + j - 1);
    Bytes *d = g.d(g.ib, g.jb + j - 1);
    Bytes *m = g.d(g.jb + j - 1, g.ib);
    const std::ptrdiff_t mstep = g.ldd * g.esize;
    for (int32_t i = 0; i < g.nr; ++i) {
      move_element<G, Part, Parts, false, false>(s + i * g.esize, d + i * g.esize, g.k);
      move_element<G, Part, Parts, false, true>(s + i * g.esize, m + i * mstep, g.k);
    }
  }
}

// Diagonal of the source region into one destination column (mode 6).
template <class G, class Part, int Parts>
void place_diagonal(const Region &g) {
  const int32_t n = g.nr < g.nc ? g.nr : g.nc;
  for (int32_t p = 1; p <= n; ++p)
    move_element<G, Part, Parts, false, false>(g.s(g.ia + p - 1, g.ja + p - 1),
                                                g.d(g.ib + p - 1, g.jb), g.k);
}

// One type group's region conversion: the mode chosen once, then a straight
// loop. Complex transposes conjugate; for non-complex groups the "imaginary"
// flag has no part to act on.
template <class Part, int Parts, bool Vector>
void convert_group(const Region &g, int32_t mode) {
  using G = Group<Part, Parts, Vector>;
  switch (mode) {
    case kConvCopy: place_same<G, Part, Parts, false, false>(g); break;
    case kConvNegate: place_same<G, Part, Parts, true, true>(g); break;
    case kConvTranspose: place_transposed<G, Part, Parts, false, true>(g); break;
    case kConvNegTranspose: place_transposed<G, Part, Parts, true, false>(g); break;
    case kConvUpper: place_upper<G, Part, Parts>(g); break;
    case kConvSymmetricFill: place_mirrored<G, Part, Parts>(g); break;
    case kConvDiagonal: place_diagonal<G, Part, Parts>(g); break;
    case kConvConjugate:
      if constexpr (!Vector) place_same<G, Part, Parts, false, true>(g);
      break;
    case kConvNegConjugate:
      if constexpr (!Vector) place_same<G, Part, Parts, true, false>(g);
      break;
    default: break;
  }
}

using ConvertMember = void (*)(const Region &, int32_t);

// Member by type code; index 0 and codes outside 1..12 have none.
constexpr ConvertMember kConvertMembers[13] = {
    nullptr,
    convert_group<IntPart, 1, false>,  // 1  integer
    convert_group<F32Part, 1, false>,  // 2  single real
    convert_group<IntPart, 1, true>,   // 3  k integers
    convert_group<F64Part, 1, false>,  // 4  double real
    convert_group<F32Part, 2, false>,  // 5  single complex
    convert_group<F64Part, 2, false>,  // 6  double complex
    convert_group<F32Part, 1, true>,   // 7  k single reals
    convert_group<F64Part, 1, true>,   // 8  k double reals
    convert_group<F32Part, 2, true>,   // 9  k single complex
    convert_group<F64Part, 2, true>,   // 10 k double complex
    convert_group<IntPart, 1, false>,  // 11 integer, one column
    convert_group<IntPart, 1, true>,   // 12 k integers, one column
};

bool known_type(int32_t t) { return t >= 1 && t <= 12; }

// Items per element as the routines use it: 1 for the scalar types, k for
// the vector types with a k below 1 read as 1 (the same rule as a type word
// whose item count is 0).
int32_t items(int32_t t, int32_t k) { return hm_is_vector_type(t) && k > 1 ? k : 1; }

}  // namespace

int32_t hm_words_per_item(int32_t t) {
  switch (t) {
    case etype::kInt32: case etype::kFloat: case etype::kInt32Items: case etype::kFloatItems:
    case etype::kInt32Column: case etype::kInt32ItemsColumn: return 1;
    case etype::kDouble: case etype::kComplexFloat: case etype::kDoubleItems:
    case etype::kComplexFloatItems: return 2;
    case etype::kComplexDouble: case etype::kComplexDoubleItems: return 4;
    default: return 0;
  }
}

bool hm_is_vector_type(int32_t t) {
  return t == etype::kInt32Items || t == etype::kFloatItems || t == etype::kDoubleItems ||
         t == etype::kComplexFloatItems || t == etype::kComplexDoubleItems ||
         t == etype::kInt32ItemsColumn;
}

int32_t hm_words_per_element(int32_t t, int32_t k) { return items(t, k) * hm_words_per_item(t); }

void hm_convert_region(const void *src, int32_t lds, void *dst, int32_t ldd, int32_t t,
                       int32_t k, int32_t ia, int32_t nr, int32_t ja, int32_t nc, int32_t ib,
                       int32_t jb, int32_t mode) {
  if (!known_type(t) || nr < 1 || nc < 1) return;
  const int32_t kk = items(t, k);
  const Region g{static_cast<const Bytes *>(src), static_cast<Bytes *>(dst), lds, ldd,
                 static_cast<std::ptrdiff_t>(hm_words_per_element(t, kk)) * 4, kk,
                 ia, nr, ja, nc, ib, jb};
  kConvertMembers[t](g, mode);
}

void hm_convert_vector(const void *src, void *dst, int32_t n, int32_t t, int32_t k, int32_t neg) {
  if (n < 1) return;
  if (t == etype::kDouble) {
    const Bytes *s = static_cast<const Bytes *>(src);
    Bytes *d = static_cast<Bytes *>(dst);
    const uint64_t flip = neg != 0 ? F64Part::neg(0) : 0;
    for (int32_t i = 0; i < n; ++i) {
      uint64_t x;
      std::memcpy(&x, s + 8 * static_cast<std::ptrdiff_t>(i), 8);
      x ^= flip;
      std::memcpy(d + 8 * static_cast<std::ptrdiff_t>(i), &x, 8);
    }
    return;
  }
  // Any non-zero neg negates, as for doubles: a transposing or mirroring mode
  // on a one-column run would place elements far outside it.
  hm_convert_region(src, n, dst, n, t, k, 1, n, 1, 1, 1, 1, neg != 0 ? kConvNegate : kConvCopy);
}

void hm_zero_region(void *a, int32_t lda, int32_t t, int32_t k, int32_t i0, int32_t nr,
                    int32_t j0, int32_t nc) {
  if (!known_type(t) || nr < 1 || nc < 1) return;
  Bytes *base = static_cast<Bytes *>(a);
  const std::ptrdiff_t esize = static_cast<std::ptrdiff_t>(hm_words_per_element(t, k)) * 4;
  if (t == etype::kDouble && lda == nr && lda == nc && i0 == 1 && j0 == 1 &&
      (lda == 16 || lda == 32 || lda == 45 || lda == 64)) {
    std::memset(base, 0, static_cast<std::size_t>(lda) * static_cast<std::size_t>(lda) * 8);
    return;
  }
  const std::size_t run = static_cast<std::size_t>(nr) * static_cast<std::size_t>(esize);
  for (int32_t j = j0; j < j0 + nc; ++j)
    std::memset(base + ((static_cast<std::ptrdiff_t>(j) - 1) * lda + (i0 - 1)) * esize, 0, run);
}

}  // namespace tessera
