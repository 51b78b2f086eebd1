// A store for the hypermatrix algebra tests: a control area with one file
// set on real files, matrices created in it, dense column-major arrays put
// into them block by block (only the blocks that hold a non-zero value, so
// that the stored block structure is the array's) and read back with hmgets,
// and the element kinds the tests are typed over. The models the results are
// compared with are plain loops over these dense arrays.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <complex>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "control/control_words.h"
#include "tessera.h"
#include "test_support/fileset_fixture.h"
#include "transfer/transfer_words.h"
#include "test_support/host.h"

namespace tessera::test {

// Element kinds: type code, and arithmetic as the library does it (32-bit
// integers wrap, transposed complex operands are conjugated).
template <class T>
struct Elem;

template <>
struct Elem<int32_t> {
  static constexpr int32_t type = 1;
  static int32_t from(int v) { return v; }
  static int32_t mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
  }
  static int32_t add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
  }
  static int32_t neg(int32_t a) { return static_cast<int32_t>(0u - static_cast<uint32_t>(a)); }
  static int32_t conj(int32_t a) { return a; }
};

template <class R>
struct RealElem {
  static R from(int v) { return static_cast<R>(v); }
  static R mul(R a, R b) { return a * b; }
  static R add(R a, R b) { return a + b; }
  static R neg(R a) { return -a; }
  static R conj(R a) { return a; }
};
template <>
struct Elem<float> : RealElem<float> {
  static constexpr int32_t type = 2;
};
template <>
struct Elem<double> : RealElem<double> {
  static constexpr int32_t type = 4;
};

template <class R>
struct ComplexElem {
  using C = std::complex<R>;
  // Small integer parts, so that every sum is exact.
  static C from(int v) { return C(static_cast<R>(v), static_cast<R>((v * 7) % 3)); }
  static C mul(C a, C b) { return a * b; }
  static C add(C a, C b) { return a + b; }
  static C neg(C a) { return -a; }
  static C conj(C a) { return std::conj(a); }
};
template <>
struct Elem<std::complex<float>> : ComplexElem<float> {
  static constexpr int32_t type = 5;
};
template <>
struct Elem<std::complex<double>> : ComplexElem<double> {
  static constexpr int32_t type = 6;
};

// A dense column-major m x n array.
template <class T>
struct Dense {
  int32_t m = 0, n = 0;
  std::vector<T> a;
  Dense() = default;
  Dense(int32_t rows, int32_t cols) : m(rows), n(cols), a(static_cast<size_t>(rows) * cols, T{}) {}
  T &operator()(int32_t i, int32_t j) { return a[static_cast<size_t>(j - 1) * m + (i - 1)]; }
  const T &operator()(int32_t i, int32_t j) const {
    return a[static_cast<size_t>(j - 1) * m + (i - 1)];
  }
  bool operator==(const Dense &o) const { return m == o.m && n == o.n && a == o.a; }
};

// Random small integers (never 0 when `nonzero`), as element values.
template <class T>
Dense<T> random_dense(std::mt19937 &rng, int32_t m, int32_t n, bool nonzero = false) {
  Dense<T> d(m, n);
  std::uniform_int_distribution<int> dist(-3, 3);
  for (auto &x : d.a) {
    int v = dist(rng);
    if (nonzero && v == 0) v = 2;
    x = Elem<T>::from(v);
  }
  return d;
}

// op(X): X, or its (conjugate) transpose.
template <class T>
Dense<T> op(const Dense<T> &x, bool trans) {
  if (!trans) return x;
  Dense<T> t(x.n, x.m);
  for (int32_t j = 1; j <= x.n; ++j)
    for (int32_t i = 1; i <= x.m; ++i) t(j, i) = Elem<T>::conj(x(i, j));
  return t;
}

// The store itself.
class Store {
 public:
  // A control area of `length` words, record length `record_length`, room
  // for `ndesc` open matrices; one file set of two files.
  Store(int32_t length, int32_t record_length, int32_t ndesc = 10) {
    ctrl_ = make_control_area(length, 2, ndesc, record_length);
    if (ctrl_.empty()) {
      ADD_FAILURE() << "hminmf refused";
      return;
    }
    set_ = create_fileset(ctrl_, 2);
    EXPECT_EQ(set_.ierr, 0);
  }
  // Deletes the files of the set (and of any set left open).
  ~Store() {
    if (ctrl_.empty()) return;
    int32_t mode = 1;
    hmclos(ctrl(), &mode);
  }

  int32_t *ctrl() { return ctrl_.data(); }
  int32_t fileset() const { return set_.handle; }
  HostAreas &host() { return host_; }

  // Word j of the descriptor of matrix D / of the control area.
  int32_t dword(int32_t D, int32_t j) const { return ctrl_[static_cast<size_t>(D + j - 2)]; }
  int32_t cword(int32_t j) const { return ctrl_[static_cast<size_t>(j - 1)]; }
  void set_cword(int32_t j, int32_t v) { ctrl_[static_cast<size_t>(j - 1)] = v; }

  // A new matrix named "M<number>"; returns its handle (0 on failure).
  int32_t create(int32_t typeword, int32_t form, int32_t m, int32_t n, int32_t *name_out = nullptr) {
    int32_t name[3] = {0, 0, 0};
    const std::string s = "M" + std::to_string(++names_);
    std::memcpy(name, s.data(), s.size() < 12 ? s.size() : 12);
    if (name_out != nullptr) std::memcpy(name_out, name, sizeof name);
    int32_t qualifier = 1, fs = set_.handle, handle = 0, ierr = 0;
    hmnewm(ctrl(), name, &qualifier, &fs, &typeword, &form, &m, &n, &handle, &ierr);
    EXPECT_EQ(ierr, 0) << "hmnewm";
    if (ierr != 0) return 0;
    names_of_[handle] = {name[0], name[1], name[2]};
    return handle;
  }

  // Name of the matrix created with handle D.
  const int32_t *name(int32_t D) { return names_of_[D].data(); }

  // hmkilm of the matrix created with handle D.
  int32_t kill(int32_t D) {
    int32_t qualifier = 1, fs = set_.handle, ierr = 0;
    hmkilm(ctrl(), name(D), &qualifier, &fs, &ierr);
    return ierr;
  }

  // Puts the blocks of d that hold a non-zero value (blocks below the
  // diagonal are skipped by the library for forms 1 and 6).
  template <class T>
  void put(int32_t D, const Dense<T> &d) {
    const int32_t nb = dword(D, dw::kBlockOrder);
    for (int32_t j0 = 1; j0 <= d.n; j0 += nb) {
      for (int32_t i0 = 1; i0 <= d.m; i0 += nb) {
        const int32_t nr = std::min(nb, d.m - i0 + 1), nc = std::min(nb, d.n - j0 + 1);
        bool any = false;
        for (int32_t j = j0; j < j0 + nc; ++j)
          for (int32_t i = i0; i < i0 + nr; ++i) any = any || d(i, j) != T{};
        if (!any) continue;
        const T *first = &d(i0, j0);
        int32_t lda = d.m, ierr = 0;
        hmputs(ctrl(), &D, &i0, &nr, &j0, &nc, reinterpret_cast<const float *>(first), &lda, &ierr);
        EXPECT_EQ(ierr, 0) << "hmputs block at " << i0 << "," << j0;
      }
    }
  }

  template <class T>
  Dense<T> get(int32_t D, int32_t m, int32_t n) {
    Dense<T> d(m, n);
    int32_t one = 1, ierr = 0;
    hmgets(ctrl(), &D, &one, &m, &one, &n, reinterpret_cast<float *>(d.a.data()), &m, &ierr);
    EXPECT_EQ(ierr, 0) << "hmgets";
    return d;
  }

  // Blocks stored in matrix D (its block index's entry count).
  int32_t stored_blocks(int32_t D) const { return dword(D, dw::kIndexEntries); }

  // Sum of the pin counts of every buffer of the pool.
  int32_t pinned() const {
    int32_t total = 0;
    const int32_t headers = cword(cw::kBufferHeaders), count = cword(cw::kBufferCount);
    for (int32_t x = 1; x <= count; ++x)
      total += cword(headers + bufw::kLength * (x - 1) + bufw::kPins - 1);
    return total;
  }
  // Free words of the pair pool.
  int32_t pair_pool_free() const { return cword(cw::kPairList); }

  int32_t release(int32_t &D) {
    int32_t ierr = 0;
    hmrelm(ctrl(), &D, &ierr);
    return ierr;
  }
  // Opens matrix `name` again; returns the handle.
  int32_t open(const int32_t *name, int32_t readonly) {
    int32_t qualifier = 1, fs = set_.handle, tw = 0, sw = 0, m = 0, n = 0, handle = 0, ierr = 0;
    hmoldm(ctrl(), name, &qualifier, &fs, &readonly, &tw, &sw, &m, &n, &handle, &ierr);
    EXPECT_EQ(ierr, 0) << "hmoldm";
    if (ierr == 0) names_of_[handle] = {name[0], name[1], name[2]};
    return handle;
  }

 private:
  HostAreas host_;
  std::vector<int32_t> ctrl_;
  FileSet set_;
  int32_t names_ = 0;
  std::map<int32_t, std::array<int32_t, 3>> names_of_;
};

}  // namespace tessera::test
