"""Rules that hold on any human population: each is a reason code and an action.

A rule may ban only where its false-positive rate, measured on every human
set of the evaluation (bench/evaluation/evaluate.py: the Balabit segments, and
cursory's and smart-mouse's recordings, each raw and re-stamped through the
browser-like capture) is at most 0.1 %; otherwise it may only challenge. Every
check is one scan over the per-move lists.

Each move is judged twice: on its plain figures (the line through its ends,
the variation of all its steps), and on its robust ones, which drop a tenth
of its points (line_deviation from its median-direction line, line_extent
along it, step_spread of the middle steps), so that one or a handful of
stray points cannot clear a line. The whole path is judged as one more move,
so that a line cut by pauses into moves too short to judge is still a line.
Figures that are not finite (coordinates that overflow the arithmetic) refuse
the post ("malformed_moves", no ban) rather than skip the move.

Thresholds were chosen on the moves of at least 20 points in those sets; the
figures quoted are that measurement's.
"""

from __future__ import annotations

from collections.abc import Mapping
from operator import itemgetter
from typing import Any

__all__ = [
    "BAN",
    "REFUSE",
    "CHALLENGE",
    "RULES",
    "MIN_POINTS",
    "STRAIGHT_TOLERANCE",
    "MIN_CHORD",
    "STEADY_STEP_CV",
    "ANY_PACE_CHORD",
    "JITTER_SPREAD",
    "JITTER_EXCESS",
    "MIN_STEPS_CHORD",
    "EVEN_STEP_CV",
    "NEAR_EVEN_STEP_CV",
    "ROBUST_TOLERANCE",
    "ROBUST_STEADY_STEP_CV",
    "ROBUST_EVEN_STEP_CV",
    "EVIDENCE_MIN_POINTS",
    "EVIDENCE_MIN_EXTENT",
    "EVIDENCE_MIN_KEYS",
    "EVIDENCE_MIN_SCROLLS",
    "check",
    "evidence",
    "malformed",
]

BAN = "ban"
REFUSE = "refuse"
CHALLENGE = "challenge"

# Reason code -> what it may do, in the order `check` reports them.
RULES: dict[str, str] = {
    "webdriver": BAN,
    "malformed_moves": REFUSE,
    "straight_line": BAN,
    "jittered_line": BAN,
    "even_steps": BAN,
    "near_even_steps": CHALLENGE,
    "no_evidence": CHALLENGE,
}

# A move shorter than this proves nothing about its shape or steps: a few
# points are straight or even by chance.
MIN_POINTS = 20
# Largest distance of any point from the line through the move's ends. Whole
# pixels put a computed line's points up to 0.71 px off the true line, and the
# rounded ends tilt the line itself by as much again: constant-speed straight
# bots through the capture measured up to 1.16 px (the long moves, where the
# tilt has room), so 1.0 px let 0.7 % of their sessions of >= 20 points a move
# escape.
STRAIGHT_TOLERANCE = 1.5
# Lines are judged only when the ends are this far apart. Re-stamping coarse
# recordings draws straight lines between samples (balabit/captured: a move
# within 1.5 px of straight over 200 px in 0.30 % of sessions; cursory's raw
# recordings 0.042 %), but at a pace that changes from sample to sample.
MIN_CHORD = 200.0
# ...so a line at most this uneven in its steps is a bot's: straight within the
# tolerance and this steady, balabit/captured 0.029 %, every other human set
# 0; the straight bots' steps, one or two 10 ms jumps a frame, measured 0.23
# to 0.43. A straight line at any pace is a bot's from ANY_PACE_CHORD
# (balabit/captured, within the tolerance from 300 px at any pace: 0.086 % of
# sessions, 0.072 % beyond those the steady and jittered lines flag; from
# 500 px, none beyond them).
STEADY_STEP_CV = 0.5
ANY_PACE_CHORD = 500.0
# A line with noise added to each point: its farthest point stays within this
# share of the chord (jittered straight bots at most 0.022, 95 % under 0.011),
# while the noise lengthens the path far more than any smooth bow of that
# height would. A bow of height h adds about 8 h^2 / (3 chord) to the path,
# so (path_length - chord) * chord / max_deviation^2 is about 2.7 for a bow;
# the re-stamped coarse recordings' steady, near-straight moves mostly 3 to
# 20 and the jittered bots at least 24 (1 % under 43). From 30, with the steadiness
# above: balabit/captured 0.058 %, every other human set 0; all line rules
# together 0.072 %.
JITTER_SPREAD = 0.02
JITTER_EXCESS = 30.0
# Coefficient of variation of the segment lengths within one move (at least
# MIN_STEPS_CHORD across): a browser samples every frame, so even steps are an
# even pace. The lowest a human move reached was 0.150 (balabit/captured; the
# lowest of a hand recorded per frame, cursory's, 0.358): below 0.12 bans, no
# human set flagged; up to 0.20 challenges (balabit/captured 0.029 %).
MIN_STEPS_CHORD = 200.0
EVEN_STEP_CV = 0.12
NEAR_EVEN_STEP_CV = 0.20
assert MIN_STEPS_CHORD <= MIN_CHORD <= ANY_PACE_CHORD  # check() looks at no move below the smallest
assert NEAR_EVEN_STEP_CV < STEADY_STEP_CV

# The whole path's figures as check() reads each move's.
_WHOLE = (
    "points",
    "chord",
    "max_deviation",
    "step_cv",
    "path_length",
    "line_extent",
    "line_deviation",
    "step_spread",
)

# The per-move lists malformed() sums where the extension's own "finite" is
# missing: every figure the extension returns.
FIGURES = (
    "points",
    "duration",
    "path_length",
    "chord",
    "max_deviation",
    "step_cv",
    "speed_cv",
    "dt_cv",
    "peak_speed_at",
    "turn_sum",
    "line_deviation",
    "line_extent",
    "step_spread",
)

# The robust figures (moves of >= MIN_POINTS points, and the whole path).
# line_deviation is taken from a line fitted through the points' median
# offset, not through the ends, so a computed line in whole pixels stays
# within about 0.5 px: the constant-speed straight bots measured at most
# 0.506 px through the capture and 0.463 px through Chromium. Within 0.6 px
# over a line_extent of 200 px, at a trimmed step spread <= 0.35 (those bots'
# 0.236 to 0.268; their plain step_cv is 0.26 to 0.29) or over 500 px at any
# pace: balabit/captured 0.029 % of sessions, every other human set 0 (the
# plain and robust straight rules together: balabit/captured 0.043 %). At
# 0.75 px and a spread of 0.5 the robust rule alone flagged 0.058 %.
ROBUST_TOLERANCE = 0.6
ROBUST_STEADY_STEP_CV = 0.35
# step_spread is lower than step_cv for the same steps (the extremes are
# dropped): the lowest a human move of >= 200 px reached was 0.069
# (balabit/captured; cursory's recordings 0.199, as recorded), so spread
# <= 0.06 bans (no human set flagged) and <= 0.10 challenges, the spread
# scaled by EVEN_STEP_CV / ROBUST_EVEN_STEP_CV onto the plain thresholds
# (balabit/captured 0.014 %). Median absolute deviation over the median was
# measured first and dropped: the re-stamped recordings draw runs of equal
# steps, so it is 0 for humans as often as for bots.
ROBUST_EVEN_STEP_CV = 0.06

# Evidence: enough to judge a session at all (see evidence()). A path of
# MIN_POINTS points, as the rules need, spanning 50 px along its robust line.
# Human sessions that meet it (one session is one recorded segment or move,
# a conservative unit: a page visit holds many): balabit raw 97.2 % (user7
# 92.9 %, user12 98.7, user16 98.7, user21 98.1, user29 98.2), balabit
# captured 97.2 % (user7 91.4 %, the others 98.3 to 99.1), cursory's
# recordings 99.7 % raw / 98.8 % captured, smart-mouse's 88 recordings (one
# short move each) 54.5 % / 43.2 %. At 100 px balabit fell to 90 % (user7
# 78 %). The key and scroll counts are not measured: no human set here
# carries keystrokes or scrolls. Without evidence a session is challenged,
# never banned.
EVIDENCE_MIN_POINTS = MIN_POINTS
EVIDENCE_MIN_EXTENT = 50.0
EVIDENCE_MIN_KEYS = 10
EVIDENCE_MIN_SCROLLS = 3


def malformed(moves: Mapping[str, Any]) -> bool:
    """True if any figure of any move (or of the whole path) is not finite:
    a client's coordinates overflowed the arithmetic, and a rule that skipped
    the move would let whatever it hides through. The extension says so in
    moves["finite"]; without it, one sum per list: a NaN or an infinity (or
    finite figures near 1e308, no screen's) makes it so."""
    finite = moves.get("finite")
    if finite is not None:  # the extension's own answer
        return finite is not True
    total = 0.0
    for name in FIGURES:
        total += sum(moves.get(name, ()))
    whole = moves.get("whole")
    if whole:
        total += sum(whole.values())
    return total - total != 0.0


def _line(c: float, dev: float, cv: float, path: float) -> tuple[bool, bool]:
    """(straight, jittered) of one move's figures: c its span, dev its
    distance from its line, cv its step spread."""
    if c < MIN_CHORD:
        return False, False
    if dev <= STRAIGHT_TOLERANCE and (cv <= STEADY_STEP_CV or c >= ANY_PACE_CHORD):
        return True, False
    jittered = cv <= STEADY_STEP_CV and dev <= JITTER_SPREAD * c and (path - c) * c >= JITTER_EXCESS * dev * dev
    return False, jittered


def _robust_line(extent: float, dev: float, cv: float) -> bool:
    """A line in the robust figures, a few stray points dropped."""
    if extent < MIN_CHORD or dev > ROBUST_TOLERANCE:
        return False
    return cv <= ROBUST_STEADY_STEP_CV or extent >= ANY_PACE_CHORD


def check(features: Mapping[str, Any], moves: Mapping[str, Any], min_points: int = MIN_POINTS) -> list[str]:
    """The reason codes of the rules this session breaks, in RULES order; a
    move is judged from `min_points` points (fewer than the default has not
    been measured), and so is the whole path taken as one move (moves["whole"]),
    so that a line cut into short moves is still a line. Each move is judged
    on its plain figures (chord, max_deviation, step_cv) and on its robust
    ones (line_extent, line_deviation, step_spread), which a few stray points
    do not move. Figures that are not finite give "malformed_moves" and no
    move rule."""
    reasons: list[str] = []
    if features.get("webdriver") is True or moves.get("webdriver") is True:
        reasons.append("webdriver")
    if malformed(moves):
        reasons.append("malformed_moves")
        return reasons
    points = moves.get("points") or ()
    judged: list[tuple[Any, ...]] = []
    if points and max(points) >= min_points:
        judged.extend(
            zip(
                points,
                moves["chord"],
                moves["max_deviation"],
                moves["step_cv"],
                moves["path_length"],
                moves["line_extent"],
                moves["line_deviation"],
                moves["step_spread"],
                strict=True,
            )
        )
    whole = moves.get("whole")
    if whole and len(points) > 1:
        judged.append(itemgetter(*_WHOLE)(whole))
    straight = jittered = False
    steps = NEAR_EVEN_STEP_CV + 1.0
    for count, c, dev, cv, path_length, ext, rdev, rcv in judged:
        # No rule looks at a move below MIN_STEPS_CHORD across, either way.
        if count < min_points or (c < MIN_STEPS_CHORD and ext < MIN_STEPS_CHORD):
            continue
        line, jitter = _line(c, dev, cv, path_length)
        line = line or _robust_line(ext, rdev, rcv)
        straight = straight or line
        jittered = jittered or (jitter and not line)
        if c >= MIN_STEPS_CHORD and cv < steps:
            steps = cv
        if ext >= MIN_STEPS_CHORD and rcv * EVEN_STEP_CV / ROBUST_EVEN_STEP_CV < steps:
            steps = rcv * EVEN_STEP_CV / ROBUST_EVEN_STEP_CV
    if straight:
        reasons.append("straight_line")
    if jittered:
        reasons.append("jittered_line")
    if steps <= EVEN_STEP_CV:
        reasons.append("even_steps")
    elif steps <= NEAR_EVEN_STEP_CV:
        reasons.append("near_even_steps")
    if not reasons and not evidence(features, moves):
        reasons.append("no_evidence")
    return reasons


def evidence(features: Mapping[str, Any], moves: Mapping[str, Any]) -> bool:
    """True when the session carries enough to be judged: a pointer path of at
    least EVIDENCE_MIN_POINTS points spanning EVIDENCE_MIN_EXTENT px (its
    robust line_extent, taken as one move), or EVIDENCE_MIN_KEYS keystrokes,
    or EVIDENCE_MIN_SCROLLS scroll events."""
    whole = moves.get("whole")
    if whole and whole["points"] >= EVIDENCE_MIN_POINTS and whole["line_extent"] >= EVIDENCE_MIN_EXTENT:
        return True
    return bool(
        features.get("key_count", 0) >= EVIDENCE_MIN_KEYS or features.get("scroll_count", 0) >= EVIDENCE_MIN_SCROLLS
    )
