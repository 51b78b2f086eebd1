// What hmoldm (and a kill of a matrix opened read-only) reads from disk about
// a matrix, checked before any of it positions, sizes or divides anything:
// the header slot a directory node names, the 128 words of the stored header
// and the saved extent table with its used-record list.
//
// A header of placement 1 carries its block geometry twice (the shape in
// words 10-20, the derived words 42-76 as they were computed at creation),
// and every header carries word 38, which creation derived from the shape;
// the restore compares them (matrix_open.cpp). Placements 2 and 3 keep their
// extent table where words 42-128 were, so only word 38 is left there.
//
// Every check returns the trace code of the first rule broken, 0 when all
// hold; the caller refuses with status 164 and that code.
#pragma once

#include <cstdint>

namespace tessera {

// Node words 5-6 of a directory node: a record of the set at k past its
// header records, and an offset 1, 129, 257, ... whose 128 words fit it.
int32_t hm_header_slot_fault(int32_t *ctrl, int32_t k, int32_t record, int32_t offset);

// Words 1-41 of the header just read into descriptor D from the set at k:
// key words 1-4 and slot words 8-9 as the directory gave them, then type,
// shape, form, band, hyperblock order, extent-table placement and location,
// index root and height, current packed records. (Word 92 is still the
// stored one, or for placement 2 a word of the table, hence k.)
int32_t hm_header_fault(int32_t *ctrl, int32_t D, int32_t k, const int32_t *key, int32_t record,
                        int32_t offset);

// The extent table of D (of the set at k) whose entries begin at `entries` (capacity, free
// entries and used-record list in descriptor words 26-32): a sound table
// whose every entry is free or on the used list, the used records inside
// the set, none of them free in lists A or B, none of them the header's
// record or the saved table's; and the index root and the current packed
// records among them.
int32_t hm_extent_table_fault(int32_t *ctrl, int32_t D, int32_t k, const int32_t *entries);

// The entries of D's extent table while it is in the control area (word 85,
// or the descriptor's own words 101-128 for placement 1, there also when the
// matrix is open read-only); nullptr when it is not.
const int32_t *hm_used_table(int32_t *ctrl, int32_t D);

// True when each of the n records sorted[i * stride] (ascending) lies in
// the extent list `list` of the table at `entries`; the words between them
// are the caller's. One merge walk: O(n + extents).
bool hm_used_covers(const int32_t *entries, const int32_t *list, const int32_t *sorted,
                    int32_t n, int32_t stride = 1);

}  // namespace tessera
