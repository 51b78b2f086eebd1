"""What is refused, and how: bad indices and dtypes, puts a storage form
would lose, stale objects, a second session, and the library's own refusals
with their status, routine and trace."""

import os
import threading

import numpy as np
import pytest

import tessera


@pytest.mark.parametrize("key", [
    np.s_[::2, :], np.s_[:, 5:1:-1], np.s_[[1, 2], :], np.s_[:, np.array([0, 3])],
    np.s_[np.ones((20, 30), bool)], np.s_[True, 0], np.s_[0, 0, 0], np.s_[..., 0, ...],
    np.s_[20, 0], np.s_[0, -31], np.s_[1.5, 0], np.s_[None, 0], np.s_["a", :],
])
def test_bad_indices_raise_index_error(fileset, key):
    m = fileset.create_matrix("A", (20, 30))
    with pytest.raises(IndexError):
        m[key]
    with pytest.raises(IndexError):
        m[key] = 1.0


def test_values_of_another_kind_are_refused(fileset):
    m = fileset.create_matrix("A", (20, 30))
    i = fileset.create_matrix("I", (20, 30), dtype=np.int32)
    with pytest.raises(TypeError):
        m[:, :] = np.ones((20, 30), np.float32)  # an array must have the dtype exactly
    with pytest.raises(TypeError):
        m[:, :] = np.ones((20, 30), np.dtype(">f8"))  # nor another byte order
    with pytest.raises(TypeError):
        m[0, 0] = 1j  # a complex scalar into reals
    with pytest.raises(TypeError):
        i[0, 0] = 1.5  # a float into integers
    with pytest.raises(TypeError):
        m[0, 0] = "text"
    with pytest.raises(ValueError):
        m[0:2, 0:3] = np.ones((3, 2))  # shapes that do not broadcast
    with pytest.raises(TypeError):
        fileset.create_matrix("X", (3, 3), dtype=np.int64)
    with pytest.raises(ValueError):
        fileset.create_matrix("X", (3, 3), form="lower")
    with pytest.raises(ValueError):
        fileset.create_matrix("thirteen_char", (3, 3))
    with pytest.raises(ValueError):
        fileset.create_matrix("X", (0, 3))
    assert np.all(m[:, :] == 0) and np.all(i[:, :] == 0)


def test_puts_a_form_would_lose_are_refused(fileset):
    s = fileset.create_matrix("S", (100, 100), form="symmetric")
    u = fileset.create_matrix("U", (100, 100), form="upper")
    d = fileset.create_matrix("D", (100, 100), form="diagonal")
    h = fileset.create_matrix("H", (10, 10), dtype=np.complex128, form="symmetric")
    for key in (np.s_[50:60, 0:10], np.s_[0:60, 0:50], np.s_[5:50, 0:100], np.s_[99, 0]):
        with pytest.raises(ValueError, match="below the diagonal"):
            s[key] = 1.0  # elements below the diagonal without their mirror
    s[0:10, 50:60] = 1.0  # wholly above: fine
    s[5:50, 5:100] = 2.0  # holds the mirror of each element below: fine
    s[0:60, 10:100] = 3.0
    with pytest.raises(ValueError, match="upper triangular"):
        u[50:60, 0:100] = 1.0
    u[50:60, 0:100] = np.triu(np.ones((10, 100)), 50)  # zeros below: fine
    with pytest.raises(ValueError, match="diagonal"):
        d[0:3, 0:3] = 1.0
    d[0:3, 0:3] = np.eye(3)
    with pytest.raises(ValueError, match="real"):
        h[:, :] = np.eye(10) * 1j
    assert s.stored_blocks > 0 and u[55, 0] == 0 and d[1, 1] == 1 and h.stored_blocks == 0


def test_library_refusals_carry_status_routine_and_trace(session, workdir):
    path = os.path.join(workdir, "set.tsf")
    with session.create(path) as fs:
        fs.create_matrix("A", (40, 40))[:, :] = 1.0
        with pytest.raises(tessera.Error) as e:
            fs.create_matrix("A", (40, 40))
        assert e.value.status == 17 and e.value.routine == "hmnewm" and e.value.trace
        assert "already exists" in str(e.value)
        with pytest.raises(tessera.Error) as e:
            fs.open_matrix("NOPE")
        assert e.value.status == 31 and e.value.routine == "hmoldm"
    with session.open(path) as fs:
        a = fs.open_matrix("A", readonly=True)
        with pytest.raises(tessera.Error) as e:
            a[0, 0] = 2.0
        assert (e.value.status, e.value.routine) == (35, "hmputs") and len(e.value.trace) >= 1
        assert a[0, 0] == 1.0
        assert fs.open_matrix("A", readonly=True) is not None
        with pytest.raises(tessera.Error):
            fs.open_matrix("A")  # open read-only already
    with pytest.raises(FileExistsError):
        session.create(path)
    with pytest.raises(FileNotFoundError):
        session.open(os.path.join(workdir, "missing.tsf"))


def test_stale_objects_refuse_every_use(session, workdir):
    fs = session.create(os.path.join(workdir, "set.tsf"))
    a = fs.create_matrix("A", (40, 40))
    b = fs.create_matrix("B", (40, 40))
    c = fs.create_matrix("C", (40, 40))
    a.release()
    uses = [lambda m: m[0, 0], lambda m: m.__setitem__((0, 0), 1.0), lambda m: m[0:0, :],
            lambda m: m.stored_blocks, lambda m: tessera.add(m, m)]
    for use in uses:
        with pytest.raises(tessera.Error, match="closed"):
            use(a)
    b.kill()
    with pytest.raises(tessera.Error, match="closed"):
        b[0, 0]
    assert "B" not in fs and "C" in fs
    fs.remove()
    for use in uses:
        with pytest.raises(tessera.Error, match="closed"):
            use(c)
    with pytest.raises(tessera.Error, match="closed"):
        fs.create_matrix("D", (4, 4))
    a.release()  # releasing again does nothing
    fs2 = session.open(os.path.join(workdir, "set.tsf"))
    d = fs2.open_matrix("C")
    session.close()
    assert d.closed and fs2.closed
    with pytest.raises(tessera.Error, match="closed"):
        d[0, 0]


def test_one_live_session(workdir):
    with tessera.Session(memory="3M", record_length=2048) as s:
        with pytest.raises(tessera.Error, match="another session is live") as e:
            tessera.Session(memory="3M")
        assert e.value.status is None
        fs = s.create(os.path.join(workdir, "set.tsf"))
        m = fs.create_matrix("A", (10, 10))
    # Closing the first (here by the with block) frees the areas.
    with tessera.Session(memory="3M", record_length=2048) as s:
        assert m.closed
    # Dropping the last reference closes a session too.
    s = tessera.Session(memory="3M")
    del s
    tessera.Session(memory="3M").close()
    with pytest.raises(tessera.Error, match="too small"):
        tessera.Session(memory="1M", record_length=2048)
    with pytest.raises(ValueError):
        tessera.Session(memory="lots")


def test_concurrent_threads_are_serialised(fileset):
    # Transfers release the GIL; the library lock must keep the threads'
    # calls apart, or the buffers of the shared control area get mixed up.
    n = 150
    matrices = [fileset.create_matrix(f"T{k}", (n, n)) for k in range(4)]
    errors = []

    def work(k):
        rng = np.random.default_rng(k)
        try:
            for _ in range(20):
                value = rng.random((n, n))
                matrices[k][:, :] = value if k % 2 else np.ascontiguousarray(value)
                np.testing.assert_array_equal(matrices[k][:, :], value)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_matrices_lists_the_directory(session, workdir):
    path = os.path.join(workdir, "set.tsf")
    with session.create(path) as fs:
        fs.create_matrix("A", (30, 20))
        fs.create_matrix("S", (9, 9), dtype=np.complex64, form="symmetric")
        fs.create_matrix("A", (5, 5), dtype=np.int32, qualifier=7)
        fs.create_matrix("GONE", (3, 3)).kill()
        listing = fs.matrices()
        assert set(listing) == {"A", "S", ("A", 7)}
        assert listing["S"].shape == (9, 9) and listing["S"].dtype == np.complex64
        assert listing["S"].form == "symmetric" and listing[("A", 7)].dtype == np.int32
    with session.open(path) as fs:
        if tessera._core.HAS_VIEW:  # the stored directory, read before opening
            assert fs.matrices() == listing
        fs.kill_matrix("A")
        fs.create_matrix("NEW", (2, 2))
        listing = fs.matrices()
        assert "A" not in listing and "NEW" in listing
