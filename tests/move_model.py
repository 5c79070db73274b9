"""A small pure-Python model of the moves, the reference for the differential
tests: the pointer path cut at its pauses and the figures of every move.

Written from the definitions, point by point: sums in index order with a
plain loop (the builtin sum() compensates rounding since Python 3.12),
population variances in two passes, the turning angles with math.atan2,
which the native code replaces by a polynomial within a few units in the
last place (so turn_sum is compared with a tolerance, everything else bit
for bit).
"""

import json
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
    "line_deviation",
    "line_extent",
    "step_spread",
)
TRIM_DIVISOR = 10
NAN = float("nan")


def lower_median(values):
    ordered = sorted(values)
    return ordered[(len(ordered) - 1) // 2]


def pseudo_angle(cross, dot):
    """Ordered as the angle of (dot, cross) in (-pi, pi]."""
    share = 0.0 if cross == 0.0 else abs(cross) / (abs(cross) + abs(dot))
    sign = -1.0 if cross < 0.0 else 1.0
    return sign * share if dot >= 0.0 else sign * (2.0 - share)


def robust_line(points):
    """(line_deviation, line_extent) of a move of at least two points: the
    line's direction is the vector between points half the move apart of the
    median angle from the median vector, its offset the median offset."""
    n = len(points)
    trim = n // TRIM_DIVISOR
    half = n // 2
    vectors = [(points[i + half][0] - points[i][0], points[i + half][1] - points[i][1]) for i in range(n - half)]
    if not all(math.isfinite(vx) and math.isfinite(vy) for vx, vy in vectors):
        return NAN, NAN
    rx, ry = lower_median([v[0] for v in vectors]), lower_median([v[1] for v in vectors])
    if rx == 0.0 and ry == 0.0:
        rx = 1.0
    keyed = []
    for vx, vy in vectors:
        if vx == 0.0 and vy == 0.0:
            continue
        key = pseudo_angle(rx * vy - ry * vx, rx * vx + ry * vy)
        if not math.isfinite(key):
            return NAN, NAN
        keyed.append((key, vx, vy))
    ux, uy = 1.0, 0.0
    if keyed:
        _, wx, wy = lower_median(keyed)
        length = math.sqrt(wx * wx + wy * wy)
        if not math.isfinite(length) or length == 0.0:
            return NAN, NAN
        ux, uy = wx / length, wy / length
    x0, y0 = points[0][0], points[0][1]
    offsets = [ux * (y - y0) - uy * (x - x0) for x, y, _ in points]
    along = [ux * (x - x0) + uy * (y - y0) for x, y, _ in points]
    if not all(math.isfinite(v) for v in offsets + along):
        return NAN, NAN
    middle = lower_median(offsets)
    distances = sorted(abs(o - middle) for o in offsets)
    along.sort()
    return distances[n - 1 - trim], along[n - 1 - trim] - along[trim]


def trimmed_variation(lengths, trim):
    """variation of the lengths in index order, less the first and the last
    `trim` of them in the order of (length, index)."""
    if not all(math.isfinite(v) for v in lengths):
        return NAN
    ranked = sorted(range(len(lengths)), key=lambda i: (lengths[i], i))
    dropped = set(ranked[:trim]) | set(ranked[len(ranked) - trim :])
    return variation([v for i, v in enumerate(lengths) if i not in dropped])


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
        step_spread=trimmed_variation(lengths, len(points) // TRIM_DIVISOR),
    )
    figures["line_deviation"], figures["line_extent"] = robust_line(points)
    return figures


def moves(telemetry):
    """The moves of decoded telemetry, as extract_evidence_json_rs returns them:
    one list per figure, one entry per move in time order, then "whole" (the
    path as one move, its turn_sum the moves' sum) and "webdriver"."""
    points = sorted(decode(telemetry)["points"], key=lambda p: p[2])[:MAX_TRAJECTORY_POINTS]
    cut = []
    for i, point in enumerate(points):
        if i == 0 or point[2] - points[i - 1][2] > MOVE_PAUSE:
            cut.append([])
        cut[-1].append(point)
    found = [move_figures(move) for move in cut]
    out = {name: [move[name] for move in found] for name in MOVE_FIGURES}
    whole = move_figures(points) if points else dict.fromkeys(MOVE_FIGURES, 0.0)
    whole["points"] = len(points)
    whole["turn_sum"] = ordered_sum(out["turn_sum"])
    out["whole"] = whole
    return out


class _Pairs(list):
    pass


def webdriver_flag(body):
    """The evidence's "webdriver" of a JSON body: True when the root's browser
    objects hold more than one webdriver key in all, or one whose value is
    anything but false (read from the text's pairs, duplicates kept)."""
    root = json.loads(body, object_pairs_hook=_Pairs)
    if not isinstance(root, _Pairs):
        return False
    values = [
        v
        for key, browser in root
        if key == "browser" and isinstance(browser, _Pairs)
        for k, v in browser
        if k == "webdriver"
    ]
    return len(values) > 1 or any(v is not False for v in values)
