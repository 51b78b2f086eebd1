// Moving numpy arrays in and out of a matrix's regions.
#pragma once

#include <cstdint>

#include <pybind11/numpy.h>

#include "core.h"

namespace tessera::python {

// Puts `value` (two-dimensional, the matrix's element type, any strides)
// into rows i0 .. i0+nr-1 and columns j0 .. j0+nc-1 (0-based), nr x nc being
// its shape. A column-major array (the columns may be spaced) goes to the
// library as it is; any other layout is copied a panel of columns at a time
// into column-major scratch. For an upper-triangular matrix, values below
// the diagonal must be zero: the matrix neither stores nor returns them.
void put_array(MatrixCore &m, int64_t i0, int64_t j0, const pybind11::array &value);

// Gets rows i0 .. i0+nr-1 and columns j0 .. j0+nc-1 into a new column-major
// (Fortran-ordered) array of `dtype`.
pybind11::array get_array(MatrixCore &m, int64_t i0, int64_t nr, int64_t j0, int64_t nc,
                          const pybind11::dtype &dtype);

// Gets the region into `out`, an existing writable array of the region's
// shape and the matrix's type, whatever its strides.
void get_into(MatrixCore &m, int64_t i0, int64_t j0, pybind11::array &out);

// Sets the bytes a panel of scratch aims at; returns the old value.
int64_t set_panel_bytes(int64_t bytes);

}  // namespace tessera::python
