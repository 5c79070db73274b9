"""The examples under real gunicorn and uvicorn, 4 workers each, one Redis, httpx on loopback."""

from __future__ import annotations

import inspect
import threading
import time
from collections import Counter, defaultdict
from concurrent.futures import ThreadPoolExecutor

import pytest
from .conftest import (SESSIONS, SECRET, TRUSTED_PROXY, WORKERS, Served, guarded_get, post_telemetry, token,
                      wait_until)

from quelvar_guard import Guard, LocalStore, Tokens

HUMAN = (SESSIONS / "human.json").read_bytes()
BOT = (SESSIONS / "bot.json").read_bytes()  # reports webdriver: the example bans it
TOKENS = 1000
THREADS = 8
DEADLINE_SECONDS = 180  # bounds every load loop below


@pytest.fixture(scope="module", params=["gunicorn", "uvicorn"])
def server(request, web_redis, tmp_path_factory):
    module = "tagged_wsgi:app" if request.param == "gunicorn" else "tagged_asgi:app"
    served = Served(request.param, module, web_redis.url,
                    tmp_path_factory.mktemp(request.param) / "server.log")
    # Each server bans its own addresses: both share one Redis.
    served.index = request.param_index
    yield served
    served.stop()


def in_threads(server, jobs, work, *, source="127.0.0.1"):
    """Runs work(client, job) for every job on THREADS threads, each with its own client."""
    local = threading.local()
    deadline = time.monotonic() + DEADLINE_SECONDS
    clients = []

    def run(job):
        assert time.monotonic() < deadline, "load loop ran past its deadline"
        if not hasattr(local, "client"):
            local.client = server.client(source)
            clients.append(local.client)
        return work(local.client, job)

    try:
        with ThreadPoolExecutor(THREADS) as pool:
            return list(pool.map(run, jobs))
    finally:
        for client in clients:
            client.close()


def test_every_token_is_accepted_exactly_once_across_workers(server):
    tokens = in_threads(server, range(TOKENS), lambda client, _: token(client))
    assert len(set(tokens)) == TOKENS

    # Each token twice, side by side, so that the two uses race on different threads.
    def use(client, job):
        response = client.get("/api/hello", headers={"X-Quelvar-Token": job})
        return job, response.status_code, response.headers.get("x-worker")

    answers = in_threads(server, [t for t in tokens for _ in range(2)], use)
    outcomes = defaultdict(Counter)
    for job, status, _ in answers:
        outcomes[job][status] += 1
    replays_through = sum(count[200] - 1 for count in outcomes.values() if count[200] > 1)
    assert replays_through == 0
    assert all(count == Counter({200: 1, 409: 1}) for count in outcomes.values())
    # The kernel, not the test, spreads connections over the workers (uvicorn's
    # often favour one): at least two must have accepted tokens for the check
    # above to be one across processes.
    assert len({worker for _, status, worker in answers if status == 200}) >= 2


def test_a_ban_from_the_callback_is_answered_by_every_worker(server):
    client_address = f"198.51.100.{10 + server.index}"
    forwarded = {"X-Forwarded-For": client_address}
    with server.client(TRUSTED_PROXY) as proxy:
        refused = post_telemetry(proxy, BOT, **forwarded)
        assert refused.status_code == 403 and refused.json()["error"] == "refused"
        assert refused.headers["retry-after"] == "600"

    refusing = set()
    deadline = time.monotonic() + 60

    def ask(client, _):
        response = client.get("/api/hello", headers=forwarded)
        return response.status_code, response.json(), response.headers

    # Until every worker has refused once (the ban reaches the others through Redis) ...
    while len(refusing) < WORKERS:
        assert time.monotonic() < deadline, f"only {sorted(refusing)} refused"
        for status, _, headers in in_threads(server, range(16), ask, source=TRUSTED_PROXY):
            if status == 403:
                refusing.add(headers["x-worker"])
    # ... and from then on every answer is the ban.
    answers = in_threads(server, range(40), ask, source=TRUSTED_PROXY)
    assert {status for status, _, _ in answers} == {403}
    assert {body["error"] for _, body, _ in answers} == {"banned"}
    assert all(0 < int(headers["retry-after"]) <= 600 for _, _, headers in answers)


def _signed(secret: str, age: float) -> str:
    return Tokens([secret], LocalStore(), clock=lambda: time.time() - age).issue()


@pytest.mark.parametrize("make, status, error", [
    (lambda: _signed(SECRET, 120), 401, "expired_token"),
    (lambda: _signed(SECRET, -120), 401, "expired_token"),          # from the future
    (lambda: _signed("another-secret-" + "x" * 32, 0), 403, "bad_signature"),
    (lambda: _signed(SECRET, 0)[:-1], 400, "malformed_token"),
    (lambda: "", 400, "missing_token"),
], ids=["expired", "future", "forged", "truncated", "missing"])
def test_refused_tokens(server, make, status, error):
    with server.client() as client:
        response = client.get("/api/hello", headers={"X-Quelvar-Token": make()})
    assert (response.status_code, response.json()) == (status, {"error": error})


def test_forwarded_for_from_an_untrusted_peer_is_ignored(server):
    untrusted = f"127.0.0.{3 + server.index}"
    claimed = {"X-Forwarded-For": f"203.0.113.{10 + server.index}"}
    with server.client(untrusted) as client, server.client(TRUSTED_PROXY) as proxy:
        assert post_telemetry(client, BOT, **claimed).status_code == 403
        # The ban fell on the peer that sent the header, not on the address it claimed.
        wait_until(lambda: client.get("/api/hello").status_code == 403, 10)
        through_proxy = guarded_get(proxy, **claimed)
        assert through_proxy.status_code == 200
        assert through_proxy.json()["hello"] == claimed["X-Forwarded-For"]


@pytest.mark.parametrize("banned, asking", [
    ("2001:0db8:0000:0:0:0:0:{i}", "2001:db8::{i}"),
    ("::ffff:192.0.2.{i}", "192.0.2.{i}"),
    ("192.0.2.{j}", "::ffff:c000:2{j:02x}"),
], ids=["ipv6-zeros", "ipv4-mapped", "mapped-hex"])
def test_two_spellings_of_one_address_are_one_ban(server, banned, asking):
    i, j = 100 + server.index * 10 + len(banned), 200 + server.index
    with server.client(TRUSTED_PROXY) as proxy:
        assert post_telemetry(proxy, BOT, **{"X-Forwarded-For": banned.format(i=i, j=j)}).status_code == 403
        wait_until(lambda: proxy.get("/api/hello", headers={
            "X-Forwarded-For": asking.format(i=i, j=j)}).status_code == 403, 10)


def _padded(body: bytes, size: int) -> bytes:
    return body[:-2] + b" " * (size - len(body)) + body[-2:]


MAX_BODY = inspect.signature(Guard.__init__).parameters["max_body"].default  # what the servers run with


@pytest.mark.parametrize("body, status, answer", [
    (HUMAN, 200, {"decision": "allow"}),
    (_padded(HUMAN, MAX_BODY), 200, {"decision": "allow"}),
    (b'{"mouse_movements": [', 400, {"error": "malformed_telemetry"}),
    (b"\xff\xfe{}", 400, {"error": "malformed_telemetry"}),
    (b"[" * 30_000 + b"]" * 30_000, 400, {"error": "malformed_telemetry"}),  # too deep
    (b" " * (MAX_BODY + 1), 413, {"error": "body_too_large", "limit": MAX_BODY}),
    (iter([HUMAN]), 411, {"error": "length_required"}),        # chunked: no Content-Length
], ids=["human", "large", "truncated", "not-utf8", "deep", "too-large", "chunked"])
def test_telemetry_bodies(server, body, status, answer):
    with server.client() as client:
        response = post_telemetry(client, body)
    assert (response.status_code, response.json()) == (status, answer)


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_a_client_cannot_choose_its_address_in_forwarded(serve, kind, module):
    served = serve(kind, module, workers=1, env={"QUELVAR_PROXY_HEADER": "forwarded"})
    attacker, victim = ("198.51.100.77", "198.51.100.78") if kind == "gunicorn" else ("198.51.100.87", "198.51.100.88")

    def through_proxy(client_wrote: str | None, path="/quelvar/token"):
        # The proxy appends its own element for the peer it saw: the attacker.
        value = f"for={attacker}" if client_wrote is None else f"{client_wrote}, for={attacker}"
        return proxy.get(path, headers={"Forwarded": value})

    with served.client(TRUSTED_PROXY) as proxy:
        refused = post_telemetry(proxy, BOT, Forwarded=f"for={attacker}")
        assert refused.status_code == 403
        wait_until(lambda: through_proxy(None).status_code == 403, 10)
        for client_wrote in (f'for={victim};x="', 'for="x', f'for="{victim}\\', "for=\\"):
            answer = through_proxy(client_wrote)
            assert (answer.status_code, answer.json()["error"]) == (403, "banned"), client_wrote
        # The victim named in those headers was not framed.
        assert proxy.get("/quelvar/token", headers={"Forwarded": f"for={victim}"}).status_code == 200
