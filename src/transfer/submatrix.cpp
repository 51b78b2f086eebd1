// hmputs and hmgets: a rectangular region of the host's array is cut on the
// matrix's block grid and moved block by block, each piece converted between
// the host array and the block in its buffer. Forms 1 and 6 store only the
// blocks on and above the diagonal; a get of a lower block of form 1 reads
// the transpose of its mirror, of form 6 zeros. Blocks never written read as
// zeros and a get never creates one.
#include <cstdint>

#include "catalogue/descriptor_words.h"
#include "catalogue/matrix.h"
#include "common/status.h"
#include "common/type_form.h"
#include "common/word_view.h"
#include "control/trace.h"
#include "tessera.h"
#include "transfer/convert.h"
#include "transfer/submatrix.h"
#include "transfer/submatrix_codes.h"

namespace tessera {
namespace {

bool stores_one_triangle(WordView d) {
  return d[dw::kForm] == form::kSymmetric || d[dw::kForm] == form::kUpper;
}

// Where a block's data begins in the control area.
void *block_data(int32_t *ctrl, const BlockRef &b) {
  return word_at(ctrl, b.position + b.offset - 1);
}

// One axis of a region cut on the block grid: the first and last block
// index, the first element inside the first block and the last element
// inside the last block.
struct Cut {
  int32_t first;
  int32_t last;
  int32_t first_in;
  int32_t last_in;
};

Cut cut(int32_t start, int32_t count, int32_t nb) {
  const int64_t s = start, end = int64_t{start} + count - 1;
  return {static_cast<int32_t>((s + nb - 1) / nb), static_cast<int32_t>((end + nb - 1) / nb),
          static_cast<int32_t>((s - 1) % nb + 1), static_cast<int32_t>((end - 1) % nb + 1)};
}

// Elements of the region inside block b along the axis. full: blocks of full
// order along it; edge: order of the partial last block.
int32_t span(const Cut &c, int32_t b, int32_t full, int32_t edge, int32_t nb) {
  if (c.first == c.last) return c.last_in - c.first_in + 1;
  if (b == c.first) return (c.first > full ? edge : nb) - c.first_in + 1;
  if (b == c.last) return c.last_in;
  return nb;
}

// The region checks of a put or a get: 0, or the status to report.
int32_t check_region(WordView d, int32_t i1, int32_t nr, int32_t j1, int32_t nc, int32_t lda) {
  const int64_t last_row = int64_t{i1} + nr - 1, last_col = int64_t{j1} + nc - 1;
  // lda below nr would make the last column run past the host's array.
  if (i1 < 1 || j1 < 1 || nr < 1 || nc < 1 || lda < nr || last_row > d[dw::kRows] ||
      last_col > d[dw::kStoredCols])
    return status::kRegionOutside;
  if (d[dw::kBlockOrder] == 0) return status::kFull;
  return status::kOk;
}

// Walk the blocks of a region row of blocks by row of blocks; `move` gets
// (bi, bj, r0, nrb, c0, ncb, ia, ja) and may fail, which stops the walk.
template <class Move>
int32_t walk_region(WordView d, int32_t i1, int32_t nr, int32_t j1, int32_t nc, Move move) {
  const int32_t nb = d[dw::kBlockOrder];
  const Cut rows = cut(i1, nr, nb), cols = cut(j1, nc, nb);
  int32_t ia = 1;
  for (int32_t bi = rows.first; bi <= rows.last; ++bi) {
    const int32_t nrb = span(rows, bi, d[dw::kFullBlockRows], d[dw::kBottomEdgeRows], nb);
    const int32_t r0 = bi == rows.first ? rows.first_in : 1;
    int32_t ja = 1;
    for (int32_t bj = cols.first; bj <= cols.last; ++bj) {
      const int32_t ncb = span(cols, bj, d[dw::kFullBlockCols], d[dw::kRightEdgeCols], nb);
      const int32_t c0 = bj == cols.first ? cols.first_in : 1;
      if (int32_t st = move(bi, bj, r0, nrb, c0, ncb, ia, ja); st != status::kOk) return st;
      ja += ncb;
    }
    ia += nrb;
  }
  return status::kOk;
}

// Words of the block's data area when the piece put writes every one of
// its elements, else 0. The copy and the symmetric fill store every element
// of the piece, so a piece covering the block covers its data area; the
// upper-triangle store leaves the lower part alone. Packed edge blocks share
// their record and are left to their own code.
int32_t whole_block_words(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t r0,
                          int32_t nrb, int32_t c0, int32_t ncb, int32_t mode) {
  if (mode != kConvCopy && mode != kConvSymmetricFill) return 0;
  if (r0 != 1 || c0 != 1) return 0;
  int32_t kind = 0, rows = 0, cols = 0;
  hm_block_shape(ctrl, D, bi, bj, kind, rows, cols);
  if (kind != kKindBlock || nrb != rows || ncb != cols) return 0;
  WordView d(ctrl, D);
  const int64_t words =
      int64_t{rows} * cols * hm_words_per_element(d[dw::kType], d[dw::kItems]);
  return words > 0 && words <= INT32_MAX ? static_cast<int32_t>(words) : 0;
}

}  // namespace

int32_t hm_block_for_put(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj,
                         const FetchRequest &req, BlockRef &out) {
  return hm_locate_block_write(ctrl, D, bi, bj, req, out);
}

int32_t hm_block_for_get(int32_t *ctrl, int32_t D, int32_t mode, int32_t &bi, int32_t &bj,
                         int32_t BI, int32_t BJ, const FetchRequest &req, BlockRef &out) {
  if (mode == kGetDirect) return hm_locate_block_read(ctrl, D, bi, bj, req, out);
  return hm_block_traverse(ctrl, D, mode, bi, bj, BI, BJ, req, out);
}

int32_t hm_put_block_part(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t r0,
                          int32_t nrb, int32_t c0, int32_t ncb, int32_t ia, int32_t ja,
                          const void *a, int32_t lda) {
  WordView d(ctrl, D);
  if (stores_one_triangle(d) && bi > bj) return status::kOk;
  int32_t mode = kConvCopy;
  if (bi == bj && d[dw::kForm] == form::kSymmetric) mode = kConvSymmetricFill;
  if (bi == bj && d[dw::kForm] == form::kUpper) mode = kConvUpper;
  FetchRequest req;
  req.overwrite_words = whole_block_words(ctrl, D, bi, bj, r0, nrb, c0, ncb, mode);
  BlockRef block;
  if (int32_t st = hm_block_for_put(ctrl, D, bi, bj, req, block); st != status::kOk)
    return hm_fail(st, trace::kPutPartLocate);
  hm_convert_region(a, lda, block_data(ctrl, block), block.rows, d[dw::kType], d[dw::kItems], ia,
                    nrb, ja, ncb, r0, c0, mode);
  return status::kOk;
}

int32_t hm_get_block_part(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t r0,
                          int32_t nrb, int32_t c0, int32_t ncb, int32_t ia, int32_t ja, void *a,
                          int32_t lda, int32_t &record) {
  WordView d(ctrl, D);
  const int32_t t = d[dw::kType], k = d[dw::kItems];
  record = 0;
  if (d[dw::kForm] == form::kUpper && bi > bj) {
    hm_zero_region(a, lda, t, k, ia, nrb, ja, ncb);
    return status::kOk;
  }
  // A lower block of a symmetric matrix is the transpose of its mirror.
  const bool mirrored = d[dw::kForm] == form::kSymmetric && bi > bj;
  int32_t si = mirrored ? bj : bi, sj = mirrored ? bi : bj;
  BlockRef block;
  if (int32_t st = hm_block_for_get(ctrl, D, kGetDirect, si, sj, 0, 0, FetchRequest{}, block);
      st != status::kOk)
    return hm_fail(st, trace::kGetPartLocate);
  record = block.record;
  if (block.record == 0) {
    hm_zero_region(a, lda, t, k, ia, nrb, ja, ncb);
  } else if (mirrored) {
    hm_convert_region(block_data(ctrl, block), block.rows, a, lda, t, k, c0, ncb, r0, nrb, ia, ja,
                      kConvTranspose);
  } else {
    hm_convert_region(block_data(ctrl, block), block.rows, a, lda, t, k, r0, nrb, c0, ncb, ia, ja,
                      kConvCopy);
  }
  return status::kOk;
}

int32_t hm_put_submatrix(int32_t *ctrl, int32_t D, int32_t i1, int32_t nr, int32_t j1,
                         int32_t nc, const void *a, int32_t lda) {
  // The handle is the base of every write below; one that names no open
  // matrix must not reach them.
  if (!hm_matrix_handle_valid(ctrl, D))
    return hm_fail(status::kNoSuchMatrix, trace::kPutsBadHandle);
  WordView d(ctrl, D);
  if (d[dw::kReadOnlyFlag] == 1) return hm_fail(status::kReadOnly, trace::kPutsReadOnly);
  if (int32_t st = check_region(d, i1, nr, j1, nc, lda); st != status::kOk)
    return hm_fail(st, trace::kPutsRegion);
  const bool skip_lower = stores_one_triangle(d);
  return walk_region(d, i1, nr, j1, nc,
                     [&](int32_t bi, int32_t bj, int32_t r0, int32_t nrb, int32_t c0, int32_t ncb,
                         int32_t ia, int32_t ja) {
                       // The host's values below the diagonal blocks are ignored.
                       if (skip_lower && bi > bj) return status::kOk;
                       int32_t st = hm_put_block_part(ctrl, D, bi, bj, r0, nrb, c0, ncb, ia, ja,
                                                      a, lda);
                       return st == status::kOk ? st : hm_fail(st, trace::kPutsBlock);
                     });
}

int32_t hm_get_submatrix(int32_t *ctrl, int32_t D, int32_t i1, int32_t nr, int32_t j1,
                         int32_t nc, void *a, int32_t lda) {
  if (!hm_matrix_handle_valid(ctrl, D))
    return hm_fail(status::kNoSuchMatrix, trace::kGetsBadHandle);
  WordView d(ctrl, D);
  if (int32_t st = check_region(d, i1, nr, j1, nc, lda); st != status::kOk)
    return hm_fail(st, trace::kGetsRegion);
  return walk_region(d, i1, nr, j1, nc,
                     [&](int32_t bi, int32_t bj, int32_t r0, int32_t nrb, int32_t c0, int32_t ncb,
                         int32_t ia, int32_t ja) {
                       int32_t record = 0;
                       int32_t st = hm_get_block_part(ctrl, D, bi, bj, r0, nrb, c0, ncb, ia, ja,
                                                      a, lda, record);
                       return st == status::kOk ? st : hm_fail(st, trace::kGetsBlock);
                     });
}

}  // namespace tessera

extern "C" TESSERA_API void hmputs(int32_t *ctrl, const int32_t *im, const int32_t *i1,
                                   const int32_t *nr, const int32_t *j1, const int32_t *nc,
                                   const float *a, const int32_t *lda, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = 0;
  *ierr = tessera::hm_put_submatrix(ctrl, *im, *i1, *nr, *j1, *nc, a, *lda);
}

extern "C" TESSERA_API void hmgets(int32_t *ctrl, const int32_t *im, const int32_t *i1,
                                   const int32_t *nr, const int32_t *j1, const int32_t *nc,
                                   float *a, const int32_t *lda, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, false, ierr)) return;
  *ierr = 0;
  *ierr = tessera::hm_get_submatrix(ctrl, *im, *i1, *nr, *j1, *nc, a, *lda);
}
