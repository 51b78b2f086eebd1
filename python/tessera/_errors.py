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
