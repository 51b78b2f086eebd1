// Record space of file sets and matrices.
//
// Index records (matrix headers, saved extent tables) come from list A, data
// records (blocks) from list B; both lists live in the file set's extent
// table. A matrix refills its reserved list from list B in long runs and
// moves one record at a time to its used list, so its blocks lie close
// together. When a list runs dry the set is extended at its end, on every
// physical file by the same number of records.
//
// The extent tables and their list heads come back from the set's files. A
// bad entry number would make the list code write outside its table, so each
// routine walks the lists it is about to change and refuses (status 170) a
// table whose links leave it, before writing anything. The free entries are
// only ever taken from the head of their chain, one per addition, so the
// head is checked before each addition rather than the whole chain (up to a
// table's capacity) on every call; a table about to be copied into a larger
// one has both its lists walked first.
#include "catalogue/record_space.h"

#include <algorithm>
#include <cstdint>

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_list.h"
#include "catalogue/pools.h"
#include "catalogue/space_codes.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/trace.h"
#include "recstore.h"
#include "transfer/cache.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

constexpr int32_t kInt32Max = 2147483647;

int32_t &entry_word(int32_t *entries, int32_t e, int32_t w) {
  return entries[(e - 1) * extw::kWords + (w - 1)];
}

// x rounded up to a multiple of nf (nf >= 1), or -1 when it would not fit.
int32_t round_up(int64_t x, int32_t nf) {
  const int64_t r = (x + nf - 1) / nf * nf;
  return r > kInt32Max ? -1 : static_cast<int32_t>(r);
}

// The table lies inside the control area and every link of the list and of
// the first `free_count` free entries stays within its capacity.
bool table_ok(const int32_t *ctrl, int32_t address, int32_t capacity) {
  const int64_t end = int64_t{address} + int64_t{capacity} * extw::kWords - 1;
  return address >= 1 && capacity >= 0 &&
         end <= int64_t{ctrl[cw::kLastPoolWord - 1]} + cw::kFixedWords;
}

bool list_ok(int32_t *entries, int32_t capacity, const int32_t *list) {
  int32_t prev = 0, e = list[listw::kFirst], seen = 0;
  while (e != 0) {
    if (e < 1 || e > capacity || seen >= capacity) return false;
    if (entry_word(entries, e, extw::kPrev) != prev) return false;
    ++seen;
    prev = e;
    e = entry_word(entries, e, extw::kNext);
  }
  return seen == list[listw::kCount] && prev == list[listw::kLast];
}

// The entry the next addition would take lies in the table.
bool free_head_ok(int32_t capacity, int32_t count, int32_t head) {
  if (count < 0 || count > capacity) return false;
  return count == 0 || (head >= 1 && head <= capacity);
}

// The lists a routine may follow: list A, list B, or both.
constexpr int32_t kListsA = 1;
constexpr int32_t kListsB = 2;
constexpr int32_t kListsBoth = kListsA | kListsB;

// The file set's extent table and its two lists.
struct SetSpace {
  WordView fs;
  ExtentTable table;
  int32_t *list_a;
  int32_t *list_b;
};

SetSpace set_space(int32_t *ctrl, int32_t k) {
  WordView fs(ctrl, k);
  return SetSpace{fs, ExtentTable{word_at(ctrl, fs[fsw::kTablePos]), fs.at(fsw::kTableFree)},
                  fs.at(fsw::kListA), fs.at(fsw::kListB)};
}

bool set_sound(int32_t *ctrl, int32_t k, int32_t lists) {
  WordView fs(ctrl, k);
  const int32_t cap = fs[fsw::kTableCapacity];
  if (!table_ok(ctrl, fs[fsw::kTablePos], cap)) return false;
  int32_t *entries = word_at(ctrl, fs[fsw::kTablePos]);
  if ((lists & kListsA) != 0 && !list_ok(entries, cap, fs.at(fsw::kListA))) return false;
  if ((lists & kListsB) != 0 && !list_ok(entries, cap, fs.at(fsw::kListB))) return false;
  return free_head_ok(cap, fs[fsw::kTableFree], fs[fsw::kTableFirstFree]);
}

// The table, the named lists and the head of the free entries.
int32_t check_set(int32_t *ctrl, int32_t k, int32_t lists) {
  if (!set_sound(ctrl, k, lists)) return hm_fail(status::kFull, trace::kFilesetTableCorrupt);
  return status::kOk;
}

// The matrix's extent table, its used and its reserved list.
struct MatrixSpace {
  WordView d;
  ExtentTable table;
  int32_t *used;
  int32_t *reserved;
};

MatrixSpace matrix_space(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  return MatrixSpace{d, ExtentTable{word_at(ctrl, d[dw::kTableAddress]), d.at(dw::kTableFree)},
                     d.at(dw::kUsedList), d.at(dw::kReservedList)};
}

bool matrix_sound(int32_t *ctrl, int32_t D, bool lists) {
  WordView d(ctrl, D);
  const int32_t cap = d[dw::kTableCapacity];
  if (!table_ok(ctrl, d[dw::kTableAddress], cap)) return false;
  int32_t *entries = word_at(ctrl, d[dw::kTableAddress]);
  if (lists && (!list_ok(entries, cap, d.at(dw::kUsedList)) ||
                !list_ok(entries, cap, d.at(dw::kReservedList))))
    return false;
  return free_head_ok(cap, d[dw::kTableFree], d[dw::kTableFirstFree]);
}

// The table, both lists (when asked) and the head of the free entries. A
// matrix's lists are short: its records lie in few runs.
int32_t check_matrix(int32_t *ctrl, int32_t D, bool lists = true) {
  if (!matrix_sound(ctrl, D, lists)) return hm_fail(status::kFull, trace::kMatrixTableCorrupt);
  return status::kOk;
}

// Where a run [first, first + length) belongs in a list: its predecessor,
// or -1 when it overlaps an extent of the list.
int32_t place_run(int32_t *entries, const int32_t *list, int32_t length, int32_t first) {
  const int32_t pred = hm_extent_locate(entries, list, first, list[listw::kFirst]);
  if (pred < 0) return -1;
  const int32_t next = pred == 0 ? list[listw::kFirst] : entry_word(entries, pred, extw::kNext);
  if (next != 0 && int64_t{entry_word(entries, next, extw::kFirst)} < int64_t{first} + length) {
    return -1;
  }
  return pred;
}

bool cache_active() {
  return hm_cache_on(cachew::kKindWriteThrough) || hm_cache_on(cachew::kKindMemoryFirst);
}

// Add a run to list A (which = fsw::kListA) or B of the file set, after
// `pred`; when the table is full grow it, place the run again in the new
// table and add once more. pred returns the extent that holds the run.
int32_t add_to_set(int32_t *ctrl, int32_t k, int32_t which, int32_t length, int32_t first,
                   int32_t &pred, int32_t grow_code, int32_t again_code) {
  // The lists were walked when the calling routine began; the addition may
  // take the head of the free entries, which an earlier addition of the
  // same routine may have moved.
  int32_t st = check_set(ctrl, k, 0);
  if (st != status::kOk) return st;
  SetSpace s = set_space(ctrl, k);
  int32_t p = pred;
  st = hm_extent_add(s.table, s.fs.at(which), length, first, p);
  if (st == status::kFull) {
    st = hm_grow_fileset_table(ctrl, k);
    if (st != status::kOk) return hm_fail(st, grow_code);
    s = set_space(ctrl, k);
    // Entry numbers change with the table, and growing may itself have
    // extended the set: find the run's place afresh.
    p = place_run(s.table.entries, s.fs.at(which), length, first);
    if (p < 0) return hm_fail(status::kFull, again_code);
    st = hm_extent_add(s.table, s.fs.at(which), length, first, p);
    if (st != status::kOk) return hm_fail(st, again_code);
  } else if (st != status::kOk) {
    return hm_fail(st, again_code);
  }
  pred = p;
  return status::kOk;
}

// The same for the matrix's used list (which = dw::kUsedList) or reserved
// list.
int32_t add_to_matrix(int32_t *ctrl, int32_t D, int32_t which, int32_t length, int32_t first,
                      int32_t overlap_code, int32_t grow_code, int32_t again_code) {
  // As for the set: the addition may take the head of the free entries.
  int32_t st = check_matrix(ctrl, D, false);
  if (st != status::kOk) return st;
  MatrixSpace m = matrix_space(ctrl, D);
  int32_t p = place_run(m.table.entries, m.d.at(which), length, first);
  if (p < 0) return hm_fail(status::kFull, overlap_code);
  st = hm_extent_add(m.table, m.d.at(which), length, first, p);
  if (st == status::kFull) {
    st = hm_grow_matrix_table(ctrl, D);
    if (st != status::kOk) return hm_fail(st, grow_code);
    m = matrix_space(ctrl, D);
    p = place_run(m.table.entries, m.d.at(which), length, first);
    if (p < 0) return hm_fail(status::kFull, again_code);
    st = hm_extent_add(m.table, m.d.at(which), length, first, p);
    if (st != status::kOk) return hm_fail(st, again_code);
  } else if (st != status::kOk) {
    return hm_fail(st, again_code);
  }
  return status::kOk;
}

// Give a run back to list A or B. A single record that is already free is
// ignored; a longer run that overlaps free records is refused, since adding
// it would put records on the list twice.
int32_t give_back(int32_t *ctrl, int32_t k, int32_t which, int32_t length, int32_t &first,
                  int32_t &hint, bool single, int32_t overlap_code, int32_t grow_code,
                  int32_t again_code) {
  int32_t st = check_set(ctrl, k, which == fsw::kListA ? kListsA : kListsB);
  if (st != status::kOk) return st;
  SetSpace s = set_space(ctrl, k);
  // The search starts at the list's first extent whatever the hint says: a
  // hint may name an entry that has since been freed or moved to the other
  // list, and a walk from there would misplace the run.
  int32_t pred = place_run(s.table.entries, s.fs.at(which), length, first);
  if (pred < 0) {
    if (single) return status::kOk;
    return hm_fail(status::kFull, overlap_code);
  }
  st = add_to_set(ctrl, k, which, length, first, pred, grow_code, again_code);
  if (st != status::kOk) return st;
  hint = pred;
  first = 0;
  return status::kOk;
}

// Extend the set by `size` records at its end. work_code and free_code name
// the caller's sites for the one-record work buffer.
int32_t extend_set(int32_t *ctrl, int32_t k, int32_t size, int32_t work_code,
                   int32_t free_code) {
  WordView fs(ctrl, k);
  int32_t L = fs[fsw::kRecordLength];
  const int32_t nf = fs[fsw::kFileCount];
  const int32_t old_end = fs[fsw::kEnd];
  const int64_t new_end = int64_t{old_end} + size;
  if (nf < 1 || nf > fsw::kMaxFiles || size < 0 || new_end > kInt32Max) {
    return hm_fail(status::kFull, trace::kExtendRefused);
  }
  int32_t buffer = 0;
  int32_t st = hm_work_alloc(ctrl, L, buffer);
  if (st != status::kOk) return hm_fail(st, work_code);

  // Records below S of a set created with the kind-2 cache on live in the
  // cache memory; the files are first extended when the set outgrows it, and
  // then from the size they were created with.
  const int32_t *cache = cache_words();
  const bool memory_first = hm_cache_on(cachew::kKindMemoryFirst);
  const int32_t S = cache[cachew::kNodes];
  const int32_t flag = fs[fsw::kCacheFlag];
  int32_t per_file = size / nf;
  int32_t start = old_end / nf;
  if (memory_first && flag != 0 && new_end < S) {
    per_file = 0;
  } else if (memory_first && flag == 1) {
    fs[fsw::kCacheFlag] = 0;
    per_file = static_cast<int32_t>((new_end - fs[fsw::kCreatedRecords]) / nf);
    start = fs[fsw::kCreatedRecords] / nf;
  }
  for (int32_t i = 1; i <= nf && per_file > 0; ++i) {
    int32_t first = start, count = per_file;
    if (DAF_file_extend(word_at(ctrl, buffer), fs.at(fsw::handle_word(i)), &first, &L, &count) !=
        0) {
      // The end stays where it was and the buffer goes back: the caller may
      // try again with a smaller size.
      fs[fsw::kCacheFlag] = flag;
      hm_work_free(ctrl, fs[fsw::kRecordLength], buffer);
      return hm_fail(status::kFileExtend, trace::kExtendFile);
    }
  }
  fs[fsw::kEnd] = static_cast<int32_t>(new_end);
  st = hm_work_free(ctrl, L, buffer);
  if (st != status::kOk) return hm_fail(st, free_code);
  return status::kOk;
}

}  // namespace

int32_t hm_extend_for_index(int32_t *ctrl, int32_t k, int32_t size, int32_t need,
                            int32_t &first) {
  const int32_t old_end = WordView(ctrl, k)[fsw::kEnd];
  int32_t st = extend_set(ctrl, k, size, trace::kIndexExtendWork, trace::kIndexExtendFree);
  if (st != status::kOk) return st;
  first = old_end + size - need;
  if (size - need > 0) {
    int32_t pred = set_space(ctrl, k).list_b[listw::kLast];
    st = add_to_set(ctrl, k, fsw::kListB, size - need, old_end, pred, trace::kIndexExtendGrow,
                    trace::kIndexExtendAddAgain);
    if (st != status::kOk) return st;
  }
  return status::kOk;
}

int32_t hm_extend_for_data(int32_t *ctrl, int32_t D, int32_t size) {
  const int32_t k = WordView(ctrl, D)[dw::kFileset];
  const int32_t old_end = WordView(ctrl, k)[fsw::kEnd];
  int32_t st = extend_set(ctrl, k, size, trace::kDataExtendWork, trace::kDataExtendFree);
  if (st != status::kOk) return st;
  if (size < 1) return status::kOk;
  int32_t pred = set_space(ctrl, k).list_b[listw::kLast];
  return add_to_set(ctrl, k, fsw::kListB, size, old_end, pred, trace::kDataExtendGrow,
                    trace::kDataExtendAddAgain);
}

int32_t hm_header_slot_record(int32_t *ctrl, int32_t k, int32_t &record) {
  int32_t st = check_set(ctrl, k, kListsBoth);
  if (st != status::kOk) return st;
  SetSpace s = set_space(ctrl, k);
  if (s.list_a[listw::kTotal] >= 1) {
    record = hm_extent_take_one(s.table, s.list_a);
    return status::kOk;
  }
  const int32_t nf = s.fs[fsw::kFileCount];
  if (nf < 1) return hm_fail(status::kFull, trace::kHeaderSlotNoFiles);
  const int32_t size = round_up(std::max(1, s.fs[fsw::kIndexGrowth]), nf);
  st = hm_extend_for_index(ctrl, k, size, 1, record);
  if (st != status::kOk) return hm_fail(st, trace::kHeaderSlotExtend);
  return status::kOk;
}

int32_t hm_index_records_alloc(int32_t *ctrl, int32_t k, int32_t n, int32_t &first) {
  int32_t st = check_set(ctrl, k, kListsBoth);
  if (st != status::kOk) return st;
  SetSpace s = set_space(ctrl, k);
  if (hm_extent_fit(s.table, s.list_a, n, first)) return status::kOk;
  const int32_t nf = s.fs[fsw::kFileCount];
  if (nf < 1) return hm_fail(status::kFull, trace::kIndexRecordsNoFiles);
  const int32_t size = round_up(std::max(s.fs[fsw::kIndexGrowth], n), nf);
  st = hm_extend_for_index(ctrl, k, size, n, first);
  if (st != status::kOk) return hm_fail(st, trace::kIndexRecordsExtend);
  return status::kOk;
}

int32_t hm_reserve_records(int32_t *ctrl, int32_t D, int32_t n) {
  const int32_t k = WordView(ctrl, D)[dw::kFileset];
  int32_t st = check_set(ctrl, k, kListsB);
  if (st == status::kOk) st = check_matrix(ctrl, D);
  if (st != status::kOk) return st;
  SetSpace s = set_space(ctrl, k);
  int32_t first = 0;
  if (!hm_extent_fit(s.table, s.list_b, n, first)) {
    const int32_t nf = s.fs[fsw::kFileCount];
    if (nf < 1) return hm_fail(status::kFull, trace::kReserveNoFiles);
    const int32_t size = round_up(std::max(n, s.fs[fsw::kDataGrowth]), nf);
    st = hm_extend_for_data(ctrl, D, size);
    if (st != status::kOk && size > n) st = hm_extend_for_data(ctrl, D, round_up(n, nf));
    if (st != status::kOk) {
      // Last resort: grow only by what the free extent at the end lacks, so
      // that it and the new records make one run of n.
      s = set_space(ctrl, k);
      const int32_t last = s.list_b[listw::kLast];
      if (last == 0) return hm_fail(st, trace::kReserveExtend);
      int32_t *entries = s.table.entries;
      const int32_t len = entry_word(entries, last, extw::kLength);
      if (int64_t{entry_word(entries, last, extw::kFirst)} + len != s.fs[fsw::kEnd]) {
        return hm_fail(st, trace::kReserveExtend);
      }
      st = hm_extend_for_data(ctrl, D, round_up(int64_t{n} - len, nf));
      if (st != status::kOk) return hm_fail(st, trace::kReserveExtend);
    }
    s = set_space(ctrl, k);
    if (!hm_extent_fit(s.table, s.list_b, n, first)) {
      return hm_fail(status::kFull, trace::kReserveExtend);
    }
  }
  st = add_to_matrix(ctrl, D, dw::kReservedList, n, first, trace::kReserveOverlap,
                     trace::kReserveGrow, trace::kReserveAddAgain);
  if (st != status::kOk) {
    // The run belongs to nobody now; back to list B with it rather than
    // lose it from the set for good.
    int32_t hint = 0;
    hm_data_extent_free(ctrl, D, n, first, hint);
  }
  return st;
}

int32_t hm_block_record_alloc(int32_t *ctrl, int32_t D, int32_t &record) {
  int32_t st = check_matrix(ctrl, D);
  if (st != status::kOk) return st;
  WordView d(ctrl, D);
  if (d[dw::kReservedList + listw::kTotal] < 1) {
    const int32_t n = std::max(1, d[dw::kIndexRoot] != 0 ? d[dw::kLaterReserve]
                                                         : d[dw::kFirstReserve]);
    st = hm_reserve_records(ctrl, D, n);
    if (st != status::kOk && n >= 2 && n / 10 >= 1) st = hm_reserve_records(ctrl, D, n / 10);
    if (st != status::kOk) return hm_fail(st, trace::kBlockReserve);
  }
  MatrixSpace m = matrix_space(ctrl, D);
  const int32_t r = hm_extent_take_one(m.table, m.reserved);
  st = add_to_matrix(ctrl, D, dw::kUsedList, 1, r, trace::kBlockOverlap, trace::kBlockGrow,
                     trace::kBlockAddAgain);
  if (st != status::kOk) {
    // Keep the record reserved: taking it may have freed an entry, so there
    // is room to put it back.
    m = matrix_space(ctrl, D);
    int32_t pred = place_run(m.table.entries, m.reserved, 1, r);
    if (pred >= 0) hm_extent_add(m.table, m.reserved, 1, r, pred);
    return st;
  }
  record = r;
  return status::kOk;
}

int32_t hm_data_record_free(int32_t *ctrl, int32_t D, int32_t &record, int32_t &hint) {
  const int32_t k = WordView(ctrl, D)[dw::kFileset];
  return give_back(ctrl, k, fsw::kListB, 1, record, hint, true, 0, trace::kDataRecordGrow,
                   trace::kDataRecordAddAgain);
}

int32_t hm_data_extent_free(int32_t *ctrl, int32_t D, int32_t length, int32_t &first,
                            int32_t &hint) {
  const int32_t k = WordView(ctrl, D)[dw::kFileset];
  const int32_t st = give_back(ctrl, k, fsw::kListB, length, first, hint, false,
                               trace::kDataExtentOverlap, trace::kDataExtentGrow,
                               trace::kDataExtentAddAgain);
  return st;
}

int32_t hm_index_extent_free(int32_t *ctrl, int32_t k, int32_t length, int32_t &first,
                             int32_t &hint) {
  const int32_t st = give_back(ctrl, k, fsw::kListA, length, first, hint, false,
                               trace::kIndexExtentOverlap, trace::kIndexExtentGrow,
                               trace::kIndexExtentAddAgain);
  return st;
}

int32_t hm_unreserve(int32_t *ctrl, int32_t D) {
  int32_t st = check_matrix(ctrl, D);
  if (st != status::kOk) return st;
  int32_t hint = 0;
  while (WordView(ctrl, D)[dw::kReservedList + listw::kCount] > 0) {
    MatrixSpace m = matrix_space(ctrl, D);
    int32_t length = 0, first = 0;
    hm_extent_pop(m.table, m.reserved, length, first);
    st = hm_data_extent_free(ctrl, D, length, first, hint);
    if (st != status::kOk) return hm_fail(st, trace::kUnreserve);
  }
  return status::kOk;
}

int32_t hm_free_matrix_records(int32_t *ctrl, int32_t D) {
  int32_t st = check_matrix(ctrl, D);
  if (st != status::kOk) return st;
  const int32_t k = WordView(ctrl, D)[dw::kFileset];
  const int32_t set = WordView(ctrl, k)[fsw::kHandle1];
  int32_t hint = 0;
  while (WordView(ctrl, D)[dw::kUsedList + listw::kCount] > 0) {
    MatrixSpace m = matrix_space(ctrl, D);
    int32_t length = 0, first = 0;
    hm_extent_pop(m.table, m.used, length, first);
    if (hm_cache_on(cachew::kKindMemoryFirst)) {
      st = hm_cache_discard_range(cache_memory(), set, length, first);
      if (st != status::kOk) return hm_fail(st, trace::kFreeMatrixDiscard);
    }
    st = hm_data_extent_free(ctrl, D, length, first, hint);
    if (st != status::kOk) return hm_fail(st, trace::kFreeMatrixGiveBack);
  }
  return status::kOk;
}

int32_t hm_grow_fileset_table(int32_t *ctrl, int32_t k) {
  // Both lists are copied below, whichever one the calling routine walked.
  int32_t st = check_set(ctrl, k, kListsBoth);
  if (st != status::kOk) return st;
  WordView fs(ctrl, k);
  const int32_t L = fs[fsw::kRecordLength];
  const int32_t records = fs[fsw::kTableRecords];
  const int64_t words = (int64_t{records} + 1) * L;
  if (L < 1 || records < 0 || words > kInt32Max) {
    return hm_fail(status::kFull, trace::kFilesetTableWork);
  }
  int32_t area = 0;
  st = hm_work_alloc(ctrl, static_cast<int32_t>(words), area);
  if (st != status::kOk) return hm_fail(st, trace::kFilesetTableWork);

  // Build the new table beside the old one, then switch.
  const int32_t capacity = static_cast<int32_t>(words / extw::kWords);
  int32_t slots[2] = {0, 0};
  int32_t list_a[4] = {0, 0, 0, 0};
  int32_t list_b[4] = {0, 0, 0, 0};
  const ExtentTable table{word_at(ctrl, area), slots};
  hm_extent_table_init(table, capacity);
  int32_t *old_entries = word_at(ctrl, fs[fsw::kTablePos]);
  st = hm_extent_copy_list(old_entries, fs.at(fsw::kListA), table, list_a);
  if (st == status::kOk) st = hm_extent_copy_list(old_entries, fs.at(fsw::kListB), table, list_b);
  if (st != status::kOk) {
    hm_work_free(ctrl, static_cast<int32_t>(words), area);
    return hm_fail(st, trace::kFilesetTableCopy);
  }
  int32_t old_area = fs[fsw::kTablePos];
  fs[fsw::kTablePos] = area;
  fs[fsw::kTableCapacity] = capacity;
  fs[fsw::kTableFree] = slots[0];
  fs[fsw::kTableFirstFree] = slots[1];
  for (int32_t w = 0; w < 4; ++w) {
    fs[fsw::kListA + w] = list_a[w];
    fs[fsw::kListB + w] = list_b[w];
  }
  st = hm_work_free(ctrl, records * L, old_area);
  if (st != status::kOk) return hm_fail(st, trace::kFilesetTableFree);

  // The records that held the old table go back to list A; the larger table
  // gets a run of one record more.
  if (records > 0) {
    if (cache_active()) {
      st = hm_cache_discard_range(cache_memory(), fs[fsw::kHandle1], records,
                                  fs[fsw::kTableFirstRecord]);
      if (st != status::kOk) return hm_fail(st, trace::kFilesetTableDiscard);
    }
    // Records that the header on disk names for the table keep it until the
    // next removal has stored a new header; that removal gives them back.
    const bool stored = records == fs[fsw::kStoredTableRecords] &&
                        fs[fsw::kTableFirstRecord] == fs[fsw::kStoredTableFirst] &&
                        (fs[fsw::kStoredGivenBack] & fsw::kStoredTableBack) == 0;
    if (!stored) {
      int32_t first = fs[fsw::kTableFirstRecord], hint = 0;
      st = hm_index_extent_free(ctrl, k, records, first, hint);
      if (st != status::kOk) return hm_fail(st, trace::kFilesetTableGiveBack);
    }
  }
  fs[fsw::kTableRecords] = records + 1;
  int32_t first = 0;
  st = hm_index_records_alloc(ctrl, k, records + 1, first);
  if (st != status::kOk) return hm_fail(st, trace::kFilesetTableRecords);
  fs[fsw::kTableFirstRecord] = first;
  return status::kOk;
}

int32_t hm_grow_matrix_table(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  const int32_t k = d[dw::kFileset];
  const int32_t L = WordView(ctrl, k)[fsw::kRecordLength];
  const int32_t placement = d[dw::kPlacement];
  int32_t area = 0;
  int64_t words = 0;
  int32_t st = status::kOk;
  if (placement == 1) {
    if (L == 0) return hm_fail(status::kFull, trace::kMatrixTableSmall);
    words = dw::kSmallTableWords;
    st = hm_small_alloc(ctrl, dw::kSmallTableWords, area);
    if (st != status::kOk) return hm_fail(st, trace::kMatrixTableSmall);
  } else if (placement == 2 || placement == 3) {
    if (L < 1) return hm_fail(status::kFull, trace::kMatrixTableWork);
    words = placement == 2 ? int64_t{(L + 127) / L} * L : (int64_t{d[dw::kTableRecords]} + 1) * L;
    if (words > kInt32Max) return hm_fail(status::kFull, trace::kMatrixTableWork);
    st = hm_work_alloc(ctrl, static_cast<int32_t>(words), area);
    if (st != status::kOk) return hm_fail(st, trace::kMatrixTableWork);
  } else {
    return hm_fail(status::kFull, trace::kMatrixTableCorrupt);
  }

  const int32_t capacity = static_cast<int32_t>(words / extw::kWords);
  int32_t slots[2] = {0, 0};
  int32_t used[4] = {0, 0, 0, 0};
  int32_t reserved[4] = {0, 0, 0, 0};
  const ExtentTable table{word_at(ctrl, area), slots};
  hm_extent_table_init(table, capacity);
  int32_t *old_entries = word_at(ctrl, d[dw::kTableAddress]);
  st = hm_extent_copy_list(old_entries, d.at(dw::kUsedList), table, used);
  if (st == status::kOk) {
    st = hm_extent_copy_list(old_entries, d.at(dw::kReservedList), table, reserved);
  }
  if (st != status::kOk) {
    if (placement == 1) {
      hm_small_free(ctrl, dw::kSmallTableWords, area);
    } else {
      hm_work_free(ctrl, static_cast<int32_t>(words), area);
    }
    return hm_fail(st, trace::kMatrixTableCopy);
  }
  int32_t old_area = d[dw::kTableAddress];
  const int32_t old_records = d[dw::kTableRecords];
  d[dw::kTableAddress] = area;
  d[dw::kTableCapacity] = capacity;
  d[dw::kTableFree] = slots[0];
  d[dw::kTableFirstFree] = slots[1];
  for (int32_t w = 0; w < 4; ++w) {
    d[dw::kUsedList + w] = used[w];
    d[dw::kReservedList + w] = reserved[w];
  }
  d[dw::kPlacement] = placement == 1 ? 2 : 3;

  if (placement == 2) {
    st = hm_small_free(ctrl, dw::kSmallTableWords, old_area);
    if (st != status::kOk) return hm_fail(st, trace::kMatrixTableFreeSmall);
  } else if (placement == 3) {
    st = hm_work_free(ctrl, old_records * L, old_area);
    if (st != status::kOk) return hm_fail(st, trace::kMatrixTableFreeWork);
    if (cache_active()) {
      st = hm_cache_discard_range(cache_memory(), WordView(ctrl, k)[fsw::kHandle1], old_records,
                                  d[dw::kTableRecord]);
      if (st != status::kOk) return hm_fail(st, trace::kMatrixTableDiscard);
    }
    int32_t first = d[dw::kTableRecord], hint = 0;
    st = hm_index_extent_free(ctrl, k, old_records, first, hint);
    if (st != status::kOk) return hm_fail(st, trace::kMatrixTableGiveBack);
  }

  if (placement == 1) {
    d[dw::kTableOffset] = d[dw::kHeaderOffset] + dw::kHeaderPrefixWords;
  } else {
    const int32_t records = static_cast<int32_t>(words / L);
    d[dw::kTableRecords] = records;
    int32_t first = 0;
    st = hm_index_records_alloc(ctrl, k, records, first);
    if (st != status::kOk) return hm_fail(st, trace::kMatrixTableRecords);
    d[dw::kTableRecord] = first;
  }
  return status::kOk;
}

}  // namespace tessera
