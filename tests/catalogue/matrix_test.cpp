// The matrix life cycle: the descriptor words of creation and opening, the
// refusals and what they leave behind, release, kill and inquiry, and the
// retry of a release whose write-back failed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/matrix.h"
#include "catalogue/record_space.h"
#include "common/status.h"
#include "control/control_words.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/matrix_host.h"

namespace tessera {
namespace {

// The hyperblock order worked out by hand from the pool's size.
int32_t expected_b1(test::MatrixHost &h) {
  const int32_t q = (h.cw(cw::kBufferCount) - (3 * h.cw(cw::kDescSlots) + 15)) / 18;
  return static_cast<int32_t>(std::sqrt(static_cast<float>(q)) + 0.1f);
}

class MatrixTest : public ::testing::Test {
 protected:
  test::HostAreas host_;
  test::FaultScope faults_;
};

TEST(MatrixGeometry, BlockOrderIsTheLargestSquareThatFitsARecord) {
  EXPECT_EQ(hm_block_order(2048, 1, 1), 45);   // 45^2 = 2025 <= 2048 < 46^2
  EXPECT_EQ(hm_block_order(2048, 4, 1), 32);   // 1024 doubles
  EXPECT_EQ(hm_block_order(2048, 3, 17), 10);  // p = 120: 100 elements of 17 words
  EXPECT_EQ(hm_block_order(2048, 6, 1), 22);   // 512 double complex: 22^2 = 484
  EXPECT_EQ(hm_block_order(2048, 10, 3), 13);  // p = 170 >= 169
  EXPECT_EQ(hm_block_order(256, 1, 1), 16);
  EXPECT_EQ(hm_block_order(3, 6, 1), 0);       // not one element
  EXPECT_EQ(hm_block_order(2048, 13, 1), 0);   // no such type
  for (int32_t L : {128, 1000, 2048, 4099}) {
    for (int32_t t = 1; t <= 12; ++t) {
      const int32_t nb = hm_block_order(L, t, 2);
      // The order counts k items of w(t) words, for scalar types too.
      const int32_t words = test::element_words(t, 1) * 2;
      EXPECT_LE(nb * nb * words, L);
      EXPECT_GT((nb + 1) * (nb + 1) * words, L);
    }
  }
}

TEST_F(MatrixTest, CreationSetsTheDescriptorWords) {
  test::MatrixHost h(300000, 2048);
  ASSERT_TRUE(h.ready());
  const int32_t list_b = h.fw(fsw::kListB);
  auto o = h.newm("A", 1, 1, 3, 100, 100);
  ASSERT_EQ(o.ierr, 0);
  const int32_t D = o.handle;
  EXPECT_EQ(D, h.cw(cw::kDescArea1));  // the first slot
  auto w = [&](int32_t j) { return h.dw(D, j); };
  const int32_t geometry[] = {3, 3, 3, 2, 2, 45, 10, 10, 45};
  for (int32_t j = 43; j <= 51; ++j) EXPECT_EQ(w(j), geometry[j - 43]) << "word " << j;
  EXPECT_EQ(w(dw::kBlockOrder), 45);
  EXPECT_EQ(w(dw::kWord6), 3);
  EXPECT_EQ(w(dw::kTriangle), 0);
  EXPECT_EQ(w(dw::kType), 1);
  EXPECT_EQ(w(dw::kItems), 1);
  EXPECT_EQ(w(dw::kStoredCols), 100);
  EXPECT_EQ(w(dw::kLowerBand), 99);
  EXPECT_EQ(w(dw::kUpperBand), 99);
  EXPECT_EQ(w(dw::kHyperOrder), expected_b1(h));
  EXPECT_EQ(w(dw::kWord41), 14);
  // 450-word edge blocks, 4 to a record (2047 / 451 and 45 / 10).
  EXPECT_EQ(w(dw::kRightEdgeSize), 450);
  EXPECT_EQ(w(dw::kRightPerRecord), 4);
  EXPECT_EQ(w(dw::kBottomEdgeSize), 450);
  EXPECT_EQ(w(dw::kBottomPerRecord), 4);
  EXPECT_EQ(w(dw::kGridBlocks), 9);
  EXPECT_EQ(w(dw::kRecordsNeeded), 4 + 1 + 1);
  EXPECT_EQ(w(dw::kFirstReserve), 63);  // ceil(128000 / 2048)
  EXPECT_EQ(w(dw::kLaterReserve), 63);
  EXPECT_EQ(w(dw::kPlacement), 1);
  EXPECT_EQ(w(dw::kTableRecord), w(dw::kHeaderRecord));
  EXPECT_EQ(w(dw::kTableOffset), w(dw::kHeaderOffset) + 100);
  EXPECT_EQ(w(dw::kTableCapacity), 7);
  EXPECT_EQ(w(dw::kTableAddress), D + 100);
  EXPECT_EQ(w(dw::kHeaderOffset), 1);  // the first header of a fresh set
  EXPECT_EQ(w(dw::kReservedList), 63);  // the first reservation, one run
  EXPECT_EQ(w(dw::kReservedList + 1), 1);
  EXPECT_EQ(h.fw(fsw::kListB), list_b - 63);
  EXPECT_EQ(w(dw::kOpenState), 2);
  EXPECT_EQ(w(dw::kFileset), h.fs());
  EXPECT_EQ(w(dw::kReadOnlyFlag), 0);
  EXPECT_EQ(h.inqm("A", 1), D);

  // The next header goes 128 words further in the same record.
  auto b = h.newm("B", 1, 4, 3, 10, 10);
  ASSERT_EQ(b.ierr, 0);
  EXPECT_EQ(h.dw(b.handle, dw::kHeaderOffset), 129);
  EXPECT_EQ(h.dw(b.handle, dw::kHeaderRecord), w(dw::kHeaderRecord));
  EXPECT_EQ(h.dw(b.handle, dw::kBlockOrder), 32);
  EXPECT_EQ(b.handle, D + 128);
  EXPECT_EQ(h.relm(o.handle), 0);
  EXPECT_EQ(h.relm(b.handle), 0);
}

TEST_F(MatrixTest, TypeAndStorageWordsAreDecoded) {
  test::MatrixHost h(300000, 2048);
  ASSERT_TRUE(h.ready());
  struct Case {
    int32_t typeword, storageword, m, n;
    int32_t t, k, form, triangle, ns, nb, lower, upper, needed;
  };
  const Case cases[] = {
      {258, 3, 10, 10, 2, 1, 3, 0, 10, 45, 9, 9, 2},  // two edge records
      {513, 3, 10, 10, 1, 2, 3, 0, 10, 32, 9, 9, 2},
      {3 + 256 * 17, 3, 10, 10, 3, 17, 3, 0, 10, 10, 9, 9, 1},  // one full block
      {1, 1, 135, 135, 1, 1, 1, 1, 135, 45, 134, 134, 6},  // 3 x 3 blocks, one triangle
      {1, 6, 100, 140, 1, 1, 6, 1, 140, 45, 99, 139, 8},   // rectangular upper allowed
      {6, 5, 100, 100, 6, 1, 5, 0, 1, 22, 0, 0, 2},        // diagonal: one column
      {11, 3, 50, 70, 11, 1, 3, 0, 1, 45, 49, 69, 2},      // one stored column
      {1, 128 + 256 * 7 + 3, 60, 60, 1, 1, 3, 0, 60, 45, 7, 7, 3},  // banded
      {1, 137, 60, 60, 1, 1, 3, 0, 60, 45, 0, 0, 3},  // form 9 with band flag -> 131
  };
  int32_t i = 0;
  for (const Case &c : cases) {
    host_.trace[0] = 0;
    auto o = h.newm("C" + std::to_string(i++), 1, c.typeword, c.storageword, c.m, c.n);
    ASSERT_EQ(o.ierr, 0) << c.typeword << " " << c.storageword;
    const int32_t D = o.handle;
    EXPECT_EQ(h.dw(D, dw::kType), c.t);
    EXPECT_EQ(h.dw(D, dw::kItems), c.k);
    EXPECT_EQ(h.dw(D, dw::kForm), c.form);
    EXPECT_EQ(h.dw(D, dw::kTriangle), c.triangle);
    EXPECT_EQ(h.dw(D, dw::kStoredCols), c.ns);
    EXPECT_EQ(h.dw(D, dw::kBlockOrder), c.nb);
    EXPECT_EQ(h.dw(D, dw::kLowerBand), c.lower);
    EXPECT_EQ(h.dw(D, dw::kUpperBand), c.upper);
    EXPECT_EQ(h.dw(D, dw::kRecordsNeeded), c.needed) << c.typeword << " " << c.storageword;
    if (c.storageword % 128 == 9)
      EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29506});
    else
      EXPECT_TRUE(host_.trace_codes().empty());
    ASSERT_EQ(h.relm(o.handle), 0);
  }
}

// Each refusal: its status and trace codes, the descriptor slot given back
// and no directory entry left behind.
TEST_F(MatrixTest, RefusedCreationsLeaveNothingBehind) {
  test::MatrixHost h(300000, 2048);
  ASSERT_TRUE(h.ready());
  auto a = h.newm("X", 1, 1, 3, 10, 10);
  ASSERT_EQ(a.ierr, 0);
  const int32_t free_slots = h.cw(cw::kDescFree);
  const int32_t list_b = h.fw(fsw::kListB);
  struct Case {
    const char *name;
    int32_t typeword, storageword, m, n, ierr;
    std::vector<int32_t> trace;
  };
  const Case cases[] = {
      {"X", 1, 3, 10, 10, status::kMatrixExists, {32494}},
      {"Y", 1, 3, 10, 0, status::kColumnsNotPositive, {33777}},
      {"Y", 1, 3, 0, 10, status::kRowsNotPositive, {33778}},
      {"Y", 1, 1, 10, 12, status::kShapesDoNotConform, {29507}},
      {"Y", 11, 1, 10, 10, status::kShapesDoNotConform, {29507}},
      {"Y", 0, 3, 10, 10, status::kBadType, {29655, 32496}},
      {"Y", 13, 3, 10, 10, status::kBadType, {29655, 32496}},
      {"Y", 1, 7, 10, 10, status::kBadForm, {29656, 32496}},
      {"Y", 1, 0, 10, 10, status::kBadForm, {29656, 32496}},
      {"Y", 6 + 256 * 600, 3, 10, 10, status::kRecordTooSmall, {30703, 32496}},
  };
  for (const Case &c : cases) {
    host_.trace[0] = 0;
    auto o = h.newm(c.name, 1, c.typeword, c.storageword, c.m, c.n);
    EXPECT_EQ(o.ierr, c.ierr) << c.typeword << " " << c.storageword;
    EXPECT_EQ(o.handle, 0);
    EXPECT_EQ(host_.trace_codes(), c.trace);
    EXPECT_EQ(h.cw(cw::kDescFree), free_slots);
    EXPECT_EQ(h.inqm("Y", 1), -1);
    EXPECT_EQ(h.fw(fsw::kListB), list_b);
  }
  // The same name with another qualifier is another matrix.
  auto other = h.newm("X", 2, 1, 3, 10, 10);
  EXPECT_EQ(other.ierr, 0);

  // A file-set handle that names no open file set is refused before use.
  test::MatrixName nm("Z");
  int32_t q = 1, type = 1, form = 3, m = 5, n = 5, D = -1, ierr = -1;
  for (int32_t bad : {0, h.fs() + 1, h.fs() + 640}) {
    hmnewm(h.area(), nm.words, &q, &bad, &type, &form, &m, &n, &D, &ierr);
    EXPECT_EQ(ierr, status::kBadFilesetArgument);
    EXPECT_EQ(D, 0);
    int32_t ro = 0, tw = 0, sw = 0, rows = 0, cols = 0, state = 0;
    test::MatrixName x("X");
    hmoldm(h.area(), x.words, &q, &bad, &ro, &tw, &sw, &rows, &cols, &D, &ierr);
    EXPECT_EQ(ierr, status::kBadFilesetArgument);
    hmkilm(h.area(), x.words, &q, &bad, &ierr);
    EXPECT_EQ(ierr, status::kBadFilesetArgument);
    hminqm(h.area(), x.words, &q, &bad, &state);
    EXPECT_EQ(state, -1);
  }
  EXPECT_EQ(h.cw(cw::kDescFree), free_slots - 1);  // only "other" was opened
  EXPECT_EQ(h.relm(a.handle), 0);
  EXPECT_EQ(h.relm(other.handle), 0);
}

TEST_F(MatrixTest, AllDescriptorSlotsTaken) {
  test::MatrixHost h(300000, 2048, 3);
  ASSERT_TRUE(h.ready());
  std::vector<int32_t> handles;
  for (int32_t i = 0; i < 3; ++i) {
    auto o = h.newm("S" + std::to_string(i), 1, 1, 3, 5, 5);
    ASSERT_EQ(o.ierr, 0);
    handles.push_back(o.handle);
  }
  host_.trace[0] = 0;
  auto o = h.newm("S9", 1, 1, 3, 5, 5);
  EXPECT_EQ(o.ierr, status::kFull);
  EXPECT_EQ(host_.trace_codes(), (std::vector<int32_t>{32735, 32495}));
  host_.trace[0] = 0;
  auto p = h.oldm("S0", 1);
  EXPECT_EQ(p.ierr, status::kFull);
  EXPECT_EQ(host_.trace_codes(), (std::vector<int32_t>{32735, 32509}));
  // A released slot is the next one given out.
  const int32_t freed = handles[1];
  ASSERT_EQ(h.relm(handles[1]), 0);
  auto q = h.newm("S9", 1, 1, 3, 5, 5);
  ASSERT_EQ(q.ierr, 0);
  EXPECT_EQ(q.handle, freed);
  for (int32_t D : {handles[0], handles[2], q.handle}) {
    int32_t x = D;
    EXPECT_EQ(h.relm(x), 0);
  }
}

TEST_F(MatrixTest, OpeningRestoresTheDescriptorAndReportsTheWords) {
  test::MatrixHost h(300000, 2048);
  ASSERT_TRUE(h.ready());
  auto o = h.newm("FULL", 5, 1, 3, 100, 80);
  ASSERT_EQ(o.ierr, 0);
  const int32_t record = h.dw(o.handle, dw::kHeaderRecord);
  const int32_t offset = h.dw(o.handle, dw::kHeaderOffset);
  const int32_t slot = o.handle;
  ASSERT_EQ(h.relm(o.handle), 0);
  // The released slot still holds the words the header was written from.
  std::vector<int32_t> before(h.ctrl().begin() + slot - 1, h.ctrl().begin() + slot - 1 + 60);
  EXPECT_EQ(o.handle, 0);
  EXPECT_EQ(h.inqm("FULL", 5), 0);
  EXPECT_EQ(h.inqm("FULL", 6), -1);
  ASSERT_EQ(h.remove(), 0);
  ASSERT_EQ(h.reopen(), 0);
  EXPECT_EQ(h.inqm("FULL", 5), 0);

  auto r = h.oldm("FULL", 5);
  ASSERT_EQ(r.ierr, 0);
  EXPECT_EQ(r.typeword, 256 + 1);  // the item count is given back explicitly
  EXPECT_EQ(r.storageword, 256 * 79 + 128 + 3);  // always with the band flag
  EXPECT_EQ(r.nrows, 100);
  EXPECT_EQ(r.ncols, 80);
  const int32_t D = r.handle;
  EXPECT_EQ(h.inqm("FULL", 5), D);
  EXPECT_EQ(h.dw(D, dw::kHeaderRecord), record);
  EXPECT_EQ(h.dw(D, dw::kHeaderOffset), offset);
  EXPECT_EQ(h.dw(D, dw::kOpenState), 1);
  EXPECT_EQ(h.dw(D, dw::kFirstReserve), 188);  // ceil(384000 / 2048)
  EXPECT_EQ(h.dw(D, dw::kTableAddress), D + 100);
  EXPECT_EQ(h.dw(D, dw::kReservedList), 0);
  for (int32_t j = dw::kType; j <= dw::kBlockOrder + 9; ++j) {
    if (j != dw::kFirstReserve && j != dw::kLaterReserve) {
      EXPECT_EQ(h.dw(D, j), before[j - 1]) << "word " << j;
    }
  }

  // A second open of the open matrix is refused and changes nothing.
  const int32_t free_slots = h.cw(cw::kDescFree);
  host_.trace[0] = 0;
  auto twice = h.oldm("FULL", 5);
  EXPECT_EQ(twice.ierr, status::kMatrixStillOpen);
  EXPECT_EQ(twice.handle, 0);
  EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29514});
  EXPECT_EQ(h.cw(cw::kDescFree), free_slots);
  EXPECT_EQ(h.inqm("FULL", 5), D);
  ASSERT_EQ(h.relm(r.handle), 0);

  // Read-only: no extent table in the control area, reservations as saved;
  // its release gives back no records.
  const int32_t list_b = h.fw(fsw::kListB);
  auto ro = h.oldm("FULL", 5, 1);
  ASSERT_EQ(ro.ierr, 0);
  EXPECT_EQ(h.dw(ro.handle, dw::kTableAddress), 0);
  EXPECT_EQ(h.dw(ro.handle, dw::kReadOnlyFlag), 1);
  EXPECT_EQ(h.dw(ro.handle, dw::kFirstReserve), 188);  // saved by the last release
  ASSERT_EQ(h.relm(ro.handle), 0);
  EXPECT_EQ(h.fw(fsw::kListB), list_b);

  host_.trace[0] = 0;
  auto none = h.oldm("NONE", 5);
  EXPECT_EQ(none.ierr, status::kNoSuchMatrix);
  EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29513});
  EXPECT_EQ(h.cw(cw::kDescFree), free_slots + 1);
}

// Killing gives every record back: the free records of the file set are
// what they were, less the header slot, which the next matrix reuses.
TEST_F(MatrixTest, KillReturnsEveryRecordAndKeepsTheHeaderSlot) {
  test::MatrixHost h(300000, 256);
  ASSERT_TRUE(h.ready());
  const int32_t free_a = h.fw(fsw::kListA), free_b = h.fw(fsw::kListB);
  const int32_t end = h.fw(fsw::kEnd);

  auto o = h.newm("K", 1, 4, 3, 200, 150);
  ASSERT_EQ(o.ierr, 0);
  std::vector<double> a(200 * 150);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<double>(i);
  ASSERT_EQ(h.puts(o.handle, 1, 200, 1, 150, a.data(), 200), 0);
  const int32_t record = h.dw(o.handle, dw::kHeaderRecord);
  const int32_t offset = h.dw(o.handle, dw::kHeaderOffset);
  ASSERT_GT(h.dw(o.handle, dw::kUsedList), 100);
  ASSERT_EQ(h.relm(o.handle), 0);
  EXPECT_EQ(h.kilm("K", 1), 0);
  EXPECT_EQ(h.inqm("K", 1), -1);
  // The set may have grown; all the growth is free data records now.
  const int32_t grown = h.fw(fsw::kEnd) - end;
  EXPECT_EQ(h.fw(fsw::kListB), free_b + grown);
  EXPECT_EQ(h.fw(fsw::kListA), free_a - 1);  // the header record stays taken

  // An open matrix is killed through its handle, which is then invalid.
  auto n = h.newm("N", 1, 1, 3, 30, 30);
  ASSERT_EQ(n.ierr, 0);
  EXPECT_EQ(h.dw(n.handle, dw::kHeaderRecord), record);  // the killed one's slot
  EXPECT_EQ(h.dw(n.handle, dw::kHeaderOffset), offset);
  int32_t x = 3;
  ASSERT_EQ(h.puts(n.handle, 1, 1, 1, 1, &x, 1), 0);
  EXPECT_EQ(h.kilm("N", 1), 0);
  EXPECT_EQ(h.puts(n.handle, 1, 1, 1, 1, &x, 1), status::kNoSuchMatrix);
  EXPECT_EQ(h.fw(fsw::kListB), free_b + (h.fw(fsw::kEnd) - end));

  host_.trace[0] = 0;
  EXPECT_EQ(h.kilm("N", 1), status::kNoSuchMatrix);
  EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29491});
}

// A matrix whose extent table outgrew the descriptor slot (to an area of
// the word pool with 16 blocks, to records of its own with 100) keeps it
// through release and reopening, and a kill returns it all.
class ExtentTableGrowth : public MatrixTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ExtentTableGrowth, TablesPersistAndAreKilled) {
  const int32_t grid = GetParam();  // blocks per side
  const int32_t placement = grid <= 4 ? 2 : 3;
  const int32_t n = 16 * grid;
  test::MatrixHost h(300000, 256, 8, 1);
  ASSERT_TRUE(h.ready());
  const int32_t free_a = h.fw(fsw::kListA), free_b = h.fw(fsw::kListB);
  const int32_t end = h.fw(fsw::kEnd), table_records = h.fw(fsw::kTableRecords);
  // Two matrices that reserve one record at a time and take blocks
  // alternately: their used records interleave, one extent per block.
  auto p = h.newm("P", 1, 1, 3, n, n);
  auto q = h.newm("Q", 1, 1, 3, n, n);
  ASSERT_EQ(p.ierr, 0);
  ASSERT_EQ(q.ierr, 0);
  for (int32_t D : {p.handle, q.handle}) {
    ASSERT_EQ(hm_unreserve(h.area(), D), 0);
    h.dw(D, dw::kFirstReserve) = h.dw(D, dw::kLaterReserve) = 1;
  }
  std::vector<int32_t> block(16 * 16);
  int32_t placement_seen = 1;
  for (int32_t bj = 0; bj < grid; ++bj) {
    for (int32_t bi = 0; bi < grid; ++bi) {
      for (int32_t i = 0; i < 256; ++i) block[i] = 1000 * bi + 10 * bj + 100000 * i;
      ASSERT_EQ(h.puts(p.handle, 16 * bi + 1, 16, 16 * bj + 1, 16, block.data(), 16), 0);
      ASSERT_EQ(h.puts(q.handle, 16 * bi + 1, 16, 16 * bj + 1, 16, block.data(), 16), 0);
      placement_seen = std::max(placement_seen, h.dw(p.handle, dw::kPlacement));
    }
  }
  EXPECT_EQ(placement_seen, placement);
  EXPECT_GE(h.dw(p.handle, dw::kUsedList + 1), grid * grid);  // extents
  ASSERT_EQ(h.relm(p.handle), 0);
  ASSERT_EQ(h.relm(q.handle), 0);
  ASSERT_EQ(h.remove(), 0);
  ASSERT_EQ(h.reopen(), 0);
  for (int32_t readonly : {1, 0}) {
    auto r = h.oldm("P", 1, readonly);
    ASSERT_EQ(r.ierr, 0) << ::testing::PrintToString(host_.trace_codes());
    EXPECT_EQ(h.dw(r.handle, dw::kPlacement), placement);
    std::vector<int32_t> all(n * n);
    ASSERT_EQ(h.gets(r.handle, 1, n, 1, n, all.data(), n), 0);
    for (int32_t j = 0; j < n; ++j)
      for (int32_t i = 0; i < n; ++i)
        ASSERT_EQ(all[j * n + i],
                  1000 * (i / 16) + 10 * (j / 16) + 100000 * ((j % 16) * 16 + i % 16));
    ASSERT_EQ(h.relm(r.handle), 0);
  }
  // Killing the closed matrix (opened read-write by the kill) and the other
  // opened read-only gives every record back.
  EXPECT_EQ(h.kilm("P", 1), 0) << ::testing::PrintToString(host_.trace_codes());
  auto rq = h.oldm("Q", 1, 1);
  ASSERT_EQ(rq.ierr, 0);
  EXPECT_EQ(h.kilm("Q", 1), 0);
  // What the file set grew by is free again; only the header record and any
  // growth of the set's own extent table stay taken.
  const int32_t grown = h.fw(fsw::kEnd) - end;
  const int32_t table_growth = h.fw(fsw::kTableRecords) - table_records;
  EXPECT_EQ(h.fw(fsw::kListA) + h.fw(fsw::kListB),
            free_a + free_b + grown - 1 - table_growth);
}

INSTANTIATE_TEST_SUITE_P(Placements, ExtentTableGrowth, ::testing::Values(4, 10));

// A record write that fails while the release writes the buffers back
// leaves the matrix open and the unwritten data still held; a second
// release writes it.
TEST_F(MatrixTest, FailedWriteBackOnReleaseCanBeRetried) {
  test::MatrixHost h(300000, 256);
  ASSERT_TRUE(h.ready());
  auto o = h.newm("W", 1, 1, 3, 64, 64);
  ASSERT_EQ(o.ierr, 0);
  std::vector<int32_t> a(64 * 64);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int32_t>(i * 7 + 1);
  ASSERT_EQ(h.puts(o.handle, 1, 64, 1, 64, a.data(), 64), 0);
  const int32_t free_buffers = h.cw(cw::kBufferFree);

  const int32_t D = o.handle;
  test::faults_fail(test::DafOp::kWrite, test::faults_calls(test::DafOp::kWrite) + 3);
  EXPECT_EQ(h.relm(o.handle), status::kRecordWrite);
  EXPECT_EQ(o.handle, D);
  const auto codes = host_.trace_codes();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), 32545);
  EXPECT_EQ(h.cw(cw::kBufferFree), free_buffers);  // nothing was given up
  EXPECT_EQ(h.inqm("W", 1), D);

  ASSERT_EQ(h.relm(o.handle), 0);
  ASSERT_EQ(h.remove(), 0);
  ASSERT_EQ(h.reopen(), 0);
  auto r = h.oldm("W", 1, 1);
  ASSERT_EQ(r.ierr, 0);
  std::vector<int32_t> b(64 * 64);
  ASSERT_EQ(h.gets(r.handle, 1, 64, 1, 64, b.data(), 64), 0);
  EXPECT_EQ(a, b);
  ASSERT_EQ(h.relm(r.handle), 0);
}

TEST_F(MatrixTest, FailedOpenGivesItsSlotBack) {
  test::MatrixHost h(300000, 256);
  ASSERT_TRUE(h.ready());
  auto o = h.newm("F", 1, 1, 3, 20, 20);
  ASSERT_EQ(o.ierr, 0);
  ASSERT_EQ(h.relm(o.handle), 0);
  const int32_t free_slots = h.cw(cw::kDescFree);
  test::faults_fail(test::DafOp::kRead, test::faults_calls(test::DafOp::kRead) + 1);
  host_.trace[0] = 0;
  auto r = h.oldm("F", 1);
  EXPECT_EQ(r.ierr, status::kRecordRead);
  EXPECT_EQ(r.handle, 0);
  const auto codes = host_.trace_codes();
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(codes[codes.size() - 2], 33609);
  EXPECT_EQ(codes.back(), 32514);
  EXPECT_EQ(h.cw(cw::kDescFree), free_slots);
  EXPECT_EQ(h.inqm("F", 1), 0);  // not left marked open
  // The file set can be removed: no matrix of it is left open.
  EXPECT_EQ(h.remove(), 0);
}

TEST_F(MatrixTest, ReleaseOfABadHandleIsRefused) {
  test::MatrixHost h(300000, 256);
  ASSERT_TRUE(h.ready());
  for (int32_t bad : {0, 17, h.cw(cw::kDescArea1), h.cw(cw::kDescArea1) + 5}) {
    int32_t x = bad;
    host_.trace[0] = 0;
    EXPECT_EQ(h.relm(x), status::kNoSuchMatrix);
    EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{32544});
  }
}

}  // namespace
}  // namespace tessera
