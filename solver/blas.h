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
int openblas_get_num_threads(void);
void openblas_set_num_threads(int);
}

namespace tessera::solve::blas {

// Products of fewer multiply-adds than this run on one thread. The BLAS
// splits a product over its threads from about 2.6e5 on; the sparse
// factorisation's products (blocks of 16 to 96 against up to 256 stacked rows)
// lie above that, where the threads' hand-over costs much of what it saves,
// and on a shared machine each product waits for both threads to be
// scheduled: on laplace3d:50 at load 5 the factorisation took 4 to 6 s this
// way against 10 to 14 s with every product on two threads. A dense
// factorisation's products (panels of 256 and more) stay above the bound.
// The thread count is the process's: a host's own products on other threads
// during a solve may run on one thread meanwhile.
constexpr double kOneThreadBelow = 3e7;

// The BLAS on one thread for a scope when the work is below the bound, the
// host's setting restored after it.
class OneThreadBelow {
 public:
  explicit OneThreadBelow(double work) {
    if (work < kOneThreadBelow) {
      before_ = openblas_get_num_threads();
      if (before_ > 1) openblas_set_num_threads(1);
    }
  }
  ~OneThreadBelow() {
    if (before_ > 1) openblas_set_num_threads(before_);
  }
  OneThreadBelow(const OneThreadBelow &) = delete;
  OneThreadBelow &operator=(const OneThreadBelow &) = delete;

 private:
  int before_ = 0;
};

// C := alpha op(A) op(B) + beta C, column-major.
inline void gemm(char ta, char tb, int m, int n, int k, double alpha, const double *a, int lda,
                 const double *b, int ldb, double beta, double *c, int ldc) {
  if (m <= 0 || n <= 0) return;
  if (k <= 0) {
    if (beta == 1.0) return;
  }
  OneThreadBelow one(double(m) * n * k);
  dgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}

// Upper triangle of C := C - A^T A, A k x n.
inline void syrk_upper_minus(int n, int k, const double *a, int lda, double *c, int ldc) {
  if (n <= 0 || k <= 0) return;
  const double minus = -1.0, one = 1.0;
  OneThreadBelow single(double(n) * n * k);
  dsyrk_("U", "T", &n, &k, &minus, a, &lda, &one, c, &ldc);
}

// B := U^-T B, U upper triangular m x m, B m x n.
inline void trsm_upper_transposed(int m, int n, const double *u, int ldu, double *b, int ldb) {
  if (m <= 0 || n <= 0) return;
  const double one = 1.0;
  OneThreadBelow single(double(m) * m * n);
  dtrsm_("L", "U", "T", "N", &m, &n, &one, u, &ldu, b, &ldb);
}

}  // namespace tessera::solve::blas
