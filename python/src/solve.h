// tessera.solve's compiled part, built when the solver's C interface is.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>

#include "core.h"

namespace tessera::python {

// A failure of the solver: its status (tessera_solve_status) and message.
class SolveError : public std::runtime_error {
 public:
  SolveError(int status, const std::string &message)
      : std::runtime_error(message), status(status) {}
  int status;
};

struct SolveInput {
  // The matrix: a float64 symmetric matrix of an open file set, or the lower
  // triangle in compressed columns (0-based, rows ascending in each column).
  std::shared_ptr<FileSetCore> fileset;
  std::string matrix_name;
  int32_t matrix_qualifier = 1;
  int32_t n = 0;
  pybind11::array_t<int64_t, pybind11::array::c_style> colptr;
  pybind11::array_t<int32_t, pybind11::array::c_style> rowind;
  pybind11::array_t<double, pybind11::array::c_style> values;
  // n x k right-hand sides; none: b = A 1.
  std::optional<pybind11::array_t<double, pybind11::array::f_style>> rhs;
  int64_t memory = 0;
  std::string ordering = "auto";
  bool indefinite = false;
  std::string keep;
  std::string work_dir;
};

struct SolveResult {
  pybind11::array_t<double, pybind11::array::f_style> x;
  std::string report_json;
};

// Runs one solve; `progress` is None or a callable (phase, fraction, seconds
// left or None, GFLOP/s, notice).
SolveResult run_solve(const SolveInput &input, const pybind11::object &progress);

}  // namespace tessera::python
