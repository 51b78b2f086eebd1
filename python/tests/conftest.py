"""Shared fixtures: a fresh directory per test and small sessions whose
blocks and hyperblocks are small enough for test matrices to cross their
edges."""

import os
import shutil
import tempfile

import numpy as np
import pytest

import tessera

# Records of 2048 words: blocks of 45 int32/float32, 32 float64/complex64
# and 22 complex128 elements a side. A 3 MiB area then gives hyperblocks of
# 3 x 3 blocks, so matrices of a couple of hundred rows span several of them.
RECORD_LENGTH = 2048
MEMORY = "3M"

DTYPES = [np.int32, np.float32, np.float64, np.complex64, np.complex128]
FORMS = ["general", "symmetric", "upper", "diagonal"]


@pytest.fixture
def workdir():
    root = os.environ.get("TESSERA_TEST_TMP") or tempfile.gettempdir()
    os.makedirs(root, exist_ok=True)
    path = tempfile.mkdtemp(prefix="python-", dir=root)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def session():
    with tessera.Session(memory=MEMORY, record_length=RECORD_LENGTH) as s:
        yield s


@pytest.fixture
def fileset(session, workdir):
    with session.create(os.path.join(workdir, "set.tsf")) as fs:
        yield fs


def random_array(rng, shape, dtype):
    """Values of the dtype, none of them zero (so that a lost value shows)."""
    dtype = np.dtype(dtype)
    if dtype.kind == "i":
        return rng.integers(1, 1000, size=shape).astype(dtype)
    values = rng.uniform(0.5, 1.5, size=shape) * rng.choice([-1, 1], size=shape)
    if dtype.kind == "c":
        values = values + 1j * rng.uniform(0.5, 1.5, size=shape)
    return values.astype(dtype)
