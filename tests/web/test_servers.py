"""The examples under real gunicorn and uvicorn, 4 workers each, one Redis, httpx on loopback."""

from __future__ import annotations

import inspect
import threading
import time
from collections import Counter, defaultdict
from concurrent.futures import ThreadPoolExecutor

import pytest

from quelvar_guard import Guard, LocalStore, TokenKind, Tokens
from quelvar_guard.decision import DEFAULT_REQUESTS_PER_CLEARANCE as PER_CLEARANCE
from servers import SECRET, TRUSTED_PROXY, WORKERS, Served, wait_until
from web_client import HEADER, HUMAN, SESSIONS, TELEMETRY, clearance, guarded_get, post_telemetry, token

BOT = (SESSIONS / "bot.json").read_bytes()  # reports webdriver: the example bans it
TOKENS = 1000
THREADS = 8
DEADLINE_SECONDS = 180  # bounds every load loop below


@pytest.fixture(scope="module", params=["gunicorn", "uvicorn"])
def server(request, redis_server, tmp_path_factory):
    module = "tagged_wsgi:app" if request.param == "gunicorn" else "tagged_asgi:app"
    # Tokens bound to the client's network: every test below presents its
    # tokens from where it fetched them, but for the one that moves.
    served = Served(
        request.param,
        module,
        redis_server.running().url,
        tmp_path_factory.mktemp(request.param) / "server.log",
        QUELVAR_BIND_NETWORK="1",
    )
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
    cleared = in_threads(server, range(TOKENS // PER_CLEARANCE), lambda client, _: clearance(client))
    tokens = [t for batch in cleared for t in batch]
    assert len(set(tokens)) == TOKENS

    # Each token twice, side by side, so that the two uses race on different threads.
    def use(client, job):
        response = client.get("/api/hello", headers={HEADER: job})
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


def _signed(kind: TokenKind, secret: str = SECRET, age: float = 0) -> str:
    return Tokens([secret], LocalStore(), clock=lambda: time.time() - age).issue(kind)


GUARDED, TELEMETRY_KIND = TokenKind.GUARDED, TokenKind.TELEMETRY


@pytest.mark.parametrize(
    "path, make, status, error",
    [
        ("/api/hello", lambda: _signed(GUARDED, age=120), 401, "expired_token"),
        ("/api/hello", lambda: _signed(GUARDED, age=-120), 401, "expired_token"),  # from the future
        ("/api/hello", lambda: _signed(GUARDED, "another-secret-" + "x" * 32), 403, "bad_signature"),
        ("/api/hello", lambda: _signed(GUARDED)[:-1], 400, "malformed_token"),
        ("/api/hello", lambda: "", 400, "missing_token"),
        ("/api/hello", lambda: _signed(TELEMETRY_KIND), 403, "wrong_token_kind"),
        (TELEMETRY, lambda: _signed(GUARDED), 403, "wrong_token_kind"),
        (TELEMETRY, lambda: "", 400, "missing_token"),
    ],
    ids=[
        "expired",
        "future",
        "forged",
        "truncated",
        "missing",
        "telemetry-token-on-guarded",
        "guarded-token-on-telemetry",
        "telemetry-without-token",
    ],
)
def test_refused_tokens(server, path, make, status, error):
    with server.client() as client:
        response = client.request("POST" if path == TELEMETRY else "GET", path, content=HUMAN, headers={HEADER: make()})
    assert (response.status_code, response.json()) == (status, {"error": error})


def _tries(client, body, tries, **headers):
    """What a client gets on a guarded path, `tries` times over: each try
    fetches a telemetry token, posts `body` with it (or nothing, for None),
    and presents the best token it then holds."""
    deadline = time.monotonic() + DEADLINE_SECONDS
    statuses = Counter()
    for _ in range(tries):
        assert time.monotonic() < deadline, "load loop ran past its deadline"
        issued = client.get("/quelvar/token", headers=headers).json()
        held = issued.get("token", "")
        if body is not None:
            answer = client.post(TELEMETRY, content=body, headers={HEADER: held, **headers}).json()
            held = answer.get("tokens", [held])[0]
        statuses[client.get("/api/hello", headers={HEADER: held, **headers}).json().get("error", 200)] += 1
    return statuses


# Until the ban has reached the worker that answers, a refused client holds
# only its spent telemetry token, or none at all when the token endpoint's
# worker had the ban already.
REFUSED = {"wrong_token_kind", "banned", "missing_token"}


@pytest.mark.parametrize(
    "case, body, tries, refusals",
    [
        (0, None, TOKENS, {"wrong_token_kind"}),  # never sends telemetry
        (1, BOT, 50, REFUSED),  # telemetry refused, with a ban
        (2, b'{"browser": {"webdriver": true}}', 50, REFUSED),
    ],
    ids=["no-telemetry", "bot-session", "webdriver"],
)
def test_no_guarded_request_is_served_without_allowed_telemetry(server, case, body, tries, refusals):
    # Through the proxy, for an address of each case's own (bans outlive the test).
    forwarded = {"X-Forwarded-For": f"198.51.100.{40 + 2 * case + server.index}"}
    with server.client(TRUSTED_PROXY) as client:  # kept alive between tries
        statuses = _tries(client, body, tries, **forwarded)
    assert statuses[200] == 0 and sum(statuses.values()) == tries
    assert set(statuses) <= refusals and (body is None or statuses["banned"] > 0), statuses


def test_a_clearance_serves_exactly_its_tokens(server):
    with server.client() as client:
        spent = token(client)
        answer = client.post(TELEMETRY, content=HUMAN, headers={HEADER: spent}).json()
        tokens = answer["tokens"]
        assert len(set(tokens)) == PER_CLEARANCE and answer["max_age"] == 30.0
        # Each once, then all again, then the telemetry token that earned them.
        statuses = [client.get("/api/hello", headers={HEADER: t}).status_code for t in [*tokens, *tokens, spent]]
    assert statuses == [200] * PER_CLEARANCE + [409] * PER_CLEARANCE + [403]


def test_a_bound_token_is_refused_from_another_network(server):
    # Two peers in one /24 and one outside it, all on loopback.
    home, near, far = (f"127.0.{net}.{host + server.index}" for net, host in ((1, 10), (1, 20), (2, 10)))
    with server.client(home) as client, server.client(near) as neighbour, server.client(far) as stranger:
        tokens = clearance(client)
        answers = [
            stranger.get("/api/hello", headers={HEADER: tokens[0]}),  # refused, not spent
            neighbour.get("/api/hello", headers={HEADER: tokens[0]}),
            client.get("/api/hello", headers={HEADER: tokens[0]}),
            stranger.post(TELEMETRY, content=HUMAN, headers={HEADER: token(client)}),
        ]
    assert [(a.status_code, a.json().get("error")) for a in answers] == [
        (403, "wrong_network"),
        (200, None),
        (409, "replayed_token"),
        (403, "wrong_network"),
    ]


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


@pytest.mark.parametrize(
    "banned, asking",
    [
        ("2001:0db8:0{i}:0:0:0:0:1", "2001:db8:{i}::1"),
        ("::ffff:192.0.2.{i}", "192.0.2.{i}"),
        ("192.0.2.{j}", "::ffff:c000:2{j:02x}"),
        ("2001:db8:{i}::7", "2001:db8:{i}::99"),  # one /64, one client
        ("198.51.100.{j}", "64:ff9b::c633:64{j:02x}"),  # NAT64
        ("2002:cb00:71{j:02x}::1", "203.0.113.{j}"),  # 6to4
    ],
    ids=["ipv6-zeros", "ipv4-mapped", "mapped-hex", "ipv6-prefix", "nat64", "6to4"],
)
def test_two_spellings_of_one_address_are_one_ban(server, banned, asking):
    i, j = 100 + server.index * 10 + len(banned), 200 + server.index
    with server.client(TRUSTED_PROXY) as proxy:
        assert post_telemetry(proxy, BOT, **{"X-Forwarded-For": banned.format(i=i, j=j)}).status_code == 403
        wait_until(
            lambda: proxy.get("/api/hello", headers={"X-Forwarded-For": asking.format(i=i, j=j)}).status_code == 403, 10
        )


def _padded(body: bytes, size: int) -> bytes:
    return body[:-2] + b" " * (size - len(body)) + body[-2:]


MAX_BODY = inspect.signature(Guard.__init__).parameters["max_body"].default  # what the servers run with


@pytest.mark.parametrize(
    "body, status, answer",
    [
        (HUMAN, 200, None),
        (_padded(HUMAN, MAX_BODY), 200, None),  # parsed off the event loop in ASGI
        (b'{"mouse_movements": [', 400, {"error": "malformed_telemetry"}),
        (b"\xff\xfe{}", 400, {"error": "malformed_telemetry"}),
        (b"[" * 30_000 + b"]" * 30_000, 400, {"error": "malformed_telemetry"}),  # too deep
        (b" " * (MAX_BODY + 1), 413, {"error": "body_too_large", "limit": MAX_BODY}),
        (iter([HUMAN]), 411, {"error": "length_required"}),  # chunked: no Content-Length
    ],
    ids=["human", "large", "truncated", "not-utf8", "deep", "too-large", "chunked"],
)
def test_telemetry_bodies(server, body, status, answer):
    with server.client() as client:
        response = post_telemetry(client, body)
    assert response.status_code == status
    if answer is None:  # allowed: the clearance's tokens
        answer = {"decision": "allow", "tokens": response.json()["tokens"], "header": HEADER, "max_age": 30.0}
        assert len(answer["tokens"]) == PER_CLEARANCE
    assert response.json() == answer


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_a_client_cannot_choose_its_address_in_forwarded(serve, kind, module):
    served = serve(kind, module, workers=1, QUELVAR_PROXY_HEADER="forwarded")
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
