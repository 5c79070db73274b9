"""A Starlette site behind ASGIGuard, mounted the ways services mount it: at
the top (served under uvicorn's --root-path), inside Mount("/v1"), and inside
Mount("/plain") as under a server that offers no HTTP answer to a refused
WebSocket. Short body limits; the native local store, so one worker."""

import os

from starlette.applications import Starlette
from starlette.responses import JSONResponse
from starlette.routing import Mount, Route, WebSocketRoute

from quelvar_guard import ASGIGuard, Decision, Guard, LocalStore
from quelvar_guard.asgi import SCREENED_KEY, BodyLimits

LIMITS = BodyLimits(timeout=3.0, grace=1.0, min_rate=1000.0)


def decide(features):
    return Decision.ban(600) if features["webdriver"] else Decision.allow()


async def hello(request):
    # Answers unscreened requests too, so that one reaching it shows.
    return JSONResponse({"screened": SCREENED_KEY in request.scope})


async def echo(websocket):
    await websocket.accept()
    await websocket.send_text("screened" if SCREENED_KEY in websocket.scope else "unscreened")
    await websocket.close()


def make_app():
    """Served with uvicorn --factory; the tests import the figures above only."""
    guard = Guard(LocalStore(), [os.environ["QUELVAR_TOKEN_SECRETS"]], decide=decide, work_bits=0, network_budgets=())
    site = Starlette(routes=[Route("/api/hello", hello), WebSocketRoute("/api/ws", echo)])
    guarded = ASGIGuard(site, guard, body_limits=LIMITS)

    async def without_http_answers(scope, receive, send):
        if scope["type"] == "websocket":
            scope = {**scope, "extensions": {}}
        await guarded(scope, receive, send)

    return Starlette(routes=[Mount("/v1", guarded), Mount("/plain", without_http_answers), Mount("", guarded)])
