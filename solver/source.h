// The matrix being solved, as the factorisation and the residual see it: a
// symmetric matrix in the factor's numbering that fills any panel of block
// rows on demand and multiplies vectors. Three kinds:
//
//  - a sparse matrix held in memory (the lower triangle, compressed columns),
//  - a dense matrix computed from a formula (the generated kernel matrices),
//  - a dense symmetric matrix kept in a file set (a dense Matrix Market file
//    streamed into the factor's set, or a host's own set), read with hmgets.
//
// The dense kinds keep their own numbering (no ordering is worth its cost on
// a dense matrix) and are never held whole in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "pages.h"
#include "problem.h"
#include "store.h"

namespace tessera::solve {

class MatrixSource {
 public:
  virtual ~MatrixSource() = default;
  virtual int32_t n() const = 0;
  virtual bool is_sparse() const { return false; }
  // Stored entries (for a dense matrix n (n + 1) / 2).
  virtual int64_t entries() const = 0;
  // Bytes the source holds in memory.
  virtual int64_t bytes() const = 0;

  // True when fill() writes every element of the region it is given (a
  // dense matrix); else the caller zeroes the region first.
  virtual bool fills_all() const { return true; }
  // Writes the entries of block rows [I0, I1) that fall in the listed block
  // columns (ascending, each >= I0; block column cols[k] goes to columns
  // k nb .. of t, leading dimension ldt). Entries below the diagonal may be
  // written or not, and when they are not, neither is the rest of their
  // column in the tile.
  virtual void fill(int32_t nb, int32_t I0, int32_t I1, const int32_t *cols, int32_t ncols,
                    double *t, int64_t ldt) = 0;

  // y := A x for k columns (leading dimension n). When abs_rows is not null it
  // receives the row sums of |A|.
  virtual void multiply(const double *x, double *y, int32_t k, double *abs_rows) = 0;
};

// A sparse lower triangle held in memory.
class SparseSource : public MatrixSource {
 public:
  explicit SparseSource(SparseSym a);
  int32_t n() const override { return a_.n; }
  bool is_sparse() const override { return true; }
  bool fills_all() const override { return false; }
  int64_t entries() const override { return a_.entries(); }
  int64_t bytes() const override;
  const SparseSym &matrix() const { return a_; }
  void fill(int32_t nb, int32_t I0, int32_t I1, const int32_t *cols, int32_t ncols, double *t,
            int64_t ldt) override;
  void multiply(const double *x, double *y, int32_t k, double *abs_rows) override;

 private:
  SparseSym a_;
  std::vector<int32_t> position_;  // block column -> position in the current fill, or -1
};

// A dense matrix with row panels of a bounded size: the kinds below say how
// a region is had, this class multiplies.
class DenseRegions : public MatrixSource {
 public:
  // panel_bytes bounds the rows multiply() holds at once.
  explicit DenseRegions(int64_t panel_bytes) : panel_bytes_(panel_bytes) {}
  int64_t entries() const override { return int64_t{n()} * (n() + 1) / 2; }
  void fill(int32_t nb, int32_t I0, int32_t I1, const int32_t *cols, int32_t ncols, double *t,
            int64_t ldt) override;
  void multiply(const double *x, double *y, int32_t k, double *abs_rows) override;
  // A(i0 .. i0+nr-1, j0 .. j0+nc-1) of the full symmetric matrix.
  virtual void region(int32_t i0, int32_t nr, int32_t j0, int32_t nc, double *a, int64_t lda) = 0;

 private:
  int64_t panel_bytes_;
  Pages panel_;  // kept from one product to the next
};

class GeneratedSource : public DenseRegions {
 public:
  GeneratedSource(std::unique_ptr<DenseSource> d, int64_t panel_bytes)
      : DenseRegions(panel_bytes), d_(std::move(d)) {}
  int32_t n() const override { return d_->n(); }
  int64_t bytes() const override { return 0; }
  void region(int32_t i0, int32_t nr, int32_t j0, int32_t nc, double *a, int64_t lda) override {
    d_->fill(i0, nr, j0, nc, a, lda);
  }

 private:
  std::unique_ptr<DenseSource> d_;
};

// A double matrix of storage form 1 in an open file set.
class StoredSource : public DenseRegions {
 public:
  StoredSource(Matrix *m, int64_t panel_bytes) : DenseRegions(panel_bytes), m_(m) {}
  int32_t n() const override { return m_->rows(); }
  int64_t bytes() const override { return 0; }
  void region(int32_t i0, int32_t nr, int32_t j0, int32_t nc, double *a, int64_t lda) override {
    m_->get(i0, nr, j0, nc, a, static_cast<int32_t>(lda));
  }
  void set_matrix(Matrix *m) { m_ = m; }

 private:
  Matrix *m_;
};

}  // namespace tessera::solve
