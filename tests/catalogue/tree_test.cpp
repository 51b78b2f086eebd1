// The node-table tree against a std::set of keys: random insertions and
// removals (keys with negative words, two node shapes) with the tree checker
// after every step, and checks that keys and payloads stay in their nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/invariants.h"
#include "catalogue/tree.h"
#include "common/status.h"
#include "test_support/host.h"

namespace tessera {
namespace {

// A node table with a free-node stack; every node's words outside key and
// links carry a payload derived from its number.
struct Forest {
  NodeTable t;
  int32_t capacity;
  std::vector<int32_t> words;
  std::vector<int32_t> spare;
  int32_t count = 0, root = 0;

  Forest(int32_t n, int32_t o, int32_t k, int32_t cap)
      : t{nullptr, n, o, k}, capacity(cap), words(static_cast<size_t>(n) * cap, 0) {
    t.nodes = words.data();
    for (int32_t i = cap; i >= 1; --i) spare.push_back(i);
    for (int32_t i = 1; i <= cap; ++i) {
      for (int32_t w = 1; w <= n - 5; ++w) *tree_node_word(t, i, w) = payload(i, w);
    }
  }
  static int32_t payload(int32_t node, int32_t w) { return node * 100 + w; }
  bool is_key_word(int32_t w) const { return w >= t.key_offset && w < t.key_offset + t.key_words; }

  // Returns the node used, 0 when the key was there already.
  int32_t insert(const std::vector<int32_t> &key) {
    int32_t found = 0, last = -5, side = -5;
    hm_tree_find(t, root, key.data(), found, last, side);
    if (found != 0) return 0;
    const int32_t node = spare.back();
    spare.pop_back();
    std::copy(key.begin(), key.end(), tree_node_word(t, node, t.key_offset));
    hm_tree_insert(t, count, root, node, last, side);
    return node;
  }
  int32_t find(const std::vector<int32_t> &key) const {
    int32_t found = 0, last = 0, side = 0;
    hm_tree_find(t, root, key.data(), found, last, side);
    return found != 0 ? last : 0;
  }
  void check() const {
    std::string why;
    ASSERT_TRUE(hm_check_tree(t, capacity, count, root, &why)) << why;
  }
};

std::vector<int32_t> random_key(std::mt19937 &rng, int32_t k) {
  // Half the words from a few values, so that keys often share leading words
  // and sometimes repeat; both signs and the extremes appear.
  static constexpr int32_t kValues[] = {INT32_MIN, -70000, -3, -1, 0, 1, 2, 65536, INT32_MAX};
  std::vector<int32_t> key(k);
  for (auto &w : key) {
    w = rng() % 2 == 0 ? kValues[rng() % std::size(kValues)]
                       : static_cast<int32_t>(rng() % 401) - 200;
  }
  return key;
}

void random_run(int32_t n, int32_t o, int32_t k, uint32_t seed) {
  test::HostAreas host;
  std::mt19937 rng(seed);
  Forest f(n, o, k, 160);
  std::map<std::vector<int32_t>, int32_t> model;  // key -> node
  for (int32_t step = 0; step < 4000; ++step) {
    // Lean towards insertion while small, towards removal while large.
    const bool grow = static_cast<int32_t>(rng() % 160) >= static_cast<int32_t>(model.size());
    if (grow && !f.spare.empty()) {
      const auto key = random_key(rng, k);
      const int32_t node = f.insert(key);
      ASSERT_EQ(node == 0, model.count(key) == 1) << step;
      if (node != 0) model[key] = node;
    } else if (!model.empty()) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      ASSERT_EQ(f.find(it->first), it->second) << step;
      ASSERT_EQ(hm_tree_remove(f.t, f.count, f.root, it->second), 0);
      f.spare.push_back(it->second);
      model.erase(it);
    }
    f.check();
    ASSERT_EQ(f.count, static_cast<int32_t>(model.size()));
    if (step % 50 == 0) {
      for (const auto &[key, node] : model) ASSERT_EQ(f.find(key), node);
    }
  }
  // Keys and payloads never moved between nodes.
  for (const auto &[key, node] : model) {
    for (int32_t w = 1; w <= n - 5; ++w) {
      const int32_t want = f.is_key_word(w) ? key[w - o] : Forest::payload(node, w);
      ASSERT_EQ(*tree_node_word(f.t, node, w), want) << "node " << node << " word " << w;
    }
  }
  // Drain what is left: every removal keeps the tree sound.
  while (!model.empty()) {
    auto it = model.begin();
    std::advance(it, rng() % model.size());
    ASSERT_EQ(hm_tree_remove(f.t, f.count, f.root, it->second), 0);
    model.erase(it);
    f.check();
  }
  EXPECT_EQ(f.root, 0);
}

TEST(Tree, RandomDirectoryShapedTreeMatchesTheSetModel) { random_run(dirw::kLength, 1, 4, 7); }
TEST(Tree, RandomOneWordKeyTreeMatchesTheSetModel) { random_run(14, 6, 1, 11); }

TEST(Tree, RemovalOfInnerNodesKeepsNodeNumbers) {
  Forest f(12, 1, 4, 16);
  std::vector<int32_t> node(16);
  for (int32_t v : {8, 4, 12, 2, 6, 10, 14, 1, 3, 5, 7}) node[v] = f.insert({v, 0, 0, 0});
  // 4 has two children; its predecessor 3 is a leaf deeper down. 8 is the
  // root; its predecessor 7 is not its child.
  for (int32_t v : {4, 8, 12}) {
    ASSERT_EQ(hm_tree_remove(f.t, f.count, f.root, node[v]), 0);
    f.check();
    EXPECT_EQ(f.find({v, 0, 0, 0}), 0);
  }
  for (int32_t v : {2, 6, 10, 14, 1, 3, 5, 7}) EXPECT_EQ(f.find({v, 0, 0, 0}), node[v]) << v;
  // Predecessor is the node's own left child.
  Forest g(12, 1, 4, 4);
  const int32_t b = g.insert({2, 0, 0, 0});
  const int32_t a = g.insert({1, 0, 0, 0});
  const int32_t c = g.insert({3, 0, 0, 0});
  ASSERT_EQ(hm_tree_remove(g.t, g.count, g.root, b), 0);
  g.check();
  EXPECT_EQ(g.root, a);
  EXPECT_EQ(g.find({3, 0, 0, 0}), c);
}

TEST(Tree, EmptyTreeLookupAndRemoval) {
  test::HostAreas host;
  Forest f(14, 6, 1, 2);
  int32_t found = 9, last = 42, side = 43;
  const int32_t key = 5;
  hm_tree_find(f.t, 0, &key, found, last, side);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(last, 42);
  EXPECT_EQ(side, 43);
  EXPECT_EQ(hm_tree_remove(f.t, f.count, f.root, 1), status::kFull);
  EXPECT_EQ(host.trace_codes(), (std::vector<int32_t>{33752}));
  const int32_t node = f.insert({key});
  EXPECT_EQ(f.root, node);
  EXPECT_EQ(f.count, 1);
  f.check();
}

TEST(KeyCompare, SignedWordByWord) {
  const int32_t a[] = {1, -5, 7}, b[] = {1, 3, -100};
  EXPECT_EQ(hm_key_compare(a, b, 3), -1);  // -5 < 3 decides, not the last word
  EXPECT_EQ(hm_key_compare(b, a, 3), 1);
  EXPECT_EQ(hm_key_compare(a, b, 1), 0);
  EXPECT_EQ(hm_key_compare(a, b, 0), 0);
  EXPECT_EQ(hm_key_compare(a, b, -2), 0);
  const int32_t lo[] = {INT32_MIN}, hi[] = {INT32_MAX};
  EXPECT_EQ(hm_key_compare(lo, hi, 1), -1);
}

// The checker itself must see the faults it is there for.
TEST(TreeChecker, DetectsBrokenBalanceParentAndOrder) {
  Forest f(12, 1, 4, 8);
  for (int32_t v : {2, 1, 3}) f.insert({v, 0, 0, 0});
  f.check();
  const int32_t left = *tree_node_word(f.t, f.root, treew::left(12));
  std::string why;
  *tree_node_word(f.t, f.root, treew::balance(12)) = 1;
  EXPECT_FALSE(hm_check_tree(f.t, 8, 3, f.root, &why));
  *tree_node_word(f.t, f.root, treew::balance(12)) = 0;
  *tree_node_word(f.t, left, treew::parent(12)) = 0;
  EXPECT_FALSE(hm_check_tree(f.t, 8, 3, f.root, &why));
  *tree_node_word(f.t, left, treew::parent(12)) = f.root;
  *tree_node_word(f.t, left, 1) = 9;
  EXPECT_FALSE(hm_check_tree(f.t, 8, 3, f.root, &why));
  *tree_node_word(f.t, left, 1) = 1;
  EXPECT_FALSE(hm_check_tree(f.t, 8, 4, f.root, &why));
  EXPECT_TRUE(hm_check_tree(f.t, 8, 3, f.root, &why)) << why;
}

}  // namespace
}  // namespace tessera
