// hlmult against a plain triple loop on the dense arrays read back with
// hmgets: every transposition, subtract and upper-only combination, general
// and symmetric operands, for double (BLAS switch off and on), single,
// integer and complex elements, on matrices of several hyperblocks with
// edge blocks. Also the block structure of products of banded and
// block-diagonal operands, the refusals, and that a call (failed or not)
// gives back every pin and pool area it took.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "algebra/algebra_codes.h"
#include "algebra_fixture.h"
#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "control/control_words.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/host.h"

namespace tessera::test {
namespace {

// Record length 128 words gives blocks of 8 x 8 doubles (11 x 11 integers,
// 5 x 5 double complex); this control area leaves room for hyperblocks of
// 2 x 2 blocks.
constexpr int32_t kRecord = 128;
constexpr int32_t kArea = 42000;
constexpr int32_t kFormGeneral = 3;
constexpr int32_t kFormSymmetric = 1;

// Y0 +/- op(A) op(B), changing only blocks (bi <= bj) when up.
template <class T>
Dense<T> model_product(const Dense<T> &y0, const Dense<T> &opa, const Dense<T> &opb, bool sub,
                       bool up, int32_t nb) {
  Dense<T> y = y0;
  for (int32_t j = 1; j <= y.n; ++j) {
    for (int32_t i = 1; i <= y.m; ++i) {
      if (up && (i - 1) / nb > (j - 1) / nb) continue;
      T s{};
      for (int32_t p = 1; p <= opa.n; ++p) s = Elem<T>::add(s, Elem<T>::mul(opa(i, p), opb(p, j)));
      y(i, j) = Elem<T>::add(y(i, j), sub ? Elem<T>::neg(s) : s);
    }
  }
  return y;
}

// Blocks of an m x n array that hold a non-zero value.
template <class T>
int32_t nonzero_blocks(const Dense<T> &d, int32_t nb) {
  int32_t count = 0;
  for (int32_t j0 = 1; j0 <= d.n; j0 += nb)
    for (int32_t i0 = 1; i0 <= d.m; i0 += nb) {
      bool any = false;
      for (int32_t j = j0; j < std::min(j0 + nb, d.n + 1); ++j)
        for (int32_t i = i0; i < std::min(i0 + nb, d.m + 1); ++i) any = any || d(i, j) != T{};
      count += any ? 1 : 0;
    }
  return count;
}

template <class T, int Blas>
struct Case {
  using type = T;
  static constexpr int32_t blas = Blas;
};

template <class C>
class MultiplyTyped : public ::testing::Test {
 protected:
  using T = typename C::type;
  MultiplyTyped() : store_(kArea, kRecord) { store_.set_cword(cw::kBlasSwitch, C::blas); }

  int32_t mult(int32_t a, int32_t b, int32_t y, int32_t ta, int32_t tb, int32_t up, int32_t sub) {
    const int32_t free_before = store_.pair_pool_free();
    int32_t ierr = -1;
    hlmult(store_.ctrl(), &a, &b, &y, &ta, &tb, &up, &sub, &ierr);
    // Every pin and pool area taken by the call is given back.
    EXPECT_EQ(store_.pinned(), 0);
    EXPECT_EQ(store_.pair_pool_free(), free_before);
    return ierr;
  }

  // One product with the given operand forms, against the model.
  void check_product(int32_t formA, int32_t formB, int32_t m, int32_t k, int32_t n, int32_t ta,
                     int32_t tb, int32_t up, int32_t sub, std::mt19937 &rng) {
    SCOPED_TRACE(::testing::Message() << "forms " << formA << "," << formB << " ta " << ta
                                      << " tb " << tb << " up " << up << " sub " << sub);
    const int32_t tw = Elem<T>::type;
    const bool symA = formA == kFormSymmetric, symB = formB == kFormSymmetric;
    // A symmetric operand is square and is its own (conjugate) transpose.
    const int32_t ar = symA || !ta ? m : k, ac = symA || !ta ? k : m;
    const int32_t br = symB || !tb ? k : n, bc = symB || !tb ? n : k;
    const int32_t A = store_.create(tw, formA, ar, ac);
    const int32_t B = store_.create(tw, formB, br, bc);
    const int32_t Y = store_.create(tw, kFormGeneral, m, n);
    ASSERT_TRUE(A && B && Y);
    store_.put(A, random_dense<T>(rng, ar, ac));
    store_.put(B, random_dense<T>(rng, br, bc));
    // Y starts with a few stored blocks: the product is added to them.
    Dense<T> y0(m, n);
    y0(1, 1) = Elem<T>::from(5);
    y0(m, n) = Elem<T>::from(-2);
    y0(m, 1) = Elem<T>::from(3);
    store_.put(Y, y0);
    const Dense<T> a = store_.get<T>(A, ar, ac), b = store_.get<T>(B, br, bc);
    const int32_t nb = store_.dword(Y, dw::kBlockOrder);


    ASSERT_EQ(mult(A, B, Y, ta, tb, up, sub), 0);
    const Dense<T> want = model_product(y0, op(a, ta && !symA), op(b, tb && !symB), sub, up, nb);
    EXPECT_TRUE(store_.get<T>(Y, m, n) == want);
    EXPECT_EQ(store_.kill(A), 0);
    EXPECT_EQ(store_.kill(B), 0);
    EXPECT_EQ(store_.kill(Y), 0);
  }

  Store store_;
};

using Cases = ::testing::Types<Case<double, 0>, Case<double, 1>, Case<float, 0>, Case<int32_t, 0>,
                               Case<std::complex<double>, 0>, Case<std::complex<double>, 1>>;
TYPED_TEST_SUITE(MultiplyTyped, Cases);

TYPED_TEST(MultiplyTyped, GeneralOperandsEveryFlagCombination) {
  ASSERT_GE(this->store_.cword(cw::kBufferCount), 1);
  std::mt19937 rng(11);
  for (int32_t ta = 0; ta <= 1; ++ta)
    for (int32_t tb = 0; tb <= 1; ++tb)
      for (int32_t up = 0; up <= 1; ++up)
        for (int32_t sub = 0; sub <= 1; ++sub)
          this->check_product(kFormGeneral, kFormGeneral, 37, 29, 43, ta, tb, up, sub, rng);
}

TYPED_TEST(MultiplyTyped, SymmetricOperandsEveryFlagCombination) {
  std::mt19937 rng(12);
  for (int32_t ta = 0; ta <= 1; ++ta)
    for (int32_t tb = 0; tb <= 1; ++tb)
      for (int32_t up = 0; up <= 1; ++up)
        for (int32_t sub = 0; sub <= 1; ++sub) {
          this->check_product(kFormSymmetric, kFormGeneral, 35, 35, 27, ta, tb, up, sub, rng);
          this->check_product(kFormGeneral, kFormSymmetric, 27, 35, 35, ta, tb, up, sub, rng);
          this->check_product(kFormSymmetric, kFormSymmetric, 35, 35, 35, ta, tb, up, sub, rng);
        }
}

TYPED_TEST(MultiplyTyped, SameMatrixBothSidesSharesItsHyperblocks) {
  using T = typename TypeParam::type;
  std::mt19937 rng(13);
  Store &s = this->store_;
  const int32_t m = 30, k = 41;
  const int32_t A = s.create(Elem<T>::type, kFormGeneral, m, k);
  const int32_t Y1 = s.create(Elem<T>::type, kFormGeneral, m, m);
  const int32_t Y2 = s.create(Elem<T>::type, kFormGeneral, k, k);
  s.put(A, random_dense<T>(rng, m, k));
  const Dense<T> a = s.get<T>(A, m, k);
  ASSERT_EQ(this->mult(A, A, Y1, 0, 1, 0, 0), 0);
  ASSERT_EQ(this->mult(A, A, Y2, 1, 0, 0, 1), 0);
  EXPECT_TRUE(s.get<T>(Y1, m, m) == model_product(Dense<T>(m, m), a, op(a, true), false, false, 1));
  EXPECT_TRUE(s.get<T>(Y2, k, k) == model_product(Dense<T>(k, k), op(a, true), a, true, false, 1));
  // The product may be accumulated into an operand (its blocks then hold
  // partial results when read); the call completes and gives back its pins.
  EXPECT_EQ(this->mult(Y1, Y1, Y1, 0, 0, 0, 0), 0);
}

// Positive values, so that no block of a product cancels to zero.
Dense<double> structured(std::mt19937 &rng, int32_t m, int32_t n, int32_t nb, int32_t below,
                         int32_t above) {
  Dense<double> d(m, n);
  std::uniform_int_distribution<int> dist(1, 3);
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t i = 1; i <= m; ++i) {
      const int32_t bi = (i - 1) / nb, bj = (j - 1) / nb;
      if (bi - bj <= below && bj - bi <= above) d(i, j) = dist(rng);
    }
  return d;
}

class MultiplyStructure : public ::testing::TestWithParam<int32_t> {
 protected:
  MultiplyStructure() : store_(kArea, kRecord) { store_.set_cword(cw::kBlasSwitch, GetParam()); }
  Store store_;
};

TEST_P(MultiplyStructure, BandedAndBlockDiagonalProductsCreateOnlyTheirBlocks) {
  Store &s = store_;
  std::mt19937 rng(21);
  const int32_t m = 53, nb = 8;
  struct Shape {
    int32_t belowA, aboveA, belowB, aboveB;
  };
  for (Shape sh : {Shape{0, 0, 1, 1}, Shape{2, 0, 0, 3}, Shape{0, 1, 0, 0}}) {
    for (int32_t ta = 0; ta <= 1; ++ta) {
      for (int32_t tb = 0; tb <= 1; ++tb) {
        SCOPED_TRACE(::testing::Message() << sh.belowA << sh.aboveA << sh.belowB << sh.aboveB
                                          << " ta " << ta << " tb " << tb);
        const int32_t A = s.create(4, kFormGeneral, m, m);
        const int32_t B = s.create(4, kFormGeneral, m, m);
        const int32_t Y = s.create(4, kFormGeneral, m, m);
        ASSERT_EQ(s.dword(A, dw::kBlockOrder), nb);
        s.put(A, structured(rng, m, m, nb, sh.belowA, sh.aboveA));
        s.put(B, structured(rng, m, m, nb, sh.belowB, sh.aboveB));
        const Dense<double> a = s.get<double>(A, m, m), b = s.get<double>(B, m, m);
        int32_t up = 0, sub = 0, ierr = -1;
        hlmult(s.ctrl(), &A, &B, &Y, &ta, &tb, &up, &sub, &ierr);
        ASSERT_EQ(ierr, 0);
        const Dense<double> want = model_product(Dense<double>(m, m), op(a, ta), op(b, tb), false,
                                                 false, nb);
        EXPECT_TRUE(s.get<double>(Y, m, m) == want);
        EXPECT_EQ(s.stored_blocks(Y), nonzero_blocks(want, nb));
        EXPECT_EQ(s.pinned(), 0);
        s.kill(A);
        s.kill(B);
        s.kill(Y);
      }
    }
  }
}

TEST_P(MultiplyStructure, ZeroBlockProductsCreateNoBlock) {
  Store &s = store_;
  const int32_t m = 40;
  const int32_t A = s.create(4, kFormGeneral, m, m);
  const int32_t B = s.create(4, kFormGeneral, m, m);
  const int32_t Y = s.create(4, kFormGeneral, m, m);
  // A stores block column 1 and B block row 1, but A's blocks hold only
  // their column 3 and B's only their row 2: every block product is zero.
  Dense<double> a(m, m), b(m, m), y0(m, m);
  for (int32_t i = 1; i <= m; ++i) a(i, 3) = 1.5;
  for (int32_t j = 1; j <= m; ++j) b(2, j) = 2.0;
  y0(40, 40) = 7.0;
  s.put(A, a);
  s.put(B, b);
  s.put(Y, y0);
  const int32_t before = s.stored_blocks(Y);
  int32_t ta = 0, tb = 0, up = 0, sub = 0, ierr = -1;
  hlmult(s.ctrl(), &A, &B, &Y, &ta, &tb, &up, &sub, &ierr);
  ASSERT_EQ(ierr, 0);
  EXPECT_EQ(s.stored_blocks(Y), before);
  EXPECT_TRUE(s.get<double>(Y, m, m) == y0);
}

INSTANTIATE_TEST_SUITE_P(BlasSwitch, MultiplyStructure, ::testing::Values(0, 1));

class MultiplyCalls : public ::testing::Test {
 protected:
  MultiplyCalls() : store_(kArea, kRecord) {}

  int32_t mult(int32_t a, int32_t b, int32_t y, int32_t ta = 0, int32_t tb = 0) {
    int32_t up = 0, sub = 0, ierr = -1;
    hlmult(store_.ctrl(), &a, &b, &y, &ta, &tb, &up, &sub, &ierr);
    return ierr;
  }
  Store store_;
};

TEST_F(MultiplyCalls, RefusalsCarryTheirStatusAndTraceCode) {
  Store &s = store_;
  const int32_t A = s.create(4, kFormGeneral, 4, 6);
  const int32_t B = s.create(4, kFormGeneral, 6, 5);
  const int32_t Y = s.create(4, kFormGeneral, 4, 5);
  const int32_t Yint = s.create(1, kFormGeneral, 4, 5);
  const int32_t Ypair = s.create(4 + 2 * 256, kFormGeneral, 4, 5);
  const int32_t Y6 = s.create(4, kFormGeneral, 6, 5);
  struct Refusal {
    int32_t a, b, y, ta, tb, status, code;
  };
  const Refusal cases[] = {
      {A, B, Yint, 0, 0, status::kTypesDiffer, trace::kMultTypes},
      {A, B, Ypair, 0, 0, status::kItemsDiffer, trace::kMultItems},
      {A, B, Y6, 0, 0, status::kShapesDoNotConform, trace::kMultShape},
      // With A transposed, B needs 4 rows and Y 6 rows.
      {A, B, Y6, 1, 0, status::kShapesDoNotConform, trace::kMultShape},
      {A, B, Y, 0, 1, status::kShapesDoNotConform, trace::kMultShape},
      {A, B, 12345, 0, 0, status::kNoSuchMatrix, trace::kMultBadHandle},
  };
  for (const Refusal &r : cases) {
    EXPECT_EQ(mult(r.a, r.b, r.y, r.ta, r.tb), r.status);
    EXPECT_EQ(s.host().trace_codes(), std::vector<int32_t>{r.code});
  }
  EXPECT_EQ(mult(A, B, Y), 0);
  EXPECT_TRUE(s.host().trace_codes().empty());
  // ta = 2 and tb = -1 do not transpose.
  EXPECT_EQ(mult(A, B, Y, 2, -1), 0);
}

TEST_F(MultiplyCalls, UpperOnlyFlagIsWrittenBackAsOne) {
  Store &s = store_;
  const int32_t A = s.create(4, kFormGeneral, 20, 20);
  const int32_t Y = s.create(4, kFormGeneral, 20, 20);
  int32_t ta = 0, tb = 0, up = 7, sub = 0, ierr = -1;
  hlmult(s.ctrl(), &A, &A, &Y, &ta, &tb, &up, &sub, &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(up, 1);
  up = 0;
  hlmult(s.ctrl(), &A, &A, &Y, &ta, &tb, &up, &sub, &ierr);
  EXPECT_EQ(up, 0);
}

TEST_F(MultiplyCalls, ReadOnlyProductMatrixIsRefusedBeforeAnyChange) {
  Store &s = store_;
  std::mt19937 rng(31);
  const int32_t m = 20;
  const int32_t A = s.create(4, kFormGeneral, m, m);
  int32_t Y = s.create(4, kFormGeneral, m, m);
  int32_t name[3];
  std::memcpy(name, s.name(Y), sizeof name);
  s.put(A, random_dense<double>(rng, m, m));
  ASSERT_EQ(s.release(Y), 0);
  Y = s.open(name, 1);
  ASSERT_NE(Y, 0);
  EXPECT_EQ(mult(A, A, Y), status::kReadOnly);
  EXPECT_EQ(s.host().trace_codes(), std::vector<int32_t>{trace::kMultReadOnly});
  EXPECT_EQ(s.stored_blocks(Y), 0);
  // Read-only operands are fine.
  const int32_t Y2 = s.create(4, kFormGeneral, m, m);
  EXPECT_EQ(mult(Y, A, Y2), 0);
}

TEST_F(MultiplyCalls, FailedReadGivesBackPinsAndPoolAreas) {
  Store &s = store_;
  std::mt19937 rng(41);
  const int32_t m = 45;
  int32_t A = s.create(4, kFormGeneral, m, m);
  int32_t B = s.create(4, kFormGeneral, m, m);
  const int32_t Y = s.create(4, kFormGeneral, m, m);
  s.put(A, random_dense<double>(rng, m, m, true));
  s.put(B, random_dense<double>(rng, m, m, true));
  int32_t nameA[3], nameB[3];
  std::memcpy(nameA, s.name(A), sizeof nameA);
  std::memcpy(nameB, s.name(B), sizeof nameB);
  // Released and opened again, every block of A and B is read from its file.
  ASSERT_EQ(s.release(A), 0);
  ASSERT_EQ(s.release(B), 0);
  A = s.open(nameA, 0);
  B = s.open(nameB, 0);
  const int32_t free_before = s.pair_pool_free();
  {
    FaultScope faults;
    faults_fail(DafOp::kRead, 6);
    EXPECT_EQ(mult(A, B, Y), status::kRecordRead);
    EXPECT_EQ(faults_injected(), 1);
  }
  // The read of an operand block failed while its hyperblock was loaded.
  const std::vector<int32_t> codes = s.host().trace_codes();
  ASSERT_GE(codes.size(), 4u);
  EXPECT_EQ(std::vector<int32_t>(codes.end() - 4, codes.end()),
            (std::vector<int32_t>{trace::kHyperLoadWalk, trace::kLoopGenGen.load,
                                  trace::kSelectGenGen, trace::kMultWorker}));
  EXPECT_EQ(s.pinned(), 0);
  EXPECT_EQ(s.pair_pool_free(), free_before);
  // The pool is usable again: the same product now succeeds.
  const Dense<double> a = s.get<double>(A, m, m), b = s.get<double>(B, m, m);
  EXPECT_EQ(s.kill(Y), 0);
  const int32_t Y2 = s.create(4, kFormGeneral, m, m);
  ASSERT_EQ(mult(A, B, Y2), 0);
  EXPECT_TRUE(s.get<double>(Y2, m, m) ==
              model_product(Dense<double>(m, m), a, b, false, false, 1));
}

}  // namespace
}  // namespace tessera::test
