"""The FastAPI dependencies under real uvicorn: the core's answers, raised per route."""

from __future__ import annotations

import json
import select
import socket
import time

from web_client import HEADER, HUMAN, SESSIONS


def test_the_dependencies_screen_and_hand_over_the_features(serve):
    server = serve("uvicorn", "fastapi_app:app", workers=1)
    with server.client() as client, server.client("127.0.0.9") as robot:

        def fresh(who):
            return who.get("/token").json()["token"]

        def detail(response):
            return response.status_code, response.json()["detail"], response.headers.get("retry-after")

        telemetry = fresh(client)
        login = client.post("/login", content=(SESSIONS / "human.json").read_bytes(), headers={HEADER: telemetry})
        assert login.status_code == 200
        cleared = login.json()
        assert (cleared["points"], cleared["bytes"], cleared["decision"], len(cleared["tokens"])) == (
            370,
            len((SESSIONS / "human.json").read_bytes()),
            "allow",
            2,
        )
        replay = client.post("/login", content=b"{}", headers={HEADER: telemetry})
        assert detail(replay) == (409, {"error": "replayed_token"}, None)
        assert client.get("/account").json() == {"detail": {"error": "missing_token"}}
        assert detail(client.get("/account", headers={HEADER: fresh(client)})) == (
            403,
            {"error": "wrong_token_kind"},
            None,
        )
        account = client.get("/account", headers={HEADER: cleared["tokens"][0]})
        assert (account.status_code, account.json()) == (200, {"client": "127.0.0.1"})

        # A challenge: no ban, no tokens; fresh telemetry is scored again. The
        # movement is evidence enough for the scoring; the callback asks for keys.
        unkeyed = json.dumps({**json.loads((SESSIONS / "human.json").read_bytes()), "keystrokes": []})
        challenged = client.post("/login", content=unkeyed, headers={HEADER: fresh(client)})
        status, refusal, retry_after = detail(challenged)
        # With a challenge token (of this layout: "BA"), to pay with work.
        assert (status, refusal.pop("token")[:2], retry_after) == (403, "BA", "5")
        assert refusal == {
            "error": "challenge",
            "retry_after": 5,
            "reasons": ["no_keystrokes"],
            "header": HEADER,
            "work": 4,
            "work_header": "X-Quelvar-Work",
        }
        assert client.get("/account", headers={HEADER: cleared["tokens"][1]}).status_code == 200

        bot = robot.post("/login", content=(SESSIONS / "bot.json").read_bytes(), headers={HEADER: fresh(robot)})
        assert detail(bot) == (
            403,
            {"error": "refused", "retry_after": 600, "reasons": ["webdriver", "even_steps"]},
            "600",
        )
        for banned in (robot.get("/token"), robot.get("/account", headers={HEADER: cleared["tokens"][1]})):
            assert banned.status_code == 403 and banned.json()["detail"]["error"] == "banned"


def test_a_body_past_its_declared_length_is_not_read_whole(serve):
    # h11 lets chunked framing override Content-Length: the dependency must stop
    # reading at the declared length, not wait for (and keep) whatever follows.
    server = serve("uvicorn", "fastapi_app:app", workers=1)
    with server.client() as client:
        fresh = client.get("/token").json()["token"]
    chunk = b"{" * 65536
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
        raw.sendall(
            b"POST /login HTTP/1.1\r\nHost: x\r\nX-Quelvar-Token: "
            + fresh.encode()
            + b"\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n"
            + b"%x\r\n" % len(chunk)
            + chunk
            + b"\r\n"
        )  # no last chunk: the stream stays open
        assert raw.recv(4096).startswith(b"HTTP/1.1 400 ")


def _stream_until_answered(server, source: str, target: str, total: int) -> tuple[int, bytes]:
    """Sends a chunked body of `total` bytes, 1 MiB at a time, until the server
    answers; the bytes sent by then, and the answer."""
    chunk = b" " * (1 << 20)
    frame = b"%x\r\n" % len(chunk) + chunk + b"\r\n"
    sent, deadline = 0, time.monotonic() + 60
    with socket.create_connection(("127.0.0.1", server.port), timeout=30, source_address=(source, 0)) as raw:
        raw.sendall(
            f"POST {target} HTTP/1.1\r\nHost: test\r\nContent-Type: application/json\r\n"
            "Transfer-Encoding: chunked\r\n\r\n".encode()
        )
        try:
            while sent < total and not select.select([raw], [], [], 0)[0]:
                assert time.monotonic() < deadline, "the body took too long to send"
                raw.sendall(frame)
                sent += len(chunk)
            raw.sendall(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError):
            pass  # answered, and closed
        answer = b""
        while not answer.endswith(b"}") and (part := raw.recv(65536)):
            answer += part
    return sent, answer


def test_a_route_with_a_body_is_screened_before_the_body_is_read(serve):
    server = serve("uvicorn", "fastapi_app:app", workers=1)
    robot = "127.0.0.10"
    with server.client(robot) as client:
        banned = client.post(
            "/login",
            content=(SESSIONS / "bot.json").read_bytes(),
            headers={HEADER: client.get("/token").json()["token"]},
        )
        assert banned.status_code == 403
    # A banned client without a token streams 200 MiB: refused on its head,
    # while the socket buffers hold the little it sent.
    sent, answer = _stream_until_answered(server, robot, "/signup", 200 << 20)
    assert answer.startswith(b"HTTP/1.1 403 ") and answer.endswith(b'{"detail":{"error":"banned","retry_after":600}}')
    assert sent <= 32 << 20, f"{sent >> 20} MiB sent before the refusal"

    with server.client() as client:
        signup = client.post(
            "/signup",
            content=HUMAN,
            headers={HEADER: client.get("/token").json()["token"], "Content-Type": "application/json"},
        )
        # FastAPI's parameter and the handler's request.body() are the body the guard read and scored.
        assert signup.json() == {"sections": sorted(json.loads(HUMAN)), "points": 370, "same_body": True}
        assert client.post("/unscreenable", json={}).status_code == 500
