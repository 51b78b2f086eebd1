// The height-balanced search tree kept in a table of fixed-length nodes.
//
// Node i occupies words (i - 1) N + 1 .. i N of the table (N the node
// length); its key is K words from word o of the node; its last five words
// are the links (treew: parent, side, balance, left, right). Keys compare as
// signed 32-bit words. The matrix directory (N 12, o 1, K 4), the buffer
// lookup trees (N 14, key word 5 or 6, K 1) and the block cache (N 14, o 6,
// K 1) share this code. Keys and payloads never move between nodes.
#pragma once

#include <cstdint>

namespace tessera {

struct NodeTable {
  int32_t *nodes;      // word 1 of node 1
  int32_t length;      // N
  int32_t key_offset;  // o
  int32_t key_words;   // K
};

// -1, 0, +1 by the first differing signed word; 0 when k < 1.
int32_t hm_key_compare(const int32_t *a, const int32_t *b, int32_t k);

// Search from root. found = 1 and last = the node when the key is there;
// otherwise found = 0 and last/side tell where a new node belongs (left as
// the caller set them when the tree is empty).
void hm_tree_find(const NodeTable &t, int32_t root, const int32_t *key, int32_t &found,
                  int32_t &last, int32_t &side);
// Link a prepared node below `last` on `side` (as root when root is 0), then
// rebalance; count grows by one.
void hm_tree_insert(const NodeTable &t, int32_t &count, int32_t &root, int32_t node,
                    int32_t last, int32_t side);
// Unlink node and rebalance. Returns status::kFull and pushes 33752 on an
// empty tree.
int32_t hm_tree_remove(const NodeTable &t, int32_t &count, int32_t &root, int32_t node);

// Address of word w of node i.
inline int32_t *tree_node_word(const NodeTable &t, int32_t node, int32_t w) {
  return t.nodes + (node - 1) * t.length + (w - 1);
}

}  // namespace tessera
