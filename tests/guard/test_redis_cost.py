"""What the guard asks of Redis, through a real redis-server: one SET NX PX
per guarded request once the workers are up, under gunicorn and uvicorn; and
the nonce writes the store packs itself give each token its own answer, in
flight together, after a late reply, in both kinds of call."""

from __future__ import annotations

import asyncio
import os

import pytest

from quelvar_guard import RedisStore
from servers import TRUSTED_PROXY, make_store, wait_until
from web_client import HEADER, clearance

SERVERS = [("gunicorn", "examples.web_wsgi:app"), ("uvicorn", "examples.web_asgi:app")]
WORKERS = 2
CLEARANCES = 6
# What the workers' own timers send: the heartbeat (its SET comes with one
# ZADD), the ban listener's sync (a script reading two keys and the log), the
# eviction check, reconnections.
TIMERS = {
    "zadd",
    "zremrangebyscore",
    "expire",
    "hincrby",
    "evalsha",
    "get",
    "xrange",
    "ping",
    "info",
    "hello",
    "client",
}


def _calls(client) -> dict[str, int]:
    return {name.removeprefix("cmdstat_"): int(row["calls"]) for name, row in client.info("commandstats").items()}


@pytest.mark.parametrize("kind, module", SERVERS)
def test_a_guarded_request_costs_redis_one_set_once_the_workers_are_up(kind, module, serve, running_redis, prefix):
    server = serve(kind, module, workers=WORKERS, QUELVAR_REDIS_PREFIX=prefix)
    watch = running_redis.client()
    fleet = RedisStore(running_redis.url, prefix=prefix)
    try:
        with server.client(TRUSTED_PROXY) as client:
            # Every worker's store up (each beats once it is), reached on fresh connections.
            def all_beating() -> bool:
                with server.client(TRUSTED_PROXY) as fresh:
                    fresh.get("/quelvar/token", headers={"X-Forwarded-For": "198.18.200.1"})
                return len([w for w in fleet.workers() if w["pid"] != os.getpid()]) == WORKERS

            wait_until(all_beating, 60, 0.05)
            held = []
            for index in range(CLEARANCES):
                address = {"X-Forwarded-For": f"198.18.{index}.9"}
                held.append((address, clearance(client, **address)))
            before = _calls(watch)
            spent = 0
            for address, tokens in held:
                for token in tokens:
                    answer = client.get("/api/hello", headers={HEADER: token, **address})
                    assert answer.status_code == 200, answer.text
                    spent += 1
                    # A replay is refused from the worker's own cache, or by Redis's answer.
                    assert client.get("/api/hello", headers={HEADER: token, **address}).status_code == 409
            after = _calls(watch)
    finally:
        fleet.close()
    sent = {name: calls - before.get(name, 0) for name, calls in after.items() if calls != before.get(name, 0)}
    heartbeats = sent.pop("zadd", 0)
    sets = sent.pop("set", 0) - heartbeats
    # Each fresh token one SET; each replay at most one more (its worker may not have seen it).
    assert spent <= sets <= 2 * spent, sent
    assert set(sent) <= TIMERS, sent
    assert sent.get("get", 0) <= 2 * sent.get("evalsha", 0), sent  # no read per request


def test_the_first_spend_of_each_token_wins_and_only_it(request, prefix, live_redis):
    store = make_store("redis", request, prefix)
    window = int(store.nonce_window_seconds * 1000)
    other = live_redis.client()
    other.set(f"{prefix}n:spent-elsewhere".encode(), b"", nx=True, px=60_000)
    tokens = ["spent-elsewhere", *(f"fresh-{index}" for index in range(40)), "fresh-3", "fresh-7", b"\xff-not-text"]

    async def in_flight() -> list[bool]:
        return list(await asyncio.gather(*(store.consume_nonce_async(token) for token in tokens)))

    answers = asyncio.run(in_flight())
    assert answers == [False, *[True] * 40, False, False, True]
    # Each kind of call, alone, after the others: the same answers from the same keys.
    assert store.consume_nonce("fresh-5") is False
    assert asyncio.run(store.consume_nonce_async(b"\xff-not-text")) is False
    assert store.consume_nonce("sync-fresh") is True
    assert asyncio.run(store.consume_nonce_async("spent-elsewhere")) is False
    for token in (b"fresh-0", b"\xff-not-text", b"sync-fresh"):
        assert 0 < other.pttl(prefix.encode() + b"n:" + token) <= window


@pytest.mark.parametrize("call", ["blocking", "async"])
def test_after_a_late_reply_each_token_still_gets_its_own_answer(call, request, prefix, live_redis, proxy):
    store = make_store("redis", request, prefix, url=f"redis://127.0.0.1:{proxy.port}/0", timeout=0.2)
    other = live_redis.client()

    def spend(token: str) -> bool:
        if call == "blocking":
            return bool(store.consume_nonce(token))
        return asyncio.run(store.consume_nonce_async(token))

    assert spend("before") is True
    wait_until(lambda: store.stats()["connected"], 10)
    proxy.set("stall")
    # No answer in time: accepted on this process's word (degrade); its reply
    # is still on its way on that connection.
    assert spend("during") is True
    proxy.set("pass")
    wait_until(lambda: store.stats()["connected"], 10)
    for round_index in range(3):
        other.set(f"{prefix}n:elsewhere-{round_index}".encode(), b"", px=60_000)
        assert spend(f"elsewhere-{round_index}") is False
        assert spend(f"after-{round_index}") is True
