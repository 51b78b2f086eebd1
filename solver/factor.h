// The out-of-core factorisation A = U^T S U, left-looking by panels of block
// rows of U.
//
// A panel is a run of block rows [r0, r1) whose square [r0, r1)^2 and chunks
// of block columns beyond it are held in memory one at a time. Each tile (the
// square first, then each chunk) starts as the entries of A, takes the
// updates of every earlier block row Q that reaches it (the blocks of Q in the
// panel's rows and in the tile's columns, read from the segments written so
// far, several rows Q with the same pattern stacked into one product), and is
// then factorised (the square, see dense_factor.h) or solved with the
// square's factor (a chunk). Its blocks are written once, into the segment
// being written, and never touched again. Every block read is an earlier
// factor block; every block written is new.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

#include "dense_factor.h"
#include "factor_set.h"
#include "progress.h"
#include "source.h"
#include "store.h"
#include "symbolic.h"

namespace tessera::solve {

// A refused pivot (in the factor's numbering).
class TESSERA_SOLVE_API PivotError : public std::runtime_error {
 public:
  PivotError(const std::string &what, PivotRefusal r) : std::runtime_error(what), refusal(r) {}
  PivotRefusal refusal;
};

// Memory of a panel of h rows whose widest chunk is w columns wide, in
// doubles: the square, the chunk, the stacked source rows and, without a
// definite matrix, a signed copy of them.
int64_t panel_doubles(int64_t h, int64_t w, int32_t stack_rows, bool indefinite, int32_t nb);

// Panels and chunks for the structure within budget doubles. A panel grows
// while its tiles fit and carry few blocks the structure does not hold.
// Throws std::length_error when one block row does not fit.
TESSERA_SOLVE_API std::vector<PanelPlan> plan_panels(const BlockStructure &s, int64_t budget,
                                                     int32_t stack_rows, bool indefinite);

// The block columns of a panel beyond its square: the union of its rows'.
std::vector<int32_t> panel_columns(const BlockStructure &s, const PanelPlan &p);

struct FactorSettings {
  bool indefinite = false;
  int32_t stack_rows = 256;
  // Segments to aim for: a checkpoint follows the panel that completes each
  // such share of the work.
  int32_t checkpoints = 10;
  // Without durable, there are no checkpoints: the factor is sealed in the
  // segment being written, for a solve in the same session.
  bool durable = true;
  // Polled between tiles; true stops the factorisation, keeping what the last
  // checkpoint made durable (and making the panels finished since durable).
  std::function<bool()> stop;
  Progress *progress = nullptr;
  // Pivot diagnostics to keep with each checkpoint.
  HostAreas *areas = nullptr;
};

struct FactorStats {
  double flops = 0;         // done in this session
  double seconds = 0;
  double io_seconds = 0;    // in the library's reads and writes, checkpoints included
  double blas_seconds = 0;  // in the BLAS and crudr
  double fill_seconds = 0;  // taking the entries of A into the tiles
  int64_t bytes_read = 0;   // through the library
  int64_t bytes_written = 0;
  int32_t panels = 0;       // done in this session
  int32_t checkpoints = 0;
  bool stopped = false;
};

// Factorises the panels of f not done yet. total_flops (of the whole
// factorisation) sets the checkpoints and the progress.
TESSERA_SOLVE_API FactorStats factorise(FactorSet &f, MatrixSource &a,
                                        const FactorSettings &settings, double total_flops);

}  // namespace tessera::solve
