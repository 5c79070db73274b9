"""extract_evidence_json_rs(body): the features of extract_features_json_rs,
bit for bit, and the moves of the pointer path, against the model of
move_model.py."""

import json
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quelvar_core_rs as core
from move_model import MOVE_FIGURES, moves, webdriver_flag


def same_floats(got, want, close=False):
    if math.isnan(want) or math.isnan(got):
        return math.isnan(want) and math.isnan(got)
    if close:
        return math.isclose(got, want, rel_tol=1e-12, abs_tol=1e-13)
    return repr(got) == repr(want)  # -0.0 apart from 0.0


def check_evidence(body):
    features, found = core.extract_evidence_json_rs(body)
    # repr tells apart every value, type and key order a caller can see.
    assert repr(features) == repr(core.extract_features_json_rs(body))
    want = moves(json.loads(body))
    assert list(found) == [*MOVE_FIGURES, "whole", "webdriver", "finite"]
    assert found["webdriver"] is webdriver_flag(body)
    whole = found.pop("whole")
    found.pop("webdriver")
    finite = found.pop("finite")
    figures = [*(v for name in MOVE_FIGURES for v in want[name]), *want["whole"].values()]
    assert finite is all(math.isfinite(v) for v in figures)
    assert type(found) is dict and all(type(v) is list for v in found.values())
    assert {len(v) for v in found.values()} == {len(want["points"])}
    assert all(type(n) is int for n in found["points"])
    assert list(whole) == list(MOVE_FIGURES) and type(whole["points"]) is int
    assert whole["points"] == want["whole"]["points"]
    for name in MOVE_FIGURES[1:]:
        assert all(type(v) is float for v in found[name]), name
        close = name == "turn_sum"
        assert all(same_floats(g, w, close) for g, w in zip(found[name], want[name], strict=True)), (
            name,
            found[name],
            want[name],
        )
        assert type(whole[name]) is float and same_floats(whole[name], want["whole"][name], close), (
            name,
            whole[name],
            want["whole"][name],
        )
    assert found["points"] == want["points"]
    return found


# -- paths: strokes of straight, whole-pixel or wandering points, with pauses,
# equal times and steps right at the pause, sometimes shuffled or past 300 --

STEPS = st.one_of(
    st.sampled_from([0.0, 0.05, 16.0, 150.0, 150.0001, 151.0, 400.0]), st.floats(0.0, 200.0), st.floats(0.0, 1e6)
)
SCALE = st.sampled_from([1.0, 1.0, 1e-300, 1e150, 1e300])


@st.composite
def stroke(draw, start):
    """The points of one stroke from `start`, and its end before scaling."""
    x, y, t = start
    kind = draw(st.sampled_from(["line", "rounded", "wander", "still"]))
    count = draw(st.integers(1, 60))
    dx, dy = draw(st.floats(-50, 50)), draw(st.floats(-50, 50))
    scale = draw(SCALE)
    out = []
    for i in range(1, count + 1):
        t += draw(STEPS) if i == 1 or kind == "wander" else draw(st.sampled_from([0.0, 8.0, 16.0, 16.5]))
        if kind == "line":
            px, py = x + dx * i, y + dy * i
        elif kind == "rounded":
            px, py = float(round(x + dx * i)), float(round(y + dy * i))
        elif kind == "wander":
            px, py = x + draw(st.floats(-30, 30)) * i, y + draw(st.floats(-30, 30))
        else:
            px, py = x, y
        out.append((px, py, t))
    return [(px * scale, py * scale, t) for px, py, t in out], out[-1]


@st.composite
def paths(draw):
    points, at = [], (draw(st.floats(-1e4, 1e4)), draw(st.floats(-1e4, 1e4)), draw(st.floats(-1e6, 1e6)))
    for _ in range(draw(st.integers(0, 8))):
        drawn, at = draw(stroke(at))
        points += drawn
    if draw(st.integers(0, 3)) == 0:  # past the 300-point window
        points += [(float(i), float(i % 7), at[2] + 10.0 * i) for i in range(draw(st.integers(250, 320)))]
    if points and draw(st.integers(0, 3)) == 0:
        points = draw(st.permutations(points))
    return [{"x": x, "y": y, "t": t} for x, y, t in points]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(paths())
def test_moves_match_the_model(path):
    found = check_evidence(json.dumps({"mouse_movements": path, "clicks": [1]}, allow_nan=False).encode())
    assert sum(found["points"]) == min(len(path), 300)
    assert all(0.0 <= v <= 1.0 for v in found["peak_speed_at"] if not math.isnan(v))


def line(points, step=16.0):
    return [{"x": x, "y": y, "t": step * i} for i, (x, y) in enumerate(points)]


# Hand-made paths and what their moves must be.
@pytest.mark.parametrize(
    "path, expected",
    [
        ([], {"points": []}),
        (line([(3, 4)]), {"points": [1], "duration": [0.0], "max_deviation": [0.0], "turn_sum": [0.0]}),
        (line([(0, 0), (1, 1)], step=150.0), {"points": [2], "duration": [150.0]}),
        (line([(0, 0), (1, 1)], step=150.0001), {"points": [1, 1]}),
        # a straight line drawn in whole pixels strays at most half a diagonal from it
        (
            line([(i, round(0.37 * i + 0.2)) for i in range(200)]),
            {"points": [200], "max_deviation": lambda found: 0.4 < found[0] <= 0.71},
        ),
        (
            line([(0, 0), (10, 0), (10, 10)]),
            {
                "chord": [math.sqrt(200.0)],
                "max_deviation": [10 / math.sqrt(2.0)],
                "turn_sum": [math.pi / 2],
                "step_cv": [0.0],
            },
        ),
        # back where it started: the chord is 0, the farthest point counts from the first
        (
            line([(0, 0), (10, 0), (0, 0)]),
            {"chord": [0.0], "max_deviation": [10.0], "turn_sum": [math.pi], "peak_speed_at": [0.0]},
        ),
        # a zero segment neither turns nor breaks the turn around it
        (line([(0, 0), (5, 0), (5, 0), (5, 5)]), {"turn_sum": [math.pi / 2], "path_length": [10.0]}),
        # equal times count as the floor step; the faster second segment starts halfway
        (
            [{"x": 0, "y": 0, "t": 0}, {"x": 1, "y": 0, "t": 10}, {"x": 5, "y": 0, "t": 20}],
            {"peak_speed_at": [0.5], "dt_cv": [0.0], "speed_cv": [0.6]},
        ),
        (
            [{"x": 0, "y": 0, "t": 7}, {"x": 3, "y": 0, "t": 7}],
            {"duration": [0.0], "peak_speed_at": [0.0], "path_length": [3.0]},
        ),
    ],
    ids=[
        "no points",
        "one point",
        "pause of 150 joins",
        "pause of 150.0001 cuts",
        "whole-pixel line",
        "right angle",
        "there and back",
        "zero segment",
        "faster second half",
        "equal times",
    ],
)
def test_hand_made_paths(path, expected):
    found = check_evidence(json.dumps({"mouse_movements": path}).encode())
    for name, want in expected.items():
        if callable(want):
            assert want(found[name]), (name, found[name])
        else:
            assert len(found[name]) == len(want)
            assert all(same_floats(float(g), float(w), close=True) for g, w in zip(found[name], want, strict=True)), (
                name,
                found[name],
            )


@pytest.mark.parametrize("body", [b"", b"{", b'{"mouse_movements": [}', "[1,", None, 1.5, ["{}"]])
def test_refusals_are_those_of_extract_features_json(body):
    with pytest.raises((TypeError, ValueError)) as features_refusal:
        core.extract_features_json_rs(body)
    with pytest.raises(features_refusal.type, match=f"^{__import__('re').escape(str(features_refusal.value))}$"):
        core.extract_evidence_json_rs(body)
    with pytest.raises(TypeError, match=r"extract_evidence_json_rs\(\) missing 1 required positional argument: 'body'"):
        core.extract_evidence_json_rs()
    assert core.extract_evidence_json_rs(body=b"{}")[1]["points"] == []
