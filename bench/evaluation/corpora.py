"""Movement corpora for the detection evaluation: one interface over bots and humans.

    load(name) -> list[Session]     names() -> {"bots": [...], "humans": [...]}

A corpus name is "<population>/<capture>":
- bots, "<generator>/captured": a package's movement loop (generators.py)
  through the browser-like capture (capture.py); "<generator>/chromium": the
  same loop replayed into real headless Chromium and read back from the
  page's own collector (chromium.py);
- humans, "<population>/raw" as recorded and "<population>/captured" through
  the same capture as the bots (humans.py).

Every session's telemetry is the body the example page posts. Only pointer
movement differs between populations: clicks, keystrokes and scrolls are empty
and the browser block is one desktop Chrome's (webdriver False), except in the
Chromium corpora, which carry what the browser reported.

Corpora are written to build/evaluation/corpora/*.jsonl and built on first
load. `python -m bench.evaluation.corpora --build` rebuilds them all and
prints a table.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import statistics
import sys
import time
import zlib
from collections.abc import Iterable
from dataclasses import asdict, dataclass, replace
from itertools import pairwise
from pathlib import Path

from . import capture as browser_capture

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "build" / "evaluation" / "corpora"
BROWSER = {
    "webdriver": False,
    "screen_width": 1920,
    "screen_height": 1080,
    "touch_supported": False,
    "plugins_length": 5,
}
SEED = 20240607
BOT_SESSIONS = 400  # per generator: half single moves, half 2-5 moves
CHROMIUM_BOTS = ("straight", "pyclick", "humancursor", "cursory")
CHROMIUM_SESSIONS = 10  # per generator
HUMANS = ("balabit", "cursory-recordings", "smart-mouse-recordings")


@dataclass(frozen=True)
class Session:
    population: str
    user: str | None
    session: str
    capture: str  # "raw", "captured" or "chromium"
    telemetry: dict
    moves: int = 1  # moves towards a target (a human recording is one)


def _bots() -> list[str]:
    from .generators import GENERATORS

    return list(GENERATORS)


def names() -> dict[str, list[str]]:
    return {
        "bots": [f"{g}/captured" for g in _bots()] + [f"{g}/chromium" for g in CHROMIUM_BOTS],
        "humans": [f"{h}/{c}" for h in HUMANS for c in ("raw", "captured")],
    }


def _seed(*parts: object) -> int:
    # Stable across runs and interpreters (hash() of a str is not).
    return zlib.crc32("/".join(map(str, (SEED, *parts))).encode())


def telemetry(movements: list, browser: dict | None = None) -> dict:
    return {
        "mouse_movements": movements,
        "clicks": [],
        "keystrokes": [],
        "scrolls": [],
        "browser": dict(browser or BROWSER),
    }


def restamp(sessions: Iterable[Session], *, continuous: bool = True) -> list[Session]:
    """Sessions re-stamped through the bots' capture: the recorder control.

    A model that tells `control(p)[0]` from `control(p)[1]` (the same people,
    only the stamps differ) is measuring the recorder, and a raw-human versus
    captured-bot comparison with it measures the recorder too. `continuous`
    False re-stamps as if the recorded positions were cursor jumps, as the
    bots' are."""
    out = []
    for s in sessions:
        events = browser_capture.restamp(
            s.telemetry["mouse_movements"], seed=_seed(s.population, s.session), continuous=continuous
        )
        out.append(replace(s, capture="captured", telemetry={**s.telemetry, "mouse_movements": events}))
    return out


def control(population: str) -> tuple[list[Session], list[Session]]:
    """(as recorded, re-stamped) for one human population, in the same order."""
    raw = load(f"{population}/raw")
    return raw, restamp(raw)


class Progress:
    """One line per corpus, rewritten in place on a terminal."""

    def __init__(self, name: str, total: int):
        self.name, self.total = name, total
        self.shown = self.started = time.monotonic()
        self.tty = sys.stderr.isatty()

    def __call__(self, done: int) -> None:
        now = time.monotonic()
        if done < self.total and not self.tty and now - self.shown < 5:
            return
        self.shown = now
        print(
            f"  {self.name:34s} {done:5d}/{self.total} sessions  {time.monotonic() - self.started:6.1f} s",
            end="\r" if self.tty and done < self.total else "\n",
            file=sys.stderr,
            flush=True,
        )


def _bot_sessions(generator: str, count: int) -> Iterable[Session]:
    from . import generators

    progress = Progress(f"{generator}/captured", count)
    for index in range(count):
        seed = _seed(generator, index)
        moves = 1 if index % 2 == 0 else random.Random(seed).randint(2, 5)
        trace = generators.session_trace(generator, seed, moves)
        events = browser_capture.capture(trace, seed=seed, continuous=False)
        yield Session(generator, None, f"{generator}-{index:04d}", "captured", telemetry(events), moves)
        progress(index + 1)


def _human_sessions(population: str) -> list[Session]:
    from .humans import POPULATIONS

    return [
        Session(population, user, session, "raw", telemetry(movements))
        for user, session, movements in POPULATIONS[population]()
    ]


def _path(name: str) -> Path:
    return OUT / (name.replace("/", ".") + ".jsonl")


def _code() -> int:
    """What a corpus is built from: this folder's code and the pinned packages.
    A corpus built by other code is rebuilt when loaded."""
    # The evaluation reads corpora, it does not make them: its edits rebuild nothing.
    sources = sorted(path for path in Path(__file__).parent.glob("*.py") if path.name != "evaluate.py")
    sources.append(ROOT / "requirements-evaluation.txt")
    return zlib.crc32(b"".join(path.read_bytes() for path in sources if path.exists()))


def _meta(name: str) -> dict:
    try:
        return json.loads(_path(name).with_suffix(".meta.json").read_text())
    except (OSError, ValueError):
        return {}


def _current(name: str) -> bool:
    return _path(name).exists() and _meta(name).get("code") == _code()


def _write(name: str, sessions: Iterable[Session]) -> int:
    OUT.mkdir(parents=True, exist_ok=True)
    path = _path(name)
    partial = path.with_suffix(".partial")
    count = 0
    with open(partial, "w", encoding="utf-8") as out:
        for session in sessions:
            out.write(json.dumps(asdict(session), separators=(",", ":")) + "\n")
            count += 1
    partial.replace(path)
    return count


def build(name: str, *, bot_sessions: int = BOT_SESSIONS, chromium_sessions: int = CHROMIUM_SESSIONS) -> float:
    """Writes one corpus; returns the seconds it took."""
    population, _, kind = name.partition("/")
    started = time.monotonic()
    if kind == "captured" and population in HUMANS:
        raw = load(f"{population}/raw")
        progress = Progress(name, len(raw))
        _write(name, restamp(raw))
        progress(len(raw))
    elif kind == "raw" and population in HUMANS:
        sessions = _human_sessions(population)
        progress = Progress(name, len(sessions))
        _write(name, sessions)
        progress(len(sessions))
    elif kind == "captured" and population in _bots():
        _write(name, _bot_sessions(population, bot_sessions))
    elif kind == "chromium" and population in CHROMIUM_BOTS:
        from . import chromium

        _write(name, chromium.sessions(population, chromium_sessions, Progress(name, chromium_sessions)))
    else:
        raise KeyError(f"no corpus {name!r}: see names()")
    seconds = time.monotonic() - started
    _path(name).with_suffix(".meta.json").write_text(json.dumps({"code": _code(), "seconds": round(seconds, 1)}))
    return seconds


def load(name: str) -> list[Session]:
    """The sessions of one corpus, built first if it is not on disk or was
    built by other code (the sizes it was built with are kept)."""
    if not _current(name):
        build(name)
    with open(_path(name), encoding="utf-8") as source:
        return [Session(**json.loads(line)) for line in source]


def summary(name: str, sessions: list[Session], seconds: float | None) -> dict:
    population, _, kind = name.partition("/")
    users = {s.user for s in sessions if s.user is not None}
    per_move = [len(s.telemetry["mouse_movements"]) / s.moves for s in sessions]
    return {
        "population": population,
        "capture": kind,
        "sessions": len(sessions),
        "users": len(users) or "-",
        "moves/session": round(statistics.fmean(s.moves for s in sessions), 2) if sessions else 0,
        "points/move": round(statistics.median(per_move), 1) if per_move else 0,
        "seconds": "-" if seconds is None else round(seconds, 1),
    }


def table(rows: list[dict]) -> str:
    if not rows:
        return ""
    columns = list(rows[0])
    widths = {c: max(len(c), *(len(str(r[c])) for r in rows)) for c in columns}
    line = lambda values: "  ".join(
        str(v).ljust(widths[c]) if i < 2 else str(v).rjust(widths[c])  # noqa: E731
        for i, (c, v) in enumerate(zip(columns, values, strict=True))
    )
    return "\n".join([line(columns), line("-" * widths[c] for c in columns), *(line(r.values()) for r in rows)])


def plot(corpora: dict[str, list[Session]], folder: Path = OUT) -> list[Path]:
    """Two pictures to compare by eye: a few sessions' paths per corpus (a dot
    per event) and the spread of the gaps between events (the recorder shows
    there first)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = 4
    rows = math.ceil(len(corpora) / columns)
    written = []
    for kind in ("paths", "intervals"):
        figure, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.0 * rows), squeeze=False)
        for axis, (name, sessions) in zip(axes.flat, corpora.items(), strict=True):
            axis.set_title(name, fontsize=9)
            axis.tick_params(labelsize=7)
            if kind == "paths":
                for session in sessions[:: max(1, len(sessions) // 4)][:4]:
                    points = session.telemetry["mouse_movements"]
                    axis.plot([p["x"] for p in points], [p["y"] for p in points], "-o", markersize=1.5, linewidth=0.6)
                axis.set_xlim(0, 1920)
                axis.set_ylim(1080, 0)
            else:
                gaps = [b["t"] - a["t"] for s in sessions for a, b in pairwise(s.telemetry["mouse_movements"])]
                axis.hist([min(g, 150) for g in gaps], bins=75, range=(0, 150))
                axis.set_xlabel("ms between events (150 = 150 or more)", fontsize=7)
        for axis in list(axes.flat)[len(corpora) :]:
            axis.set_visible(False)
        figure.tight_layout()
        path = folder / f"{kind}.png"
        figure.savefig(path, dpi=80)
        plt.close(figure)
        written.append(path)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m bench.evaluation.corpora",
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--build", action="store_true", help="rebuild the corpora (all, or those named)")
    parser.add_argument("names", nargs="*", help="corpus names (default: all)")
    parser.add_argument("--bot-sessions", type=int, default=BOT_SESSIONS)
    parser.add_argument("--chromium-sessions", type=int, default=CHROMIUM_SESSIONS)
    parser.add_argument("--no-chromium", action="store_true", help="skip the real-browser corpora")
    parser.add_argument("--plot", action="store_true", help="also draw paths.png and intervals.png (matplotlib)")
    args = parser.parse_args(argv)

    every = names()
    wanted = args.names or [n for group in every.values() for n in group]
    unknown = [n for n in wanted if n not in every["bots"] + every["humans"]]
    if unknown:
        parser.error(f"unknown corpora {unknown}; known: {every}")
    if args.no_chromium:
        wanted = [n for n in wanted if not n.endswith("/chromium")]
    rows, missing, built = [], [], {}
    for name in wanted:
        if args.build or not _current(name):
            try:
                build(name, bot_sessions=args.bot_sessions, chromium_sessions=args.chromium_sessions)
            except RuntimeError as error:  # a missing browser or package: say so, build the rest
                missing.append(f"{name}: {error}")
                continue
        built[name] = load(name)
        rows.append(summary(name, built[name], _meta(name).get("seconds")))
    print(table(rows))
    if args.plot:
        for path in plot(built):
            print(f"drawn: {path.relative_to(ROOT)}")
    for line in missing:
        print(f"not built: {line}")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
