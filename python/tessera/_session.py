"""Sessions, file sets and matrices: the package's objects."""

import operator
import os
import re

import numpy as np

from . import _core
from ._errors import Error

__all__ = ["Session", "FileSet", "Matrix", "add", "copy", "multiply", "parse_size"]

# numpy dtypes and the library's element type codes.
_TYPE_OF_DTYPE = {
    np.dtype(np.int32): _core.TYPE_INT32,
    np.dtype(np.float32): _core.TYPE_FLOAT,
    np.dtype(np.float64): _core.TYPE_DOUBLE,
    np.dtype(np.complex64): _core.TYPE_COMPLEX_FLOAT,
    np.dtype(np.complex128): _core.TYPE_COMPLEX_DOUBLE,
}
_DTYPE_OF_TYPE = {code: dtype for dtype, code in _TYPE_OF_DTYPE.items()}

# Storage forms by name; forms 2 and 4 of files made elsewhere are general too.
_FORM_OF_NAME = {
    "general": _core.FORM_GENERAL,
    "symmetric": _core.FORM_SYMMETRIC,
    "upper": _core.FORM_UPPER,
    "diagonal": _core.FORM_DIAGONAL,
}
_NAME_OF_FORM = {code: name for name, code in _FORM_OF_NAME.items()}

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_size(size):
    """Bytes of a size given as an integer or a text such as "256M".

    Units K, M, G and T are powers of 1024, optionally followed by "iB" or
    "B" ("512MiB", "2GB", "1.5G"); a plain number is bytes.
    """
    if isinstance(size, (int, np.integer)) and not isinstance(size, bool):
        value = int(size)
    elif isinstance(size, str):
        match = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*([KMGT]?)(?:i?B)?\s*", size, re.IGNORECASE)
        if match is None:
            raise ValueError(f"not a size: {size!r} (examples: 268435456, '256M', '1.5G')")
        value = int(float(match.group(1)) * _SIZE_UNITS[match.group(2).upper()])
    else:
        raise TypeError(f"a size is an integer or a text such as '256M', not {type(size).__name__}")
    if value <= 0:
        raise ValueError(f"a size must be positive: {size!r}")
    return value


def _paths(paths):
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    paths = [os.fspath(p) for p in paths]
    if not paths:
        raise ValueError("a file set has at least one file")
    if len(paths) > _core.MAX_FILES:
        raise ValueError(f"a file set has at most {_core.MAX_FILES} files, not {len(paths)}")
    return paths


def _dtype(dtype):
    try:
        dt = np.dtype(dtype)
    except TypeError as e:
        raise TypeError(f"not a dtype: {dtype!r}") from e
    if dt not in _TYPE_OF_DTYPE:
        names = ", ".join(str(d) for d in _TYPE_OF_DTYPE)
        raise TypeError(f"matrices hold {names}, not {dt}")
    return dt


# Record length (words) a session picks for its file sets when not told: the
# longest of these whose buffers still give hyperblocks of at least
# _WANTED_HYPERBLOCK blocks a side. Long records move data faster (fewer
# records per byte); a larger hyperblock order makes products cheaper.
_RECORD_LENGTHS = (131072, 65536, 32768, 16384, 8192, 4096, 2048)
_WANTED_HYPERBLOCK = 4


def _pick_record_length(memory, matrices):
    want = 18 * _WANTED_HYPERBLOCK**2 + 3 * matrices + 15
    for length in _RECORD_LENGTHS:
        # Room for the tables besides the buffers: a generous tenth.
        if want * (4 * length + 56) <= 0.9 * memory:
            return length
    return _core.DEFAULT_RECORD_LENGTH


class Session:
    """The library's working memory for the life of a ``with`` block.

    A session holds the control area (``memory`` bytes, most of it block
    buffers) and the three small areas the library links in. The library
    keeps those areas process-wide, so only one session may be live at a
    time: making a second raises :class:`Error`. Calls from several threads
    are serialised; long transfers let other Python threads run meanwhile.

    Args:
        memory: bytes of the control area, an integer or a text such as
            "256M" or "2G". The larger, the more blocks stay in memory and the
            larger the hyperblocks of new matrices.
        record_length: words (4 bytes) of one record, which is one block; the
            default picks the longest of 2048 .. 131072 words that still gives
            hyperblocks of 4 blocks a side. The first file set fixes it for
            the session (an existing set brings its own).
        max_filesets: file sets open at once.
        max_matrices: matrices open at once.
        blas: products of float64 blocks through the BLAS (True) or through
            the library's own loops, which skip values of magnitude 1e-10 and
            below (False).

    Example::

        with tessera.Session(memory="256M") as session:
            with session.create("work.tsf") as fs:
                A = fs.create_matrix("A", (1000, 1000))
                A[:, :] = numpy.eye(1000)
    """

    def __init__(self, memory="256M", record_length=None, max_filesets=4, max_matrices=32,
                 blas=True):
        self._memory = parse_size(memory)
        if max_filesets < 1 or max_matrices < 1:
            raise ValueError("max_filesets and max_matrices must be 1 or more")
        if record_length is None:
            record_length = _pick_record_length(self._memory, max_matrices)
        elif record_length < _core.MIN_RECORD_LENGTH:
            raise ValueError(f"record_length must be at least {_core.MIN_RECORD_LENGTH} words")
        self._core = _core.Session(self._memory, int(record_length), int(max_filesets),
                                   int(max_matrices), bool(blas))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Release every open matrix, remove every open file set (their files
        are kept) and free the control area. Objects of the session are stale
        afterwards. Calling it again does nothing."""
        self._core.close()

    @property
    def closed(self):
        """True once the session is closed."""
        return not self._core.is_open

    @property
    def memory(self):
        """Bytes of the control area."""
        return self._memory

    @property
    def record_length(self):
        """Words of a record: that of the open file sets, else the one new
        sets will get."""
        return self._core.record_length

    @property
    def buffers(self):
        """Block buffers of the pool (0 before the first file set)."""
        return self._core.buffers

    def create(self, paths, overwrite=False, initial_size=None):
        """Create a new file set and open it.

        Args:
            paths: a path, or a list of up to 10 paths over which the records
                are striped round-robin.
            overwrite: replace files that exist (by default an existing file
                is refused with FileExistsError).
            initial_size: bytes to give the set at creation (it grows as
                needed); an integer or a text such as "1G".

        Returns:
            the open :class:`FileSet`, a context manager that removes the set
            (keeping its files) on exit.
        """
        paths = _paths(paths)
        if not overwrite:
            for p in paths:
                if os.path.lexists(p):
                    raise FileExistsError(f"{p} exists (pass overwrite=True to replace it)")
        initial = parse_size(initial_size) if initial_size is not None else 0
        return FileSet(self._core.create(paths, initial), self, created=True)

    def open(self, paths):
        """Open an existing file set: its files in the order they were created
        with. Returns the open :class:`FileSet`."""
        paths = _paths(paths)
        for p in paths:
            if not os.path.exists(p):
                raise FileNotFoundError(f"{p} does not exist")
        return FileSet(self._core.open(paths), self, created=False)

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return f"<tessera.Session {self._memory} bytes, {state}>"


class FileSet:
    """An open file set: a group of files holding named matrices.

    Made by :meth:`Session.create` or :meth:`Session.open`. As a context
    manager it removes the set on exit: open matrices are released, the
    set's tables are written, and the files are kept for a later
    :meth:`Session.open`. Matrices are named by up to 12 bytes and an integer
    qualifier (1 unless given).
    """

    def __init__(self, core, session, created):
        self._core = core
        self._session = session
        # The set's matrices by (name, qualifier): for an opened set, the
        # directory its files held (when the library's view of stored sets is
        # built), kept up to date with what this object creates and kills.
        self._catalogue = {}
        stored = None if created else core.stored_matrices()
        if stored is not None:
            for name, qualifier, type_code, items, form, rows, cols in stored:
                dtype = _DTYPE_OF_TYPE.get(type_code) if items == 1 else None
                self._catalogue[(name, qualifier)] = MatrixEntry(
                    name, qualifier, (rows, cols), dtype, _NAME_OF_FORM.get(form, "general"))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()
        return False

    @property
    def paths(self):
        """The set's files, in order."""
        return list(self._core.paths)

    @property
    def closed(self):
        """True once the set is removed or killed (or its session closed)."""
        return not self._core.is_open

    def remove(self):
        """Release the open matrices, write the set's tables and close it,
        keeping its files. Calling it again does nothing."""
        self._core.remove()

    close = remove

    def kill(self):
        """Release the open matrices, close the set and delete its files."""
        self._core.kill()
        self._catalogue.clear()

    def create_matrix(self, name, shape, dtype=np.float64, form="general", band=None,
                      qualifier=1):
        """Create a new matrix, every element zero, and open it.

        Args:
            name: 1 to 12 bytes (ASCII), unique with ``qualifier`` in the set.
            shape: (rows, columns). A symmetric matrix is square.
            dtype: numpy.int32, float32, float64, complex64 or complex128.
            form: "general"; "symmetric" (the upper triangle is stored and
                mirrored; complex matrices are Hermitian); "upper" (upper
                triangular: zeros below the diagonal); "diagonal" (only the
                diagonal is stored).
            band: band width on each side of the diagonal, kept with the
                matrix for the programs that read it (values outside the band
                are stored like any other).
            qualifier: integer, the second part of the matrix's key.

        Returns:
            the open :class:`Matrix`.
        """
        dt = _dtype(dtype)
        if form not in _FORM_OF_NAME:
            raise ValueError(f"form must be one of {', '.join(_FORM_OF_NAME)}, not {form!r}")
        rows, cols = _shape(shape)
        if band is not None and (operator.index(band) < 0):
            raise ValueError("band must be 0 or more")
        core = self._core.create_matrix(_name(name), int(qualifier), _TYPE_OF_DTYPE[dt],
                                        _FORM_OF_NAME[form], -1 if band is None else int(band),
                                        rows, cols)
        m = Matrix(core, self)
        self._catalogue[(m.name, m.qualifier)] = m._entry()
        return m

    def open_matrix(self, name, readonly=False, qualifier=1):
        """Open an existing matrix of the set.

        A matrix open already (with the same ``readonly``) is returned as it
        is. A read-only matrix refuses puts and cannot be changed by
        :func:`add`, :func:`copy` or :func:`multiply`.
        """
        core = self._core.open_matrix(_name(name), int(qualifier), bool(readonly))
        m = Matrix(core, self)
        self._catalogue[(m.name, m.qualifier)] = m._entry()
        return m

    def __getitem__(self, name):
        """``fs["A"]`` opens matrix "A" (qualifier 1) for reading and writing."""
        return self.open_matrix(name)

    def __contains__(self, name):
        """``"A" in fs``: whether the set has matrix "A" (qualifier 1)."""
        return self._core.inquire(_name(name), 1) >= 0

    def kill_matrix(self, name, qualifier=1):
        """Delete a matrix and its blocks from the set (open or not); an open
        :class:`Matrix` of it becomes stale."""
        self._core.kill_matrix(_name(name), int(qualifier))
        self._catalogue.pop((name, int(qualifier)), None)

    def matrices(self):
        """The set's matrices: a dict of name -> MatrixEntry (name, qualifier,
        shape, dtype, form); a matrix whose qualifier is not 1 is listed under
        (name, qualifier), one of an element type the package does not read
        with dtype None.

        The listing is the directory the files held when the set was opened
        (read through the library's view of stored sets) with the matrices
        created and killed since. A build without that view lists, for an
        opened set, only the matrices opened or created through this object.
        """
        out = {}
        for (name, qualifier), entry in sorted(self._catalogue.items()):
            if self._core.inquire(name, qualifier) >= 0:
                out[name if qualifier == 1 else (name, qualifier)] = entry
        return out

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return f"<tessera.FileSet {self.paths}, {state}>"


class MatrixEntry(tuple):
    """One matrix of :meth:`FileSet.matrices`: (name, qualifier, shape,
    dtype, form)."""

    __slots__ = ()
    _fields = ("name", "qualifier", "shape", "dtype", "form")

    def __new__(cls, name, qualifier, shape, dtype, form):
        return tuple.__new__(cls, (name, qualifier, shape, dtype, form))

    name = property(operator.itemgetter(0))
    qualifier = property(operator.itemgetter(1))
    shape = property(operator.itemgetter(2))
    dtype = property(operator.itemgetter(3))
    form = property(operator.itemgetter(4))

    def __repr__(self):
        return (f"MatrixEntry(name={self.name!r}, qualifier={self.qualifier}, "
                f"shape={self.shape}, dtype={self.dtype}, form={self.form!r})")


def _name(name):
    if not isinstance(name, str):
        raise TypeError(f"a matrix name is a str, not {type(name).__name__}")
    try:
        raw = name.encode("ascii")
    except UnicodeEncodeError as e:
        raise ValueError(f"a matrix name is ASCII: {name!r}") from e
    if not 1 <= len(raw) <= _core.NAME_BYTES or name != name.rstrip(" "):
        raise ValueError(f"a matrix name has 1 to {_core.NAME_BYTES} bytes and no trailing "
                         f"blanks: {name!r}")
    return name


def _shape(shape):
    try:
        rows, cols = (operator.index(x) for x in shape)
    except (TypeError, ValueError) as e:
        raise TypeError(f"shape must be two integers (rows, columns), not {shape!r}") from e
    if not (1 <= rows < 2**31 and 1 <= cols < 2**31):
        raise ValueError(f"rows and columns must be 1 to 2**31 - 1: {shape!r}")
    return rows, cols


def _axis(key, n, what):
    """(first, stop, dropped) of one index: an integer or a slice of step 1."""
    if isinstance(key, slice):
        start, stop, step = key.indices(n)
        if step != 1:
            raise IndexError(f"{what} slice {key}: only steps of 1 are supported")
        return start, max(start, stop), False
    try:
        if isinstance(key, (bool, np.bool_)):
            raise TypeError
        i = operator.index(key)
    except TypeError:
        raise IndexError(f"{what} index {key!r}: a matrix takes integers and slices of step 1 "
                         "(no fancy or boolean indexing)") from None
    if i < 0:
        i += n
    if not 0 <= i < n:
        raise IndexError(f"{what} index {operator.index(key)} is out of bounds for size {n}")
    return i, i + 1, True


def _region(key, shape):
    if not isinstance(key, tuple):
        key = (key,)
    if sum(k is Ellipsis for k in key) > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    if any(k is Ellipsis for k in key):
        at = next(i for i, k in enumerate(key) if k is Ellipsis)
        key = key[:at] + (slice(None),) * (3 - len(key)) + key[at + 1:]
    if len(key) > 2:
        raise IndexError(f"too many indices: a matrix has 2 dimensions, {len(key)} were given")
    key = key + (slice(None),) * (2 - len(key))
    return _axis(key[0], shape[0], "row") + _axis(key[1], shape[1], "column")


class Matrix:
    """An open matrix of a file set, read and written by regions like an array.

    ``M[i0:i1, j0:j1] = a`` puts a numpy array (of the matrix's dtype exactly:
    no silent casts) into the region; ``M[i0:i1, j0:j1]`` gets the region as
    a new numpy array in Fortran (column-major) order, the matrix's own order,
    so it costs one copy. Integers and slices of step 1 index rows and
    columns as in numpy (an integer drops its dimension, slices are clipped
    to the shape); fancy and boolean indexing and other steps raise
    IndexError. Values broadcast as in numpy.

    The storage form shows in what can be put:

    - symmetric: the upper triangle is stored and read back mirrored (the
      conjugate for complex matrices, which are Hermitian). A put takes the
      upper triangle of the value where the region holds an element and its
      mirror; a region that reaches below the diagonal must hold the mirror
      of every element it has there (as M[:, :] or M[k:l, k:] do), and the
      diagonal of a complex one must be real.
    - upper: values below the diagonal must be zero; they read back as zero.
    - diagonal: only the diagonal is stored; off-diagonal values must be zero.

    Blocks written stay in the session's buffers until they are needed for
    others or the matrix is released (:meth:`release`, the end of a ``with``
    block, or its file set's removal).
    """

    def __init__(self, core, fileset):
        self._core = core
        self._fileset = fileset
        self._dtype = _DTYPE_OF_TYPE.get(core.type_code)
        if self._dtype is None or core.items != 1:
            name = core.name
            core.release()
            raise Error(f"matrix {name!r} has element type {core.type_code} with {core.items} "
                        "items, which the Python package does not read (it reads int32, "
                        "float32, float64, complex64 and complex128)", None, "open_matrix")

    def _entry(self):
        return MatrixEntry(self.name, self.qualifier, self.shape, self.dtype, self.form)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()
        return False

    # --- description --------------------------------------------------------

    @property
    def name(self):
        """The matrix's name."""
        return self._core.name

    @property
    def qualifier(self):
        """The second part of its key."""
        return self._core.qualifier

    @property
    def shape(self):
        """(rows, columns)."""
        return (self._core.rows, self._core.cols)

    @property
    def ndim(self):
        """2."""
        return 2

    @property
    def dtype(self):
        """The numpy dtype of its elements."""
        return self._dtype

    @property
    def form(self):
        """Storage form: "general", "symmetric", "upper" or "diagonal"."""
        return _NAME_OF_FORM.get(self._core.form, "general")

    @property
    def band(self):
        """Band width on each side of the diagonal, or None."""
        band = self._core.band
        return None if band < 0 else band

    @property
    def readonly(self):
        """True when opened read-only."""
        return self._core.readonly

    @property
    def closed(self):
        """True once released or killed, or when its file set or session is
        closed: a closed matrix refuses every use."""
        return not self._core.is_open

    @property
    def stored_blocks(self):
        """Number of blocks the matrix stores (blocks never written cost
        nothing and read as zero)."""
        return self._core.stored_blocks

    @property
    def block_order(self):
        """Elements on a block side (a block is one record)."""
        return self._core.block_order

    @property
    def hyperblock_order(self):
        """Blocks on a hyperblock side: the unit of work of :func:`multiply`."""
        return self._core.hyperblock_order

    def __repr__(self):
        state = "closed" if self.closed else ("read-only" if self.readonly else "open")
        rows, cols = self.shape
        return f"<tessera.Matrix {self.name!r} {rows}x{cols} {self.dtype} {self.form}, {state}>"

    # --- life ---------------------------------------------------------------

    def release(self):
        """Write its modified blocks and tables to the files and close it.
        Calling it again does nothing."""
        self._core.release()

    close = release

    def kill(self):
        """Delete the matrix and its blocks from the file set."""
        key = (self.name, self.qualifier)
        self._core.kill()
        self._fileset._catalogue.pop(key, None)

    # --- regions ------------------------------------------------------------

    def __getitem__(self, key):
        """``M[i0:i1, j0:j1]``: the region as a new Fortran-ordered array
        (an integer index drops its dimension: ``M[i, j]`` is a scalar)."""
        i0, i1, drop_row, j0, j1, drop_col = _region(key, self.shape)
        nr, nc = i1 - i0, j1 - j0
        if nr == 0 or nc == 0:
            self._core.require_open()
            out = np.zeros((nr, nc), self._dtype, order="F")
        elif self._core.form == _core.FORM_DIAGONAL:
            out = self._get_diagonal(i0, nr, j0, nc)
        else:
            out = self._core.get(i0, nr, j0, nc, self._dtype)
        if drop_row and drop_col:
            return out[0, 0]
        if drop_row:
            return out[0, :]
        if drop_col:
            return out[:, 0]
        return out

    def __setitem__(self, key, value):
        """``M[i0:i1, j0:j1] = value``: put a numpy array of the matrix's dtype,
        or a scalar or list of a kind that converts to it, broadcast to the
        region."""
        i0, i1, drop_row, j0, j1, drop_col = _region(key, self.shape)
        nr, nc = i1 - i0, j1 - j0
        target = tuple(n for n, dropped in ((nr, drop_row), (nc, drop_col)) if not dropped)
        value = self._value(value)
        try:
            value = np.broadcast_to(value, target)
        except ValueError as e:
            raise ValueError(f"could not broadcast a value of shape {np.shape(value)} into the "
                             f"region of shape {target}") from e
        value = value.reshape(nr, nc)
        if nr == 0 or nc == 0:
            self._core.require_open()
            return
        form = self._core.form
        if not self.readonly:
            if form == _core.FORM_SYMMETRIC:
                self._check_symmetric(i0, i1, j0, j1, value)
            elif form == _core.FORM_DIAGONAL:
                self._put_diagonal(i0, i1, j0, j1, value)
                return
        self._core.put(i0, j0, value)

    def read_direct(self, out, rows=slice(None), cols=slice(None)):
        """Get a region into an existing array ``out`` (writable, the
        matrix's dtype, the region's two-dimensional shape, any strides):
        h5py's read_direct, without a new array. Returns ``out``."""
        i0, i1, _, j0, j1, _ = _region((rows, cols), self.shape)
        if not isinstance(out, np.ndarray) or out.dtype != self._dtype:
            raise TypeError(f"out must be a numpy array of {self._dtype}")
        if out.shape != (i1 - i0, j1 - j0):
            raise ValueError(f"out has shape {out.shape}, the region {(i1 - i0, j1 - j0)}")
        if out.size == 0:
            return out
        if self._core.form == _core.FORM_DIAGONAL:
            out[...] = self._get_diagonal(i0, i1 - i0, j0, j1 - j0)
        else:
            self._core.get_into(i0, j0, out)
        return out

    def _value(self, value):
        if isinstance(value, np.ndarray):
            if value.dtype != self._dtype:
                raise TypeError(f"the array holds {value.dtype}, matrix {self.name!r} holds "
                                f"{self._dtype}: convert it first (a.astype(numpy.{self._dtype}))")
            return value
        if isinstance(value, Matrix):
            raise TypeError("a matrix is put from a numpy array; copy matrices with tessera.copy")
        arr = np.asarray(value)
        if arr.dtype == object or not np.can_cast(arr.dtype, self._dtype, "same_kind"):
            raise TypeError(f"a value of {arr.dtype} does not go into matrix {self.name!r} of "
                            f"{self._dtype} without losing its kind")
        return arr.astype(self._dtype, copy=False)

    def _check_symmetric(self, i0, i1, j0, j1, value):
        # Elements below the diagonal are not stored: each must have its
        # mirror in the region, whose value the matrix keeps.
        if i1 - 1 > j0 and (j0 < i0 or i1 > j1):
            raise ValueError(
                f"rows {i0}:{i1}, columns {j0}:{j1} reach below the diagonal of symmetric "
                f"matrix {self.name!r} without the mirror of every element there, so values "
                "would be lost: put the mirrored region (columns and rows swapped, the value "
                "transposed), or a region that holds both, such as M[k:l, k:]")
        if np.iscomplexobj(value):
            first, stop = max(i0, j0), min(i1, j1)
            if first < stop:
                diagonal = np.diagonal(value[first - i0:stop - i0, first - j0:stop - j0])
                if np.any(diagonal.imag != 0):
                    raise ValueError(f"the diagonal of Hermitian matrix {self.name!r} is real: "
                                     "the value's diagonal has imaginary parts")

    def _put_diagonal(self, i0, i1, j0, j1, value):
        first, stop = max(i0, j0), min(i1, j1)
        diagonal = (np.diagonal(value[first - i0:stop - i0, first - j0:stop - j0])
                    if first < stop else value[:0, 0])
        if np.count_nonzero(value) != np.count_nonzero(diagonal):
            raise ValueError(f"matrix {self.name!r} is diagonal: values off the diagonal must "
                             "be zero")
        if first < stop:
            self._core.put(first, 0, diagonal.reshape(-1, 1))

    def _get_diagonal(self, i0, nr, j0, nc):
        out = np.zeros((nr, nc), self._dtype, order="F")
        first, stop = max(i0, j0), min(i0 + nr, j0 + nc)
        if first < stop:
            diagonal = self._core.get(first, stop - first, 0, 1, self._dtype)[:, 0]
            k = np.arange(first, stop)
            out[k - i0, k - j0] = diagonal
        else:
            self._core.require_open()
        return out


def _core_of(m, what):
    if not isinstance(m, Matrix):
        raise TypeError(f"{what} must be a tessera.Matrix, not {type(m).__name__}")
    return m._core


def add(a, b, subtract=False):
    """A = A + B, or A - B with ``subtract=True``, block by block in place.

    Both matrices must have the same dtype, shape and form and be open in
    the session (A for writing). Only B's stored blocks cost anything.
    ``add(A, A, subtract=True)`` empties A (the library deletes and creates
    it again; a band width given at creation is not kept).
    """
    _core.add(_core_of(a, "a"), _core_of(b, "b"), bool(subtract))


_SYMMETRIC_SAFE_MODES = ("mirrored", "upper_blocks", "diagonal")
_DIAGONAL_MODES = ("copy", "negated", "conjugated", "negated_conjugated")


def copy(a, b, mode="copy"):
    """Copy matrix A into matrix B under a copy mode, block by block.

    Only A's stored blocks are copied; B's other blocks keep their values.

    Args:
        a: the source.
        b: the destination, open for writing, of A's dtype.
        mode: "copy"; "negated" (-A); "transposed" (A transposed, conjugated
            when complex: B has A's columns as rows); "negated_transposed";
            "conjugated" and "negated_conjugated" (complex); "upper_blocks"
            (only A's blocks on and above the block diagonal); "mirrored" (a
            symmetric A into a full B: each upper block also transposed into
            its mirror); "diagonal" (each block's diagonal into the first
            column of the same block of B).

    A symmetric A stores only its upper blocks: into a B that is not
    symmetric it is copied with "mirrored" (or, on purpose, "upper_blocks"
    or "diagonal"); the other modes would leave B's lower blocks as they were
    and are refused with ValueError. A diagonal matrix is copied only into
    another diagonal one, without transposing.
    """
    if mode not in _core.COPY_MODES:
        raise ValueError(f"mode must be one of {', '.join(_core.COPY_MODES)}, not {mode!r}")
    ca, cb = _core_of(a, "a"), _core_of(b, "b")
    if ca.is_open and cb.is_open:
        if (ca.form == _core.FORM_SYMMETRIC and cb.form != _core.FORM_SYMMETRIC
                and mode not in _SYMMETRIC_SAFE_MODES):
            raise ValueError(f"symmetric {a.name!r} into {b.form} {b.name!r} with mode "
                             f"{mode!r} would copy only its upper blocks: use mode='mirrored'")
        if (_core.FORM_DIAGONAL in (ca.form, cb.form)
                and (ca.form != cb.form or mode not in _DIAGONAL_MODES)):
            raise ValueError("a diagonal matrix is copied only into a diagonal one, with mode "
                             f"{', '.join(repr(m) for m in _DIAGONAL_MODES)}: its stored column "
                             "is its diagonal")
    _core.copy(ca, cb, _core.COPY_MODES[mode])


def multiply(a, b, y, transpose_a=False, transpose_b=False, upper=False, subtract=False):
    """Y = Y + op(A) op(B), or Y - op(A) op(B) with ``subtract=True``.

    op(X) is X, or X transposed (conjugate-transposed when complex) with
    ``transpose_a`` / ``transpose_b``. Y must exist (its stored blocks are
    the starting values; create it empty for a plain product), be open for
    writing, and be a matrix other than A and B. ``upper=True`` computes only
    Y's blocks on and above the block diagonal. The product goes hyperblock
    by hyperblock, so memory holds one hyperblock of each matrix at a time;
    all three must have the same blocking (matrices created in one session
    have). Diagonal matrices are refused: the library's product reads a
    diagonal matrix's stored column as its first column, not as a diagonal.
    """
    for m, what in ((a, "a"), (b, "b"), (y, "y")):
        if _core_of(m, what).is_open and m._core.form == _core.FORM_DIAGONAL:
            raise ValueError(f"{what} ({m.name!r}) is diagonal: the product reads a diagonal "
                             "matrix's stored column as its first column, not as its diagonal")
    _core.multiply(_core_of(a, "a"), _core_of(b, "b"), _core_of(y, "y"), bool(transpose_a),
                   bool(transpose_b), bool(upper), bool(subtract))
