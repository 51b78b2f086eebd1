// Fault injection for the record-file service. Every test program defines the
// six DAF_ routines itself (fault_injection.cpp); the library core linked into
// the program calls these, and they count each call and either forward it to
// the real service or fail it without calling the service.
//
// Counts are calls since the last reset, starting at 1. Rules add up: a call
// fails when any rule matches it. Before every test the plan is cleared and
// the counters are zeroed, so no test sees another's faults.
//
//   faults_fail(DafOp::kWrite, 3);          // the third record write fails
//   faults_fail(DafOp::kAny, 5, true);      // the disk is full from call 5 on
//
// A sweep runs a scenario with nth = 1, 2, ... until faults_injected() stays 0.
#pragma once

#include <cstdint>

namespace tessera::test {

enum class DafOp { kCreate, kOpen, kClose, kExtend, kRead, kWrite, kAny };

// Pass everything through, zero every counter, forget every rule.
void faults_reset();

// Fail the nth call of op (kAny: the nth DAF_ call of any kind), or every call
// from the nth on. nth counts from the last reset, so add faults_calls(op)
// to aim at calls that are still to come.
void faults_fail(DafOp op, int64_t nth, bool from_then_on = false);

// Calls of op (kAny: of every kind) since the last reset, failed ones included.
int64_t faults_calls(DafOp op);

// Calls failed by a rule since the last reset.
int64_t faults_injected();

// Handles the service gave out through this layer that are still open. An
// injected close failure leaves its file open (the service was never asked),
// and a failing scenario can leave files open too; a long sweep should close
// them so that neither the service's handle table nor the descriptors run out.
int64_t faults_open_files();
// Close (keep) every such file; returns how many were closed.
int64_t faults_close_open_files();

// Reset on entry and on exit.
struct FaultScope {
  FaultScope();
  ~FaultScope();
  FaultScope(const FaultScope &) = delete;
  FaultScope &operator=(const FaultScope &) = delete;
};

}  // namespace tessera::test
