// librecstore: direct-access files of fixed-length records of 32-bit words.
//
// Owns the handle table (a fixed array of open files, each with its record
// length and a cached record count), the table of file sets (groups of open
// files that commit together, each with its journal) and every byte the
// service reads or writes. The layout of a record file is described in
// recstore.h, that of a journal below. All transfers use pread/pwrite on the
// file descriptor; nothing is buffered in the process.
//
// Every system call that reads, writes, syncs, makes or deletes a file goes
// through one table (g_sys), so that a test can stand in for the file
// system: fail a call, or lose the writes not yet synced. (fstat and flock,
// which change no file's contents, are called directly.)
//
// A file set's records that its last commit needs ("protected": below the
// length a file had at the commit and not released as free) are never
// overwritten between commits. Their new contents go to the set's journal
// instead, and reads of them are served from there; the commit makes the
// journal durable, marks it committed, and only then copies it into the
// files. Invariants of an attached set:
//  1. a protected record of member i at record r holds its committed contents
//     in the file; its latest contents are in frame where[(i, r)] of the
//     journal when that key exists;
//  2. the journal on disk holds no commit mark until every file's own writes
//     and every frame are durable;
//  3. after a commit mark is durable, the journal is deleted only once its
//     frames are durable in the files.
// So a set stopped at any instant (killed, or the machine losing the writes
// not yet synced) holds the state of its last commit in its files, plus a
// journal that either has no commit mark (dropped on the next attach) or
// has one (copied in again on the next attach).

// Record files outgrow 2 GiB long before their record numbers outgrow int32,
// so the i386 build needs 64-bit file offsets too.
#define _FILE_OFFSET_BITS 64

#include "recstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

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
  kJournalFailed = 13,  // the journal could not be written, synced or applied
  kForeignJournal = 14, // a journal that is not this set's, or is damaged
  kNoMemory = 15,
  kSyncFailed = 16,
};

// ---------------------------------------------------------------------------
// System calls.

int sys_open_at(int dirfd, const char *path, int flags, int mode) {
  return ::openat(dirfd, path, flags, static_cast<mode_t>(mode));
}
int sys_close(int fd) { return ::close(fd); }
int64_t sys_pread(int fd, void *buf, size_t n, int64_t at) { return ::pread(fd, buf, n, at); }
int64_t sys_pwrite(int fd, const void *buf, size_t n, int64_t at) {
  return ::pwrite(fd, buf, n, at);
}
int sys_ftruncate(int fd, int64_t length) { return ::ftruncate(fd, length); }
int sys_fdatasync(int fd) { return ::fdatasync(fd); }
int sys_fsync(int fd) { return ::fsync(fd); }
int sys_unlink_at(int dirfd, const char *path) { return ::unlinkat(dirfd, path, 0); }

constexpr DAF_system_calls kSystem = {sys_open_at, sys_close,     sys_pread, sys_pwrite,
                                      sys_ftruncate, sys_fdatasync, sys_fsync, sys_unlink_at};
DAF_system_calls g_sys = kSystem;

// ---------------------------------------------------------------------------
// Handles.

// Handles encode the slot and a generation count, so a handle kept after its
// close is refused even when the slot has been given to another file.
constexpr int32_t kSlots = 1024;
constexpr int32_t kGenerations = std::numeric_limits<int32_t>::max() / kSlots - 1;

struct Slot {
  int fd = -1;             // -1: free
  int32_t generation = 0;  // bumped when the slot is released
  int32_t reclen = 0;      // words per record
  int32_t records = 0;     // record count as last seen; files only grow
  int32_t set = -1;        // slot index of the set's first file, or -1
  int32_t member = 0;      // position in that set, from 0
};

Slot g_slots[kSlots];
std::mutex g_mutex;

int32_t handle_of(int32_t index) { return g_slots[index].generation * kSlots + index + 1; }

int32_t index_of(int32_t handle) { return (handle - 1) % kSlots; }

// The slot behind a handle, or null. Caller holds g_mutex.
Slot *lookup(int32_t handle) {
  if (handle < 1) return nullptr;
  const int32_t index = index_of(handle);
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
  g_slots[index].set = -1;
  return handle_of(index);
}

void release_slot(Slot &s) {
  s.fd = -1;
  s.set = -1;
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
    const int64_t got = g_sys.pread(fd, p, bytes, at);
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
    const int64_t put = g_sys.pwrite(fd, p, bytes, at);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    bytes -= static_cast<size_t>(put);
    at += put;
  }
  return true;
}

bool truncate_to(int fd, off_t length) {
  int rc;
  do {
    rc = g_sys.ftruncate(fd, length);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
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

// ---------------------------------------------------------------------------
// Directories.

// The directory part of a path (".") and its last component.
void split_path(const char *path, std::string &dir, std::string &base) {
  const std::string whole(path);
  const size_t slash = whole.rfind('/');
  if (slash == std::string::npos) {
    dir.assign(1, '.');
    base = whole;
  } else {
    dir = whole.substr(0, slash == 0 ? 1 : slash);
    base = whole.substr(slash + 1);
  }
}

int open_directory(const std::string &dir) {
  return g_sys.open_at(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
}

// Make a directory's entries durable (files created or deleted in it).
bool sync_directory_of(const char *path) {
  std::string dir, base;
  split_path(path, dir, base);
  const int fd = open_directory(dir);
  if (fd < 0) return false;
  const bool ok = g_sys.fsync(fd) == 0;
  g_sys.close(fd);
  return ok;
}

// ---------------------------------------------------------------------------
// File sets and their journals.

// Journal layout (words in the byte order of the machine):
//
//   OFFSET            SIZE    DESCRIPTION
//   0                 4       magic 0x4C4E4A54
//   4                 4       layout version, 1
//   8                 4       number of files of the set
//   12                4       record length in words
//   16                8       salt: a random number drawn when the journal is made
//   24                4072    0
//   4096 + k * R      R       frame k: the contents of a record, R = 4 L bytes
//   4096 + K * R      8 K     index (once committed, K frames): for each frame
//                             its member (from 0) and record number in that file
//   4096 + K (R + 8)  24      commit mark
//
// Frames begin on a page boundary and hold nothing but the record, so a
// record goes to the journal in one write of the caller's buffer; which
// record a frame holds is kept in memory until the commit writes the index.
// The commit mark is the last thing in the file: magic 0x54494D43, K (two
// words), the salt (two words) and a check word over the five, so a mark
// that is torn or left from another journal never counts.
constexpr int32_t kJournalMagic = 0x4C4E4A54;
constexpr int32_t kJournalVersion = 1;
constexpr off_t kJournalHeaderBytes = 4096;
constexpr int32_t kJournalHeaderWords = 8;
constexpr int32_t kIndexWords = 2;
constexpr int32_t kCommitMagic = 0x54494D43;
constexpr int32_t kCommitWords = 6;
constexpr const char *kJournalSuffix = ".jnl";

off_t frame_offset(int64_t k, int32_t reclen) {
  return kJournalHeaderBytes + static_cast<off_t>(k) * record_bytes(reclen);
}

int32_t commit_check(const int32_t *w) {
  uint32_t h = 0x9E3779B9u;
  for (int i = 0; i < kCommitWords - 1; ++i) h = (h ^ static_cast<uint32_t>(w[i])) * 0x01000193u;
  return static_cast<int32_t>(h);
}

// Records [start, end) of one file; disjoint, never adjacent.
using Runs = std::map<int32_t, int32_t>;

void add_run(Runs &runs, int32_t start, int32_t end) {
  if (start >= end) return;
  auto it = runs.upper_bound(start);
  if (it != runs.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= start) {
      start = prev->first;
      if (prev->second > end) end = prev->second;
      it = runs.erase(prev);
    }
  }
  while (it != runs.end() && it->first <= end) {
    if (it->second > end) end = it->second;
    it = runs.erase(it);
  }
  runs.emplace(start, end);
}

bool in_runs(const Runs &runs, int32_t r) {
  auto it = runs.upper_bound(r);
  if (it == runs.begin()) return false;
  return r < std::prev(it)->second;
}

struct FileSet {
  int32_t n = 0;
  int32_t reclen = 0;
  std::vector<int32_t> handles;
  // Owner: this set holds the lock on its first file, so its journal is its
  // own. A set opened a second time (another process or another handle) is
  // not: it neither recovers nor keeps a journal, and writes in place.
  bool owner = false;
  int dirfd = -1;
  std::string journal;             // name of the journal in dirfd
  std::vector<int32_t> committed;  // each file's records at the last commit
  std::vector<Runs> released;      // records free at the last commit
  std::vector<bool> dirty;         // written or grown since its last sync
  bool created = false;            // files created since their directories' last sync
  std::vector<std::string> dirs;   // the directories of the files
  int jfd = -1;                    // the journal, -1 until its first frame
  bool journal_new = false;        // made since the directory's last sync
  std::vector<uint64_t> keys;      // frame k holds keys[k]
  std::unordered_map<uint64_t, int64_t> where;
  uint64_t salt = 0;
  // A commit made durable whose copy into the files failed: the journal
  // stays for the next attach, reads are served from it, writes refused.
  bool stuck = false;
};

std::unique_ptr<FileSet> g_sets[kSlots];

uint64_t key_of(int32_t member, int32_t record) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(member)) << 32) |
         static_cast<uint32_t>(record);
}

FileSet *set_of(const Slot &s) {
  return s.set >= 0 ? g_sets[s.set].get() : nullptr;
}

// Does the last commit need record r of member i as it is in the file?
bool is_protected(const FileSet &fs, int32_t member, int32_t r) {
  return fs.owner && r < fs.committed[member] && !in_runs(fs.released[member], r);
}

int member_fd(const FileSet &fs, int32_t member) {
  return g_slots[index_of(fs.handles[member])].fd;
}

void forget_frames(FileSet &fs) {
  fs.keys.clear();
  fs.where.clear();
}

// Drop a journal that holds no commit: close it and delete it. Its frames
// only ever held writes after the last commit.
void drop_journal(FileSet &fs) {
  if (fs.jfd >= 0) {
    g_sys.close(fs.jfd);
    fs.jfd = -1;
    g_sys.unlink_at(fs.dirfd, fs.journal.c_str());
  }
  forget_frames(fs);
  fs.journal_new = false;
}

int start_journal(FileSet &fs) {
  const int fd = g_sys.open_at(fs.dirfd, fs.journal.c_str(),
                               O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return kJournalFailed;
  int32_t header[kJournalHeaderWords] = {kJournalMagic,
                                         kJournalVersion,
                                         fs.n,
                                         fs.reclen,
                                         static_cast<int32_t>(fs.salt & 0xffffffffu),
                                         static_cast<int32_t>(fs.salt >> 32),
                                         0,
                                         0};
  if (!write_all(fd, header, sizeof header, 0)) {
    g_sys.close(fd);
    g_sys.unlink_at(fs.dirfd, fs.journal.c_str());
    return kJournalFailed;
  }
  fs.jfd = fd;
  fs.journal_new = true;
  return kOk;
}

// Store one record of member i for the set: in the journal when the last
// commit needs the file's copy, otherwise in place.
int set_write_record(FileSet &fs, int32_t member, int32_t r, const int32_t *data) {
  const size_t bytes = static_cast<size_t>(record_bytes(fs.reclen));
  if (fs.stuck) return kJournalFailed;
  if (!is_protected(fs, member, r)) {
    fs.dirty[member] = true;
    return write_all(member_fd(fs, member), data, bytes, record_offset(r, fs.reclen)) ? kOk
                                                                                       : kIoFailed;
  }
  const uint64_t key = key_of(member, r);
  auto it = fs.where.find(key);
  int64_t k;
  if (it != fs.where.end()) {
    k = it->second;
  } else {
    if (fs.jfd < 0) {
      if (const int rc = start_journal(fs); rc != kOk) return rc;
    }
    k = static_cast<int64_t>(fs.keys.size());
    try {
      fs.keys.push_back(key);
      fs.where.emplace(key, k);
    } catch (const std::bad_alloc &) {
      if (fs.keys.size() > static_cast<size_t>(k)) fs.keys.pop_back();
      return kNoMemory;
    }
  }
  return write_all(fs.jfd, data, bytes, frame_offset(k, fs.reclen)) ? kOk : kJournalFailed;
}

int set_read_record(const FileSet &fs, int32_t member, int32_t r, int32_t *data) {
  const size_t bytes = static_cast<size_t>(record_bytes(fs.reclen));
  if (!fs.where.empty()) {
    auto it = fs.where.find(key_of(member, r));
    if (it != fs.where.end()) {
      return read_all(fs.jfd, data, bytes, frame_offset(it->second, fs.reclen)) ? kOk
                                                                                : kJournalFailed;
    }
  }
  return read_all(member_fd(fs, member), data, bytes, record_offset(r, fs.reclen)) ? kOk
                                                                                  : kIoFailed;
}

int sync_data(int fd) {
  int rc;
  do {
    rc = g_sys.fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? kOk : kSyncFailed;
}

// Copy every frame of the journal open at jfd (K frames of reclen words) to
// its file, then sync the files. A journal found on disk (checked) has its
// index read and checked against the set before anything is written; the
// set's own journal (not checked) is described by its keys in memory.
// Frames are read in runs of up to kCopyBytes.
constexpr size_t kCopyBytes = size_t{4} << 20;

int apply_frames(FileSet &fs, int jfd, int64_t K, bool checked) {
  const size_t rb = static_cast<size_t>(record_bytes(fs.reclen));
  const int64_t per_run = std::max<int64_t>(1, static_cast<int64_t>(kCopyBytes / rb));
  std::vector<int32_t> run, index;
  try {
    run.resize(static_cast<size_t>(std::min(per_run, std::max<int64_t>(K, 1))) * (rb / 4));
    index.resize(static_cast<size_t>(K) * kIndexWords);
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  if (checked) {
    if (!read_all(jfd, index.data(), index.size() * 4, frame_offset(K, fs.reclen))) {
      return kForeignJournal;
    }
    for (int64_t k = 0; k < K; ++k) {
      const int32_t member = index[2 * k], r = index[2 * k + 1];
      if (member < 0 || member >= fs.n || r < 0) return kForeignJournal;
      Slot &s = g_slots[index_of(fs.handles[member])];
      if (check_range(s, r, fs.reclen, 1, run.data()) != kOk) return kForeignJournal;
    }
  } else {
    for (int64_t k = 0; k < K; ++k) {
      index[2 * k] = static_cast<int32_t>(fs.keys[k] >> 32);
      index[2 * k + 1] = static_cast<int32_t>(fs.keys[k] & 0xffffffffu);
    }
  }
  for (int64_t k0 = 0; k0 < K; k0 += per_run) {
    const int64_t count = std::min(per_run, K - k0);
    if (!read_all(jfd, run.data(), static_cast<size_t>(count) * rb, frame_offset(k0, fs.reclen))) {
      return kJournalFailed;
    }
    for (int64_t j = 0; j < count; ++j) {
      const int32_t member = index[2 * (k0 + j)], r = index[2 * (k0 + j) + 1];
      if (!write_all(member_fd(fs, member), run.data() + static_cast<size_t>(j) * (rb / 4), rb,
                     record_offset(r, fs.reclen))) {
        return kJournalFailed;
      }
      fs.dirty[member] = true;
    }
  }
  for (int32_t i = 0; i < fs.n; ++i) {
    if (!fs.dirty[i]) continue;
    if (sync_data(member_fd(fs, i)) != kOk) return kSyncFailed;
    fs.dirty[i] = false;
  }
  return kOk;
}

// Number of frames of a committed journal, -1 for one without a valid commit
// mark (never committed, or torn before its commit was durable), -2 for a
// journal that is not this set's.
int64_t committed_frames(const FileSet &fs, int jfd) {
  struct stat st;
  if (::fstat(jfd, &st) != 0) return -2;
  int32_t header[kJournalHeaderWords] = {};
  const size_t have = static_cast<size_t>(std::min<off_t>(st.st_size, sizeof header));
  if (!read_all(jfd, header, have, 0)) return -2;
  bool zero = true;
  for (int32_t w : header) zero = zero && w == 0;
  if (zero) return -1;  // made, but its header never reached the disk
  // Anything else that is not a journal's header is somebody else's file.
  if (header[0] != kJournalMagic || header[1] != kJournalVersion) return -2;
  const off_t fb = record_bytes(header[3] > 0 ? header[3] : 1) + 4 * kIndexWords;
  const off_t body = st.st_size - kJournalHeaderBytes - 4 * kCommitWords;
  if (body < 0 || body % fb != 0) return -1;
  int32_t mark[kCommitWords] = {};
  if (!read_all(jfd, mark, sizeof mark, st.st_size - 4 * kCommitWords)) return -2;
  const int64_t K = static_cast<int64_t>(static_cast<uint32_t>(mark[1])) |
                    (static_cast<int64_t>(mark[2]) << 32);
  if (mark[0] != kCommitMagic || mark[5] != commit_check(mark) || K != body / fb ||
      mark[3] != header[4] || mark[4] != header[5]) {
    return -1;
  }
  // Committed: from here on it must be this set's, or nothing may be done.
  if (header[2] != fs.n || header[3] != fs.reclen) return -2;
  return K;
}

// On attach: a journal left by a set that was stopped. Committed: copied
// into the files (again, if it was begun before: the copy is idempotent),
// then deleted. Not committed: deleted.
int recover(FileSet &fs) {
  const int jfd = g_sys.open_at(fs.dirfd, fs.journal.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (jfd < 0) return errno == ENOENT ? kOk : kJournalFailed;
  const int64_t K = committed_frames(fs, jfd);
  int rc = kOk;
  if (K == -2) {
    rc = kForeignJournal;
  } else if (K >= 0) {
    rc = apply_frames(fs, jfd, K, true);
  }
  g_sys.close(jfd);
  if (rc != kOk) return rc;
  // A journal without a commit that cannot be deleted (a directory that may
  // not be written) is harmless: the next attach drops it again, and a
  // journal of this set would replace it.
  if (g_sys.unlink_at(fs.dirfd, fs.journal.c_str()) != 0 && errno != ENOENT && K >= 0) {
    return kJournalFailed;
  }
  // A deleted committed journal must stay deleted: a later commit's
  // journal of the same name would otherwise meet it again.
  if (K >= 0 && g_sys.fsync(fs.dirfd) != 0) return kSyncFailed;
  return kOk;
}

void detach(FileSet &fs, bool deleting) {
  if (fs.stuck) {
    // The commit stands in the journal; the next attach copies it in.
    if (fs.jfd >= 0) g_sys.close(fs.jfd);
    fs.jfd = -1;
    forget_frames(fs);
  } else {
    drop_journal(fs);
  }
  if (deleting && fs.owner) g_sys.unlink_at(fs.dirfd, fs.journal.c_str());
  if (fs.owner) {
    const int fd = member_fd(fs, 0);
    if (fd >= 0) ::flock(fd, LOCK_UN);
  }
  for (int32_t h : fs.handles) {
    if (Slot *s = lookup(h)) s->set = -1;
  }
  if (fs.dirfd >= 0) g_sys.close(fs.dirfd);
  fs.dirfd = -1;
}

// The file and byte count of a transfer of count records from record on:
// checked against the handle's file under the table lock; the transfer itself
// runs without it. bytes is 0 for an empty transfer.
int prepare_transfer(Slot &s, int32_t record, int32_t reclen, int32_t count,
                     const int32_t *buffer, int &fd, size_t &bytes) {
  if (const int r = check_range(s, record, reclen, count, buffer); r != kOk) return r;
  fd = s.fd;
  bytes = 0;
  if (count == 0) return kOk;
  bytes = transfer_bytes(count, reclen);
  return bytes == 0 ? kBadArgument : kOk;
}

uint64_t fresh_salt() {
  static std::mt19937_64 rng{std::random_device{}()};
  return rng();
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
  // A journal left beside this path belonged to a set whose first file was
  // here: that set is gone, and its journal must never meet the new files.
  try {
    const std::string journal = std::string(path) + kJournalSuffix;
    if (g_sys.unlink_at(AT_FDCWD, journal.c_str()) != 0 && errno != ENOENT) return kCreateFailed;
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  const int fd = g_sys.open_at(AT_FDCWD, path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return kCreateFailed;
  const int32_t header[kHeaderWords] = {kMagic, kVersion, L, 0};
  // A file half made is removed: it holds nothing, and leaving it would make
  // every later create of the same path fail.
  if (!write_all(fd, header, sizeof header, 0) || !truncate_to(fd, record_offset(n, L))) {
    g_sys.close(fd);
    g_sys.unlink_at(AT_FDCWD, path);
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
  int fd = g_sys.open_at(AT_FDCWD, path, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    fd = g_sys.open_at(AT_FDCWD, path, O_RDONLY | O_CLOEXEC, 0);
  }
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
    g_sys.close(fd);
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
// whatever the deletion does. Closing a file of a set first ends the set.
RECSTORE_API int DAF_file_close(int32_t *handle, const char *path, int32_t * /*one*/,
                                int32_t *disposition) {
  if (handle == nullptr || disposition == nullptr) return kBadArgument;
  if (*disposition != 1 && *disposition != 2) return kBadArgument;
  if (*disposition == 2 && (path == nullptr || path[0] == '\0')) return kBadArgument;
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot *s = lookup(*handle);
  if (s == nullptr) return kBadHandle;
  if (s->set >= 0) {
    const int32_t set = s->set;
    detach(*g_sets[set], *disposition == 2);
    g_sets[set].reset();
  }
  const int closed = g_sys.close(s->fd);
  release_slot(*s);
  if (*disposition == 2) {
    if (g_sys.unlink_at(AT_FDCWD, path) != 0) return kDeleteFailed;
    // A killed set must not come back after a crash.
    if (!sync_directory_of(path)) return kDeleteFailed;
  }
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
  if (!truncate_to(s->fd, record_offset(static_cast<int32_t>(end), s->reclen))) {
    return kExtendFailed;
  }
  s->records = static_cast<int32_t>(end);
  // Records past the last commit's length are never protected: a set
  // stopped before its next commit simply keeps a longer file.
  if (FileSet *fs = set_of(*s)) fs->dirty[s->member] = true;
  return kOk;
}

RECSTORE_API int DAF_file_nrecord_read(int32_t handle, int32_t record, int32_t reclen,
                                       int32_t count, int32_t *buffer) {
  int fd;
  size_t bytes;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Slot *s = lookup(handle);
    if (s == nullptr) return kBadHandle;
    if (const int r = prepare_transfer(*s, record, reclen, count, buffer, fd, bytes); r != kOk) {
      return r;
    }
    FileSet *fs = set_of(*s);
    if (fs != nullptr && !fs->where.empty()) {
      for (int32_t j = 0; j < count; ++j) {
        const int r = set_read_record(*fs, s->member, record + j,
                                      buffer + static_cast<size_t>(j) * static_cast<size_t>(reclen));
        if (r != kOk) return r;
      }
      return kOk;
    }
  }
  if (bytes == 0) return kOk;
  return read_all(fd, buffer, bytes, record_offset(record, reclen)) ? kOk : kIoFailed;
}

RECSTORE_API int DAF_file_nrecord_write(int32_t handle, int32_t record, int32_t reclen,
                                        int32_t count, const int32_t *buffer) {
  int fd;
  size_t bytes;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Slot *s = lookup(handle);
    if (s == nullptr) return kBadHandle;
    if (const int r = prepare_transfer(*s, record, reclen, count, buffer, fd, bytes); r != kOk) {
      return r;
    }
    if (FileSet *fs = set_of(*s)) {
      for (int32_t j = 0; j < count; ++j) {
        const int r = set_write_record(*fs, s->member, record + j,
                                       buffer + static_cast<size_t>(j) * static_cast<size_t>(reclen));
        if (r != kOk) return r;
      }
      return kOk;
    }
  }
  if (bytes == 0) return kOk;
  return write_all(fd, buffer, bytes, record_offset(record, reclen)) ? kOk : kIoFailed;
}

RECSTORE_API int DAF_set_attach(int32_t n, const int32_t *handles, const char *const *paths,
                                int32_t created) {
  if (n < 1 || n > kSlots || handles == nullptr || paths == nullptr) return kBadArgument;
  for (int32_t i = 0; i < n; ++i) {
    if (paths[i] == nullptr || paths[i][0] == '\0') return kBadArgument;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int32_t i = 0; i < n; ++i) {
    Slot *s = lookup(handles[i]);
    if (s == nullptr || s->set >= 0) return kBadHandle;
    for (int32_t j = 0; j < i; ++j) {
      if (handles[j] == handles[i]) return kBadArgument;
    }
  }
  std::unique_ptr<FileSet> fs;
  try {
    fs = std::make_unique<FileSet>();
    fs->n = n;
    fs->reclen = g_slots[index_of(handles[0])].reclen;
    fs->handles.assign(handles, handles + n);
    fs->committed.resize(static_cast<size_t>(n));
    fs->released.resize(static_cast<size_t>(n));
    fs->dirty.assign(static_cast<size_t>(n), false);
    std::string dir, base;
    for (int32_t i = n - 1; i >= 0; --i) {
      split_path(paths[i], dir, base);
      bool seen = false;
      for (const std::string &d : fs->dirs) seen = seen || d == dir;
      if (!seen) fs->dirs.push_back(dir);
    }
    // dir and base are file 1's now.
    fs->journal = base + kJournalSuffix;
    fs->dirfd = open_directory(dir);
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  if (fs->dirfd < 0) return kOpenFailed;
  fs->salt = fresh_salt();
  fs->created = created != 0;
  const int fd1 = g_slots[index_of(handles[0])].fd;
  // Files of different record lengths make no set that a journal could
  // serve (the caller refuses them); they are grouped, and written in place.
  bool uniform = true;
  for (int32_t i = 1; i < n; ++i) uniform = uniform && g_slots[index_of(handles[i])].reclen == fs->reclen;
  // Held by another descriptor of the file: another process, or another
  // opening in this one, has the set, and its journal is not ours to touch.
  fs->owner = uniform && (::flock(fd1, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK);
  if (fs->owner && !fs->created) {
    if (const int rc = recover(*fs); rc != kOk) {
      ::flock(fd1, LOCK_UN);
      g_sys.close(fs->dirfd);
      return rc;
    }
  }
  for (int32_t i = 0; i < n; ++i) {
    Slot &s = g_slots[index_of(handles[i])];
    const int64_t now = records_on_disk(s.fd, s.reclen);
    s.records = now < 0 ? s.records : static_cast<int32_t>(now);
    fs->committed[i] = s.records;
  }
  const int32_t set = index_of(handles[0]);
  for (int32_t i = 0; i < n; ++i) {
    Slot &s = g_slots[index_of(handles[i])];
    s.set = set;
    s.member = i;
  }
  g_sets[set] = std::move(fs);
  return kOk;
}

RECSTORE_API int DAF_set_release(int32_t set, int32_t first, int32_t count) {
  if (first < 0 || count < 0) return kBadArgument;
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot *s = lookup(set);
  FileSet *fs = s != nullptr ? set_of(*s) : nullptr;
  if (fs == nullptr || fs->handles[0] != set) return kBadHandle;
  if (count == 0) return kOk;
  const int64_t last = int64_t{first} + count - 1;
  try {
    for (int32_t i = 0; i < fs->n; ++i) {
      // Set records r with r mod n = i, as records r / n of member i.
      const int64_t lo = first <= i ? 0 : (int64_t{first} - i + fs->n - 1) / fs->n;
      if (last < i) continue;
      int64_t hi = (last - i) / fs->n + 1;
      if (hi > fs->committed[i]) hi = fs->committed[i];
      if (lo >= hi) continue;
      add_run(fs->released[i], static_cast<int32_t>(lo), static_cast<int32_t>(hi));
    }
  } catch (const std::bad_alloc &) {
    return kNoMemory;
  }
  return kOk;
}

RECSTORE_API int DAF_set_commit(int32_t set) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Slot *s = lookup(set);
  FileSet *fsp = s != nullptr ? set_of(*s) : nullptr;
  if (fsp == nullptr || fsp->handles[0] != set) return kBadHandle;
  FileSet &fs = *fsp;
  if (fs.stuck) return kJournalFailed;
  // 1. What went to the files in place, and their lengths.
  for (int32_t i = 0; i < fs.n; ++i) {
    if (!fs.dirty[i]) continue;
    if (sync_data(member_fd(fs, i)) != kOk) return kSyncFailed;
    fs.dirty[i] = false;
  }
  if (fs.created) {
    for (const std::string &dir : fs.dirs) {
      const int fd = open_directory(dir);
      const bool synced = fd >= 0 && g_sys.fsync(fd) == 0;
      if (fd >= 0) g_sys.close(fd);
      if (!synced) return kSyncFailed;
    }
    fs.created = false;
  }
  if (!fs.keys.empty()) {
    // 2. The frames and their index, then the commit mark behind them, then
    // the journal's name. From the end of this step the commit stands.
    const int64_t K = static_cast<int64_t>(fs.keys.size());
    std::vector<int32_t> index;
    try {
      index.resize(static_cast<size_t>(K) * kIndexWords);
    } catch (const std::bad_alloc &) {
      return kNoMemory;
    }
    for (int64_t k = 0; k < K; ++k) {
      index[2 * k] = static_cast<int32_t>(fs.keys[k] >> 32);
      index[2 * k + 1] = static_cast<int32_t>(fs.keys[k] & 0xffffffffu);
    }
    if (!write_all(fs.jfd, index.data(), index.size() * 4, frame_offset(K, fs.reclen))) {
      return kJournalFailed;
    }
    if (sync_data(fs.jfd) != kOk) return kSyncFailed;
    int32_t mark[kCommitWords] = {kCommitMagic,
                                  static_cast<int32_t>(K & 0xffffffff),
                                  static_cast<int32_t>(K >> 32),
                                  static_cast<int32_t>(fs.salt & 0xffffffffu),
                                  static_cast<int32_t>(fs.salt >> 32),
                                  0};
    mark[5] = commit_check(mark);
    if (!write_all(fs.jfd, mark, sizeof mark, frame_offset(K, fs.reclen) + 4 * kIndexWords * K)) {
      return kJournalFailed;
    }
    if (sync_data(fs.jfd) != kOk) return kSyncFailed;
    if (fs.journal_new && g_sys.fsync(fs.dirfd) != 0) return kSyncFailed;
    fs.journal_new = false;
    // 3. The frames into the files; then the journal can go.
    if (apply_frames(fs, fs.jfd, K, false) != kOk ||
        g_sys.unlink_at(fs.dirfd, fs.journal.c_str()) != 0 || g_sys.fsync(fs.dirfd) != 0) {
      fs.stuck = true;
      return kOk;
    }
    g_sys.close(fs.jfd);
    fs.jfd = -1;
    forget_frames(fs);
    fs.salt = fresh_salt();
  }
  // The set's next state is not known here: every record is protected
  // until the caller releases some again.
  for (int32_t i = 0; i < fs.n; ++i) {
    Slot &m = g_slots[index_of(fs.handles[i])];
    const int64_t now = records_on_disk(m.fd, m.reclen);
    if (now >= 0) m.records = static_cast<int32_t>(now);
    fs.committed[i] = m.records;
    fs.released[i].clear();
  }
  return kOk;
}

RECSTORE_API void DAF_set_system_calls(const DAF_system_calls *calls, DAF_system_calls *previous) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (previous != nullptr) *previous = g_sys;
  g_sys = calls != nullptr ? *calls : kSystem;
}

}  // extern "C"
