"""The same features with NumPy: decode in Python, then array arithmetic; the
spectrum from cos/sin matrices cached per length."""

from __future__ import annotations

import math
from functools import cache

import numpy as np

from .python_features import extract_features as _python_features

TWO_PI = 6.283185307179586


@cache
def _dft_matrices(length: int):
    bins = np.arange(1, length // 2 + 1)[:, None]
    angle = (bins * np.arange(length)[None, :] % length) * (TWO_PI / length)
    return np.cos(angle), np.sin(angle)


def _decode_points(movements) -> np.ndarray:
    rows = []
    for item in movements:
        if isinstance(item, dict):
            try:
                row = (float(item["x"]), float(item["y"]), float(item["t"]))
            except (KeyError, TypeError, ValueError):
                continue
            rows.append(row)
    points = np.array(rows, dtype=float).reshape(-1, 3)
    return points[np.isfinite(points).all(axis=1)]


def extract_features(telemetry) -> dict:
    movements = telemetry.get("mouse_movements") if isinstance(telemetry, dict) else None
    # Everything but the trajectory is a handful of scalars: plain Python.
    features = _python_features(
        {k: v for k, v in telemetry.items() if k != "mouse_movements"} if isinstance(telemetry, dict) else {}
    )
    points = _decode_points(movements) if isinstance(movements, list) else np.empty((0, 3))
    features["mouse_points"] = len(points)
    if len(points) < 3:
        return features

    window = points[np.argsort(points[:, 2], kind="stable")][:300]
    deltas = np.diff(window, axis=0)
    lengths = np.sqrt(deltas[:, 0] ** 2 + deltas[:, 1] ** 2)
    steps = np.maximum(deltas[:, 2], 0.1)
    speeds = lengths / steps
    accelerations = np.diff(speeds) / steps[1:]
    jerks = np.diff(accelerations) / steps[2:]

    total = float(lengths.sum())
    direct = math.sqrt(float(window[-1, 0] - window[0, 0]) ** 2 + float(window[-1, 1] - window[0, 1]) ** 2)
    avg_v = float(speeds.mean())
    max_v = max(0.0, float(speeds.max()))
    features.update(
        total_distance=total,
        straightness=min(1.0, direct / total) if total > 0.0001 else 1.0,
        avg_velocity=avg_v,
        max_velocity=max_v,
        velocity_var=float(speeds.var()),
        avg_acceleration=float(accelerations.mean()),
        acceleration_var=float(accelerations.var()),
        avg_jerk=float(np.abs(jerks).mean()) if len(jerks) else 0.0,
        dt_var=float(steps.var()),
    )
    count = len(speeds)
    if max_v > 0.00001:
        tail = max(count // 4, 1)
        features["terminal_decel_ratio"] = float(speeds[-tail:].mean()) / max_v
        middle = speeds[1:-1]
        peaks = (middle > speeds[:-2]) & (middle > speeds[2:]) & (middle >= 0.15 * max_v)
        features["submovement_count"] = max(int(peaks.sum()), 1)
    if count >= 8:
        cos_matrix, sin_matrix = _dft_matrices(count)
        centred = speeds - avg_v
        power = (cos_matrix @ centred) ** 2 + (sin_matrix @ centred) ** 2
        total_power = float(power.sum())
        if total_power > 1e-9:
            share = power / total_power
            kept = share[share > 1e-12]
            features["spectral_purity"] = float(power.max()) / total_power
            features["spectral_entropy"] = float(-(kept * np.log2(kept)).sum()) / math.log2(len(power))
    return features
