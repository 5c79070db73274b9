"""An ASGI application whose workers share one replay memory and one ban list.

    uvicorn --workers 4 examples.guard_asgi:app

The same behaviour as examples/guard_wsgi.py. The token check awaits Redis
without blocking the event loop; the ban lookup is a local native call.
"""

from __future__ import annotations

import os
from collections.abc import Awaitable, Callable
from typing import Any
from urllib.parse import parse_qs

from quelvar_guard.config import Settings

# The service's settings (the QUELVAR_* variables; no token keys needed
# here), with Redis on this host unless QUELVAR_REDIS_URL names another.
STORE = Settings.from_environment(
    {"QUELVAR_REDIS_URL": "redis://127.0.0.1:6379/0", **os.environ}, store_only=True
).store()

Scope = dict[str, Any]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[None]]


async def respond(send: Send, status: int, text: str, headers: list[tuple[bytes, bytes]] | None = None) -> None:
    body = (text + "\n").encode()
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [(b"content-type", b"text/plain"), (b"x-worker", str(os.getpid()).encode())] + (headers or []),
        }
    )
    await send({"type": "http.response.body", "body": body})


async def app(scope: Scope, receive: Receive, send: Send) -> None:
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    if scope["type"] != "http":
        return
    ip = (scope.get("client") or ("", 0))[0]
    if STORE.is_banned(ip):
        left = STORE.ban_remaining(ip)
        await respond(send, 403, "banned", [(b"retry-after", str(left).encode())] if left else None)
        return
    if scope["path"] == "/ban":
        seconds = int(parse_qs(scope["query_string"].decode()).get("seconds", ["60"])[0])
        STORE.ban(ip, seconds)
        await respond(send, 200, f"banned {ip} for {seconds} s")
        return
    token = dict(scope["headers"]).get(b"x-request-token")
    if not token:
        await respond(send, 400, "missing X-Request-Token")
    elif not await STORE.consume_nonce_async(token):
        await respond(send, 409, "replayed token")
    else:
        await respond(send, 200, "ok")
