"""The metrics, the decision record and the fleet's view through real servers:
four workers (gunicorn's pre-fork, uvicorn's spawned) write to one
multiprocess directory, and /metrics shows their sum; each worker's own
figures agree with the events it logged, and a store outage shows in both;
they add their refusals and heartbeats to Redis, and `python -m quelvar_guard
status` shows the fleet's."""

from __future__ import annotations

import json
import os
import re
import secrets
import signal
import subprocess
import sys

import pytest

from quelvar_guard import RedisStore
from servers import SECRET, WORKERS, Proxy, wait_until
from web_client import HEADER, SESSIONS, TELEMETRY, clearance, post_telemetry, token

BOT = (SESSIONS / "bot.json").read_bytes()  # reports webdriver: the example bans it
BOT_ADDRESS = "127.0.0.3"

pytest.importorskip("prometheus_client")
from prometheus_client.multiprocess import MultiProcessCollector  # noqa: E402

SAMPLE = re.compile(r"^(quelvar_[a-z_]+)(\{[^}]*\})? (\S+)$", re.M)
FAMILY = re.compile(r"^# TYPE (quelvar_[a-z_]+) ([a-z]+)$", re.M)
# Every family an operator relies on, and its type.
FAMILIES = {
    "quelvar_requests_total": "counter",
    "quelvar_bans_total": "counter",
    "quelvar_unbans_total": "counter",
    "quelvar_tokens_issued_total": "counter",
    "quelvar_tokens_refused_total": "counter",
    "quelvar_store_calls_total": "counter",
    "quelvar_store_failures_total": "counter",
    "quelvar_guard_seconds": "histogram",
    "quelvar_scoring_seconds": "histogram",
    "quelvar_active_bans": "gauge",
    "quelvar_store_connected": "gauge",
    "quelvar_store_degraded": "gauge",
}


def _samples(text: str) -> dict[str, float]:
    return {name + (labels or ""): float(value) for name, labels, value in SAMPLE.findall(text)}


def _worker_samples(directory, pid: int) -> dict[str, float]:
    """One worker's own figures, from its files in the multiprocess directory."""
    files = [str(path) for path in directory.glob(f"*_{pid}.db")]
    return {
        sample.name
        + (
            "{" + ",".join(f'{key}="{value}"' for key, value in sample.labels.items()) + "}" if sample.labels else ""
        ): sample.value
        for metric in MultiProcessCollector.merge(files)
        for sample in metric.samples
    }


def _events(log: str) -> list[dict]:
    return [json.loads(line) for line in log.splitlines() if line.startswith("{")]


def _command(*arguments: str, **environment: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "quelvar_guard", *arguments, "--json"],
        env=dict(os.environ, QUELVAR_TOKEN_SECRETS=SECRET, **environment),
        capture_output=True,
        text=True,
        timeout=30,
    )


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_metrics_and_record_agree_over_workers(serve, running_redis, request, tmp_path, kind, module):
    directory = tmp_path / "prometheus"
    directory.mkdir()
    prefix = f"metrics-{secrets.token_hex(4)}:"
    proxy = Proxy(running_redis.port)  # the workers' way to Redis, to cut
    request.addfinalizer(proxy.close)
    served = serve(
        kind,
        module,
        QUELVAR_REDIS_URL=proxy.url,
        QUELVAR_REDIS_PREFIX=prefix,
        PROMETHEUS_MULTIPROC_DIR=str(directory),
        QUELVAR_METRICS_PATH="/metrics",
    )

    def scrape() -> str:
        with served.client() as client:
            response = client.get("/metrics")
        assert response.status_code == 200 and response.headers["content-type"].startswith("text/plain")
        return response.text

    workers, rounds = set(), 0
    # Six rounds at least, more (bounded) until the kernel has given every worker one.
    while rounds < 6 or (len(workers) < WORKERS and rounds < 60):
        rounds += 1
        with served.client() as client:  # a fresh connection each round
            tokens = clearance(client)
            first = client.get("/api/hello", headers={HEADER: tokens[0]})
            replay = client.get("/api/hello", headers={HEADER: tokens[0]})
            assert (first.status_code, replay.status_code) == (200, 409)
            workers.add(int(first.headers["x-worker"]))
    assert len(workers) == WORKERS, "a worker served no round; the sum proves less"
    with served.client(source=BOT_ADDRESS) as client:
        assert post_telemetry(client, BOT).status_code == 403  # banned by the example's scoring
    with served.client() as client:
        assert client.post(TELEMETRY, content=b"{", headers={HEADER: token(client)}).status_code == 400
        # Not guarded itself: no token, and a second look is answered as well.
        assert client.get("/metrics").status_code == client.get("/metrics").status_code == 200

    # An outage of every worker's Redis, and its end: the gauges follow.
    proxy.set("down")
    wait_until(lambda: _samples(scrape())["quelvar_store_degraded"] == WORKERS, 15, 0.2)
    proxy.set("pass")
    wait_until(lambda: _samples(scrape())["quelvar_store_connected"] == WORKERS, 15, 0.2)
    # An operator lifts the ban; with the service's directory it counts there.
    done = _command(
        "bans",
        "remove",
        BOT_ADDRESS,
        QUELVAR_REDIS_URL=running_redis.url,
        QUELVAR_REDIS_PREFIX=prefix,
        PROMETHEUS_MULTIPROC_DIR=str(directory),
    )
    assert done.returncode == 0, done.stderr

    text = scrape()
    assert dict(FAMILY.findall(text)) == FAMILIES
    samples = _samples(text)
    # Token, telemetry, guarded, replay per round; then a token and a ban, a token and a bad post.
    requests = 4 * rounds + 4
    assert {key: value for key, value in samples.items() if key.startswith("quelvar_requests_total") and value} == {
        'quelvar_requests_total{outcome="allow",reason="token"}': rounds + 2,
        'quelvar_requests_total{outcome="ban",reason="refused"}': 1,
        'quelvar_requests_total{outcome="allow",reason="telemetry"}': rounds,
        'quelvar_requests_total{outcome="allow",reason="guarded"}': rounds,
        'quelvar_requests_total{outcome="refuse",reason="replayed_token"}': rounds,
        'quelvar_requests_total{outcome="refuse",reason="malformed_telemetry"}': 1,
    }
    assert samples["quelvar_guard_seconds_count"] == requests
    assert samples["quelvar_scoring_seconds_count"] == rounds + 1
    assert samples['quelvar_bans_total{source="guard"}'] == 1
    assert samples['quelvar_unbans_total{source="command line"}'] == 1
    assert samples['quelvar_active_bans{scope="shared"}'] == 0
    assert samples['quelvar_tokens_issued_total{kind="telemetry"}'] == rounds + 2
    assert samples['quelvar_tokens_issued_total{kind="guarded"}'] == rounds * len(tokens)
    assert samples['quelvar_tokens_refused_total{verdict="replayed"}'] == rounds
    # Every first spending is a round trip; a replay in the same worker is refused from its own cache.
    assert 2 * rounds + 2 <= samples['quelvar_store_calls_total{call="nonce"}'] <= 3 * rounds + 2
    assert samples['quelvar_store_calls_total{call="ban"}'] == 1
    assert samples["quelvar_store_connected"] == WORKERS and samples["quelvar_store_degraded"] == 0

    # The record: each event once, with its fields, by the worker whose own figures count it.
    events = _events(served.log.read_text())
    for pid in workers:
        own = _worker_samples(directory, pid)
        mine = [event for event in events if event.get("pid") == pid]
        replays = [event for event in mine if event.get("reason") == "replayed_token"]
        assert len(replays) == own['quelvar_tokens_refused_total{verdict="replayed"}']
        assert all(
            (
                event["level"],
                event["event"],
                event["decision"],
                event["verdict"],
                event["path"],
                event["address"],
                event["status"],
            )
            == ("INFO", "refusal", "refuse", "replayed", "/api/hello", "127.0.0.1", 409)
            for event in replays
        )
        bans = [event for event in mine if event.get("event") == "ban"]
        assert len(bans) == own.get('quelvar_bans_total{source="guard"}', 0)
        assert [(event["level"], event["reason"]) for event in mine if event.get("event") == "store"] == [
            ("ERROR", "degraded"),
            ("WARNING", "connected"),
        ]
    assert sum(event.get("reason") == "replayed_token" for event in events) == rounds
    [ban] = [event for event in events if event.get("event") == "ban"]
    assert (
        ban["level"],
        ban["decision"],
        ban["address"],
        ban["path"],
        ban["seconds"],
        ban["source"],
        ban["verdict"],
    ) == ("WARNING", "ban", BOT_ADDRESS, TELEMETRY, 600, "guard", "ok") and ban["reasons"]

    # The fleet's counts: each worker's tally reaches Redis within a second or so.
    refusals = {"malformed_telemetry": 1, "refused": 1, "replayed_token": rounds}
    store = RedisStore(running_redis.url, prefix=prefix)
    request.addfinalizer(store.close)
    wait_until(
        lambda: (
            store.fleet_counts()["minute"]
            == {"bans": 1, "unbans": 1, "refusals": refusals, "accepted_without_redis": 0}
        ),
        5,
    )
    done = _command("status", QUELVAR_REDIS_URL=running_redis.url, QUELVAR_REDIS_PREFIX=prefix)
    assert done.returncode == 0, done.stderr
    status = json.loads(done.stdout)
    assert (
        status["fleet"]["minute"]
        == status["fleet"]["hour"]
        == {"bans": 1, "unbans": 1, "refusals": refusals, "accepted_without_redis": 0}
    )
    # Every worker's heartbeat, connected again (and this test's own store's).
    assert workers <= {worker["pid"] for worker in status["workers"]} and status["degraded_workers"] == 0


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_readiness_and_the_unnamed_proxy_warning(serve, kind, module):
    served = serve(kind, module, workers=1, QUELVAR_HEALTH_PATH="/healthz", QUELVAR_TRUSTED_PROXIES="")
    with served.client() as client:
        ready = client.get("/healthz")
        assert ready.status_code == 200, ready.text
        assert ready.json()["ready"] is True and ready.json()["connected"] is True and ready.json()["listener"] is True
        # A proxy on the private network that nobody named: said once, not per request.
        for _ in range(3):
            assert client.get("/quelvar/token", headers={"X-Forwarded-For": "203.0.113.50"}).status_code == 200
    wait_until(lambda: "no proxy is trusted" in served.log.read_text(), 5)
    assert served.log.read_text().count("no proxy is trusted") == 1
    # uvicorn took the client from the header itself (its --proxy-headers trusts loopback): said so.
    assert ("rewrites clients from the header itself" in served.log.read_text()) is (kind == "uvicorn")


@pytest.mark.parametrize("state", ["connected", "degraded"])
def test_a_killed_uvicorn_worker_leaves_no_gauge_behind(serve, running_redis, request, tmp_path, state):
    # uvicorn respawns a killed worker and has no hook to forget the old one's
    # live gauges: the exposition must, or `connected` counts it on and
    # `degraded` stays 1 after an outage it died in.
    directory = tmp_path / "prometheus"
    directory.mkdir()
    proxy = Proxy(running_redis.port)
    request.addfinalizer(proxy.close)
    served = serve(
        "uvicorn",
        "tagged_asgi:app",
        workers=2,
        QUELVAR_REDIS_URL=proxy.url,
        QUELVAR_REDIS_PREFIX=f"metrics-{secrets.token_hex(4)}:",
        PROMETHEUS_MULTIPROC_DIR=str(directory),
        QUELVAR_METRICS_PATH="/metrics",
    )
    seen: set[int] = set()

    def gauges() -> tuple[float, float]:
        with served.client() as client:  # a fresh connection: any worker may answer, and starts its store
            response = client.get("/metrics")
        seen.add(int(response.headers["x-worker"]))
        samples = _samples(response.text)
        return samples["quelvar_store_connected"], samples["quelvar_store_degraded"]

    wait_until(lambda: gauges() == (2, 0) and len(seen) == 2, 30, 0.1)
    if state == "degraded":
        proxy.set("down")
        wait_until(lambda: gauges() == (0, 2), 15, 0.1)
    victim = min(seen)
    os.kill(victim, signal.SIGKILL)
    proxy.set("pass")
    # Respawned, and its successor's store started by a scrape it answered.
    wait_until(lambda: gauges() and len(seen - {victim}) == 2, 30, 0.1)
    wait_until(lambda: gauges() == (2, 0), 15, 0.1)
    assert not list(directory.glob(f"gauge_live*_{victim}.db"))
