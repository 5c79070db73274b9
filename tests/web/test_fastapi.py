"""The FastAPI dependency under real uvicorn: the core's answers, raised per route."""

from __future__ import annotations

import socket

from .conftest import SESSIONS


def test_the_dependency_screens_and_hands_over_the_features(serve):
    server = serve("uvicorn", "fastapi_app:app", workers=1)
    with server.client() as client, server.client("127.0.0.9") as robot:
        def fresh(who):
            return who.get("/token").json()["token"]

        human_token = fresh(client)
        login = client.post("/login", content=(SESSIONS / "human.json").read_bytes(),
                            headers={"X-Quelvar-Token": human_token})
        assert (login.status_code, login.json()) == (200, {"points": 370, "verdict": "ok"})
        replay = client.post("/login", content=b"{}", headers={"X-Quelvar-Token": human_token})
        assert (replay.status_code, replay.json()) == (409, {"detail": {"error": "replayed_token"}})
        assert client.get("/account").json() == {"detail": {"error": "missing_token"}}
        account = client.get("/account", headers={"X-Quelvar-Token": fresh(client)})
        assert (account.status_code, account.json()) == (200, {"client": "127.0.0.1"})

        bot = robot.post("/login", content=(SESSIONS / "bot.json").read_bytes(),
                         headers={"X-Quelvar-Token": fresh(robot)})
        assert (bot.status_code, bot.headers["retry-after"]) == (403, "600")
        banned = robot.get("/account", headers={"X-Quelvar-Token": fresh(robot)})
        assert banned.status_code == 403 and banned.json()["detail"]["error"] == "banned"


def test_a_body_past_its_declared_length_is_not_read_whole(serve):
    # h11 lets chunked framing override Content-Length: the dependency must stop
    # reading at the declared length, not wait for (and keep) whatever follows.
    server = serve("uvicorn", "fastapi_app:app", workers=1)
    with server.client() as client:
        fresh = client.get("/token").json()["token"]
    chunk = b"{" * 65536
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
        raw.sendall(b"POST /login HTTP/1.1\r\nHost: x\r\nX-Quelvar-Token: " + fresh.encode()
                    + b"\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n"
                    + b"%x\r\n" % len(chunk) + chunk + b"\r\n")  # no last chunk: the stream stays open
        assert raw.recv(4096).startswith(b"HTTP/1.1 400 ")
