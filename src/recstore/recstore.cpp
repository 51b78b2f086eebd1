// librecstore: direct-access files of fixed-length records of 32-bit words.
//
// Owns the handle table (a fixed array of open files, each with its record
// length and a cached record count) and every byte the service reads or
// writes. The layout of a file is described in recstore.h. All transfers use
// pread/pwrite on the file descriptor; nothing is buffered in the process, so
// a record written is what the next read of any handle returns.

// Record files outgrow 2 GiB long before their record numbers outgrow int32,
// so the i386 build needs 64-bit file offsets too.
#define _FILE_OFFSET_BITS 64

#include "recstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <mutex>

static_assert(sizeof(off_t) == 8, "record files need 64-bit offsets");

namespace {

constexpr int32_t kMagic = 0x52435354;
constexpr int32_t kVersion = 1;
constexpr off_t kHeaderBytes = 16;
constexpr int kHeaderWords = 4;

// Failure results. Callers only test for non-zero; distinct values make a
// failing call easy to place when debugging.
enum : int {
  kOk = 0,
  kBadArgument = 1,     // null pointer, negative count, bad record length
  kBadHandle = 2,       // unknown, closed or stale handle
  kTableFull = 3,
  kCreateFailed = 4,
  kOpenFailed = 5,
  kBadHeader = 6,       // not a record file, or a damaged one
  kLengthDiffers = 7,   // record length argument is not the file's
  kOutOfRange = 8,      // record beyond the end of the file
  kIoFailed = 9,        // read or write failed or made no progress
  kExtendFailed = 10,
  kCloseFailed = 11,
  kDeleteFailed = 12,
};

// Handles encode the slot and a generation count, so a handle kept after its
// close is refused even when the slot has been given to another file.
constexpr int32_t kSlots = 1024;
constexpr int32_t kGenerations = std::numeric_limits<int32_t>::max() / kSlots - 1;

struct Slot {
  int fd = -1;             // -1: free
  int32_t generation = 0;  // bumped when the slot is released
  int32_t reclen = 0;      // words per record
  int32_t records = 0;     // record count as last seen; files only grow
};

Slot g_slots[kSlots];
std::mutex g_mutex;

int32_t handle_of(int32_t index) { return g_slots[index].generation * kSlots + index + 1; }

// The slot behind a handle, or null. Caller holds g_mutex.
Slot *lookup(int32_t handle) {
  if (handle < 1) return nullptr;
  const int32_t index = (handle - 1) % kSlots;
  Slot &s = g_slots[index];
  if (s.fd < 0 || handle_of(index) != handle) return nullptr;
  return &s;
}

// Index of a free slot, or -1 when the table is full. Caller holds g_mutex.
int32_t free_slot() {
  for (int32_t i = 0; i < kSlots; ++i) {
    if (g_slots[i].fd < 0) return i;
  }
  return -1;
}

int32_t occupy(int32_t index, int fd, int32_t reclen, int32_t records) {
  g_slots[index].fd = fd;
  g_slots[index].reclen = reclen;
  g_slots[index].records = records;
  return handle_of(index);
}

void release_slot(Slot &s) {
  s.fd = -1;
  s.generation = s.generation + 1 >= kGenerations ? 0 : s.generation + 1;
}

off_t record_bytes(int32_t reclen) { return static_cast<off_t>(reclen) * 4; }

off_t record_offset(int32_t record, int32_t reclen) {
  return kHeaderBytes + static_cast<off_t>(record) * record_bytes(reclen);
}

// False when a file of `records` records of `reclen` words would pass the
// largest offset the system can express.
bool size_fits(int64_t records, int32_t reclen) {
  return records <= (std::numeric_limits<off_t>::max() - kHeaderBytes) / record_bytes(reclen);
}

// Bytes of `count` records, or 0 when they cannot be one transfer (only the
// i386 build can meet that: a buffer of 2 GiB or more).
size_t transfer_bytes(int32_t count, int32_t reclen) {
  const uint64_t bytes = static_cast<uint64_t>(count) * static_cast<uint64_t>(reclen) * 4;
  return bytes > static_cast<uint64_t>(std::numeric_limits<ssize_t>::max())
             ? 0
             : static_cast<size_t>(bytes);
}

// Whole transfers: partial transfers continue where they stopped, EINTR is
// retried, and a call that makes no progress (end of file, disk full) fails.
bool read_all(int fd, void *buf, size_t bytes, off_t at) {
  auto *p = static_cast<char *>(buf);
  while (bytes > 0) {
    const ssize_t got = ::pread(fd, p, bytes, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    bytes -= static_cast<size_t>(got);
    at += got;
  }
  return true;
}

bool write_all(int fd, const void *buf, size_t bytes, off_t at) {
  const auto *p = static_cast<const char *>(buf);
  while (bytes > 0) {
    const ssize_t put = ::pwrite(fd, p, bytes, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    bytes -= static_cast<size_t>(put);
    at += put;
  }
  return true;
}

// Records in the file as it stands, or -1 when its size is not a whole
// number of records or the count does not fit a record number.
int64_t records_on_disk(int fd, int32_t reclen) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < kHeaderBytes) return -1;
  const off_t body = st.st_size - kHeaderBytes;
  const off_t rb = record_bytes(reclen);
  if (body % rb != 0) return -1;
  const off_t n = body / rb;
  if (n > std::numeric_limits<int32_t>::max()) return -1;
  return static_cast<int64_t>(n);
}

// Check that records [record, record + count) exist. The cached count can
// lag behind a growth made through another handle of the same file, so a
// miss is checked against the file before it is refused.
int check_range(Slot &s, int32_t record, int32_t reclen, int32_t count, const void *buffer) {
  if (reclen != s.reclen) return kLengthDiffers;
  if (record < 0 || count < 0 || (count > 0 && buffer == nullptr)) return kBadArgument;
  const int64_t end = static_cast<int64_t>(record) + count;
  if (end > s.records) {
    const int64_t now = records_on_disk(s.fd, s.reclen);
    if (now < 0) return kBadHeader;
    s.records = static_cast<int32_t>(now);
    if (end > s.records) return kOutOfRange;
  }
  return kOk;
}

// The file and byte count of a transfer of count records from record on:
// checked against the handle's file under the table lock; the transfer itself
// runs without it. bytes is 0 for an empty transfer.
int prepare_transfer(int32_t handle, int32_t record, int32_t reclen, int32_t count,
                            const int32_t *buffer, int &fd, size_t &bytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot *s = lookup(handle);
  if (s == nullptr) return kBadHandle;
  if (const int r = check_range(*s, record, reclen, count, buffer); r != kOk) return r;
  fd = s->fd;
  bytes = 0;
  if (count == 0) return kOk;
  bytes = transfer_bytes(count, reclen);
  return bytes == 0 ? kBadArgument : kOk;
}

}  // namespace

extern "C" {

// mode and flag carry no meaning for this service; files are always opened
// for reading and writing.
RECSTORE_API int DAF_file_create(int32_t *handle, const char *path, int32_t * /*mode*/,
                                 int32_t * /*flag*/, int32_t *records, int32_t *reclen) {
  if (handle == nullptr) return kBadArgument;
  *handle = 0;
  if (path == nullptr || path[0] == '\0' || records == nullptr || reclen == nullptr ||
      *records < 0 || *reclen <= 0) {
    return kBadArgument;
  }
  const int32_t n = *records, L = *reclen;
  if (!size_fits(n, L)) return kBadArgument;
  std::lock_guard<std::mutex> lock(g_mutex);
  const int32_t index = free_slot();
  if (index < 0) return kTableFull;
  const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return kCreateFailed;
  const int32_t header[kHeaderWords] = {kMagic, kVersion, L, 0};
  // A file half made is removed: it holds nothing, and leaving it would make
  // every later create of the same path fail.
  if (!write_all(fd, header, sizeof header, 0) ||
      ::ftruncate(fd, record_offset(n, L)) != 0) {
    ::close(fd);
    ::unlink(path);
    return kCreateFailed;
  }
  *handle = occupy(index, fd, L, n);
  return kOk;
}

// mode is accepted as the library passes it. A file that may not be written
// is still opened for reading; writes to it then fail.
RECSTORE_API int DAF_file_open(int32_t *handle, const char *path, int32_t * /*mode*/,
                               int32_t *out1, int32_t *out2, int32_t *reclen) {
  if (handle == nullptr) return kBadArgument;
  *handle = 0;
  if (path == nullptr || reclen == nullptr) return kBadArgument;
  std::lock_guard<std::mutex> lock(g_mutex);
  const int32_t index = free_slot();
  if (index < 0) return kTableFull;
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kOpenFailed;
  struct stat st;
  int32_t header[kHeaderWords] = {};
  int result = kOk;
  int64_t n = -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result = kOpenFailed;
  } else if (!read_all(fd, header, sizeof header, 0) || header[0] != kMagic ||
             header[1] != kVersion || header[2] <= 0 ||
             (n = records_on_disk(fd, header[2])) < 0) {
    result = kBadHeader;
  }
  if (result != kOk) {
    ::close(fd);
    return result;
  }
  *handle = occupy(index, fd, header[2], static_cast<int32_t>(n));
  *reclen = header[2];
  if (out1 != nullptr) *out1 = static_cast<int32_t>(n);
  if (out2 != nullptr) *out2 = 0;
  return kOk;
}

// The arguments are checked before anything happens, so a refused call
// leaves the file open; once the descriptor is closed the handle is gone,
// whatever the deletion does.
RECSTORE_API int DAF_file_close(int32_t *handle, const char *path, int32_t * /*one*/,
                                int32_t *disposition) {
  if (handle == nullptr || disposition == nullptr) return kBadArgument;
  if (*disposition != 1 && *disposition != 2) return kBadArgument;
  if (*disposition == 2 && (path == nullptr || path[0] == '\0')) return kBadArgument;
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot *s = lookup(*handle);
  if (s == nullptr) return kBadHandle;
  const int closed = ::close(s->fd);
  release_slot(*s);
  if (*disposition == 2 && ::unlink(path) != 0) return kDeleteFailed;
  // close may report a failed deferred write; the descriptor is gone anyway.
  return closed == 0 ? kOk : kCloseFailed;
}

// Growth only at the end: *first must be the current number of records, so
// a caller with a wrong idea of the file's size cannot leave a gap or cut
// records off. New records are a hole and read as zero; the space is taken
// when they are written, so a full disk shows up as a failed write.
RECSTORE_API int DAF_file_extend(int32_t * /*workbuf*/, int32_t *handle, int32_t *first,
                                 int32_t *reclen, int32_t *count) {
  if (handle == nullptr || first == nullptr || reclen == nullptr || count == nullptr) {
    return kBadArgument;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot *s = lookup(*handle);
  if (s == nullptr) return kBadHandle;
  if (*reclen != s->reclen) return kLengthDiffers;
  if (*count < 0) return kBadArgument;
  const int64_t now = records_on_disk(s->fd, s->reclen);
  if (now < 0) return kBadHeader;
  s->records = static_cast<int32_t>(now);
  // The file must end up with first + count records. An extension that was
  // partly done before (a caller whose set of files grew unevenly when a
  // later file's extension was refused, and who now asks again from the
  // set's old end) finds some of them there already and adds only the rest.
  if (*first > now) return kOutOfRange;
  const int64_t end = int64_t{*first} + *count;
  if (end <= now) return kOk;
  if (end > std::numeric_limits<int32_t>::max() || !size_fits(end, s->reclen)) {
    return kOutOfRange;
  }
  int rc;
  do {
    rc = ::ftruncate(s->fd, record_offset(static_cast<int32_t>(end), s->reclen));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return kExtendFailed;
  s->records = static_cast<int32_t>(end);
  return kOk;
}

RECSTORE_API int DAF_file_nrecord_read(int32_t handle, int32_t record, int32_t reclen,
                                       int32_t count, int32_t *buffer) {
  int fd;
  size_t bytes;
  if (const int r = prepare_transfer(handle, record, reclen, count, buffer, fd, bytes); r != kOk) {
    return r;
  }
  if (bytes == 0) return kOk;
  return read_all(fd, buffer, bytes, record_offset(record, reclen)) ? kOk : kIoFailed;
}

RECSTORE_API int DAF_file_nrecord_write(int32_t handle, int32_t record, int32_t reclen,
                                        int32_t count, const int32_t *buffer) {
  int fd;
  size_t bytes;
  if (const int r = prepare_transfer(handle, record, reclen, count, buffer, fd, bytes); r != kOk) {
    return r;
  }
  if (bytes == 0) return kOk;
  return write_all(fd, buffer, bytes, record_offset(record, reclen)) ? kOk : kIoFailed;
}

}  // extern "C"
