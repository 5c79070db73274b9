"""The Redis store against the extension alone and against plain redis-py.

Starts its own redis-server on a free loopback port (no persistence) and
measures, interleaved in one process:

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

    python bench/guard_bench.py [--quick]
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

PROPAGATION_BANS = 200
PROPAGATION_PROCESSES = 3
ASYNC_TOKENS = 6000
ASYNC_CONCURRENCY = (8, 64)
SERVED_BANS = 20
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_redis() -> tuple[subprocess.Popen[bytes], str, str]:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    directory = tempfile.mkdtemp(prefix="guard-bench-")
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", directory],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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
        delays += [seen - start for seen, start in zip(results.get(timeout=60), started)]
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
            return await asyncio.wait_for(client.set(b"bench:a:" + token.encode(), b"", nx=True, px=60_000), 1.0) is True
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
    import httpx
    from concurrent.futures import ThreadPoolExecutor
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    command = {"uvicorn": ["uvicorn", "--workers", "4", "--port", str(port), "examples.guard_asgi:app"],
               "gunicorn": ["gunicorn", "-w", "4", "-k", "gthread", "--threads", "4", "--no-control-socket",
                            "-b", f"127.0.0.1:{port}", "examples.guard_wsgi:app"]}[kind]
    env = dict(os.environ, QUELVAR_REDIS_URL=url, QUELVAR_REDIS_PREFIX=f"served-{kind}:")
    server = subprocess.Popen([sys.executable, "-m", *command], cwd=ROOT, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    counter = itertools.count()

    def get(source: str, path: str = "/") -> tuple[float, int]:
        started = time.time()
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=10,
                          transport=httpx.HTTPTransport(local_address=source)) as client:
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
                answers = list(pool.map(lambda _: get(source), range(120)))
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

    from bench.run_benchmarks import fresh_tokens, interleaved, repeated, each_of, MAX_CALLS_PER_ROUND
    from quelvar_guard import RedisStore

    server, url, directory = start_redis()
    try:
        core.clear_state_engine_rs()
        store = RedisStore(url, prefix="bench:")
        bare = redis.Redis.from_url(url, socket_timeout=0.5)
        store.ban("198.51.100.7", 3600)
        bare.set("bench:exists-probe", b"")
        lookup = interleaved({
            "module": repeated(core.is_ip_banned_rs, "198.51.100.7"),
            "RedisStore": repeated(store.is_banned, "198.51.100.7"),
            "redis EXISTS": repeated(bare.exists, "bench:exists-probe"),
        }, rounds, budget)
        table.add("is_banned hit (RedisStore)", lookup)
        headline["guard_lookup"] = lookup

        supply = min(MAX_CALLS_PER_ROUND, 20_000) * rounds + 1
        bare_keys = iter([b"bench:bare:" + token.encode() for token in fresh_tokens(supply, "b")])
        nonce = interleaved({
            "bare SET NX PX": each_of(lambda key: bare.set(key, b"", nx=True, px=60_000), bare_keys),
            "RedisStore": each_of(store.consume_nonce, fresh_tokens(supply, "s")),
        }, rounds, budget)
        table.add("consume_nonce fresh (RedisStore)", nonce, module="bare SET NX PX")
        headline["guard_nonce"] = nonce

        store.consume_nonce("replayed-token")
        core.consume_nonce_rs("replayed-native")
        replay = interleaved({
            "module": repeated(core.consume_nonce_rs, "replayed-native"),
            "RedisStore": repeated(store.consume_nonce, "replayed-token"),
        }, rounds, budget)
        table.add("consume_nonce replay (RedisStore)", replay)
        headline["guard_replay"] = replay

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


def summary(headline: dict) -> list[str]:
    """The guard's ratios and the propagation bound, as printed lines."""
    if "guard_lookup" not in headline:
        return []
    lookup, nonce, replay = headline["guard_lookup"], headline["guard_nonce"], headline["guard_replay"]
    p50, p99 = headline["guard_propagation"]
    lines = [
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
        lines.append(f"consume_nonce_async at {concurrency} in flight: {new_cost * 1e6:.1f} us client CPU per token, "
                     f"{new_cost / old_cost:.2f}x one round trip per call ({old_cost * 1e6:.1f} us; target <= 0.35 "
                     f"at 64); connections opened {new_made} (one per call: {old_made}; target <= 4)")
    for kind in ("uvicorn", "gunicorn"):
        late = sorted(headline[f"guard_served_{kind}"])
        lines.append(f"{kind}, 4 workers, {len(late)} bans: last request served after the ban's answer "
                     f"p50 {statistics.median(late) * 1e3:.1f} ms, worst {late[-1] * 1e3:.1f} ms")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    from bench.run_benchmarks import Table
    rounds, budget = (3, 0.01) if args.quick else (9, 0.04)
    table, headline = Table(), {}
    bench_guard(table, rounds, budget, headline)
    table.print()
    print()
    print("\n".join(summary(headline)))


if __name__ == "__main__":
    main()
