"""Pure ASGI middleware: the decision core, translated to ASGI.

Works under any ASGI server and framework (Starlette, FastAPI, Django's ASGI
handler, ...). Nothing here blocks the event loop on the network: tokens are
spent with the store's async call, a ban and a shared minting budget are
written from a worker thread, and a telemetry body above `thread_threshold`
bytes is parsed in a thread, where the native parser runs without the
interpreter lock. Small bodies are parsed inline, where a thread hand-off
would cost more than the parse.

Paths are matched as the application routes them: `scope["path"]` without
`scope["root_path"]` (a server's --root-path, or the prefix of a Mount that
the middleware sits in), decoded as the server decoded it, so `/api%2Fhello`
is `/api/hello`, as every router reading `path` sees it.

WebSocket handshakes on the guard's paths are screened like guarded requests
(the ban, then a guarded token, from the token header or, since browsers
cannot set headers on a WebSocket, from the `token_query` parameter of the
URL); a refusal is sent before the handshake is accepted, as an HTTP response
where the server offers that extension, otherwise as close code 1008.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Awaitable, Callable, MutableMapping
from dataclasses import dataclass
from typing import Any, assert_never
from urllib.parse import parse_qsl

from .decision import Guard, run_async
from .vocabulary import (
    Admit,
    Ban,
    Decide,
    Escalate,
    Need,
    ParseBody,
    ReadBody,
    Reply,
    RequestHead,
    Route,
    Screened,
    Spend,
    VerifyCrawler,
    Walk,
)

__all__ = [
    "ASGIGuard",
    "BodyLimits",
    "SCREENED_KEY",
    "guard_head",
    "read_body",
    "request_head",
    "route_path",
    "screen",
    "wanted_headers",
]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

# A request let through carries its Screened record under this scope key.
SCREENED_KEY = "quelvar.screened"

# Below this many bytes, parsing inline is cheaper than a thread hand-off; at
# it the costliest body a client can write takes about 5 typical posts' time,
# and a larger one is parsed in a thread, off the event loop.
DEFAULT_THREAD_THRESHOLD = 24 * 1024

# The query parameter a WebSocket handshake may carry its guarded token in.
DEFAULT_TOKEN_QUERY = "quelvar_token"

# Close code for a refused handshake where the server cannot send a response.
POLICY_VIOLATION = 1008


@dataclass(frozen=True)
class BodyLimits:
    """How long a telemetry body may take to arrive.

    timeout:  the whole body within this many seconds of the first read
    grace:    seconds before the rate counts (a slow start, a TCP ramp-up)
    min_rate: bytes per second on average from then on; a body that falls
              behind is refused at once, so a trickle cannot hold its buffer
              for the whole timeout
    Refused with 408 body_timeout.
    """

    timeout: float = 10.0
    grace: float = 2.0
    min_rate: float = 4096.0

    def __post_init__(self) -> None:
        if not self.timeout > 0 or not self.grace >= 0 or not self.min_rate > 0:
            raise ValueError("timeout and min_rate must be positive, grace not negative")


def route_path(scope: Scope) -> str:
    """The path the application routes: `path` without `root_path` when that
    is a prefix of it at a segment boundary (servers put root_path in path)."""
    path: str = scope.get("path", "")
    root: str = scope.get("root_path", "")
    if root and path.startswith(root) and (len(path) == len(root) or path[len(root)] == "/"):
        return path[len(root) :]
    return path


def request_head(scope: Scope) -> RequestHead:
    """The head of an HTTP or WebSocket scope, every header readable."""
    # Names lowered, lines of one name joined; a value is decoded only when asked for.
    raw: dict[bytes, bytes] = {}
    for name, value in scope.get("headers", ()):
        name = name.lower()
        if name in raw:
            raw[name] += b", " + value
        else:
            raw[name] = value

    def header(name: str) -> str | None:
        value = raw.get(name.encode("latin-1"))
        return None if value is None else value.decode("latin-1")

    return _head(scope, header)


def wanted_headers(guard: Guard) -> dict[bytes, str]:
    """The headers the guard's walk reads, by their names as ASGI sends them."""
    return {name.encode("latin-1"): name for name in guard.header_names}


def guard_head(scope: Scope, wanted: dict[bytes, str]) -> RequestHead:
    """The head of a scope with only the `wanted` headers read (see
    `wanted_headers`): the rest are passed over, not decoded."""
    headers: dict[str, str] = {}
    for raw_name, raw_value in scope.get("headers", ()):
        name = wanted.get(raw_name)
        if name is None:
            if raw_name.islower():
                continue  # as servers send names: lower case, and not one of the wanted
            name = wanted.get(raw_name.lower())
            if name is None:
                continue
        value = raw_value.decode("latin-1")
        headers[name] = headers[name] + ", " + value if name in headers else value
    return _head(scope, headers.get)


def _head(scope: Scope, header: Callable[[str], str | None]) -> RequestHead:
    client = scope.get("client")
    return RequestHead(scope.get("method", "GET"), route_path(scope), client[0] if client else None, header)


async def read_body(receive: Receive, length: int, limits: BodyLimits | None = None) -> bytes | None:
    """At most a little over `length` bytes of the body; None if the client
    left. With `limits`, TimeoutError when the body comes too slowly."""
    chunks: list[bytes] = []
    size = 0
    if limits is not None:
        start = asyncio.get_running_loop().time()
        deadline = start + limits.timeout
    while size <= length:
        if limits is None:
            message = await receive()
        else:
            # The next bytes are due before the deadline, and before the
            # average rate since the grace period falls behind.
            async with asyncio.timeout_at(min(deadline, start + limits.grace + size / limits.min_rate)):
                message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk = message.get("body", b"")
        chunks.append(chunk)
        size += len(chunk)
        if not message.get("more_body", False):
            break
    return b"".join(chunks)


Read = Callable[[int], Awaitable["bytes | None"]]


async def screen(
    guard: Guard,
    head: RequestHead,
    route: Route,
    read: Read | None = None,
    *,
    thread_threshold: int = DEFAULT_THREAD_THRESHOLD,
) -> Reply | Screened:
    """The guard's walk for one request under an event loop; `read(length)`
    gives the body (None if the client left). Nothing here blocks the loop:
    see the module."""
    outcome = guard.walk(head, route)
    if isinstance(outcome, (Reply, Screened)):
        return outcome
    return await _drive(guard, outcome, read, thread_threshold)


async def _drive(guard: Guard, walk: Walk, read: Read | None, thread_threshold: int) -> Reply | Screened:
    async def answer(need: Need) -> Any:
        match need:
            case Spend(token):
                return await guard.store.consume_nonce_async(token)
            case Admit(address, policy):
                return await asyncio.to_thread(guard.admit, address, policy)
            case VerifyCrawler(address, crawler):
                return await asyncio.to_thread(guard.verify_crawler, address, crawler)
            case Escalate(address, amount, ban, note):
                return await asyncio.to_thread(guard.escalate, address, amount, ban, note)
            case ReadBody(length):
                assert read is not None
                return await read(length)
            case ParseBody(body):
                if len(body) > thread_threshold:
                    return await asyncio.to_thread(guard.parse, body)
                return guard.parse(body)
            case Decide(features, moves):
                decision = guard.judge(features, moves)
                return await decision if inspect.isawaitable(decision) else decision
            case Ban(address, seconds):
                return await asyncio.to_thread(guard.store.ban, address, seconds)
            case _:
                assert_never(need)

    return await run_async(walk, answer)


async def _send(reply: Reply, send: Send, head_only: bool) -> None:
    await send({"type": "http.response.start", "status": reply.status, "headers": list(reply.raw_headers)})
    await send({"type": "http.response.body", "body": b"" if head_only else reply.body()})


async def _refuse_handshake(reply: Reply, scope: Scope, receive: Receive, send: Send) -> None:
    """A refused WebSocket handshake, answered before it is accepted."""
    if (await receive())["type"] != "websocket.connect":
        return  # the client left first
    if "websocket.http.response" in (scope.get("extensions") or {}):
        await send(
            {"type": "websocket.http.response.start", "status": reply.status, "headers": list(reply.raw_headers)}
        )
        await send({"type": "websocket.http.response.body", "body": reply.body()})
    else:
        await send({"type": "websocket.close", "code": POLICY_VIOLATION, "reason": reply.payload["error"]})


class ASGIGuard:
    """Screens the guarded paths of an ASGI application; see `Guard`.

        app = ASGIGuard(app, Guard(RedisStore(...), secrets, decide=score))

    The callback may be a plain function or a coroutine function. HTTP
    requests and WebSocket handshakes are screened (see the module); lifespan
    events pass through. `body_limits` bounds how slowly a telemetry body may
    arrive; `token_query` names the URL parameter a WebSocket handshake may
    carry its token in (None: the header only).
    """

    def __init__(
        self,
        app: ASGIApp,
        guard: Guard,
        *,
        thread_threshold: int = DEFAULT_THREAD_THRESHOLD,
        body_limits: BodyLimits = BodyLimits(),
        token_query: str | None = DEFAULT_TOKEN_QUERY,
    ) -> None:
        self.app = app
        self.guard = guard
        self.thread_threshold = thread_threshold
        self.body_limits = body_limits
        self.token_query = token_query
        self._wanted = wanted_headers(guard)

    async def screen(self, head: RequestHead, route: Route, read: Read | None = None) -> Reply | Screened:
        """The walk for one request; `read(length)` gives the body (None if the client left)."""
        return await screen(self.guard, head, route, read, thread_threshold=self.thread_threshold)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "http":
            path = route_path(scope)
            route = self.guard.route(path)
            if route is None:
                if path == self.guard.metrics_path:
                    # Off the event loop: a shared store is asked its ban count.
                    return await _send(await asyncio.to_thread(self.guard.metrics), send, False)
                if path == self.guard.health_path:
                    return await _send(await asyncio.to_thread(self.guard.health_reply), send, False)
                return await self.app(scope, receive, send)
            head = guard_head(scope, self._wanted)
            outcome = self.guard.walk(head, route)
            if not isinstance(outcome, (Reply, Screened)):
                limits = self.body_limits
                outcome = await _drive(
                    self.guard, outcome, lambda length: read_body(receive, length, limits), self.thread_threshold
                )
            if isinstance(outcome, Reply):
                return await _send(outcome, send, head.method == "HEAD")
            if route is Route.TELEMETRY:
                return await _send(self.guard.cleared(outcome), send, False)  # answered here, not by the app
        elif kind == "websocket":
            if self.guard.route(route_path(scope)) is None:
                return await self.app(scope, receive, send)
            # Every path of the guard's is a guarded one to a WebSocket: the
            # token and telemetry endpoints answer plain HTTP only.
            outcome = await self.screen(self._handshake_head(scope), Route.GUARDED)
            if isinstance(outcome, Reply):
                return await _refuse_handshake(outcome, scope, receive, send)
        else:
            return await self.app(scope, receive, send)
        scope = dict(scope)
        scope[SCREENED_KEY] = outcome
        return await self.app(scope, receive, send)

    def _handshake_head(self, scope: Scope) -> RequestHead:
        head = guard_head(scope, self._wanted)
        if self.token_query is None or head.header(self.guard.token_header.lower()):
            return head
        query = scope.get("query_string", b"").decode("latin-1")
        token = next((value for name, value in parse_qsl(query) if name == self.token_query), None)
        if token is None:
            return head
        key, header = self.guard.token_header.lower(), head.header

        def with_query_token(name: str) -> str | None:
            return token if name == key else header(name)

        return RequestHead(head.method, head.path, head.peer, with_query_token)
