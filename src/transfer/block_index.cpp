// The block grid (kinds, shapes, position numbers), the block index (node
// search, descent, insertion with redistribution and splits) and the
// locates of a block by (bi, bj).
//
// The path of a search is kept on the file set's first pair stack as
// (node record, entries below the key) pairs, the leaf last. Records rather
// than buffer positions are kept because taking a buffer between the search
// and the insertion may evict a node of the path.
#include "transfer/block_index.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/pools.h"
#include "catalogue/record_space.h"
#include "catalogue/stored_header.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "transfer/block_codes.h"
#include "transfer/edge_records.h"
#include "transfer/transfer_words.h"

namespace tessera {

namespace {

int32_t record_length(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  return WordView(ctrl, d[dw::kFileset])[fsw::kRecordLength];
}

// Records a node may name: those of the set past its header records.
bool record_in_set(WordView fs, int32_t record) {
  return record >= fs[fsw::kFirstHeaderRecord] + fs[fsw::kHeaderRecords] && record < fs[fsw::kEnd];
}

// Nodes of up to this many named records are sorted on the stack (a record
// of 2048 words holds 1020 entries).
constexpr int32_t kStackNames = 1024;

// A record a node names, and the entry that names it (0: child word 7).
struct Named {
  int32_t record;
  int32_t entry;
  bool operator<(const Named &o) const {
    return record < o.record || (record == o.record && entry < o.entry);
  }
};

// The records of an array of Named are every second word from the first.
static_assert(sizeof(Named) == 2 * sizeof(int32_t));

// Kind (2, 3 or 4) of the block at position `key`.
int32_t kind_of(int32_t *ctrl, int32_t D, int32_t key) {
  int32_t bi = 0, bj = 0, r = 0, q = 0, kind = 0, rows = 0, cols = 0;
  hm_block_indices(ctrl, D, key, bi, bj, r, q);
  hm_block_shape(ctrl, D, bi, bj, kind, rows, cols);
  return kind;
}

// A node just read from record `record` of matrix D, checked before any of
// its words indexes anything: its shape, its keys (strictly ascending, inside
// the block grid), and the records it names (inside the set, not itself nor
// the root, none named twice unless by blocks of one edge, all among the
// matrix's used records when its extent table is at hand). Returns the
// trace code of the first rule broken, 0 when all hold; kNodeScratch (with
// status 170) when a node too large for the stack finds no memory.
int32_t node_fault(int32_t *ctrl, int32_t D, const WordView &n, int32_t record) {
  WordView d(ctrl, D);
  WordView fs(ctrl, d[dw::kFileset]);
  const int32_t q = idxw::capacity(fs[fsw::kRecordLength]);
  const int32_t leaf = n[idxw::kLeaf];
  const int32_t count = n[idxw::kCount];
  if ((leaf != 0 && leaf != 1) || n[idxw::kUnused4] != 0 || n[idxw::kUnused5] != 0 ||
      count < 1 || count > q || (leaf == 0 && (n[idxw::kPrevLeaf] != 0 || n[idxw::kNextLeaf] != 0)))
    return trace::kNodeShape;

  int32_t prev_key = 0;
  for (int32_t i = 1; i <= count; ++i) {
    const int32_t key = n[idxw::key_word(i)];
    if (key <= prev_key) return trace::kNodeKeys;
    prev_key = key;
  }
  if (prev_key > d[dw::kGridBlocks]) return trace::kNodeKeys;

  const int32_t root = d[dw::kIndexRoot];
  auto bad = [&](int32_t r) { return !record_in_set(fs, r) || r == record || r == root; };
  if (leaf == 1) {
    for (int32_t w : {idxw::kPrevLeaf, idxw::kNextLeaf})
      if (n[w] != 0 && bad(n[w])) return trace::kNodeRecords;
  }
  const int32_t names = leaf == 1 ? count : count + 1;
  Named stack_names[kStackNames];
  std::vector<Named> heap_names;
  Named *named = stack_names;
  if (names > kStackNames) {
    try {
      heap_names.resize(static_cast<size_t>(names));
    } catch (const std::bad_alloc &) {
      return trace::kNodeScratch;
    }
    named = heap_names.data();
  }
  for (int32_t i = 0; i < names; ++i) {
    const int32_t entry = leaf == 1 ? i + 1 : i;
    const int32_t r = entry == 0 ? n[idxw::kChild0] : n[idxw::value_word(entry)];
    if (bad(r)) return trace::kNodeRecords;
    named[i] = Named{r, entry};
  }
  std::sort(named, named + names);
  // A record named twice is one packed record of an edge holding several
  // of its blocks; the kinds are worked out only for such records, which
  // are few.
  for (int32_t i = 1; i < names; ++i) {
    if (named[i].record != named[i - 1].record) continue;
    if (leaf == 0 || d[dw::kTriangle] == 1) return trace::kNodeShared;
    const int32_t a = kind_of(ctrl, D, n[idxw::key_word(named[i - 1].entry)]);
    const int32_t b = kind_of(ctrl, D, n[idxw::key_word(named[i].entry)]);
    if (a != b || a == kKindBlock) return trace::kNodeShared;
  }
  if (const int32_t *entries = hm_used_table(ctrl, D); entries != nullptr) {
    if (!hm_used_covers(entries, d.at(dw::kUsedList), &named[0].record, names, 2))
      return trace::kNodeOwner;
  }
  return 0;
}

// Refuse a node read from disk that breaks a rule; `ierr` otherwise.
int32_t checked(int32_t *ctrl, int32_t D, int32_t position, int32_t record) {
  const int32_t code = node_fault(ctrl, D, WordView(ctrl, position), record);
  if (code == 0) return status::kOk;
  return hm_fail(code == trace::kNodeScratch ? status::kFull : status::kRecordRead, code);
}

void mark_modified(int32_t *ctrl, int32_t position) {
  if (hm_is_pool_buffer(ctrl, position)) hm_buffer_word(ctrl, position, bufw::kModified) = 1;
}

// Buffers pinned while an insertion works on them; all unpinned at the end.
struct Pins {
  int32_t pos[8] = {};
  int32_t n = 0;
  void add(int32_t p) {
    if (n < 8) pos[n++] = p;
  }
  void drop(int32_t *ctrl, int32_t D) {
    for (int32_t i = 0; i < n; ++i) hm_buffer_pin(ctrl, D, pos[i], 0, 0);
    n = 0;
  }
};

}  // namespace

// ---- the block grid ----

void hm_block_shape(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t &kind,
                    int32_t &rows, int32_t &cols) {
  WordView d(ctrl, D);
  const bool full_row = bi <= d[dw::kFullBlockRows];
  const bool full_col = bj <= d[dw::kFullBlockCols];
  if (full_row && full_col) {
    kind = kKindBlock;
    rows = cols = d[dw::kBlockOrder];
  } else if (full_row) {
    kind = kKindRightEdge;
    rows = d[dw::kRightEdgeRows];
    cols = d[dw::kRightEdgeCols];
  } else if (full_col) {
    kind = kKindBottomEdge;
    rows = d[dw::kBottomEdgeRows];
    cols = d[dw::kBottomEdgeCols];
  } else {
    kind = kKindBlock;
    rows = d[dw::kBottomEdgeRows];
    cols = d[dw::kRightEdgeCols];
  }
  if (d[dw::kTriangle] == 1) kind = kKindBlock;
}

namespace {
// Blocks along a hyperblock side h (1-based) of n blocks in hyperblocks of b1.
int64_t side_blocks(int64_t h, int64_t n, int64_t b1) {
  return h == (n - 1) / b1 + 1 ? (n - 1) % b1 + 1 : b1;
}
}  // namespace

int32_t hm_block_position(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj) {
  WordView d(ctrl, D);
  if (d[dw::kForm] == 5) bj = 1;
  const int64_t nbr = d[dw::kBlockRows], nbc = d[dw::kBlockCols], b1 = d[dw::kHyperOrder];
  const int64_t hi = (bi - 1) / b1 + 1, hj = (bj - 1) / b1 + 1;
  const int64_t r = (bi - 1) % b1 + 1, q = (bj - 1) % b1 + 1;
  const int64_t rh = side_blocks(hi, nbr, b1), ch = side_blocks(hj, nbc, b1);
  return static_cast<int32_t>(((hi - 1) * ch + (hj - 1) * nbr) * b1 + (q - 1) * rh + r);
}

void hm_block_indices(int32_t *ctrl, int32_t D, int32_t p, int32_t &bi, int32_t &bj, int32_t &r,
                      int32_t &q) {
  WordView d(ctrl, D);
  const int64_t nbr = d[dw::kBlockRows], nbc = d[dw::kBlockCols], b1 = d[dw::kHyperOrder];
  const int64_t p0 = p - 1;
  const int64_t hj = p0 / (nbr * b1) + 1;
  const int64_t rest = p0 % (nbr * b1);
  const int64_t ch = side_blocks(hj, nbc, b1);
  const int64_t hi = rest / (b1 * ch) + 1;
  const int64_t inner = rest % (b1 * ch);
  const int64_t rh = side_blocks(hi, nbr, b1);
  q = static_cast<int32_t>(inner / rh + 1);
  r = static_cast<int32_t>(inner % rh + 1);
  bi = static_cast<int32_t>((hi - 1) * b1 + r);
  bj = static_cast<int32_t>((hj - 1) * b1 + q);
}

// ---- nodes ----

void hm_node_search(const int32_t *node, int32_t n, int32_t key, int32_t &found, int32_t &index) {
  // node[w - 1] is node word w.
  int32_t lo = 1, hi = n, mid = 0;
  while (lo <= hi) {
    mid = (lo + hi) / 2;
    const int32_t k = node[idxw::key_word(mid) - 1];
    if (key <= k) hi = mid - 1;
    if (key >= k) lo = mid + 1;
  }
  if (lo - hi > 1) {
    found = 1;
    index = mid;
  } else {
    found = 0;
    index = hi;
  }
}

int32_t hm_index_node(int32_t *ctrl, int32_t D, int32_t record, int32_t mode, int32_t pin,
                      int32_t &position) {
  WordView d(ctrl, D);
  const int32_t L = record_length(ctrl, D);
  position = 0;
  if (record == d[dw::kIndexRoot]) {
    if (d[dw::kRootArea] == 0) {
      int32_t area = 0;
      int32_t ierr = hm_work_alloc(ctrl, L, area);
      if (ierr != 0) return ierr;
      ierr = hm_fileset_read(ctrl, d[dw::kFileset], 1, record, word_at(ctrl, area));
      if (ierr == 0) ierr = checked(ctrl, D, area, record);
      if (ierr != 0) {
        hm_work_free(ctrl, L, area);
        return ierr;
      }
      d[dw::kRootArea] = area;
    }
    position = d[dw::kRootArea];
    return status::kOk;
  }
  const int32_t x = hm_buffer_lookup(ctrl, D, bufw::kClassIndex, record);
  if (x != 0) {
    position = hm_buffer_position(ctrl, x);
    hm_buffer_pin(ctrl, D, position, 0, pin == 1 ? 1 : -1);
    if (mode == 2) mark_modified(ctrl, position);
    return status::kOk;
  }
  int32_t p = 0;
  int32_t ierr = hm_buffer_take(ctrl, p);
  if (ierr != 0) return ierr;
  ierr = hm_fileset_read(ctrl, d[dw::kFileset], 1, record, word_at(ctrl, p));
  if (ierr == 0) ierr = checked(ctrl, D, p, record);
  if (ierr != 0) {
    hm_buffer_release(ctrl, p);
    return ierr;
  }
  hm_buffer_word(ctrl, p, bufw::kOwner) = D;
  hm_buffer_word(ctrl, p, bufw::kRecord) = record;
  hm_buffer_word(ctrl, p, bufw::kClass) = bufw::kClassIndex;
  hm_buffer_word(ctrl, p, bufw::kState) = bufw::kStateOrdinary;
  hm_buffer_word(ctrl, p, bufw::kModified) = mode == 2 ? 1 : 0;
  hm_buffer_enter(ctrl, p);
  if (pin != 1) hm_buffer_pin(ctrl, D, p, 1, 0);
  position = p;
  return status::kOk;
}

int32_t hm_index_new_node(int32_t *ctrl, int32_t D, int32_t root, int32_t pin, int32_t &record,
                          int32_t &position) {
  WordView d(ctrl, D);
  const int32_t L = record_length(ctrl, D);
  record = position = 0;
  int32_t rec = 0;
  int32_t ierr = hm_block_record_alloc(ctrl, D, rec);
  if (ierr != 0) return hm_fail(ierr, trace::kNewNodeRecord);
  int32_t p = 0;
  if (root == 1) {
    if (d[dw::kRootArea] == 0) {
      ierr = hm_work_alloc(ctrl, L, p);
      if (ierr != 0) return hm_fail(ierr, trace::kNewNodeRootArea);
      d[dw::kRootArea] = p;
    }
    p = d[dw::kRootArea];
  } else {
    ierr = hm_buffer_take(ctrl, p);
    if (ierr != 0) return hm_fail(ierr, trace::kNewNodeBuffer);
    hm_buffer_word(ctrl, p, bufw::kOwner) = D;
    hm_buffer_word(ctrl, p, bufw::kRecord) = rec;
    hm_buffer_word(ctrl, p, bufw::kClass) = bufw::kClassIndex;
    hm_buffer_word(ctrl, p, bufw::kState) = bufw::kStateOrdinary;
    hm_buffer_word(ctrl, p, bufw::kModified) = 1;
    hm_buffer_enter(ctrl, p);
    if (pin != 1) hm_buffer_pin(ctrl, D, p, 1, 0);
  }
  // The whole record is cleared so that nothing stale reaches the file.
  std::fill(word_at(ctrl, p), word_at(ctrl, p) + L, 0);
  record = rec;
  position = p;
  return status::kOk;
}

// ---- descent ----

namespace {

struct Descent {
  int32_t leaf_record = 0;
  int32_t leaf = 0;     // position of the leaf
  int32_t entry = 0;    // found entry, or keys below the key
  int32_t found = 0;
  int32_t record = 0;   // the block's record, 0 when absent
};

// Descend from the root to the leaf for `key`. With push_path the path is
// kept on the file set's first pair stack. Failing node fetches return
// their status without a code of their own; the callers push theirs.
int32_t descend(int32_t *ctrl, int32_t D, int32_t key, bool push_path, Descent &out) {
  WordView d(ctrl, D);
  WordView fs(ctrl, d[dw::kFileset]);
  out = Descent{};
  if (push_path) fs[fsw::kStack1Depth] = 0;
  int32_t rec = d[dw::kIndexRoot];
  if (rec == 0) return status::kOk;
  int32_t pos = 0;
  int32_t ierr = hm_index_node(ctrl, D, rec, 1, 0, pos);
  if (ierr != 0) return ierr;
  const int32_t height = d[dw::kIndexHeight];
  // Every key of the subtree below the node at hand lies in [lo, hi): the
  // separators on the way down narrow it. Each node's own keys were checked
  // when it was read; here only how it fits below its parent.
  int64_t lo = 1, hi = int64_t{d[dw::kGridBlocks]} + 1;
  for (int32_t level = 1;; ++level) {
    WordView n(ctrl, pos);
    const int32_t count = n[idxw::kCount];
    if (n[idxw::key_word(1)] < lo || n[idxw::key_word(count)] >= hi)
      return hm_fail(status::kRecordRead, trace::kDescentBounds);
    const bool leaf = n[idxw::kLeaf] == 1;
    if (leaf != (level == height)) return hm_fail(status::kRecordRead, trace::kDescentDepth);
    int32_t found = 0, idx = 0;
    hm_node_search(n.at(1), count, key, found, idx);
    if (push_path) {
      if (fs[fsw::kStack1Depth] >= fs[fsw::kStack1Capacity] || fs[fsw::kStack1] == 0)
        return hm_fail(status::kFull, trace::kFindStackFull);
      hm_push_pair(word_at(ctrl, fs[fsw::kStack1]), fs[fsw::kStack1Depth], rec, idx);
    }
    if (leaf) {
      out.leaf_record = rec;
      out.leaf = pos;
      out.entry = idx;
      out.found = found;
      out.record = found == 1 ? n[idxw::value_word(idx)] : 0;
      return status::kOk;
    }
    if (idx >= 1) lo = n[idxw::key_word(idx)];
    if (idx < count) hi = n[idxw::key_word(idx + 1)];
    rec = idx == 0 ? n[idxw::kChild0] : n[idxw::value_word(idx)];
    ierr = hm_index_node(ctrl, D, rec, 1, 0, pos);
    if (ierr != 0) return ierr;
  }
}

}  // namespace

int32_t hm_index_find(int32_t *ctrl, int32_t D, int32_t key, int32_t &record) {
  Descent r;
  const int32_t ierr = descend(ctrl, D, key, true, r);
  record = r.record;
  if (ierr != 0) return hm_fail(ierr, trace::kFindNode);
  return status::kOk;
}

int32_t hm_index_find_read(int32_t *ctrl, int32_t D, int32_t key, int32_t &record) {
  Descent r;
  const int32_t ierr = descend(ctrl, D, key, false, r);
  record = r.record;
  if (ierr != 0) return hm_fail(ierr, trace::kFindNodeRead);
  return status::kOk;
}

int32_t hm_index_locate_leaf(int32_t *ctrl, int32_t D, int32_t key, int32_t &leaf,
                             int32_t &entry, int32_t &found, int32_t &record) {
  Descent r;
  const int32_t ierr = descend(ctrl, D, key, false, r);
  leaf = r.leaf;
  entry = r.entry;
  found = r.found;
  record = r.record;
  return ierr;
}

int32_t hm_index_verify(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t root = d[dw::kIndexRoot];
  if (root == 0) return status::kOk;
  const int32_t height = d[dw::kIndexHeight];
  // One level of the walk: the node's record, the next of its children to
  // visit (0 = child word 7, i = entry i) and the key range of its subtree.
  struct Level {
    int32_t record;
    int32_t next;
    int64_t lo, hi;
  };
  constexpr int32_t kMaxLevels = 32;
  if (height < 1 || height > kMaxLevels) return hm_fail(status::kRecordRead, trace::kVerifyDepth);
  Level path[kMaxLevels];
  int32_t depth = 0;
  path[0] = Level{root, 0, 1, int64_t{d[dw::kGridBlocks]} + 1};
  while (depth >= 0) {
    Level &at = path[depth];
    // Fetched again at every step: visiting a child may have evicted it.
    int32_t pos = 0;
    if (int32_t ierr = hm_index_node(ctrl, D, at.record, 1, 0, pos); ierr != 0) return ierr;
    WordView n(ctrl, pos);
    const int32_t count = n[idxw::kCount];
    const bool leaf = n[idxw::kLeaf] == 1;
    if (at.next == 0) {
      if (leaf != (depth + 1 == height))
        return hm_fail(status::kRecordRead, trace::kVerifyDepth);
      if (n[idxw::key_word(1)] < at.lo || n[idxw::key_word(count)] >= at.hi)
        return hm_fail(status::kRecordRead, trace::kVerifyBounds);
    }
    if (leaf || at.next > count) {
      --depth;
      continue;
    }
    const int32_t i = at.next++;
    const int64_t lo = i == 0 ? at.lo : n[idxw::key_word(i)];
    const int64_t hi = i == count ? at.hi : n[idxw::key_word(i + 1)];
    const int32_t child = i == 0 ? n[idxw::kChild0] : n[idxw::value_word(i)];
    path[++depth] = Level{child, 0, lo, hi};
  }
  return status::kOk;
}

// ---- insertion ----

namespace {

// Entry moves inside and between nodes. A node is seen as a run of
// "logical pairs": for a leaf its entries; for an interior node first
// (separator of the node, word 7), then its entries. Moving logical pairs
// between siblings of an interior node rotates keys through their separator.

void copy_entries(WordView from, int32_t i, WordView to, int32_t j, int32_t count) {
  // Different nodes or a move towards lower words: a forward copy is safe.
  for (int32_t e = 0; e < count; ++e) {
    to[idxw::key_word(j + e)] = from[idxw::key_word(i + e)];
    to[idxw::value_word(j + e)] = from[idxw::value_word(i + e)];
  }
}

void shift_right(WordView n, int32_t first, int32_t last, int32_t by) {
  for (int32_t e = last; e >= first; --e) {
    n[idxw::key_word(e + by)] = n[idxw::key_word(e)];
    n[idxw::value_word(e + by)] = n[idxw::value_word(e)];
  }
}

// Move the first m logical pairs of Y to the end of X; sep is Y's separator.
void move_left(WordView X, WordView Y, int32_t m, bool leaf, int32_t &sep) {
  const int32_t nx = X[idxw::kCount], ny = Y[idxw::kCount];
  if (leaf) {
    copy_entries(Y, 1, X, nx + 1, m);
    copy_entries(Y, m + 1, Y, 1, ny - m);
    X[idxw::kCount] = nx + m;
    Y[idxw::kCount] = ny - m;
    if (ny - m > 0) sep = Y[idxw::key_word(1)];
    return;
  }
  X[idxw::key_word(nx + 1)] = sep;
  X[idxw::value_word(nx + 1)] = Y[idxw::kChild0];
  copy_entries(Y, 1, X, nx + 2, m - 1);
  sep = Y[idxw::key_word(m)];
  Y[idxw::kChild0] = Y[idxw::value_word(m)];
  copy_entries(Y, m + 1, Y, 1, ny - m);
  X[idxw::kCount] = nx + m;
  Y[idxw::kCount] = ny - m;
}

// Move the last m logical pairs of X to the front of Y (which holds `have`
// logical pairs); sep is Y's separator.
void move_right(WordView X, WordView Y, int32_t m, int32_t have, bool leaf, int32_t &sep) {
  const int32_t nx = X[idxw::kCount], ny = Y[idxw::kCount];
  if (leaf) {
    shift_right(Y, 1, ny, m);
    copy_entries(X, nx - m + 1, Y, 1, m);
    X[idxw::kCount] = nx - m;
    Y[idxw::kCount] = ny + m;
    sep = Y[idxw::key_word(1)];
    return;
  }
  if (have > 0) {
    shift_right(Y, 1, ny, m);
    Y[idxw::key_word(m)] = sep;
    Y[idxw::value_word(m)] = Y[idxw::kChild0];
    Y[idxw::kCount] = ny + m;
  } else {
    Y[idxw::kCount] = m - 1;
  }
  copy_entries(X, nx - m + 2, Y, 1, m - 1);
  sep = X[idxw::key_word(nx - m + 1)];
  Y[idxw::kChild0] = X[idxw::value_word(nx - m + 1)];
  X[idxw::kCount] = nx - m;
}

// Insert (key, value) as logical pair j (0-based) of a node holding `have`
// logical pairs.
void insert_logical(WordView N, int32_t j, int32_t have, int32_t key, int32_t value, bool leaf,
                    int32_t &sep) {
  const int32_t n = N[idxw::kCount];
  if (leaf) {
    shift_right(N, j + 1, n, 1);
    N[idxw::key_word(j + 1)] = key;
    N[idxw::value_word(j + 1)] = value;
    N[idxw::kCount] = n + 1;
    if (j == 0) sep = key;
    return;
  }
  if (j >= 1) {
    shift_right(N, j, n, 1);
    N[idxw::key_word(j)] = key;
    N[idxw::value_word(j)] = value;
    N[idxw::kCount] = n + 1;
  } else if (have == 0) {
    N[idxw::kChild0] = value;
    sep = key;
  } else {
    shift_right(N, 1, n, 1);
    N[idxw::key_word(1)] = sep;
    N[idxw::value_word(1)] = N[idxw::kChild0];
    N[idxw::kChild0] = value;
    N[idxw::kCount] = n + 1;
    sep = key;
  }
}

int32_t logical_count(const WordView &n, bool leaf) {
  return leaf ? n[idxw::kCount] : n[idxw::kCount] + 1;
}

// Spread the logical pairs of a group of 2 or 3 adjacent siblings (the third
// one new and empty) to the final counts `target`, the new pair landing at
// logical rank p of the whole group. seps[i] is the separator of node i.
void spread(WordView *g, int32_t k, const int32_t *target, bool leaf, int32_t p, int32_t key,
            int32_t value, int32_t *seps) {
  int32_t have[3] = {logical_count(g[0], leaf), logical_count(g[1], leaf), 0};
  int32_t pre[3] = {target[0], target[1], k == 3 ? target[2] : 0};
  int32_t home = 0, start = 0;
  while (home < k - 1 && p >= start + target[home]) start += target[home++];
  pre[home] -= 1;
  if (k == 3 && pre[2] > 0) {
    move_right(g[1], g[2], pre[2], 0, leaf, seps[2]);
    have[1] -= pre[2];
    have[2] = pre[2];
  }
  const int32_t delta = pre[1] - have[1];
  if (delta > 0) move_right(g[0], g[1], delta, have[1], leaf, seps[1]);
  if (delta < 0) move_left(g[0], g[1], -delta, leaf, seps[1]);
  have[0] -= delta;
  have[1] = pre[1];
  insert_logical(g[home], p - start, have[home], key, value, leaf, seps[home]);
}

}  // namespace

int32_t hm_index_insert(int32_t *ctrl, int32_t D, int32_t key, int32_t record) {
  WordView d(ctrl, D);
  WordView fs(ctrl, d[dw::kFileset]);
  const int32_t L = record_length(ctrl, D);
  const int32_t q = idxw::capacity(L);
  d[dw::kIndexEntries] += 1;

  if (d[dw::kIndexRoot] == 0) {
    int32_t rec = 0, pos = 0;
    const int32_t ierr = hm_index_new_node(ctrl, D, 1, 0, rec, pos);
    if (ierr != 0) return hm_fail(ierr, trace::kInsertFirstRoot);
    WordView n(ctrl, pos);
    n[idxw::kLeaf] = 1;
    n[idxw::kCount] = 1;
    n[idxw::key_word(1)] = key;
    n[idxw::value_word(1)] = record;
    d[dw::kIndexRoot] = rec;
    d[dw::kIndexHeight] = 1;
    d[dw::kIndexNodes] = 1;
    return status::kOk;
  }

  int32_t *stack = fs[fsw::kStack1] != 0 ? word_at(ctrl, fs[fsw::kStack1]) : nullptr;
  if (stack == nullptr || fs[fsw::kStack1Depth] < 1) return hm_fail(status::kFull, trace::kInsertClimb);
  int32_t cur = 0, below = 0;
  hm_pop_pair(stack, fs[fsw::kStack1Depth], cur, below);
  int32_t pkey = key, pvalue = record;
  Pins pins;

  for (;;) {
    int32_t cpos = 0;
    int32_t ierr = hm_index_node(ctrl, D, cur, 2, 1, cpos);
    if (ierr != 0) {
      pins.drop(ctrl, D);
      return hm_fail(ierr, trace::kInsertClimb);
    }
    pins.add(cpos);
    WordView C(ctrl, cpos);
    const bool leaf = C[idxw::kLeaf] == 1;
    const int32_t local = leaf ? below : below + 1;
    int32_t unused = 0;

    if (C[idxw::kCount] < q) {
      insert_logical(C, local, logical_count(C, leaf), pkey, pvalue, leaf, unused);
      pins.drop(ctrl, D);
      return status::kOk;
    }

    if (cur == d[dw::kIndexRoot]) {
      int32_t arec = 0, apos = 0, brec = 0, bpos = 0;
      ierr = hm_index_new_node(ctrl, D, 0, 1, arec, apos);
      if (ierr == 0) {
        pins.add(apos);
        ierr = hm_index_new_node(ctrl, D, 0, 1, brec, bpos);
        if (ierr == 0) pins.add(bpos);
      }
      if (ierr != 0) {
        pins.drop(ctrl, D);
        return hm_fail(ierr, trace::kInsertRootSplit);
      }
      WordView A(ctrl, apos), B(ctrl, bpos);
      const int32_t a = leaf ? (q + 2) / 2 : (q + 1) / 2 + 1;
      const int32_t b = leaf ? q + 1 - a : q - (q + 1) / 2 + 1;
      const int32_t target[2] = {a, b};
      int32_t seps[2] = {0, 0};
      const int32_t home = local >= a ? 1 : 0;
      int32_t bpre = b - (home == 1 ? 1 : 0);
      // B takes the root's last pairs, A what is left, as it stands.
      A[idxw::kLeaf] = B[idxw::kLeaf] = leaf ? 1 : 0;
      if (bpre > 0) move_right(C, B, bpre, 0, leaf, seps[1]);
      A[idxw::kChild0] = C[idxw::kChild0];
      copy_entries(C, 1, A, 1, C[idxw::kCount]);
      A[idxw::kCount] = C[idxw::kCount];
      WordView g[2] = {A, B};
      const int32_t have_home = home == 0 ? logical_count(A, leaf) : bpre;
      insert_logical(g[home], local - (home == 1 ? a : 0), have_home, pkey, pvalue, leaf, seps[home]);
      (void)target;
      if (leaf) {
        A[idxw::kPrevLeaf] = 0;
        A[idxw::kNextLeaf] = brec;
        B[idxw::kPrevLeaf] = arec;
        B[idxw::kNextLeaf] = 0;
      }
      C[idxw::kLeaf] = 0;
      C[idxw::kPrevLeaf] = C[idxw::kNextLeaf] = 0;
      C[idxw::kChild0] = arec;
      C[idxw::kCount] = 1;
      C[idxw::key_word(1)] = seps[1];
      C[idxw::value_word(1)] = brec;
      d[dw::kIndexHeight] += 1;
      d[dw::kIndexNodes] += 2;
      pins.drop(ctrl, D);
      return status::kOk;
    }

    if (fs[fsw::kStack1Depth] < 1) {
      pins.drop(ctrl, D);
      return hm_fail(status::kFull, trace::kInsertClimb);
    }
    int32_t parent = 0, pidx = 0;
    hm_pop_pair(stack, fs[fsw::kStack1Depth], parent, pidx);
    int32_t ppos = 0;
    ierr = hm_index_node(ctrl, D, parent, 2, 1, ppos);
    if (ierr != 0) {
      pins.drop(ctrl, D);
      return hm_fail(ierr, trace::kInsertClimb);
    }
    pins.add(ppos);
    WordView P(ctrl, ppos);
    if (pidx < 0 || pidx > P[idxw::kCount]) {
      pins.drop(ctrl, D);
      return hm_fail(status::kRecordRead, trace::kInsertClimb);
    }
    auto child_of = [&](int32_t j) { return j == 0 ? P[idxw::kChild0] : P[idxw::value_word(j)]; };

    // Left sibling with room.
    int32_t lpos = 0, rpos = 0;
    if (pidx >= 1) {
      ierr = hm_index_node(ctrl, D, child_of(pidx - 1), 1, 1, lpos);
      if (ierr != 0) {
        pins.drop(ctrl, D);
        return hm_fail(ierr, trace::kInsertClimb);
      }
      pins.add(lpos);
      WordView Lf(ctrl, lpos);
      if (Lf[idxw::kCount] < q) {
        WordView g[2] = {Lf, C};
        const int32_t T = Lf[idxw::kCount] + q + 1;
        const int32_t extra = leaf ? 0 : 1;
        const int32_t target[2] = {T / 2 + extra, T - T / 2 + extra};
        int32_t seps[2] = {0, P[idxw::key_word(pidx)]};
        spread(g, 2, target, leaf, logical_count(Lf, leaf) + local, pkey, pvalue, seps);
        P[idxw::key_word(pidx)] = seps[1];
        mark_modified(ctrl, lpos);
        pins.drop(ctrl, D);
        return status::kOk;
      }
    }
    if (pidx < P[idxw::kCount]) {
      ierr = hm_index_node(ctrl, D, child_of(pidx + 1), 1, 1, rpos);
      if (ierr != 0) {
        pins.drop(ctrl, D);
        return hm_fail(ierr, trace::kInsertClimb);
      }
      pins.add(rpos);
      WordView Rt(ctrl, rpos);
      if (Rt[idxw::kCount] < q) {
        WordView g[2] = {C, Rt};
        const int32_t T = Rt[idxw::kCount] + q + 1;
        const int32_t extra = leaf ? 0 : 1;
        const int32_t target[2] = {T / 2 + extra, T - T / 2 + extra};
        int32_t seps[2] = {0, P[idxw::key_word(pidx + 1)]};
        spread(g, 2, target, leaf, local, pkey, pvalue, seps);
        P[idxw::key_word(pidx + 1)] = seps[1];
        mark_modified(ctrl, rpos);
        pins.drop(ctrl, D);
        return status::kOk;
      }
    }

    // Two full siblings become three.
    const bool with_right = rpos != 0;
    const int32_t code = with_right ? trace::kInsertSplitRight : trace::kInsertSplitLeft;
    const int32_t j1 = with_right ? pidx + 1 : pidx;  // child index of the second node
    const int32_t xpos = with_right ? cpos : lpos;
    const int32_t ypos = with_right ? rpos : cpos;
    const int32_t yrec = child_of(j1);
    int32_t zrec = 0, zpos = 0;
    ierr = hm_index_new_node(ctrl, D, 0, 1, zrec, zpos);
    if (ierr != 0) {
      pins.drop(ctrl, D);
      return hm_fail(ierr, code);
    }
    pins.add(zpos);
    WordView X(ctrl, xpos), Y(ctrl, ypos), Z(ctrl, zpos);
    Z[idxw::kLeaf] = leaf ? 1 : 0;
    int32_t target[3];
    if (leaf) {
      target[0] = (2 * q + 3) / 3;
      target[1] = (2 * q + 2 - target[0]) / 2;
      target[2] = 2 * q + 1 - target[0] - target[1];
    } else {
      const int32_t a1 = (2 * q + 2) / 3;
      const int32_t a2 = (2 * q + 1 - a1) / 2;
      target[0] = a1 + 1;
      target[1] = a2 + 1;
      target[2] = 2 * q - a1 - a2 + 1;
    }
    const int32_t p = with_right ? local : logical_count(X, leaf) + local;
    WordView g[3] = {X, Y, Z};
    int32_t seps[3] = {0, P[idxw::key_word(j1)], 0};
    spread(g, 3, target, leaf, p, pkey, pvalue, seps);
    P[idxw::key_word(j1)] = seps[1];
    mark_modified(ctrl, xpos);
    mark_modified(ctrl, ypos);
    if (leaf) {
      const int32_t next = Y[idxw::kNextLeaf];
      Z[idxw::kPrevLeaf] = yrec;
      Z[idxw::kNextLeaf] = next;
      Y[idxw::kNextLeaf] = zrec;
      if (next != 0) {
        int32_t npos = 0;
        ierr = hm_index_node(ctrl, D, next, 2, 0, npos);
        if (ierr != 0) {
          pins.drop(ctrl, D);
          return hm_fail(ierr, code);
        }
        WordView(ctrl, npos)[idxw::kPrevLeaf] = zrec;
      }
    }
    d[dw::kIndexNodes] += 1;
    pins.drop(ctrl, D);
    pkey = seps[2];
    pvalue = zrec;
    cur = parent;
    below = j1;
  }
}

}  // namespace tessera
