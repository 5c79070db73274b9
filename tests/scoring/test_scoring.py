"""quelvar_guard.scoring: the rules at their edges, the calibrated threshold on
users it never saw, the batch command's output."""

from __future__ import annotations

import json
import math
import random
import subprocess
import sys

import pytest

import quelvar_core_rs as core
from quelvar_guard.scoring import Scoring, rules
from quelvar_guard.scoring.model import Model, ModelError
from quelvar_guard.scoring.vector import FEATURE_NAMES

needs_evidence = pytest.mark.skipif(
    not hasattr(core, "extract_evidence_json_rs"), reason="the extension has no per-move evidence"
)
GAP = 400.0  # ms between moves: well over the extractor's cut


def smooth(s: float) -> float:
    return 10 * s**3 - 15 * s**4 + 6 * s**5


def paced(step_cv: float):
    """A pace whose steps vary by `step_cv` (a sine around the mean), at the
    mean speed halfway."""
    a = step_cv * math.sqrt(2.0)
    return lambda s: s + a * (1.0 - math.cos(2.0 * math.pi * s)) / (2.0 * math.pi)


def line_moves(points: int, moves: int = 2, bend: float = 0.0, length: float = 400.0, timing=smooth) -> list[dict]:
    """Moves along the x axis, whole pixels, with the middle points of each pushed
    `bend` px sideways (a plateau one point wider than the robust figures
    drop, so that it is a shape, not a stray point); the speed follows `timing`."""
    out, t = [], 0.0
    width = points // 10 + 1
    bent = range(points // 2 - width // 2, points // 2 - width // 2 + width)
    for move in range(moves):
        y = 100.0 * move
        for i in range(points):
            x = round(length * timing(i / (points - 1)))
            out.append({"x": x, "y": y + (bend if i in bent else 0.0), "t": t + 16.0 * i})
        t += 16.0 * points + GAP
    return out


def arc_moves(points: int, moves: int = 2, unevenness: float = 0.0) -> list[dict]:
    """Moves along a quarter circle, steps alternately longer and shorter by `unevenness`."""
    steps = [1.0 + (unevenness if i % 2 else -unevenness) for i in range(points - 1)]
    ends = [sum(steps[:i]) / sum(steps) for i in range(points)]
    out, t = [], 0.0
    for move in range(moves):
        for i in range(points):
            angle = math.pi / 2 * ends[i]
            out.append(
                {
                    "x": round(300 * math.cos(angle), 1),
                    "y": round(100 * move + 300 * math.sin(angle), 1),
                    "t": t + 16.0 * i,
                }
            )
        t += 16.0 * points + GAP
    return out


def human_moves(rng: random.Random, reaches: int = 4) -> list[dict]:
    """Reaches that bow, overshoot and correct, with sensor jitter and frame-time jitter."""
    out, t, x, y = [], 0.0, 500.0, 400.0
    for _ in range(reaches):
        tx, ty = rng.uniform(50, 1500), rng.uniform(50, 900)
        bow = rng.uniform(-0.15, 0.15)
        sx, sy, start, span = x, y, t, rng.uniform(350, 700)
        while t - start < span:
            t += rng.gauss(16.7, 2.0)
            f = smooth(min((t - start) / span, 1.0))
            lift = 4 * f * (1 - f) * bow
            x = sx + (tx - sx) * f - (ty - sy) * lift + rng.gauss(0, 0.8)
            y = sy + (ty - sy) * f + (tx - sx) * lift + rng.gauss(0, 0.8)
            out.append({"x": round(x), "y": round(y), "t": round(t, 1)})
        t += rng.uniform(200, 600)
    return out


def judge(telemetry: dict, scoring: Scoring | None = None):
    return (scoring or Scoring()).judge_body(json.dumps(telemetry).encode())


@needs_evidence
@pytest.mark.parametrize(
    "telemetry, reasons",
    [
        # At a hand's pace (the smooth timing's steps vary by 0.65) a line is a
        # bot's only from ANY_PACE_CHORD.
        ({"mouse_movements": line_moves(rules.MIN_POINTS, length=rules.ANY_PACE_CHORD)}, ("straight_line",)),
        ({"mouse_movements": line_moves(rules.MIN_POINTS - 1, length=rules.ANY_PACE_CHORD)}, ()),
        ({"mouse_movements": line_moves(30, length=rules.ANY_PACE_CHORD - 2)}, ()),
        # The tolerance holds whole-pixel rounding, and not a hand's bend just past it.
        (
            {"mouse_movements": line_moves(30, length=rules.ANY_PACE_CHORD, bend=rules.STRAIGHT_TOLERANCE - 0.05)},
            ("straight_line",),
        ),
        ({"mouse_movements": line_moves(30, length=rules.ANY_PACE_CHORD, bend=rules.STRAIGHT_TOLERANCE + 0.05)}, ()),
        # A steady line is a bot's from MIN_CHORD; a straight nudge proves nothing.
        (
            {"mouse_movements": line_moves(30, length=rules.MIN_CHORD, timing=paced(rules.STEADY_STEP_CV - 0.05))},
            ("straight_line",),
        ),
        (
            {"mouse_movements": line_moves(30, length=rules.MIN_CHORD - 2, timing=paced(rules.STEADY_STEP_CV - 0.05))},
            (),
        ),
        ({"mouse_movements": line_moves(30, timing=paced(rules.STEADY_STEP_CV + 0.05))}, ()),
        # One kink of b px in a steady line of n points lengthens the path by
        # about b^2 / step: (path - chord) * chord / b^2 comes to about n - 1.
        (
            {
                "mouse_movements": line_moves(
                    int(rules.JITTER_EXCESS) + 10, bend=rules.STRAIGHT_TOLERANCE + 1, timing=paced(0.35)
                )
            },
            ("jittered_line",),
        ),
        (
            {
                "mouse_movements": line_moves(
                    int(rules.JITTER_EXCESS) - 6, bend=rules.STRAIGHT_TOLERANCE + 1, timing=paced(0.35)
                )
            },
            (),
        ),
        (
            {"mouse_movements": line_moves(40, bend=rules.JITTER_SPREAD * 400 - 0.5, timing=paced(0.35))},
            ("jittered_line",),
        ),
        ({"mouse_movements": line_moves(40, bend=rules.JITTER_SPREAD * 400 + 0.5, timing=paced(0.35))}, ()),
        ({"mouse_movements": arc_moves(40)}, ("even_steps",)),
        (
            {"mouse_movements": arc_moves(40, unevenness=(rules.EVEN_STEP_CV + rules.NEAR_EVEN_STEP_CV) / 2)},
            ("near_even_steps",),
        ),
        ({"mouse_movements": arc_moves(40, unevenness=rules.NEAR_EVEN_STEP_CV + 0.05)}, ()),
        ({"mouse_movements": human_moves(random.Random(7))}, ()),
        ({"browser": {"webdriver": True}, "mouse_movements": human_moves(random.Random(8))}, ("webdriver",)),
        ({}, ("no_evidence",)),
    ],
)
def test_rules(telemetry, reasons):
    judgement = judge(telemetry)
    assert judgement.reasons == reasons
    actions = {rules.RULES[r] for r in reasons}
    expected = "ban" if "ban" in actions else "challenge" if actions else "allow"
    assert (judgement.decision, judgement.score) == (expected, None)
    assert judgement.evidence == (reasons != ("no_evidence",))


def synthetic_rows(rng: random.Random, users: int, per_user: int, bot: bool) -> tuple[list, list]:
    """Rows whose first columns separate bots from humans only partly, with a
    per-user offset, so that a threshold set on the training users would be too
    low for new ones."""
    rows, groups = [], []
    width = len(FEATURE_NAMES)
    for _user in range(users):
        offset = [rng.gauss(0, 0.3) for _ in range(4)]
        tag = rng.random()
        for _ in range(per_user):
            row = [rng.gauss(0, 1) for _ in range(width)]
            for k in range(4):
                row[k] += (1.5 if bot else 0.0) + offset[k]
            rows.append(row)
            groups.append((bot, tag))
    return rows, groups


@pytest.mark.parametrize("kind", ["trees", "linear"])
def test_calibrated_threshold_holds_on_new_users(kind):
    pytest.importorskip("sklearn")
    from quelvar_guard.scoring.calibrate import calibrate

    rng = random.Random(3)
    humans, groups = synthetic_rows(rng, 60, 40, bot=False)
    bots, _ = synthetic_rows(rng, 20, 60, bot=True)
    fpr = 0.05
    content = calibrate(humans, groups, fpr, bots=bots, kind=kind, seed=1)
    model = Model(json.loads(json.dumps(content)))  # what a file gives back
    fresh_humans, _ = synthetic_rows(rng, 60, 40, bot=False)
    fresh_bots, _ = synthetic_rows(rng, 20, 60, bot=True)
    measured = sum(model.score(row) >= model.challenge for row in fresh_humans) / len(fresh_humans)
    caught = sum(model.score(row) >= model.challenge for row in fresh_bots) / len(fresh_bots)
    # 2,400 humans of 60 new users: sampling and the users' own offsets move the
    # rate by about a point around the target.
    assert measured <= fpr + 0.02
    assert abs(content["calibration"]["heldout_fpr"] - fpr) <= 0.03
    assert caught >= 0.5


@pytest.mark.parametrize(
    "change",
    [
        lambda content: content.update(features=content["features"][:-1]),
        lambda content: content["trees"][0][2].__setitem__(1, 0),  # a child pointing back: a loop
        lambda content: content["thresholds"].update(challenge=float("nan")),
    ],
)
def test_model_file_refused(change):
    content = {
        "format": "quelvar-scoring-model",
        "version": 1,
        "features": list(FEATURE_NAMES),
        "kind": "trees",
        "init": 0.0,
        "rate": 0.1,
        "thresholds": {"challenge": 0.5},
        "trees": [[[0, -1, -1], [0.5, 0.0, 0.0], [1, -1, -1], [2, -1, -1], [0.0, -1.0, 1.0]]],
    }
    assert Model(json.loads(json.dumps(content))).score([0.0] * len(FEATURE_NAMES)) < 0.5
    change(content)
    with pytest.raises(ModelError):
        Model(content)


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "quelvar_guard.scoring", *args], capture_output=True, text=True, timeout=120
    )


@needs_evidence
def test_batch_scoring_with_a_calibrated_model(tmp_path):
    pytest.importorskip("sklearn")
    rng = random.Random(5)
    humans = tmp_path / "humans.jsonl"
    humans.write_text(
        "".join(json.dumps({"user": f"u{i % 8}", "mouse_movements": human_moves(rng)}) + "\n" for i in range(160))
    )
    model = tmp_path / "model.json"
    fitted = run_cli("calibrate", "--humans", str(humans), "--fpr", "0.05", "--out", str(model))
    assert fitted.returncode == 0, fitted.stderr
    content = json.loads(model.read_text())
    assert content["calibration"]["split"] == "user" and content["calibration"]["negatives"] == "synthetic"

    lines = [
        json.dumps({"mouse_movements": human_moves(rng)}),
        "{not json",
        json.dumps({"mouse_movements": line_moves(30, length=rules.ANY_PACE_CHORD)}),
        json.dumps({"browser": {"webdriver": True}}),
    ]
    sessions = tmp_path / "sessions.jsonl"
    sessions.write_text("\n".join(lines) + "\n")
    scored = run_cli("score", "--model", str(model), str(sessions))
    assert scored.returncode == 1
    assert f"{sessions}:2:" in scored.stderr
    out = [json.loads(line) for line in scored.stdout.splitlines()]
    assert [list(o) for o in out] == [["decision", "score", "reasons"]] * 4
    assert [o["decision"] for o in out] == ["allow", None, "ban", "ban"]
    assert isinstance(out[0]["score"], float) and out[3]["score"] is None  # no movement: no score
    assert out[1]["reasons"] == ["malformed_telemetry"] and "straight_line" in out[2]["reasons"]
    assert all(math.isfinite(o["score"]) for o in out if o["score"] is not None)
