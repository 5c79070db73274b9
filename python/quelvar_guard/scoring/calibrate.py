"""Fitting a model on the deployment's own traffic (needs scikit-learn: the
`calibrate` extra; never imported when judging).

Humans are split by the "user" field of their lines when every line has one,
else by line: a training part, a threshold part and a test part, so that the
challenge threshold is set on humans the model never saw and the false-positive
rate written into the file is measured on yet others.

Without bot lines, the negatives are synthetic: each training human's session
redrawn as a script would draw it through the same timestamps (straight lines at
constant speed, straight lines with a smooth speed profile, or smooth curves
with a little positional noise, all rounded to whole pixels). Such a model
learns what a hand adds to a computed path, not what any particular bot does:
in the evaluation (bench/evaluation/evaluate.py) it caught the straight,
mousesim and human-mouse generators and few of the others. With bot lines the
synthetic negatives are added only on request: with them the left-out
human-mouse generator was caught, cursory and smart-mouse less often.
"""

from __future__ import annotations

import json
import math
import random
from collections.abc import Callable, Sequence
from typing import Any

from .model import FORMAT, VERSION, Model
from .vector import FEATURE_NAMES

__all__ = ["calibrate", "split_groups", "synthetic_bot", "threshold_for"]

Row = Sequence[float]

# Boosted trees: small enough that the file stays tens of kilobytes and a
# session is scored in microseconds in plain Python.
TREES = 60
DEPTH = 3
RATE = 0.15
# Shares of the groups (users, or lines) held out for the threshold and for the test.
THRESHOLD_SHARE = 0.25
TEST_SHARE = 0.25
# Share of bot lines held out to report the true-positive rate at the threshold.
BOT_TEST_SHARE = 0.3
# Gaps that end a move when synthetic negatives are drawn through a session's times.
MOVE_GAP = 150.0


def split_groups(groups: Sequence[Any], seed: int = 0) -> tuple[list[int], list[int], list[int]]:
    """Indices of the training, threshold and test parts; a group stays in one part."""
    distinct = sorted(set(groups), key=str)
    random.Random(seed).shuffle(distinct)
    if len(distinct) < 3:
        raise ValueError(f"{len(distinct)} groups of humans: need at least 3 to hold some out")
    n_threshold = max(1, round(len(distinct) * THRESHOLD_SHARE))
    n_test = max(1, round(len(distinct) * TEST_SHARE))
    part = {group: 0 for group in distinct}
    for group in distinct[:n_threshold]:
        part[group] = 1
    for group in distinct[n_threshold : n_threshold + n_test]:
        part[group] = 2
    parts: tuple[list[int], list[int], list[int]] = ([], [], [])
    for i, group in enumerate(groups):
        parts[part[group]].append(i)
    return parts


def threshold_for(scores: Sequence[float], fpr: float) -> float:
    """The lowest threshold at which at most `fpr` of these scores reach it."""
    if not scores:
        raise ValueError("no held-out humans to set the threshold on")
    ranked = sorted(scores, reverse=True)
    allowed = math.floor(fpr * len(ranked) + 1e-9)
    if allowed >= len(ranked):
        return 0.0
    return math.nextafter(ranked[allowed], math.inf)


def _minimum_jerk(s: float) -> float:
    return 10 * s**3 - 15 * s**4 + 6 * s**5


def synthetic_rows(
    telemetry: Sequence[dict[str, Any]], indices: Sequence[int], rng: random.Random
) -> list[list[float]]:
    """The session rows of the sessions at `indices` redrawn by synthetic_bot
    (those with movement to redraw), as calibration's synthetic negatives."""
    from . import evidence
    from .vector import session_vector

    rows = []
    for i in indices:
        bot = synthetic_bot(telemetry[i], rng)
        if bot is not None:
            rows.append(session_vector(*evidence(json.dumps(bot))))
    return rows


def synthetic_bot(telemetry: dict[str, Any], rng: random.Random) -> dict[str, Any] | None:
    """The session's pointer path redrawn by a script through the same times and
    move ends; None when the session has no usable movement."""
    points = []
    for item in telemetry.get("mouse_movements") or ():
        try:
            x, y, t = (float(item[k]) for k in ("x", "y", "t"))
        except (TypeError, KeyError, ValueError):
            continue
        if math.isfinite(x) and math.isfinite(y) and math.isfinite(t):
            points.append((x, y, t))
    if len(points) < 2:
        return None
    points.sort(key=lambda p: p[2])
    style = rng.choice(("line", "eased", "curve"))
    out: list[dict[str, float]] = []
    start = 0
    for end in range(1, len(points) + 1):
        if end < len(points) and points[end][2] - points[end - 1][2] <= MOVE_GAP:
            continue
        run = points[start:end]
        (x0, y0, t0), (x1, y1, t1) = run[0], run[-1]
        span = t1 - t0
        bow = rng.uniform(-0.3, 0.3) * math.hypot(x1 - x0, y1 - y0)
        noise = rng.uniform(0.0, 1.5) if style == "curve" else 0.0
        for _, _, t in run:
            s = (t - t0) / span if span > 0 else 1.0
            f = s if style == "line" else _minimum_jerk(s)
            x, y = x0 + (x1 - x0) * f, y0 + (y1 - y0) * f
            if style == "curve":
                # A quadratic bow across the chord, largest halfway.
                length = math.hypot(x1 - x0, y1 - y0) or 1.0
                lift = 4 * f * (1 - f) * bow
                x += -(y1 - y0) / length * lift + rng.gauss(0, noise)
                y += (x1 - x0) / length * lift + rng.gauss(0, noise)
            out.append({"x": round(x), "y": round(y), "t": t})
        start = end
    return {**telemetry, "mouse_movements": out}


Fitted = tuple[dict[str, Any], Callable[[list[Row]], Any]]


def _fit_trees(rows: list[Row], labels: list[int], weights: list[float], seed: int) -> Fitted:
    from sklearn.ensemble import GradientBoostingClassifier  # type: ignore[import-untyped,import-not-found,unused-ignore]

    model = GradientBoostingClassifier(
        n_estimators=TREES, max_depth=DEPTH, learning_rate=RATE, subsample=0.8, random_state=seed
    )
    model.fit(rows, labels, sample_weight=weights)
    trees = []
    for (estimator,) in model.estimators_:
        tree = estimator.tree_
        feature = [int(f) if left != -1 else -1 for f, left in zip(tree.feature, tree.children_left, strict=True)]
        trees.append(
            [
                feature,
                [float(v) for v in tree.threshold],
                [int(v) for v in tree.children_left],
                [int(v) for v in tree.children_right],
                [float(v) for v in tree.value[:, 0, 0]],
            ]
        )
    first = [rows[0]]
    leaves = sum(float(estimator.predict(first)[0]) for (estimator,) in model.estimators_)
    init = float(model.decision_function(first)[0]) - RATE * leaves
    return {"kind": "trees", "init": init, "rate": RATE, "trees": trees}, model.decision_function


def _fit_linear(rows: list[Row], labels: list[int], weights: list[float], seed: int) -> Fitted:
    from sklearn.linear_model import LogisticRegression  # type: ignore[import-untyped,import-not-found,unused-ignore]
    from sklearn.preprocessing import StandardScaler  # type: ignore[import-untyped,import-not-found,unused-ignore]

    scaler = StandardScaler().fit(rows)
    scale = [float(s) if s > 0 else 1.0 for s in scaler.scale_]
    model = LogisticRegression(C=1.0, max_iter=5000, random_state=seed)
    model.fit(scaler.transform(rows), labels, sample_weight=weights)
    content = {
        "kind": "linear",
        "mean": [float(m) for m in scaler.mean_],
        "scale": scale,
        "weights": [float(w) for w in model.coef_[0]],
        "bias": float(model.intercept_[0]),
    }
    return content, lambda x: model.decision_function(scaler.transform(x))


def calibrate(
    humans: Sequence[Row],
    groups: Sequence[Any],
    fpr: float,
    *,
    bots: Sequence[Row] | None = None,
    synthesize: Callable[[list[int]], Sequence[Row]] | None = None,
    kind: str = "trees",
    seed: int = 0,
    split: str = "user",
    hold_out_bots: bool = True,
    progress: Callable[[str], None] = lambda message: None,
) -> dict[str, Any]:
    """A model (the contents of its file, see model.py) fitted on humans and bots, its challenge
    threshold set at `fpr` on held-out humans.

    bots:       rows of known bots (a share held out to report the true-positive
                rate, unless hold_out_bots is False);
    synthesize: given the indices of the training humans, rows of negatives
                (added to the bots when both are given).
    """
    if not 0.0 < fpr < 1.0:
        raise ValueError("the false-positive rate is a fraction between 0 and 1")
    train, hold, test = split_groups(groups, seed)
    rng = random.Random(seed)
    bot_train: list[Row] = []
    bot_test: list[Row] = []
    kinds = []
    if bots:
        order = list(range(len(bots)))
        rng.shuffle(order)
        cut = max(1, round(len(order) * BOT_TEST_SHARE)) if hold_out_bots else 0
        bot_train += [bots[i] for i in order[cut:]]
        bot_test += [bots[i] for i in order[:cut]]
        kinds.append("bots")
    if synthesize is not None:
        bot_train += synthesize(train)
        if not bots:
            bot_test += synthesize(test)
        kinds.append("synthetic")
    negatives = "+".join(kinds)
    if not bot_train:
        raise ValueError("no negatives to train on: give bots or a way to synthesize them")
    rows = [humans[i] for i in train] + list(bot_train)
    labels = [0] * len(train) + [1] * len(bot_train)
    # Both classes weigh the same, whatever their counts.
    weights = [0.5 / len(train)] * len(train) + [0.5 / len(bot_train)] * len(bot_train)
    weights = [w * len(rows) for w in weights]
    progress(f"fitting {kind} on {len(train)} humans and {len(bot_train)} {negatives} negatives")
    fitters = {"trees": _fit_trees, "linear": _fit_linear}
    if kind not in fitters:
        raise ValueError(f"kind {kind!r}: expected one of {sorted(fitters)}")
    body, reference = fitters[kind](rows, labels, weights, seed)
    content: dict[str, Any] = {
        "format": FORMAT,
        "version": VERSION,
        "features": list(FEATURE_NAMES),
        **body,
        "thresholds": {"challenge": 1.0},
    }
    model = Model(content)
    # The file is evaluated in plain Python: check it against the library on what it was fitted on.
    expected = reference(rows)
    agree = sum(
        abs(model.raw(row) - float(e)) <= 1e-6 * max(1.0, abs(float(e))) for row, e in zip(rows, expected, strict=True)
    )
    if agree < 0.999 * len(rows):
        raise RuntimeError(f"exported model agrees with the fitted one on {agree} of {len(rows)} rows")
    hold_scores = [model.score(humans[i]) for i in hold]
    threshold = threshold_for(hold_scores, fpr)
    content["thresholds"] = {"challenge": threshold}
    test_fpr = sum(model.score(humans[i]) >= threshold for i in test) / len(test)
    bot_tpr = (sum(model.score(row) >= threshold for row in bot_test) / len(bot_test)) if bot_test else None
    content["calibration"] = {
        "target_fpr": fpr,
        "split": split,
        "negatives": negatives,
        "seed": seed,
        "humans": {"train": len(train), "threshold": len(hold), "test": len(test)},
        "threshold_fpr": sum(s >= threshold for s in hold_scores) / len(hold),
        "heldout_fpr": test_fpr,
        "heldout_bots": len(bot_test),
        "heldout_tpr": bot_tpr,
    }
    if fpr * len(hold) < 1:
        progress(
            f"warning: {len(hold)} held-out humans cannot measure a rate of {fpr}: "
            "the threshold sits above every one of them"
        )
    return content
