// The block grid numbering, the block index past its first splits (small
// records: L = 128, so a node holds q = 60 entries) checked against a
// std::map and a structural walk, and the traversal cursors over every
// stored block in position order.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "common/status.h"
#include "control/record_io.h"
#include "test_support/host.h"
#include "transfer/block_codes.h"
#include "transfer/record_faults.h"
#include "transfer/transfer_fixture.h"

namespace tessera {
namespace {

using test::Shape;
using test::TransferArea;

constexpr int32_t kL = 128;
constexpr int32_t kQ = (kL - 7) / 2;

TEST(BlockGrid, PositionsRunHyperblockByHyperblockAndInvert) {
  test::HostAreas host;
  // 11 x 7 blocks in hyperblocks of 3: partial last hyperblock row and column.
  Shape s;
  s.m = 11 * 4 - 2;
  s.n = 7 * 4 - 1;
  s.nb = 4;
  s.b1 = 3;
  TransferArea a(kL, 2, s);
  const int32_t nbr = 11, nbc = 7, b1 = 3;
  int32_t expect = 0;
  for (int32_t hj = 1; (hj - 1) * b1 < nbc; ++hj)
    for (int32_t hi = 1; (hi - 1) * b1 < nbr; ++hi)
      for (int32_t q = 1; q <= b1 && (hj - 1) * b1 + q <= nbc; ++q)
        for (int32_t r = 1; r <= b1 && (hi - 1) * b1 + r <= nbr; ++r) {
          ++expect;
          const int32_t bi = (hi - 1) * b1 + r, bj = (hj - 1) * b1 + q;
          ASSERT_EQ(hm_block_position(a.ctrl(), a.D(), bi, bj), expect) << bi << "," << bj;
          int32_t ui = 0, uj = 0, ur = 0, uq = 0;
          hm_block_indices(a.ctrl(), a.D(), expect, ui, uj, ur, uq);
          ASSERT_EQ(ui, bi);
          ASSERT_EQ(uj, bj);
          ASSERT_EQ(ur, r);
          ASSERT_EQ(uq, q);
        }
  EXPECT_EQ(expect, a.d()[dw::kGridBlocks]);

  int32_t kind = 0, rows = 0, cols = 0;
  hm_block_shape(a.ctrl(), a.D(), 10, 6, kind, rows, cols);
  EXPECT_EQ(kind, kKindBlock);
  hm_block_shape(a.ctrl(), a.D(), 10, 7, kind, rows, cols);
  EXPECT_EQ(kind, kKindRightEdge);
  EXPECT_EQ(rows, 4);
  EXPECT_EQ(cols, 3);
  hm_block_shape(a.ctrl(), a.D(), 11, 1, kind, rows, cols);
  EXPECT_EQ(kind, kKindBottomEdge);
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(cols, 4);
  hm_block_shape(a.ctrl(), a.D(), 11, 7, kind, rows, cols);
  EXPECT_EQ(kind, kKindBlock);
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(cols, 3);
}

// ---- the index ----

// Keys up to kKeys over a grid that holds them; key k names record
// base + k of a run the matrix owns (a node refuses records it does not).
constexpr int32_t kKeys = 20000;
Shape wide_grid() {
  Shape s;
  s.m = s.n = 1200;  // 150 x 150 blocks of 8
  return s;
}

int32_t insert(TransferArea &a, int32_t base, int32_t key) {
  int32_t rec = -1;
  EXPECT_EQ(hm_index_find(a.ctrl(), a.D(), key, rec), 0);
  EXPECT_EQ(rec, 0);
  return hm_index_insert(a.ctrl(), a.D(), key, base + key);
}

// A node by record, as a copy of its words 1 .. 7 + 2 q.
std::vector<int32_t> node(TransferArea &a, int32_t record) {
  int32_t pos = 0;
  EXPECT_EQ(hm_index_node(a.ctrl(), a.D(), record, 1, 0, pos), 0);
  return std::vector<int32_t>(a.data(pos), a.data(pos) + 7 + 2 * kQ);
}
int32_t count(const std::vector<int32_t> &n) { return n[idxw::kCount - 1]; }
int32_t key(const std::vector<int32_t> &n, int32_t i) { return n[idxw::key_word(i) - 1]; }
int32_t value(const std::vector<int32_t> &n, int32_t i) { return n[idxw::value_word(i) - 1]; }
int32_t child(const std::vector<int32_t> &n, int32_t i) {
  return i == 0 ? n[idxw::kChild0 - 1] : value(n, i);
}

// Walks the tree: every node within capacity, keys ascending, separators
// equal to the smallest key below them, leaves all at the same depth;
// then the leaf chain both ways. Returns the pairs in chain order.
struct Walk {
  int32_t nodes = 0;
  std::vector<int32_t> leaves;
};
int32_t visit(TransferArea &a, int32_t record, int32_t depth, Walk &w) {
  const std::vector<int32_t> n = node(a, record);
  ++w.nodes;
  EXPECT_LE(count(n), kQ);
  if (n[idxw::kLeaf - 1] == 1) {
    EXPECT_EQ(depth, a.d()[dw::kIndexHeight]);
    EXPECT_GE(count(n), 1);
    for (int32_t i = 2; i <= count(n); ++i) { EXPECT_LT(key(n, i - 1), key(n, i)); }
    w.leaves.push_back(record);
    return key(n, 1);
  }
  EXPECT_GE(count(n), 1);
  const int32_t smallest = visit(a, child(n, 0), depth + 1, w);
  for (int32_t i = 1; i <= count(n); ++i) {
    if (i >= 2) { EXPECT_LT(key(n, i - 1), key(n, i)); }
    EXPECT_EQ(visit(a, child(n, i), depth + 1, w), key(n, i));
  }
  return smallest;
}
std::map<int32_t, int32_t> check_index(TransferArea &a) {
  Walk w;
  std::map<int32_t, int32_t> seen;
  if (a.d()[dw::kIndexRoot] == 0) return seen;
  visit(a, a.d()[dw::kIndexRoot], 1, w);
  EXPECT_EQ(w.nodes, a.d()[dw::kIndexNodes]);
  int32_t prev = 0, at = 0;
  for (int32_t rec = w.leaves.front(); rec != 0; ++at) {
    const std::vector<int32_t> n = node(a, rec);
    EXPECT_EQ(n[idxw::kPrevLeaf - 1], prev);
    EXPECT_LT(at, static_cast<int32_t>(w.leaves.size()));
    if (at < static_cast<int32_t>(w.leaves.size())) { EXPECT_EQ(rec, w.leaves[at]); }
    for (int32_t i = 1; i <= count(n); ++i) {
      if (!seen.empty()) { EXPECT_LT(seen.rbegin()->first, key(n, i)); }
      seen[key(n, i)] = value(n, i);
    }
    prev = rec;
    rec = n[idxw::kNextLeaf - 1];
  }
  EXPECT_EQ(at, static_cast<int32_t>(w.leaves.size()));
  return seen;
}

TEST(BlockIndex, SplitsAndRedistributionsMoveTheStatedCounts) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(kL, 8, wide_grid());
  const int32_t base = a.own(kKeys + 1);
  auto insert = [&](TransferArea &area, int32_t k) { return tessera::insert(area, base, k); };
  int32_t rec = -1;
  ASSERT_EQ(hm_index_find(a.ctrl(), a.D(), 5, rec), 0);  // empty: nothing read
  EXPECT_EQ(rec, 0);
  EXPECT_EQ(faults.reads(), 0);

  for (int32_t k = 10; k <= 10 * kQ; k += 10) { ASSERT_EQ(insert(a, k), 0); }
  EXPECT_EQ(a.d()[dw::kIndexHeight], 1);
  ASSERT_EQ(insert(a, 10 * kQ + 10), 0);  // the root leaf splits
  EXPECT_EQ(a.d()[dw::kIndexHeight], 2);
  EXPECT_EQ(a.d()[dw::kIndexNodes], 3);
  std::vector<int32_t> root = node(a, a.d()[dw::kIndexRoot]);
  ASSERT_EQ(count(root), 1);
  EXPECT_EQ(count(node(a, child(root, 0))), (kQ + 2) / 2);
  EXPECT_EQ(count(node(a, child(root, 1))), kQ + 1 - (kQ + 2) / 2);
  const int32_t sep = key(root, 1);

  // Fill the right leaf, then the left one, then one more into the left:
  // two full leaves become three.
  for (int32_t k = sep + 1; count(node(a, child(root, 1))) < kQ; ++k)
    if (k % 10 != 0) { ASSERT_EQ(insert(a, k), 0); }
  for (int32_t k = 11; count(node(a, child(root, 0))) < kQ; ++k)
    if (k % 10 != 0) { ASSERT_EQ(insert(a, k), 0); }
  ASSERT_EQ(insert(a, sep - 5), 0);  // into the full left leaf
  root = node(a, a.d()[dw::kIndexRoot]);
  ASSERT_EQ(count(root), 2);
  const int32_t a1 = (2 * kQ + 3) / 3, a2 = (2 * kQ + 2 - a1) / 2;
  EXPECT_EQ(count(node(a, child(root, 0))), a1);
  EXPECT_EQ(count(node(a, child(root, 1))), a2);
  EXPECT_EQ(count(node(a, child(root, 2))), 2 * kQ + 1 - a1 - a2);
  EXPECT_EQ(a.d()[dw::kIndexNodes], 4);

  // Fill the last leaf; one more moves entries to its left sibling.
  for (int32_t k = kKeys / 2; count(node(a, child(root, 2))) < kQ; ++k) { ASSERT_EQ(insert(a, k), 0); }
  const int32_t left_before = count(node(a, child(root, 1)));
  ASSERT_EQ(insert(a, kKeys), 0);
  root = node(a, a.d()[dw::kIndexRoot]);
  ASSERT_EQ(count(root), 2);
  const int32_t T = left_before + kQ + 1;
  EXPECT_EQ(count(node(a, child(root, 1))), T / 2);
  EXPECT_EQ(count(node(a, child(root, 2))), T - T / 2);
  EXPECT_EQ(key(root, 2), key(node(a, child(root, 2)), 1));
  check_index(a);
}

TEST(BlockIndex, RandomInsertionsMatchAMapThroughInteriorRootSplits) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(kL, 12, wide_grid());
  const int32_t base = a.own(kKeys + 1);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> pick(1, kKeys);
  std::map<int32_t, int32_t> model;
  int32_t calls = 0;
  while (model.size() < 15000) {
    const int32_t k = pick(rng);
    int32_t rec = -1;
    ASSERT_EQ(hm_index_find(a.ctrl(), a.D(), k, rec), 0);
    if (model.count(k) != 0) {
      ASSERT_EQ(rec, model[k]);
      continue;
    }
    ASSERT_EQ(rec, 0);
    ASSERT_EQ(hm_index_insert(a.ctrl(), a.D(), k, base + k), 0);
    ++calls;
    model[k] = base + k;
    if (model.size() % 5000 == 0) { ASSERT_EQ(check_index(a), model); }
  }
  EXPECT_GE(a.d()[dw::kIndexHeight], 3);
  EXPECT_EQ(a.d()[dw::kIndexEntries], calls);
  EXPECT_EQ(check_index(a), model);
  for (int32_t k = 0; k < 2000; ++k) {
    const int32_t probe = pick(rng);
    int32_t rec = -1;
    ASSERT_EQ(hm_index_find_read(a.ctrl(), a.D(), probe, rec), 0);
    ASSERT_EQ(rec, model.count(probe) != 0 ? model[probe] : 0);
  }
}

TEST(BlockIndex, CorruptNodeCountIsRefusedBeforeUse) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(kL, 4, Shape{});
  const int32_t base = a.own(kQ + 1);
  for (int32_t k = 1; k <= kQ + 1; ++k) { ASSERT_EQ(insert(a, base, k), 0); }
  const std::vector<int32_t> root = node(a, a.d()[dw::kIndexRoot]);
  // Write a leaf back with a count beyond what a node can hold, then drop
  // every resident copy so the next search reads it from its record.
  int32_t pos = 0;
  ASSERT_EQ(hm_index_node(a.ctrl(), a.D(), child(root, 1), 2, 0, pos), 0);
  a.data(pos)[idxw::kCount - 1] = kQ + 5;
  ASSERT_EQ(hm_fileset_write(a.ctrl(), a.P(), 1, child(root, 1), a.data(pos)), 0);
  a.header(pos, bufw::kModified) = 0;
  for (int32_t i = 0; i < 4; ++i) {
    int32_t p = 0;
    ASSERT_EQ(hm_buffer_take(a.ctrl(), p), 0);
    hm_buffer_pin(a.ctrl(), 0, p, 1, 0);
  }
  int32_t rec = 0;
  EXPECT_NE(hm_index_find(a.ctrl(), a.D(), kQ, rec), 0);
  EXPECT_EQ(host.trace_codes().back(), trace::kFindNode);
}

// ---- traversal ----

class Stored : public ::testing::Test {
 protected:
  Stored() : a(kL, 10, shape()) {}
  static Shape shape() {
    Shape s;
    s.nb = 8;  // 64 words a block
    s.m = s.n = 60 * 8;
    s.b1 = 7;  // a partial last hyperblock row and column
    return s;
  }
  void SetUp() override {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int32_t> pick(1, 60);
    while (blocks.size() < 1200) {
      const int32_t bi = pick(rng), bj = pick(rng);
      BlockRef ref;
      ASSERT_EQ(hm_locate_block_write(a.ctrl(), a.D(), bi, bj, FetchRequest{}, ref), 0);
      const int32_t p = hm_block_position(a.ctrl(), a.D(), bi, bj);
      a.data(ref.position)[ref.offset - 1] = p;
      blocks.insert(p);
    }
  }
  // The blocks one walk visits, with each one's first word checked.
  std::vector<int32_t> walk(int32_t first_mode, int32_t next_mode, int32_t bi, int32_t bj,
                            int32_t BI, int32_t BJ) {
    std::vector<int32_t> seen;
    BlockRef ref;
    FetchRequest pin;
    pin.pin_mode = 1;
    EXPECT_EQ(hm_block_traverse(a.ctrl(), a.D(), first_mode, bi, bj, BI, BJ, pin, ref), 0);
    while (ref.record >= 1 && seen.size() < 10000) {
      EXPECT_NE(ref.position, 0);
      const int32_t p = hm_block_position(a.ctrl(), a.D(), bi, bj);
      EXPECT_EQ(a.data(ref.position)[ref.offset - 1], p);
      EXPECT_EQ(ref.r, (bi - 1) % 7 + 1);
      EXPECT_EQ(ref.q, (bj - 1) % 7 + 1);
      EXPECT_EQ(a.header(ref.position, bufw::kPins), 1);
      hm_buffer_pin(a.ctrl(), a.D(), ref.position, 0, 0);
      seen.push_back(p);
      EXPECT_EQ(hm_block_traverse(a.ctrl(), a.D(), next_mode, bi, bj, BI, BJ, pin, ref), 0);
    }
    EXPECT_EQ(ref.position, 0);
    return seen;
  }
  int32_t pinned() {
    int32_t n = 0;
    for (int32_t x = 1; x <= a.c()[cw::kBufferCount]; ++x)
      n += a.header(hm_buffer_position(a.ctrl(), x), bufw::kPins) > 0 ? 1 : 0;
    return n;
  }

  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a;
  std::set<int32_t> blocks;
};

TEST_F(Stored, AscendingAndDescendingWalksVisitEveryBlockInPositionOrder) {
  ASSERT_GE(a.d()[dw::kIndexHeight], 2);
  const std::vector<int32_t> up = walk(3, 5, 1, 1, 60, 60);
  EXPECT_EQ(up, std::vector<int32_t>(blocks.begin(), blocks.end()));
  EXPECT_EQ(pinned(), 1);  // the ascending cursor's leaf
  BlockRef ref;
  int32_t bi = 0, bj = 0;
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 10, bi, bj, 0, 0, FetchRequest{}, ref), 0);
  EXPECT_EQ(a.d()[dw::kHeldBuffer], 0);
  EXPECT_EQ(pinned(), 0);

  const std::vector<int32_t> down = walk(7, 9, 60, 60, 1, 1);
  EXPECT_EQ(down, std::vector<int32_t>(blocks.rbegin(), blocks.rend()));
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 11, bi, bj, 0, 0, FetchRequest{}, ref), 0);
  EXPECT_EQ(pinned(), 0);
}

TEST_F(Stored, ExactSearchesStepsByOneAndLimits) {
  // Mode 2 on a stored and on an absent block; mode 4 from there.
  const int32_t first = *blocks.begin();
  int32_t bi = 0, bj = 0, r = 0, q = 0;
  hm_block_indices(a.ctrl(), a.D(), first, bi, bj, r, q);
  BlockRef ref;
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 2, bi, bj, 60, 60, FetchRequest{}, ref), 0);
  EXPECT_GE(ref.record, 1);
  int32_t absent = 1;
  while (blocks.count(absent) != 0) ++absent;
  hm_block_indices(a.ctrl(), a.D(), absent, bi, bj, r, q);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 2, bi, bj, 60, 60, FetchRequest{}, ref), 0);
  EXPECT_EQ(ref.record, 0);
  EXPECT_EQ(ref.position, 0);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 4, bi, bj, 60, 60, FetchRequest{}, ref), 0);
  EXPECT_EQ(ref.record >= 1, blocks.count(absent + 1) != 0);
  // Mode 8 from the first position runs off the grid.
  bi = bj = 1;
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 6, bi, bj, 1, 1, FetchRequest{}, ref), 0);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 8, bi, bj, 1, 1, FetchRequest{}, ref), 0);
  EXPECT_EQ(ref.record, -1);

  // One hyperblock's blocks: from its first block, limits at its last row
  // and column; the walk stops at the first block beyond them.
  const std::vector<int32_t> hyper = walk(3, 5, 8, 8, 14, 14);
  std::vector<int32_t> expect;
  for (int32_t p : blocks) {
    hm_block_indices(a.ctrl(), a.D(), p, bi, bj, r, q);
    if (bi >= 8 && bi <= 14 && bj >= 8 && bj <= 14) expect.push_back(p);
  }
  EXPECT_EQ(hyper, expect);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 10, bi, bj, 0, 0, FetchRequest{}, ref), 0);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 11, bi, bj, 0, 0, FetchRequest{}, ref), 0);
  EXPECT_EQ(pinned(), 0);
}

TEST_F(Stored, RefusedLeafReadsStopTheWalkWithTheStepCodes) {
  // Start a walk, then let no record be read any more: the step that needs
  // the next leaf from its record fails (blocks are fetched without a read).
  FetchRequest no_read;
  no_read.skip_read = 1;
  int32_t bi = 1, bj = 1;
  BlockRef ref;
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 3, bi, bj, 60, 60, no_read, ref), 0);
  test::faults_fail(test::DafOp::kRead, test::faults_calls(test::DafOp::kRead) + 1, true);
  int32_t ierr = 0, steps = 0;
  while (ierr == 0 && ref.record >= 1 && steps < 5000) {
    ierr = hm_block_traverse(a.ctrl(), a.D(), 5, bi, bj, 60, 60, no_read, ref);
    ++steps;
  }
  ASSERT_EQ(ierr, status::kRecordRead);
  std::vector<int32_t> codes = host.trace_codes();
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(codes[codes.size() - 2], trace::kStepForwardInner);
  EXPECT_EQ(codes.back(), trace::kStepForward);
  EXPECT_LT(steps, static_cast<int32_t>(blocks.size()));

  // A search that needs an unread leaf fails with the search code.
  host.trace[0] = 0;
  bi = bj = 60;
  ierr = hm_block_traverse(a.ctrl(), a.D(), 7, bi, bj, 1, 1, no_read, ref);
  if (ierr != 0) {
    EXPECT_EQ(host.trace_codes().back(), trace::kTraverseSearch);
  }
  // Finishing gives the cursors' leaves back.
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 10, bi, bj, 0, 0, no_read, ref), 0);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 11, bi, bj, 0, 0, no_read, ref), 0);
  EXPECT_EQ(pinned(), 0);
}

}  // namespace
}  // namespace tessera
