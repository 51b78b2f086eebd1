// Releasing, killing and inquiring matrices: hmrelm, hmkilm, hminqm and their
// steps. A release writes the matrix's block buffers back, returns its unused
// reserved records, saves its extent table, index root and header and frees
// its descriptor slot; a kill gives every record of the matrix back and
// moves its directory node to the released-node list, where its header slot
// waits for the next new matrix.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/directory.h"
#include "catalogue/matrix.h"
#include "catalogue/matrix_codes.h"
#include "catalogue/pools.h"
#include "catalogue/record_space.h"
#include "catalogue/tree.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "tessera.h"
#include "transfer/block_index.h"
#include "transfer/buffers.h"
#include "transfer/cache.h"
#include "transfer/edge_records.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

constexpr int32_t kFlushWrite = 1;
constexpr int32_t kPlacementSlot = 1;
constexpr int32_t kPlacementSmall = 2;
constexpr int32_t kPlacementRecords = 3;

// Entries of the post-order walk: a node still to be expanded into its
// subtrees, or one whose subtrees are done.
constexpr int32_t kExpand = 1;
constexpr int32_t kProcess = 0;

WordView fileset_of(int32_t *ctrl, WordView d) { return WordView(ctrl, d[dw::kFileset]); }
int32_t record_length(int32_t *ctrl, WordView d) {
  return fileset_of(ctrl, d)[fsw::kRecordLength];
}

// Visit every node of a buffer lookup tree in post-order (left subtree, right
// subtree, node) with the file set's second pair stack. The stack is left
// empty whatever happens. A visit that fails stops the walk.
template <class Visit>
int32_t walk_post_order(int32_t *ctrl, WordView fs, const NodeTable &tree, int32_t root,
                        Visit visit) {
  int32_t *stack = word_at(ctrl, fs[fsw::kStack2]);
  int32_t &depth = fs[fsw::kStack2Depth];
  const int32_t base = depth;
  const int32_t capacity = fs[fsw::kStack2Capacity];
  int32_t st = status::kOk;
  auto push = [&](int32_t node, int32_t flag) {
    if (depth >= capacity) return false;
    hm_push_pair(stack, depth, node, flag);
    return true;
  };
  bool room = push(root, kExpand);
  while (room && depth > base) {
    int32_t node = 0, flag = 0;
    hm_pop_pair(stack, depth, node, flag);
    if (flag == kProcess) {
      st = visit(node);
      if (st != status::kOk) break;
      continue;
    }
    const int32_t left = *tree_node_word(tree, node, treew::left(tree.length));
    const int32_t right = *tree_node_word(tree, node, treew::right(tree.length));
    room = push(node, kProcess) && (right == 0 || push(right, kExpand)) &&
           (left == 0 || push(left, kExpand));
  }
  depth = base;
  if (!room) return hm_fail(status::kFull, trace::kTreeFlushStackFull);
  return st;
}

}  // namespace

// ---- buffers -------------------------------------------------------------------

int32_t hm_tree_flush(int32_t *ctrl, int32_t D, int32_t &count, int32_t &root, int32_t mode) {
  if (count == 0) return status::kOk;
  WordView d(ctrl, D);
  WordView fs = fileset_of(ctrl, d);
  const int32_t k = d[dw::kFileset];
  // Every class's tree links sit in the same header words; which key the
  // tree is sorted by does not matter to a walk.
  const NodeTable tree = hm_buffer_tree(ctrl, bufw::kClassBlock);

  // First every modified buffer is written, and only then are the buffers
  // given up: a write that fails leaves the tree whole, the buffers in the
  // pool and the unwritten one still modified, so that a retry writes what
  // is left. In mode 2 this pass writes nothing; it still walks, so that the
  // second pass cannot run out of stack half-way.
  //
  // The writes go in record order when there is memory to sort them: the
  // tree's order is the blocks' order, which is not the order of their
  // records, and the files take ascending records best.
  auto write_back = [&](int32_t x) {
    const int32_t position = hm_buffer_position(ctrl, x);
    int32_t &modified = hm_buffer_word(ctrl, position, bufw::kModified);
    if (mode != kFlushWrite || modified == 0) return status::kOk;
    const int32_t record = hm_buffer_word(ctrl, position, bufw::kRecord);
    if (int32_t s = hm_fileset_write(ctrl, k, 1, record, word_at(ctrl, position));
        s != status::kOk)
      return s;
    modified = 0;
    return status::kOk;
  };
  std::vector<std::pair<int32_t, int32_t>> order;  // (record, buffer) of the modified buffers
  bool sorted = mode == kFlushWrite;
  if (sorted) {
    try {
      order.reserve(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc &) {
      sorted = false;
    }
  }
  int32_t st = walk_post_order(ctrl, fs, tree, root, [&](int32_t x) {
    if (!sorted) return write_back(x);
    const int32_t position = hm_buffer_position(ctrl, x);
    if (hm_buffer_word(ctrl, position, bufw::kModified) != 0 && order.size() < order.capacity())
      order.emplace_back(hm_buffer_word(ctrl, position, bufw::kRecord), x);
    else if (hm_buffer_word(ctrl, position, bufw::kModified) != 0)
      return write_back(x);  // more nodes than the count said
    return status::kOk;
  });
  if (st == status::kFull) return hm_fail(st, trace::kTreeFlushStack);
  if (st == status::kOk && sorted) {
    std::sort(order.begin(), order.end());
    for (const auto &[record, x] : order) {
      st = write_back(x);
      if (st != status::kOk) break;
    }
  }
  if (st != status::kOk) return hm_fail(st, trace::kTreeFlushWrite);

  walk_post_order(ctrl, fs, tree, root, [&](int32_t x) {
    int32_t position = hm_buffer_position(ctrl, x);
    hm_buffer_unlist(ctrl, position);
    hm_buffer_release(ctrl, position);
    return status::kOk;
  });
  count = 0;
  root = 0;
  return status::kOk;
}

int32_t hm_matrix_flush(int32_t *ctrl, int32_t D, int32_t mode) {
  WordView d(ctrl, D);
  if (int32_t st = hm_edge_close(ctrl, D, kKindRightEdge); st != status::kOk)
    return hm_fail(st, trace::kFlushRightEdge);
  if (int32_t st = hm_edge_close(ctrl, D, kKindBottomEdge); st != status::kOk)
    return hm_fail(st, trace::kFlushBottomEdge);
  for (int32_t held : {dw::kHeldBuffer, dw::kHeldBuffer2}) {
    if (d[held] != 0 && d[held] != d[dw::kRootArea]) {
      hm_buffer_pin(ctrl, D, d[held], 0, 0);
      d[held] = 0;
    }
  }
  for (int32_t cls = bufw::kClassIndex; cls <= bufw::kClassBottomEdge; ++cls) {
    if (int32_t st = hm_tree_flush(ctrl, D, d[dw::tree_count(cls)], d[dw::tree_root(cls)], mode);
        st != status::kOk)
      return hm_fail(st, trace::kFlushTree);
  }
  return status::kOk;
}

// ---- header and space ------------------------------------------------------------

int32_t hm_header_write(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  const int32_t L = record_length(ctrl, d);
  int32_t area = 0;
  if (int32_t st = hm_work_alloc(ctrl, L, area); st != status::kOk)
    return hm_fail(st, trace::kHeaderWriteWork);
  int32_t *record = word_at(ctrl, area);
  // The header shares its record with other matrices' headers: read it,
  // change this one's 128 words, write it back.
  if (int32_t st = hm_fileset_read(ctrl, k, 1, d[dw::kHeaderRecord], record); st != status::kOk) {
    hm_work_free(ctrl, L, area);
    return hm_fail(st, trace::kHeaderWriteRead);
  }
  int32_t *header = record + (d[dw::kHeaderOffset] - 1);
  if (d[dw::kPlacement] == kPlacementSmall) {
    std::copy(d.at(1), d.at(dw::kHeaderPrefixWords + 1), header);
    // Once the table area is given back, the table words on file stay.
    if (d[dw::kTableAddress] != 0) {
      const int32_t *table = word_at(ctrl, d[dw::kTableAddress]);
      std::copy(table, table + dw::kSmallTableWords, header + dw::kHeaderPrefixWords);
    }
  } else {
    std::copy(d.at(1), d.at(dw::kWords + 1), header);
  }
  if (int32_t st = hm_fileset_write(ctrl, k, 1, d[dw::kHeaderRecord], record); st != status::kOk) {
    hm_work_free(ctrl, L, area);
    return hm_fail(st, trace::kHeaderWriteRecord);
  }
  if (int32_t st = hm_work_free(ctrl, L, area); st != status::kOk)
    return hm_fail(st, trace::kHeaderWriteFree);
  return status::kOk;
}

int32_t hm_release_space(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  if (d[dw::kReadOnlyFlag] == 1) return status::kOk;
  if (int32_t st = hm_unreserve(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kSpaceUnreserve);
  const int32_t placement = d[dw::kPlacement];
  if (placement == kPlacementSlot || placement == kPlacementSmall) {
    if (int32_t st = hm_header_write(ctrl, D); st != status::kOk)
      return hm_fail(st, trace::kSpaceHeader);
  } else if (placement == kPlacementRecords) {
    if (int32_t st = hm_fileset_write(ctrl, d[dw::kFileset], d[dw::kTableRecords],
                                      d[dw::kTableRecord], word_at(ctrl, d[dw::kTableAddress]));
        st != status::kOk)
      return hm_fail(st, trace::kSpaceTableWrite);
  }
  return status::kOk;
}

int32_t hm_release_table_area(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  if (d[dw::kReadOnlyFlag] == 1 || d[dw::kTableAddress] == 0) return status::kOk;
  const int32_t placement = d[dw::kPlacement];
  if (placement == kPlacementSmall) {
    if (int32_t st = hm_small_free(ctrl, dw::kSmallTableWords, d[dw::kTableAddress]);
        st != status::kOk)
      return hm_fail(st, trace::kSpaceSmallFree);
  } else if (placement == kPlacementRecords) {
    const int32_t words = d[dw::kTableRecords] * record_length(ctrl, d);
    if (int32_t st = hm_work_free(ctrl, words, d[dw::kTableAddress]); st != status::kOk)
      return hm_fail(st, trace::kSpaceWorkFree);
  }
  return status::kOk;
}

// ---- release ---------------------------------------------------------------------

int32_t hm_matrix_release(int32_t *ctrl, int32_t &D) {
  // A handle is used as the base of every write below; one that names no
  // open matrix must not reach them.
  if (!hm_matrix_handle_valid(ctrl, D))
    return hm_fail(status::kNoSuchMatrix, trace::kRelmBadHandle);
  WordView d(ctrl, D);
  if (int32_t st = hm_matrix_flush(ctrl, D, kFlushWrite); st != status::kOk)
    return hm_fail(st, trace::kRelmFlush);
  if (int32_t st = hm_release_space(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kRelmSpace);
  if (d[dw::kIndexRoot] != 0 && d[dw::kRootArea] != 0) {
    if (int32_t st = hm_fileset_write(ctrl, d[dw::kFileset], 1, d[dw::kIndexRoot],
                                      word_at(ctrl, d[dw::kRootArea]));
        st != status::kOk)
      return hm_fail(st, trace::kRelmRootWrite);
    if (int32_t st = hm_work_free(ctrl, record_length(ctrl, d), d[dw::kRootArea]);
        st != status::kOk)
      return hm_fail(st, trace::kRelmRootFree);
  }
  if (int32_t st = hm_header_write(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kRelmHeader);
  // The extent table's area goes back only once every write has gone
  // through: a release refused on the way keeps the matrix whole, and a
  // second hmrelm saves the same table again.
  if (int32_t st = hm_release_table_area(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kRelmSpace);
  hm_dir_mark_closed(ctrl, D);
  hm_desc_free(ctrl, D);
  return status::kOk;
}

// ---- kill ------------------------------------------------------------------------

namespace {

int32_t give_work_back(int32_t *ctrl, int32_t words, int32_t &area) {
  if (int32_t st = hm_work_free(ctrl, words, area); st != status::kOk)
    return hm_fail(st, trace::kKillWorkFree);
  return status::kOk;
}

// A matrix opened read-only has no extent table in the control area; the
// kill needs it to know the records to give back.
int32_t load_table_for_kill(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t placement = d[dw::kPlacement];
  if (placement == kPlacementSlot) {
    d[dw::kTableAddress] = D + (dw::kInSlotTable - 1);
    return status::kOk;
  }
  if (placement != kPlacementSmall && placement != kPlacementRecords) return status::kOk;
  const int32_t L = record_length(ctrl, d);
  // Placement 2 keeps its table in the header record, placement 3 in
  // records of its own.
  const int32_t records = placement == kPlacementSmall ? 1 : d[dw::kTableRecords];
  const int32_t first = placement == kPlacementSmall ? d[dw::kHeaderRecord] : d[dw::kTableRecord];
  int32_t area = 0;
  if (int32_t st = hm_work_alloc(ctrl, records * L, area); st != status::kOk)
    return hm_fail(st, trace::kKillWorkAlloc);
  if (int32_t st = hm_fileset_read(ctrl, d[dw::kFileset], records, first, word_at(ctrl, area));
      st != status::kOk) {
    hm_work_free(ctrl, records * L, area);
    return hm_fail(st, trace::kKillTableRead);
  }
  if (placement == kPlacementRecords) {
    d[dw::kTableAddress] = area;
    return status::kOk;
  }
  int32_t table = 0;
  if (int32_t st = hm_small_alloc(ctrl, dw::kSmallTableWords, table); st != status::kOk) {
    hm_work_free(ctrl, L, area);
    return hm_fail(st, trace::kKillSmallAlloc);
  }
  const int32_t *saved = word_at(ctrl, area + d[dw::kHeaderOffset] - 1 + dw::kHeaderPrefixWords);
  std::copy(saved, saved + dw::kSmallTableWords, word_at(ctrl, table));
  d[dw::kTableAddress] = table;
  return give_work_back(ctrl, L, area);
}

}  // namespace

int32_t hm_kill_records(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  if (d[dw::kTableAddress] == 0) {
    if (int32_t st = load_table_for_kill(ctrl, D); st != status::kOk) return st;
  }
  if (int32_t st = hm_free_matrix_records(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kKillFreeUsed);
  if (int32_t st = hm_unreserve(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kKillUnreserve);

  const int32_t placement = d[dw::kPlacement];
  if (placement == kPlacementSmall) {
    if (int32_t st = hm_small_free(ctrl, dw::kSmallTableWords, d[dw::kTableAddress]);
        st != status::kOk)
      return hm_fail(st, trace::kKillSmallFree);
  } else if (placement == kPlacementRecords) {
    WordView fs = fileset_of(ctrl, d);
    if (hm_cache_on(cachew::kKindMemoryFirst)) {
      if (int32_t st = hm_cache_discard_range(cache_memory(), fs[fsw::kHandle1],
                                              d[dw::kTableRecords], d[dw::kTableRecord]);
          st != status::kOk)
        return hm_fail(st, trace::kKillCacheDiscard);
    }
    int32_t first = d[dw::kTableRecord], hint = 0;
    if (int32_t st = hm_index_extent_free(ctrl, d[dw::kFileset], d[dw::kTableRecords], first,
                                          hint);
        st != status::kOk)
      return hm_fail(st, trace::kKillTableRecords);
    d[dw::kTableRecord] = 0;
    const int32_t words = d[dw::kTableRecords] * record_length(ctrl, d);
    if (int32_t st = give_work_back(ctrl, words, d[dw::kTableAddress]); st != status::kOk)
      return st;
  }
  return status::kOk;
}

int32_t hm_matrix_kill(int32_t *ctrl, int32_t &D) {
  hm_clear_trace();
  if (!hm_matrix_handle_valid(ctrl, D))
    return hm_fail(status::kNoSuchMatrix, trace::kKillBadHandle);
  WordView d(ctrl, D);
  if (int32_t st = hm_kill_records(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kKillRecords);
  if (d[dw::kIndexRoot] != 0 && d[dw::kRootArea] != 0) {
    if (int32_t st = hm_work_free(ctrl, record_length(ctrl, d), d[dw::kRootArea]);
        st != status::kOk)
      return hm_fail(st, trace::kKillRootFree);
  }
  if (int32_t st = hm_matrix_flush(ctrl, D, 2); st != status::kOk)
    return hm_fail(st, trace::kKillFlush);
  if (int32_t st = hm_dir_remove(ctrl, D); st != status::kOk)
    return hm_fail(st, trace::kKillDirectory);
  hm_desc_free(ctrl, D);
  return status::kOk;
}

// ---- inquire ---------------------------------------------------------------------

int32_t hm_matrix_inquire(int32_t *ctrl, const int32_t *name, int32_t qualifier,
                          int32_t fileset) {
  if (!hm_fileset_handle_valid(ctrl, fileset)) return -1;
  const int32_t key[dw::kKeyWords] = {qualifier, name[0], name[1], name[2]};
  const int32_t node = hm_dir_lookup(ctrl, fileset, key);
  if (node == 0) return -1;
  return *hm_dir_node_word(ctrl, fileset, node, dirw::kHandle);
}

}  // namespace tessera

// ---- interface -------------------------------------------------------------------

extern "C" TESSERA_API void hmrelm(int32_t *ctrl, int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = tessera::hm_matrix_release(ctrl, *handle);
}

extern "C" TESSERA_API void hmkilm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                                   const int32_t *fileset, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  using namespace tessera;
  hm_clear_trace();
  *ierr = 0;
  if (!hm_fileset_handle_valid(ctrl, *fileset)) {
    *ierr = hm_fail(status::kBadFilesetArgument, trace::kKilmBadFileset);
    return;
  }
  int32_t D = hm_matrix_inquire(ctrl, name, *qualifier, *fileset);
  if (D < 0) {
    *ierr = hm_fail(status::kNoSuchMatrix, trace::kKilmAbsent);
    return;
  }
  if (D == 0) {
    int32_t typeword = 0, storageword = 0, nrows = 0, ncols = 0;
    if (int32_t st = hm_matrix_open(ctrl, name, *qualifier, *fileset, 0, typeword, storageword,
                                    nrows, ncols, D);
        st != status::kOk) {
      *ierr = hm_fail(st, trace::kKilmOpen);
      return;
    }
  }
  if (int32_t st = hm_matrix_kill(ctrl, D); st != status::kOk)
    *ierr = hm_fail(st, trace::kKilmKill);
}

extern "C" TESSERA_API void hminqm(int32_t *ctrl, const int32_t *name, const int32_t *qualifier,
                                   const int32_t *fileset, int32_t *state) {
  *state = tessera::hm_matrix_inquire(ctrl, name, *qualifier, *fileset);
}
