/* Example host: a finite-element code that assembles its stiffness matrix
 * straight into a hypermatrix and hands it to the out-of-core solver.
 *
 * A cantilever in plane stress, nx x ny square bilinear elements (2 x 2
 * Gauss points), clamped at x = 0 and pulled down at its free end. The host:
 *
 *  1. creates a file set and a symmetric (storage form 1) double matrix in it:
 *     only the blocks on and above the block diagonal are stored, so every
 *     entry goes in as (min(i, j), max(i, j));
 *  2. assembles element by element. hmputs replaces values, so adding an
 *     element's contribution is get, add, put;
 *  3. releases the matrix and removes the set (its files stay), so the set
 *     is complete on disk;
 *  4. calls the solver's C interface with the set's file and the matrix's
 *     name: the solver reads the matrix block by block, never all at once.
 *
 *   fe_host [nx [ny [directory]]]     (defaults 120, 30, the current directory)
 *
 * It prints the tip deflection beside the beam-theory value and exits 0 when
 * the solve's scaled residual is small. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"
#include "tessera_solve.h"

static int32_t trace[TESSERA_TRACE_WORDS], cache[TESSERA_CACHE_WORDS],
    chosky[TESSERA_CHOSKY_WORDS];

static const double kYoung = 1000.0, kPoisson = 0.3, kLoad = 1.0;
static const double kResidualLimit = 100.0;

static int failed(const char *what, int32_t ierr) {
  if (ierr == 0) return 0;
  fprintf(stderr, "%s: %s (status %d), trace", what, tessera_status_text(ierr), (int)ierr);
  for (int32_t i = 1; i <= trace[0] && i <= TESSERA_TRACE_CODES; ++i)
    fprintf(stderr, " %d", (int)trace[i]);
  fprintf(stderr, "\n");
  return 1;
}

/* Stiffness of a unit square bilinear element in plane stress, dofs
 * (u, v) of nodes (0,0), (1,0), (1,1), (0,1). */
static void element_stiffness(double ke[8][8]) {
  const double c = kYoung / (1 - kPoisson * kPoisson);
  const double d[3][3] = {{c, c * kPoisson, 0}, {c * kPoisson, c, 0}, {0, 0, c * (1 - kPoisson) / 2}};
  const double xi[4] = {-1, 1, 1, -1}, eta[4] = {-1, -1, 1, 1};
  const double g = 1 / sqrt(3.0);
  memset(ke, 0, sizeof(double) * 64);
  for (int gp = 0; gp < 4; ++gp) {
    const double s = (gp % 2 ? g : -g), t = (gp / 2 ? g : -g);
    double b[3][8] = {{0}};
    for (int a = 0; a < 4; ++a) {
      /* Derivatives in x and y: d/dxi times 2 for an element of side 1. */
      const double dx = xi[a] * (1 + eta[a] * t) / 4 * 2, dy = eta[a] * (1 + xi[a] * s) / 4 * 2;
      b[0][2 * a] = dx;
      b[1][2 * a + 1] = dy;
      b[2][2 * a] = dy;
      b[2][2 * a + 1] = dx;
    }
    /* Weight 1 per point, Jacobian determinant 1/4. */
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 8; ++j) {
        double v = 0;
        for (int k = 0; k < 3; ++k)
          for (int l = 0; l < 3; ++l) v += b[k][i] * d[k][l] * b[l][j];
        ke[i][j] += v / 4;
      }
  }
}

/* Equation of dof c (0: u, 1: v) of node (i, j); -1 for the clamped nodes. */
static int32_t equation(int32_t i, int32_t j, int32_t c, int32_t nx) {
  return i == 0 ? -1 : 2 * ((i - 1) + j * nx) + c;
}

int main(int argc, char **argv) {
  const int32_t nx = argc > 1 ? atoi(argv[1]) : 120, ny = argc > 2 ? atoi(argv[2]) : 30;
  const char *dir = argc > 3 ? argv[3] : ".";
  if (nx < 1 || ny < 1) return 2;
  const int32_t n = 2 * nx * (ny + 1);
  char file[4096];
  snprintf(file, sizeof file, "%s/cantilever.tsf", dir);

  Xerror = (char *)trace;
  Xcache = (char *)cache;
  Xchosky = (char *)chosky;

  /* A control area for one set with 8192-word records (blocks of 64 x 64
   * doubles) and 100 buffers. */
  int32_t reclen = 8192, nfs = 1, ndesc = 4, option = 0, ierr = 0;
  int32_t length = tessera_control_length(reclen, nfs, ndesc, 100);
  int32_t *ctrl = calloc((size_t)length, sizeof *ctrl);
  if (ctrl == NULL) return 1;
  hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
  if (failed("hminmf", ierr)) return 1;
  TESSERA_CTRL(ctrl, TESSERA_CTRL_RECORD_LENGTH) = reclen;

  char *names[] = {file};
  int32_t nfiles = 1, index_records = 0, fs = 0;
  int32_t initial = tessera_fileset_min_words(reclen, length, 0);
  hmnewf(ctrl, &nfiles, names, &index_records, &initial, &fs, &ierr);
  if (failed("hmnewf", ierr)) return 1;
  int32_t name[3], qualifier = 1, type = TESSERA_TYPE_DOUBLE, form = TESSERA_FORM_SYMMETRIC, k = 0;
  memcpy(name, "STIFFNESS   ", TESSERA_NAME_BYTES);
  hmnewm(ctrl, name, &qualifier, &fs, &type, &form, &n, &n, &k, &ierr);
  if (failed("hmnewm", ierr)) return 1;

  /* Assembly: each entry of each element added into place. */
  double ke[8][8];
  element_stiffness(ke);
  const int32_t di[4] = {0, 1, 1, 0}, dj[4] = {0, 0, 1, 1};
  int32_t one = 1;
  for (int32_t j = 0; j < ny; ++j)
    for (int32_t i = 0; i < nx; ++i) {
      int32_t eq[8];
      for (int a = 0; a < 4; ++a)
        for (int c = 0; c < 2; ++c) eq[2 * a + c] = equation(i + di[a], j + dj[a], c, nx);
      for (int a = 0; a < 8; ++a)
        for (int b = 0; b < 8; ++b) {
          if (eq[a] < 0 || eq[b] < 0 || eq[a] > eq[b] || (eq[a] == eq[b] && a != b)) continue;
          int32_t row = eq[a] + 1, col = eq[b] + 1;
          double v = 0;
          hmgets(ctrl, &k, &row, &one, &col, &one, (float *)&v, &one, &ierr);
          if (failed("hmgets", ierr)) return 1;
          v += ke[a][b];
          hmputs(ctrl, &k, &row, &one, &col, &one, (const float *)&v, &one, &ierr);
          if (failed("hmputs", ierr)) return 1;
        }
    }
  hmrelm(ctrl, &k, &ierr);
  if (failed("hmrelm", ierr)) return 1;
  hmremf(ctrl, &fs, &ierr);
  if (failed("hmremf", ierr)) return 1;
  ierr = TESSERA_CLOSE_CHECK;
  hmclos(ctrl, &ierr);
  if (failed("hmclos", ierr)) return 1;
  free(ctrl);

  /* The load: a downward force spread over the free end's nodes. */
  double *b = calloc((size_t)n, sizeof *b), *x = calloc((size_t)n, sizeof *x);
  if (b == NULL || x == NULL) return 1;
  for (int32_t j = 0; j <= ny; ++j)
    b[equation(nx, j, 1, nx)] = -kLoad / (ny + 1);

  tessera_solver *s = tessera_solve_create();
  const char *files[] = {file};
  tessera_solve_set_fileset(s, 1, files, "STIFFNESS", 1);
  tessera_solve_set_rhs(s, 1, b, n);
  tessera_solve_set_memory(s, (int64_t)256 << 20);
  tessera_solve_set_work_dir(s, dir);
  if (tessera_solve_run(s) != TESSERA_SOLVE_OK) {
    fprintf(stderr, "solve: %s\n", tessera_solve_message(s));
    return 1;
  }
  tessera_solve_solution(s, x, n);
  tessera_solve_report r;
  tessera_solve_get_report(s, &r);
  /* Euler-Bernoulli: P L^3 / (3 E I), I = h^3 / 12 for a unit thickness. */
  const double beam = kLoad * nx * (double)nx * nx / (3 * kYoung * ny * (double)ny * ny / 12);
  printf("cantilever %d x %d elements, %d equations, assembled into %s\n", (int)nx, (int)ny,
         (int)n, file);
  printf("solve: block order %d, %lld stored blocks, factor %.1f MB, %.3f s to factorise "
         "(%.2f GFLOP/s), peak resident %.0f MB\n",
         (int)r.block_order, (long long)r.stored_blocks, r.factor_mb, r.seconds_factor, r.gflops,
         r.peak_rss_mb);
  printf("tip deflection %.5g (beam theory %.5g), scaled residual %.3g\n",
         x[equation(nx, ny / 2, 1, nx)], -beam, r.scaled_residual);
  tessera_solve_destroy(s);
  remove(file);
  free(b);
  free(x);
  return r.scaled_residual < kResidualLimit ? 0 : 1;
}
