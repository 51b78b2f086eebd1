// The out-of-core factorisation (factor.h).
//
// Numbering inside a tile: the panel's block row I is tile rows from
// (I - r0) nb; the square's block column J is tile columns from (J - r0) nb;
// a chunk's k-th block column is tile columns from k nb. Only the last block
// of the matrix is shorter than nb, and it comes last wherever it appears,
// so these offsets hold for it too.
#include "factor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "blas.h"
#include "pages.h"

namespace tessera::solve {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Adds the time of a scope to a total.
class Timed {
 public:
  explicit Timed(double &total) : total_(total), start_(Clock::now()) {}
  ~Timed() { total_ += since(start_); }

 private:
  double &total_;
  Clock::time_point start_;
};

// Calls f(k, e) for each run [k, e) of consecutive values in v[0..n).
template <class F>
void for_runs(const int32_t *v, int32_t n, F f) {
  for (int32_t k = 0; k < n;) {
    int32_t e = k + 1;
    while (e < n && v[e] == v[e - 1] + 1) ++e;
    f(k, e);
    k = e;
  }
}

// The stop request, raised between tiles.
struct Stopped {};

// One earlier block row's part in a tile: its blocks in the panel's rows
// (rq, a piece of its structure) and in the tile's columns (cq).
struct SourcePart {
  int32_t q = 0;
  const int32_t *rq = nullptr, *rq_end = nullptr;
  std::vector<int32_t> cq;

  int32_t rq_count() const { return static_cast<int32_t>(rq_end - rq); }
  bool same_pattern(const SourcePart &o) const {
    return std::equal(rq, rq_end, o.rq, o.rq_end) && cq == o.cq;
  }
};

class Engine {
 public:
  Engine(FactorSet &f, MatrixSource &a, const FactorSettings &settings, double total)
      : f_(f), a_(a), settings_(settings), s_(f.structure()), nb_(s_.nb),
        kt_(std::max(nb_, settings.stack_rows / nb_ * nb_)), total_(total),
        square_(nb_), position_(static_cast<size_t>(s_.nbk), -1) {
    columns_ = column_lists(s_);
    // One arena for the tiles of the largest panel; each panel lays its
    // square, chunk and stacks out from its start.
    int64_t most = 0;
    for (const PanelPlan &p : f.plan()) {
      const std::vector<int32_t> cols = panel_columns(s_, p);
      most = std::max(most, panel_doubles(rows(p.r0, p.r1), widest_chunk(p, cols),
                                          settings.stack_rows, settings.indefinite, nb_));
    }
    arena_.reset(static_cast<size_t>(most) * sizeof(double));
  }

  FactorStats run();

 private:
  int64_t rows(int32_t r0, int32_t r1) const {
    return std::min<int64_t>(int64_t{r1} * nb_, s_.n) - int64_t{r0} * nb_;
  }
  int64_t width(const int32_t *cols, int32_t n) const {
    int64_t w = 0;
    for (int32_t k = 0; k < n; ++k) w += s_.size(cols[k]);
    return w;
  }
  int64_t widest_chunk(const PanelPlan &p, const std::vector<int32_t> &cols) const {
    int64_t w = 0;
    for (size_t c = 0; c + 1 < p.chunk.size(); ++c)
      w = std::max<int64_t>(w, width(cols.data() + p.chunk[c], p.chunk[c + 1] - p.chunk[c]));
    return w;
  }
  // The tiles of a panel of h rows whose widest chunk is w wide, in the arena
  // (the order panel_doubles counts them in).
  void lay_out(int64_t h, int64_t w) {
    double *a = static_cast<double *>(arena_.data());
    diag_ = a;
    chunk_ = diag_ + h * h;
    stack_ = chunk_ + h * w;
    signed_ = stack_ + int64_t{kt_} * (h + std::max(w, h));
  }
  void poll() {
    if (settings_.stop && settings_.stop()) throw Stopped{};
  }
  void report() {
    if (!settings_.progress) return;
    const double rate = stats_.flops / std::max(1e-9, since(start_)) * 1e-9;
    settings_.progress->update(std::min(0.999, (before_ + stats_.flops) / total_), rate);
  }

  void panel(int32_t p);
  void update_square(const SourcePart &sp, int32_t count, int64_t ks, int64_t rq_width,
                     int32_t r0, int64_t h);
  void update_chunk(const SourcePart &sp, int32_t count, int64_t ks, int64_t rq_width, int32_t r0,
                    int64_t h);
  void begin_chunk(const PanelPlan &pp, const std::vector<int32_t> &cols, size_t c,
                   std::vector<SourcePart> &parts, int64_t h);
  void end_chunk(const PanelPlan &pp, const std::vector<int32_t> &cols, size_t c, int64_t h,
                 const int8_t *panel_sign, bool panel_negative);
  template <class F>
  void for_stacks(std::vector<SourcePart> &parts, bool skip_empty, F f);
  std::vector<int32_t> sources(int32_t r0, int32_t r1);
  void read_stack(const SourcePart *parts, int32_t count, int64_t ks, double *s, int64_t rq_width);
  void get(int32_t I, int32_t J0, int32_t width, double *dst, int64_t ld);
  void put_row(int32_t I, const int32_t *cols, int32_t n, const double *tile, int64_t ld,
               int64_t row_off, const std::function<int64_t(int32_t)> &col_off);
  const int8_t *stack_signs(const SourcePart *parts, int32_t count);

  FactorSet &f_;
  MatrixSource &a_;
  const FactorSettings &settings_;
  const BlockStructure &s_;
  const int32_t nb_, kt_;
  const double total_;
  double before_ = 0;  // flops of the panels done in earlier sessions
  ColumnLists columns_;
  SquareFactor square_;
  std::vector<int32_t> position_;  // block column -> position in the current chunk, or -1
  Pages arena_;
  double *diag_ = nullptr, *chunk_ = nullptr, *stack_ = nullptr, *signed_ = nullptr;
  std::vector<int8_t> stack_sign_;
  FactorStats stats_;
  Clock::time_point start_;
  uint64_t checksum_ = 0;
};

std::vector<int32_t> Engine::sources(int32_t r0, int32_t r1) {
  std::vector<int32_t> q;
  for (int32_t J = r0; J < r1; ++J)
    q.insert(q.end(), columns_.rows.begin() + columns_.ptr[J],
             columns_.rows.begin() + columns_.ptr[J + 1]);
  std::sort(q.begin(), q.end());
  q.erase(std::unique(q.begin(), q.end()), q.end());
  // Rows inside the panel come from the panel itself.
  q.erase(std::lower_bound(q.begin(), q.end(), r0), q.end());
  return q;
}

void Engine::get(int32_t I, int32_t J0, int32_t width, double *dst, int64_t ld) {
  Timed t(stats_.io_seconds);
  f_.rows_of(I).get(I * nb_, nb_, J0 * nb_, width, dst, static_cast<int32_t>(ld));
  stats_.bytes_read += int64_t{8} * nb_ * width;
}

void Engine::read_stack(const SourcePart *parts, int32_t count, int64_t ks, double *s,
                        int64_t rq_width) {
  for (int32_t q = 0; q < count; ++q) {
    const SourcePart &sp = parts[q];
    double *rows = s + int64_t{q} * nb_;
    for_runs(sp.rq, sp.rq_count(), [&](int32_t k, int32_t e) {
      get(sp.q, sp.rq[k], static_cast<int32_t>(width(sp.rq + k, e - k)), rows + int64_t{k} * nb_ * ks, ks);
    });
    const int32_t nc = static_cast<int32_t>(sp.cq.size());
    for_runs(sp.cq.data(), nc, [&](int32_t k, int32_t e) {
      get(sp.q, sp.cq[k], static_cast<int32_t>(width(sp.cq.data() + k, e - k)),
          rows + (rq_width + int64_t{k} * nb_) * ks, ks);
    });
  }
}

const int8_t *Engine::stack_signs(const SourcePart *parts, int32_t count) {
  stack_sign_.resize(static_cast<size_t>(count) * nb_);
  for (int32_t q = 0; q < count; ++q)
    std::copy_n(f_.signs().data() + int64_t{parts[q].q} * nb_, nb_,
                stack_sign_.data() + int64_t{q} * nb_);
  return stack_sign_.data();
}

void Engine::put_row(int32_t I, const int32_t *cols, int32_t n, const double *tile, int64_t ld,
                     int64_t row_off, const std::function<int64_t(int32_t)> &col_off) {
  const int32_t b = s_.size(I);
  for_runs(cols, n, [&](int32_t k, int32_t e) {
    const double *src = tile + row_off + col_off(cols[k]) * ld;
    const int32_t w = static_cast<int32_t>(width(cols + k, e - k));
    {
      Timed t(stats_.io_seconds);
      f_.current().put(I * nb_, b, cols[k] * nb_, w, src, static_cast<int32_t>(ld));
    }
    stats_.bytes_written += int64_t{8} * b * w;
    for (int32_t c = k; c < e; ++c)
      checksum_ += block_checksum(tile + row_off + col_off(cols[c]) * ld, ld, b, s_.size(cols[c]),
                                  cols[c] == I, I, cols[c]);
  });
}

// The square's update from a stack of count source rows already read: pairs
// of runs of the sources' blocks in the panel's rows, the row run not after
// the column run. With negative signs among the rows, the left factor is a
// signed copy.
void Engine::update_square(const SourcePart &sp, int32_t count, int64_t ks, int64_t rq_width,
                           int32_t r0, int64_t h) {
  double *s = stack_, *t = diag_;
  const int8_t *sign = stack_signs(&sp, count);
  const bool negative =
      settings_.indefinite && std::any_of(sign, sign + ks, [](int8_t v) { return v < 0; });
  const double *left = s;
  if (negative) {
    std::copy_n(s, ks * rq_width, signed_);
    scale_rows(signed_, ks, static_cast<int32_t>(ks), static_cast<int32_t>(rq_width), sign);
    left = signed_;
  }
  Timed tb(stats_.blas_seconds);
  const int32_t nrq = sp.rq_count();
  for_runs(sp.rq, nrq, [&](int32_t ka, int32_t ea) {
    const int64_t rows_a = width(sp.rq + ka, ea - ka);
    const int64_t row_off = int64_t{sp.rq[ka] - r0} * nb_;
    for_runs(sp.rq, nrq, [&](int32_t kb, int32_t eb) {
      if (kb < ka) return;
      const int64_t cols_b = width(sp.rq + kb, eb - kb);
      double *c = t + row_off + int64_t{sp.rq[kb] - r0} * nb_ * h;
      if (kb == ka && !negative) {
        blas::syrk_upper_minus(static_cast<int>(rows_a), static_cast<int>(ks),
                               s + int64_t{ka} * nb_ * ks, static_cast<int>(ks), c,
                               static_cast<int>(h));
        stats_.flops += double(rows_a) * (rows_a + 1) * ks;
      } else if (kb == ka) {
        // Block column by block column, down to the diagonal.
        for (int32_t k = kb; k < eb; ++k) {
          const int64_t m = int64_t{k - ka} * nb_ + s_.size(sp.rq[k]);
          blas::gemm('T', 'N', static_cast<int>(m), s_.size(sp.rq[k]), static_cast<int>(ks), -1.0,
                     left + int64_t{ka} * nb_ * ks, static_cast<int>(ks),
                     s + int64_t{k} * nb_ * ks, static_cast<int>(ks), 1.0,
                     t + row_off + int64_t{sp.rq[k] - r0} * nb_ * h, static_cast<int>(h));
          stats_.flops += 2.0 * m * s_.size(sp.rq[k]) * ks;
        }
      } else {
        blas::gemm('T', 'N', static_cast<int>(rows_a), static_cast<int>(cols_b),
                   static_cast<int>(ks), -1.0, left + int64_t{ka} * nb_ * ks,
                   static_cast<int>(ks), s + int64_t{kb} * nb_ * ks, static_cast<int>(ks), 1.0, c,
                   static_cast<int>(h));
        stats_.flops += 2.0 * rows_a * cols_b * ks;
      }
    });
  });
}

// The current chunk's update from a stack already read (its blocks in the
// chunk's columns follow those in the panel's rows). The right factor's rows
// take their signs in place.
void Engine::update_chunk(const SourcePart &sp, int32_t count, int64_t ks, int64_t rq_width,
                          int32_t r0, int64_t h) {
  double *s = stack_, *t = chunk_;
  const int32_t ncq = static_cast<int32_t>(sp.cq.size());
  double *right = s + rq_width * ks;
  if (settings_.indefinite) {
    const int8_t *sign = stack_signs(&sp, count);
    if (std::any_of(sign, sign + ks, [](int8_t v) { return v < 0; }))
      scale_rows(right, ks, static_cast<int32_t>(ks),
                 static_cast<int32_t>(width(sp.cq.data(), ncq)), sign);
  }
  Timed tb(stats_.blas_seconds);
  for_runs(sp.rq, sp.rq_count(), [&](int32_t ka, int32_t ea) {
    const int64_t rows_a = width(sp.rq + ka, ea - ka);
    const int64_t row_off = int64_t{sp.rq[ka] - r0} * nb_;
    // Runs of consecutive tile positions among the source's columns.
    for (int32_t kb = 0; kb < ncq;) {
      int32_t eb = kb + 1;
      while (eb < ncq && position_[sp.cq[eb]] == position_[sp.cq[eb - 1]] + 1) ++eb;
      const int64_t cols_b = width(sp.cq.data() + kb, eb - kb);
      blas::gemm('T', 'N', static_cast<int>(rows_a), static_cast<int>(cols_b),
                 static_cast<int>(ks), -1.0, s + int64_t{ka} * nb_ * ks, static_cast<int>(ks),
                 right + int64_t{kb} * nb_ * ks, static_cast<int>(ks), 1.0,
                 t + row_off + int64_t{position_[sp.cq[kb]]} * nb_ * h, static_cast<int>(h));
      stats_.flops += 2.0 * rows_a * cols_b * ks;
      kb = eb;
    }
  });
}

// Chunk c: its columns' positions marked, its tile filled with A's entries,
// and each source's blocks in its columns found.
void Engine::begin_chunk(const PanelPlan &pp, const std::vector<int32_t> &cols, size_t c,
                         std::vector<SourcePart> &parts, int64_t h) {
  const int32_t *ccols = cols.data() + pp.chunk[c];
  const int32_t ncols = pp.chunk[c + 1] - pp.chunk[c];
  const int64_t w = width(ccols, ncols);
  for (int32_t k = 0; k < ncols; ++k) position_[ccols[k]] = k;
  if (!a_.fills_all()) std::fill_n(chunk_, h * w, 0.0);
  {
    Timed tm(stats_.fill_seconds);
    a_.fill(nb_, pp.r0, pp.r1, ccols, ncols, chunk_, h);
  }
  const int32_t lo = ccols[0], hi = ccols[ncols - 1];
  for (SourcePart &sp : parts) {
    sp.cq.clear();
    for (const int32_t *x = std::lower_bound(sp.rq_end, s_.end(sp.q), lo);
         x != s_.end(sp.q) && *x <= hi; ++x)
      if (position_[*x] >= 0) sp.cq.push_back(*x);
  }
}

// Chunk c, updated: solved with the square's factor, its blocks written, its
// columns' positions cleared.
void Engine::end_chunk(const PanelPlan &pp, const std::vector<int32_t> &cols, size_t c, int64_t h,
                       const int8_t *panel_sign, bool panel_negative) {
  const int32_t *ccols = cols.data() + pp.chunk[c];
  const int32_t ncols = pp.chunk[c + 1] - pp.chunk[c];
  const int64_t w = width(ccols, ncols);
  const int32_t hi = static_cast<int32_t>(h);
  {
    // With U_pp^T S_p the panel's lower triangular factor: chunk := S_p U_pp^-T chunk.
    Timed tb(stats_.blas_seconds);
    blas::trsm_upper_transposed(hi, static_cast<int>(w), diag_, hi, chunk_, hi);
    if (panel_negative) scale_rows(chunk_, h, hi, static_cast<int32_t>(w), panel_sign);
    stats_.flops += double(h) * h * w;
  }
  const int32_t lo = ccols[0], last = ccols[ncols - 1];
  std::vector<int32_t> mine;
  for (int32_t I = pp.r0; I < pp.r1; ++I) {
    const int32_t *b = std::lower_bound(s_.begin(I), s_.end(I), lo);
    const int32_t *e = std::upper_bound(b, s_.end(I), last);
    mine.clear();
    for (const int32_t *x = b; x != e; ++x)
      if (position_[*x] >= 0) mine.push_back(*x);
    put_row(I, mine.data(), static_cast<int32_t>(mine.size()), chunk_, h,
            int64_t{I - pp.r0} * nb_, [&](int32_t J) { return int64_t{position_[J]} * nb_; });
  }
  for (int32_t k = 0; k < ncols; ++k) position_[ccols[k]] = -1;
}

// Runs over the stacks of sources with one pattern, at most kt_ rows each
// (sources without a block in the tile left out when skip_empty): calls
// f(first part, count, stacked rows, width of the panel-row blocks) after
// reading each.
template <class F>
void Engine::for_stacks(std::vector<SourcePart> &parts, bool skip_empty, F f) {
  for (size_t i = 0; i < parts.size();) {
    if (skip_empty && parts[i].cq.empty()) {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < parts.size() && parts[j].same_pattern(parts[i]) &&
           static_cast<int64_t>(j - i + 1) * nb_ <= kt_)
      ++j;
    const int32_t count = static_cast<int32_t>(j - i);
    const int64_t ks = int64_t{count} * nb_;
    const int64_t rq_width = width(parts[i].rq, parts[i].rq_count());
    read_stack(&parts[i], count, ks, stack_, rq_width);
    f(parts[i], count, ks, rq_width);
    i = j;
  }
}

void Engine::panel(int32_t p) {
  const PanelPlan &pp = f_.plan()[p];
  const int32_t r0 = pp.r0, r1 = pp.r1;
  const int64_t h = rows(r0, r1);
  const int32_t hi = static_cast<int32_t>(h);
  const std::vector<int32_t> cols = panel_columns(s_, pp);
  lay_out(h, widest_chunk(pp, cols));
  const std::vector<int32_t> q_list = sources(r0, r1);
  int8_t *panel_sign = f_.signs().data() + int64_t{r0} * nb_;
  const size_t chunks = pp.chunk.size() - 1;
  // A panel of one chunk takes each source's blocks once for its square and
  // its chunk together; with several chunks, each chunk reads them again.
  const bool together = chunks == 1;

  // Each source's blocks in the panel's rows.
  std::vector<SourcePart> parts(q_list.size());
  for (size_t i = 0; i < q_list.size(); ++i) {
    SourcePart &sp = parts[i];
    sp.q = q_list[i];
    sp.rq = std::lower_bound(s_.begin(sp.q), s_.end(sp.q), r0);
    sp.rq_end = std::lower_bound(sp.rq, s_.end(sp.q), r1);
  }

  // The square (and the chunk with it).
  if (!a_.fills_all()) std::fill_n(diag_, h * h, 0.0);
  {
    std::vector<int32_t> square(static_cast<size_t>(r1 - r0));
    for (int32_t J = r0; J < r1; ++J) square[J - r0] = J;
    Timed tm(stats_.fill_seconds);
    a_.fill(nb_, r0, r1, square.data(), r1 - r0, diag_, h);
  }
  if (together) begin_chunk(pp, cols, 0, parts, h);
  for_stacks(parts, false, [&](const SourcePart &sp, int32_t count, int64_t ks, int64_t rq_width) {
    update_square(sp, count, ks, rq_width, r0, h);
    if (together && !sp.cq.empty()) update_chunk(sp, count, ks, rq_width, r0, h);
  });
  {
    Timed tb(stats_.blas_seconds);
    const double before = square_.flops();
    PivotRefusal refusal;
    if (!square_.factor(diag_, h, hi, int64_t{r0} * nb_, settings_.indefinite, panel_sign,
                        &refusal))
      throw PivotError("pivot refused", refusal);
    stats_.flops += square_.flops() - before;
  }
  for (int32_t I = r0; I < r1; ++I) {
    const int32_t *b = s_.begin(I), *e = std::lower_bound(b, s_.end(I), r1);
    put_row(I, b, static_cast<int32_t>(e - b), diag_, h, int64_t{I - r0} * nb_,
            [&](int32_t J) { return int64_t{J - r0} * nb_; });
  }
  report();
  const bool panel_negative = settings_.indefinite &&
                              std::any_of(panel_sign, panel_sign + h, [](int8_t v) { return v < 0; });

  // The chunks.
  for (size_t c = 0; c < chunks; ++c) {
    poll();
    if (!together) {
      begin_chunk(pp, cols, c, parts, h);
      for_stacks(parts, true, [&](const SourcePart &sp, int32_t count, int64_t ks, int64_t rq_width) {
        update_chunk(sp, count, ks, rq_width, r0, h);
      });
    }
    end_chunk(pp, cols, c, h, panel_sign, panel_negative);
    report();
  }
}

FactorStats Engine::run() {
  start_ = Clock::now();
  const std::vector<PanelPlan> &plan = f_.plan();
  const int32_t np = static_cast<int32_t>(plan.size());
  const int32_t first = f_.panels_done();
  // Work already done, for the progress: the predicted share of its rows.
  before_ = predict_rows(s_, 0, f_.rows_done());
  if (first >= np) return stats_;
  f_.start_segment();
  SegmentRecord seg;
  seg.panel_begin = seg.panel_end = first;
  seg.row_begin = seg.row_end = plan[first].r0;
  checksum_ = 0;
  double since_checkpoint = 0;
  const double share = total_ / std::max(1, settings_.checkpoints);
  auto checkpoint = [&](bool done) {
    Timed t(stats_.io_seconds);
    seg.checksum = checksum_;
    if (settings_.areas) seg.pivot_area = settings_.areas->pivot_area();
    f_.checkpoint(&seg, done);
    ++stats_.checkpoints;
    seg = SegmentRecord{};
    seg.panel_begin = seg.panel_end = f_.panels_done();
    seg.row_begin = seg.row_end = f_.rows_done();
    checksum_ = 0;
    since_checkpoint = 0;
  };
  try {
    for (int32_t p = first; p < np; ++p) {
      poll();
      const double before = stats_.flops;
      panel(p);
      f_.rows_written(plan[p].r0, plan[p].r1);
      seg.panel_end = p + 1;
      seg.row_end = plan[p].r1;
      ++stats_.panels;
      since_checkpoint += stats_.flops - before;
      const int32_t segments = static_cast<int32_t>(f_.segments().size());
      if (settings_.durable && p + 1 < np && since_checkpoint >= share &&
          segments + 2 <= f_.header().segments_max)
        checkpoint(false);
    }
    if (settings_.durable) {
      checkpoint(true);
    } else {
      seg.checksum = checksum_;
      f_.seal(seg);
    }
  } catch (const Stopped &) {
    stats_.stopped = true;
    // The panels finished since the last checkpoint are kept; a panel cut
    // short left blocks in the segment that its record does not claim.
    if (settings_.durable && seg.panel_end > seg.panel_begin) checkpoint(false);
  }
  stats_.seconds = since(start_);
  return stats_;
}

}  // namespace

int64_t panel_doubles(int64_t h, int64_t w, int32_t stack_rows, bool indefinite, int32_t nb) {
  const int64_t kt = std::max<int64_t>(nb, stack_rows / nb * nb);
  // The square, the widest chunk, the stacked rows (and their signed copy),
  // crudr's three blocks and, with signs, the square's signed update work.
  return h * h + h * w + kt * (h + std::max(w, h)) * (indefinite ? 2 : 1) + 3LL * nb * nb +
         (indefinite ? 256 * h : 0);
}

std::vector<int32_t> panel_columns(const BlockStructure &s, const PanelPlan &p) {
  std::vector<int32_t> cols;
  for (int32_t I = p.r0; I < p.r1; ++I)
    for (const int32_t *x = std::lower_bound(s.begin(I), s.end(I), p.r1); x != s.end(I); ++x)
      cols.push_back(*x);
  std::sort(cols.begin(), cols.end());
  cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
  return cols;
}

std::vector<PanelPlan> plan_panels(const BlockStructure &s, int64_t budget, int32_t stack_rows,
                                   bool indefinite) {
  const int32_t nb = s.nb;
  auto fits = [&](int64_t h, int64_t w) {
    return panel_doubles(h, w, stack_rows, indefinite, nb) <= budget;
  };
  auto rows = [&](int32_t r0, int32_t r1) {
    return std::min<int64_t>(int64_t{r1} * nb, s.n) - int64_t{r0} * nb;
  };
  auto width = [&](const std::vector<int32_t> &c, size_t b, size_t e) {
    int64_t w = 0;
    for (size_t k = b; k < e; ++k) w += s.size(c[k]);
    return w;
  };
  std::vector<PanelPlan> plan;
  std::vector<int32_t> cols, merged;
  for (int32_t r0 = 0; r0 < s.nbk;) {
    cols.assign(s.begin(r0) + 1, s.end(r0));
    int64_t stored = s.count(r0);
    if (!fits(rows(r0, r0 + 1), std::min<int64_t>(width(cols, 0, cols.size()), nb)))
      throw std::length_error("the memory allowed does not hold the tiles of one block row");
    int32_t r1 = r0 + 1;
    for (; r1 < s.nbk; ++r1) {
      merged.clear();
      std::set_union(cols.begin(), cols.end(), s.begin(r1) + 1, s.end(r1), std::back_inserter(merged));
      merged.erase(std::remove(merged.begin(), merged.end(), r1), merged.end());
      const int64_t nrows = r1 - r0 + 1;
      // Blocks the tiles carry (the square's upper triangle and every row
      // across the columns) against those the rows hold.
      const int64_t carried = nrows * (nrows + 1) / 2 + nrows * static_cast<int64_t>(merged.size());
      const int64_t holds = stored + s.count(r1);
      if (carried * 4 > holds * 5 + 4 * nrows) break;
      const int64_t h = rows(r0, r1 + 1);
      // Square tiles: a chunk as wide as the panel is high, or all that is left.
      if (!fits(h, std::min(width(merged, 0, merged.size()), h))) break;
      cols.swap(merged);
      stored = holds;
    }
    PanelPlan p;
    p.r0 = r0;
    p.r1 = r1;
    // Chunks as wide as the memory left allows (at least as wide as the
    // panel is high, which panel_doubles counts the stacked rows for), whole
    // blocks, at least one.
    const int64_t h = rows(r0, r1);
    const int64_t f = indefinite ? 2 : 1;
    const int64_t kt = std::max<int64_t>(nb, stack_rows / nb * nb);
    const int64_t room = budget - h * h - f * kt * h - 4LL * nb * nb;
    const int64_t wmax = std::max<int64_t>(nb, std::max<int64_t>(room / (h + f * kt), h) / nb * nb);
    p.chunk.push_back(0);
    int64_t w = 0;
    for (size_t k = 0; k < cols.size(); ++k) {
      const int64_t bw = s.size(cols[k]);
      if (w > 0 && w + bw > wmax) {
        p.chunk.push_back(static_cast<int32_t>(k));
        w = 0;
      }
      w += bw;
    }
    p.chunk.push_back(static_cast<int32_t>(cols.size()));
    if (cols.empty()) p.chunk = {0};
    plan.push_back(std::move(p));
    r0 = r1;
  }
  return plan;
}

FactorStats factorise(FactorSet &f, MatrixSource &a, const FactorSettings &settings,
                      double total_flops) {
  Engine e(f, a, settings, std::max(total_flops, 1.0));
  return e.run();
}

}  // namespace tessera::solve
