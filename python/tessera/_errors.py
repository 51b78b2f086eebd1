"""The package's exception."""


class Error(RuntimeError):
    """A refusal of the library, or of the package on its behalf.

    Attributes:
        status: the library's status number (the ``ierr`` of the routine),
            or None when the refusal is the package's own (a closed matrix,
            a second live session, a failed solve).
        routine: the library routine (``"hmputs"``, ``"hmnewf"``, ...) or
            the package operation that refused.
        trace: the library's trace codes of the failure path, innermost
            first (a tuple; empty when the package refused).
    """

    def __init__(self, message, status=None, routine="", trace=()):
        super().__init__(message)
        self.status = status
        self.routine = routine
        self.trace = tuple(trace)


class SolveError(Error):
    """A failed solve (:func:`tessera.solve`).

    ``status`` is the solver's: 1 the input cannot be used, 3 not positive
    definite (a pivot refused), 4 not enough disk, 5 a kept factor that
    cannot be used, 6 too little memory, 7 another refusal of the library,
    8 interrupted, 9 a bad argument. ``routine`` is "solve".
    """
