// Sorted extent lists: the one allocation structure of the library.
//
// An extent table is an array of 4-word entries (next, previous, length,
// first; see extw) numbered from 1, whose free entries form a slot list
// through word 1. An extent list is four words (total, count, first entry,
// last entry; see listw). Its extents are sorted by first record, never
// overlap and are never adjacent: adding merges with the neighbours.
//
// The same code serves file-set free lists A and B, every matrix's reserved
// and used records, and the unit, word and pair pools.
#pragma once

#include <cstdint>

#include "catalogue/descriptor_words.h"

namespace tessera {

// An extent table: `entries` points at word 1 of entry 1; `slots` at its two
// free-list words (free count, first free entry).
struct ExtentTable {
  int32_t *entries;
  int32_t *slots;
};

// Make all `capacity` entries of a table free.
void hm_extent_table_init(ExtentTable table, int32_t capacity);

// Address of word w (extw) of entry e.
inline int32_t *hm_extent_word(int32_t *entries, int32_t e, int32_t w) {
  return entries + (e - 1) * extw::kWords + (w - 1);
}
inline const int32_t *hm_extent_word(const int32_t *entries, int32_t e, int32_t w) {
  return entries + (e - 1) * extw::kWords + (w - 1);
}

// The extent after which `record` belongs, starting the walk at extent
// `start` (normally the list's first): 0 when it belongs before the first,
// -1 when it lies inside an existing extent. `start` is only a hint: 0 means
// the list's first, and a start past the record walks back first, so a stale
// hint never yields a wrong place.
int32_t hm_extent_locate(const int32_t *entries, const int32_t *list, int32_t record,
                         int32_t start);
// True when the run [first, first + length) cannot be added after `pred`
// (from hm_extent_locate) because part of it is already in the list: pred is
// -1, or the run reaches into the extent that follows pred. A give-back that
// overlaps is a double free and must be refused before hm_extent_add.
bool hm_extent_overlaps(const int32_t *entries, const int32_t *list, int32_t length,
                        int32_t first, int32_t pred);
// Link a filled entry after `pred` (0: at the front); total and count grow.
void hm_extent_link(int32_t *entries, int32_t *list, int32_t entry, int32_t pred);
// Add `length` records from `first` after `pred` (from hm_extent_locate),
// merging with neighbours. On return pred is the extent that holds the run.
// Returns status::kFull (nothing changed) when a new entry is needed and none
// is free; pushes no trace code. The caller has refused overlapping runs.
int32_t hm_extent_add(ExtentTable table, int32_t *list, int32_t length, int32_t first,
                      int32_t &pred);
// First fit: take n records from the first extent at least n long (an
// extent of exactly n is unlinked and its entry freed). Returns false
// (nothing changed) when none is, or when n < 1.
bool hm_extent_fit(ExtentTable table, int32_t *list, int32_t n, int32_t &first);
// Take the first record of the first extent. The list must not be empty; on
// an empty list nothing changes and -1 is returned.
int32_t hm_extent_take_one(ExtentTable table, int32_t *list);
// Remove the first extent whole and free its entry. On an empty list nothing
// changes and length and first are 0.
void hm_extent_pop(ExtentTable table, int32_t *list, int32_t &length, int32_t &first);
// Unlink an entry from its list; its length leaves the total. The entry is
// not freed.
void hm_extent_unlink(int32_t *entries, int32_t *list, int32_t entry);
// Copy every extent of a list, in order, to the end of a list of a new table
// (normally empty). Returns status::kFull and pushes 32654, with nothing
// copied, when the new table has fewer free entries than the list has extents.
int32_t hm_extent_copy_list(const int32_t *old_entries, const int32_t *old_list,
                            ExtentTable table, int32_t *new_list);

}  // namespace tessera
