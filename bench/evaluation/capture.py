"""What a page's mousemove listener records, applied the same way to every source.

A browser dispatches at most one mousemove per display frame, carrying the
pointer's position at that frame, and none when the pointer did not move. The
page (examples/web_page.html) stores clientX/clientY and the event's time stamp
for the first 300 of them. `capture` turns a source's own timed positions into
exactly that: frames at 60 Hz whose times jitter by up to 1 ms, whole-pixel
positions, whole-millisecond stamps counted from the source's first position,
and the page's limit. Bots and re-stamped humans go through this one function
with the same parameters, so that what separates them is the movement, not
the recorder.

The one choice left to the caller is what the pointer did between two of the
source's positions (`continuous`):
- False, for sources that set the cursor (every bot): it jumped and stayed,
  so a frame sees the latest position set at or before it;
- True, for recordings of a hand: it moved on, so a frame sees the straight
  line between the recorded positions around it. A recorder reports every
  movement it sees, so a gap longer than `rest_ms` (150 ms, above the ~110 ms
  batches of the coarsest recorder here) was a rest: the pointer stays until
  `rest_ms` before the next stamp. Positions that a recorder stamped with one
  shared time were taken at moments before it: they are spread evenly over
  the gap (at most `rest_ms`) since the previous stamp.
"""

from __future__ import annotations

import math
import random
from collections.abc import Iterable, Sequence

FRAME_MS = 1000.0 / 60.0
JITTER_MS = 1.0
PAGE_LIMIT = 300  # the example page keeps the first 300 moves
REST_MS = 150.0

Sample = tuple[float, float, float]  # (ms, x, y)


def _prepare(path: Iterable[Sequence[float]], continuous: bool, rest_ms: float) -> list[Sample]:
    samples = sorted(((float(t), float(x), float(y)) for t, x, y in path), key=lambda s: s[0])
    samples = [s for s in samples if all(map(math.isfinite, s))]
    out: list[Sample] = []
    start = 0
    while start < len(samples):
        end = start
        while end + 1 < len(samples) and samples[end + 1][0] == samples[start][0]:
            end += 1
        run = samples[start : end + 1]
        if continuous and out:
            stamp = run[0][0]
            begin = max(out[-1][0], stamp - rest_ms)
            if begin > out[-1][0]:
                out.append((begin, out[-1][1], out[-1][2]))
            step = (stamp - begin) / len(run)
            out.extend((begin + step * (j + 1), x, y) for j, (_, x, y) in enumerate(run))
        else:
            out.append(run[-1])  # one instant: only where the pointer ended counts
        start = end + 1
    return out


def capture(
    path: Iterable[Sequence[float]],
    *,
    seed: int,
    continuous: bool,
    frame_ms: float = FRAME_MS,
    jitter_ms: float = JITTER_MS,
    limit: int | None = PAGE_LIMIT,
    rest_ms: float = REST_MS,
) -> list[dict]:
    """The page's mouse_movements for a source's (ms, x, y) positions.

    `seed` fixes the frame phase and jitter, so a capture is reproducible."""
    samples = _prepare(path, continuous, rest_ms)
    if not samples:
        return []
    rng = random.Random(seed)
    t0, last_index = samples[0][0], len(samples) - 1
    base = t0 + rng.uniform(0.0, frame_ms)
    events: list[dict] = []
    shown: tuple[int, int] | None = None
    i = k = 0
    while limit is None or len(events) < limit:
        t = base + k * frame_ms + rng.uniform(-jitter_ms, jitter_ms)
        while i < last_index and samples[i + 1][0] <= t:
            i += 1
        if t < t0:  # the pointer has not moved yet
            k += 1
            continue
        _, x, y = samples[i]
        moving = i < last_index and (samples[i + 1][1], samples[i + 1][2]) != (x, y)
        if continuous and moving:
            t1, x1, y1 = samples[i + 1]
            share = (t - samples[i][0]) / (t1 - samples[i][0])
            x, y = x + (x1 - x) * share, y + (y1 - y) * share
        pixel = (math.floor(x + 0.5), math.floor(y + 0.5))
        if pixel != shown:
            events.append({"x": pixel[0], "y": pixel[1], "t": math.floor(t - t0 + 0.5)})
            shown = pixel
        if i == last_index:
            break  # the pointer rests where the source left it
        if continuous and moving:
            k += 1
        else:  # still until the next position: go to the first frame that can see it
            k = max(k + 1, math.ceil((samples[i + 1][0] - jitter_ms - base) / frame_ms))
    return events


def restamp(movements: Iterable[dict], *, seed: int, continuous: bool = True, **options) -> list[dict]:
    """A recording in the telemetry format ({"x", "y", "t"} items) through `capture`."""
    return capture(((p["t"], p["x"], p["y"]) for p in movements), seed=seed, continuous=continuous, **options)
