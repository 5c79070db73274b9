"""The example's own callback, after the guard's scoring.

Every telemetry post is judged first by the guard's scoring (the per-move
rules of quelvar_guard.scoring, and a calibrated model when
QUELVAR_SCORING_MODEL names one); what it allows comes here. The callback sees
the 24 features and returns a Decision with the reasons its refusal sends
back. This one keeps a whole-session line rule (straightness over the first
300 points), measured by `make evaluate` as its "old" column: it catches
almost nothing the per-move rules miss. A service puts its own signals here
(and logs the features to calibrate a model on its own traffic).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from quelvar_guard import Decision

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict

BAN_SECONDS = 600

# A scripted pointer moves along a computed line, so start-to-end distance over
# path length is 1 up to rounding. A hand never does that over many samples:
# the arm pivots at wrist and elbow, so even a quick direct reach curves, and
# the sensor adds jitter of its own: far more than the 0.1 % of bend this
# threshold leaves. Fewer points prove nothing (two points are always "straight", and no
# movement at all reports the neutral 1.0), hence the minimum count.
STRAIGHT_LINE = 0.999
MIN_POINTS_FOR_SHAPE = 20


def score(features: FeatureDict) -> Decision:
    # navigator.webdriver is set by the browser itself when automation drives
    # it (WebDriver, or a headless browser under remote control). A person's
    # browser reports false. A careful bot hides the flag, so its absence
    # proves nothing; its presence proves automation.
    if features["webdriver"]:
        return Decision.ban(BAN_SECONDS, reasons=("webdriver",))
    if features["mouse_points"] >= MIN_POINTS_FOR_SHAPE and features["straightness"] >= STRAIGHT_LINE:
        return Decision.ban(BAN_SECONDS, reasons=("straight_line",))
    # Everything else is allowed: a false ban locks a customer out for ten
    # minutes, while a bot let through here still spends one token per
    # request, must post telemetry again for more, and is banned as soon as
    # it shows either signal.
    return Decision.allow()
