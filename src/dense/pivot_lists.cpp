// The three ranked lists of tiny pivots in the Xchosky area: S keeps the 20
// smallest pivots, L the 20 largest, R the 20 pivots whose diagonal entry the
// elimination cancelled most strongly.
//
// List R records, per tiny pivot, the diagonal entry as given (first real)
// and the amount A(j, j) - d that the elimination removed from it (second
// real). It ranks by |removed / given|: a ratio near 1 means the pivot is the
// small remainder of a large cancellation, the mark of a nearly dependent
// column, and the list keeps the 20 highest ratios with the highest at its
// "largest" end (word 504). An entry whose given value is 0 ranks above every
// entry with a non-zero given value, and such entries rank among themselves
// by |removed|: a pivot whose diagonal was zero from the start is the most
// suspect of all.
//
// The lists belong to the host, which chains their free entries. Before any
// write the list is checked: counts within 0..20, every entry number met on
// the free head, the ends and the chain from one end to the other within
// 1..20, and the back links consistent. A list that fails the check is left
// untouched and the pivot is not entered there, so a host that never chained
// the lists cannot make the library write outside the area's 567 words.
#include <cmath>
#include <cstring>

#include "dense/chosky_words.h"
#include "dense/dense.h"

namespace tessera {
namespace {

struct Entry {
  double first = 0;
  double second = 0;
};

// Rankings: ahead(a, b) is true when a ranks strictly ahead of b, that is, a
// is kept in preference to b and lies nearer the list's front.
struct Smallest {
  static bool ahead(const Entry &a, const Entry &b) { return a.first < b.first; }
};
struct Largest {
  static bool ahead(const Entry &a, const Entry &b) { return a.first > b.first; }
};
struct Cancellation {
  static bool ahead(const Entry &a, const Entry &b) {
    const bool a_zero = a.first == 0, b_zero = b.first == 0;
    if (a_zero != b_zero) return a_zero;
    if (a_zero) return std::fabs(a.second) > std::fabs(b.second);
    return std::fabs(a.second / a.first) > std::fabs(b.second / b.first);
  }
};

// One list seen through its place in the area. The front is the end the
// ranking prefers; entries are dropped at the back when the list is full.
class RankedList {
 public:
  RankedList(int32_t *area, const chw::ListPlace &place, bool front_is_large)
      : area_(area), place_(place) {
    front_ = front_is_large ? chw::kLargeEnd : chw::kSmallEnd;
    back_ = front_is_large ? chw::kSmallEnd : chw::kLargeEnd;
    to_back_ = front_is_large ? chw::kTowardSmall : chw::kTowardLarge;
    to_front_ = front_is_large ? chw::kTowardLarge : chw::kTowardSmall;
  }

  template <class Rank>
  bool enter(const Entry &value, int32_t column) {
    if (!sound()) return false;
    int32_t count = head(chw::kCount);
    int32_t e = 0;
    if (head(chw::kFreeCount) > 0) {
      e = head(chw::kFreeHead);
      head(chw::kFreeHead) = link(e, chw::kTowardLarge);
      head(chw::kFreeCount) -= 1;
    } else {
      if (count == 0) return false;
      e = head(back_);
      if (!Rank::ahead(value, read(e))) return false;
      const int32_t next = count > 1 ? link(e, to_front_) : 0;
      if (next != 0) link(next, to_back_) = 0;
      else head(front_) = 0;
      head(back_) = next;
      --count;
    }
    write(e, value);
    area_[place_.columns + e - 1] = column;

    // Walk from the front past every entry that ranks strictly ahead.
    int32_t before = 0, cur = count > 0 ? head(front_) : 0, passed = 0;
    while (passed < count && Rank::ahead(read(cur), value)) {
      before = cur;
      ++passed;
      cur = passed < count ? link(cur, to_back_) : 0;
    }
    link(e, to_front_) = before;
    link(e, to_back_) = cur;
    if (before != 0) link(before, to_back_) = e;
    else head(front_) = e;
    if (cur != 0) link(cur, to_front_) = e;
    else head(back_) = e;
    head(chw::kCount) = count + 1;
    return true;
  }

 private:
  static bool valid(int32_t e) { return e >= 1 && e <= chw::kListEntries; }

  int32_t &head(int32_t word) { return area_[place_.head + word]; }
  int32_t &link(int32_t e, int32_t which) {
    return area_[place_.links + chw::kLinkStride * (e - 1) + which];
  }

  double real(int32_t run, int32_t e) const {
    double v;
    std::memcpy(&v, area_ + 2 * (run + e - 1), sizeof v);
    return v;
  }
  void set_real(int32_t run, int32_t e, double v) {
    std::memcpy(area_ + 2 * (run + e - 1), &v, sizeof v);
  }
  Entry read(int32_t e) const {
    Entry out;
    out.first = real(place_.first_real, e);
    if (place_.second_real != chw::kNoReal) out.second = real(place_.second_real, e);
    return out;
  }
  void write(int32_t e, const Entry &v) {
    set_real(place_.first_real, e, v.first);
    if (place_.second_real != chw::kNoReal) set_real(place_.second_real, e, v.second);
  }

  // Every entry number the insertion may follow lies in 1..20, and the chain
  // from the smallest end to the largest end is consistent.
  bool sound() {
    const int32_t count = head(chw::kCount), free_count = head(chw::kFreeCount);
    if (count < 0 || count > chw::kListEntries) return false;
    if (free_count < 0 || free_count > chw::kListEntries) return false;
    if (free_count > 0 && !valid(head(chw::kFreeHead))) return false;
    if (count == 0) return true;
    int32_t e = head(chw::kSmallEnd), previous = 0;
    for (int32_t i = 1; i <= count; ++i) {
      if (!valid(e) || link(e, chw::kTowardSmall) != previous) return false;
      previous = e;
      if (i < count) e = link(e, chw::kTowardLarge);
    }
    return e == head(chw::kLargeEnd);
  }

  int32_t *area_;
  chw::ListPlace place_;
  int32_t front_, back_, to_back_, to_front_;
};

}  // namespace

int32_t cr_record_pivot(int32_t *chosky, double d, int32_t column) {
  const Entry value{d, 0};
  int32_t taken = 0;
  if (RankedList(chosky, chw::kListS, false).enter<Smallest>(value, column)) ++taken;
  if (RankedList(chosky, chw::kListL, true).enter<Largest>(value, column)) ++taken;
  return taken;
}

bool cr_record_ratio(int32_t *chosky, double given, double removed, int32_t column) {
  return RankedList(chosky, chw::kListR, true).enter<Cancellation>(Entry{given, removed},
                                                                   column);
}

}  // namespace tessera
