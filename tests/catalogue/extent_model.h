// An independent model of a free list for the extent-list and pool tests: a
// plain set of free records (or units, or words), with the maximal runs and
// a first fit computed from it directly.
#pragma once

#include <cstdint>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "catalogue/extent_list.h"
#include "control/control_words.h"

namespace tessera::test {

struct FreeModel {
  std::set<int32_t> free;

  void add(int32_t first, int32_t length) {
    for (int32_t r = first; r < first + length; ++r) free.insert(r);
  }
  bool any_free(int32_t first, int32_t length) const {
    auto it = free.lower_bound(first);
    return it != free.end() && *it < first + length;
  }
  // Maximal runs of consecutive free records, ascending: (first, length).
  std::vector<std::pair<int32_t, int32_t>> runs() const {
    std::vector<std::pair<int32_t, int32_t>> out;
    for (int32_t r : free) {
      if (!out.empty() && out.back().first + out.back().second == r) {
        ++out.back().second;
      } else {
        out.emplace_back(r, 1);
      }
    }
    return out;
  }
  // First run at least n long gives its first n records.
  bool fit(int32_t n, int32_t &first) {
    for (auto [f, len] : runs()) {
      if (len >= n) {
        first = f;
        for (int32_t r = f; r < f + n; ++r) free.erase(r);
        return true;
      }
    }
    return false;
  }
};

// The extents of a list as (first, length), walking the next links.
inline std::vector<std::pair<int32_t, int32_t>> extents_of(const int32_t *entries,
                                                           const int32_t *list) {
  std::vector<std::pair<int32_t, int32_t>> out;
  for (int32_t e = list[listw::kFirst]; e != 0 && out.size() < 100000;
       e = *hm_extent_word(entries, e, extw::kNext)) {
    out.emplace_back(*hm_extent_word(entries, e, extw::kFirst),
                     *hm_extent_word(entries, e, extw::kLength));
  }
  return out;
}

}  // namespace tessera::test
