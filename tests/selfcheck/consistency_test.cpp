// Tests of the consistency checker: a real session (file set, matrices with
// evicted and resident blocks, a closed matrix known only from its stored
// header) passes at every stage, and each kind of damage that a faulty
// failure path could leave is named: a buffer both free and in a tree, a
// forgotten pin, a record both free and used, a record owned by no one, an
// unbalanced tree, a leaked work area, a descriptor slot taken but not in the
// directory, a file-set slot marked wrongly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/directory.h"
#include "catalogue/extent_list.h"
#include "catalogue/pools.h"
#include "catalogue/tree.h"
#include "common/word_view.h"
#include "selfcheck/consistency.h"
#include "control/control_words.h"
#include "tessera.h"
#include "test_support/host.h"
#include "transfer/buffers.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

constexpr int32_t kAreaWords = 40000;
constexpr int32_t kL = 128;

struct Name {
  int32_t words[3];
  explicit Name(const char *s) {
    char bytes[12];
    std::memset(bytes, ' ', sizeof bytes);
    std::memcpy(bytes, s, std::strlen(s));
    std::memcpy(words, bytes, sizeof bytes);
  }
};

class ConsistencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::temp_dir();
    for (int i = 1; i <= 2; ++i) names_.push_back(dir_ + "/c" + std::to_string(i));
    for (auto &n : names_) argv_.push_back(n.data());
    ctrl_.assign(kAreaWords, 0);
    int32_t len = kAreaWords, nfs = 2, nd = 6, opt = 0, ierr = -1;
    hminmf(ctrl(), &len, &nfs, &nd, &opt, &ierr);
    ASSERT_EQ(ierr, 0);
    c()[cw::kRecordLength] = kL;
    int32_t n = 2, m = 0, s = 0;
    hmnewf(ctrl(), &n, argv_.data(), &m, &s, &P_, &ierr);
    ASSERT_EQ(ierr, 0);
  }
  void TearDown() override {
    int32_t mode = 1;
    hmclos(ctrl(), &mode);
  }

  int32_t *ctrl() { return ctrl_.data(); }
  WordView c() { return control_view(ctrl()); }
  WordView fs() { return WordView(ctrl(), P_); }
  WordView d(int32_t D) { return WordView(ctrl(), D); }

  // A general double matrix of rows x cols, filled with i + 1000 j.
  int32_t make_matrix(const char *name, int32_t rows, int32_t cols) {
    Name nm(name);
    int32_t q = 1, type = 4, form = 3, D = 0, ierr = -1;
    hmnewm(ctrl(), nm.words, &q, &P_, &type, &form, &rows, &cols, &D, &ierr);
    EXPECT_EQ(ierr, 0);
    std::vector<double> a(static_cast<size_t>(rows) * cols);
    for (int32_t j = 0; j < cols; ++j)
      for (int32_t i = 0; i < rows; ++i) a[static_cast<size_t>(j) * rows + i] = i + 1000.0 * j;
    int32_t one = 1;
    hmputs(ctrl(), &D, &one, &rows, &one, &cols, reinterpret_cast<const float *>(a.data()), &rows,
           &ierr);
    EXPECT_EQ(ierr, 0);
    return D;
  }

  bool control_ok(std::string *why) { return hm_check_control(ctrl(), why); }
  bool fileset_ok(std::string *why) { return hm_check_fileset(ctrl(), P_, why); }
  void expect_sound() {
    std::string why;
    EXPECT_TRUE(control_ok(&why)) << why;
    EXPECT_TRUE(fileset_ok(&why)) << why;
  }
  // Some buffer of D's class-2 tree (its root).
  int32_t block_buffer(int32_t D) { return d(D)[dw::tree_root(bufw::kClassBlock)]; }
  WordView header(int32_t x) {
    return WordView(ctrl(), c()[cw::kBufferHeaders] + bufw::kLength * (x - 1));
  }

  test::HostAreas host_;
  std::string dir_;
  std::vector<std::string> names_;
  std::vector<char *> argv_;
  std::vector<int32_t> ctrl_;
  int32_t P_ = 0;
};

TEST_F(ConsistencyTest, ASessionIsSoundAtEveryStage) {
  expect_sound();
  // 100 x 60 doubles in 8 x 8 blocks: more blocks than buffers, so some are
  // on file, some resident, and an edge of packed records.
  int32_t A = make_matrix("A", 100, 60);
  int32_t B = make_matrix("B", 30, 20);
  expect_sound();
  int32_t ierr = -1;
  hmrelm(ctrl(), &A, &ierr);
  ASSERT_EQ(ierr, 0);
  expect_sound();  // A is now known only from its header on file
  Name nm("A");
  int32_t q = 1, ro = 1, t = 0, s = 0, m = 0, n = 0, Ar = 0;
  hmoldm(ctrl(), nm.words, &q, &P_, &ro, &t, &s, &m, &n, &Ar, &ierr);
  ASSERT_EQ(ierr, 0);
  expect_sound();  // open read-only: its table is not in memory either
  hmrelm(ctrl(), &Ar, &ierr);
  hmrelm(ctrl(), &B, &ierr);
  hmremf(ctrl(), &P_, &ierr);
  ASSERT_EQ(ierr, 0);
  std::string why;
  EXPECT_TRUE(control_ok(&why)) << why;
  int32_t two = 2;
  hmoldf(ctrl(), &two, argv_.data(), &P_, &ierr);
  ASSERT_EQ(ierr, 0);
  expect_sound();
}

TEST_F(ConsistencyTest, BufferFreeAndInATreeOrForgottenPinned) {
  const int32_t D = make_matrix("A", 40, 40);
  const int32_t x = block_buffer(D);
  ASSERT_GT(x, 0);
  std::string why;
  {
    std::vector<int32_t> saved = ctrl_;
    // Also push it on the free list.
    header(x)[bufw::kNext] = c()[cw::kBufferFirstFree];
    c()[cw::kBufferFirstFree] = x;
    c()[cw::kBufferFree] += 1;
    EXPECT_FALSE(control_ok(&why));
    EXPECT_NE(why.find("buffer " + std::to_string(x)), std::string::npos) << why;
    ctrl_ = saved;
  }
  EXPECT_TRUE(control_ok(&why)) << why;
  // A pin that no call gives back holds the buffer for ever.
  hm_buffer_pin(ctrl(), D, hm_buffer_position(ctrl(), x), 0, 1);
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("pinned"), std::string::npos) << why;
  hm_buffer_pin(ctrl(), D, hm_buffer_position(ctrl(), x), 0, 0);
  EXPECT_TRUE(control_ok(&why)) << why;
  // A buffer that left the use list without being released is lost.
  hm_buffer_unlist(ctrl(), hm_buffer_position(ctrl(), x));
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("use list"), std::string::npos) << why;
}

TEST_F(ConsistencyTest, RecordFreeAndUsedOrOwnedByNoOne) {
  const int32_t D = make_matrix("A", 40, 40);
  std::string why;
  ASSERT_TRUE(fileset_ok(&why)) << why;
  // The first used record of the matrix also given back to list B.
  const int32_t *used = d(D).at(dw::kUsedList);
  const int32_t *mentries = word_at(ctrl(), d(D)[dw::kTableAddress]);
  const int32_t r = *hm_extent_word(mentries, used[listw::kFirst], extw::kFirst);
  {
    std::vector<int32_t> saved = ctrl_;
    ExtentTable table{word_at(ctrl(), fs()[fsw::kTablePos]), fs().at(fsw::kTableFree)};
    int32_t pred = hm_extent_locate(table.entries, fs().at(fsw::kListB), r, 0);
    ASSERT_GE(pred, 0);
    ASSERT_EQ(hm_extent_add(table, fs().at(fsw::kListB), 1, r, pred), 0);
    EXPECT_FALSE(fileset_ok(&why));
    EXPECT_NE(why.find(std::to_string(r) + " is held by"), std::string::npos) << why;
    ctrl_ = saved;
  }
  // A record taken from list B that no one holds; the matrix is closed, so
  // its own records are known only from its stored header.
  int32_t ierr = -1, h = D;
  hmrelm(ctrl(), &h, &ierr);
  ASSERT_EQ(ierr, 0);
  ASSERT_TRUE(fileset_ok(&why)) << why;
  ExtentTable table{word_at(ctrl(), fs()[fsw::kTablePos]), fs().at(fsw::kTableFree)};
  const int32_t lost = hm_extent_take_one(table, fs().at(fsw::kListB));
  ASSERT_GT(lost, 0);
  EXPECT_FALSE(fileset_ok(&why));
  EXPECT_NE(why.find(std::to_string(lost) + "+1 held by no one"), std::string::npos) << why;
}

TEST_F(ConsistencyTest, UnbalancedOrMislinkedDirectory) {
  for (const char *n : {"A", "B", "C"}) {
    int32_t D = make_matrix(n, 8, 8), ierr = -1;
    hmrelm(ctrl(), &D, &ierr);
  }
  std::string why;
  ASSERT_TRUE(control_ok(&why)) << why;
  // Relink the three nodes as a chain to the right, in key order and with
  // true balance words: ordered, but no longer height-balanced.
  const NodeTable t{word_at(ctrl(), fs()[fsw::kNodePos]), dirw::kLength, dirw::kKey,
                    dw::kKeyWords};
  std::vector<int32_t> order;  // in-order
  for (const char *n : {"A", "B", "C"}) {
    Name nm(n);
    int32_t key[4] = {1, nm.words[0], nm.words[1], nm.words[2]};
    order.push_back(hm_dir_lookup(ctrl(), P_, key));
  }
  std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return hm_key_compare(tree_node_word(t, a, 1), tree_node_word(t, b, 1), 4) < 0;
  });
  auto link = [&](int32_t node, int32_t parent, int32_t side, int32_t right, int32_t balance) {
    *tree_node_word(t, node, treew::parent(12)) = parent;
    *tree_node_word(t, node, treew::side(12)) = side;
    *tree_node_word(t, node, treew::balance(12)) = balance;
    *tree_node_word(t, node, treew::left(12)) = 0;
    *tree_node_word(t, node, treew::right(12)) = right;
  };
  link(order[0], 0, 0, order[1], 2);
  link(order[1], order[0], treew::kRightSide, order[2], 1);
  link(order[2], order[1], treew::kRightSide, 0, 0);
  fs()[fsw::kDirRoot] = order[0];
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("balance 2"), std::string::npos) << why;
  EXPECT_FALSE(fileset_ok(&why));
  // A node on the free list as well as in the tree.
  link(order[1], 0, 0, 0, 0);
  link(order[0], order[1], treew::kLeftSide, 0, 0);
  link(order[2], order[1], treew::kRightSide, 0, 0);
  *tree_node_word(t, order[0], treew::left(12)) = 0;
  *tree_node_word(t, order[1], treew::left(12)) = order[0];
  *tree_node_word(t, order[1], treew::right(12)) = order[2];
  fs()[fsw::kDirRoot] = order[1];
  ASSERT_TRUE(control_ok(&why)) << why;
  *tree_node_word(t, order[2], dirw::kReleasedLink) = fs()[fsw::kNodeFirstFree];
  fs()[fsw::kNodeFirstFree] = order[2];
  fs()[fsw::kNodeFree] += 1;
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("free-node list and in the tree"), std::string::npos) << why;
}

TEST_F(ConsistencyTest, LeakedWorkAreaDescriptorAndSlotMarks) {
  std::string why;
  int32_t area = 0;
  ASSERT_EQ(hm_work_alloc(ctrl(), kL, area), 0);
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("unit pool"), std::string::npos) << why;
  EXPECT_NE(why.find("leaked"), std::string::npos) << why;
  ASSERT_EQ(hm_work_free(ctrl(), kL, area), 0);
  ASSERT_TRUE(control_ok(&why)) << why;

  int32_t pair = 0;
  ASSERT_EQ(hm_pair_alloc(ctrl(), 6, pair), 0);
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("pair pool"), std::string::npos) << why;
  ASSERT_EQ(hm_pair_free(ctrl(), 6, pair), 0);

  // A descriptor slot taken by a call that failed and forgot it.
  int32_t D = 0;
  ASSERT_EQ(hm_desc_alloc(ctrl(), D), 0);
  d(D)[dw::kFileset] = P_;
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("not in its file set's directory"), std::string::npos) << why;
  hm_desc_free(ctrl(), D);
  ASSERT_TRUE(control_ok(&why)) << why;

  // A file-set slot off the free list but not marked in use.
  int32_t *links = word_at(ctrl(), c()[cw::kFsLinks]);
  const int32_t head = c()[cw::kFsHead];
  c()[cw::kFsHead] = links[head - 1];
  c()[cw::kFsFree] -= 1;
  EXPECT_FALSE(control_ok(&why));
  EXPECT_NE(why.find("neither free nor marked in use"), std::string::npos) << why;
}

}  // namespace
}  // namespace tessera
