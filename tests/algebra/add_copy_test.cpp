// hladd and hlcopm against dense models read back with hmgets: sums and
// differences touching only the source's stored blocks, doubling in place
// (integers wrap), A - A emptying the matrix under a new handle, every copy
// mode, and the refusals with their status and trace code.
#include <gtest/gtest.h>

#include <climits>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "algebra/algebra_codes.h"
#include "algebra_fixture.h"
#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "tessera.h"
#include "test_support/fault_injection.h"

namespace tessera::test {
namespace {

constexpr int32_t kRecord = 128;
constexpr int32_t kArea = 60000;
constexpr int32_t kGeneral = 3;
constexpr int32_t kSymmetric = 1;
constexpr int32_t kUpper = 6;
constexpr int32_t kDouble = 4;

// Keeps only the blocks (bi, bj) of d for which keep(bi, bj) holds.
template <class T, class Keep>
Dense<T> blocks_where(const Dense<T> &d, int32_t nb, Keep keep) {
  Dense<T> out(d.m, d.n);
  for (int32_t j = 1; j <= d.n; ++j)
    for (int32_t i = 1; i <= d.m; ++i)
      if (keep((i - 1) / nb + 1, (j - 1) / nb + 1)) out(i, j) = d(i, j);
  return out;
}

class AddCopy : public ::testing::Test {
 protected:
  AddCopy() : s_(kArea, kRecord) {}

  int32_t add(int32_t &a, int32_t &b, int32_t op) {
    int32_t ierr = -1;
    hladd(s_.ctrl(), &a, &b, &op, &ierr);
    return ierr;
  }
  int32_t copy(int32_t a, int32_t b, int32_t mode) {
    int32_t ierr = -1;
    hlcopm(s_.ctrl(), &a, &b, &mode, &ierr);
    return ierr;
  }
  std::vector<int32_t> codes() { return s_.host().trace_codes(); }

  Store s_;
  std::mt19937 rng_{5};
};

TEST_F(AddCopy, AddAndSubtractTouchOnlyTheSourcesStoredBlocks) {
  const int32_t m = 37, n = 29;
  for (int32_t op : {0, 1, 2}) {
    SCOPED_TRACE(op);
    int32_t A = s_.create(kDouble, kGeneral, m, n);
    int32_t B = s_.create(kDouble, kGeneral, m, n);
    const int32_t nb = s_.dword(A, dw::kBlockOrder);
    // A stores the blocks of the upper half, B a checkerboard.
    const Dense<double> a =
        blocks_where(random_dense<double>(rng_, m, n, true), nb, [](int bi, int bj) { return bi <= bj; });
    const Dense<double> b = blocks_where(random_dense<double>(rng_, m, n, true), nb,
                                         [](int bi, int bj) { return (bi + bj) % 2 == 0; });
    s_.put(A, a);
    s_.put(B, b);
    ASSERT_EQ(add(A, B, op), 0);
    Dense<double> want = a;
    for (size_t x = 0; x < want.a.size(); ++x) want.a[x] += op == 1 ? -b.a[x] : b.a[x];
    EXPECT_TRUE(s_.get<double>(A, m, n) == want);
    EXPECT_TRUE(s_.get<double>(B, m, n) == b);
    // Blocks are created only where B stores one: A ends with the union.
    int32_t union_blocks = 0;
    for (int32_t bj = 1; bj <= (n + nb - 1) / nb; ++bj)
      for (int32_t bi = 1; bi <= (m + nb - 1) / nb; ++bi)
        union_blocks += bi <= bj || (bi + bj) % 2 == 0 ? 1 : 0;
    EXPECT_EQ(s_.stored_blocks(A), union_blocks);
    s_.kill(A);
    s_.kill(B);
  }
}

TEST_F(AddCopy, EmptySourceLeavesDestinationUnchanged) {
  int32_t A = s_.create(kDouble, kGeneral, 20, 20);
  int32_t B = s_.create(kDouble, kGeneral, 20, 20);
  const Dense<double> a = random_dense<double>(rng_, 20, 20);
  s_.put(A, a);
  ASSERT_EQ(add(A, B, 0), 0);
  EXPECT_TRUE(s_.get<double>(A, 20, 20) == a);
  EXPECT_EQ(s_.stored_blocks(B), 0);
}

TEST_F(AddCopy, AddingAMatrixToItselfDoublesInPlaceAndWraps) {
  const int32_t m = 25, n = 31;
  int32_t A = s_.create(1, kGeneral, m, n);
  Dense<int32_t> a = random_dense<int32_t>(rng_, m, n, true);
  a(1, 1) = INT32_MAX;
  a(m, n) = INT32_MIN + 5;
  s_.put(A, a);
  const int32_t blocks = s_.stored_blocks(A);
  int32_t same = A;
  ASSERT_EQ(add(A, same, 0), 0);
  EXPECT_EQ(same, A);
  Dense<int32_t> want = a;
  for (auto &x : want.a) x = Elem<int32_t>::add(x, x);
  EXPECT_TRUE(s_.get<int32_t>(A, m, n) == want);
  EXPECT_EQ(want(1, 1), -2);
  EXPECT_EQ(s_.stored_blocks(A), blocks);
}

TEST_F(AddCopy, SubtractingAMatrixFromItselfEmptiesIt) {
  const int32_t m = 30, n = 30;
  int32_t A = s_.create(kDouble, kUpper, m, n);
  int32_t name[3];
  std::memcpy(name, s_.name(A), sizeof name);
  s_.put(A, random_dense<double>(rng_, m, n, true));
  ASSERT_GT(s_.stored_blocks(A), 0);
  // Both arguments are the host's one variable: the new handle is written
  // through it.
  int32_t handle = A, op = 1, ierr = -1;
  hladd(s_.ctrl(), &handle, &handle, &op, &ierr);
  ASSERT_EQ(ierr, 0);
  EXPECT_EQ(s_.stored_blocks(handle), 0);
  EXPECT_EQ(std::memcmp(s_.ctrl() + handle, name, sizeof name), 0);
  EXPECT_EQ(s_.dword(handle, dw::kForm), kUpper);
  EXPECT_EQ(s_.dword(handle, dw::kRows), m);
  EXPECT_TRUE(s_.get<double>(handle, m, n) == Dense<double>(m, n));
  int32_t state = 0, qualifier = 1, fs = s_.fileset();
  hminqm(s_.ctrl(), name, &qualifier, &fs, &state);
  EXPECT_EQ(state, handle);
  // With two variables holding the handle, both receive the new one.
  s_.put(handle, random_dense<double>(rng_, m, n));
  int32_t h1 = handle, h2 = handle;
  ASSERT_EQ(add(h1, h2, 1), 0);
  EXPECT_EQ(h1, h2);
  EXPECT_EQ(s_.stored_blocks(h1), 0);
}

TEST_F(AddCopy, AddRefusals) {
  int32_t A = s_.create(kDouble, kGeneral, 10, 12);
  int32_t Bint = s_.create(1, kGeneral, 10, 12);
  int32_t Bk = s_.create(kDouble + 3 * 256, kGeneral, 10, 12);
  int32_t Brows = s_.create(kDouble, kGeneral, 11, 12);
  int32_t Bcols = s_.create(kDouble, kGeneral, 10, 13);
  int32_t Bform = s_.create(kDouble, kUpper, 10, 12);
  int32_t bad = 999;
  struct Refusal {
    int32_t *b;
    int32_t status, code;
  };
  for (Refusal r : {Refusal{&Bint, status::kTypesDiffer, trace::kAddTypes},
                    Refusal{&Bk, status::kItemsDiffer, trace::kAddItems},
                    Refusal{&Brows, status::kRowsDiffer, trace::kAddRows},
                    Refusal{&Bcols, status::kColumnsDiffer, trace::kAddCols},
                    Refusal{&Bform, status::kFormsDiffer, trace::kAddForms},
                    Refusal{&bad, status::kNoSuchMatrix, trace::kAddBadHandle}}) {
    EXPECT_EQ(add(A, *r.b, 0), r.status);
    EXPECT_EQ(codes(), std::vector<int32_t>{r.code});
  }
  // A read-only destination is refused, alone or with itself, and is left
  // as it was.
  int32_t B = s_.create(kDouble, kGeneral, 10, 12);
  s_.put(B, random_dense<double>(rng_, 10, 12, true));
  int32_t name[3];
  std::memcpy(name, s_.name(A), sizeof name);
  s_.put(A, random_dense<double>(rng_, 10, 12, true));
  ASSERT_EQ(s_.release(A), 0);
  A = s_.open(name, 1);
  const Dense<double> before = s_.get<double>(A, 10, 12);
  for (int32_t op : {0, 1}) {
    int32_t same = A;
    EXPECT_EQ(add(A, same, op), status::kReadOnly);
    EXPECT_EQ(codes(), std::vector<int32_t>{trace::kAddReadOnly});
    EXPECT_EQ(add(A, B, op), status::kReadOnly);
    EXPECT_EQ(codes(), std::vector<int32_t>{trace::kAddReadOnly});
  }
  EXPECT_TRUE(s_.get<double>(A, 10, 12) == before);
  // As a source it is fine.
  EXPECT_EQ(add(B, A, 0), 0);
}

// A destination block that cannot be read stops the walk with the fetch's
// code and the routine's; the source block the walk held is unpinned.
TEST_F(AddCopy, FailedDestinationFetchUnwindsTheWalk) {
  const int32_t m = 30;
  int32_t A = s_.create(kDouble, kGeneral, m, m);
  int32_t B = s_.create(kDouble, kGeneral, m, m);
  int32_t name[3];
  std::memcpy(name, s_.name(A), sizeof name);
  s_.put(A, random_dense<double>(rng_, m, m, true));
  s_.put(B, random_dense<double>(rng_, m, m, true));
  ASSERT_EQ(s_.release(A), 0);
  A = s_.open(name, 0);
  {
    FaultScope faults;
    faults_fail(DafOp::kRead, 1, true);
    EXPECT_EQ(add(A, B, 0), status::kRecordRead);
    std::vector<int32_t> c = codes();
    ASSERT_GE(c.size(), 2u);
    EXPECT_EQ(std::vector<int32_t>(c.end() - 2, c.end()),
              (std::vector<int32_t>{trace::kAddFetch, trace::kAddWorker}));
    EXPECT_EQ(s_.pinned(), 0);
    EXPECT_EQ(copy(B, A, 0), status::kRecordRead);
    c = codes();
    ASSERT_GE(c.size(), 2u);
    EXPECT_EQ(std::vector<int32_t>(c.end() - 2, c.end()),
              (std::vector<int32_t>{trace::kCopyFetch, trace::kCopyWorker}));
    EXPECT_EQ(s_.pinned(), 0);
  }
  // With the file readable again the sum goes through.
  const Dense<double> a = s_.get<double>(A, m, m), b = s_.get<double>(B, m, m);
  ASSERT_EQ(add(A, B, 1), 0);
  Dense<double> want = a;
  for (size_t x = 0; x < want.a.size(); ++x) want.a[x] -= b.a[x];
  EXPECT_TRUE(s_.get<double>(A, m, m) == want);
}

// Copies of a general double complex source in modes 0-3 and a mode handed
// to the conversion unchanged (11, conjugate), into a destination that
// already holds blocks of its own.
TEST_F(AddCopy, CopyModesOfAGeneralSource) {
  using C = std::complex<double>;
  const int32_t m = 23, n = 17;
  const int32_t A = s_.create(6, kGeneral, m, n);
  const int32_t nb = s_.dword(A, dw::kBlockOrder);
  const Dense<C> a =
      blocks_where(random_dense<C>(rng_, m, n, true), nb, [](int bi, int bj) { return bi != bj + 1; });
  s_.put(A, a);
  for (int32_t mode : {0, 1, 2, 3, 11}) {
    SCOPED_TRACE(mode);
    const bool transposing = mode == 2 || mode == 3;
    const int32_t dm = transposing ? n : m, dn = transposing ? m : n;
    const int32_t B = s_.create(6, kGeneral, dm, dn);
    Dense<C> b0 = random_dense<C>(rng_, dm, dn, true);
    s_.put(B, b0);
    ASSERT_EQ(copy(A, B, mode), 0);
    // Destination blocks where the source stores one are overwritten, the
    // others keep their values.
    Dense<C> want = b0;
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= m; ++i) {
        const int32_t bi = (i - 1) / nb + 1, bj = (j - 1) / nb + 1;
        if (bi == bj + 1) continue;
        const C x = a(i, j);
        switch (mode) {
          case 0: want(i, j) = x; break;
          case 1: want(i, j) = -x; break;
          case 2: want(j, i) = std::conj(x); break;
          case 3: want(j, i) = -std::conj(x); break;
          case 11: want(i, j) = std::conj(x); break;
        }
      }
    EXPECT_TRUE(s_.get<C>(B, dm, dn) == want);
    s_.kill(B);
  }
}

// A symmetric source: modes 2 and 3 copy without transposing, 4 and 5 copy
// the upper blocks only, 10 mirrors them into a full general matrix.
TEST_F(AddCopy, CopyModesOfASymmetricSource) {
  const int32_t m = 33;
  const int32_t A = s_.create(kDouble, kSymmetric, m, m);
  s_.put(A, random_dense<double>(rng_, m, m, true));
  const Dense<double> a = s_.get<double>(A, m, m);
  const int32_t nb = s_.dword(A, dw::kBlockOrder);
  for (int32_t mode : {2, 3, 4, 5, 10}) {
    SCOPED_TRACE(mode);
    const int32_t B = s_.create(kDouble, kGeneral, m, m);
    ASSERT_EQ(copy(A, B, mode), 0);
    // Only mode 10 fills the blocks below the diagonal.
    Dense<double> want =
        mode == 10 ? a : blocks_where(a, nb, [](int bi, int bj) { return bi <= bj; });
    if (mode == 3)
      for (auto &x : want.a) x = -x;
    EXPECT_TRUE(s_.get<double>(B, m, m) == want);
    s_.kill(B);
  }
  // A general source into a symmetric destination with mode 0 stores every
  // block of the source, those below the diagonal included.
  const int32_t G = s_.create(kDouble, kGeneral, m, m);
  s_.put(G, random_dense<double>(rng_, m, m, true));
  const int32_t S = s_.create(kDouble, kSymmetric, m, m);
  ASSERT_EQ(copy(G, S, 0), 0);
  EXPECT_EQ(s_.stored_blocks(S), s_.stored_blocks(G));
}

TEST_F(AddCopy, CopyRefusals) {
  const int32_t A = s_.create(kDouble, kGeneral, 3, 5);
  const int32_t Same = s_.create(kDouble, kGeneral, 3, 5);
  const int32_t Trans = s_.create(kDouble, kGeneral, 5, 3);
  const int32_t Int = s_.create(1, kGeneral, 3, 5);
  const int32_t Pair = s_.create(kDouble + 2 * 256, kGeneral, 3, 5);
  // Type 11 stores one column: its transposed shape needs one row each.
  const int32_t Col = s_.create(11, kGeneral, 1, 5);
  const int32_t Col2 = s_.create(11, kGeneral, 1, 7);
  const int32_t Up = s_.create(kDouble, kUpper, 5, 5);
  const int32_t Up2 = s_.create(kDouble, kGeneral, 5, 5);
  struct Refusal {
    int32_t a, b, mode, status, code;
  };
  for (Refusal r : {Refusal{A, Int, 0, status::kTypesDiffer, trace::kCopyTypes},
                    Refusal{A, Pair, 0, status::kItemsDiffer, trace::kCopyItems},
                    Refusal{A, Same, 2, status::kShapesDoNotConform, trace::kCopyShape},
                    Refusal{A, Trans, 0, status::kShapesDoNotConform, trace::kCopyShape},
                    Refusal{Col, Col2, 2, status::kTransposeType, trace::kCopyTransposeType},
                    Refusal{Up, Up2, 3, status::kTransposeForm, trace::kCopyTransposeForm},
                    Refusal{A, 4242, 0, status::kNoSuchMatrix, trace::kCopyBadHandle}}) {
    EXPECT_EQ(copy(r.a, r.b, r.mode), r.status);
    EXPECT_EQ(codes(), std::vector<int32_t>{r.code});
  }
  EXPECT_EQ(copy(A, Trans, 2), 0);
  EXPECT_EQ(copy(A, A, 0), 0);

  // A read-only destination is refused and left as it was; copying a
  // read-only matrix onto itself writes nothing and is not refused.
  int32_t D = s_.create(kDouble, kGeneral, 3, 5);
  int32_t name[3];
  std::memcpy(name, s_.name(D), sizeof name);
  s_.put(A, random_dense<double>(rng_, 3, 5, true));
  ASSERT_EQ(s_.release(D), 0);
  D = s_.open(name, 1);
  EXPECT_EQ(copy(A, D, 0), status::kReadOnly);
  EXPECT_EQ(codes(), std::vector<int32_t>{trace::kCopyReadOnly});
  EXPECT_EQ(s_.stored_blocks(D), 0);
  EXPECT_EQ(copy(D, D, 0), 0);
  EXPECT_EQ(copy(D, Same, 0), 0);
}

}  // namespace
}  // namespace tessera::test
