"""WSGI middleware: the decision core, translated to WSGI."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, assert_never

from .decision import Guard, run
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
)

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIApplication, WSGIEnvironment

__all__ = ["WSGIGuard", "SCREENED_KEY"]

# A request let through carries its Screened record under this environ key.
SCREENED_KEY = "quelvar.screened"


def _environ_key(name: str) -> str:
    key = name.upper().replace("-", "_")
    return key if key in ("CONTENT_LENGTH", "CONTENT_TYPE") else "HTTP_" + key


class WSGIGuard:
    """Screens the guarded paths of a WSGI application; see `Guard`.

    app = WSGIGuard(app, Guard(RedisStore(...), secrets, decide=score))
    """

    def __init__(self, app: WSGIApplication, guard: Guard) -> None:
        self.app = app
        self.guard = guard
        # The environ key of each header the walk reads.
        self._header_keys = tuple((name, _environ_key(name)) for name in guard.header_names)

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
        headers = {name: str(environ[key]) for name, key in self._header_keys if key in environ}
        head = RequestHead(str(environ.get("REQUEST_METHOD", "GET")), path, environ.get("REMOTE_ADDR"), headers.get)
        outcome = guard.walk(head, route)
        if type(outcome) is Screened and route is Route.GUARDED:  # the common case first
            environ[SCREENED_KEY] = outcome
            return self.app(environ, start_response)
        if not isinstance(outcome, (Reply, Screened)):
            outcome = run(outcome, self._answer(environ))
        if isinstance(outcome, Screened):
            if route is Route.TELEMETRY:
                return _send(guard.cleared(outcome), environ, start_response)  # answered here, not by the app
            environ[SCREENED_KEY] = outcome
            return self.app(environ, start_response)
        return _send(outcome, environ, start_response)

    def _answer(self, environ: WSGIEnvironment) -> Callable[[Need], Any]:
        guard = self.guard

        def answer(need: Need) -> Any:
            match need:
                case Spend(token):
                    return guard.store.consume_nonce(token)
                case Admit(address, policy):
                    return guard.admit(address, policy)
                case VerifyCrawler(address, crawler):
                    return guard.verify_crawler(address, crawler)
                case Escalate(address, amount, ban, note):
                    return guard.escalate(address, amount, ban, note)
                case ReadBody(length):
                    body: bytes = environ["wsgi.input"].read(length)
                    return body
                case ParseBody(body):
                    return guard.parse(body)
                case Decide(features, moves):
                    return guard.judge(features, moves)
                case Ban(address, seconds):
                    return guard.store.ban(address, seconds)
                case _:
                    assert_never(need)

        return answer


def _send(reply: Reply, environ: WSGIEnvironment, start_response: StartResponse) -> list[bytes]:
    start_response(reply.status_line, reply.all_headers())
    return [] if environ.get("REQUEST_METHOD") == "HEAD" else [reply.body()]
