// The life cycle of a matrix (create, open, release, kill, inquire) and the
// block geometry of its descriptor.
//
// A matrix handle D is the control-area position of its 128-word descriptor
// (dw). Creation fixes the block order nb (the largest square of elements
// that fits one record) and the hyperblock order b1 (from the size of the
// buffer pool); both routines below derive the other geometry words from
// them. Kinds, shapes and position numbers of blocks are the block index's
// (transfer/block_index.h).
#pragma once

#include <cstdint>

#include "common/word_view.h"

namespace tessera {

// ---- geometry ---------------------------------------------------------------

// Largest nb with nb * nb * w(t) * k <= L; 0 when not even one element fits
// (or t is no type code).
int32_t hm_block_order(int32_t L, int32_t t, int32_t k);

// Hyperblock order from the buffer pool: the largest b1 with b1 * b1 block
// buffers to spare beyond what every open matrix may pin; 0 when there is no
// room for one hyperblock.
int32_t hm_hyper_order(const int32_t *ctrl);

// Fill the block and hyperblock words 43-60 and the edge words 70-76 of a
// descriptor whose words 10-15 (type, items, m, n, form, n'), 20 (b1) and 42
// (nb) are set. L is the record length. Returns false when the block grid
// has more positions than a 32-bit word counts (nothing is written then).
bool hm_matrix_geometry(WordView d, int32_t L);

// Word 38 of a descriptor whose geometry words are set: the records the
// complete matrix needs for its blocks (one triangle of the block grid for
// forms 1 and 6; the full blocks and the packed edge records otherwise).
int32_t hm_records_needed(WordView d);

// ---- handles ------------------------------------------------------------------

// True when D is the handle of a descriptor slot in use.
bool hm_matrix_handle_valid(const int32_t *ctrl, int32_t D);
// True when k is the handle of a file-set slot in use.
bool hm_fileset_handle_valid(const int32_t *ctrl, int32_t k);

// ---- life cycle ---------------------------------------------------------------

// hmnewm without the interface: name is three words. D receives the handle
// (0 when the call fails: a failed create keeps no slot and no directory
// node). The algebra's make-empty creates a matrix again through this.
int32_t hm_matrix_create(int32_t *ctrl, const int32_t *name, int32_t qualifier, int32_t fileset,
                         int32_t typeword, int32_t storageword, int32_t nrows, int32_t ncols,
                         int32_t &D);
// hmoldm without the interface. Outputs are written only on success; a
// matrix already open in this control area is refused (status 9).
int32_t hm_matrix_open(int32_t *ctrl, const int32_t *name, int32_t qualifier, int32_t fileset,
                       int32_t readonly, int32_t &typeword, int32_t &storageword,
                       int32_t &nrows, int32_t &ncols, int32_t &D);
// hmrelm without the interface; D becomes 0 on success.
int32_t hm_matrix_release(int32_t *ctrl, int32_t &D);
// Delete an open matrix with all its blocks; D becomes 0 on success.
int32_t hm_matrix_kill(int32_t *ctrl, int32_t &D);
// -1 no such matrix, 0 exists and closed, else its open handle.
int32_t hm_matrix_inquire(int32_t *ctrl, const int32_t *name, int32_t qualifier,
                          int32_t fileset);

// Steps of the above, for tests and for each other.
int32_t hm_matrix_define(int32_t *ctrl, int32_t D, int32_t typeword, int32_t storageword,
                         int32_t nrows, int32_t ncols);
int32_t hm_header_read(int32_t *ctrl, int32_t D);
int32_t hm_matrix_restore(int32_t *ctrl, int32_t D, int32_t &typeword, int32_t &storageword,
                          int32_t &nrows, int32_t &ncols);
// mode 1 writes every modified buffer of the matrix and frees them all;
// mode 2 frees them without writing.
int32_t hm_matrix_flush(int32_t *ctrl, int32_t D, int32_t mode);
int32_t hm_tree_flush(int32_t *ctrl, int32_t D, int32_t &count, int32_t &root, int32_t mode);
// Give back the reserved records and save the extent table (with the header
// for a table in the descriptor or the word pool, in its own records
// otherwise). The table's area stays: hm_release_table_area gives it back
// once the release has written everything.
int32_t hm_release_space(int32_t *ctrl, int32_t D);
int32_t hm_release_table_area(int32_t *ctrl, int32_t D);
int32_t hm_header_write(int32_t *ctrl, int32_t D);
int32_t hm_kill_records(int32_t *ctrl, int32_t D);

}  // namespace tessera
