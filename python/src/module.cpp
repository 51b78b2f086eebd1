// tessera._core: the compiled part of the Python package. It exposes the
// session, file-set and matrix objects with plain methods and the library's
// named constants; the package's Python part builds the user's interface
// (indexing, dtypes, context managers, documentation) on top of it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core.h"
#include "transfer.h"
#ifdef TESSERA_PYTHON_SOLVE
#include "solve.h"
#endif

namespace py = pybind11;
using namespace tessera::python;

namespace tessera::python {
double c_put_seconds(MatrixCore &m, const py::array &a);
double c_get_seconds(MatrixCore &m, py::array &a);
}  // namespace tessera::python

PYBIND11_MODULE(_core, m) {
  m.doc() = "Compiled core of the tessera package; use the package, not this module.";

  // tessera.Error is defined in Python; a LibraryError becomes one.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const LibraryError &e) {
      py::object error = py::module_::import("tessera._errors").attr("Error");
      py::object status = e.status != 0 ? py::object(py::int_(e.status)) : py::object(py::none());
      py::object value = error(e.what(), status, e.routine, py::tuple(py::cast(e.trace)));
      PyErr_SetObject(error.ptr(), value.ptr());
    }
  });

#ifdef TESSERA_PYTHON_SOLVE
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const SolveError &e) {
      py::object error = py::module_::import("tessera._errors").attr("SolveError");
      py::object value = error(e.what(), e.status, "solve", py::tuple());
      PyErr_SetObject(error.ptr(), value.ptr());
    }
  });
  py::class_<SolveInput>(m, "SolveInput")
      .def(py::init<>())
      .def_readwrite("fileset", &SolveInput::fileset)
      .def_readwrite("matrix_name", &SolveInput::matrix_name)
      .def_readwrite("matrix_qualifier", &SolveInput::matrix_qualifier)
      .def_readwrite("n", &SolveInput::n)
      .def_readwrite("colptr", &SolveInput::colptr)
      .def_readwrite("rowind", &SolveInput::rowind)
      .def_readwrite("values", &SolveInput::values)
      .def_readwrite("rhs", &SolveInput::rhs)
      .def_readwrite("memory", &SolveInput::memory)
      .def_readwrite("ordering", &SolveInput::ordering)
      .def_readwrite("indefinite", &SolveInput::indefinite)
      .def_readwrite("keep", &SolveInput::keep)
      .def_readwrite("work_dir", &SolveInput::work_dir);
  m.def(
      "solve",
      [](const SolveInput &input, const py::object &progress) {
        SolveResult r = run_solve(input, progress);
        return py::make_tuple(r.x, r.report_json);
      },
      py::arg("input"), py::arg("progress"));
  m.attr("HAS_SOLVE") = true;
#else
  m.attr("HAS_SOLVE") = false;
#endif
#if __has_include("tessera_check.h")
  m.attr("HAS_VIEW") = true;
#else
  m.attr("HAS_VIEW") = false;
#endif

  py::class_<SessionCore, std::shared_ptr<SessionCore>>(m, "Session")
      .def(py::init([](int64_t bytes, int32_t record_length, int32_t filesets, int32_t matrices,
                       bool blas) {
             return std::make_shared<SessionCore>(
                 SessionShape{bytes, record_length, filesets, matrices, blas});
           }),
           py::arg("bytes"), py::arg("record_length"), py::arg("filesets"), py::arg("matrices"),
           py::arg("blas"))
      .def("close", &SessionCore::close)
      .def_property_readonly("is_open", &SessionCore::is_open)
      .def_property_readonly("buffers", &SessionCore::buffers)
      .def_property_readonly("record_length", &SessionCore::record_length)
      .def_property_readonly("control_words", &SessionCore::control_words)
      .def_property_readonly("matrices_at_once",
                             [](const SessionCore &s) { return s.shape().matrices; })
      .def("create", &SessionCore::create_fileset, py::arg("paths"), py::arg("initial_bytes"))
      .def("open", &SessionCore::open_fileset, py::arg("paths"));

  py::class_<FileSetCore, std::shared_ptr<FileSetCore>>(m, "FileSet")
      .def("remove", &FileSetCore::remove)
      .def("kill", &FileSetCore::kill)
      .def_property_readonly("is_open", &FileSetCore::is_open)
      .def_property_readonly("paths", &FileSetCore::paths)
      .def("create_matrix", &FileSetCore::create_matrix, py::arg("name"), py::arg("qualifier"),
           py::arg("type_code"), py::arg("form"), py::arg("band"), py::arg("rows"),
           py::arg("cols"))
      .def("open_matrix", &FileSetCore::open_matrix, py::arg("name"), py::arg("qualifier"),
           py::arg("readonly"))
      .def("inquire", &FileSetCore::inquire, py::arg("name"), py::arg("qualifier"))
      .def("kill_matrix", &FileSetCore::kill_matrix, py::arg("name"), py::arg("qualifier"))
      .def("stored_matrices", [](const FileSetCore &fs) -> py::object {
        if (!fs.stored()) return py::none();
        py::list out;
        for (const auto &m : *fs.stored()) {
          out.append(py::make_tuple(m.name, m.qualifier, m.type_code, m.items, m.form, m.rows,
                                    m.cols));
        }
        return out;
      });

  py::class_<MatrixCore, std::shared_ptr<MatrixCore>>(m, "Matrix")
      .def("release", &MatrixCore::release)
      .def("kill", &MatrixCore::kill)
      .def_property_readonly("is_open", &MatrixCore::is_open)
      .def_property_readonly("name", [](const MatrixCore &c) { return c.shape().name; })
      .def_property_readonly("qualifier", [](const MatrixCore &c) { return c.shape().qualifier; })
      .def_property_readonly("type_code", [](const MatrixCore &c) { return c.shape().type_code; })
      .def_property_readonly("items", [](const MatrixCore &c) { return c.shape().items; })
      .def_property_readonly("form", [](const MatrixCore &c) { return c.shape().form; })
      .def_property_readonly("band", [](const MatrixCore &c) { return c.shape().band; })
      .def_property_readonly("rows", [](const MatrixCore &c) { return c.shape().rows; })
      .def_property_readonly("cols", [](const MatrixCore &c) { return c.shape().cols; })
      .def_property_readonly("readonly", [](const MatrixCore &c) { return c.shape().readonly; })
      .def("require_open",
           [](MatrixCore &c) {
             LibraryCall call;
             c.require_open("matrix");
           })
      .def_property_readonly("stored_blocks", &MatrixCore::stored_blocks)
      .def_property_readonly("block_order", &MatrixCore::block_order)
      .def_property_readonly("hyperblock_order", &MatrixCore::hyperblock_order)
      .def("put", &put_array, py::arg("i0"), py::arg("j0"), py::arg("value"))
      .def("get", &get_array, py::arg("i0"), py::arg("nr"), py::arg("j0"), py::arg("nc"),
           py::arg("dtype"))
      .def("get_into", &get_into, py::arg("i0"), py::arg("j0"), py::arg("out"));

  m.def("add", &add, py::arg("a"), py::arg("b"), py::arg("subtract"));
  m.def("copy", &copy, py::arg("a"), py::arg("b"), py::arg("mode"));
  m.def("multiply", &multiply, py::arg("a"), py::arg("b"), py::arg("y"), py::arg("ta"),
        py::arg("tb"), py::arg("upper"), py::arg("subtract"));
  m.def("session_live", &session_live);
  m.def("set_panel_bytes", &set_panel_bytes, py::arg("bytes"),
        "Sets the bytes of a transfer panel (for tests); returns the old value.");
  m.def("c_put_seconds", &c_put_seconds, py::arg("matrix"), py::arg("array"),
        "Seconds of one hmputs of the whole matrix from a Fortran-ordered array (benchmark).");
  m.def("c_get_seconds", &c_get_seconds, py::arg("matrix"), py::arg("array"),
        "Seconds of one hmgets of the whole matrix into a Fortran-ordered array (benchmark).");

  // The library's named constants the package maps its keywords to.
  m.attr("TYPE_INT32") = int(TESSERA_TYPE_INT32);
  m.attr("TYPE_FLOAT") = int(TESSERA_TYPE_FLOAT);
  m.attr("TYPE_DOUBLE") = int(TESSERA_TYPE_DOUBLE);
  m.attr("TYPE_COMPLEX_FLOAT") = int(TESSERA_TYPE_COMPLEX_FLOAT);
  m.attr("TYPE_COMPLEX_DOUBLE") = int(TESSERA_TYPE_COMPLEX_DOUBLE);
  m.attr("FORM_SYMMETRIC") = int(TESSERA_FORM_SYMMETRIC);
  m.attr("FORM_GENERAL") = int(TESSERA_FORM_GENERAL);
  m.attr("FORM_DIAGONAL") = int(TESSERA_FORM_DIAGONAL);
  m.attr("FORM_UPPER") = int(TESSERA_FORM_UPPER);
  py::dict modes;
  modes["copy"] = int(TESSERA_COPY);
  modes["negated"] = int(TESSERA_COPY_NEGATED);
  modes["transposed"] = int(TESSERA_COPY_TRANSPOSED);
  modes["negated_transposed"] = int(TESSERA_COPY_NEGATED_TRANSPOSED);
  modes["upper_blocks"] = int(TESSERA_COPY_UPPER_BLOCKS);
  modes["diagonal"] = int(TESSERA_COPY_DIAGONAL);
  modes["mirrored"] = int(TESSERA_COPY_MIRRORED);
  modes["conjugated"] = int(TESSERA_COPY_CONJUGATED);
  modes["negated_conjugated"] = int(TESSERA_COPY_NEGATED_CONJUGATED);
  m.attr("COPY_MODES") = modes;
  m.attr("DEFAULT_RECORD_LENGTH") = int(TESSERA_DEFAULT_RECORD_LENGTH);
  m.attr("MIN_RECORD_LENGTH") = int(TESSERA_MIN_RECORD_LENGTH);
  m.attr("NAME_BYTES") = int(TESSERA_NAME_BYTES);
  m.attr("MAX_FILES") = int(TESSERA_MAX_FILES);
}
