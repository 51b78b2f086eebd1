// The counting layer in front of the record-file service (see
// fault_injection.h). The program's own definitions of the DAF_ routines win
// over the service library's: the static linker resolves every reference from
// the program's objects, the library core included, to them. The real
// routines are then found with dlsym(RTLD_NEXT, ...), the next definition in
// load order after the program, which is the service library.
#include "test_support/fault_injection.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

#include "recstore.h"

namespace tessera::test {
namespace {

constexpr int kOps = static_cast<int>(DafOp::kAny) + 1;
// Result of a call the layer fails itself, or of a real routine that cannot
// be found; any non-zero value is a failure to the caller.
constexpr int kInjected = 9901;
constexpr int kNoService = 9902;

struct Rule {
  DafOp op;
  int64_t nth;
  bool from_then_on;
};

struct State {
  std::mutex mutex;
  std::array<int64_t, kOps> calls{};
  int64_t injected = 0;
  std::vector<Rule> rules;
  std::set<int32_t> open_handles;
};

State &state() {
  static State s;
  return s;
}

// A rule for one operation looks only at calls of that operation.
bool matches(const Rule &r, DafOp op, const std::array<int64_t, kOps> &calls) {
  if (r.op != DafOp::kAny && r.op != op) return false;
  const int64_t n = calls[static_cast<int>(r.op)];
  return r.from_then_on ? n >= r.nth : n == r.nth;
}

// Count one call of op; true when a rule says it fails.
bool count_call(DafOp op) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.calls[static_cast<int>(op)];
  ++s.calls[static_cast<int>(DafOp::kAny)];
  for (const Rule &r : s.rules) {
    if (matches(r, op, s.calls)) {
      ++s.injected;
      return true;
    }
  }
  return false;
}

void note_open(int32_t handle) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().open_handles.insert(handle);
}

void note_closed(int32_t handle) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().open_handles.erase(handle);
}

template <typename Fn>
Fn real(const char *name) {
  void *p = ::dlsym(RTLD_NEXT, name);
  if (p == nullptr) std::fprintf(stderr, "fault injection: no real %s\n", name);
  return reinterpret_cast<Fn>(p);
}

using CreateFn = int (*)(int32_t *, const char *, int32_t *, int32_t *, int32_t *, int32_t *);
using OpenFn = int (*)(int32_t *, const char *, int32_t *, int32_t *, int32_t *, int32_t *);
using CloseFn = int (*)(int32_t *, const char *, int32_t *, int32_t *);
using ExtendFn = int (*)(int32_t *, int32_t *, int32_t *, int32_t *, int32_t *);
using ReadFn = int (*)(int32_t, int32_t, int32_t, int32_t, int32_t *);
using WriteFn = int (*)(int32_t, int32_t, int32_t, int32_t, const int32_t *);

CloseFn real_close() {
  static const CloseFn fn = real<CloseFn>("DAF_file_close");
  return fn;
}

// Clear every rule and counter before each test, whatever the test did.
class ResetBetweenTests : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo &) override { faults_reset(); }
};

const bool g_listener_installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ResetBetweenTests);
  return true;
}();

}  // namespace

void faults_reset() {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.fill(0);
  s.injected = 0;
  s.rules.clear();
}

void faults_fail(DafOp op, int64_t nth, bool from_then_on) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.rules.push_back(Rule{op, nth, from_then_on});
}

int64_t faults_calls(DafOp op) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().calls[static_cast<int>(op)];
}

int64_t faults_injected() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().injected;
}

int64_t faults_open_files() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<int64_t>(state().open_handles.size());
}

int64_t faults_close_open_files() {
  std::set<int32_t> handles;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    handles.swap(state().open_handles);
  }
  const CloseFn close = real_close();
  if (close == nullptr) return 0;
  int64_t closed = 0;
  for (int32_t h : handles) {
    int32_t handle = h, one = 1, keep = 1;
    if (close(&handle, "", &one, &keep) == 0) ++closed;
  }
  return closed;
}

FaultScope::FaultScope() { faults_reset(); }
FaultScope::~FaultScope() { faults_reset(); }

}  // namespace tessera::test

using tessera::test::DafOp;
namespace ti = tessera::test;

extern "C" {

int DAF_file_create(int32_t *handle, const char *path, int32_t *mode, int32_t *flag,
                    int32_t *records, int32_t *reclen) {
  static const auto fn = ti::real<ti::CreateFn>("DAF_file_create");
  if (ti::count_call(DafOp::kCreate)) {
    if (handle != nullptr) *handle = 0;
    return ti::kInjected;
  }
  if (fn == nullptr) return ti::kNoService;
  const int rc = fn(handle, path, mode, flag, records, reclen);
  if (rc == 0) ti::note_open(*handle);
  return rc;
}

int DAF_file_open(int32_t *handle, const char *path, int32_t *mode, int32_t *out1,
                  int32_t *out2, int32_t *reclen) {
  static const auto fn = ti::real<ti::OpenFn>("DAF_file_open");
  if (ti::count_call(DafOp::kOpen)) {
    if (handle != nullptr) *handle = 0;
    return ti::kInjected;
  }
  if (fn == nullptr) return ti::kNoService;
  const int rc = fn(handle, path, mode, out1, out2, reclen);
  if (rc == 0) ti::note_open(*handle);
  return rc;
}

int DAF_file_close(int32_t *handle, const char *path, int32_t *one, int32_t *disposition) {
  if (ti::count_call(DafOp::kClose)) return ti::kInjected;
  const auto fn = ti::real_close();
  if (fn == nullptr) return ti::kNoService;
  const int32_t h = handle != nullptr ? *handle : 0;
  const int rc = fn(handle, path, one, disposition);
  // The service releases the handle even when the deletion fails; a handle it
  // still knows is closed again by faults_close_open_files, which then fails
  // harmlessly if it was in fact released.
  if (rc == 0) ti::note_closed(h);
  return rc;
}

int DAF_file_extend(int32_t *workbuf, int32_t *handle, int32_t *first, int32_t *reclen,
                    int32_t *count) {
  static const auto fn = ti::real<ti::ExtendFn>("DAF_file_extend");
  if (ti::count_call(DafOp::kExtend)) return ti::kInjected;
  if (fn == nullptr) return ti::kNoService;
  return fn(workbuf, handle, first, reclen, count);
}

int DAF_file_nrecord_read(int32_t handle, int32_t record, int32_t reclen, int32_t count,
                          int32_t *buffer) {
  static const auto fn = ti::real<ti::ReadFn>("DAF_file_nrecord_read");
  if (ti::count_call(DafOp::kRead)) return ti::kInjected;
  if (fn == nullptr) return ti::kNoService;
  return fn(handle, record, reclen, count, buffer);
}

int DAF_file_nrecord_write(int32_t handle, int32_t record, int32_t reclen, int32_t count,
                           const int32_t *buffer) {
  static const auto fn = ti::real<ti::WriteFn>("DAF_file_nrecord_write");
  if (ti::count_call(DafOp::kWrite)) return ti::kInjected;
  if (fn == nullptr) return ti::kNoService;
  return fn(handle, record, reclen, count, buffer);
}

}  // extern "C"
