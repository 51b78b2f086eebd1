// Independent models for the dense solver tests: plain triple-loop products
// on column-major matrices, random test blocks and the host's chaining of
// the Xchosky lists.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <vector>

#include "dense/chosky_words.h"

namespace tessera::test {

// Column-major n-row matrix element (i, j), both 1-based.
inline double &at(std::vector<double> &a, int32_t n, int32_t i, int32_t j) {
  return a[static_cast<std::size_t>(j - 1) * n + (i - 1)];
}
inline double at(const std::vector<double> &a, int32_t n, int32_t i, int32_t j) {
  return a[static_cast<std::size_t>(j - 1) * n + (i - 1)];
}

// (U^T V)(i, j) over the upper triangles only: sum_{k <= min(i, j)} U(k, i) V(k, j).
inline double upper_tn(const std::vector<double> &u, const std::vector<double> &v, int32_t n,
                       int32_t i, int32_t j) {
  double s = 0;
  for (int32_t k = 1; k <= std::min(i, j); ++k) {
    s += u[static_cast<std::size_t>(i - 1) * n + (k - 1)] *
         v[static_cast<std::size_t>(j - 1) * n + (k - 1)];
  }
  return s;
}

inline double max_abs(const std::vector<double> &a) {
  double m = 0;
  for (double v : a) m = std::max(m, std::fabs(v));
  return m;
}

// n x m block row: a symmetric n x n part with the given diagonal shift and
// sign pattern (shift > 0 and all signs +1 makes it positive definite), and
// random columns to its right.
inline std::vector<double> random_block(std::mt19937 &rng, int32_t n, int32_t m, bool spd) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a(static_cast<std::size_t>(n) * m);
  for (int32_t j = 1; j <= n; ++j) {
    for (int32_t i = 1; i <= j; ++i) at(a, n, i, j) = at(a, n, j, i) = u(rng);
  }
  for (int32_t j = 1; j <= n; ++j) {
    // Diagonally dominant; for the indefinite block every third pivot is negative.
    const double sign = (!spd && j % 3 == 0) ? -1.0 : 1.0;
    at(a, n, j, j) = sign * (n + 1.0 + std::fabs(u(rng)));
  }
  for (int32_t j = n + 1; j <= m; ++j) {
    for (int32_t i = 1; i <= n; ++i) at(a, n, i, j) = u(rng);
  }
  return a;
}

// What a host does before switching recording on: chain the 20 entries of
// each list as free and empty the lists.
inline void chain_lists(int32_t *chosky) {
  for (const chw::ListPlace &p : {chw::kListS, chw::kListL, chw::kListR}) {
    chosky[p.head + chw::kFreeHead] = 1;
    chosky[p.head + chw::kFreeCount] = chw::kListEntries;
    chosky[p.head + chw::kCount] = 0;
    chosky[p.head + chw::kSmallEnd] = 0;
    chosky[p.head + chw::kLargeEnd] = 0;
    for (int32_t e = 1; e <= chw::kListEntries; ++e) {
      chosky[p.links + 2 * (e - 1) + chw::kTowardLarge] = e < chw::kListEntries ? e + 1 : 0;
      chosky[p.links + 2 * (e - 1) + chw::kTowardSmall] = 0;
    }
  }
  chosky[chw::kTinyCount] = 0;
  chosky[chw::kRecording] = 1;
}

struct Recorded {
  double first;
  double second;
  int32_t column;
};

inline double chosky_real(const int32_t *chosky, int32_t real) {
  double v;
  std::memcpy(&v, chosky + 2 * real, sizeof v);
  return v;
}

// A list's entries read from one end to the other through the links;
// from_large walks from the largest end. Checks the reverse links on the way.
inline std::vector<Recorded> walk(const int32_t *chosky, const chw::ListPlace &p,
                                  bool from_large) {
  std::vector<Recorded> out;
  const int32_t count = chosky[p.head + chw::kCount];
  int32_t e = chosky[p.head + (from_large ? chw::kLargeEnd : chw::kSmallEnd)], prev = 0;
  const int32_t ahead = from_large ? chw::kTowardSmall : chw::kTowardLarge;
  const int32_t behind = from_large ? chw::kTowardLarge : chw::kTowardSmall;
  for (int32_t i = 0; i < count && e >= 1 && e <= chw::kListEntries; ++i) {
    EXPECT_EQ(chosky[p.links + 2 * (e - 1) + behind], prev);
    out.push_back({chosky_real(chosky, p.first_real + e - 1),
                   p.second_real == chw::kNoReal ? 0.0 : chosky_real(chosky, p.second_real + e - 1),
                   chosky[p.columns + e - 1]});
    prev = e;
    e = chosky[p.links + 2 * (e - 1) + ahead];
  }
  EXPECT_EQ(e, 0);
  return out;
}

}  // namespace tessera::test
