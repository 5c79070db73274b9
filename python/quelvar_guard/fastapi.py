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
the body limits; the handler finds it in `await request.body()`), or is made
by `ScreenFirstRoute` (`APIRouter(route_class=ScreenFirstRoute)`, or
`app.router.route_class = ScreenFirstRoute` before the routes are added),
which runs the screening of a route that depends on it before FastAPI reads
anything, and hands the screened body on to FastAPI's parameters. A
dependency that finds the body already read refuses to screen (RuntimeError):
the checks it exists for came too late.

FastAPI is imported when a dependency or the route class is made, so the
package does not need it.
"""

# No `from __future__ import annotations` here: FastAPI reads the dependency's
# parameter annotation as a class, and Request is only imported inside.

import functools
from collections.abc import Awaitable, Callable, Coroutine, Iterator
from typing import Any, NoReturn

from .asgi import DEFAULT_THREAD_THRESHOLD, ASGIGuard, BodyLimits, read_body, request_head
from .decision import BODY_METHODS, Guard, Reply, Route, Screened

__all__ = ["ScreenFirstRoute", "issuing", "screening"]

# Where ScreenFirstRoute leaves its outcome for the dependency: (screen, Screened).
_SCREENED_FIRST = "quelvar.screened_first"

_READ_BEFORE_SCREENING = (
    "the request body was read before the screening dependency ran (a body parameter on the "
    "route, or another dependency): declare no body parameter on a screened route, or make it "
    "with quelvar_guard.fastapi.ScreenFirstRoute")


def _refuse(reply: Reply) -> NoReturn:
    from fastapi import HTTPException
    raise HTTPException(reply.status, detail=reply.payload, headers=dict(reply.headers))


def screening(guard: Guard, *, thread_threshold: int = DEFAULT_THREAD_THRESHOLD,
              body_limits: BodyLimits = BodyLimits()) -> Callable[..., Awaitable[Screened]]:
    """A dependency that screens the request and returns its `Screened` record."""
    from fastapi import Request

    screener = ASGIGuard(_no_app, guard, thread_threshold=thread_threshold, body_limits=body_limits)

    async def check(request: Request) -> Screened:
        if hasattr(request, "_body") or getattr(request, "_stream_consumed", False):
            raise RuntimeError(_READ_BEFORE_SCREENING)

        async def read(length: int) -> bytes | None:
            # Never past the declared length (a server may let chunked framing
            # override it): what is read is kept where Request.body() finds it,
            # so the handler, and FastAPI's body parameters, can still read it.
            body = await read_body(request.receive, length, body_limits)
            if body is not None:
                request._body = body
            return body

        head = request_head(request.scope)
        route = Route.TELEMETRY if head.method in BODY_METHODS else Route.GUARDED
        outcome = await screener.screen(head, route, read)
        if isinstance(outcome, Reply):
            _refuse(outcome)
        return outcome

    async def screen(request: Request) -> Screened:
        first = request.scope.get(_SCREENED_FIRST)
        if first is not None and first[0] is screen:
            return first[1]  # type: ignore[no-any-return]
        return await check(request)

    screen.guard = guard  # type: ignore[attr-defined]
    screen.check = check  # type: ignore[attr-defined]
    return screen


def issuing(guard: Guard) -> Callable[..., Awaitable[dict[str, object]]]:
    """A dependency for a GET route that answers like the token endpoint:
    {"token", "header", "max_age"}, a telemetry token; refusals raised."""
    from fastapi import Request

    screener = ASGIGuard(_no_app, guard)

    async def issue(request: Request) -> dict[str, object]:
        reply = await screener.screen(request_head(request.scope), Route.TOKEN)
        assert isinstance(reply, Reply)  # the token route always ends with a reply
        if reply.status != 200:
            _refuse(reply)
        return reply.payload

    return issue


def _dependencies(dependant: Any) -> Iterator[Any]:
    for dependency in dependant.dependencies:
        yield dependency
        yield from _dependencies(dependency)


@functools.cache
def _screen_first_route() -> type:
    from fastapi import Request, Response
    from fastapi.routing import APIRoute

    class ScreenFirstRoute(APIRoute):
        """A route that, when it depends on a `screening` dependency, is
        screened before FastAPI reads its body; other routes are unchanged."""

        def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
            handler = super().get_route_handler()
            screens = [d.call for d in _dependencies(self.dependant) if hasattr(d.call, "check")
                       and isinstance(getattr(d.call, "guard", None), Guard)]
            if not screens:
                return handler
            screen = screens[0]

            async def screened_first(request: Request) -> Response:
                request.scope[_SCREENED_FIRST] = (screen, await screen.check(request))
                return await handler(request)

            return screened_first

    return ScreenFirstRoute


def __getattr__(name: str) -> Any:
    # The route class subclasses FastAPI's: made on first use, like the dependencies.
    if name == "ScreenFirstRoute":
        return _screen_first_route()
    raise AttributeError(f"module 'quelvar_guard.fastapi' has no attribute {name!r}")


async def _no_app(scope: object, receive: object, send: object) -> None:
    raise RuntimeError("the screening dependency has no application of its own")
