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

}  // namespace tessera
