// Fault sweep: one scripted session through the public interface, run once
// to count its record-service calls and then again for every call k with
// call k failing, and with every call from k on failing (a full disk). After
// each failure the failing routine must have reported it (a status and a
// trace), the control area and the open file set must pass the consistency
// checker, and — when the failure came after the set was last removed — the
// set on disk must still open and give back every value written before that
// removal. Where the failed step can simply be tried again, the session is
// then finished without faults and must end with every value intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <utility>
#include <string>
#include <vector>

#include "common/word_view.h"
#include "selfcheck/consistency.h"
#include "catalogue/descriptor_words.h"
#include "catalogue/space_codes.h"
#include "common/status.h"
#include "control/control_words.h"
#include "control/fileset_codes.h"
#include "transfer/transfer_words.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/host.h"

namespace tessera {
namespace {

using test::DafOp;

// A small control area: with 128-word records its buffer pool holds about a
// hundred blocks (hyperblocks of 2 x 2), fewer than the session's matrices
// have, so blocks are evicted and read back all the time.
constexpr int32_t kAreaWords = 34000;
constexpr int32_t kRecordLength = 128;
constexpr int32_t kFileSets = 2;
constexpr int32_t kMatrices = 6;
constexpr int32_t kFiles = 2;
constexpr int32_t kCacheWords = 64;  // the Xcache area of test::HostAreas
constexpr int32_t kCacheNodes = 40;
constexpr int32_t kFragmentCycles = 24;
constexpr int32_t kCacheOnHostMemory = 3;  // on, and the memory stays the host's
constexpr int32_t kTableInSlot = 1;        // extent-table placement of a descriptor

// A matrix of the session and the values the host has put into it, column
// by column, each element as its words. The values already have the shape
// the form keeps (symmetric, or zero below the diagonal), so a get of the
// whole matrix must give them back exactly.
struct Matrix {
  const char *name;
  int32_t type;   // element type code: 1 integer, 2 single, 4 double
  int32_t form;   // 1 symmetric, 6 upper triangular, 3 general
  int32_t rows, cols;
  int32_t handle = 0;
  bool alive = true;     // not killed
  bool on_disk = false;  // alive when the set was last removed
  std::vector<uint32_t> values;

  int32_t words() const { return type == 4 ? 2 : 1; }
  int32_t name_words[3];

  Matrix(const char *n, int32_t t, int32_t f, int32_t m, int32_t c)
      : name(n), type(t), form(f), rows(m), cols(c) {
    char bytes[12];
    std::memset(bytes, ' ', sizeof bytes);
    std::memcpy(bytes, n, std::strlen(n));
    std::memcpy(name_words, bytes, sizeof bytes);
    values.assign(static_cast<size_t>(m) * c * words(), 0u);
    for (int32_t j = 1; j <= c; ++j) {
      for (int32_t i = 1; i <= m; ++i) {
        const int32_t lo = i < j ? i : j, hi = i < j ? j : i;
        if (form == 6 && i > j) continue;
        const int32_t v = form == 1 ? 37 * lo + hi : (7 * i + 3 * j) % 23 - 11;
        uint32_t *e = at(i, j);
        if (type == 4) {
          const double d = v;
          std::memcpy(e, &d, sizeof d);
        } else if (type == 2) {
          const float f32 = static_cast<float>(v) + 0.5f;
          std::memcpy(e, &f32, sizeof f32);
        } else {
          e[0] = static_cast<uint32_t>(v);
        }
      }
    }
  }
  uint32_t *at(int32_t i, int32_t j) {
    return values.data() + (static_cast<size_t>(j - 1) * rows + (i - 1)) * words();
  }
  double value(int32_t i, int32_t j) {  // of a double matrix
    double d;
    std::memcpy(&d, at(i, j), sizeof d);
    return d;
  }
};

// The error trace as text, innermost code first.
std::string trace_text() {
  const int32_t *t = reinterpret_cast<const int32_t *>(Xerror);
  std::string out;
  for (int32_t i = 1; i <= t[0] && i <= 20; ++i) out += (i > 1 ? " " : "") + std::to_string(t[i]);
  return out;
}

struct Outcome {
  int failed_step = -1;      // index of the step that returned non-zero
  int32_t ierr = 0;
  bool trace_empty = false;  // the trace after the failure
  std::string trace;
  int removed_at = -1;       // last step that removed the set successfully
};

// One session: its control area, its files, the handles it holds, and the
// steps of its script.
class Session {
 public:
  struct Step {
    std::string name;
    std::function<int32_t()> run;
    bool retriable;       // trying it again after a failure is sound
    bool removes = false; // a successful run leaves the set on disk
    bool kills = false;   // deletes the set's files: nothing to read back after
  };

  enum class Script { kLifeCycle, kFragments };

  // cache_nodes > 0: after every open of the set the host lays out a
  // memory-first block cache (kind 2) of that many records and switches it
  // on, so records live in memory until the set is removed.
  explicit Session(const std::string &dir, int32_t cache_nodes = 0,
                   Script script = Script::kLifeCycle)
      : dir_(dir), cache_nodes_(cache_nodes) {
    for (int32_t i = 1; i <= kFiles; ++i) names_.push_back(dir + "/sweep" + std::to_string(i));
    for (auto &n : names_) argv_.push_back(n.data());
    if (script == Script::kLifeCycle) {
      life_cycle_matrices();
      build_script();
    } else {
      fragment_script();
    }
  }

  const std::vector<Step> &steps() const { return steps_; }
  int32_t *ctrl() { return ctrl_.data(); }
  int32_t fileset() const { return P_; }
  std::vector<char *> &argv() { return argv_; }
  std::vector<Matrix> &matrices() { return matrices_; }

  // Run steps from `from` on; stops at the first failure.
  Outcome run(test::HostAreas &host, size_t from = 0, Outcome o = Outcome(),
              size_t to = SIZE_MAX) {
    for (size_t i = from; i < steps_.size() && i < to; ++i) {
      const int32_t ierr = steps_[i].run();
      if (ierr != 0) {
        o.failed_step = static_cast<int>(i);
        o.ierr = ierr;
        o.trace_empty = host.trace[0] == 0;
        o.trace = trace_text();
        return o;
      }
      if (steps_[i].removes) o.removed_at = static_cast<int>(i);
    }
    o.failed_step = -1;
    return o;
  }

  // Close whatever is still open: matrices are forgotten with the control
  // area, files of open sets are deleted, and handles the fault layer saw
  // opened but the library lost are closed.
  void close_all() {
    if (!ctrl_.empty() && control_view(ctrl_.data())[cw::kInitMarker] == cw::kInitialised) {
      int32_t mode = 1;
      hmclos(ctrl_.data(), &mode);
    }
    test::faults_close_open_files();
  }

 private:
  // Five matrices of three forms and types, a product and its copy.
  void life_cycle_matrices() {
    matrices_ = {{"GENERAL", 4, 3, 72, 40},
                 {"SYMMETRIC", 2, 1, 40, 40},
                 {"UPPER", 1, 6, 30, 30},
                 {"FACTOR", 4, 3, 40, 20},
                 {"PRODUCT", 4, 3, 72, 20},
                 {"COPY", 4, 3, 72, 20}};
    // The product's values are what the multiply must give: a plain triple
    // loop over the small integers held as doubles, exact in any order.
    Matrix &a = matrices_[0], &b = matrices_[3], &c = matrices_[4];
    for (int32_t j = 1; j <= c.cols; ++j) {
      for (int32_t i = 1; i <= c.rows; ++i) {
        double sum = 0;
        for (int32_t l = 1; l <= a.cols; ++l) sum += a.value(i, l) * b.value(l, j);
        std::memcpy(c.at(i, j), &sum, sizeof sum);
        // The copy of the product, then the product added to it.
        const double twice = 2 * sum;
        std::memcpy(matrices_[5].at(i, j), &twice, sizeof twice);
      }
    }
  }

  // A fresh control area and a new file set.
  void opening_steps() {
    steps_.push_back({"hminmf",
                      [this] {
                        ctrl_.assign(kAreaWords, 0);
                        int32_t len = kAreaWords, nfs = kFileSets, nd = kMatrices, opt = 0;
                        int32_t ierr = -1;
                        hminmf(ctrl_.data(), &len, &nfs, &nd, &opt, &ierr);
                        control_view(ctrl_.data())[cw::kRecordLength] = kRecordLength;
                        return ierr;
                      },
                      false});
    steps_.push_back({"hmnewf",
                      [this] {
                        int32_t n = kFiles, m = 0, s = 0, ierr = -1;
                        hmnewf(ctrl_.data(), &n, argv_.data(), &m, &s, &P_, &ierr);
                        if (ierr == 0) cache_on();
                        return ierr;
                      },
                      true});
  }

  // Two matrices released and opened again in turn, one new block each
  // time: the records each one uses interleave with the other's, so their
  // used lists fragment and their extent tables outgrow the descriptor (an
  // area of the word pool), then the word pool (records of their own).
  void fragment_script() {
    matrices_ = {{"LEFT", 4, 3, 8, 8 * kFragmentCycles}, {"RIGHT", 4, 3, 8, 8 * kFragmentCycles}};
    opening_steps();
    for (Matrix &x : matrices_) {
      steps_.push_back({std::string("hmnewm ") + x.name, [this, &x] { return newm(x); }, true});
      steps_.push_back({std::string("hmrelm ") + x.name, [this, &x] { return relm(x); }, true});
    }
    for (int32_t c = 1; c <= kFragmentCycles; ++c) {
      for (Matrix &x : matrices_) {
        const std::string tag = std::string(x.name) + " " + std::to_string(c);
        steps_.push_back({"hmoldm " + tag, [this, &x] { return oldm(x, 0); }, true});
        steps_.push_back({"hmputs " + tag, [this, &x, c] { return puts(x, 8 * c - 7, 8 * c); },
                          true});
        steps_.push_back({"hmrelm " + tag, [this, &x] { return relm(x); }, true});
      }
    }
    steps_.push_back({"hmremf", [this] { return remove(); }, true, true});
    steps_.push_back({"hmoldf", [this] { return reopen(); }, true});
    for (Matrix &x : matrices_) {
      steps_.push_back({std::string("hmoldm ") + x.name, [this, &x] { return oldm(x, 0); }, true});
      steps_.push_back({std::string("hmgets ") + x.name,
                        [this, &x] { return gets_and_compare(ctrl_.data(), x); }, true});
      steps_.push_back({std::string("hmrelm ") + x.name + " again", [this, &x] { return relm(x); },
                        true});
    }
    steps_.push_back({"hmkilm LEFT (closed)", [this] { return kilm(matrices_[0]); }, true});
    closing_steps();
  }

  // Remove the set, open it again and kill it.
  void closing_steps() {
    steps_.push_back({"hmremf again", [this] { return remove(); }, true, true});
    steps_.push_back({"hmoldf again", [this] { return reopen(); }, true});
    steps_.push_back({"hmkilf",
                      [this] {
                        int32_t ierr = -1;
                        hmkilf(ctrl_.data(), &P_, &ierr);
                        return ierr;
                      },
                      true, false, true});
  }

  void build_script() {
    opening_steps();
    for (Matrix &x : matrices_) {
      steps_.push_back({std::string("hmnewm ") + x.name, [this, &x] { return newm(x); }, true});
    }
    // The general matrix goes in two strips that cut through blocks, so
    // the second put reads blocks the first one wrote. The product starts
    // empty and is filled by the multiply.
    Matrix &g = matrices_[0], &sym = matrices_[1], &upper = matrices_[2];
    Matrix &factor = matrices_[3], &product = matrices_[4], &copy = matrices_[5];
    steps_.push_back({"hmputs GENERAL 1", [this, &g] { return puts(g, 1, 13); }, true});
    steps_.push_back({"hmputs GENERAL 2", [this, &g] { return puts(g, 14, g.cols); }, true});
    for (Matrix *x : {&sym, &upper, &factor}) {
      steps_.push_back({std::string("hmputs ") + x->name, [this, x] { return puts(*x, 1, x->cols); },
                        true});
    }
    // Accumulates into the product, so it cannot simply be tried again.
    steps_.push_back({"hlmult", [this, &g, &factor, &product] { return mult(g, factor, product); },
                      false});
    // The copy empties its destination and creates it anew; a second copy
    // gives the same result. The add accumulates.
    steps_.push_back({"hlcopm", [this, &product, &copy] { return copym(product, copy); }, true});
    steps_.push_back({"hladd", [this, &copy, &product] { return add(copy, product); }, false});
    for (Matrix &x : matrices_) {
      steps_.push_back({std::string("hmrelm ") + x.name, [this, &x] { return relm(x); }, true});
    }
    steps_.push_back({"hmremf", [this] { return remove(); }, true, true});
    steps_.push_back({"hmoldf", [this] { return reopen(); }, true});
    for (Matrix *x : {&g, &sym, &product, &copy}) {
      steps_.push_back({std::string("hmoldm ") + x->name, [this, x] { return oldm(*x, 0); }, true});
      steps_.push_back({std::string("hmgets ") + x->name,
                        [this, x] { return gets_and_compare(ctrl_.data(), *x); }, true});
    }
    // One matrix killed while open, one while closed; the removal after
    // them must keep only the general matrix.
    steps_.push_back({"hmkilm SYMMETRIC (open)", [this, &sym] { return kilm(sym); }, true});
    steps_.push_back({"hmkilm UPPER (closed)", [this, &upper] { return kilm(upper); }, true});
    steps_.push_back({"hmrelm GENERAL again", [this, &g] { return relm(g); }, true});
    steps_.push_back({"hmrelm PRODUCT again", [this, &product] { return relm(product); }, true});
    steps_.push_back({"hmrelm COPY again", [this, &copy] { return relm(copy); }, true});
    closing_steps();
  }

  int32_t newm(Matrix &x) {
    int32_t q = 1, typeword = x.type, storageword = x.form, ierr = -1;
    hmnewm(ctrl_.data(), x.name_words, &q, &P_, &typeword, &storageword, &x.rows, &x.cols,
           &x.handle, &ierr);
    return ierr;
  }
  int32_t puts(Matrix &x, int32_t j1, int32_t j2) {
    int32_t i1 = 1, nc = j2 - j1 + 1, ierr = -1;
    hmputs(ctrl_.data(), &x.handle, &i1, &x.rows, &j1, &nc,
           reinterpret_cast<const float *>(x.at(1, j1)), &x.rows, &ierr);
    return ierr;
  }
  int32_t mult(Matrix &a, Matrix &b, Matrix &c) {
    int32_t ta = 0, tb = 0, up = 0, sub = 0, ierr = -1;
    hlmult(ctrl_.data(), &a.handle, &b.handle, &c.handle, &ta, &tb, &up, &sub, &ierr);
    return ierr;
  }
  int32_t copym(Matrix &from, Matrix &to) {
    int32_t mode = 0, ierr = -1;
    hlcopm(ctrl_.data(), &from.handle, &to.handle, &mode, &ierr);
    return ierr;
  }
  int32_t add(Matrix &to, Matrix &from) {
    int32_t op = 0, ierr = -1;
    hladd(ctrl_.data(), &to.handle, &from.handle, &op, &ierr);
    return ierr;
  }
  int32_t relm(Matrix &x) {
    int32_t ierr = -1;
    hmrelm(ctrl_.data(), &x.handle, &ierr);
    return ierr;
  }
  int32_t kilm(Matrix &x) {
    int32_t q = 1, ierr = -1;
    hmkilm(ctrl_.data(), x.name_words, &q, &P_, &ierr);
    if (ierr == 0) x.alive = false;
    return ierr;
  }

 public:
  // Open x in the set at P of `ctrl` and check its shape.
  static int32_t oldm(int32_t *ctrl, int32_t P, Matrix &x, int32_t readonly) {
    int32_t q = 1, typeword = 0, storageword = 0, m = 0, n = 0, ierr = -1;
    hmoldm(ctrl, x.name_words, &q, &P, &readonly, &typeword, &storageword, &m, &n, &x.handle,
           &ierr);
    if (ierr == 0) {
      EXPECT_EQ(typeword % 256, x.type) << x.name;
      EXPECT_EQ(m, x.rows) << x.name;
      EXPECT_EQ(n, x.cols) << x.name;
    }
    return ierr;
  }
  // Get the whole of x; a successful get must give back every value put.
  static int32_t gets_and_compare(int32_t *ctrl, Matrix &x) {
    std::vector<uint32_t> got(x.values.size(), 0xdeadbeefu);
    int32_t i1 = 1, j1 = 1, ierr = -1;
    hmgets(ctrl, &x.handle, &i1, &x.rows, &j1, &x.cols, reinterpret_cast<float *>(got.data()),
           &x.rows, &ierr);
    if (ierr == 0) {
      size_t bad = 0;
      for (size_t w = 0; w < got.size(); ++w) bad += got[w] != x.values[w];
      EXPECT_EQ(bad, 0u) << x.name << ": " << bad << " words differ from the values put";
    }
    return ierr;
  }

 private:
  int32_t oldm(Matrix &x, int32_t readonly) { return oldm(ctrl_.data(), P_, x, readonly); }

  int32_t remove() {
    int32_t ierr = -1;
    hmremf(ctrl_.data(), &P_, &ierr);
    if (ierr == 0) {
      for (Matrix &x : matrices_) x.on_disk = x.alive;
    }
    return ierr;
  }
  int32_t reopen() {
    int32_t n = kFiles, ierr = -1;
    hmoldf(ctrl_.data(), &n, argv_.data(), &P_, &ierr);
    if (ierr == 0) cache_on();
    return ierr;
  }
  // A fresh cache: every node free, nothing cached. State 3 keeps the memory
  // the host's (state 1 would have the library free it).
  void cache_on() {
    if (cache_nodes_ == 0) return;
    const int32_t S = cache_nodes_;
    const int32_t w6 = cachew::kNodeLength * S + 1;
    cache_memory_.assign(static_cast<size_t>(w6 - 1 + S * kRecordLength), 0);
    int32_t *x = reinterpret_cast<int32_t *>(Xcache);
    int32_t *memory = cache_memory_.data();
    std::memcpy(x + cachew::kAddress, &memory, sizeof memory);
    x[cachew::kKind] = cachew::kKindMemoryFirst;
    x[cachew::kMemoryWords] = static_cast<int32_t>(cache_memory_.size());
    x[cachew::kNodes] = S;
    x[cachew::kRecordArea] = w6;
    x[cachew::kCapacity] = S;
    x[cachew::kFreeCount] = S;
    x[cachew::kFreeFirst] = 1;
    for (int32_t w = cachew::kUseCount; w <= cachew::kTreeRoot; ++w) x[w] = 0;
    for (int32_t i = 1; i <= S; ++i) {
      memory[(i - 1) * cachew::kNodeLength + cachew::kNodeNext - 1] = i < S ? i + 1 : 0;
    }
    x[cachew::kState] = kCacheOnHostMemory;
  }

  std::string dir_;
  int32_t cache_nodes_;
  std::vector<int32_t> cache_memory_;
  std::vector<std::string> names_;
  std::vector<char *> argv_;
  std::vector<int32_t> ctrl_;
  int32_t P_ = 0;
  std::vector<Matrix> matrices_;
  std::vector<Step> steps_;
};

// True when the set at P is open in the control area (its slot link is -1).
bool fileset_open(int32_t *ctrl, int32_t P) {
  WordView c = control_view(ctrl);
  const int32_t first = c[cw::kFsArea1];
  if (P < first || (P - first) % cw::kFilesetAreaWords != 0) return false;
  const int32_t s = (P - first) / cw::kFilesetAreaWords + 1;
  return s <= c[cw::kFsSlots] && word_at(ctrl, c[cw::kFsLinks])[s - 1] == cw::kSlotInUse;
}

// Consistency of what a session left behind; `where` names the run.
void check_consistent(Session &s, const std::string &where) {
  std::string why;
  EXPECT_TRUE(hm_check_control(s.ctrl(), &why)) << where << ": " << why;
  if (fileset_open(s.ctrl(), s.fileset())) {
    EXPECT_TRUE(hm_check_fileset(s.ctrl(), s.fileset(), &why)) << where << ": " << why;
  }
}

// The set on disk, as the last successful removal left it, opened in a
// control area of its own: it must open, pass the checker and be removable.
//
// A removal refused after its header reached the disk (closing the files,
// or what follows) has stored the set as it is now: `switched` asks for the
// matrices alive now instead of those of the previous removal.
void check_on_disk(Session &s, const std::string &where, bool switched = false) {
  // The opening below switches the cache off; the session's cache words
  // come back afterwards, since its records may still be in the cache.
  int32_t *x = reinterpret_cast<int32_t *>(Xcache);
  std::vector<int32_t> saved(x, x + kCacheWords);
  struct Restore {
    int32_t *x;
    std::vector<int32_t> &saved;
    ~Restore() { std::copy(saved.begin(), saved.end(), x); }
  } restore{x, saved};
  // The check works on copies of the files: its own removal writes tables
  // and a header, which must not reach the files the session still has open.
  const std::string copy_dir = test::temp_dir();
  std::vector<std::string> copies;
  std::vector<char *> copy_argv;
  for (int32_t i = 0; i < kFiles; ++i) {
    copies.push_back(copy_dir + "/copy" + std::to_string(i + 1));
    std::filesystem::copy_file(s.argv()[i], copies.back());
  }
  for (auto &c : copies) copy_argv.push_back(c.data());
  struct Remove {
    std::string dir;
    ~Remove() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } remove_copies{copy_dir};
  std::vector<int32_t> ctrl(kAreaWords, 0);
  int32_t len = kAreaWords, nfs = kFileSets, nd = kMatrices, opt = 0, ierr = -1;
  hminmf(ctrl.data(), &len, &nfs, &nd, &opt, &ierr);
  ASSERT_EQ(ierr, 0);
  int32_t n = kFiles, P = 0;
  hmoldf(ctrl.data(), &n, copy_argv.data(), &P, &ierr);
  EXPECT_EQ(ierr, 0) << where << ": the removed set does not open again (trace "
                     << trace_text() << ")";
  if (ierr != 0) {
    int32_t mode = 1;
    hmclos(ctrl.data(), &mode);
    return;
  }
  std::string why;
  EXPECT_TRUE(hm_check_control(ctrl.data(), &why)) << where << " (reopened): " << why;
  EXPECT_TRUE(hm_check_fileset(ctrl.data(), P, &why)) << where << " (reopened): " << why;
  for (Matrix &x : s.matrices()) {
    if (!(switched ? x.alive : x.on_disk)) {
      int32_t q = 1, state = 0;
      hminqm(ctrl.data(), x.name_words, &q, &P, &state);
      EXPECT_EQ(state, -1) << where << ": " << x.name << " was killed before the removal";
      continue;
    }
    Matrix copy = x;
    if (Session::oldm(ctrl.data(), P, copy, 1) != 0) {
      ADD_FAILURE() << where << ": " << x.name << " does not open";
      continue;
    }
    EXPECT_EQ(Session::gets_and_compare(ctrl.data(), copy), 0) << where << ": " << x.name;
    EXPECT_TRUE(hm_check_fileset(ctrl.data(), P, &why)) << where << " (reopened): " << why;
    hmrelm(ctrl.data(), &copy.handle, &ierr);
    EXPECT_EQ(ierr, 0) << where << ": " << x.name << " does not release";
  }
  hmremf(ctrl.data(), &P, &ierr);
  EXPECT_EQ(ierr, 0) << where << ": the reopened set does not remove";
}

// An open, writable matrix whose extent table (in the word pool or in
// records) is no longer in memory: a release failed after giving it back.
bool table_given_back_while_open(int32_t *ctrl) {
  WordView c = control_view(ctrl);
  for (int32_t s = 1; s <= c[cw::kDescSlots]; ++s) {
    if (word_at(ctrl, c[cw::kDescLinks])[s - 1] != cw::kSlotInUse) continue;
    WordView d(ctrl, c[cw::kDescArea1] + (s - 1) * cw::kDescriptorWords);
    if (d[dw::kReadOnlyFlag] == 0 && d[dw::kPlacement] > kTableInSlot && d[dw::kTableAddress] == 0) {
      return true;
    }
  }
  return false;
}

// One run with the given fault plan; returns the calls the run made.
int64_t run_once(int64_t k, bool full_disk, int32_t cache_nodes,
                 Session::Script script = Session::Script::kLifeCycle) {
  test::HostAreas host;
  const std::string dir = test::temp_dir();
  Session s(dir, cache_nodes, script);
  const std::string where = std::string(full_disk ? "disk full from call " : "call ") +
                            std::to_string(k) + " failing";
  test::faults_reset();
  if (k > 0) test::faults_fail(DafOp::kAny, k, full_disk);
  Outcome o = s.run(host);
  const int64_t calls = test::faults_calls(DafOp::kAny);
  const int64_t injected = test::faults_injected();
  test::faults_reset();

  if (k == 0) {
    EXPECT_EQ(o.failed_step, -1) << "the session fails without faults at step "
                                 << (o.failed_step >= 0 ? s.steps()[o.failed_step].name : "");
  } else if (o.failed_step < 0) {
    // The library may get round a refusal itself (a smaller extension after
    // a refused one); the gets of the script have then proved every value.
  } else {
    const auto &step = s.steps()[o.failed_step];
    const std::string at = where + " in " + step.name + " (status " + std::to_string(o.ierr) +
                           ", trace " + o.trace + ")";
    EXPECT_GT(injected, 0) << at << ": failed with " << o.ierr << " though nothing was refused";
    EXPECT_FALSE(o.trace_empty) << at << ": status " << o.ierr << " with an empty trace";
    EXPECT_FALSE(table_given_back_while_open(s.ctrl()))
        << at << ": an open matrix has given its extent table back";
    check_consistent(s, at);
    // A removal that fails part-way leaves the set on disk as the previous
    // removal stored it (FailedRemovalLeavesTheStoredSetReadable).
    if (o.removed_at >= 0 && !step.kills) {
      const auto traced = [&o](int32_t code) {
        return o.trace.find(std::to_string(code)) != std::string::npos;
      };
      const bool switched = step.removes && (traced(trace::kRemClose) ||
                                             traced(trace::kRemFlushOthers) ||
                                             traced(trace::kRemCacheDiscard));
      check_on_disk(s, at, switched);
    }
    if (step.retriable) {
      // Without faults the failed step must go through on a second try, and
      // the rest of the session with it.
      Outcome again = s.run(host, o.failed_step, o, o.failed_step + 1);
      EXPECT_EQ(again.failed_step, -1) << at << ": fails again with " << again.ierr << " (trace " << again.trace << ")"
                                       << " when retried without faults";
      if (again.failed_step < 0) {
        if (step.removes) check_on_disk(s, at + ", then retried");
        Outcome rest = s.run(host, o.failed_step + 1, again);
        EXPECT_EQ(rest.failed_step, -1)
            << at << ": after the fault, " << s.steps()[rest.failed_step].name
            << " fails with " << rest.ierr;
      }
      check_consistent(s, at + ", then retried");
    }
  }
  s.close_all();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return calls;
}


TEST(FaultSweep, EveryRecordServiceCallFailingOnceAndFromThenOn) {
  test::FaultScope scope;
  const int64_t n = run_once(0, false, 0);
  ASSERT_GT(n, 0);
  RecordProperty("record_service_calls", static_cast<int>(n));
  for (int64_t k = 1; k <= n; ++k) {
    run_once(k, false, 0);
    run_once(k, true, 0);
  }
}

// The same session with a memory-first block cache of the host: records stay
// in memory until the removal flushes them, so a refused write there must
// neither lose them nor leave the cache in pieces. A full disk only: a
// single refusal meets the same step, and the time is better spent there.
TEST(FaultSweep, EveryRecordServiceCallFailingWithTheCacheOn) {
  test::FaultScope scope;
  const int64_t n = run_once(0, false, kCacheNodes);
  ASSERT_GT(n, 0);
  RecordProperty("record_service_calls", static_cast<int>(n));
  for (int64_t k = 1; k <= n; ++k) {
    run_once(k, true, kCacheNodes);
  }
}

// Fragmented matrices: their extent tables move out of the descriptor and
// then into records of their own while the sweep refuses calls.
TEST(FaultSweep, EveryRecordServiceCallFailingWhileExtentTablesGrow) {
  test::FaultScope scope;
  const Session::Script script = Session::Script::kFragments;
  const int64_t n = run_once(0, false, 0, script);
  ASSERT_GT(n, 0);
  RecordProperty("record_service_calls", static_cast<int>(n));
  for (int64_t k = 1; k <= n; ++k) {
    run_once(k, false, 0, script);
    run_once(k, true, 0, script);
  }
}

// Opening a stored set in a fresh control area (the first thing a host does
// after a crash) and reading every matrix back, with each read refused in
// turn: the failed routine reports it, the area stays sound, and a second
// try without faults opens and reads everything.
TEST(FaultSweep, EveryReadFailingWhileAStoredSetIsOpened) {
  test::FaultScope scope;
  test::HostAreas host;
  const std::string dir = test::temp_dir();
  Session stored(dir);
  size_t removal = 0;
  while (stored.steps()[removal].name != "hmremf") ++removal;
  ASSERT_EQ(stored.run(host, 0, Outcome(), removal + 1).failed_step, -1);

  // Steps of one reader: open the set, then open and read each matrix.
  std::vector<int32_t> ctrl;
  int32_t P = 0;
  std::vector<Matrix> matrices = stored.matrices();
  std::vector<std::pair<std::string, std::function<int32_t()>>> steps;
  steps.push_back({"hmoldf", [&] {
                     int32_t n = kFiles, ierr = -1;
                     hmoldf(ctrl.data(), &n, stored.argv().data(), &P, &ierr);
                     return ierr;
                   }});
  for (Matrix &x : matrices) {
    steps.push_back({std::string("hmoldm ") + x.name,
                     [&] { return Session::oldm(ctrl.data(), P, x, 1); }});
    steps.push_back({std::string("hmgets ") + x.name,
                     [&] { return Session::gets_and_compare(ctrl.data(), x); }});
  }
  auto fresh_area = [&] {
    ctrl.assign(kAreaWords, 0);
    int32_t len = kAreaWords, nfs = kFileSets, nd = kMatrices, opt = 0, ierr = -1;
    hminmf(ctrl.data(), &len, &nfs, &nd, &opt, &ierr);
    ASSERT_EQ(ierr, 0);
    P = 0;
  };
  // The matrices were opened read-only, so their releases and the removal
  // write back only what was read.
  auto close_reader = [&] {
    for (Matrix &x : matrices) {
      int32_t ierr = -1;
      if (x.handle != 0) hmrelm(ctrl.data(), &x.handle, &ierr);
      EXPECT_TRUE(ierr == 0 || x.handle == 0) << x.name << " does not release";
      x.handle = 0;
    }
    if (P != 0) {
      int32_t ierr = -1;
      hmremf(ctrl.data(), &P, &ierr);
      EXPECT_EQ(ierr, 0) << "the reader's set does not remove";
    }
    test::faults_close_open_files();
  };

  test::faults_reset();
  fresh_area();
  for (auto &step : steps) ASSERT_EQ(step.second(), 0) << step.first << " without faults";
  const int64_t n = test::faults_calls(DafOp::kAny);
  close_reader();
  RecordProperty("record_service_calls", static_cast<int>(n));
  for (int64_t k = 1; k <= n; ++k) {
    for (bool full_disk : {false, true}) {
      const std::string where = std::string(full_disk ? "disk full from call " : "call ") +
                                std::to_string(k) + " failing";
      fresh_area();
      test::faults_reset();
      test::faults_fail(DafOp::kAny, k, full_disk);
      size_t i = 0;
      int32_t ierr = 0;
      for (; i < steps.size() && ierr == 0; ++i) ierr = steps[i].second();
      test::faults_reset();
      if (ierr == 0) {
        close_reader();
        continue;
      }
      const std::string at = where + " in " + steps[i - 1].first;
      std::string why;
      EXPECT_TRUE(hm_check_control(ctrl.data(), &why)) << at << ": " << why;
      if (P != 0) {
        EXPECT_TRUE(hm_check_fileset(ctrl.data(), P, &why)) << at << ": " << why;
      }
      for (--i; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].second(), 0) << at << ": " << steps[i].first << " retried";
      }
      close_reader();
    }
  }
  stored.close_all();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// A removal writes the set's extent table, then its node table, then its
// header. When the disk refuses a write between the first and the last, the
// set on disk must still be the one the previous removal stored: a host that
// gives up (or closes the control area, which deletes the files of open
// sets) must not have lost its matrices before.
TEST(FaultSweep, FailedRemovalLeavesTheStoredSetReadable) {
  test::FaultScope scope;
  test::HostAreas host;
  const std::string dir = test::temp_dir();
  Session s(dir);
  size_t second_removal = 0;
  for (size_t i = 0; i < s.steps().size(); ++i) {
    if (s.steps()[i].name == "hmremf again") second_removal = i;
  }
  ASSERT_GT(second_removal, 0u);
  ASSERT_EQ(s.run(host, 0, Outcome(), second_removal).failed_step, -1);
  // The first table is written, the node table's first record is refused.
  test::faults_fail(DafOp::kWrite, test::faults_calls(DafOp::kWrite) + 17);
  const Outcome o = s.run(host, second_removal, Outcome(), second_removal + 1);
  ASSERT_EQ(o.failed_step, static_cast<int>(second_removal));
  test::faults_reset();
  check_on_disk(s, "node table write refused during hmremf");
  s.close_all();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// The set grows by extending each of its files in turn. When the disk
// refuses the extension of a later file after an earlier one has grown, the
// files are left of unequal length while the set's end stays where it was;
// every later extension of the first file then starts below its real end
// and is refused, so the set cannot grow again even when the disk has room.
TEST(FaultSweep, RefusedExtensionOfALaterFileLeavesTheSetGrowable) {
  test::FaultScope scope;
  test::HostAreas host;
  const std::string dir = test::temp_dir();
  Session s(dir);
  size_t last_create = 0;
  for (size_t i = 0; i < s.steps().size(); ++i) {
    if (s.steps()[i].name == "hmnewm PRODUCT") last_create = i;
  }
  ASSERT_GT(last_create, 0u);
  ASSERT_EQ(s.run(host, 0, Outcome(), last_create).failed_step, -1);
  // The fifth matrix's reservation outgrows the set: file 1 grows, file 2
  // is refused.
  ASSERT_EQ(test::faults_calls(DafOp::kExtend), 0);
  test::faults_fail(DafOp::kExtend, 2);
  Outcome o = s.run(host, last_create, Outcome(), last_create + 1);
  EXPECT_GE(test::faults_injected(), 1);
  test::faults_reset();
  check_consistent(s, "second file's extension refused");
  // The reservation may get round the refusal itself (its second, smaller
  // extension asks again from the set's end, and the file that grew the first
  // time only gains what it lacks); otherwise a retry without faults must.
  if (o.failed_step >= 0) {
    o = s.run(host, last_create, Outcome(), last_create + 1);
    EXPECT_EQ(o.failed_step, -1) << "hmnewm PRODUCT retried without faults fails with "
                                 << o.ierr << " (trace " << o.trace << ")";
  }
  // The rest of the session, with its further growth, completes.
  o = s.run(host, last_create + 1, Outcome());
  EXPECT_EQ(o.failed_step, -1) << "the session after the refused extension fails with " << o.ierr
                               << " (trace " << o.trace << ")";
  s.close_all();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// A release gives the matrix's reserved records back, saves its extent
// table (with the header for a table in the word pool, in records of its
// own otherwise) and gives the table's area back, then writes the index
// root and the header. When one of those last writes is refused, the
// matrix stays open without its table; a second hmrelm is then refused by
// the record space (170, trace 32797 33620 32546), the matrix can be
// neither released nor its set removed, and the stored header no longer
// matches the stored table.
TEST(FaultSweep, ReleaseFailingAfterItsSpaceStepCanBeRetried) {
  test::FaultScope scope;
  const std::string step = "hmrelm LEFT 12";  // the table is in the word pool by then
  int64_t writes = 0;
  {
    // How many record writes the release makes: the header is the last.
    test::HostAreas host;
    const std::string dir = test::temp_dir();
    Session dry(dir, 0, Session::Script::kFragments);
    size_t at = 0;
    while (dry.steps()[at].name != step) ++at;
    ASSERT_EQ(dry.run(host, 0, Outcome(), at).failed_step, -1);
    const int64_t before = test::faults_calls(DafOp::kWrite);
    ASSERT_EQ(dry.run(host, at, Outcome(), at + 1).failed_step, -1);
    writes = test::faults_calls(DafOp::kWrite) - before;
    dry.close_all();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  test::faults_reset();
  test::HostAreas host;
  const std::string dir = test::temp_dir();
  Session s(dir, 0, Session::Script::kFragments);
  size_t at = 0;
  while (s.steps()[at].name != step) ++at;
  ASSERT_EQ(s.run(host, 0, Outcome(), at).failed_step, -1);
  test::faults_fail(DafOp::kWrite, test::faults_calls(DafOp::kWrite) + writes);
  ASSERT_EQ(s.run(host, at, Outcome(), at + 1).failed_step, static_cast<int>(at));
  test::faults_reset();
  const Outcome o = s.run(host, at, Outcome(), at + 1);
  EXPECT_EQ(o.failed_step, -1) << step << " retried fails with " << o.ierr << " (trace "
                               << o.trace << ")";
  check_consistent(s, step + " retried");
  s.close_all();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace tessera
