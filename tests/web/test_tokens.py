"""Signed one-time tokens of both kinds against the real native store."""

from __future__ import annotations

import base64
import hmac
import ipaddress
import os
import random
import struct
import time

import pytest

from quelvar_guard import Guard, LocalStore, TokenKind, Tokens, TokenVerdict
from quelvar_guard.tokens import network_of

KEY, OLD_KEY, OTHER_KEY = "a" * 32, "b" * 32, "c" * 32
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
TELEMETRY, GUARDED = TokenKind.TELEMETRY, TokenKind.GUARDED


@pytest.fixture
def store():
    store = LocalStore()
    store.clear()
    yield store
    store.clear()


def at(store, age=0.0, keys=(KEY,), **options):
    return Tokens(list(keys), store, clock=lambda: time.time() - age, **options)


@pytest.mark.parametrize("kind", list(TokenKind))
def test_a_token_is_accepted_once_and_for_its_kind_only(store, kind):
    tokens = at(store)
    token = tokens.issue(kind)
    other = TELEMETRY if kind is GUARDED else GUARDED
    assert len(token) == 80 and set(token) <= set(ALPHABET)
    # The kind is judged before the token is spent: a wrong use does not use it up.
    assert [
        tokens.check(token, other),
        tokens.check(token, kind),
        tokens.check(token, kind),
        tokens.check(token.encode(), kind),
    ] == [TokenVerdict.WRONG_KIND, TokenVerdict.OK, TokenVerdict.REPLAYED, TokenVerdict.REPLAYED]


def _with_index(token: str, index: int) -> str:
    raw = bytearray(base64.urlsafe_b64decode(token))
    raw[26:28] = index.to_bytes(2, "big")
    return base64.urlsafe_b64encode(bytes(raw)).decode()


def test_a_clearance_is_distinct_tokens(store):
    tokens = at(store)
    batch = tokens.issue_clearance(50)
    assert len(set(batch)) == 50
    # The index is outside the tag: re-spelt, a token becomes another of its own
    # clearance, and past the clearance's count it is no token at all.
    assert [_with_index(batch[0], index) for index in range(50)] == list(batch)
    assert {tokens.verify(_with_index(batch[0], index), GUARDED) for index in (50, 51, 0xFFFF)} == {
        TokenVerdict.MALFORMED
    }
    assert {tokens.check(token, GUARDED) for token in batch} == {TokenVerdict.OK}
    for count in (0, 1025):
        with pytest.raises(ValueError):
            tokens.issue_clearance(count)


@pytest.mark.parametrize("network", [None, network_of("192.0.2.1")], ids=["unbound", "bound"])
def test_no_single_character_change_is_accepted(store, network):
    # Every other spelling at every position: none may pass as a token, so a
    # spent token cannot be re-spelt into a fresh one.
    tokens = at(store)
    token = tokens.issue(GUARDED, network)
    verdicts = {
        tokens.verify(token[:i] + c + token[i + 1 :], GUARDED, "192.0.2.1")
        for i in range(len(token))
        for c in ALPHABET
        if c != token[i]
    }
    assert TokenVerdict.OK not in verdicts


@pytest.mark.parametrize(
    "issued_by, kind, age, verdict",
    [
        ((OLD_KEY,), GUARDED, 0, TokenVerdict.OK),  # rotation: an old key still verifies
        ((OTHER_KEY,), GUARDED, 0, TokenVerdict.BAD_SIGNATURE),
        ((KEY,), TELEMETRY, 29, TokenVerdict.OK),
        ((KEY,), TELEMETRY, 31, TokenVerdict.EXPIRED),
        ((KEY,), GUARDED, 19, TokenVerdict.OK),  # each kind its own lifetime
        ((KEY,), GUARDED, 21, TokenVerdict.EXPIRED),
        ((KEY,), GUARDED, -4, TokenVerdict.OK),  # within the clock skew
        ((KEY,), TELEMETRY, -6, TokenVerdict.EXPIRED),  # from the future
    ],
)
def test_signature_and_age(store, issued_by, kind, age, verdict):
    checker = at(store, keys=(KEY, OLD_KEY), clearance_seconds=20)
    assert checker.check(at(store, age, issued_by).issue(kind), kind) is verdict


def test_the_first_key_signs(store):
    token = at(store, keys=(KEY, OLD_KEY)).issue(GUARDED)
    assert at(store, keys=(KEY,)).verify(token, GUARDED) is TokenVerdict.OK
    assert at(store, keys=(OLD_KEY,)).verify(token, GUARDED) is TokenVerdict.BAD_SIGNATURE


def _random_address(rng):
    # Few networks, so that many pairs share one.
    if rng.random() < 0.5:
        return f"10.{rng.randrange(2)}.{rng.randrange(2)}.{rng.randrange(256)}"
    return f"2001:db8:0:{rng.randrange(2)}:{rng.randrange(2):x}::{rng.randrange(65536):x}"


def _same_network(a, b):
    if a is None or b is None:
        return a is b
    a, b = ipaddress.ip_address(a), ipaddress.ip_address(b)
    bits = 24 if a.version == 4 else 64
    return a.version == b.version and (
        ipaddress.ip_network(f"{a}/{bits}", strict=False) == ipaddress.ip_network(f"{b}/{bits}", strict=False)
    )


def test_a_bound_token_holds_in_its_network_only(store):
    # Against ipaddress's own networks: a bound token verifies exactly where the
    # presenter shares the issuer's /24 or /64; an unbound one anywhere.
    rng = random.Random(20240611)
    checker = at(store, keys=(KEY, OLD_KEY))
    issuers = [at(store, keys=(KEY,)), at(store, keys=(OLD_KEY,))]
    outcomes = set()
    for _ in range(400):
        home = None if rng.random() < 0.05 else _random_address(rng)
        there = None if rng.random() < 0.05 else _random_address(rng)
        issuer = rng.choice(issuers)
        same = _same_network(home, there)
        outcomes.add(same)
        assert checker.verify(issuer.issue(GUARDED, network_of(home)), GUARDED, there) is (
            TokenVerdict.OK if same else TokenVerdict.WRONG_NETWORK
        ), (home, there)
        assert checker.verify(issuer.issue(GUARDED), GUARDED, there) is TokenVerdict.OK
    assert outcomes == {True, False}


def _reencoded(token: str, index: int, value: int) -> str:
    raw = bytearray(base64.urlsafe_b64decode(token))
    raw[index] = value
    return base64.urlsafe_b64encode(bytes(raw)).decode()


def _first_layout() -> str:
    # A genuinely signed token of the earlier layout: version 1, issue time, 16 random bytes, tag.
    message = struct.pack(">BQ", 1, int(time.time() * 1000)) + os.urandom(16)
    return base64.urlsafe_b64encode(message + hmac.digest(KEY.encode(), message, "sha256")).decode()


@pytest.mark.parametrize(
    "mangle",
    [
        lambda t: t[:-1],
        lambda t: t + "A",
        lambda t: t[:-2] + "==",
        lambda t: t.replace(t[5], "+"),
        lambda t: t[:10] + "\u00e9" + t[11:],
        lambda t: t + "\n",
        lambda t: " " + t[1:],
        lambda t: _reencoded(t, 0, 1),
        lambda t: _reencoded(t, 1, 4),
        lambda t: _first_layout(),
        lambda t: "",
        lambda t: None,
        lambda t: 12345,
    ],
    ids=[
        "short",
        "long",
        "padding",
        "plus",
        "non-ascii",
        "newline",
        "space",
        "old-version",
        "unknown-kind",
        "first-layout",
        "empty",
        "none",
        "int",
    ],
)
def test_malformed(store, mangle):
    tokens = at(store)
    assert tokens.check(mangle(tokens.issue(GUARDED)), GUARDED) is TokenVerdict.MALFORMED


@pytest.mark.parametrize(
    "keys, options, message",
    [
        ([KEY], {"max_age": 60}, "replay window"),
        ([KEY], {"max_age": 56, "clock_skew": 5}, "replay window"),
        ([KEY], {"clearance_seconds": 56, "clock_skew": 5}, "replay window"),
        (["short"], {}, "at least 32 bytes"),
        ([], {}, "at least one secret"),
        ([KEY], {"max_age": 0}, "positive"),
        ([KEY], {"clearance_seconds": 0}, "positive"),
    ],
)
def test_refused_configurations(store, keys, options, message):
    with pytest.raises(ValueError, match=message):
        Tokens(keys, store, **options)


@pytest.mark.parametrize(
    "secrets",
    [KEY, KEY.encode(), bytearray(KEY.encode()), [48], [KEY, None]],
    ids=["str", "bytes", "bytearray", "int-key", "none-key"],
)
def test_a_single_key_or_a_non_key_is_refused_not_signed_with(store, secrets):
    # bytes(48) would be a key of 48 zero bytes that anyone can sign with.
    with pytest.raises(TypeError, match="sequence of keys|str or bytes"):
        Guard(store, secrets)
