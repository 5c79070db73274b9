"""No way around the guard, and hostile requests cost little: mounts and root
paths, WebSocket handshakes, the minting budget and slow bodies, through real
uvicorn and gunicorn, with requests written on a socket as a proxy sends them."""

from __future__ import annotations

import json
import select
import socket
import time

import pytest

from servers import Served
from web.frontdoor_app import LIMITS
from web_client import HEADER, HUMAN, clearance, token

ROOT_PATH = "/svc"
BOT = b'{"browser": {"webdriver": true}}'


@pytest.fixture(scope="module")
def site(redis_server, tmp_path_factory):
    served = Served(
        "uvicorn",
        "frontdoor_app:make_app",
        redis_server.running().url,
        tmp_path_factory.mktemp("front") / "log",
        workers=1,
        arguments=("--factory", "--root-path", ROOT_PATH),
    )
    yield served
    served.stop()


def exchange(server, head: str, *, source: str = "127.0.0.1"):
    """A request's head written on a socket; the status, the headers and what follows them."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=10, source_address=(source, 0)) as raw:
        raw.sendall(head.replace("\n", "\r\n").encode() + b"\r\n")
        received = b""
        while b"\r\n\r\n" not in received:
            chunk = raw.recv(65536)
            assert chunk, f"closed after {received!r}"
            received += chunk
        status_line, _, rest = received.partition(b"\r\n")
        header_text, _, after = rest.partition(b"\r\n\r\n")
        headers = dict(line.decode().lower().split(": ", 1) for line in header_text.split(b"\r\n"))
        status = int(status_line.split()[1])

        def wanted() -> int:
            if status != 101:
                return int(headers.get("content-length", 0))
            # One short frame: two bytes, then as many as the second says.
            return 2 + (after[1] & 0x7F) if len(after) >= 2 else 2

        while len(after) < wanted() and (chunk := raw.recv(65536)):
            after += chunk
    return status, headers, after


def handshake(server, target: str, *, source: str = "127.0.0.1", **headers: str):
    extra = "".join(f"{name}: {value}\n" for name, value in headers.items())
    return exchange(
        server,
        f"GET {target} HTTP/1.1\nHost: test\nUpgrade: websocket\nConnection: Upgrade\n"
        f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\nSec-WebSocket-Version: 13\n{extra}",
        source=source,
    )


def test_mounts_and_the_root_path_are_no_way_around(site):
    # Under --root-path the server puts the root path in `path`; a Mount adds its own.
    targets = ["/api/hello", "/api%2fhello", "/api%2Fhello", "/v1/api/hello", "/v1/api%2fhello", "/plain/api/hello"]
    for target in targets:
        status, _, body = exchange(site, f"GET {target} HTTP/1.1\nHost: test\n")
        assert (status, json.loads(body)) == (400, {"error": "missing_token"}), target
    with site.client("127.0.0.20") as client:
        tokens = clearance(client)
        assert [client.get(target, headers={HEADER: tokens.pop()}).json() for target in targets] == [
            {"screened": True}
        ] * len(targets)


def test_the_wsgi_path_is_path_info_under_script_name(serve):
    server = serve("gunicorn", "tagged_wsgi:app", workers=1, SCRIPT_NAME=ROOT_PATH)
    for target in ("/svc/api/hello", "/svc/api%2fhello", "/svc%2fapi/hello"):
        status, _, body = exchange(server, f"GET {target} HTTP/1.1\nHost: test\n")
        assert (status, json.loads(body)) == (400, {"error": "missing_token"}), target
    with server.client() as client:
        tokens = client.post(
            "/svc/quelvar/telemetry", content=HUMAN, headers={HEADER: client.get("/svc/quelvar/token").json()["token"]}
        ).json()["tokens"]
        assert client.get("/svc/api/hello", headers={HEADER: tokens[0]}).status_code == 200


def test_websocket_handshakes_are_screened(site):
    robot, person = "127.0.0.21", "127.0.0.22"
    with site.client(robot) as client:
        assert client.post("/quelvar/telemetry", content=BOT, headers={HEADER: token(client)}).status_code == 403
    with site.client(person) as client:
        guarded = clearance(client)
        telemetry = token(client)

    def refusal(answer):
        status, _, body = answer
        return status, json.loads(body)["error"] if body else None

    assert refusal(handshake(site, "/api/ws")) == (400, "missing_token")
    assert refusal(handshake(site, "/v1/api/ws")) == (400, "missing_token")
    assert refusal(handshake(site, f"/api/ws?quelvar_token={telemetry}", source=person)) == (403, "wrong_token_kind")
    assert refusal(handshake(site, f"/api/ws?quelvar_token={guarded[0]}", source=robot)) == (403, "banned")
    # Without the server's HTTP answer, a close before the accept: the server says 403.
    assert refusal(handshake(site, "/plain/api/ws")) == (403, None)
    # Accepted: the token from the query, or from the header; each once.
    for target, headers in [(f"/api/ws?quelvar_token={guarded[1]}", {}), ("/v1/api/ws", {HEADER: guarded[2]})]:
        status, _, frame = handshake(site, target, source=person, **headers)
        # The app's close frame may arrive in the same read: the first frame only.
        assert (status, frame[2 : 2 + (frame[1] & 0x7F)]) == (101, b"screened")
    assert refusal(handshake(site, f"/api/ws?quelvar_token={guarded[1]}", source=person)) == (409, "replayed_token")


def test_the_minting_budget_is_shared_by_the_workers(serve):
    burst, spender = 5, "127.0.0.25"
    # No work left to ask past the burst (the most is the base): refused at once.
    server = serve(
        "gunicorn",
        "tagged_wsgi:app",
        workers=2,
        QUELVAR_MINT_BURST=str(burst),
        QUELVAR_MINT_RATE="0.01",
        QUELVAR_MAX_WORK_BITS="0",
    )
    answers, deadline = [], time.monotonic() + 60
    while len(answers) < 8 * burst and (len({a.headers["x-worker"] for a in answers}) < 2 or len(answers) < 3 * burst):
        assert time.monotonic() < deadline
        with server.client(spender) as client:  # a new connection each: any worker may take it
            answers.append(client.get("/quelvar/token"))
    assert len({a.headers["x-worker"] for a in answers}) == 2
    assert [a.status_code for a in answers] == [200] * burst + [429] * (len(answers) - burst)
    refused = answers[-1].json()  # one token each 100 s: the wait until the next one
    assert refused["error"] == "too_many_tokens" and 90 < refused["retry_after"] <= 100
    assert answers[-1].headers["retry-after"] == str(refused["retry_after"])
    with server.client("127.0.0.26") as neighbour:
        assert neighbour.get("/quelvar/token").status_code == 200


@pytest.mark.parametrize(
    "pace",
    [
        [(100, 0)],  # stalls after its first bytes
        [(50, 0.25)] * 40,  # trickles below the minimum rate
        [(500, 0.2)] * 60,  # above the rate, but not done by the deadline
    ],
    ids=["stalled", "trickle", "past-deadline"],
)
def test_slow_bodies_are_refused(site, pace):
    length = 60_000
    with site.client() as client:
        telemetry = token(client)
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", site.port), timeout=LIMITS.timeout + 5) as raw:
        raw.sendall(
            f"POST /quelvar/telemetry HTTP/1.1\r\nHost: test\r\n{HEADER}: {telemetry}\r\n"
            f"Content-Length: {length}\r\n\r\n".encode()
        )
        for size, pause in pace:
            if select.select([raw], [], [], 0)[0]:
                break  # answered
            raw.sendall(b" " * size)
            time.sleep(pause)
        answer = b""
        while not answer.endswith(b"}") and (chunk := raw.recv(4096)):
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 408 ") and answer.endswith(b'{"error":"body_timeout"}'), answer
    assert time.monotonic() - started < LIMITS.timeout + 3
