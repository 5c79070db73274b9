"""WSGI middleware: the decision core, translated to WSGI."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from .decision import (Ban, CheckToken, Decide, Guard, Need, ParseBody, ReadBody, Reply,
                       RequestHead, Route, Screened, TakeBudget, run)

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIApplication, WSGIEnvironment

__all__ = ["WSGIGuard", "SCREENED_KEY"]

# A request let through carries its Screened record under this environ key.
SCREENED_KEY = "quelvar.screened"


def _header_reader(environ: WSGIEnvironment) -> Any:
    def header(name: str) -> str | None:
        key = name.upper().replace("-", "_")
        if key not in ("CONTENT_LENGTH", "CONTENT_TYPE"):
            key = "HTTP_" + key
        value = environ.get(key)
        return None if value is None else str(value)
    return header


class WSGIGuard:
    """Screens the guarded paths of a WSGI application; see `Guard`.

        app = WSGIGuard(app, Guard(RedisStore(...), secrets, decide=score))
    """

    def __init__(self, app: WSGIApplication, guard: Guard) -> None:
        self.app = app
        self.guard = guard

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        guard = self.guard
        path = str(environ.get("PATH_INFO", ""))
        route = guard.route(path)
        if route is None:
            if path == guard.metrics_path:
                return _send(guard.metrics(), environ, start_response)
            if path == guard.health_path:
                return _send(guard.health_reply(), environ, start_response)
            return self.app(environ, start_response)
        head = RequestHead(str(environ.get("REQUEST_METHOD", "GET")), path,
                           environ.get("REMOTE_ADDR"), _header_reader(environ))

        def answer(need: Need) -> Any:
            if isinstance(need, CheckToken):
                return guard.tokens.check(need.token, need.kind, need.address)
            if isinstance(need, TakeBudget):
                assert guard.mint_rate is not None
                return guard.store.take_budget(need.address, guard.mint_rate, guard.mint_burst)
            if isinstance(need, ReadBody):
                body: bytes = environ["wsgi.input"].read(need.length)
                return body
            if isinstance(need, ParseBody):
                return guard.parse(need.body)
            if isinstance(need, Decide):
                return guard.judge(need.features, need.moves)
            if isinstance(need, Ban):
                return guard.store.ban(need.address, need.seconds)
            raise AssertionError(need)

        outcome = run(guard.walk(head, route), answer)
        if isinstance(outcome, Screened):
            if route is Route.TELEMETRY:
                return _send(guard.cleared(outcome), environ, start_response)  # answered here, not by the app
            environ[SCREENED_KEY] = outcome
            return self.app(environ, start_response)
        return _send(outcome, environ, start_response)


def _send(reply: Reply, environ: WSGIEnvironment, start_response: StartResponse) -> list[bytes]:
    start_response(reply.status_line, reply.all_headers())
    return [] if environ.get("REQUEST_METHOD") == "HEAD" else [reply.body()]
