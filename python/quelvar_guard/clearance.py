"""A clearance and what it costs: the token endpoint's answer and its
budgets, the spending of a token, a telemetry post's work, body, score and
answer (allow with the guarded tokens of one clearance, challenge, refuse,
ban), and, in shadow mode, what is served instead of a refusal."""

from __future__ import annotations

import json
import re
import time
from typing import TYPE_CHECKING

from .networks import (
    LEVEL_RAISE,
    Admission,
    Networks,
    overdraft_bits,
    parse_budgets,
)
from .policies import RoutePolicy
from .store import StoreUnavailable
from .tokens import MAX_CLEARANCE_TOKENS, TokenKind, network_of
from .vocabulary import (
    Action,
    Admit,
    Ban,
    Decide,
    Decided,
    Decision,
    Escalate,
    Event,
    Outcome,
    ParseBody,
    ReadBody,
    Reply,
    RequestHead,
    Route,
    Screened,
    Spend,
    TokenVerdict,
    Walk,
    _Written,
)
from .work import WORK_HEADER
from .work import check as work_done

if TYPE_CHECKING:
    pass
from .judging import NO_EVIDENCE, Judging
from .replies import (
    BAD_CONTENT_LENGTH,
    BODY_TIMEOUT,
    INCOMPLETE_BODY,
    LENGTH_REQUIRED,
    MALFORMED_TELEMETRY,
    REPLAYED,
    STORE_UNAVAILABLE,
    decision_reply,
    error_reply,
    refusal_event,
    too_many_tokens,
)
from .shadow import shadowed

_DIGITS = re.compile(r"[0-9]{1,18}")
# Addresses whose let-through record is kept; past it the table starts again.
_SCREENED_CACHE_LIMIT = 4096


class Clearance(Judging):
    """Tokens issued, spent and paid for."""

    def _settle_policies(self, enforced: list[RoutePolicy]) -> None:
        """The settings of each route policy that is not exempt."""
        # The clearance's answer as json.dumps writes it, around its tokens
        # (URL-safe base64: nothing in them to escape).
        self._cleared_around = (
            '{"decision":"allow","tokens":["',
            '"],"header":'
            + json.dumps(self.token_header)
            + ',"max_age":'
            + json.dumps(self.tokens.clearance_seconds)
            + "}",
        )
        # Policy 0 is the guard's own settings; policy i + 1 the i-th that is not exempt.
        self._policy_settings = [
            (self.requests_per_clearance, self.tokens.clearance_seconds, self.work_bits, self.networks)
        ]
        for number, policy in enumerate(enforced, 1):
            count = policy.requests_per_clearance or self.requests_per_clearance
            if not 1 <= count <= MAX_CLEARANCE_TOKENS:
                raise ValueError(f"{policy.prefix}: requests_per_clearance must be from 1 to {MAX_CLEARANCE_TOKENS}")
            bits = self.work_bits if policy.work_bits is None else policy.work_bits
            if not 0 <= bits <= self.max_work_bits:
                raise ValueError(f"{policy.prefix}: self.work_bits must be from 0 to max_work_bits")
            networks = self.networks
            if policy.network_budgets is not None:
                networks = Networks(
                    self.scope, parse_budgets(policy.network_budgets), self.mint_rate, self.mint_burst, f"p{number}:"
                )
            self._policy_settings.append((count, self.tokens._clearance_lifetimes[number], bits, networks))
        # Longest prefix first: the policy of a path is the most specific one.
        self._policies_by_length = sorted(
            ((policy, number) for number, policy in enumerate(enforced, 1)), key=lambda item: -len(item[0].prefix)
        )

    def banned(self, address: str | None) -> Reply | None:
        if address is None:
            return None
        remaining = self.store.ban_remaining(address)
        if remaining is None:
            return None
        seconds = max(1, int(remaining))
        return error_reply(403, "banned", (("Retry-After", str(seconds)),), retry_after=seconds)

    def _network(self, address: str | None) -> bytes | None:
        return network_of(address) if self.bind_network else None

    def telemetry_token(self, address: str | None, bits: int | None = None, policy: int = 0) -> Reply:
        """The token endpoint's answer for a client that is not banned: a
        telemetry token of route policy `policy` whose puzzle asks `bits` of
        work (the policy's base by default)."""
        bits = self._policy_settings[policy][2] if bits is None else bits
        return Reply(
            200,
            {
                "token": self.tokens.issue(TokenKind.TELEMETRY, self._network(address), bits, policy),
                "header": self.token_header,
                "max_age": self.tokens.max_age,
                "work": bits,
                "work_header": WORK_HEADER,
            },
            self._attestation_headers,
        )

    def admitted_bits(self, admission: Admission, policy: int = 0) -> int:
        """The work a token of a route policy costs a client of this
        suspicion level whose busiest budget is owed this much."""
        bits = self._policy_settings[policy][2] + int(admission.level) + overdraft_bits(admission.owed)
        return min(bits, self.max_work_bits)

    def admit(self, address: str, policy: int = 0) -> Admission:
        plan = self._policy_settings[policy][3].plan(address)
        return self.store.admit(plan.buckets, plan.levels, self._overdraft_limit, self.level_half_life)

    def escalate(self, address: str, amount: float, ban: bool, note: str = "") -> tuple[float, int]:
        plan = self.networks.plan(address)
        offences = plan.offences if ban else None
        return self.store.escalate(
            plan.levels, amount, self.level_half_life, offences, self.offence_window, plan.notes, note
        )

    def cleared(self, screened: Screened) -> Reply:
        """The telemetry endpoint's answer to an allowed post: its guarded tokens."""
        payload: dict[str, object] = {
            "decision": "allow",
            "tokens": screened.tokens,
            "header": self.token_header,
            "max_age": self._policy_settings[screened.policy][1],
        }
        if not screened.tokens or screened.policy:
            return Reply(200, payload)
        before, after = self._cleared_around
        return _Written(200, payload, (), (before + '","'.join(screened.tokens) + after).encode())

    def _let_through(self, address: str | None) -> Screened:
        screened = self._screened.get(address)
        if screened is None:
            if len(self._screened) >= _SCREENED_CACHE_LIMIT:
                self._screened.clear()
            screened = self._screened[address] = Screened(address, TokenVerdict.OK)
        return screened

    def _minted(self, admission: Admission, address: str | None, policy: int) -> Reply:
        if admission.wait > 0:
            return too_many_tokens(admission.wait)
        return self.telemetry_token(address, self.admitted_bits(admission, policy), policy)

    def _mint(self, address: str, policy: int) -> Walk:
        try:
            admission = yield Admit(address, policy)
        except StoreUnavailable:
            return STORE_UNAVAILABLE
        return self._minted(admission, address, policy)

    def _spend(self, token: str, route: Route, head: RequestHead, address: str | None) -> Walk:
        try:
            fresh = yield Spend(token)
        except StoreUnavailable:
            return STORE_UNAVAILABLE
        if not fresh:
            return REPLAYED
        if route is Route.GUARDED:
            return self._let_through(address)
        return (yield from self._telemetry(head, address, token))

    def _telemetry(self, head: RequestHead, address: str | None, token: str) -> Walk:
        """A telemetry post whose token was spent: its work, the body, its
        score, the answer. The work is checked after the spending, so that
        each wrong answer costs the client a token of its budget, never the
        server a search on its behalf."""
        kind, bits, policy = self.tokens.puzzle(token)
        # A privacy token from a trusted issuer is evidence enough: no work asked.
        attested = False
        if self.attestation is not None and (credential := head.header("authorization")) is not None:
            nonce = self.attestation.verify_any(credential, self._attestation_challenges)
            if nonce is not None:
                try:
                    attested = yield Spend("pt:" + nonce.hex())
                except StoreUnavailable:
                    return STORE_UNAVAILABLE
                if not attested:
                    return REPLAYED  # the privacy token was spent before
        if not attested and not work_done(token.encode("ascii"), head.header(self._work_key), bits):
            return error_reply(403, "work_required", work=bits, work_header=WORK_HEADER)
        length_text = (head.header("content-length") or "").strip()
        if not length_text:
            return LENGTH_REQUIRED
        if not _DIGITS.fullmatch(length_text):
            return BAD_CONTENT_LENGTH
        length = int(length_text)
        if length > self.max_body:
            return error_reply(413, "body_too_large", limit=self.max_body)
        try:
            body = yield ReadBody(length)
        except TimeoutError:
            return BODY_TIMEOUT
        if body is None or len(body) != length:
            return INCOMPLETE_BODY
        try:
            features, moves = yield ParseBody(body)
        except ValueError:
            return MALFORMED_TELEMETRY
        decision = yield Decide(features, moves)
        if not isinstance(decision, Decision):
            raise TypeError(f"the decision callback returned {decision!r}, not a Decision")
        if decision.would is not None:  # rules set to shadow fired: logged and counted, not enforced
            code = "challenge" if decision.would.action is Action.CHALLENGE else "refused"
            would = decision_reply(code, decision.would.seconds, decision.would.reasons)
            shadowed(refusal_event(would, Route.TELEMETRY, head, address))
        action = decision.action
        # A challenge token's work paid for a challenge: what the rules would
        # challenge again is let through (bans and refusals still hold).
        if action is Action.ALLOW or (action is Action.CHALLENGE and (kind is TokenKind.CHALLENGE or attested)):
            count = self._policy_settings[policy][0]
            tokens = self.tokens.issue_clearance(count, self._network(address), policy)
            return Screened(address, TokenVerdict.OK, features, decision, tokens, policy=policy)
        if address is None:
            code = "challenge" if action is Action.CHALLENGE else "refused"
            return decision_reply(code, 0, decision.reasons)
        # A post without movement to judge says nothing against its network.
        amount = LEVEL_RAISE[action.value] if decision.reasons != (NO_EVIDENCE,) else 0.0
        level, bans = 0.0, 1
        if not self.shadow:  # shadow mode writes nothing: no level, no ban
            try:
                note = json.dumps(
                    {
                        "at": int(time.time()),
                        "decision": action.value,
                        "reasons": list(decision.reasons),
                        "path": head.path,
                    }
                )
                level, bans = yield Escalate(address, amount, action is Action.BAN, note)
            except StoreUnavailable:
                pass
        if action is Action.CHALLENGE:
            return self._challenge(address, decision, level, policy)
        if action is Action.BAN:
            # Each ban within the window doubles the last, up to the longest.
            seconds = min(decision.seconds << min(max(bans - 1, 0), 62), self.max_ban_seconds)
            seconds = max(seconds, decision.seconds)
            try:
                if not self.shadow:
                    yield Ban(address, seconds)
            except StoreUnavailable:
                pass  # refused all the same; a strict store has said it cannot keep the ban
            return decision_reply("refused", seconds, decision.reasons)
        return decision_reply("refused", 0, decision.reasons)

    def _challenge(self, address: str, decision: Decision, level: float, policy: int) -> Reply:
        """A challenge's answer: a challenge token whose puzzle asks the extra
        work on top of what the client's level asks; solved and posted with
        fresh telemetry, it clears what would be challenged again."""
        bits = min(self._policy_settings[policy][2] + self.challenge_work_bits + int(level), self.max_work_bits)
        token = self.tokens.issue(TokenKind.CHALLENGE, self._network(address), bits, policy)
        extra: dict[str, object] = {
            "reasons": list(decision.reasons),
            "token": token,
            "header": self.token_header,
            "work": bits,
            "work_header": WORK_HEADER,
        }
        headers: tuple[tuple[str, str], ...] = ()
        if decision.seconds:
            headers = (("Retry-After", str(decision.seconds)),)
            extra["retry_after"] = decision.seconds
        return Reply(403, {"error": "challenge", **extra}, headers, decided=Decided.CHALLENGE)

    def _let_through_anyway(self, would: Event, route: Route, address: str | None) -> Outcome:
        """What shadow mode serves instead of a refusal: the token endpoint's
        token, a telemetry post's clearance, the guarded request itself."""
        if route is Route.TOKEN:
            return self.telemetry_token(address)
        verdict = would.verdict or TokenVerdict.OK
        if route is Route.TELEMETRY:
            tokens = self.tokens.issue_clearance(self.requests_per_clearance, self._network(address))
            return Screened(address, verdict, tokens=tokens)
        return Screened(address, verdict)
