// Region conversion, vector copy and zero fill against a typed model: the
// model holds real C++ values (int32_t, float, double, std::complex) and
// places them with plain loops, and results are compared byte for byte so
// that signs of zero and wrap-around show.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "transfer/convert.h"

namespace tessera {
namespace {

template <class T> struct IsComplex : std::false_type {};
template <class R> struct IsComplex<std::complex<R>> : std::true_type {};

template <class T> T neg(T x) {
  if constexpr (std::is_same_v<T, int32_t>)
    return static_cast<int32_t>(-static_cast<int64_t>(x));  // modular in C++20
  else
    return -x;
}
template <class T> T conj(T x) {
  if constexpr (IsComplex<T>::value) return std::conj(x);
  else return x;
}

template <class T> T draw(std::mt19937 &rng) {
  std::uniform_int_distribution<int> d(-500, 500);
  auto one = [&]() { int v = d(rng); return v % 7 == 0 ? 0 : v; };  // plenty of +0
  if constexpr (std::is_same_v<T, int32_t>) return one() * 1000003;
  else if constexpr (IsComplex<T>::value) {
    using R = typename T::value_type;
    return T(static_cast<R>(one()) / 8, static_cast<R>(one()) / 4);
  } else return static_cast<T>(one()) / 16;
}

// A column-major array of k-item elements.
template <class T> struct Arr {
  int32_t ld, cols, k;
  std::vector<T> v;
  Arr(int32_t ld_, int32_t cols_, int32_t k_) : ld(ld_), cols(cols_), k(k_), v(size_t(ld_) * cols_ * k_) {}
  T *at(int32_t i, int32_t j) { return &v[(size_t(j - 1) * ld + (i - 1)) * k]; }
};

bool vector_type(int32_t t) { return t == 3 || t == 7 || t == 8 || t == 9 || t == 10 || t == 12; }

// The model of hm_convert_region.
template <class T>
void model(Arr<T> &s, Arr<T> &d, int32_t t, int32_t ia, int32_t nr, int32_t ja, int32_t nc,
           int32_t ib, int32_t jb, int32_t mode) {
  const int32_t k = s.k;
  auto put = [&](T *to, const T *from, auto f) { for (int32_t r = 0; r < k; ++r) to[r] = f(from[r]); };
  auto same = [](T x) { return x; };
  if (nr < 1 || nc < 1) return;
  if ((mode == 11 || mode == 12) && vector_type(t)) return;
  if (mode == 6) {
    for (int32_t p = 1; p <= std::min(nr, nc); ++p) put(d.at(ib + p - 1, jb), s.at(ia + p - 1, ja + p - 1), same);
    return;
  }
  for (int32_t j = 1; j <= nc; ++j)
    for (int32_t i = 1; i <= nr; ++i) {
      const T *x = s.at(ia + i - 1, ja + j - 1);
      T *here = d.at(ib + i - 1, jb + j - 1);
      switch (mode) {
        case 0: case 4: if (mode == 0 || ib + i - 1 <= jb + j - 1) put(here, x, same); break;
        case 1: put(here, x, [](T y) { return neg(y); }); break;
        case 11: put(here, x, [](T y) { return conj(y); }); break;
        case 12: put(here, x, [](T y) { return neg(conj(y)); }); break;
        case 2: put(d.at(ib + j - 1, jb + i - 1), x, [](T y) { return conj(y); }); break;
        case 3: put(d.at(ib + j - 1, jb + i - 1), x, [](T y) { return neg(conj(y)); }); break;
        case 5:
          put(here, x, same);
          put(d.at(jb + j - 1, ib + i - 1), x, [](T y) { return conj(y); });
          break;
        default: break;
      }
    }
}

template <class T> Arr<T> random_arr(int32_t ld, int32_t cols, int32_t k, std::mt19937 &rng) {
  Arr<T> a(ld, cols, k);
  for (auto &x : a.v) x = draw<T>(rng);
  return a;
}

// Every mode on several regions (square, wide, tall, offset), compared by bits.
template <class T> void check_all_modes(int32_t t, int32_t k) {
  std::mt19937 rng(1234 + t);
  struct R { int32_t ia, nr, ja, nc, ib, jb; };
  const R regions[] = {{2, 3, 2, 4, 2, 3}, {1, 4, 1, 4, 1, 1}, {3, 4, 2, 2, 2, 2},
                       {1, 5, 3, 3, 3, 3}, {2, 2, 1, 3, 1, 1}, {1, 0, 1, 3, 1, 1}, {1, 3, 1, -1, 1, 1}};
  const int32_t modes[] = {0, 1, 2, 3, 4, 5, 6, 11, 12, 7, -1, 13};
  for (const R &r : regions)
    for (int32_t mode : modes) {
      Arr<T> s = random_arr<T>(7, 6, k, rng);
      Arr<T> want = random_arr<T>(8, 8, k, rng);
      Arr<T> got = want;
      model(s, want, t, r.ia, r.nr, r.ja, r.nc, r.ib, r.jb, mode);
      hm_convert_region(s.v.data(), 7, got.v.data(), 8, t, k, r.ia, r.nr, r.ja, r.nc, r.ib, r.jb, mode);
      ASSERT_EQ(0, std::memcmp(want.v.data(), got.v.data(), want.v.size() * sizeof(T)))
          << "t " << t << " mode " << mode << " region " << r.ia << "," << r.nr << "," << r.ja << ","
          << r.nc << " -> " << r.ib << "," << r.jb;
    }
}

TEST(ConvertRegion, IntegerGroupsMatchModel) {
  check_all_modes<int32_t>(1, 1);
  check_all_modes<int32_t>(11, 1);
  check_all_modes<int32_t>(3, 3);
  check_all_modes<int32_t>(12, 2);
}
TEST(ConvertRegion, RealGroupsMatchModel) {
  check_all_modes<float>(2, 1);
  check_all_modes<double>(4, 1);
  check_all_modes<float>(7, 3);
  check_all_modes<double>(8, 2);
}
TEST(ConvertRegion, ComplexGroupsMatchModel) {
  check_all_modes<std::complex<float>>(5, 1);
  check_all_modes<std::complex<double>>(6, 1);
  check_all_modes<std::complex<float>>(9, 2);
  check_all_modes<std::complex<double>>(10, 3);
}

// The column runs and the whole-region run: leading dimensions equal to the
// region's rows or not, offset regions, regions wider than a transposition
// tile, k-item elements.
template <class T> void check_runs(int32_t t, int32_t k) {
  std::mt19937 rng(99 + t);
  struct R { int32_t lds, ldd, ia, nr, ja, nc, ib, jb; };
  const R regions[] = {
      {20, 20, 1, 20, 1, 19, 1, 1},   // both ld = nr: one run
      {20, 20, 1, 20, 2, 17, 1, 3},   // one run, column offsets
      {20, 23, 1, 20, 1, 19, 4, 2},   // source ld = nr only
      {23, 20, 3, 20, 1, 19, 1, 1},   // destination ld = nr only
      {23, 21, 2, 18, 3, 17, 3, 2},   // neither
      {20, 20, 1, 1, 1, 19, 1, 1},    // one row
      {37, 37, 1, 37, 1, 1, 1, 1},    // one column
  };
  const int32_t modes[] = {0, 1, 2, 3, 4, 11, 12};
  for (const R &r : regions)
    for (int32_t mode : modes) {
      const bool tr = mode == 2 || mode == 3;
      Arr<T> s = random_arr<T>(r.lds, r.ja + r.nc - 1, k, rng);
      const int32_t dcols = r.jb - 1 + (tr ? r.nr : r.nc);
      if (tr && r.ib - 1 + r.nc > r.ldd) continue;
      Arr<T> want = random_arr<T>(r.ldd, dcols, k, rng);
      Arr<T> got = want;
      model(s, want, t, r.ia, r.nr, r.ja, r.nc, r.ib, r.jb, mode);
      hm_convert_region(s.v.data(), r.lds, got.v.data(), r.ldd, t, k, r.ia, r.nr, r.ja, r.nc,
                        r.ib, r.jb, mode);
      ASSERT_EQ(0, std::memcmp(want.v.data(), got.v.data(), want.v.size() * sizeof(T)))
          << "t " << t << " k " << k << " mode " << mode << " lds " << r.lds << " ldd " << r.ldd
          << " region " << r.ia << "," << r.nr << "," << r.ja << "," << r.nc << " -> " << r.ib
          << "," << r.jb;
    }
}

TEST(ConvertRegion, ColumnAndRegionRunsMatchModel) {
  check_runs<int32_t>(1, 1);
  check_runs<int32_t>(3, 3);
  check_runs<float>(2, 1);
  check_runs<double>(4, 1);
  check_runs<double>(8, 2);
  check_runs<std::complex<float>>(5, 1);
  check_runs<std::complex<double>>(6, 1);
  check_runs<std::complex<double>>(10, 2);
}

// Source and destination in one array: the same region in place (a copy
// changes nothing, a negation negates in place), and overlapping regions,
// which keep the element-by-element order of the moves.
TEST(ConvertRegion, OverlappingRegionsKeepElementOrder) {
  const int32_t ld = 12, cols = 12;
  std::vector<double> base(size_t(ld) * cols);
  for (size_t p = 0; p < base.size(); ++p) base[p] = double(p) + 0.5;
  auto at = [&](std::vector<double> &a, int32_t i, int32_t j) -> double & {
    return a[size_t(j - 1) * ld + (i - 1)];
  };
  std::vector<double> a = base;
  hm_convert_region(a.data(), ld, a.data(), ld, 4, 1, 1, ld, 1, cols, 1, 1, kConvCopy);
  EXPECT_EQ(a, base);
  hm_convert_region(a.data(), ld, a.data(), ld, 4, 1, 2, 5, 3, 4, 2, 3, kConvNegate);
  for (int32_t j = 1; j <= cols; ++j)
    for (int32_t i = 1; i <= ld; ++i) {
      const bool inside = i >= 2 && i <= 6 && j >= 3 && j <= 6;
      EXPECT_EQ(at(a, i, j), inside ? -at(base, i, j) : at(base, i, j)) << i << "," << j;
    }
  struct Case { int32_t ia, nr, ja, nc, ib, jb, mode; };
  const Case cases[] = {{1, 12, 1, 6, 2, 1, kConvCopy},  // shifted down one row
                        {2, 11, 1, 6, 1, 2, kConvCopy},  // up one row, right one column
                        {1, 12, 1, 4, 1, 1, kConvUpper},
                        {1, 6, 1, 6, 3, 2, kConvTranspose}};
  for (const Case &c : cases) {
    std::vector<double> want = base, got = base;
    for (int32_t j = 0; j < c.nc; ++j)
      for (int32_t i = 0; i < c.nr; ++i) {
        const bool tr = c.mode == kConvTranspose;
        if (c.mode == kConvUpper && c.ib + i > c.jb + j) continue;
        at(want, tr ? c.ib + j : c.ib + i, tr ? c.jb + i : c.jb + j) = at(want, c.ia + i, c.ja + j);
      }
    hm_convert_region(got.data(), ld, got.data(), ld, 4, 1, c.ia, c.nr, c.ja, c.nc, c.ib, c.jb,
                      c.mode);
    EXPECT_EQ(got, want) << "mode " << c.mode << " from " << c.ia << "," << c.ja;
  }
}

TEST(ConvertRegion, NegationGivesMinusZeroAndIntegersWrap) {
  double d[2] = {0.0, -0.0}, e[2] = {7, 7};
  hm_convert_region(d, 2, e, 2, 4, 1, 1, 2, 1, 1, 1, 1, kConvNegate);
  EXPECT_TRUE(std::signbit(e[0]));
  EXPECT_FALSE(std::signbit(e[1]));
  int32_t i[2] = {INT32_MIN, 5}, o[2] = {0, 0};
  hm_convert_region(i, 2, o, 2, 1, 1, 1, 2, 1, 1, 1, 1, kConvNegate);
  EXPECT_EQ(o[0], INT32_MIN);
  EXPECT_EQ(o[1], -5);
  // complex conjugate of (0, 0) is (0, -0); mode 12 of (0, 0) is (-0, 0)
  float c[2] = {0.0f, 0.0f}, out[2] = {1, 1};
  hm_convert_region(c, 1, out, 1, 5, 1, 1, 1, 1, 1, 1, 1, kConvConjugate);
  EXPECT_FALSE(std::signbit(out[0]));
  EXPECT_TRUE(std::signbit(out[1]));
  hm_convert_region(c, 1, out, 1, 5, 1, 1, 1, 1, 1, 1, 1, kConvNegConjugate);
  EXPECT_TRUE(std::signbit(out[0]));
  EXPECT_FALSE(std::signbit(out[1]));
}

TEST(ConvertRegion, TransposeAndDiagonalPlacement) {
  // 2x3 region, mode 2, lands as 3x2 at (2, 1) of a 4x3 destination
  double s[6] = {1, 2, 3, 4, 5, 6};  // 2x3: columns (1,2) (3,4) (5,6)
  double d[12] = {};
  hm_convert_region(s, 2, d, 4, 4, 1, 1, 2, 1, 3, 2, 1, kConvTranspose);
  const double want[12] = {0, 1, 3, 5, 0, 2, 4, 6, 0, 0, 0, 0};
  for (int p = 0; p < 12; ++p) EXPECT_EQ(d[p], want[p]) << p;
  // mode 6, nr 3, nc 5: three diagonal elements into column 2 rows 2..4
  int32_t a[15], b[10] = {};
  for (int p = 0; p < 15; ++p) a[p] = p + 1;
  hm_convert_region(a, 3, b, 5, 1, 1, 1, 3, 1, 5, 2, 2, kConvDiagonal);
  const int32_t wb[10] = {0, 0, 0, 0, 0, 0, 1, 5, 9, 0};
  for (int p = 0; p < 10; ++p) EXPECT_EQ(b[p], wb[p]) << p;
}

TEST(ConvertRegion, SymmetricFillTakesUpperTriangleAndConjugatesBelow) {
  const int n = 3;
  std::complex<double> s[9], d[9];
  for (int p = 0; p < 9; ++p) s[p] = {double(p + 1), double(10 * (p + 1))};
  hm_convert_region(s, n, d, n, 6, 1, 1, n, 1, n, 1, 1, kConvSymmetricFill);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const auto up = s[std::max(i, j) * n + std::min(i, j)];  // source upper element
      const auto want = i < j ? up : std::conj(up);           // lower and diagonal conjugated
      EXPECT_EQ(d[j * n + i], want) << i << "," << j;
    }
  double r[9], q[9];
  for (int p = 0; p < 9; ++p) r[p] = p * 1.5 - 4;
  hm_convert_region(r, n, q, n, 4, 1, 1, n, 1, n, 1, 1, kConvSymmetricFill);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) EXPECT_EQ(q[j * n + i], r[std::max(i, j) * n + std::min(i, j)]);
}

TEST(ConvertRegion, DoublesOnFourByteBoundaries) {
  // Word runs in the control area may put doubles on odd words.
  std::vector<int32_t> words(1 + 2 * 2 * 6 * 2 + 1, 0);
  std::vector<double> src(12);
  for (int p = 0; p < 12; ++p) src[p] = p - 5.5;
  std::memcpy(words.data() + 1, src.data(), sizeof(double) * 12);
  std::vector<int32_t> out(words.size(), 0);
  hm_convert_region(words.data() + 1, 3, out.data() + 1, 3, 8, 2, 1, 3, 1, 2, 1, 1, kConvNegate);
  for (int p = 0; p < 12; ++p) {
    double x;
    std::memcpy(&x, reinterpret_cast<const char *>(out.data() + 1) + 8 * p, 8);
    EXPECT_EQ(x, -src[p]);
  }
  EXPECT_EQ(out[0], 0);
}

TEST(ConvertVector, CopiesAndNegatesRuns) {
  double d[5] = {0, 1, -2, 3, 4}, e[5];
  hm_convert_vector(d, e, 5, 4, 1, 1);
  EXPECT_TRUE(std::signbit(e[0]));
  EXPECT_EQ(e[2], 2);
  hm_convert_vector(d, e, 5, 4, 1, 0);
  EXPECT_EQ(0, std::memcmp(d, e, sizeof d));
  int32_t v[6] = {1, -2, 3, 4, 5, 6}, w[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  hm_convert_vector(v, w, 2, 3, 3, 1);  // two elements of three items
  const int32_t want[8] = {-1, 2, -3, -4, -5, -6, 9, 9};
  for (int p = 0; p < 8; ++p) EXPECT_EQ(w[p], want[p]);
  // a mode other than 0 and 1 must not place elements outside the run
  float f[4] = {1, 2, 3, 4}, g[6] = {0, 0, 0, 0, 7, 7};
  hm_convert_vector(f, g, 2, 5, 1, 2);
  EXPECT_EQ(g[0], -1);
  EXPECT_EQ(g[3], -4);
  EXPECT_EQ(g[4], 7);
}

TEST(ZeroRegion, ClearsExactlyTheRegion) {
  for (int32_t lda : {45, 46}) {
    std::vector<double> a(size_t(lda) * 46, -1.0);
    hm_zero_region(a.data(), lda, 4, 1, 1, 45, 1, 45);
    int zeros = 0;
    for (int j = 0; j < 46; ++j)
      for (int i = 0; i < lda; ++i) {
        const double x = a[size_t(j) * lda + i];
        const bool inside = i < 45 && j < 45;
        EXPECT_EQ(x, inside ? 0.0 : -1.0) << lda << ":" << i << "," << j;
        zeros += x == 0.0 && !std::signbit(x);
      }
    EXPECT_EQ(zeros, 2025);
  }
  // an offset region of a k-item complex type; everything else untouched
  std::vector<float> c(5 * 4 * 2 * 2, 3.0f);
  hm_zero_region(c.data(), 5, 9, 2, 2, 3, 2, 2);
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= 5; ++i)
      for (int r = 0; r < 4; ++r) {
        const bool inside = i >= 2 && i <= 4 && j >= 2 && j <= 3;
        EXPECT_EQ(c[((j - 1) * 5 + (i - 1)) * 4 + r], inside ? 0.0f : 3.0f);
      }
  int32_t x[4] = {1, 2, 3, 4};
  hm_zero_region(x, 2, 1, 1, 1, 0, 1, 2);
  hm_zero_region(x, 2, 13, 1, 1, 2, 1, 2);
  EXPECT_EQ(x[0] + x[1] + x[2] + x[3], 10);
}

TEST(ElementSizes, WordsPerItemAndElement) {
  const int32_t wpi[13] = {0, 1, 1, 1, 2, 2, 4, 1, 2, 2, 4, 1, 1};
  for (int32_t t = 0; t <= 12; ++t) EXPECT_EQ(hm_words_per_item(t), wpi[t]) << t;
  EXPECT_EQ(hm_words_per_element(10, 3), 12);
  EXPECT_EQ(hm_words_per_element(6, 3), 4);
  EXPECT_EQ(hm_words_per_element(12, 5), 5);
  EXPECT_EQ(hm_words_per_element(13, 1), 0);
  EXPECT_TRUE(hm_is_vector_type(9));
  EXPECT_FALSE(hm_is_vector_type(11));
}

}  // namespace
}  // namespace tessera
