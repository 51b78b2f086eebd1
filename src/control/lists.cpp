// Slot lists, pair stacks and name packing.
#include "control/lists.h"

#include <cstring>

namespace tessera {

void hm_list_init(int32_t *links, int32_t stride, int32_t n, int32_t &free_count,
                  int32_t &head) {
  for (int32_t i = 1; i < n; ++i) links[(i - 1) * stride] = i + 1;
  if (n >= 1) links[(n - 1) * stride] = 0;
  head = n >= 1 ? 1 : 0;
  free_count = n >= 1 ? n : 0;
}

int32_t hm_list_take(int32_t *links, int32_t stride, int32_t &free_count, int32_t &head) {
  int32_t slot = head;
  head = links[(slot - 1) * stride];
  --free_count;
  return slot;
}

void hm_list_give(int32_t *links, int32_t stride, int32_t &free_count, int32_t &head,
                  int32_t &slot) {
  links[(slot - 1) * stride] = head;
  head = slot;
  ++free_count;
  slot = 0;
}

void hm_push_pair(int32_t *area, int32_t &depth, int32_t first, int32_t second) {
  ++depth;
  area[2 * depth - 2] = first;
  area[2 * depth - 1] = second;
}

void hm_pop_pair(const int32_t *area, int32_t &depth, int32_t &first, int32_t &second) {
  first = area[2 * depth - 2];
  second = area[2 * depth - 1];
  --depth;
}

void hm_pack_name(const char *name, int32_t *words) {
  std::memset(words, ' ', kPackedNameWords * sizeof(int32_t));
  auto *bytes = reinterpret_cast<unsigned char *>(words);
  for (int32_t c = 0; c < kPackedNameChars && name[c] != '\0'; ++c) {
    bytes[(c / 2) * 4 + c % 2] = static_cast<unsigned char>(name[c]);
  }
}

void hm_unpack_name(const int32_t *words, char *buffer) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(words);
  for (int32_t c = 0; c < kPackedNameChars; ++c) {
    buffer[c] = static_cast<char>(bytes[(c / 2) * 4 + c % 2]);
  }
  buffer[kPackedNameChars] = '\0';
  for (int32_t c = kPackedNameChars - 1; c >= 0 && buffer[c] == ' '; --c) buffer[c] = '\0';
}

}  // namespace tessera
