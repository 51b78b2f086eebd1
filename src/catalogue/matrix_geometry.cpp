// Block geometry of a matrix descriptor: block and hyperblock orders, the
// block grid and edge-packing words, and the validity tests of matrix and
// file-set handles.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "catalogue/descriptor_words.h"
#include "catalogue/matrix.h"
#include "control/control_words.h"
#include "transfer/convert.h"

namespace tessera {
namespace {

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

// Largest whole number whose square does not exceed p (p >= 0).
int32_t isqrt(int32_t p) {
  int64_t r = static_cast<int64_t>(std::sqrt(static_cast<double>(p)));
  while (r * r > p) --r;
  while ((r + 1) * (r + 1) <= p) ++r;
  return static_cast<int32_t>(r);
}

// The slot tables are only where the control words say once the area has
// been laid out.
bool laid_out(WordView c) { return c[cw::kInitMarker] == cw::kInitialised; }

}  // namespace

int32_t hm_block_order(int32_t L, int32_t t, int32_t k) {
  const int64_t w = hm_words_per_item(t);
  if (w < 1 || k < 1 || L < 1) return 0;
  return isqrt(static_cast<int32_t>(L / (w * k)));
}

int32_t hm_hyper_order(const int32_t *ctrl) {
  WordView c = control_view(const_cast<int32_t *>(ctrl));
  const int64_t sizing = c[cw::kSizing];
  if (sizing < 1) return 0;
  // Buffers left once every descriptor slot may hold three (a block and the
  // two current edge records) and the algebra's fixed few are set aside.
  const int64_t q = (c[cw::kBufferCount] - (3LL * c[cw::kDescSlots] + 15)) / sizing;
  if (q < 1) return 0;
  // The square root is taken in single precision; the 0.1 keeps an exact
  // square from truncating one below.
  const float root = std::sqrt(static_cast<float>(q));
  return static_cast<int32_t>(root + 0.1f);
}

bool hm_matrix_geometry(WordView d, int32_t L) {
  const int64_t m = d[dw::kRows], n = d[dw::kCols], ns = d[dw::kStoredCols];
  const int64_t nb = d[dw::kBlockOrder], b1 = d[dw::kHyperOrder];
  const int64_t rows = ceil_div(m, nb), cols = ceil_div(ns, nb);
  if (rows * cols > std::numeric_limits<int32_t>::max()) return false;

  d[dw::kBlockRows] = static_cast<int32_t>(rows);
  d[dw::kBlockColsOfN] = static_cast<int32_t>(ceil_div(n, nb));
  d[dw::kBlockCols] = static_cast<int32_t>(cols);
  d[dw::kFullBlockRows] = static_cast<int32_t>(m / nb);
  d[dw::kFullBlockCols] = static_cast<int32_t>(ns / nb);
  d[dw::kRightEdgeRows] = static_cast<int32_t>(nb);
  d[dw::kRightEdgeCols] = static_cast<int32_t>(ns % nb);
  d[dw::kBottomEdgeRows] = static_cast<int32_t>(m % nb);
  d[dw::kBottomEdgeCols] = static_cast<int32_t>(nb);

  d[dw::kHyperRows] = static_cast<int32_t>(ceil_div(rows, b1));
  d[dw::kHyperColsOfN] = static_cast<int32_t>(ceil_div(d[dw::kBlockColsOfN], b1));
  d[dw::kHyperCols] = static_cast<int32_t>(ceil_div(cols, b1));
  d[dw::kFullHyperRows] = static_cast<int32_t>(rows / b1);
  d[dw::kFullHyperCols] = static_cast<int32_t>(cols / b1);
  d[dw::kHyperOrder57] = static_cast<int32_t>(b1);
  d[dw::kLastHyperColBlocks] = static_cast<int32_t>(cols % b1);
  d[dw::kLastHyperRowBlocks] = static_cast<int32_t>(rows % b1);
  d[dw::kHyperOrder60] = static_cast<int32_t>(b1);

  // Edge blocks are packed as many to a record as fit beside the trailer
  // (one position word each and the count), and never more than make up
  // one nb x nb block.
  const int64_t element = int64_t{hm_words_per_item(d[dw::kType])} * d[dw::kItems];
  const int64_t right = element * d[dw::kRightEdgeRows] * d[dw::kRightEdgeCols];
  const int64_t bottom = element * d[dw::kBottomEdgeRows] * d[dw::kBottomEdgeCols];
  d[dw::kRightEdgeSize] = static_cast<int32_t>(right);
  d[dw::kRightPerRecord] =
      right == 0 ? 0
                 : static_cast<int32_t>(std::min((L - 1) / (right + 1),
                                                 nb / d[dw::kRightEdgeCols]));
  d[dw::kBottomEdgeSize] = static_cast<int32_t>(bottom);
  d[dw::kBottomPerRecord] =
      bottom == 0 ? 0
                  : static_cast<int32_t>(std::min((L - 1) / (bottom + 1),
                                                  nb / d[dw::kBottomEdgeRows]));
  d[dw::kGridBlocks] = static_cast<int32_t>(rows * cols);
  return true;
}

int32_t hm_records_needed(WordView d) {
  if (d[dw::kTriangle] == 1) {
    // One triangle of a square block grid, diagonal included.
    return static_cast<int32_t>((int64_t{d[dw::kBlockRows]} + d[dw::kGridBlocks] + 1) / 2);
  }
  int64_t need = int64_t{d[dw::kFullBlockRows]} * d[dw::kFullBlockCols];
  if (d[dw::kRightPerRecord] != 0) need += ceil_div(d[dw::kBlockRows], d[dw::kRightPerRecord]);
  if (d[dw::kBottomPerRecord] != 0) need += ceil_div(d[dw::kBlockCols], d[dw::kBottomPerRecord]);
  return static_cast<int32_t>(need);
}

bool hm_matrix_handle_valid(const int32_t *ctrl, int32_t D) {
  WordView c = control_view(const_cast<int32_t *>(ctrl));
  if (!laid_out(c)) return false;
  const int64_t offset = int64_t{D} - c[cw::kDescArea1];
  if (offset < 0 || offset % cw::kDescriptorWords != 0) return false;
  const int64_t slot = offset / cw::kDescriptorWords + 1;
  if (slot > c[cw::kDescSlots]) return false;
  return c[static_cast<int32_t>(c[cw::kDescLinks] + slot - 1)] == cw::kSlotInUse;
}

bool hm_fileset_handle_valid(const int32_t *ctrl, int32_t k) {
  WordView c = control_view(const_cast<int32_t *>(ctrl));
  if (!laid_out(c)) return false;
  const int64_t offset = int64_t{k} - c[cw::kFsArea1];
  if (offset < 0 || offset % cw::kFilesetAreaWords != 0) return false;
  const int64_t slot = offset / cw::kFilesetAreaWords + 1;
  if (slot > c[cw::kFsSlots]) return false;
  return c[static_cast<int32_t>(c[cw::kFsLinks] + slot - 1)] == cw::kSlotInUse;
}

}  // namespace tessera
