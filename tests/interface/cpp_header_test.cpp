// The C++ header over the shared library: every element type round-trips
// and keeps its type on reopening, failures carry the status, the routine and
// the trace of that call alone, the process-wide areas allow one session,
// and puts the library would drop without a word are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tessera.hpp"
#include "test_support/host.h"

namespace tessera {
namespace {

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

template <class T>
T sample(std::mt19937 &rng) {
  std::uniform_int_distribution<int32_t> d(-1000, 1000);
  if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
    using R = typename T::value_type;
    return T(static_cast<R>(d(rng)) / 8, static_cast<R>(d(rng)) / 16);
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(d(rng)) * 1000003;
  } else {
    return static_cast<T>(d(rng)) / 32;
  }
}

// Values through a wider host array (lda > rows) and through a range; the
// matrix spans several blocks of every type at 2048-word records.
template <class T>
void round_trip(FileSet &set, const std::string &name) {
  SCOPED_TRACE(name);
  std::mt19937 rng(7);
  const int32_t m = 70, n = 50, lda = 75;
  std::vector<T> a(static_cast<size_t>(lda) * n);
  for (T &v : a) v = sample<T>(rng);
  {
    auto mat = Matrix<T>::create(set, name, m, n);
    mat.put(1, 1, m, n, a.data(), lda);
    const MatrixInfo info = mat.info();
    EXPECT_EQ(info.type_code, Matrix<T>::type_code);
    EXPECT_EQ(info.rows, m);
    EXPECT_EQ(info.cols, n);
    EXPECT_EQ(info.form, Form::general);
    EXPECT_GT(info.block_order, 0);
  }  // released here
  auto mat = Matrix<T>::open(set, name, Access::read_only);
  EXPECT_TRUE(mat.info().read_only);
  std::vector<T> got(static_cast<size_t>(m) * n);
  mat.get(1, 1, m, n, got);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < m; ++i)
      ASSERT_EQ(got[static_cast<size_t>(j) * m + i], a[static_cast<size_t>(j) * lda + i]);
  // A read-only matrix refuses a put with the library's status.
  try {
    mat.put(1, 1, 1, 1, got.data(), 1);
    FAIL() << "put into a read-only matrix";
  } catch (const Error &e) {
    EXPECT_EQ(e.status(), TESSERA_STATUS_READ_ONLY);
    EXPECT_EQ(e.routine(), "hmputs");
  }
}

class CppHeader : public ::testing::Test {
 protected:
  std::string dir = test::temp_dir();
  std::vector<std::string> paths(const std::string &stem, int n = 1) {
    std::vector<std::string> p;
    for (int i = 1; i <= n; ++i) p.push_back(dir + "/" + stem + std::to_string(i) + ".tsf");
    return p;
  }
};

TEST_F(CppHeader, EveryElementTypeRoundTripsAndIsCheckedOnOpening) {
  Session session(Session::bytes_for({}, 200));
  auto set = FileSet::create(session, paths("types", 2));
  round_trip<int32_t>(set, "INT32");
  round_trip<float>(set, "FLOAT");
  round_trip<double>(set, "DOUBLE");
  round_trip<std::complex<float>>(set, "CFLOAT");
  round_trip<std::complex<double>>(set, "CDOUBLE");

  // The wrong element type is refused, and the matrix is not left open.
  try {
    auto wrong = Matrix<float>::open(set, "DOUBLE");
    FAIL() << "opened a double matrix as float";
  } catch (const Error &e) {
    EXPECT_EQ(e.status(), TESSERA_STATUS_TYPES_DIFFER);
    EXPECT_EQ(e.routine(), "hmoldm");
  }
  auto again = Matrix<double>::open(set, "DOUBLE");  // would be status 9 if still open
  EXPECT_EQ(again.info().rows, 70);
}

TEST_F(CppHeader, FailuresCarryStatusRoutineAndTheTraceOfThatCallAlone) {
  Session session(Session::bytes_for({}, 0));
  auto set = FileSet::create(session, paths("trace"));
  try {
    Matrix<double>::open(set, "ABSENT");
    FAIL();
  } catch (const Error &e) {
    EXPECT_EQ(e.status(), TESSERA_STATUS_NO_SUCH_MATRIX);
    EXPECT_EQ(e.routine(), "hmoldm");
    EXPECT_FALSE(e.trace().empty());
    EXPECT_EQ(std::string(e.status_text()), tessera_status_text(31));
    EXPECT_NE(std::string(e.what()).find("hmoldm: status 31"), std::string::npos) << e.what();
  }
  // hmputs adds to the trace instead of clearing it; through the header two
  // failures in a row each report their own codes only.
  auto a = Matrix<double>::create(set, "A", 10, 10);
  double v = 1;
  std::vector<int32_t> first;
  for (int k = 0; k < 2; ++k) {
    try {
      a.put(11, 1, 1, 1, &v, 1);
      FAIL();
    } catch (const Error &e) {
      EXPECT_EQ(e.status(), TESSERA_STATUS_REGION_OUTSIDE);
      if (k == 0) first = e.trace();
      EXPECT_EQ(e.trace(), first);
      EXPECT_EQ(e.trace().size(), 1u);
    }
  }
  EXPECT_THROW(Matrix<double>::create(set, "A", 10, 10), Error);  // exists: status 17
  EXPECT_NO_THROW(Matrix<double>::create(set, "TWELVE BYTES", 1, 1));
  try {
    Matrix<double>::create(set, "THIRTEEN BYTE", 1, 1);
    FAIL();
  } catch (const Error &e) {
    EXPECT_EQ(e.status(), 0);
    EXPECT_NE(std::string(e.what()).find("longer than 12 bytes"), std::string::npos);
  }
}

TEST_F(CppHeader, OneSessionAtATimeAndFileSetsKeepOrDeleteTheirFiles) {
  const auto kept = paths("kept", 2), killed = paths("killed");
  SessionOptions two;
  two.filesets = 2;
  {
    Session session(Session::bytes_for(two, 0), two);
    EXPECT_THROW(Session second(Session::bytes_for({}, 0)), Error);
    auto set = FileSet::create(session, kept);
    auto other = FileSet::create(session, killed);  // a second set needs a second slot
    (void)other;
  }
  // The first session's sets were removed when they went: kept, reopenable.
  EXPECT_TRUE(exists(kept[0]) && exists(kept[1]) && exists(killed[0]));
  Session session(Session::bytes_for(two, 0), two);
  try {
    FileSet::create(session, kept, Replace::refuse);
    FAIL() << "replaced an existing set";
  } catch (const Error &e) {
    EXPECT_EQ(e.status(), TESSERA_STATUS_FILE_CREATE_OPEN);
  }
  {
    auto set = FileSet::open(session, kept);
    auto other = FileSet::open(session, killed);
    other.kill();
    EXPECT_FALSE(other.is_open());
  }
  EXPECT_TRUE(exists(kept[0]));
  EXPECT_FALSE(exists(killed[0]));
}

TEST(CppHeaderSessions, OneAfterAnotherAndNoneLeftByAFailure) {
  // One session after another is fine.
  for (int k = 0; k < 2; ++k) EXPECT_NO_THROW(Session s(Session::bytes_for({}, 0)));
  // A session too small for hminmf throws and leaves no live session behind.
  EXPECT_THROW(Session tiny(4096), Error);
  EXPECT_NO_THROW(Session s(Session::bytes_for({}, 0)));
}

TEST_F(CppHeader, PutsTheLibraryWouldDropAreRefused) {
  Session session(Session::bytes_for({}, 100));
  auto set = FileSet::create(session, paths("forms"));
  const int32_t n = 100;  // 32 x 32 blocks of doubles: blocks 1..4 a side
  std::vector<double> a(static_cast<size_t>(n) * n, 2.0);
  auto sym = Matrix<double>::create(set, "SYM", n, n, Form::symmetric);
  auto upper = Matrix<double>::create(set, "UPPER", n, n, Form::upper);
  // Wholly below the block diagonal of the symmetric matrix: rows 65..100,
  // columns 1..64.
  try {
    sym.put(65, 1, 36, 64, a.data(), n);
    FAIL();
  } catch (const Error &e) {
    EXPECT_EQ(e.status(), TESSERA_STATUS_REGION_OUTSIDE);
    EXPECT_NE(std::string(e.what()).find("symmetric"), std::string::npos);
  }
  // Wholly below the diagonal of the upper-triangular one, inside diagonal
  // blocks too: row 2, column 1.
  EXPECT_THROW(upper.put(2, 1, 1, 1, a.data(), n), Error);
  EXPECT_THROW(upper.put(51, 1, 50, 50, a.data(), n), Error);
  // Regions that reach stored blocks go through: the whole matrix, a
  // diagonal block's lower half (mirrored), the diagonal itself.
  EXPECT_NO_THROW(sym.put(1, 1, n, n, a.data(), n));
  EXPECT_NO_THROW(sym.put(34, 33, 31, 1, a.data(), n));
  EXPECT_NO_THROW(upper.put(5, 5, 1, 1, a.data(), n));
  // The mirrored region of the refused one is what the matrix keeps.
  std::vector<double> b(static_cast<size_t>(64) * 36, 7.0), got(b.size());
  sym.put(1, 65, 64, 36, b.data(), 64);
  sym.get(1, 65, 64, 36, got);
  EXPECT_EQ(got, b);
}

TEST_F(CppHeader, AlgebraWithNamedFlagsMatchesPlainLoops) {
  Session session(Session::bytes_for({}, 200));
  auto set = FileSet::create(session, paths("algebra"));
  using C = std::complex<double>;
  const int32_t m = 40, k = 36;
  std::mt19937 rng(3);
  std::vector<C> a(static_cast<size_t>(m) * k);
  for (C &v : a) v = sample<C>(rng);
  auto A = Matrix<C>::create(set, "A", m, k);
  auto AH = Matrix<C>::create(set, "AH", k, m);
  auto Y = Matrix<C>::create(set, "Y", m, m);
  A.put(1, 1, m, k, a);
  A.copy_to(AH, Copy::transposed);  // conjugate transpose for complex
  // Y = A A^H - (A^H)^H A^H = 0 in exact arithmetic of these small values;
  // first Y = -A A^H through the transpose flag.
  Y.multiply(A, A, Transpose::no, Transpose::yes, Sign::subtract);
  std::vector<C> y(static_cast<size_t>(m) * m);
  Y.get(1, 1, m, m, y);
  double largest = 0;
  for (int32_t i = 0; i < m; ++i)
    for (int32_t j = 0; j < m; ++j) {
      C s = 0;
      for (int32_t r = 0; r < k; ++r)
        s += a[static_cast<size_t>(r) * m + i] * std::conj(a[static_cast<size_t>(r) * m + j]);
      ASSERT_EQ(y[static_cast<size_t>(j) * m + i], -s) << i << "," << j;
      largest = std::max(largest, std::abs(s));
    }
  ASSERT_GT(largest, 0.0);
  Y.multiply(AH, AH, Transpose::yes, Transpose::no);  // + (A^H)^H A^H = + A A^H
  Y.get(1, 1, m, m, y);
  for (const C &v : y) ASSERT_EQ(v, C(0));
  // Y - Y empties Y under the same name.
  A.add(A, Sign::subtract);
  std::vector<C> z(a.size(), C(1));
  A.get(1, 1, m, k, z);
  for (const C &v : z) ASSERT_EQ(v, C(0));
}

}  // namespace
}  // namespace tessera
