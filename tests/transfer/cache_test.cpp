// The block cache against what the record files hold: every test reads the
// files directly through the record-file service to see what reached them.
#include "transfer/cache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "catalogue/tree.h"
#include "common/status.h"
#include "recstore.h"
#include "test_support/fault_injection.h"
#include "test_support/host.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

constexpr int32_t R = 128;

// One file set of n files, 16 records each, record r filled with 1000 r + j.
class Files {
 public:
  Files(const std::string &dir, const std::string &name, int32_t n) : n_(n) {
    for (int32_t i = 0; i < n; ++i) {
      paths_.push_back(dir + "/" + name + std::to_string(i));
      int32_t mode = 2, flag = -1, records = 16, reclen = R, h = 0;
      EXPECT_EQ(DAF_file_create(&h, paths_.back().c_str(), &mode, &flag, &records, &reclen), 0);
      handles_.push_back(h);
    }
    for (int32_t r = 0; r < 16 * n; ++r) put(r, pattern(r, 0));
  }
  ~Files() {
    for (size_t i = 0; i < handles_.size(); ++i) {
      int32_t one = 1, drop = 2;
      DAF_file_close(&handles_[i], paths_[i].c_str(), &one, &drop);
    }
  }
  static std::vector<int32_t> pattern(int32_t r, int32_t version) {
    std::vector<int32_t> v(R);
    for (int32_t j = 0; j < R; ++j) v[j] = 100000 * version + 1000 * r + j;
    return v;
  }
  // The record as the file holds it, bypassing the cache.
  std::vector<int32_t> on_file(int32_t r) const {
    std::vector<int32_t> v(R);
    EXPECT_EQ(DAF_file_nrecord_read(handles_[r % n_], r / n_, R, 1, v.data()), 0);
    return v;
  }
  void put(int32_t r, const std::vector<int32_t> &v) {
    EXPECT_EQ(DAF_file_nrecord_write(handles_[r % n_], r / n_, R, 1, v.data()), 0);
  }
  int32_t n() const { return n_; }
  const int32_t *handles() const { return handles_.data(); }

 private:
  int32_t n_;
  std::vector<std::string> paths_;
  std::vector<int32_t> handles_;
};

class Cache : public ::testing::Test {
 protected:
  Cache() : dir_(test::temp_dir()) {}
  ~Cache() override {
    host.cache[cachew::kState] = 0;
    ::rmdir(dir_.c_str());
  }

  // Lay out a cache of S nodes as a host does, all nodes free.
  void lay_out(int32_t kind, int32_t S) {
    const int32_t w6 = cachew::kNodeLength * S + 1;
    memory.assign(static_cast<size_t>(w6 - 1 + S * R), -7);
    int32_t *x = host.cache;
    int32_t *address = memory.data();
    std::memcpy(x + cachew::kAddress, &address, sizeof address);
    x[cachew::kKind] = kind;
    x[cachew::kState] = 1;
    x[cachew::kMemoryWords] = static_cast<int32_t>(memory.size());
    x[cachew::kNodes] = S;
    x[cachew::kRecordArea] = w6;
    x[cachew::kCapacity] = S;
    x[cachew::kFreeCount] = S;
    x[cachew::kFreeFirst] = S > 0 ? 1 : 0;
    for (int32_t w = cachew::kUseCount; w <= cachew::kTreeRoot; ++w) x[w] = 0;
    for (int32_t i = 1; i <= S; ++i) {
      memory[(i - 1) * cachew::kNodeLength + cachew::kNodeNext - 1] = i < S ? i + 1 : 0;
    }
  }

  std::vector<int32_t> read(const Files &f, int32_t r) {
    std::vector<int32_t> v(R, -1);
    EXPECT_EQ(hm_cache_read(memory.data(), f.n(), f.handles(), R, r, v.data()), 0);
    return v;
  }
  int32_t write(const Files &f, int32_t r, const std::vector<int32_t> &v) {
    return hm_cache_write(memory.data(), f.n(), f.handles(), R, r, v.data());
  }
  int32_t word(int32_t w) const { return host.cache[w]; }

  test::HostAreas host;
  test::FaultScope faults;
  std::string dir_;
  std::vector<int32_t> memory;
};

TEST_F(Cache, KindOneEvictsTheLeastRecentlyUsedRecord) {
  Files f(dir_, "a", 2);
  lay_out(1, 2);
  EXPECT_EQ(read(f, 5), Files::pattern(5, 0));
  EXPECT_EQ(read(f, 6), Files::pattern(6, 0));
  EXPECT_EQ(read(f, 5), Files::pattern(5, 0));
  EXPECT_EQ(read(f, 7), Files::pattern(7, 0));
  EXPECT_EQ(word(cachew::kTreeCount), 2);
  EXPECT_EQ(word(cachew::kUseCount) + word(cachew::kFreeCount), 2);
  // Change the files behind the cache: 5 is still served from memory, 6 was
  // evicted and comes from the file.
  f.put(5, Files::pattern(5, 1));
  f.put(6, Files::pattern(6, 1));
  EXPECT_EQ(read(f, 5), Files::pattern(5, 0));
  EXPECT_EQ(read(f, 6), Files::pattern(6, 1));
}

TEST_F(Cache, KindOneWritesThrough) {
  Files f(dir_, "a", 3);
  lay_out(1, 2);
  ASSERT_EQ(write(f, 9, Files::pattern(9, 2)), 0);
  EXPECT_EQ(f.on_file(9), Files::pattern(9, 2));
  // The following read comes from memory: a refused file read cannot reach it.
  test::faults_fail(test::DafOp::kRead, test::faults_calls(test::DafOp::kRead) + 1, true);
  EXPECT_EQ(read(f, 9), Files::pattern(9, 2));
  EXPECT_EQ(test::faults_injected(), 0);
}

TEST_F(Cache, KindOneFailedReadLeavesNoRecordBehind) {
  Files f(dir_, "a", 1);
  lay_out(1, 2);
  test::faults_fail(test::DafOp::kRead, 1);
  std::vector<int32_t> v(R);
  host.trace[0] = 0;
  EXPECT_EQ(hm_cache_read(memory.data(), 1, f.handles(), R, 4, v.data()), status::kRecordRead);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{31553});
  EXPECT_EQ(word(cachew::kTreeCount), 0);
  EXPECT_EQ(word(cachew::kFreeCount), 2);
  EXPECT_EQ(read(f, 4), Files::pattern(4, 0));
}

TEST_F(Cache, KindTwoKeepsRecordsInMemoryWhileNodesAreFree) {
  Files f(dir_, "a", 2);
  lay_out(2, 1);
  ASSERT_EQ(write(f, 3, Files::pattern(3, 5)), 0);
  ASSERT_EQ(write(f, 4, Files::pattern(4, 5)), 0);
  EXPECT_EQ(f.on_file(3), Files::pattern(3, 0));  // only in memory
  EXPECT_EQ(f.on_file(4), Files::pattern(4, 5));  // no node left: to the file
  EXPECT_EQ(read(f, 3), Files::pattern(3, 5));
  EXPECT_EQ(read(f, 4), Files::pattern(4, 5));
  EXPECT_EQ(word(cachew::kTreeCount), 1);  // reads insert nothing
  // A second write of 3 stays in memory too.
  ASSERT_EQ(write(f, 3, Files::pattern(3, 6)), 0);
  EXPECT_EQ(f.on_file(3), Files::pattern(3, 0));
  ASSERT_EQ(hm_cache_flush(memory.data(), f.n(), f.handles(), R), 0);
  EXPECT_EQ(f.on_file(3), Files::pattern(3, 6));
  EXPECT_EQ(word(cachew::kTreeCount), 1);  // flushed records stay cached
}

TEST_F(Cache, FlushStopsAtTheFirstRefusedWrite) {
  Files f(dir_, "a", 1);
  lay_out(2, 3);
  for (int32_t r = 1; r <= 3; ++r) ASSERT_EQ(write(f, r, Files::pattern(r, 1)), 0);
  test::faults_fail(test::DafOp::kWrite, test::faults_calls(test::DafOp::kWrite) + 2);
  host.trace[0] = 0;
  EXPECT_EQ(hm_cache_flush(memory.data(), 1, f.handles(), R), status::kRecordWrite);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{31500});
  EXPECT_EQ(f.on_file(1), Files::pattern(1, 1));
  EXPECT_EQ(f.on_file(3), Files::pattern(3, 0));
}

TEST_F(Cache, DiscardingForgetsOnlyTheRange) {
  Files f(dir_, "a", 1);
  lay_out(2, 4);
  for (int32_t r : {2, 5, 6}) ASSERT_EQ(write(f, r, Files::pattern(r, 1)), 0);
  // A range without cached records changes nothing at all.
  const std::vector<int32_t> before_memory = memory;
  const std::vector<int32_t> before_words(host.cache, host.cache + 20);
  ASSERT_EQ(hm_cache_discard_range(memory.data(), f.handles()[0], 2, 3), 0);
  EXPECT_EQ(memory, before_memory);
  EXPECT_EQ(std::vector<int32_t>(host.cache, host.cache + 20), before_words);

  ASSERT_EQ(hm_cache_discard_range(memory.data(), f.handles()[0], 5, 4), 0);
  EXPECT_EQ(word(cachew::kTreeCount), 1);
  EXPECT_EQ(word(cachew::kFreeCount), 3);
  EXPECT_EQ(read(f, 5), Files::pattern(5, 0));  // forgotten, never written
  EXPECT_EQ(read(f, 2), Files::pattern(2, 1));
}

TEST_F(Cache, TwoOpenFileSetsKeepTheirRecordsApart) {
  Files a(dir_, "a", 1);
  Files b(dir_, "b", 2);
  ASSERT_NE(a.handles()[0], b.handles()[0]);
  lay_out(2, 4);
  ASSERT_EQ(write(a, 1, Files::pattern(1, 3)), 0);
  ASSERT_EQ(write(b, 1, Files::pattern(1, 4)), 0);
  ASSERT_EQ(write(b, 2, Files::pattern(2, 4)), 0);
  EXPECT_EQ(read(a, 1), Files::pattern(1, 3));
  EXPECT_EQ(read(b, 1), Files::pattern(1, 4));
  EXPECT_EQ(word(cachew::kTreeCount), 3);

  // Removing set a flushes only its own records.
  ASSERT_EQ(hm_cache_flush(memory.data(), a.n(), a.handles(), R), 0);
  EXPECT_EQ(a.on_file(1), Files::pattern(1, 3));
  EXPECT_EQ(b.on_file(1), Files::pattern(1, 0));
  EXPECT_EQ(b.on_file(2), Files::pattern(2, 0));
  ASSERT_EQ(hm_cache_discard_set(memory.data(), a.handles()[0]), 0);
  EXPECT_EQ(word(cachew::kTreeCount), 2);

  // Killing set b forgets its records without writing them.
  ASSERT_EQ(hm_cache_discard_set(memory.data(), b.handles()[0]), 0);
  EXPECT_EQ(word(cachew::kTreeCount), 0);
  EXPECT_EQ(word(cachew::kFreeCount), 4);
  EXPECT_EQ(word(cachew::kUseCount), 0);
  EXPECT_EQ(b.on_file(1), Files::pattern(1, 0));
}

TEST_F(Cache, KindOneUnderALongRandomWorkloadMatchesTheFiles) {
  Files f(dir_, "a", 3);
  lay_out(1, 5);
  std::vector<std::vector<int32_t>> model;
  for (int32_t r = 0; r < 48; ++r) model.push_back(Files::pattern(r, 0));
  uint32_t seed = 7;
  for (int32_t step = 0; step < 400; ++step) {
    seed = seed * 1103515245u + 12345u;
    const int32_t r = static_cast<int32_t>((seed >> 8) % 48);
    if ((seed >> 20) % 3 == 0) {
      model[r] = Files::pattern(r, step);
      ASSERT_EQ(write(f, r, model[r]), 0);
    } else {
      ASSERT_EQ(read(f, r), model[r]) << step;
    }
    ASSERT_EQ(word(cachew::kUseCount) + word(cachew::kFreeCount), 5);
    ASSERT_EQ(word(cachew::kTreeCount), word(cachew::kUseCount));
  }
  for (int32_t r = 0; r < 48; ++r) EXPECT_EQ(f.on_file(r), model[r]);
}

}  // namespace
}  // namespace tessera
