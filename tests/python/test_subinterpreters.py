import sys

import pytest


def run_in_subinterpreter(code: str) -> str:
    """Runs `code` in a fresh subinterpreter and returns the text of what it raised."""
    if sys.version_info >= (3, 14):
        from concurrent import interpreters

        interp = interpreters.create()
        try:
            interp.exec(code)
        except interpreters.ExecutionFailed as failure:
            return str(failure)
        finally:
            interp.close()
        return ""
    import _xxsubinterpreters as interpreters

    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    except interpreters.RunFailedError as failure:
        return str(failure)
    finally:
        interpreters.destroy(interp)
    return ""


def test_second_interpreter_is_refused():
    import tarnwick.native  # noqa: F401  the main interpreter has it already

    failure = run_in_subinterpreter("import tarnwick.native")
    assert "ImportError" in failure
    assert "subinterpreters" in failure
