// A whole solve (solver.h).
//
// Memory. The limit covers what the solve holds: the matrix (a sparse lower
// triangle), the vectors, the ordering's work, the factor's structure, the
// control area (its buffer pool caches blocks) and the tiles of the
// factorisation. The matrix and vectors are counted first; what is left goes
// mostly to the tiles, a share to the buffer pool.
#include "solver.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>

#include "blas.h"
#include "dense_factor.h"
#include "factor.h"
#include "factor_set.h"
#include "generate.h"
#include "matrix_market.h"
#include "recstore.h"
#include "source.h"
#include "store.h"
#include "symbolic.h"
#include "tessera_sizing.h"
#include "triangular.h"

namespace tessera::solve {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kEps = std::numeric_limits<double>::epsilon();
// Segments a factorisation aims at and may have at most, and the matrix
// slots besides them (the segment being written, the matrix kept in the set,
// one for the set's description).
constexpr int32_t kSegmentsMax = 12;
constexpr int32_t kSegmentsTight = 4;
constexpr int32_t kExtraSlots = 4;
// The substitution reads block rows in pieces of at most this.
constexpr int64_t kSubstitutionBytes = int64_t{8} << 20;
// Source rows stacked into one product.
constexpr int32_t kStackRows = 256;
// Block orders the symbolic step weighs.
constexpr int32_t kSparseOrders[] = {12, 16, 24, 32, 48, 64, 96, 128, 192, 256};
constexpr int32_t kDenseOrders[] = {256, 192, 128, 96, 64, 48, 32, 24, 16};
// A matrix kept in a file set is read into memory as a sparse matrix when at
// most this share of it is non-zero.
constexpr double kSparseShare = 0.1;

class NullProgress : public Progress {};

// The record length of a set's first file (the record-file service keeps it
// in the file), 0 when the file cannot be opened. The file is opened and
// closed as the library itself does (mode 5; one file, kept).
int32_t stored_record_length(const std::string &path) {
  int32_t handle = 0, records = 0, spare = 0, L = 0, mode = 5, one = 1, keep = 1;
  if (DAF_file_open(&handle, path.c_str(), &mode, &records, &spare, &L) != 0) return 0;
  DAF_file_close(&handle, path.c_str(), &one, &keep);
  return L;
}

uint64_t hash_sparse(const SparseSym &a) {
  XXH3_state_t *st = XXH3_createState();
  XXH3_64bits_reset(st);
  XXH3_64bits_update(st, &a.n, sizeof a.n);
  XXH3_64bits_update(st, a.colptr.data(), a.colptr.size() * sizeof(int64_t));
  XXH3_64bits_update(st, a.rowind.data(), a.rowind.size() * sizeof(int32_t));
  XXH3_64bits_update(st, a.values.data(), a.values.size() * sizeof(double));
  const uint64_t h = XXH3_64bits_digest(st);
  XXH3_freeState(st);
  return h;
}

int64_t sparse_bytes(const SparseSym &a) {
  return static_cast<int64_t>(a.colptr.size() * 8 + a.rowind.size() * 4 + a.values.size() * 8);
}

// The refusals of the library, by what the user can do about them.
SolveError from_library(const LibraryError &e, const std::string &file) {
  switch (e.status()) {
    case TESSERA_STATUS_FILE_CREATE_OPEN:
    case TESSERA_STATUS_FILE_EXTEND:
    case TESSERA_STATUS_RECORD_WRITE: {
      std::string msg = e.what();
      const int64_t free = free_disk_bytes(file);
      if (free >= 0)
        msg += "; " + std::to_string(static_cast<int64_t>(free / kMiB)) +
               " MB are free beside " + file;
      return SolveError(Failure::disk, msg);
    }
    case TESSERA_STATUS_RECORD_READ: return SolveError(Failure::factor_set, e.what());
    case TESSERA_STATUS_AREA_TOO_SMALL:
    case TESSERA_STATUS_POOL_TOO_SMALL: return SolveError(Failure::memory, e.what());
    default: return SolveError(Failure::library, e.what());
  }
}

// Time of a factorisation at block order nb with a given structure: its
// arithmetic at a rate that grows with the block order (the blocked products
// on one core of the development machine reach about 36 GFLOP/s x nb /
// (nb + 8)), and the library's work for each block written and read back
// about twice (3 us and a copy at 4 GB/s each time). Measured on one core on
// elasticity3d:20, laplace3d:36 and laplace2d:300 at every block order from 12
// to 64, the model picks an order within 15 % of the best.
//
// That holds while the buffer pool keeps the factor's blocks. The share it
// cannot keep is read back from the files instead, a call to the file system
// each time: about 12 us more per block (laplace3d:50 at 126 MB, where the
// pool keeps a sixth of the factor: 17 us a block at every order from 16 to
// 32, against 4 to 9 us when the pool keeps it all). Small blocks then cost
// more than their saved operations: that run took 10.6 s at order 16 and
// 6.9 s at 32.
double predicted_seconds(const Prediction &p, int32_t nb, double pooled_share) {
  const double rate = 36e9 * nb / (nb + 8.0);
  const double per_block =
      3e-6 + 12e-6 * (1.0 - std::clamp(pooled_share, 0.0, 1.0)) + 3.0 * 8.0 * nb * nb / 4e9;
  return p.flops / rate + p.blocks * per_block;
}

// The library indexes a matrix's blocks by their place in the full grid of
// block rows and columns, at most 2^31 - 1 places: the least block order of a
// matrix of order n.
int32_t least_block_order(int64_t n) {
  const int64_t side = std::numeric_limits<int32_t>::max();
  int32_t nb = 1;
  while (true) {
    const int64_t k = (n + nb - 1) / nb;
    if (k * k <= side) return nb;
    ++nb;
  }
}

// Memory for the control area and the tiles.
struct MemoryPlan {
  int32_t ndesc = 0;
  int32_t segments_max = 0;
  int64_t control_words = 0;
  int64_t tile_doubles = 0;
};

class Run {
 public:
  explicit Run(const SolveOptions &o) : o_(o), progress_(o.progress ? o.progress : &null_) {}
  SolveResult go();

 private:
  void read();
  void read_set();
  void order_and_analyse();
  void plan(int32_t nb);
  bool fits(int32_t nb) const;
  // factor_bytes: the factor's predicted size, 0 when not known yet.
  MemoryPlan memory_plan(int32_t nb, int64_t held, double factor_bytes = 0) const;
  bool try_resume();
  void create_factor();
  void run_factor();
  void open_for_reuse();
  void finish();
  SolveError translate(const std::exception &e);
  void stream_dense_file(Matrix &a);
  void solve();
  int64_t held_bytes() const;
  std::string factor_path() const;
  void notice(const std::string &s) {
    r_.notices.push_back(s);
    progress_->notice("note: " + s);
  }

  const SolveOptions &o_;
  NullProgress null_;
  Progress *progress_;
  SolveReport r_;
  HostAreas areas_;
  int64_t memory_ = 0;
  int64_t overhead_ = 0;

  // The matrix in the user's numbering (sparse), then in the factor's.
  bool have_matrix_ = false;
  int32_t n_ = 0;
  SparseSym sparse_;
  bool sparse_input_ = false;
  std::unique_ptr<DenseSource> generated_;
  bool dense_file_ = false;  // a Matrix Market array, streamed into the factor's set
  uint64_t hash_ = 0;
  std::unique_ptr<MatrixSource> source_;

  // A host's file set holding the matrix, in a control area of its own.
  std::unique_ptr<ControlArea> in_area_;
  std::optional<FileSet> in_set_;
  Matrix in_matrix_;

  // The factor.
  std::vector<int32_t> perm_, q_scratch_;
  Ordering ordering_ = Ordering::natural;
  BlockStructure structure_;
  Prediction prediction_;
  Elimination elimination_;
  std::vector<PanelPlan> panels_;
  MemoryPlan mem_;
  std::unique_ptr<FactorSet> factor_;
  std::string path_;
  bool keep_ = false;
  std::vector<double> solution_;
};

int64_t Run::held_bytes() const {
  const int64_t k = std::max<int64_t>(1, o_.rhs ? o_.rhs_columns : 1);
  // The matrix, x, b, a residual and a correction per column, the numbering,
  // signs and the structure with its transpose.
  // The substitution reads a piece of a block row at a time.
  int64_t widest = 0;
  for (int32_t I = 0; I < structure_.nbk; ++I) widest = std::max<int64_t>(widest, structure_.count(I));
  if (structure_.nb > 0)
    widest = std::min<int64_t>(widest, substitution_blocks(structure_.nb, kSubstitutionBytes));
  widest *= structure_.nb;
  return sparse_bytes(sparse_) + (in_area_ ? in_area_->bytes() : 0) +
         int64_t{n_} * (8 * 4 * k + 4 + 1) +
         static_cast<int64_t>(structure_.cols.size()) * 8 +
         static_cast<int64_t>(structure_.rowptr.size()) * 16 +
         8 * (widest * structure_.nb + widest * k);
}

MemoryPlan Run::memory_plan(int32_t nb, int64_t held, double factor_bytes) const {
  MemoryPlan m;
  const int32_t L = 2 * nb * nb;
  const int64_t left = memory_ - held;
  for (int32_t segments : {kSegmentsMax, kSegmentsTight}) {
    m.segments_max = segments;
    m.ndesc = segments + kExtraSlots;
    const int64_t least = ControlArea::words_for(L, ControlArea::min_buffers(m.ndesc), 1, m.ndesc);
    if (least > 0 && least * 4 <= left / 4) break;
  }
  const int64_t least = ControlArea::words_for(L, ControlArea::min_buffers(m.ndesc), 1, m.ndesc);
  // The pool caches blocks. A sparse factor's blocks are read back many
  // times, each read from the pool a copy instead of a call to the file
  // system: it gets up to a quarter of what is left, as much as the factor
  // and a quarter more (a least-recently-used pool that cycles over a little
  // more than it holds keeps nothing). A dense factor's blocks are read back
  // in long runs the page cache serves as well: a tenth, at most 64 MB. At
  // least the pool's minimum.
  int64_t words = least;
  const int64_t pool = sparse_input_ ? std::min<int64_t>(left / 4, static_cast<int64_t>(factor_bytes * 1.25))
                                     : std::min<int64_t>(left / 10, int64_t{64} << 20);
  const int64_t want_buffers = pool / (4 * (int64_t{L} + 142));
  if (want_buffers > ControlArea::min_buffers(m.ndesc)) {
    const int64_t w = ControlArea::words_for(
        L, static_cast<int32_t>(std::min<int64_t>(want_buffers, 1 << 20)), 1, m.ndesc);
    if (w > 0) words = w;
  }
  m.control_words = words;
  m.tile_doubles = (left - words * 4) / 8;
  return m;
}

std::string Run::factor_path() const {
  if (!o_.keep.empty()) return o_.keep;
  const fs::path dir = o_.work_dir.empty() ? fs::path(".") : fs::path(o_.work_dir);
  static std::atomic<int> counter{0};
  return (dir / ("tessera-factor-" + std::to_string(::getpid()) + "-" +
                 std::to_string(counter++) + ".tsf"))
      .string();
}

void Run::read() {
  const auto t0 = Clock::now();
  progress_->phase("read");
  int inputs = !o_.matrix_file.empty() + !o_.generate.empty() + !o_.set_files.empty() +
               (o_.matrix != nullptr);
  if (inputs > 1) throw SolveError(Failure::input, "give one matrix: a file, --generate, --set or a host's matrix");
  if (inputs == 0 && o_.factor_file.empty())
    throw SolveError(Failure::input, "no matrix: give a Matrix Market file, --generate or --set");
  if (!o_.generate.empty()) {
    r_.problem = o_.generate;
    Problem p = make_problem(o_.generate);
    if (p.dense) {
      generated_ = std::move(p.dense);
      n_ = generated_->n();
      hash_ = XXH3_64bits(o_.generate.data(), o_.generate.size()) ^ static_cast<uint64_t>(n_);
    } else {
      sparse_ = std::move(p.sparse);
      sparse_input_ = true;
    }
  } else if (!o_.matrix_file.empty()) {
    r_.problem = o_.matrix_file;
    mm::Header h;
    {
      mm::Reader rd(o_.matrix_file);
      h = rd.header();
      if (h.format == mm::Format::array) {
        if (h.field != mm::Field::real && h.field != mm::Field::integer)
          rd.fail(std::string("a real or integer matrix, not ") + mm::name(h.field));
        if (h.rows != h.cols) rd.fail("a square matrix");
        if (h.symmetry != mm::Symmetry::general && h.symmetry != mm::Symmetry::symmetric)
          rd.fail(std::string("a general or symmetric matrix, not ") + mm::name(h.symmetry));
        if (h.rows > INT32_MAX) rd.fail("at most 2^31 - 1 rows");
      }
    }
    if (h.format == mm::Format::array) {
      dense_file_ = true;
      n_ = static_cast<int32_t>(h.rows);
    } else {
      sparse_ = mm::read_symmetric(o_.matrix_file);
      sparse_input_ = true;
    }
  } else if (!o_.set_files.empty()) {
    read_set();
  } else if (o_.matrix != nullptr) {
    r_.problem = "matrix of the host";
    sparse_ = *o_.matrix;
    sparse_input_ = true;
  } else {
    r_.problem = o_.factor_file;
  }
  if (sparse_input_) {
    n_ = sparse_.n;
    hash_ = hash_sparse(sparse_);
    r_.entries = sparse_.entries();
  } else if (n_ > 0) {
    r_.entries = int64_t{n_} * (n_ + 1) / 2;
    r_.dense = true;
  }
  have_matrix_ = n_ > 0;
  r_.n = n_;
  if (have_matrix_ && held_bytes() > memory_)
    throw SolveError(Failure::memory,
                     std::string(in_area_ ? "the matrix and the control area that reads its set"
                                          : "the matrix alone") +
                         " take " + std::to_string(static_cast<int64_t>(held_bytes() / kMiB)) +
                         " MB, more than the memory allowed" +
                         (in_area_ ? " (its records of " +
                                         std::to_string(in_area_->record_length()) +
                                         " words need at least " +
                                         std::to_string(ControlArea::min_buffers(2)) + " buffers)"
                                   : std::string()));
  r_.read_seconds += since(t0);
}

// A host's symmetric matrix in a file set, read block by block: into memory
// as a sparse matrix when few of its entries are non-zero, else left in the
// set and read from there by panels.
void Run::read_set() {
  if (o_.set_matrix.empty()) throw SolveError(Failure::input, "--set needs --matrix NAME");
  if (o_.set_files.size() > 10) throw SolveError(Failure::input, "a file set has at most 10 files");
  r_.problem = o_.set_matrix + " of " + o_.set_files[0];
  // The record length, from the first file, sizes the control area.
  const int32_t L = stored_record_length(o_.set_files[0]);
  if (L < 128)
    throw SolveError(Failure::input, o_.set_files[0] + ": not a file of a file set that can be opened");
  // A block is read at a time: a few buffers beyond the least, fewer when
  // the records are long and the memory small (the area stays for the
  // factorisation when the matrix stays in its set).
  const int32_t ndesc = 2;
  const int64_t spare = std::clamp<int64_t>(memory_ / 16 / (int64_t{L} * 4), 2, 16);
  const int64_t words = ControlArea::words_for(
      L, ControlArea::min_buffers(ndesc) + static_cast<int32_t>(spare), static_cast<int32_t>(1), ndesc);
  if (words <= 0) throw SolveError(Failure::input, o_.set_files[0] + ": records too long to read");
  in_area_ = std::make_unique<ControlArea>(words, L, 1, ndesc);
  const std::vector<std::string> &names = o_.set_files;
  in_set_.emplace(FileSet::open(*in_area_, names));
  in_matrix_ = Matrix::open(*in_set_, o_.set_matrix, o_.set_qualifier, true);
  if (in_matrix_.type() != TESSERA_TYPE_DOUBLE || in_matrix_.form() != TESSERA_FORM_SYMMETRIC ||
      in_matrix_.rows() != in_matrix_.cols())
    throw SolveError(Failure::input, "matrix " + o_.set_matrix + " of " + names[0] +
                                         " is not a square double matrix of storage form 1 (type " +
                                         std::to_string(in_matrix_.type()) + ", form " +
                                         std::to_string(in_matrix_.form()) + ")");
  const int32_t n = in_matrix_.rows();
  const int32_t nb = static_cast<int32_t>(std::sqrt(static_cast<double>(L / 2)));
  const int32_t nbk = (n + nb - 1) / nb;
  // Block row by block row: row c of the upper triangle is column c of the
  // lower one, and its entries come in ascending order.
  std::vector<double> block(static_cast<size_t>(nb) * nb);
  std::vector<std::vector<std::pair<int32_t, double>>> cols(static_cast<size_t>(nb));
  SparseSym a;
  a.n = n;
  a.colptr.assign(1, 0);
  const double limit = kSparseShare * (double(n) * (n + 1) / 2);
  XXH3_state_t *st = XXH3_createState();
  XXH3_64bits_reset(st);
  bool dense = false;
  for (int32_t I = 0; I < nbk && !dense; ++I) {
    const int32_t bi = std::min(nb, n - I * nb);
    for (auto &c : cols) c.clear();
    int64_t pending = 0;
    for (int32_t J = I; J < nbk && !dense; ++J) {
      const int32_t bj = std::min(nb, n - J * nb);
      in_matrix_.get(I * nb, bi, J * nb, bj, block.data(), bi);
      for (int32_t j = 0; j < bj; ++j)
        for (int32_t i = 0; i < bi; ++i) {
          const double v = block[i + int64_t{j} * bi];
          if (v != 0 && J * nb + j >= I * nb + i) {
            cols[i].emplace_back(J * nb + j, v);
            ++pending;
          }
        }
      // Mostly non-zero already: no need to hold the rest of the row.
      if (static_cast<double>(a.rowind.size() + pending) > limit ||
          sparse_bytes(a) + 16 * pending > memory_ / 3)
        dense = true;
    }
    if (dense) break;
    for (int32_t i = 0; i < bi; ++i) {
      for (const auto &[row, v] : cols[i]) {
        a.rowind.push_back(row);
        a.values.push_back(v);
      }
      a.colptr.push_back(static_cast<int64_t>(a.rowind.size()));
    }
    if (static_cast<double>(a.rowind.size()) > limit ||
        sparse_bytes(a) > memory_ / 3)
      dense = true;
  }
  if (!dense) {
    sparse_ = std::move(a);
    sparse_input_ = true;
    in_matrix_.release();
    in_set_->abandon();
    in_set_.reset();
    in_area_.reset();
  } else {
    // Left in the set; its hash is of every block row, read once more.
    a = SparseSym();
    decltype(cols)().swap(cols);
    // A block row, column after column, is the blocks of its columns in
    // turn: hashed a block at a time, the same digest in bounded memory.
    for (int32_t I = 0; I < nbk; ++I) {
      const int32_t bi = std::min(nb, n - I * nb);
      for (int32_t J = 0; J < nbk; ++J) {
        const int32_t bj = std::min(nb, n - J * nb);
        in_matrix_.get(I * nb, bi, J * nb, bj, block.data(), bi);
        XXH3_64bits_update(st, block.data(), static_cast<size_t>(bi) * bj * sizeof(double));
      }
    }
    n_ = n;
    hash_ = XXH3_64bits_digest(st);
    notice("the matrix is mostly non-zero: it stays in its file set and is read by panels");
  }
  XXH3_freeState(st);
}

void Run::order_and_analyse() {
  if (o_.block_order > 0 && o_.block_order < least_block_order(n_))
    throw SolveError(Failure::input, "--block-order " + std::to_string(o_.block_order) +
                                         " is too small for " + std::to_string(n_) +
                                         " unknowns: their blocks would have more places than "
                                         "the library counts; at least " +
                                         std::to_string(least_block_order(n_)));
  if (!sparse_input_) {
    ordering_ = Ordering::natural;
    perm_.resize(static_cast<size_t>(n_));
    for (int32_t i = 0; i < n_; ++i) perm_[i] = i;
    r_.ordering = ordering_name(ordering_);
    const auto t0 = Clock::now();
    progress_->phase("symbolic");
    // The largest block order whose tiles still hold several block rows.
    int32_t chosen = o_.block_order;
    for (int32_t nb : kDenseOrders) {
      if (chosen > 0) break;
      if (!fits(nb)) continue;
      const MemoryPlan m = memory_plan(nb, held_bytes());
      const int64_t h = static_cast<int64_t>(std::sqrt(m.tile_doubles / 2.5));
      if (h >= 4 * nb || nb == 16) chosen = nb;
    }
    if (chosen == 0) chosen = 16;
    structure_ = dense_structure(n_, chosen);
    prediction_ = predict(structure_);
    r_.scalar_entries = double(n_) * (n_ + 1) / 2;
    r_.scalar_flops = double(n_) * n_ * n_ / 3;
    r_.symbolic_seconds += since(t0);
    return;
  }
  // Candidates: each ordering, its elimination, its columns clustered, and
  // its block structure at each block order; the best predicted time wins.
  q_scratch_.resize(static_cast<size_t>(n_));
  {
    // The matrix, one permuted copy, its pattern by rows (the elimination's),
    // the block structures weighed (at most about as large again) and the
    // ordering's own work.
    const int64_t csc = sparse_bytes(sparse_);
    const int64_t need =
        csc + std::max(csc + 8 * sparse_.entries() + 16 * int64_t{n_},
                       ordering_bytes(sparse_, o_.ordering));
    if (need > memory_)
      throw SolveError(Failure::memory, "ordering and analysing the matrix needs about " +
                                            std::to_string(static_cast<int64_t>(need / kMiB) + 1) +
                                            " MB, more than the memory allowed");
  }
  std::vector<Ordering> candidates;
  // The natural numbering is weighed only when asked for: a generated or
  // assembled numbering is a poor band, and reverse Cuthill-McKee a better one.
  if (o_.ordering == Ordering::automatic)
    candidates = {Ordering::nested_dissection, Ordering::reverse_cuthill_mckee};
  else
    candidates = {o_.ordering};
  double best = std::numeric_limits<double>::infinity();
  double best_entries = std::numeric_limits<double>::infinity();
  for (Ordering ord : candidates) {
    auto t0 = Clock::now();
    progress_->phase(std::string("order (") + ordering_name(ord) + ")");
    std::vector<int32_t> p;
    try {
      p = compute_ordering(sparse_, ord);
    } catch (const std::runtime_error &e) {
      if (candidates.size() == 1) throw;
      notice(std::string(ordering_name(ord)) + " left out: " + e.what());
      continue;
    }
    r_.order_seconds += since(t0);
    t0 = Clock::now();
    progress_->phase("symbolic");
    Elimination e;
    {
      // A candidate whose factor already holds more entries than the best
      // one's blocks is given up half way.
      const SparseSym b = permute(sparse_, p);
      e = eliminate(b, best_entries);
      if (!e.complete) {
        r_.symbolic_seconds += since(t0);
        continue;
      }
    }
    {
      // Subtrees numbered consecutively, then the columns of each clique
      // sorted by where they are joined below.
      const std::vector<int32_t> post = postorder(e);
      for (int32_t i = 0; i < n_; ++i) q_scratch_[i] = p[post[i]];
      p.swap(q_scratch_);
      const SparseSym b = permute(sparse_, p);
      const std::vector<int32_t> q = cluster_within_cliques(b, e);
      for (int32_t i = 0; i < n_; ++i) q_scratch_[i] = p[q[i]];
      p.swap(q_scratch_);
    }
    const SparseSym c = permute(sparse_, p);
    e = eliminate(c);
    std::vector<int32_t> orders(std::begin(kSparseOrders), std::end(kSparseOrders));
    if (o_.block_order > 0) orders = {o_.block_order};
    for (int32_t nb : orders) {
      if (o_.block_order == 0 && !fits(nb)) continue;
      BlockStructure s = block_structure(c, e, nb);
      const Prediction pr = predict(s);
      // The pool's share of the factor, as memory_plan sizes the pool.
      const double pool = static_cast<double>(memory_ - held_bytes()) / 4;
      const double t = predicted_seconds(pr, nb, pr.bytes > 0 ? pool / (pr.bytes * 1.25) : 1.0);
      if (t < best) {
        best = t;
        best_entries = std::min(best_entries, pr.bytes / 8);
        structure_ = std::move(s);
        prediction_ = pr;
        ordering_ = ord;
        perm_ = p;
        elimination_ = e;
      }
    }
    r_.symbolic_seconds += since(t0);
  }
  if (structure_.nb == 0) throw SolveError(Failure::input, "no ordering could be used");
  r_.ordering = ordering_name(ordering_);
  r_.scalar_entries = elimination_.entries;
  r_.scalar_flops = elimination_.flops;
  elimination_ = Elimination();
  sparse_ = permute(sparse_, perm_);  // now in the factor's numbering
}

bool Run::fits(int32_t nb) const {
  // The control area and the tiles of one block row with one block of
  // columns beyond it.
  if (nb < least_block_order(n_)) return false;
  const MemoryPlan m = memory_plan(nb, held_bytes());
  return m.control_words > 0 && m.tile_doubles >= panel_doubles(nb, nb, kStackRows, o_.indefinite, nb);
}

void Run::plan(int32_t nb) {
  const auto t0 = Clock::now();
  mem_ = memory_plan(nb, held_bytes(), prediction_.bytes);
  if (mem_.control_words <= 0 || mem_.tile_doubles <= 0)
    throw SolveError(Failure::memory, "the memory allowed (" +
                                          std::to_string(static_cast<int64_t>(memory_ / kMiB)) +
                                          " MB) does not hold the control area for blocks of order " +
                                          std::to_string(nb));
  if (!sparse_input_) {
    // A large dense matrix's tiles are not made larger than a quarter of its
    // square. Each page of the tiles costs a fault the first time it is
    // touched, on this kind of machine several times what reading the same
    // bytes back from the pool or the page cache costs; more panels read more
    // of the factor back (about a third of it more per panel). The two
    // balance near four or five panels, whatever the order. Tiles of up to
    // 64 MB cost little to touch: a smaller matrix stays in one panel.
    const int64_t quarter = std::max<int64_t>(int64_t{n_} * n_ / 4, int64_t{8} << 20);
    mem_.tile_doubles = std::min(
        mem_.tile_doubles,
        std::max(quarter, panel_doubles(4LL * nb, std::min<int64_t>(n_, 4LL * nb), kStackRows,
                                        o_.indefinite, nb)));
  }
  try {
    panels_ = plan_panels(structure_, mem_.tile_doubles, kStackRows, o_.indefinite);
  } catch (const std::length_error &) {
    throw SolveError(Failure::memory,
                     "the memory allowed (" + std::to_string(static_cast<int64_t>(memory_ / kMiB)) +
                         " MB) does not hold the tiles of one block row; allow more with --memory");
  }
  r_.panels = static_cast<int32_t>(panels_.size());
  r_.symbolic_seconds += since(t0);
}

void Run::stream_dense_file(Matrix &a) {
  // Column blocks of the file into block rows of A (form 1 keeps the upper
  // triangle, the transpose of the lower one the file gives column by
  // column). A general file is read a second time to check that its upper
  // triangle matches.
  const int32_t n = n_, nb = structure_.nb;
  mm::Reader rd(o_.matrix_file);
  rd.require_finite(true);
  const bool general = rd.header().symmetry == mm::Symmetry::general;
  std::vector<double> cols(static_cast<size_t>(n) * nb), rows(static_cast<size_t>(nb) * n);
  XXH3_state_t *st = XXH3_createState();
  XXH3_64bits_reset(st);
  double largest = 0;
  for (int32_t j0 = 0; j0 < n; j0 += nb) {
    const int32_t w = std::min(nb, n - j0);
    if (rd.read_columns(cols.data(), n, w) != w) rd.fail("more columns");
    // rows(k, i) = cols(i, k) for i >= j0 + k: row j0 + k of the upper triangle.
    const int32_t width = n - j0;
    for (int32_t i = 0; i < width; ++i)
      for (int32_t k = 0; k < w; ++k) {
        const double v = j0 + i >= j0 + k ? cols[(j0 + i) + int64_t{k} * n] : 0.0;
        rows[k + int64_t{i} * w] = v;
        largest = std::max(largest, std::fabs(v));
      }
    XXH3_64bits_update(st, rows.data(), sizeof(double) * static_cast<size_t>(w) * width);
    a.put(j0, w, j0, width, rows.data(), w);
    progress_->update(double(j0 + w) / n, 0);
  }
  hash_ = XXH3_64bits_digest(st);
  XXH3_freeState(st);
  if (!general) return;
  // Second pass: a(i, j) for i < j from the file against a(j, i) as stored.
  rd.rewind();
  double worst = 0;
  int64_t wi = 0, wj = 0;
  for (int32_t j0 = 0; j0 < n; j0 += nb) {
    const int32_t w = std::min(nb, n - j0);
    rd.read_columns(cols.data(), n, w);
    std::vector<double> stored(static_cast<size_t>(j0 + w) * w);
    a.get(0, j0 + w, j0, w, stored.data(), j0 + w);
    for (int32_t k = 0; k < w; ++k)
      for (int32_t i = 0; i < j0 + k; ++i) {
        const double d = std::fabs(cols[i + int64_t{k} * n] - stored[i + int64_t{k} * (j0 + w)]);
        if (d > worst) {
          worst = d;
          wi = i;
          wj = j0 + k;
        }
      }
  }
  if (worst > mm::kSymmetryTolerance * largest) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "%s: the matrix is not symmetric: |a(%lld,%lld) - a(%lld,%lld)| = %.3g "
                  "(largest entry %.3g)",
                  o_.matrix_file.c_str(), static_cast<long long>(wi + 1),
                  static_cast<long long>(wj + 1), static_cast<long long>(wj + 1),
                  static_cast<long long>(wi + 1), worst, largest);
    throw InputError(buf);
  }
}

bool Run::try_resume() {
  if (!fs::exists(path_)) {
    notice(path_ + " does not exist: the factorisation starts anew");
    return false;
  }
  const int32_t L = stored_record_length(path_);
  const int32_t nb = static_cast<int32_t>(std::sqrt(std::max(L, 2) / 2.0));
  mem_ = memory_plan(nb, held_bytes(), static_cast<double>(fs::file_size(path_)));
  const int32_t ndesc = kSegmentsMax + kExtraSlots;
  const int64_t words =
      std::max(mem_.control_words, ControlArea::words_for(std::max(L, 128),
                                                          ControlArea::min_buffers(ndesc), 1, ndesc));
  try {
    factor_ = FactorSet::open(path_, words, ndesc);
  } catch (const LibraryError &) {
    // A set never removed has no header to open: no checkpoint was reached.
    notice(path_ + " holds no checkpoint: the factorisation starts anew");
    std::error_code ec;
    fs::remove(path_, ec);
    return false;
  }
  const FactorHeader &h = factor_->header();
  if (h.n != n_ || h.input_hash != hash_)
    throw SolveError(Failure::factor_set, path_ + " holds the factorisation of another matrix");
  if (h.indefinite != o_.indefinite)
    throw SolveError(Failure::factor_set, path_ + " was begun " +
                                              std::string(h.indefinite ? "with" : "without") +
                                              " --indefinite; resume it the same way");
  // The numbering, structure and panels are the set's: they fix the
  // arithmetic, so the result is the one an uninterrupted run gives.
  perm_ = factor_->perm();
  structure_ = factor_->structure();
  prediction_ = predict(structure_);
  ordering_ = h.ordering;
  r_.ordering = ordering_name(ordering_);
  r_.panels = static_cast<int32_t>(factor_->plan().size());
  r_.resumed_at = factor_->rows_done();
  if (sparse_input_) sparse_ = permute(sparse_, perm_);
  if (h.memory != memory_)
    notice("the panels are those planned for the " +
           std::to_string(static_cast<int64_t>(h.memory / kMiB)) +
           " MB this factorisation was begun with");
  if (!factor_->segments().empty()) areas_.set_pivot_area(factor_->segments().back().pivot_area);
  factor_->verify();
  if (dense_file_ && !factor_->input())
    throw SolveError(Failure::factor_set, path_ + " lacks the matrix it was begun with");
  return true;
}

void Run::create_factor() {
  plan(structure_.nb);
  // Disk: U's blocks, the matrix when it is kept in the set, a little for
  // the tables and the description.
  const double record = 8.0 * structure_.nb * structure_.nb;
  double need = prediction_.bytes * 1.02 + 16.0 * n_ + 256 * record;
  if (dense_file_) need += record * structure_.nbk * (structure_.nbk + 1) / 2.0;
  const int64_t free = free_disk_bytes(path_);
  if (free >= 0 && need > free)
    throw SolveError(Failure::disk, "not enough disk space beside " + path_ + ": the factor needs " +
                                        std::to_string(static_cast<int64_t>(need / kMiB)) +
                                        " MB, " + std::to_string(static_cast<int64_t>(free / kMiB)) +
                                        " MB are free");
  if (fs::exists(path_)) fs::remove(path_);
  FactorHeader h;
  h.n = n_;
  h.nb = structure_.nb;
  h.indefinite = o_.indefinite;
  h.ordering = ordering_;
  h.input_hash = hash_;
  h.memory = memory_;
  h.segments_max = mem_.segments_max;
  h.input_stored = dense_file_;
  h.input_entries = r_.entries;
  // The file starts at half its predicted size (and at most 1 GB) besides
  // its index region, and grows by tenths of that as the factor is written:
  // it takes disk space only as records are written in any case.
  const int32_t L = 2 * structure_.nb * structure_.nb;
  const int64_t initial = std::min<int64_t>(
      INT32_MAX, static_cast<int64_t>(std::min(need / 2, 1024 * kMiB) / 4) +
                     tessera_fileset_min_words(L, static_cast<int32_t>(mem_.control_words), 0));
  factor_ = FactorSet::create(path_, mem_.control_words, mem_.ndesc, initial, h, perm_,
                              structure_, panels_);
  if (dense_file_) {
    const auto t0 = Clock::now();
    progress_->phase("read");
    stream_dense_file(factor_->create_input(n_));
    factor_->header().input_hash = hash_;
    r_.read_seconds += since(t0);
  }
  // A kept factor's description is durable before its first panel.
  if (keep_) factor_->checkpoint(nullptr, false);
}

void Run::run_factor() {
  r_.block_order = structure_.nb;
  r_.blocks = prediction_.blocks;
  r_.factor_bytes = prediction_.bytes;
  r_.flops = prediction_.flops;

  // The matrix as the factorisation reads it.
  const int64_t panel_bytes = std::max<int64_t>(mem_.tile_doubles * 8, 8LL * n_);
  if (sparse_input_)
    source_ = std::make_unique<SparseSource>(std::move(sparse_));
  else if (generated_)
    source_ = std::make_unique<GeneratedSource>(std::move(generated_), panel_bytes);
  else if (dense_file_)
    source_ = std::make_unique<StoredSource>(factor_->input(), panel_bytes);
  else
    source_ = std::make_unique<StoredSource>(&in_matrix_, panel_bytes);

  if (factor_->complete()) return;
  if (factor_->segments().empty() || areas_.pivot_area()[TESSERA_CHOSKY_RECORDING] == 0)
    areas_.start_pivot_recording();
  progress_->phase("factor");
  FactorSettings settings;
  settings.indefinite = o_.indefinite;
  settings.stack_rows = kStackRows;
  settings.checkpoints = o_.checkpoints;
  // A factor that is not kept cannot be resumed: no checkpoints.
  settings.durable = keep_;
  settings.stop = o_.stop;
  settings.progress = progress_;
  settings.areas = &areas_;
  const FactorStats st = factorise(*factor_, *source_, settings, prediction_.flops);
  r_.factor_seconds += st.seconds;
  r_.factor_io_seconds = st.io_seconds;
  r_.factor_blas_seconds = st.blas_seconds;
  r_.factor_fill_seconds = st.fill_seconds;
  r_.factor_flops_done = st.flops;
  r_.gflops = st.seconds > 0 ? st.flops / st.seconds * 1e-9 : 0;
  r_.mb_read += st.bytes_read / kMiB;
  r_.mb_written += st.bytes_written / kMiB;
  r_.checkpoints = st.checkpoints;
  if (st.stopped)
    throw SolveError(Failure::interrupted,
                     keep_ ? "interrupted: " + path_ + " keeps the factorisation up to block row " +
                                 std::to_string(factor_->rows_done()) + " of " +
                                 std::to_string(structure_.nbk) +
                                 "; run the same command with --resume to go on"
                           : "interrupted");
}

void Run::open_for_reuse() {
  path_ = o_.factor_file;
  r_.factor_file = path_;
  r_.factor_reused = true;
  r_.factor_kept = true;
  const int32_t ndesc = kSegmentsMax + kExtraSlots;
  // The area's pool holds as much of the factor as a quarter of the memory
  // allows (the substitutions read it twice, refinement more).
  const int32_t L = stored_record_length(path_);
  if (L < 128) throw SolveError(Failure::factor_set, path_ + " is not a file of a factor set");
  std::error_code ec;
  const int64_t size = static_cast<int64_t>(fs::file_size(path_, ec));
  const int64_t pool = std::min<int64_t>((memory_ - held_bytes()) / 4, ec ? 0 : size * 5 / 4);
  const int32_t buffers = static_cast<int32_t>(std::clamp<int64_t>(
      pool / (4 * (int64_t{L} + 142)), ControlArea::min_buffers(ndesc), 1 << 20));
  const int64_t words = ControlArea::words_for(L, buffers, 1, ndesc);
  if (words <= 0) throw SolveError(Failure::memory, "no control area holds the blocks of " + path_);
  try {
    factor_ = FactorSet::open(path_, words, ndesc);
  } catch (const LibraryError &e) {
    throw SolveError(Failure::factor_set, path_ + " cannot be used as a factor: " + e.what());
  }
  const FactorHeader &h = factor_->header();
  if (!factor_->complete())
    throw SolveError(Failure::factor_set,
                     path_ + " holds an unfinished factorisation (block row " +
                         std::to_string(factor_->rows_done()) + " of " +
                         std::to_string(factor_->structure().nbk) +
                         "): finish it with --keep " + path_ + " --resume");
  if (have_matrix_ && (h.n != n_ || h.input_hash != hash_))
    throw SolveError(Failure::factor_set, path_ + " is the factor of another matrix");
  n_ = h.n;
  r_.n = n_;
  if (r_.entries == 0) r_.entries = h.input_entries;
  perm_ = factor_->perm();
  structure_ = factor_->structure();
  prediction_ = predict(structure_);
  ordering_ = h.ordering;
  r_.ordering = ordering_name(ordering_);
  r_.block_order = structure_.nb;
  r_.blocks = prediction_.blocks;
  r_.factor_bytes = prediction_.bytes;
  r_.flops = prediction_.flops;
  r_.panels = static_cast<int32_t>(factor_->plan().size());
  if (!factor_->segments().empty()) areas_.set_pivot_area(factor_->segments().back().pivot_area);
  if (have_matrix_) {
    mem_.tile_doubles = std::max<int64_t>((memory_ - held_bytes()) / 8 / 2, n_);
    const int64_t panel_bytes = mem_.tile_doubles * 8;
    if (sparse_input_)
      source_ = std::make_unique<SparseSource>(permute(sparse_, perm_));
    else if (generated_)
      source_ = std::make_unique<GeneratedSource>(std::move(generated_), panel_bytes);
    else if (dense_file_)
      throw SolveError(Failure::input, "with --factor, give a sparse matrix file or --generate for "
                                       "the residual, or none");
    else
      source_ = std::make_unique<StoredSource>(&in_matrix_, panel_bytes);
    sparse_ = SparseSym();
  }
}

void Run::solve() {
  const auto t0 = Clock::now();
  progress_->phase("solve");
  const int64_t n = n_;
  // b in the user's numbering.
  int32_t k = 1;
  std::vector<double> b;
  bool known = false;
  if (!o_.rhs_file.empty()) {
    mm::DenseMatrix d = mm::read_dense(o_.rhs_file);
    if (d.rows != n)
      throw SolveError(Failure::input, o_.rhs_file + ": " + std::to_string(d.rows) +
                                           " rows, the matrix has " + std::to_string(n));
    if (d.cols < 1) throw SolveError(Failure::input, o_.rhs_file + ": no columns");
    k = static_cast<int32_t>(d.cols);
    b = std::move(d.values);
  } else if (o_.rhs != nullptr) {
    k = o_.rhs_columns;
    if (k < 1 || o_.rhs_ld < n) throw SolveError(Failure::input, "bad right-hand sides");
    b.resize(static_cast<size_t>(n) * k);
    for (int32_t q = 0; q < k; ++q)
      std::copy_n(o_.rhs + q * o_.rhs_ld, n, b.begin() + q * n);
  } else if (source_) {
    known = true;
  } else {
    throw SolveError(Failure::input, "nothing to solve for: give --rhs, or the matrix (b = A 1)");
  }
  r_.rhs_columns = k;
  // In the factor's numbering.
  std::vector<double> bp(static_cast<size_t>(n) * k), absrow(static_cast<size_t>(n));
  if (known) {
    std::vector<double> ones(static_cast<size_t>(n), 1.0);
    source_->multiply(ones.data(), bp.data(), 1, nullptr);
  } else {
    for (int32_t q = 0; q < k; ++q)
      for (int64_t i = 0; i < n; ++i) bp[i + q * n] = b[perm_[i] + q * n];
  }
  b.clear();
  b.shrink_to_fit();
  std::vector<double> x = bp;
  SubstitutionStats ss = substitute(*factor_, x.data(), k, true, kSubstitutionBytes);
  int64_t bytes = ss.bytes_read;

  if (source_) {
    std::vector<double> ax(static_cast<size_t>(n) * k), d(static_cast<size_t>(n) * k);
    auto residual = [&]() {
      source_->multiply(x.data(), ax.data(), k, absrow.data());
      const double anorm = *std::max_element(absrow.begin(), absrow.end());
      double worst = 0;
      for (int32_t q = 0; q < k; ++q) {
        double rn = 0, xn = 0;
        for (int64_t i = 0; i < n; ++i) {
          d[i + q * n] = bp[i + q * n] - ax[i + q * n];
          rn = std::max(rn, std::fabs(d[i + q * n]));
          xn = std::max(xn, std::fabs(x[i + q * n]));
        }
        const double denom = anorm * xn * kEps;
        worst = std::max(worst, denom > 0 ? rn / denom : (rn > 0 ? INFINITY : 0.0));
      }
      return worst;
    };
    r_.scaled_residual = residual();
    r_.residual_known = true;
    for (int32_t step = 0; step < o_.refine; ++step) {
      SubstitutionStats s2 = substitute(*factor_, d.data(), k, false, kSubstitutionBytes);
      bytes += s2.bytes_read;
      for (size_t i = 0; i < x.size(); ++i) x[i] += d[i];
      r_.refinement.push_back(residual());
    }
    if (!r_.refinement.empty()) r_.scaled_residual = r_.refinement.back();
  }
  if (known) {
    double e = 0;
    for (double v : x) e = std::max(e, std::fabs(v - 1.0));
    r_.error = e;
    r_.error_known = true;
  }
  r_.mb_read += bytes / kMiB;
  // Back to the user's numbering.
  std::vector<double> out(static_cast<size_t>(n) * k);
  for (int32_t q = 0; q < k; ++q)
    for (int64_t i = 0; i < n; ++i) out[perm_[i] + q * n] = x[i + q * n];
  x.swap(out);
  if (!o_.output_file.empty())
    mm::write_dense(o_.output_file, n, k, x.data(), n, "solution of " + r_.problem);
  solution_.swap(x);
  r_.solve_seconds += since(t0);
}

void Run::finish() {
  for (int8_t v : factor_->signs()) (v < 0 ? r_.negative_pivots : r_.positive_pivots)++;
  r_.tiny_pivots = areas_.tiny_pivot_count();
  for (const TinyPivot &p : areas_.tiny_pivots())
    if (p.column >= 1 && p.column <= n_) r_.tiny.push_back({perm_[p.column - 1] + 1, p.value});
  if (!r_.factor_reused && !keep_)
    factor_->close_remove();
  else
    factor_->close_keep();
  factor_.reset();
  if (in_set_) in_set_->abandon();
}

SolveError Run::translate(const std::exception &e) {
  if (auto *s = dynamic_cast<const SolveError *>(&e)) return *s;
  if (auto *p = dynamic_cast<const PivotError *>(&e)) {
    const PivotRefusal &r = p->refusal;
    const int64_t col = r.column >= 0 && r.column < static_cast<int64_t>(perm_.size())
                            ? perm_[r.column] + 1
                            : r.column + 1;
    char buf[320];
    if (r.tiny)
      std::snprintf(buf, sizeof buf,
                    "the matrix is singular or not positive definite: crudr refuses the tiny "
                    "negative pivot %.6g at column %lld",
                    r.pivot, static_cast<long long>(col));
    else
      std::snprintf(buf, sizeof buf,
                    "the matrix is not positive definite: pivot %.6g at column %lld (--indefinite "
                    "accepts negative pivots)",
                    r.pivot, static_cast<long long>(col));
    return SolveError(Failure::not_definite, buf);
  }
  if (auto *l = dynamic_cast<const LibraryError *>(&e)) return from_library(*l, path_);
  if (auto *f = dynamic_cast<const FactorError *>(&e)) return SolveError(Failure::factor_set, f->what());
  if (dynamic_cast<const InputError *>(&e)) return SolveError(Failure::input, e.what());
  if (dynamic_cast<const mm::OutputError *>(&e)) return SolveError(Failure::disk, e.what());
  if (dynamic_cast<const std::bad_alloc *>(&e))
    return SolveError(Failure::memory, "out of memory: allow less with --memory, or free memory");
  if (auto *fe = dynamic_cast<const fs::filesystem_error *>(&e))
    return SolveError(Failure::disk, fe->what());
  return SolveError(Failure::library, e.what());
}

SolveResult Run::go() {
  const blas::HostThreads host_threads;
  // Large blocks straight from the system and back to it when freed, so that
  // the resident set follows what the solve holds (the allocator would
  // otherwise keep a freed permuted copy of the matrix as its own).
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  overhead_ = fixed_overhead();
  memory_ = o_.memory > 0 ? o_.memory : default_memory();
  r_.memory = memory_;
  r_.fixed_overhead = overhead_;
  try {
    ::malloc_trim(0);
    if (o_.block_order != 0 && (o_.block_order < 8 || o_.block_order > 4096))
      throw SolveError(Failure::input, "--block-order must lie from 8 to 4096 (a block fills one "
                                       "record of at least 128 words)");
    if (o_.refine < 0) throw SolveError(Failure::input, "--refine must not be negative");
    read();
    if (!o_.factor_file.empty()) {
      open_for_reuse();
    } else {
      path_ = factor_path();
      keep_ = !o_.keep.empty();
      r_.factor_file = path_;
      r_.factor_kept = keep_;
      if (o_.resume && !keep_) throw SolveError(Failure::input, "--resume needs --keep FILE");
      if (keep_ && !o_.resume && fs::exists(path_) && !o_.force)
        throw SolveError(Failure::input, path_ + " exists: --resume goes on with the "
                                                 "factorisation it holds, --force replaces it");
      if (!(o_.resume && try_resume())) {
        order_and_analyse();
        // What the ordering freed goes back to the system before the
        // factorisation takes its own.
        ::malloc_trim(0);
        create_factor();
      }
      run_factor();
    }
    ::malloc_trim(0);
    solve();
    finish();
  } catch (const std::exception &e) {
    SolveError err = translate(e);
    // Nothing half made is left behind unless it was asked for: a kept set
    // stays as its last checkpoint left it.
    if (factor_) {
      try {
        if (keep_ || r_.factor_reused)
          factor_->close_keep();
        else
          factor_->close_remove();
      } catch (...) {
      }
      factor_.reset();
    }
    if (in_set_) in_set_->abandon();
    throw err;
  }
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  r_.peak_rss = static_cast<int64_t>(ru.ru_maxrss) * 1024;
  r_.within_memory = r_.peak_rss <= memory_ + overhead_;
  SolveResult out;
  out.report = std::move(r_);
  out.x = std::move(solution_);
  return out;
}

}  // namespace

SolveResult run_solve(const SolveOptions &options) {
  Run run(options);
  return run.go();
}

int64_t default_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || size <= 0) return int64_t{1} << 30;
  return static_cast<int64_t>(pages) * size / 4;
}

int64_t parse_size(const std::string &text) {
  size_t used = 0;
  double v = 0;
  const std::string bad = "bad size \"" + text + "\": expected a number of bytes, with K, M, G or T";
  try {
    v = std::stod(text, &used);
  } catch (const std::exception &) {
    throw InputError(bad);
  }
  std::string unit = text.substr(used);
  for (char &c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() > 1 && unit.back() == 'B') unit.pop_back();
  if (unit.size() > 1 && unit.back() == 'I') unit.pop_back();
  double scale = 1;
  if (unit == "K")
    scale = 1024.0;
  else if (unit == "M")
    scale = 1024.0 * 1024;
  else if (unit == "G")
    scale = 1024.0 * 1024 * 1024;
  else if (unit == "T")
    scale = 1024.0 * 1024 * 1024 * 1024;
  else if (!unit.empty())
    throw InputError(bad);
  if (!(v > 0) || v * scale > 9e18) throw InputError("bad size \"" + text + "\": out of range");
  return static_cast<int64_t>(v * scale);
}

int64_t fixed_overhead() {
  static const int64_t measured = [] {
    // A product large enough that the BLAS runs on all its threads and takes
    // its buffers.
    const int n = 384;
    std::vector<double> a(static_cast<size_t>(n) * n, 1.0), c(a.size(), 0.0);
    blas::gemm('N', 'N', n, n, n, 1.0, a.data(), n, a.data(), n, 0.0, c.data(), n);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<int64_t>(ru.ru_maxrss) * 1024;
  }();
  return measured;
}

}  // namespace tessera::solve
