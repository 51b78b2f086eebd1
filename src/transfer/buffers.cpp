// The buffer pool: headers, the free and use lists, the per-matrix lookup
// trees, taking with replacement and write-back, pinning, and the class-2
// block fetches.
#include "transfer/buffers.h"

#include <algorithm>

#include "catalogue/descriptor_words.h"
#include "catalogue/record_space.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "transfer/block_codes.h"
#include "transfer/block_index.h"
#include "transfer/transfer_words.h"

namespace tessera {

namespace {

// Control-area word w (1-based).
inline int32_t &cword(int32_t *ctrl, int32_t w) { return ctrl[w - 1]; }
inline int32_t cword(const int32_t *ctrl, int32_t w) { return ctrl[w - 1]; }

WordView header_of(int32_t *ctrl, int32_t x) { return WordView(ctrl, hm_buffer_header(ctrl, x)); }

int32_t key_word_of(int32_t cls) { return cls == bufw::kClassBlock ? bufw::kBlock : bufw::kRecord; }

// ---- the use list ----

void use_unlink(int32_t *ctrl, int32_t x) {
  WordView h = header_of(ctrl, x);
  const int32_t next = h[bufw::kNext];
  const int32_t prev = h[bufw::kPrev];
  if (prev != 0) header_of(ctrl, prev)[bufw::kNext] = next; else cword(ctrl, cw::kUseFirst) = next;
  if (next != 0) header_of(ctrl, next)[bufw::kPrev] = prev; else cword(ctrl, cw::kUseLast) = prev;
  h[bufw::kNext] = h[bufw::kPrev] = 0;
  cword(ctrl, cw::kUseCount) -= 1;
}

// Link x in before `before` (at the end when before is 0).
void use_insert_before(int32_t *ctrl, int32_t x, int32_t before) {
  WordView h = header_of(ctrl, x);
  const int32_t prev = before != 0 ? header_of(ctrl, before)[bufw::kPrev] : cword(ctrl, cw::kUseLast);
  h[bufw::kNext] = before;
  h[bufw::kPrev] = prev;
  if (prev != 0) header_of(ctrl, prev)[bufw::kNext] = x; else cword(ctrl, cw::kUseFirst) = x;
  if (before != 0) header_of(ctrl, before)[bufw::kPrev] = x; else cword(ctrl, cw::kUseLast) = x;
  cword(ctrl, cw::kUseCount) += 1;
}

void use_append(int32_t *ctrl, int32_t x) { use_insert_before(ctrl, x, 0); }

// An unpinned buffer goes back on the use list by its replacement state.
void use_return(int32_t *ctrl, int32_t x) {
  WordView h = header_of(ctrl, x);
  const int32_t state = h[bufw::kState];
  if (state == bufw::kStateToFront) {
    use_insert_before(ctrl, x, cword(ctrl, cw::kUseFirst));
    return;
  }
  if (state == bufw::kStateBlockOrder) {
    // Blocks of one matrix walked in block order leave the use list in that
    // order, so the walk's earliest blocks are replaced first.
    for (int32_t y = cword(ctrl, cw::kUseFirst); y != 0; y = header_of(ctrl, y)[bufw::kNext]) {
      WordView g = header_of(ctrl, y);
      if (g[bufw::kOwner] == h[bufw::kOwner] && g[bufw::kClass] != bufw::kClassIndex &&
          g[bufw::kState] != bufw::kStateToFront && g[bufw::kBlock] <= h[bufw::kBlock]) {
        use_insert_before(ctrl, x, y);
        return;
      }
    }
  }
  use_append(ctrl, x);
}

// Leave the owner's bookkeeping of an evicted buffer: its lookup tree, or
// the descriptor word that names the current packed edge record.
int32_t leave_owner(int32_t *ctrl, int32_t x) {
  WordView h = header_of(ctrl, x);
  const int32_t owner = h[bufw::kOwner];
  const int32_t cls = h[bufw::kClass];
  if (owner == 0 || cls < bufw::kClassIndex || cls > bufw::kClassBottomEdge) return status::kOk;
  const int32_t position = hm_buffer_position(ctrl, x);
  if (cls == bufw::kClassRightEdge || cls == bufw::kClassBottomEdge) {
    WordView d(ctrl, owner);
    const int32_t word = cls == bufw::kClassRightEdge ? dw::kRightBuffer : dw::kBottomBuffer;
    if (d[word] == position) {
      // The record stays current (word 39 / 40) and is read back when needed.
      d[word] = 0;
      return status::kOk;
    }
  }
  if (hm_buffer_lookup(ctrl, owner, cls, h[key_word_of(cls)]) != x) return status::kOk;
  return hm_buffer_leave(ctrl, position);
}

int32_t fileset_of(int32_t *ctrl, int32_t D) { return WordView(ctrl, D)[dw::kFileset]; }

}  // namespace

// ---- positions and headers ----

int32_t hm_buffer_number(const int32_t *ctrl, int32_t position) {
  return (position - cword(ctrl, cw::kBuffer1)) / cword(ctrl, cw::kBufferSize) + 1;
}

int32_t hm_buffer_position(const int32_t *ctrl, int32_t x) {
  return cword(ctrl, cw::kBuffer1) + (x - 1) * cword(ctrl, cw::kBufferSize);
}

int32_t hm_buffer_header(const int32_t *ctrl, int32_t x) {
  return cword(ctrl, cw::kBufferHeaders) + bufw::kLength * (x - 1);
}

int32_t &hm_buffer_word(int32_t *ctrl, int32_t position, int32_t w) {
  return header_of(ctrl, hm_buffer_number(ctrl, position))[w];
}

bool hm_is_pool_buffer(const int32_t *ctrl, int32_t position) {
  const int32_t first = cword(ctrl, cw::kBuffer1);
  const int32_t size = cword(ctrl, cw::kBufferSize);
  if (size <= 0 || position < first) return false;
  return (position - first) % size == 0 && (position - first) / size < cword(ctrl, cw::kBufferCount);
}

NodeTable hm_buffer_tree(int32_t *ctrl, int32_t cls) {
  return NodeTable{word_at(ctrl, cword(ctrl, cw::kBufferHeaders)), bufw::kLength, key_word_of(cls), 1};
}

int32_t hm_buffer_lookup(int32_t *ctrl, int32_t D, int32_t cls, int32_t key) {
  WordView d(ctrl, D);
  int32_t found = 0, last = 0, side = 0;
  hm_tree_find(hm_buffer_tree(ctrl, cls), d[dw::tree_root(cls)], &key, found, last, side);
  return found == 1 ? last : 0;
}

void hm_buffer_enter(int32_t *ctrl, int32_t position) {
  const int32_t x = hm_buffer_number(ctrl, position);
  WordView h = header_of(ctrl, x);
  const int32_t cls = h[bufw::kClass];
  WordView d(ctrl, h[bufw::kOwner]);
  const NodeTable t = hm_buffer_tree(ctrl, cls);
  int32_t found = 0, last = 0, side = 0;
  hm_tree_find(t, d[dw::tree_root(cls)], h.at(key_word_of(cls)), found, last, side);
  hm_tree_insert(t, d[dw::tree_count(cls)], d[dw::tree_root(cls)], x, last, side);
}

int32_t hm_buffer_leave(int32_t *ctrl, int32_t position) {
  const int32_t x = hm_buffer_number(ctrl, position);
  WordView h = header_of(ctrl, x);
  const int32_t cls = h[bufw::kClass];
  WordView d(ctrl, h[bufw::kOwner]);
  return hm_tree_remove(hm_buffer_tree(ctrl, cls), d[dw::tree_count(cls)], d[dw::tree_root(cls)], x);
}

// ---- taking, pinning and giving back ----

int32_t hm_buffer_take(int32_t *ctrl, int32_t &position) {
  position = 0;
  int32_t x = 0;
  if (cword(ctrl, cw::kBufferFree) >= 1) {
    x = hm_list_take(word_at(ctrl, cword(ctrl, cw::kBufferHeaders)), bufw::kLength,
                     cword(ctrl, cw::kBufferFree), cword(ctrl, cw::kBufferFirstFree));
  } else {
    if (cword(ctrl, cw::kUseCount) == 0) return hm_fail(status::kFull, trace::kTakeAllPinned);
    x = cword(ctrl, cw::kUseFirst);
    WordView h = header_of(ctrl, x);
    if (h[bufw::kModified] == 1) {
      const int32_t ierr = hm_fileset_write(ctrl, fileset_of(ctrl, h[bufw::kOwner]), 1,
                                            h[bufw::kRecord], word_at(ctrl, hm_buffer_position(ctrl, x)));
      if (ierr != 0) {
        // The block is still held: modified, in its owner's tree, and now at
        // the end of the use list so that the next take tries another buffer.
        use_unlink(ctrl, x);
        use_append(ctrl, x);
        return hm_fail(ierr, trace::kTakeWriteBack);
      }
      h[bufw::kModified] = 0;
    }
    const int32_t ierr = leave_owner(ctrl, x);
    if (ierr != 0) return hm_fail(ierr, trace::kTakeTreeRemove);
    use_unlink(ctrl, x);
  }
  WordView h = header_of(ctrl, x);
  h[bufw::kNext] = h[bufw::kPrev] = 0;
  h[bufw::kOwner] = 0;
  h[bufw::kBlock] = 0;
  h[bufw::kRecord] = 0;
  h[bufw::kClass] = bufw::kClassNone;
  h[bufw::kModified] = 0;
  h[bufw::kPins] = 1;
  h[bufw::kState] = bufw::kStateOrdinary;
  position = hm_buffer_position(ctrl, x);
  return status::kOk;
}

void hm_buffer_pin(int32_t *ctrl, int32_t /*D*/, int32_t position, int32_t force, int32_t mode) {
  if (!hm_is_pool_buffer(ctrl, position)) return;
  const int32_t x = hm_buffer_number(ctrl, position);
  WordView h = header_of(ctrl, x);
  if (force == 1 && mode != 1) {
    if (h[bufw::kPins] == 0) use_unlink(ctrl, x);
    h[bufw::kPins] = 0;
    use_append(ctrl, x);
    return;
  }
  if (mode == 1) {
    if (h[bufw::kPins] == 0) use_unlink(ctrl, x);
    h[bufw::kPins] += 1;
  } else if (mode == 0) {
    if (h[bufw::kPins] > 0) {
      h[bufw::kPins] -= 1;
      if (h[bufw::kPins] == 0) use_return(ctrl, x);
    }
  } else if (mode == -1) {
    if (h[bufw::kPins] == 0) {
      use_unlink(ctrl, x);
      use_append(ctrl, x);
    }
  }
}

void hm_buffer_unlist(int32_t *ctrl, int32_t position) {
  if (!hm_is_pool_buffer(ctrl, position)) return;
  const int32_t x = hm_buffer_number(ctrl, position);
  WordView h = header_of(ctrl, x);
  // A free buffer has no pins either, and its word 1 links the free list;
  // only a buffer that its neighbours or the list head point at is listed.
  if (h[bufw::kPins] != 0) return;
  const int32_t next = h[bufw::kNext];
  const bool listed = h[bufw::kPrev] != 0 || cword(ctrl, cw::kUseFirst) == x ||
                      (next != 0 && header_of(ctrl, next)[bufw::kPrev] == x);
  if (listed) use_unlink(ctrl, x);
}

void hm_buffer_release(int32_t *ctrl, int32_t &position) {
  int32_t x = hm_buffer_number(ctrl, position);
  WordView h = header_of(ctrl, x);
  h[bufw::kOwner] = 0;
  h[bufw::kClass] = bufw::kClassNone;
  h[bufw::kPins] = 0;
  h[bufw::kModified] = 0;
  h[bufw::kPrev] = 0;
  hm_list_give(word_at(ctrl, cword(ctrl, cw::kBufferHeaders)), bufw::kLength, cword(ctrl, cw::kBufferFree),
               cword(ctrl, cw::kBufferFirstFree), x);
  position = 0;
}

void hm_buffers_unpin_table(int32_t *ctrl, int32_t ld, int32_t D, const int32_t *table,
                            const int32_t *info, int32_t mode) {
  constexpr int32_t kEntryWords = 7;
  if (info[5] != 1) return;
  for (int32_t j = 1; j <= info[2]; ++j) {
    for (int32_t i = 1; i <= info[1]; ++i) {
      const int32_t p = table[kEntryWords * ((j - 1) * ld + i - 1)];
      if (p > 0) hm_buffer_pin(ctrl, D, p, 0, mode);
    }
  }
}

// ---- block fetches ----

namespace {

// A resident block: touch or pin it by the request.
void apply_pin(int32_t *ctrl, int32_t D, int32_t position, const FetchRequest &req) {
  if (req.pin_mode == 1) {
    hm_buffer_pin(ctrl, D, position, 0, 1);
    hm_buffer_word(ctrl, position, bufw::kState) = req.state;
  } else {
    hm_buffer_pin(ctrl, D, position, 0, -1);
  }
}

// A freshly filled buffer: enter it and leave it unpinned at the end of the
// use list, or pinned once.
void settle_new(int32_t *ctrl, int32_t D, int32_t position, const FetchRequest &req) {
  if (req.enter_tree == 1) hm_buffer_enter(ctrl, position);
  if (req.pin_mode == 1) {
    hm_buffer_word(ctrl, position, bufw::kState) = req.state;
  } else {
    hm_buffer_pin(ctrl, D, position, 1, 0);
  }
}

// The index's nodes were checked when read, so this holds for every record
// they name; it guards the fetches against a record from anywhere else.
bool record_in_range(int32_t *ctrl, int32_t D, int32_t record) {
  WordView fs(ctrl, fileset_of(ctrl, D));
  return record >= fs[fsw::kFirstHeaderRecord] + fs[fsw::kHeaderRecords] && record < fs[fsw::kEnd];
}

}  // namespace

int32_t hm_fetch_block_read(int32_t *ctrl, int32_t D, int32_t block, const FetchRequest &req,
                            int32_t &record, int32_t &position, int32_t &offset) {
  position = offset = 0;
  // A caller that skips the lookup but meets a resident block gets that
  // buffer rather than a second copy under the same key.
  if (req.lookup_first == 1 || req.enter_tree == 1) {
    const int32_t x = hm_buffer_lookup(ctrl, D, bufw::kClassBlock, block);
    if (x != 0) {
      position = hm_buffer_position(ctrl, x);
      offset = 1;
      apply_pin(ctrl, D, position, req);
      record = header_of(ctrl, x)[bufw::kRecord];
      return status::kOk;
    }
  }
  if (record <= 0) {
    record = 0;
    const int32_t ierr = hm_index_find_read(ctrl, D, block, record);
    if (ierr != 0) return hm_fail(ierr, trace::kReadFetchIndex);
    if (record == 0) return status::kOk;
  }
  if (!record_in_range(ctrl, D, record)) {
    record = 0;
    return hm_fail(status::kRecordRead, trace::kReadFetchOutside);
  }
  int32_t p = 0;
  int32_t ierr = hm_buffer_take(ctrl, p);
  if (ierr != 0) return hm_fail(ierr, trace::kReadFetchBuffer);
  WordView h = header_of(ctrl, hm_buffer_number(ctrl, p));
  h[bufw::kOwner] = D;
  h[bufw::kBlock] = block;
  h[bufw::kRecord] = record;
  h[bufw::kClass] = bufw::kClassBlock;
  h[bufw::kModified] = 0;
  if (req.skip_read != 1) {
    ierr = hm_fileset_read(ctrl, fileset_of(ctrl, D), 1, record, word_at(ctrl, p));
    if (ierr != 0) {
      hm_buffer_release(ctrl, p);
      return hm_fail(ierr, trace::kReadFetchRead);
    }
  }
  settle_new(ctrl, D, p, req);
  position = p;
  offset = 1;
  return status::kOk;
}

int32_t hm_fetch_block_write(int32_t *ctrl, int32_t D, int32_t block, const FetchRequest &req,
                             int32_t &position, int32_t &offset, int32_t &record,
                             int32_t &created) {
  position = offset = record = created = 0;
  if (req.lookup_first == 1) {
    const int32_t x = hm_buffer_lookup(ctrl, D, bufw::kClassBlock, block);
    if (x != 0) {
      position = hm_buffer_position(ctrl, x);
      offset = 1;
      apply_pin(ctrl, D, position, req);
      WordView h = header_of(ctrl, x);
      h[bufw::kModified] = req.modified;
      record = h[bufw::kRecord];
      return status::kOk;
    }
  }
  int32_t rec = 0;
  int32_t ierr = hm_index_find(ctrl, D, block, rec);
  if (ierr != 0) return hm_fail(ierr, trace::kWriteFetchIndex);
  if (rec != 0 && !record_in_range(ctrl, D, rec))
    return hm_fail(status::kRecordRead, trace::kWriteFetchOutside);
  if (rec != 0 && req.lookup_first != 1) {
    // Said to be absent but stored: it may be resident, and a second copy
    // under the same key must not enter the tree.
    const int32_t x = hm_buffer_lookup(ctrl, D, bufw::kClassBlock, block);
    if (x != 0) {
      position = hm_buffer_position(ctrl, x);
      offset = 1;
      apply_pin(ctrl, D, position, req);
      header_of(ctrl, x)[bufw::kModified] = req.modified;
      record = rec;
      return status::kOk;
    }
  }
  int32_t p = 0;
  ierr = hm_buffer_take(ctrl, p);
  if (ierr != 0) return hm_fail(ierr, trace::kWriteFetchBuffer);
  WordView h = header_of(ctrl, hm_buffer_number(ctrl, p));
  h[bufw::kOwner] = D;
  h[bufw::kBlock] = block;
  const int32_t k = fileset_of(ctrl, D);
  const int32_t L = WordView(ctrl, k)[fsw::kRecordLength];
  const int32_t kept = std::clamp(req.overwrite_words, 0, std::max(L, 0));
  if (rec != 0 && kept == 0) {
    ierr = hm_fileset_read(ctrl, k, 1, rec, word_at(ctrl, p));
    if (ierr != 0) {
      hm_buffer_release(ctrl, p);
      return hm_fail(ierr, trace::kWriteFetchRead);
    }
  } else {
    // Every element type's zero is all-zero words. The words the caller is
    // about to overwrite are left; clearing the rest keeps stale words of
    // the buffer's previous contents off the file (a stored record has
    // zeros there too, so it need not be read).
    std::fill(word_at(ctrl, p) + kept, word_at(ctrl, p) + L, 0);
  }
  if (rec == 0) {
    ierr = hm_block_record_alloc(ctrl, D, rec);
    if (ierr != 0) {
      hm_buffer_release(ctrl, p);
      return hm_fail(ierr, trace::kWriteFetchRecord);
    }
    ierr = hm_index_insert(ctrl, D, block, rec);
    if (ierr != 0) {
      hm_buffer_release(ctrl, p);
      return hm_fail(ierr, trace::kWriteFetchInsert);
    }
    created = 1;
  }
  h[bufw::kRecord] = rec;
  h[bufw::kClass] = bufw::kClassBlock;
  h[bufw::kModified] = req.modified;
  settle_new(ctrl, D, p, req);
  position = p;
  offset = 1;
  record = rec;
  return status::kOk;
}

}  // namespace tessera
