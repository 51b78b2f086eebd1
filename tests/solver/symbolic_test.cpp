// Block orders whose grid the library cannot index.
#include "symbolic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "generate.h"
#include "ordering.h"
#include "solver.h"

namespace tessera::test {
namespace {

namespace ts = solve;

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
