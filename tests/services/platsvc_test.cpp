// Platform services: memory and the file-system queries behind file sets.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platsvc.h"
#include "test_support/host.h"

namespace {

void touch(const std::string &path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
}

TEST(Platsvc, MemoryIsUsableZeroedAndReleased) {
  auto *p = static_cast<unsigned char *>(SM_alloc(81));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 81; ++i) p[i] = static_cast<unsigned char>(i);
  SM_free(p);
  void *empty = SM_alloc(0);  // never null, even for 0 bytes
  EXPECT_NE(empty, nullptr);
  SM_free(empty);
  auto *z = static_cast<int32_t *>(SM_calloc(100, sizeof(int32_t)));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(z[i], 0);
  SM_free(z);
  EXPECT_EQ(SM_calloc(SIZE_MAX / 2, 4), nullptr);  // a size that overflows is refused
  SM_free(nullptr);
}

TEST(Platsvc, ExistenceAndDeletion) {
  const std::string dir = tessera::test::temp_dir();
  const std::string f = dir + "/f";
  EXPECT_NE(CFI_ask_file_exist(f.c_str()), 0);
  touch(f);
  EXPECT_EQ(CFI_ask_file_exist(f.c_str()), 0);
  EXPECT_EQ(CFI_delete_file(f.c_str(), -1), 0);
  EXPECT_NE(CFI_ask_file_exist(f.c_str()), 0);
  EXPECT_NE(CFI_delete_file(f.c_str(), -1), 0);
  EXPECT_NE(CFI_delete_file(dir.c_str(), -1), 0);  // never removes a directory
  EXPECT_NE(CFI_ask_file_exist(nullptr), 0);
  EXPECT_NE(CFI_delete_file(nullptr, -1), 0);
}

TEST(Platsvc, HypermatrixPathNeedsAnExistingDirectoryAndNoDirectoryAtThePath) {
  const std::string dir = tessera::test::temp_dir();
  touch(dir + "/existing");
  ::mkdir((dir + "/sub").c_str(), 0755);
  struct Case {
    std::string path;
    bool ok;
  } cases[] = {
      {dir + "/new", true},
      {dir + "/existing", true},        // a file there is replaced by the caller
      {dir + "//new", true},
      {dir + "/sub/new", true},
      {dir + "/sub", false},            // a directory
      {dir + "/sub/", false},
      {dir + "/missing/new", false},    // no such directory
      {dir + "/existing/new", false},   // the "directory" is a file
      {"", false},
      {"/", false},
      {"relative-in-cwd", true},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(CFI_is_hypermatrix_file(c.path.c_str()) != 0, c.ok) << c.path;
  }
  EXPECT_EQ(CFI_is_hypermatrix_file(nullptr), 0);
  const std::string too_long = dir + "/" + std::string(5000, 'a');
  EXPECT_EQ(CFI_is_hypermatrix_file(too_long.c_str()), 0);
}

}  // namespace
