"""The kit's one error type: what the command line reports as one line, with its exit status."""


class KitError(Exception):
    """An error the command line reports as one line (exit status 1 unless it says otherwise)."""


class Stopped(KitError):
    """The run was stopped from outside: status 124 for the time limit, 128 + N for signal N."""

    def __init__(self, message, status):
        KitError.__init__(self, message)
        self.status = status
