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
 * record size; a file whose size is not a whole number of records, or whose
 * header is not the one above, is refused on open. Records are read and
 * written with pread and pwrite, nothing is buffered in the process.
 *
 * Handles are at least 1 and come from a fixed table of 1024 open files. A
 * handle stays refused after its close, also when its slot has been given to
 * another file. The routines may be called from several threads; transfers
 * on one file must not overlap with its close.
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
 * *records records (>= 0) of *reclen words (> 0), all zero. mode and flag are
 * accepted as the library passes them (2 and -1) and carry no meaning. A file
 * that cannot be completed is removed again. *handle is 0 on failure. */
RECSTORE_API int DAF_file_create(int32_t *handle, const char *path, int32_t *mode,
                                 int32_t *flag, int32_t *records, int32_t *reclen);
/* Open an existing record file; *reclen receives its record length, *out1
 * its number of records and *out2 is set to 0 (out1 and out2 may be null).
 * mode is accepted as the library passes it (5). A file that may not be
 * written is opened for reading only; writes to it fail. *handle is 0 on
 * failure. */
RECSTORE_API int DAF_file_open(int32_t *handle, const char *path, int32_t *mode,
                               int32_t *out1, int32_t *out2, int32_t *reclen);
/* Close the handle; disposition 1 keeps the file, 2 deletes path. Any other
 * disposition, or 2 without a path, is refused and the file stays open.
 * Otherwise the handle is released even when closing or deleting fails, and
 * the result says whether both succeeded. */
RECSTORE_API int DAF_file_close(int32_t *handle, const char *path, int32_t *one,
                                int32_t *disposition);
/* Make the file *count records longer from record *first; the new records
 * are zero. *first is normally the file's current number of records; when the
 * file already has some or all of the records asked for (an earlier call was
 * part of an extension that failed on another file of the set), only the
 * missing ones are added. *first beyond the end is refused, *reclen must be
 * the file's record length, and a file is never shortened. *count 0 does
 * nothing. workbuf (one record) is not used. The new records
 * take disk space only when written, so a full disk shows as a failed write. */
RECSTORE_API int DAF_file_extend(int32_t *workbuf, int32_t *handle, int32_t *first,
                                 int32_t *reclen, int32_t *count);
/* Transfer count records (>= 0) from record on; reclen must be the file's
 * own and every record must lie inside the file. A transfer cut short by the
 * file system is a failure; a failed write may have stored part of it. */
RECSTORE_API int DAF_file_nrecord_read(int32_t handle, int32_t record, int32_t reclen,
                                       int32_t count, int32_t *buffer);
RECSTORE_API int DAF_file_nrecord_write(int32_t handle, int32_t record, int32_t reclen,
                                        int32_t count, const int32_t *buffer);

#ifdef __cplusplus
}
#endif

#endif /* RECSTORE_H */
