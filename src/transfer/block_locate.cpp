// Locating a block by (bi, bj) for reading or writing, and the traversal of
// a matrix's stored blocks in position order with the cursors kept in its
// descriptor (ascending: words 77-80, descending: words 86-89).
#include <cstdint>

#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/trace.h"
#include "transfer/block_codes.h"
#include "transfer/block_index.h"
#include "transfer/edge_records.h"
#include "transfer/transfer_words.h"

namespace tessera {

namespace {

bool in_grid(const WordView &d, int32_t bi, int32_t bj) {
  return bi >= 1 && bi <= d[dw::kBlockRows] && bj >= 1 && bj <= d[dw::kBlockCols];
}

// Fetch block (bi, bj) for reading; `record` is the block's record when the
// caller already has it from the index, else 0.
int32_t locate_read(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t record,
                    const FetchRequest &req, BlockRef &out) {
  out = BlockRef{};
  hm_block_shape(ctrl, D, bi, bj, out.kind, out.rows, out.cols);
  const int32_t p = hm_block_position(ctrl, D, bi, bj);
  int32_t ui = 0, uj = 0;
  hm_block_indices(ctrl, D, p, ui, uj, out.r, out.q);
  out.bi = bi;
  out.bj = bj;
  if (out.kind == kKindRightEdge || out.kind == kKindBottomEdge) {
    const int32_t ierr = hm_edge_block_read(ctrl, D, out.kind, p, req.pin_mode, req.state,
                                            out.record, out.position, out.offset);
    if (ierr != 0)
      return hm_fail(ierr, out.kind == kKindRightEdge ? trace::kGetRightEdge : trace::kGetBottomEdge);
    return status::kOk;
  }
  out.record = record;
  const int32_t ierr = hm_fetch_block_read(ctrl, D, p, req, out.record, out.position, out.offset);
  if (ierr != 0) return hm_fail(ierr, trace::kGetBlock);
  return status::kOk;
}

// Every block was created through hm_locate_block_write, which raised
// descriptor words 18 and 19 to its distance from the diagonal; a stored
// block beyond them means the header or the index is not what was written,
// and a product clipped by those words would leave the block out.
bool within_distances(const WordView &d, int32_t bi, int32_t bj) {
  return bi - bj <= d[dw::kLowerSeen] && bj - bi <= d[dw::kUpperSeen];
}

int32_t locate_found(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t record,
                     const FetchRequest &req, BlockRef &out) {
  if (int32_t st = locate_read(ctrl, D, bi, bj, record, req, out); st != status::kOk) return st;
  if (out.record >= 1 && !within_distances(WordView(ctrl, D), bi, bj)) {
    // The buffer stays resident for its owner; a pin taken for the caller
    // is given back, since the caller gets no block.
    if (req.pin_mode == 1 && out.position != 0) hm_buffer_pin(ctrl, D, out.position, 0, 0);
    out = BlockRef{};
    return hm_fail(status::kRecordRead, trace::kBlockDistance);
  }
  return status::kOk;
}

}  // namespace

int32_t hm_locate_block_read(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj,
                             const FetchRequest &req, BlockRef &out) {
  out = BlockRef{};
  if (!in_grid(WordView(ctrl, D), bi, bj)) return hm_fail(status::kFull, trace::kGetOutsideGrid);
  return locate_found(ctrl, D, bi, bj, 0, req, out);
}

int32_t hm_locate_block_write(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj,
                              const FetchRequest &req, BlockRef &out) {
  out = BlockRef{};
  WordView d(ctrl, D);
  if (!in_grid(d, bi, bj)) return hm_fail(status::kFull, trace::kPutOutsideGrid);
  hm_block_shape(ctrl, D, bi, bj, out.kind, out.rows, out.cols);
  const int32_t p = hm_block_position(ctrl, D, bi, bj);
  int32_t ui = 0, uj = 0;
  hm_block_indices(ctrl, D, p, ui, uj, out.r, out.q);
  out.bi = bi;
  out.bj = bj;
  if (out.kind == kKindRightEdge || out.kind == kKindBottomEdge) {
    const int32_t ierr = hm_edge_block_write(ctrl, D, out.kind, p, req.pin_mode, req.state,
                                             out.record, out.position, out.offset, out.created);
    if (ierr != 0)
      return hm_fail(ierr, out.kind == kKindRightEdge ? trace::kPutRightEdge : trace::kPutBottomEdge);
  } else {
    const int32_t ierr = hm_fetch_block_write(ctrl, D, p, req, out.position, out.offset,
                                              out.record, out.created);
    if (ierr != 0) return hm_fail(ierr, trace::kPutBlock);
  }
  if (out.created == 1) {
    if (bi > bj) d[dw::kLowerSeen] = d[dw::kLowerSeen] > bi - bj ? d[dw::kLowerSeen] : bi - bj;
    if (bj > bi) d[dw::kUpperSeen] = d[dw::kUpperSeen] > bj - bi ? d[dw::kUpperSeen] : bj - bi;
  }
  return status::kOk;
}

// ---- traversal ----

namespace {

int32_t cursor(bool ascending, int32_t w) {
  return (ascending ? dw::kAscCursor : dw::kDescCursor) + w;
}

// Give back the leaf a cursor holds pinned (the root area is not pinned).
void drop_leaf(int32_t *ctrl, int32_t D, bool ascending) {
  WordView d(ctrl, D);
  const int32_t leaf = d[cursor(ascending, curw::kLeaf)];
  if (leaf != 0 && leaf != d[dw::kRootArea]) hm_buffer_pin(ctrl, D, leaf, 0, 0);
  d[cursor(ascending, curw::kLeaf)] = 0;
}

// Position the cursor on `key`: record is the block's record when stored,
// else 0 (the cursor then stands at the insertion point).
int32_t search(int32_t *ctrl, int32_t D, bool ascending, int32_t key, int32_t &record) {
  WordView d(ctrl, D);
  drop_leaf(ctrl, D, ascending);
  int32_t leaf = 0, entry = 0, found = 0;
  const int32_t ierr = hm_index_locate_leaf(ctrl, D, key, leaf, entry, found, record);
  if (ierr != 0) return ierr;
  d[cursor(ascending, curw::kPosition)] = key;
  d[cursor(ascending, curw::kHit)] = found;
  d[cursor(ascending, curw::kLeaf)] = leaf;
  d[cursor(ascending, curw::kEntry)] = entry;
  if (leaf != 0) hm_buffer_pin(ctrl, D, leaf, 0, 1);
  return status::kOk;
}

// Position of the leaf a search for `key` ends in.
int32_t leaf_of(int32_t *ctrl, int32_t D, int32_t key, int32_t &leaf) {
  int32_t entry = 0, found = 0, record = 0;
  return hm_index_locate_leaf(ctrl, D, key, leaf, entry, found, record);
}

// Move the cursor to the next (forward) or previous stored block; record 0
// when there is none (the cursor then stays where it was).
int32_t step(int32_t *ctrl, int32_t D, bool ascending, bool forward, int32_t &key,
             int32_t &record) {
  WordView d(ctrl, D);
  record = 0;
  int32_t leaf = d[cursor(ascending, curw::kLeaf)];
  if (leaf == 0) return status::kOk;
  WordView n(ctrl, leaf);
  const int32_t count = n[idxw::kCount];
  int32_t e = d[cursor(ascending, curw::kEntry)];
  if (forward) {
    e += 1;
  } else if (d[cursor(ascending, curw::kHit)] == 1) {
    e -= 1;
  }
  if (e > count) e = count + 1;  // the cursor may be stale; never read past the count
  if (e < 1 || e > count) {
    const int32_t next = n[forward ? idxw::kNextLeaf : idxw::kPrevLeaf];
    int32_t at = 0;
    if (next == 0) {
      // The end of the chain is the end of the index: a search for the
      // last (first) position of the grid ends in this leaf too.
      if (int32_t ierr = leaf_of(ctrl, D, forward ? d[dw::kGridBlocks] : 1, at); ierr != 0)
        return ierr;
      if (at != leaf) return hm_fail(status::kRecordRead, trace::kStepChainEnd);
      return status::kOk;
    }
    int32_t pos = 0;
    int32_t ierr = hm_index_node(ctrl, D, next, 1, 1, pos);
    if (ierr != 0) return ierr;
    WordView m(ctrl, pos);
    // Keys rise along the leaf chain; a link that does not continue them
    // would repeat blocks or walk in a circle.
    const int32_t here = d[cursor(ascending, curw::kPosition)];
    if (forward ? m[idxw::key_word(1)] <= here : m[idxw::key_word(m[idxw::kCount])] >= here) {
      hm_buffer_pin(ctrl, D, pos, 0, 0);
      return hm_fail(status::kRecordRead, trace::kStepOrder);
    }
    // Of two neighbours on the chain, the search for the position just
    // below the right one's first key ends in the left one; in any other
    // leaf when the link skips leaves whose blocks the walk would miss.
    // (Both leaves are pinned while the search runs.)
    const int32_t right_first = forward ? m[idxw::key_word(1)] : n[idxw::key_word(1)];
    ierr = leaf_of(ctrl, D, right_first - 1, at);
    if (ierr == 0 && at != (forward ? leaf : pos))
      ierr = hm_fail(status::kRecordRead, trace::kStepChainSkip);
    if (ierr != 0) {
      hm_buffer_pin(ctrl, D, pos, 0, 0);
      return ierr;
    }
    drop_leaf(ctrl, D, ascending);
    leaf = pos;
    d[cursor(ascending, curw::kLeaf)] = pos;
    e = forward ? 1 : m[idxw::kCount];
  }
  WordView c(ctrl, leaf);
  key = c[idxw::key_word(e)];
  record = c[idxw::value_word(e)];
  d[cursor(ascending, curw::kPosition)] = key;
  d[cursor(ascending, curw::kHit)] = 1;
  d[cursor(ascending, curw::kEntry)] = e;
  return status::kOk;
}

bool within(bool ascending, int32_t bi, int32_t bj, int32_t BI, int32_t BJ) {
  return ascending ? (bi <= BI && bj <= BJ) : (bi >= BI && bj >= BJ);
}

}  // namespace

int32_t hm_block_traverse(int32_t *ctrl, int32_t D, int32_t mode, int32_t &bi, int32_t &bj,
                          int32_t BI, int32_t BJ, const FetchRequest &req, BlockRef &out) {
  out = BlockRef{};
  WordView d(ctrl, D);
  const bool ascending = mode == 2 || mode == 3 || mode == 4 || mode == 5 || mode == 10;
  if (mode == 10 || mode == 11) {
    drop_leaf(ctrl, D, ascending);
    return status::kOk;
  }
  int32_t key = 0, record = 0, ierr = 0;
  bool stepping = false;
  if (mode == 2 || mode == 3 || mode == 6 || mode == 7) {
    if (!within(ascending, bi, bj, BI, BJ) || !in_grid(d, bi, bj)) return status::kOk;
    key = hm_block_position(ctrl, D, bi, bj);
    ierr = search(ctrl, D, ascending, key, record);
    if (ierr != 0) return hm_fail(ierr, trace::kTraverseSearch);
    stepping = record == 0 && (mode == 3 || mode == 7);
  } else if (mode == 4 || mode == 8) {
    key = d[cursor(ascending, curw::kPosition)] + (mode == 4 ? 1 : -1);
    if (key > d[dw::kGridBlocks] || key < 1) {
      out.record = -1;
      return status::kOk;
    }
    ierr = search(ctrl, D, ascending, key, record);
    if (ierr != 0) {
      hm_push_trace(ascending ? trace::kStepNextInner : trace::kStepPrevInner);
      return hm_fail(ierr, ascending ? trace::kStepNext : trace::kStepPrev);
    }
  } else if (mode == 5 || mode == 9) {
    stepping = true;
  } else {
    return status::kOk;
  }
  if (stepping) {
    ierr = step(ctrl, D, ascending, ascending, key, record);
    if (ierr != 0) {
      hm_push_trace(ascending ? trace::kStepForwardInner : trace::kStepBackInner);
      return hm_fail(ierr, ascending ? trace::kStepForward : trace::kStepBack);
    }
  }
  if (record < 1) return status::kOk;
  int32_t fi = 0, fj = 0, r = 0, q = 0;
  hm_block_indices(ctrl, D, key, fi, fj, r, q);
  if (!within(ascending, fi, fj, BI, BJ)) {
    // Reached, but outside the limits: nothing further within them.
    out.bi = fi;
    out.bj = fj;
    return status::kOk;
  }
  ierr = locate_found(ctrl, D, fi, fj, record, req, out);
  if (ierr != 0) return ierr;
  bi = fi;
  bj = fj;
  return status::kOk;
}

}  // namespace tessera
