// Record input and output of a file set: runs of records striped over the
// set's files, one service call (or one cache call) per record.
#include "control/record_io.h"

#include <algorithm>
#include <cstddef>

#include "catalogue/pools.h"
#include "common/status.h"
#include "common/word_view.h"
#include "control/fileset_codes.h"
#include "control/trace.h"
#include "recstore.h"
#include "transfer/cache.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

// The host may switch the cache on or off between two records of a run (the
// cache routines themselves never do, but a host callback could), so the
// state word is read afresh for every record.
bool cache_state_on() { return cache_words()[cachew::kState] != 0; }

}  // namespace

int32_t hm_gather_handles(int32_t *ctrl, int32_t P, int32_t (&handles)[fsw::kMaxFiles]) {
  WordView fs(ctrl, P);
  int32_t n = fs[fsw::kFileCount];
  if (n > fsw::kMaxFiles) n = fsw::kMaxFiles;
  for (int32_t i = 1; i <= n; ++i) handles[i - 1] = fs[fsw::handle_word(i)];
  return n;
}

int32_t hm_read_records(int32_t n, const int32_t *handles, int32_t L, int32_t k, int32_t r0,
                        int32_t *buffer) {
  for (int32_t j = 0; j < k; ++j) {
    const int32_t r = r0 + j;
    int32_t *record = buffer + static_cast<std::ptrdiff_t>(j) * L;
    if (cache_state_on()) {
      const int32_t ierr = hm_cache_read(cache_memory(), n, handles, L, r, record);
      if (ierr != 0) return hm_fail(ierr, trace::kCacheReadFailed);
      continue;
    }
    if (DAF_file_nrecord_read(handles[r % n], r / n, L, 1, record) != 0) {
      return hm_fail(status::kRecordRead, trace::kRecordReadRefused);
    }
  }
  return status::kOk;
}

int32_t hm_write_records(int32_t n, const int32_t *handles, int32_t L, int32_t k, int32_t r0,
                         const int32_t *buffer) {
  for (int32_t j = 0; j < k; ++j) {
    const int32_t r = r0 + j;
    const int32_t *record = buffer + static_cast<std::ptrdiff_t>(j) * L;
    if (cache_state_on()) {
      const int32_t ierr = hm_cache_write(cache_memory(), n, handles, L, r, record);
      if (ierr != 0) return hm_fail(ierr, trace::kCacheWriteFailed);
      continue;
    }
    if (DAF_file_nrecord_write(handles[r % n], r / n, L, 1, record) != 0) {
      return hm_fail(status::kRecordWrite, trace::kRecordWriteRefused);
    }
  }
  return status::kOk;
}

namespace {

// Records r0 .. r0 + k - 1 all lie inside the set at P, and it has files.
bool inside_set(int32_t *ctrl, int32_t P, int32_t k, int32_t r0) {
  WordView fs(ctrl, P);
  return k >= 0 && r0 >= 0 && int64_t{r0} + k <= fs[fsw::kEnd] && fs[fsw::kFileCount] >= 1;
}

}  // namespace

int32_t hm_fileset_read(int32_t *ctrl, int32_t P, int32_t k, int32_t r0, int32_t *buffer) {
  if (!inside_set(ctrl, P, k, r0)) return hm_fail(status::kRecordRead, trace::kReadOutsideSet);
  int32_t handles[fsw::kMaxFiles];
  const int32_t n = hm_gather_handles(ctrl, P, handles);
  return hm_read_records(n, handles, WordView(ctrl, P)[fsw::kRecordLength], k, r0, buffer);
}

int32_t hm_fileset_write(int32_t *ctrl, int32_t P, int32_t k, int32_t r0, const int32_t *buffer) {
  if (!inside_set(ctrl, P, k, r0)) return hm_fail(status::kRecordWrite, trace::kWriteOutsideSet);
  int32_t handles[fsw::kMaxFiles];
  const int32_t n = hm_gather_handles(ctrl, P, handles);
  return hm_write_records(n, handles, WordView(ctrl, P)[fsw::kRecordLength], k, r0, buffer);
}

int32_t hm_write_header(int32_t *ctrl, int32_t P) {
  WordView fs(ctrl, P);
  WordView c = control_view(ctrl);
  const int32_t h = fs[fsw::kHeaderRecords];
  const int32_t L = fs[fsw::kRecordLength];
  const int32_t first = fs[fsw::kFirstHeaderRecord];
  // The header records are written straight from the file-set area; only
  // words 1-100 mean anything, the rest of the run is whatever follows in
  // the control area. A long record from the last slots would run past the
  // end of the host's array, so such a header goes through a zeroed run of
  // work space instead.
  const int64_t words = int64_t{h} * L;
  const int64_t area_end = int64_t{c[cw::kLastPoolWord]} + cw::kFixedWords;
  if (int64_t{P} + words - 1 <= area_end) {
    const int32_t ierr = hm_fileset_write(ctrl, P, h, first, fs.at(1));
    if (ierr != 0) return hm_fail(ierr, trace::kHeaderWrite);
    return status::kOk;
  }
  int32_t address = 0;
  int32_t ierr = hm_work_alloc(ctrl, static_cast<int32_t>(words), address);
  if (ierr != 0) return hm_fail(ierr, trace::kHeaderWrite);
  int32_t *run = word_at(ctrl, address);
  std::fill(run, run + words, 0);
  std::copy(fs.at(1), fs.at(1) + fsw::kHeaderWords, run);
  ierr = hm_fileset_write(ctrl, P, h, first, run);
  const int32_t give = hm_work_free(ctrl, static_cast<int32_t>(words), address);
  if (ierr == 0) ierr = give;
  if (ierr != 0) return hm_fail(ierr, trace::kHeaderWrite);
  return status::kOk;
}

}  // namespace tessera
