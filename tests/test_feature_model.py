"""The whole feature dictionary against the pure-Python model in
feature_model, on seeded random and hypothesis-drawn telemetry.

Every feature must be bit for bit the model's (NaN matching NaN), except the
two spectral ones, which come from a table-driven transform and must be
within 1e-9 of the direct transform. That comparison is made wherever the
direct transform's sums stay finite, that is for speeds below 1e150."""

import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import feature_model
import quelvar_core_rs as core
from feature_model import FEATURE_KEYS

SPECTRAL = ("spectral_purity", "spectral_entropy")
SPECTRAL_TOLERANCE = 1e-9
# Below this every partial sum of the direct transform stays finite.
SPECTRAL_SPEED_LIMIT = 1e150


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def spectral_comparable(telemetry):
    points = feature_model.decode(telemetry)["points"]
    if len(points) < 3:
        return True
    speeds = feature_model.speed_series(points)[3]
    return not all(math.isfinite(v) for v in speeds) or max(speeds) < SPECTRAL_SPEED_LIMIT


def assert_matches_model(telemetry):
    got = core.extract_features_rs(telemetry)
    want = feature_model.features(telemetry)
    assert list(got) == list(FEATURE_KEYS)
    mismatched = {k: (got[k], want[k]) for k in FEATURE_KEYS if k not in SPECTRAL and not same(got[k], want[k])}
    assert not mismatched, mismatched
    if spectral_comparable(telemetry):
        for key in SPECTRAL:
            g, w = got[key], want[key]
            assert type(g) is float
            assert (math.isnan(g) and math.isnan(w)) or abs(g - w) <= SPECTRAL_TOLERANCE, (key, g, w)


# --- seeded random telemetry -----------------------------------------------


def scale_value(rng, scale):
    if scale == "huge":
        return rng.choice([-1, 1]) * 10.0 ** rng.uniform(100, 308)
    if scale == "tiny":
        return rng.choice([-1, 1]) * 10.0 ** rng.uniform(-320, -5)
    if scale == "mixed":
        return rng.choice([-1, 1]) * 10.0 ** rng.uniform(-20, 20)
    return rng.uniform(0, 2000)


def junk(rng):
    return rng.choice([math.nan, math.inf, -math.inf, None, "12", 10**400, True, 7, [], {}])


def random_points(rng):
    count = rng.choice([0, 1, 2, 3, 4, 8, 9, 17, 64, 150, 299, 300, 301, 420])
    scale = rng.choice(["normal", "normal", "huge", "tiny", "mixed"])
    timing = rng.choice(["increasing", "ties", "shuffled", "sub_floor", "duplicates"])
    t, points = 0.0, []
    for _ in range(count):
        if timing == "ties":
            t = float(rng.randint(0, max(1, count // 4)))
        elif timing == "sub_floor":
            t += rng.choice([0.0, 0.01, 0.05, 0.1, 0.3])
        else:
            t += rng.uniform(0, 40)
        point = {"x": scale_value(rng, scale), "y": scale_value(rng, scale), "t": t}
        if scale == "huge" and rng.random() < 0.3:
            point["t"] = rng.choice([-1, 1]) * 10.0 ** rng.uniform(300, 308)
        if rng.random() < 0.1:
            point[rng.choice("xyt")] = junk(rng)
        if rng.random() < 0.03:
            del point[rng.choice("xyt")]
        points.append(point)
        if timing == "duplicates" and rng.random() < 0.4:
            points.append(dict(point))
    if timing in ("shuffled", "duplicates"):
        rng.shuffle(points)
    if rng.random() < 0.1:
        points.insert(rng.randint(0, len(points)), rng.choice([None, (1.0, 2.0, 3.0), [1.0, 2.0, 3.0]]))
    return points


def random_keystrokes(rng):
    keys = []
    for _ in range(rng.choice([0, 1, 2, 3, 40, 149, 150, 151, 200])):
        element = {}
        for key in rng.sample(["t", "down", "time"], rng.randint(0, 3)):
            element[key] = rng.choice(
                [rng.uniform(0, 1e5), float(rng.randint(0, 50)), rng.randint(0, 10**6), junk(rng)]
            )
        keys.append(element if rng.random() > 0.05 else "not a dict")
    return keys


def random_browser(rng):
    if rng.random() < 0.2:
        return rng.choice([None, [], "browser"])
    browser = {}
    for key, values in (
        ("webdriver", [True, False, 1, 0, None]),
        ("screen_width", [1920, 1366.0, 0, -5.0, math.nan, math.inf, "1920", 10**400]),
        ("screen_height", [1080, 768.0, 0, -1, math.nan, None]),
        ("touch_supported", [True, False, "yes"]),
        ("plugins_length", [0, 3, -1, True, 2.0, 2**63, -(2**63), None]),
    ):
        if rng.random() < 0.8:
            browser[key] = rng.choice(values)
    return browser


def random_telemetry(seed):
    rng = random.Random(seed)
    telemetry = {
        "mouse_movements": random_points(rng),
        "keystrokes": random_keystrokes(rng),
        "browser": random_browser(rng),
        "clicks": rng.choice([[0] * rng.randint(0, 9), (1, 2), None]),
        "scrolls": rng.choice([[{}] * rng.randint(0, 5), "scroll"]),
    }
    for key in list(telemetry):
        if rng.random() < 0.1:
            del telemetry[key]
    return telemetry


@pytest.mark.parametrize("seed", range(300))
def test_seeded_telemetry_matches_model(seed):
    assert_matches_model(random_telemetry(seed))


# --- hypothesis --------------------------------------------------------------

any_float = st.floats(allow_nan=True, allow_infinity=True)
coordinate = st.one_of(any_float, st.integers(-(10**20), 10**20), st.sampled_from([0.0, -0.0, 5e-324, 1e-300]))
time_stamp = st.one_of(st.integers(0, 12).map(float), st.floats(-1e6, 1e6), any_float)
point = st.fixed_dictionaries({"x": coordinate, "y": coordinate, "t": time_stamp})


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(points=st.lists(point, max_size=40), key_times=st.lists(any_float, max_size=20))
def test_drawn_telemetry_matches_model(points, key_times):
    telemetry = {"mouse_movements": points, "keystrokes": [{"t": t} for t in key_times]}
    assert_matches_model(telemetry)


@settings(max_examples=40, deadline=None)
@given(
    speeds=st.lists(st.floats(0, 1e6), min_size=8, max_size=299),
    steps=st.sampled_from([1.0, 0.05, 3.0]),
)
def test_drawn_speed_profiles_match_model(speeds, steps):
    x, t, points = 0.0, 0.0, [{"x": 0.0, "y": 0.0, "t": 0.0}]
    for speed in speeds:
        x += speed
        t += steps
        points.append({"x": x, "y": 0.0, "t": t})
    assert_matches_model({"mouse_movements": points})


@pytest.mark.parametrize(
    "points",
    [
        # a time difference that overflows: infinite step, zero speed
        [(0.0, 0.0, -1e308), (1.0, 0.0, 1e308), (2.0, 0.0, 1e308 + 1e292), (3.0, 0.0, 1.5e308)],
        # an infinite length over an infinite step: a NaN speed
        [(-1e308, 0.0, -1e308), (1e308, 0.0, 1e308), (0.0, 0.0, 1.7e308), (1.0, 1.0, 1.75e308)],
        # a squared coordinate difference that overflows
        [(0.0, 0.0, 0.0), (1e200, 1e200, 1.0), (0.0, 0.0, 2.0), (1.0, 0.0, 3.0)],
        # subnormal coordinates
        [(5e-324 * k, 0.0, float(k)) for k in range(12)],
    ],
)
def test_limits_of_the_double_range_pass_through(points):
    assert_matches_model({"mouse_movements": [{"x": x, "y": y, "t": t} for x, y, t in points]})
