"""Seeded telemetry for the benchmarks: human-like and scripted-bot sessions."""

from __future__ import annotations

import random

SCREEN = {
    "webdriver": False,
    "screen_width": 1920,
    "screen_height": 1080,
    "touch_supported": False,
    "plugins_length": 5,
}


def _keystrokes(rng: random.Random, count: int, start: float) -> list[dict]:
    keys = []
    t = start
    for _ in range(count):
        t += max(20.0, rng.gauss(160.0, 60.0))
        down = round(t, 1)
        keys.append({"key": rng.choice("etaoinshrdlu "), "down": down, "up": round(down + rng.uniform(60, 120), 1)})
    return keys


def human_telemetry(points: int, seed: int = 7) -> dict:
    """Minimum-jerk submovements between random targets, with pointer noise and
    millisecond timestamps that jitter around a 16 ms frame."""
    rng = random.Random(seed)
    movements: list[dict] = []
    x, y = rng.uniform(100, 1800), rng.uniform(100, 1000)
    t = rng.uniform(0.0, 40.0)
    while len(movements) < points:
        target_x, target_y = rng.uniform(0, 1920), rng.uniform(0, 1080)
        steps = rng.randint(12, 50)
        for step in range(1, steps + 1):
            tau = step / steps
            shape = 10 * tau**3 - 15 * tau**4 + 6 * tau**5
            t += max(1.0, rng.gauss(16.0, 3.0))
            movements.append(
                {
                    "x": round(x + (target_x - x) * shape + rng.gauss(0, 0.8)),
                    "y": round(y + (target_y - y) * shape + rng.gauss(0, 0.8)),
                    "t": round(t, 1),
                }
            )
            if len(movements) == points:
                break
        x, y = target_x, target_y
        t += rng.uniform(30, 400)
    return {
        "mouse_movements": movements,
        "keystrokes": _keystrokes(rng, 40, 0.0),
        "clicks": [{"x": rng.randint(0, 1920), "y": rng.randint(0, 1080), "t": rng.uniform(0, t)} for _ in range(6)],
        "scrolls": [{"dy": rng.choice([-120, 120]), "t": rng.uniform(0, t)} for _ in range(9)],
        "browser": dict(SCREEN),
    }


def bot_telemetry(points: int, seed: int = 11) -> dict:
    """Straight lines at constant speed, evenly spaced in time."""
    rng = random.Random(seed)
    start_x, start_y = rng.uniform(0, 500), rng.uniform(0, 500)
    movements = [{"x": start_x + 4.0 * i, "y": start_y + 2.0 * i, "t": 10.0 * i} for i in range(points)]
    return {
        "mouse_movements": movements,
        "keystrokes": [{"t": 50.0 * i} for i in range(40)],
        "clicks": [{"x": 1, "y": 1}],
        "scrolls": [],
        "browser": {**SCREEN, "webdriver": True, "plugins_length": 0},
    }


def decode_floor(telemetry: dict) -> dict:
    """The same telemetry with "t" removed from every movement: every element is
    read, none is kept, and no trajectory math runs."""
    floor = dict(telemetry)
    floor["mouse_movements"] = [{k: v for k, v in m.items() if k != "t"} for m in telemetry["mouse_movements"]]
    return floor
