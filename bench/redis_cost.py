"""The guard's cost with the Redis store, against one bare SET NX PX.

Starts its own redis-server on a free loopback port and prints, each ratio
from one run:

- served: the examples under gunicorn and uvicorn (2 workers, the default
  network budgets): Redis commands per guarded request in the steady state
  (from INFO commandstats; the heartbeat's SET counted apart by its ZADD),
  and Redis CPU (INFO cpu) per guarded request of the full flow (token,
  telemetry post, ten guarded requests) against a bare SET NX PX's;
- walk: the guard's own work per guarded request with RedisStore, WSGI and
  ASGI: the guarded request less the bare application and one bare SET NX PX
  (redis-py, the asyncio client under ASGI), as a share of that round trip;
- async: a lone consume_nonce_async against a plain awaited SET NX PX, and 64
  in flight on one loop, per call, against one lone round trip;
- telemetry: a post of the sample human session through WSGIGuard and
  ASGIGuard, LocalStore and RedisStore, against extract_features_json_rs.

    python bench/redis_cost.py [--quick] [--only served,walk,async,telemetry]
"""

from __future__ import annotations

import argparse
import asyncio
import io
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Awaitable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "tests")]

import quelvar_core_rs as core  # noqa: E402
from bench.guard_bench import (  # noqa: E402
    asgi_app,
    environ,
    receiving,
    scope,
    send,
    start_response,
    tokens_of,
    wsgi_app,
)
from bench.timing import each_awaited, each_of, fresh_tokens, interleaved, repeated  # noqa: E402

WALK_TARGET = 0.15
LONE_TARGET = 1.05
IN_FLIGHT = 64
IN_FLIGHT_TARGET = 0.30
TELEMETRY_LOCAL_TARGET = 2.0
TELEMETRY_REDIS_TARGET = 4.0
CPU_TARGET = 2.0
CALLS = 4000
FLOWS = 60
CPU_TURNS = 5
# The flows come from these many /16 networks, through the trusted proxy:
# the default budgets refuse none of them.
NETWORKS = 150


def commandstats(client) -> dict[str, int]:
    return {name.removeprefix("cmdstat_"): int(row["calls"]) for name, row in client.info("commandstats").items()}


def redis_cpu(client) -> float:
    cpu = client.info("cpu")
    return float(cpu["used_cpu_sys"]) + float(cpu["used_cpu_user"])


def delta(after: dict[str, int], before: dict[str, int]) -> dict[str, int]:
    return {name: after[name] - before.get(name, 0) for name in after if after[name] != before.get(name, 0)}


def quiet_cpu(watch, took: float) -> float:
    """What Redis spends on its own and the workers' timers in a quiet spell
    `took` long."""
    cpu_before = redis_cpu(watch)
    time.sleep(took)
    return redis_cpu(watch) - cpu_before


def served(kind: str, redis_server, directory: Path, flows: int) -> dict:
    """Commands per guarded request and Redis CPU per guarded request of the
    full flow, under `kind`, against the same server's bare application
    (bench/bare_redis_apps.py: one SET NX PX per request, sent by its own
    redis-py client) and against bare SET NX PX commands in a tight loop."""
    from quelvar_guard.networks import DEFAULT_NETWORK_BUDGETS
    from servers import TRUSTED_PROXY, Served
    from web_client import HEADER, clearance

    module = {"gunicorn": "examples.web_wsgi:app", "uvicorn": "examples.web_asgi:app"}[kind]
    bare_module = {"gunicorn": "bench.bare_redis_apps:wsgi_app", "uvicorn": "bench.bare_redis_apps:asgi_app"}[kind]
    server = Served(
        kind,
        module,
        redis_server.url,
        directory / f"{kind}.log",
        workers=2,
        QUELVAR_NETWORK_BUDGETS=" ".join(map(str, DEFAULT_NETWORK_BUDGETS)),
        QUELVAR_REDIS_PREFIX=f"cost-{kind}:",
    )
    bare_server = Served(kind, bare_module, redis_server.url, directory / f"{kind}-bare.log", workers=2)
    watch = redis_server.client()
    try:
        with server.client(TRUSTED_PROXY) as client, bare_server.client() as bare_client:

            def address(index: int) -> dict[str, str]:
                return {"X-Forwarded-For": f"{20 + index % NETWORKS}.{index // NETWORKS % 250}.7.1"}

            def flow(index: int) -> int:
                tokens = clearance(client, **address(index))
                for token in tokens:
                    answer = client.get("/api/hello", headers={HEADER: token, **address(index)})
                    assert answer.status_code == 200, answer.text
                return len(tokens)

            bare_tokens = iter(fresh_tokens(10**7, f"{kind}-"))

            def bare_requests(count: int) -> None:
                for _ in range(count):
                    answer = bare_client.get("/api/hello", headers={HEADER: next(bare_tokens)})
                    assert answer.status_code == 200, answer.text

            for index in range(4):  # every worker's connections made
                flow(index)
            bare_requests(8)
            # Commands per guarded request: clearances first, then only their spending.
            held = [(index, clearance(client, **address(index))) for index in range(flows // 3)]
            before = commandstats(watch)
            spent = 0
            for index, tokens in held:
                for token in tokens:
                    assert client.get("/api/hello", headers={HEADER: token, **address(index)}).status_code == 200
                    spent += 1
            guarded = delta(commandstats(watch), before)
            guarded.pop("info", None)
            # Redis CPU of the full flow, of as many requests to the bare
            # application and of as many bare SET NX PX, in turns, each less
            # a quiet spell as long.
            bare = redis_server.client()
            flow_cpu, served_cpu, bare_cpu, requests, ratios, served_ratios = 0.0, 0.0, 0.0, 0, [], []
            before = commandstats(watch)
            for turn in range(CPU_TURNS):
                cpu_before, started = redis_cpu(watch), time.monotonic()
                made = sum(flow(turn * flows + index) for index in range(flows))
                flow_turn = redis_cpu(watch) - cpu_before
                flow_turn -= quiet_cpu(watch, time.monotonic() - started)
                cpu_before, started = redis_cpu(watch), time.monotonic()
                bare_requests(made)
                served_turn = redis_cpu(watch) - cpu_before
                served_turn -= quiet_cpu(watch, time.monotonic() - started)
                cpu_before, started = redis_cpu(watch), time.monotonic()
                for index in range(made):
                    bare.set(b"cost:bare:%d:%d" % (turn, index), b"", nx=True, px=60_000)
                bare_turn = redis_cpu(watch) - cpu_before
                bare_turn -= quiet_cpu(watch, time.monotonic() - started)
                flow_cpu, served_cpu, bare_cpu = flow_cpu + flow_turn, served_cpu + served_turn, bare_cpu + bare_turn
                requests += made
                ratios.append(flow_turn / bare_turn)
                served_ratios.append(flow_turn / served_turn)
            flow_commands = delta(commandstats(watch), before)
            flow_commands.pop("info", None)
            flow_commands["set"] -= 2 * requests  # the bare application's and the tight loop's
        return {
            "flow_commands": {name: round(calls / flows / CPU_TURNS, 2) for name, calls in flow_commands.items()},
            "guarded": guarded,
            "spent": spent,
            "requests": requests,
            "flow_cpu": flow_cpu,
            "served_cpu": served_cpu,
            "bare_cpu": bare_cpu,
            "ratio": statistics.median(ratios),
            "served_ratio": statistics.median(served_ratios),
        }
    finally:
        server.stop()
        bare_server.stop()


def served_lines(kind: str, figures: dict) -> list[str]:
    guarded, spent = dict(figures["guarded"]), figures["spent"]
    beats = guarded.get("zadd", 0)
    sets = guarded.get("set", 0) - beats
    others = {name: calls for name, calls in guarded.items() if name != "set"}
    per_request = figures["flow_cpu"] / figures["requests"]
    per_served = figures["served_cpu"] / figures["requests"]
    per_set = figures["bare_cpu"] / figures["requests"]
    ratio, served_ratio = figures["ratio"], figures["served_ratio"]
    return [
        f"{kind}: {spent} guarded requests sent {sets / spent:.3f} SET each besides the heartbeats' "
        f"(target exactly 1); the heartbeats' and others' commands in that time: {others or 'none'}",
        f"{kind}: Redis CPU per guarded request of the full flow, less a quiet spell's, {per_request * 1e6:.1f} us, "
        f"{served_ratio:.2f}x a bare SET NX PX's sent per request by the same server's bare application "
        f"({per_served * 1e6:.1f} us; target <= {CPU_TARGET:.1f}: {'met' if served_ratio <= CPU_TARGET else 'NOT met'}); "
        f"{ratio:.2f}x one in a tight loop ({per_set * 1e6:.1f} us); medians of {CPU_TURNS} turns; "
        f"commands per flow: {figures['flow_commands']}",
    ]


def guards(url: str):
    from quelvar_guard import Guard, LocalStore, RedisStore

    secrets = ["bench-secret-" + "k" * 40]
    return {
        "LocalStore": Guard(LocalStore(), secrets),
        "RedisStore": Guard(RedisStore(url, prefix="cost:"), secrets),
    }


def walk_costs(url: str, rounds: int, budget: float) -> dict:
    """Guarded requests through both adapters with RedisStore against the
    bare application with one bare round trip, on one event loop for ASGI."""
    import redis
    import redis.asyncio

    from quelvar_guard import ASGIGuard, WSGIGuard

    guard = guards(url)["RedisStore"]
    supply = CALLS * rounds + 1
    bare = redis.Redis.from_url(url, socket_timeout=0.5)
    loop = asyncio.new_event_loop()
    aio = redis.asyncio.Redis.from_url(url, socket_timeout=0.5)
    loop.run_until_complete(aio.ping())
    wsgi, asgi = WSGIGuard(wsgi_app, guard), ASGIGuard(asgi_app, guard)
    receive = receiving(b"")
    keys = iter(b"cost:w:" + token.encode() for token in fresh_tokens(8 * supply, "w"))

    def wsgi_bare(env: dict) -> None:
        bare.set(next(keys), b"", nx=True, px=60_000)
        wsgi_app(env, start_response)

    async def asgi_bare(scope: dict) -> None:
        await aio.set(next(keys), b"", nx=True, px=60_000)
        await asgi_app(scope, receive, send)

    cpu: dict = {}
    try:
        wall = interleaved(
            {
                "SET NX PX": each_of(lambda key: bare.set(key, b"", nx=True, px=60_000), keys),
                "WSGI app + SET": each_of(wsgi_bare, [environ(t) for t in fresh_tokens(supply, "x")]),
                "WSGIGuard": each_of(
                    lambda env: wsgi(env, start_response), list(map(environ, tokens_of(guard, supply)))
                ),
                "async SET NX PX": each_of(
                    lambda key: loop.run_until_complete(aio.set(key, b"", nx=True, px=60_000)), keys
                ),
                "ASGI app + SET": each_of(
                    lambda s: loop.run_until_complete(asgi_bare(s)), [scope(t) for t in fresh_tokens(supply, "y")]
                ),
                "ASGIGuard": each_of(
                    lambda s: loop.run_until_complete(asgi(s, receive, send)),
                    list(map(scope, tokens_of(guard, supply))),
                ),
            },
            rounds,
            budget,
            cap=CALLS,
            cpu=cpu,
        )
        return {"wall": wall, "cpu": cpu}
    finally:
        loop.run_until_complete(aio.aclose())
        loop.close()
        guard.store.close()


def walk_lines(costs: dict) -> list[str]:
    """The guard's own work from this thread's CPU time (a loaded machine's
    scheduling moves the wall-clock difference by more than the work itself),
    as a share of the round trip's wall time; the wall-clock difference beside."""
    wall, cpu = costs["wall"], costs["cpu"]
    lines = []
    for adapter, trip in (("WSGI", "SET NX PX"), ("ASGI", "async SET NX PX")):
        guarded, bare = f"{adapter}Guard", f"{adapter} app + SET"
        own = cpu[guarded].median - cpu[bare].median
        share = own / wall[trip].median
        own_wall = wall[guarded].median - wall[bare].median
        lines.append(
            f"guard's own work per guarded request, {adapter}, RedisStore: {own * 1e6:.2f} us of CPU, {share:.3f} of "
            f"one {trip} round trip ({wall[trip].median * 1e6:.1f} us; target <= {WALK_TARGET:.2f}: "
            f"{'met' if share <= WALK_TARGET else 'NOT met'}); wall-clock difference {own_wall * 1e6:.2f} us "
            f"({own_wall / wall[trip].median:.3f})"
        )
    return lines


def async_costs(url: str, rounds: int, budget: float) -> dict:
    """A lone consume_nonce_async against a lone awaited SET NX PX; 64 in
    flight on one loop, per call."""
    import redis.asyncio

    from quelvar_guard import RedisStore

    store = RedisStore(url, prefix="cost-a:")
    loop = asyncio.new_event_loop()
    aio = redis.asyncio.Redis.from_url(url, socket_timeout=0.5)
    supply = CALLS * rounds + 1
    keys = iter(b"cost:a:" + token.encode() for token in fresh_tokens(supply, "k"))
    lone = iter(fresh_tokens(supply, "l"))
    many = iter(fresh_tokens(supply + IN_FLIGHT, "m"))

    def in_flight(count: int) -> None:
        """`count` calls, 64 at a time (the last batch may be smaller)."""

        async def batch(size: int) -> None:
            await asyncio.gather(*(store.consume_nonce_async(next(many)) for _ in range(size)))

        for done in range(0, count, IN_FLIGHT):
            loop.run_until_complete(batch(min(IN_FLIGHT, count - done)))

    loop.run_until_complete(aio.ping())
    loop.run_until_complete(store.consume_nonce_async("warm"))
    try:
        costs = interleaved(
            {
                "awaited SET NX PX": each_of(
                    lambda key: loop.run_until_complete(aio.set(key, b"", nx=True, px=60_000)), keys
                ),
                "consume_nonce_async": each_of(lambda t: loop.run_until_complete(store.consume_nonce_async(t)), lone),
                f"{IN_FLIGHT} in flight": in_flight,
            },
            rounds,
            budget,
            cap=CALLS,
        )
        return costs
    finally:
        loop.run_until_complete(aio.aclose())
        loop.close()
        store.close()


def async_lines(costs: dict) -> list[str]:
    trip = costs["awaited SET NX PX"].median
    lone = costs["consume_nonce_async"].median / trip
    many = costs[f"{IN_FLIGHT} in flight"].median / trip
    return [
        f"lone consume_nonce_async: {lone:.2f}x an awaited SET NX PX ({trip * 1e6:.1f} us; target <= "
        f"{LONE_TARGET:.2f}: {'met' if lone <= LONE_TARGET else 'NOT met'})",
        f"consume_nonce_async, {IN_FLIGHT} in flight: {many:.3f} of one round trip per call (target <= "
        f"{IN_FLIGHT_TARGET:.2f}: {'met' if many <= IN_FLIGHT_TARGET else 'NOT met'})",
    ]


def telemetry_costs(url: str, rounds: int, budget: float) -> dict:
    """A post of the sample human session through both adapters and both
    stores, against the features alone."""
    from quelvar_guard import ASGIGuard, TokenKind, WSGIGuard

    body = (ROOT / "examples" / "sessions" / "human.json").read_bytes()
    supply = 2000 * rounds + 1
    loop = asyncio.new_event_loop()
    receive = receiving(body)
    contenders = {"features": repeated(core.extract_features_json_rs, body)}
    made = guards(url)
    for name, guard in made.items():
        wsgi, asgi = WSGIGuard(wsgi_app, guard), ASGIGuard(asgi_app, guard)
        path = guard.telemetry_path
        # The server's part, made beforehand: the environ or scope of each post.
        environs = [
            environ(
                guard.tokens.issue(TokenKind.TELEMETRY),
                REQUEST_METHOD="POST",
                PATH_INFO=path,
                CONTENT_LENGTH=str(len(body)),
            )
            for _ in range(supply)
        ]
        scopes = [scope(guard.tokens.issue(TokenKind.TELEMETRY), "POST", path, len(body)) for _ in range(supply)]

        def wsgi_post(env: dict, wsgi=wsgi) -> None:
            env["wsgi.input"] = io.BytesIO(body)
            answers: list[str] = []
            wsgi(env, lambda status, headers, answers=answers: answers.append(status))
            assert answers == ["200 OK"], answers

        def asgi_post(post_scope: dict, asgi=asgi) -> Awaitable[None]:
            return asgi(post_scope, receive, send)

        contenders[f"WSGI {name}"] = each_of(wsgi_post, environs)
        contenders[f"ASGI {name}"] = each_awaited(loop, asgi_post, scopes)
    cpu: dict = {}
    try:
        wall = interleaved(contenders, rounds, budget, cap=2000, cpu=cpu)
        return {"wall": wall, "cpu": cpu}
    finally:
        loop.close()
        made["RedisStore"].store.close()


def telemetry_lines(costs: dict) -> list[str]:
    """Wall time per post against the features call's; with Redis also the
    post's CPU time (this thread's: the wait for the reply left out)."""
    wall, cpu = costs["wall"], costs["cpu"]
    features = wall["features"].median
    lines = []
    for store, target in (("LocalStore", TELEMETRY_LOCAL_TARGET), ("RedisStore", TELEMETRY_REDIS_TARGET)):
        for adapter in ("WSGI", "ASGI"):
            name = f"{adapter} {store}"
            ratio = wall[name].median / features
            line = (
                f"telemetry post, {adapter}, {store}: {ratio:.2f}x extract_features_json_rs "
                f"({features * 1e6:.1f} us; target <= {target:.1f}: {'met' if ratio <= target else 'NOT met'})"
            )
            if store == "RedisStore":
                line += f"; its CPU time {cpu[name].median / cpu['features'].median:.2f}x the features call's"
            lines.append(line)
    return lines


def figures(quick: bool, parts: set[str]) -> list[str]:
    """The printed lines of the parts asked for (see the module)."""
    if shutil.which("redis-server") is None:
        return ["redis-server not installed: no Redis cost figures"]
    from servers import RedisServer

    rounds, budget, flows = (3, 0.05, 20) if quick else (9, 0.1, FLOWS)
    directory = Path(tempfile.mkdtemp(prefix="redis-cost-"))
    redis_server = RedisServer(directory)
    lines: list[str] = []
    try:
        if "walk" in parts:
            lines += walk_lines(walk_costs(redis_server.url, rounds, budget))
        if "async" in parts:
            lines += async_lines(async_costs(redis_server.url, rounds, budget))
        if "telemetry" in parts:
            lines += telemetry_lines(telemetry_costs(redis_server.url, rounds, budget))
        if "served" in parts:
            for kind in ("gunicorn", "uvicorn"):
                lines += served_lines(kind, served(kind, redis_server, directory, flows))
    finally:
        redis_server.stop()
        shutil.rmtree(directory, ignore_errors=True)
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="served,walk,async,telemetry")
    args = parser.parse_args()
    print("\n".join(figures(args.quick, set(args.only.split(",")))))


if __name__ == "__main__":
    main()
