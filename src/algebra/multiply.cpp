// Multiplying hypermatrices: Y := Y +/- op(A) op(B), hyperblock by
// hyperblock, so that only one hyperblock of each of A, B and Y has to be
// resident (pinned) in the block buffers at a time. A hyperblock is loaded
// into a directory of its stored blocks and a summary; inside a hyperblock
// product every pair of stored blocks goes to the block kernel.
//
// Zero structure is skipped at three levels: the hyperblock range and the
// block range are clipped by the largest stored distances from the diagonal,
// absent hyperblocks and blocks cost no I/O, and (for general operands) a Y
// block that does not exist is created only when its contribution is
// non-zero. A matrix of storage form 1 stores only its upper blocks; its
// lower hyperblocks and blocks are read as the transposes of their mirrors.
//
// On a failure the loops give back the pins and pool areas they hold before
// returning, so that a failed product does not leave the buffer pool clogged.
#include <algorithm>
#include <cstdint>

#include "algebra/algebra.h"
#include "algebra/algebra_codes.h"
#include "algebra/block_kernels.h"
#include "algebra/block_ops.h"
#include "catalogue/descriptor_words.h"
#include "catalogue/matrix.h"
#include "catalogue/pools.h"
#include "common/status.h"
#include "common/type_form.h"
#include "common/word_view.h"
#include "control/control_words.h"
#include "control/trace.h"
#include "tessera.h"
#include "transfer/block_index.h"
#include "transfer/buffers.h"
#include "transfer/convert.h"
#include "transfer/submatrix.h"

namespace tessera {
namespace {

constexpr int32_t kWalkFirst = 3;
constexpr int32_t kWalkNext = 5;
constexpr int32_t kWalkFinish = 10;

constexpr int32_t kPin = 1;
constexpr int32_t kUnpin = 0;

constexpr int32_t kSubtract = 1;

// Hyperblock kinds of the summary.
constexpr int32_t kHyperFull = 1;
constexpr int32_t kHyperShortCols = 2;
constexpr int32_t kHyperShortRows = 3;
constexpr int32_t kHyperShortBoth = 4;

int32_t ceil_div(int32_t a, int32_t b) { return b > 0 ? (a + b - 1) / b : 0; }

// Entry (r, q) of a hyperblock directory, seen from its word 1.
WordView entry(int32_t *dir, int32_t b1, int32_t r, int32_t q) {
  return WordView(dir + hdirw::kWords * ((q - 1) * b1 + r - 1), 1);
}

int32_t *entry_data(int32_t *ctrl, WordView e) {
  return word_at(ctrl, e[hdirw::kPosition] + e[hdirw::kOffset] - 1);
}

// Fills directory entry e from a located block.
void enter_block(WordView e, const BlockRef &b) {
  e[hdirw::kPosition] = b.position;
  e[hdirw::kOffset] = b.offset;
  e[hdirw::kRecord] = b.record;
  e[hdirw::kKind] = b.kind;
  e[hdirw::kFilled] = 1;
  e[hdirw::kRows] = b.rows;
  e[hdirw::kCols] = b.cols;
}

// Raises the summary's distances for a block at local (r, q).
void widen(WordView sum, int32_t r, int32_t q) {
  sum[hsumw::kStored] = 1;
  if (r > q) sum[hsumw::kLower] = std::max(sum[hsumw::kLower], r - q);
  if (q > r) sum[hsumw::kUpper] = std::max(sum[hsumw::kUpper], q - r);
}

// Narrows [lo, hi] to the inner indices k for which an operand can hold a
// stored block at (i, k) (along = columns: k runs along the operand's
// columns, as for A untransposed) or at (k, i) (along = rows). lower and
// upper are the operand's stored distances below and above the diagonal,
// rows and cols its extent, all in the same unit (hyperblocks or blocks).
void clip(int32_t &lo, int32_t &hi, int32_t i, int32_t lower, int32_t upper, bool along_rows,
          int32_t rows, int32_t cols) {
  if (along_rows) {
    lo = std::max(lo, i - upper);
    hi = std::min({hi, i + lower, rows});
  } else {
    lo = std::max(lo, i - lower);
    hi = std::min({hi, i + upper, cols});
  }
}

// The request under which a hyperblock's stored blocks are fetched: pinned
// until the hyperblock is done.
FetchRequest pin_request() {
  FetchRequest req;
  req.lookup_first = 1;
  req.skip_read = 0;
  req.enter_tree = 1;
  req.pin_mode = kPin;
  req.state = 1;
  return req;
}

// The request under which a new Y block is created: it is known to be
// absent, and stays pinned with Y's hyperblock.
FetchRequest create_request() {
  FetchRequest req;
  req.lookup_first = 0;
  req.enter_tree = 1;
  req.pin_mode = kPin;
  req.state = 1;
  req.modified = 1;
  return req;
}

void unpin_hyper(int32_t *ctrl, int32_t b1, const Hyperblock &h) {
  hm_buffers_unpin_table(ctrl, b1, h.m, h.dir, h.sum, kUnpin);
}

enum class Loop { kGenGen, kSymGen, kGenSym, kSymSym };

const trace::LoopCodes &loop_codes(Loop loop) {
  switch (loop) {
    case Loop::kSymGen: return trace::kLoopSymGen;
    case Loop::kGenSym: return trace::kLoopGenSym;
    case Loop::kSymSym: return trace::kLoopSymSym;
    default: return trace::kLoopGenGen;
  }
}

// The pair-pool areas of one multiplication.
struct Areas {
  int32_t dir_words = 0;
  int32_t dirA = 0, dirB = 0, dirY = 0, sumY = 0;

  int32_t take(int32_t *ctrl, bool y_summary) {
    for (int32_t *p : {&dirA, &dirB, &dirY})
      if (int32_t st = hm_pair_alloc(ctrl, dir_words, *p); st != status::kOk) return st;
    if (y_summary) return hm_pair_alloc(ctrl, hsumw::kWords, sumY);
    return status::kOk;
  }
  // Gives back every area still held; the first failure is reported, the
  // rest are still tried.
  int32_t give(int32_t *ctrl) {
    int32_t first = status::kOk;
    auto back = [&](int32_t size, int32_t &p) {
      if (p == 0) return;
      int32_t st = hm_pair_free(ctrl, size, p);
      if (first == status::kOk) first = st;
    };
    back(hsumw::kWords, sumY);
    back(dir_words, dirY);
    back(dir_words, dirB);
    back(dir_words, dirA);
    return first;
  }
};

// The hyperblock loop shared by the four variants. A symmetric operand
// (storage form 1) is read through its stored upper hyperblocks: A's
// (K, I) with K < I stands transposed for (I, K), B's (J, K) with K > J for
// (K, J).
int32_t mult_loop(int32_t *ctrl, Loop loop, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                  int32_t tb, int32_t &up, int32_t sub) {
  const trace::LoopCodes &codes = loop_codes(loop);
  const bool a_sym = loop == Loop::kSymGen || loop == Loop::kSymSym;
  const bool b_sym = loop == Loop::kGenSym || loop == Loop::kSymSym;
  if (up != 0) up = 1;

  WordView a(ctrl, ma), b(ctrl, mb), y(ctrl, mc);
  const int32_t b1 = a[dw::kHyperOrder];
  const int32_t lA = ceil_div(a[dw::kLowerSeen], b1), uA = ceil_div(a[dw::kUpperSeen], b1);
  const int32_t lB = ceil_div(b[dw::kLowerSeen], b1), uB = ceil_div(b[dw::kUpperSeen], b1);
  const int32_t HRA = a[dw::kHyperRows], HCA = a[dw::kHyperColsOfN];
  const int32_t HRB = b[dw::kHyperRows], HCB = b[dw::kHyperColsOfN];
  const int32_t NI = y[dw::kHyperRows], NJ = y[dw::kHyperColsOfN];

  Areas areas;
  areas.dir_words = hdirw::kWords * b1 * b1;
  const bool y_summary_in_pool = loop == Loop::kGenGen;
  if (int32_t st = areas.take(ctrl, y_summary_in_pool); st != status::kOk) {
    areas.give(ctrl);
    return hm_fail(st, codes.take);
  }
  int32_t sumA[hsumw::kWords] = {}, sumB[hsumw::kWords] = {}, sumY_local[hsumw::kWords] = {};
  Hyperblock A{ma, 0, 0, word_at(ctrl, areas.dirA), sumA};
  Hyperblock B{mb, 0, 0, word_at(ctrl, areas.dirB), sumB};
  Hyperblock Y{mc, 0, 0, word_at(ctrl, areas.dirY),
               y_summary_in_pool ? word_at(ctrl, areas.sumY) : sumY_local};

  const FetchRequest req = pin_request();
  bool a_held = false, b_held = false, y_held = false;
  // Unpins what is held and gives the areas back, then reports `code` over
  // the status `st` of the failure.
  auto fail = [&](int32_t st, int32_t code) {
    if (b_held) unpin_hyper(ctrl, b1, B);
    if (a_held) unpin_hyper(ctrl, b1, A);
    if (y_held) unpin_hyper(ctrl, b1, Y);
    areas.give(ctrl);
    return hm_fail(st, code);
  };

  for (int32_t J = 1; J <= NJ; ++J) {
    const int32_t last_I = up == 1 ? std::min(J, NI) : NI;
    for (int32_t I = 1; I <= last_I; ++I) {
      int32_t lo = 1, hi = INT32_MAX;
      switch (loop) {
        case Loop::kGenGen:
          clip(lo, hi, I, lA, uA, ta == 1, HRA, HCA);
          clip(lo, hi, J, lB, uB, tb != 1, HRB, HCB);
          break;
        case Loop::kSymGen:
          clip(lo, hi, I, uA, uA, false, HRA, HCA);
          clip(lo, hi, J, lB, uB, tb != 1, HRB, HCB);
          break;
        case Loop::kGenSym:
          clip(lo, hi, I, lA, uA, ta == 1, HRA, HCA);
          clip(lo, hi, J, uB, uB, true, HRB, HCB);
          break;
        case Loop::kSymSym:
          clip(lo, hi, I, uA, uA, true, HRA, HCA);
          clip(lo, hi, J, uB, uB, true, HRB, HCB);
          break;
      }
      Y.I = I;
      Y.J = J;
      for (int32_t K = lo; K <= hi; ++K) {
        const int32_t tA = a_sym ? (K >= I ? 0 : 1) : ta;
        const int32_t tB = b_sym ? (K <= J ? 0 : 1) : tb;
        A.I = tA == 1 ? K : I;
        A.J = tA == 1 ? I : K;
        B.I = tB == 1 ? J : K;
        B.J = tB == 1 ? K : J;

        a_held = true;
        if (int32_t st = hl_hyper_load(ctrl, b1, A, req); st != status::kOk)
          return fail(st, codes.load);
        if (WordView(A.sum, 1)[hsumw::kStored] != 1) {
          a_held = false;
          continue;
        }
        b_held = true;
        if (mb == ma && B.I == A.I && B.J == A.J) {
          // The same hyperblock of the same matrix: share A's directory, each
          // listed block pinned once more for B.
          std::copy(A.dir, A.dir + areas.dir_words, B.dir);
          std::copy(A.sum, A.sum + hsumw::kWords, B.sum);
          hm_buffers_unpin_table(ctrl, b1, mb, B.dir, B.sum, kPin);
        } else if (int32_t st = hl_hyper_load(ctrl, b1, B, req); st != status::kOk) {
          return fail(st, codes.load);
        }
        if (WordView(B.sum, 1)[hsumw::kStored] == 1) {
          if (!y_held) {
            y_held = true;
            if (int32_t st = hl_hyper_load(ctrl, b1, Y, req); st != status::kOk)
              return fail(st, codes.load);
          }
          if (int32_t st = hl_hyper_product(ctrl, b1, A, B, Y, tA, tB, up, sub); st != status::kOk)
            return fail(st, codes.product);
          unpin_hyper(ctrl, b1, B);
        }
        b_held = false;
        unpin_hyper(ctrl, b1, A);
        a_held = false;
      }
      if (y_held) {
        unpin_hyper(ctrl, b1, Y);
        y_held = false;
      }
    }
  }
  if (int32_t st = areas.give(ctrl); st != status::kOk) return hm_fail(st, codes.give);
  return status::kOk;
}

// The block loop shared by the four variants. With `scratch` (general
// operands) a product into an absent Y block is formed in a scratch block
// and the Y block is created only when the result holds a non-zero value;
// the symmetric variants create the Y block at the first pair of stored
// operand blocks.
int32_t hyper_blocks(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                     Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub, bool a_sym,
                     bool b_sym, int32_t create_code) {
  WordView a(ctrl, A.m), b(ctrl, B.m), y(ctrl, Y.m);
  const int32_t t = a[dw::kType], k = a[dw::kItems];
  const int32_t sA = a[dw::kForm], sB = b[dw::kForm];
  const int32_t nb = y[dw::kBlockOrder];
  const int32_t L = WordView(ctrl, y[dw::kFileset])[fsw::kRecordLength];
  const int32_t blas = control_view(ctrl)[cw::kBlasSwitch];
  const bool y_diag = Y.I == Y.J && up == 1;
  const bool a_diag = A.I == A.J, b_diag = B.I == B.J;
  const bool use_scratch = !a_sym && !b_sym;

  int32_t scratch_pos = 0;
  int32_t *scratch = nullptr;
  if (use_scratch) {
    if (int32_t st = hm_pair_alloc(ctrl, L, scratch_pos); st != status::kOk)
      return hm_fail(st, trace::kGenGenScratch);
    scratch = word_at(ctrl, scratch_pos);
    hm_zero_region(scratch, nb, t, k, 1, nb, 1, nb);
  }

  WordView sa(A.sum, 1), sb(B.sum, 1), sy(Y.sum, 1);
  const int32_t RA = sa[hsumw::kRows], QA = sa[hsumw::kCols];
  const int32_t lA = sa[hsumw::kLower], uA = sa[hsumw::kUpper];
  const int32_t RB = sb[hsumw::kRows], QB = sb[hsumw::kCols];
  const int32_t lB = sb[hsumw::kLower], uB = sb[hsumw::kUpper];
  // A symmetric diagonal hyperblock is never transposed as a whole; its
  // lower half is read block by block from the mirrors.
  const int32_t rows_opA = !a_sym && ta == 1 ? QA : RA;
  const int32_t cols_opB = !b_sym && tb == 1 ? RB : QB;
  const FetchRequest create = create_request();

  for (int32_t jb = 1; jb <= cols_opB; ++jb) {
    const int32_t last_ib = y_diag ? std::min(jb, rows_opA) : rows_opA;
    for (int32_t ib = 1; ib <= last_ib; ++ib) {
      int32_t lo = 1, hi = INT32_MAX;
      if (a_sym)
        clip(lo, hi, ib, uA, uA, false, RA, QA);
      else
        clip(lo, hi, ib, lA, uA, ta == 1, RA, QA);
      if (b_sym)
        clip(lo, hi, jb, uB, uB, true, RB, QB);
      else
        clip(lo, hi, jb, lB, uB, tb != 1, RB, QB);
      WordView ye = entry(Y.dir, b1, ib, jb);
      for (int32_t kb = lo; kb <= hi; ++kb) {
        // Block-level transposition: the hyperblock's own flag, or for a
        // symmetric diagonal hyperblock the mirror of a block below its
        // diagonal.
        const int32_t fa = a_sym ? (kb >= ib ? 0 : 1) : ta;
        const int32_t fb = b_sym ? (kb <= jb ? 0 : 1) : tb;
        const WordView ae = fa == 1 ? entry(A.dir, b1, kb, ib) : entry(A.dir, b1, ib, kb);
        const WordView be = fb == 1 ? entry(B.dir, b1, jb, kb) : entry(B.dir, b1, kb, jb);
        if (ae[hdirw::kPosition] <= 0 || be[hdirw::kPosition] <= 0) continue;

        const bool fresh = ye[hdirw::kRecord] == 0;
        int32_t *dst;
        if (fresh && use_scratch) {
          dst = scratch;
        } else {
          if (fresh) {
            BlockRef made;
            if (int32_t st = hm_block_for_put(ctrl, Y.m, (Y.I - 1) * b1 + ib, (Y.J - 1) * b1 + jb,
                                              create, made);
                st != status::kOk)
              return hm_fail(st, create_code);
            enter_block(ye, made);
            widen(sy, ib, jb);
          } else {
            hl_mark_buffer_modified(ctrl, 1, ye[hdirw::kPosition]);
          }
          dst = entry_data(ctrl, ye);
        }

        int32_t formA = a_diag && ib == kb ? sA : form::kGeneral;
        int32_t formB = b_diag && kb == jb ? sB : form::kGeneral;
        if (fa == 1 && fb == 0 && sub == kSubtract) formA = formB = kFormTrimmedTN;
        hl_mult_block(entry_data(ctrl, ae), entry_data(ctrl, be), dst, t, k, formA,
                      ae[hdirw::kRows], ae[hdirw::kCols], formB, be[hdirw::kRows],
                      be[hdirw::kCols], fa, fb, sub, blas);

        if (fresh && use_scratch) {
          const int32_t rows = fa == 1 ? ae[hdirw::kCols] : ae[hdirw::kRows];
          const int32_t cols = fb == 1 ? be[hdirw::kRows] : be[hdirw::kCols];
          // An all-zero contribution leaves the Y block absent, and the
          // scratch is still clear for the next one.
          if (hl_block_nonzero(scratch, rows, cols, t, k) == 0) continue;
          BlockRef made;
          if (int32_t st = hm_block_for_put(ctrl, Y.m, (Y.I - 1) * b1 + ib, (Y.J - 1) * b1 + jb,
                                            create, made);
              st != status::kOk) {
            hm_pair_free(ctrl, L, scratch_pos);
            return hm_fail(st, create_code);
          }
          enter_block(ye, made);
          widen(sy, ib, jb);
          hm_convert_vector(scratch, entry_data(ctrl, ye), rows * cols, t, k, 0);
          hm_zero_region(scratch, rows, t, k, 1, rows, 1, cols);
        }
      }
    }
  }
  if (use_scratch) {
    if (int32_t st = hm_pair_free(ctrl, L, scratch_pos); st != status::kOk)
      return hm_fail(st, trace::kGenGenScratchBack);
  }
  return status::kOk;
}

}  // namespace

int32_t hl_hyper_load(int32_t *ctrl, int32_t b1, Hyperblock &h, const FetchRequest &req) {
  WordView d(ctrl, h.m);
  WordView sum(h.sum, 1);
  for (int32_t q = 1; q <= b1; ++q) {
    for (int32_t r = 1; r <= b1; ++r) {
      WordView e = entry(h.dir, b1, r, q);
      e[hdirw::kPosition] = 0;
      e[hdirw::kRecord] = 0;
      e[hdirw::kFilled] = 0;
    }
  }
  const bool short_rows = h.I > d[dw::kFullHyperRows];
  const bool short_cols = h.J > d[dw::kFullHyperCols];
  const int32_t R = short_rows ? d[dw::kLastHyperRowBlocks] : b1;
  const int32_t Q = short_cols ? d[dw::kLastHyperColBlocks] : b1;
  int32_t kind = kHyperFull;
  if (short_rows && short_cols)
    kind = kHyperShortBoth;
  else if (short_rows)
    kind = kHyperShortRows;
  else if (short_cols)
    kind = kHyperShortCols;
  // The extent is set before the walk, so that the blocks pinned by a walk
  // that fails half way can be unpinned from the directory.
  sum[hsumw::kKind] = kind;
  sum[hsumw::kRows] = R;
  sum[hsumw::kCols] = Q;
  sum[hsumw::kLower] = 0;
  sum[hsumw::kUpper] = 0;
  sum[hsumw::kStored] = 0;

  const bool diagonal_form = d[dw::kForm] == form::kDiagonal;
  if (diagonal_form && h.I != h.J) {
    // Only the diagonal hyperblocks of a diagonal matrix hold blocks.
    sum[hsumw::kCols] = R;
    return status::kOk;
  }
  // A diagonal matrix stores one block column.
  const int32_t first_row = (h.I - 1) * b1 + 1;
  const int32_t first_col = diagonal_form ? 1 : (h.J - 1) * b1 + 1;
  // Matrices of one stored column count their hyperblock columns by n, so a
  // hyperblock may lie beyond the stored block grid; the walk must not be
  // started outside it.
  if (first_row > d[dw::kBlockRows] || first_col > d[dw::kBlockCols]) return status::kOk;
  const int32_t last_row = std::min((h.I - 1) * b1 + R, d[dw::kBlockRows]);
  const int32_t last_col = std::min(diagonal_form ? 1 : (h.J - 1) * b1 + Q, d[dw::kBlockCols]);
  int32_t bi = first_row, bj = first_col;
  BlockRef found;
  int32_t st = hm_block_for_get(ctrl, h.m, kWalkFirst, bi, bj, last_row, last_col, req, found);
  while (st == status::kOk && found.record >= 1 && found.position > 0) {
    if (bi > last_row || bj > last_col) break;
    enter_block(entry(h.dir, b1, found.r, found.q), found);
    widen(sum, found.r, found.q);
    st = hm_block_for_get(ctrl, h.m, kWalkNext, bi, bj, last_row, last_col, req, found);
  }
  // The walk is finished also after a failed step, so that its leaf does
  // not stay pinned.
  BlockRef none;
  const int32_t finish = hm_block_for_get(ctrl, h.m, kWalkFinish, bi, bj, last_row, last_col, req, none);
  if (st == status::kOk) st = finish;
  if (st != status::kOk) return hm_fail(st, trace::kHyperLoadWalk);
  // The stored upper half of a symmetric diagonal hyperblock stands for its
  // mirrored lower half.
  if (h.I == h.J && d[dw::kForm] == form::kSymmetric) sum[hsumw::kLower] = sum[hsumw::kUpper];
  return status::kOk;
}

int32_t hl_hyper_gen_gen(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub) {
  return hyper_blocks(ctrl, b1, A, B, Y, ta, tb, up, sub, false, false, trace::kGenGenCreate);
}

int32_t hl_hyper_sym_gen(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub) {
  return hyper_blocks(ctrl, b1, A, B, Y, ta, tb, up, sub, true, false, trace::kSymGenCreate);
}

int32_t hl_hyper_gen_sym(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub) {
  return hyper_blocks(ctrl, b1, A, B, Y, ta, tb, up, sub, false, true, trace::kGenSymCreate);
}

int32_t hl_hyper_sym_sym(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub) {
  return hyper_blocks(ctrl, b1, A, B, Y, ta, tb, up, sub, true, true, trace::kSymSymCreate);
}

int32_t hl_hyper_product(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub) {
  const bool a_sym = WordView(ctrl, A.m)[dw::kForm] == form::kSymmetric && A.I == A.J;
  const bool b_sym = WordView(ctrl, B.m)[dw::kForm] == form::kSymmetric && B.I == B.J;
  if (a_sym && b_sym) {
    if (int32_t st = hl_hyper_sym_sym(ctrl, b1, A, B, Y, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kProductSymSym);
  } else if (a_sym) {
    if (int32_t st = hl_hyper_sym_gen(ctrl, b1, A, B, Y, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kProductSymGen);
  } else if (b_sym) {
    if (int32_t st = hl_hyper_gen_sym(ctrl, b1, A, B, Y, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kProductGenSym);
  } else {
    if (int32_t st = hl_hyper_gen_gen(ctrl, b1, A, B, Y, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kProductGenGen);
  }
  return status::kOk;
}

int32_t hl_mult_gen_gen(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub) {
  return mult_loop(ctrl, Loop::kGenGen, ma, mb, mc, ta, tb, up, sub);
}

int32_t hl_mult_sym_gen(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub) {
  return mult_loop(ctrl, Loop::kSymGen, ma, mb, mc, ta, tb, up, sub);
}

int32_t hl_mult_gen_sym(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub) {
  return mult_loop(ctrl, Loop::kGenSym, ma, mb, mc, ta, tb, up, sub);
}

int32_t hl_mult_sym_sym(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub) {
  return mult_loop(ctrl, Loop::kSymSym, ma, mb, mc, ta, tb, up, sub);
}

int32_t hl_mult_select(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                       int32_t tb, int32_t &up, int32_t sub) {
  const bool a_sym = WordView(ctrl, ma)[dw::kForm] == form::kSymmetric;
  const bool b_sym = WordView(ctrl, mb)[dw::kForm] == form::kSymmetric;
  if (a_sym && b_sym) {
    if (int32_t st = hl_mult_sym_sym(ctrl, ma, mb, mc, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kSelectSymSym);
  } else if (a_sym) {
    if (int32_t st = hl_mult_sym_gen(ctrl, ma, mb, mc, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kSelectSymGen);
  } else if (b_sym) {
    if (int32_t st = hl_mult_gen_sym(ctrl, ma, mb, mc, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kSelectGenSym);
  } else {
    if (int32_t st = hl_mult_gen_gen(ctrl, ma, mb, mc, ta, tb, up, sub); st != status::kOk)
      return hm_fail(st, trace::kSelectGenGen);
  }
  return status::kOk;
}

int32_t hl_mult(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta, int32_t tb,
                int32_t &up, int32_t sub) {
  if (!hm_matrix_handle_valid(ctrl, ma) || !hm_matrix_handle_valid(ctrl, mb) ||
      !hm_matrix_handle_valid(ctrl, mc))
    return hm_fail(status::kNoSuchMatrix, trace::kMultBadHandle);
  WordView a(ctrl, ma), b(ctrl, mb), y(ctrl, mc);
  if (a[dw::kType] != y[dw::kType] || b[dw::kType] != y[dw::kType])
    return hm_fail(status::kTypesDiffer, trace::kMultTypes);
  if (a[dw::kItems] != y[dw::kItems] || b[dw::kItems] != y[dw::kItems])
    return hm_fail(status::kItemsDiffer, trace::kMultItems);
  // Only the value 1 transposes.
  ta = ta == 1 ? 1 : 0;
  tb = tb == 1 ? 1 : 0;
  const int32_t p = ta ? a[dw::kCols] : a[dw::kRows], q = ta ? a[dw::kRows] : a[dw::kCols];
  const int32_t q2 = tb ? b[dw::kCols] : b[dw::kRows], r = tb ? b[dw::kRows] : b[dw::kCols];
  if (q != q2 || p != y[dw::kRows] || r != y[dw::kCols])
    return hm_fail(status::kShapesDoNotConform, trace::kMultShape);
  // Y's blocks are created and changed; a read-only matrix has no extent
  // table to give them records.
  if (y[dw::kReadOnlyFlag] == 1) return hm_fail(status::kReadOnly, trace::kMultReadOnly);
  if (int32_t st = hl_mult_select(ctrl, ma, mb, mc, ta, tb, up, sub); st != status::kOk)
    return hm_fail(st, trace::kMultWorker);
  return status::kOk;
}

}  // namespace tessera

// ---- interface ------------------------------------------------------------------

extern "C" TESSERA_API void hlmult(int32_t *ctrl, const int32_t *ma, const int32_t *mb,
                                   const int32_t *mc, const int32_t *ta, const int32_t *tb,
                                   int32_t *up, const int32_t *sub, int32_t *ierr) {
  if (tessera::hm_refuse_unlinked(tessera::kStoreAreas, true, ierr)) return;
  tessera::hm_clear_trace();
  *ierr = 0;
  int32_t u = *up;
  *ierr = tessera::hl_mult(ctrl, *ma, *mb, *mc, *ta, *tb, u, *sub);
  if (u != *up) *up = u;
}
