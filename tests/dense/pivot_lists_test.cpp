// Recording of tiny pivots in the Xchosky lists: counts, ranking and links
// against a sorted model, list R's ranking, and hosts that did not chain the
// lists (nothing may be written outside the area or into a broken list).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "dense/chosky_words.h"
#include "dense/dense.h"
#include "dense/dense_model.h"
#include "tessera.h"
#include "test_support/host.h"

namespace tessera::test {
namespace {

TEST(PivotLists, TwentyFiveTinyPivotsKeepTheTwentySmallestAndLargest) {
  HostAreas host;
  chain_lists(host.chosky);
  std::mt19937 rng(25);
  std::uniform_real_distribution<double> expo(-40.0, -35.0);
  const int32_t n = 26, first_column = 100;
  std::vector<double> a(n * n, 0.0), f(n * n), g(n * n);
  at(a, n, 1, 1) = 1.0;  // the largest entry sets the threshold 2^-55
  std::vector<std::pair<double, int32_t>> model;
  for (int32_t j = 2; j <= n; ++j) {
    const double d = j == 9 ? 0.0 : std::pow(10.0, expo(rng));
    at(a, n, j, j) = d;
    model.push_back({d == 0 ? 1.0 : d, j + first_column - 1});
  }
  const std::vector<double> given = a;
  int32_t nn = n, ierr = first_column;
  crudr(a.data(), f.data(), g.data(), &nn, &nn, &ierr);
  ASSERT_EQ(ierr, 0);
  EXPECT_EQ(host.chosky[chw::kTinyCount], 25);

  std::sort(model.begin(), model.end());
  const auto s = walk(host.chosky, chw::kListS, false);
  const auto l = walk(host.chosky, chw::kListL, true);
  ASSERT_EQ(s.size(), 20u);
  ASSERT_EQ(l.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(s[i].first, model[i].first) << i;
    EXPECT_EQ(s[i].column, model[i].second) << i;
    EXPECT_EQ(l[i].first, model[model.size() - 1 - i].first) << i;
    EXPECT_EQ(l[i].column, model[model.size() - 1 - i].second) << i;
  }
  EXPECT_EQ(host.chosky[chw::kListS.head + chw::kFreeCount], 0);
  // Reading each list from its other end gives the same entries reversed.
  auto s_back = walk(host.chosky, chw::kListS, true);
  std::reverse(s_back.begin(), s_back.end());
  for (int i = 0; i < 20; ++i) EXPECT_EQ(s_back[i].column, s[i].column);

  // Tiny pivots are replaced: A's diagonal holds sqrt d and F = G = d^(-1/4).
  for (const auto &[d, column] : model) {
    const int32_t j = column - first_column + 1;
    EXPECT_DOUBLE_EQ(at(a, n, j, j), std::sqrt(d));
    EXPECT_DOUBLE_EQ(at(g, n, j, j), std::sqrt(1.0 / std::sqrt(d)));
    EXPECT_EQ(at(f, n, j, j), at(g, n, j, j));
  }
}

// Rank key of list R: given value 0 first (by |removed|), then |removed / given|.
std::tuple<bool, double> rank_key(double given, double removed) {
  return given == 0 ? std::tuple{true, std::fabs(removed)}
                    : std::tuple{false, std::fabs(removed / given)};
}

TEST(PivotLists, ListRKeepsTheStrongestCancellations) {
  HostAreas host;
  chain_lists(host.chosky);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  struct Item {
    double given, removed;
    int32_t column;
  };
  std::vector<Item> items;
  for (int32_t c = 1; c <= 33; ++c) {
    const double given = c % 7 == 0 ? 0.0 : u(rng);
    items.push_back({given, u(rng), c});
    cr_record_ratio(host.chosky, given, items.back().removed, c);
  }
  std::sort(items.begin(), items.end(), [](const Item &x, const Item &y) {
    return rank_key(x.given, x.removed) > rank_key(y.given, y.removed);
  });
  const auto r = walk(host.chosky, chw::kListR, true);
  ASSERT_EQ(r.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(r[i].column, items[i].column) << i;
    EXPECT_EQ(r[i].first, items[i].given) << i;
    EXPECT_EQ(r[i].second, items[i].removed) << i;
  }
  // Every zero given value (columns 7, 14, 21, 28) ranks first.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r[i].first, 0.0);
}

TEST(PivotLists, CrudrRecordsWhatTheEliminationRemoved) {
  HostAreas host;
  chain_lists(host.chosky);
  std::vector<double> a{1, 1, 1, 1}, f(4), g(4);
  int32_t n = 2, ierr = 5;
  crudr(a.data(), f.data(), g.data(), &n, &n, &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(host.chosky[chw::kTinyCount], 1);
  const auto r = walk(host.chosky, chw::kListR, true);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].first, 1.0);   // A(2, 2) as given
  EXPECT_EQ(r[0].second, 1.0);  // all of it removed: d was 0
  EXPECT_EQ(r[0].column, 6);
  const auto s = walk(host.chosky, chw::kListS, false);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].first, 1.0);  // a zero pivot is recorded as 1.0
  EXPECT_EQ(s[0].column, 6);
  EXPECT_EQ(a[3], 1.0);
}

TEST(PivotLists, UnchainedListsAreNeitherWrittenNorOverrun) {
  HostAreas host;
  // Recording on, lists never chained: only the counter moves.
  host.chosky[chw::kRecording] = 1;
  std::vector<double> a(9, 0.0), f(9), g(9);
  int32_t n = 3, ierr = 1;
  std::vector<int32_t> before(host.chosky, host.chosky + 600);
  crudr(a.data(), f.data(), g.data(), &n, &n, &ierr);
  EXPECT_EQ(ierr, 0);
  before[chw::kTinyCount] = 3;
  EXPECT_EQ(std::vector<int32_t>(host.chosky, host.chosky + 600), before);

  // A head outside 1..20 stops that list only.
  chain_lists(host.chosky);
  host.chosky[chw::kListS.head + chw::kFreeHead] = 21;
  before.assign(host.chosky, host.chosky + 600);
  EXPECT_EQ(cr_record_pivot(host.chosky, 1e-40, 3), 1);
  EXPECT_TRUE(std::equal(before.begin() + chw::kListS.head, before.begin() + chw::kListS.columns + 20,
                         host.chosky + chw::kListS.head));
  EXPECT_EQ(walk(host.chosky, chw::kListL, true).size(), 1u);

  // A chain broken by the host after entries were made.
  chain_lists(host.chosky);
  for (int32_t c = 1; c <= 3; ++c) cr_record_pivot(host.chosky, c * 1e-40, c);
  const int32_t small = host.chosky[chw::kListL.head + chw::kSmallEnd];
  host.chosky[chw::kListL.links + 2 * (small - 1) + chw::kTowardLarge] = 400;
  EXPECT_EQ(cr_record_pivot(host.chosky, 5e-40, 4), 1);
  EXPECT_EQ(host.chosky[chw::kListL.head + chw::kCount], 3);
}

TEST(PivotLists, GarbageAreasNeverWriteOutsideTheirWords) {
  HostAreas host;
  std::mt19937 rng(11);
  std::uniform_int_distribution<int32_t> word(-3, 24);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  for (int trial = 0; trial < 300; ++trial) {
    // Exactly the area's words on the heap, so the sanitizer build sees an overrun.
    std::vector<int32_t> area(chw::kAreaWords);
    if (trial % 2 == 0) chain_lists(area.data());
    for (int32_t w = chw::kListL.head; w < chw::kTinyCount; ++w) {
      if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) area[w] = word(rng);
    }
    for (int step = 0; step < 25; ++step) {
      const int32_t taken = cr_record_pivot(area.data(), value(rng), step);
      EXPECT_GE(taken, 0);
      cr_record_ratio(area.data(), value(rng), value(rng), step);
    }
  }
}

}  // namespace
}  // namespace tessera::test
