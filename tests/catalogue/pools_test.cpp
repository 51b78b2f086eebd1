// The unit, word and pair pools on a control area laid out by hminmf and a
// small pool set-up in the fixture: whole-unit rounding, even pair sizes,
// merging in either order, refusals that leave the pool unchanged, and long
// random take/give-back sequences against a set model with the pool checker
// after every step.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "catalogue/extent_list.h"
#include "catalogue/extent_model.h"
#include "catalogue/invariants.h"
#include "catalogue/pools.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "tessera.h"
#include "test_support/host.h"

namespace tessera {
namespace {

constexpr int32_t kLength = 40000;

// A control area with the three pools laid out one after the other from
// word 129, as the pool set-up of the first file set does: each pool's
// extent table, then its data area starting on a granule boundary, then one
// free extent covering all of it.
class PoolArea {
 public:
  PoolArea(int32_t units, int32_t unit_size, int32_t pair_entries, int32_t pair_words,
           int32_t ndesc = 4)
      : area_(kLength, -1), c_(control_view(area_.data())) {
    int32_t len = kLength, nfs = 1, opt = 0, ierr = 0;
    hminmf(area_.data(), &len, &nfs, &ndesc, &opt, &ierr);
    EXPECT_EQ(ierr, 0);
    c_[cw::kUnitSize] = unit_size;
    c_[cw::kUnitCount] = units;
    lay_out(cw::kUnitTable, units, cw::kUnitTableFree, cw::kUnitList, cw::kUnitBase,
            units * unit_size, 1);
    c_[cw::kPairSize] = pair_words;
    lay_out(cw::kPairTable, pair_entries, cw::kPairTableFree, cw::kPairList, cw::kPairBase,
            pair_words, 0);
    c_[cw::kWordSize] = 86 * ndesc;
    lay_out(cw::kWordTable, ndesc, cw::kWordTableFree, cw::kWordList, cw::kWordBase,
            86 * ndesc, 0);
    c_[cw::kAfterSmallPools] = c_[cw::kNextFree];
    c_[cw::kFresh] = 0;
    EXPECT_LT(c_[cw::kNextFree], c_[cw::kLastPoolWord]);
  }

  int32_t *ctrl() { return area_.data(); }
  int32_t &operator[](int32_t w) { return c_[w]; }
  const int32_t *entries(int32_t table_word) { return word_at(area_.data(), c_[table_word]); }
  std::vector<std::pair<int32_t, int32_t>> runs(int32_t table_word, int32_t list_word) {
    return test::extents_of(entries(table_word), c_.at(list_word));
  }
  void check() {
    std::string why;
    ASSERT_TRUE(hm_check_pools(area_.data(), &why)) << why;
  }
  std::vector<int32_t> snapshot() const { return area_; }

 private:
  static int32_t round_up(int32_t position) {
    return (position - 1 + cw::kDefaultGranule - 1) / cw::kDefaultGranule * cw::kDefaultGranule +
           1;
  }
  // Table at word 129; data after it, rounded; the first unit (1 for the
  // unit pool) or the data position (word and pair pools) starts the extent.
  void lay_out(int32_t table_word, int32_t entries, int32_t slots_word, int32_t list_word,
               int32_t base_word, int32_t data_words, int32_t first_unit) {
    c_[table_word] = c_[cw::kNextFree];
    c_[table_word + 1] = entries;
    ExtentTable table{word_at(area_.data(), c_[table_word]), c_.at(slots_word)};
    hm_extent_table_init(table, entries);
    hm_clear4(c_.at(list_word));
    c_[base_word] = round_up(c_[table_word] + 4 * entries);
    const int32_t entry = hm_list_take(table.entries, extw::kWords, table.slots[0],
                                       table.slots[1]);
    *hm_extent_word(table.entries, entry, extw::kLength) =
        first_unit != 0 ? c_[cw::kUnitCount] : data_words;
    *hm_extent_word(table.entries, entry, extw::kFirst) =
        first_unit != 0 ? first_unit : c_[base_word];
    hm_extent_link(table.entries, c_.at(list_word), entry, 0);
    c_[cw::kNextFree] = round_up(c_[base_word] + data_words);
  }

  std::vector<int32_t> area_;
  WordView c_;
};

TEST(UnitPool, OneWordTakesAWholeUnitAndGivesItBackWhole) {
  test::HostAreas host;
  PoolArea p(8, 128, 16, 256);
  int32_t a = 0, b = 0;
  ASSERT_EQ(hm_work_alloc(p.ctrl(), 1, a), 0);
  ASSERT_EQ(hm_work_alloc(p.ctrl(), 129, b), 0);  // two units
  EXPECT_EQ(a, p[cw::kUnitBase]);
  EXPECT_EQ(b, p[cw::kUnitBase] + 128);
  EXPECT_EQ(p[cw::kUnitList + listw::kTotal], 5);
  ASSERT_EQ(hm_work_free(p.ctrl(), 1, a), 0);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(p[cw::kUnitList + listw::kTotal], 6);
  EXPECT_EQ(p.runs(cw::kUnitTable, cw::kUnitList),
            (std::vector<std::pair<int32_t, int32_t>>{{1, 1}, {4, 5}}));
  ASSERT_EQ(hm_work_free(p.ctrl(), 129, b), 0);
  EXPECT_EQ(p.runs(cw::kUnitTable, cw::kUnitList),
            (std::vector<std::pair<int32_t, int32_t>>{{1, 8}}));
  p.check();
}

TEST(UnitPool, UnitSizeZeroFailsBothWays) {
  test::HostAreas host;
  PoolArea p(4, 128, 16, 256);
  p[cw::kUnitSize] = 0;
  int32_t a = 0;
  EXPECT_EQ(hm_work_alloc(p.ctrl(), 10, a), status::kFull);
  a = p[cw::kUnitBase];
  EXPECT_EQ(hm_work_free(p.ctrl(), 10, a), status::kFull);
  EXPECT_EQ(a, p[cw::kUnitBase]);
  EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{33151, 33642}));
}

TEST(PairPool, OddSizesComeAndGoAsTheNextEven) {
  test::HostAreas host;
  PoolArea p(4, 128, 16, 256);
  const int32_t base = p[cw::kPairBase];
  int32_t a = 0, b = 0;
  ASSERT_EQ(hm_pair_alloc(p.ctrl(), 3, a), 0);
  ASSERT_EQ(hm_pair_alloc(p.ctrl(), 5, b), 0);
  EXPECT_EQ(a, base);
  EXPECT_EQ(b, base + 4);
  EXPECT_EQ(p[cw::kPairList + listw::kTotal], 256 - 10);
  ASSERT_EQ(hm_pair_free(p.ctrl(), 3, a), 0);
  EXPECT_EQ(p[cw::kPairList + listw::kTotal], 256 - 6);
  ASSERT_EQ(hm_pair_free(p.ctrl(), 5, b), 0);
  EXPECT_EQ(p.runs(cw::kPairTable, cw::kPairList),
            (std::vector<std::pair<int32_t, int32_t>>{{base, 256}}));
  p.check();
}

// The three pools through one interface, for the cases they share.
struct PoolKind {
  const char *name;
  std::function<int32_t(int32_t *, int32_t, int32_t &)> alloc, free;
  int32_t table, list, alloc_code, free_code;
};
const PoolKind kKinds[] = {
    {"unit", hm_work_alloc, hm_work_free, cw::kUnitTable, cw::kUnitList, 33151, 33642},
    {"word", hm_small_alloc, hm_small_free, cw::kWordTable, cw::kWordList, 33128, 33627},
    {"pair", hm_pair_alloc, hm_pair_free, cw::kPairTable, cw::kPairList, 33063, 33617},
};

TEST(Pools, NeighboursFreedInEitherOrderLeaveOneExtent) {
  for (const PoolKind &k : kKinds) {
    for (bool low_first : {true, false}) {
      test::HostAreas host;
      PoolArea p(8, 128, 16, 256);
      int32_t a = 0, b = 0, c = 0;
      ASSERT_EQ(k.alloc(p.ctrl(), 20, a), 0) << k.name;
      ASSERT_EQ(k.alloc(p.ctrl(), 20, b), 0);
      ASSERT_EQ(k.alloc(p.ctrl(), 20, c), 0);  // keeps b apart from the tail
      ASSERT_EQ(k.free(p.ctrl(), 20, low_first ? a : b), 0);
      ASSERT_EQ(k.free(p.ctrl(), 20, low_first ? b : a), 0);
      EXPECT_EQ(p[k.list + listw::kCount], 2) << k.name;
      p.check();
      ASSERT_EQ(k.free(p.ctrl(), 20, c), 0);
      EXPECT_EQ(p[k.list + listw::kCount], 1) << k.name;
      p.check();
    }
  }
}

TEST(Pools, ExhaustionFailsWithTheRoutinesCode) {
  for (const PoolKind &k : kKinds) {
    test::HostAreas host;
    PoolArea p(2, 128, 16, 256, 2);  // 2 units, 256 pair words, 172 small words
    const auto before = p.snapshot();
    int32_t a = 0;
    EXPECT_EQ(k.alloc(p.ctrl(), 1000, a), status::kFull) << k.name;
    EXPECT_EQ(k.alloc(p.ctrl(), 0, a), status::kFull) << k.name;
    EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{k.alloc_code, k.alloc_code}));
    EXPECT_EQ(p.snapshot(), before) << k.name;
  }
}

// Give-backs that would corrupt the free list are refused and change
// nothing: outside the pool, a double free, a run reaching into a free run,
// and an address the pool never hands out.
TEST(Pools, UnsafeGiveBacksAreRefusedWithoutChange) {
  for (const PoolKind &k : kKinds) {
    test::HostAreas host;
    PoolArea p(8, 128, 16, 256);
    int32_t a = 0, b = 0, c = 0;
    ASSERT_EQ(k.alloc(p.ctrl(), 40, a), 0);
    ASSERT_EQ(k.alloc(p.ctrl(), 40, b), 0);
    ASSERT_EQ(k.alloc(p.ctrl(), 40, c), 0);
    const int32_t a0 = a, b0 = b;
    ASSERT_EQ(k.free(p.ctrl(), 40, b), 0);
    const auto before = p.snapshot();
    const bool units = k.table == cw::kUnitTable;
    std::vector<std::pair<int32_t, int32_t>> bad = {
        {b0, 40},                    // double free
        {a0, units ? 200 : 80},      // a, then on into the free b
        {a0 - (units ? 128 : 2), 40},  // just before the pool
        {1, 40},                     // the global words
        {kLength + 1000, 40},        // past the control area
        {a0, 0},                     // nothing
        {a0, -4},
    };
    if (k.table != cw::kWordTable) bad.push_back({a0 + 1, 40});  // inside an area
    int32_t refusals = 0;
    for (auto [addr, size] : bad) {
      int32_t x = addr;
      EXPECT_EQ(k.free(p.ctrl(), size, x), status::kFull) << k.name << " " << addr << "+" << size;
      EXPECT_EQ(x, addr);
      EXPECT_EQ(p.snapshot(), before) << k.name << " " << addr;
      ++refusals;
    }
    EXPECT_EQ(host.trace_codes(), std::vector<int32_t>(refusals, k.free_code));
    ASSERT_EQ(k.free(p.ctrl(), 40, a), 0);
    ASSERT_EQ(k.free(p.ctrl(), 40, c), 0);
    EXPECT_EQ(p[k.list + listw::kCount], 1);
    p.check();
  }
}

TEST(Pools, FullExtentTableRefusesAGiveBackWithoutChange) {
  test::HostAreas host;
  PoolArea p(8, 128, 2, 256);  // the pair pool has two extent entries
  int32_t a[4] = {};
  for (auto &x : a) ASSERT_EQ(hm_pair_alloc(p.ctrl(), 8, x), 0);
  int32_t first = a[0];
  ASSERT_EQ(hm_pair_free(p.ctrl(), 8, first), 0);  // entries: a0 and the tail
  const auto before = p.snapshot();
  int32_t third = a[2];
  EXPECT_EQ(hm_pair_free(p.ctrl(), 8, third), status::kFull);
  EXPECT_EQ(third, a[2]);
  EXPECT_EQ(p.snapshot(), before);
  EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{33617}));
  int32_t second = a[1];
  ASSERT_EQ(hm_pair_free(p.ctrl(), 8, second), 0);  // merges, needs no entry
  ASSERT_EQ(hm_pair_free(p.ctrl(), 8, a[2]), 0);
  p.check();
}

// Random takes and give-backs against a set of free units or words: every
// take must land where first fit over the model lands.
TEST(Pools, RandomTakesAndGiveBacksMatchTheSetModel) {
  std::mt19937 rng(4711);
  for (const PoolKind &k : kKinds) {
    test::HostAreas host;
    PoolArea p(40, 128, 40, 512, 6);  // word pool: 516 words, 6 entries
    const bool units = k.table == cw::kUnitTable;
    const bool pairs = k.table == cw::kPairTable;
    auto to_unit = [&](int32_t address) {
      return units ? (address - p[cw::kUnitBase]) / 128 + 1 : address;
    };
    test::FreeModel model;
    for (auto [f, len] : p.runs(k.table, k.list)) model.add(f, len);
    std::vector<std::pair<int32_t, int32_t>> held;  // (address, size asked)
    int32_t refused = 0;
    for (int32_t step = 0; step < 1500; ++step) {
      if (held.empty() || rng() % 2 == 0) {
        const int32_t size = 1 + static_cast<int32_t>(rng() % (units ? 600 : 40));
        const int32_t n = units ? (size + 127) / 128 : pairs ? (size + 1) / 2 * 2 : size;
        int32_t want = 0, got = 0;
        const bool fits = model.fit(n, want);
        ASSERT_EQ(k.alloc(p.ctrl(), size, got), fits ? 0 : status::kFull) << k.name;
        if (fits) {
          ASSERT_EQ(to_unit(got), want) << k.name << " step " << step;
          held.emplace_back(got, size);
        }
      } else {
        const size_t i = rng() % held.size();
        auto [address, size] = held[i];
        const int32_t n = units ? (size + 127) / 128 : pairs ? (size + 1) / 2 * 2 : size;
        const auto before = p.snapshot();
        int32_t x = address;
        const int32_t rc = k.free(p.ctrl(), size, x);
        if (rc == status::kFull) {  // only when the table is full
          ASSERT_EQ(p[k.table + 2], 0) << k.name;
          ASSERT_EQ(p.snapshot(), before);
          ++refused;
        } else {
          ASSERT_EQ(rc, 0);
          ASSERT_EQ(x, 0);
          model.add(to_unit(address), n);
          held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
      ASSERT_EQ(p.runs(k.table, k.list), model.runs()) << k.name << " step " << step;
      p.check();
    }
    if (k.table == cw::kWordTable) {
      EXPECT_GT(refused, 0);  // six entries: the word pool's table fills
    }
  }
}

}  // namespace
}  // namespace tessera
