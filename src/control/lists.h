// List forms from which every table and pool of the control area is built:
// slot lists, pair stacks, packed file names.
//
// A slot list keeps numbered slots 1..n in a link array with a stride: the
// link of slot i is element (i - 1) * stride + 1 of the array (links[0] is
// the link of slot 1). Free slots are chained through their links from the
// head; 0 ends the chain.
#pragma once

#include <cstdint>

namespace tessera {

// Make all n slots free: link(i) = i + 1, link(n) = 0, head 1, count n.
void hm_list_init(int32_t *links, int32_t stride, int32_t n, int32_t &free_count,
                  int32_t &head);
// Take the head slot; the caller has checked that free_count > 0.
int32_t hm_list_take(int32_t *links, int32_t stride, int32_t &free_count, int32_t &head);
// Give slot back at the head and set the caller's slot variable to 0.
void hm_list_give(int32_t *links, int32_t stride, int32_t &free_count, int32_t &head,
                  int32_t &slot);

// Pair stack: `area` holds 2 * capacity words, entry d at words 2d - 1, 2d.
// Neither routine checks the capacity; callers do.
void hm_push_pair(int32_t *area, int32_t &depth, int32_t first, int32_t second);
void hm_pop_pair(const int32_t *area, int32_t &depth, int32_t &first, int32_t &second);

// A packed name is 40 words, two characters in the first two bytes of each
// word, the rest blanks. Names keep at most 80 characters.
inline constexpr int32_t kPackedNameWords = 40;
inline constexpr int32_t kPackedNameChars = 80;
inline constexpr int32_t kNameBufferBytes = 81;
void hm_pack_name(const char *name, int32_t *words);
// Unpack into an 81-byte buffer: NUL-terminated, trailing blanks removed.
void hm_unpack_name(const int32_t *words, char *buffer);

// Clear a list head of two, three or four words.
inline void hm_clear2(int32_t *w) { w[0] = w[1] = 0; }
inline void hm_clear3(int32_t *w) { w[0] = w[1] = w[2] = 0; }
inline void hm_clear4(int32_t *w) { w[0] = w[1] = w[2] = w[3] = 0; }

}  // namespace tessera
