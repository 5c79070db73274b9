"""The deployment as the README gives it, through real gunicorn and uvicorn:
what a client's path can write into a plain-text log, whose address a
client's own X-Forwarded-For becomes, and stalled bodies under the README's
gunicorn command."""

from __future__ import annotations

import re
import secrets
import shlex
import socket

import pytest

from servers import ROOT, ban_elsewhere, wait_until

README = (ROOT / "README.md").read_text(encoding="utf-8")
FORGED = "WARNING quelvar_guard: unban 192.0.2.1 by admin"


def _commands(server: str, module: str) -> list[list[str]]:
    """Each command line of the README's code blocks that serves `module` with `server`."""
    return [
        shlex.split(line)
        for line in re.findall(rf"^{server} .*$", README, re.M)
        if line.split()[-1] == module or module in line.split()
    ]


def _arguments(command: list[str], module: str) -> tuple[str, ...]:
    """The README command's own options, but the worker count the test picks itself."""
    words = [word for word in command[1:] if word != module]
    for flag in ("-w", "--workers"):
        if flag in words:
            index = words.index(flag)
            del words[index : index + 2]
    return tuple(words)


@pytest.mark.parametrize(
    "kind, module", [("gunicorn", "plain_wsgi:app"), ("uvicorn", "plain_asgi:app")], ids=["gunicorn", "uvicorn"]
)
def test_a_path_cannot_forge_a_line_in_a_plain_text_log(serve, kind, module):
    served = serve(kind, module, workers=1)
    path = "/api/x%0a" + FORGED.replace(" ", "%20") + "%0d%1b"
    with served.client() as client:
        assert client.get(path).status_code == 400  # missing_token, recorded
    logged = wait_until(lambda: "missing_token" in (text := served.log.read_text()) and text, 10, 0.05)
    lines = logged.splitlines()
    [refusal] = [line for line in lines if "missing_token" in line]
    assert refusal.endswith("on /api/x\\n" + FORGED + "\\r\\x1b"), refusal
    assert not any(line.startswith(FORGED) for line in lines), logged


@pytest.mark.parametrize("readme", [True, False], ids=["readme-command", "uvicorn-default"])
def test_the_readme_uvicorn_command_keeps_a_client_from_naming_its_address(serve, running_redis, readme):
    # The README serves every ASGI example with uvicorn's own proxy headers off.
    commands = re.findall(r"^uvicorn .*$", README, re.M)
    assert commands and all("--no-proxy-headers" in line or "--forwarded-allow-ips" in line for line in commands)
    [command] = _commands("uvicorn", "examples.web_asgi:app")
    arguments = _arguments(command, "examples.web_asgi:app") if readme else ()
    # A client banned at 127.0.0.1, uvicorn's default trusted address, as it
    # is behind a proxy on this host that passes the client's header on
    # without appending; its bans under a prefix of their own.
    prefix = f"xff-{secrets.token_hex(4)}:"
    ban_elsewhere(running_redis.url, prefix, "127.0.0.1", 60)
    served = serve("uvicorn", "examples.web_asgi:app", workers=1, arguments=arguments, QUELVAR_REDIS_PREFIX=prefix)
    with served.client() as client:
        answer = client.get("/quelvar/token", headers={"X-Forwarded-For": "203.0.113.9"})
    # Under the README's command the guard sees the connection's peer, still
    # banned; under uvicorn's default the client's own header named another.
    assert (answer.status_code == 403 and answer.json()["error"] == "banned") is readme, answer.text


STALLED = 8  # twice the sync workers that four stalled bodies froze
BODY = 10_000


def test_stalled_bodies_leave_the_readme_gunicorn_command_serving(serve):
    [command] = _commands("gunicorn", "examples.web_wsgi:app")
    arguments = _arguments(command, "examples.web_wsgi:app")
    assert "gthread" in arguments
    # 4 workers, as the README; budgets of its own
    served = serve(
        "gunicorn", "plain_wsgi:app", arguments=arguments, QUELVAR_REDIS_PREFIX=f"slow-{secrets.token_hex(4)}:"
    )
    stalled = []
    try:
        for _ in range(STALLED):
            raw = socket.create_connection(("127.0.0.1", served.port), timeout=10)
            stalled.append(raw)
            raw.sendall(f"POST /upload HTTP/1.1\r\nHost: test\r\nContent-Length: {BODY}\r\n\r\n".encode() + b"x" * 100)
        # A frozen server answers nothing until its worker timeout (30 s):
        # every request must be answered within the client's, far shorter.
        with served.client() as client:  # its timeout: 10 s
            for _ in range(20):
                assert client.get("/quelvar/token").status_code == 200
                assert client.post("/upload", content=b"y" * BODY).text == str(BODY)
        # The stalled bodies are still held, not refused: each is answered once it is whole.
        for raw in stalled:
            raw.sendall(b"x" * (BODY - 100))
        for raw in stalled:
            assert raw.recv(4096).startswith(b"HTTP/1.1 200 ")
    finally:
        for raw in stalled:
            raw.close()
