// Views of host-owned integer areas, seen from their first word, 1-based.
//
// Every position the library stores in the control area is a 1-based word
// number, so all arithmetic on positions is done here once: a WordView made
// at position p reads word j of the area that begins there as view[j]. No
// structure is ever laid over the host's array; the i386 and x86-64 builds
// read and write the same 32-bit words.
#pragma once

#include <cstdint>

namespace tessera {

class WordView {
 public:
  // area: the host array whose first element is word 1; first: the 1-based
  // position of word 1 of the view inside that array.
  WordView(int32_t *area, int32_t first) : area_(area), offset_(first - 2) {}
  int32_t &operator[](int32_t word) const { return area_[offset_ + word]; }
  // Address of word `word` of the view, for routines that take raw runs.
  int32_t *at(int32_t word) const { return area_ + offset_ + word; }
  int32_t first() const { return offset_ + 2; }

 private:
  int32_t *area_;
  int32_t offset_;
};

// The control area itself: ctrl[j] is control-area word j.
inline WordView control_view(int32_t *ctrl) { return WordView(ctrl, 1); }

// Address of control-area word `position` (1-based).
inline int32_t *word_at(int32_t *ctrl, int32_t position) { return ctrl + (position - 1); }

}  // namespace tessera
