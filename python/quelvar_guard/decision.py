"""The decision core shared by the WSGI and ASGI adapters (no framework imports).

One request walks one path:

    client address ─► ban check ─► token (signature, age, spent once)
        ─► telemetry body ─► features ─► the user's callback ─► response

The walk is written once, as a generator that yields what it needs from the
outside (spend a token, read the body, parse it, ask the callback, record a
ban) and returns either a `Reply` for the adapter to send or a `Screened`
request to hand to the application. The WSGI adapter answers each need
synchronously, the ASGI adapter awaits it, so both follow the same steps in
the same order.

Responses, each with a short JSON body {"error": code, ...}:

    403 banned               address banned; Retry-After: seconds left
    400 missing_token        no token header
    400 malformed_token      not a token of this format
    403 bad_signature        no configured secret signed it (forged or foreign)
    401 expired_token        older than max_age, or from the future; fetch a new one
    409 replayed_token       genuine, but already spent
    405 method_not_allowed   token endpoint not GET, telemetry without a body method
    411 length_required      telemetry without Content-Length
    413 body_too_large       telemetry over the limit
    400 incomplete_body      the body ended before its Content-Length
    400 malformed_telemetry  not JSON
    403 refused              the callback refused; with a ban, also Retry-After
    503 store_unavailable    a strict store could not reach its server
"""

from __future__ import annotations

import enum
import http
import json
import re
from collections.abc import Callable, Generator, Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Union

import quelvar_core_rs as core

from .addresses import ClientAddresses
from .store import U64_MAX as MAX_BAN_SECONDS
from .tokens import Tokens, TokenVerdict

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict

    from . import Store

__all__ = ["Action", "Decision", "Guard", "Reply", "Screened", "RequestHead"]


class Action(enum.Enum):
    ALLOW = "allow"
    BAN = "ban"
    REFUSE = "refuse"


@dataclass(frozen=True)
class Decision:
    """What the callback wants done with a client after seeing its features."""

    action: Action
    seconds: int = 0

    @classmethod
    def allow(cls) -> Decision:
        return cls(Action.ALLOW)

    @classmethod
    def refuse(cls) -> Decision:
        return cls(Action.REFUSE)

    @classmethod
    def ban(cls, seconds: int) -> Decision:
        if isinstance(seconds, bool) or not isinstance(seconds, int) or seconds <= 0:
            raise ValueError("a ban lasts a positive whole number of seconds")
        # The ban table holds expiries up to 2^64 - 1 s: a longer ban is the
        # longest it can hold, not a failed request.
        return cls(Action.BAN, min(seconds, MAX_BAN_SECONDS))


Callback = Callable[["FeatureDict"], Any]  # returns a Decision (or, in ASGI, an awaitable of one)


@dataclass(frozen=True)
class Reply:
    """A response the middleware sends itself."""

    status: int
    payload: dict[str, object]
    headers: tuple[tuple[str, str], ...] = ()

    @property
    def status_line(self) -> str:
        return f"{self.status} {http.HTTPStatus(self.status).phrase}"

    def body(self) -> bytes:
        return json.dumps(self.payload, separators=(",", ":")).encode()

    def all_headers(self) -> list[tuple[str, str]]:
        body_length = len(self.body())
        return [("Content-Type", "application/json"), ("Content-Length", str(body_length)),
                ("Cache-Control", "no-store"), *self.headers]


@dataclass(frozen=True)
class Screened:
    """A request let through, with what was learnt about it."""

    address: str | None
    verdict: TokenVerdict
    features: FeatureDict | None = None
    decision: Decision | None = None


@dataclass(frozen=True)
class RequestHead:
    """What the core reads of a request before its body.

    `header(name)` gives the value of a header named in lower case, several
    lines joined with ", ", or None.
    """

    method: str
    path: str
    peer: str | None
    header: Callable[[str], str | None]


class Route(enum.Enum):
    TOKEN = "token"
    TELEMETRY = "telemetry"
    GUARDED = "guarded"


# What the walk asks of its adapter; each is answered with a value sent back in
# (or an exception thrown back in).
@dataclass(frozen=True)
class CheckToken:        # -> TokenVerdict (spends the token)
    token: str


@dataclass(frozen=True)
class ReadBody:          # -> bytes, or None if the client went away
    length: int


@dataclass(frozen=True)
class ParseBody:         # -> FeatureDict, or ValueError thrown in
    body: bytes


@dataclass(frozen=True)
class Decide:            # -> Decision
    features: FeatureDict


@dataclass(frozen=True)
class Ban:               # -> None
    address: str
    seconds: int


Need = Union[CheckToken, ReadBody, ParseBody, Decide, Ban]
Walk = Generator[Need, Any, Union[Reply, Screened]]

# Methods whose body, on the telemetry route, is the telemetry.
BODY_METHODS = frozenset({"POST", "PUT", "PATCH"})

_DIGITS = re.compile(r"[0-9]{1,18}")


def _error(status: int, code: str, headers: tuple[tuple[str, str], ...] = (), **extra: object) -> Reply:
    return Reply(status, {"error": code, **extra}, headers)


_VERDICT_REPLIES = {
    TokenVerdict.MALFORMED: _error(400, "malformed_token"),
    TokenVerdict.BAD_SIGNATURE: _error(403, "bad_signature"),
    TokenVerdict.EXPIRED: _error(401, "expired_token", (("WWW-Authenticate", "Token"),)),
    TokenVerdict.REPLAYED: _error(409, "replayed_token"),
}


def _store_unavailable() -> type[BaseException]:
    # Imported late: the package's __init__ imports this module.
    from . import StoreUnavailable
    return StoreUnavailable


def _allow_all(features: FeatureDict) -> Decision:
    return Decision.allow()


class Guard:
    """Everything the adapters share: configuration, the walk, the parsing.

    store:          a Store (LocalStore for one process, RedisStore for many)
    secrets:        token keys, first signs, all verify (see Tokens)
    decide:         callback(features) -> Decision; default allows everyone
    guarded_paths:  path prefixes that need a token ("/api/" covers "/api/x";
                    "/login" covers "/login" and "/login/...")
    token_path:     GET here returns {"token": ...}
    telemetry_path: POST of telemetry JSON here, with a token, is scored by
                    `decide` and answered by the middleware
    token_header:   the request header carrying the token
    max_body:       telemetry bodies above this many bytes get 413
    trusted_proxies, proxy_header: see ClientAddresses
    max_age, clock_skew: see Tokens
    """

    def __init__(
        self,
        store: Store,
        secrets: Iterable[str | bytes],
        *,
        decide: Callback | None = None,
        guarded_paths: Iterable[str] = ("/api/",),
        token_path: str = "/quelvar/token",
        telemetry_path: str = "/quelvar/telemetry",
        token_header: str = "X-Quelvar-Token",
        max_body: int = 64 << 10,  # fullest session (300 points, 150 keys, 400 clicks/scrolls): 41 KB, 62 KB indented
        trusted_proxies: Iterable[str] | str = (),
        proxy_header: str = "x-forwarded-for",
        max_age: float = 30.0,
        clock_skew: float = 5.0,
    ) -> None:
        if max_body <= 0:
            raise ValueError("max_body must be positive")
        self.store = store
        self.tokens = Tokens(list(secrets), store, max_age=max_age, clock_skew=clock_skew)
        self.addresses = ClientAddresses(trusted_proxies, header=proxy_header)
        self.decide: Callback = decide or _allow_all
        if isinstance(guarded_paths, str):
            guarded_paths = [guarded_paths]
        self.guarded_paths = tuple(guarded_paths)
        self.token_path = token_path
        self.telemetry_path = telemetry_path
        self.token_header = token_header
        self.max_body = max_body

    def route(self, path: str) -> Route | None:
        """Which kind of request this path is; None for paths the guard leaves alone."""
        if path == self.token_path:
            return Route.TOKEN
        if path == self.telemetry_path:
            return Route.TELEMETRY
        for prefix in self.guarded_paths:
            if path == prefix or path.startswith(prefix if prefix.endswith("/") else prefix + "/"):
                return Route.GUARDED
        return None

    def client_address(self, head: RequestHead) -> str | None:
        forwarded = head.header(self.addresses.header) if self.addresses.trusted else None
        return self.addresses.resolve(head.peer, forwarded)

    def banned(self, address: str | None) -> Reply | None:
        if address is None:
            return None
        remaining = self.store.ban_remaining(address)
        if remaining is None:
            return None
        seconds = max(1, int(remaining))
        return _error(403, "banned", (("Retry-After", str(seconds)),), retry_after=seconds)

    @staticmethod
    def parse(body: bytes) -> FeatureDict:
        """Features of a telemetry body; ValueError if it is not JSON."""
        return core.extract_features_json_rs(body)

    def walk(self, head: RequestHead, route: Route) -> Walk:
        """The steps for one request on a route; see the module's docstring."""
        if route is Route.TOKEN and head.method not in ("GET", "HEAD"):
            return _error(405, "method_not_allowed", (("Allow", "GET"),))
        if route is Route.TELEMETRY and head.method not in BODY_METHODS:
            return _error(405, "method_not_allowed", (("Allow", "POST"),))
        address = self.client_address(head)
        refusal = self.banned(address)
        if refusal is not None:
            return refusal
        if route is Route.TOKEN:
            return Reply(200, {"token": self.tokens.issue(), "header": self.token_header,
                               "max_age": self.tokens.max_age})

        token = head.header(self.token_header.lower())
        if not token:
            return _error(400, "missing_token")
        try:
            verdict = yield CheckToken(token)
        except _store_unavailable():
            return _error(503, "store_unavailable")
        if verdict is not TokenVerdict.OK:
            return _VERDICT_REPLIES[verdict]
        if route is Route.GUARDED:
            return Screened(address, verdict)

        length_text = (head.header("content-length") or "").strip()
        if not length_text:
            return _error(411, "length_required")
        if not _DIGITS.fullmatch(length_text):
            return _error(400, "bad_content_length")
        length = int(length_text)
        if length > self.max_body:
            return _error(413, "body_too_large", limit=self.max_body)
        body = yield ReadBody(length)
        if body is None or len(body) != length:
            return _error(400, "incomplete_body")
        try:
            features = yield ParseBody(body)
        except ValueError:
            return _error(400, "malformed_telemetry")
        decision = yield Decide(features)
        if not isinstance(decision, Decision):
            raise TypeError(f"the decision callback returned {decision!r}, not a Decision")
        if decision.action is Action.ALLOW:
            return Screened(address, verdict, features, decision)
        if decision.action is Action.BAN and address is not None:
            try:
                yield Ban(address, decision.seconds)
            except _store_unavailable():
                pass  # refused all the same; a strict store has said it cannot keep the ban
            return _error(403, "refused", (("Retry-After", str(decision.seconds)),),
                          retry_after=decision.seconds)
        return _error(403, "refused")


ALLOWED = Reply(200, {"decision": "allow"})


def run(walk: Walk, answer: Callable[[Need], Any]) -> Reply | Screened:
    """Drives a walk with a synchronous `answer`; its exceptions are thrown into the walk."""
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


async def run_async(walk: Walk, answer: Callable[[Need], Any]) -> Reply | Screened:
    """`run` with an `answer` that returns awaitables."""
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
