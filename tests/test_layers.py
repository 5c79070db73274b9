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


NAMES = ("vocabulary", "parts", "stores", "the walk", "adapters and tools")
DIAGRAM = PACKAGE.parents[1] / "docs" / "layers.svg"


def drawing() -> str:
    """The layers as one SVG screen, lowest at the bottom, each with its
    modules; drawn from LAYERS and the package's files, so it cannot drift."""
    modules = sorted(_modules())
    rows = [[name for name in modules if name.split(".")[0] in layer] for layer in LAYERS]
    width, line, pad = 960, 18, 12
    lines_of = []
    for row in rows:
        text, lines = "", []
        for name in row:
            if len(text) + len(name) + 2 > 110:
                lines.append(text.rstrip(", "))
                text = ""
            text += name + ", "
        lines.append(text.rstrip(", "))
        lines_of.append(lines)
    heights = [pad * 2 + line * (1 + len(lines)) for lines in lines_of]
    total = sum(heights) + pad * (len(rows) + 1) + line  # a line on top for the caption
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{total}" font-family="sans-serif" font-size="13">',
        f'<rect width="{width}" height="{total}" fill="white"/>',
    ]
    y = total - pad
    for number, (lines, height) in enumerate(zip(lines_of, heights, strict=True)):
        y -= height
        out.append(
            f'<rect x="{pad}" y="{y}" width="{width - 2 * pad}" height="{height}" rx="6" fill="#eef3fb" stroke="#4a6fa5"/>'
        )
        out.append(
            f'<text x="{2 * pad}" y="{y + pad + line - 4}" font-weight="bold">{number + 1}. {NAMES[number]}</text>'
        )
        for index, text in enumerate(lines):
            out.append(f'<text x="{2 * pad}" y="{y + pad + line * (index + 2) - 4}">{text}</text>')
        y -= pad
    out.append(
        f'<text x="{width - 330}" y="{pad + 4}" fill="#555">each module imports only from its row or those below</text>'
    )
    out.append("</svg>")
    return "\n".join(out) + "\n"


def test_the_drawn_layers_match_the_code():
    # Redrawn with: python tests/test_layers.py
    assert DIAGRAM.read_text() == drawing()


if __name__ == "__main__":
    DIAGRAM.parent.mkdir(exist_ok=True)
    DIAGRAM.write_text(drawing())
