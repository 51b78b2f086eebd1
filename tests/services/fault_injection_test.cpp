// The counting layer every test program puts in front of the record-file
// service: counting, failing the nth call, a full disk, and resets.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "recstore.h"
#include "test_support/fault_injection.h"
#include "test_support/host.h"

namespace tessera::test {

int probe_write_from_archive(int32_t handle, int32_t record, int32_t reclen,
                             const int32_t *buffer);  // services/probe/fault_probe.cpp

namespace {

constexpr int32_t L = 4;

struct File {
  std::string path;
  int32_t handle = 0;
  int create(int32_t records = 2) {
    int32_t mode = 2, flag = -1, reclen = L;
    return DAF_file_create(&handle, path.c_str(), &mode, &flag, &records, &reclen);
  }
  int open() {
    int32_t mode = 5, o1, o2, reclen = 0;
    return DAF_file_open(&handle, path.c_str(), &mode, &o1, &o2, &reclen);
  }
  int close(int32_t disposition = 1) {
    int32_t h = handle, one = 1;
    return DAF_file_close(&h, path.c_str(), &one, &disposition);
  }
  int extend(int32_t first, int32_t count) {
    int32_t work[L], reclen = L;
    return DAF_file_extend(work, &handle, &first, &reclen, &count);
  }
  int write(int32_t r, int32_t value) {
    const std::vector<int32_t> rec(L, value);
    return DAF_file_nrecord_write(handle, r, L, 1, rec.data());
  }
  int read(int32_t r, int32_t &value) {
    std::vector<int32_t> rec(L);
    const int rc = DAF_file_nrecord_read(handle, r, L, 1, rec.data());
    value = rec[0];
    return rc;
  }
};

// The definitions the program uses are the layer's, not the service's: the
// core is linked statically into the same program, so its calls bind to the
// same addresses as these.
TEST(FaultInjection, TheProgramsDefinitionsStandInFrontOfTheService) {
  void *next = ::dlsym(RTLD_NEXT, "DAF_file_nrecord_write");
  ASSERT_NE(next, nullptr);
  EXPECT_NE(reinterpret_cast<void *>(&DAF_file_nrecord_write), next);
  Dl_info info{};
  ASSERT_NE(::dladdr(next, &info), 0);
  EXPECT_NE(std::string(info.dli_fname).find("recstore"), std::string::npos) << info.dli_fname;
}

// A call made inside a static archive, as the library core makes them, is
// counted and can be failed: the static linker bound it to the program's
// definition, never to the service library's.
TEST(FaultInjection, CallsFromAStaticArchiveReachTheLayer) {
  FaultScope scope;
  File f{temp_dir() + "/f"};
  ASSERT_EQ(f.create(), 0);
  const std::vector<int32_t> rec(L, 77);
  EXPECT_EQ(probe_write_from_archive(f.handle, 0, L, rec.data()), 0);
  EXPECT_EQ(faults_calls(DafOp::kWrite), 1);
  faults_fail(DafOp::kWrite, 2);
  const std::vector<int32_t> other(L, 88);
  EXPECT_NE(probe_write_from_archive(f.handle, 0, L, other.data()), 0);
  int32_t v = 0;
  ASSERT_EQ(f.read(0, v), 0);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(f.close(2), 0);
}

TEST(FaultInjection, PassesThroughAndCountsEveryOperation) {
  FaultScope scope;
  const int64_t open_before = faults_open_files();
  File f{temp_dir() + "/f"};
  ASSERT_EQ(f.create(), 0);
  ASSERT_EQ(f.write(1, 42), 0);
  int32_t v = 0;
  ASSERT_EQ(f.read(1, v), 0);
  EXPECT_EQ(v, 42);
  ASSERT_EQ(f.extend(2, 1), 0);
  ASSERT_EQ(f.close(), 0);
  ASSERT_EQ(f.open(), 0);
  ASSERT_EQ(f.read(2, v), 0);
  ASSERT_EQ(f.close(2), 0);
  EXPECT_EQ(faults_calls(DafOp::kCreate), 1);
  EXPECT_EQ(faults_calls(DafOp::kOpen), 1);
  EXPECT_EQ(faults_calls(DafOp::kClose), 2);
  EXPECT_EQ(faults_calls(DafOp::kExtend), 1);
  EXPECT_EQ(faults_calls(DafOp::kRead), 2);
  EXPECT_EQ(faults_calls(DafOp::kWrite), 1);
  EXPECT_EQ(faults_calls(DafOp::kAny), 8);
  EXPECT_EQ(faults_injected(), 0);
  EXPECT_EQ(faults_open_files(), open_before);
}

TEST(FaultInjection, FailsOnlyTheNthCallOfAnOperationWithoutReachingTheService) {
  FaultScope scope;
  File f{temp_dir() + "/f"};
  ASSERT_EQ(f.create(), 0);
  faults_fail(DafOp::kWrite, faults_calls(DafOp::kWrite) + 2);
  EXPECT_EQ(f.write(0, 1), 0);
  EXPECT_NE(f.write(1, 2), 0);  // injected: the record must stay zero
  EXPECT_EQ(f.write(0, 3), 0);
  int32_t v = -1;
  ASSERT_EQ(f.read(1, v), 0);
  EXPECT_EQ(v, 0);
  ASSERT_EQ(f.read(0, v), 0);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(faults_injected(), 1);
  EXPECT_EQ(faults_calls(DafOp::kWrite), 3);

  // A rule for one operation ignores the others, even when their own counts
  // pass through its number.
  faults_fail(DafOp::kRead, faults_calls(DafOp::kRead) + 3);
  EXPECT_EQ(f.extend(2, 1), 0);
  EXPECT_EQ(f.write(2, 4), 0);
  EXPECT_EQ(f.read(2, v), 0);
  EXPECT_EQ(f.read(2, v), 0);
  EXPECT_NE(f.read(2, v), 0);
  EXPECT_EQ(faults_injected(), 2);

  // The nth call of any kind.
  faults_fail(DafOp::kAny, faults_calls(DafOp::kAny) + 2);
  EXPECT_EQ(f.read(0, v), 0);
  EXPECT_NE(f.extend(3, 1), 0);
  EXPECT_EQ(f.extend(3, 1), 0);  // the file did not grow the first time
  EXPECT_EQ(faults_injected(), 3);
  EXPECT_EQ(f.close(2), 0);
}

TEST(FaultInjection, FromTheNthCallOnEveryCallFailsLikeAFullDisk) {
  FaultScope scope;
  const std::string dir = temp_dir();
  File a{dir + "/a"}, b{dir + "/b"};
  faults_close_open_files();  // whatever earlier tests left open
  faults_fail(DafOp::kAny, 3, true);
  ASSERT_EQ(a.create(), 0);
  ASSERT_EQ(a.write(0, 5), 0);
  EXPECT_NE(a.write(1, 6), 0);
  int32_t v;
  EXPECT_NE(a.read(0, v), 0);
  b.handle = -9;
  EXPECT_NE(b.create(), 0);
  EXPECT_EQ(b.handle, 0);  // a refused create hands out no handle
  EXPECT_NE(a.close(), 0);
  EXPECT_EQ(faults_injected(), 4);
  EXPECT_EQ(faults_open_files(), 1);  // the injected close never reached the service

  faults_reset();
  EXPECT_EQ(faults_calls(DafOp::kAny), 0);
  EXPECT_EQ(faults_injected(), 0);
  ASSERT_EQ(a.read(0, v), 0);  // the file is still open and holds its record
  EXPECT_EQ(v, 5);
  EXPECT_EQ(faults_close_open_files(), 1);
  EXPECT_EQ(faults_open_files(), 0);
  EXPECT_NE(a.read(0, v), 0);  // now it is closed
}

TEST(FaultInjection, ScopeAndEachNewTestStartFromACleanPlan) {
  File f{temp_dir() + "/f"};
  {
    FaultScope scope;
    faults_fail(DafOp::kCreate, 1, true);
    EXPECT_NE(f.create(), 0);
  }
  EXPECT_EQ(faults_calls(DafOp::kCreate), 0);
  faults_fail(DafOp::kOpen, 1, true);  // left for the next test to outlive
  ASSERT_EQ(f.create(), 0);
  EXPECT_EQ(f.close(2), 0);
}

// Runs after the test above when the program runs as a whole (ctest runs each
// test in a process of its own, where it passes trivially).
TEST(FaultInjection, ZNextTestIsNotHitByTheLastTestsPlan) {
  EXPECT_EQ(faults_calls(DafOp::kAny), 0);
  File f{temp_dir() + "/f"};
  ASSERT_EQ(f.create(), 0);
  ASSERT_EQ(f.close(), 0);
  EXPECT_EQ(f.open(), 0);
  EXPECT_EQ(f.close(2), 0);
}

}  // namespace
}  // namespace tessera::test
