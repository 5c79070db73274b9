"""What an operator turns on before enforcing, through real servers: shadow
mode for the whole guard and for single rules."""

from __future__ import annotations

import base64
import json
import math
import subprocess
import sys

import pytest
import redis

from servers import SERVER_ENV, TEST_WORK_BITS, TRUSTED_PROXY, dns_server, wait_until
from web_client import HEADER, HUMAN, TELEMETRY, post_telemetry

LINE = json.dumps(
    {"mouse_movements": [{"x": 10 + 3 * i, "y": 20 + 2 * i, "t": 16 * i} for i in range(300)], "browser": {}}
).encode()
# An arc at an even pace: only the even-steps rule flags it.
ARC = json.dumps(
    {
        "mouse_movements": [
            {"x": round(500 + 300 * math.cos(i / 100), 2), "y": round(400 + 300 * math.sin(i / 100), 2), "t": 16 * i}
            for i in range(200)
        ],
        "browser": {},
    }
).encode()
WEBDRIVER = json.dumps({**json.loads(HUMAN), "browser": {"webdriver": True}}).encode()


def _events(server) -> list[dict]:
    return [json.loads(line) for line in server.log.read_text().splitlines() if line.startswith("{")]


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_shadow_mode_serves_everyone_and_records_what_it_would_have_done(kind, module, serve, running_redis):
    server = serve(kind, module, QUELVAR_MODE="shadow")
    address = "198.51.100.77" if kind == "gunicorn" else "198.51.100.78"
    forwarded = {"X-Forwarded-For": address}
    with server.client(TRUSTED_PROXY) as client:
        # No token, a forged one, a bot's line: each served, none refused.
        assert client.get("/api/hello", headers=forwarded).status_code == 200
        assert client.get("/api/hello", headers={HEADER: "x" * 80, **forwarded}).status_code == 200
        cleared = post_telemetry(client, LINE, **forwarded)
        assert cleared.status_code == 200 and len(cleared.json()["tokens"]) == 10
        assert client.post(TELEMETRY, content=b"{", headers={**forwarded, HEADER: "x"}).status_code == 200
    # Every one of them logged as would-have, the ban too, and nothing written.
    events = wait_until(lambda: [e for e in _events(server) if e.get("address") == address] or None, 20)
    wait_until(lambda: len([e for e in _events(server) if e.get("address") == address]) >= 4, 20)
    events = [e for e in _events(server) if e.get("address") == address]
    assert {e["mode"] for e in events} == {"shadow"}
    assert {e["reason"] for e in events} >= {"missing_token", "malformed_token", "refused"}
    assert any(e["event"] == "ban" and "would" in e["message"] for e in events)
    shared = redis.Redis.from_url(running_redis.url)
    assert shared.zscore("{quelvar:bans}", address) is None


def test_a_rule_in_shadow_is_only_recorded_while_the_others_enforce(serve):
    server = serve("gunicorn", "tagged_wsgi:app", QUELVAR_SHADOW_RULES="even_steps")
    with server.client(TRUSTED_PROXY) as client:
        arc = post_telemetry(client, ARC, **{"X-Forwarded-For": "198.51.100.81"})
        assert arc.status_code == 200 and len(arc.json()["tokens"]) == 10
        webdriver = post_telemetry(client, WEBDRIVER, **{"X-Forwarded-For": "198.51.100.82"})
        assert (webdriver.status_code, webdriver.json()["reasons"]) == (403, ["webdriver"])
    events = wait_until(lambda: [e for e in _events(server) if e.get("address") == "198.51.100.81"] or None, 20)
    assert [(e["mode"], e["reasons"]) for e in events] == [("shadow", ["even_steps"])]


POLICIES = json.dumps(
    [
        {"prefix": "/api/hello", "requests_per_clearance": 2, "clearance_seconds": 7, "work_bits": 3},
        {"prefix": "/api/open", "exempt": True},
    ]
)


@pytest.mark.parametrize("kind, module", [("gunicorn", "tagged_wsgi:app"), ("uvicorn", "tagged_asgi:app")])
def test_a_route_policy_sets_its_paths_clearances_and_an_exempt_one_is_not_screened(kind, module, serve):
    server = serve(kind, module, QUELVAR_ROUTE_POLICIES=POLICIES, QUELVAR_WORK_BITS="1")
    with server.client(TRUSTED_PROXY) as client:
        assert client.get("/api/open/anything").status_code == 404  # the application's own answer, unscreened
        ordinary = post_telemetry(client, HUMAN).json()
        special = post_telemetry(client, HUMAN, **{"X-Quelvar-Route": "/api/hello"}).json()
        assert (len(ordinary["tokens"]), ordinary["max_age"]) == (10, 30)
        assert (len(special["tokens"]), special["max_age"]) == (2, 7)
        assert client.get("/quelvar/token", headers={"X-Quelvar-Route": "/api/hello"}).json()["work"] == 3
        # Each clearance opens the paths of its own policy only.
        answers = [
            client.get(path, headers={HEADER: tokens[0]}).json().get("error")
            for path, tokens in (("/api/hello", ordinary["tokens"]), ("/api/other", special["tokens"]))
        ]
        assert answers == ["wrong_token_kind", "wrong_token_kind"]
        assert client.get("/api/hello", headers={HEADER: special["tokens"][1]}).status_code == 200


def test_allowed_networks_and_confirmed_crawlers_pass_unscreened_and_a_false_claim_is_refused(serve):
    # The crawler's operator's DNS, on loopback: one address it confirms, one it names in a look-alike domain.
    records = [
        "--host-record=crawl-1.googlebot.com,192.0.2.50",
        "--host-record=crawl-1.googlebot.com.evil.test,192.0.2.51",
    ]
    with dns_server(records) as port:
        server = serve(
            "uvicorn",
            "tagged_asgi:app",
            QUELVAR_ALLOW_NETWORKS="203.0.113.0/28",
            QUELVAR_VERIFY_CRAWLERS="1",
            QUELVAR_CRAWLER_DNS=f"127.0.0.1:{port}",
        )
        bot = {"User-Agent": "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)"}
        with server.client(TRUSTED_PROXY) as client:

            def hello(address, **headers):
                answer = client.get("/api/hello", headers={"X-Forwarded-For": address, **headers})
                return answer.status_code, answer.json().get("reasons")

            assert [hello("203.0.113.9"), hello("203.0.113.17")] == [(200, None), (400, None)]
            # Twice each: the second answer comes from what the first found.
            assert [hello("192.0.2.50", **bot) for _ in range(2)] == [(200, None)] * 2
            assert [hello("192.0.2.51", **bot) for _ in range(2)] == [(403, ["fake_crawler"])] * 2
            assert hello("192.0.2.50") == (400, None)  # the address without the claim: screened as anyone


BUCKETS = {"QUELVAR_MINT_RATE": "0.0001", "QUELVAR_MINT_BURST": "20"}


def test_explain_says_what_the_guard_would_do_for_an_address_and_why(serve, running_redis):
    # Buckets that do not refill while the test runs.
    server = serve("gunicorn", "tagged_wsgi:app", QUELVAR_ALLOW_NETWORKS="203.0.113.64/26", **BUCKETS)
    with server.client(TRUSTED_PROXY) as client:
        refused = post_telemetry(client, WEBDRIVER, **{"X-Forwarded-For": "198.51.100.90"})
        assert refused.status_code == 403
        for _ in range(3):
            client.get("/quelvar/token", headers={"X-Forwarded-For": "198.51.100.91"})

    def explain(address):
        answer = subprocess.run(
            [sys.executable, "-m", "quelvar_guard", "explain", address, "--json"],
            env=dict(
                SERVER_ENV,
                QUELVAR_REDIS_URL=running_redis.url,
                QUELVAR_ALLOW_NETWORKS="203.0.113.64/26",
                QUELVAR_WORK_BITS=TEST_WORK_BITS,
                QUELVAR_NETWORK_BUDGETS="off",
                **BUCKETS,
            ),
            capture_output=True,
            text=True,
            timeout=60,
        )
        return answer.returncode, json.loads(answer.stdout)

    code, banned = explain("198.51.100.90")
    assert (code, banned["banned"], banned["level"]) == (1, True, pytest.approx(4, abs=0.1))  # decaying
    assert [(note["decision"], note["reasons"]) for note in banned["recent"]] == [("ban", ["webdriver"])]
    code, busy = explain("198.51.100.91")
    assert code == 0 and busy["budgets"][0]["in_use"] == pytest.approx(3, abs=0.01) and busy["recent"] == []
    code, allowed = explain("203.0.113.100")
    assert (code, allowed["allow_listed"], allowed["banned"]) == (0, True, False)


def test_a_privacy_token_clears_without_work_or_movement_once(serve, tmp_path):
    from cryptography.hazmat.primitives.asymmetric import rsa

    from privacy_tokens import b64, issue, spki
    from quelvar_guard.attestation import parse_auth_header

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    (tmp_path / "issuer.der").write_bytes(spki(key))
    server = serve(
        "uvicorn",
        "tagged_asgi:app",
        QUELVAR_ATTESTATION_ISSUERS=f"issuer.test={tmp_path / 'issuer.der'}",
        QUELVAR_ATTESTATION_ORIGIN="site.test",
        QUELVAR_WORK_BITS="24",  # more than a test could pay
        QUELVAR_MAX_WORK_BITS="24",
    )
    with server.client(TRUSTED_PROXY) as client:
        # One challenge for the whole deployment, sent with every token.
        [(scheme, fields)] = parse_auth_header(client.get("/quelvar/token").headers["WWW-Authenticate"])
        assert (scheme.lower(), fields["token-key"]) == ("privatetoken", b64(spki(key)))
        challenge = base64.urlsafe_b64decode(fields["challenge"] + "=" * (-len(fields["challenge"]) % 4))

        def post(authorization):
            headers = {HEADER: client.get("/quelvar/token").json()["token"], "Authorization": authorization}
            answer = client.post(TELEMETRY, content=b"{}", headers=headers)
            return answer.status_code, answer.json().get("error")

        first = issue(key, challenge)
        assert post(first) == (200, None)
        assert post(first) == (409, "replayed_token")  # each privacy token once
        other = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        assert post(issue(other, challenge)) == (403, "work_required")  # an issuer not trusted: work as anyone
