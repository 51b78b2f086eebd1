// Independent checks of the solver's input matrices: the compressed-column
// invariants, the matrix expanded to a dense symmetric array, and LAPACK's
// Cholesky factorisation and eigenvalues of it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "problem.h"

extern "C" {
void dpotrf_(const char *uplo, const int *n, double *a, const int *lda, int *info);
void dsyev_(const char *jobz, const char *uplo, const int *n, double *a, const int *lda, double *w,
            double *work, const int *lwork, int *info);
}

namespace tessera::test {

// Checks what every SparseSym promises: column pointers from 0 to the entry
// count, rows inside the lower triangle and strictly ascending in a column.
inline void expect_well_formed(const solve::SparseSym &a) {
  ASSERT_EQ(a.colptr.size(), static_cast<size_t>(a.n) + 1);
  ASSERT_EQ(a.colptr[0], 0);
  ASSERT_EQ(a.rowind.size(), static_cast<size_t>(a.entries()));
  ASSERT_EQ(a.values.size(), static_cast<size_t>(a.entries()));
  for (int32_t j = 0; j < a.n; ++j) {
    ASSERT_LE(a.colptr[j], a.colptr[j + 1]) << "column " << j;
    for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p) {
      ASSERT_GE(a.rowind[p], j) << "column " << j;
      ASSERT_LT(a.rowind[p], a.n) << "column " << j;
      if (p > a.colptr[j]) {
        ASSERT_GT(a.rowind[p], a.rowind[p - 1]) << "column " << j;
      }
    }
  }
}

// The full symmetric matrix, column-major.
inline std::vector<double> to_dense(const solve::SparseSym &a) {
  const size_t n = static_cast<size_t>(a.n);
  std::vector<double> d(n * n, 0.0);
  for (size_t j = 0; j < n; ++j)
    for (int64_t p = a.colptr[j]; p < a.colptr[j + 1]; ++p) {
      d[a.rowind[p] + j * n] = a.values[p];
      d[j + a.rowind[p] * n] = a.values[p];
    }
  return d;
}

// LAPACK's Cholesky factorisation succeeds: the matrix is positive definite
// to working precision.
inline bool cholesky_succeeds(std::vector<double> a, int n) {
  int info = 0;
  dpotrf_("L", &n, a.data(), &n, &info);
  return info == 0;
}

// Eigenvalues in ascending order.
inline std::vector<double> eigenvalues(std::vector<double> a, int n) {
  std::vector<double> w(static_cast<size_t>(n));
  int lwork = -1, info = 0;
  double query = 0;
  dsyev_("N", "L", &n, a.data(), &n, w.data(), &query, &lwork, &info);
  lwork = static_cast<int>(query);
  std::vector<double> work(static_cast<size_t>(lwork));
  dsyev_("N", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, &info);
  EXPECT_EQ(info, 0);
  return w;
}

}  // namespace tessera::test
