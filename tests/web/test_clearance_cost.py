"""What a clearance costs a client, through real servers and a real Redis:
work that cannot be skipped or spent twice, evidence that cannot be left
out for free, budgets per network, and bans that grow for repeat offenders."""

from __future__ import annotations

import io
import json
import random
import threading

import pytest

from quelvar_guard import Decision, Guard, LocalStore, TokenKind, Tokens, WSGIGuard
from quelvar_guard.decision import RequestHead, run
from quelvar_guard.networks import Admission
from quelvar_guard.work import WORK_HEADER, solve
from servers import TRUSTED_PROXY, make_store
from web_client import HEADER, HUMAN, TELEMETRY

SERVERS = [("gunicorn", "examples.web_wsgi:app"), ("uvicorn", "examples.web_asgi:app")]
BROWSER = {"webdriver": False, "screen_width": 1920, "screen_height": 1080}
# Bodies with nothing to judge: what a bot that skips the page sends.
EVIDENCE_FREE = [
    b"{}",
    b"null",
    b"[]",
    json.dumps({"mouse_movements": [], "keystrokes": []}).encode(),
    json.dumps({"mouse_movements": [{"x": i, "y": i, "t": 16 * i} for i in range(3)]}).encode(),
    json.dumps({"browser": BROWSER}).encode(),
]


def _ticket(client, address):
    answer = client.get("/quelvar/token", headers={"X-Forwarded-For": address})
    assert answer.status_code == 200, answer.text
    return answer.json()


def _post(client, address, body, token, work):
    headers = {"X-Forwarded-For": address, HEADER: token, "Content-Type": "application/json"}
    if work is not None:
        headers[WORK_HEADER] = work
    return client.post(TELEMETRY, content=body, headers=headers)


@pytest.mark.parametrize("kind, module", SERVERS)
def test_no_guarded_token_without_work_and_evidence_only_through_a_paid_challenge(kind, module, serve):
    server = serve(kind, module, QUELVAR_WORK_BITS="8", QUELVAR_CHALLENGE_WORK_BITS="2")
    rng = random.Random(7)
    with server.client(TRUSTED_PROXY) as client:
        # 1,000 tries to skip the work: no answer, a made-up one, another token's.
        other = _ticket(client, "198.18.0.1")["token"]
        guesses = [None, "0.0.0.0", lambda: ".".join(str(rng.randrange(10**6)) for _ in range(4)), solve(other, 8)]
        cleared = 0
        for attempt in range(1000):
            address = f"198.18.0.{attempt % 200 + 1}"
            token = _ticket(client, address)["token"]
            guess = guesses[attempt % len(guesses)]
            answer = _post(
                client,
                address,
                EVIDENCE_FREE[attempt % len(EVIDENCE_FREE)] if attempt % 2 else HUMAN,
                token,
                guess() if callable(guess) else guess,
            )
            assert answer.status_code == 403 and answer.json()["error"] == "work_required", answer.text
            cleared += len(answer.json().get("tokens", ()))
        assert cleared == 0
        # Work done but no evidence: a challenge whose own token asks more;
        # that work paid, the same empty body clears.
        for body in EVIDENCE_FREE:
            ticket = _ticket(client, "198.18.0.240")
            challenged = _post(client, "198.18.0.240", body, ticket["token"], solve(ticket["token"], ticket["work"]))
            refusal = challenged.json()
            assert (challenged.status_code, refusal["error"], refusal["reasons"]) == (403, "challenge", ["no_evidence"])
            assert refusal["work"] >= ticket["work"] + 2
            paid = _post(client, "198.18.0.240", body, refusal["token"], solve(refusal["token"], refusal["work"]))
            assert paid.status_code == 200 and len(paid.json()["tokens"]) == 10, paid.text


@pytest.mark.parametrize("kind, module", SERVERS)
def test_one_solved_puzzle_clears_once_however_many_post_it_at_once(kind, module, serve):
    server = serve(kind, module, QUELVAR_WORK_BITS="6")
    with server.client(TRUSTED_PROXY) as client:
        for _ in range(10):
            ticket = _ticket(client, "198.18.0.50")
            work = solve(ticket["token"], ticket["work"])
            start, answers = threading.Barrier(4), []

            def post_it(token, work, start, answers):
                with server.client(TRUSTED_PROXY) as own:
                    start.wait(10)
                    answers.append(_post(own, "198.18.0.50", HUMAN, token, work).status_code)

            arguments = (ticket["token"], work, start, answers)
            threads = [threading.Thread(target=post_it, args=arguments) for _ in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(30)
            assert sorted(answers) == [200, 409, 409, 409]


# Two addresses of one /24 or /48 and one of another; the servers share one
# Redis, so each has networks of its own.
NETWORKS = {
    ("gunicorn", 4): ("203.0.113.1", "203.0.113.200", "203.0.114.1"),
    ("uvicorn", 4): ("203.0.112.1", "203.0.112.200", "203.0.111.1"),
    ("gunicorn", 6): ("2001:db8:5:1::1", "2001:db8:5:ff::1", "2001:db8:6::1"),
    ("uvicorn", 6): ("2001:db8:15:1::1", "2001:db8:15:ff::1", "2001:db8:16::1"),
}


@pytest.mark.parametrize("kind, module", SERVERS)
@pytest.mark.parametrize("version", [4, 6])
def test_a_network_pays_more_work_past_its_budget_then_is_refused(kind, module, version, serve):
    # Budgets of one /24 and one /48: three tokens at once, barely refilled;
    # past them two more bits per doubling of the debt, up to 6 bits.
    server = serve(
        kind,
        module,
        QUELVAR_NETWORK_BUDGETS="4/24:0.001:3 6/48:0.001:3",
        QUELVAR_WORK_BITS="2",
        QUELVAR_MAX_WORK_BITS="6",
    )
    first, second, stranger = NETWORKS[kind, version]
    with server.client(TRUSTED_PROXY) as client:
        bits = []
        for attempt in range(13):
            answer = client.get("/quelvar/token", headers={"X-Forwarded-For": (first, second)[attempt % 2]})
            if answer.status_code != 200:
                break
            bits.append(answer.json()["work"])
        assert bits == [2, 2, 2, 4, 4, 4, 6, 6, 6, 6, 6, 6]
        assert answer.status_code == 429 and int(answer.headers["Retry-After"]) >= 1
        assert _ticket(client, stranger)["work"] == 2  # another network is untouched


def test_bans_grow_for_a_repeat_offender_and_levels_match_across_stores(request, prefix):
    make_store("local", request, prefix)
    guard = Guard(LocalStore(), ["b" * 32], decide=lambda features: Decision.ban(60), max_ban_seconds=1000)
    tokens = Tokens(["b" * 32], guard.store)
    lengths = []
    for _ in range(6):
        answer = WSGIGuard(None, guard)._answer({"wsgi.input": io.BytesIO(HUMAN)})
        guard.store.unban("192.0.2.77")
        headers = {"x-quelvar-token": tokens.issue(TokenKind.TELEMETRY), "content-length": str(len(HUMAN))}
        head = RequestHead("POST", TELEMETRY, "192.0.2.77", headers.get)
        lengths.append(run(guard.walk(head, guard.route(TELEMETRY)), answer).payload["retry_after"])
    assert lengths == [60, 120, 240, 480, 960, 1000]
    # The same takes and raises give the same answers in-process and in Redis.
    buckets = [("{n}a", 0.0001, 2), ("{n}b", 0.0001, 5)]
    answers = {}
    for kind in ("local", "redis"):
        store = make_store(kind, request, prefix)
        answers[kind] = [store.admit(buckets, ["{n}a", "{n}b"], 2.0, 1e6) for _ in range(5)]
        answers[kind].append(Admission(0.0, 0.0, store.escalate(["{n}a"], 2.5, 1e6, "{n}o", 60.0)[0]))
        answers[kind].append(store.admit(buckets, ["{n}a", "{n}b"], 2.0, 1e6))
    for local, shared in zip(answers["local"], answers["redis"], strict=True):
        assert (local.wait > 0, round(local.owed, 2), round(local.level, 2)) == (
            shared.wait > 0,
            round(shared.owed, 2),
            round(shared.level, 2),
        )
    assert [a.wait > 0 for a in answers["redis"]] == [False, False, False, False, True, False, True]


def _line(points, off=(), pause_every=0):
    """An evenly stepped straight line, some points moved off it, pauses cutting it into moves."""
    moves, t = [], 0
    for i in range(points):
        t += 200 if pause_every and i and i % pause_every == 0 else 16
        moves.append({"x": 100 + 3 * i, "y": off[i] if i in off else 200 + 2 * i, "t": t})
    return json.dumps({"mouse_movements": moves, "browser": BROWSER}).encode()


@pytest.mark.parametrize("kind, module", SERVERS)
def test_a_line_with_stray_points_or_cut_short_is_refused_through_the_server(kind, module, serve):
    server = serve(kind, module)
    bodies = {
        "one point 50 px off": _line(300, {150: 550}),
        "a non-finite point": _line(300, {150: -1e308}),
        "cut into 19-point moves": _line(300, pause_every=19),
    }
    with server.client(TRUSTED_PROXY) as client:
        for number, (name, body) in enumerate(bodies.items()):
            address = f"198.18.{2 if kind == 'gunicorn' else 3}.{number + 1}"
            ticket = _ticket(client, address)
            answer = _post(client, address, body, ticket["token"], solve(ticket["token"], ticket["work"]))
            assert (answer.status_code, answer.json()["error"]) == (403, "refused"), (name, answer.text)
