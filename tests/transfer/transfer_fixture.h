// A control area for the block-transfer tests: hminmf and hmnewf (one file
// on real files, records of a chosen length), the buffer pool cut down to a
// chosen (small) number of buffers, and one matrix descriptor of a chosen
// shape laid out in the first descriptor slot with its extent table in the
// slot, as matrix creation leaves it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "catalogue/extent_list.h"
#include "catalogue/record_space.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/lists.h"
#include "tessera.h"
#include "test_support/fileset_fixture.h"
#include "transfer/block_index.h"
#include "transfer/buffers.h"
#include "transfer/transfer_words.h"

namespace tessera::test {

struct Shape {
  int32_t m = 64, n = 64, nb = 8, b1 = 2;
  int32_t type = 2, items = 1;  // single real
  int32_t form = 0;             // general
};

class TransferArea {
 public:
  static constexpr int32_t kLength = 400000;

  TransferArea(int32_t L, int32_t buffers, const Shape &s)
      : area_(make_control_area(kLength, 1, 2, L)), c_(control_view(area_.data())) {
    L_ = L;
    set_ = create_fileset(area_, 1);
    EXPECT_EQ(set_.ierr, 0);
    P_ = set_.handle;
    EXPECT_EQ(c_[cw::kUseCount], 0);
    EXPECT_LE(buffers, c_[cw::kBufferCount]);
    c_[cw::kBufferCount] = buffers;
    hm_list_init(word_at(area_.data(), c_[cw::kBufferHeaders]), bufw::kLength, buffers,
                 c_[cw::kBufferFree], c_[cw::kBufferFirstFree]);
    c_[cw::kBufferDataWords] = buffers * c_[cw::kBufferSize];
    D_ = c_[cw::kDescArea1];
    define(s);
  }
  ~TransferArea() {
    if (P_ != 0) kill_fileset(area_, set_);
  }
  TransferArea(const TransferArea &) = delete;
  TransferArea &operator=(const TransferArea &) = delete;

  int32_t *ctrl() { return area_.data(); }
  int32_t D() const { return D_; }
  int32_t P() const { return P_; }
  int32_t L() const { return L_; }
  WordView d() { return WordView(area_.data(), D_); }
  WordView c() { return c_; }
  int32_t &header(int32_t position, int32_t w) { return hm_buffer_word(area_.data(), position, w); }
  int32_t *data(int32_t position) { return word_at(area_.data(), position); }

  // Buffers on the free list, on the use list, and the use list in order.
  int32_t free_count() { return c_[cw::kBufferFree]; }
  std::vector<int32_t> use_list() {
    std::vector<int32_t> out;
    for (int32_t x = c_[cw::kUseFirst]; x != 0 && out.size() < 100000;
         x = area_[hm_buffer_header(area_.data(), x) + bufw::kNext - 2])
      out.push_back(x);
    return out;
  }

  // n records taken for the matrix as if it had stored n blocks, for tests
  // that enter blocks in the index themselves (the index accepts only
  // records the matrix uses). Returns the first; they run on from it.
  int32_t own(int32_t n) {
    EXPECT_EQ(hm_reserve_records(area_.data(), D_, n), 0);
    int32_t first = 0;
    for (int32_t i = 0; i < n; ++i) {
      int32_t record = 0;
      EXPECT_EQ(hm_block_record_alloc(area_.data(), D_, record), 0);
      if (i == 0) first = record;
      EXPECT_EQ(record, first + i);
    }
    return first;
  }

  // The descriptor as matrix creation leaves it.
  void define(const Shape &s) {
    WordView d(area_.data(), D_);
    for (int32_t w = 1; w <= dw::kWords; ++w) d[w] = 0;
    const int32_t nprime = s.form == 5 ? 1 : s.n;
    d[dw::kTriangle] = (s.form == 1 || s.form == 6) ? 1 : 0;
    d[dw::kType] = s.type;
    d[dw::kItems] = s.items;
    d[dw::kRows] = s.m;
    d[dw::kCols] = s.n;
    d[dw::kForm] = s.form;
    d[dw::kStoredCols] = nprime;
    d[dw::kHyperOrder] = s.b1;
    d[dw::kBlockOrder] = s.nb;
    d[dw::kBlockRows] = (s.m + s.nb - 1) / s.nb;
    d[dw::kBlockCols] = (nprime + s.nb - 1) / s.nb;
    d[dw::kFullBlockRows] = s.m / s.nb;
    d[dw::kFullBlockCols] = nprime / s.nb;
    d[dw::kRightEdgeRows] = s.nb;
    d[dw::kRightEdgeCols] = nprime % s.nb;
    d[dw::kBottomEdgeRows] = s.m % s.nb;
    d[dw::kBottomEdgeCols] = s.nb;
    const int32_t w = (s.type == 4 || s.type == 5 || s.type == 8 || s.type == 9) ? 2
                      : (s.type == 6 || s.type == 10)                            ? 4
                                                                                 : 1;
    d[dw::kRightEdgeSize] = w * s.items * d[dw::kRightEdgeRows] * d[dw::kRightEdgeCols];
    d[dw::kRightPerRecord] =
        d[dw::kRightEdgeSize] == 0
            ? 0
            : std::min((L_ - 1) / (d[dw::kRightEdgeSize] + 1), s.nb / d[dw::kRightEdgeCols]);
    d[dw::kBottomEdgeSize] = w * s.items * d[dw::kBottomEdgeRows] * d[dw::kBottomEdgeCols];
    d[dw::kBottomPerRecord] =
        d[dw::kBottomEdgeSize] == 0
            ? 0
            : std::min((L_ - 1) / (d[dw::kBottomEdgeSize] + 1), s.nb / d[dw::kBottomEdgeRows]);
    d[dw::kGridBlocks] = d[dw::kBlockRows] * d[dw::kBlockCols];
    d[dw::kFileset] = P_;
    d[dw::kOpenState] = 2;
    d[dw::kFirstReserve] = 16;
    d[dw::kLaterReserve] = 16;
    d[dw::kPlacement] = 1;
    d[dw::kTableAddress] = D_ + dw::kInSlotTable - 1;
    d[dw::kTableCapacity] = dw::kInSlotEntries;
    hm_extent_table_init(ExtentTable{d.at(dw::kInSlotTable), d.at(dw::kTableFree)},
                         dw::kInSlotEntries);
  }

 private:
  std::vector<int32_t> area_;
  WordView c_;
  FileSet set_;
  int32_t L_ = 0, P_ = 0, D_ = 0;
};

}  // namespace tessera::test
