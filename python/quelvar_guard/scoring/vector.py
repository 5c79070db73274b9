"""A session as one row of numbers for the model: aggregates of the per-move
figures and the 24 features.

Plain Python over the lists the native extractor returns; the names are the
model file's feature list, so a model trained on one version of this list is
refused by another (see model.Model).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

__all__ = ["FEATURES", "MOVE_FIGURES", "FEATURE_NAMES", "MIN_MOVE_POINTS", "session_vector"]

# The 24 features, in the extension's order.
FEATURES = (
    "mouse_points", "total_distance", "straightness", "avg_velocity", "max_velocity", "velocity_var",
    "avg_acceleration", "acceleration_var", "avg_jerk", "dt_var", "click_count", "key_count",
    "key_interval_avg", "key_interval_var", "webdriver", "screen_valid", "scroll_count",
    "terminal_decel_ratio", "plugins_length", "touch_supported", "screen_width", "spectral_purity",
    "spectral_entropy", "submovement_count",
)

# Per-move figures aggregated over a session: the extractor's own, and three
# ratios that do not grow with the size of the move.
MOVE_FIGURES = (
    "duration", "path_length", "chord", "max_deviation", "step_cv", "speed_cv", "dt_cv",
    "peak_speed_at", "turn_sum", "bend", "efficiency", "turn_per_point",
)
AGGREGATES = ("min", "mean", "max")

# Moves of fewer points are too short for their coefficients and turns to mean
# anything; they are counted, not aggregated.
MIN_MOVE_POINTS = 5

FEATURE_NAMES: tuple[str, ...] = (
    "moves", "shaped_moves",
    *(f"move.{figure}.{how}" for figure in MOVE_FIGURES for how in AGGREGATES),
    *(f"f.{name}" for name in FEATURES),
)


def _number(value: Any) -> float:
    number = float(value)
    # Trees compare, weights multiply: a NaN or an infinity sent by a client
    # must not make either undefined.
    if number != number:
        return 0.0
    return max(-1e300, min(1e300, number))


def session_vector(features: Mapping[str, Any], moves: Mapping[str, Sequence[float]]) -> list[float]:
    """The row of FEATURE_NAMES for one session."""
    points = moves.get("points", ())
    keep = [i for i, count in enumerate(points) if count >= MIN_MOVE_POINTS]
    row = [float(len(points)), float(len(keep))]
    if keep:
        columns = {name: [moves[name][i] for i in keep] for name in MOVE_FIGURES[:9]}
        chord, deviation, length = columns["chord"], columns["max_deviation"], columns["path_length"]
        columns["bend"] = [d / c if c > 1.0 else 0.0 for d, c in zip(deviation, chord)]
        columns["efficiency"] = [c / p if p > 0.0 else 1.0 for c, p in zip(chord, length)]
        columns["turn_per_point"] = [s / points[i] for s, i in zip(columns["turn_sum"], keep)]
        count = len(keep)
        for figure in MOVE_FIGURES:
            values = columns[figure]
            row += (_number(min(values)), _number(sum(values) / count), _number(max(values)))
    else:
        row += [0.0] * (len(MOVE_FIGURES) * len(AGGREGATES))
    row += [_number(features[name]) for name in FEATURES]
    return row
