// What a solve reports: the problem, what the symbolic step predicted, the
// time of each phase, the traffic with the files, memory, and the quality of
// the solution. The same fields go to the final table, to one JSON object and
// to the C interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "problem.h"

namespace tessera::solve {

// A tiny pivot crudr replaced, in the user's numbering (1-based column).
struct TinyPivotReport {
  int64_t column = 0;
  double value = 0;
};

struct TESSERA_SOLVE_API SolveReport {
  // The problem.
  std::string problem;
  int32_t n = 0;
  int64_t entries = 0;  // stored entries of the lower triangle (dense: n (n + 1) / 2)
  bool dense = false;

  // The factor.
  std::string ordering;      // nd, rcm, natural
  int32_t block_order = 0;   // nb
  int64_t blocks = 0;        // stored blocks of U
  double factor_bytes = 0;   // of U's records
  double flops = 0;          // predicted operations of the factorisation
  double scalar_entries = 0; // entries of the factor element by element
  double scalar_flops = 0;   // operations element by element
  int32_t panels = 0;
  std::string factor_file;
  bool factor_kept = false;
  bool factor_reused = false;  // solved with an existing factor (--factor)
  int32_t resumed_at = -1;     // block row a resumed factorisation went on from
  int32_t checkpoints = 0;

  // Time in seconds of each phase.
  double read_seconds = 0, order_seconds = 0, symbolic_seconds = 0, factor_seconds = 0,
         solve_seconds = 0;
  // Inside the factorisation: the library's reads and writes (checkpoints
  // included), the BLAS and crudr, and taking A's entries into the tiles.
  double factor_io_seconds = 0, factor_blas_seconds = 0, factor_fill_seconds = 0;
  double factor_flops_done = 0;  // operations done in this session
  double gflops = 0;             // of the factorisation
  double mb_read = 0, mb_written = 0;  // through the library, factorisation and solve

  // Memory in bytes.
  int64_t memory = 0;          // the limit asked for
  int64_t peak_rss = 0;        // peak resident set of the process
  int64_t fixed_overhead = 0;  // resident before the solve's own memory: program, libraries, BLAS buffers
  bool within_memory = true;   // peak_rss <= memory + fixed_overhead

  // The solution.
  int32_t rhs_columns = 0;
  bool residual_known = false;
  double scaled_residual = 0;            // max over columns of |Ax - b|inf / (|A|inf |x|inf eps)
  std::vector<double> refinement;        // scaled residual after each refinement step
  bool error_known = false;              // b = A 1, so x = 1
  double error = 0;                      // |x - 1|inf
  int64_t positive_pivots = 0, negative_pivots = 0;
  int64_t tiny_pivots = 0;
  std::vector<TinyPivotReport> tiny;     // the kept ones, smallest first
  std::vector<std::string> notices;

  std::string json() const;
  std::string table() const;
};

}  // namespace tessera::solve
