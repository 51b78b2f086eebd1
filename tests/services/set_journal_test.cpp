// File sets of the record-file service: what a commit needs stays in the
// files until the next commit, whatever stops the set on the way; a journal
// found on attach is applied when committed and dropped when not. The files
// are checked by reading them directly, not through the service.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "recstore.h"
#include "test_support/host.h"

namespace {

constexpr int32_t kL = 32;
constexpr int32_t kPerFile = 6;

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<int32_t> record_of(int32_t value) { return std::vector<int32_t>(kL, value); }

// Record r of a file as it is on disk (-1 when it is not there).
int32_t on_disk(const std::string &path, int32_t r) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  int32_t v = -1;
  if (fd >= 0 && ::pread(fd, &v, 4, 16 + int64_t{r} * kL * 4) != 4) v = -1;
  if (fd >= 0) ::close(fd);
  return v;
}

// A set of n files, records numbered across them (record r in file r % n).
struct Set {
  std::string dir;
  std::vector<std::string> paths;
  std::vector<int32_t> handles;
  std::string journal() const { return paths[0] + ".jnl"; }

  explicit Set(int32_t n) : dir(tessera::test::temp_dir()) {
    for (int32_t i = 0; i < n; ++i) paths.push_back(dir + "/f" + std::to_string(i) + ".rec");
  }
  ~Set() { std::filesystem::remove_all(dir); }

  std::vector<const char *> names() const {
    std::vector<const char *> out;
    for (auto &p : paths) out.push_back(p.c_str());
    return out;
  }
  int create() {
    handles.assign(paths.size(), 0);
    for (size_t i = 0; i < paths.size(); ++i) {
      int32_t mode = 2, flag = -1, records = kPerFile, reclen = kL;
      if (int rc = DAF_file_create(&handles[i], paths[i].c_str(), &mode, &flag, &records, &reclen))
        return rc;
    }
    return DAF_set_attach(n(), handles.data(), names().data(), 1);
  }
  int open() {
    handles.assign(paths.size(), 0);
    for (size_t i = 0; i < paths.size(); ++i) {
      int32_t mode = 5, out1 = 0, out2 = 0, reclen = 0;
      if (int rc = DAF_file_open(&handles[i], paths[i].c_str(), &mode, &out1, &out2, &reclen))
        return rc;
    }
    return DAF_set_attach(n(), handles.data(), names().data(), 0);
  }
  void close(int32_t disposition = 1) {
    for (size_t i = 0; i < paths.size(); ++i) {
      int32_t one = 1, how = disposition;
      DAF_file_close(&handles[i], paths[i].c_str(), &one, &how);
    }
  }
  int32_t n() const { return static_cast<int32_t>(paths.size()); }
  int write(int32_t r, int32_t value) {
    return DAF_file_nrecord_write(handles[r % n()], r / n(), kL, 1, record_of(value).data());
  }
  int32_t read(int32_t r) {
    std::vector<int32_t> buf(kL, -7);
    if (DAF_file_nrecord_read(handles[r % n()], r / n(), kL, 1, buf.data()) != 0) return -7;
    for (int32_t w : buf)
      if (w != buf[0]) return -8;
    return buf[0];
  }
  int32_t disk(int32_t r) const { return on_disk(paths[r % n()], r / n()); }
  int32_t records() const { return n() * kPerFile; }
};

TEST(SetJournal, ProtectedRecordsWaitInTheJournalUntilTheCommit) {
  Set set(3);
  ASSERT_EQ(set.create(), 0);
  // A new set protects what it has until told otherwise: all but record 0
  // are released here, as a new file set does with all but its header.
  ASSERT_EQ(DAF_set_release(set.handles[0], 1, set.records() - 1), 0);
  for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 100 + r), 0);
  EXPECT_EQ(set.disk(0), 0) << "record 0 was protected";
  EXPECT_EQ(set.disk(5), 105) << "a released record is written in place";
  EXPECT_EQ(set.read(0), 100);
  EXPECT_TRUE(exists(set.journal()));
  ASSERT_EQ(DAF_set_commit(set.handles[0]), 0);
  EXPECT_FALSE(exists(set.journal()));
  for (int32_t r = 0; r < set.records(); ++r) EXPECT_EQ(set.disk(r), 100 + r);

  // After a commit everything is protected until released again; released
  // set records 4..7 are records 1..2 of the three files, striped.
  ASSERT_EQ(DAF_set_release(set.handles[0], 4, 4), 0);
  for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 200 + r), 0);
  for (int32_t r = 0; r < set.records(); ++r) {
    EXPECT_EQ(set.read(r), 200 + r);
    EXPECT_EQ(set.disk(r), (r >= 4 && r <= 7 ? 200 : 100) + r) << "record " << r;
  }
  // Records added by growing a file are not protected either.
  int32_t first = kPerFile, reclen = kL, count = 2;
  std::vector<int32_t> work(kL);
  ASSERT_EQ(DAF_file_extend(work.data(), &set.handles[1], &first, &reclen, &count), 0);
  ASSERT_EQ(DAF_file_nrecord_write(set.handles[1], kPerFile + 1, kL, 1, record_of(7).data()), 0);
  EXPECT_EQ(on_disk(set.paths[1], kPerFile + 1), 7);

  // Closed without a commit: the journal goes, the files hold the commit.
  set.close();
  EXPECT_FALSE(exists(set.journal()));
  ASSERT_EQ(set.open(), 0);
  EXPECT_EQ(set.read(0), 100);
  EXPECT_EQ(set.read(9), 109);
  set.close();
}

TEST(SetJournal, AttachAppliesACommittedJournalAndDropsAnOther) {
  Set set(2);
  ASSERT_EQ(set.create(), 0);
  for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 10 + r), 0);
  ASSERT_EQ(DAF_set_commit(set.handles[0]), 0);
  for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 20 + r), 0);

  // The journal as a set stopped before its commit would leave it.
  const std::string saved = set.dir + "/saved";
  std::filesystem::copy_file(set.journal(), saved);
  set.close();
  std::filesystem::copy_file(saved, set.journal());
  ASSERT_EQ(set.open(), 0);
  EXPECT_FALSE(exists(set.journal()));
  for (int32_t r = 0; r < set.records(); ++r) EXPECT_EQ(set.read(r), 10 + r);

  // The journal as a set stopped after its commit would leave it: the copy
  // into the files is refused after the commit mark is durable.
  for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 30 + r), 0);
  static int data_writes;
  static DAF_system_calls real;
  data_writes = 0;
  DAF_system_calls failing;
  DAF_set_system_calls(nullptr, &real);
  failing = real;
  failing.pwrite = [](int fd, const void *b, size_t n, int64_t at) -> int64_t {
    // Journal writes are larger than a record at frame offsets; the copy
    // into the files writes whole records at record offsets.
    if ((at - 16) % (kL * 4) == 0 && n == kL * 4 && ++data_writes == 2) {
      errno = EIO;
      return -1;
    }
    return real.pwrite(fd, b, n, at);
  };
  DAF_set_system_calls(&failing, nullptr);
  const int committed = DAF_set_commit(set.handles[0]);
  DAF_set_system_calls(nullptr, nullptr);
  EXPECT_EQ(committed, 0) << "the commit stands once its mark is durable";
  EXPECT_TRUE(exists(set.journal()));
  EXPECT_NE(set.write(0, 99), 0) << "a set whose commit is not in its files takes no writes";
  EXPECT_EQ(set.read(3), 33) << "reads are served from the committed journal";
  set.close();
  EXPECT_TRUE(exists(set.journal()));
  EXPECT_EQ(set.disk(3), 13);
  ASSERT_EQ(set.open(), 0);
  EXPECT_FALSE(exists(set.journal()));
  for (int32_t r = 0; r < set.records(); ++r) EXPECT_EQ(set.disk(r), 30 + r);
  set.close();
}

// Every system call of a commit refused in turn: a commit that returned 0
// is what the set reopens with, one that failed leaves the previous commit
// whole (never a mix), and tried again it goes through.
int64_t g_calls, g_fail_at;
DAF_system_calls g_real;
bool refuse() { return ++g_calls == g_fail_at; }
int f_open_at(int d, const char *p, int f, int m) {
  return refuse() ? (errno = EIO, -1) : g_real.open_at(d, p, f, m);
}
int64_t f_pwrite(int fd, const void *b, size_t n, int64_t at) {
  return refuse() ? (errno = EIO, -1) : g_real.pwrite(fd, b, n, at);
}
int f_fdatasync(int fd) { return refuse() ? (errno = EIO, -1) : g_real.fdatasync(fd); }
int f_fsync(int fd) { return refuse() ? (errno = EIO, -1) : g_real.fsync(fd); }
int f_unlink_at(int d, const char *p) { return refuse() ? (errno = EIO, -1) : g_real.unlink_at(d, p); }

TEST(SetJournal, EveryCallOfACommitRefusedInTurn) {
  DAF_set_system_calls(nullptr, &g_real);
  DAF_system_calls failing = g_real;
  failing.open_at = f_open_at;
  failing.pwrite = f_pwrite;
  failing.fdatasync = f_fdatasync;
  failing.fsync = f_fsync;
  failing.unlink_at = f_unlink_at;
  int refused = 0, stood = 0;
  bool reached = true;
  for (g_fail_at = 1; reached; ++g_fail_at) {
    for (bool retry : {false, true}) {
      Set set(2);
      ASSERT_EQ(set.create(), 0);
      for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 1000 + r), 0);
      ASSERT_EQ(DAF_set_commit(set.handles[0]), 0);
      ASSERT_EQ(DAF_set_release(set.handles[0], 6, 2), 0);
      for (int32_t r = 0; r < set.records(); ++r) ASSERT_EQ(set.write(r, 2000 + r), 0);
      g_calls = 0;
      DAF_set_system_calls(&failing, nullptr);
      int rc = DAF_set_commit(set.handles[0]);
      DAF_set_system_calls(nullptr, nullptr);
      reached = g_calls >= g_fail_at;
      if (!retry) (rc == 0 ? stood : refused) += reached ? 1 : 0;
      if (retry && rc != 0) rc = DAF_set_commit(set.handles[0]);
      set.close();
      ASSERT_EQ(set.open(), 0) << "call " << g_fail_at;
      // Records 6 and 7 were released, and written in place.
      const int32_t base = rc == 0 ? 2000 : 1000;
      for (int32_t r = 0; r < set.records(); ++r) {
        if (r == 6 || r == 7) continue;
        EXPECT_EQ(set.read(r), base + r)
            << "record " << r << ", call " << g_fail_at << " refused, commit returned " << rc
            << (retry ? " when tried again" : "");
      }
      EXPECT_FALSE(exists(set.journal()));
      set.close();
    }
  }
  // Refusals before the commit point and after it both met.
  EXPECT_GT(refused, 4);
  EXPECT_GT(stood, 2);
}

TEST(SetJournal, ForeignStaleAndSharedJournals) {
  Set set(1);
  ASSERT_EQ(set.create(), 0);
  ASSERT_EQ(set.write(0, 5), 0);
  ASSERT_EQ(DAF_set_commit(set.handles[0]), 0);
  set.close();

  // A file under the journal's name that is not a journal: refused, kept.
  FILE *f = std::fopen(set.journal().c_str(), "w");
  std::fputs("not a journal, but somebody's data", f);
  std::fclose(f);
  ASSERT_NE(set.open(), 0);
  set.close();
  EXPECT_TRUE(exists(set.journal()));
  // Creating a file where the set's first file was deletes it: it belonged
  // to a set that is gone.
  std::filesystem::remove(set.paths[0]);
  ASSERT_EQ(set.create(), 0);
  EXPECT_FALSE(exists(set.journal()));
  ASSERT_EQ(set.write(0, 6), 0);
  ASSERT_EQ(DAF_set_commit(set.handles[0]), 0);

  // A second opening of a set while the first has it: it neither applies
  // nor drops the first one's journal.
  ASSERT_EQ(set.write(0, 7), 0);
  ASSERT_TRUE(exists(set.journal()));
  Set again(1);
  again.paths = set.paths;
  ASSERT_EQ(again.open(), 0);
  EXPECT_TRUE(exists(set.journal()));
  EXPECT_EQ(again.read(0), 6);
  EXPECT_EQ(set.read(0), 7);
  again.close();
  again.paths.clear();  // the files are set's to delete
  EXPECT_TRUE(exists(set.journal()));
  set.close(2);
  EXPECT_FALSE(exists(set.journal()));
  EXPECT_FALSE(exists(set.paths[0]));
}

}  // namespace
