/*
 * libtessera_solve: out-of-core direct solves of large symmetric systems,
 * A x = b with A = U^T S U, the factor U kept in a file set of libtessera.
 *
 * A C interface for C, C++ and Fortran hosts (ISO_C_BINDING: every function
 * takes plain values, pointers and NUL-terminated strings, and returns an
 * int status). A host makes a solver, names the matrix and, if it likes, the
 * right-hand sides and options, runs it, and reads the solution and the
 * report:
 *
 *   tessera_solver *s = tessera_solve_create();
 *   tessera_solve_set_fileset(s, 1, files, "STIFFNESS", 1);
 *   tessera_solve_set_rhs(s, 1, b, n);
 *   tessera_solve_set_memory(s, (int64_t)2 << 30);
 *   if (tessera_solve_run(s) != TESSERA_SOLVE_OK)
 *     fprintf(stderr, "%s\n", tessera_solve_message(s));
 *   else
 *     tessera_solve_solution(s, x, n);
 *   tessera_solve_destroy(s);
 *
 * The solver links its own areas into libtessera's Xerror, Xcache and Xchosky
 * while it runs and gives the host's back when it returns; a host that uses
 * libtessera itself must not call it from another thread meanwhile (the
 * library is not thread-safe), and must have removed (hmremf) a file set it
 * hands over. One solver is used by one thread at a time; different solvers
 * may not run at the same time either, for the same reason.
 */
#ifndef TESSERA_SOLVE_H
#define TESSERA_SOLVE_H

#include <stdint.h>

#if defined(__GNUC__)
#define TESSERA_SOLVE_C_API __attribute__((visibility("default")))
#else
#define TESSERA_SOLVE_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Status of every call. */
enum tessera_solve_status {
  TESSERA_SOLVE_OK = 0,
  TESSERA_SOLVE_INPUT = 1,         /**< the input cannot be used: malformed, not symmetric, missing */
  TESSERA_SOLVE_NOT_DEFINITE = 3,  /**< a pivot refused: not positive definite, or a tiny negative pivot */
  TESSERA_SOLVE_DISK = 4,          /**< not enough disk space, or a write refused */
  TESSERA_SOLVE_FACTOR_SET = 5,    /**< a factor file (to reuse or resume) that cannot be used */
  TESSERA_SOLVE_MEMORY = 6,        /**< the memory allowed is too small */
  TESSERA_SOLVE_LIBRARY = 7,       /**< another refusal of libtessera */
  TESSERA_SOLVE_INTERRUPTED = 8,   /**< stopped by tessera_solve_interrupt() */
  TESSERA_SOLVE_BAD_CALL = 9       /**< a null solver, a bad argument, or no result yet */
};

typedef struct tessera_solver tessera_solver;

/** A new solver with the defaults (memory a quarter of physical memory,
 * ordering "auto"), or null when memory is short. */
TESSERA_SOLVE_C_API tessera_solver *tessera_solve_create(void);
TESSERA_SOLVE_C_API void tessera_solve_destroy(tessera_solver *s);

/* --- the matrix: one of these -------------------------------------------- */

/** A Matrix Market file (coordinate real/integer symmetric or general with
 * symmetric values, duplicates summed; or array real). */
TESSERA_SOLVE_C_API int tessera_solve_set_matrix_file(tessera_solver *s, const char *path);
/** A generated problem: "laplace3d:40", "elasticity3d:20", "dense-spd:4000", ... */
TESSERA_SOLVE_C_API int tessera_solve_set_generated(tessera_solver *s, const char *problem_name);
/** A double matrix of storage form 1 in a file set of nfiles files (as the
 * host created it), by name (up to 12 bytes) and qualifier. It is read block
 * by block and never changed. */
TESSERA_SOLVE_C_API int tessera_solve_set_fileset(tessera_solver *s, int32_t nfiles,
                                                  const char *const *files, const char *name,
                                                  int32_t qualifier);
/** The host's lower triangle in compressed columns, 0-based: column j holds
 * rows rowind[colptr[j] .. colptr[j+1]-1] (each >= j, ascending) with their
 * values. Copied. */
TESSERA_SOLVE_C_API int tessera_solve_set_csc(tessera_solver *s, int32_t n, const int64_t *colptr,
                                              const int32_t *rowind, const double *values);
/** Solve with the factor kept in this file instead of factorising (the
 * matrix may still be given: then the residual is measured). */
TESSERA_SOLVE_C_API int tessera_solve_set_factor(tessera_solver *s, const char *path);

/* --- right-hand sides and the solution ------------------------------------ */

/** k columns of n values, leading dimension ldb (copied). Default: b = A 1,
 * whose solution is known and whose error is reported. */
TESSERA_SOLVE_C_API int tessera_solve_set_rhs(tessera_solver *s, int32_t k, const double *b,
                                              int64_t ldb);
TESSERA_SOLVE_C_API int tessera_solve_set_rhs_file(tessera_solver *s, const char *path);
/** Write x to this file as a Matrix Market array. */
TESSERA_SOLVE_C_API int tessera_solve_set_output_file(tessera_solver *s, const char *path);

/* --- options ------------------------------------------------------------- */

/** Working memory the solve may hold, in bytes (0: a quarter of physical memory). */
TESSERA_SOLVE_C_API int tessera_solve_set_memory(tessera_solver *s, int64_t bytes);
/** "auto", "nd", "rcm" or "natural". */
TESSERA_SOLVE_C_API int tessera_solve_set_ordering(tessera_solver *s, const char *name);
/** Block order of the factor, 8 to 4096 (0: chosen by the symbolic step). */
TESSERA_SOLVE_C_API int tessera_solve_set_block_order(tessera_solver *s, int32_t nb);
/** Non-zero: accept negative pivots and report the inertia. */
TESSERA_SOLVE_C_API int tessera_solve_set_indefinite(tessera_solver *s, int32_t on);
TESSERA_SOLVE_C_API int tessera_solve_set_refine(tessera_solver *s, int32_t steps);
/** Keep the factor in this file; with resume non-zero, go on with the
 * factorisation an earlier run left in it. */
TESSERA_SOLVE_C_API int tessera_solve_set_keep(tessera_solver *s, const char *path, int32_t resume);
/** Directory of a factor that is not kept (default: the current directory). */
TESSERA_SOLVE_C_API int tessera_solve_set_work_dir(tessera_solver *s, const char *dir);

/** Called as the solve goes: phase ("read", "order (nd)", "symbolic",
 * "factor", "solve"), fraction of the phase done (-1 with a notice), an
 * estimate of the seconds left (-1 unknown), the rate in GFLOP/s (0 when the
 * phase does no arithmetic worth counting), and a notice line or "". */
typedef void (*tessera_solve_progress_fn)(void *user, const char *phase, double fraction,
                                          double eta_seconds, double gflops, const char *notice);
TESSERA_SOLVE_C_API int tessera_solve_set_progress(tessera_solver *s, tessera_solve_progress_fn fn,
                                                   void *user);

/** Asks a running factorisation to stop at its next tile (safe from a signal
 * handler or another thread). With a kept factor, what was done is kept for
 * a later resume. */
TESSERA_SOLVE_C_API void tessera_solve_interrupt(tessera_solver *s);

/* --- running and the results --------------------------------------------- */

/** Runs the solve; the status of the run (and tessera_solve_message()). */
TESSERA_SOLVE_C_API int tessera_solve_run(tessera_solver *s);

/** The last failure's message ("" after a success). Valid until the next
 * call on s. */
TESSERA_SOLVE_C_API const char *tessera_solve_message(const tessera_solver *s);

/** Order n and number of solution columns of the last run (0 before one). */
TESSERA_SOLVE_C_API int32_t tessera_solve_order(const tessera_solver *s);
TESSERA_SOLVE_C_API int32_t tessera_solve_rhs_columns(const tessera_solver *s);
/** Copies x (n x columns) into x with leading dimension ldx >= n. */
TESSERA_SOLVE_C_API int tessera_solve_solution(const tessera_solver *s, double *x, int64_t ldx);

/** The report of the last run as one JSON object ("{}" before one). */
TESSERA_SOLVE_C_API const char *tessera_solve_report_json(const tessera_solver *s);

/** The report's figures (NaN for a residual or error that is not known). */
typedef struct tessera_solve_report {
  int64_t entries;             /**< stored entries of the lower triangle */
  int64_t stored_blocks;       /**< blocks of the factor U */
  int64_t positive_pivots;
  int64_t negative_pivots;
  int64_t tiny_pivots;         /**< pivots crudr replaced */
  double factor_mb;            /**< MB of U's records */
  double flops;                /**< predicted operations of the factorisation */
  double seconds_read, seconds_order, seconds_symbolic, seconds_factor, seconds_solve;
  double gflops;               /**< rate of the factorisation */
  double mb_read, mb_written;  /**< through the library */
  double memory_mb;            /**< the limit */
  double peak_rss_mb;          /**< peak resident set of the process */
  double fixed_overhead_mb;    /**< resident before the solve's own memory */
  double scaled_residual;      /**< |Ax - b| / (|A| |x| eps), infinity norms */
  double error;                /**< |x - 1| when b = A 1 */
  int32_t n;
  int32_t block_order;
  int32_t rhs_columns;
  int32_t panels;
  int32_t within_memory;       /**< peak_rss_mb <= memory_mb + fixed_overhead_mb */
  int32_t factor_reused;
  int32_t resumed_at;          /**< block row a resumed factorisation went on from, -1 */
  int32_t reserved;
} tessera_solve_report;

TESSERA_SOLVE_C_API int tessera_solve_get_report(const tessera_solver *s, tessera_solve_report *r);

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_SOLVE_H */
