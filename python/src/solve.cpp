// tessera.solve's compiled part: one run of the solver's C interface.
//
// The solver links its own areas into the library while it runs, so the run
// holds the library lock like any other call, with the GIL released. The
// progress callback takes the GIL for the length of the Python call; an
// exception it raises, or a pending signal (Ctrl-C), stops the
// factorisation at its next tile and is raised when the run returns.
//
// A matrix of a file set open in the session is handed over by its files:
// the set is removed first (the solver opens its files itself), and opened
// again afterwards with the same matrices open, whatever happens.
#include "solve.h"

#include <cmath>
#include <stdexcept>

#include "tessera_solve.h"

namespace py = pybind11;

namespace tessera::python {

namespace {

struct Solver {
  Solver() : s(tessera_solve_create()) {
    if (s == nullptr) throw std::bad_alloc();
  }
  ~Solver() { tessera_solve_destroy(s); }
  Solver(const Solver &) = delete;
  Solver &operator=(const Solver &) = delete;
  tessera_solver *s;
};

// What the progress callback needs; lives on the stack of run_solve.
struct Progress {
  py::object callback;
  tessera_solver *solver = nullptr;
  py::object error_type, error_value, error_trace;  // the first failure
  bool failed = false;
};

extern "C" void on_progress(void *user, const char *phase, double fraction, double eta,
                            double gflops, const char *notice) {
  auto *p = static_cast<Progress *>(user);
  py::gil_scoped_acquire gil;
  if (p->failed) return;
  try {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!p->callback.is_none()) {
      p->callback(py::str(phase), fraction, eta < 0 ? py::object(py::none()) : py::float_(eta),
                  gflops, py::str(notice));
    }
  } catch (py::error_already_set &e) {
    p->failed = true;
    p->error_type = e.type();
    p->error_value = e.value();
    p->error_trace = e.trace();
    tessera_solve_interrupt(p->solver);
  }
}

void check(tessera_solver *s, int status, const char *what) {
  if (status == TESSERA_SOLVE_OK) return;
  throw SolveError(status, std::string(what) + ": " + tessera_solve_message(s));
}

}  // namespace

SolveResult run_solve(const SolveInput &in, const py::object &progress) {
  Solver solver;
  tessera_solver *s = solver.s;
  check(s, tessera_solve_set_memory(s, in.memory), "memory");
  check(s, tessera_solve_set_ordering(s, in.ordering.c_str()), "ordering");
  check(s, tessera_solve_set_indefinite(s, in.indefinite ? 1 : 0), "indefinite");
  if (!in.keep.empty()) check(s, tessera_solve_set_keep(s, in.keep.c_str(), 0), "keep");
  if (!in.work_dir.empty()) check(s, tessera_solve_set_work_dir(s, in.work_dir.c_str()), "work_dir");
  if (in.fileset) {
    std::vector<const char *> files;
    for (const auto &p : in.fileset->paths()) files.push_back(p.c_str());
    check(s, tessera_solve_set_fileset(s, static_cast<int32_t>(files.size()), files.data(),
                                       in.matrix_name.c_str(), in.matrix_qualifier),
          "matrix");
  } else {
    const auto colptr = in.colptr.unchecked<1>();
    const auto rowind = in.rowind.unchecked<1>();
    const auto values = in.values.unchecked<1>();
    if (colptr.shape(0) != in.n + 1 || rowind.shape(0) != values.shape(0)) {
      throw py::value_error("inconsistent compressed columns");
    }
    check(s, tessera_solve_set_csc(s, in.n, colptr.data(0), rowind.data(0), values.data(0)),
          "matrix");
  }
  if (in.rhs) {
    const py::array_t<double, py::array::f_style> &b = *in.rhs;
    check(s, tessera_solve_set_rhs(s, static_cast<int32_t>(b.shape(1)), b.data(), b.shape(0)),
          "rhs");
  }
  Progress p;
  p.callback = progress;
  p.solver = s;
  check(s, tessera_solve_set_progress(s, &on_progress, &p), "progress");

  int status = TESSERA_SOLVE_OK;
  {
    LibraryCall call;
    std::optional<FileSetCore::Suspended> suspended;
    if (in.fileset) suspended.emplace(*in.fileset);
    g_solving = true;
    status = tessera_solve_run(s);
    g_solving = false;
  }
  if (p.failed) {
    PyErr_Restore(p.error_type.release().ptr(), p.error_value.release().ptr(),
                  p.error_trace.release().ptr());
    throw py::error_already_set();
  }
  check(s, status, "solve");

  SolveResult r;
  const int32_t n = tessera_solve_order(s), k = tessera_solve_rhs_columns(s);
  r.x = py::array_t<double, py::array::f_style>({static_cast<py::ssize_t>(n),
                                                 static_cast<py::ssize_t>(k)});
  check(s, tessera_solve_solution(s, r.x.mutable_data(), n), "solution");
  r.report_json = tessera_solve_report_json(s);
  return r;
}

}  // namespace tessera::python
