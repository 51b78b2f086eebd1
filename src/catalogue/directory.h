// Descriptor slots and the per-file-set matrix directory.
//
// A matrix handle D is the position of its 128-word descriptor slot. The
// directory is a height-balanced tree of 12-word nodes (dirw) in the file
// set's node table, keyed by (qualifier, three name words); killed matrices'
// nodes go to the released-node list and their header slots are reused.
#pragma once

#include <cstdint>

namespace tessera {

int32_t hm_desc_alloc(int32_t *ctrl, int32_t &D);           // 170 / 32735
void hm_desc_free(int32_t *ctrl, int32_t &D);

// Look (qualifier, name) up in the directory of the file set at k: the node,
// or 0 when absent. key: four words (qualifier, name words 1-3).
int32_t hm_dir_lookup(int32_t *ctrl, int32_t k, const int32_t *key);
// Address of word w of directory node `node` of file set k.
int32_t *hm_dir_node_word(int32_t *ctrl, int32_t k, int32_t node, int32_t w);

int32_t hm_dir_enter(int32_t *ctrl, int32_t D, int32_t &record, int32_t &offset);
int32_t hm_dir_remove(int32_t *ctrl, int32_t D);
void hm_dir_mark_open(int32_t *ctrl, int32_t D);
void hm_dir_mark_closed(int32_t *ctrl, int32_t D);

// Undo hm_dir_enter for a matrix whose creation failed afterwards: its node
// leaves the tree and goes to the released-node list, so the header slot
// given to D is reused by the next new matrix. Does nothing (status 0) when
// the key is not in the directory or its node belongs to another handle.
int32_t hm_dir_cancel(int32_t *ctrl, int32_t D);

// The released-node list: nodes of killed matrices, chained through node
// word 1, whose header slots wait for reuse. table: word 1 of node 1.
int32_t hm_released_take(int32_t *table, int32_t N, int32_t &count, int32_t &first,
                         int32_t &last);
void hm_released_append(int32_t *table, int32_t N, int32_t &count, int32_t &first,
                        int32_t &last, int32_t node);

}  // namespace tessera
