import importlib
import inspect
import sys

import pytest

import quelvar_core_rs as core

# The names, their order and the parameters are the stub's (test_stubs.py
# holds the module to them); here, what every function object is like.


def test_module_identity_and_all():
    assert core.__name__ == "quelvar_core_rs"
    assert core.__doc__ == ""
    assert type(core.__all__) is list and core.__all__


@pytest.mark.parametrize("name", core.__all__)
def test_function_objects(name):
    function = getattr(core, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__doc__ is None
    assert function.__module__ == "quelvar_core_rs"
    assert function.__self__ is core
    signature = inspect.signature(function)
    assert function.__text_signature__ == str(signature)
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in signature.parameters.values()
    )


def test_probes():
    assert core.is_rust_core_active() is True
    version = core.get_core_version()
    assert version == "0.8.0-native-rust" and len(version) == 17 and type(version) is str


@pytest.mark.parametrize(
    "call",
    [
        lambda: core.is_rust_core_active(1),
        lambda: core.get_core_version(x=1),
        lambda: core.clear_state_engine_rs(None),
        lambda: core.get_state_engine_stats_rs(a=2),
    ],
)
def test_no_argument_functions_refuse_arguments(call):
    with pytest.raises(TypeError, match="takes no (keyword )?arguments"):
        call()


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("quelvar_core_rs")
    names = list(first.__all__)
    try:
        again = importlib.import_module("quelvar_core_rs")
        assert again is first
        assert again.__all__ == names
    finally:
        sys.modules["quelvar_core_rs"] = first


def test_only_the_entry_point_is_exported():
    import subprocess

    result = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("nm is not available")
    exported = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert exported == ["PyInit_quelvar_core_rs"]


SUBINTERPRETER_IMPORT = """
import _testcapi
code = '''
try:
    import quelvar_core_rs
    outcome = "imported"
except ImportError as refused:
    outcome = "ImportError: " + str(refused)
open({path!r}, "w").write(outcome)
'''
{before}
_testcapi.run_in_subinterp(code)
print(open({path!r}).read())
{after}
"""


@pytest.mark.parametrize("main_imports_first", [True, False])
def test_subinterpreter_is_refused(child, tmp_path, main_imports_first):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter's _testcapi has no run_in_subinterp")
    path = str(tmp_path / "outcome.txt")
    before = "import quelvar_core_rs" if main_imports_first else ""
    after = "import quelvar_core_rs\nprint('main', quelvar_core_rs.is_rust_core_active())"
    result = child(SUBINTERPRETER_IMPORT.format(path=path, before=before, after=after))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError: ")
    assert "quelvar_core_rs" in lines[0] and "subinterpreters" in lines[0]
    # The main interpreter keeps working either way.
    assert lines[1] == "main True"
