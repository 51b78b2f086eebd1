// Extent lists against a set-of-free-records model: long random runs of add,
// first fit, take one, pop and copy with the list and table checkers after
// every step, and the merge and refusal cases one by one.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "catalogue/extent_list.h"
#include "catalogue/invariants.h"
#include "common/status.h"
#include "control/control_words.h"
#include "test_support/host.h"
#include "catalogue/extent_model.h"

namespace tessera {
namespace {

using Runs = std::vector<std::pair<int32_t, int32_t>>;

// A table of `capacity` entries with two lists sharing it, as a matrix's
// used and reserved lists do.
struct Table {
  std::vector<int32_t> entries;
  int32_t slots[2] = {};
  int32_t list[4] = {};
  int32_t other[4] = {};

  explicit Table(int32_t capacity) : entries(4 * capacity + 4, -9) {
    hm_extent_table_init(table(), capacity);
  }
  int32_t capacity() const { return static_cast<int32_t>(entries.size() / 4) - 1; }
  ExtentTable table() { return ExtentTable{entries.data(), slots}; }

  int32_t add(int32_t length, int32_t first) {
    int32_t pred = hm_extent_locate(entries.data(), list, first, list[listw::kFirst]);
    EXPECT_GE(pred, 0);
    EXPECT_FALSE(hm_extent_overlaps(entries.data(), list, length, first, pred));
    return hm_extent_add(table(), list, length, first, pred);
  }
  Runs runs() const { return test::extents_of(entries.data(), list); }
  void check() const {
    std::string why;
    const int32_t *lists[] = {list, other};
    ASSERT_TRUE(hm_check_extent_table(entries.data(), capacity(), slots, lists, 2, &why))
        << why;
  }
  // Everything a refused operation must leave alone.
  std::vector<int32_t> snapshot() const {
    std::vector<int32_t> s(entries);
    s.insert(s.end(), {slots[0], slots[1], list[0], list[1], list[2], list[3]});
    return s;
  }
};

TEST(ExtentAdd, MergeCasesAndEntryUse) {
  Table t(8);
  ASSERT_EQ(t.add(5, 10), 0);  // into an empty list
  ASSERT_EQ(t.add(5, 30), 0);  // after the last, apart
  ASSERT_EQ(t.slots[0], 6);
  ASSERT_EQ(t.add(3, 15), 0);  // onto the end of the first
  EXPECT_EQ(t.runs(), (Runs{{10, 8}, {30, 5}}));
  ASSERT_EQ(t.add(2, 28), 0);  // onto the front of the next
  EXPECT_EQ(t.runs(), (Runs{{10, 8}, {28, 7}}));
  ASSERT_EQ(t.add(2, 35), 0);  // onto the end of the last
  ASSERT_EQ(t.add(4, 6), 0);   // onto the front of the first
  EXPECT_EQ(t.runs(), (Runs{{6, 12}, {28, 9}}));
  EXPECT_EQ(t.slots[0], 6);
  // Closing the gap between both neighbours frees one of their entries.
  ASSERT_EQ(t.add(10, 18), 0);
  EXPECT_EQ(t.runs(), (Runs{{6, 31}}));
  EXPECT_EQ(t.slots[0], 7);
  EXPECT_EQ(t.list[listw::kTotal], 31);
  t.check();
}

TEST(ExtentAdd, NeighboursFreedInEitherOrderLeaveOneExtent) {
  for (bool low_first : {true, false}) {
    Table t(4);
    ASSERT_EQ(t.add(3, low_first ? 100 : 103), 0);
    ASSERT_EQ(t.add(3, low_first ? 103 : 100), 0);
    EXPECT_EQ(t.runs(), (Runs{{100, 6}}));
    EXPECT_EQ(t.slots[0], 3);
    t.check();
  }
}

TEST(ExtentAdd, FullTableRefusesWithoutChangeButStillMerges) {
  Table t(2);
  ASSERT_EQ(t.add(2, 10), 0);
  ASSERT_EQ(t.add(2, 20), 0);
  const auto before = t.snapshot();
  int32_t pred = hm_extent_locate(t.entries.data(), t.list, 15, 0);
  EXPECT_EQ(hm_extent_add(t.table(), t.list, 2, 15, pred), status::kFull);
  EXPECT_EQ(t.snapshot(), before);
  pred = hm_extent_locate(t.entries.data(), t.list, 0, 0);
  EXPECT_EQ(hm_extent_add(t.table(), t.list, 3, 0, pred), status::kFull);
  EXPECT_EQ(t.snapshot(), before);
  EXPECT_EQ(t.add(8, 12), 0);  // closes the gap: needs no entry
  EXPECT_EQ(t.runs(), (Runs{{10, 12}}));
  t.check();
}

TEST(ExtentLocate, PlacesRecordsAndSurvivesStaleHints) {
  Table t(4);
  ASSERT_EQ(t.add(5, 10), 0);
  ASSERT_EQ(t.add(5, 30), 0);
  const int32_t e10 = t.list[listw::kFirst], e30 = t.list[listw::kLast];
  const int32_t *x = t.entries.data();
  EXPECT_EQ(hm_extent_locate(x, t.list, 3, e10), 0);
  EXPECT_EQ(hm_extent_locate(x, t.list, 14, e10), -1);
  EXPECT_EQ(hm_extent_locate(x, t.list, 15, e10), e10);
  EXPECT_EQ(hm_extent_locate(x, t.list, 34, e10), -1);
  EXPECT_EQ(hm_extent_locate(x, t.list, 99, e10), e30);
  // A hint past the record, and hint 0, give the same answers.
  EXPECT_EQ(hm_extent_locate(x, t.list, 3, e30), 0);
  EXPECT_EQ(hm_extent_locate(x, t.list, 12, e30), -1);
  EXPECT_EQ(hm_extent_locate(x, t.list, 20, 0), e10);
  Table empty(1);
  EXPECT_EQ(hm_extent_locate(empty.entries.data(), empty.list, 7, 0), 0);
  // A run that starts free but reaches into the next extent overlaps.
  EXPECT_TRUE(hm_extent_overlaps(x, t.list, 6, 25, e10));
  EXPECT_FALSE(hm_extent_overlaps(x, t.list, 5, 25, e10));
  EXPECT_TRUE(hm_extent_overlaps(x, t.list, 8, 3, 0));
}

TEST(ExtentFit, FirstLongEnoughNotBestAndExactFitFreesEntry) {
  Table t(4);
  ASSERT_EQ(t.add(2, 0), 0);
  ASSERT_EQ(t.add(5, 10), 0);
  ASSERT_EQ(t.add(3, 20), 0);
  int32_t first = -1;
  ASSERT_TRUE(hm_extent_fit(t.table(), t.list, 3, first));
  EXPECT_EQ(first, 10);  // the 5 comes before the exact 3
  EXPECT_EQ(t.runs(), (Runs{{0, 2}, {13, 2}, {20, 3}}));
  ASSERT_TRUE(hm_extent_fit(t.table(), t.list, 2, first));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(t.slots[0], 2);
  EXPECT_EQ(t.list[listw::kTotal], 5);
  const auto before = t.snapshot();
  EXPECT_FALSE(hm_extent_fit(t.table(), t.list, 4, first));
  EXPECT_FALSE(hm_extent_fit(t.table(), t.list, 0, first));
  EXPECT_EQ(t.snapshot(), before);
  t.check();
}

TEST(ExtentCopy, RefusesUpFrontWhenTheNewTableIsShort) {
  test::HostAreas host;
  Table old(6);
  for (int32_t i = 0; i < 4; ++i) ASSERT_EQ(old.add(1, 10 * i), 0);
  Table small(3);
  const auto before = small.snapshot();
  EXPECT_EQ(hm_extent_copy_list(old.entries.data(), old.list, small.table(), small.list),
            status::kFull);
  EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{32654}));
  EXPECT_EQ(small.snapshot(), before);
  Table big(4);
  ASSERT_EQ(hm_extent_copy_list(old.entries.data(), old.list, big.table(), big.list), 0);
  EXPECT_EQ(big.runs(), old.runs());
  big.check();
}

// Random add / fit / take one / pop / copy against the set model. Records
// 0..199 and a 24-entry table, so the table fills now and then and refusals
// are exercised too.
TEST(ExtentList, RandomOperationsMatchTheSetModel) {
  test::HostAreas host;
  std::mt19937 rng(20261207);
  for (int32_t round = 0; round < 4; ++round) {
    Table t(24);
    test::FreeModel model;
    int32_t refused = 0, fits = 0;
    for (int32_t step = 0; step < 3000; ++step) {
      const int32_t op = static_cast<int32_t>(rng() % 10);
      if (op < 5) {  // add a run that is not free yet
        const int32_t first = static_cast<int32_t>(rng() % 200);
        const int32_t length = 1 + static_cast<int32_t>(rng() % 6);
        int32_t pred = hm_extent_locate(t.entries.data(), t.list, first,
                                        static_cast<int32_t>(rng() % 3 == 0
                                                                 ? t.list[listw::kLast]
                                                                 : t.list[listw::kFirst]));
        const bool overlaps = hm_extent_overlaps(t.entries.data(), t.list, length, first, pred);
        ASSERT_EQ(overlaps, model.any_free(first, length)) << step;
        if (overlaps) continue;
        const auto before = t.snapshot();
        const int32_t rc = hm_extent_add(t.table(), t.list, length, first, pred);
        if (rc == status::kFull) {
          ASSERT_EQ(t.snapshot(), before);
          ++refused;
          continue;
        }
        ASSERT_EQ(rc, 0);
        const int32_t holder_first = *hm_extent_word(t.entries.data(), pred, extw::kFirst);
        const int32_t holder_length = *hm_extent_word(t.entries.data(), pred, extw::kLength);
        ASSERT_TRUE(holder_first <= first && first + length <= holder_first + holder_length)
            << "pred does not hold the run";
        model.add(first, length);
      } else if (op < 7) {
        const int32_t n = 1 + static_cast<int32_t>(rng() % 8);
        int32_t got = -1, want = -1;
        const bool ok = hm_extent_fit(t.table(), t.list, n, got);
        ASSERT_EQ(ok, model.fit(n, want));
        if (ok) {
          ASSERT_EQ(got, want);
          ++fits;
        }
      } else if (op < 8) {
        if (model.free.empty()) continue;
        ASSERT_EQ(hm_extent_take_one(t.table(), t.list), *model.free.begin());
        model.free.erase(model.free.begin());
      } else if (op < 9) {
        if (model.free.empty()) continue;
        const auto run = model.runs().front();
        int32_t length = 0, first = 0;
        hm_extent_pop(t.table(), t.list, length, first);
        ASSERT_EQ(std::make_pair(first, length), run);
        for (int32_t r = first; r < first + length; ++r) model.free.erase(r);
      } else {
        Table copy(24);
        ASSERT_EQ(hm_extent_copy_list(t.entries.data(), t.list, copy.table(), copy.list), 0);
        ASSERT_EQ(copy.runs(), t.runs());
        copy.check();
      }
      ASSERT_EQ(t.runs(), model.runs()) << "step " << step;
      t.check();
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(fits, 200);
  }
}

}  // namespace
}  // namespace tessera
