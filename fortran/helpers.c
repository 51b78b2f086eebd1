/* The header-only helpers of tessera_sizing.h and tessera_status.h as
 * functions the Fortran module can bind to (it cannot call C inline code). */
#include <stdint.h>

#include "tessera_sizing.h"
#include "tessera_status.h"

int32_t tessera_fortran_control_length(int32_t record_length, int32_t nfs, int32_t ndesc,
                                       int32_t buffers);
int32_t tessera_fortran_fileset_min_words(int32_t record_length, int32_t control_length,
                                          int32_t index_records);
int32_t tessera_fortran_buffers_for_hyperblock(int32_t b1, int32_t ndesc);
const char *tessera_fortran_status_text(int32_t status);

int32_t tessera_fortran_control_length(int32_t record_length, int32_t nfs, int32_t ndesc,
                                       int32_t buffers) {
  return tessera_control_length(record_length, nfs, ndesc, buffers);
}

int32_t tessera_fortran_fileset_min_words(int32_t record_length, int32_t control_length,
                                          int32_t index_records) {
  return tessera_fileset_min_words(record_length, control_length, index_records);
}

int32_t tessera_fortran_buffers_for_hyperblock(int32_t b1, int32_t ndesc) {
  return tessera_buffers_for_hyperblock(b1, ndesc);
}

const char *tessera_fortran_status_text(int32_t status) { return tessera_status_text(status); }
