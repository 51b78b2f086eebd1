// File sets on real files: the layout of a new set and of the pools, the
// life cycle create - remove - reopen - kill, hmclos, and the failure chains
// of creating, opening and closing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/fileset.h"
#include "control/fileset_codes.h"
#include "control/lists.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/fault_scoped_test.h"
#include "test_support/fileset_fixture.h"
#include "test_support/host.h"

namespace tessera {
namespace {

using Hmnewf = test::FaultScopedTest;
using FileSetLifeCycle = test::FaultScopedTest;

using Codes = std::vector<int32_t>;

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int32_t w(const std::vector<int32_t> &ctrl, int32_t j) { return ctrl[static_cast<size_t>(j - 1)]; }

std::vector<int32_t> words(const std::vector<int32_t> &ctrl, int32_t first, int32_t last) {
  return std::vector<int32_t>(ctrl.begin() + (first - 1), ctrl.begin() + last);
}

// Control words 129-201 without those that name extent entries (which entry
// holds a pool's free run depends on the order areas were given back in).
std::vector<int32_t> pool_words(const std::vector<int32_t> &ctrl) {
  auto out = words(ctrl, 129, 201);
  for (int32_t word : {146, 147, 151, 152, 156, 157, 161, 162, 193, 194, 198, 199}) {
    out[static_cast<size_t>(word - 129)] = 0;
  }
  return out;
}

// Length 300000, 2 file-set slots, 10 descriptor slots: the pools fit, and
// the area is below 950000 words.
constexpr int32_t kLength = 300000;

TEST_F(Hmnewf, WorkedExampleFileSetWords) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0) << ::testing::PrintToString(host.trace_codes());
  const int32_t P = set.handle;
  EXPECT_EQ(P, w(ctrl, cw::kFsArea1));
  WordView fs(ctrl.data(), P);

  int32_t packed[40];
  hm_pack_name(set.names[0].c_str(), packed);
  EXPECT_EQ(std::memcmp(fs.at(1), packed, sizeof packed), 0);
  hm_pack_name(set.names[1].c_str(), packed);
  EXPECT_EQ(std::memcmp(fs.at(115), packed, sizeof packed), 0);

  const std::vector<std::pair<int32_t, int32_t>> expected = {
      {41, 2048}, {42, 1},   {43, 0},   {44, 1},  {45, 314}, {46, 50},  {47, 264}, {48, 63},
      {49, 188},  {50, 314}, {51, 1},   {52, 1},  {53, 1},   {54, 512}, {55, 510}, {56, 3},
      {57, 47},   {58, 1},   {59, 1},   {60, 1},  {61, 264}, {62, 1},   {63, 2},   {64, 2},
      {65, 1},    {66, 2},   {67, 1},   {68, 170}, {69, 170}, {70, 1},  {71, 0},   {72, 0},
      {73, 0},    {74, 0},   {75, 0},   {76, 0},  {77, 1},   {78, 512}, {97, 0},   {98, 0},
      {99, 0},    {100, 0},  {114, 2}};
  for (auto [word, value] : expected) EXPECT_EQ(fs[word], value) << "file-set word " << word;
  // Copies of the control words, taken after the set's lists were built.
  const int32_t copied[18] = {131, 132, 133, 135, 140, 145, 155, 158, 159,
                              165, 169, 172, 173, 180, 184, 185, 186, 188};
  for (int32_t i = 0; i < 18; ++i) EXPECT_EQ(fs[79 + i], w(ctrl, copied[i])) << 79 + i;

  // Lists A and B: one extent each, records 3-49 and 50-313.
  WordView table(ctrl.data(), fs[fsw::kTablePos]);
  EXPECT_EQ((std::vector<int32_t>{table[1], table[2], table[3], table[4]}),
            (std::vector<int32_t>{0, 0, 47, 3}));
  EXPECT_EQ((std::vector<int32_t>{table[5], table[6], table[7], table[8]}),
            (std::vector<int32_t>{0, 0, 264, 50}));
  EXPECT_EQ(table[9], 4);  // free entries chained on from entry 3
  // Node table: every node free, chained in order.
  WordView nodes(ctrl.data(), fs[fsw::kNodePos]);
  EXPECT_EQ(nodes[1], 2);
  EXPECT_EQ(nodes[1 + 169 * 12], 0);
  // Work areas: three units in order, then the two pair stacks.
  EXPECT_EQ(fs[105], 3201);
  EXPECT_EQ(fs[106], 3201 + 2048);
  EXPECT_EQ(fs[107], 3201 + 2 * 2048);
  EXPECT_EQ((words(ctrl, P + 107, P + 112)), (std::vector<int32_t>{56961, 10, 0, 56981, 38, 0}));
  EXPECT_EQ(fs[102], set.count() >= 1 ? fs[102] : 0);
  EXPECT_GT(fs[102], 0);
  EXPECT_GT(fs[155], 0);
  EXPECT_NE(fs[102], fs[155]);
  // Each file holds 157 records.
  for (auto &name : set.names) {
    struct stat st;
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16 + 157LL * 2048 * 4);
  }
  EXPECT_EQ(host.cache[0], 2);
  EXPECT_EQ(host.cache[1], 0);
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST_F(Hmnewf, WorkedExamplePoolWords) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  ASSERT_EQ(w(ctrl, cw::kNextFree), 3073);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  const std::vector<std::pair<int32_t, int32_t>> expected = {
      {130, 0},      {132, 2048},   {133, 2048},  {190, 2048},
      // unit pool: 26 units of which the set took three from the front
      {144, 3073},   {145, 26},     {146, 25},    {147, 2},     {148, 26},    {149, 23},
      {150, 1},      {151, 1},      {152, 1},     {153, 3201},  {184, 512},   {186, 0},
      // pair pool: 48512 words less the two stacks (20 + 76)
      {154, 56449},  {155, 128},    {156, 127},   {157, 2},     {158, 48512}, {159, 48416},
      {160, 1},      {161, 1},      {162, 1},     {163, 56961},
      // word pool
      {191, 105473}, {192, 10},     {193, 9},     {194, 2},     {195, 860},   {196, 860},
      {197, 1},      {198, 1},      {199, 1},     {200, 105601},
      // spare node list
      {164, 106497}, {165, 128},    {166, 128},   {167, 1},     {173, 0},     {174, 0},
      {175, 0},      {176, 0},
      // buffer pool
      {168, 107009}, {169, 93},     {170, 93},    {171, 1},     {179, 108417}, {180, 190464},
      {181, 0},      {182, 0},      {183, 0},     {201, 30},    {177, 169857}, {172, 129024},
      {129, 107009}, {188, 106497}};
  for (auto [word, value] : expected) EXPECT_EQ(w(ctrl, word), value) << "control word " << word;
  // The unit pool's one free extent now starts after the three units taken.
  WordView units(ctrl.data(), 3073);
  EXPECT_EQ((std::vector<int32_t>{units[1], units[2], units[3], units[4]}),
            (std::vector<int32_t>{0, 0, 23, 4}));
  WordView pairs(ctrl.data(), 56449);
  EXPECT_EQ((std::vector<int32_t>{pairs[3], pairs[4]}), (std::vector<int32_t>{48416, 56961 + 96}));
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST_F(Hmnewf, RecordLengthAndFileCountRefusals) {
  const std::string dir = test::temp_dir();
  struct Case {
    int32_t record_length;
    int32_t files;
    int32_t status;
    Codes codes;
  };
  const Case cases[] = {
      {100, 1, status::kBadFilesetArgument, {29650, 32492}},
      {-2048, 1, status::kBadFilesetArgument, {29650, 32492}},
      {2048, 0, status::kBadFilesetArgument, {29650, 32492}},
      {2048, -1, status::kBadFilesetArgument, {29650, 32492}},
      {2048, 11, status::kBadFilesetArgument, {29650, 32492}},
  };
  for (const Case &c : cases) {
    auto ctrl = test::make_control_area(kLength, 2, 10);
    ctrl[1] = c.record_length;
    std::vector<std::string> names = test::fileset_names(dir, 11);
    std::vector<char *> argv;
    for (auto &n : names) argv.push_back(n.data());
    int32_t n = c.files, m = 0, s = 0, P = -1, ierr = -1;
    hmnewf(ctrl.data(), &n, argv.data(), &m, &s, &P, &ierr);
    EXPECT_EQ(ierr, c.status) << c.record_length << " " << c.files;
    EXPECT_EQ(host.trace_codes(), c.codes);
    EXPECT_EQ(P, 0);
    EXPECT_EQ(test::faults_calls(test::DafOp::kCreate), 0);
    EXPECT_FALSE(exists(names[0]));
  }
  // Zero in word 2 too; and 128 is the shortest length a fresh area takes.
  auto ctrl = test::make_control_area(kLength, 2, 10);
  ctrl[1] = 0;
  test::FileSet bad = test::create_fileset(ctrl, 1);
  EXPECT_EQ(bad.ierr, status::kBadFilesetArgument);
  ctrl[1] = 128;
  test::FileSet first = test::create_fileset(ctrl, 1);
  ASSERT_EQ(first.ierr, 0);
  // Once the first set fixed the length, another one is status 1.
  ctrl[1] = 256;
  test::FileSet second = test::create_fileset(ctrl, 1);
  EXPECT_EQ(second.ierr, status::kRecordLengthDiffers);
  EXPECT_EQ(host.trace_codes(), (Codes{29649, 32492}));
  ctrl[1] = -5;
  second = test::create_fileset(ctrl, 1);
  EXPECT_EQ(second.ierr, status::kRecordLengthDiffers);
  EXPECT_EQ(test::kill_fileset(ctrl, first), 0);
}

TEST_F(Hmnewf, SizesFromInitialSizeFilesAndAreaLength) {
  {
    // n = 3, R = 313: N = 315; s below 5000 g words changes nothing.
    auto ctrl = test::make_control_area(kLength, 2, 10);
    test::FileSet set = test::create_fileset(ctrl, 3, 0, 1000);
    ASSERT_EQ(set.ierr, 0);
    EXPECT_EQ(test::fileset_word(ctrl, set, 45), 315);
    EXPECT_EQ(test::fileset_word(ctrl, set, 46), 50);
    EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
  }
  {
    // s = 1000000 words: R = 489, N = 490; m = 60 wins over 50.
    auto ctrl = test::make_control_area(kLength, 2, 10);
    test::FileSet set = test::create_fileset(ctrl, 2, 60, 1000000);
    ASSERT_EQ(set.ierr, 0);
    EXPECT_EQ(test::fileset_word(ctrl, set, 45), 490);
    EXPECT_EQ(test::fileset_word(ctrl, set, 46), 60);
    EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
  }
  {
    // A large area: the index region is at least 200 records.
    auto ctrl = test::make_control_area(950000, 2, 10);
    test::FileSet set = test::create_fileset(ctrl, 1);
    ASSERT_EQ(set.ierr, 0);
    EXPECT_EQ(test::fileset_word(ctrl, set, 46), 200);
    EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
  }
}

TEST_F(Hmnewf, IndexRegionAsLargeAsTheSetDeletesTheNewFiles) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  const auto before = words(ctrl, 129, 201);
  test::FileSet set = test::create_fileset(ctrl, 2, 314);
  EXPECT_EQ(set.ierr, status::kFull);
  EXPECT_EQ(host.trace_codes(), (Codes{32010, 33417, 32492}));
  EXPECT_FALSE(exists(set.names[0]));
  EXPECT_FALSE(exists(set.names[1]));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
  // The slot is free again and the pools have everything back.
  EXPECT_EQ(w(ctrl, cw::kFsFree), 2);
  EXPECT_EQ(w(ctrl, cw::kFresh), 0);
  EXPECT_EQ(w(ctrl, 149), w(ctrl, 148));
  EXPECT_EQ(w(ctrl, 150), 1);
  EXPECT_EQ(w(ctrl, 159), w(ctrl, 158));
  EXPECT_EQ(w(ctrl, 160), 1);
  (void)before;
  test::FileSet next = test::create_fileset(ctrl, 2);
  EXPECT_EQ(next.ierr, 0);
  EXPECT_EQ(test::kill_fileset(ctrl, next), 0);
}

TEST_F(Hmnewf, ReplacesAnExistingFileButNotOneOfAnOpenSet) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  // Same names again while the set is open: refused, nothing touched.
  const int64_t closes = test::faults_calls(test::DafOp::kClose);
  test::FileSet again = test::create_fileset(ctrl, 1, 0, 0, set.dir, "set");
  EXPECT_EQ(again.ierr, status::kFileCreateOrOpen);
  EXPECT_EQ(host.trace_codes(), (Codes{31525, 33420, 32492}));
  EXPECT_EQ(test::faults_calls(test::DafOp::kCreate), 1 * 2);
  EXPECT_EQ(test::faults_calls(test::DafOp::kClose), closes);
  EXPECT_TRUE(exists(set.names[0]));
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);

  // Once removed, the same names are replaced by a new set.
  test::FileSet fresh = test::create_fileset(ctrl, 2, 0, 0, set.dir, "set");
  ASSERT_EQ(fresh.ierr, 0);
  EXPECT_EQ(test::fileset_word(ctrl, fresh, 45), 314);
  EXPECT_EQ(test::kill_fileset(ctrl, fresh), 0);
  EXPECT_FALSE(exists(set.names[0]));
}

TEST_F(Hmnewf, LongNamesAndUnacceptablePathsTouchNothing) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  const std::string dir = test::temp_dir();
  std::string longname = dir + "/" + std::string(81, 'x');
  longname.resize(81);  // exactly 81 characters
  std::vector<std::string> names = {dir + "/a.hm", longname};
  std::vector<char *> argv = {names[0].data(), names[1].data()};
  int32_t n = 2, m = 0, s = 0, P = -1, ierr = -1;
  hmnewf(ctrl.data(), &n, argv.data(), &m, &s, &P, &ierr);
  EXPECT_EQ(ierr, status::kBadFilesetArgument);
  EXPECT_EQ(host.trace_codes(), (Codes{trace::kNewNameTooLong, 32492}));
  EXPECT_EQ(test::faults_calls(test::DafOp::kAny), 0);
  EXPECT_FALSE(exists(names[0]));

  // A first path in a directory that does not exist: the create is refused
  // before the existing file named second is deleted or replaced.
  FILE *f = std::fopen(names[0].c_str(), "w");
  std::fputs("keep me", f);
  std::fclose(f);
  names = {dir + "/missing/b.hm", names[0]};
  argv = {names[0].data(), names[1].data()};
  hmnewf(ctrl.data(), &n, argv.data(), &m, &s, &P, &ierr);
  EXPECT_EQ(ierr, status::kFileCreateOrOpen);
  EXPECT_EQ(host.trace_codes(), (Codes{31525, 33420, 32492}));
  struct stat st;
  ASSERT_EQ(::stat(names[1].c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 7);
  EXPECT_EQ(w(ctrl, cw::kFresh), 1);
}

TEST_F(Hmnewf, FailedFirstPoolSetUpLeavesTheAreaFreshAndNoFiles) {
  // The smallest area hminmf takes is far too small for the pools.
  const int32_t length = 641 * 1 + 129 * 10 + 12928;
  auto ctrl = test::make_control_area(length, 1, 10);
  const auto before = words(ctrl, 1, 256);
  // A file of another program in the same directory stays as it is.
  const std::string dir = test::temp_dir();
  const std::string other = dir + "/other.hm";
  FILE *f = std::fopen(other.c_str(), "w");
  std::fputs("not ours", f);
  std::fclose(f);
  test::FileSet set = test::create_fileset(ctrl, 2, 0, 0, dir);
  EXPECT_EQ(set.ierr, status::kAreaTooSmall);
  EXPECT_EQ(host.trace_codes(), (Codes{30850, 33710, 33421, 32492}));
  EXPECT_EQ(words(ctrl, 1, 256), before);
  // The files this call made are gone: they held no header to open.
  EXPECT_FALSE(exists(set.names[0]));
  EXPECT_FALSE(exists(set.names[1]));
  EXPECT_TRUE(exists(other));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
}

TEST_F(Hmnewf, NoFreeSlotDeletesTheNewFiles) {
  auto ctrl = test::make_control_area(kLength, 1, 10);
  test::FileSet a = test::create_fileset(ctrl, 1);
  ASSERT_EQ(a.ierr, 0);
  test::FileSet b = test::create_fileset(ctrl, 2);
  EXPECT_EQ(b.ierr, status::kFull);
  EXPECT_EQ(host.trace_codes(), (Codes{32732, 33419, 32492}));
  EXPECT_FALSE(exists(b.names[0]));
  EXPECT_FALSE(exists(b.names[1]));
  // A close failing in that clean-up turns the status into 162.
  test::faults_fail(test::DafOp::kClose, test::faults_calls(test::DafOp::kClose) + 1);
  b = test::create_fileset(ctrl, 1);
  EXPECT_EQ(b.ierr, status::kFileClose);
  EXPECT_EQ(host.trace_codes(), (Codes{32732, 33419, 31502, 33418, 32492}));
  EXPECT_EQ(test::kill_fileset(ctrl, a), 0);
  test::faults_close_open_files();
}

TEST_F(Hmnewf, CreateFailureOnTheSecondFile) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::faults_fail(test::DafOp::kCreate, 2);
  test::FileSet set = test::create_fileset(ctrl, 3);
  EXPECT_EQ(set.ierr, status::kFileCreateOrOpen);
  EXPECT_EQ(host.trace_codes(), (Codes{31525, 33420, 32492}));
  EXPECT_EQ(test::faults_open_files(), open_at_start);  // the first file's handle is closed
  EXPECT_FALSE(exists(set.names[0]));
  EXPECT_EQ(w(ctrl, cw::kFsFree), 2);
}

// ---------------------------------------------------------------------------

TEST_F(FileSetLifeCycle, RemoveThenReopenRestoresHeaderAndLists) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  const auto header = words(ctrl, set.handle, set.handle + 99);
  const auto pools = pool_words(ctrl);
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  EXPECT_EQ(w(ctrl, cw::kFsFree), 2);
  EXPECT_EQ(w(ctrl, 149), 26);  // every unit back
  EXPECT_EQ(w(ctrl, 159), 48512);
  EXPECT_EQ(test::faults_open_files(), open_at_start);
  EXPECT_TRUE(exists(set.names[0]));

  ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
  EXPECT_EQ(words(ctrl, set.handle, set.handle + 99), header);
  EXPECT_EQ(pool_words(ctrl), pools);
  WordView fs(ctrl.data(), set.handle);
  WordView table(ctrl.data(), fs[fsw::kTablePos]);
  EXPECT_EQ((std::vector<int32_t>{table[3], table[4], table[7], table[8]}),
            (std::vector<int32_t>{47, 3, 264, 50}));
  EXPECT_EQ(fs[fsw::kFileCount], 2);
  EXPECT_EQ(host.cache[1], 0);

  // The same set reopened on a fresh control area lays out the same pools.
  // The second removal wrote the tables to the first free index records (3
  // and 4) and gave records 1 and 2 back: list A now has two extents, and
  // the extent table one entry fewer free.
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  auto other = test::make_control_area(kLength, 2, 10);
  ASSERT_EQ(test::reopen_fileset(other, set), 0);
  auto moved = header;
  moved[fsw::kTableFirstRecord - 1] = 3;
  moved[fsw::kNodeFirstRecord - 1] = 4;
  moved[fsw::kTableFree - 1] -= 1;
  const auto now = words(other, set.handle, set.handle + 99);
  moved[fsw::kTableFirstFree - 1] = now[fsw::kTableFirstFree - 1];
  moved[fsw::kListA + listw::kCount - 1] = 2;
  moved[fsw::kListA + listw::kFirst - 1] = now[fsw::kListA + listw::kFirst - 1];
  moved[fsw::kListA + listw::kLast - 1] = now[fsw::kListA + listw::kLast - 1];
  EXPECT_EQ(now, moved);
  WordView table2(other.data(), WordView(other.data(), set.handle)[fsw::kTablePos]);
  const int32_t a1 = now[fsw::kListA + listw::kFirst - 1];
  const int32_t a2 = table2[(a1 - 1) * extw::kWords + extw::kNext];
  EXPECT_EQ((std::vector<int32_t>{table2[(a1 - 1) * extw::kWords + extw::kLength],
                                  table2[(a1 - 1) * extw::kWords + extw::kFirst],
                                  table2[(a2 - 1) * extw::kWords + extw::kLength],
                                  table2[(a2 - 1) * extw::kWords + extw::kFirst]}),
            (std::vector<int32_t>{2, 1, 45, 5}));
  EXPECT_EQ(pool_words(other), pools);
  EXPECT_EQ(test::kill_fileset(other, set), 0);
  EXPECT_FALSE(exists(set.names[0]));
  EXPECT_FALSE(exists(set.names[1]));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
}

TEST_F(FileSetLifeCycle, OpenMatrixBlocksRemoveAndKill) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 1);
  ASSERT_EQ(set.ierr, 0);
  // Pretend descriptor slot 3 is an open matrix of this set.
  const int32_t links = w(ctrl, cw::kDescLinks);
  const auto before = ctrl;
  ctrl[links + 2 - 1] = cw::kSlotInUse;
  ctrl[w(ctrl, cw::kDescArea1) + 2 * 128 + 92 - 2] = set.handle;
  auto snapshot = ctrl;
  host.trace[0] = 0;
  EXPECT_EQ(test::remove_fileset(ctrl, set), status::kMatrixStillOpen);
  EXPECT_EQ(test::kill_fileset(ctrl, set), status::kMatrixStillOpen);
  EXPECT_EQ(host.trace_codes(), (Codes{29540, 29489}));
  EXPECT_EQ(ctrl, snapshot);
  ctrl = before;
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST_F(FileSetLifeCycle, HandlesThatAreNoOpenSetAreRefused) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 1);
  ASSERT_EQ(set.ierr, 0);
  const auto snapshot = ctrl;
  for (int32_t P : {0, set.handle + 1, set.handle + 640, -640, 1 << 30}) {
    int32_t handle = P, ierr = -1;
    hmremf(ctrl.data(), &handle, &ierr);
    EXPECT_EQ(ierr, status::kBadFilesetArgument) << P;
    hmkilf(ctrl.data(), &handle, &ierr);
    EXPECT_EQ(ierr, status::kBadFilesetArgument) << P;
  }
  EXPECT_EQ(ctrl, snapshot);
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);
}

TEST_F(FileSetLifeCycle, HmclosModes) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet a = test::create_fileset(ctrl, 2);
  test::FileSet b = test::create_fileset(ctrl, 1);
  ASSERT_EQ(a.ierr, 0);
  ASSERT_EQ(b.ierr, 0);
  int32_t ierr = 0;  // checking
  hmclos(ctrl.data(), &ierr);
  EXPECT_EQ(ierr, status::kFilesetsStillOpen);
  EXPECT_EQ(host.trace_codes(), (Codes{29390}));
  hmclos(ctrl.data(), &ierr);
  EXPECT_EQ(ierr, status::kNotInitialised);
  EXPECT_EQ(host.trace_codes(), (Codes{30660}));
  EXPECT_TRUE(exists(a.names[0]));

  // Closing mode deletes every open set's files, even past a failed close.
  ctrl[cw::kInitMarker - 1] = cw::kInitialised;
  test::faults_fail(test::DafOp::kClose, test::faults_calls(test::DafOp::kClose) + 1);
  ierr = 1;
  hmclos(ctrl.data(), &ierr);
  EXPECT_EQ(ierr, status::kFileClose);
  EXPECT_EQ(host.trace_codes(), (Codes{31502, 32361}));
  EXPECT_TRUE(exists(a.names[0]));  // its close was the one refused
  EXPECT_FALSE(exists(a.names[1]));
  EXPECT_FALSE(exists(b.names[0]));
  EXPECT_EQ(w(ctrl, cw::kInitMarker), 0);
  test::faults_close_open_files();
}

TEST_F(FileSetLifeCycle, FilenameVariantsAndHmclosWithNothingOpen) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet a = test::create_fileset(ctrl, 2);
  ASSERT_EQ(a.ierr, 0);
  // The _filename variants act on the names given.
  std::vector<char *> argv = a.argv();
  int32_t ierr = -1;
  hmremf_filename(ctrl.data(), &a.handle, argv.data(), &ierr);
  ASSERT_EQ(ierr, 0);
  ASSERT_EQ(test::reopen_fileset(ctrl, a), 0);
  ierr = 5;
  hmclos_filename(ctrl.data(), argv.data(), &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_FALSE(exists(a.names[0]));
  EXPECT_FALSE(exists(a.names[1]));
  EXPECT_EQ(test::faults_open_files(), open_at_start);

  auto empty = test::make_control_area(kLength, 2, 10);
  ierr = 0;
  hmclos(empty.data(), &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(w(empty, cw::kInitMarker), 0);
}

TEST_F(FileSetLifeCycle, VanishedFileStillHasItsHandleClosed) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  ASSERT_EQ(std::remove(set.names[1].c_str()), 0);
  std::vector<char *> argv = set.argv();
  int32_t ierr = -1;
  hmkilf_filename(ctrl.data(), &set.handle, argv.data(), &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_FALSE(exists(set.names[0]));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
}

TEST_F(FileSetLifeCycle, MovedSetIsClosedWhereItWasOpened) {
  auto ctrl = test::make_control_area(kLength, 2, 10);
  test::FileSet set = test::create_fileset(ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  const auto header = words(ctrl, set.handle, set.handle + 99);
  ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
  // Move both files elsewhere and leave an unrelated file at the old path
  // of file 1.
  test::FileSet moved = set;
  moved.dir = test::temp_dir();
  moved.names = test::fileset_names(moved.dir, 2);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(std::rename(set.names[i].c_str(), moved.names[i].c_str()), 0);
  FILE *f = std::fopen(set.names[0].c_str(), "w");
  std::fputs("unrelated", f);
  std::fclose(f);

  ASSERT_EQ(test::reopen_fileset(ctrl, moved), 0);
  // The header still names file 1 as it was created.
  EXPECT_EQ(words(ctrl, moved.handle, moved.handle + 99), header);
  // The moved files are the open set's: a new set may not replace them.
  test::FileSet clash = test::create_fileset(ctrl, 1, 0, 0, moved.dir, "set");
  EXPECT_EQ(clash.ierr, status::kFileCreateOrOpen);
  EXPECT_EQ(test::kill_fileset(ctrl, moved), 0);
  EXPECT_FALSE(exists(moved.names[0]));
  EXPECT_FALSE(exists(moved.names[1]));
  EXPECT_TRUE(exists(set.names[0]));
  EXPECT_EQ(test::faults_open_files(), open_at_start);
}

}  // namespace
}  // namespace tessera
