"""tessera.solve: a symmetric system solved out of core by the project's solver."""

import json

import numpy as np

from . import _core
from ._errors import Error
from ._session import Matrix, parse_size

__all__ = ["solve"]

# Relative asymmetry above which a matrix is refused as not symmetric.
_SYMMETRY_TOLERANCE = 1e-12


def _is_sparse(a):
    try:
        import scipy.sparse
    except ImportError:
        return False
    return scipy.sparse.issparse(a)


def _lower_csc_of_sparse(a):
    import scipy.sparse

    a = scipy.sparse.csc_matrix(a, dtype=np.float64)
    a.sum_duplicates()
    if a.shape[0] != a.shape[1]:
        raise ValueError(f"the matrix must be square, not {a.shape}")
    difference = abs(a - a.T)
    scale = abs(a).max() if a.nnz else 0.0
    if difference.nnz and difference.max() > _SYMMETRY_TOLERANCE * scale:
        raise ValueError("the matrix is not symmetric")
    lower = scipy.sparse.tril(a, format="csc")
    lower.sort_indices()
    return a.shape[0], lower.indptr, lower.indices, lower.data


def _lower_csc_of_dense(a):
    a = np.asarray(a, dtype=np.float64)
    if a.ndim != 2 or a.shape[0] != a.shape[1]:
        raise ValueError(f"the matrix must be square, not of shape {a.shape}")
    n = a.shape[0]
    scale = np.abs(a).max() if a.size else 0.0
    # Column by column: no temporary of the whole matrix.
    for j in range(n):
        if np.abs(a[j:, j] - a[j, j:]).max(initial=0.0) > _SYMMETRY_TOLERANCE * scale:
            raise ValueError("the matrix is not symmetric")
    lengths = np.arange(n, 0, -1, dtype=np.int64)
    colptr = np.concatenate(([0], np.cumsum(lengths)))
    rowind = np.empty(colptr[-1], np.int32)
    values = np.empty(colptr[-1], np.float64)
    for j in range(n):
        rowind[colptr[j]:colptr[j + 1]] = np.arange(j, n, dtype=np.int32)
        values[colptr[j]:colptr[j + 1]] = a[j:, j]
    return n, colptr, rowind, values


def solve(A, b=None, memory="1G", ordering="auto", indefinite=False, keep=None, progress=None,
          work_dir=None):
    """Solve A x = b for a symmetric A, factorising A = U^T S U out of core.

    The factor is kept in a file set (in ``work_dir``, removed afterwards
    unless ``keep`` names a file for it); ``memory`` bounds what the solve
    holds. The long work runs with the GIL released.

    Args:
        A: a scipy.sparse matrix, a dense numpy array (both symmetric: only
            the lower triangle is handed over, an asymmetric matrix is refused
            with ValueError), or a float64 symmetric :class:`Matrix` of an open
            file set (read block by block from its files; the set is removed
            for the solve and opened again afterwards, its open matrices with
            it).
        b: right-hand sides, shape (n,) or (n, k); None: b = A 1, whose
            solution is all ones and whose error the report gives.
        memory: bytes the solve may hold, an integer or a text such as "1G".
        ordering: "auto", "nd" (nested dissection), "rcm" (reverse
            Cuthill-McKee) or "natural".
        indefinite: accept negative pivots (the report gives the inertia).
        keep: keep the factor's file set in this file.
        progress: None or a callable ``progress(phase, fraction, eta_seconds,
            gflops, notice)``, called as the solve goes (phase "read",
            "order", "symbolic", "factor", "solve"; eta None when unknown).
            An exception it raises stops the solve and is raised by solve();
            so is Ctrl-C.
        work_dir: directory of a factor that is not kept (default: the
            current directory).

    Returns:
        (x, report): x of the shape of b (n for b None), and a dict with the
        fields of ``tessera solve --json``.

    Raises:
        SolveError: the solver's failure, with its status (3: not positive
            definite, 6: too little memory, ...) and message.
    """
    if not _core.HAS_SOLVE:
        raise Error("this build of tessera has no solver (libtessera_solve was not built)",
                    None, "solve")
    inp = _core.SolveInput()
    if isinstance(A, Matrix):
        if A.closed:
            A._core.require_open()
        if A.dtype != np.float64 or A.form != "symmetric":
            raise ValueError(f"matrix {A.name!r} must be float64 and symmetric, not {A.dtype} "
                             f"{A.form}")
        n = A.shape[0]
        inp.fileset = A._fileset._core
        inp.matrix_name = A.name
        inp.matrix_qualifier = A.qualifier
    else:
        n, colptr, rowind, values = (_lower_csc_of_sparse(A) if _is_sparse(A)
                                     else _lower_csc_of_dense(A))
        inp.n = n
        inp.colptr = np.ascontiguousarray(colptr, dtype=np.int64)
        inp.rowind = np.ascontiguousarray(rowind, dtype=np.int32)
        inp.values = np.ascontiguousarray(values, dtype=np.float64)
    one_column = b is None
    if b is not None:
        b = np.asarray(b, dtype=np.float64)
        one_column = b.ndim == 1
        if b.ndim not in (1, 2) or b.shape[0] != n:
            raise ValueError(f"b must have {n} rows, not shape {b.shape}")
        inp.rhs = np.asfortranarray(b.reshape(n, -1))
    inp.memory = parse_size(memory)
    if ordering not in ("auto", "nd", "rcm", "natural"):
        raise ValueError(f"ordering must be auto, nd, rcm or natural, not {ordering!r}")
    inp.ordering = ordering
    inp.indefinite = bool(indefinite)
    if keep is not None:
        inp.keep = str(keep)
    if work_dir is not None:
        inp.work_dir = str(work_dir)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable")
    x, report = _core.solve(inp, progress)
    return (x[:, 0] if one_column else x), json.loads(report)
