"""The decision core shared by the WSGI and ASGI adapters (no framework imports).

A client is served on guarded paths only after its telemetry was scored and
allowed. Three routes, each request walking one of them:

    token endpoint (GET):      address ─► ban check ─► minting budget ─► a telemetry token
    telemetry endpoint (POST): address ─► ban check ─► telemetry token (signature,
        age, kind, network, spent once) ─► body ─► features ─► decide(features)
        ─► allow: the guarded tokens of one clearance
    guarded paths:             address ─► ban check ─► guarded token (signature,
        age, kind, network, spent once) ─► the application

The token endpoint answers {"token", "header", "max_age"}; the token is good
for one telemetry post within max_age seconds. An address may take
`mint_burst` of them at once and `mint_rate` per second after that (a token
bucket in the store, so one budget across every process sharing it): each
token spent costs the store a nonce for the replay window. An allowed post is
answered 200 {"decision": "allow", "tokens": [...], "header", "max_age"}: the
`requests_per_clearance` tokens of one clearance, each good for one guarded
request within `clearance_seconds` (max_age here). When they are spent, the
client posts fresh telemetry with a fresh telemetry token. With `bind_network`
every token is bound to the client's network (IPv4 /24, IPv6 /64) and refused
from any other; off by default, since phones move between networks.

The callback's decision is one of allow, ban(seconds) (the address is banned
everywhere), refuse, and challenge(hold_seconds): no ban, but no guarded
tokens either; the client must send fresh telemetry. The hold is advisory: it
is sent as Retry-After, and a client that posts again sooner is scored again.
(The store has no shared expiring mark but bans, and a hold kept as a ban
would count as one and fall to every unban; a per-process mark would hold in
one worker only.) A decision may carry `reasons`, which its refusal includes.

The walk is written once. `Guard.walk` takes every step it can answer itself
(the method, the address, the ban, the token's signature, age, kind and
network, and, with the in-process store, the spending and the minting budget)
and returns either the outcome or a generator of the steps left, which yields
what it needs from the outside (take from the minting budget, spend a token,
read the body, parse it, ask the callback, record a ban) and returns the
outcome. The outcome is a `Reply` for the adapter to send or a `Screened`
request to hand to the application (or, on the telemetry route, to answer
with its tokens). The WSGI adapter answers each need synchronously, the ASGI
adapter awaits it, so both follow the same steps in the same order: bans
first, then the token's signature, age, kind and network, then its spending.
A guarded request with a valid token under the in-process store is answered
without a generator, a need or a reply built for it.

Refusals, each a short JSON body {"error": code, ...}:

    403 banned               address banned; Retry-After: seconds left
    429 too_many_tokens      token endpoint: the address spent its minting budget;
                             Retry-After and "retry_after"
    400 missing_token        no token header (a WebSocket: nor query parameter)
    400 malformed_token      not a token of this format (an earlier layout included)
    403 bad_signature        no configured secret signed it (forged or foreign)
    401 expired_token        older than its lifetime, or from the future; fetch a new one
    403 wrong_token_kind     a telemetry token on a guarded path, or a guarded token
                             posted as telemetry
    403 wrong_network        a bound token presented from another network
    409 replayed_token       genuine, but already spent
    405 method_not_allowed   token endpoint not GET, telemetry without a body method
    411 length_required      telemetry without Content-Length
    400 bad_content_length   a Content-Length that is not a whole number of bytes
    413 body_too_large       telemetry over the limit
    400 incomplete_body      the body ended before its Content-Length
    408 body_timeout         the body came too slowly (ASGI: a deadline and a minimum rate)
    400 malformed_telemetry  not JSON
    403 challenge            the callback wants fresh telemetry; "reasons"; with a hold,
                             Retry-After and "retry_after" (advisory)
    403 refused              the callback refused; "reasons"; with a ban, also Retry-After
    503 store_unavailable    a strict store could not reach its server
"""

from __future__ import annotations

import inspect
import ipaddress
import json
import logging
import math
import re
import time
from collections.abc import Awaitable, Callable, Iterable
from dataclasses import replace
from typing import TYPE_CHECKING, Any

import quelvar_core_rs as core

from .addresses import BanScope, ClientAddresses, normalise_address
from .allow import AllowList, Crawlers, dns_resolver
from .attestation import Attestation, Issuer, issuer_from
from .metrics import METRICS
from .networks import (
    DEFAULT_NETWORK_BUDGETS,
    LEVEL_RAISE,
    Admission,
    NetworkBudget,
    Networks,
    overdraft_bits,
    overdraft_limit,
    parse_budgets,
)
from .policies import ROUTE_HEADER, RoutePolicy, parse_policies
from .record import RECORD
from .scoring import MODEL_REASON, Judgement, Scoring, as_decision, rules
from .store import Store, StoreUnavailable
from .tokens import MAX_CLEARANCE_TOKENS, TokenKind, Tokens, network_of
from .vocabulary import (
    REFUSAL_CODES,
    Action,
    Admit,
    Ban,
    Decide,
    Decided,
    Decision,
    Escalate,
    Event,
    Need,
    Outcome,
    ParseBody,
    ReadBody,
    Reply,
    RequestHead,
    Route,
    Screened,
    Spend,
    TokenVerdict,
    VerifyCrawler,
    Walk,
    _MetricsReply,
    _Written,
    whole_seconds,
)
from .work import MAX_BITS, WORK_HEADER
from .work import check as work_done

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict, MoveDict

__all__ = ["Action", "Decision", "Guard", "Reply", "Screened", "RequestHead"]


_ALLOW = Decision(Action.ALLOW)  # immutable: one for every allow of the default callback

Callback = Callable[["FeatureDict"], Any]  # returns a Decision (or, in ASGI, an awaitable of one)


# The kind of token each route that needs one accepts.
ROUTE_KINDS = {Route.TELEMETRY: TokenKind.TELEMETRY, Route.GUARDED: TokenKind.GUARDED}


# Methods whose body, on the telemetry route, is the telemetry.
BODY_METHODS = frozenset({"POST", "PUT", "PATCH"})

_DIGITS = re.compile(r"[0-9]{1,18}")


def _error(
    status: int,
    code: str,
    headers: tuple[tuple[str, str], ...] = (),
    decided: Decided = Decided.REFUSE,
    **extra: object,
) -> Reply:
    return Reply(status, {"error": code, **extra}, headers, decided=decided)


# Every reply without a variable field, built once.
_VERDICT_REPLIES = {
    TokenVerdict.MALFORMED: _error(400, REFUSAL_CODES[TokenVerdict.MALFORMED]),
    TokenVerdict.BAD_SIGNATURE: _error(403, REFUSAL_CODES[TokenVerdict.BAD_SIGNATURE]),
    TokenVerdict.EXPIRED: _error(401, REFUSAL_CODES[TokenVerdict.EXPIRED], (("WWW-Authenticate", "Token"),)),
    TokenVerdict.WRONG_KIND: _error(403, REFUSAL_CODES[TokenVerdict.WRONG_KIND]),
    TokenVerdict.WRONG_NETWORK: _error(403, REFUSAL_CODES[TokenVerdict.WRONG_NETWORK]),
    TokenVerdict.REPLAYED: _error(409, REFUSAL_CODES[TokenVerdict.REPLAYED]),
}
_REPLAYED = _VERDICT_REPLIES[TokenVerdict.REPLAYED]
_MISSING_TOKEN = _error(400, "missing_token")
_NOT_GET = _error(405, "method_not_allowed", (("Allow", "GET"),))
_NOT_POST = _error(405, "method_not_allowed", (("Allow", "POST"),))
_STORE_UNAVAILABLE = _error(503, "store_unavailable", decided=Decided.UNAVAILABLE)
_LENGTH_REQUIRED = _error(411, "length_required")
_BAD_CONTENT_LENGTH = _error(400, "bad_content_length")
_INCOMPLETE_BODY = _error(400, "incomplete_body")
_MALFORMED_TELEMETRY = _error(400, "malformed_telemetry")
_BODY_TIMEOUT = _error(408, "body_timeout")
# A User-Agent that claims a crawler its operator's DNS does not confirm.
_FAKE_CRAWLER = _error(403, "refused", reasons=["fake_crawler"])
# The only reason that says nothing against a client: no movement to judge.
NO_EVIDENCE = "no_evidence"
# What may be set to shadow: the scoring's reasons.
SHADOWABLE = frozenset(rules.RULES) | {MODEL_REASON}
# The scoring's two refusals; each is made after the token was spent, its verdict ok.
_DECIDED_BY = {"refused": Decided.REFUSE, "challenge": Decided.CHALLENGE}
# The verdict behind each refusal code of a token's check.
_VERDICT_OF_CODE = {code: verdict for verdict, code in REFUSAL_CODES.items()}
# The callback's refusals without a hold or reasons, the common case.
_PLAIN_REFUSALS = {code: _error(403, code, decided=_DECIDED_BY[code], reasons=[]) for code in ("refused", "challenge")}


def _too_many_tokens(wait: float) -> Reply:
    seconds = max(1, math.ceil(wait))
    return _error(429, "too_many_tokens", (("Retry-After", str(seconds)),), retry_after=seconds)


def _decision_reply(code: str, seconds: int, reasons: tuple[str, ...]) -> Reply:
    if not seconds and not reasons:
        return _PLAIN_REFUSALS[code]
    if not seconds:
        return _error(403, code, decided=_DECIDED_BY[code], reasons=list(reasons))
    # The one place a refusal with seconds is a ban: the callback's refusal, never a challenge's hold.
    decided = Decided.BAN if code == "refused" else Decided.CHALLENGE
    return _error(403, code, (("Retry-After", str(seconds)),), decided, retry_after=seconds, reasons=list(reasons))


def refusal_event(reply: Reply, route: Route, head: RequestHead, address: str | None, shadow: bool = False) -> Event:
    """What a refusal of the walk's says to the record and the metrics."""
    payload = reply.payload
    code = str(payload["error"])
    decided = reply.decided or Decided.REFUSE
    verdict = TokenVerdict.OK if code in _DECIDED_BY else _VERDICT_OF_CODE.get(code)
    seconds = payload.get("retry_after")
    return Event(
        route,
        decided,
        code,
        verdict,
        tuple(payload.get("reasons", ())),  # type: ignore[arg-type]
        seconds if isinstance(seconds, int) else None,
        address,
        head.path,
        reply.status,
        shadow=shadow,
    )


DEFAULT_REQUESTS_PER_CLEARANCE = 10
DEFAULT_BAN_SECONDS = 600
# Bits of work every clearance costs (see work.py), the extra a challenge
# asks, and the most a page is ever asked. A native solver with SHA
# instructions does some 17 million hashes a second on one core: 2^19 is
# about 30 ms of it per clearance, three to six times what the server spends
# on the clearance and its guarded requests (make economics); 2^23 some half
# a second, thirty times and more. The page's JavaScript does about two
# million a second per core, in a worker per core.
DEFAULT_WORK_BITS = 19
DEFAULT_CHALLENGE_WORK_BITS = 3
DEFAULT_MAX_WORK_BITS = 23
# Suspicion halves every ten minutes; a repeat offender's ban doubles per
# ban within a day, up to a day.
DEFAULT_LEVEL_HALF_LIFE = 600.0
DEFAULT_OFFENCE_WINDOW = 86400.0
DEFAULT_MAX_BAN_SECONDS = 86400
PROXY_TRAP_QUIET_SECONDS = 3600.0
_log = logging.getLogger("quelvar_guard")
# Telemetry tokens per address: a page takes one per clearance, a shared NAT
# a few more; a script asking for thousands is held to the rate.
DEFAULT_MINT_RATE = 1.0
DEFAULT_MINT_BURST = 20
# Addresses whose let-through record is kept; past it the table starts again.
_SCREENED_CACHE_LIMIT = 4096


def _allow_all(features: FeatureDict) -> Decision:
    return _ALLOW


async def _with_would(decided: Awaitable[Decision], would: Decision) -> Decision:
    decision = await decided
    return replace(decision, would=would) if isinstance(decision, Decision) else decision


class Guard:
    """Everything the adapters share: configuration, the walk, the parsing.

    store:          a Store (LocalStore for one process, RedisStore for many)
    secrets:        token keys, first signs, all verify (see Tokens)
    scoring:        the rules (and an optional calibrated model) every telemetry
                    post is judged by first: Scoring() by default, the rules
                    alone; Scoring.from_file(path) adds a model
    ban_seconds:    how long a client the scoring bans stays banned
    challenge_hold: the advisory hold (Retry-After) of a scoring challenge
    decide:         callback(features) -> Decision for what the scoring
                    allows; default allows it
    guarded_paths:  path prefixes that need a guarded token ("/api/" covers
                    "/api/x"; "/login" covers "/login" and "/login/...")
    token_path:     GET here returns {"token": ...}, a telemetry token
    telemetry_path: POST of telemetry JSON here, with a telemetry token, is
                    scored by `decide` and answered by the middleware; on
                    allow with the guarded tokens of one clearance
    token_header:   the request header carrying either kind of token
    max_body:       telemetry bodies above this many bytes get 413
    requests_per_clearance: guarded tokens per allowed telemetry post
    clearance_seconds: how long a guarded token stays good
    bind_network:   bind every token to the client's IPv4 /24 or IPv6 /64
    mint_rate, mint_burst: the token endpoint's budget per address, a token
                    bucket in the store: `mint_burst` tokens at once, refilled
                    at `mint_rate` per second; mint_rate=None: no budget
    network_budgets: the same per enclosing network (see quelvar_guard.networks);
                    () for none
    work_bits:      bits of work every telemetry token's puzzle asks (0: none)
    challenge_work_bits: the extra a challenge asks; max_work_bits: the most
    level_half_life: seconds in which a network's suspicion level halves
    max_ban_seconds: the longest ban a repeat offender's bans grow to;
                    offence_window: seconds within which bans count as repeats
    mode:           "enforce", or "shadow": every decision made, logged and
                    counted as would-have, nothing refused or banned
    shadow_rules:   reason codes of the scoring (rules, "model") only logged
                    and counted as would-have while the others enforce
    route_policies: guarded path prefixes with settings of their own, or
                    exempt (see quelvar_guard.policies)
    allow_networks, allow_file: networks never screened (see
                    quelvar_guard.allow; the file reloaded when it changes)
    verify_crawlers: True (or a Crawlers): a client whose User-Agent claims a
                    known crawler is let through once forward-confirmed
                    reverse DNS confirms it, refused ("fake_crawler") if not
    crawler_dns:    "host" or "host:port" of the DNS server that checks (None: the system's)
    attestation_issuers, attestation_origin: privacy tokens of these issuers
                    (Issuer, or "name=path of its published key") for this
                    site's host (see quelvar_guard.attestation): the token
                    endpoint sends their challenge, and a telemetry post that
                    redeems one clears without work and without movement to
                    judge (bans and refusals still hold)
    trusted_proxies, proxy_header: see ClientAddresses
    max_age, clock_skew: see Tokens (max_age: the telemetry token's lifetime)
    health_path:    answer readiness here, 200 or 503 with the store's state
                    (never guarded; see health()); None, the default: not served
    metrics_path:   serve the metrics here (never guarded; see
                    quelvar_guard.metrics); None, the default: no metrics kept
    """

    def __init__(
        self,
        store: Store,
        secrets: Iterable[str | bytes],
        *,
        scoring: Scoring | None = None,
        ban_seconds: int = DEFAULT_BAN_SECONDS,
        challenge_hold: int = 0,
        decide: Callback | None = None,
        guarded_paths: Iterable[str] = ("/api/",),
        token_path: str = "/quelvar/token",
        telemetry_path: str = "/quelvar/telemetry",
        token_header: str = "X-Quelvar-Token",
        max_body: int = 64 << 10,  # fullest session (300 points, 150 keys, 400 clicks/scrolls): 41 KB, 62 KB indented
        requests_per_clearance: int = DEFAULT_REQUESTS_PER_CLEARANCE,
        clearance_seconds: float = 30.0,
        bind_network: bool = False,
        mint_rate: float | None = DEFAULT_MINT_RATE,
        mint_burst: int = DEFAULT_MINT_BURST,
        network_budgets: Iterable[NetworkBudget] | str = DEFAULT_NETWORK_BUDGETS,
        work_bits: int = DEFAULT_WORK_BITS,
        challenge_work_bits: int = DEFAULT_CHALLENGE_WORK_BITS,
        max_work_bits: int = DEFAULT_MAX_WORK_BITS,
        level_half_life: float = DEFAULT_LEVEL_HALF_LIFE,
        max_ban_seconds: int = DEFAULT_MAX_BAN_SECONDS,
        offence_window: float = DEFAULT_OFFENCE_WINDOW,
        mode: str = "enforce",
        shadow_rules: Iterable[str] = (),
        route_policies: Iterable[RoutePolicy] | str = (),
        allow_networks: Iterable[str] = (),
        allow_file: str | None = None,
        verify_crawlers: bool | Crawlers = False,
        crawler_dns: str | None = None,
        attestation_issuers: Iterable[Issuer | str] = (),
        attestation_origin: str = "",
        trusted_proxies: Iterable[str] | str = (),
        proxy_header: str = "x-forwarded-for",
        max_age: float = 30.0,
        clock_skew: float = 5.0,
        metrics_path: str | None = None,
        health_path: str | None = None,
    ) -> None:
        if max_body <= 0:
            raise ValueError("max_body must be positive")
        if (
            isinstance(requests_per_clearance, bool)
            or not isinstance(requests_per_clearance, int)
            or not 1 <= requests_per_clearance <= MAX_CLEARANCE_TOKENS
        ):
            raise ValueError(f"requests_per_clearance must be a whole number from 1 to {MAX_CLEARANCE_TOKENS}")
        if mint_rate is not None and not 0 < mint_rate < float("inf"):
            raise ValueError("mint_rate must be a positive number of tokens per second, or None")
        if isinstance(mint_burst, bool) or not isinstance(mint_burst, int) or mint_burst < 1:
            raise ValueError("mint_burst must be a whole number of at least 1")
        for name, bits in (("work_bits", work_bits), ("challenge_work_bits", challenge_work_bits)):
            if isinstance(bits, bool) or not isinstance(bits, int) or not 0 <= bits <= MAX_BITS:
                raise ValueError(f"{name} must be a whole number from 0 to {MAX_BITS}")
        if (
            isinstance(max_work_bits, bool)
            or not isinstance(max_work_bits, int)
            or not work_bits <= max_work_bits <= MAX_BITS
        ):
            raise ValueError(f"max_work_bits must be a whole number from work_bits to {MAX_BITS}")
        if not 0 < level_half_life < float("inf") or not 0 < offence_window < float("inf"):
            raise ValueError("level_half_life and offence_window must be positive numbers of seconds")
        self.store = store
        self._in_process = store.answers_at_once
        self._spend_now = store.consume_nonce
        self._count_refusal = store.count_refusal
        # A strict shared store that lost its state (a restart without
        # persistence) forgot which tokens were spent: those issued before
        # it noticed are refused, the client takes new ones.
        self._lost_state_at = store.lost_state_at if store.on_unavailable == "strict" else None
        self.route_policies = parse_policies(route_policies)
        enforced = [policy for policy in self.route_policies if not policy.exempt]
        self.tokens = Tokens(
            secrets,
            store,
            max_age=max_age,
            clearance_seconds=clearance_seconds,
            clock_skew=clock_skew,
            policy_clearance_seconds=[policy.clearance_seconds or clearance_seconds for policy in enforced],
        )
        self.addresses = ClientAddresses(trusted_proxies, header=proxy_header)
        self.scope: BanScope = store.scope
        self.decide: Callback = decide or _allow_all
        self.scoring = scoring if scoring is not None else Scoring()
        # Checked here, where a wrong value is a configuration error, not a failed request.
        Decision.ban(ban_seconds)
        Decision.challenge(challenge_hold)
        self.ban_seconds = ban_seconds
        self.challenge_hold = challenge_hold
        if isinstance(guarded_paths, str):
            guarded_paths = [guarded_paths]
        self.guarded_paths = tuple(guarded_paths)
        self.token_path = token_path
        self.telemetry_path = telemetry_path
        # The routes as one lookup and one prefix test (the token path wins a tie, as it always has).
        self._routes = {telemetry_path: Route.TELEMETRY, token_path: Route.TOKEN}
        self._guarded_exact = frozenset(self.guarded_paths)
        self._guarded_starts = tuple(prefix if prefix.endswith("/") else prefix + "/" for prefix in self.guarded_paths)
        self.token_header = token_header
        self._token_key = token_header.lower()
        # Every header the walk reads: the adapters hand it these and no other.
        self.header_names = tuple(
            dict.fromkeys(
                (
                    self._token_key,
                    WORK_HEADER.lower(),
                    ROUTE_HEADER.lower(),
                    "user-agent",
                    "authorization",
                    "content-length",
                    "x-forwarded-for",
                    "forwarded",
                )
            )
        )
        # The clearance's answer as json.dumps writes it, around its tokens
        # (URL-safe base64: nothing in them to escape).
        self._cleared_around = (
            '{"decision":"allow","tokens":["',
            '"],"header":' + json.dumps(token_header) + ',"max_age":' + json.dumps(self.tokens.clearance_seconds) + "}",
        )
        self.max_body = max_body
        self.requests_per_clearance = requests_per_clearance
        self.bind_network = bool(bind_network)
        self.mint_rate = None if mint_rate is None else float(mint_rate)
        self.mint_burst = mint_burst
        budgets = parse_budgets(network_budgets) if isinstance(network_budgets, str) else tuple(network_budgets)
        self.networks = Networks(self.scope, budgets, self.mint_rate, mint_burst)
        # Whether the token endpoint asks the store at all: for a budget, or
        # for the level that raises the work.
        self._admits = bool(budgets) or self.mint_rate is not None
        self.work_bits = work_bits
        self.challenge_work_bits = challenge_work_bits
        self.max_work_bits = max_work_bits
        self._overdraft_limit = overdraft_limit(max_work_bits - work_bits)
        self.level_half_life = float(level_half_life)
        self.max_ban_seconds = whole_seconds(
            max_ban_seconds, ban_seconds, "max_ban_seconds is a whole number of seconds, at least ban_seconds"
        )
        self.offence_window = float(offence_window)
        self.tokens.require_bound = self.bind_network
        # Policy 0 is the guard's own settings; policy i + 1 the i-th that is not exempt.
        self._policy_settings = [(self.requests_per_clearance, self.tokens.clearance_seconds, work_bits, self.networks)]
        for number, policy in enumerate(enforced, 1):
            count = policy.requests_per_clearance or self.requests_per_clearance
            if not 1 <= count <= MAX_CLEARANCE_TOKENS:
                raise ValueError(f"{policy.prefix}: requests_per_clearance must be from 1 to {MAX_CLEARANCE_TOKENS}")
            bits = work_bits if policy.work_bits is None else policy.work_bits
            if not 0 <= bits <= max_work_bits:
                raise ValueError(f"{policy.prefix}: work_bits must be from 0 to max_work_bits")
            networks = self.networks
            if policy.network_budgets is not None:
                networks = Networks(
                    self.scope, parse_budgets(policy.network_budgets), self.mint_rate, mint_burst, f"p{number}:"
                )
            self._policy_settings.append((count, self.tokens._clearance_lifetimes[number], bits, networks))
        # Longest prefix first: the policy of a path is the most specific one.
        self._policies_by_length = sorted(
            ((policy, number) for number, policy in enumerate(enforced, 1)), key=lambda item: -len(item[0].prefix)
        )
        exempt = [policy.prefix for policy in self.route_policies if policy.exempt]
        self._exempt_exact = frozenset(exempt)
        self._exempt_starts = tuple(prefix if prefix.endswith("/") else prefix + "/" for prefix in exempt)
        self._route_key = ROUTE_HEADER.lower()
        networks_allowed = tuple(allow_networks) if not isinstance(allow_networks, str) else (allow_networks,)
        self.allow = AllowList(networks_allowed, allow_file) if networks_allowed or allow_file else None
        if verify_crawlers is True:
            verify_crawlers = Crawlers(resolver=dns_resolver(crawler_dns))
        self.crawlers: Crawlers | None = verify_crawlers or None
        # One fixed challenge per deployment: any worker verifies, the spent nonce stops a replay.
        issuers = [issuer_from(item) if isinstance(item, str) else item for item in attestation_issuers]
        self.attestation = Attestation(issuers, attestation_origin) if issuers else None
        self._attestation_challenges: tuple[bytes, ...] = ()
        self._attestation_headers: tuple[tuple[str, str], ...] = ()
        if self.attestation is not None:
            self._attestation_challenges, header = self.attestation.challenges()
            self._attestation_headers = (("WWW-Authenticate", header),)
        if mode not in ("enforce", "shadow"):
            raise ValueError('mode must be "enforce" or "shadow"')
        self.shadow = mode == "shadow"
        if isinstance(shadow_rules, str):
            shadow_rules = [shadow_rules]
        self.shadow_rules = frozenset(shadow_rules)
        unknown = self.shadow_rules - SHADOWABLE
        if unknown:
            raise ValueError(f"shadow_rules: no rule is named {', '.join(sorted(unknown))}")
        self._work_key = WORK_HEADER.lower()
        if metrics_path is not None and not metrics_path.startswith("/"):
            raise ValueError("metrics_path must start with /")
        if metrics_path is not None and self.route(metrics_path) is not None:
            raise ValueError("metrics_path must not be one of the guard's own paths")
        self.metrics_path = metrics_path
        if health_path is not None and (
            not health_path.startswith("/") or self.route(health_path) is not None or health_path == metrics_path
        ):
            raise ValueError("health_path must start with / and be a path of its own")
        self.health_path = health_path
        self._trap_quiet_until = 0.0
        # Guarded requests let through, one immutable record per address.
        self._screened: dict[str | None, Screened] = {}
        if metrics_path is not None:
            METRICS.enable()

    def metrics(self) -> Reply:
        """The metrics endpoint's answer: every worker's figures in multiprocess
        mode, this process's gauges refreshed first (the shared ban count is
        one round trip to the store)."""
        METRICS.refresh(self.store)
        text, content_type = METRICS.exposition()
        return _MetricsReply(
            200,
            {},
            (("Content-Type", content_type), ("Content-Length", str(len(text))), ("Cache-Control", "no-store")),
            text,
        )

    def route(self, path: str) -> Route | None:
        """Which kind of request this path is; None for paths the guard leaves alone."""
        route = self._routes.get(path)
        if route is not None:
            return route
        if path in self._guarded_exact or path.startswith(self._guarded_starts):
            if self._exempt_starts and (path in self._exempt_exact or path.startswith(self._exempt_starts)):
                return None
            return Route.GUARDED
        return None

    def _issued_before_loss(self, token: str) -> bool:
        assert self._lost_state_at is not None
        lost = self._lost_state_at()
        return lost is not None and Tokens.issued_at(token) < lost

    def policy_of(self, path: str | None) -> int:
        """The number of the route policy of a guarded path (0: the guard's own settings)."""
        if path is None:
            return 0
        for policy, number in self._policies_by_length:
            if policy.covers(path):
                return number
        return 0

    def client_address(self, head: RequestHead) -> str | None:
        addresses = self.addresses
        if not addresses.trusted:
            header = head.header
            if (header("x-forwarded-for") or header("forwarded")) and time.monotonic() >= self._trap_quiet_until:
                self._warn_of_untrusted_proxy(head)
            return addresses.resolve(head.peer, None)
        return addresses.resolve(head.peer, head.header(addresses.header))

    def _warn_of_untrusted_proxy(self, head: RequestHead) -> None:
        """A private-network peer that forwards for others while no proxy is
        trusted is almost always a reverse proxy left unnamed: every client
        then has the proxy's address, and one ban locks everyone out. Said
        once, then at most once an hour."""
        header = (
            "x-forwarded-for" if head.header("x-forwarded-for") else "forwarded" if head.header("forwarded") else None
        )
        if header is None:
            return
        peer = normalise_address(head.peer.split("%", 1)[0] if isinstance(head.peer, str) else head.peer)
        if peer is None:
            return
        forwarded = head.header("x-forwarded-for") or ""
        if (
            peer == normalise_address(forwarded.rpartition(",")[2].strip())
            and not ipaddress.ip_address(peer).is_loopback
        ):
            # The peer is the header's last hop: the server itself took the
            # client's address from the header (uvicorn's --proxy-headers), so
            # whoever reaches it directly names any address it likes.
            self._trap_quiet_until = time.monotonic() + PROXY_TRAP_QUIET_SECONDS
            _log.warning(
                "quelvar_guard: the server gave %s as the client's address, the last hop of its X-Forwarded-For, "
                "while no proxy is trusted here: it rewrites clients from the header itself, so a client that "
                "reaches it can name any address (uvicorn: --no-proxy-headers, and QUELVAR_TRUSTED_PROXIES)",
                peer,
            )
            return
        if not ipaddress.ip_address(peer).is_private:
            return
        self._trap_quiet_until = time.monotonic() + PROXY_TRAP_QUIET_SECONDS
        _log.warning(
            "quelvar_guard: requests from %s carry %s, but no proxy is trusted: every client behind it "
            "has its address, and a ban of one is a ban of all; name it in trusted_proxies "
            "(QUELVAR_TRUSTED_PROXIES)",
            peer,
            header,
        )

    def health(self) -> tuple[bool, dict[str, object]]:
        """Readiness for an orchestrator: the store's own account."""
        state = self.store.health()
        return bool(state["ready"]), state

    def health_reply(self) -> Reply:
        ready, state = self.health()
        return Reply(200 if ready else 503, state)

    def banned(self, address: str | None) -> Reply | None:
        if address is None:
            return None
        remaining = self.store.ban_remaining(address)
        if remaining is None:
            return None
        seconds = max(1, int(remaining))
        return _error(403, "banned", (("Retry-After", str(seconds)),), retry_after=seconds)

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

    @staticmethod
    def _shadowed(would: Event) -> None:
        """A refusal the guard lets through: logged and counted as would-have."""
        RECORD.request(replace(would, shadow=True))
        if METRICS.on:
            METRICS.shadow(str(would.code))

    # -- the walk ---------------------------------------------------------------

    def walk(self, head: RequestHead, route: Route) -> Reply | Screened | Walk:
        """The steps for one request on a route (see the module's docstring):
        the outcome, or, when a step needs the adapter, a generator of the
        steps left for it to drive (see `run` and `run_async`). Where they end
        in a reply of the guard's own, the decision record logs it (see
        quelvar_guard.record); with metrics on, every outcome and the walk's
        time are counted (see quelvar_guard.metrics)."""
        started = time.perf_counter() if METRICS.on else None
        address = self.client_address(head)
        if route is Route.TOKEN:
            if head.method not in ("GET", "HEAD"):
                return self._end(_NOT_GET, head, route, started, address)
        elif route is Route.TELEMETRY and head.method not in BODY_METHODS:
            return self._end(_NOT_POST, head, route, started, address)
        if address is not None and (self.allow is not None or self.crawlers is not None):
            passed = self._passed(head, route, address, started)
            if passed is not None:
                return passed
        if address is not None and self.store.is_banned(address):
            refusal = self.banned(address)  # None if the ban ran out in between
            if refusal is not None:
                return self._end(refusal, head, route, started, address)
        if route is Route.TOKEN:
            # A page asks for a token of a route policy by naming the path it is for.
            policy = self.policy_of(head.header(self._route_key)) if self._policies_by_length else 0
            if not self._admits or address is None:
                return self._end(self.telemetry_token(address, None, policy), head, route, started, address)
            if not self._in_process:
                return self._rest(self._mint(address, policy), head, route, started, address)
            return self._end(self._minted(self.admit(address, policy), address, policy), head, route, started, address)

        token = head.header(self._token_key)
        if not token:
            return self._end(_MISSING_TOKEN, head, route, started, address)
        path_policy = self.policy_of(head.path) if self._policies_by_length and route is Route.GUARDED else 0
        verdict = self.tokens.verify(
            token, ROUTE_KINDS[route], address, path_policy if route is Route.GUARDED else None
        )
        if verdict is not TokenVerdict.OK:
            return self._end(_VERDICT_REPLIES[verdict], head, route, started, address)
        if self._lost_state_at is not None and self._issued_before_loss(token):
            return self._end(_STORE_UNAVAILABLE, head, route, started, address)
        if not self._in_process:
            return self._rest(self._spend(token, route, head, address), head, route, started, address)
        if not self._spend_now(token):
            return self._end(_REPLAYED, head, route, started, address)
        if route is Route.TELEMETRY:
            return self._rest(self._telemetry(head, address, token), head, route, started, address)
        screened = self._screened.get(address) or self._let_through(address)
        return screened if started is None else self._end(screened, head, route, started, address)

    def _passed(self, head: RequestHead, route: Route, address: str, started: float | None) -> Outcome | Walk | None:
        """An allowed network's or a claimed crawler's way: let through
        unscreened, or (a crawler not yet confirmed) the check; None: screened
        as any client."""
        if self.allow is not None and self.allow.allowed(address):
            return self._end(self._unscreened(route, address), head, route, started, address)
        if self.crawlers is None:
            return None
        crawler = self.crawlers.claimed(head.header("user-agent"))
        if crawler is None:
            return None
        known = self.crawlers.known(crawler, address)
        if known is None:
            return self._rest(self._verify_crawler(route, address, crawler.name), head, route, started, address)
        outcome = self._unscreened(route, address) if known else _FAKE_CRAWLER
        return self._end(outcome, head, route, started, address)

    def _verify_crawler(self, route: Route, address: str, crawler: str) -> Walk:
        try:
            verified = yield VerifyCrawler(address, crawler)
        except StoreUnavailable:
            verified = False
        return self._unscreened(route, address) if verified else _FAKE_CRAWLER

    def _unscreened(self, route: Route, address: str) -> Outcome:
        """What an allowed client gets on each route, with nothing asked of it."""
        if route is Route.TOKEN:
            return self.telemetry_token(address, 0)
        if route is Route.TELEMETRY:
            tokens = self.tokens.issue_clearance(self.requests_per_clearance, self._network(address))
            return Screened(address, TokenVerdict.OK, tokens=tokens)
        return self._let_through(address)

    def verify_crawler(self, address: str, name: str) -> bool:
        """A claim checked once for the fleet: the store's answer while it
        lasts, else its operator's DNS (blocking: adapters call this off the
        event loop), kept in the store for the others."""
        assert self.crawlers is not None
        crawler = self.crawlers.named(name)
        key = f"crawler:{crawler.name}:{address}"
        held = self.store.recall(key)
        if held is not None:
            verified = held == "1"
            self.crawlers.learn(crawler, address, verified)
            return verified
        verified = self.crawlers.verify(crawler, address)
        self.store.remember(key, "1" if verified else "0", self.crawlers.lifetime(verified))
        return verified

    def _end(
        self, outcome: Outcome, head: RequestHead, route: Route, started: float | None, address: str | None
    ) -> Outcome:
        """The walk's last step, whichever way it ended: its event, for the
        metrics and the record. In shadow mode a refusal is counted and
        logged as would-have, and the request let through."""
        if type(outcome) is Reply:  # an allowed request pays nothing more here
            if outcome.decided is None:  # the token endpoint's answer
                if started is not None:
                    METRICS.request(Event(route, Decided.ALLOW, address=address, path=head.path, issued=1), started)
                return outcome
            event = refusal_event(outcome, route, head, address)
            if started is not None:
                METRICS.request(event, started)
            self._count_refusal(str(event.code))
            if self.shadow and outcome.status < 500:
                self._shadowed(event)
                return self._let_through_anyway(event, route, address)
            RECORD.request(event)
        elif started is not None:
            screened: Screened = outcome  # type: ignore[assignment]
            allowed = Event(
                route,
                Decided.ALLOW,
                address=address,
                path=head.path,
                policy=screened.policy,
                issued=len(screened.tokens),
            )
            METRICS.request(allowed, started)
        return outcome

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

    def _rest(self, steps: Walk, head: RequestHead, route: Route, started: float | None, address: str | None) -> Walk:
        outcome = yield from steps
        return self._end(outcome, head, route, started, address)

    def _let_through(self, address: str | None) -> Screened:
        screened = self._screened.get(address)
        if screened is None:
            if len(self._screened) >= _SCREENED_CACHE_LIMIT:
                self._screened.clear()
            screened = self._screened[address] = Screened(address, TokenVerdict.OK)
        return screened

    def _minted(self, admission: Admission, address: str | None, policy: int) -> Reply:
        if admission.wait > 0:
            return _too_many_tokens(admission.wait)
        return self.telemetry_token(address, self.admitted_bits(admission, policy), policy)

    def _mint(self, address: str, policy: int) -> Walk:
        try:
            admission = yield Admit(address, policy)
        except StoreUnavailable:
            return _STORE_UNAVAILABLE
        return self._minted(admission, address, policy)

    def _spend(self, token: str, route: Route, head: RequestHead, address: str | None) -> Walk:
        try:
            fresh = yield Spend(token)
        except StoreUnavailable:
            return _STORE_UNAVAILABLE
        if not fresh:
            return _REPLAYED
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
                    return _STORE_UNAVAILABLE
                if not attested:
                    return _REPLAYED  # the privacy token was spent before
        if not attested and not work_done(token.encode("ascii"), head.header(self._work_key), bits):
            return _error(403, "work_required", work=bits, work_header=WORK_HEADER)
        length_text = (head.header("content-length") or "").strip()
        if not length_text:
            return _LENGTH_REQUIRED
        if not _DIGITS.fullmatch(length_text):
            return _BAD_CONTENT_LENGTH
        length = int(length_text)
        if length > self.max_body:
            return _error(413, "body_too_large", limit=self.max_body)
        try:
            body = yield ReadBody(length)
        except TimeoutError:
            return _BODY_TIMEOUT
        if body is None or len(body) != length:
            return _INCOMPLETE_BODY
        try:
            features, moves = yield ParseBody(body)
        except ValueError:
            return _MALFORMED_TELEMETRY
        decision = yield Decide(features, moves)
        if not isinstance(decision, Decision):
            raise TypeError(f"the decision callback returned {decision!r}, not a Decision")
        if decision.would is not None:  # rules set to shadow fired: logged and counted, not enforced
            code = "challenge" if decision.would.action is Action.CHALLENGE else "refused"
            would = _decision_reply(code, decision.would.seconds, decision.would.reasons)
            self._shadowed(refusal_event(would, Route.TELEMETRY, head, address))
        action = decision.action
        # A challenge token's work paid for a challenge: what the rules would
        # challenge again is let through (bans and refusals still hold).
        if action is Action.ALLOW or (action is Action.CHALLENGE and (kind is TokenKind.CHALLENGE or attested)):
            count = self._policy_settings[policy][0]
            tokens = self.tokens.issue_clearance(count, self._network(address), policy)
            return Screened(address, TokenVerdict.OK, features, decision, tokens, policy=policy)
        if address is None:
            code = "challenge" if action is Action.CHALLENGE else "refused"
            return _decision_reply(code, 0, decision.reasons)
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
            return _decision_reply("refused", seconds, decision.reasons)
        return _decision_reply("refused", 0, decision.reasons)

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


def run(walk: Reply | Screened | Walk, answer: Callable[[Need], Any]) -> Reply | Screened:
    """Drives what `Guard.walk` returned with a synchronous `answer`; its
    exceptions are thrown into the walk. An outcome is returned as it is."""
    if isinstance(walk, (Reply, Screened)):
        return walk
    value: Any = None
    failure: BaseException | None = None
    while True:
        try:
            need = walk.send(value) if failure is None else walk.throw(failure)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        try:
            value, failure = answer(need), None
        except Exception as exc:  # handed to the walk, which re-raises what it does not expect
            value, failure = None, exc


async def run_async(walk: Reply | Screened | Walk, answer: Callable[[Need], Awaitable[Any]]) -> Reply | Screened:
    """`run` with an `answer` that returns awaitables."""
    if isinstance(walk, (Reply, Screened)):
        return walk
    value: Any = None
    failure: BaseException | None = None
    while True:
        try:
            need = walk.send(value) if failure is None else walk.throw(failure)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        try:
            value, failure = await answer(need), None
        except Exception as exc:
            value, failure = None, exc
