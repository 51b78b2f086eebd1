// A test that runs with the host's areas linked in and the record-service
// fault layer reset, and that knows how many files were open when it began
// (so it can check that a refused call leaves no file open behind it).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "test_support/fault_injection.h"
#include "test_support/host.h"

namespace tessera::test {

class FaultScopedTest : public ::testing::Test {
 protected:
  HostAreas host;
  FaultScope faults;
  const int64_t open_at_start = faults_open_files();
};

}  // namespace tessera::test
