// The symbolic step (symbolic.h).
//
// Everything here walks row subtrees: the entries of row r of the factor lie
// in the columns met when climbing the elimination tree from each column k of
// an entry (r, k) of A until r. The walk touches each entry of the factor
// once and keeps nothing but the tree and one mark per column, so it needs
// memory for the matrix and a few vectors of n, never for the factor.
#include "symbolic.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace tessera::solve {
namespace {

// Operations of one column (or block row) of the factor: order b, with the
// entries beyond the diagonal block w rows deep: its diagonal block's
// factorisation b^3/3, the triangular solve b^2 w and the update it makes
// b w^2 (pairs of blocks twice, each block with itself once).
double row_flops(double b, double w) { return b * b * b / 3.0 + b * b * w + b * w * w; }

// Calls visit(c, r) for every entry (r, c) of the factor, r ascending, the
// diagonal (r, r) first in each row; before each row, stops unless go_on().
template <class Visit, class GoOn>
void walk_rows(const SparseSym &a, const RowPattern &rows, const std::vector<int32_t> &parent,
               Visit visit, GoOn go_on) {
  std::vector<int32_t> mark(static_cast<size_t>(a.n), -1);
  for (int32_t r = 0; r < a.n && go_on(); ++r) {
    mark[r] = r;
    visit(r, r);
    for (int64_t p = rows.ptr[r]; p < rows.ptr[r + 1]; ++p)
      for (int32_t c = rows.cols[p]; mark[c] != r; c = parent[c]) {
        mark[c] = r;
        visit(c, r);
      }
  }
}

}  // namespace

RowPattern row_pattern(const SparseSym &a) {
  RowPattern rp;
  rp.ptr.assign(static_cast<size_t>(a.n) + 1, 0);
  for (int32_t k = 0; k < a.n; ++k)
    for (int64_t p = a.colptr[k]; p < a.colptr[k + 1]; ++p)
      if (a.rowind[p] > k) ++rp.ptr[a.rowind[p] + 1];
  for (int32_t r = 0; r < a.n; ++r) rp.ptr[r + 1] += rp.ptr[r];
  rp.cols.resize(static_cast<size_t>(rp.ptr[a.n]));
  std::vector<int64_t> next(rp.ptr.begin(), rp.ptr.end() - 1);
  for (int32_t k = 0; k < a.n; ++k)
    for (int64_t p = a.colptr[k]; p < a.colptr[k + 1]; ++p)
      if (a.rowind[p] > k) rp.cols[next[a.rowind[p]]++] = k;
  return rp;
}

Elimination eliminate(const SparseSym &a, double limit) {
  const int32_t n = a.n;
  Elimination e;
  e.parent.assign(static_cast<size_t>(n), -1);
  e.counts.assign(static_cast<size_t>(n), 0);
  const RowPattern rows = row_pattern(a);
  // The tree, with path compression through `ancestor`.
  std::vector<int32_t> ancestor(static_cast<size_t>(n), -1);
  for (int32_t r = 0; r < n; ++r)
    for (int64_t p = rows.ptr[r]; p < rows.ptr[r + 1]; ++p) {
      int32_t i = rows.cols[p];
      while (ancestor[i] != -1 && ancestor[i] != r) {
        const int32_t next = ancestor[i];
        ancestor[i] = r;
        i = next;
      }
      if (ancestor[i] == -1) {
        ancestor[i] = r;
        e.parent[i] = r;
      }
    }
  double seen = 0;
  walk_rows(
      a, rows, e.parent,
      [&](int32_t c, int32_t) {
        ++e.counts[c];
        ++seen;
      },
      [&] { return seen <= limit; });
  e.complete = seen <= limit;
  for (int32_t c = 0; c < n; ++c) {
    e.entries += e.counts[c];
    e.flops += row_flops(1.0, e.counts[c] - 1.0);
  }
  return e;
}

std::vector<int32_t> postorder(Elimination &e) {
  const int32_t n = static_cast<int32_t>(e.parent.size());
  // Children lists, each in ascending order.
  std::vector<int32_t> head(static_cast<size_t>(n), -1), next(static_cast<size_t>(n), -1);
  for (int32_t j = n - 1; j >= 0; --j)
    if (e.parent[j] >= 0) {
      next[j] = head[e.parent[j]];
      head[e.parent[j]] = j;
    }
  std::vector<int32_t> q, stack;
  q.reserve(static_cast<size_t>(n));
  for (int32_t root = 0; root < n; ++root) {
    if (e.parent[root] >= 0) continue;
    stack.push_back(root);
    while (!stack.empty()) {
      const int32_t v = stack.back();
      if (head[v] >= 0) {
        const int32_t c = head[v];
        head[v] = next[c];
        stack.push_back(c);
      } else {
        stack.pop_back();
        q.push_back(v);
      }
    }
  }
  // The same tree and counts under the new numbers.
  std::vector<int32_t> pos(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) pos[q[i]] = i;
  std::vector<int32_t> parent(static_cast<size_t>(n)), counts(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    parent[i] = e.parent[q[i]] < 0 ? -1 : pos[e.parent[q[i]]];
    counts[i] = e.counts[q[i]];
  }
  e.parent.swap(parent);
  e.counts.swap(counts);
  return q;
}

std::vector<int32_t> cluster_within_cliques(const SparseSym &a, const Elimination &e) {
  const int32_t n = a.n;
  const RowPattern rows = row_pattern(a);
  std::vector<int32_t> q(static_cast<size_t>(n)), newpos(static_cast<size_t>(n));
  std::iota(q.begin(), q.end(), 0);
  std::iota(newpos.begin(), newpos.end(), 0);
  std::vector<std::pair<int32_t, int32_t>> keyed;
  int32_t start = 0;
  for (int32_t j = 0; j < n; ++j) {
    // Column j + 1 continues the run when it is j's parent and j's column is
    // j + 1's with one entry more: the same rows beyond the run.
    const bool continues = j + 1 < n && e.parent[j] == j + 1 && e.counts[j] == e.counts[j + 1] + 1;
    if (continues) continue;
    const int32_t end = j + 1;
    if (end - start > 2) {
      keyed.clear();
      for (int32_t v = start; v < end; ++v) {
        // The earliest position, in the new numbering, of a column below the
        // run that v is joined to; those above or inside the run do not count.
        int32_t key = std::numeric_limits<int32_t>::max();
        for (int64_t p = rows.ptr[v]; p < rows.ptr[v + 1]; ++p)
          if (rows.cols[p] < start) key = std::min(key, newpos[rows.cols[p]]);
        keyed.emplace_back(key, v);
      }
      std::stable_sort(keyed.begin(), keyed.end(),
                       [](const auto &x, const auto &y) { return x.first < y.first; });
      for (int32_t t = 0; t < end - start; ++t) {
        q[start + t] = keyed[t].second;
        newpos[keyed[t].second] = start + t;
      }
    }
    start = end;
  }
  return q;
}

BlockStructure block_structure(const SparseSym &a, const Elimination &e, int32_t nb) {
  if (nb < 1) throw std::invalid_argument("block order below 1");
  BlockStructure s;
  s.n = a.n;
  s.nb = nb;
  s.nbk = static_cast<int32_t>((int64_t{a.n} + nb - 1) / nb);
  const RowPattern rows = row_pattern(a);
  // Pairs (I, J) in the order the walk meets them: J never decreases, so one
  // mark per block row keeps each pair once and the rows come out sorted.
  std::vector<int32_t> last(static_cast<size_t>(s.nbk), -1);
  std::vector<std::pair<int32_t, int32_t>> pairs;
  walk_rows(
      a, rows, e.parent,
      [&](int32_t c, int32_t r) {
        const int32_t I = c / nb, J = r / nb;
        if (last[I] != J) {
          last[I] = J;
          pairs.emplace_back(I, J);
        }
      },
      [] { return true; });
  s.rowptr.assign(static_cast<size_t>(s.nbk) + 1, 0);
  for (const auto &[I, J] : pairs) ++s.rowptr[I + 1];
  for (int32_t I = 0; I < s.nbk; ++I) s.rowptr[I + 1] += s.rowptr[I];
  s.cols.resize(pairs.size());
  std::vector<int64_t> next(s.rowptr.begin(), s.rowptr.end() - 1);
  for (const auto &[I, J] : pairs) s.cols[next[I]++] = J;
  return s;
}

BlockStructure dense_structure(int32_t n, int32_t nb) {
  if (nb < 1) throw std::invalid_argument("block order below 1");
  BlockStructure s;
  s.n = n;
  s.nb = nb;
  s.nbk = static_cast<int32_t>((int64_t{n} + nb - 1) / nb);
  s.rowptr.assign(static_cast<size_t>(s.nbk) + 1, 0);
  s.cols.reserve(static_cast<size_t>(s.nbk) * (s.nbk + 1) / 2);
  for (int32_t I = 0; I < s.nbk; ++I) {
    for (int32_t J = I; J < s.nbk; ++J) s.cols.push_back(J);
    s.rowptr[I + 1] = static_cast<int64_t>(s.cols.size());
  }
  return s;
}

double predict_rows(const BlockStructure &s, int32_t r0, int32_t r1) {
  double flops = 0;
  for (int32_t I = r0; I < r1; ++I) {
    double w = 0;
    for (const int32_t *q = s.begin(I) + 1; q != s.end(I); ++q) w += s.size(*q);
    flops += row_flops(s.size(I), w);
  }
  return flops;
}

Prediction predict(const BlockStructure &s) {
  Prediction p;
  p.blocks = s.blocks();
  p.bytes = static_cast<double>(p.blocks) * 8.0 * s.nb * s.nb;
  p.flops = predict_rows(s, 0, s.nbk);
  return p;
}

ColumnLists column_lists(const BlockStructure &s) {
  ColumnLists c;
  c.ptr.assign(static_cast<size_t>(s.nbk) + 1, 0);
  for (int32_t I = 0; I < s.nbk; ++I)
    for (const int32_t *q = s.begin(I) + 1; q != s.end(I); ++q) ++c.ptr[*q + 1];
  for (int32_t J = 0; J < s.nbk; ++J) c.ptr[J + 1] += c.ptr[J];
  c.rows.resize(static_cast<size_t>(c.ptr[s.nbk]));
  std::vector<int64_t> next(c.ptr.begin(), c.ptr.end() - 1);
  for (int32_t I = 0; I < s.nbk; ++I)
    for (const int32_t *q = s.begin(I) + 1; q != s.end(I); ++q) c.rows[next[*q]++] = I;
  return c;
}

}  // namespace tessera::solve
