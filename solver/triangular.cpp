// Substitution with the stored factor (triangular.h).
#include "triangular.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "blas.h"
#include "tessera.h"

namespace tessera::solve {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Triangular mode of fwsdr and bwsdr (anything but the diagonal mode 5).
constexpr int32_t kTriangular = 1;

class Rows {
 public:
  Rows(FactorSet &f, SubstitutionStats &stats) : f_(f), s_(f.structure()), stats_(stats) {}

  // Reads block row I: block k of it at columns k nb of the buffer, leading
  // dimension the row's height.
  const double *read(int32_t I) {
    const int32_t nb = s_.nb, b = s_.size(I), count = s_.count(I);
    const int32_t *cols = s_.begin(I);
    buf_.resize(static_cast<size_t>(b) * nb * count);
    const auto t = Clock::now();
    for (int32_t k = 0; k < count;) {
      int32_t e = k + 1;
      while (e < count && cols[e] == cols[e - 1] + 1) ++e;
      const int32_t j0 = cols[k] * nb;
      const int32_t w = std::min<int64_t>(int64_t{cols[e - 1] + 1} * nb, s_.n) - j0;
      f_.rows_of(I).get(I * nb, b, j0, w, buf_.data() + int64_t{k} * nb * b, b);
      stats_.bytes_read += int64_t{8} * b * w;
      k = e;
    }
    stats_.io_seconds += since(t);
    return buf_.data();
  }

 private:
  FactorSet &f_;
  const BlockStructure &s_;
  SubstitutionStats &stats_;
  std::vector<double> buf_;
};

void refused(const char *routine, int32_t ierr, int32_t I, const BlockStructure &s) {
  throw FactorError(std::string("the substitution refuses the factor: ") + routine +
                    " finds the diagonal of block row " + std::to_string(I) +
                    " negligible at its column " + std::to_string(-ierr) + " (factor column " +
                    std::to_string(int64_t{I} * s.nb - ierr) + ")");
}

}  // namespace

SubstitutionStats substitute(FactorSet &f, double *x, int32_t k, bool verify) {
  const auto start = Clock::now();
  SubstitutionStats stats;
  const BlockStructure &s = f.structure();
  const int32_t nb = s.nb;
  const int64_t n = s.n;
  const int8_t *sign = f.signs().data();
  Rows rows(f, stats);
  std::vector<double> xb, diag, prod;
  std::vector<uint64_t> sums(f.segments().size(), 0);
  std::vector<int32_t> segment_of(static_cast<size_t>(s.nbk), -1);
  for (size_t q = 0; q < f.segments().size(); ++q)
    for (int32_t I = f.segments()[q].row_begin; I < f.segments()[q].row_end; ++I)
      segment_of[I] = static_cast<int32_t>(q);

  // The b x k rows of x of block row I, copied out and back.
  auto take = [&](int32_t I, int32_t b) {
    xb.resize(static_cast<size_t>(b) * k);
    for (int32_t q = 0; q < k; ++q)
      std::copy_n(x + q * n + int64_t{I} * nb, b, xb.data() + static_cast<size_t>(q) * b);
  };
  auto give = [&](int32_t I, int32_t b) {
    for (int32_t q = 0; q < k; ++q)
      std::copy_n(xb.data() + static_cast<size_t>(q) * b, b, x + q * n + int64_t{I} * nb);
  };

  // Forward: W^T y = x.
  for (int32_t I = 0; I < s.nbk; ++I) {
    const int32_t b = s.size(I), count = s.count(I);
    const double *row = rows.read(I);
    if (verify)
      for (int32_t c = 0; c < count; ++c)
        sums[segment_of[I]] += block_checksum(row + int64_t{c} * nb * b, b, b,
                                              s.size(s.begin(I)[c]), c == 0, I, s.begin(I)[c]);
    const int8_t *si = sign + int64_t{I} * nb;
    diag.assign(row, row + static_cast<size_t>(b) * b);
    for (int32_t j = 0; j < b; ++j)
      for (int32_t i = 0; i <= j; ++i)
        if (si[i] < 0) diag[i + j * b] = -diag[i + j * b];
    take(I, b);
    int32_t ierr = 0, order = b, mode = kTriangular;
    fwsdr(diag.data(), xb.data(), &order, &k, &mode, &ierr);
    if (ierr != 0) refused("fwsdr", ierr, I, s);
    give(I, b);
    if (count == 1) continue;
    // The row's other blocks times S y_I, taken from the rows below.
    for (int32_t q = 0; q < k; ++q)
      for (int32_t i = 0; i < b; ++i)
        if (si[i] < 0) xb[i + static_cast<size_t>(q) * b] = -xb[i + static_cast<size_t>(q) * b];
    const int64_t w = int64_t{count - 2} * nb + s.size(s.begin(I)[count - 1]);
    prod.resize(static_cast<size_t>(w) * k);
    blas::gemm('T', 'N', static_cast<int>(w), k, b, 1.0, row + int64_t{nb} * b, b, xb.data(), b,
               0.0, prod.data(), static_cast<int>(w));
    for (int32_t c = 1; c < count; ++c) {
      const int32_t J = s.begin(I)[c], bj = s.size(J);
      for (int32_t q = 0; q < k; ++q) {
        double *dst = x + q * n + int64_t{J} * nb;
        const double *src = prod.data() + q * w + int64_t{c - 1} * nb;
        for (int32_t i = 0; i < bj; ++i) dst[i] -= src[i];
      }
    }
  }
  if (verify)
    for (size_t q = 0; q < sums.size(); ++q)
      if (sums[q] != f.segments()[q].checksum)
        throw FactorError(f.path() + ": the blocks of segment " + std::to_string(q + 1) +
                          " do not match their checksum: the file was changed or damaged");

  // Backward: U x = y.
  for (int32_t I = s.nbk - 1; I >= 0; --I) {
    const int32_t b = s.size(I), count = s.count(I);
    const double *row = rows.read(I);
    take(I, b);
    if (count > 1) {
      const int64_t w = int64_t{count - 2} * nb + s.size(s.begin(I)[count - 1]);
      prod.resize(static_cast<size_t>(w) * k);
      for (int32_t c = 1; c < count; ++c) {
        const int32_t J = s.begin(I)[c], bj = s.size(J);
        for (int32_t q = 0; q < k; ++q)
          std::copy_n(x + q * n + int64_t{J} * nb, bj, prod.data() + q * w + int64_t{c - 1} * nb);
      }
      blas::gemm('N', 'N', b, k, static_cast<int>(w), -1.0, row + int64_t{nb} * b, b, prod.data(),
                 static_cast<int>(w), 1.0, xb.data(), b);
    }
    int32_t ierr = 0, order = b, mode = kTriangular;
    bwsdr(row, xb.data(), &order, &k, &mode, &ierr);
    if (ierr != 0) refused("bwsdr", ierr, I, s);
    give(I, b);
  }
  stats.seconds = since(start);
  return stats;
}

}  // namespace tessera::solve
