// Crout decomposition: the worked small blocks, reconstruction A = F^T G
// against a plain triple loop for positive definite, indefinite and
// non-symmetric blocks with right-hand columns, tiny-pivot handling and the
// refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/status.h"
#include "dense/chosky_words.h"
#include "dense/dense_codes.h"
#include "dense/dense_model.h"
#include "tessera.h"
#include "test_support/host.h"

namespace tessera::test {
namespace {

constexpr double kUnwritten = 99.0;

struct Factors {
  std::vector<double> f, g;
  int32_t ierr = 0;
};

Factors factor(std::vector<double> &a, int32_t n, int32_t m, int32_t first_column = 1) {
  Factors out{std::vector<double>(static_cast<std::size_t>(n) * n, kUnwritten),
              std::vector<double>(static_cast<std::size_t>(n) * m, kUnwritten), first_column};
  crudr(a.data(), out.f.data(), out.g.data(), &n, &m, &out.ierr);
  return out;
}

TEST(Crout, SmallBlocksGiveTheExpectedFactors) {
  HostAreas host;
  {
    std::vector<double> a{1, 0, 0, 1};
    Factors r = factor(a, 2, 2);
    EXPECT_EQ(r.ierr, 0);
    EXPECT_EQ(r.f, (std::vector<double>{1, kUnwritten, 0, 1}));
    EXPECT_EQ(r.g, (std::vector<double>{1, kUnwritten, 0, 1}));
  }
  {
    std::vector<double> a{4, 2, 2, 3};
    Factors r = factor(a, 2, 2);
    EXPECT_EQ(r.ierr, 0);
    const std::vector<double> want{2, kUnwritten, 1, std::sqrt(2.0)};
    for (int i : {0, 2, 3}) {
      EXPECT_DOUBLE_EQ(r.f[i], want[i]) << i;
      EXPECT_DOUBLE_EQ(r.g[i], want[i]) << i;
    }
    EXPECT_EQ(r.f[1], kUnwritten);  // below the diagonal stays unwritten
    EXPECT_EQ(a, (std::vector<double>{4, 2, 2, 3}));  // A is only read
  }
  {
    // Negative pivots of ordinary size: F carries the sign.
    std::vector<double> a{-4, 0, 0, -4};
    Factors r = factor(a, 2, 2);
    EXPECT_EQ(r.ierr, 0);
    EXPECT_EQ(r.f[0], -2);
    EXPECT_EQ(r.f[3], -2);
    EXPECT_EQ(r.g[0], 2);
    EXPECT_EQ(r.g[3], 2);
  }
  EXPECT_EQ(host.trace[0], 0);
}

TEST(Crout, ZeroBlockBecomesIdentityAndOverwritesTheDiagonal) {
  HostAreas host;
  const int32_t n = 3, m = 4;
  std::vector<double> a(n * m, 0.0);
  Factors r = factor(a, n, m);
  EXPECT_EQ(r.ierr, 0);
  for (int32_t j = 1; j <= n; ++j) {
    EXPECT_EQ(at(a, n, j, j), 1.0);
    for (int32_t i = 1; i <= n; ++i) {
      const double want = i > j ? kUnwritten : (i == j ? 1.0 : 0.0);
      EXPECT_EQ(at(r.f, n, i, j), want);
      EXPECT_EQ(at(r.g, n, i, j), want);
    }
  }
  for (int32_t i = 1; i <= n; ++i) EXPECT_EQ(at(r.g, n, i, m), 0.0);
  EXPECT_EQ(host.chosky[chw::kTinyCount], 0);  // recording is off
}

TEST(Crout, ReconstructsTheBlockRow) {
  HostAreas host;
  std::mt19937 rng(20261207);
  const int32_t n = 37, m = 52;
  for (int kind = 0; kind < 3; ++kind) {
    std::vector<double> a = random_block(rng, n, m, kind == 0);
    if (kind == 2) {  // non-symmetric: disturb the lower triangle
      for (int32_t j = 1; j <= n; ++j)
        for (int32_t i = j + 1; i <= n; ++i) at(a, n, i, j) *= 0.5;
    }
    const std::vector<double> given = a;
    Factors r = factor(a, n, m);
    ASSERT_EQ(r.ierr, 0) << kind;
    EXPECT_EQ(a, given) << "no tiny pivot, so A is untouched";
    const double tol = 1e-13 * max_abs(given) * n;
    double worst = 0;
    for (int32_t j = 1; j <= m; ++j) {
      for (int32_t i = 1; i <= n; ++i) {
        // Right-hand columns: F^T G12 = A12 (G12 is n x (m - n), all rows used).
        const double model = j <= n ? upper_tn(r.f, r.g, n, i, j) : [&] {
          double s = 0;
          for (int32_t k = 1; k <= i; ++k) s += at(r.f, n, k, i) * at(r.g, n, k, j);
          return s;
        }();
        worst = std::max(worst, std::fabs(model - at(given, n, i, j)));
      }
    }
    EXPECT_LT(worst, tol) << kind;
    for (int32_t j = 1; j <= n; ++j) {
      const bool negative = at(given, n, j, j) < 0;
      EXPECT_EQ(at(r.f, n, j, j) < 0, negative) << j;
      EXPECT_GT(at(r.g, n, j, j), 0) << j;
      for (int32_t i = j + 1; i <= n; ++i) {
        EXPECT_EQ(at(r.f, n, i, j), kUnwritten);
        EXPECT_EQ(at(r.g, n, i, j), kUnwritten);
      }
    }
    if (kind == 0) {  // positive definite: both factors are the Cholesky factor
      for (int32_t j = 1; j <= n; ++j)
        for (int32_t i = 1; i <= j; ++i)
          EXPECT_NEAR(at(r.f, n, i, j), at(r.g, n, i, j), 1e-12);
    }
  }
}

TEST(Crout, TinyNegativePivotIsRefusedWithItsBlockColumn) {
  HostAreas host;
  host.trace[0] = 1;  // crudr adds to what the trace holds
  host.trace[1] = 11111;
  const int32_t n = 3;
  std::vector<double> a{1, 0, 0, 0, -1e-300, 0, 0, 0, 1};
  Factors r = factor(a, n, n, 40);
  EXPECT_EQ(r.ierr, -2);
  EXPECT_EQ(host.trace_codes(),
            (std::vector<int32_t>{11111, trace::kTinyNegativePivot, trace::kCrudrPivot}));
  EXPECT_EQ(at(r.f, n, 1, 1), 1.0);  // column 1 is complete
  EXPECT_EQ(at(r.g, n, 1, 3), 0.0);
  EXPECT_EQ(at(r.f, n, 2, 2), kUnwritten);  // column 2 on are not
  EXPECT_EQ(at(r.f, n, 3, 3), kUnwritten);
  EXPECT_EQ(at(a, n, 2, 2), -1e-300);
}

TEST(Crout, NarrowBlockRowAndEmptyBlock) {
  HostAreas host;
  std::vector<double> a{4, 2, 2, 3};
  std::vector<double> f(4, kUnwritten), g(4, kUnwritten);
  int32_t n = 2, m = 1, ierr = 7;
  crudr(a.data(), f.data(), g.data(), &n, &m, &ierr);
  EXPECT_EQ(ierr, status::kShapesDoNotConform);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{trace::kCrudrShape});
  EXPECT_EQ(f, std::vector<double>(4, kUnwritten));
  EXPECT_EQ(g, std::vector<double>(4, kUnwritten));

  // n < 1 never touches the arrays, so none need exist.
  for (int32_t empty : {0, -3}) {
    ierr = 5;
    crudr(nullptr, nullptr, nullptr, &empty, &m, &ierr);
    EXPECT_EQ(ierr, 0);
  }
  EXPECT_EQ(host.trace[0], 1);
}

// Solving A Z = B through crudr, fwsdr with F and bwsdr with G, judged by the
// scaled residual |B - A Z| / (|A| |Z| eps) in the max norm.
double solve_residual(const std::vector<double> &given, int32_t n, int32_t k, std::mt19937 &rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a = given;
  Factors r = factor(a, n, n);
  EXPECT_EQ(r.ierr, 0);
  std::vector<double> b(static_cast<std::size_t>(n) * k);
  for (double &v : b) v = u(rng);
  std::vector<double> z = b;
  int32_t ierr = 1, mode = 0;
  fwsdr(r.f.data(), z.data(), &n, &k, &mode, &ierr);
  EXPECT_EQ(ierr, 0);
  bwsdr(r.g.data(), z.data(), &n, &k, &mode, &ierr);
  EXPECT_EQ(ierr, 0);
  double anorm = 0;
  for (int32_t i = 1; i <= n; ++i) {
    double row = 0;
    for (int32_t j = 1; j <= n; ++j) row += std::fabs(given[(j - 1) * n + (i - 1)]);
    anorm = std::max(anorm, row);
  }
  double worst = 0;
  for (int32_t q = 0; q < k; ++q) {
    double rmax = 0, zmax = 0;
    for (int32_t i = 0; i < n; ++i) {
      double s = b[q * n + i];
      for (int32_t j = 0; j < n; ++j) s -= given[j * n + i] * z[q * n + j];
      rmax = std::max(rmax, std::fabs(s));
      zmax = std::max(zmax, std::fabs(z[q * n + i]));
    }
    worst = std::max(worst, rmax / (anorm * zmax * 2.220446049250313e-16));
  }
  return worst;
}

TEST(Crout, SolvesRandomSystemsWithTheSubstitutions) {
  HostAreas host;
  std::mt19937 rng(7);
  for (bool spd : {true, false}) {
    for (int32_t n : {1, 2, 5, 64}) {
      const std::vector<double> a = random_block(rng, n, n, spd);
      EXPECT_LT(solve_residual(a, n, 3, rng), 10.0) << "n " << n << " spd " << spd;
    }
  }
}

}  // namespace
}  // namespace tessera::test
