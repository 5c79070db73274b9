"""A FastAPI application screened per route by the dependencies, with the native local store."""

import os

from fastapi import APIRouter, Body, Depends, FastAPI, Request

from examples.web_scoring import score
from quelvar_guard import Decision, Guard, LocalStore, Screened
from quelvar_guard.fastapi import ScreenFirstRoute, issuing, screening


def decide(features):
    # Not a sign of automation, only of too little to judge: ask again.
    if features["key_count"] == 0 and not features["webdriver"]:
        return Decision.challenge(5, reasons=("no_keystrokes",))
    return score(features)


guard = Guard(
    LocalStore(),
    [os.environ["QUELVAR_TOKEN_SECRETS"]],
    decide=decide,
    work_bits=0,
    network_budgets=(),
    requests_per_clearance=2,
)
screen, issue = screening(guard), issuing(guard)
app = FastAPI()


@app.post("/login")
async def login(screened: Screened = Depends(screen)):
    return {"points": screened.features["mouse_points"], "bytes": len(screened.body), **guard.cleared(screened).payload}


@app.get("/account")
async def account(screened: Screened = Depends(screen)):
    return {"client": screened.address}


@app.get("/token")
async def token(answer: dict = Depends(issue)):
    return answer


# Routes that declare a body parameter, which FastAPI reads before any dependency:
# screened first under ScreenFirstRoute ...
first = APIRouter(route_class=ScreenFirstRoute)


@first.post("/signup")
async def signup(request: Request, telemetry: dict = Body(), screened: Screened = Depends(screen)):
    return {
        "sections": sorted(telemetry),
        "points": screened.features["mouse_points"],
        "same_body": await request.body() == screened.body,
    }


app.include_router(first)


# ... and not, which the dependency refuses to screen: the body was read before it ran.
@app.post("/unscreenable")
async def unscreenable(telemetry: dict = Body(), screened: Screened = Depends(screen)):
    return {}
