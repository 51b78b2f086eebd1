// The block buffers of the control area: taking a buffer (with
// least-recently-used replacement and write-back), pinning, unpinning,
// touching and releasing it, the four lookup trees per matrix in which a
// matrix finds its resident buffers, and the two block fetches by block
// position number (reading and writing) that the transfers and the algebra
// go through.
//
// Buffer x (1-based) holds its data from control word ctrl[kBuffer1] +
// (x - 1) ctrl[kBufferSize] (its "position") and its 14-word header (bufw::)
// from ctrl[kBufferHeaders] + 14 (x - 1). A buffer is free (on the free
// list), pinned (pin count above 0, on no list) or unpinned (pin count 0, on
// the use list, the least recently used first). Buffers of a matrix are
// found through its lookup tree of their class (descriptor words 61-68):
// class 1 index nodes and classes 3/4 packed edge records keyed by record
// (header word 6), class 2 blocks keyed by block position number (word 5).
// The current packed edge record of a matrix (descriptor word 72 / 75) is in
// no tree; its buffer is found through that descriptor word.
//
// Every routine that can fail returns its status (0 success) after pushing
// its trace code (buffer_codes.h).
#pragma once

#include <cstdint>

#include "catalogue/tree.h"

namespace tessera {

// ---- Positions and headers -------------------------------------------------

// Buffer number x of the buffer whose data begins at control word `position`.
int32_t hm_buffer_number(const int32_t *ctrl, int32_t position);
// Control word where the data of buffer x begins.
int32_t hm_buffer_position(const int32_t *ctrl, int32_t x);
// Control word of header word 1 of buffer x.
int32_t hm_buffer_header(const int32_t *ctrl, int32_t x);
// Header word w (bufw::) of the buffer at `position`.
int32_t &hm_buffer_word(int32_t *ctrl, int32_t position, int32_t w);
// True when `position` is the data position of a pool buffer (and not, for
// example, a matrix's index root area, which lies before the pool).
bool hm_is_pool_buffer(const int32_t *ctrl, int32_t position);

// The buffer headers seen as the node table of the lookup trees of class
// `cls` (1-4): node length 14, key word 5 for class 2 and 6 for the others,
// one key word. The tree of matrix D and class c has its count and root in
// descriptor words dw::tree_count(c), dw::tree_root(c); node number = buffer
// number. hm_tree_flush walks these.
NodeTable hm_buffer_tree(int32_t *ctrl, int32_t cls);

// Buffer holding key `key` in matrix D's class-`cls` tree; 0 when absent.
int32_t hm_buffer_lookup(int32_t *ctrl, int32_t D, int32_t cls, int32_t key);
// Enter the buffer at `position` (owner, class and key set) in its owner's
// tree of its class.
void hm_buffer_enter(int32_t *ctrl, int32_t position);
// Take it out again (33752 from the tree when the tree is empty).
int32_t hm_buffer_leave(int32_t *ctrl, int32_t position);

// ---- Taking, pinning and giving back ---------------------------------------

// Get a buffer for new contents: pop the free list, or evict the least
// recently used unpinned buffer (writing it to its record when modified and
// taking it out of its owner's tree, or off its owner's descriptor word 72/75
// when it is the current packed edge record). The buffer comes back pinned
// once, state 1, owner 0, class 0, not modified. Status 170 / trace 33077
// when every buffer is pinned; a failed write-back (33078) leaves the
// unwritten buffer where it was (still modified, still in its owner's tree,
// at the end of the use list) and no buffer is taken.
int32_t hm_buffer_take(int32_t *ctrl, int32_t &position);

// Pin operations on the buffer at `position` (a position before the pool is
// ignored). D is the caller's matrix (kept for symmetry with the algebra's
// calls; the header's owner is what counts).
//   force != 1, mode  1: pin (unlink from the use list when the count was 0)
//   force != 1, mode  0: unpin; at count 0 back on the use list by its state
//                        (2 front, 3 in block order, others at the end)
//   force != 1, mode -1: touch: an unpinned buffer moves to the end
//   force == 1, mode != 1: pin count 0 and append at the end of the use list
// Touching a pinned buffer and unpinning at count 0 change nothing.
void hm_buffer_pin(int32_t *ctrl, int32_t D, int32_t position, int32_t force, int32_t mode);

// Unlink an unpinned buffer from the use list (nothing when it is pinned or
// free); with hm_buffer_release this is how a tree flush drops a buffer.
void hm_buffer_unlist(int32_t *ctrl, int32_t position);

// Push the buffer onto the free list (owner, class, pins and modified
// cleared) and set the caller's position to 0. The caller has taken it off
// the use list and out of its tree.
void hm_buffer_release(int32_t *ctrl, int32_t &position);

// For the hyperblock tables of the algebra: when info[5] (summary word 6) is
// 1, apply hm_buffer_pin(force 0, mode) to the position in word 1 of every
// 7-word entry (i, j), i = 1..info[1], j = 1..info[2], whose position is
// above 0. Entry (i, j) begins at table[7 ((j - 1) ld + i - 1)]. `table` and
// `info` are the areas themselves (word 1 at index 0).
void hm_buffers_unpin_table(int32_t *ctrl, int32_t ld, int32_t D, const int32_t *table,
                            const int32_t *info, int32_t mode);

// ---- Block fetches by block position number --------------------------------

// How a fetch looks a block up and leaves its buffer. The defaults are those
// of a direct put or get.
struct FetchRequest {
  int32_t lookup_first = 1;  // look in the class-2 tree before the index
  int32_t skip_read = 0;     // read fetch: caller overwrites the whole block
  int32_t enter_tree = 1;    // enter a newly filled buffer in the class-2 tree
  int32_t pin_mode = -1;     // -1 touch (stays unpinned), 1 pin once
  int32_t state = 1;         // replacement state set when pinning
  int32_t modified = 1;      // write fetch: value for header word 9
  // Write fetch: the caller overwrites the first this many words of the
  // block (its whole data area) before anything reads them. A block not yet
  // resident is then neither zero-filled there nor read from its record;
  // only the rest of the record is cleared.
  int32_t overwrite_words = 0;
};

// Class-2 block at `block` for reading. record: on entry 0, or the block's
// record when the caller already knows it from the index (the traversal),
// which saves the index search; on return the record, 0 when the block was
// never created (then position = offset = 0 and no buffer is taken).
// Traces 32128 (index), 32129 (buffer), 32130 (read).
int32_t hm_fetch_block_read(int32_t *ctrl, int32_t D, int32_t block, const FetchRequest &req,
                            int32_t &record, int32_t &position, int32_t &offset);

// Class-2 block at `block` for writing, created zero-filled with a new
// record entered in the index when it does not exist (created = 1); with
// req.overwrite_words only the words past those are cleared. The
// buffer ends with header word 9 = req.modified. Traces 32152 (index),
// 32154 (buffer), 32155 (read), 32153 (record), 32151 (insertion).
int32_t hm_fetch_block_write(int32_t *ctrl, int32_t D, int32_t block, const FetchRequest &req,
                             int32_t &position, int32_t &offset, int32_t &record,
                             int32_t &created);

}  // namespace tessera
