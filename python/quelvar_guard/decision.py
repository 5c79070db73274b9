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

The walk is written once: see quelvar_guard.drivers.

The refusals are listed in quelvar_guard.replies.
"""

from __future__ import annotations

import time
from collections.abc import Iterable

from .addresses import BanScope, ClientAddresses
from .allow import Crawlers
from .attestation import Issuer
from .drivers import run, run_async
from .judging import NO_EVIDENCE, SHADOWABLE, allow_all
from .limits import (
    DEFAULT_BAN_SECONDS,
    DEFAULT_CHALLENGE_WORK_BITS,
    DEFAULT_CLEARANCE_SECONDS,
    DEFAULT_CLOCK_SKEW,
    DEFAULT_LEVEL_HALF_LIFE,
    DEFAULT_MAX_AGE,
    DEFAULT_MAX_BAN_SECONDS,
    DEFAULT_MAX_BODY,
    DEFAULT_MAX_WORK_BITS,
    DEFAULT_MINT_BURST,
    DEFAULT_MINT_RATE,
    DEFAULT_OFFENCE_WINDOW,
    DEFAULT_REQUESTS_PER_CLEARANCE,
    DEFAULT_WORK_BITS,
    check_numbers,
)
from .metrics import METRICS
from .networks import DEFAULT_NETWORK_BUDGETS, NetworkBudget, Networks, overdraft_limit, parse_budgets
from .policies import ROUTE_HEADER, RoutePolicy, parse_policies, path_start
from .record import RECORD
from .replies import (
    FAKE_CRAWLER,
    MISSING_TOKEN,
    NOT_GET,
    NOT_POST,
    REPLAYED,
    STORE_UNAVAILABLE,
    VERDICT_REPLIES,
    refusal_event,
)
from .routing import Callback, headers_read
from .scoring import Scoring
from .shadow import shadowed
from .store import Store
from .tokens import TokenKind, Tokens
from .unscreened import Unscreened
from .vocabulary import (
    Action,
    Decided,
    Decision,
    Event,
    Outcome,
    ReadBody,
    Reply,
    RequestHead,
    Route,
    Screened,
    TokenVerdict,
    Walk,
    whole_seconds,
)
from .work import WORK_HEADER

__all__ = [
    "Action",
    "BODY_METHODS",
    "Callback",
    "DEFAULT_BAN_SECONDS",
    "DEFAULT_CHALLENGE_WORK_BITS",
    "DEFAULT_LEVEL_HALF_LIFE",
    "DEFAULT_MAX_BAN_SECONDS",
    "DEFAULT_MAX_BODY",
    "DEFAULT_MAX_WORK_BITS",
    "DEFAULT_MINT_BURST",
    "DEFAULT_MINT_RATE",
    "DEFAULT_OFFENCE_WINDOW",
    "DEFAULT_REQUESTS_PER_CLEARANCE",
    "DEFAULT_WORK_BITS",
    "Decision",
    "Guard",
    "NO_EVIDENCE",
    "Outcome",
    "ReadBody",
    "Reply",
    "RequestHead",
    "Route",
    "SHADOWABLE",
    "Screened",
    "TokenVerdict",
    "Walk",
    "run",
    "run_async",
]

# The kind of token each route that needs one accepts.
ROUTE_KINDS = {Route.TELEMETRY: TokenKind.TELEMETRY, Route.GUARDED: TokenKind.GUARDED}

# Methods whose body, on the telemetry route, is the telemetry.
BODY_METHODS = frozenset({"POST", "PUT", "PATCH"})


class Guard(Unscreened):
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
        max_body: int = DEFAULT_MAX_BODY,
        requests_per_clearance: int = DEFAULT_REQUESTS_PER_CLEARANCE,
        clearance_seconds: float = DEFAULT_CLEARANCE_SECONDS,
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
        max_age: float = DEFAULT_MAX_AGE,
        clock_skew: float = DEFAULT_CLOCK_SKEW,
        metrics_path: str | None = None,
        health_path: str | None = None,
    ) -> None:
        check_numbers(
            max_body,
            requests_per_clearance,
            mint_rate,
            mint_burst,
            work_bits,
            challenge_work_bits,
            max_work_bits,
            level_half_life,
            offence_window,
        )
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
        self.decide: Callback = decide or allow_all
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
        self._guarded_starts = tuple(path_start(prefix) for prefix in self.guarded_paths)
        self.token_header = token_header
        self._token_key = token_header.lower()
        # Every header the walk reads: the adapters hand it these and no other.
        self.header_names = headers_read(self._token_key)
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
        self._settle_policies(enforced)
        exempt = [policy.prefix for policy in self.route_policies if policy.exempt]
        self._exempt_exact = frozenset(exempt)
        self._exempt_starts = tuple(path_start(prefix) for prefix in exempt)
        self._route_key = ROUTE_HEADER.lower()
        self._settle_unscreened(
            allow_networks, allow_file, verify_crawlers, crawler_dns, attestation_issuers, attestation_origin
        )
        self._settle_shadow(mode, shadow_rules)
        self._work_key = WORK_HEADER.lower()
        self._settle_endpoints(metrics_path, health_path)
        self._trap_quiet_until = 0.0
        # Guarded requests let through, one immutable record per address.
        self._screened: dict[str | None, Screened] = {}
        if metrics_path is not None:
            METRICS.enable()

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
                return self._end(NOT_GET, head, route, started, address)
        elif route is Route.TELEMETRY and head.method not in BODY_METHODS:
            return self._end(NOT_POST, head, route, started, address)
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
            return self._end(MISSING_TOKEN, head, route, started, address)
        path_policy = self.policy_of(head.path) if self._policies_by_length and route is Route.GUARDED else 0
        verdict = self.tokens.verify(
            token, ROUTE_KINDS[route], address, path_policy if route is Route.GUARDED else None
        )
        if verdict is not TokenVerdict.OK:
            return self._end(VERDICT_REPLIES[verdict], head, route, started, address)
        if self._lost_state_at is not None and self._issued_before_loss(token):
            return self._end(STORE_UNAVAILABLE, head, route, started, address)
        if not self._in_process:
            return self._rest(self._spend(token, route, head, address), head, route, started, address)
        if not self._spend_now(token):
            return self._end(REPLAYED, head, route, started, address)
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
        outcome = self._unscreened(route, address) if known else FAKE_CRAWLER
        return self._end(outcome, head, route, started, address)

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
            self._count_refusal(str(outcome.payload["error"]))
            if started is None and not self.shadow and not RECORD.wants(outcome.decided):
                return outcome  # nothing would read its event: none is built
            event = refusal_event(outcome, route, head, address)
            if started is not None:
                METRICS.request(event, started)
            if self.shadow and outcome.status < 500:
                shadowed(event)
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

    def _rest(self, steps: Walk, head: RequestHead, route: Route, started: float | None, address: str | None) -> Walk:
        outcome = yield from steps
        return self._end(outcome, head, route, started, address)
