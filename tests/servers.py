"""Real processes for the tests: redis-server alone and as clusters, a TCP
proxy that fails on demand, the examples served by gunicorn and uvicorn, all
on free loopback ports; and the waiting they need. The fixtures over them are
declared in conftest.py."""

from __future__ import annotations

import contextlib
import itertools
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[1]
WEB_APPS = ROOT / "tests" / "web"
# Redis is not under test: no sanitizer runtime preloaded into it (the served
# apps load the module, and keep it).
SERVER_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
_prefixes = itertools.count()
# The served apps' token key; tests that forge or age tokens sign with it themselves.
SECRET = "web-tests-secret-" + "k" * 32
# Requests from this loopback address come "through a proxy"; any other is a client.
TRUSTED_PROXY = "127.0.0.2"
WORKERS = 4


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


# Served apps ask no work unless a test asks for it (the tests of the work
# itself); their clients answer whatever the token asks (web_client).
TEST_WORK_BITS = "0"


def wait_until(check: Callable[[], Any], seconds: float = 10.0, step: float = 0.02) -> Any:
    deadline = time.monotonic() + seconds
    while not (value := check()):
        if time.monotonic() > deadline:
            raise AssertionError(f"not reached within {seconds} s")
        time.sleep(step)
    return value


def next_prefix() -> str:
    """A namespace of its own for one test's keys."""
    return f"t{next(_prefixes)}:"


class RedisServer:
    """One redis-server keeping nothing on disk."""

    def __init__(self, directory: Path, *options: str) -> None:
        self.port = free_port(10000 if options else 0)
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.command = [
            "redis-server",
            "--port",
            str(self.port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--enable-debug-command",
            "local",
            "--dir",
            str(directory),
            *options,
        ]
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(
            self.command, env=SERVER_ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        wait_until(self.ping)

    def running(self) -> RedisServer:
        """This server, started again if a fault test stopped it."""
        if self.process is None:
            self.start()
        return self

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None

    def client(self, timeout: float = 5) -> Any:
        import redis
        from redis.backoff import NoBackoff
        from redis.retry import Retry

        return redis.Redis(port=self.port, socket_timeout=timeout, retry=Retry(NoBackoff(), 0))

    def ping(self, timeout: float = 5) -> bool:
        import redis

        try:
            with self.client(timeout) as client:
                return bool(client.ping())
        except redis.RedisError:
            return False


def start_cluster(directory: Path, primaries: int, replicas: int, *options: str) -> list[RedisServer]:
    """A cluster of `primaries` nodes, each with `replicas` replicas, up and
    settled: every node sees it served, and each replica holds its primary's
    data (a replica takes over only then)."""
    nodes: list[RedisServer] = []
    try:
        for index in range(primaries * (1 + replicas)):
            node_directory = directory / f"node{index}"
            node_directory.mkdir()
            nodes.append(
                RedisServer(
                    node_directory,
                    "--cluster-enabled",
                    "yes",
                    "--cluster-config-file",
                    str(node_directory / "nodes.conf"),
                    *options,
                )
            )
        subprocess.run(
            [
                "redis-cli",
                "--cluster",
                "create",
                *(f"127.0.0.1:{node.port}" for node in nodes),
                "--cluster-replicas",
                str(replicas),
                "--cluster-yes",
            ],
            env=SERVER_ENV,
            check=True,
            capture_output=True,
            timeout=60,
        )

        def settled(node: RedisServer) -> bool:
            replication = node.client().info("replication")
            return (
                node.client().execute_command("CLUSTER INFO").get("cluster_state") == "ok"
                and replication.get("master_link_status", "up") == "up"
                and (replication["role"] == "slave" or replication["connected_slaves"] == replicas)
            )

        wait_until(lambda: all(map(settled, nodes)), 30)
        return nodes
    except BaseException:
        for node in nodes:
            node.stop()
        raise


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


class Proxy:
    """A TCP proxy on loopback in front of a server, for paths that fail in
    ways a server alone does not: "pass" forwards bytes; "stall" stops
    forwarding on the connections open now and keeps them open, no reset
    (with new=True, new connections are accepted and stall too);
    "stall-subscribers" stalls, in the same way, only the connections that
    sent SUBSCRIBE, now and from then on, while the others pass; "down"
    closes every connection and closes new ones at once."""

    def __init__(self, target_port: int) -> None:
        self.target_port = target_port
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.mode, self.stall_new = "pass", False
        self.lock = threading.Lock()
        self.pairs: list[tuple[socket.socket, socket.socket, threading.Event]] = []
        # The pairs (by their flowing event) whose client subscribed.
        self.subscribers: set[threading.Event] = set()
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
                threading.Thread(target=self._pump, args=(source, sink, flowing, source is near), daemon=True).start()

    def _pump(self, source: socket.socket, sink: socket.socket, flowing: threading.Event, outbound: bool) -> None:
        try:
            while data := source.recv(65536):
                if outbound and b"SUBSCRIBE\r\n" in data:
                    with self.lock:
                        self.subscribers.add(flowing)
                        if self.mode == "stall-subscribers":
                            flowing.clear()
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
                if mode == "stall" or (mode == "stall-subscribers" and flowing in self.subscribers):
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


def in_other_process(target: Callable[..., object], *args: object, seconds: float = 20.0) -> None:
    """Runs target(*args) in a forked process, as another worker would, and
    waits for it to succeed."""
    child = multiprocessing.get_context("fork").Process(target=target, args=args)
    child.start()
    child.join(seconds)
    if child.exitcode is None:
        child.kill()
        child.join()
    assert child.exitcode == 0, f"the other process ended with {child.exitcode}"


def _ban(url: str, prefix: str, ip: str, seconds: int, cluster: bool, allow_eviction: bool) -> None:
    from quelvar_guard import RedisStore

    store = RedisStore(url, prefix=prefix, cluster=cluster, allow_eviction=allow_eviction)
    store.ban(ip, seconds)
    # Kept for later only while the cluster is still settling from a failover: written within seconds.
    wait_until(lambda: store.stats()["pending_writes"] == 0, 10)
    store.close()


def ban_elsewhere(
    url: str, prefix: str, ip: str, seconds: int = 600, cluster: bool = False, allow_eviction: bool = False
) -> None:
    """A ban made by a store in another process, straight to the server."""
    in_other_process(_ban, url, prefix, ip, seconds, cluster, allow_eviction)


def make_store(kind: str, request: Any, prefix: str, url: str | None = None, **options: Any) -> Any:
    """A store of the given kind ("local", "redis" or "cluster"), closed after
    the test, on an empty local table (`url`: another way to the test's
    server, such as a proxy)."""
    from quelvar_guard import LocalStore, RedisStore
    from quelvar_guard.store import NETWORKS, REPLICA

    REPLICA.clear()
    NETWORKS.clear()
    if kind == "local":
        return LocalStore()
    if kind == "redis":
        store = RedisStore(url or request.getfixturevalue("live_redis").url, prefix=prefix, **options)
    else:
        store = RedisStore(request.getfixturevalue("redis_cluster")[0].url, cluster=True, prefix=prefix, **options)
    request.addfinalizer(store.close)
    return store


@contextlib.contextmanager
def dns_server(records: list[str]) -> Iterator[int]:
    """Debian's dnsmasq on a free loopback port answering only `records`
    (its --host-record= and --ptr-record= options); yields the port."""
    from quelvar_guard.allow import DnsResolver

    if shutil.which("dnsmasq") is None:
        pytest.skip("dnsmasq is not installed (apt-get install dnsmasq)")
    port = free_port()
    command = ["dnsmasq", "--no-daemon", f"--port={port}", "--listen-address=127.0.0.1", "--bind-interfaces"]
    command += ["--no-resolv", "--no-hosts", "--conf-file=/dev/null", "--pid-file=", *records]
    server = subprocess.Popen(command, env=SERVER_ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        # Answering once it answers for the first name it holds.
        names = [record.split("=", 1)[1].split(",")[0] for record in records if record.startswith("--host-record=")]
        resolver = DnsResolver(["127.0.0.1"], port=port, timeout=0.5)
        wait_until(lambda: server.poll() is not None or not names or resolver.addresses(names[0]))
        assert server.poll() is None, server.stderr.read().decode() if server.stderr else ""
        yield port
    finally:
        server.kill()
        server.wait(timeout=10)


class Served:
    """One server process (gunicorn or uvicorn) and its workers, serving
    `module` (importable from the project's root or tests/web), configured
    through the environment as a deployment would be."""

    def __init__(
        self,
        kind: str,
        module: str,
        redis_url: str,
        log: Path,
        *,
        workers: int = WORKERS,
        arguments: tuple[str, ...] = (),
        **environment: str,
    ) -> None:
        import httpx

        self.kind = kind
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        if kind == "gunicorn":
            command = [
                sys.executable,
                "-m",
                "gunicorn",
                "-w",
                str(workers),
                "--no-control-socket",
                "-b",
                f"127.0.0.1:{self.port}",
                module,
            ]
        else:
            command = [
                sys.executable,
                "-m",
                "uvicorn",
                "--workers",
                str(workers),
                "--host",
                "127.0.0.1",
                "--port",
                str(self.port),
                module,
            ]
        command += arguments
        env = dict(
            os.environ,
            PYTHONPATH=os.pathsep.join([str(ROOT), str(WEB_APPS), os.environ.get("PYTHONPATH", "")]),
            QUELVAR_REDIS_URL=redis_url,
            QUELVAR_TOKEN_SECRETS=SECRET,
            # Every client here is on loopback: one network.
            QUELVAR_NETWORK_BUDGETS="off",
            QUELVAR_WORK_BITS=TEST_WORK_BITS,
            QUELVAR_TRUSTED_PROXIES=TRUSTED_PROXY,
            # The load tests take thousands of tokens from a few addresses.
            QUELVAR_MINT_BURST="1000000",
        )
        env.update(environment)
        self.log = log
        self.process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=log.open("wb"), stderr=subprocess.STDOUT)

        def answers(client: httpx.Client) -> bool:
            if self.process.poll() is not None:
                raise AssertionError(f"{self.kind} exited:\n{self.log.read_text()[-3000:]}")
            try:
                client.get("/")
                return True
            except httpx.TransportError:
                return False

        with self.client() as client:
            wait_until(lambda: answers(client), 30, 0.1)
        self._wait_for_workers(workers)

    def _wait_for_workers(self, workers: int) -> None:
        """Until every worker has answered a fresh connection (where the app
        names its worker), for at most 20 s: a worker that starts late, as
        under the sanitizers, would otherwise leave the others all the load."""
        seen: set[str] = set()
        deadline = time.monotonic() + 20
        while len(seen) < workers and time.monotonic() < deadline:
            with self.client() as client:
                worker = client.get("/").headers.get("x-worker")
            if worker is None:
                return
            seen.add(worker)

    def client(self, source: str = "127.0.0.1", **options: Any) -> Any:
        import httpx

        return httpx.Client(
            base_url=self.url, timeout=10, transport=httpx.HTTPTransport(local_address=source), **options
        )

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)  # the master stops its workers
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
