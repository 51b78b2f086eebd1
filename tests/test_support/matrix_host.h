// A host that opens matrices, for tests of the matrix routines and of the
// transfers: a control area with one file set, names packed into three
// words, thin wrappers that return (handle, ierr), and a dense model of a
// matrix's elements for comparing gets against.
//
//   test::MatrixHost h(200000, 256);          // control words, record length
//   auto [D, ierr] = h.newm("A", 1, 2, 3, 100, 80);
//   std::vector<uint32_t> a(...);  hmputs(h.area(), &D, ...);
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tessera.h"
#include "test_support/fileset_fixture.h"
#include "test_support/host.h"

namespace tessera::test {

// Twelve bytes of name, blank-padded, as three words.
struct MatrixName {
  int32_t words[3];
  explicit MatrixName(const std::string &s) {
    char bytes[12];
    std::memset(bytes, ' ', sizeof bytes);
    std::memcpy(bytes, s.data(), s.size() < 12 ? s.size() : 12);
    std::memcpy(words, bytes, sizeof bytes);
  }
};

struct Opened {
  int32_t handle = 0;
  int32_t ierr = -1;
  int32_t typeword = 0, storageword = 0, nrows = 0, ncols = 0;
};

class MatrixHost {
 public:
  // A control area of `length` words for 2 file sets and `ndesc` matrices,
  // new file sets of record length L, and one file set of `files` files.
  MatrixHost(int32_t length, int32_t L, int32_t ndesc = 8, int32_t files = 2)
      : ctrl_(make_control_area(length, 2, ndesc, L)) {
    if (!ctrl_.empty()) set_ = create_fileset(ctrl_, files);
  }
  bool ready() const { return !ctrl_.empty() && set_.ierr == 0; }

  int32_t *area() { return ctrl_.data(); }
  std::vector<int32_t> &ctrl() { return ctrl_; }
  FileSet &set() { return set_; }
  int32_t fs() const { return set_.handle; }

  // Control word j, file-set word j, descriptor word j of handle D.
  int32_t &cw(int32_t j) { return ctrl_[static_cast<size_t>(j - 1)]; }
  int32_t &fw(int32_t j) { return ctrl_[static_cast<size_t>(set_.handle + j - 2)]; }
  int32_t &dw(int32_t D, int32_t j) { return ctrl_[static_cast<size_t>(D + j - 2)]; }

  Opened newm(const std::string &name, int32_t qualifier, int32_t typeword, int32_t storageword,
              int32_t m, int32_t n) {
    MatrixName nm(name);
    Opened o;
    int32_t fs = set_.handle;
    hmnewm(area(), nm.words, &qualifier, &fs, &typeword, &storageword, &m, &n, &o.handle, &o.ierr);
    return o;
  }
  Opened oldm(const std::string &name, int32_t qualifier, int32_t readonly = 0) {
    MatrixName nm(name);
    Opened o;
    int32_t fs = set_.handle;
    hmoldm(area(), nm.words, &qualifier, &fs, &readonly, &o.typeword, &o.storageword, &o.nrows,
           &o.ncols, &o.handle, &o.ierr);
    return o;
  }
  int32_t relm(int32_t &handle) {
    int32_t ierr = -1;
    hmrelm(area(), &handle, &ierr);
    return ierr;
  }
  int32_t kilm(const std::string &name, int32_t qualifier) {
    MatrixName nm(name);
    int32_t ierr = -1, fs = set_.handle;
    hmkilm(area(), nm.words, &qualifier, &fs, &ierr);
    return ierr;
  }
  int32_t inqm(const std::string &name, int32_t qualifier) {
    MatrixName nm(name);
    int32_t state = -7, fs = set_.handle;
    hminqm(area(), nm.words, &qualifier, &fs, &state);
    return state;
  }
  // Put or get rows i1.., columns j1.. from or into a (words), lda elements.
  int32_t puts(int32_t D, int32_t i1, int32_t nr, int32_t j1, int32_t nc, const void *a,
               int32_t lda) {
    int32_t ierr = -1;
    hmputs(area(), &D, &i1, &nr, &j1, &nc, static_cast<const float *>(a), &lda, &ierr);
    return ierr;
  }
  int32_t gets(int32_t D, int32_t i1, int32_t nr, int32_t j1, int32_t nc, void *a, int32_t lda) {
    int32_t ierr = -1;
    hmgets(area(), &D, &i1, &nr, &j1, &nc, static_cast<float *>(a), &lda, &ierr);
    return ierr;
  }
  int32_t remove() { return remove_fileset(ctrl_, set_); }
  int32_t reopen() { return reopen_fileset(ctrl_, set_); }

 private:
  std::vector<int32_t> ctrl_;
  FileSet set_;
};

// Words per element of type t with k items (t 1-12).
inline int32_t element_words(int32_t t, int32_t k) {
  static const int32_t per_item[13] = {0, 1, 1, 1, 2, 2, 4, 1, 2, 2, 4, 1, 1};
  const bool vector = t == 3 || t == 7 || t == 8 || t == 9 || t == 10 || t == 12;
  return per_item[t] * (vector ? k : 1);
}

// Conjugate one element of type t in place: the imaginary part of each
// complex item changes sign (its sign bit flips); other types are unchanged.
inline void conjugate(uint32_t *e, int32_t t, int32_t k) {
  const int32_t items = (t == 9 || t == 10) ? k : 1;
  if (t == 5 || t == 9) {
    for (int32_t i = 0; i < items; ++i) e[2 * i + 1] ^= 0x80000000u;
  } else if (t == 6 || t == 10) {
    // A double's sign bit is the top bit of its second (little-endian) word.
    for (int32_t i = 0; i < items; ++i) e[4 * i + 3] ^= 0x80000000u;
  }
}

// A dense column-major array of elements stored as 32-bit words.
struct Dense {
  int32_t rows = 0, cols = 0, ew = 1;
  std::vector<uint32_t> w;
  Dense() = default;
  Dense(int32_t r, int32_t c, int32_t element) : rows(r), cols(c), ew(element) {
    w.assign(static_cast<size_t>(r) * c * element, 0u);
  }
  uint32_t *at(int32_t i, int32_t j) {  // 1-based
    return w.data() + ((static_cast<size_t>(j) - 1) * rows + (i - 1)) * ew;
  }
  const uint32_t *at(int32_t i, int32_t j) const {
    return w.data() + ((static_cast<size_t>(j) - 1) * rows + (i - 1)) * ew;
  }
};

}  // namespace tessera::test
