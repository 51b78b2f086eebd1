// Forward and backward substitution: the worked 2 x 2 example, solves against
// plain products, the acceptance test with its ties and boundary, the
// diagonal mode and empty cases.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "dense/dense_codes.h"
#include "dense/dense_model.h"
#include "tessera.h"
#include "test_support/host.h"

namespace tessera::test {
namespace {

int32_t forward(const std::vector<double> &u, std::vector<double> &x, int32_t n, int32_t k,
                int32_t mode = 0) {
  int32_t ierr = 99;
  fwsdr(u.data(), x.data(), &n, &k, &mode, &ierr);
  return ierr;
}
int32_t backward(const std::vector<double> &u, std::vector<double> &x, int32_t n, int32_t k,
                 int32_t mode = 0) {
  int32_t ierr = 99;
  bwsdr(u.data(), x.data(), &n, &k, &mode, &ierr);
  return ierr;
}

TEST(Substitution, SolvesTheWorkedExample) {
  HostAreas host;
  const std::vector<double> u{2, -777, 1, std::sqrt(2.0)};  // below the diagonal unread
  std::vector<double> x{6, 7};
  EXPECT_EQ(forward(u, x, 2, 1), 0);
  EXPECT_DOUBLE_EQ(x[0], 3);
  EXPECT_DOUBLE_EQ(x[1], 2 * std::sqrt(2.0));
  EXPECT_EQ(backward(u, x, 2, 1), 0);
  EXPECT_DOUBLE_EQ(x[0], 0.5);
  EXPECT_DOUBLE_EQ(x[1], 2);
  EXPECT_EQ(host.trace[0], 0);
}

TEST(Substitution, MatchesPlainProductsForManyColumns) {
  HostAreas host;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> r(-1.0, 1.0);
  for (int32_t n : {1, 3, 8, 33}) {
    const int32_t k = 4;
    std::vector<double> u(n * n, 12345.0);  // lower part must not matter
    for (int32_t j = 1; j <= n; ++j) {
      for (int32_t i = 1; i < j; ++i) at(u, n, i, j) = r(rng);
      at(u, n, j, j) = (j % 2 ? 1 : -1) * (2.0 + r(rng));
    }
    std::vector<double> b(n * k);
    for (double &v : b) v = r(rng);
    std::vector<double> y = b, z = b;
    ASSERT_EQ(forward(u, y, n, k), 0);
    ASSERT_EQ(backward(u, z, n, k), 0);
    for (int32_t q = 1; q <= k; ++q) {
      for (int32_t i = 1; i <= n; ++i) {
        double uty = 0, uz = 0;  // (U^T y)(i) and (U z)(i)
        for (int32_t l = 1; l <= i; ++l) uty += at(u, n, l, i) * y[(q - 1) * n + l - 1];
        for (int32_t l = i; l <= n; ++l) uz += at(u, n, i, l) * z[(q - 1) * n + l - 1];
        EXPECT_NEAR(uty, b[(q - 1) * n + i - 1], 1e-12 * n) << n;
        EXPECT_NEAR(uz, b[(q - 1) * n + i - 1], 1e-12 * n) << n;
      }
    }
  }
}

TEST(Substitution, RefusedFactorsLeaveTheRightHandSidesAlone) {
  HostAreas host;
  const int32_t n = 4;
  std::vector<double> u(n * n, 0.0);
  for (int32_t j = 1; j <= n; ++j) {
    at(u, n, j, j) = j;
    if (j > 1) at(u, n, 1, j) = 0.5;
  }
  const std::vector<double> x0{1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<double> x = x0;

  at(u, n, 3, 3) = 0;  // zero diagonal at 3
  EXPECT_EQ(forward(u, x, n, 2), -3);
  EXPECT_EQ(backward(u, x, n, 2), -3);
  EXPECT_EQ(x, x0);
  EXPECT_EQ(host.trace_codes(),
            (std::vector<int32_t>{trace::kFwsdrRefused, trace::kBwsdrRefused}));

  at(u, n, 3, 3) = 3;  // equally small at 2 and 4: the first is named
  at(u, n, 2, 2) = at(u, n, 4, 4) = 1e-300;
  EXPECT_EQ(forward(u, x, n, 2), -2);
  EXPECT_EQ(x, x0);

  // The boundary: accepted only when dmin exceeds umax / 2^55 strictly, and
  // umax includes the entries above the diagonal.
  std::vector<double> v{1, 0, 0, 1};
  v[2] = std::ldexp(1.0, 55);
  std::vector<double> y{1, 1};
  EXPECT_EQ(backward(v, y, 2, 1), -1);
  v[2] = std::ldexp(1.0, 54);
  EXPECT_EQ(backward(v, y, 2, 1), 0);
  std::vector<double> d{1, std::ldexp(1.0, -55)};
  EXPECT_EQ(forward(d, y, 2, 1, 5), -2);
}

TEST(Substitution, DiagonalModeScalesRows) {
  HostAreas host;
  const std::vector<double> u{2, 4};
  for (bool fw : {true, false}) {
    std::vector<double> x{2, 4, 6, 8};
    EXPECT_EQ(fw ? forward(u, x, 2, 2, 5) : backward(u, x, 2, 2, 5), 0);
    EXPECT_EQ(x, (std::vector<double>{1, 1, 3, 2}));
  }
}

TEST(Substitution, EmptyCasesTouchNothing) {
  HostAreas host;
  const std::vector<double> u{2, 0, 1, 2};
  std::vector<double> x{6, 7};
  EXPECT_EQ(forward(u, x, 2, 0), 0);
  EXPECT_EQ(backward(u, x, 2, -4), 0);
  EXPECT_EQ(x, (std::vector<double>{6, 7}));
  // n < 1: neither array is read.
  int32_t n = 0, k = 1, mode = 0, ierr = 3;
  fwsdr(nullptr, nullptr, &n, &k, &mode, &ierr);
  EXPECT_EQ(ierr, 0);
  ierr = 3;
  bwsdr(nullptr, nullptr, &n, &k, &mode, &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(host.trace[0], 0);
}

}  // namespace
}  // namespace tessera::test
