/* The solver's C interface, compiled as C: the header is valid C and the
 * shared library exports it. A host's own matrix against its known solution,
 * a generated problem with a progress callback, and the refusals a host sees
 * (status and message, never a crash). Exits 0 when every check holds. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessera_solve.h"

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

struct calls {
  int phases, updates;
};

static void on_progress(void *user, const char *phase, double fraction, double eta, double gflops,
                        const char *notice) {
  struct calls *c = (struct calls *)user;
  (void)eta, (void)gflops, (void)notice;
  if (fraction == 0.0 && phase[0] != '\0') ++c->phases;
  if (fraction > 0.0) ++c->updates;
}

/* The lower triangle of the n x n matrix with 4 on the diagonal and -1 on
 * the first two off-diagonals, a diagonal entry replaced by d. */
static void pentadiagonal(int32_t n, double d, int32_t at, int64_t *colptr, int32_t *rowind,
                          double *values) {
  int64_t p = 0;
  for (int32_t j = 0; j < n; ++j) {
    colptr[j] = p;
    for (int32_t i = j; i < n && i <= j + 2; ++i) {
      rowind[p] = i;
      values[p++] = i == j ? (j == at ? d : 4.0) : -1.0;
    }
  }
  colptr[n] = p;
}

int main(void) {
  const char *dir = getenv("TESSERA_TEST_TMP");
  enum { n = 60 };
  int64_t colptr[n + 1];
  int32_t rowind[3 * n];
  double values[3 * n], x[2 * n], b[2 * n], got[2 * n];
  tessera_solver *s = tessera_solve_create();
  CHECK(s != NULL);
  if (dir != NULL) CHECK(tessera_solve_set_work_dir(s, dir) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_memory(s, (int64_t)64 << 20) == TESSERA_SOLVE_OK);

  /* A host's matrix and two right-hand sides with a known solution. */
  pentadiagonal(n, 4.0, -1, colptr, rowind, values);
  for (int32_t i = 0; i < 2 * n; ++i) x[i] = sin(0.1 * i) + (i >= n ? 2 : 0);
  for (int32_t q = 0; q < 2; ++q)
    for (int32_t i = 0; i < n; ++i) {
      double v = 4 * x[i + q * n];
      for (int32_t k = 1; k <= 2; ++k) {
        if (i - k >= 0) v -= x[i - k + q * n];
        if (i + k < n) v -= x[i + k + q * n];
      }
      b[i + q * n] = v;
    }
  CHECK(tessera_solve_set_csc(s, n, colptr, rowind, values) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_rhs(s, 2, b, n) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_ordering(s, "nd") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_run(s) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_order(s) == n);
  CHECK(tessera_solve_rhs_columns(s) == 2);
  CHECK(tessera_solve_solution(s, got, n) == TESSERA_SOLVE_OK);
  for (int32_t i = 0; i < 2 * n; ++i) CHECK(fabs(got[i] - x[i]) < 1e-12);
  tessera_solve_report r;
  CHECK(tessera_solve_get_report(s, &r) == TESSERA_SOLVE_OK);
  CHECK(r.n == n && r.rhs_columns == 2 && r.positive_pivots == n && r.negative_pivots == 0);
  CHECK(r.scaled_residual < 100);
  CHECK(isnan(r.error)); /* b is not A 1 */
  CHECK(strstr(tessera_solve_report_json(s), "\"scaled_residual\"") != NULL);

  /* A generated problem, b = A 1, with progress. */
  struct calls c = {0, 0};
  CHECK(tessera_solve_set_generated(s, "laplace2d:15") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_rhs_file(s, "") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_progress(s, on_progress, &c) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_ordering(s, "auto") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_run(s) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_get_report(s, &r) == TESSERA_SOLVE_OK);
  CHECK(r.n == 225 && r.error < 1e-10 && r.scaled_residual < 100);
  CHECK(c.phases >= 3 && c.updates >= 1);
  CHECK(tessera_solve_set_progress(s, NULL, NULL) == TESSERA_SOLVE_OK);

  /* Refusals: a status and a message. */
  CHECK(tessera_solve_run(NULL) == TESSERA_SOLVE_BAD_CALL);
  CHECK(tessera_solve_set_ordering(s, "best") == TESSERA_SOLVE_BAD_CALL);
  CHECK(strstr(tessera_solve_message(s), "best") != NULL);
  CHECK(tessera_solve_set_block_order(s, 4) == TESSERA_SOLVE_BAD_CALL);
  CHECK(tessera_solve_solution(s, got, n - 1) == TESSERA_SOLVE_BAD_CALL);
  pentadiagonal(n, -3.0, 17, colptr, rowind, values);
  CHECK(tessera_solve_set_csc(s, n, colptr, rowind, values) == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_run(s) == TESSERA_SOLVE_NOT_DEFINITE);
  CHECK(strstr(tessera_solve_message(s), "column") != NULL);
  CHECK(tessera_solve_order(s) == 0);
  rowind[1] = 0; /* a row above the diagonal */
  CHECK(tessera_solve_set_csc(s, n, colptr, rowind, values) == TESSERA_SOLVE_INPUT);
  {
    /* A pointer beyond colptr[n] is refused before a row is read (arrays of
       their exact length: the sanitizer build sees a read past them). */
    int64_t *wild = malloc(4 * sizeof *wild);
    int32_t *rows = malloc(3 * sizeof *rows);
    double *vals = malloc(3 * sizeof *vals);
    CHECK(wild != NULL && rows != NULL && vals != NULL);
    wild[0] = 0, wild[1] = 1000, wild[2] = 2, wild[3] = 3;
    for (int i = 0; i < 3; ++i) rows[i] = i, vals[i] = 1.0;
    CHECK(tessera_solve_set_csc(s, 3, wild, rows, vals) == TESSERA_SOLVE_INPUT);
    free(wild), free(rows), free(vals);
  }
  CHECK(tessera_solve_set_generated(s, "laplace9d:3") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_run(s) == TESSERA_SOLVE_INPUT);
  CHECK(strlen(tessera_solve_message(s)) > 0);
  CHECK(tessera_solve_set_factor(s, "/nonexistent/factor") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_set_generated(s, "laplace2d:5") == TESSERA_SOLVE_OK);
  CHECK(tessera_solve_run(s) == TESSERA_SOLVE_FACTOR_SET);
  tessera_solve_destroy(s);
  tessera_solve_destroy(NULL);
  if (failures == 0) printf("solver C interface: all checks hold\n");
  return failures == 0 ? 0 : 1;
}
