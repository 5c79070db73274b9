"""Real Redis for the guard tests: one server and a three-primary cluster, on
free loopback ports, without persistence, stopped when the session ends."""

from __future__ import annotations

import itertools
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest

redis = pytest.importorskip("redis")
import redis.backoff  # noqa: E402
import redis.retry  # noqa: E402
if shutil.which("redis-server") is None:
    pytest.skip("redis-server is not installed", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]
_prefixes = itertools.count()


def free_port(also_free_at: int = 0) -> int:
    """A loopback port that is free, and so is port + also_free_at (a cluster's bus)."""
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port + also_free_at > 65535:
            continue
        if not also_free_at:
            return port
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port + also_free_at))
            except OSError:
                continue
        return port


def wait_until(check, seconds: float = 10.0, step: float = 0.02):
    """Polls `check` until it returns something true; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"not reached within {seconds} s: {check}")
        time.sleep(step)


class RedisServer:
    def __init__(self, directory: Path, *extra: str) -> None:
        self.port = free_port(10000 if extra else 0)
        self.directory = directory
        self.extra = extra
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> None:
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--enable-debug-command", "local", "--dir", str(self.directory),
             *self.extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: self.ping())

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None

    def client(self, timeout: float = 5) -> redis.Redis:
        return redis.Redis(host="127.0.0.1", port=self.port, socket_timeout=timeout,
                           retry=redis.retry.Retry(redis.backoff.NoBackoff(), 0))

    def ping(self, timeout: float = 5) -> bool:
        try:
            with self.client(timeout) as client:
                return bool(client.ping())
        except redis.RedisError:
            return False


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture
def live_redis(redis_server):
    """The server, running (a fault test may have stopped it) and empty."""
    if redis_server.process is None:
        redis_server.start()
    with redis_server.client() as client:
        client.flushall()
    return redis_server


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    nodes = []
    try:
        for index in range(3):
            directory = tmp_path_factory.mktemp(f"cluster{index}")
            nodes.append(RedisServer(directory, "--cluster-enabled", "yes",
                                     "--cluster-config-file", str(directory / "nodes.conf")))
        subprocess.run(["redis-cli", "--cluster", "create",
                        *(f"127.0.0.1:{node.port}" for node in nodes),
                        "--cluster-replicas", "0", "--cluster-yes"],
                       check=True, capture_output=True, timeout=60)

        def all_ok() -> bool:
            for node in nodes:
                with node.client() as client:
                    if client.execute_command("CLUSTER INFO").get("cluster_state") != "ok":
                        return False
            return True
        wait_until(all_ok, 30)
        yield nodes
    finally:
        for node in nodes:
            node.stop()


@pytest.fixture
def prefix() -> str:
    """A namespace of its own for each test's keys."""
    return f"t{next(_prefixes)}:"


def make_store(kind: str, request, prefix: str, **options):
    """A store of the given kind, closed after the test; local state cleared."""
    from quelvar_guard import LocalStore, RedisStore
    from quelvar_guard.store import REPLICA

    REPLICA.clear()
    if kind == "local":
        return LocalStore()
    if kind == "redis":
        store = RedisStore(request.getfixturevalue("live_redis").url, prefix=prefix, **options)
    else:
        nodes = request.getfixturevalue("redis_cluster")
        store = RedisStore(nodes[0].url, cluster=True, prefix=prefix, **options)
    request.addfinalizer(store.close)
    return store
