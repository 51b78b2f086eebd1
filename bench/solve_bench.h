// solve_bench: the solver against the solvers a user would otherwise pick,
// each run in a process of its own so that its peak resident set is its own.
//
// The driver (solve_bench.cpp) holds no matrix: it starts this same program
// once per run with --child, reads the one line of results the child prints
// and the child's resource usage from wait4, and prints the table. The sides
// (solve_bench_sides.cpp) are what a child runs.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace solve_bench {

// What the driver hands a child on its command line.
struct ChildTask {
  std::string side;     // lapack, cholmod, reference, mumps, mumps-ooc, tessera, prepare
  std::string problem;  // a generated problem: dense-spd:4096, laplace3d:50, ...
  std::string dir;      // the run's own directory (files of the solver or of MUMPS)
  std::string set;      // a file set holding the dense matrix as A (tessera, prepare)
  int64_t memory = 0;   // tessera's --memory in bytes, 0 its default
  int block_order = 0;  // tessera's --block-order, 0 its own choice
  bool cold = false;    // drop the set's files from the page cache before the factorisation
  int threads = 0;      // BLAS threads
  std::string mumps_ordering = "metis";
};

// The line a child prints before its results.
inline constexpr const char *kResultTag = "SOLVE_BENCH_RESULT ";

// Name of the matrix the prepare side writes and tessera reads.
inline constexpr const char *kSetMatrix = "A";

// A solution is accepted when ||b - A x|| / (||A|| ||x|| eps) stays below
// this (infinity norms), as the solver's own tests demand.
inline constexpr double kResidualBound = 100;

// Runs one side in this process and returns its results (always with "ok";
// "message" when not ok).
nlohmann::json run_side(const ChildTask &task);

// Versions of the peers compiled in (from their headers).
nlohmann::json header_versions();

}  // namespace solve_bench
