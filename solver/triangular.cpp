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

// Reads pieces of block rows: blocks [c0, c1) of block row I's list, block
// c0 + k at columns k nb of the buffer, leading dimension the row's height.
class Rows {
 public:
  Rows(FactorSet &f, SubstitutionStats &stats) : f_(f), s_(f.structure()), stats_(stats) {}

  const double *read(int32_t I, int32_t c0, int32_t c1) {
    const int32_t nb = s_.nb, b = s_.size(I);
    const int32_t *cols = s_.begin(I);
    buf_.resize(static_cast<size_t>(b) * nb * (c1 - c0));
    const auto t = Clock::now();
    for (int32_t k = c0; k < c1;) {
      int32_t e = k + 1;
      while (e < c1 && cols[e] == cols[e - 1] + 1) ++e;
      const int32_t j0 = cols[k] * nb;
      const int32_t w = std::min<int64_t>(int64_t{cols[e - 1] + 1} * nb, s_.n) - j0;
      f_.rows_of(I).get(I * nb, b, j0, w, buf_.data() + int64_t{k - c0} * nb * b, b);
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

int32_t substitution_blocks(int32_t nb, int64_t max_bytes) {
  return static_cast<int32_t>(std::max<int64_t>(1, max_bytes / (8LL * nb * nb)));
}

SubstitutionStats substitute(FactorSet &f, double *x, int32_t k, bool verify, int64_t max_bytes) {
  const auto start = Clock::now();
  SubstitutionStats stats;
  const BlockStructure &s = f.structure();
  const int32_t nb = s.nb;
  const int64_t n = s.n;
  const int32_t piece = substitution_blocks(nb, max_bytes);
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
  // Width of blocks [c0, c1) of block row I's list.
  auto width = [&](int32_t I, int32_t c0, int32_t c1) {
    return int64_t{c1 - c0 - 1} * nb + s.size(s.begin(I)[c1 - 1]);
  };

  // Forward: W^T y = x. The diagonal block (F = S U on it) first, then the
  // row's other blocks times S y_I, taken from the rows below, piece by piece.
  for (int32_t I = 0; I < s.nbk; ++I) {
    const int32_t b = s.size(I), count = s.count(I);
    const int8_t *si = sign + int64_t{I} * nb;
    for (int32_t c0 = 0; c0 < count; c0 += piece) {
      const int32_t c1 = std::min(count, c0 + piece);
      const double *row = rows.read(I, c0, c1);
      if (verify)
        for (int32_t c = c0; c < c1; ++c)
          sums[segment_of[I]] += block_checksum(row + int64_t{c - c0} * nb * b, b, b,
                                                s.size(s.begin(I)[c]), c == 0, I, s.begin(I)[c]);
      int32_t first = c0;
      if (c0 == 0) {
        diag.assign(row, row + static_cast<size_t>(b) * b);
        for (int32_t j = 0; j < b; ++j)
          for (int32_t i = 0; i <= j; ++i)
            if (si[i] < 0) diag[i + j * b] = -diag[i + j * b];
        take(I, b);
        int32_t ierr = 0, order = b, mode = kTriangular;
        fwsdr(diag.data(), xb.data(), &order, &k, &mode, &ierr);
        if (ierr != 0) refused("fwsdr", ierr, I, s);
        give(I, b);
        for (int32_t q = 0; q < k; ++q)
          for (int32_t i = 0; i < b; ++i)
            if (si[i] < 0) xb[i + static_cast<size_t>(q) * b] = -xb[i + static_cast<size_t>(q) * b];
        first = 1;
      }
      if (first >= c1) continue;
      const int64_t w = width(I, first, c1);
      prod.resize(static_cast<size_t>(w) * k);
      blas::gemm('T', 'N', static_cast<int>(w), k, b, 1.0, row + int64_t{first - c0} * nb * b, b,
                 xb.data(), b, 0.0, prod.data(), static_cast<int>(w));
      for (int32_t c = first; c < c1; ++c) {
        const int32_t J = s.begin(I)[c], bj = s.size(J);
        for (int32_t q = 0; q < k; ++q) {
          double *dst = x + q * n + int64_t{J} * nb;
          const double *src = prod.data() + q * w + int64_t{c - first} * nb;
          for (int32_t i = 0; i < bj; ++i) dst[i] -= src[i];
        }
      }
    }
  }
  if (verify)
    for (size_t q = 0; q < sums.size(); ++q)
      if (sums[q] != f.segments()[q].checksum)
        throw FactorError(f.path() + ": the blocks of segment " + std::to_string(q + 1) +
                          " do not match their checksum: the file was changed or damaged");

  // Backward: U x = y. The products with the row's other blocks first, piece
  // by piece, then the diagonal block.
  for (int32_t I = s.nbk - 1; I >= 0; --I) {
    const int32_t b = s.size(I), count = s.count(I);
    take(I, b);
    for (int32_t c0 = 0; c0 < count; c0 += piece) {
      const int32_t c1 = std::min(count, c0 + piece);
      const double *row = rows.read(I, c0, c1);
      int32_t first = c0;
      if (c0 == 0) {
        diag.assign(row, row + static_cast<size_t>(b) * b);
        first = 1;
      }
      if (first >= c1) continue;
      const int64_t w = width(I, first, c1);
      prod.resize(static_cast<size_t>(w) * k);
      for (int32_t c = first; c < c1; ++c) {
        const int32_t J = s.begin(I)[c], bj = s.size(J);
        for (int32_t q = 0; q < k; ++q)
          std::copy_n(x + q * n + int64_t{J} * nb, bj, prod.data() + q * w + int64_t{c - first} * nb);
      }
      blas::gemm('N', 'N', b, k, static_cast<int>(w), -1.0, row + int64_t{first - c0} * nb * b, b,
                 prod.data(), static_cast<int>(w), 1.0, xb.data(), b);
    }
    int32_t ierr = 0, order = b, mode = kTriangular;
    bwsdr(diag.data(), xb.data(), &order, &k, &mode, &ierr);
    if (ierr != 0) refused("bwsdr", ierr, I, s);
    give(I, b);
  }
  stats.seconds = since(start);
  return stats;
}

}  // namespace tessera::solve
