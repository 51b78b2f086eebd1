// Adding one hypermatrix into another (hladd) and copying one into another
// under a conversion (hlcopm). Both walk the stored blocks of the source in
// block-position order and fetch the matching destination block for writing
// (created zero-filled when absent); blocks the source does not store cost
// nothing and leave the destination's blocks alone. A - A empties the
// matrix by killing and re-creating it.
#include <cstdint>

#include "algebra/algebra.h"
#include "algebra/algebra_codes.h"
#include "algebra/block_ops.h"
#include "catalogue/descriptor_words.h"
#include "catalogue/matrix.h"
#include "common/status.h"
#include "common/type_form.h"
#include "common/word_view.h"
#include "control/trace.h"
#include "tessera.h"
#include "transfer/block_index.h"
#include "transfer/buffers.h"
#include "transfer/convert.h"
#include "transfer/submatrix.h"
#include "transfer/transfer_words.h"

namespace tessera {
namespace {

// Traversal steps of hm_block_for_get used by the walks.
constexpr int32_t kWalkFirst = 3;
constexpr int32_t kWalkNext = 5;
constexpr int32_t kWalkFinish = 10;

// Copy modes with a meaning of their own beyond the conversion they name.
constexpr int32_t kCopyPlain = 0;
constexpr int32_t kCopyNegated = 1;
constexpr int32_t kCopyTransposed = 2;
constexpr int32_t kCopyNegTransposed = 3;
constexpr int32_t kCopyUpper = 4;
constexpr int32_t kCopyUpperToo = 5;
constexpr int32_t kCopyMirror = 10;

constexpr int32_t kOpSubtract = 1;

int32_t *block_data(int32_t *ctrl, const BlockRef &b) {
  return word_at(ctrl, b.position + b.offset - 1);
}

bool found(const BlockRef &b) { return b.record >= 1 && b.position > 0; }

// The walks pin the source block while the destination is fetched: the
// destination fetch may take buffers (for the block, for index nodes, for a
// new packed edge record), and a merely touched source buffer could be the
// one it evicts.
FetchRequest walk_request() {
  FetchRequest req;
  req.lookup_first = 1;
  req.skip_read = 0;
  req.enter_tree = 1;
  req.pin_mode = 1;
  req.state = 1;
  return req;
}

void unpin(int32_t *ctrl, int32_t D, const BlockRef &b) { hm_buffer_pin(ctrl, D, b.position, 0, 0); }

// Ends an ascending walk of D that stopped early, so that its leaf is not
// left pinned; the status reported is that of the failure that stopped it.
void abandon_walk(int32_t *ctrl, int32_t D) {
  int32_t bi = 1, bj = 1;
  BlockRef none;
  hm_block_for_get(ctrl, D, kWalkFinish, bi, bj, 0, 0, walk_request(), none);
}

bool is_transposing(int32_t mode) { return mode == kCopyTransposed || mode == kCopyNegTransposed; }

}  // namespace

void hl_mark_buffer_modified(int32_t *ctrl, int32_t flag, int32_t p) {
  if (hm_is_pool_buffer(ctrl, p)) hm_buffer_word(ctrl, p, bufw::kModified) = flag;
}

int32_t hl_make_empty(int32_t *ctrl, int32_t &m) {
  WordView d(ctrl, m);
  const int32_t qualifier = d[dw::kQualifier];
  const int32_t name[3] = {d[dw::kName], d[dw::kName + 1], d[dw::kName + 2]};
  const int32_t fileset = d[dw::kFileset];
  const int32_t typeword = d[dw::kItems] * 256 + d[dw::kType];
  // Only the form is passed again: the band width given at the first
  // creation is not kept.
  const int32_t form = d[dw::kForm];
  const int32_t rows = d[dw::kRows], cols = d[dw::kCols];

  int32_t D = m;
  if (int32_t st = hm_matrix_kill(ctrl, D); st != status::kOk) return hm_fail(st, trace::kEmptyKill);
  int32_t fresh = 0;
  const int32_t st = hm_matrix_create(ctrl, name, qualifier, fileset, typeword, form, rows, cols, fresh);
  // The old handle is dead either way; the caller gets the new one (0 when
  // the creation failed).
  m = fresh;
  if (st != status::kOk) return hm_fail(st, trace::kEmptyCreate);
  return status::kOk;
}

int32_t hl_add_blocks(int32_t *ctrl, int32_t &ma, int32_t &mb, int32_t op) {
  if (ma == mb && op == kOpSubtract) {
    if (int32_t st = hl_make_empty(ctrl, mb); st != status::kOk) {
      ma = mb;
      return hm_fail(st, trace::kAddEmpty);
    }
    ma = mb;
    return status::kOk;
  }

  WordView b(ctrl, mb);
  const int32_t t = b[dw::kType], k = b[dw::kItems], s = b[dw::kForm];
  const int32_t BI = b[dw::kBlockRows], BJ = b[dw::kBlockCols];
  const FetchRequest req = walk_request();

  int32_t bi = 1, bj = 1;
  BlockRef src;
  if (int32_t st = hm_block_for_get(ctrl, mb, kWalkFirst, bi, bj, BI, BJ, req, src); st != status::kOk)
    return hm_fail(st, trace::kAddWalk);
  while (found(src)) {
    int32_t *into;
    if (ma == mb) {
      // Doubling works in place on the block the walk holds.
      into = block_data(ctrl, src);
      hl_mark_buffer_modified(ctrl, 1, src.position);
    } else {
      BlockRef dst;
      if (int32_t st = hm_block_for_put(ctrl, ma, bi, bj, FetchRequest{}, dst); st != status::kOk) {
        unpin(ctrl, mb, src);
        abandon_walk(ctrl, mb);
        return hm_fail(st, trace::kAddFetch);
      }
      into = block_data(ctrl, dst);
    }
    const int32_t block_form = bi == bj ? s : form::kGeneral;
    hl_add_block(into, block_data(ctrl, src), t, k, block_form, src.rows, src.cols, op);
    unpin(ctrl, mb, src);
    if (int32_t st = hm_block_for_get(ctrl, mb, kWalkNext, bi, bj, BI, BJ, req, src); st != status::kOk)
      return hm_fail(st, trace::kAddWalk);
  }
  if (int32_t st = hm_block_for_get(ctrl, mb, kWalkFinish, bi, bj, BI, BJ, req, src); st != status::kOk)
    return hm_fail(st, trace::kAddWalk);
  return status::kOk;
}

int32_t hl_add(int32_t *ctrl, int32_t &ma, int32_t &mb, int32_t op) {
  if (!hm_matrix_handle_valid(ctrl, ma) || !hm_matrix_handle_valid(ctrl, mb))
    return hm_fail(status::kNoSuchMatrix, trace::kAddBadHandle);
  WordView a(ctrl, ma), b(ctrl, mb);
  // A matrix opened read-only has no extent table in the control area, so
  // no block of it may be created or changed, whichever the source.
  if (a[dw::kReadOnlyFlag] == 1) return hm_fail(status::kReadOnly, trace::kAddReadOnly);
  if (a[dw::kType] != b[dw::kType]) return hm_fail(status::kTypesDiffer, trace::kAddTypes);
  if (a[dw::kItems] != b[dw::kItems]) return hm_fail(status::kItemsDiffer, trace::kAddItems);
  if (a[dw::kRows] != b[dw::kRows]) return hm_fail(status::kRowsDiffer, trace::kAddRows);
  if (a[dw::kCols] != b[dw::kCols]) return hm_fail(status::kColumnsDiffer, trace::kAddCols);
  if (a[dw::kForm] != b[dw::kForm]) return hm_fail(status::kFormsDiffer, trace::kAddForms);
  if (int32_t st = hl_add_blocks(ctrl, ma, mb, op); st != status::kOk)
    return hm_fail(st, trace::kAddWorker);
  return status::kOk;
}

int32_t hl_copy_blocks(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mode) {
  if (ma == mb) return status::kOk;
  const bool upper_only = mode == kCopyUpper || mode == kCopyUpperToo || mode == kCopyMirror;
  const int32_t cm = upper_only ? kConvCopy : mode;

  WordView a(ctrl, ma);
  const int32_t t = a[dw::kType], k = a[dw::kItems];
  const int32_t BI = a[dw::kBlockRows], BJ = a[dw::kBlockCols];
  const FetchRequest req = walk_request();

  int32_t bi = 1, bj = 1;
  BlockRef src;
  if (int32_t st = hm_block_for_get(ctrl, ma, kWalkFirst, bi, bj, BI, BJ, req, src); st != status::kOk)
    return hm_fail(st, trace::kCopyWalk);
  while (found(src)) {
    // Mode 10 mirrors the upper blocks; a block stored below the diagonal
    // would compete with the mirror of its partner, so it is left out as in
    // modes 4 and 5.
    if (!(upper_only && bi > bj)) {
      const bool swap = is_transposing(mode);
      BlockRef dst;
      int32_t st = hm_block_for_put(ctrl, mb, swap ? bj : bi, swap ? bi : bj, FetchRequest{}, dst);
      if (st == status::kOk) {
        hm_convert_region(block_data(ctrl, src), src.rows, block_data(ctrl, dst), dst.rows, t, k,
                          1, src.rows, 1, src.cols, 1, 1, cm);
        if (mode == kCopyMirror && bi < bj) {
          st = hm_block_for_put(ctrl, mb, bj, bi, FetchRequest{}, dst);
          if (st == status::kOk)
            hm_convert_region(block_data(ctrl, src), src.rows, block_data(ctrl, dst), dst.rows, t,
                              k, 1, src.rows, 1, src.cols, 1, 1, kConvTranspose);
        }
      }
      if (st != status::kOk) {
        unpin(ctrl, ma, src);
        abandon_walk(ctrl, ma);
        return hm_fail(st, trace::kCopyFetch);
      }
    }
    unpin(ctrl, ma, src);
    if (int32_t st = hm_block_for_get(ctrl, ma, kWalkNext, bi, bj, BI, BJ, req, src); st != status::kOk)
      return hm_fail(st, trace::kCopyWalk);
  }
  if (int32_t st = hm_block_for_get(ctrl, ma, kWalkFinish, bi, bj, BI, BJ, req, src); st != status::kOk)
    return hm_fail(st, trace::kCopyWalk);
  return status::kOk;
}

int32_t hl_copy(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mode) {
  if (!hm_matrix_handle_valid(ctrl, ma) || !hm_matrix_handle_valid(ctrl, mb))
    return hm_fail(status::kNoSuchMatrix, trace::kCopyBadHandle);
  WordView a(ctrl, ma), b(ctrl, mb);
  if (a[dw::kType] != b[dw::kType]) return hm_fail(status::kTypesDiffer, trace::kCopyTypes);
  if (a[dw::kItems] != b[dw::kItems]) return hm_fail(status::kItemsDiffer, trace::kCopyItems);
  const bool transposing = is_transposing(mode);
  const bool conforms =
      transposing ? a[dw::kRows] == b[dw::kStoredCols] && a[dw::kStoredCols] == b[dw::kRows]
                  : a[dw::kRows] == b[dw::kRows] && a[dw::kStoredCols] == b[dw::kStoredCols];
  if (!conforms) return hm_fail(status::kShapesDoNotConform, trace::kCopyShape);
  int32_t effective = mode;
  if (transposing) {
    const int32_t t = a[dw::kType];
    if (t == etype::kInt32Column || t == etype::kInt32ItemsColumn) return hm_fail(status::kTransposeType, trace::kCopyTransposeType);
    if (a[dw::kForm] == form::kUpper)
      return hm_fail(status::kTransposeForm, trace::kCopyTransposeForm);
    // A symmetric matrix is its own transpose.
    if (a[dw::kForm] == form::kSymmetric) effective = mode == kCopyTransposed ? kCopyPlain : kCopyNegated;
  }
  // Copying a matrix onto itself writes nothing, so only a distinct
  // read-only destination is refused.
  if (ma != mb && b[dw::kReadOnlyFlag] == 1)
    return hm_fail(status::kReadOnly, trace::kCopyReadOnly);
  if (int32_t st = hl_copy_blocks(ctrl, ma, mb, effective); st != status::kOk)
    return hm_fail(st, trace::kCopyWorker);
  return status::kOk;
}

}  // namespace tessera

// ---- interface ------------------------------------------------------------------

extern "C" TESSERA_API void hladd(int32_t *ctrl, int32_t *ma, int32_t *mb, const int32_t *op,
                                  int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = 0;
  int32_t a = *ma, b = *mb;
  *ierr = tessera::hl_add(ctrl, a, b, *op);
  // After A - A both handles name the re-created matrix (ma and mb may be
  // the same variable).
  if (a != *ma) *ma = a;
  if (b != *mb) *mb = b;
}

extern "C" TESSERA_API void hlcopm(int32_t *ctrl, const int32_t *ma, const int32_t *mb,
                                   const int32_t *mode, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = 0;
  *ierr = tessera::hl_copy(ctrl, *ma, *mb, *mode);
}
