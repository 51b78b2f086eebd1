// Generated problems: each matrix against an independent computation (LAPACK
// eigenvalues and Cholesky, rigid-body motions, the strain energy of a uniform
// strain, the unclamped brick with the clamped face removed), and the refusals
// of the parser of problem names.
#include "generate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "dense_check.h"

namespace tessera::test {
namespace {

using solve::ElementKind;
using solve::SparseSym;

// y = A x with A given by its lower triangle.
std::vector<double> multiply(const SparseSym &a, const std::vector<double> &x) {
  std::vector<double> y(x.size(), 0.0);
  for (int32_t j = 0; j < a.n; ++j)
    for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p) {
      const int32_t i = a.rowind[p];
      y[i] += a.values[p] * x[j];
      if (i != j) y[j] += a.values[p] * x[i];
    }
  return y;
}

double max_abs(const std::vector<double> &v) {
  double m = 0;
  for (double x : v) m = std::max(m, std::abs(x));
  return m;
}

double norm_inf(const SparseSym &a) {
  std::vector<double> ones(static_cast<size_t>(a.n), 1.0), rows(static_cast<size_t>(a.n), 0.0);
  for (int32_t j = 0; j < a.n; ++j)
    for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p) {
      rows[a.rowind[p]] += std::abs(a.values[p]);
      if (a.rowind[p] != j) rows[j] += std::abs(a.values[p]);
    }
  return max_abs(rows);
}

TEST(Generated, LaplaciansHaveTheKnownEigenvalues) {
  for (int dim : {2, 3}) {
    const int32_t k = dim == 2 ? 7 : 4;
    const SparseSym a = dim == 2 ? solve::laplace2d(k) : solve::laplace3d(k);
    SCOPED_TRACE("dimension " + std::to_string(dim));
    expect_well_formed(a);
    const int n = dim == 2 ? k * k : k * k * k;
    ASSERT_EQ(a.n, n);
    // Diagonal plus one entry per grid edge.
    EXPECT_EQ(a.entries(), n + dim * (k - 1) * (dim == 2 ? k : k * k));
    std::vector<double> want;
    auto s = [&](int i) { return 4 * std::pow(std::sin(std::numbers::pi * i / (2 * (k + 1))), 2); };
    for (int i = 1; i <= k; ++i)
      for (int j = 1; j <= k; ++j)
        if (dim == 2)
          want.push_back(s(i) + s(j));
        else
          for (int l = 1; l <= k; ++l) want.push_back(s(i) + s(j) + s(l));
    std::sort(want.begin(), want.end());
    const std::vector<double> got = eigenvalues(to_dense(a), n);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(got[i], want[i], 1e-12) << i;
  }
  // Natural numbering: x fastest, neighbours one and K apart.
  const SparseSym a = solve::laplace2d(3);
  EXPECT_EQ(std::vector<int32_t>(a.rowind.begin(), a.rowind.begin() + 3),
            (std::vector<int32_t>{0, 1, 3}));
}

// Without the clamp, the brick's matrix must vanish on the six rigid-body
// motions and nowhere else, and a uniform strain eps must store the energy
// (lambda tr(eps)^2 + 2 mu eps:eps) / 2 per unit volume in the unit cube.
TEST(Generated, ElasticityHasRigidBodyNullSpaceAndTheExactStrainEnergy) {
  const double lambda = solve::kYoungModulus * solve::kPoissonRatio /
                        ((1 + solve::kPoissonRatio) * (1 - 2 * solve::kPoissonRatio));
  const double mu = solve::kYoungModulus / (2 * (1 + solve::kPoissonRatio));
  for (ElementKind kind : {ElementKind::hex, ElementKind::tet}) {
    SCOPED_TRACE(kind == ElementKind::hex ? "hex" : "tet");
    const int32_t k = 3, np = k + 1;
    const SparseSym a = solve::elasticity3d(k, kind, false);
    expect_well_formed(a);
    ASSERT_EQ(a.n, 3 * np * np * np);
    auto field = [&](auto u) {  // nodal values of a displacement field u(x)
      std::vector<double> v(static_cast<size_t>(a.n));
      for (int z = 0, node = 0; z < np; ++z)
        for (int y = 0; y < np; ++y)
          for (int x = 0; x < np; ++x, ++node) {
            const std::array<double, 3> d =
                u(std::array<double, 3>{1.0 * x / k, 1.0 * y / k, 1.0 * z / k});
            for (int c = 0; c < 3; ++c) v[3 * node + c] = d[c];
          }
      return v;
    };
    const double scale = norm_inf(a);
    for (int c = 0; c < 3; ++c) {
      const std::vector<double> shift = field([&](auto) {
        std::array<double, 3> d{};
        d[c] = 1;
        return d;
      });
      EXPECT_LT(max_abs(multiply(a, shift)), 1e-13 * scale) << "translation " << c;
      const std::vector<double> turn = field([&](std::array<double, 3> p) {
        std::array<double, 3> w{}, d{};
        w[c] = 1;  // d = w x p
        d = {w[1] * p[2] - w[2] * p[1], w[2] * p[0] - w[0] * p[2], w[0] * p[1] - w[1] * p[0]};
        return d;
      });
      EXPECT_LT(max_abs(multiply(a, turn)), 1e-13 * scale) << "rotation " << c;
    }
    const double eps[3][3] = {{0.3, 0.1, -0.2}, {0.1, -0.5, 0.25}, {-0.2, 0.25, 0.7}};
    const std::vector<double> u = field([&](std::array<double, 3> p) {
      std::array<double, 3> d{};
      for (int r = 0; r < 3; ++r) d[r] = eps[r][0] * p[0] + eps[r][1] * p[1] + eps[r][2] * p[2];
      return d;
    });
    const std::vector<double> au = multiply(a, u);
    double energy = 0, trace = 0, inner = 0;
    for (size_t i = 0; i < u.size(); ++i) energy += u[i] * au[i] / 2;
    for (int r = 0; r < 3; ++r) {
      trace += eps[r][r];
      for (int c = 0; c < 3; ++c) inner += eps[r][c] * eps[r][c];
    }
    EXPECT_NEAR(energy, (lambda * trace * trace + 2 * mu * inner) / 2, 1e-12);
    // Exactly six zero eigenvalues: no spurious mechanisms.
    const std::vector<double> w = eigenvalues(to_dense(a), a.n);
    for (int i = 0; i < 6; ++i) EXPECT_LT(std::abs(w[i]), 1e-12 * w.back()) << i;
    EXPECT_GT(w[6], 1e-4 * w.back());
  }
}

// The clamped matrix is the unclamped one with the nodes of x = 0 left out
// (same entries, same pattern, natural numbering of the rest), and it is
// positive definite.
TEST(Generated, ClampedElasticityIsTheFreeBrickWithoutTheFixedFace) {
  for (ElementKind kind : {ElementKind::hex, ElementKind::tet})
    for (int32_t k : {1, 2, 3}) {
      SCOPED_TRACE(std::string(kind == ElementKind::hex ? "hex" : "tet") + " K " +
                   std::to_string(k));
      const SparseSym free = solve::elasticity3d(k, kind, false);
      const SparseSym fixed = solve::elasticity3d(k, kind, true);
      expect_well_formed(fixed);
      const int32_t np = k + 1;
      ASSERT_EQ(fixed.n, 3 * k * np * np);
      std::vector<int32_t> kept;  // unknowns of the free brick that stay
      for (int32_t node = 0; node < np * np * np; ++node)
        if (node % np != 0)
          for (int c = 0; c < 3; ++c) kept.push_back(3 * node + c);
      ASSERT_EQ(kept.size(), static_cast<size_t>(fixed.n));
      const std::vector<double> full = to_dense(free);
      std::vector<double> cut(kept.size() * kept.size());
      const size_t nf = static_cast<size_t>(free.n);
      for (size_t j = 0; j < kept.size(); ++j)
        for (size_t i = 0; i < kept.size(); ++i)
          cut[i + j * kept.size()] = full[kept[i] + kept[j] * nf];
      EXPECT_EQ(to_dense(fixed), cut);
      // Pattern: entry p of the clamped column is the free brick's entry for the same pair.
      std::set<std::pair<int32_t, int32_t>> pattern;
      for (int32_t j = 0; j < free.n; ++j)
        for (int64_t p = free.colptr[j]; p < free.colptr[j + 1]; ++p)
          pattern.insert({free.rowind[p], j});
      for (int32_t j = 0; j < fixed.n; ++j)
        for (int64_t p = fixed.colptr[j]; p < fixed.colptr[j + 1]; ++p)
          EXPECT_TRUE(pattern.count({kept[fixed.rowind[p]], kept[j]}));
      EXPECT_TRUE(cholesky_succeeds(to_dense(fixed), fixed.n));
    }
  // Mesh couplings: 27 node neighbours for hexahedra, 15 for the tetrahedra
  // cut along one diagonal; so an inner node's column counts them.
  const SparseSym hex = solve::elasticity3d(4, ElementKind::hex, false);
  const SparseSym tet = solve::elasticity3d(4, ElementKind::tet, false);
  const int32_t inner = 3 * (2 + 5 * (2 + 5 * 2));  // node (2, 2, 2), direction x
  EXPECT_EQ(hex.colptr[inner + 1] - hex.colptr[inner], 3 + 3 * 13);
  EXPECT_EQ(tet.colptr[inner + 1] - tet.colptr[inner], 3 + 3 * 7);
}

TEST(Generated, BandMatricesHaveTheirWidthVariedValuesAndArePositiveDefinite) {
  for (auto [n, w] : {std::pair{1, 0}, {40, 0}, {40, 1}, {40, 7}, {40, 39}}) {
    SCOPED_TRACE("band " + std::to_string(n) + " " + std::to_string(w));
    const SparseSym a = solve::band(n, w);
    expect_well_formed(a);
    std::set<double> distinct;
    for (int32_t j = 0; j < n; ++j) {
      const int64_t count = a.colptr[j + 1] - a.colptr[j];
      EXPECT_EQ(count, 1 + std::min(w, n - 1 - j));
      EXPECT_EQ(a.rowind[a.colptr[j + 1] - 1], j + count - 1);  // contiguous to the band's edge
      for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p) {
        EXPECT_NE(a.values[p], 0.0);
        distinct.insert(a.values[p]);
      }
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(a.entries()));
    const std::vector<double> e = eigenvalues(to_dense(a), n);
    EXPECT_GT(e.front(), 0.0);
    EXPECT_LT(e.back() / e.front(), 1e4);  // a fair test, not a hopeless one
  }
}

TEST(Generated, DenseKernelRegionsAgreeWithTheWholeMatrix) {
  const int32_t n = 300;
  const auto src = solve::dense_spd(n);
  ASSERT_EQ(src->n(), n);
  std::vector<double> whole(static_cast<size_t>(n) * n);
  src->fill(0, n, 0, n, whole.data(), n);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i) {
      const double v = whole[i + j * static_cast<size_t>(n)];
      ASSERT_EQ(v, whole[j + i * static_cast<size_t>(n)]) << i << " " << j;
      if (i == j)
        ASSERT_EQ(v, 1 + solve::kKernelShift);
      else
        ASSERT_TRUE(v > 0 && v < 1) << i << " " << j;
    }
  EXPECT_TRUE(cholesky_succeeds(whole, n));
  // Panels on and off the diagonal, a single entry, into a larger leading dimension.
  struct Region {
    int32_t i0, nr, j0, nc;
  };
  for (Region r : {Region{0, 64, 0, 64},
                   {100, 37, 5, 80},
                   {5, 80, 100, 37},
                   {299, 1, 0, 1},
                   {250, 50, 250, 50},
                   {0, 0, 0, 10}}) {
    const int64_t lda = r.nr + 3;
    std::vector<double> part(static_cast<size_t>(lda) * r.nc, -7.0);
    src->fill(r.i0, r.nr, r.j0, r.nc, part.data(), lda);
    for (int32_t j = 0; j < r.nc; ++j) {
      for (int32_t i = 0; i < r.nr; ++i)
        ASSERT_EQ(part[i + j * lda], whole[(r.i0 + i) + (r.j0 + j) * static_cast<size_t>(n)]);
      for (int64_t i = r.nr; i < lda; ++i) ASSERT_EQ(part[i + j * lda], -7.0);  // padding untouched
    }
  }
  double sink[4];
  EXPECT_THROW(src->fill(290, 20, 0, 1, sink, 20), std::out_of_range);
  EXPECT_THROW(src->fill(0, 4, -1, 1, sink, 4), std::out_of_range);
  EXPECT_THROW(src->fill(0, 4, 0, 1, sink, 3), std::out_of_range);
  const std::vector<double> e = eigenvalues(whole, n);
  EXPECT_GT(e.front(), 0.5 * solve::kKernelShift);
}

TEST(Generated, SpecsGiveTheirProblemsOrAClearRefusal) {
  struct Good {
    const char *problem_name;
    int32_t n;
    bool dense;
  };
  for (Good g : {Good{"laplace2d:5", 25, false},
                 {"laplace3d:3", 27, false},
                 {"elasticity3d:2", 54, false},
                 {"elasticity3d:2:hex", 54, false},
                 {"elasticity3d:2:tet", 54, false},
                 {"dense-spd:9000", 9000, true},
                 {"band:10:3", 10, false},
                 {"band:10:0", 10, false}}) {
    SCOPED_TRACE(g.problem_name);
    const solve::Problem p = solve::make_problem(g.problem_name);
    EXPECT_EQ(p.name, g.problem_name);
    EXPECT_EQ(p.n(), g.n);
    EXPECT_EQ(p.dense != nullptr, g.dense);
    if (!g.dense) expect_well_formed(p.sparse);
  }
  // The hexahedral default and the tetrahedra differ.
  EXPECT_NE(solve::make_problem("elasticity3d:2").sparse.values,
            solve::make_problem("elasticity3d:2:tet").sparse.values);

  struct Bad {
    const char *problem_name;
    const char *says;
  };
  for (Bad b : {Bad{"laplace4d:3",
                    "unknown kind \"laplace4d\"; the kinds are laplace2d:K, "
                    "laplace3d:K, elasticity3d:K[:hex|:tet], dense-spd:N, band:N:W"},
                {"", "unknown kind \"\""},
                {"laplace2d", "expected laplace2d:K"},
                {"laplace2d:3:4", "expected laplace2d:K"},
                {"laplace2d:", "K must be a whole number from 1 to 46340, not \"\""},
                {"laplace2d:0", "K must be a whole number from 1 to 46340, not \"0\""},
                {"laplace2d:46341", "from 1 to 46340"},
                {"laplace3d:1e3", "K must be a whole number from 1 to 1290, not \"1e3\""},
                {"laplace3d: 5", "not \" 5\""},
                {"laplace3d:-5", "not \"-5\""},
                {"elasticity3d:4:brick", "the element kind must be hex or tet, not \"brick\""},
                {"elasticity3d:4:tet:5", "expected elasticity3d:K"},
                {"elasticity3d:894", "from 1 to 893"},
                {"dense-spd:0", "N must be a whole number from 1 to 2147483647"},
                {"dense-spd:2147483648", "not \"2147483648\""},
                {"band:10", "expected band:N:W"},
                {"band:10:10", "W must be a whole number from 0 to 9, not \"10\""},
                {"band:10:x", "W must be"},
                // Refused before anything is allocated.
                {"laplace3d:1290", "the matrix needs "},
                {"band:2000000000:1000", "more than this machine's"}}) {
    SCOPED_TRACE(b.problem_name);
    try {
      solve::make_problem(b.problem_name);
      ADD_FAILURE() << "accepted";
    } catch (const solve::InputError &e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("generated problem \"" + std::string(b.problem_name) + "\": "), std::string::npos)
          << what;
      EXPECT_NE(what.find(b.says), std::string::npos) << what;
    }
  }
  // The help lists every kind make_problem knows.
  for (const solve::ProblemKind &k : solve::problem_kinds()) {
    std::string problem_name = k.syntax;
    problem_name = problem_name.substr(0, problem_name.find('['));
    for (char &c : problem_name)
      if (c == 'K' || c == 'N')
        c = '4';
      else if (c == 'W')
        c = '1';
    EXPECT_NO_THROW(solve::make_problem(problem_name)) << problem_name;
  }
}

}  // namespace
}  // namespace tessera::test
