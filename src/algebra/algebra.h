// Hypermatrix algebra on whole matrices: adding one matrix into another,
// copying one into another under a conversion, and accumulating the product
// of two matrices into a third, hyperblock by hyperblock.
//
// Matrices are named by their handles (the control-area position of their
// descriptor). Every routine walks only the blocks that are stored, moves
// them through the block buffers and leaves the blocks it changed in
// modified buffers. Each returns its status (0 success) after pushing its
// trace code (algebra_codes.h); the exported hladd, hlcopm and hlmult are
// thin wrappers that clear the trace and store the status.
#pragma once

#include <cstdint>

#include "transfer/buffers.h"

namespace tessera {

// ---- adding and copying ------------------------------------------------------

// hladd without the interface: ma := ma + mb (op != 1) or ma - mb (op = 1).
// When ma and mb are the same matrix and op is 1 the matrix is emptied by
// killing and re-creating it; the new handle is written through both ma and
// mb (they may be the same variable).
int32_t hl_add(int32_t *ctrl, int32_t &ma, int32_t &mb, int32_t op);
int32_t hl_add_blocks(int32_t *ctrl, int32_t &ma, int32_t &mb, int32_t op);

// Kill matrix m with all its blocks and create it again, empty, with the
// same name, qualifier, file set, type, form and shape; m receives the new
// handle.
int32_t hl_make_empty(int32_t *ctrl, int32_t &m);

// hlcopm without the interface: copy ma into mb under the copy mode.
int32_t hl_copy(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mode);
// The block walk with the effective mode (after the symmetric-source rule).
int32_t hl_copy_blocks(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mode);

// Header word 9 (modified) of the buffer whose data begins at control word
// p := flag.
void hl_mark_buffer_modified(int32_t *ctrl, int32_t flag, int32_t p);

// ---- multiplying ----------------------------------------------------------------

// Hyperblock directory: b1 x b1 entries of 7 words, entry (r, q) at word
// 7 ((q - 1) b1 + r - 1) + 1 of the area.
namespace hdirw {
inline constexpr int32_t kPosition = 1;  // buffer holding the block; 0 absent
inline constexpr int32_t kOffset = 2;
inline constexpr int32_t kRecord = 3;    // 0 absent
inline constexpr int32_t kKind = 4;
inline constexpr int32_t kFilled = 5;
inline constexpr int32_t kRows = 6;
inline constexpr int32_t kCols = 7;
inline constexpr int32_t kWords = 7;
}  // namespace hdirw

// Hyperblock summary, 6 words.
namespace hsumw {
inline constexpr int32_t kKind = 1;      // 1 full, 2 short in columns, 3 in rows, 4 both
inline constexpr int32_t kRows = 2;      // block rows R
inline constexpr int32_t kCols = 3;      // block columns Q
inline constexpr int32_t kLower = 4;     // largest r - q of a stored block
inline constexpr int32_t kUpper = 5;     // largest q - r
inline constexpr int32_t kStored = 6;    // 1 when any block is stored
inline constexpr int32_t kWords = 6;
}  // namespace hsumw

// One loaded hyperblock: the matrix, its hyperblock indices, and its
// directory and summary (areas seen from their word 1).
struct Hyperblock {
  int32_t m = 0;
  int32_t I = 0, J = 0;
  int32_t *dir = nullptr;
  int32_t *sum = nullptr;
};

// hlmult without the interface: Y := Y +/- op(A) op(B). A nonzero up is
// written back as 1.
int32_t hl_mult(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta, int32_t tb,
                int32_t &up, int32_t sub);
int32_t hl_mult_select(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                       int32_t tb, int32_t &up, int32_t sub);
int32_t hl_mult_gen_gen(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub);
int32_t hl_mult_sym_gen(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub);
int32_t hl_mult_gen_sym(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub);
int32_t hl_mult_sym_sym(int32_t *ctrl, int32_t ma, int32_t mb, int32_t mc, int32_t ta,
                        int32_t tb, int32_t &up, int32_t sub);

// Fill h.dir and h.sum for hyperblock (h.I, h.J) of matrix h.m, each stored
// block fetched with `req` (the multiply pins them). On a failure the blocks
// entered so far stay listed (and pinned), so the caller can unpin them.
int32_t hl_hyper_load(int32_t *ctrl, int32_t b1, Hyperblock &h, const FetchRequest &req);

// One hyperblock product Y := Y +/- op(A) op(B) with the hyperblock-level
// transposition flags; routes to one of the four block loops.
int32_t hl_hyper_product(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub);
int32_t hl_hyper_gen_gen(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub);
int32_t hl_hyper_sym_gen(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub);
int32_t hl_hyper_gen_sym(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub);
int32_t hl_hyper_sym_sym(int32_t *ctrl, int32_t b1, const Hyperblock &A, const Hyperblock &B,
                         Hyperblock &Y, int32_t ta, int32_t tb, int32_t up, int32_t sub);

}  // namespace tessera
