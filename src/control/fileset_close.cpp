// Ending file sets: hmremf (write the set's tables and header, keep the
// files), hmkilf (delete the files, write nothing), hmclos (check that no set
// is open, or delete the files of those that are), their _filename variants
// and hm_close_files.
//
// Removing and killing give the set's areas back to the pools one by one,
// zeroing each position word as its area goes back, so a call that failed
// part-way can be repeated without giving anything back twice.
//
// A removal never writes over the tables that the header on disk names: it
// writes the tables to other records and the header last, so a refused write
// leaves the set on disk as the previous removal stored it.
#include <cstdint>
#include <initializer_list>

#include "catalogue/descriptor_words.h"
#include "catalogue/pools.h"
#include "catalogue/record_space.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/fileset.h"
#include "control/fileset_codes.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "control/trace.h"
#include "platsvc.h"
#include "recstore.h"
#include "tessera.h"
#include "transfer/cache.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

constexpr int32_t kKeep = 1;
constexpr int32_t kDelete = 2;
constexpr int32_t kCloseOne = 1;
constexpr int32_t kCacheKindMemoryFirst = 2;
// Xcache word 1 = 1: the library owns the cache memory and frees it.
constexpr int32_t kCacheOwnedByLibrary = 1;

// The plain variants unpack the set's names into ten 81-byte buffers taken
// from the heap for the length of the call.
class NameBuffers {
 public:
  NameBuffers() {
    names_ = static_cast<char **>(SM_alloc(fsw::kMaxFiles * sizeof(char *)));
    for (int32_t i = 0; i < fsw::kMaxFiles; ++i) {
      names_[i] = static_cast<char *>(SM_alloc(kNameBufferBytes));
      names_[i][0] = '\0';
    }
  }
  ~NameBuffers() {
    for (int32_t i = 0; i < fsw::kMaxFiles; ++i) SM_free(names_[i]);
    SM_free(names_);
  }
  NameBuffers(const NameBuffers &) = delete;
  NameBuffers &operator=(const NameBuffers &) = delete;

  const char *const *unpack(WordView fs) {
    const int32_t n = file_count(fs);
    for (int32_t i = 1; i <= n; ++i) hm_unpack_name(fs.at(fsw::open_name_word(i)), names_[i - 1]);
    return names_;
  }

  static int32_t file_count(WordView fs) {
    const int32_t n = fs[fsw::kFileCount];
    return n < 0 ? 0 : (n > fsw::kMaxFiles ? fsw::kMaxFiles : n);
  }

 private:
  char **names_;
};

// Close the files of the set at P, writing closed handles back so that a
// retry skips them.
int32_t close_set_files(int32_t *ctrl, int32_t P, const char *const *names, int32_t disposition,
                        bool keep_going) {
  WordView fs(ctrl, P);
  int32_t handles[fsw::kMaxFiles];
  const int32_t n = hm_gather_handles(ctrl, P, handles);
  const int32_t ierr = hm_close_files(n, names, disposition, handles, keep_going);
  for (int32_t i = 1; i <= n; ++i) fs[fsw::handle_word(i)] = handles[i - 1];
  return ierr;
}

// Before the library frees the cache memory (Xcache word 1 = 1): a
// memory-first cache may hold the only copies of records of the other open
// sets, so those go to their files first.
int32_t flush_other_sets(int32_t *ctrl, int32_t P) {
  const int32_t *x = cache_words();
  if (x[cachew::kState] != kCacheOwnedByLibrary || x[cachew::kKind] != kCacheKindMemoryFirst) {
    return status::kOk;
  }
  WordView c = control_view(ctrl);
  for (int32_t s = 1; s <= c[cw::kFsSlots]; ++s) {
    const int32_t Q = c[cw::kFsArea1] + (s - 1) * cw::kFilesetAreaWords;
    if (Q == P || c[c[cw::kFsLinks] + s - 1] != cw::kSlotInUse) continue;
    int32_t handles[fsw::kMaxFiles];
    const int32_t n = hm_gather_handles(ctrl, Q, handles);
    const int32_t ierr =
        hm_cache_flush(cache_memory(), n, handles, WordView(ctrl, Q)[fsw::kRecordLength]);
    if (ierr != 0) return ierr;
  }
  return status::kOk;
}

// After the slot is given back: a cache whose memory the library owns is
// released and switched off, so no later record goes to freed memory.
void release_cache_memory() {
  int32_t *x = cache_words();
  if (x[cachew::kState] == kCacheOwnedByLibrary) {
    SM_free(cache_memory());
    x[cachew::kState] = 0;
  }
}

// Runs of records [first, first + count) that share a record.
bool runs_meet(int32_t count_a, int32_t first_a, int32_t count_b, int32_t first_b) {
  return count_a > 0 && count_b > 0 && int64_t{first_a} < int64_t{first_b} + count_b &&
         int64_t{first_b} < int64_t{first_a} + count_a;
}

// True when the run shares a record with a table the header on disk names.
bool meets_stored(WordView fs, int32_t count, int32_t first) {
  return runs_meet(count, first, fs[fsw::kStoredTableRecords], fs[fsw::kStoredTableFirst]) ||
         runs_meet(count, first, fs[fsw::kStoredNodeRecords], fs[fsw::kStoredNodeFirst]);
}

int32_t give_run_back(int32_t *ctrl, int32_t P, int32_t count, int32_t first) {
  int32_t hint = 0;
  return hm_index_extent_free(ctrl, P, count, first, hint);
}

// Runs that first fit found inside the stored tables, held aside before the
// set is extended instead.
constexpr int32_t kMaxHeld = 8;

// n index records that no stored table uses. The stored tables' records can
// be free in list A (an extent table that grew gives its former records
// back), and first fit may then land on them: such a run is held aside while
// the search goes on, and given back at the end. After kMaxHeld of them the
// set is extended, and the run is taken from the new records at its end,
// past every stored table.
int32_t take_clear_run(int32_t *ctrl, int32_t P, int32_t n, int32_t &first) {
  WordView fs(ctrl, P);
  int32_t held[kMaxHeld];
  int32_t count = 0;
  int32_t st;
  for (;;) {
    st = hm_index_records_alloc(ctrl, P, n, first);
    if (st != status::kOk || !meets_stored(fs, n, first)) break;
    held[count++] = first;
    if (count == kMaxHeld) {
      const int32_t nf = fs[fsw::kFileCount];
      const int64_t want = fs[fsw::kIndexGrowth] > n ? fs[fsw::kIndexGrowth] : n;
      const int64_t size = nf < 1 ? -1 : (want + nf - 1) / nf * nf;
      if (size < 1 || size > INT32_MAX) {
        st = hm_fail(status::kFull, trace::kRemUnsettled);
      } else {
        st = hm_extend_for_index(ctrl, P, static_cast<int32_t>(size), n, first);
      }
      break;
    }
  }
  for (int32_t i = 0; i < count; ++i) {
    const int32_t back = give_run_back(ctrl, P, n, held[i]);
    if (back != status::kOk && st == status::kOk) {
      // The run just taken goes back too: the caller sees a failure.
      give_run_back(ctrl, P, n, first);
      st = hm_fail(back, trace::kRemHeldRecords);
    }
  }
  return st;
}

// Bound on how often the placement is looked at again after taking records
// grew the extent table under it.
constexpr int32_t kMaxRounds = 8;

// Move the extent table and the node table off the records the header on
// disk names (a set opened from disk has them at the same records), so that
// the writes below leave that header's tables whole: a write refused before
// the new header is on disk then costs nothing of the stored set. A set
// never stored has no such records and writes its tables where they are.
//
// The stored runs go back to list A before the tables are written, so the
// tables on disk show them free. Until the header replaces the stored one
// they still hold the stored tables; nothing else is written during the
// removal, so nothing can take them before that. (An extent table that grew
// since the set was opened has left its stored run out of list A, and it
// goes back here too.)
int32_t move_tables_off_stored(int32_t *ctrl, int32_t P) {
  WordView fs(ctrl, P);
  // Both tables written: they were moved before the first write (and after
  // the header the stored runs are theirs).
  if (fs[fsw::kTablePos] == 0 && fs[fsw::kNodePos] == 0) return status::kOk;
  for (int32_t round = 0; round < kMaxRounds; ++round) {
    // A table already written (its memory given back) was moved before.
    const bool move_table = fs[fsw::kTablePos] != 0 &&
                            meets_stored(fs, fs[fsw::kTableRecords], fs[fsw::kTableFirstRecord]);
    const bool move_nodes = fs[fsw::kNodePos] != 0 &&
                            meets_stored(fs, fs[fsw::kNodeRecords], fs[fsw::kNodeFirstRecord]);
    const int32_t back = fs[fsw::kStoredGivenBack];
    const bool table_back = fs[fsw::kStoredTableRecords] < 1 || (back & fsw::kStoredTableBack) != 0;
    const bool nodes_back = fs[fsw::kStoredNodeRecords] < 1 || (back & fsw::kStoredNodeBack) != 0;
    if (!move_table && !move_nodes && table_back && nodes_back) return status::kOk;

    const int32_t table_records = fs[fsw::kTableRecords];
    const int32_t table_first = fs[fsw::kTableFirstRecord];
    const int32_t node_records = fs[fsw::kNodeRecords];
    const int32_t node_first = fs[fsw::kNodeFirstRecord];
    int32_t new_table = 0, new_nodes = 0;
    // Nothing has moved yet: the runs taken so far go back.
    auto undo = [&]() {
      int32_t st = status::kOk;
      if (move_table && new_table != 0) st = give_run_back(ctrl, P, table_records, new_table);
      if (st == status::kOk && move_nodes && new_nodes != 0) {
        st = give_run_back(ctrl, P, node_records, new_nodes);
      }
      return st;
    };
    int32_t st;
    if (move_table) {
      st = take_clear_run(ctrl, P, table_records, new_table);
      if (st != status::kOk) return hm_fail(st, trace::kRemNewTableRecords);
    }
    if (move_nodes) {
      st = take_clear_run(ctrl, P, node_records, new_nodes);
      if (st != status::kOk) {
        if (undo() != status::kOk) hm_push_trace(trace::kRemUndoRecords);
        return hm_fail(st, trace::kRemNewNodeRecords);
      }
    }
    if (fs[fsw::kTableRecords] != table_records || fs[fsw::kTableFirstRecord] != table_first) {
      // Taking records grew the extent table, which moved itself to a run
      // of its own: look at the placement again.
      st = undo();
      if (st != status::kOk) return hm_fail(st, trace::kRemUndoRecords);
      continue;
    }
    if (move_table) fs[fsw::kTableFirstRecord] = new_table;
    if (move_nodes) fs[fsw::kNodeFirstRecord] = new_nodes;
    // A run left that is not the stored one (a table that grew during an
    // earlier round landed on stored records already back in list A) goes
    // back now; the stored runs go back once, below.
    auto is_stored = [&](int32_t records, int32_t first, int32_t which) {
      return which == fsw::kStoredTableBack
                 ? !table_back && records == fs[fsw::kStoredTableRecords] &&
                       first == fs[fsw::kStoredTableFirst]
                 : !nodes_back && records == fs[fsw::kStoredNodeRecords] &&
                       first == fs[fsw::kStoredNodeFirst];
    };
    if (move_table && !is_stored(table_records, table_first, fsw::kStoredTableBack)) {
      st = give_run_back(ctrl, P, table_records, table_first);
      if (st != status::kOk) return hm_fail(st, trace::kRemOldRecords);
    }
    if (move_nodes && !is_stored(node_records, node_first, fsw::kStoredNodeBack)) {
      st = give_run_back(ctrl, P, node_records, node_first);
      if (st != status::kOk) return hm_fail(st, trace::kRemOldRecords);
    }
    if (!table_back) {
      st = give_run_back(ctrl, P, fs[fsw::kStoredTableRecords], fs[fsw::kStoredTableFirst]);
      if (st != status::kOk) return hm_fail(st, trace::kRemStoredRecords);
      fs[fsw::kStoredGivenBack] |= fsw::kStoredTableBack;
    }
    if (!nodes_back) {
      st = give_run_back(ctrl, P, fs[fsw::kStoredNodeRecords], fs[fsw::kStoredNodeFirst]);
      if (st != status::kOk) return hm_fail(st, trace::kRemStoredRecords);
      fs[fsw::kStoredGivenBack] |= fsw::kStoredNodeBack;
    }
  }
  return hm_fail(status::kFull, trace::kRemUnsettled);
}

// Grow the files of a set created with a memory-first cache on to the set's
// end: its records past the files' ends live only in the cache.
int32_t grow_files(int32_t *ctrl, int32_t P, int32_t n, int32_t *handles, int32_t L,
                   int32_t former_nodes) {
  WordView fs(ctrl, P);
  // The node table's former words serve as the one-record work buffer; on a
  // retry they are gone and a unit-pool run stands in.
  int32_t borrowed = 0;
  if (former_nodes == 0) {
    const int32_t st = hm_work_alloc(ctrl, L, borrowed);
    if (st != 0) return hm_fail(st, trace::kRemGrow);
  }
  int32_t *work = word_at(ctrl, former_nodes != 0 ? former_nodes : borrowed);
  int32_t ierr = status::kOk;
  for (int32_t i = 0; i < n && ierr == 0; ++i) {
    int32_t first = fs[fsw::kCreatedRecords] / n;
    int32_t length = L;
    int32_t count = (fs[fsw::kEnd] - fs[fsw::kCreatedRecords]) / n;
    if (DAF_file_extend(work, &handles[i], &first, &length, &count) != 0) {
      ierr = hm_fail(status::kFileExtend, trace::kRemGrow);
    }
  }
  if (borrowed != 0) hm_work_free(ctrl, L, borrowed);
  // A retry grows the files again until this has gone through once.
  if (ierr == 0) fs[fsw::kCacheFlag] = 0;
  return ierr;
}

// hmremf up to the closing of the files: the tables to their records and
// back to the pools, the pair stacks back, the header, the cache flushed.
//
// The header is the switch: everything it names reaches the files before
// it. Without a memory-first cache the record path writes in call order; with
// one, the tables and the set's other records go to the files with a first
// flush, and the header alone with a second one.
int32_t write_and_release(int32_t *ctrl, int32_t P, int32_t n, int32_t *handles, int32_t L) {
  WordView fs(ctrl, P);
  int32_t ierr = move_tables_off_stored(ctrl, P);
  if (ierr != 0) return ierr;

  // The extent table and the node table go to their records, then back to
  // the unit pool. On a retry a table already given back was also written.
  if (fs[fsw::kTablePos] != 0) {
    ierr = hm_write_records(n, handles, L, fs[fsw::kTableRecords], fs[fsw::kTableFirstRecord],
                            word_at(ctrl, fs[fsw::kTablePos]));
    if (ierr != 0) return hm_fail(ierr, trace::kRemTableWrite);
    ierr = hm_work_free(ctrl, fs[fsw::kTableRecords] * L, fs[fsw::kTablePos]);
    if (ierr != 0) return hm_fail(ierr, trace::kRemGiveBack);
  }
  // The node table's words stay usable as the extension's work buffer below.
  const int32_t former_nodes = fs[fsw::kNodePos];
  if (fs[fsw::kNodePos] != 0) {
    ierr = hm_write_records(n, handles, L, fs[fsw::kNodeRecords], fs[fsw::kNodeFirstRecord],
                            word_at(ctrl, fs[fsw::kNodePos]));
    if (ierr != 0) return hm_fail(ierr, trace::kRemTableWrite);
    ierr = hm_work_free(ctrl, fs[fsw::kNodeRecords] * L, fs[fsw::kNodePos]);
    if (ierr != 0) return hm_fail(ierr, trace::kRemGiveBack);
  }
  if (fs[fsw::kWorkBuffer] != 0) {
    ierr = hm_work_free(ctrl, L, fs[fsw::kWorkBuffer]);
    if (ierr != 0) return hm_fail(ierr, trace::kRemGiveBack);
  }
  for (int32_t stack : {fsw::kStack1, fsw::kStack2}) {
    if (fs[stack] == 0) continue;
    ierr = hm_pair_free(ctrl, 2 * fs[stack + 1], fs[stack]);
    if (ierr != 0) {
      hm_push_trace(trace::kRemStackGive);
      return hm_fail(ierr, trace::kRemStacks);
    }
  }

  const bool memory_first = hm_cache_on(kCacheKindMemoryFirst);
  if (memory_first) {
    // The files first reach the set's end, then take every cached record of
    // the set; those copies are then forgotten, so that the second flush
    // writes the header alone and a refusal in the first leaves the header
    // on disk as it was.
    if (fs[fsw::kCacheFlag] == 1) {
      ierr = grow_files(ctrl, P, n, handles, L, former_nodes);
      if (ierr != 0) return ierr;
    }
    ierr = hm_cache_flush(cache_memory(), n, handles, L);
    if (ierr != 0) return hm_fail(ierr, trace::kRemFlush);
    ierr = hm_cache_discard_set(cache_memory(), handles[0]);
    if (ierr != 0) return hm_fail(ierr, trace::kRemBeforeHeader);
  }
  ierr = hm_write_header(ctrl, P);
  if (ierr != 0) return hm_fail(ierr, trace::kRemHeader);
  if (memory_first) {
    ierr = hm_cache_flush(cache_memory(), n, handles, L);
    if (ierr != 0) return hm_fail(ierr, trace::kRemHeaderFlush);
  }
  fs[fsw::kStoredTableRecords] = fs[fsw::kTableRecords];
  fs[fsw::kStoredTableFirst] = fs[fsw::kTableFirstRecord];
  fs[fsw::kStoredNodeRecords] = fs[fsw::kNodeRecords];
  fs[fsw::kStoredNodeFirst] = fs[fsw::kNodeFirstRecord];
  fs[fsw::kStoredGivenBack] = 0;

  if (cache_words()[cachew::kState] != 0) {
    // The set's handles may be given to another set later: its records must
    // not stay in the cache under them.
    ierr = hm_cache_discard_set(cache_memory(), handles[0]);
    if (ierr != 0) return hm_fail(ierr, trace::kRemCacheDiscard);
  }

  return status::kOk;
}

}  // namespace

int32_t hm_close_files(int32_t n, const char *const *names, int32_t disposition,
                       int32_t *handles, bool keep_going) {
  int32_t result = status::kOk;
  for (int32_t i = 0; i < n; ++i) {
    if (handles[i] == kClosedHandle) continue;
    int32_t handle = handles[i];
    int32_t one = kCloseOne;
    if (CFI_ask_file_exist(names[i]) != 0) {
      // The file is gone: only its handle is left to release.
      int32_t keep = kKeep;
      DAF_file_close(&handle, names[i], &one, &keep);
      handles[i] = kClosedHandle;
      continue;
    }
    int32_t how = disposition;
    if (DAF_file_close(&handle, names[i], &one, &how) != 0) {
      if (result == status::kOk) result = hm_fail(status::kFileClose, trace::kCloseRefused);
      if (!keep_going) return result;
      continue;
    }
    handles[i] = kClosedHandle;
  }
  return result;
}

bool hm_fileset_has_open_matrix(int32_t *ctrl, int32_t P) {
  WordView c = control_view(ctrl);
  for (int32_t m = 1; m <= c[cw::kDescSlots]; ++m) {
    if (c[c[cw::kDescLinks] + m - 1] != cw::kSlotInUse) continue;
    WordView d(ctrl, c[cw::kDescArea1] + (m - 1) * cw::kDescriptorWords);
    if (d[dw::kFileset] == P) return true;
  }
  return false;
}

int32_t hm_remove_fileset(int32_t *ctrl, int32_t P, const char *const *names) {
  if (!hm_is_open_fileset(ctrl, P)) return hm_fail(status::kBadFilesetArgument, trace::kRemBadHandle);
  if (hm_fileset_has_open_matrix(ctrl, P)) {
    return hm_fail(status::kMatrixStillOpen, trace::kRemOpenMatrix);
  }
  WordView fs(ctrl, P);
  const int32_t L = fs[fsw::kRecordLength];
  int32_t handles[fsw::kMaxFiles];
  const int32_t n = hm_gather_handles(ctrl, P, handles);
  NameBuffers buffers;
  if (names == nullptr) names = buffers.unpack(fs);

  // A retry after a refused close: everything before the close is done and
  // some handles are gone, so only the closing is left.
  bool closing_started = false;
  for (int32_t i = 0; i < n; ++i) closing_started = closing_started || handles[i] == kClosedHandle;
  if (!closing_started) {
    const int32_t ierr = write_and_release(ctrl, P, n, handles, L);
    if (ierr != 0) return ierr;
  }

  int32_t ierr = close_set_files(ctrl, P, names, kKeep, false);
  if (ierr != 0) return hm_fail(ierr, trace::kRemClose);
  ierr = flush_other_sets(ctrl, P);
  if (ierr != 0) return hm_fail(ierr, trace::kRemFlushOthers);

  hm_give_fileset_slot(ctrl, P);
  release_cache_memory();
  return status::kOk;
}

int32_t hm_kill_fileset(int32_t *ctrl, int32_t P, const char *const *names) {
  if (!hm_is_open_fileset(ctrl, P)) return hm_fail(status::kBadFilesetArgument, trace::kKilBadHandle);
  if (hm_fileset_has_open_matrix(ctrl, P)) {
    return hm_fail(status::kMatrixStillOpen, trace::kKilOpenMatrix);
  }
  WordView fs(ctrl, P);
  const int32_t L = fs[fsw::kRecordLength];
  NameBuffers buffers;
  if (names == nullptr) names = buffers.unpack(fs);

  int32_t ierr;
  if (fs[fsw::kTablePos] != 0) {
    ierr = hm_work_free(ctrl, fs[fsw::kTableRecords] * L, fs[fsw::kTablePos]);
    if (ierr != 0) return hm_fail(ierr, trace::kKilGiveBack);
  }
  if (fs[fsw::kNodePos] != 0) {
    ierr = hm_work_free(ctrl, fs[fsw::kNodeRecords] * L, fs[fsw::kNodePos]);
    if (ierr != 0) return hm_fail(ierr, trace::kKilGiveBack);
  }
  if (fs[fsw::kWorkBuffer] != 0) {
    ierr = hm_work_free(ctrl, L, fs[fsw::kWorkBuffer]);
    if (ierr != 0) return hm_fail(ierr, trace::kKilGiveBack);
  }
  for (int32_t stack : {fsw::kStack1, fsw::kStack2}) {
    if (fs[stack] == 0) continue;
    ierr = hm_pair_free(ctrl, 2 * fs[stack + 1], fs[stack]);
    if (ierr != 0) return hm_fail(ierr, trace::kKilStacks);
  }

  if (cache_words()[cachew::kState] != 0) {
    ierr = hm_cache_discard_set(cache_memory(), fs[fsw::kHandle1]);
    if (ierr != 0) return hm_fail(ierr, trace::kKilCacheDiscard);
  }

  ierr = close_set_files(ctrl, P, names, kDelete, false);
  if (ierr != 0) return hm_fail(ierr, trace::kKilClose);
  ierr = flush_other_sets(ctrl, P);
  if (ierr != 0) return hm_fail(ierr, trace::kKilFlushOthers);

  hm_give_fileset_slot(ctrl, P);
  release_cache_memory();
  return status::kOk;
}

int32_t hm_close_control(int32_t *ctrl, int32_t mode, const char *const *names) {
  WordView c = control_view(ctrl);
  if (c[cw::kInitMarker] != cw::kInitialised) {
    return hm_fail(status::kNotInitialised, trace::kClosNotInitialised);
  }
  c[cw::kInitMarker] = 0;
  if (mode == 0) {
    if (c[cw::kFsFree] != c[cw::kFsSlots]) {
      return hm_fail(status::kFilesetsStillOpen, trace::kClosStillOpen);
    }
    return status::kOk;
  }
  // Closing: every file of every open set is deleted, even past a failure;
  // the first failure is the one reported.
  int32_t result = status::kOk;
  NameBuffers buffers;
  for (int32_t s = 1; s <= c[cw::kFsSlots]; ++s) {
    if (c[c[cw::kFsLinks] + s - 1] != cw::kSlotInUse) continue;
    const int32_t P = c[cw::kFsArea1] + (s - 1) * cw::kFilesetAreaWords;
    const char *const *set_names = names != nullptr ? names : buffers.unpack(WordView(ctrl, P));
    if (close_set_files(ctrl, P, set_names, kDelete, true) != 0 && result == status::kOk) {
      result = hm_fail(status::kFileClose, trace::kClosClose);
    }
  }
  return result;
}

}  // namespace tessera

// ---------------------------------------------------------------------------
// Exported routines. Removing and killing add to the error trace; closing
// clears it.

extern "C" TESSERA_API void hmremf(int32_t *ctrl, int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = tessera::hm_remove_fileset(ctrl, *handle, nullptr);
}

extern "C" TESSERA_API void hmremf_filename(int32_t *ctrl, int32_t *handle, char **names,
                                            int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = tessera::hm_remove_fileset(ctrl, *handle, names);
}

extern "C" TESSERA_API void hmkilf(int32_t *ctrl, int32_t *handle, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = tessera::hm_kill_fileset(ctrl, *handle, nullptr);
}

extern "C" TESSERA_API void hmkilf_filename(int32_t *ctrl, int32_t *handle, char **names,
                                            int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = tessera::hm_kill_fileset(ctrl, *handle, names);
}

extern "C" TESSERA_API void hmclos(int32_t *ctrl, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  const int32_t mode = *ierr;
  *ierr = 0;
  *ierr = tessera::hm_close_control(ctrl, mode, nullptr);
}

extern "C" TESSERA_API void hmclos_filename(int32_t *ctrl, char **names, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  const int32_t mode = *ierr;
  *ierr = 0;
  *ierr = tessera::hm_close_control(ctrl, mode, names);
}
