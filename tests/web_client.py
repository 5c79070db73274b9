"""What a browser does against the served examples: take a telemetry token,
post telemetry, spend the guarded tokens of the clearance it earns."""

from __future__ import annotations

import httpx

from quelvar_guard.work import WORK_HEADER, solve
from servers import ROOT

SESSIONS = ROOT / "examples" / "sessions"
HEADER = "X-Quelvar-Token"
TELEMETRY = "/quelvar/telemetry"
HUMAN = (SESSIONS / "human.json").read_bytes()


def token(client: httpx.Client, **headers: str) -> str:
    """A telemetry token from the token endpoint."""
    return issued(client, **headers)[0]


def issued(client: httpx.Client, **headers: str) -> tuple[str, int]:
    """A telemetry token and the bits of work its puzzle asks."""
    response = client.get("/quelvar/token", headers=headers)
    assert response.status_code == 200, response.text
    answer = response.json()
    return str(answer["token"]), int(answer["work"])


def post_telemetry(client: httpx.Client, body: bytes, **headers: str) -> httpx.Response:
    """A telemetry post with a fresh token, its work done."""
    telemetry_token, bits = issued(client, **headers)
    return client.post(
        TELEMETRY,
        content=body,
        headers={
            HEADER: telemetry_token,
            WORK_HEADER: solve(telemetry_token, bits),
            "Content-Type": "application/json",
            **headers,
        },
    )


def clearance(client: httpx.Client, **headers: str) -> list[str]:
    """The guarded tokens that the human sample session earns."""
    response = post_telemetry(client, HUMAN, **headers)
    assert response.status_code == 200, response.text
    return list(response.json()["tokens"])


def guarded_get(client: httpx.Client, **headers: str) -> httpx.Response:
    return client.get("/api/hello", headers={HEADER: clearance(client, **headers)[0], **headers})
