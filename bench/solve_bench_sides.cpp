// The sides of solve_bench, each run in a child process of its own:
//
//   lapack     dpotrf on the whole dense matrix in memory
//   cholmod    CHOLMOD, supernodal, in memory, METIS ordering
//   reference  CHOLMOD's analysis alone: the flop count every side is rated by
//   mumps      MUMPS, sequential, symmetric positive definite, in core
//   mumps-ooc  the same out of core (ICNTL(22) = 1), at its own default memory
//   tessera    libtessera_solve through its C interface, at a given --memory
//   prepare    writes a dense problem into a file set, as a host would, for
//              the tessera runs to read
//
// Every side builds the same matrix from the solver's generators, times its
// analysis and its numerical factorisation apart, solves A x = A 1 and
// checks the solution by its scaled residual, computed here the same way for
// every side. Only the numerical factorisation is rated.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include <dmumps_c.h>
#include <metis.h>
#include <suitesparse/cholmod.h>

#include "generate.h"
#include "solve_bench.h"
#include "store.h"
#include "tessera_sizing.h"
#include "tessera_solve.h"

extern "C" {
void dpotrf_(const char *uplo, const int *n, double *a, const int *lda, int *info);
void dpotrs_(const char *uplo, const int *n, const int *nrhs, const double *a, const int *lda,
             double *b, const int *ldb, int *info);
void dgemv_(const char *trans, const int *m, const int *n, const double *alpha, const double *a,
            const int *lda, const double *x, const int *incx, const double *beta, double *y,
            const int *incy);
void openblas_set_num_threads(int);
int openblas_get_num_threads(void);
char *openblas_get_config(void);
}

namespace solve_bench {
namespace {

namespace ts = tessera::solve;
namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// User and system seconds of every thread of this process so far.
double cpu_seconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + 1e-6 * (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

int64_t peak_rss_bytes() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<int64_t>(ru.ru_maxrss) * 1024;
}

// A side's failure: its message goes to the driver.
struct SideError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ||b - A x||inf / (||A||inf ||x||inf eps) and ||x - 1||inf, from A x, the
// row sums of |A| and b.
void judge(json &r, const std::vector<double> &ax, const std::vector<double> &abs_rows,
           const std::vector<double> &b, const std::vector<double> &x) {
  double rn = 0, an = 0, xn = 0, err = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    rn = std::max(rn, std::fabs(b[i] - ax[i]));
    an = std::max(an, abs_rows[i]);
    xn = std::max(xn, std::fabs(x[i]));
    err = std::max(err, std::fabs(x[i] - 1.0));
  }
  r["scaled_residual"] = rn / (an * xn * std::numeric_limits<double>::epsilon());
  r["error"] = err;
}

ts::SparseSym sparse_problem(const std::string &name) {
  ts::Problem p = ts::make_problem(name);
  if (p.dense) throw SideError(name + " is dense: this side takes sparse problems");
  return std::move(p.sparse);
}

std::unique_ptr<ts::DenseSource> dense_problem(const std::string &name) {
  ts::Problem p = ts::make_problem(name);
  if (!p.dense) throw SideError(name + " is sparse: this side takes dense problems");
  return std::move(p.dense);
}

// The columns of a dense problem are made this many at a time.
constexpr int32_t kPanel = 256;

// A x and the row sums of |A| for a dense problem, by column panels made
// from its formula (so the factorised copy need not be kept).
void dense_multiply(const ts::DenseSource &a, const double *x, std::vector<double> &y,
                    std::vector<double> &abs_rows) {
  const int n = a.n();
  y.assign(static_cast<size_t>(n), 0.0);
  abs_rows.assign(static_cast<size_t>(n), 0.0);
  std::vector<double> panel(static_cast<size_t>(n) * kPanel);
  const int one = 1;
  const double alpha = 1.0, beta = 1.0;
  for (int j0 = 0; j0 < n; j0 += kPanel) {
    const int w = std::min(kPanel, n - j0);
    a.fill(0, n, j0, w, panel.data(), n);
    dgemv_("N", &n, &w, &alpha, panel.data(), &n, x + j0, &one, &beta, y.data(), &one);
    for (int k = 0; k < w; ++k)
      for (int i = 0; i < n; ++i) abs_rows[i] += std::fabs(panel[i + size_t(k) * n]);
  }
}

// --- LAPACK ----------------------------------------------------------------

json run_lapack(const ChildTask &task) {
  auto src = dense_problem(task.problem);
  const int n = src->n();
  json r;
  std::vector<double> a(static_cast<size_t>(n) * n);
  src->fill(0, n, 0, n, a.data(), n);
  std::vector<double> b(static_cast<size_t>(n), 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) b[i] += a[i + size_t(j) * n];
  auto t0 = Clock::now();
  const double c0 = cpu_seconds();
  int info = 0;
  dpotrf_("L", &n, a.data(), &n, &info);
  r["factor_seconds"] = since(t0);
  r["factor_cpu_seconds"] = cpu_seconds() - c0;
  if (info != 0) throw SideError("dpotrf: info " + std::to_string(info));
  r["analyse_seconds"] = 0.0;
  r["factor_bytes"] = 8.0 * n * (n + 1.0) / 2;
  r["ordering"] = "none";
  std::vector<double> x = b;
  const int one = 1;
  dpotrs_("L", &n, &one, a.data(), &n, x.data(), &n, &info);
  if (info != 0) throw SideError("dpotrs: info " + std::to_string(info));
  a = std::vector<double>();
  std::vector<double> ax, abs_rows;
  dense_multiply(*src, x.data(), ax, abs_rows);
  judge(r, ax, abs_rows, b, x);
  return r;
}

// --- CHOLMOD ---------------------------------------------------------------

// A CHOLMOD copy of the lower triangle (stype -1: the lower triangle is
// stored, the matrix is symmetric).
cholmod_sparse *cholmod_copy(const ts::SparseSym &s, cholmod_common *c) {
  cholmod_sparse *a = cholmod_l_allocate_sparse(s.n, s.n, s.entries(), 1, 1, -1, CHOLMOD_REAL, c);
  if (a == nullptr) throw SideError("cholmod_l_allocate_sparse failed");
  auto *p = static_cast<SuiteSparse_long *>(a->p);
  auto *i = static_cast<SuiteSparse_long *>(a->i);
  auto *x = static_cast<double *>(a->x);
  for (int32_t j = 0; j <= s.n; ++j) p[j] = s.colptr[j];
  for (int64_t k = 0; k < s.entries(); ++k) {
    i[k] = s.rowind[k];
    x[k] = s.values[k];
  }
  return a;
}

struct Cholmod {
  cholmod_common c;
  Cholmod() {
    cholmod_l_start(&c);
    // METIS alone, with the elimination tree postordered; supernodal.
    c.nmethods = 1;
    c.method[0].ordering = CHOLMOD_METIS;
    c.postorder = 1;
    c.supernodal = CHOLMOD_SUPERNODAL;
    c.print = 0;
  }
  ~Cholmod() { cholmod_l_finish(&c); }
};

json run_cholmod(const ChildTask &task, bool factorise) {
  json r;
  Cholmod ch;
  cholmod_sparse *a = nullptr;
  {
    ts::SparseSym s = sparse_problem(task.problem);
    a = cholmod_copy(s, &ch.c);
  }
  const auto n = static_cast<size_t>(a->nrow);
  auto t0 = Clock::now();
  cholmod_factor *l = cholmod_l_analyze(a, &ch.c);
  r["analyse_seconds"] = since(t0);
  if (l == nullptr || ch.c.status < CHOLMOD_OK)
    throw SideError("cholmod_l_analyze: status " + std::to_string(ch.c.status));
  // CHOLMOD counts a multiply and an add as two: sum over the columns of the
  // squared column counts of L.
  r["reference_flops"] = ch.c.fl;
  r["reference_lnz"] = ch.c.lnz;
  r["ordering"] = "METIS (CHOLMOD_METIS, postordered)";
  if (factorise) {
    t0 = Clock::now();
    const double c0 = cpu_seconds();
    const int ok = cholmod_l_factorize(a, l, &ch.c);
    r["factor_seconds"] = since(t0);
    r["factor_cpu_seconds"] = cpu_seconds() - c0;
    if (!ok || ch.c.status != CHOLMOD_OK || l->minor < l->n)
      throw SideError("cholmod_l_factorize: status " + std::to_string(ch.c.status) + ", minor " +
                      std::to_string(l->minor));
    r["factor_bytes"] = 8.0 * (l->is_super ? static_cast<double>(l->xsize)
                                           : static_cast<double>(l->nzmax));
    r["supernodal"] = l->is_super != 0;
    // b = A 1, x = A \ b.
    cholmod_dense *ones = cholmod_l_ones(n, 1, CHOLMOD_REAL, &ch.c);
    cholmod_dense *b = cholmod_l_zeros(n, 1, CHOLMOD_REAL, &ch.c);
    double alpha[2] = {1, 0}, beta[2] = {0, 0};
    cholmod_l_sdmult(a, 0, alpha, beta, ones, b, &ch.c);
    cholmod_dense *x = cholmod_l_solve(CHOLMOD_A, l, b, &ch.c);
    if (x == nullptr) throw SideError("cholmod_l_solve failed");
    cholmod_dense *ax = cholmod_l_zeros(n, 1, CHOLMOD_REAL, &ch.c);
    cholmod_l_sdmult(a, 0, alpha, beta, x, ax, &ch.c);
    // Row sums of |A| from both triangles of the stored lower one.
    std::vector<double> abs_rows(n, 0.0);
    const auto *p = static_cast<const SuiteSparse_long *>(a->p);
    const auto *ri = static_cast<const SuiteSparse_long *>(a->i);
    const auto *av = static_cast<const double *>(a->x);
    for (size_t j = 0; j < n; ++j)
      for (SuiteSparse_long k = p[j]; k < p[j + 1]; ++k) {
        abs_rows[ri[k]] += std::fabs(av[k]);
        if (static_cast<size_t>(ri[k]) != j) abs_rows[j] += std::fabs(av[k]);
      }
    auto vec = [n](cholmod_dense *d) {
      const auto *v = static_cast<const double *>(d->x);
      return std::vector<double>(v, v + n);
    };
    judge(r, vec(ax), abs_rows, vec(b), vec(x));
    for (cholmod_dense *d : {ones, b, x, ax}) cholmod_l_free_dense(&d, &ch.c);
  }
  cholmod_l_free_factor(&l, &ch.c);
  cholmod_l_free_sparse(&a, &ch.c);
  return r;
}

// --- MUMPS -----------------------------------------------------------------

// MUMPS's arrays are 1-based in the Fortran manner; ICNTL(k) is icntl[k - 1].
#define ICNTL(k) icntl[(k) - 1]
#define INFOG(k) infog[(k) - 1]

// A fill-reducing order from METIS's nested dissection, as MUMPS takes it
// (ICNTL(7) = 1): position in the pivot order of each variable, 1-based.
std::vector<MUMPS_INT> metis_order(const ts::SparseSym &s) {
  const int32_t n = s.n;
  std::vector<idx_t> degree(static_cast<size_t>(n) + 1, 0);
  for (int32_t j = 0; j < n; ++j)
    for (int64_t p = s.colptr[j]; p < s.colptr[j + 1]; ++p)
      if (s.rowind[p] != j) {
        ++degree[s.rowind[p] + 1];
        ++degree[j + 1];
      }
  std::vector<idx_t> xadj(degree);
  for (int32_t j = 0; j < n; ++j) xadj[j + 1] += xadj[j];
  std::vector<idx_t> adj(static_cast<size_t>(xadj[n])), next(xadj.begin(), xadj.end() - 1);
  for (int32_t j = 0; j < n; ++j)
    for (int64_t p = s.colptr[j]; p < s.colptr[j + 1]; ++p)
      if (s.rowind[p] != j) {
        adj[next[j]++] = s.rowind[p];
        adj[next[s.rowind[p]]++] = j;
      }
  idx_t nv = n, options[METIS_NOPTIONS];
  METIS_SetDefaultOptions(options);
  std::vector<idx_t> perm(static_cast<size_t>(n)), iperm(static_cast<size_t>(n));
  if (METIS_NodeND(&nv, xadj.data(), adj.data(), nullptr, options, perm.data(), iperm.data()) !=
      METIS_OK)
    throw SideError("METIS_NodeND failed");
  std::vector<MUMPS_INT> order(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) order[i] = static_cast<MUMPS_INT>(iperm[i] + 1);
  return order;
}

class Mumps {
 public:
  Mumps() {
    std::memset(&id_, 0, sizeof id_);
    id_.comm_fortran = -987654;  // MPI_COMM_WORLD of the sequential library
    id_.par = 1;
    id_.sym = 1;  // symmetric positive definite
    call(-1);
    id_.ICNTL(1) = -1;
    id_.ICNTL(2) = -1;
    id_.ICNTL(3) = -1;
    id_.ICNTL(4) = 0;
  }
  ~Mumps() {
    id_.job = -2;
    dmumps_c(&id_);
  }
  DMUMPS_STRUC_C &id() { return id_; }
  int call(int job) {
    id_.job = job;
    dmumps_c(&id_);
    return id_.INFOG(1);
  }
  std::string failure(const char *what) const {
    return std::string(what) + ": INFOG(1) " + std::to_string(id_.INFOG(1)) + ", INFOG(2) " +
           std::to_string(id_.INFOG(2));
  }

 private:
  DMUMPS_STRUC_C id_;
};

// A MUMPS count: a negative value is in millions.
double mumps_count(MUMPS_INT v) { return v < 0 ? -1e6 * v : v; }

json run_mumps(const ChildTask &task, bool out_of_core) {
  json r;
  std::vector<MUMPS_INT> irn, jcn, order;
  std::vector<double> val;
  int32_t n = 0;
  auto t0 = Clock::now();
  {
    ts::SparseSym s = sparse_problem(task.problem);
    n = s.n;
    irn.reserve(static_cast<size_t>(s.entries()));
    jcn.reserve(static_cast<size_t>(s.entries()));
    for (int32_t j = 0; j < n; ++j)
      for (int64_t p = s.colptr[j]; p < s.colptr[j + 1]; ++p) {
        irn.push_back(s.rowind[p] + 1);
        jcn.push_back(j + 1);
      }
    val = std::move(s.values);
    t0 = Clock::now();
    if (task.mumps_ordering == "metis") order = metis_order(s);
  }
  const double metis_seconds = since(t0);
  Mumps m;
  DMUMPS_STRUC_C &id = m.id();
  id.n = n;
  id.nnz = static_cast<MUMPS_INT8>(val.size());
  id.irn = irn.data();
  id.jcn = jcn.data();
  id.a = val.data();
  if (task.mumps_ordering == "metis") {
    id.ICNTL(7) = 1;
    id.perm_in = order.data();
    r["ordering"] = "METIS_NodeND, given (ICNTL(7) = 1)";
  } else if (task.mumps_ordering == "scotch") {
    id.ICNTL(7) = 3;
    r["ordering"] = "SCOTCH (ICNTL(7) = 3)";
  } else {
    throw SideError("unknown MUMPS ordering " + task.mumps_ordering);
  }
  id.ICNTL(22) = out_of_core ? 1 : 0;
  if (out_of_core) {
    if (task.dir.size() >= sizeof id.ooc_tmpdir) throw SideError("directory name too long for MUMPS");
    std::strcpy(id.ooc_tmpdir, task.dir.c_str());
    std::strcpy(id.ooc_prefix, "mumps");
  }
  t0 = Clock::now();
  if (m.call(1) < 0) throw SideError(m.failure("analysis"));
  r["analyse_seconds"] = since(t0) + metis_seconds;
  // The factorisation, with more working space while MUMPS asks for it.
  int retries = 0;
  double seconds = 0, cpu = 0;
  for (;;) {
    t0 = Clock::now();
    const double c0 = cpu_seconds();
    const int st = m.call(2);
    seconds = since(t0);
    cpu = cpu_seconds() - c0;
    if (st >= 0) break;
    if ((st == -8 || st == -9) && retries < 4) {
      id.ICNTL(14) = (id.ICNTL(14) > 0 ? id.ICNTL(14) : 20) * 2;
      ++retries;
      continue;
    }
    throw SideError(m.failure("factorisation"));
  }
  r["factor_seconds"] = seconds;
  r["factor_cpu_seconds"] = cpu;
  r["retries"] = retries;
  r["icntl14"] = id.ICNTL(14);
  r["factor_bytes"] = 8.0 * mumps_count(id.INFOG(29));
  r["mumps_own_flops"] = id.rinfog[2];  // RINFOG(3): its count of the elimination
  r["estimated_peak_mb"] = id.INFOG(out_of_core ? 17 : 16);
  r["out_of_core"] = out_of_core;
  r["version"] = id.version_number;
  // b = A 1 from the entries, then x = A \ b.
  std::vector<double> ones(static_cast<size_t>(n), 1.0), b, abs_rows;
  auto multiply = [&](const std::vector<double> &x, std::vector<double> &y) {
    y.assign(static_cast<size_t>(n), 0.0);
    abs_rows.assign(static_cast<size_t>(n), 0.0);
    for (size_t k = 0; k < val.size(); ++k) {
      const int32_t i = irn[k] - 1, j = jcn[k] - 1;
      y[i] += val[k] * x[j];
      abs_rows[i] += std::fabs(val[k]);
      if (i != j) {
        y[j] += val[k] * x[i];
        abs_rows[j] += std::fabs(val[k]);
      }
    }
  };
  multiply(ones, b);
  std::vector<double> x = b;
  id.rhs = x.data();
  id.nrhs = 1;
  id.lrhs = n;
  if (m.call(3) < 0) throw SideError(m.failure("solve"));
  std::vector<double> ax;
  multiply(x, ax);
  judge(r, ax, abs_rows, b, x);
  return r;
}

// --- tessera -----------------------------------------------------------------

// Flushes a file and drops its pages from the page cache; returns the share
// of its pages still cached afterwards (mincore), or -1 when not known.
double drop_from_cache(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  double share = -1;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    void *p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      const long page = ::sysconf(_SC_PAGESIZE);
      const size_t pages = (static_cast<size_t>(st.st_size) + page - 1) / page;
      std::vector<unsigned char> in(pages);
      if (::mincore(p, static_cast<size_t>(st.st_size), in.data()) == 0) {
        size_t cached = 0;
        for (unsigned char c : in) cached += c & 1;
        share = double(cached) / double(pages);
      }
      ::munmap(p, static_cast<size_t>(st.st_size));
    }
  } else if (st.st_size == 0) {
    share = 0;
  }
  ::close(fd);
  return share;
}

// What the progress callback sees of a solve: the processor time of the
// factor phase, and the files to make cold when it begins.
struct ColdStart {
  bool cold = false;
  double cpu_at_factor = -1, cpu_factor = -1;
  std::vector<std::string> files;  // fixed ones (the matrix's set)
  std::string dir;                 // and every file in here (the factor's set)
  bool done = false;
  double seconds = 0;
  double largest_cached_share = 0;
  int dropped = 0;
  double disk_read_before = 0;  // when the factorisation began
};

// Bytes this process has had read from the disk so far (/proc/self/io).
double disk_read_bytes() {
  std::FILE *f = std::fopen("/proc/self/io", "r");
  if (f == nullptr) return -1;
  char line[128];
  double v = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "read_bytes:", 11) == 0) v = std::atof(line + 11);
  std::fclose(f);
  return v;
}

extern "C" void on_progress(void *user, const char *phase, double fraction, double, double,
                            const char *) {
  auto *cold = static_cast<ColdStart *>(user);
  if (fraction != 0.0) return;
  if (std::strcmp(phase, "factor") != 0) {
    // The phase after the factorisation has begun.
    if (cold->cpu_at_factor >= 0 && cold->cpu_factor < 0)
      cold->cpu_factor = cpu_seconds() - cold->cpu_at_factor;
    return;
  }
  if (cold->done) return;
  if (!cold->cold) {
    cold->cpu_at_factor = cpu_seconds();
    cold->done = true;
    return;
  }
  // The factor phase has begun and its clock is not running yet: every file
  // of the matrix's set and of the factor's set leaves the page cache now.
  const auto t0 = Clock::now();
  std::vector<std::string> files = cold->files;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(cold->dir, ec))
    if (e.is_regular_file()) files.push_back(e.path().string());
  for (const std::string &f : files) {
    const double share = drop_from_cache(f);
    cold->largest_cached_share = std::max(cold->largest_cached_share, share);
    ++cold->dropped;
  }
  cold->seconds = since(t0);
  cold->disk_read_before = disk_read_bytes();
  cold->cpu_at_factor = cpu_seconds();
  cold->done = true;
}

void check_solve(tessera_solver *s, int status, const char *what) {
  if (status != TESSERA_SOLVE_OK)
    throw SideError(std::string(what) + ": status " + std::to_string(status) + ": " +
                    tessera_solve_message(s));
}

json run_tessera(const ChildTask &task) {
  json r;
  std::unique_ptr<tessera_solver, void (*)(tessera_solver *)> s(tessera_solve_create(),
                                                                 tessera_solve_destroy);
  if (!s) throw SideError("tessera_solve_create failed");
  const char *set_files[1] = {task.set.c_str()};
  if (!task.set.empty())
    check_solve(s.get(), tessera_solve_set_fileset(s.get(), 1, set_files, kSetMatrix, 1),
                "set_fileset");
  else
    check_solve(s.get(), tessera_solve_set_generated(s.get(), task.problem.c_str()),
                "set_generated");
  check_solve(s.get(), tessera_solve_set_memory(s.get(), task.memory), "set_memory");
  check_solve(s.get(), tessera_solve_set_block_order(s.get(), task.block_order), "set_block_order");
  // Nested dissection for the sparse problems; a dense one keeps its own
  // numbering whatever is asked.
  check_solve(s.get(), tessera_solve_set_ordering(s.get(), "nd"), "set_ordering");
  check_solve(s.get(), tessera_solve_set_work_dir(s.get(), task.dir.c_str()), "set_work_dir");
  ColdStart cold;
  cold.cold = task.cold;
  cold.dir = task.dir;
  if (!task.set.empty()) cold.files.push_back(task.set);
  tessera_solve_set_progress(s.get(), on_progress, &cold);
  const int st = tessera_solve_run(s.get());
  // Too little memory is the solver's answer, not a fault of the run.
  if (st == TESSERA_SOLVE_MEMORY) {
    r["refused"] = true;
    r["message"] = tessera_solve_message(s.get());
    return r;
  }
  if (st != TESSERA_SOLVE_OK)
    throw SideError("tessera_solve_run: status " + std::to_string(st) + ": " +
                    tessera_solve_message(s.get()));
  if (!cold.done) throw SideError("the factorisation began unseen");
  const json rep = json::parse(tessera_solve_report_json(s.get()));
  const auto &sec = rep.at("seconds");
  r["factor_seconds"] = sec.at("factor");
  if (cold.cpu_factor >= 0) r["factor_cpu_seconds"] = cold.cpu_factor;
  r["analyse_seconds"] = sec.at("order").get<double>() + sec.at("symbolic").get<double>();
  r["factor_bytes"] = rep.at("factor_mb").get<double>() * 1024 * 1024;
  r["ordering"] = rep.at("ordering").get<std::string>() == "nd"
                      ? "METIS nested dissection (--ordering nd)"
                      : rep.at("ordering").get<std::string>();
  r["scaled_residual"] = rep.value("scaled_residual", std::numeric_limits<double>::quiet_NaN());
  r["error"] = rep.value("error", std::numeric_limits<double>::quiet_NaN());
  r["report"] = rep;
  if (task.cold) {
    r["cold_files"] = cold.dropped;
    r["cold_cached_share"] = cold.largest_cached_share;
    r["cold_seconds"] = cold.seconds;
    // From the disk since the factorisation began (its solve included).
    r["cold_disk_read"] = disk_read_bytes() - cold.disk_read_before;
  }
  return r;
}

// The dense problem as a double matrix of storage form 1 in a file set of
// one file, written block row by block row as a host assembling it would.
json run_prepare(const ChildTask &task) {
  json r;
  auto src = dense_problem(task.problem);
  const int32_t n = src->n();
  // Blocks of 64 x 64 doubles (records of 8192 words, 32 KiB): the solver reads
  // the set through a control area of its own, at least 39 records long.
  constexpr int32_t kNb = 64, kRecord = 2 * kNb * kNb, kDesc = 2;
  auto t0 = Clock::now();
  {
    ts::HostAreas areas;
    ts::ControlArea area(
        ts::ControlArea::words_for(kRecord, ts::ControlArea::min_buffers(kDesc) + 16, 1, kDesc),
        kRecord, 1, kDesc);
    const int64_t nbk = (n + kNb - 1) / kNb;
    // Room for the index region and every block from the start.
    const int64_t initial =
        tessera_fileset_min_words(kRecord, static_cast<int32_t>(area.length()), 0) +
        (nbk * (nbk + 1) / 2 + 8) * int64_t{kRecord};
    ts::FileSet set = ts::FileSet::create(area, task.set, initial);
    ts::Matrix a =
        ts::Matrix::create(set, kSetMatrix, 1, TESSERA_TYPE_DOUBLE, TESSERA_FORM_SYMMETRIC, n, n);
    std::vector<double> rows(static_cast<size_t>(kNb) * n);
    for (int32_t i0 = 0; i0 < n; i0 += kNb) {
      const int32_t h = std::min(kNb, n - i0);
      src->fill(i0, h, i0, n - i0, rows.data(), h);
      a.put(i0, h, i0, n - i0, rows.data(), h);
    }
    a.release();
    set.remove();
  }
  r["factor_seconds"] = 0.0;
  r["write_seconds"] = since(t0);
  r["set_bytes"] = static_cast<double>(fs::file_size(task.set));
  return r;
}

}  // namespace

json header_versions() {
  json v;
  v["CHOLMOD"] = std::to_string(CHOLMOD_MAIN_VERSION) + "." + std::to_string(CHOLMOD_SUB_VERSION) +
                 "." + std::to_string(CHOLMOD_SUBSUB_VERSION) + " (" + CHOLMOD_DATE + ")";
  v["SuiteSparse"] = std::to_string(SUITESPARSE_MAIN_VERSION) + "." +
                     std::to_string(SUITESPARSE_SUB_VERSION) + "." +
                     std::to_string(SUITESPARSE_SUBSUB_VERSION);
  v["MUMPS"] = MUMPS_VERSION;
  v["METIS"] = std::to_string(METIS_VER_MAJOR) + "." + std::to_string(METIS_VER_MINOR) + "." +
               std::to_string(METIS_VER_SUBMINOR);
  return v;
}

json run_side(const ChildTask &task) {
  if (task.threads > 0) openblas_set_num_threads(task.threads);
  json r;
  try {
    if (task.side == "lapack")
      r = run_lapack(task);
    else if (task.side == "cholmod")
      r = run_cholmod(task, true);
    else if (task.side == "reference")
      r = run_cholmod(task, false);
    else if (task.side == "mumps")
      r = run_mumps(task, false);
    else if (task.side == "mumps-ooc")
      r = run_mumps(task, true);
    else if (task.side == "tessera")
      r = run_tessera(task);
    else if (task.side == "prepare")
      r = run_prepare(task);
    else
      throw SideError("unknown side " + task.side);
    r["ok"] = true;
  } catch (const std::exception &e) {
    r["ok"] = false;
    r["message"] = e.what();
  }
  r["peak_rss"] = peak_rss_bytes();
  r["blas_threads"] = openblas_get_num_threads();
  r["blas_config"] = openblas_get_config();
  return r;
}

}  // namespace solve_bench
