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
 *
 * File sets. Open files can be grouped into a set (DAF_set_attach) that
 * moves from one committed state to the next (DAF_set_commit) as a whole:
 * when the process is killed, or the machine loses the writes it had not yet
 * put on the disk, the next attach finds the files as the last commit left
 * them. The set keeps a journal beside its first file, named after it with
 * ".jnl" appended:
 *   - a record that the last commit needs (below the file's length at that
 *     commit, and not released with DAF_set_release) is not overwritten in
 *     place: its new contents go to the journal, and reads of it are served
 *     from there;
 *   - every other record is written in place (records the commit left free,
 *     records added by growing the file); a set that stops before its next
 *     commit keeps whatever they hold and the length its files grew to;
 *   - the commit syncs the files, then the journal, then marks the journal
 *     committed and syncs it again (the commit point), copies the journal
 *     into the files, syncs them and deletes the journal;
 *   - attaching a set whose journal is committed copies it into the files
 *     first (again, if a copy had begun); a journal without a commit mark is
 *     deleted.
 * The journal is made at the first write that needs it and exists only
 * between that write and the next commit. Only one opening of a set keeps a
 * journal: the first attach takes an exclusive lock on the first file, and a
 * set attached while that lock is held elsewhere (another process, or a
 * second opening in this one) neither recovers nor journals, and writes in
 * place.
 */
#ifndef RECSTORE_H
#define RECSTORE_H

#include <stddef.h>
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
 * that cannot be completed is removed again. A set journal beside path (path
 * with ".jnl" appended) is deleted first: it belonged to a set that no
 * longer exists. *handle is 0 on failure. */
RECSTORE_API int DAF_file_create(int32_t *handle, const char *path, int32_t *mode,
                                 int32_t *flag, int32_t *records, int32_t *reclen);
/* Open an existing record file; *reclen receives its record length, *out1
 * its number of records and *out2 is set to 0 (out1 and out2 may be null).
 * mode is accepted as the library passes it (5). A file that may not be
 * written is opened for reading only; writes to it fail. *handle is 0 on
 * failure. */
RECSTORE_API int DAF_file_open(int32_t *handle, const char *path, int32_t *mode,
                               int32_t *out1, int32_t *out2, int32_t *reclen);
/* Close the handle; disposition 1 keeps the file, 2 deletes path and syncs
 * its directory. Any other disposition, or 2 without a path, is refused and
 * the file stays open. Otherwise the handle is released even when closing or
 * deleting fails, and the result says whether both succeeded. Closing a file
 * of a set ends the set: a journal without a commit is deleted (the next
 * attach finds the last commit), and with disposition 2 any journal is. */
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

/* Group n open files (handles, in set order, with the paths they were
 * opened with) into one set, named from now on by handles[0]. Record r of the
 * set is record r / n of file r mod n. created != 0: the files were just
 * created, so there is nothing to recover; their directories are synced at
 * the first commit. Otherwise a journal left by an earlier opening is
 * applied or deleted before this returns (see above), and a journal that is
 * not this set's (another layout, another number of files or record length)
 * is refused and left in place. Until released, every record of the files as
 * they are now is protected. Fails when a handle already belongs to a set. */
RECSTORE_API int DAF_set_attach(int32_t n, const int32_t *handles, const char *const *paths,
                                int32_t created);
/* Records first .. first + count - 1 of the set hold nothing that the last
 * commit needs (they are free in it): they are written in place until the
 * next commit. Records past the files' ends are ignored. */
RECSTORE_API int DAF_set_release(int32_t set, int32_t first, int32_t count);
/* Make everything written to the set since its last commit (or attach)
 * durable as one step, and the new state the one a later attach finds. A
 * failure before the commit point leaves the last commit standing and the
 * set usable: the call can be repeated. Once it returns 0 a power loss
 * loses nothing of it. Afterwards every record is protected again. */
RECSTORE_API int DAF_set_commit(int32_t set);

/* For tests: the system calls the service makes, each with the meaning and
 * result of the POSIX call it is named after (offsets and results 64-bit,
 * -1 with errno on failure). The service makes no other calls that change a
 * file or a directory. */
typedef struct DAF_system_calls {
  int (*open_at)(int dirfd, const char *path, int flags, int mode);
  int (*close)(int fd);
  int64_t (*pread)(int fd, void *buffer, size_t bytes, int64_t offset);
  int64_t (*pwrite)(int fd, const void *buffer, size_t bytes, int64_t offset);
  int (*ftruncate)(int fd, int64_t length);
  int (*fdatasync)(int fd);
  int (*fsync)(int fd);
  int (*unlink_at)(int dirfd, const char *path);
} DAF_system_calls;
/* Put calls in place of the ones in use (null: the system's own) and return
 * those in *previous (when not null). Not for use while a transfer runs. */
RECSTORE_API void DAF_set_system_calls(const DAF_system_calls *calls, DAF_system_calls *previous);

#ifdef __cplusplus
}
#endif

#endif /* RECSTORE_H */
