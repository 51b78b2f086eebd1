"""tessera: numpy arrays in and out of out-of-core hypermatrices.

A matrix lives as blocks in a file set (one or more files) and can be far
larger than memory; only the blocks being worked on are held, in the
session's buffers. Regions move in and out as numpy arrays::

    import numpy, tessera

    with tessera.Session(memory="256M") as session:
        with session.create("work.tsf") as fs:
            A = fs.create_matrix("A", (2000, 2000))
            A[:, :] = numpy.random.default_rng(1).random((2000, 2000))
            Y = fs.create_matrix("Y", (2000, 2000))
            tessera.multiply(A, A, Y)          # Y += A A
            print(Y[:3, :3])

    with tessera.Session() as session, session.open("work.tsf") as fs:
        print(fs.open_matrix("Y", readonly=True)[0, 0])

Objects:
    Session   the control area; one live at a time (context manager)
    FileSet   an open file set (Session.create, Session.open)
    Matrix    an open matrix (FileSet.create_matrix, FileSet.open_matrix)
    Error     a refusal of the library: .status, .routine, .trace
    SolveError  a failed solve (an Error with the solver's status)

Functions:
    add, copy, multiply   hypermatrix algebra on open matrices
    solve                 a sparse or dense symmetric system, out of core
"""

from ._errors import Error, SolveError
from ._session import FileSet, Matrix, MatrixEntry, Session, add, copy, multiply, parse_size
from ._solve import solve

__all__ = ["Error", "FileSet", "Matrix", "MatrixEntry", "Session", "SolveError", "add", "copy",
           "multiply", "parse_size", "solve"]
