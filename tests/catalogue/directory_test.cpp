// The descriptor slots and the matrix directory, against independent models:
// a std::map of keys (ordered as signed words) for the tree, and the plain
// arithmetic of header slots.
#include "catalogue/directory.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/invariants.h"
#include "catalogue/space_invariants.h"
#include "catalogue/tree.h"
#include "common/status.h"
#include "space_fixture.h"

namespace tessera {
namespace {

using Key = std::array<int32_t, 4>;  // std::array compares int32_t as signed

struct Slot {
  int32_t record;
  int32_t offset;
};

class Directory : public ::testing::Test {
 protected:
  Directory() : f(setup()) {}
  static test::SpaceSetup setup() {
    test::SpaceSetup s;
    s.descriptors = 4;
    return s;
  }

  int32_t *ctrl() { return f.ctrl(); }
  WordView fs() { return f.fs(); }

  // A descriptor of the set holding `key` (the descriptor slot is reused).
  int32_t descriptor(const Key &key) {
    if (D == 0) D = f.new_matrix();
    WordView d(ctrl(), D);
    for (int32_t w = 0; w < 4; ++w) d[dw::kQualifier + w] = key[w];
    d[dw::kFileset] = f.P;
    return D;
  }

  int32_t enter(const Key &key, Slot &slot) {
    return hm_dir_enter(ctrl(), descriptor(key), slot.record, slot.offset);
  }

  int32_t node_word(int32_t node, int32_t w) { return *hm_dir_node_word(ctrl(), f.P, node, w); }

  // Keys of the tree in order, by its child links.
  std::vector<Key> in_order() {
    std::vector<Key> out;
    std::vector<int32_t> stack;
    int32_t n = fs()[fsw::kDirRoot];
    while ((n != 0 || !stack.empty()) && out.size() < 10000) {
      while (n != 0) {
        stack.push_back(n);
        n = node_word(n, treew::left(dirw::kLength));
      }
      n = stack.back();
      stack.pop_back();
      out.push_back({node_word(n, 1), node_word(n, 2), node_word(n, 3), node_word(n, 4)});
      n = node_word(n, treew::right(dirw::kLength));
    }
    return out;
  }

  test::SpaceFixture f;
  int32_t D = 0;
};

TEST_F(Directory, DescriptorSlotsAreTakenInOrderAndReused) {
  WordView c = f.control();
  std::vector<int32_t> handles(4);
  for (int32_t i = 0; i < 4; ++i) {
    ASSERT_EQ(hm_desc_alloc(ctrl(), handles[i]), 0);
    EXPECT_EQ(handles[i], c[cw::kDescArea1] + 128 * i);
  }
  int32_t extra = 0;
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_desc_alloc(ctrl(), extra), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), std::vector<int32_t>{32735});
  EXPECT_EQ(c[cw::kDescFree], 0);

  int32_t second = handles[1];
  hm_desc_free(ctrl(), second);
  EXPECT_EQ(second, 0);
  // Giving the same slot back twice must not put it on the free list twice.
  int32_t again = handles[1];
  hm_desc_free(ctrl(), again);
  EXPECT_EQ(c[cw::kDescFree], 1);
  ASSERT_EQ(hm_desc_alloc(ctrl(), extra), 0);
  EXPECT_EQ(extra, handles[1]);
  EXPECT_EQ(hm_desc_alloc(ctrl(), extra), status::kFull);
}

TEST_F(Directory, HeaderSlotsFollowEachOtherAndKilledSlotsAreReused) {
  // L = 2048 holds 16 headers a record: offsets 1, 129, ..., 1921. The first
  // header record is the first record of list A (record 3).
  Slot s{};
  std::vector<Slot> given;
  for (int32_t i = 0; i < 17; ++i) {
    ASSERT_EQ(enter({7, i, 0, 0}, s), 0);
    given.push_back(s);
  }
  for (int32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(given[i].record, 3);
    EXPECT_EQ(given[i].offset, 1 + 128 * i);
  }
  EXPECT_EQ(given[16].record, 4);
  EXPECT_EQ(given[16].offset, 1);
  EXPECT_EQ(fs()[fsw::kDirCount], 17);

  // Kill the fifth; the next matrix, whatever its name, gets its slot.
  descriptor({7, 4, 0, 0});
  ASSERT_EQ(hm_dir_remove(ctrl(), D), 0);
  EXPECT_EQ(hm_dir_lookup(ctrl(), f.P, Key{7, 4, 0, 0}.data()), 0);
  EXPECT_EQ(fs()[fsw::kReleasedCount], 1);
  ASSERT_EQ(enter({1, 99, 99, 99}, s), 0);
  EXPECT_EQ(s.record, given[4].record);
  EXPECT_EQ(s.offset, given[4].offset);
  EXPECT_EQ(fs()[fsw::kReleasedCount], 0);
  // Then the sequence goes on where it was.
  ASSERT_EQ(enter({1, 100, 0, 0}, s), 0);
  EXPECT_EQ(s.record, 4);
  EXPECT_EQ(s.offset, 129);

  std::string why;
  EXPECT_TRUE(hm_check_fileset_records(ctrl(), f.P, &why)) << why;
}

TEST(DirectoryShortRecords, AHeaderNeverRunsPastTheEndOfItsRecord) {
  // With L = 200 a header at offset 129 would need words 129-256.
  test::SpaceSetup s;
  s.record_length = 200;
  test::SpaceFixture f(s);
  const int32_t D = f.new_matrix();
  WordView d(f.ctrl(), D);
  Slot a{}, b{};
  d[dw::kName] = 1;
  ASSERT_EQ(hm_dir_enter(f.ctrl(), D, a.record, a.offset), 0);
  d[dw::kName] = 2;
  ASSERT_EQ(hm_dir_enter(f.ctrl(), D, b.record, b.offset), 0);
  EXPECT_EQ(a.offset, 1);
  EXPECT_EQ(b.offset, 1);
  EXPECT_NE(a.record, b.record);
}

TEST_F(Directory, RandomCreatesAndKillsMatchAMapModel) {
  std::mt19937 rng(12345);
  // Few distinct words, some with the top bit of the fourth byte set, so
  // keys collide, share prefixes and compare negative.
  const int32_t words[] = {0x41424344, 0x44434241, static_cast<int32_t>(0x80414243),
                           static_cast<int32_t>(0xC1000000), 0x20202020, 0};
  auto pick = [&] { return words[rng() % 6]; };
  std::map<Key, Slot> model;
  std::vector<Slot> released;  // header slots of killed matrices, oldest first
  const int32_t capacity = fs()[fsw::kNodeCapacity];

  for (int32_t step = 0; step < 600; ++step) {
    const bool create = model.empty() || rng() % 3 != 0;
    if (create) {
      const Key key{static_cast<int32_t>(rng() % 2), pick(), pick(), pick()};
      if (model.count(key) != 0) {
        EXPECT_NE(hm_dir_lookup(ctrl(), f.P, key.data()), 0);
        continue;
      }
      if (released.empty() && fs()[fsw::kNodeFree] == 0) continue;
      Slot s{};
      ASSERT_EQ(enter(key, s), 0) << step;
      if (!released.empty()) {
        EXPECT_EQ(s.record, released.front().record);
        EXPECT_EQ(s.offset, released.front().offset);
        released.erase(released.begin());
      }
      model[key] = s;
    } else {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      descriptor(it->first);
      ASSERT_EQ(hm_dir_remove(ctrl(), D), 0);
      released.push_back(it->second);
      model.erase(it);
    }

    ASSERT_EQ(fs()[fsw::kDirCount], static_cast<int32_t>(model.size()));
    ASSERT_EQ(fs()[fsw::kReleasedCount], static_cast<int32_t>(released.size()));
    std::vector<Key> expected;
    for (const auto &[key, slot] : model) expected.push_back(key);
    ASSERT_EQ(in_order(), expected) << step;
    std::string why;
    const NodeTable t{word_at(ctrl(), fs()[fsw::kNodePos]), dirw::kLength, 1, 4};
    ASSERT_TRUE(hm_check_tree(t, capacity, fs()[fsw::kDirCount], fs()[fsw::kDirRoot], &why))
        << step << ": " << why;
    for (const auto &[key, slot] : model) {
      const int32_t node = hm_dir_lookup(ctrl(), f.P, key.data());
      ASSERT_GE(node, 1);
      ASSERT_LE(node, capacity);
      EXPECT_EQ(node_word(node, dirw::kHeaderRecord), slot.record);
      EXPECT_EQ(node_word(node, dirw::kHeaderOffset), slot.offset);
    }
  }
  // No two matrices, living or killed, share a header slot.
  std::set<std::pair<int32_t, int32_t>> slots;
  for (const auto &[key, s] : model) EXPECT_TRUE(slots.insert({s.record, s.offset}).second);
  for (const Slot &s : released) EXPECT_TRUE(slots.insert({s.record, s.offset}).second);
  std::string why;
  EXPECT_TRUE(hm_check_fileset_records(ctrl(), f.P, &why)) << why;
}

TEST_F(Directory, NegativeNameWordsSortFirst) {
  Slot s{};
  ASSERT_EQ(enter({0, 0x64636261, 0, 0}, s), 0);                          // "abcd"
  ASSERT_EQ(enter({0, static_cast<int32_t>(0xE4636261), 0, 0}, s), 0);    // "abc\xE4"
  ASSERT_EQ(enter({0, 0x20202020, 0, 0}, s), 0);
  const std::vector<Key> order = in_order();
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(order[0][1], static_cast<int32_t>(0xE4636261));
  EXPECT_EQ(order[1][1], 0x20202020);
  EXPECT_EQ(order[2][1], 0x64636261);
}

TEST_F(Directory, OpenMarksAndDuplicateEntries) {
  Slot s{};
  ASSERT_EQ(enter({3, 1, 2, 3}, s), 0);
  const int32_t node = hm_dir_lookup(ctrl(), f.P, Key{3, 1, 2, 3}.data());
  EXPECT_EQ(node_word(node, dirw::kHandle), D);
  hm_dir_mark_closed(ctrl(), D);
  EXPECT_EQ(node_word(node, dirw::kHandle), 0);
  hm_dir_mark_open(ctrl(), D);
  EXPECT_EQ(node_word(node, dirw::kHandle), D);

  // A second entry of the same key is refused and its header slot kept.
  Slot dup{};
  f.host.trace[0] = 0;
  EXPECT_EQ(enter({3, 1, 2, 3}, dup), status::kMatrixExists);
  EXPECT_EQ(fs()[fsw::kDirCount], 1);
  EXPECT_EQ(fs()[fsw::kReleasedCount], 1);
  Slot next{};
  ASSERT_EQ(enter({3, 9, 9, 9}, next), 0);
  EXPECT_EQ(next.record, dup.record);
  EXPECT_EQ(next.offset, dup.offset);
}

TEST_F(Directory, CancelledEntryLeavesNoNodeAndKeepsItsHeaderSlot) {
  Slot a{}, b{};
  ASSERT_EQ(enter({0, 1, 0, 0}, a), 0);
  const int32_t first = D;
  ASSERT_EQ(enter({0, 2, 0, 0}, b), 0);
  ASSERT_EQ(hm_dir_cancel(ctrl(), D), 0);
  EXPECT_EQ(hm_dir_lookup(ctrl(), f.P, Key{0, 2, 0, 0}.data()), 0);
  EXPECT_EQ(fs()[fsw::kDirCount], 1);
  EXPECT_EQ(fs()[fsw::kReleasedCount], 1);

  // Cancelling on behalf of another handle leaves the entry alone.
  descriptor({0, 1, 0, 0});
  const int32_t node = hm_dir_lookup(ctrl(), f.P, Key{0, 1, 0, 0}.data());
  *hm_dir_node_word(ctrl(), f.P, node, dirw::kHandle) = first + 128;
  EXPECT_EQ(hm_dir_cancel(ctrl(), D), 0);
  EXPECT_NE(hm_dir_lookup(ctrl(), f.P, Key{0, 1, 0, 0}.data()), 0);

  Slot c{};
  ASSERT_EQ(enter({0, 3, 0, 0}, c), 0);
  EXPECT_EQ(c.record, b.record);
  EXPECT_EQ(c.offset, b.offset);
}

TEST_F(Directory, FullNodeTableAndDamagedHeadsAreRefused) {
  fs()[fsw::kNodeFree] = 0;
  Slot s{};
  f.host.trace[0] = 0;
  EXPECT_EQ(enter({0, 1, 0, 0}, s), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), std::vector<int32_t>{32174});
  EXPECT_EQ(fs()[fsw::kDirCount], 0);

  // A root read back from a file that lies outside the node table.
  fs()[fsw::kNodeFree] = 1;
  fs()[fsw::kDirRoot] = fs()[fsw::kNodeCapacity] + 1;
  EXPECT_EQ(enter({0, 2, 0, 0}, s), status::kFull);
  EXPECT_EQ(hm_dir_lookup(ctrl(), f.P, Key{0, 2, 0, 0}.data()), 0);
}

TEST_F(Directory, DamagedTreeLinksAreNeverFollowed) {
  Slot s{};
  for (int32_t i = 1; i <= 3; ++i) ASSERT_EQ(enter({0, i, 0, 0}, s), 0);
  const int32_t root = fs()[fsw::kDirRoot];
  int32_t *left = hm_dir_node_word(ctrl(), f.P, root, treew::left(dirw::kLength));
  const int32_t saved = *left;
  const int32_t nodes_free = fs()[fsw::kNodeFree];

  *left = fs()[fsw::kNodeCapacity] + 3;  // outside the table
  EXPECT_EQ(hm_dir_lookup(ctrl(), f.P, Key{0, 1, 0, 0}.data()), 0);
  EXPECT_EQ(enter({0, 9, 0, 0}, s), status::kFull);
  *left = root;  // a cycle
  EXPECT_EQ(enter({0, 9, 0, 0}, s), status::kFull);
  descriptor({0, 2, 0, 0});
  EXPECT_EQ(hm_dir_remove(ctrl(), D), 0);  // not found: nothing removed
  EXPECT_EQ(fs()[fsw::kDirCount], 3);
  EXPECT_EQ(fs()[fsw::kNodeFree], nodes_free);

  *left = saved;
  EXPECT_NE(hm_dir_lookup(ctrl(), f.P, Key{0, 1, 0, 0}.data()), 0);
  // A free list that leaves the table.
  *hm_dir_node_word(ctrl(), f.P, fs()[fsw::kNodeFirstFree], dirw::kReleasedLink) = -4;
  EXPECT_EQ(enter({0, 9, 0, 0}, s), status::kFull);
}

}  // namespace
}  // namespace tessera
