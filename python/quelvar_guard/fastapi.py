"""FastAPI dependencies: the same screening, per route, with the result handed to the handler.

    from quelvar_guard.fastapi import ScreenFirstRoute, issuing, screening
    screen, issue = screening(guard), issuing(guard)

    @app.get("/token")
    async def token(answer: dict = Depends(issue)): return answer

    @app.post("/login")
    async def login(screened: Screened = Depends(screen)): ...

    @app.get("/account")
    async def account(screened: Screened = Depends(screen)): ...

`issuing` answers like the token endpoint: a telemetry token for a client
that is not banned and within its minting budget. With `screening`, a POST,
PUT or PATCH needs a telemetry token and its body is the telemetry: it is
parsed, the callback decides, and on allow `screened.features`,
`screened.decision` and `screened.tokens` (the guarded tokens of the
clearance) are set; hand the tokens to the client, e.g. by returning
`guard.cleared(screened).payload`, the middleware's own answer. Other methods
need a guarded token. A refusal is raised as HTTPException with the core's
status, headers and {"error": ...} as detail.

The body: FastAPI reads the whole body of a route that declares a body
parameter (a model, Body, Form, File) before it runs any dependency, without
a limit. So a screened route either declares none (the dependency reads the
body itself, only after the ban and the token passed, within `max_body` and
the body limits, and hands it over as `screened.body`), or is made by
`ScreenFirstRoute` (`APIRouter(route_class=ScreenFirstRoute)`, or
`app.router.route_class = ScreenFirstRoute` before the routes are added),
which screens a route that depends on it before FastAPI reads anything, and
hands the screened body on to FastAPI's parameters and `await request.body()`.
A dependency on a plain route with a body parameter, or one that finds the
body's stream already consumed, refuses to screen (RuntimeError): the checks
it exists for came too late. A dependency of your own that reads the body goes
after the screening one.

FastAPI is imported when a dependency or the route class is made, so the
package does not need it.
"""

# No `from __future__ import annotations` here: FastAPI reads the dependency's
# parameter annotation as a class, and Request is only imported inside.

import dataclasses
import functools
from collections.abc import Awaitable, Callable, Iterator
from contextlib import aclosing
from typing import Any, NoReturn

from .asgi import (
    DEFAULT_THREAD_THRESHOLD,
    BodyLimits,
    Message,
    Receive,
    Scope,
    Send,
    guard_head,
    read_body,
    wanted_headers,
)
from .asgi import screen as screen_request
from .decision import BODY_METHODS, Guard
from .vocabulary import Reply, Route, Screened

__all__ = ["ScreenFirstRoute", "issuing", "screening"]  # noqa: F822 (ScreenFirstRoute: made on first use)

# Where ScreenFirstRoute leaves its outcome for the dependency: (screen, Screened).
_SCREENED_FIRST = "quelvar.screened_first"

_READ_BEFORE_SCREENING = (
    "the request body was read before the screening dependency ran (a body parameter on the "
    "route, or another dependency): declare no body parameter on a screened route, or make it "
    "with quelvar_guard.fastapi.ScreenFirstRoute"
)


def _refuse(reply: Reply) -> NoReturn:
    from fastapi import HTTPException

    raise HTTPException(reply.status, detail=reply.payload, headers=dict(reply.headers))


def screening(
    guard: Guard, *, thread_threshold: int = DEFAULT_THREAD_THRESHOLD, body_limits: BodyLimits = BodyLimits()
) -> Callable[..., Awaitable[Screened]]:
    """A dependency that screens the request and returns its `Screened` record."""
    from fastapi import Request
    from starlette.requests import ClientDisconnect

    wanted = wanted_headers(guard)

    async def check(request: Request) -> Screened:
        read: list[bytes] = []

        async def read_once(length: int) -> bytes | None:
            # Through the request's own stream, so that it knows the body is
            # taken; never past the declared length (a server may let chunked
            # framing override it).
            try:
                async with aclosing(request.stream()) as chunks:

                    async def receive() -> Message:
                        try:
                            return {"type": "http.request", "body": await anext(chunks), "more_body": True}
                        except StopAsyncIteration:
                            return {"type": "http.request", "body": b"", "more_body": False}
                        except ClientDisconnect:
                            return {"type": "http.disconnect"}

                    body = await read_body(receive, length, body_limits)
            except RuntimeError as consumed:  # the stream was read by someone else
                raise RuntimeError(_READ_BEFORE_SCREENING) from consumed
            if body is not None:
                read.append(body)
            return body

        head = guard_head(request.scope, wanted)
        route = Route.TELEMETRY if head.method in BODY_METHODS else Route.GUARDED
        outcome = await screen_request(guard, head, route, read_once, thread_threshold=thread_threshold)
        if isinstance(outcome, Reply):
            _refuse(outcome)
        return dataclasses.replace(outcome, body=read[0]) if read else outcome

    async def screen(request: Request) -> Screened:
        first = request.scope.get(_SCREENED_FIRST)
        if first is not None and first[0] is screen:
            return first[1]  # type: ignore[no-any-return]
        if getattr(request.scope.get("route"), "body_field", None) is not None:
            raise RuntimeError(_READ_BEFORE_SCREENING)  # FastAPI has read it already
        return await check(request)

    screen.guard = guard  # type: ignore[attr-defined]
    screen.check = check  # type: ignore[attr-defined]
    return screen


def issuing(guard: Guard) -> Callable[..., Awaitable[dict[str, object]]]:
    """A dependency for a GET route that answers like the token endpoint:
    {"token", "header", "max_age"}, a telemetry token; refusals raised."""
    from fastapi import Request

    wanted = wanted_headers(guard)

    async def issue(request: Request) -> dict[str, object]:
        reply = await screen_request(guard, guard_head(request.scope, wanted), Route.TOKEN)
        assert isinstance(reply, Reply)  # the token route always ends with a reply
        if reply.status != 200:
            _refuse(reply)
        return reply.payload

    return issue


def _dependencies(dependant: Any) -> Iterator[Any]:
    for dependency in dependant.dependencies:
        yield dependency
        yield from _dependencies(dependency)


def _replaying(body: bytes, receive: Receive) -> Receive:
    """`receive` with the screened body first, whole; then the client's own messages (a disconnect)."""
    pending = [body]

    async def replay() -> Message:
        if pending:
            return {"type": "http.request", "body": pending.pop(), "more_body": False}
        return await receive()

    return replay


@functools.cache
def _screen_first_route() -> type:
    from fastapi import Request
    from fastapi.routing import APIRoute

    class ScreenFirstRoute(APIRoute):
        """A route that, when it depends on a `screening` dependency, is
        screened before FastAPI reads its body; other routes are unchanged."""

        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            screens = [
                d.call
                for d in _dependencies(self.dependant)
                if hasattr(d.call, "check") and isinstance(getattr(d.call, "guard", None), Guard)
            ]
            self.quelvar_screen = screens[0] if screens else None

        async def handle(self, scope: Scope, receive: Receive, send: Send) -> None:
            # Before FastAPI's own handling, which reads the body first; the
            # screened body is then handed to it as the client's first message.
            screen = self.quelvar_screen
            if screen is None or scope["type"] != "http":
                return await super().handle(scope, receive, send)
            screened = await screen.check(Request(scope, receive))
            scope[_SCREENED_FIRST] = (screen, screened)
            if screened.body is not None:
                receive = _replaying(screened.body, receive)
            await super().handle(scope, receive, send)

    return ScreenFirstRoute


def __getattr__(name: str) -> Any:
    # The route class subclasses FastAPI's: made on first use, like the dependencies.
    if name == "ScreenFirstRoute":
        return _screen_first_route()
    raise AttributeError(f"module 'quelvar_guard.fastapi' has no attribute {name!r}")
