// The matrix being solved (source.h).
#include "source.h"

#include <algorithm>
#include <cmath>

#include "blas.h"

namespace tessera::solve {

SparseSource::SparseSource(SparseSym a) : a_(std::move(a)) {}

int64_t SparseSource::bytes() const {
  return static_cast<int64_t>(a_.colptr.size() * sizeof(int64_t) +
                              a_.rowind.size() * sizeof(int32_t) +
                              a_.values.size() * sizeof(double) +
                              position_.size() * sizeof(int32_t));
}

void SparseSource::fill(int32_t nb, int32_t I0, int32_t I1, const int32_t *cols, int32_t ncols,
                        double *t, int64_t ldt) {
  const int32_t nbk = (a_.n + nb - 1) / nb;
  if (static_cast<int32_t>(position_.size()) != nbk) position_.assign(static_cast<size_t>(nbk), -1);
  for (int32_t k = 0; k < ncols; ++k) position_[cols[k]] = k;
  // Row c of the upper triangle is column c of the lower one.
  const int32_t c0 = I0 * nb, c1 = std::min<int64_t>(int64_t{I1} * nb, a_.n);
  for (int32_t c = c0; c < c1; ++c)
    for (int64_t p = a_.colptr[c]; p < a_.colptr[c + 1]; ++p) {
      const int32_t r = a_.rowind[p], J = r / nb, k = position_[J];
      if (k >= 0) t[(c - c0) + (int64_t{k} * nb + (r - J * nb)) * ldt] = a_.values[p];
    }
  for (int32_t k = 0; k < ncols; ++k) position_[cols[k]] = -1;
}

void SparseSource::multiply(const double *x, double *y, int32_t k, double *abs_rows) {
  const int64_t n = a_.n;
  std::fill(y, y + n * k, 0.0);
  if (abs_rows) std::fill(abs_rows, abs_rows + n, 0.0);
  for (int32_t c = 0; c < a_.n; ++c)
    for (int64_t p = a_.colptr[c]; p < a_.colptr[c + 1]; ++p) {
      const int32_t r = a_.rowind[p];
      const double v = a_.values[p];
      for (int32_t q = 0; q < k; ++q) {
        y[r + q * n] += v * x[c + q * n];
        if (r != c) y[c + q * n] += v * x[r + q * n];
      }
      if (abs_rows) {
        abs_rows[r] += std::fabs(v);
        if (r != c) abs_rows[c] += std::fabs(v);
      }
    }
}

void DenseRegions::fill(int32_t nb, int32_t I0, int32_t I1, const int32_t *cols, int32_t ncols,
                        double *t, int64_t ldt) {
  const int32_t i0 = I0 * nb, nr = std::min<int64_t>(int64_t{I1} * nb, n()) - i0;
  // Block columns inside the rows' own square take only their rows on and
  // above the diagonal (the rest of the square is never read); the others
  // come in runs of consecutive block columns, one request each.
  for (int32_t k = 0; k < ncols;) {
    if (cols[k] < I1) {
      const int32_t j0 = cols[k] * nb, nc = std::min<int64_t>(int64_t{j0} + nb, n()) - j0;
      region(i0, std::min(nr, j0 + nc - i0), j0, nc, t + int64_t{k} * nb * ldt, ldt);
      ++k;
      continue;
    }
    int32_t e = k + 1;
    while (e < ncols && cols[e] == cols[e - 1] + 1) ++e;
    const int32_t j0 = cols[k] * nb;
    const int32_t nc = std::min<int64_t>(int64_t{cols[e - 1] + 1} * nb, n()) - j0;
    region(i0, nr, j0, nc, t + int64_t{k} * nb * ldt, ldt);
    k = e;
  }
}

void DenseRegions::multiply(const double *x, double *y, int32_t k, double *abs_rows) {
  const int64_t n = this->n();
  // Row panels of at most 32 MB: larger ones only cost memory.
  const int64_t bytes = std::min<int64_t>(panel_bytes_, int64_t{32} << 20);
  const int32_t rows =
      static_cast<int32_t>(std::clamp<int64_t>(bytes / (8 * std::max<int64_t>(n, 1)), 1, n));
  const size_t need = sizeof(double) * static_cast<size_t>(rows) * n;
  if (panel_.bytes() < need) panel_.reset(need);
  double *panel = static_cast<double *>(panel_.data());
  for (int64_t i0 = 0; i0 < n; i0 += rows) {
    const int32_t nr = static_cast<int32_t>(std::min<int64_t>(rows, n - i0));
    region(static_cast<int32_t>(i0), nr, 0, static_cast<int32_t>(n), panel, nr);
    blas::gemm('N', 'N', nr, k, static_cast<int>(n), 1.0, panel, nr, x,
               static_cast<int>(n), 0.0, y + i0, static_cast<int>(n));
    if (abs_rows) {
      for (int32_t i = 0; i < nr; ++i) abs_rows[i0 + i] = 0;
      for (int64_t j = 0; j < n; ++j)
        for (int32_t i = 0; i < nr; ++i) abs_rows[i0 + i] += std::fabs(panel[i + j * nr]);
    }
  }
}

}  // namespace tessera::solve
