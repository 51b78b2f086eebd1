// The BLAS and LAPACK routines the solver calls, with their Fortran names:
// OpenBLAS exports them so, and every argument goes by address.
#pragma once

extern "C" {
void dgemm_(const char *ta, const char *tb, const int *m, const int *n, const int *k,
            const double *alpha, const double *a, const int *lda, const double *b, const int *ldb,
            const double *beta, double *c, const int *ldc);
void dsyrk_(const char *uplo, const char *trans, const int *n, const int *k, const double *alpha,
            const double *a, const int *lda, const double *beta, double *c, const int *ldc);
void dtrsm_(const char *side, const char *uplo, const char *transa, const char *diag,
            const int *m, const int *n, const double *alpha, const double *a, const int *lda,
            double *b, const int *ldb);
void dgemv_(const char *trans, const int *m, const int *n, const double *alpha, const double *a,
            const int *lda, const double *x, const int *incx, const double *beta, double *y,
            const int *incy);
}

namespace tessera::solve::blas {

// C := alpha op(A) op(B) + beta C, column-major.
inline void gemm(char ta, char tb, int m, int n, int k, double alpha, const double *a, int lda,
                 const double *b, int ldb, double beta, double *c, int ldc) {
  if (m <= 0 || n <= 0) return;
  if (k <= 0) {
    if (beta == 1.0) return;
  }
  dgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}

// Upper triangle of C := C - A^T A, A k x n.
inline void syrk_upper_minus(int n, int k, const double *a, int lda, double *c, int ldc) {
  if (n <= 0 || k <= 0) return;
  const double minus = -1.0, one = 1.0;
  dsyrk_("U", "T", &n, &k, &minus, a, &lda, &one, c, &ldc);
}

// B := U^-T B, U upper triangular m x m, B m x n.
inline void trsm_upper_transposed(int m, int n, const double *u, int ldu, double *b, int ldb) {
  if (m <= 0 || n <= 0) return;
  const double one = 1.0;
  dtrsm_("L", "U", "T", "N", &m, &n, &one, u, &ldu, b, &ldb);
}

}  // namespace tessera::solve::blas
