"""Rules that hold on any human population: each is a reason code and an action.

A rule may ban only where its false-positive rate, measured on every human
set the evaluation has (bench/evaluation/evaluate.py: each population, raw and
re-stamped through browser-like capture), is at most 0.1 %; otherwise it may
only challenge. Every check is a scan over the per-move lists.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

__all__ = ["RULES", "MIN_POINTS", "STRAIGHT_TOLERANCE", "MIN_CHORD", "check"]

BAN = "ban"
CHALLENGE = "challenge"

# Reason code -> what it may do. One entry per rule; `check` yields these codes.
RULES: dict[str, str] = {
    "webdriver": BAN,
    "straight_line": BAN,
    "constant_speed": BAN,
    "regular_steps": CHALLENGE,
}

# A move shorter than this proves nothing about its shape or timing: a few
# points are straight or regular by chance.
MIN_POINTS = 20
# Whole-pixel rounding moves each point of a computed line up to half a pixel
# diagonal (0.71 px) off it; a hand's move of 20 points or more bends further
# on every human set measured.
STRAIGHT_TOLERANCE = 0.75
# A move of 20 points over a few pixels is a nudge, straight or not: judged
# only when its ends are this far apart.
MIN_CHORD = 50.0
# Coefficient of variation of segment speed within one move: a hand
# accelerates and slows down, so its speed varies by tens of per cent.
CONSTANT_SPEED_CV = 0.05
# Coefficient of variation of segment lengths (with the time steps as
# regular): identical steps, whatever their timing.
REGULAR_STEP_CV = 0.02


def check(features: Mapping[str, Any], moves: Mapping[str, Sequence[float]]) -> list[str]:
    """The reason codes of the rules this session breaks, in RULES order."""
    reasons: list[str] = []
    if features.get("webdriver") is True:
        reasons.append("webdriver")
    straight = constant = regular = False
    points = moves.get("points", ())
    if points and max(points) >= MIN_POINTS:
        chord, deviation = moves["chord"], moves["max_deviation"]
        speed_cv, step_cv = moves["speed_cv"], moves["step_cv"]
        for i, count in enumerate(points):
            if count < MIN_POINTS:
                continue
            if chord[i] >= MIN_CHORD:
                if deviation[i] <= STRAIGHT_TOLERANCE:
                    straight = True
                if speed_cv[i] <= CONSTANT_SPEED_CV:
                    constant = True
                if step_cv[i] <= REGULAR_STEP_CV:
                    regular = True
    if straight:
        reasons.append("straight_line")
    if constant:
        reasons.append("constant_speed")
    if regular:
        reasons.append("regular_steps")
    return reasons
