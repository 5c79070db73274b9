"""Fixtures for the whole suite. The processes behind them (redis-server,
clusters, the failing proxy, served apps) are in servers.py; test modules
import helpers from the modules of this folder by name, never from a
conftest."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

from servers import Proxy, RedisServer, Served, next_prefix, start_cluster

# CI draws the same examples on every run, so that a run's outcome depends on
# the code alone; locally each run explores new ones.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("CI"):
    settings.load_profile("ci")

TESTS = os.path.dirname(os.path.abspath(__file__))


def run_child(code: str, *, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (the one running the tests), which
    can import the helper modules of this folder."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")]))
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_env,
        timeout=timeout,
    )


@pytest.fixture
def child():
    return run_child


def _needs_redis() -> None:
    pytest.importorskip("redis")
    if shutil.which("redis-server") is None:
        pytest.skip("redis-server is not installed")


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    """The session's redis-server; a fault test may stop it (see live_redis)."""
    _needs_redis()
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    yield server
    server.stop()


@pytest.fixture
def running_redis(redis_server):
    """The session's server, running (a fault test may have stopped it)."""
    return redis_server.running()


@pytest.fixture
def live_redis(running_redis):
    """The session's server, running and empty."""
    with running_redis.client() as client:
        client.flushall()
    return running_redis


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    """Three primaries without replicas, for the session."""
    _needs_redis()
    nodes = start_cluster(tmp_path_factory.mktemp("cluster"), 3, 0)
    yield nodes
    for node in nodes:
        node.stop()


@pytest.fixture
def failover_cluster(tmp_path):
    """Three primaries, each with a replica that takes over within seconds of
    its primary's failure; the other slots stay served meanwhile (full
    coverage not required). Made for one test, which may kill nodes."""
    _needs_redis()
    nodes = start_cluster(
        tmp_path,
        3,
        1,
        "--cluster-node-timeout",
        "1000",
        "--cluster-require-full-coverage",
        "no",
        "--repl-diskless-sync-delay",
        "0",
    )
    yield nodes
    for node in nodes:
        node.stop()


@pytest.fixture
def proxy(live_redis):
    """A proxy in front of the session's server (see Proxy)."""
    path = Proxy(live_redis.port)
    yield path
    path.close()


@pytest.fixture
def prefix() -> str:
    """A namespace of its own for each test's keys."""
    return next_prefix()


@pytest.fixture
def serve(running_redis, tmp_path):
    """Starts servers (see Served) for one test, against the session's Redis;
    stops them after it."""
    started = []

    def start(kind: str, module: str, **options) -> Served:
        server = Served(kind, module, running_redis.url, tmp_path / f"{kind}{len(started)}.log", **options)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
