// The symbolic step: the structure of the factor U (A = U^T S U) before any
// number is touched.
//
// First the elimination of the matrix column by column (its elimination
// tree and the entries of each column of the factor), then the block
// structure at a block order nb: block (I, J) of U exists when some entry of
// the factor falls in it. A block outside that structure is zero whatever the
// values, also in the blocked arithmetic (each of its terms has a zero
// factor), so it is never created, read or multiplied.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "problem.h"

namespace tessera::solve {

// The pattern of the lower triangle by rows: row r holds the columns k < r
// with an entry (r, k), ascending.
struct RowPattern {
  std::vector<int64_t> ptr;
  std::vector<int32_t> cols;
};
RowPattern row_pattern(const SparseSym &a);

// The column-by-column elimination of a (already in the factor's numbering).
struct Elimination {
  std::vector<int32_t> parent;  // elimination tree; -1 at a root
  std::vector<int32_t> counts;  // entries of each column of the factor, diagonal included
  double entries = 0;           // entries of the factor
  double flops = 0;             // operations of the factorisation element by element
  bool complete = true;         // false: given up at the limit (counts, entries, flops partial)
};
// Gives up (complete = false) once the factor has more than limit entries.
TESSERA_SOLVE_API Elimination eliminate(const SparseSym &a,
                                        double limit = std::numeric_limits<double>::infinity());

// A postorder of the elimination tree: each subtree's columns numbered
// consecutively, its root last, the children of a column taken in their
// present order. The factor's entries and operations do not change (any
// numbering in which each column follows its descendants has the same
// factor), but a run of consecutive columns then lies in few subtrees, whose
// rows of the factor reach the same few blocks. Returns q with q[new] = old,
// and turns e into the elimination of the renumbered matrix.
TESSERA_SOLVE_API std::vector<int32_t> postorder(Elimination &e);

// A renumbering inside each run of columns that the elimination makes one
// dense clique with a common structure beyond it (a separator of a nested
// dissection, for instance): the columns are sorted by the earliest column
// they are joined to below the run. Each part of an earlier subtree then meets
// the run in a few contiguous pieces, so its rows of the factor fill few
// blocks. The run itself keeps its entries; the subtrees joined to it may
// meet fewer or more of its columns, so the factor's entries and operations
// change a little (the caller eliminates again). Returns q with q[new] = old.
TESSERA_SOLVE_API std::vector<int32_t> cluster_within_cliques(const SparseSym &a,
                                                               const Elimination &e);

struct BlockStructure {
  int32_t n = 0;    // order of the matrix
  int32_t nb = 0;   // block order
  int32_t nbk = 0;  // block rows (and columns): ceil(n / nb)
  // Block row I holds the blocks (I, cols[k]) for rowptr[I] <= k < rowptr[I+1],
  // ascending; the first is always I itself.
  std::vector<int64_t> rowptr;
  std::vector<int32_t> cols;

  int32_t size(int32_t block) const { return block + 1 < nbk ? nb : n - (nbk - 1) * nb; }
  int64_t blocks() const { return rowptr.empty() ? 0 : rowptr.back(); }
  const int32_t *begin(int32_t row) const { return cols.data() + rowptr[row]; }
  const int32_t *end(int32_t row) const { return cols.data() + rowptr[row + 1]; }
  int32_t count(int32_t row) const { return static_cast<int32_t>(rowptr[row + 1] - rowptr[row]); }
};

// The blocks of the factor of a (in the factor's numbering) at block order nb.
TESSERA_SOLVE_API BlockStructure block_structure(const SparseSym &a, const Elimination &e,
                                                 int32_t nb);
// Every block on and above the diagonal.
TESSERA_SOLVE_API BlockStructure dense_structure(int32_t n, int32_t nb);

// What the blocked factorisation will cost, from the structure alone.
struct Prediction {
  int64_t blocks = 0;  // stored blocks of U
  double bytes = 0;    // bytes of U's records (a block fills one record)
  double flops = 0;    // floating-point operations of the blocked factorisation
};
TESSERA_SOLVE_API Prediction predict(const BlockStructure &s);
// The operations of block rows [r0, r1) alone.
double predict_rows(const BlockStructure &s, int32_t r0, int32_t r1);

// The transposed structure: for block column J, the block rows Q < J that
// hold (Q, J), ascending.
struct ColumnLists {
  std::vector<int64_t> ptr;
  std::vector<int32_t> rows;
};
ColumnLists column_lists(const BlockStructure &s);

}  // namespace tessera::solve
