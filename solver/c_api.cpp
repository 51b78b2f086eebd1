// The C interface (tessera_solve.h): a thin shim over run_solve. No
// exception crosses it; every failure becomes a status and a message.
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "solver.h"
#include "tessera_solve.h"

struct tessera_solver {
  tessera::solve::SolveOptions options;
  // What the options point at, owned here.
  tessera::solve::SparseSym csc;
  bool have_csc = false;
  std::vector<double> rhs;
  std::unique_ptr<tessera::solve::CallbackProgress> progress;
  std::atomic<bool> stop{false};
  // The last run.
  bool ran = false;
  tessera::solve::SolveReport report;
  std::vector<double> x;
  std::string message;
  std::string json = "{}";
};

namespace {

namespace ts = tessera::solve;

int fail(tessera_solver *s, int status, const std::string &message) {
  if (s != nullptr) s->message = message;
  return status;
}

int ok(tessera_solver *s) {
  s->message.clear();
  return TESSERA_SOLVE_OK;
}

bool text(const char *p) { return p != nullptr && p[0] != '\0'; }

// Only one input at a time: naming one forgets the others.
void clear_inputs(tessera_solver *s) {
  ts::SolveOptions &o = s->options;
  o.matrix_file.clear();
  o.generate.clear();
  o.set_files.clear();
  o.set_matrix.clear();
  o.matrix = nullptr;
  s->have_csc = false;
  s->csc = ts::SparseSym();
}

}  // namespace

extern "C" {

tessera_solver *tessera_solve_create(void) {
  try {
    tessera_solver *s = new tessera_solver;
    s->options.stop = [s] { return s->stop.load(); };
    return s;
  } catch (...) {
    return nullptr;
  }
}

void tessera_solve_destroy(tessera_solver *s) { delete s; }

int tessera_solve_set_matrix_file(tessera_solver *s, const char *path) {
  if (s == nullptr || !text(path)) return fail(s, TESSERA_SOLVE_BAD_CALL, "no file name");
  clear_inputs(s);
  s->options.matrix_file = path;
  return ok(s);
}

int tessera_solve_set_generated(tessera_solver *s, const char *problem_name) {
  if (s == nullptr || !text(problem_name)) return fail(s, TESSERA_SOLVE_BAD_CALL, "no problem named");
  clear_inputs(s);
  s->options.generate = problem_name;
  return ok(s);
}

int tessera_solve_set_fileset(tessera_solver *s, int32_t nfiles, const char *const *files,
                              const char *name, int32_t qualifier) {
  if (s == nullptr || nfiles < 1 || files == nullptr || !text(name))
    return fail(s, TESSERA_SOLVE_BAD_CALL, "a file set needs its files and the matrix's name");
  clear_inputs(s);
  for (int32_t i = 0; i < nfiles; ++i) {
    if (!text(files[i])) return fail(s, TESSERA_SOLVE_BAD_CALL, "an empty file name");
    s->options.set_files.emplace_back(files[i]);
  }
  s->options.set_matrix = name;
  s->options.set_qualifier = qualifier;
  return ok(s);
}

int tessera_solve_set_csc(tessera_solver *s, int32_t n, const int64_t *colptr,
                          const int32_t *rowind, const double *values) {
  if (s == nullptr || n < 1 || colptr == nullptr)
    return fail(s, TESSERA_SOLVE_BAD_CALL, "a matrix needs its order and column pointers");
  const int64_t nnz = colptr[n];
  if (colptr[0] != 0 || nnz < 0 || (nnz > 0 && (rowind == nullptr || values == nullptr)))
    return fail(s, TESSERA_SOLVE_BAD_CALL, "bad column pointers");
  // Every pointer first, so that no column sends the reads past colptr[n].
  for (int32_t j = 0; j < n; ++j)
    if (colptr[j + 1] < colptr[j] || colptr[j + 1] > nnz)
      return fail(s, TESSERA_SOLVE_INPUT,
                  "column pointers decrease at column " + std::to_string(j) + " or pass colptr[n]");
  // The same checks the readers promise: rows of the lower triangle, ascending.
  for (int32_t j = 0; j < n; ++j) {
    for (int64_t p = colptr[j]; p < colptr[j + 1]; ++p) {
      if (rowind[p] < j || rowind[p] >= n || (p > colptr[j] && rowind[p] <= rowind[p - 1]))
        return fail(s, TESSERA_SOLVE_INPUT,
                    "column " + std::to_string(j) +
                        ": rows must lie in the lower triangle, ascending, each once");
      if (!std::isfinite(values[p]))
        return fail(s, TESSERA_SOLVE_INPUT, "column " + std::to_string(j) + ": a value that is not finite");
    }
  }
  try {
    clear_inputs(s);
    s->csc.n = n;
    s->csc.colptr.assign(colptr, colptr + n + 1);
    s->csc.rowind.assign(rowind, rowind + nnz);
    s->csc.values.assign(values, values + nnz);
    s->have_csc = true;
  } catch (const std::bad_alloc &) {
    return fail(s, TESSERA_SOLVE_MEMORY, "out of memory copying the matrix");
  }
  return ok(s);
}

int tessera_solve_set_factor(tessera_solver *s, const char *path) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->options.factor_file = path ? path : "";
  return ok(s);
}

int tessera_solve_set_rhs(tessera_solver *s, int32_t k, const double *b, int64_t ldb) {
  if (s == nullptr || k < 1 || b == nullptr || ldb < 1)
    return fail(s, TESSERA_SOLVE_BAD_CALL, "bad right-hand sides");
  try {
    s->rhs.assign(b, b + (k - 1) * ldb + ldb);
  } catch (const std::bad_alloc &) {
    return fail(s, TESSERA_SOLVE_MEMORY, "out of memory copying the right-hand sides");
  }
  s->options.rhs_columns = k;
  s->options.rhs_ld = ldb;
  s->options.rhs_file.clear();
  return ok(s);
}

int tessera_solve_set_rhs_file(tessera_solver *s, const char *path) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->options.rhs_file = path ? path : "";
  s->rhs.clear();
  return ok(s);
}

int tessera_solve_set_output_file(tessera_solver *s, const char *path) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->options.output_file = path ? path : "";
  return ok(s);
}

int tessera_solve_set_memory(tessera_solver *s, int64_t bytes) {
  if (s == nullptr || bytes < 0) return fail(s, TESSERA_SOLVE_BAD_CALL, "bad memory size");
  s->options.memory = bytes;
  return ok(s);
}

int tessera_solve_set_ordering(tessera_solver *s, const char *name) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  try {
    s->options.ordering = ts::parse_ordering(name ? name : "");
  } catch (const std::exception &e) {
    return fail(s, TESSERA_SOLVE_BAD_CALL, e.what());
  }
  return ok(s);
}

int tessera_solve_set_block_order(tessera_solver *s, int32_t nb) {
  if (s == nullptr || (nb != 0 && (nb < 8 || nb > 4096)))
    return fail(s, TESSERA_SOLVE_BAD_CALL, "the block order lies from 8 to 4096 (0: chosen)");
  s->options.block_order = nb;
  return ok(s);
}

int tessera_solve_set_indefinite(tessera_solver *s, int32_t on) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->options.indefinite = on != 0;
  return ok(s);
}

int tessera_solve_set_refine(tessera_solver *s, int32_t steps) {
  if (s == nullptr || steps < 0) return fail(s, TESSERA_SOLVE_BAD_CALL, "bad number of steps");
  s->options.refine = steps;
  return ok(s);
}

int tessera_solve_set_keep(tessera_solver *s, const char *path, int32_t resume) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->options.keep = path ? path : "";
  s->options.resume = resume != 0;
  return ok(s);
}

int tessera_solve_set_work_dir(tessera_solver *s, const char *dir) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->options.work_dir = dir ? dir : "";
  return ok(s);
}

int tessera_solve_set_progress(tessera_solver *s, tessera_solve_progress_fn fn, void *user) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  if (fn == nullptr) {
    s->progress.reset();
  } else {
    s->progress = std::make_unique<ts::CallbackProgress>(
        [fn, user](const std::string &phase, double fraction, double eta, double gflops,
                   const std::string &notice) {
          fn(user, phase.c_str(), fraction, eta, gflops, notice.c_str());
        });
  }
  s->options.progress = s->progress.get();
  return ok(s);
}

void tessera_solve_interrupt(tessera_solver *s) {
  if (s != nullptr) s->stop.store(true);
}

int tessera_solve_run(tessera_solver *s) {
  if (s == nullptr) return TESSERA_SOLVE_BAD_CALL;
  s->ran = false;
  s->x.clear();
  s->json = "{}";
  s->stop.store(false);
  s->options.matrix = s->have_csc ? &s->csc : nullptr;
  s->options.rhs = s->rhs.empty() ? nullptr : s->rhs.data();
  if (s->rhs.empty()) {
    s->options.rhs_columns = 0;
    s->options.rhs_ld = 0;
  }
  try {
    ts::SolveResult r = ts::run_solve(s->options);
    s->report = std::move(r.report);
    s->x = std::move(r.x);
    s->json = s->report.json();
    s->ran = true;
    return ok(s);
  } catch (const ts::SolveError &e) {
    return fail(s, static_cast<int>(e.kind), e.what());
  } catch (const std::bad_alloc &) {
    return fail(s, TESSERA_SOLVE_MEMORY, "out of memory");
  } catch (const std::exception &e) {
    return fail(s, TESSERA_SOLVE_LIBRARY, e.what());
  } catch (...) {
    return fail(s, TESSERA_SOLVE_LIBRARY, "unknown failure");
  }
}

const char *tessera_solve_message(const tessera_solver *s) {
  return s == nullptr ? "no solver" : s->message.c_str();
}

int32_t tessera_solve_order(const tessera_solver *s) {
  return s != nullptr && s->ran ? s->report.n : 0;
}

int32_t tessera_solve_rhs_columns(const tessera_solver *s) {
  return s != nullptr && s->ran ? s->report.rhs_columns : 0;
}

int tessera_solve_solution(const tessera_solver *s, double *x, int64_t ldx) {
  if (s == nullptr || !s->ran || x == nullptr || ldx < s->report.n) return TESSERA_SOLVE_BAD_CALL;
  const int64_t n = s->report.n;
  for (int32_t q = 0; q < s->report.rhs_columns; ++q)
    std::memcpy(x + q * ldx, s->x.data() + q * n, sizeof(double) * static_cast<size_t>(n));
  return TESSERA_SOLVE_OK;
}

const char *tessera_solve_report_json(const tessera_solver *s) {
  return s == nullptr ? "{}" : s->json.c_str();
}

int tessera_solve_get_report(const tessera_solver *s, tessera_solve_report *r) {
  if (s == nullptr || r == nullptr || !s->ran) return TESSERA_SOLVE_BAD_CALL;
  const ts::SolveReport &p = s->report;
  constexpr double kMiB = 1024.0 * 1024.0;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::memset(r, 0, sizeof *r);
  r->entries = p.entries;
  r->stored_blocks = p.blocks;
  r->positive_pivots = p.positive_pivots;
  r->negative_pivots = p.negative_pivots;
  r->tiny_pivots = p.tiny_pivots;
  r->factor_mb = p.factor_bytes / kMiB;
  r->flops = p.flops;
  r->seconds_read = p.read_seconds;
  r->seconds_order = p.order_seconds;
  r->seconds_symbolic = p.symbolic_seconds;
  r->seconds_factor = p.factor_seconds;
  r->seconds_solve = p.solve_seconds;
  r->gflops = p.gflops;
  r->mb_read = p.mb_read;
  r->mb_written = p.mb_written;
  r->memory_mb = p.memory / kMiB;
  r->peak_rss_mb = p.peak_rss / kMiB;
  r->fixed_overhead_mb = p.fixed_overhead / kMiB;
  r->scaled_residual = p.residual_known ? p.scaled_residual : nan;
  r->error = p.error_known ? p.error : nan;
  r->n = p.n;
  r->block_order = p.block_order;
  r->rhs_columns = p.rhs_columns;
  r->panels = p.panels;
  r->within_memory = p.within_memory ? 1 : 0;
  r->factor_reused = p.factor_reused ? 1 : 0;
  r->resumed_at = p.resumed_at;
  return TESSERA_SOLVE_OK;
}

}  // extern "C"
