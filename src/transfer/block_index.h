// A matrix's block index and everything that finds a block by (bi, bj):
//
//  - the block grid: kind and shape of block (bi, bj), its block position
//    number and the inverse (position -> bi, bj and local r, q);
//  - the index itself: a multiway search tree of L-word nodes in records
//    (leaves chained), keyed by block position number, giving the block's
//    record; the root node lives in an L-word work-space area (descriptor
//    word 90), every other node in a class-1 buffer;
//  - locating a block for reading or writing by (bi, bj), with the packed
//    edge records for kinds 3 and 4 (edge_records.h) and the class-2 block
//    fetches (buffers.h) for the rest;
//  - the traversal that steps through the stored blocks in position order
//    with the ascending (words 77-80) and descending (86-89) cursors.
//
// Who calls what:
//  - hm_block_for_put (transfer routines) = hm_locate_block_write. It checks
//    the grid (170 / 33125), routes kinds 3/4 to the packed edge records
//    (33122 / 33123) and the rest to hm_fetch_block_write (33124), and when
//    it creates a block raises descriptor words 18/19 (the observed lower /
//    upper block distance). Callers push none of these codes themselves.
//  - hm_block_for_get direct mode = hm_locate_block_read: grid check
//    (170 / 33119), edges (33116 / 33117), blocks (33118); out.record = 0
//    and out.position = 0 when the block was never created; a stored block
//    beyond the distances of descriptor words 18-19 is refused (164 / 34712).
//  - hm_block_for_get modes 2-11 = hm_block_traverse.
//  - The algebra walks with modes 3, 5 and 10 and a FetchRequest carrying
//    its pin request; every field of BlockRef is filled for a found block.
#pragma once

#include <cstdint>

#include "transfer/buffers.h"

namespace tessera {

// Block kinds.
inline constexpr int32_t kKindBlock = 2;       // a record of its own
inline constexpr int32_t kKindRightEdge = 3;   // packed right-edge block
inline constexpr int32_t kKindBottomEdge = 4;  // packed bottom-edge block

// A located block.
struct BlockRef {
  int32_t position = 0;  // buffer position (control word); 0 when not found
  int32_t offset = 0;    // word of the buffer where the block begins (1-based)
  int32_t record = 0;    // record holding it; 0 absent; -1 past the grid (traversal)
  int32_t kind = 0;      // 2, 3 or 4
  int32_t rows = 0;      // the block's rows (its leading dimension)
  int32_t cols = 0;
  int32_t bi = 0, bj = 0;  // block indices
  int32_t r = 0, q = 0;    // local indices inside the hyperblock
  int32_t created = 0;     // write: 1 when this call created the block
};

// ---- The block grid ---------------------------------------------------------

// Kind, rows and columns of block (bi, bj). Edge blocks are kind 2 when
// descriptor word 7 is 1 (they then have records of their own).
void hm_block_shape(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj, int32_t &kind,
                    int32_t &rows, int32_t &cols);

// Block position number of (bi, bj): hyperblock column by hyperblock column,
// hyperblock row by hyperblock row, column-major inside a hyperblock. For
// storage form 5 bj is taken as 1. The caller has checked the grid.
int32_t hm_block_position(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj);

// Inverse: block indices and local indices of position p (1 .. word 76).
void hm_block_indices(int32_t *ctrl, int32_t D, int32_t p, int32_t &bi, int32_t &bj,
                      int32_t &r, int32_t &q);

// ---- Locating a block by (bi, bj) -----------------------------------------

// For reading (direct access): fills every field of out; out.position = 0
// and out.record = 0 when the block was never created (nothing is taken).
int32_t hm_locate_block_read(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj,
                             const FetchRequest &req, BlockRef &out);
// For writing, creating the block zero-filled when absent (out.created = 1,
// descriptor words 18/19 raised). The buffer is left modified.
int32_t hm_locate_block_write(int32_t *ctrl, int32_t D, int32_t bi, int32_t bj,
                              const FetchRequest &req, BlockRef &out);

// ---- Traversal (hm_block_for_get modes 2-11) ---------------------------------

// Cursor words, offsets from dw::kAscCursor (77) or dw::kDescCursor (86).
namespace curw {
inline constexpr int32_t kPosition = 0;  // block position number last reached
inline constexpr int32_t kHit = 1;       // 1 when the last search found its key
inline constexpr int32_t kLeaf = 2;      // position of the pinned leaf
inline constexpr int32_t kEntry = 3;     // entry index in that leaf
}  // namespace curw

// mode 2/6 search (bi, bj) exactly; 3/7 search and step to the next /
// previous stored block; 4/8 position +1 / -1; 5/9 next / previous stored
// block; 10/11 finish the ascending / descending walk (unpin its leaf).
// Limits: ascending bi <= BI and bj <= BJ, descending bi >= BI and bj >= BJ.
// On return out.record >= 1 and out.position > 0 for a block found within
// the limits (bi, bj, out.r, out.q and the rest set as by a direct read
// fetch with `req`); out.record = -1 past the last (or before the first)
// position, 0 when nothing further is stored, and out.position = 0 whenever
// no block is returned. Traces: step 32107/33112 (mode 4), 32110/33113 (3,
// 5), 32113/33114 (8), 32116/33115 (7, 9), search 33111, and the fetch's.
// A step to another leaf checks the chain against the tree (status 164):
// keys that do not rise (34709), a chain that ends before the index does
// (34715) or skips a leaf (34716). A block found further from the diagonal
// than descriptor words 18-19 allow is refused (34712).
int32_t hm_block_traverse(int32_t *ctrl, int32_t D, int32_t mode, int32_t &bi, int32_t &bj,
                          int32_t BI, int32_t BJ, const FetchRequest &req, BlockRef &out);

// ---- The index ----------------------------------------------------------------

// Search the index for block position `key`: record 0 when absent (also when
// the index is empty, without reading anything). Records the path on the
// file set's first pair stack for a following hm_index_insert. Traces 32062
// (node fetch), 32063 (stack full, 170); before them 34707 (a leaf above
// the index height or none at it) or 34708 (a node's keys outside the range
// its parent's separators give it), status 164.
int32_t hm_index_find(int32_t *ctrl, int32_t D, int32_t key, int32_t &record);
// The same for the read fetch (node fetch trace 32066).
int32_t hm_index_find_read(int32_t *ctrl, int32_t D, int32_t key, int32_t &record);

// The descent the traversal positions its cursor with: the leaf's position
// (0 for an empty index), the entry found or the number of keys below `key`
// in that leaf, the exact-hit flag and the record (0 when absent). Nothing
// is pinned and no path is kept; the caller pushes its own trace code.
int32_t hm_index_locate_leaf(int32_t *ctrl, int32_t D, int32_t key, int32_t &leaf,
                             int32_t &entry, int32_t &found, int32_t &record);

// Walk the whole index once, every node read (and so checked) on the way,
// each placed at its depth and inside its parent's key range (traces 34710,
// 34711 and the node checks', status 164). A kill runs it before it gives
// the matrix's records back, so that a damaged extent table cannot give
// away records the index still names.
int32_t hm_index_verify(int32_t *ctrl, int32_t D);

// Insert (key, record) after a hm_index_find of `key` that found nothing,
// with no other index search in between. Descriptor word 35 counts every
// call. Traces 32047, 32048, 32049, 32050, 32051 and the node routines'.
int32_t hm_index_insert(int32_t *ctrl, int32_t D, int32_t key, int32_t record);

// Make index node `record` resident and return its position (the root area
// for the root record). mode 2 marks its buffer modified; pin 1 pins it
// once (the caller unpins with hm_buffer_pin mode 0). A node read from its
// record is checked before it is used (status 164: shape 34701, keys 34702,
// named records 34703, shared 34704, not the matrix's 34705; 170 / 34706
// when a node too large for the stack finds no memory to be sorted in); a
// refused node leaves nothing resident.
int32_t hm_index_node(int32_t *ctrl, int32_t D, int32_t record, int32_t mode, int32_t pin,
                      int32_t &position);

// A new cleared node: record from the matrix's reserved records (32726),
// and a buffer (32727) or, when root is 1, the root area (32728). A non-root
// node's buffer is class 1, state 1, modified, in the class-1 tree and left
// pinned once when pin is 1, else unpinned at the end of the use list.
int32_t hm_index_new_node(int32_t *ctrl, int32_t D, int32_t root, int32_t pin,
                          int32_t &record, int32_t &position);

// Bisection over the n keys of the node at `node` (a WordView-style pointer
// to node word 1): found = 1 and index = the matching entry, or found = 0
// and index = the number of keys below `key` (0 .. n).
void hm_node_search(const int32_t *node, int32_t n, int32_t key, int32_t &found,
                    int32_t &index);

}  // namespace tessera
