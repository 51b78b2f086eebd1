// Record space against independent models: the set of free records a list
// must describe, the records a matrix holds, and the sizes of the physical
// files on disk.
#include "catalogue/record_space.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/pools.h"
#include "catalogue/space_invariants.h"
#include "transfer/cache.h"
#include "common/status.h"
#include "space_fixture.h"
#include "transfer/transfer_words.h"
#include "test_support/fault_injection.h"

namespace tessera {
namespace {

using Extents = std::vector<std::pair<int32_t, int32_t>>;

std::set<int32_t> records_of(const Extents &extents) {
  std::set<int32_t> out;
  for (const auto &[first, length] : extents) {
    for (int32_t r = first; r < first + length; ++r) out.insert(r);
  }
  return out;
}

// The records a matrix holds, as runs the ownership check can take.
std::vector<RecordRun> matrix_runs(test::SpaceFixture &f, int32_t D) {
  std::vector<RecordRun> runs;
  for (const auto &[first, length] : f.matrix_list(D, dw::kUsedList)) {
    runs.push_back({first, length, "a used record"});
  }
  for (const auto &[first, length] : f.matrix_list(D, dw::kReservedList)) {
    runs.push_back({first, length, "a reserved record"});
  }
  WordView d(f.ctrl(), D);
  if (d[dw::kPlacement] == 3) runs.push_back({d[dw::kTableRecord], d[dw::kTableRecords], "a table"});
  return runs;
}

void expect_sound(test::SpaceFixture &f, std::vector<RecordRun> extra) {
  extra.push_back({f.first_index_record(), 1, "the test matrix header"});
  std::string why;
  EXPECT_TRUE(hm_check_fileset_records(f.ctrl(), f.P, &why, extra)) << why;
}

// The fixture's matrix header record, the first of list A, is taken first.
int32_t claim_header_record(test::SpaceFixture &f) {
  int32_t r = 0;
  EXPECT_EQ(hm_header_slot_record(f.ctrl(), f.P, r), 0);
  EXPECT_EQ(r, f.first_index_record());
  return r;
}

TEST(RecordSpace, BlockRecordsComeFromOneReservedRunInOrder) {
  test::SpaceFixture f;
  claim_header_record(f);
  const int32_t D = f.new_matrix(5, 3);
  std::vector<int32_t> got;
  for (int32_t i = 0; i < 5; ++i) {
    int32_t r = 0;
    ASSERT_EQ(hm_block_record_alloc(f.ctrl(), D, r), 0);
    got.push_back(r);
  }
  EXPECT_EQ(got, (std::vector<int32_t>{20, 21, 22, 23, 24}));
  EXPECT_EQ(f.matrix_list(D, dw::kUsedList), (Extents{{20, 5}}));
  EXPECT_TRUE(f.matrix_list(D, dw::kReservedList).empty());
  // Once the matrix has an index root, later reservations are word 22 long.
  WordView(f.ctrl(), D)[dw::kIndexRoot] = 20;
  int32_t r = 0;
  ASSERT_EQ(hm_block_record_alloc(f.ctrl(), D, r), 0);
  EXPECT_EQ(r, 25);
  EXPECT_EQ(f.matrix_list(D, dw::kReservedList), (Extents{{26, 2}}));
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{28, 32}}));
  expect_sound(f, matrix_runs(f, D));

  ASSERT_EQ(hm_unreserve(f.ctrl(), D), 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{26, 34}}));
  ASSERT_EQ(hm_free_matrix_records(f.ctrl(), D), 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 40}}));
  expect_sound(f, {});
}

TEST(RecordSpace, ReservationIsFirstFitNotBestFit) {
  test::SpaceFixture f;
  claim_header_record(f);
  f.set_list_b({{20, 3}, {30, 10}, {45, 4}, {52, 8}});
  const int32_t D = f.new_matrix();
  ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 4), 0);
  EXPECT_EQ(f.matrix_list(D, dw::kReservedList), (Extents{{30, 4}}));
  // An exact fit takes the extent away.
  ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 3), 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{34, 6}, {45, 4}, {52, 8}}));
  EXPECT_EQ(f.matrix_list(D, dw::kReservedList), (Extents{{20, 3}, {30, 4}}));
}

TEST(RecordSpace, ExtensionGrowsEveryFileByTheSameCount) {
  test::SpaceSetup s;
  s.files = 3;
  s.records = 60;
  s.data_growth = 10;  // rounded up to 12
  test::SpaceFixture f(s);
  claim_header_record(f);
  const int32_t D = f.new_matrix();
  const int32_t units = f.free_units();
  // List B holds records 20-59 (40); ask for 41.
  ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 41), 0);
  EXPECT_EQ(f.fs()[fsw::kEnd], 60 + 42);
  for (int32_t i = 1; i <= 3; ++i) EXPECT_EQ(f.file_records(i), 34) << "file " << i;
  EXPECT_EQ(f.matrix_list(D, dw::kReservedList), (Extents{{20, 41}}));
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{61, 41}}));
  EXPECT_EQ(f.free_units(), units);  // the work buffer went back
  expect_sound(f, matrix_runs(f, D));

  // Index records run out: list A (records 4-19) cannot give 20 in a row, so
  // the set grows by max(word 48, 20) rounded to 21; the first record of the
  // new run that is not needed goes to list B.
  int32_t first = 0;
  ASSERT_EQ(hm_index_records_alloc(f.ctrl(), f.P, 20, first), 0);
  EXPECT_EQ(first, 103);
  EXPECT_EQ(f.fs()[fsw::kEnd], 123);
  for (int32_t i = 1; i <= 3; ++i) EXPECT_EQ(f.file_records(i), 41) << "file " << i;
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{61, 42}}));
  auto runs = matrix_runs(f, D);
  runs.push_back({first, 20, "index records"});
  expect_sound(f, runs);
}

TEST(RecordSpace, AFailedExtensionKeepsTheEndAndTheWorkBuffer) {
  test::SpaceFixture f;
  claim_header_record(f);
  const int32_t D = f.new_matrix();
  const int32_t units = f.free_units();
  test::FaultScope faults;
  test::faults_fail(test::DafOp::kExtend, 1, true);
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_reserve_records(f.ctrl(), D, 50), status::kFileExtend);
  EXPECT_EQ(f.fs()[fsw::kEnd], 60);
  EXPECT_EQ(f.free_units(), units);
  EXPECT_EQ(f.file_records(1), 60);
  // Two attempts, 50 records and then the 10 that would join the free run
  // at the end to one of 50, each refused at the service.
  EXPECT_EQ(f.host.trace_codes(), (std::vector<int32_t>{31503, 31503, 32775}));
  EXPECT_TRUE(f.matrix_list(D, dw::kReservedList).empty());
  expect_sound(f, {});
}

TEST(RecordSpace, ARefusedGrowthStepIsRetriedWithTheRequestAlone) {
  test::SpaceFixture f;
  claim_header_record(f);
  f.set_list_b({{20, 3}});  // records 23-59 belong elsewhere
  const int32_t D = f.new_matrix();
  test::FaultScope faults;
  test::faults_fail(test::DafOp::kExtend, 1);  // the growth step of 12 is refused
  ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 5), 0);
  EXPECT_EQ(f.fs()[fsw::kEnd], 65);
  EXPECT_EQ(f.file_records(1), 65);
  EXPECT_EQ(f.matrix_list(D, dw::kReservedList), (Extents{{60, 5}}));
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 3}}));
}

TEST(RecordSpace, BlockAllocationRetriesATenthOfTheReservation) {
  test::SpaceFixture f;
  claim_header_record(f);
  const int32_t D = f.new_matrix(100, 100);
  test::FaultScope faults;
  test::faults_fail(test::DafOp::kExtend, 1, true);
  int32_t r = 0;
  ASSERT_EQ(hm_block_record_alloc(f.ctrl(), D, r), 0);
  EXPECT_EQ(r, 20);
  EXPECT_EQ(f.matrix_list(D, dw::kReservedList), (Extents{{21, 9}}));
}

TEST(RecordSpace, GivingBackMergesAndIgnoresFreeRecords) {
  test::SpaceFixture f;
  claim_header_record(f);
  f.set_list_b({{20, 5}, {30, 5}});
  const int32_t D = f.new_matrix();
  int32_t hint = 0;
  // A single record already free: nothing changes.
  int32_t r = 22;
  ASSERT_EQ(hm_data_record_free(f.ctrl(), D, r, hint), 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 5}, {30, 5}}));
  EXPECT_EQ(f.fs()[fsw::kListB + listw::kTotal], 10);

  // An extent overlapping free records is refused, not added twice.
  int32_t first = 33;
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_data_extent_free(f.ctrl(), D, 4, first, hint), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), std::vector<int32_t>{32808});
  first = 26;
  EXPECT_EQ(hm_data_extent_free(f.ctrl(), D, 5, first, hint), status::kFull);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 5}, {30, 5}}));

  // Records 25-29 touch both neighbours: the three become one extent.
  first = 25;
  ASSERT_EQ(hm_data_extent_free(f.ctrl(), D, 4, first, hint), 0);
  EXPECT_EQ(first, 0);
  r = 29;
  ASSERT_EQ(hm_data_record_free(f.ctrl(), D, r, hint), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 15}}));
  EXPECT_EQ(f.fs()[fsw::kListB + listw::kCount], 1);

  // Index records go to list A the same way.
  first = 3;
  ASSERT_EQ(hm_index_extent_free(f.ctrl(), f.P, 1, first, hint), 0);
  EXPECT_EQ(f.set_list(fsw::kListA), (Extents{{3, 17}}));
}

TEST(RecordSpace, MatrixTableMovesFromSlotToWordPoolToRecords) {
  test::SpaceSetup s;
  s.record_length = 128;  // a placement-3 table of one record holds 32 entries
  s.records = 200;
  s.table_records = 3;    // room in the set's table for 90 free extents
  test::SpaceFixture f(s);
  const int32_t h = f.first_index_record();
  claim_header_record(f);
  // Every other data record free, so each reservation of one is an extent.
  Extents gaps;
  for (int32_t r = 20; r < 200; r += 2) gaps.push_back({r, 1});
  f.set_list_b(gaps);
  const int32_t D = f.new_matrix();
  WordView d(f.ctrl(), D);
  auto check = [&] {
    std::vector<RecordRun> runs = matrix_runs(f, D);
    for (int32_t r = 21; r < 200; r += 2) runs.push_back({r, 1, "taken out by the test"});
    expect_sound(f, runs);
  };
  std::set<int32_t> held;
  const int32_t words_free = f.control()[cw::kWordList + listw::kTotal];

  auto reserve_one = [&] {
    ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 1), 0);
    held.insert(20 + 2 * static_cast<int32_t>(held.size()));
    ASSERT_EQ(records_of(f.matrix_list(D, dw::kReservedList)), held);
  };
  for (int32_t i = 0; i < 7; ++i) reserve_one();
  EXPECT_EQ(d[dw::kPlacement], 1);
  EXPECT_EQ(d[dw::kTableAddress], D + 100);

  reserve_one();
  EXPECT_EQ(d[dw::kPlacement], 2);
  EXPECT_EQ(d[dw::kTableCapacity], 21);
  EXPECT_EQ(d[dw::kTableOffset], d[dw::kHeaderOffset] + 41);
  EXPECT_EQ(f.control()[cw::kWordList + listw::kTotal], words_free - 87);

  for (int32_t i = 8; i < 22; ++i) reserve_one();
  EXPECT_EQ(d[dw::kPlacement], 3);
  EXPECT_EQ(d[dw::kTableCapacity], 32);
  EXPECT_EQ(d[dw::kTableRecords], 1);
  EXPECT_EQ(d[dw::kTableRecord], h + 1);  // first fit from list A
  EXPECT_EQ(f.control()[cw::kWordList + listw::kTotal], words_free);
  check();

  // Whole records grow one record at a time; the old ones go back to list A.
  for (int32_t i = 22; i < 33; ++i) reserve_one();
  EXPECT_EQ(d[dw::kPlacement], 3);
  EXPECT_EQ(d[dw::kTableCapacity], 64);
  EXPECT_EQ(d[dw::kTableRecords], 2);
  EXPECT_EQ(d[dw::kTableRecord], h + 1);  // the old record came back and fits again
  check();

  // Block records move from the reserved list to the used list in order.
  std::set<int32_t> used;
  for (int32_t i = 0; i < 5; ++i) {
    int32_t r = 0;
    ASSERT_EQ(hm_block_record_alloc(f.ctrl(), D, r), 0);
    EXPECT_EQ(r, *held.begin());
    used.insert(r);
    held.erase(held.begin());
  }
  EXPECT_EQ(records_of(f.matrix_list(D, dw::kUsedList)), used);
  EXPECT_EQ(records_of(f.matrix_list(D, dw::kReservedList)), held);
  check();
}

TEST(RecordSpace, TableGrowthWithoutWorkSpaceFailsWithTheChainOfSites) {
  test::SpaceSetup s;
  s.records = 100;
  test::SpaceFixture f(s);
  claim_header_record(f);
  Extents gaps;
  for (int32_t r = 20; r < 100; r += 2) gaps.push_back({r, 1});
  f.set_list_b(gaps);
  const int32_t D = f.new_matrix();
  WordView d(f.ctrl(), D);
  for (int32_t i = 0; i < 7; ++i) ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 1), 0);

  // The word pool is used up: the table cannot leave the slot.
  WordView c = f.control();
  int32_t all = 0;
  const int32_t words = c[cw::kWordList + listw::kTotal];
  ASSERT_EQ(hm_small_alloc(f.ctrl(), words, all), 0);
  const Extents free_b = f.set_list(fsw::kListB);
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_reserve_records(f.ctrl(), D, 1), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), (std::vector<int32_t>{33128, 32089, 32776}));
  EXPECT_EQ(d[dw::kPlacement], 1);
  EXPECT_EQ(d[dw::kTableAddress], D + 100);
  EXPECT_EQ(f.set_list(fsw::kListB), free_b);  // the run taken went back
  ASSERT_EQ(hm_small_free(f.ctrl(), words, all), 0);

  // With the unit pool used up instead, the move to records fails in turn.
  for (int32_t i = 7; i < 21; ++i) ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 1), 0);
  EXPECT_EQ(d[dw::kPlacement], 2);
  EXPECT_EQ(d[dw::kReservedList + listw::kCount], 21);
  const int32_t units = c[cw::kUnitList + listw::kTotal];
  ASSERT_EQ(hm_work_alloc(f.ctrl(), units * c[cw::kUnitSize], all), 0);
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_reserve_records(f.ctrl(), D, 1), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), (std::vector<int32_t>{33151, 32090, 32776}));
  EXPECT_EQ(d[dw::kPlacement], 2);
  EXPECT_EQ(d[dw::kTableCapacity], 21);
  ASSERT_EQ(hm_work_free(f.ctrl(), units * c[cw::kUnitSize], all), 0);
  std::vector<RecordRun> runs = matrix_runs(f, D);
  for (int32_t r = 21; r < 100; r += 2) runs.push_back({r, 1, "taken out by the test"});
  expect_sound(f, runs);
}

TEST(RecordSpace, FilesetTableGrowsIntoALargerRunOfIndexRecords) {
  test::SpaceSetup s;
  s.record_length = 128;  // the set's table holds 32 entries
  s.records = 200;
  test::SpaceFixture f(s);
  claim_header_record(f);
  const int32_t D = f.new_matrix(180, 180);
  ASSERT_EQ(hm_reserve_records(f.ctrl(), D, 180), 0);
  // Give back every other reserved record: list B needs one entry each, 90
  // in all, so the 32-entry table grows to two records and then to three.
  std::set<int32_t> free_b;
  int32_t hint = 0;
  for (int32_t r = 20; r < 200; r += 2) {
    int32_t rec = r;
    ASSERT_EQ(hm_data_record_free(f.ctrl(), D, rec, hint), 0) << r;
    free_b.insert(r);
  }
  WordView fs = f.fs();
  EXPECT_EQ(fs[fsw::kTableRecords], 3);
  EXPECT_EQ(fs[fsw::kTableCapacity], 96);
  // Record 1 went back to list A and 4-5 held the second table; they went
  // back in turn and 4-6 hold the third.
  EXPECT_EQ(fs[fsw::kTableFirstRecord], 4);
  EXPECT_EQ(records_of(f.set_list(fsw::kListB)), free_b);
  EXPECT_EQ(f.set_list(fsw::kListA), (Extents{{1, 1}, {7, 13}}));
  std::vector<RecordRun> runs;
  for (int32_t r = 21; r < 200; r += 2) runs.push_back({r, 1, "a reserved record"});
  expect_sound(f, runs);
}

TEST(RecordSpace, KindTwoCacheDefersThePhysicalExtension) {
  test::SpaceSetup s;
  s.files = 2;
  test::SpaceFixture f(s);
  claim_header_record(f);
  int32_t *x = f.host.cache;
  x[cachew::kKind] = 2;
  x[cachew::kState] = 1;
  x[cachew::kNodes] = 100;  // S
  f.fs()[fsw::kCacheFlag] = 1;
  const int32_t D = f.new_matrix();
  // 60 + 12 < 100: no file grows.
  ASSERT_EQ(hm_extend_for_data(f.ctrl(), D, 12), 0);
  EXPECT_EQ(f.fs()[fsw::kEnd], 72);
  EXPECT_EQ(f.file_records(1), 30);
  EXPECT_EQ(f.fs()[fsw::kCacheFlag], 1);
  // 72 + 40 >= 100: the files catch up from the size they were created with.
  ASSERT_EQ(hm_extend_for_data(f.ctrl(), D, 40), 0);
  EXPECT_EQ(f.fs()[fsw::kEnd], 112);
  EXPECT_EQ(f.file_records(1), 56);
  EXPECT_EQ(f.file_records(2), 56);
  EXPECT_EQ(f.fs()[fsw::kCacheFlag], 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 92}}));
  // From now on the ordinary rule.
  ASSERT_EQ(hm_extend_for_data(f.ctrl(), D, 4), 0);
  EXPECT_EQ(f.file_records(2), 58);
  x[cachew::kState] = 0;
}

TEST(RecordSpace, KillingAMatrixForgetsItsCachedRecordsOnly) {
  test::SpaceFixture f;
  claim_header_record(f);
  // A kind-2 cache of 4 nodes, all free.
  const int32_t S = 4, L = f.L(), w6 = 14 * S + 1;
  std::vector<int32_t> memory(static_cast<size_t>(w6 - 1 + S * L), 0);
  int32_t *x = f.host.cache;
  int32_t *address = memory.data();
  std::memcpy(x + cachew::kAddress, &address, sizeof address);
  x[cachew::kKind] = 2;
  x[cachew::kNodes] = x[cachew::kCapacity] = x[cachew::kFreeCount] = S;
  x[cachew::kRecordArea] = w6;
  x[cachew::kFreeFirst] = 1;
  for (int32_t i = 1; i <= S; ++i) memory[(i - 1) * 14] = i < S ? i + 1 : 0;
  x[cachew::kState] = 1;

  const int32_t D = f.new_matrix(3, 3);
  std::vector<int32_t> block(L, 5);
  const int32_t set = f.fs()[fsw::kHandle1];
  const int32_t other_set = set + 1;  // any other open set's first handle
  for (int32_t i = 0; i < 2; ++i) {
    int32_t r = 0;
    ASSERT_EQ(hm_block_record_alloc(f.ctrl(), D, r), 0);
    ASSERT_EQ(hm_cache_write(memory.data(), 1, &set, L, r, block.data()), 0);
  }
  // The other set's record 20 has the same number as the matrix's first.
  ASSERT_EQ(hm_cache_write(memory.data(), 1, &other_set, L, 20, block.data()), 0);
  EXPECT_EQ(x[cachew::kTreeCount], 3);

  ASSERT_EQ(hm_free_matrix_records(f.ctrl(), D), 0);
  EXPECT_EQ(x[cachew::kTreeCount], 1);
  EXPECT_EQ(x[cachew::kFreeCount], 3);
  std::vector<int32_t> back(L, 0);
  ASSERT_EQ(hm_cache_read(memory.data(), 1, &other_set, L, 20, back.data()), 0);
  EXPECT_EQ(back, block);
  x[cachew::kState] = 0;
}

TEST(RecordSpace, DamagedTablesAreRefusedBeforeAnyWrite) {
  test::SpaceFixture f;
  claim_header_record(f);
  const int32_t D = f.new_matrix();
  WordView fs = f.fs();
  const int32_t saved = fs[fsw::kListB + listw::kFirst];
  fs[fsw::kListB + listw::kFirst] = fs[fsw::kTableCapacity] + 7;
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_reserve_records(f.ctrl(), D, 2), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), std::vector<int32_t>{32798});
  fs[fsw::kListB + listw::kFirst] = saved;

  WordView d(f.ctrl(), D);
  d[dw::kTableFirstFree] = 99;  // beyond the 7 in-slot entries
  int32_t r = 0;
  EXPECT_EQ(hm_block_record_alloc(f.ctrl(), D, r), status::kFull);
  d[dw::kTableFirstFree] = 1;
  ASSERT_EQ(hm_block_record_alloc(f.ctrl(), D, r), 0);
}

// Free entries are taken from the head of their chain, one per addition; a
// link out of the table is refused when it comes to be taken, before any
// write through it.
TEST(RecordSpace, FreeEntryLinksAreCheckedWhenTheyAreTaken) {
  test::SpaceFixture f;
  claim_header_record(f);
  f.set_list_b({{20, 5}, {30, 5}});
  const int32_t D = f.new_matrix();
  WordView fs = f.fs();
  const int32_t cap = fs[fsw::kTableCapacity];
  ASSERT_GE(fs[fsw::kTableFree], 2);
  int32_t *entries = word_at(f.ctrl(), fs[fsw::kTablePos]);
  int32_t &link = *hm_extent_word(entries, fs[fsw::kTableFirstFree], extw::kNext);
  const int32_t saved = link;
  link = cap + 3;

  // Record 40 needs an entry of its own: the head, which is sound.
  int32_t first = 40, hint = 0;
  ASSERT_EQ(hm_data_extent_free(f.ctrl(), D, 1, first, hint), 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 5}, {30, 5}, {40, 1}}));
  // Record 50 would take the entry the bad link names.
  first = 50;
  f.host.trace[0] = 0;
  EXPECT_EQ(hm_data_extent_free(f.ctrl(), D, 1, first, hint), status::kFull);
  EXPECT_EQ(f.host.trace_codes(), std::vector<int32_t>{32798});
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 5}, {30, 5}, {40, 1}}));
  EXPECT_EQ(hm_reserve_records(f.ctrl(), D, 1), status::kFull);

  fs[fsw::kTableFirstFree] = saved;
  first = 50;
  ASSERT_EQ(hm_data_extent_free(f.ctrl(), D, 1, first, hint), 0);
  EXPECT_EQ(f.set_list(fsw::kListB), (Extents{{20, 5}, {30, 5}, {40, 1}, {50, 1}}));
}

}  // namespace
}  // namespace tessera
