"""The Redis store against the extension alone and against plain redis-py.

Starts its own redis-server on a free loopback port (no persistence) and
measures, interleaved in one process:

- is_banned on a RedisStore (the local replica) against is_ip_banned_rs alone
  and against asking Redis per request (EXISTS through redis-py);
- consume_nonce on a RedisStore against one bare redis-py SET NX PX, and the
  refusal of a token this process has seen (no round trip);
- how long a ban made in one process takes to be answered by others
  (p50, p99), with the other processes polling every 50 microseconds.

    python bench/guard_bench.py [--quick]
"""
from __future__ import annotations

import argparse
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
    return quantiles[49], quantiles[98]


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
        store.close()
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
    return [
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
