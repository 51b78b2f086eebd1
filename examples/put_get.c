/* Example host: creates a file set with one 1000 x 1000 double matrix, puts
 * 100 columns into it, gets a 10 x 10 region back, and keeps the file set in
 * demo.tsf (look at it with tessera_fsinfo demo.tsf). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"

static int32_t trace[TESSERA_TRACE_WORDS], cache[TESSERA_CACHE_WORDS],
    chosky[TESSERA_CHOSKY_WORDS];

/* After a failure, trace[0] is the last slot written and trace[1..20] hold
 * the trace codes of the failure path, innermost first. */
static int failed(const char *what, int32_t ierr) {
  if (ierr == 0) return 0;
  fprintf(stderr, "%s: status %d: %s\n  trace", what, (int)ierr, tessera_status_text(ierr));
  for (int32_t i = 1; i <= trace[0] && i <= TESSERA_TRACE_CODES; ++i)
    fprintf(stderr, " %d", (int)trace[i]);
  fprintf(stderr, "\n");
  return 1;
}

int main(void) {
  Xerror = (char *)trace; /* link all three before the first call */
  Xcache = (char *)cache;
  Xchosky = (char *)chosky;

  /* The control area for 8192-word records (64 x 64 blocks of doubles), one
   * file set, four matrices and a pool of 440 buffers: 3.7M words. */
  const int32_t record_length = 8192;
  int32_t nfs = 1, ndesc = 4, option = 0, ierr = 0;
  int32_t length = tessera_control_length(record_length, nfs, ndesc, 440);
  int32_t *ctrl = calloc((size_t)length, sizeof *ctrl);
  if (ctrl == NULL) return 1;
  hminmf(ctrl, &length, &nfs, &ndesc, &option, &ierr);
  if (failed("hminmf", ierr)) return 1;
  TESSERA_CTRL(ctrl, TESSERA_CTRL_RECORD_LENGTH) = record_length;
  TESSERA_CTRL(ctrl, TESSERA_CTRL_BLAS) = TESSERA_BLAS_ON; /* DGEMM for double blocks */

  /* One file, created with room for 4M words; it grows when it must. */
  char *names[] = {"demo.tsf"};
  int32_t nfiles = 1, index_records = 0, initial_words = 4000000, fs = 0;
  hmnewf(ctrl, &nfiles, names, &index_records, &initial_words, &fs, &ierr);
  if (failed("hmnewf", ierr)) return 1;

  int32_t name[3]; /* 12 bytes, blank-padded, not terminated */
  memcpy(name, "DEMO        ", TESSERA_NAME_BYTES);
  int32_t qualifier = 1;
  int32_t type = tessera_type_word(TESSERA_TYPE_DOUBLE, 1);
  int32_t storage = tessera_storage_word(TESSERA_FORM_GENERAL);
  int32_t n = 1000, a = 0;
  hmnewm(ctrl, name, &qualifier, &fs, &type, &storage, &n, &n, &a, &ierr);
  if (failed("hmnewm", ierr)) return 1;

  /* Put columns 1..100 from a host array with leading dimension n. The
   * array is declared float * but holds elements of the matrix's type. */
  int32_t one = 1, ncols = 100;
  double *cols = malloc(sizeof(double) * (size_t)n * ncols);
  if (cols == NULL) return 1;
  for (int32_t i = 0; i < n * ncols; ++i) cols[i] = i;
  hmputs(ctrl, &a, &one, &n, &one, &ncols, (const float *)cols, &n, &ierr);
  if (failed("hmputs", ierr)) return 1;

  /* Get the 10 x 10 region that starts at row 5, column 7. */
  double region[100];
  int32_t i1 = 5, j1 = 7, ten = 10;
  hmgets(ctrl, &a, &i1, &ten, &j1, &ten, (float *)region, &ten, &ierr);
  if (failed("hmgets", ierr)) return 1;
  printf("a(5,7) = %g\n", region[0]); /* 6 * 1000 + 4 */

  hmrelm(ctrl, &a, &ierr); /* writes the modified blocks back */
  if (failed("hmrelm", ierr)) return 1;
  hmremf(ctrl, &fs, &ierr); /* writes the set's tables, keeps its file */
  if (failed("hmremf", ierr)) return 1;
  ierr = TESSERA_CLOSE_CHECK; /* hmclos reads ierr as its mode */
  hmclos(ctrl, &ierr);
  if (failed("hmclos", ierr)) return 1;
  free(cols);
  free(ctrl);
  return 0;
}
