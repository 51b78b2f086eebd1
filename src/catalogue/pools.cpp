// The unit, word and pair pools: first-fit takes and merging give-backs over
// each pool's extent list of free runs. A give-back is checked before the
// list is touched: a run outside the pool, or one that is partly free
// already (a double free), is refused, since merging it would corrupt the
// free list and later hand out the same words twice.
#include "catalogue/pools.h"

#include <cstdint>

#include "catalogue/extent_list.h"
#include "catalogue/pool_codes.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/trace.h"

namespace tessera {
namespace {

// One pool's words: its extent table and its free list.
struct Pool {
  ExtentTable table;
  int32_t *list;
};

Pool pool_at(int32_t *ctrl, int32_t table_word, int32_t slots_word, int32_t list_word) {
  WordView c = control_view(ctrl);
  return Pool{ExtentTable{word_at(ctrl, c[table_word]), c.at(slots_word)}, c.at(list_word)};
}

// Give back `length` units from `first` after checking it lies in units
// low..high and is not free already.
int32_t give_back(const Pool &pool, int64_t first, int64_t length, int64_t low, int64_t high) {
  if (length < 1 || first < low || first + length - 1 > high) return status::kFull;
  const auto f = static_cast<int32_t>(first);
  const auto n = static_cast<int32_t>(length);
  int32_t pred = hm_extent_locate(pool.table.entries, pool.list, f, 0);
  if (hm_extent_overlaps(pool.table.entries, pool.list, n, f, pred)) return status::kFull;
  return hm_extent_add(pool.table, pool.list, n, f, pred);
}

Pool unit_pool(int32_t *ctrl) {
  return pool_at(ctrl, cw::kUnitTable, cw::kUnitTableFree, cw::kUnitList);
}
Pool word_pool(int32_t *ctrl) {
  return pool_at(ctrl, cw::kWordTable, cw::kWordTableFree, cw::kWordList);
}
Pool pair_pool(int32_t *ctrl) {
  return pool_at(ctrl, cw::kPairTable, cw::kPairTableFree, cw::kPairList);
}

int64_t round_even(int32_t size) { return (int64_t{size} + 1) / 2 * 2; }

}  // namespace

int32_t hm_work_alloc(int32_t *ctrl, int32_t size, int32_t &address) {
  WordView c = control_view(ctrl);
  const int32_t unit = c[cw::kUnitSize];
  if (unit <= 0 || size < 1) return hm_fail(status::kFull, trace::kWorkAlloc);
  const auto units = static_cast<int32_t>((int64_t{size} + unit - 1) / unit);
  int32_t first = 0;
  if (!hm_extent_fit(unit_pool(ctrl).table, unit_pool(ctrl).list, units, first)) {
    return hm_fail(status::kFull, trace::kWorkAlloc);
  }
  address = (first - 1) * unit + c[cw::kUnitBase];
  return status::kOk;
}

int32_t hm_work_free(int32_t *ctrl, int32_t size, int32_t &address) {
  WordView c = control_view(ctrl);
  const int32_t unit = c[cw::kUnitSize];
  // A unit size of 0 means there is no pool to give back to.
  if (unit <= 0) return hm_fail(status::kFull, trace::kWorkFree);
  const int64_t offset = int64_t{address} - c[cw::kUnitBase];
  // Only unit boundaries were ever handed out.
  if (offset < 0 || offset % unit != 0) return hm_fail(status::kFull, trace::kWorkFree);
  const int64_t units = (int64_t{size} + unit - 1) / unit;
  if (give_back(unit_pool(ctrl), offset / unit + 1, units, 1, c[cw::kUnitCount]) != 0) {
    return hm_fail(status::kFull, trace::kWorkFree);
  }
  address = 0;
  return status::kOk;
}

int32_t hm_small_alloc(int32_t *ctrl, int32_t size, int32_t &address) {
  int32_t first = 0;
  const Pool pool = word_pool(ctrl);
  if (!hm_extent_fit(pool.table, pool.list, size, first)) {
    return hm_fail(status::kFull, trace::kSmallAlloc);
  }
  address = first;
  return status::kOk;
}

int32_t hm_small_free(int32_t *ctrl, int32_t size, int32_t &address) {
  WordView c = control_view(ctrl);
  const int64_t base = c[cw::kWordBase];
  if (give_back(word_pool(ctrl), address, size, base, base + c[cw::kWordSize] - 1) != 0) {
    return hm_fail(status::kFull, trace::kSmallFree);
  }
  address = 0;
  return status::kOk;
}

int32_t hm_pair_alloc(int32_t *ctrl, int32_t size, int32_t &address) {
  const int64_t words = round_even(size);
  int32_t first = 0;
  const Pool pool = pair_pool(ctrl);
  if (words > INT32_MAX ||
      !hm_extent_fit(pool.table, pool.list, static_cast<int32_t>(words), first)) {
    return hm_fail(status::kFull, trace::kPairAlloc);
  }
  address = first;
  return status::kOk;
}

int32_t hm_pair_free(int32_t *ctrl, int32_t size, int32_t &address) {
  WordView c = control_view(ctrl);
  const int64_t base = c[cw::kPairBase];
  // Every area starts an even number of words into the pool.
  if ((int64_t{address} - base) % 2 != 0 ||
      give_back(pair_pool(ctrl), address, round_even(size), base,
                base + c[cw::kPairSize] - 1) != 0) {
    return hm_fail(status::kFull, trace::kPairFree);
  }
  address = 0;
  return status::kOk;
}

}  // namespace tessera
