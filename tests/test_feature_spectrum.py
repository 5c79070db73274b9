"""The native speed spectrum against the direct transform, written out term by
term in feature_model, on profiles of every analysed length."""

import math
import random

import pytest

import quelvar_core_rs as core
from feature_model import direct_power_spectrum, spectrum, speed_series

TOLERANCE = 1e-9


def telemetry_with_speeds(speeds):
    """Points one time unit apart along x, so that segment k has speed |speeds[k]|."""
    x, points = 0.0, [{"x": 0.0, "y": 0.0, "t": 0.0}]
    for k, speed in enumerate(speeds, start=1):
        x += speed
        points.append({"x": x, "y": 0.0, "t": float(k)})
    return {"mouse_movements": points}


def oracle(telemetry):
    """The model's spectral pair, from exactly the speeds the module sees."""
    points = [(m["x"], m["y"], m["t"]) for m in telemetry["mouse_movements"]]
    _, _, _, v = speed_series(points)
    average = 0.0
    for speed in v:
        average += speed
    return spectrum(v, average / len(v))


def profile(kind, length, rng):
    if kind == "uniform":
        return [rng.uniform(0.0, 50.0) for _ in range(length)]
    if kind == "tone":
        # One dominant bin over faint noise whose level is drawn so that the
        # other bins' shares fall on both sides of the entropy's 1e-12 cut.
        f = rng.randint(1, length // 2)
        noise = 10.0 ** rng.uniform(-7, -4)
        return [3.0 + math.cos(2 * math.pi * f * k / length) + rng.uniform(0, noise) for k in range(length)]
    if kind == "bursts":
        return [rng.choice([0.0, 0.0, 0.0, rng.uniform(0, 1e4)]) for _ in range(length)]
    if kind == "drift":
        return [1e6 + k * 0.25 + rng.gauss(0, 1e-3) for k in range(length)]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["uniform", "tone", "bursts", "drift"])
def test_every_length_matches_the_direct_transform(kind):
    rng = random.Random(f"spectrum-{kind}")
    worst = 0.0
    for length in range(8, 300):
        telemetry = telemetry_with_speeds(profile(kind, length, rng))
        got = core.extract_features_rs(telemetry)
        want = oracle(telemetry)
        for value, expected in zip((got["spectral_purity"], got["spectral_entropy"]), want, strict=True):
            worst = max(worst, abs(value - expected))
            assert abs(value - expected) <= TOLERANCE, (kind, length, value, expected)
    print(f"{kind}: largest difference from the direct transform {worst:.3g}")


@pytest.mark.parametrize("length", [8, 9, 16, 17, 150, 298, 299])
def test_flat_spectrum_gives_purity_one_over_k_and_entropy_one(length):
    # An impulse has the same power in every non-constant bin.
    features = core.extract_features_rs(telemetry_with_speeds([8.0] + [0.0] * (length - 1)))
    assert features["spectral_purity"] == pytest.approx(1 / (length // 2), abs=1e-12)
    assert features["spectral_entropy"] == pytest.approx(1.0, abs=1e-12)


def test_oracle_is_the_direct_transform():
    # The oracle itself: a pure tone at bin 3 of 12 samples puts (L/2)² into
    # that bin and nothing elsewhere.
    c = [math.cos(2 * math.pi * 3 * k / 12) for k in range(12)]
    power = direct_power_spectrum(c, 0.0)
    assert power[2] == pytest.approx(36.0)
    assert max(power[:2] + power[3:]) < 1e-20
