"""How soon a ban made by one worker reaches the others, through real servers.

Starts its own redis-server on a free loopback port and the example
(examples/guard_asgi.py, or guard_wsgi.py under gunicorn) with 4 workers. For
each ban, one request from a fresh loopback address asks `/ban` (the worker
that answers bans the address in its own replica and in Redis, which
announces it), then, from the moment its answer arrives, REQUESTS requests
from that address, each on a new connection, CONCURRENCY at a time. A request
that started after the ban's answer and was still served (200) shows a worker
that had not yet heard of the ban; how late it started after the answer bounds
the ban's reach from below. Every request is bounded (10 s), and so is the
whole run (--seconds).

    python bench/ban_reach.py [--kind uvicorn|gunicorn] [--bans 30] [--requests 500]
"""

from __future__ import annotations

import argparse
import itertools
import os
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench.guard_bench import ROOT, start_redis  # noqa: E402

COMMANDS = {
    "uvicorn": ["uvicorn", "--workers", "4", "--no-proxy-headers", "--port", "{port}", "examples.guard_asgi:app"],
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
        "127.0.0.1:{port}",
        "examples.guard_wsgi:app",
    ],
}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def measure(kind: str, url: str, bans: int, requests: int, concurrency: int, seconds: float) -> dict[str, object]:
    import httpx

    port = free_port()
    command = [part.format(port=port) for part in COMMANDS[kind]]
    env = dict(os.environ, QUELVAR_REDIS_URL=url, QUELVAR_REDIS_PREFIX=f"reach-{kind}-{port}:")
    server = subprocess.Popen(
        [sys.executable, "-m", *command], cwd=ROOT, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    counter = itertools.count()
    # One context for every client: making one per client (loading the
    # certificates) costs about 20 ms, which would space the requests out.
    context = ssl.create_default_context()

    def get(source: str, path: str = "/") -> tuple[float, int, str]:
        started = time.time()
        transport = httpx.HTTPTransport(local_address=source, verify=context)
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=10, transport=transport) as client:
            answer = client.get(path, headers={"X-Request-Token": f"t-{port}-{next(counter)}"})
        return started, answer.status_code, answer.headers.get("x-worker", "?")

    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                get("127.0.0.1")
                break
            except httpx.TransportError:
                if time.monotonic() > deadline or server.poll() is not None:
                    raise
                time.sleep(0.1)
        late: list[float] = []  # per ban: the latest start of a request served after the answer (0: none)
        after = served = banner_served = 0
        workers: set[str] = set()
        stop = time.monotonic() + seconds
        with ThreadPoolExecutor(concurrency) as pool:
            # Every worker started, its store connected and its listener subscribed.
            for _, _, worker in pool.map(lambda _: get("127.0.0.1"), range(200)):
                workers.add(worker)
            for index in range(bans):
                if time.monotonic() > stop:
                    break
                source = f"127.0.{1 + index // 250}.{2 + index % 250}"
                _, status, banner = get(source, "/ban?seconds=600")
                assert status == 200, status
                answered = time.time()
                answers = list(pool.map(lambda _, source=source: get(source), range(requests)))
                mine = [(started - answered, status, worker) for started, status, worker in answers]
                after += sum(1 for delay, _, _ in mine if delay >= 0)
                through = [(delay, worker) for delay, status, worker in mine if delay >= 0 and status == 200]
                served += len(through)
                banner_served += sum(1 for _, worker in through if worker == banner)
                late.append(max((delay for delay, _ in through), default=0.0))
        return {
            "kind": kind,
            "workers": len(workers),
            "bans": len(late),
            "after": after,
            "served": served,
            "banner_served": banner_served,
            "late": late,
        }
    finally:
        server.terminate()
        try:
            server.wait(15)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(10)


def report(result: dict[str, object]) -> str:
    late = sorted(result["late"])  # type: ignore[call-overload]
    reached = [value for value in late if value > 0]
    return (
        f"{result['kind']}, 4 workers ({result['workers']} answered the warm-up), {result['bans']} bans: "
        f"{result['served']} of {result['after']} requests started after the ban's answer were served "
        f"({result['banner_served']} by the worker that banned), in {len(reached)} bans; "
        f"latest start of one served after the answer: p50 {statistics.median(late) * 1e3:.2f} ms, "
        f"p90 {late[int(0.9 * (len(late) - 1))] * 1e3:.2f} ms, worst {late[-1] * 1e3:.2f} ms"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kind", choices=sorted(COMMANDS), action="append")
    parser.add_argument("--bans", type=int, default=30)
    parser.add_argument("--requests", type=int, default=500, help="per ban, at most 2,000")
    parser.add_argument("--concurrency", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=300, help="stop starting bans after this long")
    args = parser.parse_args()
    if shutil.which("redis-server") is None:
        sys.exit("redis-server is not installed")
    bans, requests = min(args.bans, 1000), min(args.requests, 2000)
    server, url, directory = start_redis()
    try:
        for kind in args.kind or ["uvicorn"]:
            print(report(measure(kind, url, bans, requests, args.concurrency, args.seconds)), flush=True)
    finally:
        server.terminate()
        server.wait(10)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
