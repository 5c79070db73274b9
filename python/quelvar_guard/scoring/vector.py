"""A session as one row of numbers for the model: aggregates of the per-move
figures and the 24 features.

Plain Python over the lists the native extractor returns; the names are the
model file's feature list, so a model trained on one version of this list is
refused by another (see model.Model).
"""

from __future__ import annotations

from collections.abc import Mapping
from operator import itemgetter
from typing import Any

import quelvar_core_rs as core

__all__ = ["FEATURES", "MOVE_FIGURES", "FEATURE_NAMES", "MIN_MOVE_POINTS", "session_vector"]

# The extension's own lists, in its order: the 24 features, and the figures
# of each move (but its point count, a size) that the model's row was made
# of; the robust figures added later (line_deviation, line_extent,
# step_spread), the whole path and the webdriver flag are the rules' alone,
# so that model files keep their feature list.
_SAMPLE_FEATURES, _SAMPLE_MOVES = core.extract_evidence_json_rs(b"{}")
FEATURES = tuple(_SAMPLE_FEATURES)
_RULES_ONLY = frozenset(("points", "line_deviation", "line_extent", "step_spread"))
_NATIVE_FIGURES = tuple(
    name for name, value in _SAMPLE_MOVES.items() if isinstance(value, list) and name not in _RULES_ONLY
)
# Per-move figures aggregated over a session: the extension's own, and three
# ratios that do not grow with the size of the move.
MOVE_FIGURES = (*_NATIVE_FIGURES, "bend", "efficiency", "turn_per_point")
AGGREGATES = ("min", "mean", "max")

# Moves of fewer points are too short for their coefficients and turns to mean
# anything; they are counted, not aggregated.
MIN_MOVE_POINTS = 5

_EMPTY = [0.0] * (len(MOVE_FIGURES) * len(AGGREGATES))

FEATURE_NAMES: tuple[str, ...] = (
    "moves",
    "shaped_moves",
    *(f"move.{figure}.{how}" for figure in MOVE_FIGURES for how in AGGREGATES),
    *(f"f.{name}" for name in FEATURES),
)


_features_of = itemgetter(*FEATURES)
_INF = float("inf")


def _finite(value: float) -> float:
    # Trees compare, weights multiply: a NaN or an infinity sent by a client
    # must not make either undefined.
    if value != value:
        return 0.0
    return max(-1e300, min(1e300, value))


def session_vector(features: Mapping[str, Any], moves: Mapping[str, Any]) -> list[float]:
    """The row of FEATURE_NAMES for one session."""
    points = moves.get("points", ())
    shaped = [i for i, count in enumerate(points) if count >= MIN_MOVE_POINTS]
    row = [float(len(points)), float(len(shaped))]
    if shaped:
        if len(shaped) == len(points):
            columns = {name: moves[name] for name in _NATIVE_FIGURES}
            counts = points
        else:
            columns = {name: [moves[name][i] for i in shaped] for name in _NATIVE_FIGURES}
            counts = [points[i] for i in shaped]
        chord, deviation, length = columns["chord"], columns["max_deviation"], columns["path_length"]
        columns["bend"] = [d / c if c > 1.0 else 0.0 for d, c in zip(deviation, chord, strict=True)]
        columns["efficiency"] = [c / p if p > 0.0 else 1.0 for c, p in zip(chord, length, strict=True)]
        columns["turn_per_point"] = [s / n for s, n in zip(columns["turn_sum"], counts, strict=True)]
        count = len(shaped)
        for figure in MOVE_FIGURES:
            values = columns[figure]
            row += (min(values), sum(values) / count, max(values))
    else:
        row += _EMPTY
    row += map(float, _features_of(features))
    total = sum(row)
    if total != total or total in (_INF, -_INF):  # rare: only then look at every value
        row = [_finite(value) for value in row]
    return row
