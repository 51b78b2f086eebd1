// The block cache between record input/output and the record-file service.
//
// The host lays out the cache memory and the Xcache words (cachew): S nodes
// of 14 words at the start of the memory, and from word w6 on one record of
// R words per node. A node is free (on the free list) or holds a record (in
// the lookup tree and on the use list, least recently used first). The tree
// key is two words, the file set (the handle of its first file) and the
// record number, so records of different open file sets never meet.
//
// Kind 1 writes through and evicts the least recently used node; kind 2 keeps
// a written record in memory while a node is free and sends the rest to the
// files, so until a flush the memory may hold the only copy of a record.
#include "transfer/cache.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "catalogue/tree.h"
#include "common/status.h"
#include "control/trace.h"
#include "recstore.h"
#include "transfer/cache_codes.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

class Cache {
 public:
  explicit Cache(int32_t *memory)
      : w_(cache_words()),
        memory_(memory),
        t_{memory, cachew::kNodeLength, cachew::kNodeSet, cachew::kNodeKeyWords} {}

  int32_t kind() const { return w_[cachew::kKind]; }
  int32_t &word(int32_t position) const { return w_[position]; }
  const NodeTable &table() const { return t_; }

  int32_t &node(int32_t x, int32_t w) const { return *tree_node_word(t_, x, w); }

  int32_t *record(int32_t x, int32_t R) const {
    const std::ptrdiff_t start = std::ptrdiff_t{w_[cachew::kRecordArea]} - 1 +
                                 std::ptrdiff_t{x - 1} * R;
    return memory_ + start;
  }

  // The node that holds (set, r), or 0; last and side tell where it belongs.
  int32_t find(int32_t set, int32_t r, int32_t &last, int32_t &side) const {
    const int32_t key[cachew::kNodeKeyWords] = {set, r};
    int32_t found = 0;
    last = 0;
    side = 0;
    hm_tree_find(t_, w_[cachew::kTreeRoot], key, found, last, side);
    return found != 0 ? last : 0;
  }

  void unlink_use(int32_t x) const {
    const int32_t next = node(x, cachew::kNodeNext);
    const int32_t prev = node(x, cachew::kNodePrev);
    if (prev != 0) node(prev, cachew::kNodeNext) = next; else w_[cachew::kUseFirst] = next;
    if (next != 0) node(next, cachew::kNodePrev) = prev; else w_[cachew::kUseLast] = prev;
    --w_[cachew::kUseCount];
  }

  void append_use(int32_t x) const {
    const int32_t last = w_[cachew::kUseLast];
    node(x, cachew::kNodeNext) = 0;
    node(x, cachew::kNodePrev) = last;
    if (last != 0) node(last, cachew::kNodeNext) = x; else w_[cachew::kUseFirst] = x;
    w_[cachew::kUseLast] = x;
    ++w_[cachew::kUseCount];
  }

  bool has_free() const {
    const int32_t head = w_[cachew::kFreeFirst];
    return w_[cachew::kFreeCount] >= 1 && head >= 1 && head <= w_[cachew::kNodes];
  }

  int32_t pop_free() const {
    const int32_t x = w_[cachew::kFreeFirst];
    w_[cachew::kFreeFirst] = node(x, cachew::kNodeNext);
    --w_[cachew::kFreeCount];
    return x;
  }

  void push_free(int32_t x) const {
    node(x, cachew::kNodeNext) = w_[cachew::kFreeFirst];
    node(x, cachew::kNodePrev) = 0;
    w_[cachew::kFreeFirst] = x;
    ++w_[cachew::kFreeCount];
  }

  int32_t remove_tree(int32_t x) const {
    return hm_tree_remove(t_, w_[cachew::kTreeCount], w_[cachew::kTreeRoot], x);
  }

  // Give a prepared node the key (set, r) and make it the most recent.
  void enter(int32_t x, int32_t set, int32_t r) const {
    node(x, cachew::kNodeSet) = set;
    node(x, cachew::kNodeRecord) = r;
    int32_t last = 0, side = 0;
    find(set, r, last, side);
    hm_tree_insert(t_, w_[cachew::kTreeCount], w_[cachew::kTreeRoot], x, last, side);
    append_use(x);
  }

  // Forget node x: off the use list, out of the tree, onto the free list.
  int32_t forget(int32_t x) const {
    const int32_t st = remove_tree(x);
    if (st != status::kOk) return st;
    unlink_use(x);
    push_free(x);
    return status::kOk;
  }

 private:
  int32_t *w_;
  int32_t *memory_;
  NodeTable t_;
};

int32_t file_read(int32_t n, const int32_t *handles, int32_t R, int32_t r, int32_t *buffer) {
  return DAF_file_nrecord_read(handles[r % n], r / n, R, 1, buffer);
}

int32_t file_write(int32_t n, const int32_t *handles, int32_t R, int32_t r,
                   const int32_t *buffer) {
  return DAF_file_nrecord_write(handles[r % n], r / n, R, 1, buffer);
}

void copy_record(int32_t *to, const int32_t *from, int32_t R) {
  std::memcpy(to, from, static_cast<std::size_t>(R) * sizeof(int32_t));
}

// A node for a kind-1 miss: a free one, else the least recently used one,
// else 0 (a cache of no nodes). `code` names the eviction site.
int32_t take_node(const Cache &c, int32_t code, int32_t &x) {
  x = 0;
  if (c.has_free()) {
    x = c.pop_free();
    return status::kOk;
  }
  const int32_t lru = c.word(cachew::kUseFirst);
  if (lru < 1 || lru > c.word(cachew::kNodes)) return status::kOk;
  const int32_t st = c.remove_tree(lru);
  if (st != status::kOk) return hm_fail(st, code);
  c.unlink_use(lru);
  x = lru;
  return status::kOk;
}

}  // namespace

bool hm_cache_on(int32_t kind) {
  const int32_t *w = cache_words();
  return w[cachew::kState] != 0 && w[cachew::kKind] == kind;
}

int32_t hm_cache_read(int32_t *memory, int32_t n, const int32_t *handles, int32_t R, int32_t r,
                      int32_t *buffer) {
  const Cache c(memory);
  const int32_t kind = c.kind();
  if (kind != cachew::kKindWriteThrough && kind != cachew::kKindMemoryFirst) return status::kOk;
  const int32_t set = handles[0];
  int32_t last = 0, side = 0;
  const int32_t hit = c.find(set, r, last, side);
  if (hit != 0) {
    if (kind == cachew::kKindWriteThrough) {
      c.unlink_use(hit);
      c.append_use(hit);
    }
    copy_record(buffer, c.record(hit, R), R);
    return status::kOk;
  }
  if (kind == cachew::kKindMemoryFirst) {
    if (file_read(n, handles, R, r, buffer) != 0) {
      return hm_fail(status::kRecordRead, trace::kCacheFileRead);
    }
    return status::kOk;
  }

  int32_t x = 0;
  const int32_t st = take_node(c, trace::kCacheReadEvict, x);
  if (st != status::kOk) return st;
  if (x == 0) {
    if (file_read(n, handles, R, r, buffer) != 0) {
      return hm_fail(status::kRecordRead, trace::kCacheFileRead);
    }
    return status::kOk;
  }
  c.enter(x, set, r);
  if (file_read(n, handles, R, r, c.record(x, R)) != 0) {
    // A node whose read failed holds no record: leaving it cached would
    // serve whatever the memory held as record r.
    c.forget(x);
    return hm_fail(status::kRecordRead, trace::kCacheFileRead);
  }
  copy_record(buffer, c.record(x, R), R);
  return status::kOk;
}

int32_t hm_cache_write(int32_t *memory, int32_t n, const int32_t *handles, int32_t R, int32_t r,
                       const int32_t *buffer) {
  const Cache c(memory);
  const int32_t kind = c.kind();
  if (kind != cachew::kKindWriteThrough && kind != cachew::kKindMemoryFirst) return status::kOk;
  const int32_t set = handles[0];
  int32_t last = 0, side = 0;
  int32_t x = c.find(set, r, last, side);

  if (kind == cachew::kKindMemoryFirst) {
    if (x == 0 && c.has_free()) {
      x = c.pop_free();
      c.enter(x, set, r);
    }
    if (x != 0) {
      copy_record(c.record(x, R), buffer, R);
      return status::kOk;
    }
    if (file_write(n, handles, R, r, buffer) != 0) {
      return hm_fail(status::kRecordWrite, trace::kCacheFileWrite);
    }
    return status::kOk;
  }

  if (x != 0) {
    c.unlink_use(x);
    c.append_use(x);
  } else {
    const int32_t st = take_node(c, trace::kCacheWriteEvict, x);
    if (st != status::kOk) return st;
    if (x != 0) c.enter(x, set, r);
  }
  if (x != 0) copy_record(c.record(x, R), buffer, R);
  if (file_write(n, handles, R, r, buffer) != 0) {
    return hm_fail(status::kRecordWrite, trace::kCacheFileWrite);
  }
  return status::kOk;
}

int32_t hm_cache_flush(int32_t *memory, int32_t n, const int32_t *handles, int32_t R) {
  const Cache c(memory);
  const int32_t set = handles[0];
  const int32_t nodes = c.word(cachew::kNodes);
  int32_t x = c.word(cachew::kUseFirst);
  // The walk is bounded by the node count, so a damaged chain cannot loop.
  for (int32_t steps = 0; x >= 1 && x <= nodes && steps < nodes; ++steps) {
    if (c.node(x, cachew::kNodeSet) == set &&
        file_write(n, handles, R, c.node(x, cachew::kNodeRecord), c.record(x, R)) != 0) {
      return hm_fail(status::kRecordWrite, trace::kCacheFlushWrite);
    }
    x = c.node(x, cachew::kNodeNext);
  }
  return status::kOk;
}

int32_t hm_cache_discard_range(int32_t *memory, int32_t set, int32_t count, int32_t first) {
  const Cache c(memory);
  for (int32_t j = 0; j < count; ++j) {
    int32_t last = 0, side = 0;
    const int32_t x = c.find(set, first + j, last, side);
    if (x == 0) continue;
    const int32_t st = c.forget(x);
    if (st != status::kOk) return hm_fail(st, trace::kCacheDiscard);
  }
  return status::kOk;
}

int32_t hm_cache_discard_set(int32_t *memory, int32_t set) {
  const Cache c(memory);
  const int32_t nodes = c.word(cachew::kNodes);
  int32_t x = c.word(cachew::kUseFirst);
  for (int32_t steps = 0; x >= 1 && x <= nodes && steps < nodes; ++steps) {
    const int32_t next = c.node(x, cachew::kNodeNext);
    if (c.node(x, cachew::kNodeSet) == set) {
      const int32_t st = c.forget(x);
      if (st != status::kOk) return hm_fail(st, trace::kCacheDiscardSet);
    }
    x = next;
  }
  return status::kOk;
}

}  // namespace tessera
