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
void openblas_set_num_threads(int num_threads);
}

#include <cstdlib>

namespace tessera::solve::blas {

// A product of fewer multiply-adds than this runs on one thread: waking the
// BLAS's other threads for it costs more than they save, and far more on a
// busy machine, where a sleeping thread may wait long for its turn.
// The host's thread count is read when a solve begins and given back when it
// ends, so that the host's own BLAS calls keep their threads.
struct ThreadState {
  int all = 0, now = 0;
};
inline ThreadState &thread_state() {
  static ThreadState t;
  return t;
}

inline void threads_for(double multiply_adds) {
  static const double threshold = [] {
    const char *t = std::getenv("TESSERA_BLAS_THREADED");
    return t ? std::atof(t) : 3e7;
  }();
  ThreadState &t = thread_state();
  if (t.all == 0) t.all = t.now = openblas_get_num_threads();
  const int want = multiply_adds < threshold ? 1 : t.all;
  if (want != t.now) {
    openblas_set_num_threads(want);
    t.now = want;
  }
}

class HostThreads {
 public:
  HostThreads() { thread_state() = ThreadState{}; }
  ~HostThreads() {
    ThreadState &t = thread_state();
    if (t.all != 0 && t.now != t.all) openblas_set_num_threads(t.all);
    t = ThreadState{};
  }
  HostThreads(const HostThreads &) = delete;
  HostThreads &operator=(const HostThreads &) = delete;
};

// C := alpha op(A) op(B) + beta C, column-major.
inline void gemm(char ta, char tb, int m, int n, int k, double alpha, const double *a, int lda,
                 const double *b, int ldb, double beta, double *c, int ldc) {
  if (m <= 0 || n <= 0) return;
  if (k <= 0) {
    if (beta == 1.0) return;
  }
  threads_for(double(m) * n * k);
  dgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc);
}

// Upper triangle of C := C - A^T A, A k x n.
inline void syrk_upper_minus(int n, int k, const double *a, int lda, double *c, int ldc) {
  if (n <= 0 || k <= 0) return;
  const double minus = -1.0, one = 1.0;
  threads_for(0.5 * n * n * k);
  dsyrk_("U", "T", &n, &k, &minus, a, &lda, &one, c, &ldc);
}

// B := U^-T B, U upper triangular m x m, B m x n.
inline void trsm_upper_transposed(int m, int n, const double *u, int ldu, double *b, int ldb) {
  if (m <= 0 || n <= 0) return;
  const double one = 1.0;
  threads_for(0.5 * m * m * n);
  dtrsm_("L", "U", "T", "N", &m, &n, &one, u, &ldu, b, &ldb);
}

}  // namespace tessera::solve::blas
