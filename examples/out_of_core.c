/* Example host: the life of an out-of-core computation.
 *
 * It keeps two double matrices in a file set of two files, A (n x n) and X
 * (n x k), with a buffer pool far smaller than A, forms Y = A X and then
 * Y := Y - A X with hlmult (the BLAS switch on), removes the file set,
 * reopens it, reads everything back and checks it against the same
 * computation in memory, and finally kills the set. It prints what it did and
 * exits 0 only when every value is right.
 *
 *   out_of_core [n [k [directory]]]      (defaults 1500, 64, /tmp)
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "tessera.h"

static int32_t trace[21], cache[64], chosky[567];

static int failed(const char *what, int32_t ierr) {
  if (ierr == 0) return 0;
  fprintf(stderr, "%s: ierr %d, trace", what, (int)ierr);
  for (int32_t i = 1; i <= trace[0] && i <= 20; ++i) fprintf(stderr, " %d", (int)trace[i]);
  fprintf(stderr, "\n");
  return 1;
}

static double seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

static void matrix_name(int32_t words[3], const char *s) {
  char bytes[12];
  memset(bytes, ' ', sizeof bytes);
  memcpy(bytes, s, strlen(s) < 12 ? strlen(s) : 12);
  memcpy(words, bytes, sizeof bytes);
}

/* Deterministic values in [-1, 1). */
static double uniform(uint32_t *state) {
  *state = *state * 1664525u + 1013904223u;
  return (double)(*state >> 8) / 8388608.0 - 1.0;
}

int main(int argc, char **argv) {
  int32_t n = argc > 1 ? atoi(argv[1]) : 1500;
  int32_t k = argc > 2 ? atoi(argv[2]) : 64;
  const char *dir = argc > 3 ? argv[3] : "/tmp";
  if (n < 1 || k < 1) return 2;

  Xerror = (char *)trace;
  Xcache = (char *)cache;
  Xchosky = (char *)chosky;

  /* 3M words of control area: with 4096-word records (blocks of 45 x 45
   * doubles) the buffer pool holds about 700 blocks, far fewer than A has. */
  int32_t length = 3000000, nfs = 1, ndesc = 4, option = 0, ierr = 0;
  int32_t *ctrl = calloc((size_t)length, sizeof *ctrl);
  if (ctrl == NULL) return 1;
  hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
  if (failed("hminmf", ierr)) return 1;
  ctrl[2 - 1] = 4096; /* word 2: record length of the file set */
  ctrl[4 - 1] = 1;    /* word 4: double block products through DGEMM */

  char path1[512], path2[512];
  snprintf(path1, sizeof path1, "%s/out_of_core_%d.1", dir, (int)getpid());
  snprintf(path2, sizeof path2, "%s/out_of_core_%d.2", dir, (int)getpid());
  char *names[] = {path1, path2};
  /* Created with room for about 4M words; the files grow when they must. A
   * control area this large keeps at least 200 index records, so a set
   * needs more than that in all. */
  int32_t nfiles = 2, index_records = 0, initial_words = 4 << 20, fs = 0;
  hmnewf(ctrl, &nfiles, names, &index_records, &initial_words, &fs, &ierr);
  if (failed("hmnewf", ierr)) return 1;

  const size_t nn = (size_t)n * n, nk = (size_t)n * k;
  double *a = malloc(nn * sizeof *a), *x = malloc(nk * sizeof *x);
  double *y = malloc(nk * sizeof *y), *ref = calloc(nk, sizeof *ref);
  if (!a || !x || !y || !ref) return 1;
  uint32_t state = 2026u;
  for (size_t i = 0; i < nn; ++i) a[i] = uniform(&state);
  for (size_t i = 0; i < nk; ++i) x[i] = uniform(&state);

  int32_t qual = 1, dbl = 4, general = 3, one = 1, ha = 0, hx = 0, hy = 0;
  int32_t na[3], nx[3], ny[3];
  matrix_name(na, "A");
  matrix_name(nx, "X");
  matrix_name(ny, "Y");
  hmnewm(ctrl, na, &qual, &fs, &dbl, &general, &n, &n, &ha, &ierr);
  if (failed("hmnewm A", ierr)) return 1;
  hmnewm(ctrl, nx, &qual, &fs, &dbl, &general, &n, &k, &hx, &ierr);
  if (failed("hmnewm X", ierr)) return 1;
  hmnewm(ctrl, ny, &qual, &fs, &dbl, &general, &n, &k, &hy, &ierr);
  if (failed("hmnewm Y", ierr)) return 1;

  /* Fill A by panels of 100 columns, the way a solver assembles it. */
  double t0 = seconds();
  for (int32_t j = 1; j <= n; j += 100) {
    int32_t nc = n - j + 1 < 100 ? n - j + 1 : 100;
    hmputs(ctrl, &ha, &one, &n, &j, &nc, (const float *)(a + (size_t)(j - 1) * n), &n, &ierr);
    if (failed("hmputs A", ierr)) return 1;
  }
  hmputs(ctrl, &hx, &one, &n, &one, &k, (const float *)x, &n, &ierr);
  if (failed("hmputs X", ierr)) return 1;
  double t1 = seconds();

  /* Y = A X (Y starts empty), then Y := Y - A X must leave exactly zero. */
  int32_t ta = 0, tb = 0, up = 0, add = 0, sub = 1;
  hlmult(ctrl, &ha, &hx, &hy, &ta, &tb, &up, &add, &ierr);
  if (failed("hlmult", ierr)) return 1;
  double t2 = seconds();
  for (int32_t j = 0; j < k; ++j)
    for (int32_t p = 0; p < n; ++p) {
      const double xp = x[(size_t)j * n + p];
      for (int32_t i = 0; i < n; ++i) ref[(size_t)j * n + i] += a[(size_t)p * n + i] * xp;
    }
  hmgets(ctrl, &hy, &one, &n, &one, &k, (float *)y, &n, &ierr);
  if (failed("hmgets Y", ierr)) return 1;
  double err = 0.0, scale = 0.0;
  for (size_t i = 0; i < nk; ++i) {
    err = fmax(err, fabs(y[i] - ref[i]));
    scale = fmax(scale, fabs(ref[i]));
  }

  /* Everything to the files, the set removed, then reopened from disk. */
  hmrelm(ctrl, &ha, &ierr);
  if (failed("hmrelm A", ierr)) return 1;
  hmrelm(ctrl, &hx, &ierr);
  if (failed("hmrelm X", ierr)) return 1;
  hmrelm(ctrl, &hy, &ierr);
  if (failed("hmrelm Y", ierr)) return 1;
  hmremf(ctrl, &fs, &ierr);
  if (failed("hmremf", ierr)) return 1;
  hmoldf(ctrl, &nfiles, names, &fs, &ierr);
  if (failed("hmoldf", ierr)) return 1;

  int32_t readonly = 1, tw = 0, sw = 0, rows = 0, cols = 0;
  hmoldm(ctrl, na, &qual, &fs, &readonly, &tw, &sw, &rows, &cols, &ha, &ierr);
  if (failed("hmoldm A", ierr)) return 1;
  double *back = malloc(nn * sizeof *back);
  if (back == NULL) return 1;
  hmgets(ctrl, &ha, &one, &n, &one, &n, (float *)back, &n, &ierr);
  if (failed("hmgets A", ierr)) return 1;
  const int a_same = memcmp(back, a, nn * sizeof *a) == 0;

  readonly = 0;
  hmoldm(ctrl, nx, &qual, &fs, &readonly, &tw, &sw, &rows, &cols, &hx, &ierr);
  if (failed("hmoldm X", ierr)) return 1;
  hmoldm(ctrl, ny, &qual, &fs, &readonly, &tw, &sw, &rows, &cols, &hy, &ierr);
  if (failed("hmoldm Y", ierr)) return 1;
  hlmult(ctrl, &ha, &hx, &hy, &ta, &tb, &up, &sub, &ierr);
  if (failed("hlmult (subtract)", ierr)) return 1;
  hmgets(ctrl, &hy, &one, &n, &one, &k, (float *)y, &n, &ierr);
  if (failed("hmgets Y", ierr)) return 1;
  double left = 0.0;
  for (size_t i = 0; i < nk; ++i) left = fmax(left, fabs(y[i]));

  int32_t state_y = 0;
  hminqm(ctrl, ny, &qual, &fs, &state_y); /* an open matrix reports its handle */
  const int y_open = state_y == hy;
  hmrelm(ctrl, &ha, &ierr);
  if (failed("hmrelm A", ierr)) return 1;
  hmrelm(ctrl, &hx, &ierr);
  if (failed("hmrelm X", ierr)) return 1;
  hmrelm(ctrl, &hy, &ierr);
  if (failed("hmrelm Y", ierr)) return 1;
  hmkilf(ctrl, &fs, &ierr); /* deletes the files */
  if (failed("hmkilf", ierr)) return 1;
  ierr = 0;
  hmclos(ctrl, &ierr);
  if (failed("hmclos", ierr)) return 1;

  const double gflop = 2.0 * (double)n * n * k / 1e9;
  printf("out of core: A %d x %d, X %d x %d, %d buffers of %d words for %.0f MB of A\n",
         (int)n, (int)n, (int)n, (int)k, (int)ctrl[169 - 1], (int)ctrl[133 - 1],
         (double)nn * 8 / 1e6);
  printf("  put A and X: %.2f s; hlmult: %.2f s (%.1f GFLOP/s)\n", t1 - t0, t2 - t1,
         gflop / (t2 - t1));
  printf("  Y = A X: largest error %.2e (scale %.2e)\n", err, scale);
  printf("  after removal and reopening: A read back %s; Y - A X = %.2e\n",
         a_same ? "unchanged" : "CHANGED", left);
  const int ok = a_same && err <= 1e-12 * (scale > 1 ? scale : 1) * n && left <= 1e-12 * scale * n &&
                 y_open;
  printf("%s\n", ok ? "ok" : "FAILED");
  free(a);
  free(x);
  free(y);
  free(ref);
  free(back);
  free(ctrl);
  return ok ? 0 : 1;
}
