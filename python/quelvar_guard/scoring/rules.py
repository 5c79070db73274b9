"""Rules that hold on any human population: each is a reason code and an action.

A rule may ban only where its false-positive rate, measured on every human
set of the evaluation (bench/evaluation/evaluate.py: the Balabit segments, and
cursory's and smart-mouse's recordings, each raw and re-stamped through the
browser-like capture) is at most 0.1 %; otherwise it may only challenge. Every
check is one scan over the per-move lists.

Thresholds were chosen on the moves of at least 20 points in those sets; the
figures quoted are that measurement's.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["BAN", "CHALLENGE", "RULES", "MIN_POINTS", "STRAIGHT_TOLERANCE", "MIN_CHORD", "MIN_STEPS_CHORD",
           "EVEN_STEP_CV", "NEAR_EVEN_STEP_CV", "check"]

BAN = "ban"
CHALLENGE = "challenge"

# Reason code -> what it may do, in the order `check` reports them.
RULES: dict[str, str] = {
    "webdriver": BAN,
    "straight_line": BAN,
    "even_steps": BAN,
    "near_even_steps": CHALLENGE,
}

# A move shorter than this proves nothing about its shape or steps: a few
# points are straight or even by chance.
MIN_POINTS = 20
# Largest distance of any point from the line through the move's ends. Whole
# pixels put a computed line's points up to 0.71 px off the true line, and the
# rounded ends tilt the line itself: constant-speed straight bots through the
# capture measured up to 1.16 px, 90 % under 0.87 px. A tolerance of 1.0 px
# catches 90 % of their sessions (0.75 px: 73 %).
STRAIGHT_TOLERANCE = 1.0
# Judged only when the ends are this far apart. Straight moves shorter than
# this do occur in human sets: re-stamping coarse recordings draws straight
# lines between samples (balabit/captured: 1.2 % of sessions at 50 px, 0.22 %
# at 200 px, 0.058 % at 300 px); a hand's own recordings never came within
# 2.2 px of straight over 300 px. Bots crossing a screen rarely move less.
MIN_CHORD = 300.0
# Coefficient of variation of the segment lengths within one move (at least
# MIN_STEPS_CHORD across): a browser samples every frame, so even steps are an
# even pace. The lowest a human move reached was 0.150 (balabit/captured; the
# lowest of a hand recorded per frame, cursory's, 0.358): below 0.12 bans, no
# human set flagged; up to 0.20 challenges (balabit/captured 0.029 %).
MIN_STEPS_CHORD = 200.0
EVEN_STEP_CV = 0.12
NEAR_EVEN_STEP_CV = 0.20
assert MIN_STEPS_CHORD <= MIN_CHORD  # check() looks at no move below the smaller


def check(features: Mapping[str, Any], moves: Mapping[str, Any], min_points: int = MIN_POINTS) -> list[str]:
    """The reason codes of the rules this session breaks, in RULES order; a
    move is judged from `min_points` points (fewer than the default has not
    been measured)."""
    reasons: list[str] = []
    if features.get("webdriver") is True:
        reasons.append("webdriver")
    points = moves.get("points")
    if not points or max(points) < min_points:
        return reasons
    straight = False
    steps = NEAR_EVEN_STEP_CV + 1.0
    chord, deviation, step_cv = moves["chord"], moves["max_deviation"], moves["step_cv"]
    for i, count in enumerate(points):
        if count >= min_points and chord[i] >= MIN_STEPS_CHORD:
            if chord[i] >= MIN_CHORD and deviation[i] <= STRAIGHT_TOLERANCE:
                straight = True
            if step_cv[i] < steps:
                steps = step_cv[i]
    if straight:
        reasons.append("straight_line")
    if steps <= EVEN_STEP_CV:
        reasons.append("even_steps")
    elif steps <= NEAR_EVEN_STEP_CV:
        reasons.append("near_even_steps")
    return reasons
