"""The yardstick of a guarded request's Redis cost, served as the guard is:
an application that spends the request's token with one bare SET NX PX
itself (redis-py, blocking under WSGI, asyncio under ASGI), 409 when it was
spent before. Configured by QUELVAR_REDIS_URL, as the examples are.

    gunicorn -w 2 bench.bare_redis_apps:wsgi_app
    uvicorn --workers 2 bench.bare_redis_apps:asgi_app
"""

from __future__ import annotations

import os
from typing import Any

import redis
import redis.asyncio

WINDOW_MS = 60_000
PREFIX = b"bare:n:"
_clients: dict[str, Any] = {}


def _client(kind: str) -> Any:
    # Made in the worker, after the fork; one per worker.
    client = _clients.get(kind)
    if client is None:
        url = os.environ["QUELVAR_REDIS_URL"]
        client = _clients[kind] = (redis.asyncio.Redis if kind == "async" else redis.Redis).from_url(url)
    return client


def _answer(path: str, fresh: bool | None) -> tuple[str, bytes]:
    if path == "/":
        return "200 OK", b"ok"
    if fresh is None:
        return "404 Not Found", b'{"error":"not_found"}'
    return ("200 OK", b'{"hello":true}') if fresh else ("409 Conflict", b'{"error":"replayed"}')


def wsgi_app(environ: dict, start_response: Any) -> list[bytes]:
    path = environ.get("PATH_INFO", "")
    fresh = None
    if path == "/api/hello":
        token = environ.get("HTTP_X_QUELVAR_TOKEN", "").encode()
        fresh = _client("blocking").set(PREFIX + token, b"", nx=True, px=WINDOW_MS) is True
    status, body = _answer(path, fresh)
    start_response(status, [("Content-Type", "application/json"), ("Content-Length", str(len(body)))])
    return [body]


async def asgi_app(scope: dict, receive: Any, send: Any) -> None:
    if scope["type"] != "http":
        return
    path = scope["path"]
    fresh = None
    if path == "/api/hello":
        token = dict(scope["headers"]).get(b"x-quelvar-token", b"")
        fresh = await _client("async").set(PREFIX + token, b"", nx=True, px=WINDOW_MS) is True
    status, body = _answer(path, fresh)
    await send(
        {
            "type": "http.response.start",
            "status": int(status[:3]),
            "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())],
        }
    )
    await send({"type": "http.response.body", "body": body})
