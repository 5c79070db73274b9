"""Writes the two sample sessions beside this script: human.json, a person
moving, clicking, scrolling and typing, and bot.json, a scripted browser.

Both are generated once from a fixed seed, so running this again rewrites the
same files. Times are in milliseconds, positions in CSS pixels."""

import json
import random
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
SEED = 20240611


def minimum_jerk(s: float) -> float:
    """Fraction of the way covered at fraction s of the movement time."""
    return 10 * s**3 - 15 * s**4 + 6 * s**5


def human_session(rng: random.Random) -> dict[str, Any]:
    points: list[dict[str, float]] = []
    t = 0.0
    x, y = 640.0, 400.0
    targets = [(rng.uniform(80, 1800), rng.uniform(80, 1000)) for _ in range(8)]
    for tx, ty in targets:
        # A fast primary movement that falls short or overshoots, then a slow
        # corrective one: two speed peaks per target.
        reach = rng.uniform(0.88, 1.08)
        for goal, duration in (
            ((x + (tx - x) * reach, y + (ty - y) * reach), rng.uniform(380, 650)),
            ((tx, ty), rng.uniform(160, 260)),
        ):
            sx, sy = x, y
            start = t
            while t - start < duration:
                t += rng.gauss(16.7, 2.5)  # display-rate sampling with jitter
                s = min((t - start) / duration, 1.0)
                f = minimum_jerk(s)
                x = sx + (goal[0] - sx) * f + rng.gauss(0, 0.6)
                y = sy + (goal[1] - sy) * f + rng.gauss(0, 0.6)
                points.append({"x": round(x, 1), "y": round(y, 1), "t": round(t, 1)})
        t += rng.uniform(120, 400)  # dwell before the next target
    keys, kt = [], t
    for _ in range(28):
        kt += max(40.0, rng.gauss(185, 60))
        keys.append({"t": round(kt, 1), "key": "k"})
    return {
        "mouse_movements": points,
        "clicks": [{"t": round(rng.uniform(0, t), 1)} for _ in range(6)],
        "scrolls": [{"t": round(rng.uniform(0, t), 1), "dy": rng.choice([-120, 120])} for _ in range(9)],
        "keystrokes": keys,
        "browser": {
            "webdriver": False,
            "screen_width": 1920,
            "screen_height": 1080,
            "touch_supported": False,
            "plugins_length": 5,
        },
    }


def bot_session(rng: random.Random) -> dict[str, Any]:
    points: list[dict[str, float]] = []
    t = 0.0
    x, y = 0, 0
    # Straight lines at one constant speed, 10 px every 10 ms exactly, with a
    # small random pause between the legs.
    for (dx, dy), legs in (((8, 6), 50), ((10, 0), 42), ((0, 10), 34)):
        for _ in range(legs):
            t += 10.0
            x, y = x + dx, y + dy
            points.append({"x": x, "y": y, "t": t})
        t += 10.0 * rng.randint(0, 3)
    keys = [{"t": t + 50.0 * (k + 1), "key": "k"} for k in range(28)]
    return {
        "mouse_movements": points,
        "clicks": [{"t": t}],
        "scrolls": [],
        "keystrokes": keys,
        "browser": {
            "webdriver": True,
            "screen_width": 0,
            "screen_height": 0,
            "touch_supported": False,
            "plugins_length": 0,
        },
    }


def to_json(session: dict[str, Any]) -> str:
    """One top-level key per line and one list item per line, like a log."""
    lines = []
    for key, value in session.items():
        if isinstance(value, list) and value:
            items = ",\n".join("  " + json.dumps(item) for item in value)
            lines.append(f" {json.dumps(key)}: [\n{items}\n ]")
        else:
            lines.append(f" {json.dumps(key)}: {json.dumps(value)}")
    return "{\n" + ",\n".join(lines) + "\n}\n"


def main() -> None:
    rng = random.Random(SEED)
    for name, session in (("human", human_session(rng)), ("bot", bot_session(rng))):
        (HERE / f"{name}.json").write_text(to_json(session))


if __name__ == "__main__":
    main()
