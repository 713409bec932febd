"""Assertions about the protocol's refusals."""
import pytest


def refused(call, message):
    """call() raises the protocol's plain Exception with exactly this message, cause cleared."""
    with pytest.raises(Exception) as info:
        call()
    exc = info.value
    assert type(exc) is Exception
    assert exc.args == (message,)
    assert exc.__cause__ is None and exc.__suppress_context__
    return exc
