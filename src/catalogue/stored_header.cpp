// Checks of a stored matrix header, its slot and its saved extent table
// (stored_header.h). They only read; the callers refuse and clean up.
#include "catalogue/stored_header.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_list.h"
#include "catalogue/invariants.h"
#include "catalogue/matrix_codes.h"
#include "common/type_form.h"
#include "common/word_view.h"
#include "control/control_words.h"

namespace tessera {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kHeaderWords = dw::kWords;


constexpr int32_t kPlacementSlot = 1;
constexpr int32_t kPlacementSmall = 2;
constexpr int32_t kPlacementRecords = 3;
// Entries of the word-pool table of placement 2 (87 words, 4 a entry).
constexpr int32_t kSmallTableEntries = dw::kSmallTableWords / extw::kWords;

// A product takes three directories of 7 b1^2 words from the pair pool, and
// a block position number is formed with b1 as a factor; an order above
// this cannot come from any control area and would overflow both.
constexpr int32_t kMaxHyperOrder = 1 << 14;

bool one_column(int32_t t) { return t == etype::kInt32Column || t == etype::kInt32ItemsColumn; }

// Set words the checks measure records against: the header records before
// `first_record`, the end of the set.
struct SetBounds {
  int32_t first_record;
  int32_t end;
  bool holds(int64_t record) const { return record >= first_record && record < end; }
  bool holds(int64_t first, int64_t length) const {
    return length >= 1 && first >= first_record && first + length <= end;
  }
};

SetBounds bounds_of(WordView fs) {
  return SetBounds{fs[fsw::kFirstHeaderRecord] + fs[fsw::kHeaderRecords], fs[fsw::kEnd]};
}

// A walk along one free list of the set (A or B) for runs given in
// ascending order: each question moves it only forward, so checking every
// extent of a sorted list against it costs one pass over both.
class FreeWalk {
 public:
  FreeWalk(int32_t *ctrl, WordView fs, int32_t list)
      : entries_(word_at(ctrl, fs[fsw::kTablePos])),
        e_(fs[list + listw::kFirst]),
        left_(fs[list + listw::kCount]) {}

  // True when some record of [first, first + length) is free in the list.
  // `first` never decreases from one call to the next.
  bool frees(int64_t first, int64_t length) {
    while (e_ != 0 && left_ > 0 && end_of(e_) <= first) {
      e_ = *hm_extent_word(entries_, e_, extw::kNext);
      --left_;
    }
    return e_ != 0 && left_ > 0 && *hm_extent_word(entries_, e_, extw::kFirst) < first + length;
  }

 private:
  int64_t end_of(int32_t e) const {
    return int64_t{*hm_extent_word(entries_, e, extw::kFirst)} +
           *hm_extent_word(entries_, e, extw::kLength);
  }
  const int32_t *entries_;
  int32_t e_, left_;
};

bool free_in_set(int32_t *ctrl, WordView fs, int64_t first, int64_t length) {
  FreeWalk a(ctrl, fs, fsw::kListA), b(ctrl, fs, fsw::kListB);
  return a.frees(first, length) || b.frees(first, length);
}

bool overlaps(int64_t a, int64_t an, int64_t b, int64_t bn) { return a < b + bn && b < a + an; }

}  // namespace

int32_t hm_header_slot_fault(int32_t *ctrl, int32_t k, int32_t record, int32_t offset) {
  WordView fs(ctrl, k);
  const int64_t L = fs[fsw::kRecordLength];
  const SetBounds set = bounds_of(fs);
  const bool slot = offset >= 1 && (offset - 1) % kHeaderWords == 0 &&
                    int64_t{offset} + kHeaderWords - 1 <= L;
  if (!slot || !set.holds(record) || free_in_set(ctrl, fs, record, 1)) return trace::kHeaderSlot;
  return 0;
}

int32_t hm_header_fault(int32_t *ctrl, int32_t D, int32_t k, const int32_t *key, int32_t record,
                        int32_t offset) {
  WordView d(ctrl, D);
  WordView fs(ctrl, k);
  const int64_t L = fs[fsw::kRecordLength];
  const SetBounds set = bounds_of(fs);

  bool same = d[dw::kHeaderRecord] == record && d[dw::kHeaderOffset] == offset;
  for (int32_t w = 0; w < dw::kKeyWords; ++w) same = same && d[dw::kQualifier + w] == key[w];
  if (!same) return trace::kHeaderKey;

  const int32_t t = d[dw::kType];
  if (t < 1 || t > etype::kLast || d[dw::kItems] < 1) return trace::kHeaderType;

  const int32_t s = d[dw::kForm];
  const bool triangle = s == form::kSymmetric || s == form::kUpper;
  if (s < 1 || s > form::kLast || d[dw::kTriangle] != (triangle ? 1 : 0)) return trace::kHeaderForm;

  // Creation refuses a symmetric matrix that is not square (or, of a type
  // with one stored column, not 1 x 1), so none is ever stored.
  const int32_t m = d[dw::kRows], n = d[dw::kCols];
  const int32_t stored_cols = (s == form::kDiagonal || one_column(t)) ? 1 : n;
  if (m < 1 || n < 1 || d[dw::kStoredCols] != stored_cols ||
      (s == form::kSymmetric && (m != n || (one_column(t) && m != 1))))
    return trace::kHeaderShape;

  // Both band widths are 0 for a diagonal matrix, the one band width given
  // at creation, or m - 1 and n - 1.
  const int32_t lower = d[dw::kLowerBand], upper = d[dw::kUpperBand];
  const bool band = s == form::kDiagonal ? lower == 0 && upper == 0
                                       : (lower == upper && lower >= 0) ||
                                             (lower == m - 1 && upper == n - 1);
  if (!band) return trace::kHeaderBand;

  // An order of 0 is the restore's to refuse (status 105).
  const int32_t b1 = d[dw::kHyperOrder];
  if (b1 < 0 || b1 > kMaxHyperOrder) return trace::kHeaderHyperOrder;

  // Where the extent table is and how many entries it has.
  const int32_t placement = d[dw::kPlacement];
  const int32_t capacity = d[dw::kTableCapacity];
  bool table = false;
  if (placement == kPlacementSlot) {
    table = capacity == dw::kInSlotEntries;
  } else if (placement == kPlacementSmall) {
    table = capacity == kSmallTableEntries;
  } else if (placement == kPlacementRecords) {
    const int64_t records = d[dw::kTableRecords];
    const int64_t first = d[dw::kTableRecord];
    table = records >= 1 && records * L <= kInt32Max && set.holds(first, records) &&
            capacity == records * L / extw::kWords &&
            !overlaps(first, records, record, 1);
  }
  table = table && d[dw::kTableFree] >= 0 && d[dw::kTableFree] <= capacity &&
          d[dw::kTableFirstFree] >= 0 && d[dw::kTableFirstFree] <= capacity;
  if (!table) return trace::kHeaderTableWords;

  // An empty index has no root, no height and no nodes; a stored one a
  // root record of the set and a height the search path can hold.
  const int32_t root = d[dw::kIndexRoot];
  const bool index =
      root == 0 ? d[dw::kIndexNodes] == 0 && d[dw::kIndexHeight] == 0
                : set.holds(root) && root != record && d[dw::kIndexNodes] >= 1 &&
                      d[dw::kIndexHeight] >= 1 &&
                      d[dw::kIndexHeight] <= fs[fsw::kStack1Capacity];
  if (!index || d[dw::kIndexEntries] < 0) return trace::kHeaderIndex;

  for (int32_t w : {dw::kRightPacked, dw::kBottomPacked}) {
    if (d[w] != 0 && (!set.holds(d[w]) || d[w] == record || d[w] == root || triangle))
      return trace::kHeaderPacked;
  }
  return 0;
}

const int32_t *hm_used_table(int32_t *ctrl, int32_t D) {
  WordView d(ctrl, D);
  if (d[dw::kTableAddress] != 0) return word_at(ctrl, d[dw::kTableAddress]);
  if (d[dw::kPlacement] == kPlacementSlot) return d.at(dw::kInSlotTable);
  return nullptr;
}

bool hm_used_covers(const int32_t *entries, const int32_t *list, const int32_t *sorted,
                    int32_t n, int32_t stride) {
  int32_t e = list[listw::kFirst];
  int32_t left = list[listw::kCount];
  for (int32_t i = 0; i < n; ++i) {
    const int64_t v = sorted[static_cast<ptrdiff_t>(i) * stride];
    while (e != 0 && left > 0 &&
           int64_t{*hm_extent_word(entries, e, extw::kFirst)} +
                   *hm_extent_word(entries, e, extw::kLength) <=
               v) {
      e = *hm_extent_word(entries, e, extw::kNext);
      --left;
    }
    if (e == 0 || left <= 0 || *hm_extent_word(entries, e, extw::kFirst) > v) return false;
  }
  return true;
}

int32_t hm_extent_table_fault(int32_t *ctrl, int32_t D, int32_t k, const int32_t *entries) {
  WordView d(ctrl, D);
  WordView fs(ctrl, k);
  const SetBounds set = bounds_of(fs);
  const int32_t *used = d.at(dw::kUsedList);
  bool sound = false;
  try {
    sound = hm_check_extent_table(entries, d[dw::kTableCapacity], d.at(dw::kTableFree), &used, 1,
                                  nullptr);
  } catch (const std::bad_alloc &) {
    sound = false;
  }
  if (!sound) return trace::kTableUnsound;

  // The list is sound, so its walk ends after its count of extents, in
  // ascending order, as the free-list walks need.
  const bool records_table = d[dw::kPlacement] == kPlacementRecords;
  FreeWalk free_a(ctrl, fs, fsw::kListA), free_b(ctrl, fs, fsw::kListB);
  for (int32_t e = used[listw::kFirst]; e != 0; e = *hm_extent_word(entries, e, extw::kNext)) {
    const int64_t first = *hm_extent_word(entries, e, extw::kFirst);
    const int64_t length = *hm_extent_word(entries, e, extw::kLength);
    if (!set.holds(first, length) || free_a.frees(first, length) || free_b.frees(first, length) ||
        overlaps(first, length, d[dw::kHeaderRecord], 1) ||
        (records_table && overlaps(first, length, d[dw::kTableRecord], d[dw::kTableRecords])))
      return trace::kTableOutside;
  }

  for (int32_t w : {dw::kIndexRoot, dw::kRightPacked, dw::kBottomPacked}) {
    if (d[w] != 0 && !hm_used_covers(entries, used, d.at(w), 1)) return trace::kTableIndexOwner;
  }
  return 0;
}

}  // namespace tessera
