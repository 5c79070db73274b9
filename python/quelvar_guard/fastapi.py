"""FastAPI dependencies: the same screening, per route, with the result handed to the handler.

    from quelvar_guard.fastapi import issuing, screening
    screen, issue = screening(guard), issuing(guard)

    @app.get("/token")
    async def token(answer: dict = Depends(issue)): return answer

    @app.post("/login")
    async def login(screened: Screened = Depends(screen)): ...

    @app.get("/account")
    async def account(screened: Screened = Depends(screen)): ...

`issuing` answers like the token endpoint: a telemetry token for a client
that is not banned. With `screening`, a POST, PUT or PATCH needs a telemetry
token and its body is the telemetry: it is parsed, the callback decides, and
on allow `screened.features`, `screened.decision` and `screened.tokens` (the
guarded tokens of the clearance) are set; hand the tokens to the client, e.g.
by returning `guard.cleared(screened).payload`, the middleware's own answer.
Other methods need a guarded token. A refusal is raised as HTTPException with
the core's status, headers and {"error": ...} as detail.

FastAPI is imported when a dependency is made, so the package does not need it.
"""

# No `from __future__ import annotations` here: FastAPI reads the dependency's
# parameter annotation as a class, and Request is only imported inside.

from collections.abc import Awaitable, Callable
from typing import NoReturn

from .asgi import DEFAULT_THREAD_THRESHOLD, ASGIGuard, read_body, request_head
from .decision import BODY_METHODS, Guard, Reply, Route, Screened, run

__all__ = ["issuing", "screening"]


def _refuse(reply: Reply) -> NoReturn:
    from fastapi import HTTPException
    raise HTTPException(reply.status, detail=reply.payload, headers=dict(reply.headers))


def screening(guard: Guard, *,
              thread_threshold: int = DEFAULT_THREAD_THRESHOLD) -> Callable[..., Awaitable[Screened]]:
    """A dependency that screens the request and returns its `Screened` record."""
    from fastapi import Request

    screener = ASGIGuard(_no_app, guard, thread_threshold=thread_threshold)

    async def screen(request: Request) -> Screened:
        async def read(length: int) -> bytes | None:
            if hasattr(request, "_body"):  # FastAPI read it already, for the handler's parameters
                return await request.body()
            # Never past the declared length (a server may let chunked framing
            # override it): what is read is kept where Request.body() finds it,
            # so the handler can still read the body.
            body = await read_body(request.receive, length)
            if body is not None:
                request._body = body
            return body

        head = request_head(request.scope)
        route = Route.TELEMETRY if head.method in BODY_METHODS else Route.GUARDED
        outcome = await screener.screen(head, route, read)
        if isinstance(outcome, Reply):
            _refuse(outcome)
        return outcome

    screen.guard = guard  # type: ignore[attr-defined]
    return screen


def issuing(guard: Guard) -> Callable[..., Awaitable[dict[str, object]]]:
    """A dependency for a GET route that answers like the token endpoint:
    {"token", "header", "max_age"}, a telemetry token; refusals raised."""
    from fastapi import Request

    async def issue(request: Request) -> dict[str, object]:
        # The token route needs nothing from outside: its walk ends at once, with a Reply.
        reply = run(guard.walk(request_head(request.scope), Route.TOKEN), _needs_nothing)
        assert isinstance(reply, Reply)
        if reply.status != 200:
            _refuse(reply)
        return reply.payload

    return issue


def _needs_nothing(need: object) -> NoReturn:
    raise AssertionError(need)


async def _no_app(scope: object, receive: object, send: object) -> None:
    raise RuntimeError("the screening dependency has no application of its own")
