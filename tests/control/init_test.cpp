// hminmf's words, the error trace and the list primitives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/status.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/trace.h"
#include "tessera.h"
#include "test_support/host.h"

namespace tessera {
namespace {

TEST(Hminmf, LaysOutSlotTablesAsInTheWorkedExample) {
  test::HostAreas host;
  std::vector<int32_t> ctrl(30000, -7);
  int32_t len = 30000, nfs = 1, ndesc = 10, opt = 0, ierr = -1;
  hminmf(ctrl.data(), &len, &nfs, &ndesc, &opt, &ierr);
  ASSERT_EQ(ierr, 0);
  auto w = [&](int32_t j) { return ctrl[j - 1]; };
  EXPECT_EQ(w(cw::kFsArea1), 258);
  EXPECT_EQ(w(cw::kDescLinks), 1025);
  EXPECT_EQ(w(cw::kDescArea1), 1035);
  EXPECT_EQ(w(cw::kNextFree), 2433);
  EXPECT_EQ(w(cw::kLastPoolWord), 30000 - 256);
  EXPECT_EQ(w(cw::kFresh), 1);
  EXPECT_EQ(w(cw::kInitMarker), 12345);
  EXPECT_EQ(w(cw::kRecordLength), 2048);
  EXPECT_EQ(w(cw::kBlasSwitch), 0);
  EXPECT_EQ(w(cw::kSizing), 18);
  EXPECT_EQ(w(cw::kGranule), 128);
  EXPECT_EQ(w(cw::kFsFree), 1);
  EXPECT_EQ(w(cw::kFsHead), 1);
  EXPECT_EQ(w(257), 0);  // the one file-set slot's link
  EXPECT_EQ(w(cw::kDescFree), 10);
  EXPECT_EQ(w(cw::kDescHead), 1);
  for (int32_t i = 1; i < 10; ++i) EXPECT_EQ(w(1025 + i - 1), i + 1);
  EXPECT_EQ(w(1025 + 9), 0);
  for (int32_t j = 202; j <= 256; ++j) EXPECT_EQ(w(j), 0) << j;
  EXPECT_EQ(host.chosky[566], 0);
}

TEST(Hminmf, OptionSetsWordsOneAndThree) {
  test::HostAreas host;
  std::vector<int32_t> ctrl(20000);
  int32_t len = 20000, nfs = 1, ndesc = 1, ierr = 0;
  for (auto [opt, w1, w3] : {std::tuple{-5, 5, 8192}, {0, 0, 0}, {7, 7, 8192}}) {
    hminmf(ctrl.data(), &len, &nfs, &ndesc, &opt, &ierr);
    ASSERT_EQ(ierr, 0);
    EXPECT_EQ(ctrl[cw::kOptionMagnitude - 1], w1);
    EXPECT_EQ(ctrl[cw::kOptionFlag - 1], w3);
  }
}

TEST(Hminmf, MinimumLengthIsExactAndShortAreaIsUntouched) {
  test::HostAreas host;
  int32_t nfs = 2, ndesc = 3, opt = 0, ierr = 0;
  int32_t exact = 641 * nfs + 129 * ndesc + 12928;
  std::vector<int32_t> ctrl(exact, -3);
  hminmf(ctrl.data(), &exact, &nfs, &ndesc, &opt, &ierr);
  EXPECT_EQ(ierr, 0);

  int32_t shorter = exact - 1;
  std::vector<int32_t> small(shorter, -3);
  hminmf(small.data(), &shorter, &nfs, &ndesc, &opt, &ierr);
  EXPECT_EQ(ierr, status::kAreaTooSmall);
  EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{30695, 32443}));
  for (int32_t j = 1; j <= shorter; ++j) {
    if (j != cw::kGranule) {
      ASSERT_EQ(small[j - 1], -3) << j;
    }
  }
  EXPECT_EQ(small[cw::kGranule - 1], 128);
}

TEST(Hminmf, RefusesNoSlotsAndHugeCountsWithoutWrapping) {
  test::HostAreas host;
  std::vector<int32_t> ctrl(20000, -3);
  int32_t len = 20000, opt = 0, ierr = 0;
  for (auto [nfs, ndesc] : {std::pair{0, 1}, {1, 0}, {-4, 5}, {7000000, 1}, {1, 20000000}}) {
    hminmf(ctrl.data(), &len, &nfs, &ndesc, &opt, &ierr);
    EXPECT_EQ(ierr, status::kAreaTooSmall) << nfs << " " << ndesc;
    EXPECT_EQ(ctrl[cw::kInitMarker - 1], -3);
  }
}

TEST(ErrorTrace, NestedPushesReadInnermostFirstAndWrapAfterTwenty) {
  test::HostAreas host;
  hm_clear_trace();
  hm_push_trace(11111);
  hm_push_trace(22222);
  hm_push_trace(33333);
  EXPECT_EQ(host.trace[0], 3);
  EXPECT_EQ(host.trace[1], 11111);
  hm_clear_trace();
  for (int32_t i = 1; i <= 21; ++i) hm_push_trace(40000 + i);
  EXPECT_EQ(host.trace[0], 1);
  EXPECT_EQ(host.trace[1], 40021);
  EXPECT_EQ(host.trace[20], 40020);
}

TEST(ErrorTrace, ACorruptSlotIndexRestartsAtSlotOne) {
  test::HostAreas host;
  for (int32_t bad : {-5, 21, 1000}) {
    host.trace[0] = bad;
    hm_push_trace(12345);
    EXPECT_EQ(host.trace[0], 1) << bad;
    EXPECT_EQ(host.trace[1], 12345) << bad;
  }
}

TEST(SlotList, OneSlotAndGiveBack) {
  int32_t links[1] = {99}, count = -1, head = -1;
  hm_list_init(links, 1, 1, count, head);
  EXPECT_EQ(head, 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(links[0], 0);
  int32_t slot = hm_list_take(links, 1, count, head);
  EXPECT_EQ(slot, 1);
  EXPECT_EQ(head, 0);
  EXPECT_EQ(count, 0);
  hm_list_give(links, 1, count, head, slot);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(head, 1);
  EXPECT_EQ(count, 1);
}

TEST(SlotList, StrideFourChainsThroughFirstWords) {
  std::vector<int32_t> nodes(4 * 5, 7);
  int32_t count = 0, head = 0;
  hm_list_init(nodes.data(), 4, 5, count, head);
  std::vector<int32_t> taken;
  while (count > 0) taken.push_back(hm_list_take(nodes.data(), 4, count, head));
  EXPECT_EQ(taken, (std::vector<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(nodes[1], 7);  // only link words are touched
}

TEST(PairStack, PushPopInOrder) {
  int32_t area[6] = {}, depth = 0, a = 0, b = 0;
  hm_push_pair(area, depth, 1, 2);
  hm_push_pair(area, depth, 3, 4);
  EXPECT_EQ(depth, 2);
  EXPECT_EQ(area[2], 3);
  hm_pop_pair(area, depth, a, b);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(depth, 1);
}

TEST(NamePacking, RoundTripsAndKeepsEightyCharacters) {
  int32_t words[kPackedNameWords];
  char out[kNameBufferBytes];
  const std::string eighty(80, 'x');
  hm_pack_name(eighty.c_str(), words);
  hm_unpack_name(words, out);
  EXPECT_EQ(std::string(out), eighty);
  hm_pack_name((eighty + "y").c_str(), words);
  hm_unpack_name(words, out);
  EXPECT_EQ(std::string(out), eighty);
  hm_pack_name("/tmp/a b  ", words);
  hm_unpack_name(words, out);
  EXPECT_EQ(std::string(out), "/tmp/a b");
  const auto *bytes = reinterpret_cast<const unsigned char *>(words);
  EXPECT_EQ(bytes[0], '/');
  EXPECT_EQ(bytes[1], 't');
  EXPECT_EQ(bytes[2], ' ');
  EXPECT_EQ(bytes[3], ' ');
  EXPECT_EQ(bytes[4], 'm');
}

}  // namespace
}  // namespace tessera
