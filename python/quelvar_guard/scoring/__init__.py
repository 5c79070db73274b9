"""Scoring of telemetry: rules that hold on any human population, and an
optional model calibrated on the deployment's own traffic.

    scoring = Scoring.from_file("model.json")      # or Scoring() for the rules alone
    features, moves = core.extract_evidence_json_rs(body)
    judgement = scoring.judge(features, moves)      # decision, score, reasons

A rule may ban only where it flagged at most 0.1 % of every human set
measured (see rules.py); the model may only challenge, above the threshold
its calibration set on held-out humans. Reasons are the rules' codes, and
"model" when the model challenges. Moves whose figures are not finite are
refused ("malformed_moves", no ban), and a session without enough evidence
(below) and no other reason is challenged ("no_evidence"). Plain Python, no heavy import: scikit-learn
is needed to calibrate, never to judge.
"""

from __future__ import annotations

import os
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import quelvar_core_rs as core

from ..limits import DEFAULT_BAN_SECONDS
from ..vocabulary import Decision
from . import rules
from .model import Model, ModelError
from .vector import FEATURE_NAMES, session_vector

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict, MoveDict


__all__ = [
    "EVIDENCE_MIN_EXTENT",
    "EVIDENCE_MIN_KEYS",
    "EVIDENCE_MIN_POINTS",
    "EVIDENCE_MIN_SCROLLS",
    "FEATURE_NAMES",
    "Judgement",
    "Model",
    "ModelError",
    "Scoring",
    "as_decision",
    "evidence",
    "has_evidence",
]

Verdict = Literal["allow", "challenge", "refuse", "ban"]

# What counts as evidence (rules.evidence): the pointer path, taken as one
# move, of at least EVIDENCE_MIN_POINTS points spanning EVIDENCE_MIN_EXTENT px
# along its robust line; or EVIDENCE_MIN_KEYS keystrokes; or
# EVIDENCE_MIN_SCROLLS scroll events. Measured human shares that meet it (one
# session = one recorded segment or move; bench/evaluation corpora):
# balabit raw 97.2 % (by user: user7 92.9, user12 98.7, user16 98.7, user21
# 98.1, user29 98.2), balabit captured 97.2 % (user7 91.4, others 98.3 to
# 99.1), cursory's recordings raw 99.7 % / captured 98.8 %, smart-mouse's
# 88 recordings (single short moves) raw 54.5 % / captured 43.2 %. The key
# and scroll counts are not measured: no human set here carries keystrokes
# or scrolls.
EVIDENCE_MIN_POINTS = rules.EVIDENCE_MIN_POINTS
EVIDENCE_MIN_EXTENT = rules.EVIDENCE_MIN_EXTENT
EVIDENCE_MIN_KEYS = rules.EVIDENCE_MIN_KEYS
EVIDENCE_MIN_SCROLLS = rules.EVIDENCE_MIN_SCROLLS
has_evidence = rules.evidence

# The model judges only sessions with at least this much movement: below it,
# every aggregate is a default and the score would be the prior, not evidence.
MODEL_MIN_POINTS = 20
MODEL_REASON = "model"


@dataclass(frozen=True)
class Judgement:
    """decision: the strongest action of the reasons (ban > refuse >
    challenge > allow); evidence: whether the session carries enough to be
    judged (see EVIDENCE_MIN_POINTS)."""

    decision: Verdict
    score: float | None
    reasons: tuple[str, ...]
    evidence: bool = True

    def as_json(self) -> dict[str, Any]:
        return {"decision": self.decision, "score": self.score, "reasons": list(self.reasons)}

    def without(self, dropped: Collection[str]) -> Judgement:
        """The judgement these reasons but `dropped` make (rules set to shadow)."""
        reasons = tuple(reason for reason in self.reasons if reason not in dropped)
        decision: Verdict = "allow"
        for reason in reasons:
            action: Verdict = "challenge" if reason == MODEL_REASON else rules.RULES[reason]  # type: ignore[assignment]
            if _RANK[action] > _RANK[decision]:
                decision = action
        return Judgement(decision, self.score, reasons, self.evidence)


_ALLOWED = Judgement("allow", None, (), True)
_RANK = {"allow": 0, rules.CHALLENGE: 1, rules.REFUSE: 2, rules.BAN: 3}


def evidence(body: bytes | bytearray | memoryview | str) -> tuple[FeatureDict, MoveDict]:
    """(features, moves) of a telemetry body; ValueError if it is not JSON."""
    return core.extract_evidence_json_rs(body)


class Scoring:
    """The rules, and the model if one is given; `min_points`: the fewest points
    of a move that the rules judge (rules.MIN_POINTS, the measured default)."""

    def __init__(self, model: Model | None = None, *, min_points: int = rules.MIN_POINTS) -> None:
        self.model = model
        self.min_points = min_points

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], *, min_points: int = rules.MIN_POINTS) -> Scoring:
        return cls(Model.from_file(path), min_points=min_points)

    def judge(self, features: Mapping[str, Any], moves: Mapping[str, Any]) -> Judgement:
        reasons = rules.check(features, moves, self.min_points)
        model = self.model
        if not reasons and model is None:
            return _ALLOWED  # what most posts get: nothing to build
        decision: Verdict = "allow"
        for reason in reasons:
            action: Verdict = rules.RULES[reason]  # type: ignore[assignment]
            if _RANK[action] > _RANK[decision]:
                decision = action
        score = None
        malformed = "malformed_moves" in reasons
        if model is not None and not malformed and features["mouse_points"] >= MODEL_MIN_POINTS:
            score = model.score(session_vector(features, moves))
            if score >= model.challenge:
                reasons.append(MODEL_REASON)
                if decision == "allow":
                    decision = "challenge"
        evident = "no_evidence" not in reasons and (not reasons or rules.evidence(features, moves))
        return Judgement(decision, score, tuple(reasons), evident)

    def judge_body(self, body: bytes | bytearray | memoryview | str) -> Judgement:
        """`judge` of a telemetry body as posted; ValueError if it is not JSON."""
        features, moves = evidence(body)
        return self.judge(features, moves)


def as_decision(judgement: Judgement, ban_seconds: int = DEFAULT_BAN_SECONDS, challenge_hold: int = 0) -> Decision:
    """The guard's Decision for a judgement: a ban for ban_seconds, a refusal
    (no ban), a challenge with its advisory hold, or allow; the judgement's
    reasons kept."""
    if judgement.decision == "ban":
        return Decision.ban(ban_seconds, reasons=judgement.reasons)
    if judgement.decision == "refuse":
        return Decision.refuse(reasons=judgement.reasons)
    if judgement.decision == "challenge":
        return Decision.challenge(challenge_hold, reasons=judgement.reasons)
    return Decision.allow(reasons=judgement.reasons)
