/*
 * librecstore: direct-access files of fixed-length records of 32-bit words.
 *
 * Records are numbered from 0. The record length is fixed when a file is
 * created and kept in the file, so that opening reports it. Every routine
 * returns 0 for success and a non-zero value for any failure (a path that
 * cannot be created or opened, a record beyond the end of the file, a short
 * write, a failed extension, an unknown handle); none of them aborts.
 *
 * On-disk layout of a record file (all words in the byte order of the machine):
 *
 *   OFFSET  SIZE  DESCRIPTION
 *   0       4     magic 0x52435354 ("TSCR" read as little-endian bytes)
 *   4       4     layout version, 1
 *   8       4     record length in 32-bit words
 *   12      4     0
 *   16      ...   record r at byte 16 + r * 4 * record length
 *
 * The number of records is the file size after the header divided by the
 * record size. Records are read and written with pread and pwrite.
 */
#ifndef RECSTORE_H
#define RECSTORE_H

#include <stdint.h>

#if defined(__GNUC__)
#define RECSTORE_API __attribute__((visibility("default")))
#else
#define RECSTORE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Create path (replacing nothing: an existing file is an error) with
 * *records records of *reclen words, all zero. mode and flag are accepted as
 * the library passes them (2 and -1). */
RECSTORE_API int DAF_file_create(int32_t *handle, const char *path, int32_t *mode,
                                 int32_t *flag, int32_t *records, int32_t *reclen);
/* Open an existing record file; *reclen receives its record length, *out1
 * its number of records and *out2 is set to 0. */
RECSTORE_API int DAF_file_open(int32_t *handle, const char *path, int32_t *mode,
                               int32_t *out1, int32_t *out2, int32_t *reclen);
/* Close the handle; disposition 1 keeps the file, 2 deletes it. The handle
 * is released even when the deletion fails. */
RECSTORE_API int DAF_file_close(int32_t *handle, const char *path, int32_t *one,
                                int32_t *disposition);
/* Make the file *count records longer; the new records are zero. *first must
 * be the file's current number of records. workbuf (one record) is not used. */
RECSTORE_API int DAF_file_extend(int32_t *workbuf, int32_t *handle, int32_t *first,
                                 int32_t *reclen, int32_t *count);
/* Transfer count records from record on; reclen must be the file's own. */
RECSTORE_API int DAF_file_nrecord_read(int32_t handle, int32_t record, int32_t reclen,
                                       int32_t count, int32_t *buffer);
RECSTORE_API int DAF_file_nrecord_write(int32_t handle, int32_t record, int32_t reclen,
                                        int32_t count, const int32_t *buffer);

#ifdef __cplusplus
}
#endif

#endif /* RECSTORE_H */
