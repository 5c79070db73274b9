"""Paths that end the process are run in child interpreters."""

import signal

import pytest

FIND_PANIC_EXCEPTION = """
import quelvar_core_rs as core
from hooks import IndexAnswering

def panic_exception_class():
    # The class is created on the first fetch of a Python error and is not a
    # module attribute; any refused conversion fetches one.
    try:
        core.ban_ip_rs("x", -1)
    except OverflowError:
        pass
    found = [c for c in BaseException.__subclasses__() if c.__module__ == "quelvar_core_rs"]
    assert len(found) == 1, found
    return found[0]
"""


def test_panic_exception_class(child):
    result = child(
        FIND_PANIC_EXCEPTION
        + """
import quelvar_core_rs as core
cls = panic_exception_class()
print(cls.__name__, cls.__bases__ == (BaseException,), hasattr(core, "PanicException"))
print(not issubclass(cls, Exception), "BaseException" in cls.__doc__ and "quelvar_core_rs" in cls.__doc__)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["PanicException", "True", "False", "True", "True"]


def test_panic_exception_from_python_ends_the_process(child):
    result = child(
        FIND_PANIC_EXCEPTION
        + """
import atexit, sys
cls = panic_exception_class()
atexit.register(lambda: print("atexit ran"))

print("before", flush=True)
try:
    core.ban_ip_rs("x", IndexAnswering(cls("raised inside __index__")))
except BaseException:
    print("caught", flush=True)
print("after", flush=True)
"""
    )
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == "before\n"
    lines = result.stderr.splitlines()
    banner = lines.index(
        "--- quelvar_core_rs is resuming an internal fault after fetching a PanicException from Python ---"
    )
    assert lines[banner + 1] == "Python stack trace below:"
    trace = "\n".join(lines[banner + 2 :])
    assert trace.startswith("Traceback (most recent call last):")
    assert "in __index__" in trace
    assert trace.rstrip().endswith("quelvar_core_rs.PanicException: raised inside __index__")


@pytest.mark.parametrize("error_class", ["BaseException", "subclass"])
def test_other_base_exceptions_pass_through(child, error_class):
    result = child(
        FIND_PANIC_EXCEPTION
        + f"""
cls = panic_exception_class()
class Derived(cls):
    pass
error = BaseException("plain") if {error_class!r} == "BaseException" else Derived("derived")

try:
    core.ban_ip_rs("x", IndexAnswering(error))
except BaseException as caught:
    print(caught is error)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"
