"""The package's imports run one way: each module imports only from its own
layer or the layers below it, and no import, at run time, under
TYPE_CHECKING or inside a function, closes a circle."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "quelvar_guard"

# Lowest first; a module's layer is that of its top-level name.
LAYERS = (
    {"vocabulary"},
    {
        "addresses",
        "allow",
        "attestation",
        "buckets",
        "limits",
        "metrics",
        "networks",
        "policies",
        "record",
        "scoring",
        "tokens",
        "work",
    },
    {"store", "redis_store", "redis_view", "_redis"},
    {"clearance", "decision", "drivers", "judging", "replies", "routing", "shadow", "unscreened"},
    {
        "__init__",
        "__main__",
        "asgi",
        "command_line",
        "config",
        "explain",
        "fastapi",
        "settings_checks",
        "settings_table",
        "wsgi",
    },
)


def _modules() -> dict[str, Path]:
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE).with_suffix("").parts
        if parts[-1] == "__init__" and len(parts) > 1:
            parts = parts[:-1]
        found[".".join(parts)] = path
    return found


def _imports(name: str, path: Path, modules: dict[str, Path]) -> set[str]:
    """The package's modules that `name` imports, wherever the import stands."""
    package = name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
    if name == "__init__":
        package = []
    targets = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                base = package[: len(package) - node.level + 1] if node.level > 1 else package
                module = ".".join([*base, *([node.module] if node.module else [])])
            elif node.module and node.module.startswith("quelvar_guard"):
                module = node.module.removeprefix("quelvar_guard").lstrip(".")
            else:
                continue
            for alias in node.names:
                child = f"{module}.{alias.name}" if module else alias.name
                targets.add(child if child in modules else module or "__init__")
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith("quelvar_guard."):
                    targets.add(alias.name.removeprefix("quelvar_guard."))
    targets.discard(name)
    return {target for target in targets if target in modules or target == "__init__"}


def _layer(name: str) -> int:
    top = name.split(".")[0]
    return next(number for number, layer in enumerate(LAYERS) if top in layer)


def _graph() -> dict[str, set[str]]:
    modules = _modules()
    return {name: _imports(name, path, modules) for name, path in modules.items()}


def test_every_module_has_a_layer_and_no_import_runs_upward():
    graph = _graph()
    unplaced = sorted(name for name in graph if not any(name.split(".")[0] in layer for layer in LAYERS))
    assert not unplaced, f"modules in no layer: {unplaced}"
    upward = sorted(
        f"{name} -> {target}" for name, targets in graph.items() for target in targets if _layer(target) > _layer(name)
    )
    assert not upward, f"imports that run upward: {upward}"


def test_no_circle():
    graph = _graph()
    # A package's __init__ importing its own modules is how a package is
    # assembled; a circle through it would still show through the others.
    edges = {
        name: {target for target in targets if not (target == name.rpartition(".")[0] and target in graph)}
        for name, targets in graph.items()
    }
    done: set[str] = set()
    circles = []

    def visit(name: str, trail: list[str]) -> None:
        if name in trail:
            circles.append(" -> ".join([*trail[trail.index(name) :], name]))
            return
        if name in done:
            return
        for target in sorted(edges.get(name, ())):
            visit(target, [*trail, name])
        done.add(name)

    for name in sorted(edges):
        visit(name, [])
    assert not circles, f"import circles: {circles}"


def test_no_room_is_too_big_to_read():
    """A module a newcomer can read in one sitting: at most 450 lines, no class over 300."""
    big = []
    for name, path in _modules().items():
        text = path.read_text()
        if text.count("\n") > 450:
            big.append(f"{name}: {text.count(chr(10))} lines")
        for node in ast.walk(ast.parse(text)):
            if isinstance(node, ast.ClassDef) and node.end_lineno - node.lineno + 1 > 300:
                big.append(f"{name}.{node.name}: {node.end_lineno - node.lineno + 1} lines")
    assert big == []
