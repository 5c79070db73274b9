"""The metrics and the fleet's counts through real servers: two workers
(gunicorn's pre-fork, uvicorn's spawned) write to one multiprocess directory,
and /metrics shows their sum; they add their refusals to Redis, and
`python -m quelvar_guard status` shows the fleet's."""

from __future__ import annotations

import json
import os
import re
import secrets
import subprocess
import sys

import pytest

from quelvar_guard import RedisStore
from servers import SECRET, wait_until
from web_client import HEADER, SESSIONS, clearance, post_telemetry, token

BOT = (SESSIONS / "bot.json").read_bytes()  # reports webdriver: the example bans it

pytest.importorskip("prometheus_client")

SAMPLE = re.compile(r"^(quelvar_[a-z_]+)(\{[^}]*\})? (\S+)$", re.M)


def _samples(text: str) -> dict[str, float]:
    return {name + (labels or ""): float(value) for name, labels, value in SAMPLE.findall(text)}


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_counters_are_summed_over_workers(serve, running_redis, request, tmp_path, kind, module):
    directory = tmp_path / "prometheus"
    directory.mkdir()
    prefix = f"metrics-{secrets.token_hex(4)}:"
    served = serve(kind, module, workers=2, QUELVAR_REDIS_PREFIX=prefix,
                   PROMETHEUS_MULTIPROC_DIR=str(directory), QUELVAR_METRICS_PATH="/metrics")
    workers, rounds = set(), 0
    # Six rounds at least, more (bounded) until the kernel has given both workers one.
    while rounds < 6 or (len(workers) < 2 and rounds < 40):
        rounds += 1
        with served.client() as client:  # a fresh connection each round: both workers serve
            tokens = clearance(client)
            first = client.get("/api/hello", headers={HEADER: tokens[0]})
            replay = client.get("/api/hello", headers={HEADER: tokens[0]})
            assert (first.status_code, replay.status_code) == (200, 409)
            workers.add(first.headers["x-worker"])
    with served.client(source="127.0.0.3") as client:
        assert post_telemetry(client, BOT).status_code == 403  # banned by the example's scoring
    with served.client() as client:
        assert client.post("/quelvar/telemetry", content=b"{", headers={HEADER: token(client)}).status_code == 400
        response = client.get("/metrics")
        # Not guarded itself: no token, and a second look is answered as well.
        assert client.get("/metrics").status_code == 200
    assert response.status_code == 200 and response.headers["content-type"].startswith("text/plain")
    assert len(workers) == 2, "one worker served every round; the sum proves nothing"
    samples = _samples(response.text)
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
    assert samples['quelvar_active_bans{scope="shared"}'] == 1
    assert samples['quelvar_tokens_issued_total{kind="telemetry"}'] == rounds + 2
    assert samples['quelvar_tokens_issued_total{kind="guarded"}'] == rounds * len(tokens)
    assert samples['quelvar_tokens_refused_total{verdict="replayed"}'] == rounds
    # Every first spending is a round trip; a replay in the same worker is refused from its own cache.
    assert 2 * rounds + 2 <= samples['quelvar_store_calls_total{call="nonce"}'] <= 3 * rounds + 2
    assert samples['quelvar_store_calls_total{call="ban"}'] == 1
    assert samples['quelvar_store_connected'] == 2 and samples['quelvar_store_degraded'] == 0

    # The fleet's counts: each worker's tally reaches Redis within a second or so.
    refusals = {"malformed_telemetry": 1, "refused": 1, "replayed_token": rounds}
    store = RedisStore(running_redis.url, prefix=prefix)
    request.addfinalizer(store.close)
    wait_until(lambda: store.fleet_counts()["minute"] == {"bans": 1, "refusals": refusals}, 5)
    env = dict(os.environ, QUELVAR_REDIS_URL=running_redis.url, QUELVAR_REDIS_PREFIX=prefix,
               QUELVAR_TOKEN_SECRETS=SECRET)
    done = subprocess.run([sys.executable, "-m", "quelvar_guard", "status", "--json"], env=env,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    fleet = json.loads(done.stdout)["fleet"]
    assert fleet["minute"] == fleet["hour"] == {"bans": 1, "refusals": refusals}


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
