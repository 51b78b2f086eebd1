// The sizing helper against the library itself: an area of the length it
// gives takes every file set and matrix asked for and gets at least the
// buffers asked for, where the smallest area hminmf accepts is refused by
// the first hmnewf.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera.h"
#include "tessera_sizing.h"
#include "test_support/fileset_fixture.h"
#include "test_support/matrix_host.h"

namespace tessera {
namespace {

struct Area {
  std::vector<int32_t> ctrl;
  int32_t ierr = -1;
  Area(int32_t length, int32_t nfs, int32_t ndesc, int32_t L) : ctrl(static_cast<size_t>(length)) {
    int32_t option = 0;
    hminmf(ctrl.data(), &length, &nfs, &ndesc, &option, &ierr);
    TESSERA_CTRL(ctrl, TESSERA_CTRL_RECORD_LENGTH) = L;
  }
};

TEST(Sizing, TheLengthGivenTakesEverySetAndMatrixAndTheBuffersAskedFor) {
  test::HostAreas host;
  struct Case {
    int32_t L, nfs, ndesc, buffers;
  };
  const Case cases[] = {{128, 1, 1, 0},       {2048, 1, 10, 0},   {2048, 3, 40, 100},
                        {2048, 2, 4, 1000},   {8192, 2, 6, 200},  {8192, 1, 1, 1500},
                        {131072, 1, 2, 0},    {3000, 2, 3, 77}};
  for (const Case &c : cases) {
    SCOPED_TRACE("L " + std::to_string(c.L) + " nfs " + std::to_string(c.nfs) + " ndesc " +
                 std::to_string(c.ndesc) + " buffers " + std::to_string(c.buffers));
    const int32_t length = tessera_control_length(c.L, c.nfs, c.ndesc, c.buffers);
    ASSERT_GT(length, 0);
    Area area(length, c.nfs, c.ndesc, c.L);
    ASSERT_EQ(area.ierr, 0);
    std::vector<test::FileSet> sets;
    for (int32_t s = 0; s < c.nfs; ++s) {
      sets.push_back(test::create_fileset(area.ctrl, 1 + s % 2, 0,
                                          tessera_fileset_min_words(c.L, length, 0)));
      ASSERT_EQ(sets.back().ierr, 0) << "set " << s;
    }
    const int32_t buffers = TESSERA_CTRL(area.ctrl, TESSERA_CTRL_BUFFERS);
    EXPECT_GE(buffers, c.buffers);
    EXPECT_GE(tessera_hyperblock_order(buffers, c.ndesc), 1);
    // Not wasteful: the helper allows for the index region of a set made in
    // a large area (950000 words or more); in such an area it is exact to
    // within a few buffers.
    const int32_t want = std::max(c.buffers, tessera_buffers_for_hyperblock(1, c.ndesc));
    EXPECT_LT(buffers, want + (length >= 950000 ? 4 : 4 + 80 * c.nfs));

    // Every matrix slot in use at once, spread over the sets, each with a
    // block written and read back.
    std::vector<int32_t> handles;
    for (int32_t d = 0; d < c.ndesc; ++d) {
      test::MatrixName name("M" + std::to_string(d));
      int32_t q = 1, fs = sets[static_cast<size_t>(d % c.nfs)].handle;
      int32_t type = tessera_type_word(TESSERA_TYPE_DOUBLE, 1);
      int32_t form = tessera_storage_word(TESSERA_FORM_GENERAL), n = 50, handle = 0, ierr = -1;
      hmnewm(area.ctrl.data(), name.words, &q, &fs, &type, &form, &n, &n, &handle, &ierr);
      ASSERT_EQ(ierr, 0) << "matrix " << d;
      double v = d + 0.5, back = 0;
      int32_t one = 1;
      hmputs(area.ctrl.data(), &handle, &n, &one, &n, &one, reinterpret_cast<float *>(&v), &one,
             &ierr);
      ASSERT_EQ(ierr, 0);
      hmgets(area.ctrl.data(), &handle, &n, &one, &n, &one, reinterpret_cast<float *>(&back), &one,
             &ierr);
      ASSERT_EQ(ierr, 0);
      EXPECT_EQ(back, v);
      // Descriptor word 20: the hyperblock order the library chose.
      EXPECT_EQ(area.ctrl[static_cast<size_t>(handle + 20 - 2)],
                tessera_hyperblock_order(buffers, c.ndesc));
      handles.push_back(handle);
    }
    for (int32_t &handle : handles) {
      int32_t ierr = -1;
      hmrelm(area.ctrl.data(), &handle, &ierr);
      ASSERT_EQ(ierr, 0);
    }
    for (auto &set : sets) ASSERT_EQ(test::kill_fileset(area.ctrl, set), 0);
  }
}

TEST(Sizing, AreasHminmfAcceptsButTheFirstSetRefusesAreSizedRight) {
  test::HostAreas host;
  const int32_t L = 8192, nfs = 1, ndesc = 10;
  // The smallest area hminmf takes: its pools do not fit.
  Area small(641 * nfs + 129 * ndesc + 12928, nfs, ndesc, L);
  ASSERT_EQ(small.ierr, 0);
  test::FileSet refused = test::create_fileset(small.ctrl, 1);
  EXPECT_EQ(refused.ierr, TESSERA_STATUS_AREA_TOO_SMALL);
  // Nor does an area with room for the buffers alone.
  Area buffers_only(641 * nfs + 129 * ndesc + 12928 + (2 * ndesc + 30) * (L + 14), nfs, ndesc, L);
  ASSERT_EQ(buffers_only.ierr, 0);
  refused = test::create_fileset(buffers_only.ctrl, 1);
  EXPECT_EQ(refused.ierr, TESSERA_STATUS_AREA_TOO_SMALL);

  const int32_t length = tessera_control_length(L, nfs, ndesc, 0);
  Area sized(length, nfs, ndesc, L);
  ASSERT_EQ(sized.ierr, 0);
  test::FileSet set =
      test::create_fileset(sized.ctrl, 1, 0, tessera_fileset_min_words(L, length, 0));
  ASSERT_EQ(set.ierr, 0);
  EXPECT_EQ(test::kill_fileset(sized.ctrl, set), 0);

  EXPECT_EQ(tessera_control_length(127, 1, 1, 0), 0);
  EXPECT_EQ(tessera_control_length(2048, 0, 1, 0), 0);
  EXPECT_EQ(tessera_control_length(2048, 1, 0, 0), 0);
  EXPECT_EQ(tessera_control_length(131072, 1, 1, 100000), 0);  // more than 2^31 words
}

// A set made in an area of 950000 words or more has the larger index region
// and so larger tables; a small area sized by the helper still opens it.
TEST(Sizing, ASmallSizedAreaOpensASetMadeInALargeOne) {
  test::HostAreas host;
  const int32_t L = 2048;
  const int32_t large = tessera_control_length(L, 1, 2, 1000);
  ASSERT_GE(large, 950000);
  Area big(large, 1, 2, L);
  ASSERT_EQ(big.ierr, 0);
  test::FileSet set = test::create_fileset(big.ctrl, 2);
  ASSERT_EQ(set.ierr, 0);
  // With 8192-word records the default size of a set made in so large an
  // area leaves no data region; the helper's size does.
  Area big8k(tessera_control_length(8192, 1, 2, 150), 1, 2, 8192);
  ASSERT_EQ(big8k.ierr, 0);
  test::FileSet refused = test::create_fileset(big8k.ctrl, 1);
  EXPECT_EQ(refused.ierr, TESSERA_STATUS_FULL);
  test::FileSet accepted = test::create_fileset(
      big8k.ctrl, 1, 0, tessera_fileset_min_words(8192, static_cast<int32_t>(big8k.ctrl.size()), 0));
  ASSERT_EQ(accepted.ierr, 0);
  EXPECT_EQ(test::kill_fileset(big8k.ctrl, accepted), 0);
  ASSERT_EQ(test::remove_fileset(big.ctrl, set), 0);

  const int32_t length = tessera_control_length(L, 1, 2, 0);
  ASSERT_LT(length, 950000);
  Area small(length, 1, 2, L);
  ASSERT_EQ(small.ierr, 0);
  ASSERT_EQ(test::reopen_fileset(small.ctrl, set), 0);
  EXPECT_EQ(test::kill_fileset(small.ctrl, set), 0);
}

}  // namespace
}  // namespace tessera
