"""add, copy and multiply against the same arithmetic in numpy, on matrices
that span several hyperblocks and store only some of their blocks."""

import numpy as np
import pytest

import tessera
from conftest import random_array


def sparse_blocks(rng, shape, dtype, nb, keep=0.5):
    """A random array with whole blocks left zero (never stored)."""
    a = random_array(rng, shape, dtype)
    for bi in range(0, shape[0], nb):
        for bj in range(0, shape[1], nb):
            if rng.random() > keep:
                a[bi:bi + nb, bj:bj + nb] = 0
    return a


def stored(fs, name, a, form="general"):
    """A matrix holding `a`, storing only the blocks where `a` is not zero
    (a general one; the others are put whole)."""
    m = fs.create_matrix(name, a.shape, dtype=a.dtype, form=form)
    if form != "general":
        m[:, :] = a
        return m
    nb = m.block_order
    for bi in range(0, a.shape[0], nb):
        for bj in range(0, a.shape[1], nb):
            if a[bi:bi + nb, bj:bj + nb].any():
                m[bi:bi + nb, bj:bj + nb] = a[bi:bi + nb, bj:bj + nb]
    return m


@pytest.mark.parametrize("dtype", [np.int32, np.float32, np.float64, np.complex128],
                         ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("ta,tb", [(False, False), (True, False), (False, True), (True, True)])
def test_multiply_against_numpy(fileset, dtype, ta, tb):
    rng = np.random.default_rng(7)
    nb = fileset.create_matrix("probe", (1, 1), dtype=dtype).block_order
    p, q, r = 3 * nb + 5, 4 * nb + 3, 2 * nb + 7
    a = sparse_blocks(rng, (q, p) if ta else (p, q), dtype, nb)
    b = sparse_blocks(rng, (r, q) if tb else (q, r), dtype, nb)
    y0 = sparse_blocks(rng, (p, r), dtype, nb, keep=0.3)
    if np.dtype(dtype).kind == "i":  # keep products inside 32 bits
        a, b, y0 = a % 7, b % 7, y0 % 7
    A, B, Y = stored(fileset, "A", a), stored(fileset, "B", b), stored(fileset, "Y", y0)
    tessera.multiply(A, B, Y, transpose_a=ta, transpose_b=tb, subtract=True)
    op = lambda x, t: x.conj().T if t else x  # noqa: E731
    expected = y0 - op(a, ta) @ op(b, tb)
    tol = 0 if np.dtype(dtype).kind == "i" else (1e-4 if np.dtype(dtype).itemsize <= 8
                                                  and dtype != np.float64 else 1e-12)
    np.testing.assert_allclose(Y[:, :], expected, rtol=tol, atol=tol * q)


def test_multiply_symmetric_and_upper_operands(fileset):
    rng = np.random.default_rng(3)
    n = 200
    s = random_array(rng, (n, n), np.float64)
    s = s + s.T
    u = np.triu(random_array(rng, (n, n), np.float64))
    x = random_array(rng, (n, 30), np.float64)
    S, U, X = stored(fileset, "S", s, "symmetric"), stored(fileset, "U", u, "upper"), \
        stored(fileset, "X", x)
    SU = fileset.create_matrix("SU", (n, n))
    tessera.multiply(S, U, SU)
    np.testing.assert_allclose(SU[:, :], s @ u, rtol=1e-12, atol=1e-10)
    SX = fileset.create_matrix("SX", (n, 30))
    tessera.multiply(S, X, SX)
    np.testing.assert_allclose(SX[:, :], s @ x, rtol=1e-12, atol=1e-10)
    # Only Y's blocks on and above the block diagonal with upper=True.
    UU = fileset.create_matrix("UU", (n, n))
    tessera.multiply(U, U, UU, transpose_a=True, upper=True)
    nb = UU.block_order
    full = u.T @ u
    got = UU[:, :]
    for bi in range(0, n, nb):
        for bj in range(0, n, nb):
            block = np.s_[bi:bi + nb, bj:bj + nb]
            if bi <= bj:
                np.testing.assert_allclose(got[block], full[block], rtol=1e-12, atol=1e-10)
            else:
                assert not got[block].any()


def test_multiply_refusals(fileset):
    a = fileset.create_matrix("A", (40, 30))
    b = fileset.create_matrix("B", (30, 20))
    y = fileset.create_matrix("Y", (40, 20))
    with pytest.raises(ValueError, match="other than"):
        tessera.multiply(a, fileset.create_matrix("C", (30, 30)), a)
    with pytest.raises(tessera.Error) as e:
        tessera.multiply(a, y, b)
    assert e.value.status == 16 and e.value.routine == "hlmult"
    d = fileset.create_matrix("D", (40, 40), form="diagonal")
    with pytest.raises(ValueError, match="diagonal"):
        tessera.multiply(d, a, y)
    f = fileset.create_matrix("F", (30, 20), dtype=np.float32)
    with pytest.raises(tessera.Error) as e:
        tessera.multiply(a, f, y)
    assert e.value.status == 13


@pytest.mark.parametrize("dtype", [np.int32, np.float32, np.complex64, np.complex128],
                         ids=lambda d: np.dtype(d).name)
def test_add_and_copy_against_numpy(fileset, dtype):
    rng = np.random.default_rng(11)
    nb = fileset.create_matrix("probe", (1, 1), dtype=dtype).block_order
    shape = (3 * nb + 4, 2 * nb + 9)
    a, b = sparse_blocks(rng, shape, dtype, nb), sparse_blocks(rng, shape, dtype, nb)
    A, B = stored(fileset, "A", a), stored(fileset, "B", b)
    expected = {"copy": a, "negated": -a, "transposed": a.conj().T,
                "negated_transposed": -a.conj().T if np.iscomplexobj(a) else -a.T,
                "conjugated": a.conj(), "negated_conjugated": -a.conj()}
    if np.iscomplexobj(a):  # the negated transpose negates the real part only
        expected["negated_transposed"] = (-a.real + 1j * a.imag).T
    for mode, want in expected.items():
        C = fileset.create_matrix("C", want.shape, dtype=dtype)
        C[:, :] = want + 1  # every element overwritten where A stores a block
        tessera.copy(A, C, mode=mode)
        got = C[:, :]
        for bi in range(0, shape[0], nb):
            for bj in range(0, shape[1], nb):
                src = np.s_[bi:bi + nb, bj:bj + nb]
                dst = src[::-1] if "transposed" in mode else src
                if a[src].any():
                    np.testing.assert_array_equal(got[dst], want[dst], err_msg=mode)
                else:
                    np.testing.assert_array_equal(got[dst], want[dst] + 1, err_msg=mode)
        C.kill()
    tessera.add(A, B)
    np.testing.assert_array_equal(A[:, :], a + b)
    tessera.add(A, B, subtract=True)
    np.testing.assert_array_equal(A[:, :], (a + b) - b)
    tessera.add(B, B)
    np.testing.assert_array_equal(B[:, :], b + b)
    tessera.add(A, A, subtract=True)  # A - A empties A
    assert A.stored_blocks == 0 and not A[:, :].any()


def test_copy_between_forms(fileset):
    rng = np.random.default_rng(5)
    n = 150
    s = random_array(rng, (n, n), np.complex128)
    s = s + s.conj().T
    S = stored(fileset, "S", s, "symmetric")
    G = fileset.create_matrix("G", (n, n), dtype=np.complex128)
    with pytest.raises(ValueError, match="mirrored"):
        tessera.copy(S, G)
    tessera.copy(S, G, mode="mirrored")
    np.testing.assert_array_equal(G[:, :], s)
    T = fileset.create_matrix("T", (n, n), dtype=np.complex128, form="symmetric")
    tessera.copy(S, T, mode="transposed")  # a Hermitian matrix is its own adjoint
    np.testing.assert_array_equal(T[:, :], s)
    d = np.diag(random_array(rng, n, np.float64))
    D, E = stored(fileset, "D", d, "diagonal"), fileset.create_matrix("E", (n, n),
                                                                       form="diagonal")
    tessera.copy(D, E, mode="negated")
    np.testing.assert_array_equal(E[:, :], -d)
    tessera.add(E, D)
    assert not E[:, :].any()
    with pytest.raises(ValueError, match="diagonal"):
        tessera.copy(D, fileset.create_matrix("F", (n, n)))
    with pytest.raises(tessera.Error) as e:
        tessera.add(G, S)
    assert e.value.status == 19  # forms differ


def test_multiply_refuses_matrices_of_other_blockings(workdir):
    # A matrix keeps the hyperblock order of the session that created it;
    # the product walks all three with A's.
    import os
    path = os.path.join(workdir, "set.tsf")
    a = np.random.default_rng(2).random((150, 150))
    with tessera.Session(memory="16M", record_length=2048) as s, s.create(path) as fs:
        fs.create_matrix("A", a.shape)[:, :] = a
    with tessera.Session(memory="3M", record_length=2048) as s, s.open(path) as fs:
        A = fs.open_matrix("A")
        B = fs.create_matrix("B", a.shape)
        B[:, :] = a
        Y = fs.create_matrix("Y", a.shape)
        assert A.hyperblock_order != B.hyperblock_order
        with pytest.raises(ValueError, match="blockings"):
            tessera.multiply(A, B, Y)
        tessera.copy(A, Y)  # add and copy go block by block and do not mind
        np.testing.assert_array_equal(Y[:, :], a)
        C = fs.create_matrix("C", a.shape)
        tessera.multiply(Y, B, C)
        np.testing.assert_allclose(C[:, :], a @ a, rtol=1e-12)
