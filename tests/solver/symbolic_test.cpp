// The symbolic step's renumberings against a fresh elimination of the
// renumbered matrix, and block orders whose grid the library cannot index.
#include "symbolic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "generate.h"
#include "ordering.h"
#include "solver.h"

namespace tessera::test {
namespace {

namespace ts = solve;

// A postorder keeps the factor (the same tree and column counts under the new
// numbers, as a fresh elimination finds them) and numbers every subtree
// consecutively with its root last.
TEST(Symbolic, PostorderKeepsTheFactorAndNumbersSubtreesConsecutively) {
  for (const char *problem_name : {"laplace2d:23", "laplace3d:9", "elasticity3d:3"}) {
    SCOPED_TRACE(problem_name);
    const ts::SparseSym a = ts::make_problem(problem_name).sparse;
    for (ts::Ordering ord : {ts::Ordering::nested_dissection, ts::Ordering::natural}) {
      const std::vector<int32_t> p = ts::compute_ordering(a, ord);
      ts::Elimination e = ts::eliminate(ts::permute(a, p));
      const ts::Elimination before = e;
      const std::vector<int32_t> q = ts::postorder(e);
      std::vector<int32_t> sorted = q;
      std::sort(sorted.begin(), sorted.end());
      std::vector<int32_t> identity(q.size());
      std::iota(identity.begin(), identity.end(), 0);
      ASSERT_EQ(sorted, identity);
      std::vector<int32_t> pq(static_cast<size_t>(a.n));
      for (int32_t i = 0; i < a.n; ++i) pq[i] = p[q[i]];
      const ts::SparseSym b = ts::permute(a, pq);
      const ts::Elimination fresh = ts::eliminate(b);
      EXPECT_EQ(e.parent, fresh.parent);
      EXPECT_EQ(e.counts, fresh.counts);
      EXPECT_EQ(fresh.entries, before.entries);
      EXPECT_DOUBLE_EQ(fresh.flops, before.flops);
      // Subtree of v: the columns v - size + 1 .. v.
      std::vector<int32_t> size(static_cast<size_t>(a.n), 1);
      for (int32_t v = 0; v < a.n; ++v)
        if (e.parent[v] >= 0) {
          ASSERT_GT(e.parent[v], v);
          size[e.parent[v]] += size[v];
        }
      for (int32_t v = 0; v < a.n; ++v)
        if (e.parent[v] >= 0) {
          const int32_t pv = e.parent[v];
          EXPECT_GE(v - size[v] + 1, pv - size[pv] + 1) << "column " << v;
        }
    }
  }
}

// A block order whose grid has more places than the library counts is refused
// as bad input before anything is written, naming the least order that works.
TEST(Symbolic, BlockOrderTooSmallForTheGridIsRefusedUpFront) {
  ts::SolveOptions o;
  o.generate = "band:800000:1";
  o.block_order = 16;
  o.ordering = ts::Ordering::natural;
  o.work_dir = ::testing::TempDir();
  try {
    ts::run_solve(o);
    FAIL() << "block order 16 accepted for 800000 unknowns";
  } catch (const ts::SolveError &e) {
    EXPECT_EQ(e.kind, ts::Failure::input) << e.what();
    EXPECT_NE(std::string(e.what()).find("at least 18"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tessera::test
