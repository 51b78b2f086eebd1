"""Benchmark: M[:, :] put and get against the same calls through the C interface.

    python -m tessera.bench [--mib 1024] [--dir DIR] [--memory 256M]
                            [--record-length WORDS] [--repeat 3]

A square float64 matrix of about MIB MiB is put whole and got whole, in one
process and one session: on one side with the package (``M[:, :] = a`` and
``b = M[:, :]``), on the other with one hmputs and one hmgets call made
directly on the matrix's handle (timed around the C call alone). Each put
goes into a fresh file set; the gets read one set again and again. The
sides take turns, in an order that rotates from run to run, the page cache
is kept (warm), and the best and the median of each side's runs are
reported as MB/s and as the C interface's time over the package's.

Besides the Fortran-ordered array (the library's own order, handed over as
it is), the package's put of a C-ordered array (copied a panel at a time)
and its get into an existing array (``M.read_direct(out)``) are measured,
and the C interface's get into a new array as well as into an existing one:
``M[:, :]`` returns a new array, whose fresh pages the kernel must map and
zero on first touch.
"""

import argparse
import os
import tempfile
import time

import numpy as np

from . import _core
from ._session import Session, parse_size


def _rate(nbytes, seconds):
    return nbytes / seconds / 1e6


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tessera.bench",
                                     description=__doc__.split("\n\n")[1])
    parser.add_argument("--mib", type=float, default=1024.0, help="size of the matrix in MiB")
    parser.add_argument("--dir", default=None, help="directory of the file sets (default: a "
                        "temporary directory under the current one)")
    parser.add_argument("--memory", default="256M", help="the session's control area")
    parser.add_argument("--record-length", type=int, default=None, help="words per record")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each side")
    args = parser.parse_args(argv)

    n = int((args.mib * 2**20 / 8) ** 0.5)
    nbytes = n * n * 8
    rng = np.random.default_rng(0)
    a_f = np.asfortranarray(rng.random((n, n)))
    a_c = np.ascontiguousarray(a_f)
    out = np.zeros((n, n), order="F")
    workdir = tempfile.mkdtemp(prefix="tessera-bench-", dir=args.dir or os.getcwd())
    path = os.path.join(workdir, "bench.tsf")
    times = {}

    def record(what, seconds):
        times.setdefault(what, []).append(seconds)

    with Session(memory=args.memory, record_length=args.record_length) as session:
        print(f"matrix {n} x {n} float64 ({nbytes / 2**20:.0f} MiB), session of "
              f"{parse_size(args.memory) / 2**20:.0f} MiB, records of {session.record_length} "
              f"words, files in {workdir}")
        # Puts: each into a fresh set, which is then removed (the modified
        # buffers written) and killed.
        puts = {"c": None, "python": a_f, "python-c-order": a_c}
        for run in range(args.repeat):
            order = list(puts)[run % 3:] + list(puts)[:run % 3]
            for k, side in enumerate(order):
                fs = session.create(path, overwrite=True, initial_size=int(nbytes * 1.05))
                m = fs.create_matrix("A", (n, n))
                if run == 0 and side == "c":
                    print(f"block order {m.block_order}, hyperblock order "
                          f"{m.hyperblock_order}, {session.buffers} buffers")
                if side == "c":
                    record("put c", _core.c_put_seconds(m._core, a_f))
                else:
                    t0 = time.perf_counter()
                    m[:, :] = puts[side]
                    record("put " + side, time.perf_counter() - t0)
                fs.remove()
                if run < args.repeat - 1 or k < len(order) - 1:  # the last is read below
                    session.open(path).kill()
        # Gets: one set, read whole again and again, the sides in turn.
        with session.open(path) as fs:
            m = fs.open_matrix("A", readonly=True)
            gets = ["c", "c-new", "python", "python-read-direct"]
            for run in range(args.repeat):
                for side in gets[run % 4:] + gets[:run % 4]:
                    if side == "c":
                        record("get c", _core.c_get_seconds(m._core, out))
                        got = out
                    elif side == "c-new":
                        got = np.empty((n, n), order="F")
                        record("get c-new", _core.c_get_seconds(m._core, got))
                    elif side == "python":
                        t0 = time.perf_counter()
                        got = m[:, :]
                        record("get python", time.perf_counter() - t0)
                    else:
                        t0 = time.perf_counter()
                        got = m.read_direct(out)
                        record("get python-read-direct", time.perf_counter() - t0)
                    if run == 0 and not np.array_equal(got, a_f):
                        raise SystemExit(f"{side}: the values read back differ")
                    del got
        session.open(path).kill()
    os.rmdir(workdir)

    best = {what: min(t) for what, t in times.items()}
    median = {what: float(np.median(t)) for what, t in times.items()}
    rows = [("put", "c", "C interface: hmputs from a Fortran-ordered array"),
            ("put", "python", "M[:, :] = a, a Fortran-ordered"),
            ("put", "python-c-order", "M[:, :] = a, a C-ordered (copied by panels)"),
            ("get", "c", "C interface: hmgets into an existing array"),
            ("get", "c-new", "C interface: hmgets into a new array (np.empty)"),
            ("get", "python", "b = M[:, :] (a new array)"),
            ("get", "python-read-direct", "M.read_direct(b) (an existing array)")]
    print(f"best and median of {args.repeat} runs, warm page cache")
    print(f"{'':4} {'MB/s':>8} {'ratio':>6} {'median':>8} {'ratio':>6}  what")
    for op, side, what in rows:
        key = f"{op} {side}"
        print(f"{op:4} {_rate(nbytes, best[key]):8.0f} {best[f'{op} c'] / best[key]:6.2f} "
              f"{_rate(nbytes, median[key]):8.0f} {median[f'{op} c'] / median[key]:6.2f}  {what}")
    print("ratio: the C interface's time over this one (1.00 = as fast as the C calls)")


if __name__ == "__main__":
    main()
