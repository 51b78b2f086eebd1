/* Example host: solves a dense symmetric positive definite system with the
 * dense block solver.
 *
 * It links the three areas the library works in, lays out a control area
 * (the dense solver does not need one, but every host starts this way),
 * builds a 300 x 300 system with 4 right-hand sides, factorises it with
 * crudr (A = F^T G), solves F^T Y = B with fwsdr and G Z = Y with bwsdr, and
 * judges the solution by the scaled residual |B - A Z| / (|A| |Z| eps) in the
 * max norm. It exits with 0 only when the residual is small. */
#include <float.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessera.h"

enum { kN = 300, kRhs = 4 };
static const double kResidualLimit = 30.0;

static int32_t trace_area[21];
static int32_t cache_area[64];
static int32_t chosky_area[567];

/* Deterministic uniform numbers in [-1, 1) so every run solves the same system. */
static double uniform(uint32_t *state) {
  *state = *state * 1664525u + 1013904223u;
  return (double)(*state >> 8) / 8388608.0 - 1.0;
}

static void print_trace(void) {
  fprintf(stderr, "trace:");
  for (int32_t i = 1; i <= trace_area[0] && i <= 20; ++i) fprintf(stderr, " %d", (int)trace_area[i]);
  fprintf(stderr, "\n");
}

int main(void) {
  Xerror = (char *)trace_area;
  Xcache = (char *)cache_area;
  Xchosky = (char *)chosky_area;

  int32_t length = 20000, nfs = 1, ndesc = 10, option = 0, ierr = 0;
  int32_t *ctrl = calloc((size_t)length, sizeof *ctrl);
  if (ctrl == NULL) return 1;
  hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
  if (ierr != 0) {
    fprintf(stderr, "hminmf failed: %d\n", (int)ierr);
    print_trace();
    return 1;
  }

  const int32_t n = kN, k = kRhs, mode = 0;
  const size_t nn = (size_t)n * n;
  double *a = malloc(nn * sizeof *a);
  double *a0 = malloc(nn * sizeof *a0);
  double *f = malloc(nn * sizeof *f);
  double *g = malloc(nn * sizeof *g);
  double *b = malloc((size_t)n * k * sizeof *b);
  double *z = malloc((size_t)n * k * sizeof *z);
  if (!a || !a0 || !f || !g || !b || !z) return 1;

  /* Symmetric, diagonally dominant with a positive diagonal: positive definite. */
  uint32_t state = 12345u;
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < j; ++i) a[(size_t)j * n + i] = a[(size_t)i * n + j] = uniform(&state);
    a[(size_t)j * n + j] = n + 1.0 + uniform(&state);
  }
  for (size_t i = 0; i < (size_t)n * k; ++i) b[i] = uniform(&state);
  memcpy(a0, a, nn * sizeof *a);
  memcpy(z, b, (size_t)n * k * sizeof *z);

  int32_t status = 1; /* the block's first global column */
  crudr(a, f, g, &n, &n, &status);
  if (status != 0) {
    fprintf(stderr, "crudr refused column %d\n", (int)-status);
    print_trace();
    return 1;
  }
  fwsdr(f, z, &n, &k, &mode, &status);
  if (status == 0) bwsdr(g, z, &n, &k, &mode, &status);
  if (status != 0) {
    fprintf(stderr, "substitution refused: %d\n", (int)status);
    print_trace();
    return 1;
  }

  double anorm = 0;
  for (int32_t i = 0; i < n; ++i) {
    double row = 0;
    for (int32_t j = 0; j < n; ++j) row += fabs(a0[(size_t)j * n + i]);
    if (row > anorm) anorm = row;
  }
  double worst = 0;
  for (int32_t q = 0; q < k; ++q) {
    const double *zq = z + (size_t)q * n;
    double rmax = 0, zmax = 0;
    for (int32_t i = 0; i < n; ++i) {
      double s = b[(size_t)q * n + i];
      for (int32_t j = 0; j < n; ++j) s -= a0[(size_t)j * n + i] * zq[j];
      if (fabs(s) > rmax) rmax = fabs(s);
      if (fabs(zq[i]) > zmax) zmax = fabs(zq[i]);
    }
    const double scaled = rmax / (anorm * zmax * DBL_EPSILON);
    if (scaled > worst) worst = scaled;
  }
  printf("dense solve: n = %d, %d right-hand sides, scaled residual %.3g (limit %.0f)\n", (int)n,
         (int)k, worst, kResidualLimit);

  free(a);
  free(a0);
  free(f);
  free(g);
  free(b);
  free(z);
  free(ctrl);
  return worst < kResidualLimit ? 0 : 1;
}
