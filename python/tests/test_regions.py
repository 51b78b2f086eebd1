"""Regions put and got against a numpy model of the matrix, for every dtype
and storage form: random sequences of puts and gets whose regions cross
block and hyperblock edges, from arrays of every layout, then the set is
removed, opened again and compared whole."""

import os
import zlib

import numpy as np
import pytest

import tessera
from conftest import DTYPES, FORMS, random_array

SHAPES = {"general": (203, 171), "symmetric": (190, 190), "upper": (181, 197),
          "diagonal": (160, 160)}


def edge_biased(rng, n, nb):
    """A position in 0..n, often next to a block edge."""
    if rng.random() < 0.6:
        edge = nb * rng.integers(0, n // nb + 1)
        return int(np.clip(edge + rng.integers(-1, 2), 0, n))
    return int(rng.integers(0, n + 1))


def span(rng, n, nb):
    a, b = sorted((edge_biased(rng, n, nb), edge_biased(rng, n, nb)))
    return (a, b + 1) if a == b and b < n else ((a - 1, b) if a == b else (a, b))


def region(rng, form, shape, nb):
    """(i0, i1, j0, j1) that the form accepts for a put."""
    if rng.random() < 0.1:
        return 0, shape[0], 0, shape[1]
    if form == "symmetric":
        # Every element below the diagonal has its mirror in the region.
        while True:
            p, q = sorted((edge_biased(rng, shape[0], nb), edge_biased(rng, shape[0], nb)))
            r, s = sorted((edge_biased(rng, shape[0], nb), edge_biased(rng, shape[0], nb)))
            if r > p and s > q:
                return p, r, q, s
    return span(rng, shape[0], nb) + span(rng, shape[1], nb)


def layout(rng, value):
    """The same values in one of the layouts a caller may hand over."""
    kind = rng.integers(0, 4)
    if kind == 0:
        return np.asfortranarray(value)
    if kind == 1:
        return np.ascontiguousarray(value)
    if kind == 2:  # a strided view into a larger array
        big = np.zeros((value.shape[0] * 2 + 1, value.shape[1] * 3 + 2), value.dtype)
        big[1::2, 2::3] = value
        return big[1::2, 2::3]
    return np.ascontiguousarray(value.T).T  # rows adjacent, columns spaced by rows


def put_value(rng, form, dtype, i0, i1, j0, j1):
    value = random_array(rng, (i1 - i0, j1 - j0), dtype)
    rows = np.arange(i0, i1)[:, None]
    cols = np.arange(j0, j1)[None, :]
    if form == "upper":
        value[rows > cols] = 0
    elif form == "diagonal":
        value[rows != cols] = 0
    elif form == "symmetric" and np.iscomplexobj(value):
        on = rows == cols
        value[on] = value[on].real
    return value


def model_put(model, form, i0, i1, j0, j1, value):
    model[i0:i1, j0:j1] = value
    if form == "symmetric":
        # The region's upper triangle is kept, its mirror read back.
        rows, cols = np.nonzero(np.arange(i0, i1)[:, None] <= np.arange(j0, j1)[None, :])
        model[cols + j0, rows + i0] = np.conj(model[rows + i0, cols + j0])


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_random_regions_against_model(session, workdir, dtype, form):
    rng = np.random.default_rng(zlib.crc32(f"{np.dtype(dtype).name} {form}".encode()))
    shape = SHAPES[form]
    path = os.path.join(workdir, "set.tsf")
    model = np.zeros(shape, dtype)
    with session.create(path) as fs:
        m = fs.create_matrix("M", shape, dtype=dtype, form=form)
        nb = m.block_order
        assert m.hyperblock_order * nb < shape[0], "the matrix must span hyperblocks"
        for step in range(40):
            i0, i1, j0, j1 = region(rng, form, shape, nb)
            value = put_value(rng, form, dtype, i0, i1, j0, j1)
            m[i0:i1, j0:j1] = layout(rng, value)
            model_put(model, form, i0, i1, j0, j1, value)
            g0, g1 = span(rng, shape[0], nb)
            h0, h1 = span(rng, shape[1], nb)
            got = m[g0:g1, h0:h1]
            assert got.dtype == np.dtype(dtype) and got.shape == (g1 - g0, h1 - h0)
            np.testing.assert_array_equal(got, model[g0:g1, h0:h1], err_msg=f"step {step}")
            i, j = rng.integers(0, shape[0]), rng.integers(0, shape[1])
            assert m[i, j] == model[i, j]
            np.testing.assert_array_equal(m[i, j0:j1], model[i, j0:j1])
            np.testing.assert_array_equal(m[-1, :], model[-1, :])
        blocks = m.stored_blocks
        rows_of_blocks, cols_of_blocks = (-(-n // nb) for n in shape)
        if form == "diagonal":
            assert blocks <= rows_of_blocks
        elif form in ("symmetric", "upper"):  # none below the block diagonal
            assert blocks <= sum(cols_of_blocks - bi for bi in range(rows_of_blocks))
    with session.open(path) as fs:
        m = fs.open_matrix("M", readonly=True)
        np.testing.assert_array_equal(m[:, :], model)
        assert m.stored_blocks == blocks
        out = np.empty((shape[1], shape[0]), dtype).T  # a column-spaced view
        np.testing.assert_array_equal(m.read_direct(out), model)
        out = np.empty(shape, dtype)  # C order: copied panel by panel
        np.testing.assert_array_equal(m.read_direct(out), model)


def test_values_cast_and_broadcast(fileset):
    m = fileset.create_matrix("B", (70, 50), dtype=np.float32)
    m[3:40, :] = 2.5  # a Python scalar takes the matrix's dtype
    m[0, :] = np.arange(50, dtype=np.float32)  # one row through an integer index
    m[:, 49] = [7] * 70  # a list of ints goes into floats of the same kind
    m[60:70, 10:20] = np.arange(10, dtype=np.float32)  # a row broadcast down the region
    expected = np.zeros((70, 50), np.float32)
    expected[3:40, :] = 2.5
    expected[0, :] = np.arange(50)
    expected[:, 49] = 7
    expected[60:70, 10:20] = np.arange(10)
    np.testing.assert_array_equal(m[...], expected)
    np.testing.assert_array_equal(m[:], expected)
    assert m[-1:100, -3:].shape == (1, 3)  # slices clip as in numpy
    assert m[10:5, :].shape == (0, 50)
    m[10:5, :] = np.zeros((0, 50), np.float32)  # an empty region puts nothing
    assert m[:, :].flags.f_contiguous


def test_a_get_creates_no_block(fileset):
    m = fileset.create_matrix("Z", (300, 300))
    assert m.stored_blocks == 0
    np.testing.assert_array_equal(m[:, :], 0)
    assert m.stored_blocks == 0
    m[299, 299] = 1.0
    assert m.stored_blocks == 1


@pytest.fixture
def small_panels():
    # Transfers through scratch go a panel of columns at a time, the next
    # panel prepared on a helper thread: with panels of a few KiB, small
    # matrices run through many of them.
    old = tessera._core.set_panel_bytes(4096)
    yield
    tessera._core.set_panel_bytes(old)


@pytest.mark.parametrize("dtype", [np.int32, np.float64, np.complex128],
                         ids=lambda d: np.dtype(d).name)
def test_many_panels(fileset, small_panels, dtype):
    rng = np.random.default_rng(4)
    a = random_array(rng, (97, 401), dtype)
    m = fileset.create_matrix("P", a.shape, dtype=dtype)
    m[:, :] = np.ascontiguousarray(a)  # through scratch, panel by panel
    m[:, 3:400] = a[:, 3:400][::-1, :][::-1, :]  # a view with a negative row stride
    np.testing.assert_array_equal(m[:, :], a)  # into a new array, touched a panel ahead
    np.testing.assert_array_equal(m[5:90, 7:399], a[5:90, 7:399])
    out = np.zeros((a.shape[1], a.shape[0]), dtype).T[:, :]  # column-major, read directly
    np.testing.assert_array_equal(m.read_direct(out), a)
    out = np.zeros(a.shape, dtype)  # row-major: scattered from scratch panel by panel
    np.testing.assert_array_equal(m.read_direct(out, slice(0, 97), slice(0, 401)), a)


def test_sets_of_one_session_share_the_first_sets_record_length(workdir):
    # Every set of a control area has the record length of the first one
    # opened: a set created after opening one of 2048-word records gets
    # 2048 words too, whatever the session was made for.
    first = os.path.join(workdir, "first.tsf")
    a = np.arange(150 * 120, dtype=np.float64).reshape(150, 120)
    with tessera.Session(memory="3M", record_length=2048) as s, s.create(first) as fs:
        fs.create_matrix("A", a.shape)[:, :] = a
    with tessera.Session(memory="8M", record_length=8192) as s:
        with s.open(first) as old, s.create(os.path.join(workdir, "second.tsf")) as new:
            assert s.record_length == 2048
            b = new.create_matrix("B", a.shape)
            assert b.block_order == old.open_matrix("A").block_order == 32
            tessera.copy(old.open_matrix("A"), b)
            np.testing.assert_array_equal(b[:, :], a)
