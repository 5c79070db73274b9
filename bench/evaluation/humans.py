"""Human pointer movement, each population as its recorder stamped it.

- balabit: the shared segments of five users (read where they lie, see
  /work/shared/data/README.md; never copied), remote-desktop stamps.
- cursory-recordings: the recorded point-to-point moves that the cursory
  package ships and replays (no user ids).
- smart-mouse-recordings: the recorded moves that smart-mouse ships, as
  per-step offsets and intervals (no user ids).

Each yields (user, session, movements) with movements in the telemetry format
({"x", "y", "t"}, t in ms from the first position).
"""

from __future__ import annotations

import gzip
import importlib.metadata
import json
import os
from collections.abc import Iterator
from pathlib import Path

SHARED = Path(os.environ.get("QUELVAR_SHARED_DATA", "/work/shared/data"))
BALABIT = SHARED / "human_movement.jsonl.gz"

Recording = tuple[str | None, str, list[dict]]


def _package_file(distribution: str, name: str) -> Path:
    # Found without importing the package (smart-mouse imports pynput, which wants a display).
    try:
        path = Path(str(importlib.metadata.distribution(distribution).locate_file(name)))
    except importlib.metadata.PackageNotFoundError:
        path = None
    if path is None or not path.exists():
        raise RuntimeError(f"{distribution} is not installed: pip install -r requirements-evaluation.txt")
    return path


def balabit() -> Iterator[Recording]:
    if not BALABIT.exists():
        raise RuntimeError(f"{BALABIT} is missing (set QUELVAR_SHARED_DATA to the folder that holds it)")
    counts: dict[str, int] = {}
    with gzip.open(BALABIT, "rt", encoding="utf-8") as lines:
        for line in lines:
            row = json.loads(line)
            index = counts[row["session"]] = counts.get(row["session"], -1) + 1
            yield row["user"], f"{row['session']}/{index}", row["mouse_movements"]


def cursory_recordings() -> Iterator[Recording]:
    with gzip.open(_package_file("cursory", "cursory/trajectories.json.gz"), "rt", encoding="utf-8") as source:
        for index, move in enumerate(json.load(source)):
            t0 = move["timing"][0]
            yield (
                None,
                f"cursory-{index:04d}",
                [{"x": x, "y": y, "t": t - t0} for (x, y), t in zip(move["points"], move["timing"], strict=True)],
            )


def smart_mouse_recordings() -> Iterator[Recording]:
    # Each recording is [x steps, y steps, ms before each step]; the absolute
    # position is not kept, so the move is laid out centred on a 1920x1080
    # screen. The position before the first step is the first point.
    with open(_package_file("smart-mouse", "smart_mouse/mousedata.json"), encoding="utf-8") as source:
        data = json.load(source)
    for bucket, directions in data.items():
        for direction, moves in directions.items():
            for index, move in enumerate(moves):
                if len(move) != 3:
                    continue  # the old format had no times
                steps_x, steps_y, intervals = move
                x, y = 960 - sum(steps_x) // 2, 540 - sum(steps_y) // 2
                t = 0.0
                movements = [{"x": x, "y": y, "t": 0.0}]
                for dx, dy, interval in zip(steps_x, steps_y, intervals, strict=True):
                    x, y, t = x + dx, y + dy, t + interval
                    movements.append({"x": x, "y": y, "t": round(t, 3)})
                yield None, f"smart-mouse-{bucket}-{direction}-{index}", movements


POPULATIONS = {
    "balabit": balabit,
    "cursory-recordings": cursory_recordings,
    "smart-mouse-recordings": smart_mouse_recordings,
}
