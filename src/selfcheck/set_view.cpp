// The C interface of the self-check (tessera_check.h): a view of a stored
// set built on StoredSet, and reads of values through the library's own
// routines in a control area the view keeps to itself.
//
// The view's control area opens the set with hmoldf and a matrix with a
// read-only hmoldm, and gets regions with hmgets. It is never ended with
// hmrelm or hmremf, which write (a header, the set's tables) even when
// nothing changed: its files are closed through the record-file service and
// the area dropped. Read-only gets modify no buffer, so nothing is lost.
// No exception leaves this file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "control/control_words.h"
#include "control/fileset.h"
#include "control/lists.h"
#include "control/record_io.h"
#include "selfcheck/stored_set.h"
#include "tessera.h"
#include "tessera_check.h"
#include "transfer/block_index.h"

struct tessera_view {
  tessera::StoredSet set;
  std::vector<std::string> names;
  // The control area values are read through, and the areas linked to the
  // library's pointers while it works.
  std::vector<int32_t> ctrl;
  int32_t P = 0;
  int32_t open_matrix = -1;
  int32_t D = 0;
  int32_t trace[21] = {};
  int32_t cache[64] = {};
  int32_t chosky[600] = {};
};

namespace tessera {
namespace {

constexpr int32_t kKeep = 1;
// Attempts at a control area large enough for the set's pools, each twice
// the length of the one before.
constexpr int kSizeAttempts = 6;
constexpr int32_t kDescriptorSlots = 2;

// The view's own areas stand in for the host's for the length of a call.
class LinkedAreas {
 public:
  explicit LinkedAreas(tessera_view *v) : error_(Xerror), cache_(Xcache), chosky_(Xchosky) {
    Xerror = reinterpret_cast<char *>(v->trace);
    Xcache = reinterpret_cast<char *>(v->cache);
    Xchosky = reinterpret_cast<char *>(v->chosky);
  }
  ~LinkedAreas() {
    Xerror = error_;
    Xcache = cache_;
    Xchosky = chosky_;
  }
  LinkedAreas(const LinkedAreas &) = delete;
  LinkedAreas &operator=(const LinkedAreas &) = delete;

 private:
  char *error_, *cache_, *chosky_;
};

int result_of(SetProblem p) {
  switch (p) {
    case SetProblem::kNone: return TESSERA_VIEW_OK;
    case SetProblem::kMissingFile: return TESSERA_VIEW_MISSING_FILE;
    case SetProblem::kNotRecordFile: return TESSERA_VIEW_NOT_RECORD_FILE;
    case SetProblem::kNotASet: return TESSERA_VIEW_NOT_A_SET;
    case SetProblem::kFileOrder: return TESSERA_VIEW_FILE_ORDER;
    case SetProblem::kFileCount: return TESSERA_VIEW_FILE_COUNT;
  }
  return TESSERA_VIEW_NOT_A_SET;
}

int32_t header_word(const tessera_view *v, int32_t w) { return v->set.header()[static_cast<size_t>(w - 1)]; }

const StoredMatrix *matrix_at(const tessera_view *v, int32_t index) {
  if (v == nullptr || index < 0 || index >= static_cast<int32_t>(v->set.matrices().size()))
    return nullptr;
  return &v->set.matrices()[static_cast<size_t>(index)];
}

// Close the view's control area's files (kept, nothing written) and drop it.
void drop_session(tessera_view *v) {
  if (v->P != 0) {
    LinkedAreas linked(v);
    int32_t handles[fsw::kMaxFiles];
    const int32_t n = hm_gather_handles(v->ctrl.data(), v->P, handles);
    std::vector<const char *> names;
    for (const std::string &name : v->names) names.push_back(name.c_str());
    hm_close_files(n, names.data(), kKeep, handles, true);
  }
  v->ctrl.clear();
  v->P = 0;
  v->D = 0;
  v->open_matrix = -1;
}

// Open the set in the view's control area, sized from the record length and
// the set's tables and doubled while the pools do not fit.
int32_t open_session(tessera_view *v) {
  LinkedAreas linked(v);
  const int64_t L = v->set.record_length();
  const int64_t buffer_words = (L + 127) / 128 * 128;
  const int64_t tables = int64_t{header_word(v, fsw::kTableRecords)} +
                         header_word(v, fsw::kNodeRecords) + 4;
  int64_t length = 96 * buffer_words + tables * buffer_words + 65536;
  std::vector<char *> names;
  for (std::string &name : v->names) names.push_back(name.data());
  int32_t ierr = status::kAreaTooSmall;
  for (int attempt = 0; attempt < kSizeAttempts && ierr == status::kAreaTooSmall;
       ++attempt, length *= 2) {
    if (length > INT32_MAX) break;
    v->ctrl.assign(static_cast<size_t>(length), 0);
    int32_t words = static_cast<int32_t>(length), nfs = 1, ndesc = kDescriptorSlots, option = 0;
    hminmf(v->ctrl.data(), &words, &nfs, &ndesc, &option, &ierr);
    if (ierr != 0) break;
    int32_t nfiles = static_cast<int32_t>(names.size());
    hmoldf(v->ctrl.data(), &nfiles, names.data(), &v->P, &ierr);
  }
  if (ierr != 0) {
    v->ctrl.clear();
    v->P = 0;
  }
  return ierr;
}

}  // namespace
}  // namespace tessera

using tessera::StoredMatrix;

extern "C" TESSERA_API int tessera_view_open(int32_t nfiles, const char *const *files,
                                             tessera_view **view, char *message,
                                             size_t message_size) {
  if (view != nullptr) *view = nullptr;
  if (view == nullptr || files == nullptr || nfiles < 1) return TESSERA_VIEW_BAD_ARGUMENT;
  try {
    auto *v = new tessera_view;
    for (int32_t i = 0; i < nfiles; ++i) v->names.emplace_back(files[i] != nullptr ? files[i] : "");
    std::string why;
    const int result = tessera::result_of(v->set.open(v->names, why));
    if (result != TESSERA_VIEW_OK) {
      if (message != nullptr && message_size > 0) std::snprintf(message, message_size, "%s", why.c_str());
      delete v;
      return result;
    }
    if (message != nullptr && message_size > 0) message[0] = '\0';
    *view = v;
    return TESSERA_VIEW_OK;
  } catch (const std::bad_alloc &) {
    return TESSERA_VIEW_NO_MEMORY;
  }
}

extern "C" TESSERA_API void tessera_view_close(tessera_view *view) {
  if (view == nullptr) return;
  tessera::drop_session(view);
  delete view;
}

extern "C" TESSERA_API int tessera_view_set(const tessera_view *view, tessera_set_info *info) {
  namespace fsw = tessera::fsw;
  if (view == nullptr || info == nullptr) return TESSERA_VIEW_BAD_ARGUMENT;
  auto w = [&](int32_t k) { return tessera::header_word(view, k); };
  *info = tessera_set_info{};
  info->files = view->set.files();
  info->record_length = view->set.record_length();
  info->header_records = w(fsw::kHeaderRecords);
  info->created_records = w(fsw::kCreatedRecords);
  info->index_region = w(fsw::kIndexRegion);
  info->data_region = w(fsw::kDataRegion);
  info->index_growth = w(fsw::kIndexGrowth);
  info->data_growth = w(fsw::kDataGrowth);
  info->end = w(fsw::kEnd);
  info->table_records = w(fsw::kTableRecords);
  info->table_first = w(fsw::kTableFirstRecord);
  info->table_capacity = w(fsw::kTableCapacity);
  info->table_free = w(fsw::kTableFree);
  info->free_a_records = w(fsw::kListA + tessera::listw::kTotal);
  info->free_a_extents = w(fsw::kListA + tessera::listw::kCount);
  info->free_b_records = w(fsw::kListB + tessera::listw::kTotal);
  info->free_b_extents = w(fsw::kListB + tessera::listw::kCount);
  info->node_records = w(fsw::kNodeRecords);
  info->node_first = w(fsw::kNodeFirstRecord);
  info->node_capacity = w(fsw::kNodeCapacity);
  info->node_free = w(fsw::kNodeFree);
  info->matrices = w(fsw::kDirCount);
  info->released_nodes = w(fsw::kReleasedCount);
  info->header_record = w(fsw::kHeaderRecord);
  info->header_offset = w(fsw::kHeaderOffset);
  info->cache_flag = w(fsw::kCacheFlag);
  tessera::hm_unpack_name(view->set.header().data() + fsw::kName1 - 1, info->created_as);
  return TESSERA_VIEW_OK;
}

extern "C" TESSERA_API int32_t tessera_view_matrix_count(const tessera_view *view) {
  return view == nullptr ? 0 : static_cast<int32_t>(view->set.matrices().size());
}

extern "C" TESSERA_API int tessera_view_matrix(const tessera_view *view, int32_t index,
                                               tessera_matrix_info *info) {
  namespace dw = tessera::dw;
  const StoredMatrix *m = tessera::matrix_at(view, index);
  if (m == nullptr || info == nullptr) return m == nullptr ? TESSERA_VIEW_NO_MATRIX : TESSERA_VIEW_BAD_ARGUMENT;
  *info = tessera_matrix_info{};
  std::memcpy(info->name, m->key + 1, sizeof info->name);
  info->qualifier = m->key[0];
  info->damaged = m->damaged ? 1 : 0;
  info->header_record = m->header_record;
  info->header_offset = m->header_offset;
  if (m->d.empty()) return TESSERA_VIEW_OK;
  auto w = [&](int32_t k) { return m->d[static_cast<size_t>(k - 1)]; };
  info->type = w(dw::kType);
  info->items = w(dw::kItems);
  info->form = w(dw::kForm);
  info->lower_band = w(dw::kLowerBand);
  info->upper_band = w(dw::kUpperBand);
  info->rows = w(dw::kRows);
  info->columns = w(dw::kCols);
  info->stored_columns = w(dw::kStoredCols);
  info->block_order = w(dw::kBlockOrder);
  info->hyper_order = w(dw::kHyperOrder);
  info->block_rows = w(dw::kBlockRows);
  info->block_columns = w(dw::kBlockCols);
  info->placement = w(dw::kPlacement);
  info->index_height = m->index_height;
  info->index_nodes = static_cast<int32_t>(m->index_nodes.size());
  info->stored_blocks = static_cast<int32_t>(m->blocks.size());
  // The symmetric and upper forms store one triangle of the block grid.
  const int64_t rows = w(dw::kBlockRows), cols = w(dw::kBlockCols);
  if (w(dw::kTriangle) == 1) {
    for (int64_t bj = 1; bj <= cols; ++bj) info->possible_blocks += std::min(bj, rows);
  } else {
    info->possible_blocks = rows * cols;
  }
  int64_t records = 0;
  for (const auto &run : m->used) records += run.count;
  for (const auto &run : m->saved_table) records += run.count;
  info->records = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
  return TESSERA_VIEW_OK;
}

extern "C" TESSERA_API int tessera_view_blocks(const tessera_view *view, int32_t index,
                                               int32_t *block_rows, int32_t *block_columns,
                                               int64_t capacity, int64_t *count) {
  const StoredMatrix *m = tessera::matrix_at(view, index);
  if (m == nullptr) return TESSERA_VIEW_NO_MATRIX;
  if (capacity < 0 || (capacity > 0 && (block_rows == nullptr || block_columns == nullptr)))
    return TESSERA_VIEW_BAD_ARGUMENT;
  if (!m->index_sound || m->d.empty()) return TESSERA_VIEW_DAMAGED;
  if (count != nullptr) *count = static_cast<int64_t>(m->blocks.size());
  int32_t *d = const_cast<int32_t *>(m->d.data());
  for (size_t i = 0; i < m->blocks.size() && static_cast<int64_t>(i) < capacity; ++i) {
    int32_t r = 0, q = 0;
    tessera::hm_block_indices(d, 1, m->blocks[i].first, block_rows[i], block_columns[i], r, q);
  }
  return TESSERA_VIEW_OK;
}

extern "C" TESSERA_API int tessera_view_get(tessera_view *view, int32_t index, int32_t i1,
                                            int32_t nr, int32_t j1, int32_t nc, void *a,
                                            int32_t lda, int32_t *status) {
  if (status != nullptr) *status = 0;
  const StoredMatrix *m = tessera::matrix_at(view, index);
  if (m == nullptr) return TESSERA_VIEW_NO_MATRIX;
  if (a == nullptr) return TESSERA_VIEW_BAD_ARGUMENT;
  if (m->damaged || !m->index_sound) return TESSERA_VIEW_DAMAGED;
  try {
    int32_t ierr = 0;
    if (view->open_matrix != index) {
      // One matrix at a time: a read-only matrix cannot be let go without
      // writing its header, so the whole area goes and comes back.
      tessera::drop_session(view);
      ierr = tessera::open_session(view);
      if (ierr == 0) {
        tessera::LinkedAreas linked(view);
        int32_t readonly = 1, type = 0, storage = 0, rows = 0, cols = 0;
        hmoldm(view->ctrl.data(), m->key + 1, &m->key[0], &view->P, &readonly, &type, &storage,
               &rows, &cols, &view->D, &ierr);
        if (ierr == 0) view->open_matrix = index;
      }
    }
    if (ierr == 0) {
      tessera::LinkedAreas linked(view);
      hmgets(view->ctrl.data(), &view->D, &i1, &nr, &j1, &nc, static_cast<float *>(a), &lda,
             &ierr);
    }
    if (ierr != 0) {
      if (status != nullptr) *status = ierr;
      return TESSERA_VIEW_READ_FAILED;
    }
    return TESSERA_VIEW_OK;
  } catch (const std::bad_alloc &) {
    return TESSERA_VIEW_NO_MEMORY;
  }
}

extern "C" TESSERA_API int64_t tessera_view_check(const tessera_view *view, tessera_finding_fn fn,
                                                  void *context) {
  if (view == nullptr) return 0;
  const auto &findings = view->set.findings();
  if (fn != nullptr) {
    for (const tessera::Finding &f : findings) {
      const tessera_finding out{f.where.c_str(), f.what.c_str(), f.record};
      fn(context, &out);
    }
  }
  return static_cast<int64_t>(findings.size());
}
