/* Compiled as C and linked against the shared libraries only: proves that the
 * public headers are valid C and that the interface is exported. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "platsvc.h"
#include "recstore.h"
#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"

static int32_t trace_area[21];
static int32_t cache_area[32];
static int32_t chosky_area[567];

int main(void) {
  Xerror = (char *)trace_area;
  Xcache = (char *)cache_area;
  Xchosky = (char *)chosky_area;

  int32_t length = 20000, nfs = 1, ndesc = 10, option = 0, ierr = -1;
  int32_t *ctrl = calloc((size_t)length, sizeof *ctrl);
  hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
  if (ierr != 0 || ctrl[186] != 12345 || ctrl[138] != 1025) {
    fprintf(stderr, "hminmf: ierr %d\n", (int)ierr);
    return 1;
  }
  free(ctrl);

  /* Dense solver on [[4, 2], [2, 3]]: F = G = [[2, 1], [0, sqrt 2]], and
   * (6, 7) solves to (0.5, 2). */
  {
    double a[4] = {4, 2, 2, 3}, f[4] = {0}, g[4] = {0}, x[2] = {6, 7};
    const double r2 = sqrt(2.0);
    int32_t n = 2, k = 1, mode = 0;
    ierr = 1;
    crudr(a, f, g, &n, &n, &ierr);
    if (ierr != 0 || fabs(f[0] - 2) > 1e-15 || fabs(f[2] - 1) > 1e-15 ||
        fabs(f[3] - r2) > 1e-15 || fabs(g[0] - 2) > 1e-15 || fabs(g[2] - 1) > 1e-15 ||
        fabs(g[3] - r2) > 1e-15) {
      fprintf(stderr, "crudr: ierr %d\n", (int)ierr);
      return 1;
    }
    fwsdr(f, x, &n, &k, &mode, &ierr);
    if (ierr != 0 || fabs(x[0] - 3) > 1e-15 || fabs(x[1] - 2 * r2) > 1e-14) {
      fprintf(stderr, "fwsdr: ierr %d\n", (int)ierr);
      return 1;
    }
    bwsdr(g, x, &n, &k, &mode, &ierr);
    if (ierr != 0 || fabs(x[0] - 0.5) > 1e-14 || fabs(x[1] - 2) > 1e-14) {
      fprintf(stderr, "bwsdr: ierr %d\n", (int)ierr);
      return 1;
    }
    /* A factor with a zero on its diagonal is refused and x kept. */
    double u[4] = {1, 0, 5, 0}, x0 = x[0], x1 = x[1];
    fwsdr(u, x, &n, &k, &mode, &ierr);
    if (ierr != -2 || x[0] != x0 || x[1] != x1 || trace_area[trace_area[0]] != 30635) {
      fprintf(stderr, "fwsdr refusal: ierr %d\n", (int)ierr);
      return 1;
    }
  }
  /* The header-only helpers, as C. */
  if (tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, 1, 10, 0) <= 20000 ||
      tessera_type_code(tessera_type_word(TESSERA_TYPE_COMPLEX_DOUBLE_ITEMS, 3)) != 10 ||
      tessera_storage_band_width(tessera_storage_band(TESSERA_FORM_GENERAL, 7)) != 7 ||
      tessera_status_text(TESSERA_STATUS_FULL)[0] != 'A') {
    fprintf(stderr, "header helpers\n");
    return 1;
  }
  printf("c api: ok\n");
  return 0;
}
