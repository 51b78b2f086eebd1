// Block addition and the non-zero test. Neither needs complex arithmetic: a
// complex item adds and tests as two reals, a k-item element as k items, so
// each routine is one template over the scalar kind (32-bit integer, single
// or double real) run over "parts" per element.
#include "algebra/block_ops.h"

#include <cstddef>

#include "algebra/element_kinds.h"
#include "common/type_form.h"
#include "transfer/convert.h"

namespace tessera {
namespace {

using kinds::Bytes;
using std::ptrdiff_t;

enum Scalar { kInt, kSingle, kDouble, kNone };

// Scalar kind of type code t and the number of scalars in one element.
Scalar scalar_of(int32_t t) {
  switch (t) {
    case etype::kInt32: case etype::kInt32Items: case etype::kInt32Column:
    case etype::kInt32ItemsColumn: return kInt;
    case etype::kFloat: case etype::kComplexFloat: case etype::kFloatItems:
    case etype::kComplexFloatItems: return kSingle;
    case etype::kDouble: case etype::kComplexDouble: case etype::kDoubleItems:
    case etype::kComplexDoubleItems: return kDouble;
    default: return kNone;
  }
}

int32_t parts_per_element(int32_t t, int32_t k) {
  const int32_t items = hm_is_vector_type(t) && k > 1 ? k : 1;
  const bool complex = t == etype::kComplexFloat || t == etype::kComplexDouble ||
                       t == etype::kComplexFloatItems || t == etype::kComplexDoubleItems;
  return items * (complex ? 2 : 1);
}

template <class K>
void add_parts(Bytes *dst, const Bytes *src, int32_t parts, int32_t form, int32_t rows,
               int32_t cols, bool subtract) {
  using V = typename K::value;
  for (int32_t j = 1; j <= cols; ++j) {
    const int32_t last = form == 6 && j < rows ? j : rows;
    const ptrdiff_t first = (static_cast<ptrdiff_t>(j) - 1) * rows * parts;
    const ptrdiff_t n = static_cast<ptrdiff_t>(last) * parts;
    Bytes *d = dst + first * sizeof(V);
    const Bytes *s = src + first * sizeof(V);
    if (subtract)
      for (ptrdiff_t p = 0; p < n; ++p)
        kinds::store(d + p * sizeof(V), K::sub(kinds::load<V>(d + p * sizeof(V)), kinds::load<V>(s + p * sizeof(V))));
    else
      for (ptrdiff_t p = 0; p < n; ++p)
        kinds::store(d + p * sizeof(V), K::add(kinds::load<V>(d + p * sizeof(V)), kinds::load<V>(s + p * sizeof(V))));
  }
}

template <class V>
bool any_nonzero(const Bytes *b, ptrdiff_t n) {
  for (ptrdiff_t p = 0; p < n; ++p) {
    const V v = kinds::load<V>(b + p * sizeof(V));
    if (v < V(0) || v > V(0)) return true;
  }
  return false;
}

}  // namespace

void hl_add_block(int32_t *dst, const int32_t *src, int32_t t, int32_t k, int32_t form,
                  int32_t rows, int32_t cols, int32_t op) {
  if (rows < 1 || cols < 1) return;
  Bytes *d = reinterpret_cast<Bytes *>(dst);
  const Bytes *s = reinterpret_cast<const Bytes *>(src);
  const int32_t parts = parts_per_element(t, k);
  const bool subtract = op == 1;
  switch (scalar_of(t)) {
    case kInt: add_parts<kinds::Int>(d, s, parts, form, rows, cols, subtract); break;
    case kSingle: add_parts<kinds::F32>(d, s, parts, form, rows, cols, subtract); break;
    case kDouble: add_parts<kinds::F64>(d, s, parts, form, rows, cols, subtract); break;
    case kNone: break;
  }
}

int32_t hl_block_nonzero(const int32_t *block, int32_t rows, int32_t cols, int32_t t, int32_t k) {
  if (rows < 1 || cols < 1) return 0;
  const Bytes *b = reinterpret_cast<const Bytes *>(block);
  const ptrdiff_t n = static_cast<ptrdiff_t>(rows) * cols * parts_per_element(t, k);
  switch (scalar_of(t)) {
    case kInt: return any_nonzero<int32_t>(b, n) ? 1 : 0;
    case kSingle: return any_nonzero<float>(b, n) ? 1 : 0;
    case kDouble: return any_nonzero<double>(b, n) ? 1 : 0;
    case kNone: break;
  }
  return 0;
}

}  // namespace tessera
