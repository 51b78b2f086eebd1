// Record runs striped over the files of a set: placement, order, failures
// part-way, and the header write.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <algorithm>

#include "common/status.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/fileset_codes.h"
#include "control/record_io.h"
#include "recstore.h"
#include "test_support/fault_injection.h"
#include "test_support/host.h"

namespace tessera {
namespace {

constexpr int32_t kL = 128;

// n physical files of `per_file` records, created straight with the service.
struct Files {
  std::vector<std::string> paths;
  std::vector<int32_t> handles;

  Files(int32_t n, int32_t per_file) {
    const std::string dir = test::temp_dir();
    for (int32_t i = 1; i <= n; ++i) {
      paths.push_back(dir + "/f" + std::to_string(i));
      int32_t handle = 0, mode = 2, flag = -1, records = per_file, length = kL;
      EXPECT_EQ(DAF_file_create(&handle, paths.back().c_str(), &mode, &flag, &records, &length), 0);
      handles.push_back(handle);
    }
  }
  ~Files() {
    for (size_t i = 0; i < handles.size(); ++i) {
      int32_t one = 1, del = 2;
      DAF_file_close(&handles[i], paths[i].c_str(), &one, &del);
    }
  }
  // First word of record `record` of file `file` (1-based file), read
  // directly from that file.
  int32_t first_word(int32_t file, int32_t record) {
    std::vector<int32_t> buffer(kL, -1);
    EXPECT_EQ(DAF_file_nrecord_read(handles[file - 1], record, kL, 1, buffer.data()), 0);
    return buffer[0];
  }
};

// A run of k records whose words are all 1000 * (record number + 1) + j.
std::vector<int32_t> run_of(int32_t k, int32_t r0) {
  std::vector<int32_t> run(static_cast<size_t>(k) * kL);
  for (int32_t j = 0; j < k; ++j) {
    for (int32_t w = 0; w < kL; ++w) run[j * kL + w] = 1000 * (r0 + j + 1) + w;
  }
  return run;
}

TEST(RecordIo, ThreeFilesStripeRoundRobinInIncreasingOrder) {
  test::HostAreas host;
  test::FaultScope faults;
  Files files(3, 4);
  const auto run = run_of(4, 2);
  // The third write fails: if records went out in increasing order, only
  // records 2 and 3 (file 3 record 0, file 1 record 1) reached the files.
  test::faults_fail(test::DafOp::kWrite, test::faults_calls(test::DafOp::kWrite) + 3);
  EXPECT_EQ(hm_write_records(3, files.handles.data(), kL, 4, 2, run.data()), status::kRecordWrite);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{trace::kRecordWriteRefused});
  EXPECT_EQ(files.first_word(3, 0), 3000);
  EXPECT_EQ(files.first_word(1, 1), 4000);
  EXPECT_EQ(files.first_word(2, 1), 0);
  EXPECT_EQ(files.first_word(3, 1), 0);

  test::faults_reset();
  const int64_t writes = test::faults_calls(test::DafOp::kWrite);
  EXPECT_EQ(hm_write_records(3, files.handles.data(), kL, 4, 2, run.data()), 0);
  EXPECT_EQ(test::faults_calls(test::DafOp::kWrite) - writes, 4);  // one call per record
  EXPECT_EQ(files.first_word(2, 1), 5000);
  EXPECT_EQ(files.first_word(3, 1), 6000);
  EXPECT_EQ(files.first_word(1, 0), 0);  // record 0 untouched

  std::vector<int32_t> back(4 * kL, -1);
  ASSERT_EQ(hm_read_records(3, files.handles.data(), kL, 4, 2, back.data()), 0);
  EXPECT_EQ(back, run);
}

TEST(RecordIo, OneFileAndEmptyRuns) {
  test::HostAreas host;
  test::FaultScope faults;
  Files files(1, 5);
  const auto run = run_of(3, 1);
  ASSERT_EQ(hm_write_records(1, files.handles.data(), kL, 3, 1, run.data()), 0);
  EXPECT_EQ(files.first_word(1, 1), 2000);
  EXPECT_EQ(files.first_word(1, 3), 4000);

  const int64_t calls = test::faults_calls(test::DafOp::kAny);
  std::vector<int32_t> untouched(kL, 7);
  EXPECT_EQ(hm_read_records(1, files.handles.data(), kL, 0, 0, untouched.data()), 0);
  EXPECT_EQ(hm_write_records(1, files.handles.data(), kL, -1, 0, untouched.data()), 0);
  EXPECT_EQ(test::faults_calls(test::DafOp::kAny), calls);
  EXPECT_EQ(untouched, std::vector<int32_t>(kL, 7));
}

TEST(RecordIo, ReadFailurePartWayLeavesEarlierRecordsRead) {
  test::HostAreas host;
  test::FaultScope faults;
  Files files(2, 3);
  const auto run = run_of(4, 0);
  ASSERT_EQ(hm_write_records(2, files.handles.data(), kL, 4, 0, run.data()), 0);
  std::vector<int32_t> back(4 * kL, -1);
  test::faults_fail(test::DafOp::kRead, test::faults_calls(test::DafOp::kRead) + 3);
  EXPECT_EQ(hm_read_records(2, files.handles.data(), kL, 4, 0, back.data()), status::kRecordRead);
  EXPECT_EQ(host.trace_codes(), std::vector<int32_t>{trace::kRecordReadRefused});
  EXPECT_TRUE(std::equal(run.begin(), run.begin() + 2 * kL, back.begin()));
  EXPECT_EQ(back[2 * kL], -1);
}

TEST(RecordIo, HeaderGoesToTheFirstRecordsOfTheSet) {
  test::HostAreas host;
  test::FaultScope faults;
  Files files(2, 2);
  // A control area just large enough for one file-set area at word 300.
  std::vector<int32_t> ctrl(4000, 0);
  ctrl[131 - 1] = 4000 - 256;
  const int32_t P = 300;
  WordView fs(ctrl.data(), P);
  for (int32_t j = 1; j <= 100; ++j) fs[j] = 7 * j;
  fs[fsw::kRecordLength] = kL;
  fs[fsw::kHeaderRecords] = 1;
  fs[fsw::kFirstHeaderRecord] = 0;
  fs[fsw::kFileCount] = 2;
  fs[fsw::handle_word(1)] = files.handles[0];
  fs[fsw::handle_word(2)] = files.handles[1];
  ASSERT_EQ(hm_write_header(ctrl.data(), P), 0);
  std::vector<int32_t> record(kL);
  ASSERT_EQ(DAF_file_nrecord_read(files.handles[0], 0, kL, 1, record.data()), 0);
  for (int32_t j = 1; j <= 100; ++j) EXPECT_EQ(record[j - 1], fs[j]) << "word " << j;
  EXPECT_EQ(files.first_word(2, 0), 0);

  test::faults_fail(test::DafOp::kWrite, test::faults_calls(test::DafOp::kWrite) + 1);
  EXPECT_EQ(hm_write_header(ctrl.data(), P), status::kRecordWrite);
  EXPECT_EQ(host.trace_codes(),
            (std::vector<int32_t>{trace::kRecordWriteRefused, trace::kHeaderWrite}));
}

}  // namespace
}  // namespace tessera
