"""A FastAPI application screened per route by the dependency, with the native local store."""

import os

from fastapi import Depends, FastAPI

from examples.web_scoring import score
from quelvar_guard import Guard, LocalStore, Screened
from quelvar_guard.fastapi import screening

screen = screening(Guard(LocalStore(), [os.environ["QUELVAR_TOKEN_SECRETS"]], decide=score))
app = FastAPI()


@app.post("/login")
async def login(screened: Screened = Depends(screen)):
    return {"points": screened.features["mouse_points"], "verdict": screened.verdict.value}


@app.get("/account")
async def account(screened: Screened = Depends(screen)):
    return {"client": screened.address}


@app.get("/token")
async def token():
    return {"token": screen.guard.tokens.issue()}
