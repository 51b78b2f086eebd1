// Packed edge records: where the first blocks of an edge go, when a new
// record starts, and that no packed block is lost when the pool is so small
// that the current packed record's buffer is evicted again and again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "common/status.h"
#include "control/record_io.h"
#include "test_support/host.h"
#include "transfer/edge_records.h"
#include "transfer/record_faults.h"
#include "transfer/transfer_fixture.h"

namespace tessera {
namespace {

using test::Shape;
using test::TransferArea;

constexpr int32_t kL = 128;

// 8 x 8 blocks; the last block column has 4 columns and the last block row
// 4 rows, so right-edge and bottom-edge blocks are 32 words, two a record.
Shape edged() {
  Shape s;
  s.m = 8 * 8 - 4;
  s.n = 8 * 8 - 4;
  s.nb = 8;
  s.b1 = 3;
  return s;
}

BlockRef put(TransferArea &a, int32_t bi, int32_t bj) {
  BlockRef ref;
  EXPECT_EQ(hm_locate_block_write(a.ctrl(), a.D(), bi, bj, FetchRequest{}, ref), 0);
  return ref;
}

int32_t value(int32_t bi, int32_t bj, int32_t e) { return bi * 100000 + bj * 1000 + e; }

TEST(EdgeRecords, BlocksFillTheCurrentRecordThenStartANewOne) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(kL, 8, edged());
  const int32_t w = a.d()[dw::kRightEdgeSize];
  ASSERT_EQ(w, 32);
  ASSERT_EQ(a.d()[dw::kRightPerRecord], 2);

  const BlockRef b1 = put(a, 1, 8);
  EXPECT_EQ(b1.kind, kKindRightEdge);
  EXPECT_EQ(b1.rows, 8);
  EXPECT_EQ(b1.cols, 4);
  EXPECT_EQ(b1.offset, 1);
  EXPECT_EQ(b1.created, 1);
  EXPECT_EQ(a.d()[dw::kRightPacked], b1.record);
  EXPECT_EQ(a.d()[dw::kRightBuffer], b1.position);
  EXPECT_EQ(a.data(b1.position)[kL - 1], 1);
  EXPECT_EQ(a.data(b1.position)[kL - 2], hm_block_position(a.ctrl(), a.D(), 1, 8));
  EXPECT_EQ(a.d()[dw::kUpperSeen], 7);

  const BlockRef b2 = put(a, 2, 8);
  EXPECT_EQ(b2.record, b1.record);
  EXPECT_EQ(b2.offset, 1 + w);
  EXPECT_EQ(a.data(b1.position)[kL - 1], 2);
  EXPECT_EQ(a.data(b1.position)[kL - 3], hm_block_position(a.ctrl(), a.D(), 2, 8));

  const BlockRef again = put(a, 1, 8);  // already there: same place
  EXPECT_EQ(again.offset, 1);
  EXPECT_EQ(again.created, 0);

  const BlockRef b3 = put(a, 3, 8);  // the record is full
  EXPECT_NE(b3.record, b1.record);
  EXPECT_EQ(b3.offset, 1);
  EXPECT_EQ(a.d()[dw::kRightPacked], b3.record);
  // The full record became an ordinary class-3 buffer found by its record.
  EXPECT_EQ(hm_buffer_lookup(a.ctrl(), a.D(), bufw::kClassRightEdge, b1.record),
            hm_buffer_number(a.ctrl(), b1.position));
  EXPECT_EQ(a.header(b1.position, bufw::kModified), 1);

  const BlockRef bottom = put(a, 8, 2);
  EXPECT_EQ(bottom.kind, kKindBottomEdge);
  EXPECT_EQ(bottom.rows, 4);
  EXPECT_EQ(bottom.cols, 8);
  EXPECT_EQ(bottom.offset, 1);
  EXPECT_EQ(a.d()[dw::kBottomPacked], bottom.record);
  EXPECT_EQ(a.d()[dw::kLowerSeen], 6);

  // Closing hands the current record to the class-3 tree.
  ASSERT_EQ(hm_edge_close(a.ctrl(), a.D(), kKindRightEdge), 0);
  EXPECT_EQ(a.d()[dw::kRightPacked], 0);
  EXPECT_EQ(a.d()[dw::kRightBuffer], 0);
  EXPECT_EQ(hm_buffer_lookup(a.ctrl(), a.D(), bufw::kClassRightEdge, b3.record),
            hm_buffer_number(a.ctrl(), b3.position));
}

TEST(EdgeRecords, EvictedCurrentRecordReachesItsRecordAndStaysCurrent) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(kL, 2, edged());
  const BlockRef e = put(a, 1, 8);
  for (int32_t i = 0; i < 32; ++i) a.data(e.position)[i] = 500 + i;
  put(a, 1, 1);
  put(a, 2, 1);  // the current packed buffer goes
  EXPECT_EQ(a.d()[dw::kRightBuffer], 0);
  EXPECT_EQ(a.d()[dw::kRightPacked], e.record);
  std::vector<int32_t> rec(kL);
  ASSERT_EQ(hm_fileset_read(a.ctrl(), a.P(), 1, e.record, rec.data()), 0);
  EXPECT_EQ(rec[0], 500);
  EXPECT_EQ(rec[31], 531);
  EXPECT_EQ(rec[kL - 1], 1);

  // The next right-edge block still goes into that record.
  const BlockRef f = put(a, 2, 8);
  EXPECT_EQ(f.record, e.record);
  EXPECT_EQ(f.offset, 33);
  EXPECT_EQ(a.d()[dw::kRightBuffer], f.position);
  EXPECT_EQ(a.data(f.position)[0], 500);
  EXPECT_EQ(a.data(f.position)[kL - 1], 2);
}

// Every block of the grid, in random order, through a pool of two buffers;
// then every block read back, also through a walk. (Records of 256 words
// keep the 64 index entries in the root node, which needs no buffer.)
TEST(EdgeRecords, TinyPoolLosesNoPackedBlock) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(2 * kL, 2, edged());
  std::vector<std::pair<int32_t, int32_t>> order;
  for (int32_t bi = 1; bi <= 8; ++bi)
    for (int32_t bj = 1; bj <= 8; ++bj) order.emplace_back(bi, bj);
  std::mt19937 rng(11);
  std::shuffle(order.begin(), order.end(), rng);
  for (auto [bi, bj] : order) {
    const BlockRef r = put(a, bi, bj);
    for (int32_t e = 0; e < r.rows * r.cols; ++e) a.data(r.position)[r.offset - 1 + e] = value(bi, bj, e);
    // The current packed buffers are never in their lookup trees.
    for (int32_t cls : {bufw::kClassRightEdge, bufw::kClassBottomEdge}) {
      const int32_t cur = a.d()[cls == bufw::kClassRightEdge ? dw::kRightBuffer : dw::kBottomBuffer];
      const int32_t rec = a.d()[cls == bufw::kClassRightEdge ? dw::kRightPacked : dw::kBottomPacked];
      if (cur == 0) continue;
      EXPECT_EQ(a.header(cur, bufw::kClass), cls);
      EXPECT_EQ(a.header(cur, bufw::kRecord), rec);
      EXPECT_NE(hm_buffer_lookup(a.ctrl(), a.D(), cls, rec), hm_buffer_number(a.ctrl(), cur));
    }
  }
  std::shuffle(order.begin(), order.end(), rng);
  for (auto [bi, bj] : order) {
    BlockRef r;
    ASSERT_EQ(hm_locate_block_read(a.ctrl(), a.D(), bi, bj, FetchRequest{}, r), 0);
    ASSERT_GE(r.record, 1);
    for (int32_t e = 0; e < r.rows * r.cols; ++e)
      ASSERT_EQ(a.data(r.position)[r.offset - 1 + e], value(bi, bj, e)) << bi << "," << bj << " " << e;
  }
  int32_t bi = 1, bj = 1, seen = 0;
  BlockRef r;
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 3, bi, bj, 8, 8, FetchRequest{}, r), 0);
  while (r.record >= 1) {
    ++seen;
    int32_t kind = 0, rows = 0, cols = 0;
    hm_block_shape(a.ctrl(), a.D(), bi, bj, kind, rows, cols);
    EXPECT_EQ(r.kind, kind);
    EXPECT_EQ(a.data(r.position)[r.offset - 1 + rows * cols - 1], value(bi, bj, rows * cols - 1));
    ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 5, bi, bj, 8, 8, FetchRequest{}, r), 0);
  }
  EXPECT_EQ(seen, 64);
  ASSERT_EQ(hm_block_traverse(a.ctrl(), a.D(), 10, bi, bj, 8, 8, FetchRequest{}, r), 0);
}

TEST(EdgeRecords, SymmetricMatricesKeepEdgeBlocksInRecordsOfTheirOwn) {
  test::HostAreas host;
  test::RecordFaults faults;
  Shape s = edged();
  s.form = 1;
  TransferArea a(kL, 4, s);
  const BlockRef r = put(a, 1, 8);
  EXPECT_EQ(r.kind, kKindBlock);
  EXPECT_EQ(r.offset, 1);
  EXPECT_EQ(r.cols, 4);
  EXPECT_EQ(a.d()[dw::kRightPacked], 0);
}

TEST(EdgeRecords, GetOfAnAbsentPackedBlockFindsNothing) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(kL, 4, edged());
  put(a, 1, 8);
  BlockRef r;
  ASSERT_EQ(hm_locate_block_read(a.ctrl(), a.D(), 2, 8, FetchRequest{}, r), 0);
  EXPECT_EQ(r.record, 0);
  EXPECT_EQ(r.position, 0);
  EXPECT_EQ(r.offset, 0);
}

}  // namespace
}  // namespace tessera
