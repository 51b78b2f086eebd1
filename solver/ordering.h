// Fill-reducing orderings of a symmetric matrix's graph, and the permuted
// matrix. A permutation is kept as perm[new] = old: row and column i of the
// permuted matrix are row and column perm[i] of the original.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "problem.h"

namespace tessera::solve {

enum class Ordering : int32_t {
  automatic = 0,          // the candidate with the fewest predicted factor flops
  nested_dissection = 1,  // METIS
  reverse_cuthill_mckee = 2,
  natural = 3,
};

TESSERA_SOLVE_API const char *ordering_name(Ordering o);
// "auto", "nd", "rcm" or "natural"; throws InputError for anything else.
TESSERA_SOLVE_API Ordering parse_ordering(const std::string &s);

// The permutation of a named method (not automatic) for the graph of a.
TESSERA_SOLVE_API std::vector<int32_t> compute_ordering(const SparseSym &a, Ordering method);

// P A P^T of the lower triangle a, again as a lower triangle.
TESSERA_SOLVE_API SparseSym permute(const SparseSym &a, const std::vector<int32_t> &perm);

// Bytes the ordering of a needs at most besides the matrix (its graph and
// the method's work space); automatic counts as nested dissection, the
// largest.
int64_t ordering_bytes(const SparseSym &a, Ordering method);

}  // namespace tessera::solve
