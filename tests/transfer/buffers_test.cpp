// The buffer pool on a small control area: replacement of the least
// recently used buffer with write-back, gets that take nothing, pin
// operations that must change nothing, a pool with every buffer pinned, the
// replacement states, and a write-back that fails during an eviction.
#include <gtest/gtest.h>

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

// Put value v into every element of block (bi, bj).
BlockRef put(TransferArea &a, int32_t bi, int32_t bj, int32_t v) {
  BlockRef ref;
  EXPECT_EQ(hm_locate_block_write(a.ctrl(), a.D(), bi, bj, FetchRequest{}, ref), 0);
  for (int32_t i = 0; i < ref.rows * ref.cols; ++i) a.data(ref.position)[ref.offset - 1 + i] = v;
  return ref;
}

// The record as it is on file.
std::vector<int32_t> on_file(TransferArea &a, int32_t record) {
  std::vector<int32_t> r(a.L());
  EXPECT_EQ(hm_fileset_read(a.ctrl(), a.P(), 1, record, r.data()), 0);
  return r;
}

TEST(BufferPool, LeastRecentlyUsedBlockIsWrittenBackAndReadAgain) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 2, Shape{});
  const BlockRef p = put(a, 1, 1, 11);
  put(a, 2, 1, 22);
  EXPECT_EQ(a.free_count(), 0);
  put(a, 1, 2, 33);  // evicts (1, 1)

  EXPECT_EQ(hm_buffer_lookup(a.ctrl(), a.D(), bufw::kClassBlock, hm_block_position(a.ctrl(), a.D(), 1, 1)), 0);
  const std::vector<int32_t> rec = on_file(a, p.record);
  for (int32_t i = 0; i < 64; ++i) { ASSERT_EQ(rec[i], 11) << i; }

  BlockRef back;
  ASSERT_EQ(hm_locate_block_read(a.ctrl(), a.D(), 1, 1, FetchRequest{}, back), 0);
  EXPECT_EQ(back.record, p.record);
  for (int32_t i = 0; i < 64; ++i) { ASSERT_EQ(a.data(back.position)[back.offset - 1 + i], 11); }
  // (2, 1) was the least recently used one and went for the read.
  EXPECT_EQ(hm_buffer_lookup(a.ctrl(), a.D(), bufw::kClassBlock, hm_block_position(a.ctrl(), a.D(), 2, 1)), 0);
  EXPECT_EQ(a.d()[dw::kIndexEntries], 3);
}

TEST(BufferPool, GetOfABlockNeverPutTakesNoBuffer) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 3, Shape{});
  put(a, 1, 1, 5);
  const int32_t free_before = a.free_count();
  BlockRef ref;
  ASSERT_EQ(hm_locate_block_read(a.ctrl(), a.D(), 3, 4, FetchRequest{}, ref), 0);
  EXPECT_EQ(ref.record, 0);
  EXPECT_EQ(ref.position, 0);
  EXPECT_EQ(a.free_count(), free_before);
  EXPECT_EQ(faults.reads(), 0);
  // Outside the grid is refused.
  EXPECT_EQ(hm_locate_block_read(a.ctrl(), a.D(), 9, 1, FetchRequest{}, ref), status::kFull);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{trace::kGetOutsideGrid});
}

TEST(BufferPool, PinOperationsThatMustChangeNothing) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 4, Shape{});
  const BlockRef p = put(a, 1, 1, 1);
  const BlockRef q = put(a, 2, 1, 2);
  hm_buffer_pin(a.ctrl(), a.D(), p.position, 0, 1);
  const std::vector<int32_t> list = a.use_list();
  const int32_t pins = a.header(p.position, bufw::kPins);
  hm_buffer_pin(a.ctrl(), a.D(), p.position, 0, -1);  // touch a pinned buffer
  EXPECT_EQ(a.use_list(), list);
  EXPECT_EQ(a.header(p.position, bufw::kPins), pins);
  hm_buffer_pin(a.ctrl(), a.D(), q.position, 0, 0);  // unpin at count 0
  EXPECT_EQ(a.use_list(), list);
  EXPECT_EQ(a.header(q.position, bufw::kPins), 0);
  hm_buffer_pin(a.ctrl(), a.D(), a.c()[cw::kBuffer1] - 1, 0, 1);  // before the pool: ignored
  EXPECT_EQ(a.use_list(), list);
  hm_buffer_pin(a.ctrl(), a.D(), p.position, 0, 0);
  EXPECT_EQ(a.use_list().back(), hm_buffer_number(a.ctrl(), p.position));
}

TEST(BufferPool, EveryBufferPinnedRefusesATake) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 2, Shape{});
  FetchRequest pin;
  pin.pin_mode = 1;
  BlockRef r1, r2, r3;
  ASSERT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 1, 1, pin, r1), 0);
  ASSERT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 2, 1, pin, r2), 0);
  EXPECT_TRUE(a.use_list().empty());
  int32_t p = -1;
  EXPECT_EQ(hm_buffer_take(a.ctrl(), p), status::kFull);
  EXPECT_EQ(p, 0);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{trace::kTakeAllPinned});
  host.trace[0] = 0;
  EXPECT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 3, 1, pin, r3), status::kFull);
  EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{trace::kTakeAllPinned, trace::kWriteFetchBuffer,
                                                      trace::kPutBlock}));
  // Unpinning one makes room again.
  hm_buffer_pin(a.ctrl(), a.D(), r1.position, 0, 0);
  EXPECT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 3, 1, FetchRequest{}, r3), 0);
  EXPECT_EQ(r3.position, r1.position);
}

TEST(BufferPool, ReplacementStatesPlaceUnpinnedBuffers) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 6, Shape{});
  std::vector<BlockRef> b;
  for (int32_t bi = 1; bi <= 5; ++bi) b.push_back(put(a, bi, 1, bi));
  auto x = [&](int32_t i) { return hm_buffer_number(a.ctrl(), b[i].position); };
  // State 2: to the front when unpinned.
  hm_buffer_pin(a.ctrl(), a.D(), b[4].position, 0, 1);
  a.header(b[4].position, bufw::kState) = bufw::kStateToFront;
  hm_buffer_pin(a.ctrl(), a.D(), b[4].position, 0, 0);
  EXPECT_EQ(a.use_list().front(), x(4));
  // State 3: before the first buffer of the same matrix whose block position
  // is not greater.
  hm_buffer_pin(a.ctrl(), a.D(), b[2].position, 0, 1);
  a.header(b[2].position, bufw::kState) = bufw::kStateBlockOrder;
  hm_buffer_pin(a.ctrl(), a.D(), b[2].position, 0, 0);
  const std::vector<int32_t> order = a.use_list();
  // (3,1) sits before (1,1), the first buffer with a position not greater.
  std::vector<int32_t> expect{x(4), x(2), x(0), x(1), x(3)};
  EXPECT_EQ(order, expect);
}

TEST(BufferPool, FailedWriteBackKeepsTheBlockHeldAndThePoolConsistent) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 2, Shape{});
  const BlockRef p = put(a, 1, 1, 7);
  put(a, 2, 1, 8);
  faults.fail_next_write();
  BlockRef r;
  EXPECT_NE(hm_locate_block_write(a.ctrl(), a.D(), 3, 1, FetchRequest{}, r), 0);
  const std::vector<int32_t> codes = host.trace_codes();
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(codes[codes.size() - 3], trace::kTakeWriteBack);
  // (1, 1) is still held, modified, in the tree, on the use list (at its end).
  const int32_t x = hm_buffer_number(a.ctrl(), p.position);
  EXPECT_EQ(hm_buffer_lookup(a.ctrl(), a.D(), bufw::kClassBlock, hm_block_position(a.ctrl(), a.D(), 1, 1)), x);
  EXPECT_EQ(a.header(p.position, bufw::kModified), 1);
  EXPECT_EQ(a.use_list().back(), x);
  EXPECT_EQ(a.use_list().size(), 2u);
  EXPECT_EQ(a.free_count(), 0);
  // The next put succeeds by evicting (2, 1); (1, 1) keeps its values and
  // reaches its record when it is evicted later.
  host.trace[0] = 0;
  ASSERT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 3, 1, FetchRequest{}, r), 0);
  put(a, 4, 1, 9);
  const std::vector<int32_t> rec = on_file(a, p.record);
  EXPECT_EQ(rec[0], 7);
  EXPECT_EQ(rec[63], 7);
}

TEST(BufferPool, UnpinTableUnpinsEveryListedBlockOnce) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 4, Shape{});
  FetchRequest pin;
  pin.pin_mode = 1;
  BlockRef r1, r2;
  ASSERT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 1, 1, pin, r1), 0);
  ASSERT_EQ(hm_locate_block_write(a.ctrl(), a.D(), 2, 2, pin, r2), 0);
  // A 2 x 2 directory of 7-word entries, leading dimension 2.
  std::vector<int32_t> table(28, 0);
  table[0] = r1.position;       // entry (1, 1)
  table[7 * 3] = r2.position;   // entry (2, 2)
  int32_t info[6] = {1, 2, 2, 0, 0, 1};
  hm_buffers_unpin_table(a.ctrl(), 2, a.D(), table.data(), info, 1);
  EXPECT_EQ(a.header(r1.position, bufw::kPins), 2);
  hm_buffers_unpin_table(a.ctrl(), 2, a.D(), table.data(), info, 0);
  hm_buffers_unpin_table(a.ctrl(), 2, a.D(), table.data(), info, 0);
  EXPECT_EQ(a.header(r1.position, bufw::kPins), 0);
  EXPECT_EQ(a.header(r2.position, bufw::kPins), 0);
  EXPECT_EQ(a.use_list().size(), 2u);
  info[5] = 0;  // an empty hyperblock: nothing happens
  hm_buffers_unpin_table(a.ctrl(), 2, a.D(), table.data(), info, 1);
  EXPECT_EQ(a.header(r1.position, bufw::kPins), 0);
}

TEST(BufferPool, FetchesThatSkipTheLookupNeverMakeASecondCopy) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 4, Shape{});
  const BlockRef p = put(a, 1, 1, 3);
  FetchRequest no_lookup;
  no_lookup.lookup_first = 0;
  const int32_t block = hm_block_position(a.ctrl(), a.D(), 1, 1);
  int32_t pos = 0, off = 0, rec = 0, created = 0;
  ASSERT_EQ(hm_fetch_block_write(a.ctrl(), a.D(), block, no_lookup, pos, off, rec, created), 0);
  EXPECT_EQ(pos, p.position);
  EXPECT_EQ(created, 0);
  rec = 0;
  ASSERT_EQ(hm_fetch_block_read(a.ctrl(), a.D(), block, no_lookup, rec, pos, off), 0);
  EXPECT_EQ(pos, p.position);
  EXPECT_EQ(a.d()[dw::tree_count(bufw::kClassBlock)], 1);
}

TEST(BufferPool, UnlistedBuffersGoBackToTheFreeList) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 3, Shape{});
  BlockRef p = put(a, 1, 1, 1);
  put(a, 2, 1, 2);
  ASSERT_EQ(hm_buffer_leave(a.ctrl(), p.position), 0);
  hm_buffer_unlist(a.ctrl(), p.position);
  hm_buffer_release(a.ctrl(), p.position);
  EXPECT_EQ(p.position, 0);
  EXPECT_EQ(a.free_count(), 2);
  EXPECT_EQ(a.use_list().size(), 1u);
  // Unlisting a free buffer changes nothing.
  hm_buffer_unlist(a.ctrl(), hm_buffer_position(a.ctrl(), a.c()[cw::kBufferFirstFree]));
  EXPECT_EQ(a.use_list().size(), 1u);
  // Both free buffers are used before anything is evicted.
  put(a, 3, 1, 3);
  put(a, 4, 1, 4);
  EXPECT_EQ(a.use_list().size(), 3u);
  EXPECT_EQ(a.free_count(), 0);
}

// A caller that overwrites the whole data area: the rest of the record is
// cleared whatever the buffer held before, a stored block is not read, and
// nothing stale reaches the file.
TEST(BufferPool, WholeBlockOverwriteClearsOnlyTheRestAndReadsNothing) {
  test::HostAreas host;
  test::RecordFaults faults;
  TransferArea a(128, 2, Shape{});  // 8 x 8 single reals: 64 of the 128 words
  constexpr int32_t kData = 64;
  // Leave stale words in every word of both buffers.
  for (int32_t n = 0; n < 2; ++n) {
    int32_t p = 0;
    ASSERT_EQ(hm_buffer_take(a.ctrl(), p), 0);
    std::fill(a.data(p), a.data(p) + a.L(), 77);
    hm_buffer_release(a.ctrl(), p);
  }
  FetchRequest whole;
  whole.overwrite_words = kData;
  const int32_t b11 = hm_block_position(a.ctrl(), a.D(), 1, 1);
  int32_t pos = 0, off = 0, rec = 0, created = 0;
  ASSERT_EQ(hm_fetch_block_write(a.ctrl(), a.D(), b11, whole, pos, off, rec, created), 0);
  EXPECT_EQ(created, 1);
  for (int32_t w = kData; w < a.L(); ++w) ASSERT_EQ(a.data(pos)[w], 0) << w;
  std::fill(a.data(pos), a.data(pos) + kData, 5);
  const int32_t first_record = rec;

  // Evict (1, 1): its record holds the data and zeros after it.
  put(a, 2, 1, 6);
  put(a, 3, 1, 7);
  std::vector<int32_t> want(a.L(), 0);
  std::fill(want.begin(), want.begin() + kData, 5);
  EXPECT_EQ(on_file(a, first_record), want);

  // Fetched again for a whole overwrite: found in the index, not read.
  const int64_t reads = faults.reads();
  ASSERT_EQ(hm_fetch_block_write(a.ctrl(), a.D(), b11, whole, pos, off, rec, created), 0);
  EXPECT_EQ(faults.reads(), reads);
  EXPECT_EQ(created, 0);
  EXPECT_EQ(rec, first_record);
  for (int32_t w = kData; w < a.L(); ++w) ASSERT_EQ(a.data(pos)[w], 0) << w;

  // A count past the record is taken as the whole record.
  whole.overwrite_words = a.L() + 50;
  ASSERT_EQ(hm_fetch_block_write(a.ctrl(), a.D(), hm_block_position(a.ctrl(), a.D(), 4, 1),
                                 whole, pos, off, rec, created),
            0);
  EXPECT_EQ(created, 1);
}

}  // namespace
}  // namespace tessera
