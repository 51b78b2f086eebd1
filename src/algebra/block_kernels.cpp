// The block product kernels and their dispatcher.
//
// Loop kernels are one template over the element kind, the transposition
// case and whether elements hold k items; a table indexed by type code and
// case picks the instantiation, so the inner loops carry no dispatch. NN and
// NT run column by column (Y(:,j) += A(:,p) b), TN and TT as dot products
// down the columns of A, which keeps the innermost index on contiguous data.
// Full double blocks go to the trimmed kernels (dot products over the spans
// of non-negligible values) or, with the BLAS switch on, to DGEMM.
#include "algebra/block_kernels.h"

#include <cmath>
#include <cstddef>

#include "algebra/element_kinds.h"
#include "common/type_form.h"

extern "C" void dgemm_(const char *transa, const char *transb, const int *m, const int *n,
                       const int *k, const double *alpha, const double *a, const int *lda,
                       const double *b, const int *ldb, const double *beta, double *c,
                       const int *ldc);

namespace tessera {
namespace {

using kinds::Bytes;
using kinds::load;
using kinds::store;
using std::ptrdiff_t;

enum Case : int { kNN = 0, kNT = 1, kTN = 2, kTT = 3 };

inline int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t max32(int32_t a, int32_t b) { return a > b ? a : b; }

// Shapes of one product, with the triangular flags.
struct Shape {
  int32_t M, N, K;  // rows of op(A), columns of op(B), shared dimension
  bool triA, triB;
};

inline Shape shape_of(int32_t Ar, int32_t Ac, int32_t Br, int32_t Bc, int32_t ta, int32_t tb,
                      int32_t formA, int32_t formB) {
  return {ta == 1 ? Ac : Ar, tb == 1 ? Br : Bc, ta == 1 ? Ar : Ac, formA == form::kUpper,
          formB == form::kUpper};
}

// ---------------------------------------------------------------------------
// Loop kernels

// Byte address of item r of element (i, j) of a block with leading
// dimension ld and k items of `size` bytes per element (all 1-based but r).
inline ptrdiff_t item_at(int32_t i, int32_t j, ptrdiff_t ld, ptrdiff_t k, ptrdiff_t size) {
  return ((static_cast<ptrdiff_t>(j) - 1) * ld + (i - 1)) * k * size;
}

template <class K, int C, bool Items>
void loop_kernel(const Bytes *A, const Bytes *B, Bytes *Y, int32_t k_in, int32_t formA,
                 int32_t Ar, int32_t Ac, int32_t formB, int32_t Br, int32_t Bc, int32_t sub) {
  using V = typename K::value;
  constexpr ptrdiff_t sz = sizeof(V);
  constexpr bool ta = C == kTN || C == kTT;
  constexpr bool tb = C == kNT || C == kTT;
  const ptrdiff_t k = Items ? (k_in > 1 ? k_in : 1) : 1;
  const Shape s = shape_of(Ar, Ac, Br, Bc, ta, tb, formA, formB);
  const ptrdiff_t ldy = s.M;
  const ptrdiff_t step = k * sz;  // next element down a column
  auto opA = [](V a) { return ta ? K::conj(a) : a; };
  auto opB = [](V b) { return tb ? K::conj(b) : b; };

  if constexpr (!ta) {
    // Y(:, j) += A(:, p) op(B)(p, j), i restricted to i <= p by an upper A.
    for (int32_t j = 1; j <= s.N; ++j) {
      const int32_t p0 = (tb && s.triB) ? j : 1;                 // B(j, p): j <= p
      const int32_t p1 = (!tb && s.triB) ? min32(s.K, j) : s.K;  // B(p, j): p <= j
      for (int32_t p = p0; p <= p1; ++p) {
        const int32_t i1 = s.triA ? min32(s.M, p) : s.M;
        for (ptrdiff_t r = 0; r < k; ++r) {
          V b = opB(load<V>(B + (tb ? item_at(j, p, Br, k, sz) : item_at(p, j, Br, k, sz)) + r * sz));
          if (sub == 1) b = K::neg(b);
          const Bytes *a = A + item_at(1, p, Ar, k, sz) + r * sz;
          Bytes *y = Y + item_at(1, j, ldy, k, sz) + r * sz;
          for (int32_t i = 0; i < i1; ++i, a += step, y += step)
            store(y, K::add(load<V>(y), K::mul(load<V>(a), b)));
        }
      }
    }
  } else {
    // Y(i, j) +/-= sum_p conj(A(p, i)) op(B)(p, j), down column i of A.
    const ptrdiff_t bstep = tb ? static_cast<ptrdiff_t>(Br) * step : step;
    for (int32_t j = 1; j <= s.N; ++j)
      for (int32_t i = 1; i <= s.M; ++i) {
        const int32_t p0 = (tb && s.triB) ? j : 1;
        int32_t p1 = s.triA ? min32(s.K, i) : s.K;  // A(p, i): p <= i
        if (!tb && s.triB) p1 = min32(p1, j);
        if (p1 < p0) continue;
        for (ptrdiff_t r = 0; r < k; ++r) {
          const Bytes *a = A + item_at(p0, i, Ar, k, sz) + r * sz;
          const Bytes *b = B + (tb ? item_at(j, p0, Br, k, sz) : item_at(p0, j, Br, k, sz)) + r * sz;
          V acc = K::zero();
          for (int32_t p = p0; p <= p1; ++p, a += step, b += bstep)
            acc = K::add(acc, K::mul(opA(load<V>(a)), opB(load<V>(b))));
          Bytes *y = Y + item_at(i, j, ldy, k, sz) + r * sz;
          store(y, sub == 1 ? K::sub(load<V>(y), acc) : K::add(load<V>(y), acc));
        }
      }
  }
}

using LoopKernel = void (*)(const Bytes *, const Bytes *, Bytes *, int32_t, int32_t, int32_t,
                            int32_t, int32_t, int32_t, int32_t, int32_t);

template <class K, bool Items>
struct CaseRow {
  static constexpr LoopKernel row[4] = {loop_kernel<K, kNN, Items>, loop_kernel<K, kNT, Items>,
                                        loop_kernel<K, kTN, Items>, loop_kernel<K, kTT, Items>};
};

// Loop kernel by type code (1..12) and case.
constexpr const LoopKernel *kLoopKernels[13] = {
    nullptr,
    CaseRow<kinds::Int, false>::row,  // 1
    CaseRow<kinds::F32, false>::row,  // 2
    CaseRow<kinds::Int, true>::row,   // 3
    CaseRow<kinds::F64, false>::row,  // 4 (triangular blocks)
    CaseRow<kinds::C32, false>::row,  // 5
    CaseRow<kinds::C64, false>::row,  // 6
    CaseRow<kinds::F32, true>::row,   // 7
    CaseRow<kinds::F64, true>::row,   // 8
    CaseRow<kinds::C32, true>::row,   // 9
    CaseRow<kinds::C64, true>::row,   // 10
    CaseRow<kinds::Int, false>::row,  // 11
    CaseRow<kinds::Int, true>::row,   // 12
};

// ---------------------------------------------------------------------------
// Double real helpers

inline double dload(const int32_t *base, ptrdiff_t index) {
  return load<double>(reinterpret_cast<const Bytes *>(base) + index * 8);
}
inline void dstore(int32_t *base, ptrdiff_t index, double v) {
  store(reinterpret_cast<Bytes *>(base) + index * 8, v);
}
inline const int32_t *dshift(const int32_t *base, ptrdiff_t index) { return base + 2 * index; }

// First and last (0-based) counting positions of a vector of n doubles with
// stride inc; false when every value is negligible.
bool span_of(const int32_t *v, ptrdiff_t inc, int32_t n, int32_t &first, int32_t &last) {
  int32_t f = 0;
  while (f < n && hl_is_negligible(dload(v, f * inc))) ++f;
  if (f == n) return false;
  int32_t l = n - 1;
  while (hl_is_negligible(dload(v, l * inc))) --l;
  first = f;
  last = l;
  return true;
}

// Four dot products of x against y0..y3 over n values, one pass over x.
inline void dot4(const int32_t *x, ptrdiff_t incx, const int32_t *const y[4], ptrdiff_t incy,
                 int32_t n, double d[4]) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  for (int32_t p = 0; p < n; ++p) {
    const double a = dload(x, p * incx);
    s0 += a * dload(y[0], p * incy);
    s1 += a * dload(y[1], p * incy);
    s2 += a * dload(y[2], p * incy);
    s3 += a * dload(y[3], p * incy);
  }
  d[0] = s0; d[1] = s1; d[2] = s2; d[3] = s3;
}

inline double dot(const int32_t *x, ptrdiff_t incx, const int32_t *y, ptrdiff_t incy, int32_t n) {
  double d;
  if (incx == 1 && incy == 1)
    hl_ddot_short(x, y, n, d);
  else
    hl_ddot(x, static_cast<int32_t>(incx), y, static_cast<int32_t>(incy), n, d);
  return d;
}

// The trimmed product. Vector i of A (row i for ta = 0, column i for ta = 1)
// starts at element offA*i with stride incA; vector j of B (column j for
// tb = 0, row j for tb = 1) at offB*j with stride incB. Each Y(i, j) gets one
// addition: the dot product over the span of the followed operand's vector.
template <int C>
void dmul_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br, int32_t Bc,
               int32_t sign, int32_t *Y) {
  constexpr bool ta = C == kTN || C == kTT;
  constexpr bool tb = C == kNT || C == kTT;
  const Shape s = shape_of(Ar, Ac, Br, Bc, ta, tb, form::kGeneral, form::kGeneral);
  if (s.M < 1 || s.N < 1 || s.K < 1) return;
  const ptrdiff_t offA = ta ? Ar : 1, incA = ta ? 1 : Ar;
  const ptrdiff_t offB = tb ? 1 : Br, incB = tb ? Br : 1;
  int32_t choice;
  hl_trim_choice(A, Ar, Ac, ta ? 2 : 1, B, Br, Bc, tb ? 1 : 2, choice);
  if (choice < 0) return;
  const double sg = sign < 0 ? -1.0 : 1.0;
  const ptrdiff_t ldy = s.M;
  auto addto = [&](int32_t i, int32_t j, double d) {  // 0-based i, j
    const ptrdiff_t at = static_cast<ptrdiff_t>(j) * ldy + i;
    dstore(Y, at, dload(Y, at) + sg * d);
  };
  if (choice == 1) {
    for (int32_t i = 0; i < s.M; ++i) {
      const int32_t *a = dshift(A, i * offA);
      int32_t f, l;
      if (!span_of(a, incA, s.K, f, l)) continue;
      const int32_t *x = dshift(a, f * incA);
      const int32_t n = l - f + 1;
      int32_t j = 0;
      for (; j + 4 <= s.N; j += 4) {
        const int32_t *y[4];
        for (int q = 0; q < 4; ++q) y[q] = dshift(B, (j + q) * offB + f * incB);
        double d[4];
        dot4(x, incA, y, incB, n, d);
        for (int q = 0; q < 4; ++q) addto(i, j + q, d[q]);
      }
      for (; j < s.N; ++j) addto(i, j, dot(x, incA, dshift(B, j * offB + f * incB), incB, n));
    }
  } else {
    for (int32_t j = 0; j < s.N; ++j) {
      const int32_t *b = dshift(B, j * offB);
      int32_t f, l;
      if (!span_of(b, incB, s.K, f, l)) continue;
      const int32_t *x = dshift(b, f * incB);
      const int32_t n = l - f + 1;
      int32_t i = 0;
      for (; i + 4 <= s.M; i += 4) {
        const int32_t *y[4];
        for (int q = 0; q < 4; ++q) y[q] = dshift(A, (i + q) * offA + f * incA);
        double d[4];
        dot4(x, incB, y, incA, n, d);
        for (int q = 0; q < 4; ++q) addto(i + q, j, d[q]);
      }
      for (; i < s.M; ++i) addto(i, j, dot(dshift(A, i * offA + f * incA), incA, x, incB, n));
    }
  }
}

// ---------------------------------------------------------------------------
// Double complex kernels of the BLAS switch

using Z = kinds::C64::value;

inline Z zload(const int32_t *base, ptrdiff_t index) {
  return load<Z>(reinterpret_cast<const Bytes *>(base) + index * 16);
}
inline void zstore(int32_t *base, ptrdiff_t index, Z v) {
  store(reinterpret_cast<Bytes *>(base) + index * 16, v);
}
inline const int32_t *zshift(const int32_t *base, ptrdiff_t index) { return base + 4 * index; }

// NN and TT as one complex dot product per element of Y over the restricted
// range; TT adds the conjugate of the unconjugated product.
template <int C>
void zdot_kernel(const int32_t *A, const int32_t *B, int32_t *Y, int32_t formA, int32_t Ar,
                 int32_t Ac, int32_t formB, int32_t Br, int32_t Bc, int32_t sub) {
  constexpr bool tt = C == kTT;
  const Shape s = shape_of(Ar, Ac, Br, Bc, tt, tt, formA, formB);
  const double sg = sub == 1 ? -1.0 : 1.0;
  for (int32_t j = 1; j <= s.N; ++j)
    for (int32_t i = 1; i <= s.M; ++i) {
      int32_t p0, p1;
      const int32_t *x, *y;
      int32_t incx, incy;
      if (!tt) {  // A(i, p) along row i, B(p, j) down column j
        p0 = s.triA ? i : 1;
        p1 = s.triB ? min32(s.K, j) : s.K;
        x = zshift(A, (static_cast<ptrdiff_t>(p0) - 1) * Ar + (i - 1));
        incx = Ar;
        y = zshift(B, (static_cast<ptrdiff_t>(j) - 1) * Br + (p0 - 1));
        incy = 1;
      } else {  // A(p, i) down column i, B(j, p) along row j
        p0 = s.triB ? j : 1;
        p1 = s.triA ? min32(s.K, i) : s.K;
        x = zshift(A, (static_cast<ptrdiff_t>(i) - 1) * Ar + (p0 - 1));
        incx = 1;
        y = zshift(B, (static_cast<ptrdiff_t>(p0) - 1) * Br + (j - 1));
        incy = Br;
      }
      if (p1 < p0) continue;
      double d[2];
      hl_zdotu(x, incx, y, incy, p1 - p0 + 1, d);
      const ptrdiff_t at = (static_cast<ptrdiff_t>(j) - 1) * s.M + (i - 1);
      Z v = zload(Y, at);
      v.re += sg * d[0];
      v.im += tt ? -sg * d[1] : sg * d[1];
      zstore(Y, at, v);
    }
}

// TN, the second arrangement: Y(:, j) += conj(A(p, :))^T B(p, j), p outer.
void ztn_kernel(const int32_t *A, const int32_t *B, int32_t *Y, int32_t formA, int32_t Ar,
                int32_t Ac, int32_t formB, int32_t Br, int32_t Bc, int32_t sub) {
  const Shape s = shape_of(Ar, Ac, Br, Bc, 1, 0, formA, formB);
  const double sg = sub == 1 ? -1.0 : 1.0;
  for (int32_t j = 1; j <= s.N; ++j) {
    const int32_t p1 = s.triB ? min32(s.K, j) : s.K;
    for (int32_t p = 1; p <= p1; ++p) {
      Z b = zload(B, (static_cast<ptrdiff_t>(j) - 1) * Br + (p - 1));
      b.re *= sg;
      b.im *= sg;
      for (int32_t i = s.triA ? p : 1; i <= s.M; ++i) {  // A(p, i): p <= i
        const Z a = zload(A, (static_cast<ptrdiff_t>(i) - 1) * Ar + (p - 1));
        const ptrdiff_t at = (static_cast<ptrdiff_t>(j) - 1) * s.M + (i - 1);
        Z v = zload(Y, at);
        v.re += a.re * b.re + a.im * b.im;  // conj(a) b
        v.im += a.re * b.im - a.im * b.re;
        zstore(Y, at, v);
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------

bool hl_is_negligible(double v) { return !(std::fabs(v) > 1.0e-10); }

void hl_ddot(const int32_t *x, int32_t incx, const int32_t *y, int32_t incy, int32_t n,
             double &result) {
  double s = 0.0;
  if (incx == 1 && incy == 1) {
    const int32_t head = n > 0 ? n % 4 : 0;
    int32_t p = 0;
    for (; p < head; ++p) s += dload(x, p) * dload(y, p);
    for (; p < n; p += 4)
      s += dload(x, p) * dload(y, p) + dload(x, p + 1) * dload(y, p + 1) +
           dload(x, p + 2) * dload(y, p + 2) + dload(x, p + 3) * dload(y, p + 3);
  } else {
    for (int32_t p = 0; p < n; ++p)
      s += dload(x, static_cast<ptrdiff_t>(p) * incx) * dload(y, static_cast<ptrdiff_t>(p) * incy);
  }
  result = s;
}

void hl_ddot_short(const int32_t *x, const int32_t *y, int32_t n, double &result) {
  auto t = [&](int32_t p) { return dload(x, p) * dload(y, p); };
  switch (n) {
    case 1: result = t(0); return;
    case 2: result = t(0) + t(1); return;
    case 3: result = t(0) + t(1) + t(2); return;
    case 4: result = t(0) + t(1) + t(2) + t(3); return;
    case 5: result = t(0) + t(1) + t(2) + t(3) + t(4); return;
    case 6: result = t(0) + t(1) + t(2) + t(3) + t(4) + t(5); return;
    default:
      if (n < 1) result = 0.0;
      else hl_ddot(x, 1, y, 1, n, result);
  }
}

void hl_count_outside(const int32_t *M, int32_t rows, int32_t cols, int32_t by, int32_t &count) {
  const bool byRow = by == 1;
  const int32_t vectors = byRow ? rows : cols, len = byRow ? cols : rows;
  const ptrdiff_t off = byRow ? 1 : rows, inc = byRow ? rows : 1;
  int32_t c = 0;
  for (int32_t v = 0; v < vectors; ++v) {
    int32_t f, l;
    if (span_of(dshift(M, v * off), inc, len, f, l))
      c += f + (len - 1 - l);
    else
      c += len;
  }
  count = c;
}

void hl_trim_choice(const int32_t *A, int32_t Ar, int32_t Ac, int32_t byA, const int32_t *B,
                    int32_t Br, int32_t Bc, int32_t byB, int32_t &choice) {
  int32_t cA, cB;
  hl_count_outside(A, Ar, Ac, byA, cA);
  if (cA == Ar * Ac) {
    choice = -1;
    return;
  }
  hl_count_outside(B, Br, Bc, byB, cB);
  if (cB == Br * Bc) {
    choice = -2;
    return;
  }
  choice = cA <= cB ? 2 : 1;
}

void hl_dmul_nn_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y) {
  dmul_trim<kNN>(A, Ar, Ac, B, Br, Bc, sign, Y);
}
void hl_dmul_nt_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y) {
  dmul_trim<kNT>(A, Ar, Ac, B, Br, Bc, sign, Y);
}
void hl_dmul_tn_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y) {
  dmul_trim<kTN>(A, Ar, Ac, B, Br, Bc, sign, Y);
}
void hl_dmul_tt_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y) {
  dmul_trim<kTT>(A, Ar, Ac, B, Br, Bc, sign, Y);
}

void hl_dgemm_block(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                    int32_t Bc, int32_t ta, int32_t tb, double alpha, int32_t *Y, int32_t ldy) {
  const int m = ta == 1 ? Ac : Ar, n = tb == 1 ? Br : Bc, k = ta == 1 ? Ar : Ac;
  const int lda = Ar, ldb = Br, ldc = ldy;
  if (m < 1 || n < 1 || k < 1 || ldc < m || lda < 1 || ldb < 1) return;
  const char transa = ta == 1 ? 'T' : 'N', transb = tb == 1 ? 'T' : 'N';
  const double beta = 1.0;
  // The BLAS reads doubles with unaligned-safe loads, so a buffer that starts
  // on an odd word is handed over as it is.
  dgemm_(&transa, &transb, &m, &n, &k, &alpha, reinterpret_cast<const double *>(A), &lda,
         reinterpret_cast<const double *>(B), &ldb, &beta, reinterpret_cast<double *>(Y), &ldc);
}

void hl_zdotu(const int32_t *x, int32_t incx, const int32_t *y, int32_t incy, int32_t n,
              double result[2]) {
  double re = 0.0, im = 0.0;
  for (int32_t p = 0; p < n; ++p) {
    const Z a = zload(x, static_cast<ptrdiff_t>(p) * incx);
    const Z b = zload(y, static_cast<ptrdiff_t>(p) * incy);
    re += a.re * b.re - a.im * b.im;
    im += a.re * b.im + a.im * b.re;
  }
  result[0] = re;
  result[1] = im;
}

void hl_zmul_blocks(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                    int32_t Bc, int32_t ta, int32_t tb, const double alpha[2], int32_t *Y,
                    int32_t ldy) {
  const Shape s = shape_of(Ar, Ac, Br, Bc, ta, tb, form::kGeneral, form::kGeneral);
  const Z al{alpha[0], alpha[1]};
  auto opA = [&](int32_t i, int32_t p) {
    return ta == 1 ? kinds::C64::conj(zload(A, (static_cast<ptrdiff_t>(i) - 1) * Ar + (p - 1)))
                   : zload(A, (static_cast<ptrdiff_t>(p) - 1) * Ar + (i - 1));
  };
  for (int32_t j = 1; j <= s.N; ++j)
    for (int32_t p = 1; p <= s.K; ++p) {
      Z b = tb == 1 ? kinds::C64::conj(zload(B, (static_cast<ptrdiff_t>(p) - 1) * Br + (j - 1)))
                    : zload(B, (static_cast<ptrdiff_t>(j) - 1) * Br + (p - 1));
      // alpha is (+-1, 0) on every call of the algebra: scale without forming
      // 0 * b, which would turn an infinite b into NaN.
      b = al.im == 0.0 ? Z{al.re * b.re, al.re * b.im} : kinds::C64::mul(al, b);
      for (int32_t i = 1; i <= s.M; ++i) {
        const ptrdiff_t at = (static_cast<ptrdiff_t>(j) - 1) * ldy + (i - 1);
        zstore(Y, at, kinds::C64::add(zload(Y, at), kinds::C64::mul(opA(i, p), b)));
      }
    }
}

void hl_mult_block(const int32_t *A, const int32_t *B, int32_t *Y, int32_t t, int32_t k,
                   int32_t &formA, int32_t Ar, int32_t Ac, int32_t &formB, int32_t Br,
                   int32_t Bc, int32_t ta, int32_t tb, int32_t sub, int32_t blas) {
  if (formA == kFormTrimmedTN) {
    if (t == etype::kDouble) {
      hl_dmul_tn_trim(A, Ar, Ac, B, Br, Bc, -1, Y);
      return;
    }
    formA = form::kGeneral;
    formB = form::kGeneral;
  }
  if (t < 1 || t > 12) return;
  const int c = ta == 1 ? (tb == 1 ? kTT : kTN) : (tb == 1 ? kNT : kNN);
  const bool full = formA != form::kUpper && formB != form::kUpper;
  const int32_t sign = sub == 1 ? -1 : 1;
  if (t == etype::kDouble && full) {
    if (c != kTN && blas >= 1) {
      hl_dgemm_block(A, Ar, Ac, B, Br, Bc, ta == 1, tb == 1, static_cast<double>(sign), Y,
                     ta == 1 ? Ac : Ar);
      return;
    }
    switch (c) {
      case kNN: hl_dmul_nn_trim(A, Ar, Ac, B, Br, Bc, sign, Y); return;
      case kNT: hl_dmul_nt_trim(A, Ar, Ac, B, Br, Bc, sign, Y); return;
      case kTN: hl_dmul_tn_trim(A, Ar, Ac, B, Br, Bc, sign, Y); return;
      default: hl_dmul_tt_trim(A, Ar, Ac, B, Br, Bc, sign, Y); return;
    }
  }
  if (t == etype::kComplexDouble && blas >= 1 && c != kNT) {
    if (c == kNN && full) {
      const double alpha[2] = {static_cast<double>(sign), 0.0};
      hl_zmul_blocks(A, Ar, Ac, B, Br, Bc, 0, 0, alpha, Y, Ar);
    } else if (c == kNN) {
      zdot_kernel<kNN>(A, B, Y, formA, Ar, Ac, formB, Br, Bc, sub);
    } else if (c == kTT) {
      zdot_kernel<kTT>(A, B, Y, formA, Ar, Ac, formB, Br, Bc, sub);
    } else {
      ztn_kernel(A, B, Y, formA, Ar, Ac, formB, Br, Bc, sub);
    }
    return;
  }
  kLoopKernels[t][c](reinterpret_cast<const Bytes *>(A), reinterpret_cast<const Bytes *>(B),
                     reinterpret_cast<Bytes *>(Y), k, formA, Ar, Ac, formB, Br, Bc, sub);
}

}  // namespace tessera
