// Record faults for the transfer tests, through the fault-injection layer of
// the record-file service: count record reads, fail the next record write.
#pragma once

#include <cstdint>

#include "test_support/fault_injection.h"

namespace tessera::test {

struct RecordFaults {
  FaultScope scope;
  void fail_next_write() { faults_fail(DafOp::kWrite, faults_calls(DafOp::kWrite) + 1); }
  int64_t reads() const { return faults_calls(DafOp::kRead); }
};

}  // namespace tessera::test
