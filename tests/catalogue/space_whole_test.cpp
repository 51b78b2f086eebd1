// Record ownership through the whole library: matrices created, filled,
// released, killed and created again on real files, then the set removed and
// reopened. After each stage every record of the set must be free or held by
// exactly one owner, the open matrices naming their own records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/space_invariants.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "test_support/matrix_host.h"

namespace tessera {
namespace {

constexpr int32_t kSingleReal = 2 + 256;  // type 2, one item

void add_list(int32_t *ctrl, int32_t D, int32_t which, const char *owner,
              std::vector<RecordRun> &runs) {
  WordView d(ctrl, D);
  const int32_t *entries = word_at(ctrl, d[dw::kTableAddress]);
  for (int32_t e = d[which + listw::kFirst]; e != 0; e = entries[(e - 1) * 4 + extw::kNext - 1]) {
    runs.push_back({entries[(e - 1) * 4 + extw::kFirst - 1],
                    entries[(e - 1) * 4 + extw::kLength - 1], owner});
  }
}

void expect_sound(test::MatrixHost &h, const std::vector<int32_t> &open) {
  std::vector<RecordRun> runs;
  for (int32_t D : open) {
    add_list(h.area(), D, dw::kUsedList, "a matrix's used record", runs);
    add_list(h.area(), D, dw::kReservedList, "a matrix's reserved record", runs);
    WordView d(h.area(), D);
    if (d[dw::kPlacement] == 3) {
      runs.push_back({d[dw::kTableRecord], d[dw::kTableRecords], "a matrix's extent table"});
    }
  }
  std::string why;
  EXPECT_TRUE(hm_check_fileset_records(h.area(), h.fs(), &why, runs)) << why;
}

TEST(RecordSpaceWhole, EveryRecordHasOneOwnerThroughALife) {
  test::HostAreas host;
  test::MatrixHost h(600000, 256, 8, 3);
  ASSERT_TRUE(h.ready());
  std::vector<float> column(90);
  for (size_t i = 0; i < column.size(); ++i) column[i] = static_cast<float>(i + 1);

  auto a = h.newm("A", 1, kSingleReal, 2, 90, 70);
  auto b = h.newm("B", 1, kSingleReal, 2, 90, 70);
  ASSERT_EQ(a.ierr, 0);
  ASSERT_EQ(b.ierr, 0);
  // Interleaved puts, column by column, so the two matrices' records mix.
  for (int32_t j = 1; j <= 70; ++j) {
    ASSERT_EQ(h.puts(a.handle, 1, 90, j, 1, column.data(), 90), 0);
    ASSERT_EQ(h.puts(b.handle, 1, 90, j, 1, column.data(), 90), 0);
  }
  // The matrices hold many block records.
  EXPECT_GT(WordView(h.area(), a.handle)[dw::kUsedList + listw::kTotal], 10);
  expect_sound(h, {a.handle, b.handle});

  ASSERT_EQ(h.relm(b.handle), 0);
  ASSERT_EQ(h.kilm("B", 1), 0);
  expect_sound(h, {a.handle});

  auto c = h.newm("C", 2, kSingleReal, 2, 50, 50);
  ASSERT_EQ(c.ierr, 0);
  for (int32_t j = 1; j <= 50; ++j) ASSERT_EQ(h.puts(c.handle, 1, 50, j, 1, column.data(), 50), 0);
  expect_sound(h, {a.handle, c.handle});

  ASSERT_EQ(h.relm(a.handle), 0);
  ASSERT_EQ(h.relm(c.handle), 0);
  ASSERT_EQ(h.remove(), 0);
  ASSERT_EQ(h.reopen(), 0);
  auto a2 = h.oldm("A", 1);
  auto c2 = h.oldm("C", 2);
  ASSERT_EQ(a2.ierr, 0);
  ASSERT_EQ(c2.ierr, 0);
  expect_sound(h, {a2.handle, c2.handle});
  std::vector<float> back(90);
  ASSERT_EQ(h.gets(a2.handle, 1, 90, 70, 1, back.data(), 90), 0);
  EXPECT_EQ(back, column);
  ASSERT_EQ(h.relm(a2.handle), 0);
  ASSERT_EQ(h.relm(c2.handle), 0);
}

}  // namespace
}  // namespace tessera
