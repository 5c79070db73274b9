"""A small pure-Python model of the moves, the reference for the differential
tests: the pointer path cut at its pauses and the figures of every move.

Written from the definitions, point by point: sums in index order with a
plain loop (the builtin sum() compensates rounding since Python 3.12),
population variances in two passes, the turning angles with math.atan2,
which the native code replaces by a polynomial within a few units in the
last place (so turn_sum is compared with a tolerance, everything else bit
for bit).
"""

import math
from itertools import pairwise

from feature_model import MAX_TRAJECTORY_POINTS, MIN_TIME_STEP, decode, ordered_sum

MOVE_PAUSE = 150.0
MOVE_FIGURES = (
    "points",
    "duration",
    "path_length",
    "chord",
    "max_deviation",
    "step_cv",
    "speed_cv",
    "dt_cv",
    "peak_speed_at",
    "turn_sum",
)


def variation(values):
    """Population standard deviation over mean, two passes; 0.0 for no values or a zero mean."""
    if not values:
        return 0.0
    mean = ordered_sum(values) / len(values)
    if mean == 0.0:
        return 0.0
    squares = 0.0
    for value in values:
        squares += (value - mean) * (value - mean)
    return math.sqrt(squares / len(values)) / mean


def move_figures(points):
    figures = dict.fromkeys(MOVE_FIGURES, 0.0)
    figures["points"] = len(points)
    if len(points) == 1:
        return figures
    (x0, y0, t0), (x1, y1, t1) = points[0], points[-1]
    vectors = [(b[0] - a[0], b[1] - a[1]) for a, b in pairwise(points)]
    lengths = [math.sqrt(dx * dx + dy * dy) for dx, dy in vectors]
    steps = [max(b[2] - a[2], MIN_TIME_STEP) for a, b in pairwise(points)]
    speeds = [length / step for length, step in zip(lengths, steps, strict=True)]
    duration = t1 - t0
    chord = math.sqrt((x1 - x0) * (x1 - x0) + (y1 - y0) * (y1 - y0))

    deviation = 0.0
    for x, y, _ in points:
        if chord != 0.0:
            d = abs((x1 - x0) * (y - y0) - (y1 - y0) * (x - x0)) / chord
        else:
            d = math.sqrt((x - x0) * (x - x0) + (y - y0) * (y - y0))
        if d > deviation:  # a NaN never counts
            deviation = d

    fastest = 0
    for i, speed in enumerate(speeds):
        if speed > speeds[fastest]:
            fastest = i

    turns, previous = 0.0, None
    for dx, dy in vectors:
        if dx == 0.0 and dy == 0.0:
            continue
        if previous is not None:
            px, py = previous
            turns += abs(math.atan2(px * dy - py * dx, px * dx + py * dy))
        previous = (dx, dy)

    figures.update(
        duration=duration,
        path_length=ordered_sum(lengths),
        chord=chord,
        max_deviation=deviation,
        step_cv=variation(lengths),
        speed_cv=variation(speeds),
        dt_cv=variation(steps),
        peak_speed_at=(points[fastest][2] - t0) / duration if duration != 0.0 else 0.0,
        turn_sum=turns,
    )
    return figures


def moves(telemetry):
    """The moves of decoded telemetry, as extract_evidence_json_rs returns them:
    one list per figure, one entry per move in time order."""
    points = sorted(decode(telemetry)["points"], key=lambda p: p[2])[:MAX_TRAJECTORY_POINTS]
    cut = []
    for i, point in enumerate(points):
        if i == 0 or point[2] - points[i - 1][2] > MOVE_PAUSE:
            cut.append([])
        cut[-1].append(point)
    found = [move_figures(move) for move in cut]
    return {name: [move[name] for move in found] for name in MOVE_FIGURES}
