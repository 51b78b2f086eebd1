// File sets with the block cache switched on by the host: records routed
// to the cache, removing flushes the set's records, and a cache whose
// memory the library owns is freed and switched off without losing the
// records it holds for other open sets.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/fileset_codes.h"
#include "control/record_io.h"
#include "platsvc.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/fileset_fixture.h"
#include "test_support/host.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

using Codes = std::vector<int32_t>;
constexpr int32_t kLength = 300000;
constexpr int32_t kL = 2048;

// Lay out an empty cache of S nodes of kL-word records in `memory` (SM_alloc
// memory when the library is to free it) and switch it on with `state`.
void lay_out(test::HostAreas &host, int32_t *memory, int32_t kind, int32_t state, int32_t S) {
  int32_t *x = host.cache;
  std::memcpy(x + cachew::kAddress, &memory, sizeof memory);
  const int32_t w6 = cachew::kNodeLength * S + 1;
  x[cachew::kKind] = kind;
  x[cachew::kMemoryWords] = w6 - 1 + S * kL;
  x[cachew::kNodes] = S;
  x[cachew::kRecordArea] = w6;
  x[cachew::kCapacity] = S;
  x[cachew::kFreeCount] = S;
  x[cachew::kFreeFirst] = 1;
  for (int32_t w = cachew::kUseCount; w <= cachew::kTreeRoot; ++w) x[w] = 0;
  for (int32_t i = 1; i <= S; ++i) {
    memory[(i - 1) * cachew::kNodeLength + cachew::kNodeNext - 1] = i < S ? i + 1 : 0;
  }
  x[cachew::kState] = state;
}

int32_t *owned_memory(int32_t S) {
  return static_cast<int32_t *>(SM_alloc(sizeof(int32_t) * (cachew::kNodeLength * S + S * kL)));
}

std::vector<int32_t> record_of(int32_t value) { return std::vector<int32_t>(kL, value); }

TEST(FileSetCache, RecordsGoThroughTheCacheOnlyWhileItIsOn) {
  test::HostAreas host;
  test::FaultScope faults;
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  std::vector<int32_t> memory(cachew::kNodeLength * 2 + 2 * kL);
  lay_out(host, memory.data(), 2, 3, 2);
  // Memory first, two nodes: records 100 and 101 stay in memory, 102 goes
  // to its file.
  std::vector<int32_t> run(3 * kL);
  for (int32_t j = 0; j < 3; ++j) std::fill(run.begin() + j * kL, run.begin() + (j + 1) * kL, j + 1);
  const int64_t writes = test::faults_calls(test::DafOp::kWrite);
  ASSERT_EQ(hm_fileset_write(ctrl.data(), set.handle, 3, 100, run.data()), 0);
  EXPECT_EQ(test::faults_calls(test::DafOp::kWrite) - writes, 1);
  std::vector<int32_t> back(3 * kL, -1);
  ASSERT_EQ(hm_fileset_read(ctrl.data(), set.handle, 3, 100, back.data()), 0);
  EXPECT_EQ(back, run);
  // Off: the files are read, and they never saw records 100 and 101.
  host.cache[cachew::kState] = 0;
  ASSERT_EQ(hm_fileset_read(ctrl.data(), set.handle, 3, 100, back.data()), 0);
  EXPECT_EQ(back[0], 0);
  EXPECT_EQ(back[kL], 0);
  EXPECT_EQ(back[2 * kL], 3);

  // A cache write refused by the file: the cache's codes, then 33651.
  lay_out(host, memory.data(), 2, 3, 1);
  ASSERT_EQ(hm_fileset_write(ctrl.data(), set.handle, 1, 10, run.data()), 0);
  test::faults_fail(test::DafOp::kWrite, test::faults_calls(test::DafOp::kWrite) + 1);
  host.trace[0] = 0;
  EXPECT_EQ(hm_fileset_write(ctrl.data(), set.handle, 1, 11, run.data()), status::kRecordWrite);
  EXPECT_EQ(host.trace_codes().back(), trace::kCacheWriteFailed);
  host.cache[cachew::kState] = 0;
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST(FileSetCache, RemoveFlushesTheSetAndForgetsIt) {
  test::HostAreas host;
  test::FaultScope faults;
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  std::vector<int32_t> memory(cachew::kNodeLength * 8 + 8 * kL);
  lay_out(host, memory.data(), 2, 3, 8);
  const auto data = record_of(42);
  ASSERT_EQ(hm_fileset_write(ctrl.data(), set.handle, 1, 60, data.data()), 0);
  const auto header = std::vector<int32_t>(ctrl.begin() + set.handle - 1,
                                           ctrl.begin() + set.handle + 99);
  // The tables and the header are written into the cache, then flushed.
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  EXPECT_EQ(host.cache[cachew::kTreeCount], 0);  // nothing of the set is left
  EXPECT_EQ(host.cache[cachew::kFreeCount], 8);
  EXPECT_EQ(host.cache[cachew::kState], 3);       // not the library's memory

  host.cache[cachew::kState] = 0;
  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  EXPECT_EQ(std::vector<int32_t>(ctrl.begin() + set.handle - 1, ctrl.begin() + set.handle + 99),
            header);
  std::vector<int32_t> back(kL, -1);
  ASSERT_EQ(hm_fileset_read(ctrl.data(), set.handle, 1, 60, back.data()), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST(FileSetCache, RemoveGrowsTheFilesToTheSetsEnd) {
  test::HostAreas host;
  test::FaultScope faults;
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  // As if the set had been created with a memory-first cache on and had
  // grown by 6 records that so far live only in the cache.
  std::vector<int32_t> memory(cachew::kNodeLength * 4 + 4 * kL);
  lay_out(host, memory.data(), 2, 3, 4);
  ctrl[set.handle + fsw::kCacheFlag - 2] = 1;
  ctrl[set.handle + fsw::kEnd - 2] = 320;
  const auto data = record_of(9);
  ASSERT_EQ(hm_fileset_write(ctrl.data(), set.handle, 1, 319, data.data()), 0);
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  for (auto &name : set.names) {
    struct stat st;
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16 + 160LL * kL * 4);
  }
  host.cache[cachew::kState] = 0;
  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  EXPECT_EQ(test::fileset_word(ctrl, set, fsw::kCacheFlag), 0);
  EXPECT_EQ(test::fileset_word(ctrl, set, fsw::kEnd), 320);
  std::vector<int32_t> back(kL, -1);
  ASSERT_EQ(hm_fileset_read(ctrl.data(), set.handle, 1, 319, back.data()), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST(FileSetCache, LibraryOwnedMemoryIsFreedAfterTheOtherSetsAreFlushed) {
  test::HostAreas host;
  test::FaultScope faults;
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet a = test::create_fileset(ctrl, 1);
  test::FileSet b = test::create_fileset(ctrl, 2);
  ASSERT_EQ(a.ierr, 0);
  ASSERT_EQ(b.ierr, 0);
  lay_out(host, owned_memory(4), 2, 1, 4);
  const auto data = record_of(7);
  ASSERT_EQ(hm_fileset_write(ctrl.data(), b.handle, 1, 80, data.data()), 0);
  // Killing a frees the memory (the sanitizer build reports it otherwise)
  // and switches the cache off; b's record reached its file first.
  ASSERT_EQ(test::kill_fileset(ctrl, a), 0);
  EXPECT_EQ(host.cache[cachew::kState], 0);
  std::vector<int32_t> back(kL, -1);
  ASSERT_EQ(hm_fileset_read(ctrl.data(), b.handle, 1, 80, back.data()), 0);
  EXPECT_EQ(back, data);

  // The same for removing, with the cache laid out again.
  lay_out(host, owned_memory(4), 1, 1, 4);
  ASSERT_EQ(test::remove_fileset(ctrl, b), 0);
  EXPECT_EQ(host.cache[cachew::kState], 0);
  ASSERT_EQ(test::reopen_fileset(ctrl, b), 0);
  EXPECT_EQ(test::kill_fileset(ctrl, b), 0);
}

}  // namespace
}  // namespace tessera
