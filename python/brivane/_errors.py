"""The exception of a run that failed."""


class BrivaneError(RuntimeError):
    """A run of brivane failed, or the program could not be found.

    message: the program's ERROR line (or what is known of the failure);
    status: its exit status (negative: the signal that ended it; None when no
    program ran); stderr: everything it wrote to standard error."""

    def __init__(self, message, status=None, stderr=""):
        self.message = message
        self.status = status
        self.stderr = stderr
        text = message
        if status is not None:
            text += " (exit status %d)" % status
        super().__init__(text)


class BrivaneWarning(UserWarning):
    """A WARNING line of a brivane program, or something the package found in
    its results (merges at NaN height) that the caller should know of."""
