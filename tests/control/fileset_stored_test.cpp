// Opening stored sets: damaged headers and tables, files that do not belong
// together, the failure chains of hmoldf, and removing or killing again
// after a failure part-way.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/fileset_codes.h"
#include "recstore.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/fault_scoped_test.h"
#include "test_support/fileset_fixture.h"
#include "test_support/host.h"

namespace tessera {
namespace {

using StoredSet = test::FaultScopedTest;
using RetryAfterFailure = test::FaultScopedTest;

using Codes = std::vector<int32_t>;
constexpr int32_t kLength = 300000;
constexpr int32_t kL = 2048;

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int32_t w(const std::vector<int32_t> &ctrl, int32_t j) { return ctrl[static_cast<size_t>(j - 1)]; }

// Overwrite word j (1-based) of record r of a stored set of n files.
void poke(const test::FileSet &set, int32_t r, int32_t j, int32_t value) {
  const int32_t n = set.count();
  std::FILE *f = std::fopen(set.names[static_cast<size_t>(r % n)].c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  const long offset = 16 + (static_cast<long>(r / n) * kL + (j - 1)) * 4;
  ASSERT_EQ(std::fseek(f, offset, SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(&value, sizeof value, 1, f), 1u);
  std::fclose(f);
}

int32_t peek(const test::FileSet &set, int32_t r, int32_t j) {
  const int32_t n = set.count();
  std::FILE *f = std::fopen(set.names[static_cast<size_t>(r % n)].c_str(), "rb");
  int32_t value = 0;
  const long offset = 16 + (static_cast<long>(r / n) * kL + (j - 1)) * 4;
  std::fseek(f, offset, SEEK_SET);
  EXPECT_EQ(std::fread(&value, sizeof value, 1, f), 1u);
  std::fclose(f);
  return value;
}

// A stored set of two files in the worked example's shape.
test::FileSet stored_set() {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  EXPECT_EQ(set.ierr, 0);
  EXPECT_EQ(test::remove_fileset(ctrl, set), 0);
  return set;
}

// A record file of `records` records of `length` words.
void plain_file(const std::string &path, int32_t records, int32_t length) {
  int32_t handle = 0, mode = 2, flag = -1, one = 1, keep = 1;
  ASSERT_EQ(DAF_file_create(&handle, path.c_str(), &mode, &flag, &records, &length), 0);
  ASSERT_EQ(DAF_file_close(&handle, path.c_str(), &one, &keep), 0);
}

// hmoldf of `set` must be refused with `status` and `codes` on a fresh area
// (left fresh, words 1-256 as they were) and on an area with another set
// open (its pools whole); the files stay, closed; a new set can follow.
// `arm` runs right before each hmoldf (to aim a fault at it).
void expect_refused(test::HostAreas &host, test::FileSet &set, int32_t status_value,
                    const Codes &codes, bool fresh_only = false,
                    const std::function<void()> &arm = [] {}) {
  const int64_t open_at_start = test::faults_open_files();
  {
    auto ctrl = test::make_control_area(kLength, 2, 10);
    const std::vector<int32_t> before(ctrl.begin(), ctrl.begin() + 256);
    arm();
    EXPECT_EQ(test::reopen_fileset(ctrl, set), status_value);
    EXPECT_EQ(host.trace_codes(), codes);
    EXPECT_EQ(set.handle, 0);
    EXPECT_EQ(std::vector<int32_t>(ctrl.begin(), ctrl.begin() + 256), before);
    EXPECT_EQ(test::faults_open_files(), open_at_start);
    test::FileSet next = test::create_fileset(ctrl, 1);
    EXPECT_EQ(next.ierr, 0);
    EXPECT_EQ(test::kill_fileset(ctrl, next), 0);
  }
  if (!fresh_only) {
    auto ctrl = test::make_control_area(kLength, 2, 10);
    test::FileSet other = test::create_fileset(ctrl, 1);
    ASSERT_EQ(other.ierr, 0);
    const int32_t units = w(ctrl, 149), pairs = w(ctrl, 159), u = w(ctrl, 132), b = w(ctrl, 133);
    arm();
    EXPECT_EQ(test::reopen_fileset(ctrl, set), status_value);
    EXPECT_EQ(host.trace_codes(), codes);
    EXPECT_EQ(w(ctrl, cw::kFsFree), 1);
    EXPECT_EQ(w(ctrl, 149), units);
    EXPECT_EQ(w(ctrl, 159), pairs);
    EXPECT_EQ(w(ctrl, 132), u);
    EXPECT_EQ(w(ctrl, 133), b);
    test::FileSet next = test::create_fileset(ctrl, 1, 0, 0, other.dir, "next");
    EXPECT_EQ(next.ierr, 0);
    EXPECT_EQ(test::kill_fileset(ctrl, next), 0);
    EXPECT_EQ(test::kill_fileset(ctrl, other), 0);
  }
  EXPECT_TRUE(exists(set.names[0]));
}

TEST_F(StoredSet, DamagedHeaderWordsAreRefused) {
  const Codes header = {trace::kStoredHeader, 33433, 32507};
  const Codes counts = {trace::kStoredFileCount, 33433, 32507};
  struct Case {
    int32_t word, value;
    Codes codes;
  };
  const Case cases[] = {
      {41, 4096, header},    // record length other than the files'
      {42, 2, header},       // header records
      {51, 1000000, header}, // extent table far past the end
      {52, 400, header},     // extent table starts past the end
      {52, 0, header},       // ... or over the header
      {54, 100000, header},  // capacity larger than its records
      {55, 600, header},     // free entries above the capacity
      {59, 600, header},     // list A's first extent
      {64, -1, header},      // list B's last extent
      {66, 314, header},     // node table at the end
      {68, 171, header},     // node capacity larger than its record
      {70, 171, header},     // first free node
      {72, -3, header},      // directory root
      {76, 314, header},     // header record past the end
      {77, 0, header},       // header offset
      {45, 313, counts},     // not shared evenly by two files
      {50, 1000, counts},    // more records than the files hold
      {45, -2, header},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("word " + std::to_string(c.word));
    test::FileSet set = stored_set();
    const int32_t good = peek(set, 0, c.word);
    poke(set, 0, c.word, c.value);
    expect_refused(host, set, status::kRecordRead, c.codes);
    poke(set, 0, c.word, good);
    auto ctrl = test::make_control_area(kLength, 2, 10);
    ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);  // repaired, it opens
    ASSERT_EQ(test::kill_fileset(ctrl, set), 0);
  }
  // The sizes the pools are laid out with count only on a fresh area.
  for (auto [word, value] : {std::pair{81, 100}, std::pair{80, 0}, std::pair{85, 0}}) {
    SCOPED_TRACE("word " + std::to_string(word));
    test::FileSet set = stored_set();
    poke(set, 0, word, value);
    expect_refused(host, set, status::kRecordRead, header, true);
  }
}

TEST_F(StoredSet, DamagedTablesAreRefused) {
  const Codes tables = {trace::kStoredTables, 33429, 32507};
  struct Case {
    int32_t record, word, value;
  };
  // The extent table is record 1 (entry e at words 4e-3 .. 4e), the node
  // table record 2 (node x at words 12x-11 .. 12x).
  const Case cases[] = {
      {1, 4, 400},    // list A's extent starts past the end
      {1, 3, 400},    // ... or runs past it
      {1, 1, 9999},   // a next link out of the table
      {1, 6, 5},      // list B's extent names a wrong predecessor
      {1, 8, 10},     // list B's extent overlaps list A's
      {1, 9, 700},    // the free-entry chain leaves the table
      {2, 1, 500},    // the free-node chain leaves the table
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("record " + std::to_string(c.record) + " word " + std::to_string(c.word));
    test::FileSet set = stored_set();
    poke(set, c.record, c.word, c.value);
    expect_refused(host, set, status::kRecordRead, tables);
  }
  // A free count one short leaves a chain that runs on past it, into what
  // would be handed out as free although the count says it is not.
  for (int32_t word : {55, 69}) {
    SCOPED_TRACE("word " + std::to_string(word));
    test::FileSet set = stored_set();
    poke(set, 0, word, peek(set, 0, word) - 1);
    expect_refused(host, set, status::kRecordRead, tables);
  }
}

TEST_F(StoredSet, DirectoryTreeLinksAreChecked) {
  test::FileSet set = stored_set();
  // One node in the tree: node 170 taken off the free chain as the root.
  poke(set, 0, 69, 169);  // free nodes
  poke(set, 0, 71, 1);    // nodes in the tree
  poke(set, 0, 72, 170);  // root
  poke(set, 2, 168 * 12 + 1, 0);  // the free chain now ends at node 169
  poke(set, 2, 169 * 12 + 8, 0);
  poke(set, 2, 169 * 12 + 11, 0);
  poke(set, 2, 169 * 12 + 12, 0);
  auto ctrl = test::make_control_area(kLength, 2, 10);
  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  // The removal stored the node table at records of its own.
  const int32_t nodes = peek(set, 0, 66);
  ASSERT_NE(nodes, 2);
  poke(set, nodes, 169 * 12 + 12, 3);  // a right child whose parent is not 170
  expect_refused(host, set, status::kRecordRead, {trace::kStoredTables, 33429, 32507});
  poke(set, nodes, 169 * 12 + 12, 171);  // a child out of the table
  expect_refused(host, set, status::kRecordRead, {trace::kStoredTables, 33429, 32507});
  poke(set, nodes, 169 * 12 + 12, 0);
  poke(set, nodes, 169 * 12 + 7, 5000);  // a matrix handle: none is open in a stored set
  expect_refused(host, set, status::kRecordRead, {trace::kStoredTables, 33429, 32507});
}

TEST_F(StoredSet, FilesThatDoNotMakeTheSet) {
  test::FileSet set = stored_set();
  // One file of the two: the first file holds half the records.
  test::FileSet half = set;
  half.names.resize(1);
  expect_refused(host, half, status::kRecordRead, {trace::kStoredFileCount, 33433, 32507});
  // Three files: 314 records do not share out over three.
  test::FileSet three = set;
  three.names.push_back(set.dir + "/third.hm");
  plain_file(three.names[2], 157, kL);
  expect_refused(host, three, status::kRecordRead, {trace::kStoredFileCount, 33433, 32507});
  // A second file of another record length.
  test::FileSet mixed = set;
  mixed.names[1] = set.dir + "/short.hm";
  plain_file(mixed.names[1], 157, 1024);
  expect_refused(host, mixed, status::kRecordRead, {trace::kStoredRecordLength, 33432, 32507});
  // Records too short for a set at all.
  test::FileSet tiny;
  tiny.dir = set.dir;
  tiny.names = {set.dir + "/tiny.hm"};
  plain_file(tiny.names[0], 10, 64);
  expect_refused(host, tiny, status::kRecordRead, {trace::kStoredRecordLength, 33432, 32507});
}

TEST_F(StoredSet, ArgumentsRefusedBeforeAnyFileIsOpened) {
  test::FileSet set = stored_set();
  auto ctrl = test::make_control_area(kLength, 2, 10);
  std::vector<char *> argv = set.argv();
  std::string longname(81, 'y');
  for (int32_t n : {0, -1, 11}) {
    int32_t P = -1, ierr = -1;
    hmoldf(ctrl.data(), &n, argv.data(), &P, &ierr);
    EXPECT_EQ(ierr, status::kBadFilesetArgument);
    EXPECT_EQ(host.trace_codes(), (Codes{trace::kOldBadFileCount, 32507}));
  }
  argv[1] = longname.data();
  int32_t n = 2, P = -1, ierr = -1;
  hmoldf(ctrl.data(), &n, argv.data(), &P, &ierr);
  EXPECT_EQ(ierr, status::kBadFilesetArgument);
  EXPECT_EQ(host.trace_codes(), (Codes{trace::kOldNameTooLong, 32507}));
  EXPECT_EQ(test::faults_calls(test::DafOp::kOpen), 0);
  EXPECT_EQ(w(ctrl, cw::kFsFree), 2);
}

TEST_F(StoredSet, HmoldfFailureChains) {
  test::FileSet set = stored_set();
  struct Case {
    test::DafOp op;
    int64_t nth;
    int32_t status;
    Codes codes;
  };
  const Case cases[] = {
      {test::DafOp::kOpen, 2, status::kFileCreateOrOpen, {31529, 33432, 32507}},
      {test::DafOp::kRead, 1, status::kRecordRead, {31543, 33605, 33433, 32507}},
      {test::DafOp::kRead, 2, status::kRecordRead, {31543, 32016, 33429, 32507}},
      {test::DafOp::kRead, 3, status::kRecordRead, {31543, 32016, 33429, 32507}},
  };
  for (const Case &c : cases) {
    expect_refused(host, set, c.status, c.codes, false,
                   [&] { test::faults_fail(c.op, test::faults_calls(c.op) + c.nth); });
  }
  // A close refused while cleaning up turns the status into 162.
  test::faults_reset();
  test::faults_fail(test::DafOp::kRead, 1);
  test::faults_fail(test::DafOp::kClose, 1);
  auto ctrl = test::make_control_area(kLength, 2, 10);
  EXPECT_EQ(test::reopen_fileset(ctrl, set), status::kFileClose);
  EXPECT_EQ(host.trace_codes(), (Codes{31543, 33605, 33433, 31502, 33430, 32507}));
  test::faults_close_open_files();
}

TEST_F(StoredSet, HmoldfSlotRecordLengthAndPoolRefusals) {
  test::FileSet set = stored_set();
  {
    auto ctrl = test::make_control_area(kLength, 1, 10);
    test::FileSet other = test::create_fileset(ctrl, 1);
    ASSERT_EQ(other.ierr, 0);
    EXPECT_EQ(test::reopen_fileset(ctrl, set), status::kFull);
    EXPECT_EQ(host.trace_codes(), (Codes{32732, 33431, 32507}));
    EXPECT_EQ(test::faults_open_files(), open_at_start + 1);  // only the other set's file
    EXPECT_EQ(test::kill_fileset(ctrl, other), 0);
  }
  {
    // An area whose first set has records of 1024 words.
    auto ctrl = test::make_control_area(kLength, 2, 10, 1024);
    test::FileSet other = test::create_fileset(ctrl, 1);
    ASSERT_EQ(other.ierr, 0);
    const auto control = std::vector<int32_t>(ctrl.begin(), ctrl.begin() + 256);
    EXPECT_EQ(test::reopen_fileset(ctrl, set), status::kRecordLengthDiffers);
    EXPECT_EQ(host.trace_codes(), (Codes{29661, 32507}));
    EXPECT_EQ(std::vector<int32_t>(ctrl.begin(), ctrl.begin() + 256), control);
    EXPECT_TRUE(exists(set.names[0]));
    EXPECT_EQ(test::faults_open_files(), open_at_start + 1);
    EXPECT_EQ(test::kill_fileset(ctrl, other), 0);
  }
  {
    const int32_t length = 641 * 2 + 129 * 10 + 12928;
    auto ctrl = test::make_control_area(length, 2, 10);
    const auto control = std::vector<int32_t>(ctrl.begin(), ctrl.begin() + 256);
    EXPECT_EQ(test::reopen_fileset(ctrl, set), status::kAreaTooSmall);
    EXPECT_EQ(host.trace_codes(), (Codes{30850, 33710, 33434, 32507}));
    EXPECT_EQ(std::vector<int32_t>(ctrl.begin(), ctrl.begin() + 256), control);
    EXPECT_EQ(test::faults_open_files(), open_at_start);
  }
}

TEST_F(StoredSet, HeaderReadNeedsRoomOnAFreshArea) {
  test::FileSet set = stored_set();
  // Room for the 2048-word header but nothing like the pools.
  auto ctrl = test::make_control_area(641 * 2 + 129 * 10 + 12928, 2, 10);
  ctrl[cw::kLastPoolWord - 1] = w(ctrl, cw::kNextFree) + 1000;
  EXPECT_EQ(test::reopen_fileset(ctrl, set), status::kAreaTooSmall);
  EXPECT_EQ(host.trace_codes(), (Codes{30710, 33433, 32507}));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
}

// ---------------------------------------------------------------------------

TEST_F(RetryAfterFailure, RemoveFailingAtEachWriteCanBeRepeated) {
  struct Case {
    int64_t write;
    Codes codes;
  };
  const Case cases[] = {
      {1, {31550, 32554}},         // extent table
      {2, {31550, 32554}},         // node table
      {3, {31550, 33653, 32555}},  // header
  };
  for (const Case &c : cases) {
    auto ctrl = test::make_control_area(kLength, 2, 10);
    test::FileSet set = test::create_fileset(ctrl, 2);
    ASSERT_EQ(set.ierr, 0);
    const int32_t P = set.handle;
    test::faults_fail(test::DafOp::kWrite, test::faults_calls(test::DafOp::kWrite) + c.write);
    host.trace[0] = 0;
    EXPECT_EQ(test::remove_fileset(ctrl, set), status::kRecordWrite);
    EXPECT_EQ(host.trace_codes(), c.codes);
    EXPECT_EQ(w(ctrl, cw::kFsFree), 1);  // the slot stays taken
    ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
    (void)P;
    EXPECT_EQ(w(ctrl, cw::kFsFree), 2);
    EXPECT_EQ(w(ctrl, 149), 26);      // every unit back, once
    EXPECT_EQ(w(ctrl, 150), 1);
    EXPECT_EQ(w(ctrl, 159), 48512);
    EXPECT_EQ(w(ctrl, 160), 1);
    EXPECT_EQ(test::faults_open_files(), open_at_start);
    ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
    EXPECT_EQ(test::fileset_word(ctrl, set, 57), 47);
    EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
  }
}

TEST_F(RetryAfterFailure, RefusedClosesCanBeRepeated) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  test::faults_fail(test::DafOp::kClose, test::faults_calls(test::DafOp::kClose) + 2);
  host.trace[0] = 0;
  EXPECT_EQ(test::remove_fileset(ctrl, set), status::kFileClose);
  EXPECT_EQ(host.trace_codes(), (Codes{31502, 32552}));
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  EXPECT_EQ(test::faults_open_files(), open_at_start);
  EXPECT_EQ(w(ctrl, 149), 26);

  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  test::faults_fail(test::DafOp::kClose, test::faults_calls(test::DafOp::kClose) + 2);
  host.trace[0] = 0;
  EXPECT_EQ(test::kill_fileset(ctrl, set), status::kFileClose);
  EXPECT_EQ(host.trace_codes(), (Codes{31502, 32466}));
  EXPECT_FALSE(exists(set.names[0]));
  EXPECT_TRUE(exists(set.names[1]));
  ASSERT_EQ(test::kill_fileset(ctrl, set), 0);
  EXPECT_FALSE(exists(set.names[1]));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
  EXPECT_EQ(w(ctrl, 149), 26);
  EXPECT_EQ(w(ctrl, 159), 48512);
}

}  // namespace
}  // namespace tessera
