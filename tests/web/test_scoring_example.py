"""examples/web_scoring.py: bans on the webdriver flag and on straight-line movement only;
the decisions a callback can make."""

from __future__ import annotations

import json

import pytest

import quelvar_core_rs as core
from examples.web_scoring import BAN_SECONDS, score
from quelvar_guard import Decision, LocalStore
from web_client import SESSIONS


def line(points, bend=0.0):
    # Along the x axis, the middle point pushed sideways by `bend` px.
    return [{"x": 10.0 * i, "y": bend if i == points // 2 else 0.0, "t": 16.0 * i} for i in range(points)]


WEBDRIVER = Decision.ban(BAN_SECONDS, reasons=["webdriver"])


@pytest.mark.parametrize(
    "telemetry, decision",
    [
        (json.loads((SESSIONS / "human.json").read_text()), Decision.allow()),
        (json.loads((SESSIONS / "bot.json").read_text()), WEBDRIVER),
        ({"browser": {"webdriver": True}}, WEBDRIVER),
        ({"mouse_movements": line(40)}, Decision.ban(BAN_SECONDS, reasons=("straight_line",))),
        ({"mouse_movements": line(40, bend=20.0)}, Decision.allow()),
        ({"mouse_movements": line(19)}, Decision.allow()),  # too few points to judge
        ({}, Decision.allow()),  # no movement reports the neutral straightness
    ],
)
def test_score(telemetry, decision):
    assert score(core.extract_features_rs(telemetry)) == decision


@pytest.mark.parametrize("seconds", [1, 2**64 - 1, 10**30])
def test_a_ban_decision_is_one_the_store_can_apply(seconds):
    # A callback asking for longer than the table holds gets the longest ban, not a failed request.
    store = LocalStore()
    store.ban("192.0.2.77", Decision.ban(seconds).seconds)
    assert store.is_banned("192.0.2.77")
    store.unban("192.0.2.77")


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: Decision.ban(0), ValueError),
        (lambda: Decision.ban(True), ValueError),
        (lambda: Decision.challenge(-1), ValueError),
        (lambda: Decision.challenge(1.5), ValueError),
        (lambda: Decision.refuse(reasons="webdriver"), TypeError),  # one string, not a sequence of them
        (lambda: Decision.allow(reasons=[b"webdriver"]), TypeError),
    ],
)
def test_refused_decisions(make, error):
    with pytest.raises(error):
        make()
