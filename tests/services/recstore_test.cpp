// The record-file service: records kept and refused, file layout checks,
// handle life cycle and failures of the file system.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "recstore.h"
#include "test_support/host.h"

namespace {

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int create(int32_t &h, const std::string &path, int32_t records, int32_t reclen) {
  int32_t mode = 2, flag = -1;
  return DAF_file_create(&h, path.c_str(), &mode, &flag, &records, &reclen);
}

int open_file(int32_t &h, const std::string &path, int32_t &reclen, int32_t &records) {
  int32_t mode = 5, out2 = -1;
  reclen = 0;
  const int rc = DAF_file_open(&h, path.c_str(), &mode, &records, &out2, &reclen);
  if (rc == 0) {
    EXPECT_EQ(out2, 0);
  }
  return rc;
}

int close_file(int32_t h, const std::string &path, int32_t disposition) {
  int32_t one = 1;
  return DAF_file_close(&h, path.c_str(), &one, &disposition);
}

int extend(int32_t h, int32_t first, int32_t reclen, int32_t count) {
  std::vector<int32_t> work(reclen > 0 ? reclen : 1);
  return DAF_file_extend(work.data(), &h, &first, &reclen, &count);
}

std::vector<int32_t> pattern(int32_t reclen, int32_t seed) {
  std::vector<int32_t> r(reclen);
  for (int32_t i = 0; i < reclen; ++i) r[i] = seed * 7919 + i * 31 - 1000;
  return r;
}

void write_bytes(const std::string &path, const void *p, size_t n, off_t at) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, p, n, at), static_cast<ssize_t>(n));
  ::close(fd);
}

TEST(Recstore, RecordsAcrossSeveralFilesMatchAModel) {
  const std::string dir = tessera::test::temp_dir();
  constexpr int kFiles = 3;
  constexpr int32_t L = 16;
  int32_t h[kFiles];
  std::map<std::pair<int, int32_t>, std::vector<int32_t>> model;
  for (int f = 0; f < kFiles; ++f) {
    ASSERT_EQ(create(h[f], dir + "/f" + std::to_string(f), 5, L), 0);
    ASSERT_GE(h[f], 1);
  }
  EXPECT_NE(h[0], h[1]);
  // Interleaved writes, some records overwritten, a two-record transfer.
  for (int step = 0; step < 30; ++step) {
    const int f = step % kFiles;
    const int32_t r = (step * 3) % 5;
    auto rec = pattern(L, step);
    ASSERT_EQ(DAF_file_nrecord_write(h[f], r, L, 1, rec.data()), 0);
    model[{f, r}] = rec;
  }
  std::vector<int32_t> two(2 * L);
  for (int32_t i = 0; i < 2 * L; ++i) two[i] = -i;
  ASSERT_EQ(DAF_file_nrecord_write(h[1], 3, L, 2, two.data()), 0);
  model[{1, 3}] = std::vector<int32_t>(two.begin(), two.begin() + L);
  model[{1, 4}] = std::vector<int32_t>(two.begin() + L, two.end());

  auto check_all = [&](const int32_t *hs) {
    for (int f = 0; f < kFiles; ++f) {
      for (int32_t r = 0; r < 5; ++r) {
        std::vector<int32_t> got(L, 99);
        ASSERT_EQ(DAF_file_nrecord_read(hs[f], r, L, 1, got.data()), 0);
        auto it = model.find({f, r});
        EXPECT_EQ(got, it == model.end() ? std::vector<int32_t>(L, 0) : it->second)
            << "file " << f << " record " << r;
      }
    }
  };
  check_all(h);
  for (int f = 0; f < kFiles; ++f) ASSERT_EQ(close_file(h[f], dir + "/f" + std::to_string(f), 1), 0);

  // Reopened, each file reports its record length and count, and the records.
  int32_t h2[kFiles];
  for (int f = 0; f < kFiles; ++f) {
    int32_t reclen = 0, records = 0;
    ASSERT_EQ(open_file(h2[f], dir + "/f" + std::to_string(f), reclen, records), 0);
    EXPECT_EQ(reclen, L);
    EXPECT_EQ(records, 5);
  }
  check_all(h2);
  for (int f = 0; f < kFiles; ++f) EXPECT_EQ(close_file(h2[f], dir + "/f" + std::to_string(f), 2), 0);
}

TEST(Recstore, CreateRefusesMissingDirectoryExistingFileAndBadArguments) {
  const std::string dir = tessera::test::temp_dir();
  int32_t h = -5;
  EXPECT_NE(create(h, dir + "/no/such/dir/f", 1, 4), 0);
  EXPECT_EQ(h, 0);
  EXPECT_NE(create(h, dir + "/f", 1, 0), 0);
  EXPECT_NE(create(h, dir + "/f", -1, 4), 0);
  EXPECT_FALSE(exists(dir + "/f"));
  // Too large for any file offset: refused before anything is made.
  EXPECT_NE(create(h, dir + "/f", INT32_MAX, INT32_MAX), 0);
  EXPECT_FALSE(exists(dir + "/f"));

  ASSERT_EQ(create(h, dir + "/f", 2, 4), 0);
  const std::vector<int32_t> rec = pattern(4, 1);
  ASSERT_EQ(DAF_file_nrecord_write(h, 1, 4, 1, rec.data()), 0);
  int32_t h2 = -5;
  EXPECT_NE(create(h2, dir + "/f", 2, 4), 0);  // never replaces a file
  EXPECT_EQ(h2, 0);
  std::vector<int32_t> got(4);
  ASSERT_EQ(DAF_file_nrecord_read(h, 1, 4, 1, got.data()), 0);
  EXPECT_EQ(got, rec);
  EXPECT_EQ(close_file(h, dir + "/f", 2), 0);
  EXPECT_FALSE(exists(dir + "/f"));
}

TEST(Recstore, TransfersOutsideTheFileOrWithWrongArgumentsAreRefused) {
  const std::string dir = tessera::test::temp_dir();
  int32_t h;
  constexpr int32_t L = 8;
  ASSERT_EQ(create(h, dir + "/f", 3, L), 0);
  std::vector<int32_t> buf(3 * L, 5);
  EXPECT_NE(DAF_file_nrecord_read(h, 3, L, 1, buf.data()), 0);   // just past the end
  EXPECT_NE(DAF_file_nrecord_write(h, 3, L, 1, buf.data()), 0);
  EXPECT_NE(DAF_file_nrecord_read(h, 2, L, 2, buf.data()), 0);   // runs past the end
  EXPECT_NE(DAF_file_nrecord_write(h, 2, L, 2, buf.data()), 0);
  EXPECT_NE(DAF_file_nrecord_read(h, -1, L, 1, buf.data()), 0);
  EXPECT_NE(DAF_file_nrecord_read(h, 0, L, -1, buf.data()), 0);
  EXPECT_NE(DAF_file_nrecord_write(h, 0, L, -1, buf.data()), 0);
  EXPECT_NE(DAF_file_nrecord_read(h, 0, L + 1, 1, buf.data()), 0);  // not the file's length
  EXPECT_NE(DAF_file_nrecord_write(h, 0, L - 1, 1, buf.data()), 0);
  EXPECT_NE(DAF_file_nrecord_read(h, 0, L, 1, nullptr), 0);
  EXPECT_EQ(DAF_file_nrecord_read(h, 3, L, 0, buf.data()), 0);   // nothing to move
  EXPECT_EQ(DAF_file_nrecord_read(h, 0, L, 3, buf.data()), 0);   // the whole file
  EXPECT_EQ(buf, std::vector<int32_t>(3 * L, 0));
  // A refused write changed nothing and did not grow the file.
  int32_t reclen, records;
  ASSERT_EQ(close_file(h, dir + "/f", 1), 0);
  int32_t h2;
  ASSERT_EQ(open_file(h2, dir + "/f", reclen, records), 0);
  EXPECT_EQ(records, 3);
  EXPECT_EQ(close_file(h2, dir + "/f", 1), 0);
}

TEST(Recstore, ExtendGrowsAtTheEndWithZeroRecords) {
  const std::string dir = tessera::test::temp_dir();
  int32_t h;
  constexpr int32_t L = 6;
  ASSERT_EQ(create(h, dir + "/f", 2, L), 0);
  auto r1 = pattern(L, 3);
  ASSERT_EQ(DAF_file_nrecord_write(h, 1, L, 1, r1.data()), 0);
  EXPECT_EQ(extend(h, 0, L, 2), 0);       // already that long: nothing added
  EXPECT_NE(extend(h, 3, L, 2), 0);       // leaves a gap
  EXPECT_NE(extend(h, 2, L + 1, 2), 0);   // wrong record length
  EXPECT_NE(extend(h, 2, L, -1), 0);
  EXPECT_EQ(extend(h, 2, L, 0), 0);       // no-op
  ASSERT_EQ(extend(h, 2, L, 3), 0);
  std::vector<int32_t> got(L, 7);
  for (int32_t r = 2; r < 5; ++r) {
    ASSERT_EQ(DAF_file_nrecord_read(h, r, L, 1, got.data()), 0);
    EXPECT_EQ(got, std::vector<int32_t>(L, 0));
  }
  ASSERT_EQ(DAF_file_nrecord_read(h, 1, L, 1, got.data()), 0);
  EXPECT_EQ(got, r1);
  auto r4 = pattern(L, 4);
  EXPECT_EQ(DAF_file_nrecord_write(h, 4, L, 1, r4.data()), 0);
  EXPECT_NE(DAF_file_nrecord_write(h, 5, L, 1, r4.data()), 0);
  ASSERT_EQ(close_file(h, dir + "/f", 1), 0);
  int32_t reclen, records;
  ASSERT_EQ(open_file(h, dir + "/f", reclen, records), 0);
  EXPECT_EQ(records, 5);
  EXPECT_EQ(reclen, L);
  ASSERT_EQ(DAF_file_nrecord_read(h, 4, L, 1, got.data()), 0);
  EXPECT_EQ(got, r4);
  EXPECT_EQ(close_file(h, dir + "/f", 2), 0);
}

// A set of files grows file by file; when a later file's extension is
// refused, the caller asks again from the set's old end, and a file that grew
// the first time gains only what it still lacks.
TEST(Recstore, ExtensionAskedAgainAddsOnlyWhatIsMissing) {
  const std::string dir = tessera::test::temp_dir();
  int32_t h, reclen, records;
  constexpr int32_t L = 4;
  ASSERT_EQ(create(h, dir + "/f", 3, L), 0);
  ASSERT_EQ(extend(h, 3, L, 2), 0);  // the first attempt: 5 records
  auto r4 = pattern(L, 4);
  ASSERT_EQ(DAF_file_nrecord_write(h, 4, L, 1, r4.data()), 0);
  ASSERT_EQ(extend(h, 3, L, 2), 0);  // asked again: nothing to add
  ASSERT_EQ(extend(h, 3, L, 4), 0);  // a larger second attempt: 7 records
  ASSERT_EQ(close_file(h, dir + "/f", 1), 0);
  ASSERT_EQ(open_file(h, dir + "/f", reclen, records), 0);
  EXPECT_EQ(records, 7);
  std::vector<int32_t> got(L);
  ASSERT_EQ(DAF_file_nrecord_read(h, 4, L, 1, got.data()), 0);
  EXPECT_EQ(got, r4);  // what the first attempt's records hold is kept
  ASSERT_EQ(DAF_file_nrecord_read(h, 6, L, 1, got.data()), 0);
  EXPECT_EQ(got, std::vector<int32_t>(L, 0));
  EXPECT_EQ(close_file(h, dir + "/f", 2), 0);
}

TEST(Recstore, GrowthThroughOneHandleIsSeenByAnother) {
  const std::string dir = tessera::test::temp_dir();
  int32_t a, b, reclen, records;
  ASSERT_EQ(create(a, dir + "/f", 1, 4), 0);
  ASSERT_EQ(open_file(b, dir + "/f", reclen, records), 0);
  ASSERT_EQ(extend(a, 1, 4, 2), 0);
  auto rec = pattern(4, 9);
  ASSERT_EQ(DAF_file_nrecord_write(a, 2, 4, 1, rec.data()), 0);
  std::vector<int32_t> got(4);
  ASSERT_EQ(DAF_file_nrecord_read(b, 2, 4, 1, got.data()), 0);
  EXPECT_EQ(got, rec);
  EXPECT_NE(extend(b, 4, 4, 1), 0);  // b's idea of the end is checked against the file
  EXPECT_EQ(extend(b, 1, 4, 2), 0);  // records 1 and 2 are there already
  EXPECT_EQ(close_file(a, dir + "/f", 1), 0);
  EXPECT_EQ(close_file(b, dir + "/f", 1), 0);
}

TEST(Recstore, UnknownClosedAndStaleHandlesAreRefused) {
  const std::string dir = tessera::test::temp_dir();
  std::vector<int32_t> buf(4);
  for (int32_t bad : {0, -1, 1, 12345, INT32_MAX}) {
    EXPECT_NE(DAF_file_nrecord_read(bad, 0, 4, 1, buf.data()), 0) << bad;
    EXPECT_NE(DAF_file_nrecord_write(bad, 0, 4, 1, buf.data()), 0) << bad;
    EXPECT_NE(extend(bad, 0, 4, 1), 0) << bad;
    EXPECT_NE(close_file(bad, dir + "/x", 1), 0) << bad;
  }
  int32_t h;
  ASSERT_EQ(create(h, dir + "/f", 1, 4), 0);
  EXPECT_NE(close_file(h, dir + "/f", 3), 0);  // bad disposition: still open
  ASSERT_EQ(DAF_file_nrecord_read(h, 0, 4, 1, buf.data()), 0);
  ASSERT_EQ(close_file(h, dir + "/f", 1), 0);
  EXPECT_NE(DAF_file_nrecord_read(h, 0, 4, 1, buf.data()), 0);
  EXPECT_NE(close_file(h, dir + "/f", 1), 0);
  // The slot is reused for the next file, but the old handle stays dead.
  int32_t h2;
  ASSERT_EQ(create(h2, dir + "/g", 1, 4), 0);
  EXPECT_NE(h2, h);
  EXPECT_NE(DAF_file_nrecord_write(h, 0, 4, 1, buf.data()), 0);
  EXPECT_EQ(close_file(h2, dir + "/g", 2), 0);
  EXPECT_TRUE(exists(dir + "/f"));
}

TEST(Recstore, CloseDeletesOrKeepsAndReleasesTheHandleWhenDeletionFails) {
  const std::string dir = tessera::test::temp_dir();
  int32_t h;
  ASSERT_EQ(create(h, dir + "/keep", 1, 4), 0);
  EXPECT_EQ(close_file(h, dir + "/keep", 1), 0);
  EXPECT_TRUE(exists(dir + "/keep"));
  ASSERT_EQ(create(h, dir + "/gone", 1, 4), 0);
  EXPECT_EQ(close_file(h, dir + "/gone", 2), 0);
  EXPECT_FALSE(exists(dir + "/gone"));
  ASSERT_EQ(create(h, dir + "/f", 1, 4), 0);
  EXPECT_NE(close_file(h, dir + "/not-there", 2), 0);
  std::vector<int32_t> buf(4);
  EXPECT_NE(DAF_file_nrecord_read(h, 0, 4, 1, buf.data()), 0);
}

TEST(Recstore, OpenRefusesWhatIsNotAWholeRecordFile) {
  const std::string dir = tessera::test::temp_dir();
  int32_t h = -5, reclen, records;
  EXPECT_NE(open_file(h, dir + "/missing", reclen, records), 0);
  EXPECT_EQ(h, 0);
  EXPECT_NE(open_file(h, dir, reclen, records), 0);  // a directory

  auto fresh = [&](const std::string &name) {
    int32_t c;
    EXPECT_EQ(create(c, dir + "/" + name, 2, 4), 0);
    EXPECT_EQ(close_file(c, dir + "/" + name, 1), 0);
    return dir + "/" + name;
  };
  const int32_t bad_magic = 0x12345678, bad_version = 2, zero = 0, negative = -4;
  write_bytes(fresh("magic"), &bad_magic, 4, 0);
  write_bytes(fresh("version"), &bad_version, 4, 4);
  write_bytes(fresh("zero"), &zero, 4, 8);
  write_bytes(fresh("negative"), &negative, 4, 8);
  const std::string ragged = fresh("ragged");
  write_bytes(ragged, &zero, 4, 16 + 2 * 16);  // one word past the last record
  for (const char *name : {"magic", "version", "zero", "negative", "ragged"}) {
    h = -5;
    EXPECT_NE(open_file(h, dir + "/" + name, reclen, records), 0) << name;
    EXPECT_EQ(h, 0) << name;
  }
  const int fd = ::open((dir + "/short").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "TSCR", 4), 4);
  ::close(fd);
  EXPECT_NE(open_file(h, dir + "/short", reclen, records), 0);

  // An untouched file still opens.
  ASSERT_EQ(open_file(h, fresh("good"), reclen, records), 0);
  EXPECT_EQ(reclen, 4);
  EXPECT_EQ(records, 2);
  EXPECT_EQ(close_file(h, dir + "/good", 1), 0);
}

// Lowers the file-size limit for the process and ignores SIGXFSZ, so that a
// write or extension past the limit fails with EFBIG; both are restored.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  sighandler_t old_handler_{};
  bool ok_ = false;
};

TEST(Recstore, WritesAndExtensionsCutShortByTheFileSystemFail) {
  const std::string dir = tessera::test::temp_dir();
  constexpr int32_t L = 64;  // 256-byte records
  int32_t h;
  ASSERT_EQ(create(h, dir + "/f", 4, L), 0);
  const std::vector<int32_t> rec = pattern(L, 5);
  {
    // The limit falls inside record 1: record 0 fits, record 1 is cut short.
    FileSizeLimit limit(16 + 256 + 100);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(DAF_file_nrecord_write(h, 0, L, 1, rec.data()), 0);
    EXPECT_NE(DAF_file_nrecord_write(h, 1, L, 1, rec.data()), 0);
    EXPECT_NE(extend(h, 4, L, 10), 0);
    int32_t h2;
    EXPECT_NE(create(h2, dir + "/big", 10, L), 0);
    EXPECT_FALSE(exists(dir + "/big"));  // a file half made is removed
  }
  std::vector<int32_t> got(L);
  ASSERT_EQ(DAF_file_nrecord_read(h, 0, L, 1, got.data()), 0);
  EXPECT_EQ(got, rec);
  EXPECT_NE(DAF_file_nrecord_read(h, 4, L, 1, got.data()), 0);  // the extension did not happen
  EXPECT_EQ(DAF_file_nrecord_write(h, 1, L, 1, rec.data()), 0);
  EXPECT_EQ(close_file(h, dir + "/f", 2), 0);
}

}  // namespace
