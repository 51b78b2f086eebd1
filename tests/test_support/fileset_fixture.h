// A control area with one or more file sets on real files, for tests of any
// subsystem: make the area with hminmf, create a set in a fresh directory
// with hmnewf, remove it (hmremf), reopen it (hmoldf) or kill it (hmkilf).
// Header-only; every routine returns the library's ierr for the test to
// check. A test::HostAreas must be alive while these are used.
//
//   test::HostAreas host;
//   auto ctrl = test::make_control_area(200000, 2, 20);
//   test::FileSet set = test::create_fileset(ctrl, 2);
//   ASSERT_EQ(set.ierr, 0);
//   ... ctrl.data(), set.handle ...
//   ASSERT_EQ(test::remove_fileset(ctrl, set), 0);
//   ASSERT_EQ(test::reopen_fileset(ctrl, set), 0);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera.h"
#include "test_support/host.h"

namespace tessera::test {

// A control area of `length` words laid out by hminmf for nfs file sets and
// ndesc open matrices; record_length > 0 replaces word 2 (the record length
// of new file sets). Returns an empty vector when hminmf refuses.
inline std::vector<int32_t> make_control_area(int32_t length, int32_t nfs, int32_t ndesc,
                                              int32_t record_length = 0) {
  std::vector<int32_t> ctrl(static_cast<size_t>(length), 0);
  int32_t option = 0;
  int32_t ierr = -1;
  hminmf(ctrl.data(), &length, &nfs, &ndesc, &option, &ierr);
  if (ierr != 0) return {};
  if (record_length > 0) ctrl[1] = record_length;  // control-area word 2
  return ctrl;
}

// The files of one file set and its handle in the control area.
struct FileSet {
  std::string dir;
  std::vector<std::string> names;
  int32_t handle = 0;
  int32_t ierr = -1;  // status of the last fixture call on this set

  // The names as the library takes them (valid while `names` is unchanged).
  std::vector<char *> argv() {
    std::vector<char *> out;
    for (auto &name : names) out.push_back(name.data());
    return out;
  }
  int32_t count() const { return static_cast<int32_t>(names.size()); }
};

// File names "<dir>/<stem><i>.hm" for i = 1..n.
inline std::vector<std::string> fileset_names(const std::string &dir, int32_t n,
                                              const std::string &stem = "set") {
  std::vector<std::string> names;
  for (int32_t i = 1; i <= n; ++i) names.push_back(dir + "/" + stem + std::to_string(i) + ".hm");
  return names;
}

// hmnewf with n files in a new test::temp_dir() (or in `dir` when given);
// m index-region records, s initial size in words. Check `.ierr`.
inline FileSet create_fileset(std::vector<int32_t> &ctrl, int32_t n, int32_t m = 0, int32_t s = 0,
                              const std::string &dir = std::string(),
                              const std::string &stem = "set") {
  FileSet set;
  set.dir = dir.empty() ? temp_dir() : dir;
  set.names = fileset_names(set.dir, n, stem);
  std::vector<char *> argv = set.argv();
  hmnewf(ctrl.data(), &n, argv.data(), &m, &s, &set.handle, &set.ierr);
  return set;
}

// hmremf: writes the set's tables and header and keeps the files.
inline int32_t remove_fileset(std::vector<int32_t> &ctrl, FileSet &set) {
  hmremf(ctrl.data(), &set.handle, &set.ierr);
  if (set.ierr == 0) set.handle = 0;
  return set.ierr;
}

// hmoldf with the set's names; the set gets its new handle.
inline int32_t reopen_fileset(std::vector<int32_t> &ctrl, FileSet &set) {
  int32_t n = set.count();
  std::vector<char *> argv = set.argv();
  hmoldf(ctrl.data(), &n, argv.data(), &set.handle, &set.ierr);
  return set.ierr;
}

// hmkilf: deletes the set's files.
inline int32_t kill_fileset(std::vector<int32_t> &ctrl, FileSet &set) {
  hmkilf(ctrl.data(), &set.handle, &set.ierr);
  if (set.ierr == 0) set.handle = 0;
  return set.ierr;
}

// Word j (1-based) of the file-set area of `set`.
inline int32_t fileset_word(const std::vector<int32_t> &ctrl, const FileSet &set, int32_t j) {
  return ctrl[static_cast<size_t>(set.handle + j - 2)];
}

}  // namespace tessera::test
