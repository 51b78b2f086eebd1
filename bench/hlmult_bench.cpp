// Speed of hlmult on two n x n double matrices stored in a file set, against
// one dgemm_ call on the same matrices held in memory. The host chooses a
// record length that makes the blocks large (131072 words: 256 x 256
// doubles) and a control area whose buffer pool holds hyperblocks of
// b1 x b1 blocks. Runs once with the BLAS switch on (size n) and once with
// it off (size n_off), printing GFLOP/s of both and their ratio.
//
//   hlmult_bench [n [n_off [record_words [b1 [directory]]]]]
//   defaults:     1024  512  131072        3   a fresh directory under /tmp
//
// n = 8192 needs about 1.6 GB of memory for the dense copies and as much disk.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "control/control_words.h"
#include "tessera.h"

extern "C" void dgemm_(const char *, const char *, const int *, const int *, const int *,
                       const double *, const double *, const int *, const double *, const int *,
                       const double *, double *, const int *);
extern "C" void openblas_set_num_threads(int);

namespace {

// The three areas a host links in.
int32_t g_trace[21];
int32_t g_cache[64];
int32_t g_chosky[600];

constexpr int32_t kDescriptors = 4;
constexpr int32_t kTypeDouble = 4;
constexpr int32_t kFormGeneral = 3;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Control-area length whose buffer pool gives hyperblocks of about b1 x b1
// blocks: each open matrix may hold three buffers, the algebra a few more,
// 18 b1^2 are needed for the hyperblocks; the pools and tables take some
// dozens of record-sized units besides.
int64_t control_length(int32_t record, int32_t b1) {
  const int64_t buffers = 18LL * b1 * b1 + 3LL * kDescriptors + 15 + 4;
  const int64_t buffer_words = (record + 127) / 128 * 128 + 14;
  return (buffers + 60) * buffer_words + 200000;
}

struct Result {
  double hl_seconds = 0, blas_seconds = 0, max_error = 0;
  int32_t b1 = 0;
  bool ok = false;
};

bool check(int32_t ierr, const char *what) {
  if (ierr == 0) return true;
  std::fprintf(stderr, "%s failed: ierr %d, trace", what, ierr);
  for (int32_t i = 1; i <= g_trace[0] && i <= 20; ++i) std::fprintf(stderr, " %d", g_trace[i]);
  std::fprintf(stderr, "\n");
  return false;
}

Result run(int32_t n, int32_t blas, int32_t record, int32_t b1, const std::string &dir) {
  Result res;
  const int64_t length64 = control_length(record, b1);
  if (length64 > INT32_MAX) {
    std::fprintf(stderr, "control area too long\n");
    return res;
  }
  int32_t length = static_cast<int32_t>(length64);
  std::vector<int32_t> ctrl(static_cast<size_t>(length), 0);
  int32_t nfs = 1, ndesc = kDescriptors, option = 0, ierr = 0;
  hminmf(ctrl.data(), &length, &nfs, &ndesc, &option, &ierr);
  if (!check(ierr, "hminmf")) return res;
  ctrl[tessera::cw::kRecordLength - 1] = record;
  ctrl[tessera::cw::kBlasSwitch - 1] = blas;

  std::string f1 = dir + "/bench1.hm", f2 = dir + "/bench2.hm";
  char *names[2] = {f1.data(), f2.data()};
  // The set is made large enough from the start for the index region (at
  // most 200 records) and the blocks of the three matrices, so that the
  // timed product does not wait for file growth.
  const int64_t nb = static_cast<int64_t>(std::sqrt(record / 2.0));
  const int64_t blocks_per_side = (n + nb - 1) / nb;
  const int64_t initial_words = std::min<int64_t>(
      (200 + 3 * blocks_per_side * (blocks_per_side + 1) + 64) * int64_t{record}, INT32_MAX / 2);
  int32_t nfiles = 2, index_records = 0, initial = static_cast<int32_t>(initial_words), fs = 0;
  hmnewf(ctrl.data(), &nfiles, names, &index_records, &initial, &fs, &ierr);
  if (!check(ierr, "hmnewf")) return res;

  int32_t handles[3] = {};
  const char *labels[3] = {"A", "B", "C"};
  for (int i = 0; i < 3; ++i) {
    int32_t name[3] = {0, 0, 0};
    std::memcpy(name, labels[i], 1);
    int32_t qualifier = 1, type = kTypeDouble, form = kFormGeneral;
    hmnewm(ctrl.data(), name, &qualifier, &fs, &type, &form, &n, &n, &handles[i], &ierr);
    if (!check(ierr, "hmnewm")) return res;
  }
  res.b1 = ctrl[static_cast<size_t>(handles[0] + tessera::dw::kHyperOrder - 2)];

  const size_t nn = static_cast<size_t>(n) * n;
  std::vector<double> a(nn), b(nn), c(nn, 0.0);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (auto &x : a) x = dist(rng);
  for (auto &x : b) x = dist(rng);
  int32_t one = 1;
  hmputs(ctrl.data(), &handles[0], &one, &n, &one, &n, reinterpret_cast<const float *>(a.data()),
         &n, &ierr);
  if (!check(ierr, "hmputs A")) return res;
  hmputs(ctrl.data(), &handles[1], &one, &n, &one, &n, reinterpret_cast<const float *>(b.data()),
         &n, &ierr);
  if (!check(ierr, "hmputs B")) return res;

  int32_t ta = 0, tb = 0, up = 0, sub = 0;
  auto t0 = std::chrono::steady_clock::now();
  hlmult(ctrl.data(), &handles[0], &handles[1], &handles[2], &ta, &tb, &up, &sub, &ierr);
  res.hl_seconds = seconds_since(t0);
  if (!check(ierr, "hlmult")) return res;

  const double alpha = 1.0, beta = 0.0;
  t0 = std::chrono::steady_clock::now();
  dgemm_("N", "N", &n, &n, &n, &alpha, a.data(), &n, b.data(), &n, &beta, c.data(), &n);
  res.blas_seconds = seconds_since(t0);

  // The stored product, read back a block column at a time, against dgemm_.
  std::vector<double> strip(static_cast<size_t>(n) * 256);
  for (int32_t j1 = 1; j1 <= n; j1 += 256) {
    int32_t nc = std::min(256, n - j1 + 1);
    hmgets(ctrl.data(), &handles[2], &one, &n, &j1, &nc, reinterpret_cast<float *>(strip.data()),
           &n, &ierr);
    if (!check(ierr, "hmgets")) return res;
    for (size_t x = 0; x < static_cast<size_t>(n) * nc; ++x)
      res.max_error = std::max(res.max_error,
                               std::fabs(strip[x] - c[static_cast<size_t>(j1 - 1) * n + x]));
  }

  // Closing with mode 1 deletes the files of the set still open.
  int32_t mode = 1;
  hmclos(ctrl.data(), &mode);
  res.ok = true;
  return res;
}

void report(const char *label, int32_t n, int32_t record, const Result &r) {
  if (!r.ok) {
    std::printf("%-9s n = %d: failed\n", label, n);
    return;
  }
  const double flops = 2.0 * n * static_cast<double>(n) * n;
  const double hl = flops / r.hl_seconds / 1e9, blas = flops / r.blas_seconds / 1e9;
  std::printf("%-9s n = %5d  record %6d words  b1 %d  hlmult %8.2f GFLOP/s (%7.3f s)  "
              "dgemm_ %8.2f GFLOP/s (%7.3f s)  ratio %.3f  max |diff| %.2e\n",
              label, n, record, r.b1, hl, r.hl_seconds, blas, r.blas_seconds, hl / blas,
              r.max_error);
}

}  // namespace

int main(int argc, char **argv) {
  Xerror = reinterpret_cast<char *>(g_trace);
  Xcache = reinterpret_cast<char *>(g_cache);
  Xchosky = reinterpret_cast<char *>(g_chosky);
  // The library calls dgemm_ from one thread of its own; the direct call is
  // held to one thread as well, so that the two are compared like for like.
  openblas_set_num_threads(1);

  const int32_t n = argc > 1 ? std::atoi(argv[1]) : 1024;
  const int32_t n_off = argc > 2 ? std::atoi(argv[2]) : 512;
  const int32_t record = argc > 3 ? std::atoi(argv[3]) : 131072;
  const int32_t b1 = argc > 4 ? std::atoi(argv[4]) : 3;
  std::string dir;
  if (argc > 5) {
    dir = argv[5];
  } else {
    char pattern[] = "/tmp/hlmult-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  if (n < 1 || n_off < 1 || record < 128 || b1 < 1) {
    std::fprintf(stderr, "usage: %s [n [n_off [record_words [b1 [directory]]]]]\n", argv[0]);
    return 2;
  }

  const Result on = run(n, 1, record, b1, dir);
  report("BLAS on", n, record, on);
  const Result off = run(n_off, 0, record, b1, dir);
  report("BLAS off", n_off, record, off);
  if (argc <= 5) rmdir(dir.c_str());
  return on.ok && off.ok ? 0 : 1;
}
