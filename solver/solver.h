// A whole solve, as `tessera solve` and the C interface run it: read the
// matrix, order it, find the factor's structure, factorise out of core (or
// take an existing factor), solve for the right-hand sides, refine, measure
// the residual, and report.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ordering.h"
#include "problem.h"
#include "progress.h"
#include "report.h"

namespace tessera::solve {

// Why a solve failed; the command's exit status and the C interface's status.
enum class Failure : int {
  input = 1,          // the input cannot be used: malformed, not symmetric, missing
  not_definite = 3,   // a pivot refused
  disk = 4,           // not enough disk, or a write refused
  factor_set = 5,     // a --factor or --resume set that cannot be used
  memory = 6,         // the memory allowed is too small
  library = 7,        // another refusal of the library
  interrupted = 8,    // stopped on request; what was done is kept with --keep
};

class TESSERA_SOLVE_API SolveError : public std::runtime_error {
 public:
  SolveError(Failure kind, const std::string &what) : std::runtime_error(what), kind(kind) {}
  Failure kind;
};

struct SolveOptions {
  // The matrix: one of a Matrix Market file, a generated problem, a double
  // matrix of storage form 1 in a file set, or a host's lower triangle. With
  // factor_file it may be left out (then the residual is not known).
  std::string matrix_file;
  std::string generate;
  std::vector<std::string> set_files;
  std::string set_matrix;
  int32_t set_qualifier = 1;
  const SparseSym *matrix = nullptr;

  // Solve with this existing factor instead of factorising.
  std::string factor_file;

  // Right-hand sides in the matrix's numbering: a Matrix Market file, or the
  // host's columns; none: b = A 1, whose solution is known.
  std::string rhs_file;
  const double *rhs = nullptr;
  int32_t rhs_columns = 0;
  int64_t rhs_ld = 0;

  std::string output_file;  // x as a Matrix Market array

  Ordering ordering = Ordering::automatic;
  int32_t block_order = 0;  // 0: chosen by the symbolic step
  int64_t memory = 0;       // bytes; 0: a quarter of physical memory
  bool indefinite = false;
  int32_t refine = 0;
  std::string keep;  // keep the factor's file set in this file
  bool resume = false;
  bool force = false;     // replace an existing keep file
  std::string work_dir;   // where a factor not kept goes; empty: the current directory
  int32_t checkpoints = 10;

  Progress *progress = nullptr;
  // Polled during the factorisation; true stops it (Ctrl-C).
  std::function<bool()> stop;
};

struct SolveResult {
  SolveReport report;
  std::vector<double> x;  // n x rhs_columns, the matrix's numbering
};

// Runs a solve. Throws SolveError.
TESSERA_SOLVE_API SolveResult run_solve(const SolveOptions &options);

// A quarter of physical memory.
TESSERA_SOLVE_API int64_t default_memory();
// "512M", "2G", "1.5GiB", "300000000": bytes. Throws InputError.
TESSERA_SOLVE_API int64_t parse_size(const std::string &text);

// The process's resident set once its program, libraries and the BLAS's own
// buffers are in (a small product runs first to make the BLAS allocate):
// what a solve's peak is measured against beside its memory limit.
TESSERA_SOLVE_API int64_t fixed_overhead();

}  // namespace tessera::solve
