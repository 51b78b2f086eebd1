/* Compiled as C and linked against the shared libraries only: proves that the
 * public header is valid C and that the interface is exported. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "platsvc.h"
#include "recstore.h"
#include "tessera.h"

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
  printf("c api: ok\n");
  return 0;
}
