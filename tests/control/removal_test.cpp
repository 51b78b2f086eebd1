// Removing a file set when the disk refuses writes: whatever write of hmremf
// is refused, the set on disk stays the one the previous removal stored
// (checked on copies of the files, opened in a control area of their own),
// and a retried hmremf stores the set as it is now.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/record_space.h"
#include "common/status.h"
#include "common/word_view.h"
#include "selfcheck/consistency.h"
#include "control/control_words.h"
#include "control/fileset_codes.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/fileset_fixture.h"
#include "test_support/host.h"

namespace tessera {
namespace {

using test::DafOp;

// Short records make both tables span several records (16 and 10).
constexpr int32_t kArea = 60000;
constexpr int32_t kRecord = 128;
constexpr int32_t kRows = 24;
constexpr int32_t kCols = 18;

struct Named {
  int32_t words[3];
  explicit Named(const char *name) {
    char bytes[12];
    std::memset(bytes, ' ', sizeof bytes);
    std::memcpy(bytes, name, std::strlen(name));
    std::memcpy(words, bytes, sizeof bytes);
  }
};

// Values of a double matrix, distinct per matrix.
std::vector<double> values_of(int32_t seed) {
  std::vector<double> v(static_cast<size_t>(kRows) * kCols);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(seed * 1000 + i % 977) - 0.25;
  return v;
}

int32_t put_new(std::vector<int32_t> &ctrl, int32_t P, const char *name, int32_t seed) {
  Named n(name);
  int32_t q = 1, type = 4, form = 3, rows = kRows, cols = kCols, handle = 0, ierr = -1;
  hmnewm(ctrl.data(), n.words, &q, &P, &type, &form, &rows, &cols, &handle, &ierr);
  if (ierr != 0) return ierr;
  std::vector<double> v = values_of(seed);
  int32_t one = 1;
  hmputs(ctrl.data(), &handle, &one, &rows, &one, &cols, reinterpret_cast<const float *>(v.data()),
         &rows, &ierr);
  if (ierr != 0) return ierr;
  hmrelm(ctrl.data(), &handle, &ierr);
  return ierr;
}

// The matrix is in the set at P with the values of `seed`, or (seed 0) is
// not there at all.
void expect_matrix(std::vector<int32_t> &ctrl, int32_t P, const char *name, int32_t seed,
                   const std::string &where) {
  Named n(name);
  int32_t q = 1;
  if (seed == 0) {
    int32_t state = 0;
    hminqm(ctrl.data(), n.words, &q, &P, &state);
    EXPECT_EQ(state, -1) << where << ": " << name << " should not be stored";
    return;
  }
  int32_t readonly = 1, type = 0, form = 0, rows = 0, cols = 0, handle = 0, ierr = -1;
  hmoldm(ctrl.data(), n.words, &q, &P, &readonly, &type, &form, &rows, &cols, &handle, &ierr);
  ASSERT_EQ(ierr, 0) << where << ": " << name << " does not open";
  std::vector<double> got(static_cast<size_t>(kRows) * kCols, -7.0);
  int32_t one = 1;
  hmgets(ctrl.data(), &handle, &one, &rows, &one, &cols, reinterpret_cast<float *>(got.data()),
         &rows, &ierr);
  EXPECT_EQ(ierr, 0) << where << ": " << name << " does not read";
  EXPECT_EQ(got, values_of(seed)) << where << ": " << name;
  hmrelm(ctrl.data(), &handle, &ierr);
  EXPECT_EQ(ierr, 0) << where;
}

// Open copies of the set's files in a control area of their own and check
// the stored matrices; the copies are removed again (the check's own
// removal must go through too).
void expect_on_disk(test::FileSet &set, int32_t alpha, int32_t beta, const std::string &where) {
  test::FileSet copy;
  copy.dir = test::temp_dir();
  copy.names = test::fileset_names(copy.dir, set.count(), "copy");
  for (int32_t i = 0; i < set.count(); ++i) {
    std::filesystem::copy_file(set.names[static_cast<size_t>(i)],
                               copy.names[static_cast<size_t>(i)]);
  }
  auto ctrl = test::make_control_area(kArea, 2, 6, kRecord);
  ASSERT_EQ(test::reopen_fileset(ctrl, copy), 0) << where << ": the stored set does not open";
  std::string why;
  EXPECT_TRUE(hm_check_fileset(ctrl.data(), copy.handle, &why)) << where << ": " << why;
  expect_matrix(ctrl, copy.handle, "ALPHA", alpha, where);
  expect_matrix(ctrl, copy.handle, "BETA", beta, where);
  EXPECT_TRUE(hm_check_fileset(ctrl.data(), copy.handle, &why)) << where << ": " << why;
  EXPECT_EQ(test::remove_fileset(ctrl, copy), 0) << where << ": the copy does not remove";
  std::error_code ec;
  std::filesystem::remove_all(copy.dir, ec);
}

// A set stored once with ALPHA, opened again, BETA added; `grown` grows the
// set's extent table first, so that it leaves the stored table's records:
// BETA must not be written into them, nor may the removal's tables be.
struct Scenario {
  std::vector<int32_t> ctrl;
  test::FileSet set;

  explicit Scenario(bool grown) {
    ctrl = test::make_control_area(kArea, 2, 6, kRecord);
    set = test::create_fileset(ctrl, 2);
    EXPECT_EQ(set.ierr, 0);
    EXPECT_EQ(put_new(ctrl, set.handle, "ALPHA", 1), 0);
    EXPECT_EQ(test::remove_fileset(ctrl, set), 0);
    EXPECT_EQ(test::reopen_fileset(ctrl, set), 0);
    if (grown) {
      EXPECT_EQ(hm_grow_fileset_table(ctrl.data(), set.handle), 0);
    }
    EXPECT_EQ(put_new(ctrl, set.handle, "BETA", 2), 0);
  }
  ~Scenario() {
    if (set.handle != 0) {
      int32_t mode = 1;
      hmclos(ctrl.data(), &mode);
    }
    test::faults_close_open_files();
    std::error_code ec;
    std::filesystem::remove_all(set.dir, ec);
  }
};

// Writes the removal makes in a scenario.
int64_t removal_writes(bool grown) {
  Scenario s(grown);
  const int64_t before = test::faults_calls(DafOp::kWrite);
  EXPECT_EQ(test::remove_fileset(s.ctrl, s.set), 0);
  return test::faults_calls(DafOp::kWrite) - before;
}

void sweep_removal(bool grown) {
  test::HostAreas host;
  test::FaultScope faults;
  const int64_t writes = removal_writes(grown);
  ASSERT_GT(writes, 3);
  for (int64_t k = 1; k <= writes; ++k) {
    for (bool full_disk : {false, true}) {
      const std::string where = std::string(full_disk ? "writes refused from " : "write ") +
                                std::to_string(k) + " of hmremf refused";
      Scenario s(grown);
      test::faults_fail(DafOp::kWrite, test::faults_calls(DafOp::kWrite) + k, full_disk);
      const int32_t P = s.set.handle;
      EXPECT_EQ(test::remove_fileset(s.ctrl, s.set), status::kRecordWrite) << where;
      const std::vector<int32_t> trace = host.trace_codes();
      ASSERT_FALSE(trace.empty()) << where;
      // The last write is the header's; every one before it a table's.
      EXPECT_EQ(trace.back(), k == writes ? trace::kRemHeader : trace::kRemTableWrite) << where;
      test::faults_reset();
      std::string why;
      EXPECT_TRUE(hm_check_control(s.ctrl.data(), &why)) << where << ": " << why;
      EXPECT_TRUE(hm_check_fileset(s.ctrl.data(), P, &why)) << where << ": " << why;
      expect_on_disk(s.set, 1, 0, where);
      s.set.handle = P;
      ASSERT_EQ(test::remove_fileset(s.ctrl, s.set), 0) << where << ", then retried";
      expect_on_disk(s.set, 1, 2, where + ", then retried");
    }
  }
}

TEST(RemovalRefused, EveryWriteLeavesThePreviousRemovalOnDisk) { sweep_removal(false); }

TEST(RemovalRefused, AGrownExtentTableLeavesTheStoredOneWhole) { sweep_removal(true); }

// A removal moves the tables off the stored ones and gives those back; the
// set's first removal writes them where creation put them.
TEST(RemovalRefused, TablesMoveOnEveryRemovalButTheFirst) {
  test::HostAreas host;
  test::FaultScope faults;
  auto ctrl = test::make_control_area(kArea, 2, 6, kRecord);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  WordView fs(ctrl.data(), set.handle);
  const int32_t table = fs[fsw::kTableFirstRecord], nodes = fs[fsw::kNodeFirstRecord];
  const int32_t A = fs[fsw::kTableRecords], D = fs[fsw::kNodeRecords];
  EXPECT_EQ(table, 1);
  EXPECT_EQ(nodes, 1 + A);
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  int32_t pt = 0, pd = 0;
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
    WordView now(ctrl.data(), set.handle);
    const int32_t t = now[fsw::kTableFirstRecord], d = now[fsw::kNodeFirstRecord];
    EXPECT_EQ(now[fsw::kTableRecords], A);
    EXPECT_EQ(now[fsw::kNodeRecords], D);
    if (round == 0) {
      EXPECT_EQ(t, table);
      EXPECT_EQ(d, nodes);
    } else {
      // Clear of the placement the previous header named, and of each other.
      for (auto [r, len] : {std::pair{pt, A}, std::pair{pd, D}}) {
        EXPECT_TRUE(t + A <= r || r + len <= t) << "removal " << round + 1;
        EXPECT_TRUE(d + D <= r || r + len <= d) << "removal " << round + 1;
      }
    }
    EXPECT_TRUE(t + A <= d || d + D <= t);
    std::string why;
    EXPECT_TRUE(hm_check_fileset(ctrl.data(), set.handle, &why)) << why;
    pt = t;
    pd = d;
    ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  }
  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

}  // namespace
}  // namespace tessera
