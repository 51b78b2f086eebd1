// End-to-end solves: generated and Matrix Market problems in every ordering
// against their known solution and a scaled residual; the same solution from
// a memory that holds the whole factor and from one that holds a few tiles;
// inertia against LAPACK's eigenvalues; refused pivots and tiny pivots named
// in the user's numbering; a matrix handed over in a file set; a factor kept,
// reused, damaged; a full disk; and a factorisation killed at random instants
// and resumed, giving the same x bit for bit.
#include "solver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <nlohmann/json.hpp>
#include <thread>

#include "dense_check.h"
#include "generate.h"
#include "matrix_market.h"
#include "store.h"
#include "tessera.h"

#ifndef TESSERA_PROGRAM
#error "TESSERA_PROGRAM names the tessera program the kill tests run"
#endif

namespace tessera::test {
namespace {

namespace fs = std::filesystem;
namespace ts = solve;
namespace mm = solve::mm;

// A scaled residual |Ax - b| / (|A| |x| eps) this far from 1 means a wrong
// factor, not rounding.
constexpr double kResidualBound = 100;

class Solve : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *root = std::getenv("TESSERA_TEST_TMP");
    fs::path base = root != nullptr ? root : "/tmp";
    fs::create_directories(base);
    std::string pattern = (base / "solve-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string &name) const { return (dir_ / name).string(); }
  size_t files() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  ts::SolveOptions options() const {
    ts::SolveOptions o;
    o.work_dir = dir_.string();
    o.memory = 64 << 20;
    return o;
  }
  // A solve that must succeed, with b = A 1 unless the options say otherwise.
  ts::SolveResult solve(const ts::SolveOptions &o) {
    try {
      return ts::run_solve(o);
    } catch (const ts::SolveError &e) {
      ADD_FAILURE() << "solve failed: " << e.what();
      return {};
    }
  }
  // The failure a solve must end with.
  ts::SolveError failure(const ts::SolveOptions &o) {
    try {
      ts::run_solve(o);
    } catch (const ts::SolveError &e) {
      return e;
    }
    ADD_FAILURE() << "the solve succeeded";
    return ts::SolveError(ts::Failure::library, "");
  }

  fs::path dir_;
};

void expect_accurate(const ts::SolveResult &r, double error_bound) {
  EXPECT_TRUE(r.report.residual_known);
  EXPECT_LT(r.report.scaled_residual, kResidualBound);
  if (r.report.error_known) {
    EXPECT_LT(r.report.error, error_bound);
  }
}

double max_relative_difference(const std::vector<double> &a, const std::vector<double> &b) {
  EXPECT_EQ(a.size(), b.size());
  double d = 0, m = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    d = std::max(d, std::fabs(a[i] - b[i]));
    m = std::max(m, std::fabs(b[i]));
  }
  return m > 0 ? d / m : d;
}

// --- the solve itself ---------------------------------------------------------

TEST_F(Solve, GeneratedProblemsInEveryOrdering) {
  for (const char *problem_name : {"laplace2d:24", "elasticity3d:3", "band:400:7", "laplace3d:7"}) {
    for (ts::Ordering ord : {ts::Ordering::nested_dissection, ts::Ordering::reverse_cuthill_mckee,
                             ts::Ordering::natural, ts::Ordering::automatic}) {
      SCOPED_TRACE(std::string(problem_name) + " " + ts::ordering_name(ord));
      ts::SolveOptions o = options();
      o.generate = problem_name;
      o.ordering = ord;
      o.block_order = 8;  // many blocks, panels and chunks in a small problem
      o.memory = 24 << 20;
      ts::SolveResult r = solve(o);
      expect_accurate(r, 1e-9);
      EXPECT_EQ(r.report.positive_pivots, r.report.n);
      EXPECT_EQ(r.x.size(), static_cast<size_t>(r.report.n));
      EXPECT_EQ(files(), 0u) << "a factor not kept is removed";
    }
  }
}

TEST_F(Solve, SameSolutionWhetherTheFactorFitsOrNot) {
  // Everything in one panel, against a limit so tight the panels hold a
  // few block rows and their columns come in chunks.
  for (const char *problem_name : {"elasticity3d:4", "dense-spd:300"}) {
    SCOPED_TRACE(problem_name);
    ts::SolveOptions big = options();
    big.generate = problem_name;
    big.block_order = 16;
    big.memory = 512 << 20;
    ts::SolveOptions small = big;
    small.memory = 1 << 20;
    ts::SolveResult a = solve(big), b = solve(small);
    expect_accurate(a, 1e-8);
    expect_accurate(b, 1e-8);
    if (b.report.dense) {
      EXPECT_LT(a.report.panels, b.report.panels);
    }
    EXPECT_LT(max_relative_difference(b.x, a.x), 1e-11);
  }
}

TEST_F(Solve, SeveralRightHandSidesAndRefinement) {
  ts::SparseSym a = ts::laplace2d(20);
  const int32_t n = a.n, k = 3;
  std::vector<double> dense = to_dense(a), x(static_cast<size_t>(n) * k), b(x.size(), 0.0);
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-1, 1);
  for (double &v : x) v = u(gen);
  for (int32_t q = 0; q < k; ++q)
    for (int32_t j = 0; j < n; ++j)
      for (int32_t i = 0; i < n; ++i) b[i + q * n] += dense[i + int64_t{j} * n] * x[j + q * n];
  ts::SolveOptions o = options();
  o.matrix = &a;
  o.rhs = b.data();
  o.rhs_columns = k;
  o.rhs_ld = n;
  o.refine = 2;
  ts::SolveResult r = solve(o);
  expect_accurate(r, 0);
  EXPECT_EQ(r.report.rhs_columns, k);
  ASSERT_EQ(r.report.refinement.size(), 2u);
  EXPECT_LT(max_relative_difference(r.x, x), 1e-12);
}

// --- pivots -------------------------------------------------------------------

TEST_F(Solve, InertiaOfAnIndefiniteMatrixMatchesItsEigenvalues) {
  // A Laplacian shifted into the middle of its spectrum.
  ts::SparseSym a = ts::laplace2d(10);
  for (int32_t j = 0; j < a.n; ++j) a.values[a.colptr[j]] -= 3.1;
  const std::vector<double> w = eigenvalues(to_dense(a), a.n);
  const int64_t negative = std::count_if(w.begin(), w.end(), [](double v) { return v < 0; });
  ASSERT_GT(negative, 0);
  ASSERT_LT(negative, a.n);
  for (ts::Ordering ord : {ts::Ordering::nested_dissection, ts::Ordering::natural}) {
    ts::SolveOptions o = options();
    o.matrix = &a;
    o.ordering = ord;
    o.block_order = 8;
    const ts::SolveError refused = failure(o);
    EXPECT_EQ(refused.kind, ts::Failure::not_definite) << refused.what();
    o.indefinite = true;
    // Without pivoting the factor can grow; refinement brings the residual
    // back to rounding.
    o.refine = 2;
    ts::SolveResult r = solve(o);
    expect_accurate(r, 1e-9);
    EXPECT_EQ(r.report.negative_pivots, negative);
    EXPECT_EQ(r.report.positive_pivots, a.n - negative);
  }
}

TEST_F(Solve, RefusedPivotNamedInTheUsersNumbering) {
  // Column 57 (1-based) holds -2 on the diagonal and nothing else: whatever
  // the ordering, its pivot is -2.
  ts::SparseSym a = ts::laplace2d(12);
  const int32_t c = 56;
  for (int32_t j = 0; j < a.n; ++j)
    for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p)
      if ((j == c || a.rowind[p] == c) && a.rowind[p] != j) a.values[p] = 0;
  a.values[a.colptr[c]] = -2;
  for (ts::Ordering ord : {ts::Ordering::nested_dissection, ts::Ordering::reverse_cuthill_mckee}) {
    ts::SolveOptions o = options();
    o.matrix = &a;
    o.ordering = ord;
    const ts::SolveError e = failure(o);
    EXPECT_EQ(e.kind, ts::Failure::not_definite);
    EXPECT_NE(std::string(e.what()).find("pivot -2 at column 57"), std::string::npos) << e.what();
    EXPECT_EQ(files(), 0u);
  }
}

TEST_F(Solve, TinyPivotsReportedWhereTheyAre) {
  // A zero row and column: crudr takes its pivot as 1 and records it.
  ts::SparseSym a = ts::laplace2d(9);
  const int32_t c = 40;
  for (int32_t j = 0; j < a.n; ++j)
    for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p)
      if (j == c || a.rowind[p] == c) a.values[p] = 0;
  ts::SolveOptions o = options();
  o.matrix = &a;
  ts::SolveResult r = solve(o);
  EXPECT_EQ(r.report.tiny_pivots, 1);
  ASSERT_EQ(r.report.tiny.size(), 1u);
  EXPECT_EQ(r.report.tiny[0].column, c + 1);
  EXPECT_EQ(r.report.tiny[0].value, 1.0);  // recorded as crudr replaces it
  EXPECT_EQ(r.x[c], 0.0);  // b = A 1 is 0 there
}

// --- inputs -------------------------------------------------------------------

TEST_F(Solve, MatrixMarketFilesSparseAndDense) {
  ts::SparseSym a = ts::band(120, 5);
  const int32_t n = a.n;
  const std::vector<double> dense = to_dense(a);
  {
    mm::Writer w(path("a.mtx"), {mm::Format::coordinate, mm::Field::real, mm::Symmetry::symmetric,
                                 n, n, a.entries()});
    for (int32_t j = 0; j < n; ++j)
      for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p)
        w.entry(a.rowind[p] + 1, j + 1, a.values[p]);
    w.close();
  }
  mm::write_dense(path("dense.mtx"), n, n, dense.data(), n);
  ts::SolveOptions o = options();
  o.matrix_file = path("a.mtx");
  ts::SolveResult sparse = solve(o);
  expect_accurate(sparse, 1e-10);
  o.matrix_file = path("dense.mtx");
  o.block_order = 16;
  ts::SolveResult full = solve(o);
  expect_accurate(full, 1e-10);
  EXPECT_TRUE(full.report.dense);
  EXPECT_LT(max_relative_difference(full.x, sparse.x), 1e-12);

  // A dense general file whose values are not symmetric is refused, naming
  // the pair.
  std::vector<double> skew = dense;
  skew[3 + 10 * n] += 0.5;  // a(4, 11)
  mm::write_dense(path("skew.mtx"), n, n, skew.data(), n);
  o.matrix_file = path("skew.mtx");
  ts::SolveError e = failure(o);
  EXPECT_EQ(e.kind, ts::Failure::input);
  EXPECT_NE(std::string(e.what()).find("a(4,11)"), std::string::npos) << e.what();
  // A pattern file: its file and line and what was expected.
  std::ofstream(path("pattern.mtx")) << "%%MatrixMarket matrix coordinate pattern symmetric\n3 3 1\n1 1\n";
  o.matrix_file = path("pattern.mtx");
  e = failure(o);
  EXPECT_EQ(e.kind, ts::Failure::input);
  EXPECT_NE(std::string(e.what()).find("pattern.mtx:"), std::string::npos) << e.what();
  EXPECT_EQ(files(), 4u) << "only the input files are left";
}

// A host's assembly into a form-1 matrix of a file set of one or more files,
// block by block.
void store_matrix(const std::vector<std::string> &files, const std::vector<double> &dense,
                  int32_t n, int32_t record_length) {
  ts::HostAreas areas;
  const int64_t words = ts::ControlArea::words_for(record_length, 60, 1, 4);
  ts::ControlArea area(words, record_length, 1, 4);
  std::vector<std::vector<char>> names;
  std::vector<char *> ptrs;
  for (const std::string &f : files) names.emplace_back(f.begin(), f.end()), names.back().push_back('\0');
  for (auto &nm : names) ptrs.push_back(nm.data());
  int32_t nfiles = static_cast<int32_t>(files.size()), index = 0, fs = 0, ierr = 0;
  int32_t initial = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, int64_t{n} * n + 300 * record_length));
  hmnewf(area.words(), &nfiles, ptrs.data(), &index, &initial, &fs, &ierr);
  ASSERT_EQ(ierr, 0);
  int32_t key[3], qualifier = 1, type = TESSERA_TYPE_DOUBLE, form = TESSERA_FORM_SYMMETRIC, m = 0;
  std::memcpy(key, "STIFFNESS   ", 12);
  hmnewm(area.words(), key, &qualifier, &fs, &type, &form, &n, &n, &m, &ierr);
  ASSERT_EQ(ierr, 0);
  const int32_t nb = static_cast<int32_t>(std::sqrt(record_length / 2));
  std::vector<double> block(static_cast<size_t>(nb) * nb);
  for (int32_t j0 = 0; j0 < n; j0 += nb)
    for (int32_t i0 = 0; i0 <= j0; i0 += nb) {
      int32_t bi = std::min(nb, n - i0), bj = std::min(nb, n - j0);
      bool any = false;
      for (int32_t j = 0; j < bj; ++j)
        for (int32_t i = 0; i < bi; ++i) {
          block[i + j * bi] = dense[(i0 + i) + int64_t{j0 + j} * n];
          any = any || block[i + j * bi] != 0;
        }
      int32_t r1 = i0 + 1, c1 = j0 + 1;
      if (any) hmputs(area.words(), &m, &r1, &bi, &c1, &bj, reinterpret_cast<const float *>(block.data()), &bi, &ierr);
      ASSERT_EQ(ierr, 0);
    }
  hmrelm(area.words(), &m, &ierr);
  ASSERT_EQ(ierr, 0);
  hmremf(area.words(), &fs, &ierr);
  ASSERT_EQ(ierr, 0);
}

TEST_F(Solve, MatrixHandedOverInAFileSet) {
  // Sparse: read into memory and ordered. Dense: left in the set, here one
  // of two files.
  for (const char *problem_name : {"laplace2d:14", "dense-spd:150"}) {
    SCOPED_TRACE(problem_name);
    ts::Problem p = ts::make_problem(problem_name);
    const int32_t n = p.n();
    std::vector<double> dense(static_cast<size_t>(n) * n);
    if (p.dense)
      p.dense->fill(0, n, 0, n, dense.data(), n);
    else
      dense = to_dense(p.sparse);
    std::vector<std::string> set{path("model.tsf")};
    if (p.dense) set.push_back(path("model2.tsf"));
    store_matrix(set, dense, n, 2048);
    ts::SolveOptions o = options();
    o.set_files = set;
    o.set_matrix = "STIFFNESS";
    ts::SolveResult r = solve(o);
    expect_accurate(r, 1e-9);
    EXPECT_EQ(r.report.dense, p.dense != nullptr);
    o.set_matrix = "ABSENT";
    EXPECT_EQ(failure(o).kind, ts::Failure::library);
    for (const std::string &f : set) fs::remove(f);
    EXPECT_EQ(files(), 0u);
  }
}

// --- keeping and reusing the factor ---------------------------------------------

TEST_F(Solve, KeptFactorSolvesAgainAndRefusesDamage) {
  ts::SolveOptions o = options();
  o.generate = "laplace3d:9";
  o.keep = path("f.tsf");
  o.block_order = 16;
  ts::SolveResult first = solve(o);
  ASSERT_TRUE(fs::exists(o.keep));
  EXPECT_EQ(failure(o).kind, ts::Failure::input) << "an existing --keep file is not replaced";

  // Reuse, with the matrix (residual known) and without.
  ts::SolveOptions again = options();
  again.factor_file = o.keep;
  again.generate = o.generate;
  ts::SolveResult second = solve(again);
  EXPECT_EQ(second.report.factor_reused, true);
  EXPECT_EQ(second.report.factor_flops_done, 0);
  EXPECT_EQ(second.x, first.x);
  std::vector<double> b(static_cast<size_t>(first.report.n) * 2, 1.0);
  again.generate.clear();
  again.rhs = b.data();
  again.rhs_columns = 2;
  again.rhs_ld = first.report.n;
  ts::SolveResult third = solve(again);
  EXPECT_FALSE(third.report.residual_known);
  // Another matrix is refused.
  again.rhs = nullptr;
  again.generate = "laplace3d:8";
  EXPECT_EQ(failure(again).kind, ts::Failure::factor_set);

  // Damage: bytes flipped across the file are refused cleanly, never a crash
  // nor a silently different solution.
  const std::string copy = path("damaged.tsf");
  // Records in use: the index region, the blocks and a margin for tables.
  const uint64_t record = 8 * 16 * 16;
  const uint64_t size = std::min<uint64_t>(fs::file_size(o.keep),
                                           (260 + 1.2 * first.report.blocks) * record);
  std::mt19937 gen(3);
  int refused = 0;
  for (int trial = 0; trial < 24; ++trial) {
    fs::copy_file(o.keep, copy, fs::copy_options::overwrite_existing);
    {
      std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
      const auto at = std::uniform_int_distribution<uint64_t>(0, size - 1)(gen);
      f.seekg(static_cast<std::streamoff>(at));
      char ch = 0;
      f.read(&ch, 1);
      ch = static_cast<char>(ch ^ 0x5a);
      f.seekp(static_cast<std::streamoff>(at));
      f.write(&ch, 1);
    }
    ts::SolveOptions d = options();
    d.factor_file = copy;
    d.generate = o.generate;
    try {
      ts::SolveResult r = ts::run_solve(d);
      // A flip in a record nothing reads changes nothing.
      EXPECT_EQ(r.x, first.x);
    } catch (const ts::SolveError &e) {
      ++refused;
      EXPECT_NE(e.kind, ts::Failure::not_definite) << e.what();
    }
  }
  EXPECT_GT(refused, 0);
  // Something that is not a factor set at all.
  std::ofstream(copy, std::ios::trunc) << "not a file set\n";
  ts::SolveOptions d = options();
  d.factor_file = copy;
  EXPECT_EQ(failure(d).kind, ts::Failure::factor_set);
}

// --- faults ---------------------------------------------------------------------

// Runs the tessera program with arguments; returns its wait status. With a
// file-size limit, writes past it fail (the signal is ignored).
int run_program(const std::vector<std::string> &args, int64_t fsize_limit = -1,
                double kill_after = -1, const std::string &out = "/dev/null") {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    const int to = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(to, 1);
    ::dup2(null, 2);
    if (fsize_limit >= 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl{static_cast<rlim_t>(fsize_limit), static_cast<rlim_t>(fsize_limit)};
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    std::vector<char *> argv{const_cast<char *>(TESSERA_PROGRAM)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TESSERA_PROGRAM, argv.data());
    ::_exit(127);
  }
  if (kill_after >= 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(kill_after));
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST_F(Solve, FullDiskGivesAMessageAndLeavesNoFiles) {
  // Before starting: a factor larger than the disk.
  ts::SolveOptions o = options();
  o.generate = "dense-spd:500000";
  o.memory = 1LL << 30;
  ts::SolveError e = failure(o);
  EXPECT_EQ(e.kind, ts::Failure::disk);
  EXPECT_NE(std::string(e.what()).find("not enough disk space"), std::string::npos) << e.what();
  EXPECT_EQ(files(), 0u);

  // During the factorisation: writes refused past three fifths of what
  // the factor's file comes to.
  const std::vector<std::string> args{"solve", "--generate", "laplace3d:16", "--block-order", "16",
                                      "--tmpdir", dir_.string(), "--memory", "64M"};
  std::vector<std::string> keep = args;
  keep.insert(keep.end(), {"--keep", path("f.tsf"), "--resume", "-o", path("x.mtx")});
  int status = run_program(keep);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const int64_t limit = static_cast<int64_t>(fs::file_size(path("f.tsf"))) * 3 / 5;
  fs::remove(path("f.tsf"));
  fs::remove(path("x.mtx"));
  status = run_program(args, limit);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ts::Failure::disk));
  EXPECT_EQ(files(), 0u) << "the factor's file is removed";

  // With --keep the file stays, as its last checkpoint left it, and a later
  // run with room resumes it.
  status = run_program(keep, limit);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ts::Failure::disk));
  EXPECT_TRUE(fs::exists(path("f.tsf")));
  status = run_program(keep);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::exists(path("x.mtx")));
}

TEST_F(Solve, PeakResidentSetStaysWithinTheLimit) {
  // Factors far larger than the memory allowed, each in a process of its own
  // so that its peak is its own.
  for (const char *problem_name : {"laplace3d:24", "dense-spd:3000"}) {
    SCOPED_TRACE(problem_name);
    const int status = run_program({"solve", "--generate", problem_name, "--memory", "6M", "--tmpdir",
                                    dir_.string(), "--json", "-q"},
                                   -1, -1, path("report.json"));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(path("report.json"));
    const nlohmann::json j = nlohmann::json::parse(in);
    EXPECT_GE(j["factor_mb"].get<double>(), 5 * j["memory_mb"].get<double>());
#if !defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer the resident set holds its shadow memory and the
    // quarantine of freed blocks: the bound is measured in the other builds.
    EXPECT_TRUE(j["within_memory"].get<bool>())
        << "peak " << j["peak_rss_mb"] << " MB, fixed overhead " << j["fixed_overhead_mb"];
#endif
    EXPECT_LT(j["scaled_residual"].get<double>(), kResidualBound);
    fs::remove(path("report.json"));
  }
  EXPECT_EQ(files(), 0u);
}

// Kills a factorisation at random instants, resumes it each time, and
// compares x with an uninterrupted run's, bit for bit.
void kill_and_resume(const fs::path &dir, int trials, unsigned seed) {
  const std::vector<std::string> common{"solve", "--generate", "laplace3d:18", "--block-order",
                                        "8",     "--memory",   "8M",           "--checkpoints",
                                        "20"};
  std::vector<std::string> plain = common;
  plain.insert(plain.end(), {"--tmpdir", dir.string(), "-o", (dir / "x0.mtx").string()});
  const auto t0 = std::chrono::steady_clock::now();
  int status = run_program(plain);
  const double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<std::string> kept = common;
  kept.insert(kept.end(), {"--keep", (dir / "f.tsf").string(), "--resume", "-o",
                           (dir / "x1.mtx").string()});
  mm::DenseMatrix x0 = mm::read_dense((dir / "x0.mtx").string());
  std::mt19937 gen(seed);
  int killed = 0;
  for (int t = 0; t < trials; ++t) {
    // From nothing, killed at a random instant, then resumed to the end.
    fs::remove(dir / "f.tsf");
    fs::remove(dir / "x1.mtx");
    status = run_program(kept, -1, std::uniform_real_distribution<double>(0, whole)(gen));
    if (WIFSIGNALED(status)) ++killed;
    status = run_program(kept);
    ASSERT_TRUE(WIFEXITED(status)) << "trial " << t;
    ASSERT_EQ(WEXITSTATUS(status), 0) << "trial " << t;
    mm::DenseMatrix x1 = mm::read_dense((dir / "x1.mtx").string());
    ASSERT_EQ(x0.values.size(), x1.values.size());
    EXPECT_EQ(std::memcmp(x0.values.data(), x1.values.data(), x0.values.size() * sizeof(double)), 0)
        << "trial " << t;
  }
  EXPECT_GT(killed, 0);
}

TEST_F(Solve, ResumeAfterKillsGivesTheSameSolution) { kill_and_resume(dir_, 4, 11); }

// The long run, by hand: --gtest_also_run_disabled_tests.
TEST_F(Solve, DISABLED_ResumeAfterManyKills) { kill_and_resume(dir_, 200, 12); }

}  // namespace
}  // namespace tessera::test
