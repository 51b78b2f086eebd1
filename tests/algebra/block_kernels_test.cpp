// Block products against a plain triple loop over typed values in which the
// lower half of a triangular block is zero. Data are small dyadic numbers, so
// every floating result is exact and compared for equality; the lower halves
// of triangular operands hold poison (NaN or huge integers) that must never
// reach Y.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "algebra/block_kernels.h"
#include "algebra/block_ops.h"

namespace tessera {
namespace {

template <class T> struct IsComplex : std::false_type {};
template <class R> struct IsComplex<std::complex<R>> : std::true_type {};

template <class T> T conj_of(T x) {
  if constexpr (IsComplex<T>::value) return std::conj(x);
  else return x;
}

// Arithmetic of the model: integers in 64 bits, reduced modulo 2^32 at the end.
template <class T> struct Acc { using type = T; };
template <> struct Acc<int32_t> { using type = int64_t; };
template <class T> T reduce(typename Acc<T>::type v) {
  if constexpr (std::is_same_v<T, int32_t>) return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
  else return v;
}

template <class T> T draw(std::mt19937 &rng) {
  std::uniform_int_distribution<int> d(-16, 16);
  if constexpr (std::is_same_v<T, int32_t>) return d(rng) * 40009;  // products pass 2^32
  else if constexpr (IsComplex<T>::value) {
    using R = typename T::value_type;
    return T(R(d(rng)) / 4, R(d(rng)) / 8);
  } else return T(d(rng)) / 4;
}

template <class T> T poison() {
  if constexpr (std::is_same_v<T, int32_t>) return 1234567891;
  else if constexpr (IsComplex<T>::value) {
    using R = typename T::value_type;
    return T(std::numeric_limits<R>::quiet_NaN(), std::numeric_limits<R>::quiet_NaN());
  } else return std::numeric_limits<T>::quiet_NaN();
}

// A rows x cols block of k-item elements; a triangular block poisons its
// lower half.
template <class T> std::vector<T> block(int32_t rows, int32_t cols, int32_t k, bool upper, std::mt19937 &rng) {
  std::vector<T> b(size_t(rows) * cols * k);
  for (int32_t j = 0; j < cols; ++j)
    for (int32_t i = 0; i < rows; ++i)
      for (int32_t r = 0; r < k; ++r)
        b[(size_t(j) * rows + i) * k + r] = upper && i > j ? poison<T>() : draw<T>(rng);
  return b;
}

template <class T>
void model(const std::vector<T> &A, const std::vector<T> &B, std::vector<T> &Y, int32_t k,
           bool upA, int32_t Ar, int32_t Ac, bool upB, int32_t Br, int32_t Bc, int32_t ta, int32_t tb,
           int32_t sub) {
  using S = typename Acc<T>::type;
  const int32_t M = ta ? Ac : Ar, N = tb ? Br : Bc, K = ta ? Ar : Ac;
  auto a = [&](int32_t i, int32_t p, int32_t r) -> S {  // op(A)(i, p), 0-based
    const int32_t row = ta ? p : i, col = ta ? i : p;
    if (upA && row > col) return S(0);
    const T v = A[(size_t(col) * Ar + row) * k + r];
    return S(ta ? conj_of(v) : v);
  };
  auto b = [&](int32_t p, int32_t j, int32_t r) -> S {
    const int32_t row = tb ? j : p, col = tb ? p : j;
    if (upB && row > col) return S(0);
    const T v = B[(size_t(col) * Br + row) * k + r];
    return S(tb ? conj_of(v) : v);
  };
  for (int32_t j = 0; j < N; ++j)
    for (int32_t i = 0; i < M; ++i)
      for (int32_t r = 0; r < k; ++r) {
        S s = S(0);
        for (int32_t p = 0; p < K; ++p) s += a(i, p, r) * b(p, j, r);
        T &y = Y[(size_t(j) * M + i) * k + r];
        y = reduce<T>(sub == 1 ? S(y) - s : S(y) + s);
      }
}

template <class T> const int32_t *words(const std::vector<T> &v) { return reinterpret_cast<const int32_t *>(v.data()); }
template <class T> int32_t *words(std::vector<T> &v) { return reinterpret_cast<int32_t *>(v.data()); }

// Every case, form pair, sub and BLAS switch for type t with k items.
template <class T> void check_type(int32_t t, int32_t k) {
  std::mt19937 rng(77 + t);
  const int32_t shapes[][3] = {{5, 6, 4}, {5, 5, 5}, {7, 3, 6}, {1, 1, 1}};  // M, N, K
  for (auto &shp : shapes)
    for (int32_t ta = 0; ta <= 1; ++ta)
      for (int32_t tb = 0; tb <= 1; ++tb)
        for (int32_t fA : {3, 6})
          for (int32_t fB : {3, 6})
            for (int32_t sub : {0, 1})
              for (int32_t blas : {0, 1}) {
                const int32_t M = shp[0], N = shp[1], K = shp[2];
                const int32_t Ar = ta ? K : M, Ac = ta ? M : K, Br = tb ? N : K, Bc = tb ? K : N;
                const auto A = block<T>(Ar, Ac, k, fA == 6, rng);
                const auto B = block<T>(Br, Bc, k, fB == 6, rng);
                auto want = block<T>(M, N, k, false, rng);
                auto got = want;
                const auto before = want;
                model(A, B, want, k, fA == 6, Ar, Ac, fB == 6, Br, Bc, ta, tb, sub);
                int32_t formA = fA, formB = fB;
                hl_mult_block(words(A), words(B), words(got), t, k, formA, Ar, Ac, formB, Br, Bc, ta, tb,
                              sub, blas);
                ASSERT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(T)))
                    << "t " << t << " M,N,K " << M << "," << N << "," << K << " ta " << ta << " tb " << tb
                    << " forms " << fA << "," << fB << " sub " << sub << " blas " << blas;
                if (fA != 6 && fB != 6 && K > 1) {  // a kernel doing nothing would pass otherwise
                  ASSERT_NE(0, std::memcmp(before.data(), got.data(), got.size() * sizeof(T)));
                }
              }
}

TEST(BlockProduct, IntegerTypesMatchTripleLoop) {
  check_type<int32_t>(1, 1);
  check_type<int32_t>(11, 1);
  check_type<int32_t>(3, 2);
  check_type<int32_t>(12, 3);
}
TEST(BlockProduct, SingleRealTypesMatchTripleLoop) {
  check_type<float>(2, 1);
  check_type<float>(7, 3);
}
TEST(BlockProduct, DoubleRealTypesMatchTripleLoop) {
  check_type<double>(4, 1);
  check_type<double>(8, 2);
}
TEST(BlockProduct, ComplexTypesMatchTripleLoop) {
  check_type<std::complex<float>>(5, 1);
  check_type<std::complex<float>>(9, 2);
  check_type<std::complex<double>>(6, 1);
  check_type<std::complex<double>>(10, 3);
}

TEST(BlockProduct, UnknownTypeDoesNothing) {
  std::vector<int32_t> a(4, 1), b(4, 1), y(4, 5);
  int32_t fA = 3, fB = 3;
  hl_mult_block(a.data(), b.data(), y.data(), 13, 1, fA, 2, 2, fB, 2, 2, 0, 0, 0, 0);
  hl_mult_block(a.data(), b.data(), y.data(), 0, 1, fA, 2, 2, fB, 2, 2, 0, 0, 0, 0);
  EXPECT_EQ(y, std::vector<int32_t>(4, 5));
}

TEST(BlockProduct, IntegersWrapAndComplexTransposeConjugates) {
  int32_t a = 65536, b = 65537, y = INT32_MAX, fA = 3, fB = 3;
  hl_mult_block(&a, &b, &y, 1, 1, fA, 1, 1, fB, 1, 1, 0, 0, 0, 0);
  EXPECT_EQ(y, INT32_MIN + 65535);  // 2^32 + 2^16 - 1 + 2^31 wraps
  std::complex<float> ca(0, 1), cb(1, 0), cy(0, 0);
  hl_mult_block(reinterpret_cast<int32_t *>(&ca), reinterpret_cast<int32_t *>(&cb),
                reinterpret_cast<int32_t *>(&cy), 5, 1, fA, 1, 1, fB, 1, 1, 1, 0, 0, 0);
  EXPECT_EQ(cy, std::complex<float>(0, -1));
}

TEST(BlockProduct, BothUpperLeavesLowerTriangleOfYAlone) {
  const int n = 4;
  std::vector<double> A(n * n, 1.0), B(n * n, 2.0), Y(n * n, -0.0);
  int32_t fA = 6, fB = 6;
  hl_mult_block(words(A), words(B), words(Y), 4, 1, fA, n, n, fB, n, n, 0, 0, 0, 1);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double y = Y[j * n + i];
      if (i > j) EXPECT_TRUE(y == 0.0 && std::signbit(y)) << i << "," << j;  // untouched -0
      else EXPECT_EQ(y, 2.0 * (j - i + 1));
    }
}

// Double blocks with values at most 1e-10 in magnitude are skipped entirely by
// the trimmed kernels, though their exact product is far from zero.
TEST(TrimmedProduct, NegligibleOperandLeavesYUnchanged) {
  const int n = 6;
  std::vector<double> A(n * n, 1.0e-11), B(n * n, 1.0e12), Y(n * n, 3.0);
  for (int32_t ta = 0; ta <= 1; ++ta)
    for (int32_t tb = 0; tb <= 1; ++tb) {
      int32_t fA = 3, fB = 3;
      hl_mult_block(words(A), words(B), words(Y), 4, 1, fA, n, n, fB, n, n, ta, tb, 0, 0);
      hl_mult_block(words(B), words(A), words(Y), 4, 1, fA, n, n, fB, n, n, ta, tb, 1, 0);
      EXPECT_EQ(Y, std::vector<double>(n * n, 3.0));
    }
  // NaN is negligible too; DGEMM does not trim
  A[0] = std::numeric_limits<double>::quiet_NaN();
  int32_t fA = 3, fB = 3;
  hl_mult_block(words(A), words(B), words(Y), 4, 1, fA, n, n, fB, n, n, 0, 0, 0, 0);
  EXPECT_EQ(Y, std::vector<double>(n * n, 3.0));
  A[0] = 1.0e-11;
  hl_mult_block(words(A), words(B), words(Y), 4, 1, fA, n, n, fB, n, n, 0, 0, 0, 1);
  EXPECT_NEAR(Y[0], 3.0 + 60.0, 1e-9);
}

TEST(TrimmedProduct, FollowsSpansOfTheSparserOperand) {
  // A: one non-negligible column (column 3); B full. Rows of A have spans
  // [3, 3]; Y += A B exactly over that column.
  const int32_t M = 5, K = 6, N = 7;
  std::vector<double> A(M * K, 0.0), B(K * N), Y(M * N), want(M * N);
  std::mt19937 rng(5);
  for (auto &b : B) b = draw<double>(rng);
  for (int i = 0; i < M; ++i) A[2 * M + i] = i + 1.5;
  for (int j = 0; j < N; ++j)
    for (int i = 0; i < M; ++i) want[j * M + i] = Y[j * M + i] = j - i;
  for (int j = 0; j < N; ++j)
    for (int i = 0; i < M; ++i) want[j * M + i] -= A[2 * M + i] * B[j * K + 2];
  int32_t choice = 0;
  hl_trim_choice(words(A), M, K, 1, words(B), K, N, 2, choice);
  EXPECT_EQ(choice, 1);
  int32_t fA = 3, fB = 3;
  hl_mult_block(words(A), words(B), words(Y), 4, 1, fA, M, K, fB, K, N, 0, 0, 1, 0);
  EXPECT_EQ(Y, want);
  // Negligible values inside a followed span still count; outside they don't:
  // row 1 of A = [1e-11, 1, 1e-11, 1], spans [2, 4]; B column = 1e12 at p = 1.
  std::vector<double> a2 = {1e-11, 1, 1e-11, 1}, b2 = {1e12, 1, 1, 1}, y2 = {0};
  hl_dmul_nn_trim(words(a2), 1, 4, words(b2), 4, 1, 1, words(y2));
  EXPECT_EQ(y2[0], 1 + 1e-11 + 1);
}

TEST(TrimmedProduct, CountsAndChoice) {
  // 3x3, rows: [0 1 0] [0 0 0] [1 1 1e-11]
  const std::vector<double> m = {0, 0, 1, 1, 0, 1, 0, 0, 1e-11};
  int32_t c = -1;
  hl_count_outside(words(m), 3, 3, 1, c);
  EXPECT_EQ(c, 2 + 3 + 1);
  hl_count_outside(words(m), 3, 3, 2, c);  // columns [0 0 1] [1 0 1] [0 0 1e-11]
  EXPECT_EQ(c, 2 + 0 + 3);
  const std::vector<double> z(9, -1e-10), f(9, 1.0);
  int32_t ch = 0;
  hl_trim_choice(words(z), 3, 3, 1, words(f), 3, 3, 2, ch);
  EXPECT_EQ(ch, -1);
  hl_trim_choice(words(f), 3, 3, 1, words(z), 3, 3, 2, ch);
  EXPECT_EQ(ch, -2);
  hl_trim_choice(words(f), 3, 3, 1, words(m), 3, 3, 2, ch);  // 0 <= 5: follow B
  EXPECT_EQ(ch, 2);
}

TEST(TrimmedProduct, MinusTwoFormsGoToTrimmedTNAndReadWholeBlocks) {
  const int n = 4;
  std::mt19937 rng(9);
  auto A = block<double>(n, n, 1, false, rng), B = block<double>(n, n, 1, false, rng);
  auto Y = block<double>(n, n, 1, false, rng), want = Y;
  model(A, B, want, 1, false, n, n, false, n, n, 1, 0, 1);  // full A^T B, even below the diagonal
  int32_t fA = -2, fB = -2;
  hl_mult_block(words(A), words(B), words(Y), 4, 1, fA, n, n, fB, n, n, 1, 0, 1, 1);
  EXPECT_EQ(Y, want);
  EXPECT_EQ(fA, -2);
  // other types drop the marker and take the full loop kernel
  std::vector<float> a(n * n, 1.0f), b(n * n, 1.0f), y(n * n, 0.0f);
  hl_mult_block(words(a), words(b), words(y), 2, 1, fA, n, n, fB, n, n, 1, 0, 1, 0);
  EXPECT_EQ(fA, 3);
  EXPECT_EQ(fB, 3);
  EXPECT_EQ(y, std::vector<float>(n * n, -4.0f));
}

TEST(DgemmProduct, MatchesLoopOnOddWordBuffers) {
  // Block buffers may start on any word, so doubles can be 4-byte aligned.
  const int32_t M = 9, K = 7, N = 8;
  std::mt19937 rng(3);
  auto A = block<double>(M, K, 1, false, rng), B = block<double>(K, N, 1, false, rng);
  auto Y = block<double>(M, N, 1, false, rng), want = Y;
  model(A, B, want, 1, false, M, K, false, K, N, 0, 0, 1);
  std::vector<int32_t> wa(2 * A.size() + 1), wb(2 * B.size() + 1), wy(2 * Y.size() + 1);
  std::memcpy(wa.data() + 1, A.data(), A.size() * 8);
  std::memcpy(wb.data() + 1, B.data(), B.size() * 8);
  std::memcpy(wy.data() + 1, Y.data(), Y.size() * 8);
  int32_t fA = 3, fB = 3;
  hl_mult_block(wa.data() + 1, wb.data() + 1, wy.data() + 1, 4, 1, fA, M, K, fB, K, N, 0, 0, 1, 1);
  std::memcpy(Y.data(), wy.data() + 1, Y.size() * 8);
  EXPECT_EQ(Y, want);
}

TEST(DotProducts, MatchPlainSums) {
  std::vector<double> x(30), y(30);
  for (int p = 0; p < 30; ++p) { x[p] = p * 0.5 - 3; y[p] = 7 - p * 0.25; }
  for (int32_t n = 0; n <= 9; ++n) {
    double want = 0, want2 = 0, d = -1, d2 = -1;
    for (int p = 0; p < n; ++p) { want += x[p] * y[p]; want2 += x[3 * p] * y[2 * p]; }
    hl_ddot_short(words(x), words(y), n, d);
    hl_ddot(words(x), 3, words(y), 2, n, d2);
    EXPECT_EQ(d, want) << n;
    EXPECT_EQ(d2, want2) << n;
  }
  std::vector<std::complex<double>> u = {{1, 2}, {3, -1}}, v = {{0, 1}, {2, 2}};
  double z[2];
  hl_zdotu(words(u), 1, words(v), 1, 2, z);
  EXPECT_EQ(std::complex<double>(z[0], z[1]), u[0] * v[0] + u[1] * v[1]);
}

// ---------------------------------------------------------------------------

template <class T> void check_add(int32_t t, int32_t k) {
  std::mt19937 rng(11 + t);
  for (int32_t form : {3, 6})
    for (int32_t op : {1, 0, 2}) {
      const int32_t rows = 5, cols = 4;
      auto dst = block<T>(rows, cols, k, false, rng);
      const auto src = block<T>(rows, cols, k, false, rng);
      auto want = dst;
      for (int32_t j = 0; j < cols; ++j)
        for (int32_t i = 0; i < rows; ++i)
          for (int32_t r = 0; r < k; ++r) {
            if (form == 6 && i > j) continue;
            const size_t at = (size_t(j) * rows + i) * k + r;
            using S = typename Acc<T>::type;
            want[at] = reduce<T>(op == 1 ? S(want[at]) - S(src[at]) : S(want[at]) + S(src[at]));
          }
      hl_add_block(words(dst), words(src), t, k, form, rows, cols, op);
      ASSERT_EQ(0, std::memcmp(want.data(), dst.data(), dst.size() * sizeof(T))) << t << " " << form << " " << op;
    }
}

TEST(AddBlock, EveryTypeGroupFormAndOperation) {
  check_add<int32_t>(1, 1);
  check_add<int32_t>(12, 3);
  check_add<float>(2, 1);
  check_add<float>(7, 2);
  check_add<double>(4, 1);
  check_add<double>(8, 3);
  check_add<std::complex<float>>(5, 1);
  check_add<std::complex<float>>(9, 2);
  check_add<std::complex<double>>(6, 1);
  check_add<std::complex<double>>(10, 2);
  int32_t a = INT32_MAX, b = 1;
  hl_add_block(&a, &b, 1, 1, 3, 1, 1, 0);
  EXPECT_EQ(a, INT32_MIN);
}

TEST(BlockNonzero, MinusZeroAndNaNCountAsZero) {
  std::vector<double> d(6, 0.0);
  d[1] = -0.0;
  d[4] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(hl_block_nonzero(words(d), 2, 3, 4, 1), 0);
  d[5] = -1e-300;
  EXPECT_EQ(hl_block_nonzero(words(d), 2, 3, 4, 1), 1);
  // an imaginary part alone makes a complex block non-zero
  std::vector<std::complex<float>> c(4);
  EXPECT_EQ(hl_block_nonzero(words(c), 2, 2, 5, 1), 0);
  c[3] = {0.0f, 2.0f};
  EXPECT_EQ(hl_block_nonzero(words(c), 2, 2, 5, 1), 1);
  // the last item of the last element of a k-item block is looked at
  std::vector<int32_t> w(2 * 2 * 3, 0);
  EXPECT_EQ(hl_block_nonzero(w.data(), 2, 2, 12, 3), 0);
  w.back() = INT32_MIN;
  EXPECT_EQ(hl_block_nonzero(w.data(), 2, 2, 12, 3), 1);
  EXPECT_EQ(hl_block_nonzero(w.data(), 2, 2, 1, 1), 0);  // k ignored for scalars
}

}  // namespace
}  // namespace tessera
