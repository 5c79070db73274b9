"""A FastAPI dependency: the same screening, per route, with the result handed to the handler.

    from quelvar_guard.fastapi import screening
    screen = screening(guard)

    @app.post("/login")
    async def login(screened: Screened = Depends(screen)): ...

On a POST, PUT or PATCH the request body is the telemetry: it is parsed, the
callback decides, and `screened.features` and `screened.decision` are set. On
other methods only the ban and the token are checked. A refusal is raised as
HTTPException with the core's status, headers and {"error": ...} as detail.

FastAPI is imported when `screening` is called, so the package does not need it.
"""

# No `from __future__ import annotations` here: FastAPI reads the dependency's
# parameter annotation as a class, and Request is only imported inside.

from collections.abc import Awaitable, Callable

from .asgi import DEFAULT_THREAD_THRESHOLD, ASGIGuard, read_body, request_head
from .decision import BODY_METHODS, Guard, Reply, Route, Screened

__all__ = ["screening"]


def screening(guard: Guard, *,
              thread_threshold: int = DEFAULT_THREAD_THRESHOLD) -> Callable[..., Awaitable[Screened]]:
    """A dependency that screens the request and returns its `Screened` record."""
    from fastapi import HTTPException, Request

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
            raise HTTPException(outcome.status, detail=outcome.payload, headers=dict(outcome.headers))
        return outcome

    screen.guard = guard  # type: ignore[attr-defined]  # e.g. for an endpoint issuing tokens
    return screen


async def _no_app(scope: object, receive: object, send: object) -> None:
    raise RuntimeError("the screening dependency has no application of its own")
