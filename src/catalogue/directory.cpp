// Descriptor slots and the matrix directory of each file set.
//
// A descriptor slot is taken from the slot list of the control area (stride
// 1, link -1 while in use). The directory is a node-table tree of 12-word
// nodes in the file set's node table, keyed by (qualifier, name words 1-3).
// A node never returns to the node table's free list: a killed matrix's node
// goes to the released-node list and its header slot (node words 5 and 6) is
// handed to the next new matrix.
//
// Node numbers, list heads and tree links of the directory come back from
// the file set's files, so every routine walks them against the node table
// (one visit per node; matrices are created and killed rarely) before it
// writes through them. A damaged directory finds nothing and takes nothing.
#include "catalogue/directory.h"

#include <cstdint>

#include "catalogue/descriptor_words.h"
#include "catalogue/directory_codes.h"
#include "catalogue/record_space.h"
#include "catalogue/tree.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/trace.h"

namespace tessera {
namespace {

constexpr int32_t kNodeWords = dirw::kLength;

NodeTable directory_table(int32_t *ctrl, const WordView &fs) {
  return NodeTable{word_at(ctrl, fs[fsw::kNodePos]), kNodeWords, dirw::kKey, dw::kKeyWords};
}

// A node number (0 meaning none) that may be followed within the table.
bool node_ok(int32_t node, int32_t capacity) { return node >= 0 && node <= capacity; }

// Follow `count` links of a chain through node word 1 (the free list, the
// released list): every one must name a node of the table.
bool chain_ok(const int32_t *table, int32_t capacity, int32_t count, int32_t head) {
  if (count < 0 || count > capacity) return false;
  int32_t node = head;
  for (int32_t i = 0; i < count; ++i) {
    if (node < 1 || node > capacity) return false;
    node = table[(node - 1) * kNodeWords + (dirw::kReleasedLink - 1)];
  }
  return true;
}

// Walk the tree through its links without a stack: every child lies in the
// table and names its parent and side back, which also rules out cycles, and
// the tree holds `count` nodes. Costs one visit per node.
bool tree_ok(const NodeTable &t, int32_t capacity, int32_t count, int32_t root) {
  constexpr int32_t N = kNodeWords;
  auto word = [&](int32_t node, int32_t w) { return *tree_node_word(t, node, w); };
  auto child_ok = [&](int32_t child, int32_t parent, int32_t side) {
    return child >= 1 && child <= capacity && word(child, treew::parent(N)) == parent &&
           word(child, treew::side(N)) == side;
  };
  if (root == 0) return count == 0;
  if (root < 1 || root > capacity || word(root, treew::parent(N)) != 0) return false;
  int32_t node = root, from = 0, seen = 0;  // from: 0 parent, 1 left, 2 right
  while (node != 0) {
    if (from == 0) {
      if (++seen > count) return false;
      const int32_t left = word(node, treew::left(N));
      if (left != 0) {
        if (!child_ok(left, node, treew::kLeftSide)) return false;
        node = left;
        continue;
      }
      from = 1;
    }
    if (from == 1) {
      const int32_t right = word(node, treew::right(N));
      if (right != 0) {
        if (!child_ok(right, node, treew::kRightSide)) return false;
        node = right;
        from = 0;
        continue;
      }
    }
    from = word(node, treew::side(N)) == treew::kLeftSide ? 1 : 2;
    node = word(node, treew::parent(N));
  }
  return seen == count;
}

// Everything of the directory that the tree and list code will follow.
bool directory_ok(int32_t *ctrl, const WordView &fs) {
  const int32_t cap = fs[fsw::kNodeCapacity];
  if (cap < 0 || !node_ok(fs[fsw::kReleasedLast], cap)) return false;
  const NodeTable t = directory_table(ctrl, fs);
  return chain_ok(t.nodes, cap, fs[fsw::kNodeFree], fs[fsw::kNodeFirstFree]) &&
         chain_ok(t.nodes, cap, fs[fsw::kReleasedCount], fs[fsw::kReleasedFirst]) &&
         tree_ok(t, cap, fs[fsw::kDirCount], fs[fsw::kDirRoot]);
}

}  // namespace

int32_t hm_desc_alloc(int32_t *ctrl, int32_t &D) {
  WordView c = control_view(ctrl);
  if (c[cw::kDescFree] < 1) return hm_fail(status::kFull, trace::kDescNoSlot);
  const int32_t head = c[cw::kDescHead];
  if (head < 1 || head > c[cw::kDescSlots]) return hm_fail(status::kFull, trace::kDescCorrupt);
  int32_t *links = word_at(ctrl, c[cw::kDescLinks]);
  const int32_t s = hm_list_take(links, 1, c[cw::kDescFree], c[cw::kDescHead]);
  links[s - 1] = cw::kSlotInUse;
  D = c[cw::kDescArea1] + cw::kDescriptorWords * (s - 1);
  return status::kOk;
}

void hm_desc_free(int32_t *ctrl, int32_t &D) {
  WordView c = control_view(ctrl);
  const int32_t base = c[cw::kDescArea1];
  const int32_t delta = D - base;
  int32_t s = delta / cw::kDescriptorWords + 1;
  // Only a slot in use goes back: giving a free slot back twice would put it
  // on the free list twice and hand it to two matrices.
  if (delta >= 0 && delta % cw::kDescriptorWords == 0 && s <= c[cw::kDescSlots]) {
    int32_t *links = word_at(ctrl, c[cw::kDescLinks]);
    if (links[s - 1] == cw::kSlotInUse) {
      hm_list_give(links, 1, c[cw::kDescFree], c[cw::kDescHead], s);
    }
  }
  D = 0;
}

int32_t hm_released_take(int32_t *table, int32_t N, int32_t &count, int32_t &first,
                         int32_t &last) {
  const int32_t node = first;
  first = table[(node - 1) * N + (dirw::kReleasedLink - 1)];
  if (first == 0) last = 0;
  --count;
  return node;
}

void hm_released_append(int32_t *table, int32_t N, int32_t &count, int32_t &first,
                        int32_t &last, int32_t node) {
  if (last != 0) {
    table[(last - 1) * N + (dirw::kReleasedLink - 1)] = node;
  } else {
    first = node;
  }
  last = node;
  table[(node - 1) * N + (dirw::kReleasedLink - 1)] = 0;
  ++count;
}

int32_t hm_dir_lookup(int32_t *ctrl, int32_t k, const int32_t *key) {
  WordView fs(ctrl, k);
  if (!directory_ok(ctrl, fs)) return 0;
  int32_t found = 0, last = 0, side = 0;
  hm_tree_find(directory_table(ctrl, fs), fs[fsw::kDirRoot], key, found, last, side);
  return found != 0 ? last : 0;
}

int32_t *hm_dir_node_word(int32_t *ctrl, int32_t k, int32_t node, int32_t w) {
  WordView fs(ctrl, k);
  return tree_node_word(directory_table(ctrl, fs), node, w);
}

int32_t hm_dir_enter(int32_t *ctrl, int32_t D, int32_t &record, int32_t &offset) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  WordView fs(ctrl, k);
  if (!directory_ok(ctrl, fs)) return hm_fail(status::kFull, trace::kDirCorrupt);
  const NodeTable t = directory_table(ctrl, fs);
  const int32_t L = fs[fsw::kRecordLength];

  int32_t node = 0;
  if (fs[fsw::kReleasedCount] < 1) {
    // Headers follow one another 128 words apart; a header that would not
    // end inside the record starts a new header record.
    int64_t next = int64_t{fs[fsw::kHeaderOffset]} + dw::kWords;
    int32_t rec = fs[fsw::kHeaderRecord];
    if (rec == 0 || next + dw::kWords - 1 > L) {
      const int32_t st = hm_header_slot_record(ctrl, k, rec);
      if (st != status::kOk) return hm_fail(st, trace::kDirNoHeaderRecord);
      next = 1;
      fs[fsw::kHeaderRecord] = rec;
    }
    fs[fsw::kHeaderOffset] = static_cast<int32_t>(next);
    if (fs[fsw::kNodeFree] < 1) return hm_fail(status::kFull, trace::kDirNoNode);
    node = hm_list_take(t.nodes, kNodeWords, fs[fsw::kNodeFree], fs[fsw::kNodeFirstFree]);
    *tree_node_word(t, node, dirw::kHeaderRecord) = rec;
    *tree_node_word(t, node, dirw::kHeaderOffset) = static_cast<int32_t>(next);
  } else {
    node = hm_released_take(t.nodes, kNodeWords, fs[fsw::kReleasedCount],
                            fs[fsw::kReleasedFirst], fs[fsw::kReleasedLast]);
  }

  record = *tree_node_word(t, node, dirw::kHeaderRecord);
  offset = *tree_node_word(t, node, dirw::kHeaderOffset);
  for (int32_t w = 0; w < dw::kKeyWords; ++w) {
    *tree_node_word(t, node, dirw::kKey + w) = d[dw::kQualifier + w];
  }
  *tree_node_word(t, node, dirw::kHandle) = D;

  int32_t found = 0, last = 0, side = 0;
  hm_tree_find(t, fs[fsw::kDirRoot], d.at(dw::kQualifier), found, last, side);
  if (found != 0) {
    // A second node with the same key would never be found again; keep its
    // header slot for the next matrix instead and refuse the entry.
    hm_released_append(t.nodes, kNodeWords, fs[fsw::kReleasedCount], fs[fsw::kReleasedFirst],
                       fs[fsw::kReleasedLast], node);
    return hm_fail(status::kMatrixExists, trace::kDirDuplicate);
  }
  hm_tree_insert(t, fs[fsw::kDirCount], fs[fsw::kDirRoot], node, last, side);
  return status::kOk;
}

namespace {

// Take the matrix of D out of the tree onto the released-node list, so that
// its header slot goes to the next new matrix. With only_own, a node that
// another handle has entered is left alone.
int32_t detach_node(int32_t *ctrl, int32_t D, bool only_own, int32_t code) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  WordView fs(ctrl, k);
  const int32_t node = hm_dir_lookup(ctrl, k, d.at(dw::kQualifier));
  if (node == 0) return status::kOk;
  const NodeTable t = directory_table(ctrl, fs);
  if (only_own && *tree_node_word(t, node, dirw::kHandle) != D) return status::kOk;
  const int32_t st = hm_tree_remove(t, fs[fsw::kDirCount], fs[fsw::kDirRoot], node);
  if (st != status::kOk) return hm_fail(st, code);
  if (only_own) *tree_node_word(t, node, dirw::kHandle) = 0;
  hm_released_append(t.nodes, kNodeWords, fs[fsw::kReleasedCount], fs[fsw::kReleasedFirst],
                     fs[fsw::kReleasedLast], node);
  return status::kOk;
}

}  // namespace

int32_t hm_dir_remove(int32_t *ctrl, int32_t D) {
  return detach_node(ctrl, D, false, trace::kDirRemove);
}

int32_t hm_dir_cancel(int32_t *ctrl, int32_t D) {
  return detach_node(ctrl, D, true, trace::kDirCancel);
}

void hm_dir_mark_open(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  const int32_t node = hm_dir_lookup(ctrl, k, d.at(dw::kQualifier));
  if (node != 0) *hm_dir_node_word(ctrl, k, node, dirw::kHandle) = D;
}

void hm_dir_mark_closed(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  const int32_t node = hm_dir_lookup(ctrl, k, d.at(dw::kQualifier));
  if (node != 0) *hm_dir_node_word(ctrl, k, node, dirw::kHandle) = 0;
}

}  // namespace tessera
