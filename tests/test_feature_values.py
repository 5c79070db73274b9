"""The feature dictionary: its keys, order and types, and the worked examples
of every feature computation."""

import math

import pytest

import quelvar_core_rs as core
from feature_model import FEATURE_KEYS

extract = core.extract_features_rs

DEFAULTS = {
    "mouse_points": 0,
    "total_distance": 0.0,
    "straightness": 1.0,
    "avg_velocity": 0.0,
    "max_velocity": 0.0,
    "velocity_var": 0.0,
    "avg_acceleration": 0.0,
    "acceleration_var": 0.0,
    "avg_jerk": 0.0,
    "dt_var": 0.0,
    "click_count": 0,
    "key_count": 0,
    "key_interval_avg": 0.0,
    "key_interval_var": 0.0,
    "webdriver": False,
    "screen_valid": True,
    "scroll_count": 0,
    "terminal_decel_ratio": 1.0,
    "plugins_length": 1,
    "touch_supported": False,
    "screen_width": 1024.0,
    "spectral_purity": 0.0,
    "spectral_entropy": 1.0,
    "submovement_count": 0,
}
TRAJECTORY_KEYS = (
    "total_distance",
    "straightness",
    "avg_velocity",
    "max_velocity",
    "velocity_var",
    "avg_acceleration",
    "acceleration_var",
    "avg_jerk",
    "dt_var",
    "terminal_decel_ratio",
    "spectral_purity",
    "spectral_entropy",
    "submovement_count",
)


def movements(*triples):
    return {"mouse_movements": [{"x": x, "y": y, "t": t} for x, y, t in triples]}


def along_x(*steps):
    """Points on the x axis from 0, each step a (distance, time step) pair."""
    x = t = 0.0
    out = [(0.0, 0.0, 0.0)]
    for distance, dt in steps:
        x += distance
        t += dt
        out.append((x, 0.0, t))
    return movements(*out)


def assert_features(features, expected):
    for key, value in expected.items():
        got = features[key]
        if isinstance(value, float):
            assert type(got) is float and got == value, (key, got, value)
        elif isinstance(value, type(pytest.approx(0))):
            assert got == value, (key, got, value.expected)
        else:
            assert type(got) is type(value) and got == value, (key, got, value)


# --- keys, order and types ------------------------------------------------------------

EXAMPLES = [
    None,
    {},
    [],
    "telemetry",
    movements((0, 0, 0), (1, 1, 1)),
    movements((0, 0, 0), (3, 4, 10), (6, 8, 20)),
    {
        **movements(*[(k, k % 3, k) for k in range(320)]),
        "clicks": [1],
        "scrolls": [2, 3],
        "keystrokes": [{"t": 1}, {"t": 2.5}],
        "browser": {
            "webdriver": True,
            "screen_width": 10,
            "screen_height": 5,
            "touch_supported": True,
            "plugins_length": -4,
        },
    },
    {"browser": {"screen_width": math.nan}},
]


@pytest.mark.parametrize("telemetry", EXAMPLES)
def test_keys_order_and_types(telemetry):
    features = extract(telemetry)
    assert type(features) is dict
    assert list(features) == list(DEFAULTS) == list(FEATURE_KEYS)
    for key, value in features.items():
        assert type(value) is type(DEFAULTS[key]), key


@pytest.mark.parametrize("telemetry", [None, {}, [], "a string", {"mouse_movements": None, "browser": None}])
def test_defaults_for_input_without_content(telemetry):
    assert_features(extract(telemetry), DEFAULTS)


def test_every_call_returns_a_new_dictionary():
    first, second = extract({}), extract({})
    assert first == second and first is not second
    first["mouse_points"] = 99
    assert extract({})["mouse_points"] == 0


@pytest.mark.parametrize("count", [0, 1, 2])
def test_fewer_than_three_points_leave_the_trajectory_defaults(count):
    features = extract(movements(*[(k * 5.0, 1.0, k) for k in range(count)]))
    assert features["mouse_points"] == count
    assert_features(features, {key: DEFAULTS[key] for key in TRAJECTORY_KEYS})


def test_values_pass_through_unchanged():
    features = extract(
        {
            "browser": {"screen_width": -math.inf, "screen_height": 1, "plugins_length": -(2**63)},
            "clicks": [None] * 7,
            "scrolls": list(range(3)),
        }
    )
    assert features["screen_width"] == -math.inf
    assert (features["click_count"], features["scroll_count"], features["plugins_length"]) == (7, 3, -(2**63))


# --- keystroke rhythm -----------------------------------------------------------------


@pytest.mark.parametrize(
    "times, count, mean, variance",
    [
        ([], 0, 0.0, 0.0),
        ([42.0], 1, 0.0, 0.0),
        ([5.0, 5.0, 5.0], 3, 0.0, 0.0),
        ([10.0, 30.0], 2, 20.0, 0.0),
        ([0.0, 10.0, 30.0], 3, 15.0, 25.0),
        ([30.0, 0.0, 10.0], 3, 15.0, 25.0),
        ([250.0, 0.0, 100.0, 100.0], 4, 125.0, 625.0),
        ([-0.0, 0.0, 4.0], 3, 4.0, 0.0),
    ],
)
def test_key_intervals(times, count, mean, variance):
    features = extract({"keystrokes": [{"t": t} for t in times]})
    assert_features(features, {"key_count": count, "key_interval_avg": mean, "key_interval_var": variance})


def test_huge_key_gaps_overflow_as_they_are():
    features = extract({"keystrokes": [{"t": -1.7e308}, {"t": 1.7e308}, {"t": 1.71e308}]})
    assert features["key_interval_avg"] == math.inf and math.isnan(features["key_interval_var"])


# --- trajectory kinematics --------------------------------------------------------------

FOUR = [(0, 0, 0), (1, 0, 1), (3, 0, 2), (6, 0, 4)]
NINE = [(0, 0, 0), (1, 0, 1), (3, 0, 2), (4, 0, 3), (6, 0, 4), (7, 0, 5), (9, 0, 6), (10, 0, 7), (12, 0, 8)]


@pytest.mark.parametrize(
    "telemetry, expected",
    [
        (
            movements((0, 0, 0), (3, 4, 10), (6, 8, 20)),
            {
                "total_distance": 10.0,
                "straightness": 1.0,
                "avg_velocity": 0.5,
                "max_velocity": 0.5,
                "velocity_var": 0.0,
                "avg_acceleration": 0.0,
                "acceleration_var": 0.0,
                "avg_jerk": 0.0,
                "dt_var": 0.0,
                "terminal_decel_ratio": 1.0,
                "submovement_count": 1,
            },
        ),
        (
            movements(*FOUR),
            {
                "total_distance": 6.0,
                "straightness": 1.0,
                "avg_velocity": 1.5,
                "max_velocity": 2.0,
                "velocity_var": pytest.approx(1 / 6, rel=1e-15),
                "dt_var": pytest.approx(2 / 9, rel=1e-15),
                "avg_acceleration": 0.375,
                "acceleration_var": 0.390625,
                "avg_jerk": 0.625,
                "terminal_decel_ratio": 0.75,
                "submovement_count": 1,
            },
        ),
        (
            movements(*reversed(FOUR)),
            {
                "total_distance": 6.0,
                "avg_velocity": 1.5,
                "max_velocity": 2.0,
                "avg_acceleration": 0.375,
                "acceleration_var": 0.390625,
                "avg_jerk": 0.625,
                "terminal_decel_ratio": 0.75,
            },
        ),
        (
            movements(*[(4, 4, k) for k in range(6)]),
            {
                "total_distance": 0.0,
                "straightness": 1.0,
                "avg_velocity": 0.0,
                "max_velocity": 0.0,
                "velocity_var": 0.0,
                "avg_acceleration": 0.0,
                "acceleration_var": 0.0,
                "avg_jerk": 0.0,
                "terminal_decel_ratio": 1.0,
                "submovement_count": 0,
            },
        ),
        # A path of exactly 0.0001 is not longer than the minimum; 0.00012 is.
        (movements((0, 0, 0), (0.00005, 0, 1), (0, 0, 2)), {"straightness": 1.0}),
        (movements((0, 0, 0), (0.00006, 0, 1), (0, 0, 2)), {"straightness": 0.0}),
        # A time step of 0.05 counts as 0.1 everywhere.
        (
            movements((0, 0, 0), (1, 0, 0.05), (2, 0, 1.05)),
            {
                "max_velocity": 10.0,
                "avg_velocity": 5.5,
                "avg_acceleration": -9.0,
                "dt_var": pytest.approx(0.2025, rel=1e-14),
            },
        ),
    ],
)
def test_trajectory_examples(telemetry, expected):
    assert_features(extract(telemetry), expected)


def test_equal_times_keep_their_input_order():
    a, b, c = (0, 0, 5), (3, 4, 5), (3, 4, 6)
    # a then b: segments of 5 and 0; b then a: 5 and 5. Both pairs use a step of 0.1.
    first = extract(movements(c, a, b))
    second = extract(movements(c, b, a))
    assert (first["total_distance"], first["max_velocity"]) == (5.0, 50.0)
    assert (second["total_distance"], second["max_velocity"]) == (10.0, 50.0)


def test_only_the_300_earliest_points_are_analysed():
    early = [(float(k), 0.0, float(k)) for k in range(300)]
    late = [(1e6, 1e6, 1000.0 + k) for k in range(25)]
    mixed = late[:10] + early[:150] + late[10:] + early[150:]
    features = extract(movements(*mixed))
    assert features["mouse_points"] == 325
    assert features == {**extract(movements(*early)), "mouse_points": 325}


# --- submovements and terminal deceleration --------------------------------------------


@pytest.mark.parametrize(
    "steps, ratio, count",
    [
        # speeds 1, 2, 1, 2, 1, 2, 1, 2: the final 2 is not interior
        ([(1, 1), (2, 1)] * 4, 0.75, 3),
        # a flat top is no peak
        ([(1, 1), (2, 1), (2, 1), (1, 1)], 0.5, 1),
        # steadily rising: no interior peak, the last speed is the peak
        ([(k, 1) for k in range(1, 8)], 1.0, 1),
        # 3 / 10 is exactly 0.15 × 2.0, the threshold for the peak 2.0, and
        # counts; 0.29 does not
        ([(0, 1), (3, 10), (0, 1), (2, 1), (0, 1)], 0.0, 2),
        ([(0, 1), (29, 100), (0, 1), (2, 1), (0, 1)], 0.0, 1),
        # a peak speed of exactly 0.00001 is a resting pointer
        ([(1, 100000), (0, 100000)], 1.0, 0),
        ([(2, 100000), (0, 100000)], 0.0, 1),
    ],
)
def test_submovement_examples(steps, ratio, count):
    features = extract(along_x(*steps))
    assert_features(features, {"terminal_decel_ratio": ratio, "submovement_count": count})


# --- spectrum ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "telemetry, purity, entropy",
    [
        # fewer than 8 speeds
        (along_x(*[(k % 3 + 1, 1) for k in range(7)]), 0.0, 1.0),
        # constant pace: no power outside the constant bin
        (movements(*[(k, 0, k) for k in range(9)]), 0.0, 1.0),
        # speeds alternating 1, 2: all power in the last bin
        (movements(*NINE), pytest.approx(1.0, abs=1e-12), pytest.approx(0.0, abs=1e-12)),
    ],
)
def test_spectrum_examples(telemetry, purity, entropy):
    assert_features(extract(telemetry), {"spectral_purity": purity, "spectral_entropy": entropy})


def test_spectrum_of_a_speed_ramp():
    # x = k², t = k: speeds 1, 3, 5, ... 15
    features = extract(movements(*[(k * k, 0, k) for k in range(9)]))
    assert round(features["spectral_purity"], 6) == 0.620766
    assert round(features["spectral_entropy"], 6) == 0.766398
