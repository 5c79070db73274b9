"""What a Python developer would write for the 24 features: plain Python,
one function, the standard library only."""

from __future__ import annotations

import math
from itertools import pairwise

TWO_PI = 6.283185307179586


def _number(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None if not isinstance(value, bool) else float(value)
    value = float(value)
    return value if math.isfinite(value) else None


def _mean_var(values):
    n = len(values)
    mean = sum(values) / n
    return mean, sum((v - mean) ** 2 for v in values) / n


def extract_features(telemetry) -> dict:
    if not isinstance(telemetry, dict):
        telemetry = {}
    browser = telemetry.get("browser")
    if isinstance(browser, dict):
        webdriver = browser.get("webdriver") is True
        width = browser.get("screen_width")
        width = float(width) if isinstance(width, (int, float)) else 0.0
        height = browser.get("screen_height")
        screen_valid = isinstance(height, (int, float)) and width > 0 and float(height) > 0
        touch = browser.get("touch_supported") is True
        plugins = browser.get("plugins_length")
        plugins = int(plugins) if isinstance(plugins, int) else 1
    else:
        webdriver, width, screen_valid, touch, plugins = False, 1024.0, True, False, 1
    clicks = telemetry.get("clicks")
    scrolls = telemetry.get("scrolls")

    key_times = []
    keystrokes = telemetry.get("keystrokes")
    if isinstance(keystrokes, list):
        for item in keystrokes[:150]:
            if isinstance(item, dict):
                for key in ("t", "down", "time"):
                    value = _number(item.get(key))
                    if value is not None:
                        key_times.append(value)
                        break
    key_avg = key_var = 0.0
    ordered_keys = sorted(key_times)
    gaps = [b - a for a, b in pairwise(ordered_keys) if b > a]
    if gaps:
        key_avg, key_var = _mean_var(gaps)

    points = []
    movements = telemetry.get("mouse_movements")
    if isinstance(movements, list):
        for item in movements:
            if isinstance(item, dict):
                x, y, t = _number(item.get("x")), _number(item.get("y")), _number(item.get("t"))
                if x is not None and y is not None and t is not None:
                    points.append((x, y, t))

    features = {
        "mouse_points": len(points),
        "total_distance": 0.0,
        "straightness": 1.0,
        "avg_velocity": 0.0,
        "max_velocity": 0.0,
        "velocity_var": 0.0,
        "avg_acceleration": 0.0,
        "acceleration_var": 0.0,
        "avg_jerk": 0.0,
        "dt_var": 0.0,
        "click_count": len(clicks) if isinstance(clicks, list) else 0,
        "key_count": len(key_times),
        "key_interval_avg": key_avg,
        "key_interval_var": key_var,
        "webdriver": webdriver,
        "screen_valid": screen_valid,
        "scroll_count": len(scrolls) if isinstance(scrolls, list) else 0,
        "terminal_decel_ratio": 1.0,
        "plugins_length": plugins,
        "touch_supported": touch,
        "screen_width": width,
        "spectral_purity": 0.0,
        "spectral_entropy": 1.0,
        "submovement_count": 0,
    }
    if len(points) < 3:
        return features

    window = sorted(points, key=lambda p: p[2])[:300]
    lengths, steps = [], []
    for (x0, y0, t0), (x1, y1, t1) in pairwise(window):
        lengths.append(math.sqrt((x1 - x0) ** 2 + (y1 - y0) ** 2))
        steps.append(max(t1 - t0, 0.1))
    speeds = [d / dt for d, dt in zip(lengths, steps, strict=True)]
    accelerations = [(speeds[i + 1] - speeds[i]) / steps[i + 1] for i in range(len(speeds) - 1)]
    jerks = [(accelerations[i + 1] - accelerations[i]) / steps[i + 2] for i in range(len(accelerations) - 1)]

    total = sum(lengths)
    (xa, ya, _), (xb, yb, _) = window[0], window[-1]
    direct = math.sqrt((xb - xa) ** 2 + (yb - ya) ** 2)
    features["total_distance"] = total
    features["straightness"] = min(1.0, direct / total) if total > 0.0001 else 1.0
    avg_v, var_v = _mean_var(speeds)
    max_v = max([0.0] + speeds)
    features.update(avg_velocity=avg_v, max_velocity=max_v, velocity_var=var_v, dt_var=_mean_var(steps)[1])
    features["avg_acceleration"], features["acceleration_var"] = _mean_var(accelerations)
    features["avg_jerk"] = sum(abs(j) for j in jerks) / len(jerks) if jerks else 0.0

    count = len(speeds)
    if max_v > 0.00001:
        tail = max(count // 4, 1)
        features["terminal_decel_ratio"] = sum(speeds[-tail:]) / tail / max_v
        peaks = sum(
            1
            for i in range(1, count - 1)
            if speeds[i] > speeds[i - 1] and speeds[i] > speeds[i + 1] and speeds[i] >= 0.15 * max_v
        )
        features["submovement_count"] = max(peaks, 1)

    if count >= 8:
        centred = [v - avg_v for v in speeds]
        bins = count // 2
        cos_table = [math.cos(TWO_PI * m / count) for m in range(count)]
        sin_table = [math.sin(TWO_PI * m / count) for m in range(count)]
        power = []
        for f in range(1, bins + 1):
            re = im = 0.0
            for k, c in enumerate(centred):
                m = k * f % count
                re += c * cos_table[m]
                im -= c * sin_table[m]
            power.append(re * re + im * im)
        total_power = sum(power)
        if total_power > 1e-9:
            features["spectral_purity"] = max(power) / total_power
            entropy = 0.0
            for p in power:
                q = p / total_power
                if q > 1e-12:
                    entropy -= q * math.log2(q)
            features["spectral_entropy"] = entropy / math.log2(bins)
    return features
