"""A small pure-Python model of the feature computations, the reference for
the differential tests.

Written for clarity, not speed: every series is a list, every sum is a loop
in index order (the builtin sum() compensates float rounding since Python
3.12, which the native code does not), every variance is two-pass and
population. The spectrum is the direct transform with one cos and one sin per
sample and bin, which the native code replaces by a table and must match to
1e-9.

The decoder here only understands plain data (dict, list, float, int, bool);
the rules for hooks and subclasses are tested against the module directly.
"""

import math
from itertools import pairwise

TWO_PI = 6.283185307179586
MAX_KEYSTROKE_ITEMS = 150
MAX_TRAJECTORY_POINTS = 300
MIN_TIME_STEP = 0.1
MIN_PATH_LENGTH = 0.0001
MIN_PEAK_SPEED = 0.00001
PEAK_FRACTION = 0.15
MIN_SPECTRUM_SPEEDS = 8
MIN_SPECTRAL_POWER = 1e-9
MIN_BIN_SHARE = 1e-12

FEATURE_KEYS = (
    "mouse_points",
    "total_distance",
    "straightness",
    "avg_velocity",
    "max_velocity",
    "velocity_var",
    "avg_acceleration",
    "acceleration_var",
    "avg_jerk",
    "dt_var",
    "click_count",
    "key_count",
    "key_interval_avg",
    "key_interval_var",
    "webdriver",
    "screen_valid",
    "scroll_count",
    "terminal_decel_ratio",
    "plugins_length",
    "touch_supported",
    "screen_width",
    "spectral_purity",
    "spectral_entropy",
    "submovement_count",
)


def ordered_sum(values):
    total = 0.0
    for value in values:
        total += value
    return total


def mean(values):
    return ordered_sum(values) / len(values)


def population_variance(values, centre):
    squares = 0.0
    for value in values:
        squares += (value - centre) * (value - centre)
    return squares / len(values)


# --- decoding of plain data -------------------------------------------------


def to_float(value):
    if isinstance(value, (int, float)):  # bool is an int
        try:
            return float(value)
        except OverflowError:
            return None
    return None


def to_int(value):
    if isinstance(value, int) and -(2**63) <= value < 2**63:
        return int(value)
    return None


def decode(telemetry):
    record = {
        "webdriver": False,
        "screen_width": 1024.0,
        "screen_valid": True,
        "touch_supported": False,
        "plugins_length": 1,
        "click_count": 0,
        "scroll_count": 0,
        "key_times": [],
        "points": [],
    }
    if not isinstance(telemetry, dict):
        return record
    browser = telemetry.get("browser")
    if isinstance(browser, dict):
        record["screen_width"] = 0.0
        record["screen_valid"] = False
        if isinstance(browser.get("webdriver"), bool):
            record["webdriver"] = browser["webdriver"]
        width = to_float(browser.get("screen_width"))
        if width is not None:
            record["screen_width"] = width
        height = to_float(browser.get("screen_height"))
        if height is not None:
            record["screen_valid"] = record["screen_width"] > 0 and height > 0
        if isinstance(browser.get("touch_supported"), bool):
            record["touch_supported"] = browser["touch_supported"]
        plugins = to_int(browser.get("plugins_length"))
        if plugins is not None:
            record["plugins_length"] = plugins
    for key, field in (("clicks", "click_count"), ("scrolls", "scroll_count")):
        if isinstance(telemetry.get(key), list):
            record[field] = len(telemetry[key])
    keystrokes = telemetry.get("keystrokes")
    if isinstance(keystrokes, list):
        for element in keystrokes[:MAX_KEYSTROKE_ITEMS]:
            if not isinstance(element, dict):
                continue
            for key in ("t", "down", "time"):
                time = to_float(element.get(key))
                if time is not None and math.isfinite(time):
                    record["key_times"].append(time)
                    break
    movements = telemetry.get("mouse_movements")
    if isinstance(movements, list):
        for element in movements:
            if not isinstance(element, dict):
                continue
            point = tuple(to_float(element.get(key)) for key in ("x", "y", "t"))
            if all(v is not None and math.isfinite(v) for v in point):
                record["points"].append(point)
    return record


# --- features ---------------------------------------------------------------


def key_interval_stats(times):
    if len(times) < 2:
        return 0.0, 0.0
    ordered = sorted(times)
    gaps = [b - a for a, b in pairwise(ordered) if b > a]
    if not gaps:
        return 0.0, 0.0
    average = mean(gaps)
    return average, population_variance(gaps, average)


def speed_series(points):
    """The speeds of the 300 earliest points, in time order."""
    p = sorted(points, key=lambda point: point[2])[:MAX_TRAJECTORY_POINTS]
    d, dt = [], []
    for (x0, y0, t0), (x1, y1, t1) in pairwise(p):
        dx, dy = x1 - x0, y1 - y0
        d.append(math.sqrt(dx * dx + dy * dy))
        difference = t1 - t0
        dt.append(MIN_TIME_STEP if difference < MIN_TIME_STEP else difference)
    return p, d, dt, [d[i] / dt[i] for i in range(len(d))]


def trajectory(points):
    p, d, dt, v = speed_series(points)
    segments = len(v)
    a = [(v[i + 1] - v[i]) / dt[i + 1] for i in range(segments - 1)]
    j = [(a[i + 1] - a[i]) / dt[i + 2] for i in range(segments - 2)]
    total = ordered_sum(d)
    straightness = 1.0
    if total > MIN_PATH_LENGTH:
        dx, dy = p[-1][0] - p[0][0], p[-1][1] - p[0][1]
        straightness = min(1.0, math.sqrt(dx * dx + dy * dy) / total)
    peak = 0.0
    for speed in v:
        if speed > peak:
            peak = speed
    average = mean(v)
    avg_acceleration = mean(a)
    return v, {
        "total_distance": total,
        "straightness": straightness,
        "avg_velocity": average,
        "max_velocity": peak,
        "velocity_var": population_variance(v, average),
        "avg_acceleration": avg_acceleration,
        "acceleration_var": population_variance(a, avg_acceleration),
        "avg_jerk": mean([abs(x) for x in j]) if j else 0.0,
        "dt_var": population_variance(dt, mean(dt)),
    }


def submovements(v, peak):
    if not peak > MIN_PEAK_SPEED:
        return 1.0, 0
    window = max(len(v) // 4, 1)
    ratio = (ordered_sum(v[len(v) - window :]) / window) / peak
    threshold = PEAK_FRACTION * peak
    count = 0
    for i in range(1, len(v) - 1):
        if v[i] > v[i - 1] and v[i] > v[i + 1] and v[i] >= threshold:
            count += 1
    return ratio, max(count, 1)


def direct_power_spectrum(v, average):
    """P[1] .. P[L/2] by the direct transform: one cos and one sin per term."""
    length = len(v)
    c = [speed - average for speed in v]
    power = []
    for f in range(1, length // 2 + 1):
        omega = (f * TWO_PI) / length
        re = im = 0.0
        for k in range(length):
            theta = k * omega
            re += c[k] * math.cos(theta)
            im += -c[k] * math.sin(theta)
        power.append(re * re + im * im)
    return power


def spectrum(v, average):
    if len(v) < MIN_SPECTRUM_SPEEDS:
        return 0.0, 1.0
    power = direct_power_spectrum(v, average)
    total = ordered_sum(power)
    if not total > MIN_SPECTRAL_POWER:
        return 0.0, 1.0
    peak = 0.0
    for p in power:
        if p > peak:
            peak = p
    entropy = 0.0
    for p in power:
        share = p / total
        if share > MIN_BIN_SHARE:
            entropy -= share * math.log2(share)
    return peak / total, entropy / math.log2(len(power))


def features(telemetry):
    record = decode(telemetry)
    out = dict.fromkeys(FEATURE_KEYS)
    out.update(
        mouse_points=len(record["points"]),
        total_distance=0.0,
        straightness=1.0,
        avg_velocity=0.0,
        max_velocity=0.0,
        velocity_var=0.0,
        avg_acceleration=0.0,
        acceleration_var=0.0,
        avg_jerk=0.0,
        dt_var=0.0,
        terminal_decel_ratio=1.0,
        spectral_purity=0.0,
        spectral_entropy=1.0,
        submovement_count=0,
    )
    if len(record["points"]) >= 3:
        v, kinematics = trajectory(record["points"])
        out.update(kinematics)
        out["terminal_decel_ratio"], out["submovement_count"] = submovements(v, kinematics["max_velocity"])
        out["spectral_purity"], out["spectral_entropy"] = spectrum(v, kinematics["avg_velocity"])
    average, variance = key_interval_stats(record["key_times"])
    out.update(
        click_count=record["click_count"],
        key_count=len(record["key_times"]),
        key_interval_avg=average,
        key_interval_var=variance,
        webdriver=record["webdriver"],
        screen_valid=record["screen_valid"],
        scroll_count=record["scroll_count"],
        plugins_length=record["plugins_length"],
        touch_supported=record["touch_supported"],
        screen_width=record["screen_width"],
    )
    return out
