"""Judging a telemetry post: the scoring's rules (and model) first, the
callback for what they let through, the rules set to shadow left out of the
decision and kept as what it would have been."""

from __future__ import annotations

import inspect
import time
from collections.abc import Awaitable, Iterable
from dataclasses import replace
from typing import TYPE_CHECKING

import quelvar_core_rs as core

from .metrics import METRICS
from .scoring import MODEL_REASON, Judgement, as_decision, rules
from .vocabulary import (
    Action,
    Decision,
)

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict, MoveDict
from .routing import Routing

_ALLOW = Decision(Action.ALLOW)  # immutable: one for every allow of the default callback
# The only reason that says nothing against a client: no movement to judge.
NO_EVIDENCE = "no_evidence"
# What may be set to shadow: the scoring's reasons.
SHADOWABLE = frozenset(rules.RULES) | {MODEL_REASON}


def allow_all(features: FeatureDict) -> Decision:
    return _ALLOW


async def _with_would(decided: Awaitable[Decision], would: Decision) -> Decision:
    decision = await decided
    return replace(decision, would=would) if isinstance(decision, Decision) else decision


class Judging(Routing):
    """The scoring and the callback."""

    def _settle_shadow(self, mode: str, shadow_rules: Iterable[str]) -> None:
        """Shadow mode, or the rules set to shadow alone."""
        if mode not in ("enforce", "shadow"):
            raise ValueError('mode must be "enforce" or "shadow"')
        self.shadow = mode == "shadow"
        if isinstance(shadow_rules, str):
            shadow_rules = [shadow_rules]
        self.shadow_rules = frozenset(shadow_rules)
        unknown = self.shadow_rules - SHADOWABLE
        if unknown:
            raise ValueError(f"shadow_rules: no rule is named {', '.join(sorted(unknown))}")

    @staticmethod
    def parse(body: bytes) -> tuple[FeatureDict, MoveDict]:
        """Features and moves of a telemetry body, from one parse; ValueError if it is not JSON."""
        return core.extract_evidence_json_rs(body)

    def judge(self, features: FeatureDict, moves: MoveDict) -> Decision | Awaitable[Decision]:
        """The scoring's rules (and model) first; what they let through goes to `decide`."""
        if METRICS.on:
            started = time.perf_counter()
            judgement = self.scoring.judge(features, moves)
            METRICS.scoring_time.observe(time.perf_counter() - started)
        else:
            judgement = self.scoring.judge(features, moves)
        if self.shadow_rules and judgement.reasons:
            return self._judge_shadowed(judgement, features)
        if judgement.decision == "allow":
            return self.decide(features)  # type: ignore[no-any-return]
        return as_decision(judgement, self.ban_seconds, self.challenge_hold)

    def _judge_shadowed(self, judgement: Judgement, features: FeatureDict) -> Decision | Awaitable[Decision]:
        """`judge` with the rules set to shadow left out of the decision; what
        they would have made is kept in its `would`."""
        enforced = judgement.without(self.shadow_rules)
        if enforced.reasons == judgement.reasons:
            would = None
        else:
            would = as_decision(judgement, self.ban_seconds, self.challenge_hold)
        if enforced.decision != "allow":
            decision = as_decision(enforced, self.ban_seconds, self.challenge_hold)
            return decision if would is None else replace(decision, would=would)
        decided = self.decide(features)
        if would is None:
            return decided  # type: ignore[no-any-return]
        if inspect.isawaitable(decided):
            return _with_would(decided, would)
        return replace(decided, would=would) if isinstance(decided, Decision) else decided
