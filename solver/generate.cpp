// Generated problems (generate.h). Each sparse generator knows its pattern in
// closed form, so it counts the entries of every column first, sizes the
// compressed columns exactly and fills them in a second sweep: no triplets, no
// sorting, nothing held besides the result.
#include "generate.h"

#include <unistd.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <numbers>
#include <stdexcept>
#include <string_view>

namespace tessera::solve {
namespace {

constexpr int64_t kMaxUnknowns = std::numeric_limits<int32_t>::max();

// --- the brick's elements ------------------------------------------------------

// The stiffness of one cube of side h with its 8 corners numbered
// i + 2j + 4k for the corner (i, j, k), three displacements per corner
// (row 3a + c is corner a, direction c). linked[a][b] is set when corners a
// and b share an element, that is when the pair is coupled at all.
struct CubeStiffness {
  std::array<std::array<double, 24>, 24> k{};
  std::array<std::array<bool, 8>, 8> linked{};
};

const double kLambda =
    kYoungModulus * kPoissonRatio / ((1 + kPoissonRatio) * (1 - 2 * kPoissonRatio));
const double kMu = kYoungModulus / (2 * (1 + kPoissonRatio));

// Adds weight * a(N_a e_c, N_b e_d) for all c, d, with the isotropic form
//   a(u, v) = integral of lambda div u div v + 2 mu eps(u) : eps(v),
// which for shape-function gradients ga, gb is
//   lambda ga_c gb_d + mu ga_d gb_c + mu [c = d] ga . gb.
void add_pair(CubeStiffness &s, int a, int b, const double *ga, const double *gb, double weight) {
  const double dot = ga[0] * gb[0] + ga[1] * gb[1] + ga[2] * gb[2];
  for (int c = 0; c < 3; ++c)
    for (int d = 0; d < 3; ++d)
      s.k[3 * a + c][3 * b + d] +=
          weight * (kLambda * ga[c] * gb[d] + kMu * ga[d] * gb[c] + (c == d ? kMu * dot : 0.0));
  s.linked[a][b] = s.linked[b][a] = true;
}

// The sums above are symmetric only up to rounding; the matrix must be so
// exactly, so the upper triangle is copied onto the lower.
void mirror(CubeStiffness &s) {
  for (int r = 0; r < 24; ++r)
    for (int c = 0; c < r; ++c) s.k[r][c] = s.k[c][r];
}

// Trilinear hexahedron, 2 x 2 x 2 Gauss points (exact for this cube, whose
// Jacobian is constant).
CubeStiffness hex_cube(double h) {
  CubeStiffness s;
  const double g = 1 / std::sqrt(3.0);
  const double weight = (h / 2) * (h / 2) * (h / 2);  // det J, Gauss weights 1
  for (int gp = 0; gp < 8; ++gp) {
    const double xi[3] = {(gp & 1) ? g : -g, (gp & 2) ? g : -g, (gp & 4) ? g : -g};
    double grad[8][3];
    for (int a = 0; a < 8; ++a) {
      const double sa[3] = {(a & 1) ? 1.0 : -1.0, (a & 2) ? 1.0 : -1.0, (a & 4) ? 1.0 : -1.0};
      const double f[3] = {1 + xi[0] * sa[0], 1 + xi[1] * sa[1], 1 + xi[2] * sa[2]};
      // dN/dx = dN/dxi * 2/h, N_a = f0 f1 f2 / 8.
      grad[a][0] = sa[0] * f[1] * f[2] / 8 * (2 / h);
      grad[a][1] = f[0] * sa[1] * f[2] / 8 * (2 / h);
      grad[a][2] = f[0] * f[1] * sa[2] / 8 * (2 / h);
    }
    for (int a = 0; a < 8; ++a)
      for (int b = 0; b < 8; ++b) add_pair(s, a, b, grad[a], grad[b], weight);
  }
  mirror(s);
  return s;
}

// Six linear tetrahedra around the diagonal from corner 0 to corner 7, one
// for each order of walking the three axes. Every cube is cut the same way,
// so the faces of neighbouring cubes match.
CubeStiffness tet_cube(double h) {
  CubeStiffness s;
  static constexpr int kAxisOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                            {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const auto &order : kAxisOrders) {
    const int v[4] = {0, 1 << order[0], (1 << order[0]) | (1 << order[1]), 7};
    double x[4][3];
    for (int t = 0; t < 4; ++t)
      for (int c = 0; c < 3; ++c) x[t][c] = (v[t] >> c & 1) ? h : 0.0;
    // Edges from vertex 0 as columns of E; the gradients of the barycentric
    // coordinates 1..3 are the rows of E^-1, that of coordinate 0 minus their sum.
    double e[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) e[r][c] = x[c + 1][r] - x[0][r];
    const double det = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) -
                       e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
                       e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
    double grad[4][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        // (E^-1)[r][c] = cofactor(c, r) / det
        const int c1 = (c + 1) % 3, c2 = (c + 2) % 3, r1 = (r + 1) % 3, r2 = (r + 2) % 3;
        grad[r + 1][c] = (e[c1][r1] * e[c2][r2] - e[c1][r2] * e[c2][r1]) / det;
      }
    for (int c = 0; c < 3; ++c) grad[0][c] = -(grad[1][c] + grad[2][c] + grad[3][c]);
    const double volume = std::abs(det) / 6;
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) add_pair(s, v[a], v[b], grad[a], grad[b], volume);
  }
  mirror(s);
  return s;
}

// --- pseudo-random values fixed by position -------------------------------------

uint64_t mix(uint64_t z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// In [0, 1), fixed by (r, c).
double unit(int64_t r, int64_t c) {
  return static_cast<double>(mix(static_cast<uint64_t>(r) << 32 | static_cast<uint64_t>(c)) >> 11) *
         0x1.0p-53;
}

// Off-diagonal band entry a(r, c) = a(c, r), in [-1, 1).
double band_value(int64_t r, int64_t c) { return 2 * unit(std::max(r, c), std::min(r, c)) - 1; }

// --- the dense kernel matrix ---------------------------------------------------

class KernelMatrix final : public DenseSource {
 public:
  explicit KernelMatrix(int32_t n) : n_(n) {}
  int32_t n() const override { return n_; }

  void fill(int32_t i0, int32_t nr, int32_t j0, int32_t nc, double *a, int64_t lda) const override {
    if (i0 < 0 || nr < 0 || j0 < 0 || nc < 0 || i0 > n_ - nr || j0 > n_ - nc ||
        (nr > 0 && nc > 0 && lda < nr))
      throw std::out_of_range("dense-spd: region outside the matrix");
    // The points are recomputed for every call rather than kept: a region
    // needs nr + nc of them and costs nr * nc exponentials.
    std::vector<std::array<double, 3>> rows(static_cast<size_t>(nr)), cols(static_cast<size_t>(nc));
    for (int32_t i = 0; i < nr; ++i) rows[i] = point(i0 + i);
    for (int32_t j = 0; j < nc; ++j) cols[j] = point(j0 + j);
    for (int32_t j = 0; j < nc; ++j) {
      double *col = a + j * lda;
      const auto &q = cols[j];
      for (int32_t i = 0; i < nr; ++i) {
        const auto &p = rows[i];
        // (p - q)^2 and (q - p)^2 round alike, so a(i, j) == a(j, i) exactly.
        const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
        col[i] = std::exp(-std::sqrt(dx * dx + dy * dy + dz * dz) / kKernelLength);
      }
      const int32_t diag = j0 + j - i0;
      if (diag >= 0 && diag < nr) col[diag] += kKernelShift;
    }
  }

 private:
  // Point i of the golden-angle spiral: heights evenly spaced, each point
  // turned by the golden angle from the one before.
  std::array<double, 3> point(int32_t i) const {
    static const double kGoldenAngle = std::numbers::pi * (3 - std::sqrt(5.0));
    const double z = 1 - (2.0 * i + 1) / n_;
    const double r = std::sqrt(std::max(0.0, 1 - z * z));
    const double phi = kGoldenAngle * i;
    return {r * std::cos(phi), r * std::sin(phi), z};
  }

  int32_t n_;
};

// --- sizing and the problem's name --------------------------------------------------

// The matrix must fit in this machine's memory; saying so beats being killed
// half way through filling it.
void check_memory(const std::string &problem_name, int64_t n, int64_t entries) {
  const double need = 8.0 * (n + 1) + 12.0 * entries;
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return;
  const double have = static_cast<double>(pages) * static_cast<double>(page);
  if (need > have) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%.1f GB for %lld unknowns and %lld entries, more than this machine's %.1f GB "
                  "of memory",
                  need / 1e9, static_cast<long long>(n), static_cast<long long>(entries),
                  have / 1e9);
    throw InputError("generated problem \"" + problem_name + "\": the matrix needs " + text);
  }
}

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t colon = s.find(':');
    out.push_back(s.substr(0, colon));
    if (colon == std::string_view::npos) return out;
    s.remove_prefix(colon + 1);
  }
}

int64_t parse_count(const std::string &problem_name, std::string_view text, const char *what, int64_t lo,
                    int64_t hi) {
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || v < lo || v > hi)
    throw InputError("generated problem \"" + problem_name + "\": " + what +
                     " must be a whole number from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not \"" + std::string(text) + "\"");
  return v;
}

// Largest k with f(k) <= kMaxUnknowns, f increasing.
template <class F>
int64_t largest(F f) {
  int64_t k = 1;
  while (f(k + 1) <= kMaxUnknowns) ++k;
  return k;
}

}  // namespace

// --- the generators ------------------------------------------------------------

SparseSym laplace2d(int32_t k) {
  if (k < 1 || static_cast<int64_t>(k) * k > kMaxUnknowns)
    throw std::invalid_argument("laplace2d: K out of range");
  SparseSym a;
  a.n = k * k;
  a.colptr.resize(static_cast<size_t>(a.n) + 1);
  a.colptr[0] = 0;
  for (int32_t y = 0, col = 0; y < k; ++y)
    for (int32_t x = 0; x < k; ++x, ++col)
      a.colptr[col + 1] = a.colptr[col] + 1 + (x + 1 < k) + (y + 1 < k);
  a.rowind.resize(static_cast<size_t>(a.entries()));
  a.values.resize(static_cast<size_t>(a.entries()));
  int64_t p = 0;
  for (int32_t y = 0, col = 0; y < k; ++y)
    for (int32_t x = 0; x < k; ++x, ++col) {
      a.rowind[p] = col, a.values[p++] = 4;
      if (x + 1 < k) a.rowind[p] = col + 1, a.values[p++] = -1;
      if (y + 1 < k) a.rowind[p] = col + k, a.values[p++] = -1;
    }
  return a;
}

SparseSym laplace3d(int32_t k) {
  if (k < 1 || static_cast<int64_t>(k) * k * k > kMaxUnknowns)
    throw std::invalid_argument("laplace3d: K out of range");
  SparseSym a;
  a.n = k * k * k;
  const int32_t plane = k * k;
  a.colptr.resize(static_cast<size_t>(a.n) + 1);
  a.colptr[0] = 0;
  int32_t col = 0;
  for (int32_t z = 0; z < k; ++z)
    for (int32_t y = 0; y < k; ++y)
      for (int32_t x = 0; x < k; ++x, ++col)
        a.colptr[col + 1] = a.colptr[col] + 1 + (x + 1 < k) + (y + 1 < k) + (z + 1 < k);
  a.rowind.resize(static_cast<size_t>(a.entries()));
  a.values.resize(static_cast<size_t>(a.entries()));
  int64_t p = 0;
  col = 0;
  for (int32_t z = 0; z < k; ++z)
    for (int32_t y = 0; y < k; ++y)
      for (int32_t x = 0; x < k; ++x, ++col) {
        a.rowind[p] = col, a.values[p++] = 6;
        if (x + 1 < k) a.rowind[p] = col + 1, a.values[p++] = -1;
        if (y + 1 < k) a.rowind[p] = col + k, a.values[p++] = -1;
        if (z + 1 < k) a.rowind[p] = col + plane, a.values[p++] = -1;
      }
  return a;
}

SparseSym elasticity3d(int32_t k, ElementKind kind, bool clamped) {
  const int64_t np = static_cast<int64_t>(k) + 1;  // nodes along an edge
  const int32_t first_x = clamped ? 1 : 0;         // nodes at x = 0 are fixed
  const int64_t nx = np - first_x;
  if (k < 1 || 3 * nx * np * np > kMaxUnknowns)
    throw std::invalid_argument("elasticity3d: K out of range");
  const CubeStiffness cube = kind == ElementKind::hex ? hex_cube(1.0 / k) : tet_cube(1.0 / k);
  auto node = [&](int64_t x, int64_t y, int64_t z) { return (x - first_x) + nx * (y + np * z); };

  // The neighbours of node (x, y, z) that come after it, found through the
  // (up to 8) cubes around it. A neighbour is numbered by its offset
  // (dx, dy, dz) in {-1, 0, 1}^3 as o = (dx+1) + 3(dy+1) + 9(dz+1): the node
  // itself is 13, and since node numbers grow with z, then y, then x, the
  // neighbours after it are exactly o = 14 .. 26 and ascend with o. Returns
  // the set of those coupled to the node (bit o); with sum, also adds the
  // cube stiffness into sum[o][c][d] (this node's direction c, the
  // neighbour's d).
  auto couplings = [&](int32_t x, int32_t y, int32_t z, double(*sum)[3][3]) {
    uint32_t linked = 0;
    for (int32_t cz = std::max(z - 1, 0); cz <= std::min(z, k - 1); ++cz)
      for (int32_t cy = std::max(y - 1, 0); cy <= std::min(y, k - 1); ++cy)
        for (int32_t cx = std::max(x - 1, 0); cx <= std::min(x, k - 1); ++cx) {
          const int lp = (x - cx) + 2 * (y - cy) + 4 * (z - cz);
          for (int lq = 0; lq < 8; ++lq) {
            const int dx = cx + (lq & 1) - x, dy = cy + (lq >> 1 & 1) - y, dz = cz + (lq >> 2) - z;
            const int o = (dx + 1) + 3 * (dy + 1) + 9 * (dz + 1);
            if (o < 13 || !cube.linked[lp][lq] || x + dx < first_x) continue;
            linked |= 1u << o;
            if (sum)
              for (int c = 0; c < 3; ++c)
                for (int d = 0; d < 3; ++d) sum[o][c][d] += cube.k[3 * lp + c][3 * lq + d];
          }
        }
    return linked;
  };

  SparseSym a;
  a.n = static_cast<int32_t>(3 * nx * np * np);
  a.colptr.resize(static_cast<size_t>(a.n) + 1);
  a.colptr[0] = 0;
  int64_t col = 0;
  for (int32_t z = 0; z < np; ++z)
    for (int32_t y = 0; y < np; ++y)
      for (int32_t x = first_x; x < np; ++x) {
        // Direction c of this node: its own directions c .. 2, then all three
        // of every later neighbour.
        const int later = std::popcount(couplings(x, y, z, nullptr) & ~(1u << 13));
        for (int c = 0; c < 3; ++c, ++col) a.colptr[col + 1] = a.colptr[col] + (3 - c) + 3 * later;
      }
  a.rowind.resize(static_cast<size_t>(a.entries()));
  a.values.resize(static_cast<size_t>(a.entries()));
  int64_t p = 0;
  double sum[27][3][3];
  for (int32_t z = 0; z < np; ++z)
    for (int32_t y = 0; y < np; ++y)
      for (int32_t x = first_x; x < np; ++x) {
        for (int o = 13; o < 27; ++o)
          for (auto &row : sum[o])
            for (double &v : row) v = 0;
        const uint32_t linked = couplings(x, y, z, sum);
        const int64_t self = node(x, y, z);
        for (int c = 0; c < 3; ++c) {
          for (int d = c; d < 3; ++d)
            a.rowind[p] = static_cast<int32_t>(3 * self + d), a.values[p++] = sum[13][c][d];
          for (int o = 14; o < 27; ++o) {
            if (!(linked >> o & 1)) continue;
            const int64_t q = node(x + o % 3 - 1, y + o / 3 % 3 - 1, z + o / 9 - 1);
            for (int d = 0; d < 3; ++d)
              a.rowind[p] = static_cast<int32_t>(3 * q + d), a.values[p++] = sum[o][c][d];
          }
        }
      }
  return a;
}

SparseSym band(int32_t n, int32_t w) {
  if (n < 1 || w < 0 || w >= n) throw std::invalid_argument("band: N or W out of range");
  SparseSym a;
  a.n = n;
  a.colptr.resize(static_cast<size_t>(n) + 1);
  a.colptr[0] = 0;
  for (int32_t j = 0; j < n; ++j) a.colptr[j + 1] = a.colptr[j] + 1 + std::min(w, n - 1 - j);
  a.rowind.resize(static_cast<size_t>(a.entries()));
  a.values.resize(static_cast<size_t>(a.entries()));
  int64_t p = 0;
  for (int32_t j = 0; j < n; ++j) {
    const int32_t last = j + std::min(w, n - 1 - j);
    double off = 0;
    for (int32_t i = std::max(0, j - w); i <= last; ++i)
      if (i != j) off += std::abs(band_value(i, j));
    a.rowind[p] = j, a.values[p++] = off + 0.05 + 0.1 * unit(j, j);
    for (int32_t i = j + 1; i <= last; ++i) a.rowind[p] = i, a.values[p++] = band_value(i, j);
  }
  return a;
}

std::unique_ptr<DenseSource> dense_spd(int32_t n) {
  if (n < 1) throw std::invalid_argument("dense-spd: N out of range");
  return std::make_unique<KernelMatrix>(n);
}

const std::vector<ProblemKind> &problem_kinds() {
  static const std::vector<ProblemKind> kinds{
      {"laplace2d:K", "5-point Laplacian on a K x K grid (K^2 unknowns)"},
      {"laplace3d:K", "7-point Laplacian on a K x K x K grid (K^3 unknowns)"},
      {"elasticity3d:K[:hex|:tet]",
       "linear elasticity (E = 1, nu = 0.3) on a K x K x K brick of hexahedra (default) or "
       "tetrahedra, clamped at x = 0 (3K(K+1)^2 unknowns)"},
      {"dense-spd:N",
       "dense kernel matrix exp(-|xi - xj| / 0.5) + 0.01 I over N points on the unit sphere"},
      {"band:N:W", "positive definite band matrix of order N and half-bandwidth W"},
  };
  return kinds;
}

Problem make_problem(const std::string &problem_name) {
  const std::vector<std::string_view> f = split(problem_name);
  const std::string_view kind = f[0];
  auto expect = [&](size_t lo, size_t hi, const char *syntax) {
    if (f.size() < lo || f.size() > hi)
      throw InputError("generated problem \"" + problem_name + "\": expected " + syntax);
  };
  Problem p;
  p.name = problem_name;
  try {
    if (kind == "laplace2d") {
      expect(2, 2, "laplace2d:K");
      const int64_t k = parse_count(problem_name, f[1], "K", 1, largest([](int64_t k) { return k * k; }));
      check_memory(problem_name, k * k, 3 * k * k);
      p.sparse = laplace2d(static_cast<int32_t>(k));
    } else if (kind == "laplace3d") {
      expect(2, 2, "laplace3d:K");
      const int64_t k =
          parse_count(problem_name, f[1], "K", 1, largest([](int64_t k) { return k * k * k; }));
      check_memory(problem_name, k * k * k, 4 * k * k * k);
      p.sparse = laplace3d(static_cast<int32_t>(k));
    } else if (kind == "elasticity3d") {
      expect(2, 3, "elasticity3d:K, elasticity3d:K:hex or elasticity3d:K:tet");
      const int64_t k = parse_count(problem_name, f[1], "K", 1,
                                    largest([](int64_t k) { return 3 * k * (k + 1) * (k + 1); }));
      ElementKind element = ElementKind::hex;
      if (f.size() == 3) {
        if (f[2] == "tet")
          element = ElementKind::tet;
        else if (f[2] != "hex")
          throw InputError("generated problem \"" + problem_name +
                           "\": the element kind must be hex or tet, not \"" + std::string(f[2]) +
                           "\"");
      }
      const int64_t n = 3 * k * (k + 1) * (k + 1);
      check_memory(problem_name, n, n * (element == ElementKind::hex ? 42 : 24));
      p.sparse = elasticity3d(static_cast<int32_t>(k), element);
    } else if (kind == "dense-spd") {
      expect(2, 2, "dense-spd:N");
      p.dense = dense_spd(static_cast<int32_t>(parse_count(problem_name, f[1], "N", 1, kMaxUnknowns)));
    } else if (kind == "band") {
      expect(3, 3, "band:N:W");
      const int64_t n = parse_count(problem_name, f[1], "N", 1, kMaxUnknowns);
      const int64_t w = parse_count(problem_name, f[2], "W", 0, n - 1);
      check_memory(problem_name, n, n * (w + 1));
      p.sparse = band(static_cast<int32_t>(n), static_cast<int32_t>(w));
    } else {
      std::string known;
      for (const ProblemKind &k : problem_kinds())
        known += (known.empty() ? "" : ", ") + std::string(k.syntax);
      throw InputError("generated problem \"" + problem_name + "\": unknown kind \"" + std::string(kind) +
                       "\"; the kinds are " + known);
    }
  } catch (const std::bad_alloc &) {
    throw InputError("generated problem \"" + problem_name + "\": not enough memory to hold the matrix");
  }
  return p;
}

}  // namespace tessera::solve
