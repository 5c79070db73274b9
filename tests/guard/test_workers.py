"""The examples served as written by real gunicorn and uvicorn with 4 workers,
driven by a real HTTP client over loopback, sharing one Redis."""

from __future__ import annotations

import itertools
import os
import random
import signal
import subprocess
import sys
import time
import uuid
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor

import pytest

from .conftest import ROOT, free_port, wait_until

httpx = pytest.importorskip("httpx")

COMMANDS = {
    "gunicorn": ["gunicorn", "-w", "4", "--no-control-socket", "-b", "127.0.0.1:{port}", "examples.guard_wsgi:app"],
    "uvicorn": ["uvicorn", "--workers", "4", "--port", "{port}", "examples.guard_asgi:app"],
}


class Served:
    def __init__(self, kind: str, redis_url: str) -> None:
        self.port, self.counter = free_port(), itertools.count()
        env = dict(os.environ, QUELVAR_REDIS_URL=redis_url, QUELVAR_REDIS_PREFIX=f"{uuid.uuid4().hex}:")
        self.process = subprocess.Popen([sys.executable, "-m", *(a.format(port=self.port) for a in COMMANDS[kind])],
                                        cwd=ROOT, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # No keep-alive: each request is a new connection, which the kernel
        # hands to whichever worker accepts first.
        self.clients = {source: httpx.Client(base_url=f"http://127.0.0.1:{self.port}", timeout=10,
                                             transport=httpx.HTTPTransport(local_address=source),
                                             limits=httpx.Limits(max_keepalive_connections=0))
                        for source in ("127.0.0.1", "127.0.0.7")}
        wait_until(lambda: self.get(ignore_refusal=True) == 200, 30, 0.1)

    def get(self, token=None, path="/", source="127.0.0.1", ignore_refusal=False):
        token = token or f"fresh-{self.port}-{next(self.counter)}"
        try:
            answer = self.clients[source].get(path, headers={"X-Request-Token": token})
        except httpx.TransportError:
            if ignore_refusal:
                return None
            raise
        return answer.status_code if ignore_refusal else (answer.status_code, int(answer.headers["X-Worker"]))

    def many(self, count, **options):
        # Concurrent new connections: more than one worker takes some.
        with ThreadPoolExecutor(8) as pool:
            return list(pool.map(lambda _: self.get(**options), range(count)))


@pytest.fixture(scope="module", params=list(COMMANDS))
def served(request, redis_server):
    if redis_server.process is None:
        redis_server.start()
    server = Served(request.param, redis_server.url)
    yield server
    server.process.terminate()
    server.process.wait(15)


def test_each_token_is_accepted_exactly_once(served):
    # Kept-alive connections opened one at a time land on the workers at
    # random and stay there (where the server keeps them); each copy of a
    # token goes through a connection of another worker.
    # Connections are opened until they are held by at least two workers, six
    # at most on each (a slow start, as under the sanitizers, can leave the
    # first ones all on one worker).
    clients: list[httpx.Client] = []
    groups = defaultdict(list)
    deadline = time.monotonic() + 60
    for _ in range(500):
        if len(clients) >= 12 and len(groups) >= 2:
            break
        assert time.monotonic() < deadline, "connections never reached a second worker"
        client = httpx.Client(base_url=f"http://127.0.0.1:{served.port}", timeout=10)
        worker = client.get("/", headers={"X-Request-Token": uuid.uuid4().hex}).headers["X-Worker"]
        if len(groups[worker]) >= 6:
            client.close()
            time.sleep(0.05)
            continue
        groups[worker].append(client)
        clients.append(client)
    assert len(groups) >= 2, "connections never reached a second worker"
    lanes = [list(group) for group in groups.values()]
    jobs = defaultdict(list)
    tokens = [f"once-{uuid.uuid4().hex}-{i}" for i in range(1000)]
    for index, token in enumerate(tokens):
        for copy in range(3):
            lane = lanes[(index + copy) % len(lanes)]
            jobs[lane[(index // len(lanes) + copy) % len(lane)]].append(token)

    def send(client):
        random.Random(7).shuffle(jobs[client])
        return [(token, client.get("/", headers={"X-Request-Token": token})) for token in jobs[client]]
    with ThreadPoolExecutor(len(clients)) as pool:
        answers = [answer for batch in pool.map(send, clients) for answer in batch]
    for client in clients:
        client.close()
    accepted, workers = defaultdict(int), defaultdict(set)
    for token, answer in answers:
        assert answer.status_code in (200, 409)
        accepted[token] += answer.status_code == 200
        workers[token].add(answer.headers["X-Worker"])
    assert len(answers) == 3000 and {token: count for token, count in accepted.items() if count != 1} == {}
    assert sum(len(pids) > 1 for pids in workers.values()) > 100, "the copies did not meet different workers"


def test_a_ban_reaches_every_worker(served):
    source = "127.0.0.7"
    workers: set[int] = set()
    for _ in range(20):
        workers |= {pid for _, pid in served.many(40, source=source)}
        if len(workers) == 4:
            break
    assert len(workers) >= 2
    assert served.get(path="/ban?seconds=60", source=source)[0] == 200
    refused: set[int] = set()
    for _ in range(100):
        refused |= {pid for status, pid in served.many(40, source=source) if status == 403}
        if refused >= workers:
            break
    assert refused >= workers
    assert {status for status, _ in served.many(40, source=source)} == {403}
    assert served.get()[0] == 200  # only that address


def test_a_graceful_reload_keeps_the_replay_memory(served, request):
    if request.node.callspec.params["served"] != "gunicorn":
        pytest.skip("the reload signal is gunicorn's")
    old_workers = {pid for _, pid in served.many(40)}
    tokens = [f"reload-{uuid.uuid4().hex}-{i}" for i in range(20)]
    assert [served.get(token)[0] for token in tokens] == [200] * 20
    os.kill(served.process.pid, signal.SIGHUP)
    wait_until(lambda: not {pid for _, pid in served.many(20)} & old_workers, 30, 0.1)
    assert [served.get(token)[0] for token in tokens] == [409] * 20
