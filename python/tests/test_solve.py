"""tessera.solve against scipy and numpy: a sparse Laplacian, a dense
indefinite system, a matrix handed over from an open file set, and the ways
a solve stops."""

import os

import numpy as np
import pytest

import tessera

pytestmark = pytest.mark.skipif(not tessera._core.HAS_SOLVE,
                                reason="built without the solver's C interface")
sparse = pytest.importorskip("scipy.sparse")
linalg = pytest.importorskip("scipy.sparse.linalg")


def laplacian(k):
    t = sparse.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(k, k))
    return (sparse.kron(sparse.eye(k), t) + sparse.kron(t, sparse.eye(k))).tocsc()


def test_sparse_laplacian_against_spsolve(workdir):
    a = laplacian(40)
    b = np.random.default_rng(1).random((a.shape[0], 3))
    phases = []
    x, report = tessera.solve(a, b, memory="64M", work_dir=workdir,
                              progress=lambda phase, *rest: phases.append(phase))
    assert x.shape == b.shape
    np.testing.assert_allclose(x, linalg.spsolve(a, b), rtol=1e-9, atol=1e-12)
    assert report["n"] == a.shape[0] and report["rhs_columns"] == 3
    assert report["scaled_residual"] < 100
    assert {"read", "factor", "solve"} <= {p.split()[0] for p in phases}
    # b = A 1 by default: the solution is all ones.
    x, report = tessera.solve(a.tocoo(), memory="64M", work_dir=workdir)
    np.testing.assert_allclose(x, 1.0, rtol=1e-10)
    assert not os.listdir(workdir), "a factor that is not kept is removed"


def test_dense_indefinite_and_refusals(workdir):
    rng = np.random.default_rng(2)
    n = 200
    g = rng.random((n, n))
    a = g + g.T - n / 2 * np.eye(n)
    b = rng.random(n)
    with pytest.raises(tessera.SolveError) as e:
        tessera.solve(a, b, memory="64M", work_dir=workdir)
    assert e.value.status == 3 and e.value.routine == "solve"
    x, report = tessera.solve(a, b, memory="64M", indefinite=True, work_dir=workdir)
    np.testing.assert_allclose(x, np.linalg.solve(a, b), rtol=1e-8, atol=1e-10)
    eigenvalues = np.linalg.eigvalsh(a)
    assert report["inertia"] == {"positive": int((eigenvalues > 0).sum()),
                                 "negative": int((eigenvalues < 0).sum())}
    with pytest.raises(ValueError, match="symmetric"):
        tessera.solve(g, b)
    with pytest.raises(ValueError):
        tessera.solve(a, b[:-1])

    class Stop(Exception):
        pass

    def stop(phase, *rest):
        if phase == "factor":
            raise Stop

    with pytest.raises(Stop):  # the callback's exception ends the solve
        tessera.solve(a, b, memory="64M", indefinite=True, progress=stop, work_dir=workdir)
    # The solver holds the library while it runs: the callback cannot use it.
    with tessera.Session(memory="3M", record_length=2048) as s:
        with s.create(os.path.join(workdir, "set.tsf")) as fs:
            m = fs.create_matrix("A", (2, 2))
            with pytest.raises(tessera.Error, match="progress callback"):
                tessera.solve(a, b, memory="64M", indefinite=True, work_dir=workdir,
                              progress=lambda *args: m[0, 0])
            m[0, 0] = 1.0
            assert m[0, 0] == 1.0


def test_matrix_of_an_open_file_set(session, workdir):
    a = laplacian(25)
    dense = a.toarray()
    b = np.arange(a.shape[0], dtype=float)
    with session.create(os.path.join(workdir, "set.tsf")) as fs:
        k = fs.create_matrix("K", a.shape, form="symmetric")
        k[:, :] = dense
        other = fs.create_matrix("G", (10, 10))
        other[:, :] = 2.0
        x, _ = tessera.solve(k, b, memory="64M", work_dir=workdir)
        np.testing.assert_allclose(x, linalg.spsolve(a, b), rtol=1e-9)
        # The set was handed over and opened again with its matrices.
        assert not k.closed and not other.closed
        np.testing.assert_array_equal(k[:, :], dense)
        other[0, 0] = 3.0
        assert other[0, 0] == 3.0 and other[1, 1] == 2.0
        with pytest.raises(ValueError, match="symmetric"):
            tessera.solve(other, np.ones(10))
