// The baseline of the package's benchmark (python -m tessera.bench): the
// same hmputs and hmgets calls the package makes for M[:, :], made directly
// on the matrix's handle from a column-major buffer, timed around the C call
// alone. Both sides run in one process on the same session, files and data.
#include <chrono>

#include <pybind11/numpy.h>

#include "core.h"

namespace py = pybind11;

namespace tessera::python {

namespace {

struct Whole {
  int32_t one = 1, rows, cols, lda;
};

Whole whole_of(MatrixCore &m, const py::array &a) {
  const int64_t item = a.itemsize();
  if (a.ndim() != 2 || a.shape(0) != m.shape().rows || a.shape(1) != m.shape().cols ||
      a.strides(0) != item || a.strides(1) != item * a.shape(0)) {
    refuse("bench", "the buffer must be a Fortran-ordered array of the matrix's shape");
  }
  return Whole{1, m.shape().rows, m.shape().cols, m.shape().rows};
}

}  // namespace

double c_put_seconds(MatrixCore &m, const py::array &a) {
  Whole w = whole_of(m, a);
  LibraryCall call;
  m.require_open("bench");
  int32_t ierr = 0;
  const auto t0 = std::chrono::steady_clock::now();
  hmputs(m.fileset().session().ctrl(), &m.handle(), &w.one, &w.rows, &w.one, &w.cols,
         static_cast<const float *>(a.data()), &w.lda, &ierr);
  const auto t1 = std::chrono::steady_clock::now();
  if (ierr != 0) m.fileset().session().fail(ierr, "hmputs", m.describe());
  return std::chrono::duration<double>(t1 - t0).count();
}

double c_get_seconds(MatrixCore &m, py::array &a) {
  Whole w = whole_of(m, a);
  LibraryCall call;
  m.require_open("bench");
  int32_t ierr = 0;
  const auto t0 = std::chrono::steady_clock::now();
  hmgets(m.fileset().session().ctrl(), &m.handle(), &w.one, &w.rows, &w.one, &w.cols,
         static_cast<float *>(a.mutable_data()), &w.lda, &ierr);
  const auto t1 = std::chrono::steady_clock::now();
  if (ierr != 0) m.fileset().session().fail(ierr, "hmgets", m.describe());
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace tessera::python
