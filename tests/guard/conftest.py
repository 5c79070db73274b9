"""Real Redis for the guard tests: a server and a three-primary cluster on free
loopback ports, keeping nothing on disk, stopped when the session ends."""

from __future__ import annotations

import itertools
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest

redis = pytest.importorskip("redis")
if shutil.which("redis-server") is None:
    pytest.skip("redis-server is not installed", allow_module_level=True)
from redis.backoff import NoBackoff  # noqa: E402
from redis.retry import Retry  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
_prefixes = itertools.count()


def free_port(bus_offset: int = 0) -> int:
    """A free loopback port; with bus_offset, port + bus_offset is free too."""
    while True:
        with socket.socket() as first, socket.socket() as second:
            first.bind(("127.0.0.1", 0))
            port = first.getsockname()[1]
            try:
                if bus_offset:
                    second.bind(("127.0.0.1", port + bus_offset))
                return port
            except (OSError, OverflowError):  # taken, or past the last port
                continue


def wait_until(check, seconds: float = 10.0, step: float = 0.02):
    deadline = time.monotonic() + seconds
    while not (value := check()):
        if time.monotonic() > deadline:
            raise AssertionError(f"not reached within {seconds} s")
        time.sleep(step)
    return value


class RedisServer:
    def __init__(self, directory: Path, *options: str) -> None:
        self.port = free_port(10000 if options else 0)
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.command = ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
                        "--appendonly", "no", "--enable-debug-command", "local", "--dir", str(directory),
                        *options]
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self.ping)

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None

    def client(self, timeout: float = 5) -> redis.Redis:
        return redis.Redis(port=self.port, socket_timeout=timeout, retry=Retry(NoBackoff(), 0))

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
    nodes: list[RedisServer] = []
    try:
        for index in range(3):
            directory = tmp_path_factory.mktemp(f"cluster{index}")
            nodes.append(RedisServer(directory, "--cluster-enabled", "yes",
                                     "--cluster-config-file", str(directory / "nodes.conf")))
        subprocess.run(["redis-cli", "--cluster", "create", *(f"127.0.0.1:{node.port}" for node in nodes),
                        "--cluster-replicas", "0", "--cluster-yes"], check=True, capture_output=True, timeout=60)
        wait_until(lambda: all(node.client().execute_command("CLUSTER INFO").get("cluster_state") == "ok"
                               for node in nodes), 30)
        yield nodes
    finally:
        for node in nodes:
            node.stop()


@pytest.fixture
def prefix() -> str:
    """A namespace of its own for each test's keys."""
    return f"t{next(_prefixes)}:"


def make_store(kind: str, request, prefix: str, **options):
    """A store of the given kind, closed after the test, on an empty local table."""
    from quelvar_guard import LocalStore, RedisStore
    from quelvar_guard.store import REPLICA

    REPLICA.clear()
    if kind == "local":
        return LocalStore()
    if kind == "redis":
        store = RedisStore(request.getfixturevalue("live_redis").url, prefix=prefix, **options)
    else:
        store = RedisStore(request.getfixturevalue("redis_cluster")[0].url, cluster=True, prefix=prefix, **options)
    request.addfinalizer(store.close)
    return store
