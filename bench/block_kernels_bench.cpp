// Speed of the double block products on 256 x 256 blocks, each reported as
// a ratio to one direct dgemm_ call on the same data (counter "x_dgemm").
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "algebra/block_kernels.h"

extern "C" void dgemm_(const char *, const char *, const int *, const int *, const int *,
                       const double *, const double *, const int *, const double *, const int *,
                       const double *, double *, const int *);

namespace {

constexpr int kN = 256;

struct Blocks {
  std::vector<double> a, b, y;
  Blocks() : a(kN * kN), b(kN * kN), y(kN * kN, 0.0) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> d(-1, 1);
    for (auto &x : a) x = d(rng);
    for (auto &x : b) x = d(rng);
  }
  const int32_t *A() const { return reinterpret_cast<const int32_t *>(a.data()); }
  const int32_t *B() const { return reinterpret_cast<const int32_t *>(b.data()); }
  int32_t *Y() { return reinterpret_cast<int32_t *>(y.data()); }
};

void direct_dgemm(Blocks &m) {
  const int n = kN;
  const double one = 1.0;
  dgemm_("N", "N", &n, &n, &n, &one, m.a.data(), &n, m.b.data(), &n, &one, m.y.data(), &n);
}

// Seconds of one direct call, measured once.
double dgemm_seconds() {
  static const double s = [] {
    Blocks m;
    direct_dgemm(m);
    const int reps = 20;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) direct_dgemm(m);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;
  }();
  return s;
}

template <class F>
void run(benchmark::State &state, F f) {
  Blocks m;
  const double ref = dgemm_seconds();
  double total = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    f(m);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(m.y.data());
  }
  state.counters["x_dgemm"] = total / static_cast<double>(state.iterations()) / ref;
}

void BM_DirectDgemm(benchmark::State &state) { run(state, direct_dgemm); }

void BM_MultBlockBlas(benchmark::State &state) {
  run(state, [](Blocks &m) {
    int32_t fa = 3, fb = 3;
    tessera::hl_mult_block(m.A(), m.B(), m.Y(), 4, 1, fa, kN, kN, fb, kN, kN, 0, 0, 0, 1);
  });
}

void BM_TrimmedNN(benchmark::State &state) {
  run(state, [](Blocks &m) { tessera::hl_dmul_nn_trim(m.A(), kN, kN, m.B(), kN, kN, 1, m.Y()); });
}

void BM_TrimmedTN(benchmark::State &state) {
  run(state, [](Blocks &m) { tessera::hl_dmul_tn_trim(m.A(), kN, kN, m.B(), kN, kN, 1, m.Y()); });
}

// The loop kernel of double items (type 8, one item per element).
void BM_LoopNN(benchmark::State &state) {
  run(state, [](Blocks &m) {
    int32_t fa = 3, fb = 3;
    tessera::hl_mult_block(m.A(), m.B(), m.Y(), 8, 1, fa, kN, kN, fb, kN, kN, 0, 0, 0, 0);
  });
}

BENCHMARK(BM_DirectDgemm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultBlockBlas)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrimmedNN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrimmedTN)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoopNN)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
