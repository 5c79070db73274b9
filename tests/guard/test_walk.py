"""Guard.walk driven directly, without a server, through every row of its
table: under the in-process store (spent and budgeted inside the walk) and
under Redis (handed to the adapter as needs), the same replies, headers and
decision record."""

from __future__ import annotations

import io
import logging
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quelvar_guard import Decision, Guard, LocalStore, TokenKind, Tokens, WSGIGuard
from quelvar_guard.asgi import guard_head, request_head, wanted_headers
from quelvar_guard.decision import ReadBody, RequestHead, Screened, run
from quelvar_guard.record import DEFAULT_BURST, DEFAULT_RATE, RECORD
from quelvar_guard.tokens import network_of
from servers import ROOT, free_port, make_store

SECRET, OTHER = "walk-secret-" + "k" * 32, "other-secret-" + "k" * 32
HUMAN = (ROOT / "examples" / "sessions" / "human.json").read_bytes()
PEER = "198.51.100.20"
TELEMETRY, GUARDED = TokenKind.TELEMETRY, TokenKind.GUARDED


def walk(guard, method, path, token=None, body=None, length=None, slow=False):
    """One request through the walk, its needs answered by the WSGI adapter's own dispatch."""
    headers = {} if token is None else {"x-quelvar-token": token}
    if length is not None or body is not None:
        headers["content-length"] = str(len(body)) if length is None else length
    answer = WSGIGuard(None, guard)._answer({"wsgi.input": io.BytesIO(body or b"")})

    def slow_answer(need):
        if slow and isinstance(need, ReadBody):
            raise TimeoutError
        return answer(need)

    return run(guard.walk(RequestHead(method, path, PEER, headers.get), guard.route(path)), slow_answer)


def signed(kind, age=0.0, secret=SECRET, network=None):
    return lambda guard: Tokens([secret], guard.store, clock=lambda: time.time() - age).issue(kind, network)


def post(make, body=HUMAN, path="/quelvar/telemetry", **options):
    return lambda guard: walk(guard, "POST", path, make(guard), body, **options)


def get(make=None, path="/api/x"):
    return lambda guard: walk(guard, "GET", path, make and make(guard))


def twice(request):
    def both(guard):
        request(guard)
        return request(guard)

    return both


def banned_first(guard):
    guard.store.ban(PEER, 60)
    return get(signed(GUARDED))(guard)


def replayed(guard):
    token = signed(GUARDED)(guard)
    walk(guard, "GET", "/api/x", token)
    # Spent in the store itself, whichever way the walk spent it.
    assert guard.tokens.check(token, GUARDED, PEER).value == "replayed"
    return walk(guard, "GET", "/api/x", token)


# (status, code or None when let through, Retry-After, the guard's options, the request)
ROWS = {
    "banned": (403, "banned", "60", {}, banned_first),
    "too_many_tokens": (
        429,
        "too_many_tokens",
        "1",
        {"mint_burst": 1, "work_bits": 0, "max_work_bits": 0},  # no work left to ask past the burst
        twice(get(path="/quelvar/token")),
    ),
    "missing_token": (400, "missing_token", None, {}, get()),
    "malformed_token": (400, "malformed_token", None, {}, get(lambda guard: "x" * 80)),
    "bad_signature": (403, "bad_signature", None, {}, get(signed(GUARDED, secret=OTHER))),
    "expired_token": (401, "expired_token", None, {}, get(signed(GUARDED, age=120))),
    "wrong_token_kind": (403, "wrong_token_kind", None, {}, get(signed(TELEMETRY))),
    "wrong_network": (
        403,
        "wrong_network",
        None,
        {"bind_network": True},
        get(signed(GUARDED, network=network_of("203.0.113.9"))),
    ),
    "replayed_token": (409, "replayed_token", None, {}, replayed),
    "method_not_allowed_token": (405, "method_not_allowed", None, {}, post(lambda guard: None, path="/quelvar/token")),
    "method_not_allowed_telemetry": (
        405,
        "method_not_allowed",
        None,
        {},
        get(signed(TELEMETRY), path="/quelvar/telemetry"),
    ),
    "length_required": (411, "length_required", None, {}, post(signed(TELEMETRY), body=None)),
    "bad_content_length": (400, "bad_content_length", None, {}, post(signed(TELEMETRY), length="1e3")),
    "body_too_large": (413, "body_too_large", None, {"max_body": 100}, post(signed(TELEMETRY))),
    "incomplete_body": (400, "incomplete_body", None, {}, post(signed(TELEMETRY), length=str(len(HUMAN) + 1))),
    "body_timeout": (408, "body_timeout", None, {}, post(signed(TELEMETRY), slow=True)),
    "malformed_telemetry": (400, "malformed_telemetry", None, {}, post(signed(TELEMETRY), body=b"{")),
    "challenge": (
        403,
        "challenge",
        "5",
        {"decide": lambda f: Decision.challenge(5, reasons=["x"])},
        post(signed(TELEMETRY)),
    ),
    "refused": (403, "refused", None, {"decide": lambda f: Decision.refuse(reasons=["x"])}, post(signed(TELEMETRY))),
    "refused_with_ban": (403, "refused", "60", {"decide": lambda f: Decision.ban(60)}, post(signed(TELEMETRY))),
    "store_unavailable_spend": (503, "store_unavailable", None, {}, get(signed(GUARDED))),
    "store_unavailable_budget": (503, "store_unavailable", None, {}, get(path="/quelvar/token")),
    "guarded": (200, None, None, {}, get(signed(GUARDED))),
    "telemetry": (200, None, None, {}, post(signed(TELEMETRY))),
}


# Each row under both stores; the store's outage under a strict Redis store that cannot be reached.
CASES = [
    (row, kind)
    for row in ROWS
    for kind in (("unreachable",) if row.startswith("store_unavailable") else ("local", "redis"))
]


@pytest.mark.parametrize("row, kind", CASES)
def test_every_row_of_the_table(row, kind, request, prefix, caplog):
    status, code, retry_after, options, send = ROWS[row]
    if kind == "unreachable":
        store = make_store(
            "redis", request, prefix, url=f"redis://127.0.0.1:{free_port()}/0", on_unavailable="strict", timeout=0.1
        )
    else:
        store = make_store(kind, request, prefix)
    guard = Guard(store, [SECRET], **options)
    RECORD.limit(DEFAULT_RATE, DEFAULT_BURST)
    caplog.set_level(logging.INFO, logger="quelvar_guard")
    outcome = send(guard)
    events = [record.reason for record in caplog.records if getattr(record, "address", None) == PEER]
    if code is None:
        assert isinstance(outcome, Screened) and (outcome.address, outcome.verdict.value) == (PEER, "ok")
        assert events == [] and len(outcome.tokens) == (10 if row == "telemetry" else 0)
        return
    headers = dict(outcome.all_headers())
    assert (outcome.status, outcome.payload["error"], headers.get("Retry-After")) == (status, code, retry_after)
    assert outcome.status_line.startswith(str(status)) and headers["Content-Length"] == str(len(outcome.body()))
    assert events == [code]
    assert guard.store.is_banned(PEER) is (row in ("banned", "refused_with_ban"))


@given(
    st.lists(
        st.tuples(
            st.sampled_from(
                [
                    b"x-quelvar-token",
                    b"X-Quelvar-Token",
                    b"forwarded",
                    b"FORWARDED",
                    b"x-forwarded-for",
                    b"content-length",
                    b"Content-Length",
                    b"host",
                    b"1",
                ]
            ),
            st.binary(max_size=4),
        ),
        max_size=8,
    )
)
def test_the_asgi_head_reads_the_walks_headers_as_the_whole_head_does(pairs):
    # Only the walk's headers are read, passing over the rest: the same values,
    # whatever the case of the names and however many lines each has.
    guard = Guard(LocalStore(), [SECRET])
    scope = {"type": "http", "headers": pairs}
    every, wanted = request_head(scope), guard_head(scope, wanted_headers(guard))
    assert [wanted.header(name) for name in guard.header_names] == [every.header(name) for name in guard.header_names]
