"""The drivers of a walk: `run` answers its needs synchronously, `run_async` awaits them.

The walk is written once. `Guard.walk` takes every step it can answer itself
(the method, the address, the ban, the token's signature, age, kind and
network, and, with the in-process store, the spending and the minting budget)
and returns either the outcome or a generator of the steps left, which yields
what it needs from the outside (take from the minting budget, spend a token,
read the body, parse it, ask the callback, record a ban) and returns the
outcome. The outcome is a `Reply` for the adapter to send or a `Screened`
request to hand to the application (or, on the telemetry route, to answer
with its tokens). The WSGI adapter answers each need synchronously, the ASGI
adapter awaits it, so both follow the same steps in the same order: bans
first, then the token's signature, age, kind and network, then its spending.
A guarded request with a valid token under the in-process store is answered
without a generator, a need or a reply built for it.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any

from .vocabulary import Need, Reply, Screened, Walk


def run(walk: Reply | Screened | Walk, answer: Callable[[Need], Any]) -> Reply | Screened:
    """Drives what `Guard.walk` returned with a synchronous `answer`; its
    exceptions are thrown into the walk. An outcome is returned as it is."""
    if isinstance(walk, (Reply, Screened)):
        return walk
    value: Any = None
    failure: BaseException | None = None
    while True:
        try:
            need = walk.send(value) if failure is None else walk.throw(failure)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        try:
            value, failure = answer(need), None
        except Exception as exc:  # handed to the walk, which re-raises what it does not expect
            value, failure = None, exc


async def run_async(walk: Reply | Screened | Walk, answer: Callable[[Need], Awaitable[Any]]) -> Reply | Screened:
    """`run` with an `answer` that returns awaitables."""
    if isinstance(walk, (Reply, Screened)):
        return walk
    value: Any = None
    failure: BaseException | None = None
    while True:
        try:
            need = walk.send(value) if failure is None else walk.throw(failure)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
        try:
            value, failure = await answer(need), None
        except Exception as exc:
            value, failure = None, exc
