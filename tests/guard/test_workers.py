"""The examples served as written by real gunicorn and uvicorn with 4 workers,
driven by a real HTTP client over loopback, sharing one Redis."""

from __future__ import annotations

import itertools
import os
import random
import signal
import subprocess
import sys
import threading
import uuid
from collections import Counter, defaultdict
from concurrent.futures import ThreadPoolExecutor

import pytest

from .conftest import ROOT, free_port, wait_until

httpx = pytest.importorskip("httpx")

COMMANDS = {
    "gunicorn": lambda port: [sys.executable, "-m", "gunicorn", "-w", "4", "-b", f"127.0.0.1:{port}",
                              "--graceful-timeout", "5", "--no-control-socket", "examples.guard_wsgi:app"],
    "uvicorn": lambda port: [sys.executable, "-m", "uvicorn", "--workers", "4", "--host", "127.0.0.1",
                             "--port", str(port), "--log-level", "warning", "examples.guard_asgi:app"],
}
CLIENT_THREADS = 8


class Served:
    def __init__(self, kind: str, redis_url: str) -> None:
        self.port = free_port()
        env = dict(os.environ, QUELVAR_REDIS_URL=redis_url, QUELVAR_REDIS_PREFIX=f"{kind}-{uuid.uuid4().hex}:")
        self.process = subprocess.Popen(COMMANDS[kind](self.port), cwd=ROOT, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.clients: dict[str, httpx.Client] = {}
        self.fresh, self.counter = uuid.uuid4().hex, itertools.count()
        self.lock = threading.Lock()
        wait_until(self.answers, 30, 0.1)

    def client(self, source: str) -> httpx.Client:
        # No keep-alive: every request is a new connection, which the kernel
        # hands to whichever worker accepts it first.
        with self.lock:
            if source not in self.clients:
                self.clients[source] = httpx.Client(
                    base_url=f"http://127.0.0.1:{self.port}", timeout=10,
                    transport=httpx.HTTPTransport(local_address=source),
                    limits=httpx.Limits(max_keepalive_connections=0))
            return self.clients[source]

    def get(self, token: str | None = None, path: str = "/", source: str = "127.0.0.1") -> tuple[int, int]:
        headers = {"X-Request-Token": token if token is not None else f"{self.fresh}-{next(self.counter)}"}
        answer = self.client(source).get(path, headers=headers)
        return answer.status_code, int(answer.headers["X-Worker"])

    def answers(self) -> bool:
        try:
            return self.get()[0] == 200
        except httpx.TransportError:
            return False

    def workers(self, source: str) -> set[int]:
        """The worker pids, found by asking until four different ones answered."""
        seen: set[int] = set()
        with ThreadPoolExecutor(CLIENT_THREADS) as pool:
            for _ in range(50):
                seen.update(pid for _, pid in pool.map(lambda _: self.get(source=source), range(40)))
                if len(seen) >= 4:
                    return seen
        raise AssertionError(f"only workers {seen} answered")

    def stop(self) -> None:
        for client in self.clients.values():
            client.close()
        self.process.terminate()
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture(scope="module", params=list(COMMANDS))
def served(request, redis_server):
    if redis_server.process is None:
        redis_server.start()
    server = Served(request.param, redis_server.url)
    yield server
    server.stop()


def test_each_token_is_accepted_exactly_once(served):
    tokens = [f"once-{uuid.uuid4().hex}-{i}" for i in range(1000)]
    sends = tokens * 3
    random.Random(7).shuffle(sends)
    with ThreadPoolExecutor(CLIENT_THREADS) as pool:
        answers = list(pool.map(lambda token: (token, *served.get(token)), sends))
    statuses: dict[str, Counter[int]] = defaultdict(Counter)
    for token, status, _ in answers:
        statuses[token][status] += 1
    assert {token: counts[200] for token, counts in statuses.items() if counts != Counter({200: 1, 409: 2})} == {}
    # The copies of a token met different workers (which one accepts a
    # connection is the kernel's choice).
    workers_per_token: dict[str, set[int]] = defaultdict(set)
    for token, _, pid in answers:
        workers_per_token[token].add(pid)
    assert sum(len(pids) > 1 for pids in workers_per_token.values()) > 100


def test_a_ban_reaches_every_worker(served):
    source = "127.0.0.7"
    workers = served.workers(source)
    assert served.get(path="/ban?seconds=60", source=source)[0] == 200
    refused: set[int] = set()
    with ThreadPoolExecutor(CLIENT_THREADS) as pool:
        for _ in range(100):
            for status, pid in pool.map(lambda _: served.get(source=source), range(40)):
                # A worker that has seen the ban never serves the address again.
                assert status == 403 or (status == 200 and pid not in refused), (status, pid, refused)
                if status == 403:
                    refused.add(pid)
            if refused >= workers:
                break
    assert refused >= workers
    assert served.get(source="127.0.0.1")[0] == 200  # only that address


def test_a_graceful_reload_keeps_the_replay_memory(served, request):
    if request.node.callspec.params["served"] != "gunicorn":
        pytest.skip("the reload signal is gunicorn's")
    old_workers = served.workers("127.0.0.1")
    tokens = [f"reload-{uuid.uuid4().hex}-{i}" for i in range(20)]
    assert [served.get(token)[0] for token in tokens] == [200] * 20
    os.kill(served.process.pid, signal.SIGHUP)

    def only_new_workers_answer() -> bool:
        return all(served.get()[1] not in old_workers for _ in range(20))
    wait_until(only_new_workers_answer, 30, 0.1)
    assert [served.get(token)[0] for token in tokens] == [409] * 20
