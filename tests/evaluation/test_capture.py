"""The browser-like capture that bots and re-stamped humans share (bench/evaluation/capture.py)."""

from __future__ import annotations

import math
import random
from itertools import pairwise

import pytest

from bench.evaluation.capture import FRAME_MS, JITTER_MS, capture


def source(seed: int, ties: bool) -> list[tuple[float, float, float]]:
    """Moves at varied pace with rests between them; `ties` stamps positions
    in batches, as a coarse recorder does."""
    rng = random.Random(seed)
    t, x, y = 0.0, rng.uniform(0, 1900), rng.uniform(0, 1000)
    path = [(t, x, y)]
    for _ in range(rng.randint(2, 4)):
        for step in range(rng.randint(5, 40)):
            t += rng.choice([0.0, 110.0]) if ties and step else 110.0 if ties else rng.uniform(1.0, 30.0)
            x, y = x + rng.uniform(-25, 25), y + rng.uniform(-25, 25)
            path.append((t, x, y))
        t += 600.0
        path.append((t, x, y))  # a rest: the pointer stays put
    return path


@pytest.mark.parametrize(
    "continuous, ties, limit",
    [(False, False, None), (True, False, None), (True, True, None), (False, False, 25), (True, True, 25)],
)
@pytest.mark.parametrize("seed", range(4))
def test_capture_records_what_a_mousemove_listener_would(continuous, ties, limit, seed):
    path = source(seed, ties)
    events = capture(path, seed=seed, continuous=continuous, limit=limit)
    assert events == capture(path, seed=seed, continuous=continuous, limit=limit)  # seeded
    assert events and (limit is None or len(events) <= limit)
    assert all(type(e["x"]) is int and type(e["y"]) is int and type(e["t"]) is int for e in events)
    # One event per frame at most, in order, on a 60 Hz clock that jitters by 1 ms.
    for a, b in pairwise(events):
        gap = b["t"] - a["t"]
        assert gap >= FRAME_MS - 2 * JITTER_MS - 1
        assert abs(gap - round(gap / FRAME_MS) * FRAME_MS) <= 2 * JITTER_MS + 1
        assert (a["x"], a["y"]) != (b["x"], b["y"])  # no event without movement
    # No event while the source rests, nor before it starts.
    rests = [(a[0], b[0]) for a, b in pairwise(path) if b[0] - a[0] >= 600 and a[1:] == b[1:]]
    assert events[0]["t"] >= 0
    assert not [e for e in events for start, end in rests if start + FRAME_MS + 2 < e["t"] < end - 1]
    if continuous:  # positions on the way between the source's
        xs, ys = [p[1] for p in path], [p[2] for p in path]
        assert all(min(xs) - 1 <= e["x"] <= max(xs) + 1 and min(ys) - 1 <= e["y"] <= max(ys) + 1 for e in events)
    else:  # a cursor that jumps is only ever seen where it was set
        assert {(e["x"], e["y"]) for e in events} <= {(math.floor(x + 0.5), math.floor(y + 0.5)) for _, x, y in path}
    if limit is None:  # the page sees where the pointer came to rest
        assert (events[-1]["x"], events[-1]["y"]) == (math.floor(path[-1][1] + 0.5), math.floor(path[-1][2] + 0.5))
