"""The guard's own cost, and the Redis store against the extension alone and against plain redis-py.

Starts its own redis-server on a free loopback port (no persistence) and
measures, interleaved in one process:

- the guard's own work per guarded request with a valid token, in process
  with LocalStore (WSGIGuard and ASGIGuard less the bare application), against
  one bare redis-py SET NX PX round trip (target: at most 0.1 of it);
- a telemetry post (the sample human session) through WSGIGuard with
  LocalStore against extract_features_json_rs on the same body (target: at
  most 1.3x), with its parts timed alone: the evidence call, the scoring, the
  clearance's tokens;

- is_banned on a RedisStore (the local replica) against is_ip_banned_rs alone
  and against asking Redis per request (EXISTS through redis-py);
- consume_nonce on a RedisStore against one bare redis-py SET NX PX, and the
  refusal of a token this process has seen (no round trip);
- how long a ban made in one process takes to be answered by others
  (p50, p99), with the other processes polling every 50 microseconds;
- consume_nonce_async with 8 and 64 calls in flight on one event loop against
  one round trip per call (what the store did before it sent an event loop's
  calls together): client CPU time per token, and connections opened;
- the examples under uvicorn and gunicorn with 4 workers: after a ban answered
  by one worker, how late a request from that address was still served.

    python bench/guard_bench.py [--quick] [--costs]
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import multiprocessing
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import quelvar_core_rs as core  # noqa: E402
from bench.timing import MAX_CALLS_PER_ROUND, Table, each_of, fresh_tokens, interleaved, repeated  # noqa: E402

PROPAGATION_BANS = 200
PROPAGATION_PROCESSES = 3
ASYNC_TOKENS = 6000
ASYNC_CONCURRENCY = (8, 64)
SERVED_BANS = 20
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The guard's targets: its own work per guarded request as a share of one
# round trip to Redis, and a telemetry post against the features alone.
GUARD_SHARE_TARGET = 0.10
TELEMETRY_TARGET = 1.30
# Calls per round of each guarded contender: each takes a fresh token, made beforehand.
GUARD_CALLS = 5000
PEER = "203.0.113.50"  # no ban of the other figures falls on it
# What a browser's fetch to an API carries besides the token.
BROWSER_HEADERS = [
    ("host", "api.example.com"),
    ("connection", "keep-alive"),
    ("sec-ch-ua", '"Chromium";v="125", "Not.A/Brand";v="24"'),
    ("sec-ch-ua-mobile", "?0"),
    (
        "user-agent",
        "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36",
    ),
    ("sec-ch-ua-platform", '"Linux"'),
    ("accept", "*/*"),
    ("sec-fetch-site", "same-origin"),
    ("sec-fetch-mode", "cors"),
    ("sec-fetch-dest", "empty"),
    ("referer", "https://api.example.com/"),
    ("accept-encoding", "gzip, deflate, br"),
    ("accept-language", "en-GB,en;q=0.9"),
    ("cookie", "session=7d3f0a9c1e2b4d5f8a6c; theme=dark"),
]


def start_redis() -> tuple[subprocess.Popen[bytes], str, str]:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    directory = tempfile.mkdtemp(prefix="guard-bench-")
    server = subprocess.Popen(
        [
            "redis-server",
            "--port",
            str(port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            directory,
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    import redis

    deadline = time.monotonic() + 10
    while True:
        try:
            redis.Redis(port=port).ping()
            break
        except redis.ConnectionError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)
    return server, f"redis://127.0.0.1:{port}/0", directory


def watcher(url: str, ready, results) -> None:
    """One other process: waits for each ban in turn, notes when it sees it."""
    from quelvar_guard import RedisStore

    store = RedisStore(url, prefix="bench:")
    store.is_banned("warm-up")
    ready.put(os.getpid())
    seen = []
    for index in range(PROPAGATION_BANS):
        ip = f"198.18.{index // 256}.{index % 256}"
        while not store.is_banned(ip):
            time.sleep(50e-6)
        seen.append(time.time())
    results.put(seen)
    store.close()


def propagation(url: str, store) -> tuple[float, float]:
    context = multiprocessing.get_context("spawn")
    ready, results = context.Queue(), context.Queue()
    children = [context.Process(target=watcher, args=(url, ready, results)) for _ in range(PROPAGATION_PROCESSES)]
    for child in children:
        child.start()
    for _ in children:
        ready.get(timeout=60)
    started = []
    for index in range(PROPAGATION_BANS):
        started.append(time.time())
        store.ban(f"198.18.{index // 256}.{index % 256}", 600)
        time.sleep(0.002)
    delays = []
    for _ in children:
        delays += [seen - start for seen, start in zip(results.get(timeout=60), started, strict=True)]
    for child in children:
        child.join(10)
    quantiles = statistics.quantiles(delays, n=100)
    draw_propagation(delays)
    return quantiles[49], quantiles[98]


def draw_propagation(delays: list[float]) -> None:
    """The spread of the propagation delays as a PNG beside the build's other output."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no propagation figure")
        return
    path = os.path.join(ROOT, "build", "guard_propagation.png")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    ordered = sorted(delay * 1e3 for delay in delays)
    figure, axes = plt.subplots(figsize=(7, 4))
    axes.plot(ordered, [(index + 1) / len(ordered) for index in range(len(ordered))])
    axes.set_xscale("log")
    axes.set_xlabel("ms from the ban's write to its answer in another process")
    axes.set_ylabel("share of answers")
    axes.set_title(f"{PROPAGATION_BANS} bans, {PROPAGATION_PROCESSES} other processes")
    axes.grid(True, which="both", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    print(f"propagation spread drawn in {path}")


def connections_made(url: str) -> int:
    import redis

    with redis.Redis.from_url(url) as client:
        return int(client.info("stats")["total_connections_received"]) - 1  # less this one


def async_costs(url: str, store, rounds: int) -> dict:
    """Client CPU per token and connections opened, per concurrency, for the
    store's batched path and for one round trip per call."""
    import redis.asyncio

    async def spend_all(spend, tokens: list[str], concurrency: int) -> float:
        supply = iter(tokens)

        async def caller() -> None:
            for token in supply:
                await spend(token)

        started = time.process_time()
        await asyncio.gather(*(caller() for _ in range(concurrency)))
        return (time.process_time() - started) / len(tokens)

    async def measure() -> dict:
        client = redis.asyncio.Redis.from_url(url, socket_timeout=0.5)

        async def one_round_trip_each(token: str) -> bool:
            if not core.consume_nonce_rs(token):
                return False
            return (
                await asyncio.wait_for(client.set(b"bench:a:" + token.encode(), b"", nx=True, px=60_000), 1.0) is True
            )

        contenders = {"one per call": one_round_trip_each, "RedisStore": store.consume_nonce_async}
        results: dict = {}
        for concurrency in ASYNC_CONCURRENCY:
            costs: dict[str, list[float]] = {name: [] for name in contenders}
            made: dict[str, int] = {}
            for round_index in range(rounds):
                for name, spend in contenders.items():
                    before = connections_made(url)
                    tokens = fresh_async_tokens(f"{concurrency}-{round_index}-{name}")
                    costs[name].append(await spend_all(spend, tokens, concurrency))
                    made[name] = max(made.get(name, 0), connections_made(url) - before)
            results[concurrency] = {name: (statistics.median(values), made[name]) for name, values in costs.items()}
        await client.aclose()
        return results

    return asyncio.run(measure())


def fresh_async_tokens(label: str) -> list[str]:
    return [f"async-{label}-{index}" for index in range(ASYNC_TOKENS)]


def served_after_ban(kind: str, url: str) -> list[float]:
    """The examples with 4 workers: for each ban, the latest moment after the
    ban's answer at which a request from that address was still served (0 if
    none was), in seconds."""
    from concurrent.futures import ThreadPoolExecutor

    import httpx

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    command = {
        "uvicorn": ["uvicorn", "--workers", "4", "--port", str(port), "examples.guard_asgi:app"],
        "gunicorn": [
            "gunicorn",
            "-w",
            "4",
            "-k",
            "gthread",
            "--threads",
            "4",
            "--no-control-socket",
            "-b",
            f"127.0.0.1:{port}",
            "examples.guard_wsgi:app",
        ],
    }[kind]
    env = dict(os.environ, QUELVAR_REDIS_URL=url, QUELVAR_REDIS_PREFIX=f"served-{kind}:")
    server = subprocess.Popen(
        [sys.executable, "-m", *command], cwd=ROOT, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    counter = itertools.count()

    def get(source: str, path: str = "/") -> tuple[float, int]:
        started = time.time()
        with httpx.Client(
            base_url=f"http://127.0.0.1:{port}", timeout=10, transport=httpx.HTTPTransport(local_address=source)
        ) as client:
            answer = client.get(path, headers={"X-Request-Token": f"t-{port}-{next(counter)}"})
        return started, answer.status_code

    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                get("127.0.0.1")
                break
            except httpx.TransportError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        late: list[float] = []
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda _: get("127.0.0.1"), range(200)))  # every worker started
            for index in range(SERVED_BANS):
                source = f"127.0.0.{20 + index}"
                get(source, "/ban?seconds=60")
                banned_at = time.time()
                answers = list(pool.map(lambda _, source=source: get(source), range(120)))
                served = [started - banned_at for started, status in answers if status == 200]
                late.append(max(served, default=0.0))
        return late
    finally:
        server.terminate()
        server.wait(15)


def bench_guard(table, rounds: int, budget: float, headline: dict) -> None:
    if shutil.which("redis-server") is None:
        print("redis-server not installed: no guard figures")
        return
    import redis

    from quelvar_guard import RedisStore

    server, url, directory = start_redis()
    try:
        core.clear_state_engine_rs()
        store = RedisStore(url, prefix="bench:")
        bare = redis.Redis.from_url(url, socket_timeout=0.5)
        store.ban("198.51.100.7", 3600)
        bare.set("bench:exists-probe", b"")
        lookup = interleaved(
            {
                "module": repeated(core.is_ip_banned_rs, "198.51.100.7"),
                "RedisStore": repeated(store.is_banned, "198.51.100.7"),
                "redis EXISTS": repeated(bare.exists, "bench:exists-probe"),
            },
            rounds,
            budget,
        )
        table.add("is_banned hit (RedisStore)", lookup)
        headline["guard_lookup"] = lookup

        supply = min(MAX_CALLS_PER_ROUND, 20_000) * rounds + 1
        bare_keys = iter([b"bench:bare:" + token.encode() for token in fresh_tokens(supply, "b")])
        nonce = interleaved(
            {
                "bare SET NX PX": each_of(lambda key: bare.set(key, b"", nx=True, px=60_000), bare_keys),
                "RedisStore": each_of(store.consume_nonce, fresh_tokens(supply, "s")),
            },
            rounds,
            budget,
        )
        table.add("consume_nonce fresh (RedisStore)", nonce, module="bare SET NX PX")
        headline["guard_nonce"] = nonce

        store.consume_nonce("replayed-token")
        core.consume_nonce_rs("replayed-native")
        replay = interleaved(
            {
                "module": repeated(core.consume_nonce_rs, "replayed-native"),
                "RedisStore": repeated(store.consume_nonce, "replayed-token"),
            },
            rounds,
            budget,
        )
        table.add("consume_nonce replay (RedisStore)", replay)
        headline["guard_replay"] = replay

        print("the guard's own cost ...", flush=True)
        costs = guard_costs(bare, rounds, budget)
        table.add(
            "guarded request (LocalStore)", {name: costs[name] for name in ("WSGI app", "WSGIGuard")}, module="WSGI app"
        )
        table.add(
            "guarded request (LocalStore) ",
            {name: costs[name] for name in ("ASGI app", "ASGIGuard")},
            module="ASGI app",
        )
        table.add(
            "telemetry post (LocalStore)",
            {name: costs[name] for name in ("features", "telemetry post", "evidence", "scoring", "clearance")},
            module="features",
        )
        headline["guard_costs"] = costs

        headline["guard_propagation"] = propagation(url, store)
        print("async nonce writes ...", flush=True)
        headline["guard_async"] = async_costs(url, store, max(3, rounds // 3))
        store.close()
        for kind in ("uvicorn", "gunicorn"):
            print(f"bans under {kind} ...", flush=True)
            headline[f"guard_served_{kind}"] = served_after_ban(kind, url)
        core.clear_state_engine_rs()
    finally:
        server.terminate()
        server.wait(10)
        shutil.rmtree(directory, ignore_errors=True)


def tokens_of(guard, count: int) -> list[str]:
    """`count` guarded tokens of `guard`, a thousand to a clearance."""
    tokens: list[str] = []
    while len(tokens) < count:
        tokens.extend(guard.tokens.issue_clearance(1000))
    return tokens[:count]


def environ(token: str, **more) -> dict:
    """A browser's GET of /api/hello with `token`, as a WSGI server hands it on."""
    return {
        "REQUEST_METHOD": "GET",
        "PATH_INFO": "/api/hello",
        "SCRIPT_NAME": "",
        "QUERY_STRING": "",
        "SERVER_NAME": "bench",
        "SERVER_PORT": "80",
        "SERVER_PROTOCOL": "HTTP/1.1",
        "REMOTE_ADDR": PEER,
        **{"HTTP_" + name.upper().replace("-", "_"): value for name, value in BROWSER_HEADERS},
        "HTTP_X_QUELVAR_TOKEN": token,
        **more,
    }


def scope(token: str, method: str = "GET", path: str = "/api/hello", length: int | None = None) -> dict:
    """The same as an ASGI server hands it on."""
    headers = [(name.encode(), value.encode()) for name, value in BROWSER_HEADERS]
    if length is not None:
        headers.append((b"content-length", str(length).encode()))
    return {
        "type": "http",
        "http_version": "1.1",
        "method": method,
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "query_string": b"",
        "root_path": "",
        "client": (PEER, 50000),
        "server": ("127.0.0.1", 8000),
        "headers": [*headers, (b"x-quelvar-token", token.encode())],
    }


def wsgi_app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello"]


def start_response(status, headers):
    return None


async def asgi_app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})


async def send(message):
    return None


def receiving(body: bytes):
    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    return receive


def guard_costs(bare, rounds: int, budget: float) -> dict:
    """The guard's own work, in process with LocalStore: guarded requests with
    fresh valid tokens through WSGIGuard and ASGIGuard and the bare
    applications, telemetry posts and their parts, and one bare SET NX PX
    round trip to Redis, interleaved."""
    import io

    from quelvar_guard import ASGIGuard, Guard, LocalStore, TokenKind, WSGIGuard

    guard = Guard(LocalStore(), ["bench-secret-" + "k" * 40])
    supply = GUARD_CALLS * rounds + 1

    def guarded_tokens() -> list[str]:
        return tokens_of(guard, supply)

    receive = receiving(b"")

    def driven(app):
        def call(scope: dict) -> None:
            try:
                app(scope, receive, send).send(None)  # nothing in it waits: done in one step
            except StopIteration:
                pass

        return call

    wsgi, asgi = WSGIGuard(wsgi_app, guard), ASGIGuard(asgi_app, guard)
    body = open(os.path.join(ROOT, "examples", "sessions", "human.json"), "rb").read()
    features, moves = guard.parse(body)
    posts = [
        environ(
            guard.tokens.issue(TokenKind.TELEMETRY),
            REQUEST_METHOD="POST",
            PATH_INFO=guard.telemetry_path,
            CONTENT_LENGTH=str(len(body)),
            **{"wsgi.input": io.BytesIO(body)},
        )
        for _ in range(supply)
    ]
    answers = []
    wsgi(dict(posts[0], **{"wsgi.input": io.BytesIO(body)}), lambda status, headers: answers.append(status))
    assert answers == ["200 OK"], answers  # an allowed post: the cost measured is the endpoint's whole work
    bare_keys = iter([b"bench:guard:" + token.encode() for token in fresh_tokens(supply, "g")])
    return interleaved(
        {
            "SET NX PX": each_of(lambda key: bare.set(key, b"", nx=True, px=60_000), bare_keys),
            "WSGI app": each_of(lambda env: wsgi_app(env, start_response), [environ(t) for t in guarded_tokens()]),
            "WSGIGuard": each_of(lambda env: wsgi(env, start_response), [environ(t) for t in guarded_tokens()]),
            "ASGI app": each_of(driven(asgi_app), [scope(t) for t in guarded_tokens()]),
            "ASGIGuard": each_of(driven(asgi), [scope(t) for t in guarded_tokens()]),
            "features": repeated(core.extract_features_json_rs, body),
            "telemetry post": each_of(lambda env: wsgi(env, start_response), posts[1:]),
            "evidence": repeated(guard.parse, body),
            "scoring": repeated(guard.scoring.judge, features, moves),
            "clearance": repeated(guard.tokens.issue_clearance, guard.requests_per_clearance),
        },
        rounds,
        budget,
        cap=GUARD_CALLS,
    )


def guard_summary(costs: dict) -> list[str]:
    """The guard's own work against its targets (medians of one run)."""
    round_trip = costs["SET NX PX"].median
    lines = []
    for adapter in ("WSGI", "ASGI"):
        added = costs[f"{adapter}Guard"].median - costs[f"{adapter} app"].median
        share = added / round_trip
        lines.append(
            f"guard's own work per guarded request, {adapter}, LocalStore: {added * 1e6:.2f} us, "
            f"{share:.3f} of one SET NX PX round trip ({round_trip * 1e6:.1f} us; target <= "
            f"{GUARD_SHARE_TARGET:.2f}: {'met' if share <= GUARD_SHARE_TARGET else 'NOT met'})"
        )
    features = costs["features"].median
    post = costs["telemetry post"].median / features
    parts = {name: costs[name].median / features for name in ("evidence", "scoring", "clearance")}
    rest = post - parts["evidence"] - parts["scoring"] - parts["clearance"]
    lines.append(
        f"telemetry post, WSGI, LocalStore: {post:.2f}x extract_features_json_rs ({features * 1e6:.1f} us; "
        f"target <= {TELEMETRY_TARGET:.2f}: {'met' if post <= TELEMETRY_TARGET else 'NOT met'}); "
        f"in features' units: evidence call {parts['evidence']:.2f}, scoring {parts['scoring']:.2f}, "
        f"clearance's tokens {parts['clearance']:.2f}, the rest of the walk {rest:.2f}"
    )
    return lines


def summary(headline: dict) -> list[str]:
    """The guard's ratios and the propagation bound, as printed lines."""
    if "guard_lookup" not in headline:
        return []
    lookup, nonce, replay = headline["guard_lookup"], headline["guard_nonce"], headline["guard_replay"]
    p50, p99 = headline["guard_propagation"]
    lines = [
        *guard_summary(headline["guard_costs"]),
        f"is_banned RedisStore / is_ip_banned_rs: {lookup['RedisStore'].median / lookup['module'].median:.2f} "
        f"(target <= 1.5); redis EXISTS / RedisStore: "
        f"{lookup['redis EXISTS'].median / lookup['RedisStore'].median:.0f}x (target >= 100)",
        f"consume_nonce RedisStore / bare SET NX PX: "
        f"{nonce['RedisStore'].median / nonce['bare SET NX PX'].median:.2f} (target <= 1.2); "
        f"local replay refusal {replay['RedisStore'].median * 1e6:.2f} us "
        f"({replay['RedisStore'].median / replay['module'].median:.1f}x consume_nonce_rs)",
        f"ban propagation to {PROPAGATION_PROCESSES} other processes over {PROPAGATION_BANS} bans: "
        f"p50 {p50 * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms",
    ]
    for concurrency, costs in headline["guard_async"].items():
        (old_cost, old_made), (new_cost, new_made) = costs["one per call"], costs["RedisStore"]
        lines.append(
            f"consume_nonce_async at {concurrency} in flight: {new_cost * 1e6:.1f} us client CPU per token, "
            f"{new_cost / old_cost:.2f}x one round trip per call ({old_cost * 1e6:.1f} us; target <= 0.35 "
            f"at 64); connections opened {new_made} (one per call: {old_made}; target <= 4)"
        )
    for kind in ("uvicorn", "gunicorn"):
        late = sorted(headline[f"guard_served_{kind}"])
        lines.append(
            f"{kind}, 4 workers, {len(late)} bans: last request served after the ban's answer "
            f"p50 {statistics.median(late) * 1e3:.1f} ms, worst {late[-1] * 1e3:.1f} ms"
        )
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--costs", action="store_true", help="the guard's own cost only")
    args = parser.parse_args()
    rounds, budget = (3, 0.01) if args.quick else (9, 0.04)
    table, headline = Table(), {}
    if args.costs:
        import redis

        server, url, directory = start_redis()
        try:
            costs = guard_costs(redis.Redis.from_url(url, socket_timeout=0.5), rounds, budget)
        finally:
            server.terminate()
            server.wait(10)
            shutil.rmtree(directory, ignore_errors=True)
        print("\n".join(guard_summary(costs)))
        return
    bench_guard(table, rounds, budget, headline)
    table.print()
    print()
    print("\n".join(summary(headline)))


if __name__ == "__main__":
    main()
