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


# -- what a few stray points, a pause or a client's numbers must not clear --


def even_line(points: int = 300, step: float = 3.0) -> list[dict]:
    """A bot's line: whole pixels, even steps, one frame apart."""
    return [{"x": 100 + round(step * i), "y": 200 + round(step * i / 2), "t": 16.0 * i} for i in range(points)]


def strayed(path: list[dict], where: list[int], dx: float = 0.0, dy: float = 50.0) -> list[dict]:
    path = [dict(p) for p in path]
    for i in where:
        path[i]["x"] += dx
        path[i]["y"] += dy
    return path


def paused(path: list[dict], every: int) -> list[dict]:
    """The path cut into moves of `every` points by pauses."""
    return [{**p, "t": p["t"] + GAP * (i // every)} for i, p in enumerate(path)]


@needs_evidence
@pytest.mark.parametrize(
    "path, decision, reason",
    [
        (even_line(), "ban", "straight_line"),
        (strayed(even_line(), [150]), "ban", "straight_line"),
        (strayed(even_line(), [30, 90, 150, 210, 270]), "ban", "straight_line"),
        (strayed(even_line(), list(range(10, 300, 20))), "ban", "straight_line"),  # 15 points
        (strayed(even_line(), [299], dx=-600.0, dy=300.0), "ban", "straight_line"),  # back by the start: chord tilted
        (strayed(even_line(), [0], dx=-400.0, dy=400.0), "ban", "straight_line"),
        (strayed(even_line(), [150], dy=1e6), "ban", "straight_line"),
        (strayed(even_line(), [10], dy=-1e308), "refuse", "malformed_moves"),
        (strayed(even_line(), [10], dx=1e308, dy=0.0), "refuse", "malformed_moves"),
        (paused(even_line(), rules.MIN_POINTS - 1), "ban", "straight_line"),
        (paused(strayed(even_line(), [150]), rules.MIN_POINTS - 1), "ban", "straight_line"),
        (paused(even_line(), 5), "ban", "straight_line"),
    ],
)
def test_a_line_is_a_line_whatever_strays(path, decision, reason):
    from quelvar_guard.decision import Decision
    from quelvar_guard.scoring import as_decision

    judgement = judge({"mouse_movements": path})
    assert judgement.decision == decision and reason in judgement.reasons
    if decision == "refuse":
        assert judgement.reasons == (reason,)
        assert as_decision(judgement) == Decision.refuse(reasons=(reason,))


def stretch(xs: list[float]) -> list[dict]:
    return [{"x": x, "y": 300.0, "t": 16.0 * i} for i, x in enumerate(xs)]


# 20 points; the robust extent drops 2 at each end: from xs[2] = 10 to xs[17] = 60.
SPAN = [0, 5, 10, 13, 16, 20, 23, 26, 30, 33, 36, 40, 43, 46, 50, 53, 56, 60, 65, 70]
assert len(SPAN) == rules.EVIDENCE_MIN_POINTS and SPAN[17] - SPAN[2] == rules.EVIDENCE_MIN_EXTENT


@needs_evidence
@pytest.mark.parametrize(
    "body, evident",
    [
        (b"{}", False),
        (b"null", False),
        (b"[]", False),
        (b'{"browser": {"webdriver": false, "screen_width": 1920, "screen_height": 1080}}', False),
        (json.dumps({"mouse_movements": stretch([0, 100, 200])}), False),
        (json.dumps({"mouse_movements": stretch(SPAN)}), True),
        (json.dumps({"mouse_movements": stretch(SPAN[:17] + [59.5] + SPAN[18:])}), False),  # 49.5 px
        (json.dumps({"mouse_movements": stretch(SPAN[1:])}), False),  # 19 points
        (json.dumps({"keystrokes": [{"t": 100 * i} for i in range(rules.EVIDENCE_MIN_KEYS)]}), True),
        (json.dumps({"keystrokes": [{"t": 100 * i} for i in range(rules.EVIDENCE_MIN_KEYS - 1)]}), False),
        (json.dumps({"scrolls": [{}] * rules.EVIDENCE_MIN_SCROLLS}), True),
        (json.dumps({"scrolls": [{}] * (rules.EVIDENCE_MIN_SCROLLS - 1)}), False),
    ],
)
def test_evidence_at_its_edges(body, evident):
    judgement = Scoring().judge_body(body)
    assert judgement.evidence is evident
    if evident:
        assert (judgement.decision, judgement.reasons) == ("allow", ())
    else:
        assert (judgement.decision, judgement.reasons) == ("challenge", ("no_evidence",))


@needs_evidence
@pytest.mark.parametrize(
    "browser, automation",
    [
        ("", False),
        ('"browser": {},', False),
        ('"browser": {"webdriver": false},', False),
        ('"browser": null,', False),
        ('"browser": {"webdriver": true},', True),
        ('"browser": {"webdriver": "true"},', True),
        ('"browser": {"webdriver": "false"},', True),
        ('"browser": {"webdriver": 1},', True),
        ('"browser": {"webdriver": 0},', True),
        ('"browser": {"webdriver": null},', True),
        ('"browser": {"webdriver": {}},', True),
        ('"browser": {"webdriver": true, "webdriver": false},', True),
        ('"browser": {"webdriver": false, "webdriver": false},', True),
        ('"browser": {"webdri\\u0076er": "x"},', True),
        ('"browser": {"webdriver": true}, "browser": {},', True),
        ('"browser": {"webdriver": false}, "browser": {"webdriver": false},', True),
    ],
)
def test_webdriver_is_one_false_or_absent(browser, automation):
    moves = json.dumps(human_moves(random.Random(9)))
    judgement = Scoring().judge_body(f'{{{browser} "mouse_movements": {moves}}}')
    assert judgement.reasons == (("webdriver",) if automation else ())
    assert judgement.decision == ("ban" if automation else "allow")
