"""Real Redis for the guard tests: a server and a three-primary cluster on free
loopback ports, keeping nothing on disk, stopped when the session ends."""

from __future__ import annotations

import itertools
import multiprocessing
import os
import shutil
import socket
import subprocess
import threading
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
# Redis is not under test: no sanitizer runtime preloaded into it.
SERVER_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


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
        self.process = subprocess.Popen(self.command, env=SERVER_ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
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
                        "--cluster-replicas", "0", "--cluster-yes"], env=SERVER_ENV, check=True, capture_output=True, timeout=60)
        wait_until(lambda: all(node.client().execute_command("CLUSTER INFO").get("cluster_state") == "ok"
                               for node in nodes), 30)
        yield nodes
    finally:
        for node in nodes:
            node.stop()


class Proxy:
    """A TCP proxy on loopback in front of a server, for paths that fail in
    ways a server alone does not: "pass" forwards bytes; "stall" stops
    forwarding on the connections open now and keeps them open, no reset
    (with new=True, new connections are accepted and stall too); "down"
    closes every connection and closes new ones at once."""

    def __init__(self, target_port: int) -> None:
        self.target_port = target_port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.mode, self.stall_new = "pass", False
        self.lock = threading.Lock()
        self.pairs: list[tuple[socket.socket, socket.socket, threading.Event]] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                near, _ = self.server.accept()
            except OSError:
                return  # closed
            with self.lock:
                if self.mode == "down":
                    near.close()
                    continue
                flowing = threading.Event()
                if self.mode == "stall" and self.stall_new:
                    self.pairs.append((near, near, flowing))  # held open, never answered
                    continue
                far = socket.create_connection(("127.0.0.1", self.target_port))
                flowing.set()
                self.pairs.append((near, far, flowing))
            for source, sink in ((near, far), (far, near)):
                threading.Thread(target=self._pump, args=(source, sink, flowing), daemon=True).start()

    @staticmethod
    def _pump(source: socket.socket, sink: socket.socket, flowing: threading.Event) -> None:
        try:
            while data := source.recv(65536):
                while not flowing.wait(0.1):
                    if source.fileno() < 0:
                        return
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def set(self, mode: str, new: bool = False) -> None:
        with self.lock:
            self.mode, self.stall_new = mode, new
            for near, far, flowing in self.pairs:
                if mode == "stall":
                    flowing.clear()
                elif mode == "down":
                    for end in (near, far):
                        try:
                            end.shutdown(socket.SHUT_RDWR)
                        except OSError:
                            pass
                        end.close()
            if mode == "down":
                self.pairs.clear()

    def close(self) -> None:
        self.set("down")
        self.server.close()


@pytest.fixture
def proxy(live_redis):
    """A proxy in front of the session's server (see Proxy)."""
    path = Proxy(live_redis.port)
    yield path
    path.close()


def in_other_process(target, *args, seconds: float = 20.0) -> None:
    """Runs target(*args) in a forked process, as another worker would, and
    waits for it to succeed."""
    child = multiprocessing.get_context("fork").Process(target=target, args=args)
    child.start()
    child.join(seconds)
    if child.exitcode is None:
        child.kill()
        child.join()
    assert child.exitcode == 0, f"the other process ended with {child.exitcode}"


def _ban(url: str, prefix: str, ip: str, seconds: int, cluster: bool) -> None:
    from quelvar_guard import RedisStore
    store = RedisStore(url, prefix=prefix, cluster=cluster)
    store.ban(ip, seconds)
    # Kept for later only while the cluster is still settling from a failover: written within seconds.
    wait_until(lambda: store.stats()["pending_writes"] == 0, 10)
    store.close()


def ban_elsewhere(url: str, prefix: str, ip: str, seconds: int = 600, cluster: bool = False) -> None:
    """A ban made by a store in another process, straight to the server."""
    in_other_process(_ban, url, prefix, ip, seconds, cluster)


@pytest.fixture
def failover_cluster(tmp_path):
    """Three primaries, each with a replica that takes over within seconds of
    its primary's failure; the other slots stay served meanwhile (full
    coverage not required). Made for one test, which may kill nodes."""
    nodes: list[RedisServer] = []
    try:
        for index in range(6):
            directory = tmp_path / f"node{index}"
            directory.mkdir()
            nodes.append(RedisServer(directory, "--cluster-enabled", "yes", "--cluster-config-file",
                                     str(directory / "nodes.conf"), "--cluster-node-timeout", "1000",
                                     "--cluster-require-full-coverage", "no", "--repl-diskless-sync-delay", "0"))
        subprocess.run(["redis-cli", "--cluster", "create", *(f"127.0.0.1:{node.port}" for node in nodes),
                        "--cluster-replicas", "1", "--cluster-yes"], env=SERVER_ENV, check=True, capture_output=True,
                       timeout=60)

        def settled(node: RedisServer) -> bool:
            replication = node.client().info("replication")
            # A replica takes over only once it holds its primary's data.
            return (node.client().execute_command("CLUSTER INFO").get("cluster_state") == "ok"
                    and replication.get("master_link_status", "up") == "up"
                    and (replication["role"] == "slave" or replication["connected_slaves"] == 1))
        wait_until(lambda: all(map(settled, nodes)), 30)
        yield nodes
    finally:
        for node in nodes:
            node.stop()


def slot_owner(nodes: list[RedisServer], key: str) -> RedisServer:
    """The node that serves `key` now, as a live node of the cluster sees it."""
    from redis.crc import key_slot
    slot = key_slot(key.encode())
    for node in nodes:
        if node.process is None:
            continue
        for first, last, primary, *_ in node.client().execute_command("CLUSTER SLOTS"):
            if first <= slot <= last:
                return next(owner for owner in nodes if owner.port == primary[1])
    raise AssertionError("no live node")


@pytest.fixture
def prefix() -> str:
    """A namespace of its own for each test's keys."""
    return f"t{next(_prefixes)}:"


def make_store(kind: str, request, prefix: str, url: str | None = None, **options):
    """A store of the given kind, closed after the test, on an empty local table
    (`url`: another way to the test's server, such as a proxy)."""
    from quelvar_guard import LocalStore, RedisStore
    from quelvar_guard.store import REPLICA

    REPLICA.clear()
    if kind == "local":
        return LocalStore()
    if kind == "redis":
        store = RedisStore(url or request.getfixturevalue("live_redis").url, prefix=prefix, **options)
    else:
        store = RedisStore(request.getfixturevalue("redis_cluster")[0].url, cluster=True, prefix=prefix, **options)
    request.addfinalizer(store.close)
    return store
