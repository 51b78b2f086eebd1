// Putting and getting rectangular regions of a matrix (hmputs, hmgets): the
// region is cut on the block grid and moved block by block through the block
// buffers, converting between the host's array and each block.
//
// Also the two block locates the algebra builds on: hm_block_for_put (find
// or create a block for writing) and hm_block_for_get (direct access, mode
// 1, or a step of the traversal, modes 2-11).
#pragma once

#include <cstdint>

#include "transfer/block_index.h"
#include "transfer/buffers.h"

namespace tessera {

// Mode of hm_block_for_get that locates one block directly.
inline constexpr int32_t kGetDirect = 1;

// Block (bi, bj) of matrix D for writing, created zero-filled when it does
// not exist (out.created = 1, descriptor words 18/19 raised). The buffer is
// left with header word 9 = req.modified. Traces 33125 (outside the grid),
// 33122 / 33123 (edge records), 33124 (block fetch).
int32_t hm_block_for_put(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj,
                         const FetchRequest &req, BlockRef &out);

// mode 1: block (bi, bj) for reading; out.record = 0 and out.position = 0
// when it was never created (nothing is created). Traces 33119 (outside the
// grid), 33116 / 33117 (edge records), 33118 (block fetch).
// modes 2-11: the traversal steps of hm_block_traverse, with limits BI, BJ;
// bi and bj are updated to the block reached.
int32_t hm_block_for_get(int32_t *ctrl, int32_t D, int32_t mode, int32_t &bi, int32_t &bj,
                         int32_t BI, int32_t BJ, const FetchRequest &req, BlockRef &out);

// Put the nrb x ncb piece of block (bi, bj) that starts at its row r0 and
// column c0 from a(ia.., ja..) (column-major, lda elements). Blocks below
// the diagonal of forms 1 and 6 are not stored and are skipped; diagonal
// blocks take the symmetric fill (form 1) or the upper triangle (form 6).
int32_t hm_put_block_part(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t r0,
                          int32_t nrb, int32_t c0, int32_t ncb, int32_t ia, int32_t ja,
                          const void *a, int32_t lda);
// The reverse; record returns the block's record, 0 when it does not exist
// (the piece of a is then zero).
int32_t hm_get_block_part(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t r0,
                          int32_t nrb, int32_t c0, int32_t ncb, int32_t ia, int32_t ja, void *a,
                          int32_t lda, int32_t &record);

// hmputs and hmgets without the interface: rows i1..i1+nr-1, columns
// j1..j1+nc-1 of matrix D to or from a(1..nr, 1..nc).
int32_t hm_put_submatrix(int32_t *ctrl, int32_t D, int32_t i1, int32_t nr, int32_t j1,
                         int32_t nc, const void *a, int32_t lda);
int32_t hm_get_submatrix(int32_t *ctrl, int32_t D, int32_t i1, int32_t nr, int32_t j1,
                         int32_t nc, void *a, int32_t lda);

}  // namespace tessera
