// Invariant checkers for extent lists, extent tables, the work-space pools
// and node-table trees. They only read; each returns true when the structure
// is sound and otherwise false with a one-line reason in *why (when given).
// Used by the tests after every operation and by the consistency checker.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/tree.h"

namespace tessera {

// One list of a table: sorted by first, never adjacent, never overlapping,
// every extent at least one long, prev/next links consistent, first and last
// right, count and total right, every entry within 1..capacity and reached
// once.
bool hm_check_extent_list(const int32_t *entries, int32_t capacity, const int32_t *list,
                          std::string *why);

// A whole table: each of the `nlists` lists is sound, and every entry is
// either on the free slot list (free count, first free: `slots`) or on
// exactly one list, so no entry is leaked or shared.
bool hm_check_extent_table(const int32_t *entries, int32_t capacity, const int32_t *slots,
                           const int32_t *const *lists, int32_t nlists, std::string *why);

// The unit, word and pair pools of a control area whose pools are laid out:
// each table as above, and every free run inside its pool (pair-pool runs at
// even offsets with even lengths). A fresh area (no pools yet) passes.
bool hm_check_pools(int32_t *ctrl, std::string *why);

// A node-table tree: in-order keys strictly ascending (signed words), every
// balance word equal to the real height difference and within -1..1, parent
// and side words consistent with the child links, the root's parent and side
// 0, nodes within 1..capacity, none reached twice, and `count` nodes.
bool hm_check_tree(const NodeTable &t, int32_t capacity, int32_t count, int32_t root,
                   std::string *why);

}  // namespace tessera
