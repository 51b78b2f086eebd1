// Invariant checkers. They follow links with explicit bounds and visited
// marks so that a corrupted structure yields a reason, never a crash or an
// endless walk.
#include "catalogue/invariants.h"

#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_list.h"
#include "common/word_view.h"
#include "control/control_words.h"

namespace tessera {
namespace {

bool fail(std::string *why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

std::string num(int64_t v) { return std::to_string(v); }

// Walk one list, marking its entries in `seen` (capacity + 1 flags).
bool walk_list(const int32_t *entries, int32_t capacity, const int32_t *list,
               std::vector<char> &seen, std::string *why) {
  int64_t total = 0;
  int32_t count = 0;
  int32_t prev = 0;
  int64_t prev_end = 0;
  for (int32_t e = list[listw::kFirst]; e != 0;) {
    if (e < 1 || e > capacity) return fail(why, "entry " + num(e) + " outside the table");
    if (seen[e] != 0) return fail(why, "entry " + num(e) + " reached twice");
    seen[e] = 1;
    const int32_t length = *hm_extent_word(entries, e, extw::kLength);
    const int32_t first = *hm_extent_word(entries, e, extw::kFirst);
    if (*hm_extent_word(entries, e, extw::kPrev) != prev) {
      return fail(why, "entry " + num(e) + " has previous " +
                           num(*hm_extent_word(entries, e, extw::kPrev)) + ", expected " +
                           num(prev));
    }
    if (length < 1) return fail(why, "entry " + num(e) + " has length " + num(length));
    if (prev != 0 && first <= prev_end) {
      return fail(why, "entry " + num(e) + " at " + num(first) +
                           (first == prev_end ? " is adjacent to" : " overlaps or precedes") +
                           " the extent before, ending at " + num(prev_end));
    }
    total += length;
    ++count;
    prev = e;
    prev_end = static_cast<int64_t>(first) + length;
    e = *hm_extent_word(entries, e, extw::kNext);
  }
  if (list[listw::kLast] != prev) {
    return fail(why, "last is " + num(list[listw::kLast]) + ", the walk ends at " + num(prev));
  }
  if (list[listw::kCount] != count) {
    return fail(why, "count is " + num(list[listw::kCount]) + ", the walk finds " + num(count));
  }
  if (list[listw::kTotal] != total) {
    return fail(why, "total is " + num(list[listw::kTotal]) + ", the lengths add to " +
                         num(total));
  }
  return true;
}

}  // namespace

bool hm_check_extent_list(const int32_t *entries, int32_t capacity, const int32_t *list,
                          std::string *why) {
  if (capacity < 0) return fail(why, "negative capacity");
  std::vector<char> seen(static_cast<size_t>(capacity) + 1, 0);
  return walk_list(entries, capacity, list, seen, why);
}

bool hm_check_extent_table(const int32_t *entries, int32_t capacity, const int32_t *slots,
                           const int32_t *const *lists, int32_t nlists, std::string *why) {
  if (capacity < 0) return fail(why, "negative capacity");
  std::vector<char> seen(static_cast<size_t>(capacity) + 1, 0);
  for (int32_t i = 0; i < nlists; ++i) {
    std::string reason;
    if (!walk_list(entries, capacity, lists[i], seen, &reason)) {
      return fail(why, "list " + num(i + 1) + ": " + reason);
    }
  }
  int32_t free_count = 0;
  for (int32_t e = slots[1]; e != 0; e = *hm_extent_word(entries, e, extw::kNext)) {
    if (e < 1 || e > capacity) return fail(why, "free entry " + num(e) + " outside the table");
    if (seen[e] != 0) return fail(why, "free entry " + num(e) + " is also in use");
    seen[e] = 1;
    ++free_count;
  }
  if (free_count != slots[0]) {
    return fail(why, "free count is " + num(slots[0]) + ", the free list holds " +
                         num(free_count));
  }
  for (int32_t e = 1; e <= capacity; ++e) {
    if (seen[e] == 0) return fail(why, "entry " + num(e) + " is neither free nor on a list");
  }
  return true;
}

bool hm_check_pools(int32_t *ctrl, std::string *why) {
  WordView c = control_view(ctrl);
  if (c[cw::kFresh] != 0) return true;
  struct Pool {
    const char *name;
    int32_t table, entries, slots, list;
    int64_t low, high;  // inclusive range of units or words
    bool even;
  };
  const Pool pools[] = {
      {"unit pool", c[cw::kUnitTable], c[cw::kUnitEntries], cw::kUnitTableFree, cw::kUnitList, 1,
       c[cw::kUnitCount], false},
      {"word pool", c[cw::kWordTable], c[cw::kWordEntries], cw::kWordTableFree, cw::kWordList,
       c[cw::kWordBase], int64_t{c[cw::kWordBase]} + c[cw::kWordSize] - 1, false},
      {"pair pool", c[cw::kPairTable], c[cw::kPairEntries], cw::kPairTableFree, cw::kPairList,
       c[cw::kPairBase], int64_t{c[cw::kPairBase]} + c[cw::kPairSize] - 1, true},
  };
  for (const Pool &p : pools) {
    const int32_t *entries = word_at(ctrl, p.table);
    const int32_t *list = c.at(p.list);
    std::string reason;
    if (!hm_check_extent_table(entries, p.entries, c.at(p.slots), &list, 1, &reason)) {
      return fail(why, std::string(p.name) + ": " + reason);
    }
    for (int32_t e = list[listw::kFirst]; e != 0; e = *hm_extent_word(entries, e, extw::kNext)) {
      const int64_t first = *hm_extent_word(entries, e, extw::kFirst);
      const int64_t length = *hm_extent_word(entries, e, extw::kLength);
      if (first < p.low || first + length - 1 > p.high) {
        return fail(why, std::string(p.name) + ": free run " + num(first) + "+" + num(length) +
                             " outside " + num(p.low) + ".." + num(p.high));
      }
      if (p.even && ((first - p.low) % 2 != 0 || length % 2 != 0)) {
        return fail(why, std::string(p.name) + ": odd free run " + num(first) + "+" +
                             num(length));
      }
    }
  }
  return true;
}

namespace {

struct TreeWalk {
  const NodeTable &t;
  int32_t capacity;
  std::vector<char> seen;
  const int32_t *prev_key = nullptr;
  int32_t visited = 0;
  std::string reason;

  int32_t word(int32_t node, int32_t w) const { return *tree_node_word(t, node, w); }

  // Key order checked word by word as signed integers, independently of
  // hm_key_compare.
  static bool less(const int32_t *a, const int32_t *b, int32_t k) {
    for (int32_t i = 0; i < k; ++i) {
      if (a[i] != b[i]) return a[i] < b[i];
    }
    return false;
  }

  // Height of the subtree at node, or -1 with reason set.
  int32_t visit(int32_t node, int32_t parent, int32_t side) {
    const int32_t n = t.length;
    if (node < 1 || node > capacity) {
      reason = "node " + num(node) + " outside the table";
      return -1;
    }
    if (seen[node] != 0) {
      reason = "node " + num(node) + " reached twice";
      return -1;
    }
    seen[node] = 1;
    ++visited;
    if (word(node, treew::parent(n)) != parent) {
      reason = "node " + num(node) + " has parent " + num(word(node, treew::parent(n))) +
               ", expected " + num(parent);
      return -1;
    }
    if (word(node, treew::side(n)) != side) {
      reason = "node " + num(node) + " has side " + num(word(node, treew::side(n))) +
               ", expected " + num(side);
      return -1;
    }
    int32_t hl = 0;
    if (const int32_t l = word(node, treew::left(n)); l != 0) {
      hl = visit(l, node, treew::kLeftSide);
      if (hl < 0) return -1;
    }
    const int32_t *key = tree_node_word(t, node, t.key_offset);
    if (prev_key != nullptr && !less(prev_key, key, t.key_words)) {
      reason = "node " + num(node) + " is out of key order";
      return -1;
    }
    prev_key = key;
    int32_t hr = 0;
    if (const int32_t r = word(node, treew::right(n)); r != 0) {
      hr = visit(r, node, treew::kRightSide);
      if (hr < 0) return -1;
    }
    const int32_t balance = word(node, treew::balance(n));
    if (balance != hr - hl || balance < -1 || balance > 1) {
      reason = "node " + num(node) + " has balance " + num(balance) + ", heights " + num(hl) +
               " and " + num(hr);
      return -1;
    }
    return 1 + (hl > hr ? hl : hr);
  }
};

}  // namespace

bool hm_check_tree(const NodeTable &t, int32_t capacity, int32_t count, int32_t root,
                   std::string *why) {
  if (capacity < 0) return fail(why, "negative capacity");
  TreeWalk walk{t, capacity, std::vector<char>(static_cast<size_t>(capacity) + 1, 0), nullptr,
                0, std::string()};
  if (root != 0 && walk.visit(root, 0, 0) < 0) return fail(why, walk.reason);
  if (walk.visited != count) {
    return fail(why, "count is " + num(count) + ", the tree holds " + num(walk.visited));
  }
  return true;
}

}  // namespace tessera
