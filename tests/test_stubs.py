"""The type stubs describe the module as it is, and type checkers find them once installed."""

import ast
import inspect
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import quelvar_core_rs as core

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "quelvar_core_rs-stubs" / "__init__.pyi"
README = ROOT / "README.md"
TYPECHECK = ROOT / "tests" / "typecheck"


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_functions() -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def stub_typeddict(name: str) -> list[tuple[str, str]]:
    """The (key, annotation) pairs of a TypedDict class of the stub, in order."""
    [cls] = [node for node in stub_tree().body if isinstance(node, ast.ClassDef) and node.name == name]
    return [
        (item.target.id, ast.unparse(item.annotation))
        for item in cls.body
        if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
    ]


def test_stub_names_match_the_module():
    assigned = [
        node
        for node in stub_tree().body
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]
    ]
    assert len(assigned) == 1
    assert ast.literal_eval(assigned[0].value) == core.__all__
    assert sorted(stub_functions()) == sorted(core.__all__)


def test_readme_documents_every_function():
    """Each function has its heading, name and parameters as the module has them, in "The functions"."""
    text = README.read_text(encoding="utf-8")
    section = text[text.index("\n## The functions\n") :]
    section = section[: section.index("\n## ", 1)]
    documented = re.findall(r"^### `(\w+)(\([^)]*\))", section, flags=re.MULTILINE)
    assert sorted(documented) == sorted((name, str(inspect.signature(getattr(core, name)))) for name in core.__all__)


@pytest.mark.parametrize("name", core.__all__)
def test_stub_parameters_match_the_signature(name):
    function = stub_functions()[name]
    arguments = function.args
    # The module has only required positional-or-keyword parameters.
    assert not (
        arguments.posonlyargs or arguments.kwonlyargs or arguments.vararg or arguments.kwarg or arguments.defaults
    ), ast.unparse(function)
    assert all(arg.annotation is not None for arg in arguments.args) and function.returns is not None
    parameters = inspect.signature(getattr(core, name)).parameters.values()
    assert [arg.arg for arg in arguments.args] == [p.name for p in parameters]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)


def call_or_skip(function, *args):
    try:
        return function(*args)
    except NotImplementedError as missing:
        pytest.skip(f"body not built yet: {missing}")


@pytest.mark.parametrize(
    "typeddict, produce",
    [
        (
            "FeatureDict",
            lambda: call_or_skip(
                core.extract_features_rs,
                {
                    "browser": {"webdriver": True, "screen_width": 800, "screen_height": 600},
                    "mouse_movements": [{"x": i, "y": i * i, "t": 10 * i} for i in range(5)],
                    "keystrokes": [{"t": 0}, {"t": 90}],
                    "clicks": [1],
                    "scrolls": [],
                },
            ),
        ),
        ("EngineStats", lambda: call_or_skip(core.get_state_engine_stats_rs)),
        (
            "MoveDict",
            lambda: call_or_skip(
                core.extract_evidence_json_rs,
                b'{"mouse_movements": ['
                b'{"x": 0, "y": 0, "t": 0}, {"x": 3, "y": 4, "t": 16}, {"x": 9, "y": 4, "t": 400}]}',
            )[1],
        ),
    ],
)
def test_typeddicts_match_real_results(typeddict, produce):
    result = produce()
    fields = stub_typeddict(typeddict)
    assert [key for key, _ in fields] == list(result), "keys or their order differ"

    def kind(key, value):  # "list[float]" for a list of floats; a nested TypedDict by its own name
        if type(value) is dict:
            nested = dict(fields)[key]
            assert dict(stub_typeddict(nested)) == {k: kind(k, v) for k, v in value.items()}, nested
            return nested
        return f"list[{type(value[0]).__name__}]" if type(value) is list and value else type(value).__name__

    assert dict(fields) == {key: kind(key, value) for key, value in result.items()}


def installed_stub() -> Path:
    """The stub file installed beside the module; skips when the module was not installed."""
    module_dir = Path(core.__file__).resolve().parent
    site_dirs = {Path(sysconfig.get_paths()[key]).resolve() for key in ("purelib", "platlib")}
    if module_dir not in site_dirs:
        pytest.skip(f"module loaded from {module_dir}, not installed; `make test` installs it")
    return module_dir / "quelvar_core_rs-stubs" / "__init__.pyi"


def test_installed_stub_is_current():
    installed = installed_stub()
    assert installed.is_file(), "pip install . did not install quelvar_core_rs-stubs"
    assert installed.read_bytes() == STUB.read_bytes(), "installed stubs are stale: reinstall"


def run_mypy(*paths: Path) -> tuple[list[tuple[str, int, str]], str]:
    """Runs mypy --strict as a user would; gives (file, line, error code) per error, and its report."""
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-color-output",
            "--show-error-codes",
            "--no-pretty",
            *map(str, paths),
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = []
    for line in result.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: .*\[([a-z-]+)\]$", line)
        if found:
            errors.append((Path(found[1]).name, int(found[2]), found[3]))
    assert bool(errors) == (result.returncode == 1), result.stdout
    return errors, result.stdout


def test_mypy_accepts_examples_and_correct_use():
    installed_stub()
    errors, report = run_mypy(ROOT / "examples", TYPECHECK / "usage.py")
    assert errors == [], report


def test_mypy_rejects_misuse_exactly_where_expected():
    installed_stub()
    misuse = TYPECHECK / "misuse.py"
    expected = sorted(
        (misuse.name, number, found[1])
        for number, line in enumerate(misuse.read_text().splitlines(), start=1)
        if (found := re.search(r"# expect: ([a-z-]+)$", line))
    )
    assert len(expected) > 20
    errors, report = run_mypy(misuse)
    assert sorted(errors) == expected, report
