// Layout of the Xchosky area: the dense solver's pivot diagnostics.
//
// The host owns the area (at least 567 32-bit words, counted from 0) and
// chains the free entries of the three lists before it switches recording
// on; the library never initialises the lists. Reals are 64-bit words counted
// from 0 at the same address, so real r occupies 32-bit words 2r and 2r + 1.
//
//   WORD      MEANING
//   565       number of tiny pivots met while recording was on
//   566       recording switch: 0 off (hminmf), non-zero on
//   370-374   list L (20 largest tiny pivots): free head, free count,
//             count, smallest end, largest end
//   375-414   list L links, two words per entry
//   415-434   list L global columns;  reals 40-59 its pivots
//   435-439   list S (20 smallest tiny pivots): the same five words
//   440-479   list S links;  480-499 columns;  reals 60-79 its pivots
//   500-504   list R (20 strongest cancellations): free head, free count,
//             count, lowest-ranked end, highest-ranked end
//   505-544   list R links;  545-564 columns;  reals 80-99 the diagonal
//             entry as given, reals 100-119 the amount the elimination
//             removed from it
//
// Entry e (1..20) of a list uses link words 2e - 1 and 2e of its link area:
// the first points one entry toward the largest (highest-ranked) end, the
// second one entry toward the smallest (lowest-ranked) end, 0 at the ends.
// Free entries are a slot list with stride 2 through the first link word.
#pragma once

#include <cstdint>

namespace tessera::chw {

inline constexpr int32_t kAreaWords = 567;
inline constexpr int32_t kTinyCount = 565;
inline constexpr int32_t kRecording = 566;

inline constexpr int32_t kListEntries = 20;
inline constexpr int32_t kLinkStride = 2;

// Offsets inside a list's five-word head.
inline constexpr int32_t kFreeHead = 0;
inline constexpr int32_t kFreeCount = 1;
inline constexpr int32_t kCount = 2;
inline constexpr int32_t kSmallEnd = 3;
inline constexpr int32_t kLargeEnd = 4;

// Offsets inside an entry's two link words.
inline constexpr int32_t kTowardLarge = 0;
inline constexpr int32_t kTowardSmall = 1;

// Where one list lives: head word, first link word, first column word, first
// real of each value run (kNoReal when the list keeps one value).
struct ListPlace {
  int32_t head;
  int32_t links;
  int32_t columns;
  int32_t first_real;
  int32_t second_real;
};
inline constexpr int32_t kNoReal = -1;

inline constexpr ListPlace kListL = {370, 375, 415, 40, kNoReal};
inline constexpr ListPlace kListS = {435, 440, 480, 60, kNoReal};
inline constexpr ListPlace kListR = {500, 505, 545, 80, 100};

}  // namespace tessera::chw
