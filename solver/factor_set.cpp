// The factor's file set (factor_set.h).
#include "factor_set.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace tessera::solve {
namespace {

// Words of META.
namespace meta {
constexpr int32_t kMagic = 0x54534650;  // "TSFP"
constexpr int32_t kVersion = 1;
enum : int {
  kMagicWord, kVersionWord, kOrder, kBlockOrder, kFlags, kOrdering, kHashLow, kHashHigh,
  kMemoryLow, kMemoryHigh, kSegmentsMax, kEntriesLow, kEntriesHigh, kWords
};
constexpr int32_t kIndefinite = 1, kInputStored = 2;
}  // namespace meta

// Words of SEG s, then the signs of its rows, then the pivot area.
namespace seg {
constexpr int32_t kMagic = 0x54535347;  // "TSSG"
enum : int {
  kMagicWord, kNumber, kPanelBegin, kPanelEnd, kRowBegin, kRowEnd, kSumLow, kSumHigh,
  kSignCount, kWords
};
}  // namespace seg

constexpr int32_t kDoneMagic = 0x5453444e;  // "TSDN"
constexpr int32_t kOne = 1;
constexpr int32_t kMaxBlockOrder = 8192;

const char *const kMeta = "META";
const char *const kPerm = "PERM";
const char *const kBlockRows = "BROW";
const char *const kBlockCols = "BCOL";
const char *const kPlan = "PLAN";
const char *const kInput = "A";
const char *const kSegment = "U";
const char *const kRecord = "SEG";
const char *const kDone = "DONE";

int32_t low(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
int32_t high(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v >> 32)); }
uint64_t join(int32_t lo, int32_t hi) {
  return uint64_t{static_cast<uint32_t>(lo)} | (uint64_t{static_cast<uint32_t>(hi)} << 32);
}

}  // namespace

uint64_t block_checksum(const double *a, int64_t lda, int32_t rows, int32_t cols, bool diagonal,
                        int32_t I, int32_t J) {
  XXH3_state_t *st = XXH3_createState();
  XXH3_64bits_reset_withSeed(st, (uint64_t{static_cast<uint32_t>(I)} << 32) | static_cast<uint32_t>(J));
  for (int32_t j = 0; j < cols; ++j) {
    const int32_t m = diagonal ? std::min(j + 1, rows) : rows;
    XXH3_64bits_update(st, a + j * lda, sizeof(double) * static_cast<size_t>(m));
  }
  const uint64_t h = XXH3_64bits_digest(st);
  XXH3_freeState(st);
  return h;
}

FactorSet::FactorSet(std::unique_ptr<ControlArea> area, FileSet set, std::string path)
    : area_(std::move(area)), set_(std::move(set)), path_(std::move(path)) {}

FactorSet::~FactorSet() { close_keep(); }

std::unique_ptr<FactorSet> FactorSet::create(const std::string &path, int64_t area_words,
                                             int32_t ndesc, int64_t initial_words,
                                             const FactorHeader &h,
                                             const std::vector<int32_t> &perm,
                                             const BlockStructure &s,
                                             const std::vector<PanelPlan> &plan) {
  const int32_t L = 2 * h.nb * h.nb;
  auto area = std::make_unique<ControlArea>(area_words, L, 1, ndesc);
  FileSet set = FileSet::create(*area, path, initial_words);
  std::unique_ptr<FactorSet> f(new FactorSet(std::move(area), std::move(set), path));
  f->header_ = h;
  f->perm_ = perm;
  f->structure_ = s;
  f->plan_ = plan;
  f->signs_.assign(static_cast<size_t>(h.n), 1);
  f->row_segment_.assign(static_cast<size_t>(s.nbk), -1);

  return f;
}

void FactorSet::describe() {
  std::vector<int32_t> m(meta::kWords, 0);
  m[meta::kMagicWord] = meta::kMagic;
  m[meta::kVersionWord] = meta::kVersion;
  m[meta::kOrder] = header_.n;
  m[meta::kBlockOrder] = header_.nb;
  m[meta::kFlags] =
      (header_.indefinite ? meta::kIndefinite : 0) | (header_.input_stored ? meta::kInputStored : 0);
  m[meta::kOrdering] = static_cast<int32_t>(header_.ordering);
  m[meta::kHashLow] = low(header_.input_hash);
  m[meta::kHashHigh] = high(header_.input_hash);
  m[meta::kMemoryLow] = low(static_cast<uint64_t>(header_.memory));
  m[meta::kMemoryHigh] = high(static_cast<uint64_t>(header_.memory));
  m[meta::kSegmentsMax] = header_.segments_max;
  m[meta::kEntriesLow] = low(static_cast<uint64_t>(header_.input_entries));
  m[meta::kEntriesHigh] = high(static_cast<uint64_t>(header_.input_entries));
  put_ints(set_, kMeta, kOne, m);
  put_ints(set_, kPerm, kOne, perm_);
  if (structure_.blocks() > INT32_MAX) throw std::runtime_error("the factor has more than 2^31 blocks");
  put_ints(set_, kBlockRows, kOne,
           std::vector<int32_t>(structure_.rowptr.begin(), structure_.rowptr.end()));
  put_ints(set_, kBlockCols, kOne, structure_.cols);
  std::vector<int32_t> p{static_cast<int32_t>(plan_.size())};
  for (const PanelPlan &q : plan_) {
    p.push_back(q.r0);
    p.push_back(q.r1);
    p.push_back(static_cast<int32_t>(q.chunk.size()));
    p.insert(p.end(), q.chunk.begin(), q.chunk.end());
  }
  put_ints(set_, kPlan, kOne, p);
  described_ = true;
}

std::unique_ptr<FactorSet> FactorSet::open(const std::string &path, int64_t area_words,
                                           int32_t ndesc) {
  // hmoldf takes the record length from the file; the one given here is not used.
  auto area = std::make_unique<ControlArea>(area_words, 2048, 1, ndesc);
  FileSet set = FileSet::open(*area, path);
  std::unique_ptr<FactorSet> f(new FactorSet(std::move(area), std::move(set), path));
  auto bad = [&](const std::string &why) {
    return FactorError(path + " is not a factor set this program can use: " + why);
  };
  if (Matrix::state(f->set_, kMeta, kOne) < 0) throw bad("it holds no description (META)");
  const std::vector<int32_t> m = get_ints(f->set_, kMeta, kOne);
  if (m.size() < meta::kWords || m[meta::kMagicWord] != meta::kMagic)
    throw bad("its description (META) is not one");
  if (m[meta::kVersionWord] != meta::kVersion)
    throw bad("it was written by another version (" + std::to_string(m[meta::kVersionWord]) + ")");
  FactorHeader &h = f->header_;
  h.n = m[meta::kOrder];
  h.nb = m[meta::kBlockOrder];
  h.indefinite = (m[meta::kFlags] & meta::kIndefinite) != 0;
  h.input_stored = (m[meta::kFlags] & meta::kInputStored) != 0;
  h.ordering = static_cast<Ordering>(m[meta::kOrdering]);
  h.input_hash = join(m[meta::kHashLow], m[meta::kHashHigh]);
  h.memory = static_cast<int64_t>(join(m[meta::kMemoryLow], m[meta::kMemoryHigh]));
  h.segments_max = m[meta::kSegmentsMax];
  h.input_entries = static_cast<int64_t>(join(m[meta::kEntriesLow], m[meta::kEntriesHigh]));
  if (h.n < 1 || h.nb < 1 || h.nb > kMaxBlockOrder || h.segments_max < 1 ||
      f->area_->record_length() < 0)
    throw bad("its description (META) holds impossible values");

  f->perm_ = get_ints(f->set_, kPerm, kOne);
  if (static_cast<int32_t>(f->perm_.size()) != h.n) throw bad("its numbering has the wrong length");
  {
    std::vector<char> seen(static_cast<size_t>(h.n), 0);
    for (int32_t v : f->perm_) {
      if (v < 0 || v >= h.n || seen[v]) throw bad("its numbering is not a permutation");
      seen[v] = 1;
    }
  }
  BlockStructure &s = f->structure_;
  s.n = h.n;
  s.nb = h.nb;
  s.nbk = static_cast<int32_t>((int64_t{h.n} + h.nb - 1) / h.nb);
  const std::vector<int32_t> rp = get_ints(f->set_, kBlockRows, kOne);
  s.rowptr.assign(rp.begin(), rp.end());
  s.cols = get_ints(f->set_, kBlockCols, kOne);
  if (static_cast<int32_t>(s.rowptr.size()) != s.nbk + 1 || s.rowptr[0] != 0 ||
      s.rowptr.back() != static_cast<int64_t>(s.cols.size()))
    throw bad("its block structure does not fit its order");
  for (int32_t I = 0; I < s.nbk; ++I) {
    if (s.rowptr[I + 1] <= s.rowptr[I] || s.cols[s.rowptr[I]] != I)
      throw bad("block row " + std::to_string(I) + " of its structure lacks its diagonal block");
    for (int64_t k = s.rowptr[I] + 1; k < s.rowptr[I + 1]; ++k)
      if (s.cols[k] <= s.cols[k - 1] || s.cols[k] >= s.nbk)
        throw bad("block row " + std::to_string(I) + " of its structure is out of order");
  }
  const std::vector<int32_t> p = get_ints(f->set_, kPlan, kOne);
  size_t at = 0;
  auto next = [&]() {
    if (at >= p.size()) throw bad("its plan is cut short");
    return p[at++];
  };
  const int32_t panels = next();
  int32_t expect = 0;
  for (int32_t k = 0; k < panels; ++k) {
    PanelPlan q;
    q.r0 = next();
    q.r1 = next();
    const int32_t nc = next();
    if (q.r0 != expect || q.r1 <= q.r0 || q.r1 > s.nbk || nc < 1)
      throw bad("its plan does not cover the block rows in order");
    for (int32_t c = 0; c < nc; ++c) q.chunk.push_back(next());
    expect = q.r1;
    f->plan_.push_back(std::move(q));
  }
  if (expect != s.nbk) throw bad("its plan does not cover every block row");

  // Segments, in order, each taking up where the last one ended.
  f->signs_.assign(static_cast<size_t>(h.n), 1);
  f->row_segment_.assign(static_cast<size_t>(s.nbk), -1);
  for (int32_t q = 1;; ++q) {
    const int32_t rec_state = Matrix::state(f->set_, kRecord, q);
    const int32_t seg_state = Matrix::state(f->set_, kSegment, q);
    if (rec_state < 0 && seg_state < 0) break;
    if (rec_state < 0 || seg_state < 0)
      throw bad("segment " + std::to_string(q) + " lacks its " + (rec_state < 0 ? "record" : "blocks"));
    const std::vector<int32_t> r = get_ints(f->set_, kRecord, q);
    SegmentRecord sr;
    if (r.size() < seg::kWords || r[seg::kMagicWord] != seg::kMagic || r[seg::kNumber] != q)
      throw bad("the record of segment " + std::to_string(q) + " is not one");
    sr.panel_begin = r[seg::kPanelBegin];
    sr.panel_end = r[seg::kPanelEnd];
    sr.row_begin = r[seg::kRowBegin];
    sr.row_end = r[seg::kRowEnd];
    sr.checksum = join(r[seg::kSumLow], r[seg::kSumHigh]);
    const int32_t prev_panel = f->panels_done(), prev_row = f->rows_done();
    if (sr.panel_begin != prev_panel || sr.panel_end <= sr.panel_begin ||
        sr.panel_end > panels || sr.row_begin != prev_row ||
        sr.row_begin != f->plan_[sr.panel_begin].r0 || sr.row_end != f->plan_[sr.panel_end - 1].r1)
      throw bad("segment " + std::to_string(q) + " does not follow the one before");
    const int64_t first = int64_t{sr.row_begin} * h.nb;
    const int64_t last = std::min<int64_t>(int64_t{sr.row_end} * h.nb, h.n);
    const int32_t nsigns = r[seg::kSignCount];
    if (nsigns != last - first ||
        r.size() < seg::kWords + static_cast<size_t>(nsigns) + TESSERA_CHOSKY_WORDS)
      throw bad("the record of segment " + std::to_string(q) + " is cut short");
    for (int32_t i = 0; i < nsigns; ++i) f->signs_[first + i] = r[seg::kWords + i] < 0 ? -1 : 1;
    sr.pivot_area.assign(r.begin() + seg::kWords + nsigns,
                         r.begin() + seg::kWords + nsigns + TESSERA_CHOSKY_WORDS);
    if (q > h.segments_max) throw bad("it holds more segments than its limit");
    f->segments_.push_back(std::move(sr));
  }
  f->described_ = true;
  f->complete_ = Matrix::state(f->set_, kDone, kOne) >= 0;
  if (f->complete_ && f->rows_done() != s.nbk)
    throw bad("it is marked complete but its segments end at block row " +
              std::to_string(f->rows_done()));
  f->open_segments();
  return f;
}

void FactorSet::open_segments() {
  readers_.clear();
  std::fill(row_segment_.begin(), row_segment_.end(), -1);
  for (size_t q = 0; q < segments_.size(); ++q) {
    readers_.push_back(Matrix::open(set_, kSegment, static_cast<int32_t>(q + 1), true));
    const Matrix &m = readers_.back();
    if (m.type() != TESSERA_TYPE_DOUBLE || m.form() != TESSERA_FORM_UPPER || m.rows() != header_.n ||
        m.cols() != header_.n)
      throw FactorError(path_ + ": segment " + std::to_string(q + 1) + " is not a factor of order " +
                        std::to_string(header_.n));
    for (int32_t I = segments_[q].row_begin; I < segments_[q].row_end; ++I)
      row_segment_[I] = static_cast<int32_t>(q);
  }
  if (header_.input_stored && Matrix::state(set_, kInput, kOne) >= 0) {
    input_ = Matrix::open(set_, kInput, kOne, true);
    if (input_.type() != TESSERA_TYPE_DOUBLE || input_.form() != TESSERA_FORM_SYMMETRIC ||
        input_.rows() != header_.n || input_.cols() != header_.n)
      throw FactorError(path_ + ": its matrix A is not a symmetric matrix of order " +
                        std::to_string(header_.n));
  }
}

Matrix &FactorSet::create_input(int32_t n) {
  input_ = Matrix::create(set_, kInput, kOne, TESSERA_TYPE_DOUBLE, TESSERA_FORM_SYMMETRIC, n, n);
  return input_;
}

Matrix &FactorSet::rows_of(int32_t I) {
  const int32_t q = row_segment_.at(I);
  if (q == kWriting) return writer_;
  if (q < 0) throw std::logic_error("block row " + std::to_string(I) + " is not factorised yet");
  return readers_[q];
}

void FactorSet::rows_written(int32_t r0, int32_t r1) {
  for (int32_t I = r0; I < r1; ++I) row_segment_.at(I) = kWriting;
}

Matrix &FactorSet::current() { return writer_; }

void FactorSet::release_all() {
  writer_.release();
  for (Matrix &m : readers_) m.release();
  readers_.clear();
  input_.release();
}

void FactorSet::checkpoint(const SegmentRecord *segment, bool done) {
  if (!described_) describe();
  if (segment != nullptr) {
    const int32_t q = static_cast<int32_t>(segments_.size()) + 1;
    writer_.release();
    const int64_t first = int64_t{segment->row_begin} * header_.nb;
    const int64_t last = std::min<int64_t>(int64_t{segment->row_end} * header_.nb, header_.n);
    std::vector<int32_t> r(seg::kWords, 0);
    r[seg::kMagicWord] = seg::kMagic;
    r[seg::kNumber] = q;
    r[seg::kPanelBegin] = segment->panel_begin;
    r[seg::kPanelEnd] = segment->panel_end;
    r[seg::kRowBegin] = segment->row_begin;
    r[seg::kRowEnd] = segment->row_end;
    r[seg::kSumLow] = low(segment->checksum);
    r[seg::kSumHigh] = high(segment->checksum);
    r[seg::kSignCount] = static_cast<int32_t>(last - first);
    for (int64_t i = first; i < last; ++i) r.push_back(signs_[i]);
    std::vector<int32_t> pivots = segment->pivot_area;
    pivots.resize(TESSERA_CHOSKY_WORDS, 0);
    r.insert(r.end(), pivots.begin(), pivots.end());
    put_ints(set_, kRecord, q, r);
    segments_.push_back(*segment);
  }
  if (done) put_ints(set_, kDone, kOne, {kDoneMagic, static_cast<int32_t>(segments_.size())});
  release_all();
  set_.remove();
  set_.sync();
  set_ = FileSet::open(*area_, path_);
  complete_ = done;
  open_segments();
  if (!done) start_segment();
}

void FactorSet::seal(const SegmentRecord &segment) {
  segments_.push_back(segment);
  complete_ = true;
}

void FactorSet::start_segment() {
  if (writer_.is_open()) return;
  writer_ = Matrix::create(set_, kSegment, static_cast<int32_t>(segments_.size()) + 1,
                           TESSERA_TYPE_DOUBLE, TESSERA_FORM_UPPER, header_.n, header_.n);
}

void FactorSet::verify() {
  const BlockStructure &s = structure_;
  const int32_t nb = s.nb;
  std::vector<double> row;
  for (size_t q = 0; q < segments_.size(); ++q) {
    uint64_t sum = 0;
    for (int32_t I = segments_[q].row_begin; I < segments_[q].row_end; ++I) {
      const int32_t b = s.size(I);
      row.assign(static_cast<size_t>(b) * nb * s.count(I), 0.0);
      // Runs of consecutive blocks in one read each.
      const int32_t *cols = s.begin(I);
      const int32_t count = s.count(I);
      for (int32_t k = 0; k < count;) {
        int32_t e = k + 1;
        while (e < count && cols[e] == cols[e - 1] + 1) ++e;
        const int32_t j0 = cols[k] * nb;
        const int32_t width = std::min<int64_t>(int64_t{cols[e - 1] + 1} * nb, s.n) - j0;
        rows_of(I).get(I * nb, b, j0, width, row.data() + int64_t{k} * nb * b, b);
        k = e;
      }
      for (int32_t k = 0; k < count; ++k)
        sum += block_checksum(row.data() + int64_t{k} * nb * b, b, b, s.size(cols[k]), k == 0,
                              I, cols[k]);
    }
    if (sum != segments_[q].checksum)
      throw FactorError(path_ + ": the blocks of segment " + std::to_string(q + 1) +
                        " do not match their checksum: the file was changed or damaged");
  }
}

void FactorSet::close_keep() noexcept { set_.abandon(); }

void FactorSet::close_remove() {
  // Nothing more is written (a failed write may be why the set goes): the
  // file is closed as it is and deleted.
  const bool was_open = set_.is_open();
  set_.abandon();
  if (was_open || std::filesystem::exists(path_)) std::filesystem::remove(path_);
}

}  // namespace tessera::solve
