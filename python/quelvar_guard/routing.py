"""The guard's paths and its reading of a request: which route a path is,
which route policy covers it, the client's address, and the endpoints that
are never guarded (health, metrics)."""

from __future__ import annotations

import ipaddress
import logging
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .addresses import BanScope, ClientAddresses, normalise_address
from .allow import AllowList, Crawlers
from .attestation import Attestation
from .metrics import METRICS
from .networks import (
    Networks,
)
from .policies import ROUTE_HEADER, RoutePolicy
from .scoring import Scoring
from .store import Store
from .tokens import Tokens
from .vocabulary import (
    Reply,
    RequestHead,
    Route,
    Screened,
    _MetricsReply,
)
from .work import WORK_HEADER

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict


PROXY_TRAP_QUIET_SECONDS = 3600.0
_log = logging.getLogger("quelvar_guard")
Callback = Callable[["FeatureDict"], Any]  # returns a Decision (or, in ASGI, an awaitable of one)


def headers_read(token_key: str) -> tuple[str, ...]:
    """Every header the walk reads, in lower case."""
    return tuple(
        dict.fromkeys(
            (
                token_key,
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


class Routing:
    """Where a request goes, and who sent it."""

    # The guard's state, set by its constructor (see Guard).
    store: Store
    tokens: Tokens
    addresses: ClientAddresses
    scope: BanScope
    networks: Networks
    token_header: str
    max_body: int
    requests_per_clearance: int
    bind_network: bool
    shadow: bool
    shadow_rules: frozenset[str]
    ban_seconds: int
    challenge_hold: int
    challenge_work_bits: int
    max_work_bits: int
    max_ban_seconds: int
    level_half_life: float
    offence_window: float
    decide: Callback
    scoring: Scoring
    attestation: Attestation | None
    crawlers: Crawlers | None
    _policy_settings: list[tuple[int, float, int, Networks]]
    _policies_by_length: list[tuple[RoutePolicy, int]]
    _lost_state_at: Callable[[], float | None] | None
    _overdraft_limit: float
    _cleared_around: tuple[str, str]
    _attestation_challenges: tuple[bytes, ...]
    _attestation_headers: tuple[tuple[str, str], ...]
    _work_key: str
    _screened: dict[str | None, Screened]

    _routes: dict[str, Route]
    _guarded_exact: frozenset[str]
    _guarded_starts: tuple[str, ...]
    _exempt_exact: frozenset[str]
    _exempt_starts: tuple[str, ...]
    _trap_quiet_until: float
    metrics_path: str | None
    health_path: str | None
    mint_rate: float | None
    mint_burst: int
    work_bits: int
    allow: AllowList | None

    def _settle_endpoints(self, metrics_path: str | None, health_path: str | None) -> None:
        """The paths of the metrics and the health, each a path of its own."""
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
