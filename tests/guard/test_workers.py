"""The examples served as written by real gunicorn and uvicorn with 4 workers,
driven by a real HTTP client over loopback, sharing one Redis."""

from __future__ import annotations

import itertools
import os
import random
import signal
import time
import uuid
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor

import httpx
import pytest

from servers import Served, wait_until


class Workers:
    """The example served by 4 workers, asked by clients that open a new
    connection for each request, which the kernel hands to whichever worker
    accepts first."""

    def __init__(self, served: Served) -> None:
        self.served, self.port, self.counter = served, served.port, itertools.count()
        self.process = served.process
        self.clients = {
            source: served.client(source, limits=httpx.Limits(max_keepalive_connections=0))
            for source in ("127.0.0.1", "127.0.0.7")
        }

    def get(self, token=None, path="/", source="127.0.0.1"):
        token = token or f"fresh-{self.port}-{next(self.counter)}"
        answer = self.clients[source].get(path, headers={"X-Request-Token": token})
        return answer.status_code, int(answer.headers["X-Worker"])

    def many(self, count, **options):
        # Concurrent new connections: more than one worker takes some.
        with ThreadPoolExecutor(8) as pool:
            return list(pool.map(lambda _: self.get(**options), range(count)))


@pytest.fixture(scope="module", params=["gunicorn", "uvicorn"])
def served(request, redis_server, tmp_path_factory):
    module = "examples.guard_wsgi:app" if request.param == "gunicorn" else "examples.guard_asgi:app"
    server = Served(
        request.param,
        module,
        redis_server.running().url,
        tmp_path_factory.mktemp(request.param) / "server.log",
        QUELVAR_REDIS_PREFIX=f"{uuid.uuid4().hex}:",
        # Redis answers here, however loaded the machine: a reply later than
        # the default half second would let a worker accept on its own, as
        # an outage does by design (the fault tests cover that).
        QUELVAR_REDIS_TIMEOUT="5",
    )
    yield Workers(server)
    server.stop()


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
