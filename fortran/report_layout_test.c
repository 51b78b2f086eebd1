/* The C side of the report's layout check: the size of
 * tessera_solve_report, and a report whose every field holds its own place
 * in the declaration (1, 2, ...), for the Fortran side to read through its
 * derived type. */
#include <stdint.h>

#include "tessera_solve.h"

int64_t report_layout_size(void);
void report_layout_fill(tessera_solve_report *r);

int64_t report_layout_size(void) { return (int64_t)sizeof(tessera_solve_report); }

void report_layout_fill(tessera_solve_report *r) {
  r->entries = 1;
  r->stored_blocks = 2;
  r->positive_pivots = 3;
  r->negative_pivots = 4;
  r->tiny_pivots = 5;
  r->factor_mb = 6;
  r->flops = 7;
  r->seconds_read = 8;
  r->seconds_order = 9;
  r->seconds_symbolic = 10;
  r->seconds_factor = 11;
  r->seconds_solve = 12;
  r->gflops = 13;
  r->mb_read = 14;
  r->mb_written = 15;
  r->memory_mb = 16;
  r->peak_rss_mb = 17;
  r->fixed_overhead_mb = 18;
  r->scaled_residual = 19;
  r->error = 20;
  r->n = 21;
  r->block_order = 22;
  r->rhs_columns = 23;
  r->panels = 24;
  r->within_memory = 25;
  r->factor_reused = 26;
  r->resumed_at = 27;
  r->reserved = 28;
}
