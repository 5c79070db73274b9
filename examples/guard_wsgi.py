"""A WSGI application whose workers share one replay memory and one ban list.

    gunicorn -w 4 examples.guard_wsgi:app

Every worker process answers ban lookups from its own native table, kept in
step through Redis, and asks Redis once per fresh token. The store is the
service's configuration (quelvar_guard.config): QUELVAR_REDIS_URL names the
server (default redis://127.0.0.1:6379/0), QUELVAR_REDIS_PREFIX the namespace
of its keys, and so on.

Each request needs a fresh X-Request-Token header: a replay gets 409, a banned
address 403. GET /ban?seconds=N bans the caller's address, standing in for the
decision your service makes. Every answer names the worker's pid in X-Worker.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from urllib.parse import parse_qs
from wsgiref.types import StartResponse, WSGIEnvironment

from quelvar_guard.config import Settings

# The service's settings (the QUELVAR_* variables; no token keys needed
# here), with Redis on this host unless QUELVAR_REDIS_URL names another.
STORE = Settings.from_environment(
    {"QUELVAR_REDIS_URL": "redis://127.0.0.1:6379/0", **os.environ}, store_only=True
).store()


def respond(
    start_response: StartResponse, status: str, text: str, headers: list[tuple[str, str]] | None = None
) -> Iterable[bytes]:
    body = (text + "\n").encode()
    start_response(
        status,
        [("Content-Type", "text/plain"), ("Content-Length", str(len(body))), ("X-Worker", str(os.getpid()))]
        + (headers or []),
    )
    return [body]


def app(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    ip = str(environ.get("REMOTE_ADDR", ""))
    if STORE.is_banned(ip):
        left = STORE.ban_remaining(ip)
        return respond(start_response, "403 Forbidden", "banned", [("Retry-After", str(left))] if left else None)
    if environ.get("PATH_INFO") == "/ban":
        seconds = int(parse_qs(str(environ.get("QUERY_STRING", ""))).get("seconds", ["60"])[0])
        STORE.ban(ip, seconds)
        return respond(start_response, "200 OK", f"banned {ip} for {seconds} s")
    token = environ.get("HTTP_X_REQUEST_TOKEN")
    if not token:
        return respond(start_response, "400 Bad Request", "missing X-Request-Token")
    if not STORE.consume_nonce(str(token)):
        return respond(start_response, "409 Conflict", "replayed token")
    return respond(start_response, "200 OK", "ok")
