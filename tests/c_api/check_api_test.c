/* The self-check's header is valid C, and libtessera.so exports its entry
 * points: this program is compiled as C and links the shared library only.
 * A missing file and a file that is not a set are named in the message. */
#include <stdio.h>
#include <string.h>

#include "tessera_check.h"

int main(int argc, char **argv) {
  const char *missing[] = {"/nonexistent/set1.hm"};
  tessera_view *view = (tessera_view *)1;
  char message[512];
  int failures = 0;
  if (tessera_view_open(1, missing, &view, message, sizeof message) != TESSERA_VIEW_MISSING_FILE ||
      view != NULL || strstr(message, "set1.hm': no such file") == NULL) {
    fprintf(stderr, "missing file: %s\n", message);
    ++failures;
  }
  /* The program itself is a file, but no record file. */
  const char *program[] = {argv[0]};
  if (argc < 1 || tessera_view_open(1, program, &view, message, sizeof message) !=
                      TESSERA_VIEW_NOT_RECORD_FILE) {
    fprintf(stderr, "not a record file: %s\n", message);
    ++failures;
  }
  tessera_view_close(NULL);
  if (tessera_view_matrix_count(NULL) != 0 || tessera_view_check(NULL, NULL, NULL) != 0) ++failures;
  return failures == 0 ? 0 : 1;
}
