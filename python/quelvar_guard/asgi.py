"""Pure ASGI middleware: the decision core, translated to ASGI.

Works under any ASGI server and framework (Starlette, FastAPI, Django's ASGI
handler, ...). Nothing here blocks the event loop on the network: tokens are
spent with the store's async call, a ban is written from a worker thread, and a
telemetry body above `thread_threshold` bytes is parsed in a thread, where the
native parser runs without the interpreter lock. Small bodies are parsed
inline, where a thread hand-off would cost more than the parse.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from .decision import (Ban, CheckToken, Decide, Guard, Need, ParseBody, ReadBody, Reply,
                       RequestHead, Route, Screened, run_async)

__all__ = ["ASGIGuard", "SCREENED_KEY", "request_head", "read_body"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

# A request let through carries its Screened record under this scope key.
SCREENED_KEY = "quelvar.screened"

# Below this many bytes, parsing inline is cheaper than a thread hand-off.
DEFAULT_THREAD_THRESHOLD = 64 * 1024


def request_head(scope: Scope) -> RequestHead:
    headers: dict[str, str] = {}
    for raw_name, raw_value in scope.get("headers", ()):
        name = raw_name.decode("latin-1").lower()
        value = raw_value.decode("latin-1")
        headers[name] = f"{headers[name]}, {value}" if name in headers else value
    client = scope.get("client")
    return RequestHead(scope.get("method", "GET"), scope.get("path", ""),
                       client[0] if client else None, headers.get)


async def read_body(receive: Receive, length: int) -> bytes | None:
    """At most a little over `length` bytes of the body; None if the client left."""
    chunks: list[bytes] = []
    size = 0
    while size <= length:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk = message.get("body", b"")
        chunks.append(chunk)
        size += len(chunk)
        if not message.get("more_body", False):
            break
    return b"".join(chunks)


async def _send(reply: Reply, send: Send, head_only: bool) -> None:
    await send({"type": "http.response.start", "status": reply.status,
                "headers": [(name.lower().encode("latin-1"), value.encode("latin-1"))
                            for name, value in reply.all_headers()]})
    await send({"type": "http.response.body", "body": b"" if head_only else reply.body()})


class ASGIGuard:
    """Screens the guarded paths of an ASGI application; see `Guard`.

        app = ASGIGuard(app, Guard(RedisStore(...), secrets, decide=score))

    The callback may be a plain function or a coroutine function. Only HTTP
    requests are screened; WebSocket and lifespan events pass through.
    """

    def __init__(self, app: ASGIApp, guard: Guard, *,
                 thread_threshold: int = DEFAULT_THREAD_THRESHOLD) -> None:
        self.app = app
        self.guard = guard
        self.thread_threshold = thread_threshold

    async def screen(self, head: RequestHead, route: Route,
                     read: Callable[[int], Awaitable[bytes | None]]) -> Reply | Screened:
        """The walk for one request; `read(length)` gives the body (None if the client left)."""
        guard = self.guard

        async def answer(need: Need) -> Any:
            if isinstance(need, CheckToken):
                return await guard.tokens.check_async(need.token, need.kind, need.address)
            if isinstance(need, ReadBody):
                return await read(need.length)
            if isinstance(need, ParseBody):
                if len(need.body) > self.thread_threshold:
                    return await asyncio.to_thread(guard.parse, need.body)
                return guard.parse(need.body)
            if isinstance(need, Decide):
                decision = guard.decide(need.features)
                return await decision if inspect.isawaitable(decision) else decision
            if isinstance(need, Ban):
                return await asyncio.to_thread(guard.store.ban, need.address, need.seconds)
            raise AssertionError(need)

        return await run_async(guard.walk(head, route), answer)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        route = self.guard.route(scope.get("path", ""))
        if route is None:
            return await self.app(scope, receive, send)
        head = request_head(scope)
        outcome = await self.screen(head, route, lambda length: read_body(receive, length))
        if isinstance(outcome, Reply):
            return await _send(outcome, send, head.method == "HEAD")
        if route is Route.TELEMETRY:
            return await _send(self.guard.cleared(outcome), send, False)  # answered here, not by the app
        scope = dict(scope)
        scope[SCREENED_KEY] = outcome
        return await self.app(scope, receive, send)
