// The node-table tree: lookup, insertion and removal with height-balance
// retracing. Only the five link words of a node ever change; a node with two
// children leaves the tree by first trading places with its in-order
// predecessor, so keys and payloads stay where their owners put them (the
// buffer pool and the directory keep node numbers).
#include "catalogue/tree.h"

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_codes.h"
#include "common/status.h"
#include "control/trace.h"

namespace tessera {
namespace {

constexpr int32_t kLeft = treew::kLeftSide;
constexpr int32_t kRight = treew::kRightSide;

struct Links {
  const NodeTable &t;
  int32_t &root;

  int32_t &parent(int32_t x) const { return *tree_node_word(t, x, treew::parent(t.length)); }
  int32_t &side(int32_t x) const { return *tree_node_word(t, x, treew::side(t.length)); }
  int32_t &balance(int32_t x) const { return *tree_node_word(t, x, treew::balance(t.length)); }
  int32_t &left(int32_t x) const { return *tree_node_word(t, x, treew::left(t.length)); }
  int32_t &right(int32_t x) const { return *tree_node_word(t, x, treew::right(t.length)); }
  int32_t &child(int32_t x, int32_t s) const { return s == kLeft ? left(x) : right(x); }

  // Hang `node` (may be 0) below `p` on side s, or make it the root when p
  // is 0.
  void attach(int32_t p, int32_t s, int32_t node) const {
    if (p == 0) {
      root = node;
      if (node != 0) {
        parent(node) = 0;
        side(node) = 0;
      }
      return;
    }
    child(p, s) = node;
    if (node != 0) {
      parent(node) = p;
      side(node) = s;
    }
  }

  // Rotate x's right child y up into x's place; balances follow from the
  // heights (balance = right height - left height) for any starting values.
  int32_t rotate_left(int32_t x) const {
    const int32_t y = right(x);
    const int32_t p = parent(x);
    const int32_t s = side(x);
    attach(x, kRight, left(y));
    attach(y, kLeft, x);
    attach(p, s, y);
    const int32_t bx = balance(x);
    const int32_t by = balance(y);
    const int32_t nbx = bx - 1 - (by > 0 ? by : 0);
    balance(x) = nbx;
    balance(y) = by - 1 + (nbx < 0 ? nbx : 0);
    return y;
  }

  int32_t rotate_right(int32_t x) const {
    const int32_t y = left(x);
    const int32_t p = parent(x);
    const int32_t s = side(x);
    attach(x, kLeft, right(y));
    attach(y, kRight, x);
    attach(p, s, y);
    const int32_t bx = balance(x);
    const int32_t by = balance(y);
    const int32_t nbx = bx + 1 - (by < 0 ? by : 0);
    balance(x) = nbx;
    balance(y) = by + 1 + (nbx > 0 ? nbx : 0);
    return y;
  }

  // Rebalance x, which leans two levels towards side `heavy` (its balance
  // word still says one); returns the subtree's new top.
  int32_t rebalance(int32_t x, int32_t heavy) const {
    balance(x) = heavy == kLeft ? -2 : 2;  // the real difference, for the rotations
    if (heavy == kLeft) {
      if (balance(left(x)) > 0) rotate_left(left(x));
      return rotate_right(x);
    }
    if (balance(right(x)) < 0) rotate_right(right(x));
    return rotate_left(x);
  }

  // Node b (in a's left subtree, no right child) and node a trade places:
  // their link words are exchanged and every link to either is re-pointed.
  void exchange_with_predecessor(int32_t a, int32_t b) const {
    const int32_t pa = parent(a), sa = side(a), ba = balance(a), la = left(a), ra = right(a);
    const int32_t pb = parent(b), sb = side(b), bb = balance(b), lb = left(b);
    balance(b) = ba;
    balance(a) = bb;
    right(a) = 0;
    attach(b, kRight, ra);
    if (la == b) {
      attach(a, kLeft, lb);
      attach(b, kLeft, a);
    } else {
      attach(a, kLeft, lb);
      attach(b, kLeft, la);
      attach(pb, sb, a);
    }
    attach(pa, sa, b);
  }
};

}  // namespace

int32_t hm_key_compare(const int32_t *a, const int32_t *b, int32_t k) {
  for (int32_t i = 0; i < k; ++i) {
    if (a[i] < b[i]) return -1;
    if (a[i] > b[i]) return 1;
  }
  return 0;
}

void hm_tree_find(const NodeTable &t, int32_t root, const int32_t *key, int32_t &found,
                  int32_t &last, int32_t &side) {
  found = 0;
  int32_t node = root;
  while (node != 0) {
    const int32_t r = hm_key_compare(key, tree_node_word(t, node, t.key_offset), t.key_words);
    last = node;
    if (r == 0) {
      found = 1;
      return;
    }
    if (r < 0) {
      node = *tree_node_word(t, node, treew::left(t.length));
      side = kLeft;
    } else {
      node = *tree_node_word(t, node, treew::right(t.length));
      side = kRight;
    }
  }
}

void hm_tree_insert(const NodeTable &t, int32_t &count, int32_t &root, int32_t node,
                    int32_t last, int32_t side) {
  const Links x{t, root};
  x.balance(node) = 0;
  x.left(node) = 0;
  x.right(node) = 0;
  ++count;
  if (root == 0) {
    x.attach(0, 0, node);
    return;
  }
  x.attach(last, side, node);
  // Retrace: the subtree on `from` grew by one.
  for (int32_t at = last, from = side; at != 0;) {
    const int32_t lean = from == kLeft ? -1 : 1;
    const int32_t b = x.balance(at);
    if (b == -lean) {
      x.balance(at) = 0;
      return;
    }
    if (b == 0) {
      x.balance(at) = lean;
      from = x.side(at);
      at = x.parent(at);
      continue;
    }
    x.rebalance(at, from);
    return;
  }
}

int32_t hm_tree_remove(const NodeTable &t, int32_t &count, int32_t &root, int32_t node) {
  if (root == 0) return hm_fail(status::kFull, trace::kTreeRemoveEmpty);
  const Links x{t, root};
  if (x.left(node) != 0 && x.right(node) != 0) {
    int32_t pred = x.left(node);
    while (x.right(pred) != 0) pred = x.right(pred);
    x.exchange_with_predecessor(node, pred);
  }
  const int32_t child = x.left(node) != 0 ? x.left(node) : x.right(node);
  const int32_t parent = x.parent(node);
  const int32_t side = x.side(node);
  x.attach(parent, side, child);
  if (parent == 0 && child != 0) x.balance(child) = 0;
  --count;
  // Retrace: the subtree on `from` lost one level.
  for (int32_t at = parent, from = side; at != 0;) {
    const int32_t lean = from == kLeft ? -1 : 1;
    const int32_t b = x.balance(at);
    if (b == lean) {
      x.balance(at) = 0;
      from = x.side(at);
      at = x.parent(at);
      continue;
    }
    if (b == 0) {
      x.balance(at) = -lean;
      return status::kOk;
    }
    const int32_t top = x.rebalance(at, from == kLeft ? kRight : kLeft);
    if (x.balance(top) != 0) return status::kOk;  // height kept: done
    from = x.side(top);
    at = x.parent(top);
  }
  return status::kOk;
}

}  // namespace tessera
