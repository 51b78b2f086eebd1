// Packed edge records: finding a packed block through the current record's
// trailer, the block index and the class-3/4 buffers, appending new blocks
// to the current record, and closing it.
//
// The current record's buffer sits unpinned on the use list like any other
// and may be evicted; the eviction writes it back and clears descriptor
// word 72 / 75, and the record (still named by word 39 / 40) is read back
// here when it is next needed.
#include "transfer/edge_records.h"

#include <algorithm>

#include "catalogue/descriptor_words.h"
#include "catalogue/record_space.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "transfer/block_codes.h"
#include "transfer/block_index.h"
#include "transfer/transfer_words.h"

namespace tessera {

namespace {

// Descriptor words and trace codes of one edge.
struct Edge {
  int32_t kind, current, buffer, size, per_record, cls;
  int32_t close, record, take, current_read, tree_remove, insert, search, write_take, write_read;
  int32_t read_search, read_take, read_read;
  // Checks of packed records read from disk.
  int32_t outside, trailer, current_trailer, write_missing, read_missing;
};

Edge edge_of(int32_t edge) {
  if (edge == kKindRightEdge)
    return Edge{kKindRightEdge, dw::kRightPacked, dw::kRightBuffer, dw::kRightEdgeSize,
                dw::kRightPerRecord, bufw::kClassRightEdge, trace::kRightClose,
                trace::kRightRecord, trace::kRightBuffer, trace::kRightCurrentRead,
                trace::kRightTreeRemove, trace::kRightInsert, trace::kRightSearch,
                trace::kRightWriteBuffer, trace::kRightWriteRead, trace::kRightReadSearch,
                trace::kRightReadBuffer, trace::kRightReadRead, trace::kRightPackedOutside,
                trace::kRightPackedTrailer, trace::kRightCurrentTrailer,
                trace::kRightWriteMissing, trace::kRightReadMissing};
  return Edge{kKindBottomEdge, dw::kBottomPacked, dw::kBottomBuffer, dw::kBottomEdgeSize,
              dw::kBottomPerRecord, bufw::kClassBottomEdge, trace::kBottomClose,
              trace::kBottomRecord, trace::kBottomBuffer, trace::kBottomCurrentRead,
              trace::kBottomTreeRemove, trace::kBottomInsert, trace::kBottomSearch,
              trace::kBottomWriteBuffer, trace::kBottomWriteRead, trace::kBottomReadSearch,
              trace::kBottomReadBuffer, trace::kBottomReadRead, trace::kBottomPackedOutside,
              trace::kBottomPackedTrailer, trace::kBottomCurrentTrailer,
              trace::kBottomWriteMissing, trace::kBottomReadMissing};
}

int32_t record_length(int32_t *ctrl, int32_t D) {
  return WordView(ctrl, WordView(ctrl, D)[dw::kFileset])[fsw::kRecordLength];
}

// Largest count a packed record of this edge can hold; a trailer count read
// from disk above it is refused before it indexes the buffer.
int32_t count_limit(int32_t *ctrl, int32_t D, const Edge &e) {
  const int32_t L = record_length(ctrl, D);
  const int32_t per = WordView(ctrl, D)[e.per_record];
  return std::min(per, L - 1);
}

// Place (1-based) of `block` in the trailer of the packed record at
// `position`; 0 when absent. Every packed record was checked when it was
// read (trailer_sound) or built here; a count out of range still finds
// nothing rather than reading outside the record.
int32_t trailer_find(int32_t *ctrl, int32_t D, const Edge &e, int32_t position, int32_t block) {
  const int32_t L = record_length(ctrl, D);
  WordView b(ctrl, position);
  const int32_t count = b[L];
  if (count < 0 || count > count_limit(ctrl, D, e)) return 0;
  for (int32_t k = 1; k <= count; ++k)
    if (b[L - k] == block) return k;
  return 0;
}

// A packed record just read from disk: between 1 and the edge's blocks per
// record in its trailer, each a position of the grid that is a block of
// this edge, none twice. The count bounds every place's offset inside the
// record; the positions are what the index is matched against.
bool trailer_sound(int32_t *ctrl, int32_t D, const Edge &e, int32_t position) {
  const int32_t L = record_length(ctrl, D);
  WordView d(ctrl, D);
  WordView b(ctrl, position);
  const int32_t count = b[L];
  if (count < 1 || count > count_limit(ctrl, D, e)) return false;
  for (int32_t k = 1; k <= count; ++k) {
    const int32_t p = b[L - k];
    if (p < 1 || p > d[dw::kGridBlocks]) return false;
    int32_t bi = 0, bj = 0, r = 0, q = 0, kind = 0, rows = 0, cols = 0;
    hm_block_indices(ctrl, D, p, bi, bj, r, q);
    hm_block_shape(ctrl, D, bi, bj, kind, rows, cols);
    if (kind != e.kind) return false;
    for (int32_t j = 1; j < k; ++j)
      if (b[L - j] == p) return false;
  }
  return true;
}

// Touch or pin a buffer by the caller's request.
void apply_pin(int32_t *ctrl, int32_t D, int32_t position, int32_t pin_mode, int32_t state) {
  hm_buffer_pin(ctrl, D, position, 0, pin_mode == 1 ? 1 : -1);
  if (pin_mode == 1) hm_buffer_word(ctrl, position, bufw::kState) = state;
}

// The class-3/4 buffer of packed record `record`, read in and entered in the
// tree when not resident. Left unpinned at the end of the use list.
int32_t packed_buffer(int32_t *ctrl, int32_t D, const Edge &e, int32_t record, int32_t take_code,
                      int32_t read_code, int32_t &position) {
  position = 0;
  const int32_t x = hm_buffer_lookup(ctrl, D, e.cls, record);
  if (x != 0) {
    position = hm_buffer_position(ctrl, x);
    return status::kOk;
  }
  WordView fs(ctrl, WordView(ctrl, D)[dw::kFileset]);
  if (record < fs[fsw::kFirstHeaderRecord] + fs[fsw::kHeaderRecords] || record >= fs[fsw::kEnd])
    return hm_fail(status::kRecordRead, e.outside);
  int32_t p = 0;
  int32_t ierr = hm_buffer_take(ctrl, p);
  if (ierr != 0) return hm_fail(ierr, take_code);
  ierr = hm_fileset_read(ctrl, WordView(ctrl, D)[dw::kFileset], 1, record, word_at(ctrl, p));
  if (ierr != 0) {
    hm_buffer_release(ctrl, p);
    return hm_fail(ierr, read_code);
  }
  if (!trailer_sound(ctrl, D, e, p)) {
    hm_buffer_release(ctrl, p);
    return hm_fail(status::kRecordRead, e.trailer);
  }
  hm_buffer_word(ctrl, p, bufw::kOwner) = D;
  hm_buffer_word(ctrl, p, bufw::kRecord) = record;
  hm_buffer_word(ctrl, p, bufw::kClass) = e.cls;
  hm_buffer_word(ctrl, p, bufw::kModified) = 0;
  hm_buffer_enter(ctrl, p);
  hm_buffer_pin(ctrl, D, p, 1, 0);
  position = p;
  return status::kOk;
}

// Offset of place k.
int32_t place_offset(int32_t *ctrl, int32_t D, const Edge &e, int32_t k) {
  return 1 + (k - 1) * WordView(ctrl, D)[e.size];
}

}  // namespace

int32_t hm_edge_close(int32_t *ctrl, int32_t D, int32_t edge) {
  const Edge e = edge_of(edge);
  WordView d(ctrl, D);
  const int32_t p = d[e.buffer];
  if (p != 0) {
    hm_buffer_word(ctrl, p, bufw::kOwner) = D;
    hm_buffer_word(ctrl, p, bufw::kClass) = e.cls;
    hm_buffer_word(ctrl, p, bufw::kRecord) = d[e.current];
    hm_buffer_word(ctrl, p, bufw::kState) = bufw::kStateOrdinary;
    hm_buffer_word(ctrl, p, bufw::kModified) = 1;
    hm_buffer_enter(ctrl, p);
  }
  d[e.buffer] = 0;
  d[e.current] = 0;
  return status::kOk;
}

int32_t hm_edge_block_write(int32_t *ctrl, int32_t D, int32_t edge, int32_t block,
                            int32_t pin_mode, int32_t state, int32_t &record,
                            int32_t &position, int32_t &offset, int32_t &created) {
  const Edge e = edge_of(edge);
  WordView d(ctrl, D);
  const int32_t L = record_length(ctrl, D);
  record = position = offset = created = 0;

  // 1. The current record's trailer.
  if (d[e.current] != 0 && d[e.buffer] != 0) {
    const int32_t k = trailer_find(ctrl, D, e, d[e.buffer], block);
    if (k > 0) {
      position = d[e.buffer];
      offset = place_offset(ctrl, D, e, k);
      record = d[e.current];
      hm_buffer_word(ctrl, position, bufw::kModified) = 1;
      apply_pin(ctrl, D, position, pin_mode, state);
      return status::kOk;
    }
  }

  // 2. A block the index knows.
  int32_t r = 0;
  int32_t ierr = hm_index_find(ctrl, D, block, r);
  if (ierr != 0) return hm_fail(ierr, e.search);
  if (r != 0) {
    int32_t p = 0;
    if (r == d[e.current] && d[e.buffer] != 0) {
      p = d[e.buffer];  // in the index but not in its record's trailer
    } else {
      ierr = packed_buffer(ctrl, D, e, r, e.write_take, e.write_read, p);
      if (ierr != 0) return ierr;
    }
    const int32_t k = trailer_find(ctrl, D, e, p, block);
    if (k < 1) return hm_fail(status::kRecordRead, e.write_missing);
    hm_buffer_word(ctrl, p, bufw::kModified) = 1;
    apply_pin(ctrl, D, p, pin_mode, state);
    position = p;
    offset = place_offset(ctrl, D, e, k);
    record = r;
    return status::kOk;
  }

  // 3. A new block: the current record, made resident when it is not.
  if (d[e.current] != 0 && d[e.buffer] == 0) {
    const int32_t x = hm_buffer_lookup(ctrl, D, e.cls, d[e.current]);
    int32_t p = 0;
    if (x != 0) {
      p = hm_buffer_position(ctrl, x);
      ierr = hm_buffer_leave(ctrl, p);
      if (ierr != 0) return hm_fail(ierr, e.tree_remove);
    } else {
      ierr = hm_buffer_take(ctrl, p);
      if (ierr != 0) return hm_fail(ierr, e.take);
      ierr = hm_fileset_read(ctrl, d[dw::kFileset], 1, d[e.current], word_at(ctrl, p));
      if (ierr != 0) {
        hm_buffer_release(ctrl, p);
        return hm_fail(ierr, e.current_read);
      }
      if (!trailer_sound(ctrl, D, e, p)) {
        hm_buffer_release(ctrl, p);
        return hm_fail(status::kRecordRead, e.current_trailer);
      }
      hm_buffer_word(ctrl, p, bufw::kOwner) = D;
      hm_buffer_word(ctrl, p, bufw::kRecord) = d[e.current];
      hm_buffer_word(ctrl, p, bufw::kClass) = e.cls;
      hm_buffer_word(ctrl, p, bufw::kModified) = 0;
      hm_buffer_pin(ctrl, D, p, 1, 0);
    }
    d[e.buffer] = p;
  }
  int32_t p = d[e.buffer];
  int32_t rec = d[e.current];
  int32_t k = 0;
  if (rec != 0 && WordView(ctrl, p)[L] < d[e.per_record]) {
    WordView b(ctrl, p);
    k = b[L] + 1;
    b[L] = k;
    b[L - k] = block;
    // Pinned until the index insertion below can no longer evict it.
    hm_buffer_pin(ctrl, D, p, 0, 1);
  } else {
    if (rec != 0) {
      ierr = hm_edge_close(ctrl, D, edge);
      if (ierr != 0) return hm_fail(ierr, e.close);
    }
    ierr = hm_block_record_alloc(ctrl, D, rec);
    if (ierr != 0) return hm_fail(ierr, e.record);
    ierr = hm_buffer_take(ctrl, p);
    if (ierr != 0) return hm_fail(ierr, e.take);
    // Every element type's zero is all-zero words.
    std::fill(word_at(ctrl, p), word_at(ctrl, p) + L, 0);
    WordView b(ctrl, p);
    k = 1;
    b[L] = 1;
    b[L - 1] = block;
    hm_buffer_word(ctrl, p, bufw::kOwner) = D;
    hm_buffer_word(ctrl, p, bufw::kRecord) = rec;
    hm_buffer_word(ctrl, p, bufw::kClass) = e.cls;
    d[e.current] = rec;
    d[e.buffer] = p;
  }
  hm_buffer_word(ctrl, p, bufw::kModified) = 1;
  ierr = hm_index_insert(ctrl, D, block, rec);
  if (pin_mode == 1) {
    hm_buffer_word(ctrl, p, bufw::kState) = state;
  } else {
    hm_buffer_pin(ctrl, D, p, 0, 0);
  }
  if (ierr != 0) return hm_fail(ierr, e.insert);
  position = p;
  offset = place_offset(ctrl, D, e, k);
  record = rec;
  created = 1;
  return status::kOk;
}

int32_t hm_edge_block_read(int32_t *ctrl, int32_t D, int32_t edge, int32_t block,
                           int32_t pin_mode, int32_t state, int32_t &record,
                           int32_t &position, int32_t &offset) {
  const Edge e = edge_of(edge);
  WordView d(ctrl, D);
  record = position = offset = 0;
  if (d[e.current] != 0 && d[e.buffer] != 0) {
    const int32_t k = trailer_find(ctrl, D, e, d[e.buffer], block);
    if (k > 0) {
      position = d[e.buffer];
      offset = place_offset(ctrl, D, e, k);
      record = d[e.current];
      apply_pin(ctrl, D, position, pin_mode, state);
      return status::kOk;
    }
  }
  int32_t r = 0;
  int32_t ierr = hm_index_find_read(ctrl, D, block, r);
  if (ierr != 0) return hm_fail(ierr, e.read_search);
  if (r == 0) return status::kOk;
  int32_t p = 0;
  if (r == d[e.current] && d[e.buffer] != 0) {
    p = d[e.buffer];
  } else {
    ierr = packed_buffer(ctrl, D, e, r, e.read_take, e.read_read, p);
    if (ierr != 0) return ierr;
  }
  const int32_t k = trailer_find(ctrl, D, e, p, block);
  if (k < 1) return hm_fail(status::kRecordRead, e.read_missing);
  apply_pin(ctrl, D, p, pin_mode, state);
  position = p;
  offset = place_offset(ctrl, D, e, k);
  record = r;
  return status::kOk;
}

}  // namespace tessera
