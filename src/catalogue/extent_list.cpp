// Extent-list primitives: locate, add with merging, first fit, take, pop,
// unlink and copy. Entries come from and go back to the table's slot list
// (stride 4, through the next word), so an entry is either free or on
// exactly one list.
#include "catalogue/extent_list.h"

#include "catalogue/extent_codes.h"
#include "common/status.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "control/trace.h"

namespace tessera {
namespace {

struct Ext {
  int32_t *entries;
  int32_t &next(int32_t e) const { return *hm_extent_word(entries, e, extw::kNext); }
  int32_t &prev(int32_t e) const { return *hm_extent_word(entries, e, extw::kPrev); }
  int32_t &length(int32_t e) const { return *hm_extent_word(entries, e, extw::kLength); }
  int32_t &first(int32_t e) const { return *hm_extent_word(entries, e, extw::kFirst); }
};

// Give an unlinked entry back to the table's free list.
void free_entry(ExtentTable table, int32_t entry) {
  hm_list_give(table.entries, extw::kWords, table.slots[0], table.slots[1], entry);
}

}  // namespace

void hm_extent_table_init(ExtentTable table, int32_t capacity) {
  hm_list_init(table.entries, extw::kWords, capacity, table.slots[0], table.slots[1]);
}

int32_t hm_extent_locate(const int32_t *entries, const int32_t *list, int32_t record,
                         int32_t start) {
  const Ext x{const_cast<int32_t *>(entries)};
  int32_t e = start > 0 ? start : list[listw::kFirst];
  // A hint past the record: step back until the walk can start there.
  while (e != 0 && x.prev(e) != 0 && record < x.first(e)) e = x.prev(e);
  while (e != 0) {
    if (record < x.first(e)) return x.prev(e);
    if (static_cast<int64_t>(record) < static_cast<int64_t>(x.first(e)) + x.length(e)) return -1;
    e = x.next(e);
  }
  return list[listw::kLast];
}

bool hm_extent_overlaps(const int32_t *entries, const int32_t *list, int32_t length,
                        int32_t first, int32_t pred) {
  if (pred < 0) return true;
  const Ext x{const_cast<int32_t *>(entries)};
  const int32_t next = pred == 0 ? list[listw::kFirst] : x.next(pred);
  return next != 0 && static_cast<int64_t>(first) + length > x.first(next);
}

void hm_extent_link(int32_t *entries, int32_t *list, int32_t entry, int32_t pred) {
  const Ext x{entries};
  const int32_t next = pred == 0 ? list[listw::kFirst] : x.next(pred);
  x.prev(entry) = pred;
  x.next(entry) = next;
  if (pred == 0) {
    list[listw::kFirst] = entry;
  } else {
    x.next(pred) = entry;
  }
  if (next == 0) {
    list[listw::kLast] = entry;
  } else {
    x.prev(next) = entry;
  }
  list[listw::kTotal] += x.length(entry);
  list[listw::kCount] += 1;
}

void hm_extent_unlink(int32_t *entries, int32_t *list, int32_t entry) {
  const Ext x{entries};
  const int32_t prev = x.prev(entry);
  const int32_t next = x.next(entry);
  if (prev == 0) {
    list[listw::kFirst] = next;
  } else {
    x.next(prev) = next;
  }
  if (next == 0) {
    list[listw::kLast] = prev;
  } else {
    x.prev(next) = prev;
  }
  list[listw::kTotal] -= x.length(entry);
  list[listw::kCount] -= 1;
}

int32_t hm_extent_add(ExtentTable table, int32_t *list, int32_t length, int32_t first,
                      int32_t &pred) {
  const Ext x{table.entries};
  const int32_t end = first + length;
  const int32_t p = pred;
  if (list[listw::kCount] > 0) {
    const int32_t last = list[listw::kLast];
    if (p != 0 && p != last) {
      const int32_t next = x.next(p);
      if (first == x.first(p) + x.length(p)) {
        if (x.first(next) == end) {
          // The run closes the gap: p swallows it and the next extent.
          const int32_t next_length = x.length(next);
          hm_extent_unlink(table.entries, list, next);
          free_entry(table, next);
          x.length(p) += length + next_length;
          list[listw::kTotal] += length + next_length;
        } else {
          x.length(p) += length;
          list[listw::kTotal] += length;
        }
        return status::kOk;
      }
      if (x.first(next) == end) {
        x.first(next) = first;
        x.length(next) += length;
        list[listw::kTotal] += length;
        pred = next;
        return status::kOk;
      }
    } else if (p != 0 && first == x.first(p) + x.length(p)) {
      x.length(p) += length;
      list[listw::kTotal] += length;
      return status::kOk;
    } else if (p == 0) {
      const int32_t head = list[listw::kFirst];
      if (x.first(head) == end) {
        x.first(head) = first;
        x.length(head) += length;
        list[listw::kTotal] += length;
        pred = head;
        return status::kOk;
      }
    }
  }
  if (table.slots[0] < 1) return status::kFull;
  const int32_t entry = hm_list_take(table.entries, extw::kWords, table.slots[0], table.slots[1]);
  x.length(entry) = length;
  x.first(entry) = first;
  hm_extent_link(table.entries, list, entry, p);
  pred = entry;
  return status::kOk;
}

bool hm_extent_fit(ExtentTable table, int32_t *list, int32_t n, int32_t &first) {
  if (n < 1) return false;
  const Ext x{table.entries};
  for (int32_t e = list[listw::kFirst]; e != 0; e = x.next(e)) {
    if (x.length(e) < n) continue;
    first = x.first(e);
    if (x.length(e) == n) {
      hm_extent_unlink(table.entries, list, e);
      free_entry(table, e);
    } else {
      x.first(e) += n;
      x.length(e) -= n;
      list[listw::kTotal] -= n;
    }
    return true;
  }
  return false;
}

int32_t hm_extent_take_one(ExtentTable table, int32_t *list) {
  int32_t record = -1;
  if (!hm_extent_fit(table, list, 1, record)) return -1;
  return record;
}

void hm_extent_pop(ExtentTable table, int32_t *list, int32_t &length, int32_t &first) {
  const Ext x{table.entries};
  const int32_t e = list[listw::kFirst];
  if (e == 0) {
    length = 0;
    first = 0;
    return;
  }
  length = x.length(e);
  first = x.first(e);
  hm_extent_unlink(table.entries, list, e);
  free_entry(table, e);
}

int32_t hm_extent_copy_list(const int32_t *old_entries, const int32_t *old_list,
                            ExtentTable table, int32_t *new_list) {
  // Checked before the first copy so that a refused copy leaves the new
  // table as it was: the caller can still fall back on the old one.
  if (table.slots[0] < old_list[listw::kCount]) {
    return hm_fail(status::kFull, trace::kExtentCopyNoEntry);
  }
  const Ext old{const_cast<int32_t *>(old_entries)};
  const Ext x{table.entries};
  for (int32_t e = old_list[listw::kFirst]; e != 0; e = old.next(e)) {
    const int32_t entry =
        hm_list_take(table.entries, extw::kWords, table.slots[0], table.slots[1]);
    x.length(entry) = old.length(e);
    x.first(entry) = old.first(e);
    hm_extent_link(table.entries, new_list, entry, new_list[listw::kLast]);
  }
  return status::kOk;
}

}  // namespace tessera
