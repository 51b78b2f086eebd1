// Stored file sets of every kind a host makes, built through the public
// interface only, with a model of what each matrix holds worked out from the
// puts alone (which blocks exist, which value each element has). The tests
// of the offline check and of the tessera program read these sets back and
// compare with the model.
//
//   test::HostAreas host;
//   test::SetSession s(dir, 3, 128);           // 3 files, 128-word records
//   s.create("A", 1, 4, 3, 100, 80);           // double, general
//   s.put("A", 1, 100, 1, 80);
//   s.remove();                                // hmremf: the set is stored
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tessera.h"

namespace tessera::test {

// What a matrix holds, from its creation and puts.
struct MatrixModel {
  std::string name;
  int32_t qualifier = 1;
  int32_t type = 0, items = 1, form = 0, rows = 0, cols = 0;
  int32_t nb = 0;
  std::set<std::pair<int32_t, int32_t>> blocks;  // (bi, bj) stored
  std::map<std::pair<int32_t, int32_t>, double> values;  // (i, j) -> the value put

  bool one_column() const { return form == 5 || type == 11 || type == 12; }
  int32_t stored_cols() const { return one_column() ? 1 : cols; }
};

// Words of one item of type t (1, 2 or 4).
inline int32_t words_per_item(int32_t t) {
  switch (t) {
    case 1: case 2: case 3: case 7: case 11: case 12: return 1;
    case 4: case 5: case 8: case 9: return 2;
    default: return 4;
  }
}

// Largest nb with nb * nb elements in one record of L words.
inline int32_t model_block_order(int32_t L, int32_t t, int32_t k) {
  const int64_t p = L / (words_per_item(t) * k);
  int64_t nb = static_cast<int64_t>(std::sqrt(static_cast<double>(p)));
  while (nb * nb > p) --nb;
  while ((nb + 1) * (nb + 1) <= p) ++nb;
  return static_cast<int32_t>(nb);
}

// The value the sessions put at (i, j): whole numbers below 2^24, exact in
// every type, different for every element of the shapes the tests use.
inline double model_value(int32_t i, int32_t j) { return i + 1000.0 * j; }

// Element (i, j) of value v in memory: every item of an element holds v plus
// its item number; a complex number holds (v, -v).
inline void store_element(unsigned char *at, int32_t t, int32_t k, double v) {
  const int32_t items = (t == 3 || (t >= 7 && t <= 10) || t == 12) ? k : 1;
  for (int32_t item = 0; item < items; ++item) {
    const double x = v + item;
    switch (t) {
      case 1: case 3: case 11: case 12: {
        const int32_t y = static_cast<int32_t>(x);
        std::memcpy(at + 4 * item, &y, 4);
        break;
      }
      case 2: case 7: {
        const float y = static_cast<float>(x);
        std::memcpy(at + 4 * item, &y, 4);
        break;
      }
      case 4: case 8: std::memcpy(at + 8 * item, &x, 8); break;
      case 5: case 9: {
        const float y[2] = {static_cast<float>(x), static_cast<float>(-x)};
        std::memcpy(at + 8 * item, y, 8);
        break;
      }
      default: {
        const double y[2] = {x, -x};
        std::memcpy(at + 16 * item, y, 16);
        break;
      }
    }
  }
}

class SetSession {
 public:
  // A control area large enough for hyperblocks of several blocks, and a
  // new set of `files` files of L-word records in `dir` (names set1.hm ...).
  SetSession(const std::string &dir, int32_t files, int32_t L, int32_t area_words = 400000)
      : L_(L), ctrl_(static_cast<size_t>(area_words), 0) {
    for (int32_t i = 1; i <= files; ++i) names_.push_back(dir + "/set" + std::to_string(i) + ".hm");
    int32_t nfs = 1, ndesc = 16, option = 0;
    hminmf(ctrl_.data(), &area_words, &nfs, &ndesc, &option, &ierr_);
    if (ierr_ != 0) return;
    ctrl_[1] = L;  // control-area word 2: record length of new sets
    int32_t m = 0, s = 0;
    std::vector<char *> argv = argv_();
    hmnewf(ctrl_.data(), &files, argv.data(), &m, &s, &fs_, &ierr_);
  }
  ~SetSession() {
    int32_t mode = 1;  // closing: deletes a set still open (a failed test)
    hmclos(ctrl_.data(), &mode);
  }
  SetSession(const SetSession &) = delete;
  SetSession &operator=(const SetSession &) = delete;

  // Status of the last library call (0 when all went well).
  int32_t ierr() const { return ierr_; }
  const std::vector<std::string> &files() const { return names_; }
  int32_t record_length() const { return L_; }
  const std::map<std::string, MatrixModel> &models() const { return models_; }

  // hmnewm; the matrix stays open until release() or remove().
  bool create(const std::string &name, int32_t qualifier, int32_t typeword, int32_t storageword,
              int32_t m, int32_t n) {
    if (ierr_ != 0) return false;
    MatrixModel model;
    model.name = name;
    model.qualifier = qualifier;
    model.type = typeword % 256;
    model.items = typeword / 256 == 0 ? 1 : typeword / 256;
    model.form = storageword % 128;
    model.rows = m;
    model.cols = n;
    model.nb = model_block_order(L_, model.type, model.items);
    int32_t words[3];
    pack(name, words);
    int32_t D = 0;
    hmnewm(ctrl_.data(), words, &qualifier, &fs_, &typeword, &storageword, &m, &n, &D, &ierr_);
    if (ierr_ != 0) return false;
    models_[name] = model;
    open_[name] = D;
    return true;
  }

  // hmoldm (read-write) of a matrix the model knows.
  bool open(const std::string &name) {
    if (ierr_ != 0 || open_.count(name) != 0) return ierr_ == 0;
    const MatrixModel &model = models_.at(name);
    int32_t words[3];
    pack(name, words);
    int32_t q = model.qualifier, readonly = 0, t = 0, s = 0, m = 0, n = 0, D = 0;
    hmoldm(ctrl_.data(), words, &q, &fs_, &readonly, &t, &s, &m, &n, &D, &ierr_);
    if (ierr_ == 0) open_[name] = D;
    return ierr_ == 0;
  }

  // hmputs of rows i1 .. i1+nr-1, columns j1 .. j1+nc-1 with model_value;
  // the model learns the blocks and values the storage form keeps.
  bool put(const std::string &name, int32_t i1, int32_t nr, int32_t j1, int32_t nc) {
    if (!open(name)) return false;
    MatrixModel &model = models_.at(name);
    const int32_t ew = 4 * words_per_item(model.type) *
                       ((model.type == 3 || (model.type >= 7 && model.type <= 10) ||
                         model.type == 12)
                            ? model.items
                            : 1);
    std::vector<unsigned char> a(static_cast<size_t>(nr) * nc * ew);
    for (int32_t j = 0; j < nc; ++j)
      for (int32_t i = 0; i < nr; ++i)
        store_element(&a[(static_cast<size_t>(j) * nr + i) * ew], model.type, model.items,
                      model_value(i1 + i, j1 + j));
    int32_t D = open_[name];
    hmputs(ctrl_.data(), &D, &i1, &nr, &j1, &nc, reinterpret_cast<const float *>(a.data()), &nr,
           &ierr_);
    if (ierr_ != 0) return false;
    const bool triangle = model.form == 1 || model.form == 6;
    for (int32_t j = j1; j < j1 + nc; ++j) {
      for (int32_t i = i1; i < i1 + nr; ++i) {
        const int32_t bi = (i - 1) / model.nb + 1, bj = (j - 1) / model.nb + 1;
        if (triangle && bi > bj) continue;
        model.blocks.insert({bi, bj});
        if (!triangle || i <= j) model.values[{i, j}] = model_value(i, j);
      }
    }
    return true;
  }

  bool release(const std::string &name) {
    if (ierr_ != 0) return false;
    auto it = open_.find(name);
    if (it == open_.end()) return true;
    int32_t D = it->second;
    hmrelm(ctrl_.data(), &D, &ierr_);
    if (ierr_ == 0) open_.erase(it);
    return ierr_ == 0;
  }

  bool kill(const std::string &name) {
    if (ierr_ != 0) return false;
    int32_t words[3];
    pack(name, words);
    int32_t q = models_.at(name).qualifier;
    hmkilm(ctrl_.data(), words, &q, &fs_, &ierr_);
    if (ierr_ != 0) return false;
    open_.erase(name);
    models_.erase(name);
    return true;
  }

  // Release every open matrix, then hmremf: the set is on disk.
  bool remove() {
    while (!open_.empty()) {
      if (!release(open_.begin()->first)) return false;
    }
    if (ierr_ != 0) return false;
    hmremf(ctrl_.data(), &fs_, &ierr_);
    return ierr_ == 0;
  }

  // hmoldf of the stored set.
  bool reopen() {
    if (ierr_ != 0) return false;
    int32_t n = static_cast<int32_t>(names_.size());
    std::vector<char *> argv = argv_();
    hmoldf(ctrl_.data(), &n, argv.data(), &fs_, &ierr_);
    return ierr_ == 0;
  }

  static void pack(const std::string &name, int32_t words[3]) {
    char bytes[12];
    std::memset(bytes, ' ', sizeof bytes);
    std::memcpy(bytes, name.data(), name.size() < 12 ? name.size() : 12);
    std::memcpy(words, bytes, sizeof bytes);
  }

 private:
  std::vector<char *> argv_() {
    std::vector<char *> out;
    for (std::string &n : names_) out.push_back(n.data());
    return out;
  }

  int32_t L_;
  std::vector<int32_t> ctrl_;
  std::vector<std::string> names_;
  int32_t fs_ = 0;
  int32_t ierr_ = -1;
  std::map<std::string, MatrixModel> models_;
  std::map<std::string, int32_t> open_;
};

// The varied set: 3 files of 128-word records holding a matrix of each kind
// (general with packed right and bottom edges and a two-level block index,
// symmetric, upper, diagonal, complex, vector elements, one stored column,
// banded), a killed matrix whose header slot was reused and one whose slot
// waits, stored, reopened, changed and stored again.
inline bool build_varied_set(SetSession &s) {
  return s.create("GEN", 1, 4, 3, 203, 197) && s.put("GEN", 1, 203, 1, 197) &&
         s.create("SYM", 1, 4, 1, 40, 40) && s.put("SYM", 1, 40, 1, 40) &&
         s.create("UPP", 2, 2, 6, 45, 45) && s.put("UPP", 1, 20, 10, 36) &&
         s.create("DIA", 1, 1, 5, 100, 100) && s.put("DIA", 1, 100, 1, 1) &&
         s.create("CPX", 1, 6, 3, 30, 20) && s.put("CPX", 3, 25, 2, 18) &&
         s.create("VEC", 1, 8 + 256 * 3, 3, 17, 9) && s.put("VEC", 1, 17, 1, 9) &&
         s.create("ONE", 1, 11, 3, 50, 7) && s.put("ONE", 5, 46, 1, 1) &&
         s.create("BAND", 1, 4, 3 + 128 + 256 * 5, 64, 64) && s.put("BAND", 1, 64, 1, 16) &&
         s.create("OLD", 1, 4, 3, 30, 30) && s.put("OLD", 1, 30, 1, 30) && s.release("OLD") &&
         s.create("GONE", 1, 2, 3, 30, 30) && s.put("GONE", 1, 10, 1, 10) && s.kill("OLD") &&
         s.create("NEWER", 7, 5, 3, 33, 21) && s.put("NEWER", 1, 33, 1, 21) && s.remove() &&
         s.reopen() && s.put("UPP", 1, 45, 30, 16) && s.put("GEN", 100, 50, 20, 60) &&
         s.kill("GONE") && s.kill("SYM") && s.create("LATE", 3, 5, 1, 25, 25) &&
         s.put("LATE", 1, 25, 1, 25) && s.remove();
}

// Two matrices filled one block at a time, each released and opened again
// in turn, so that their used records form many extents and their extent
// tables move from the descriptor to the word pool (more than 7 extents)
// and then to records of their own (more than 21).
inline bool build_grown_tables_set(SetSession &s, int32_t rounds = 26) {
  if (!s.create("X", 1, 4, 3, 64, 64) || !s.create("Y", 1, 4, 3, 64, 64) || !s.release("X") ||
      !s.release("Y")) {
    return false;
  }
  for (int32_t k = 0; k < rounds; ++k) {
    const int32_t i1 = (k % 8) * 8 + 1, j1 = (k / 8) * 8 + 1;
    for (const char *name : {"X", "Y"}) {
      if (!s.put(name, i1, 8, j1, 8) || !s.release(name)) return false;
    }
  }
  return s.remove();
}

}  // namespace tessera::test
