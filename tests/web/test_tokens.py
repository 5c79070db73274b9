"""Signed one-time tokens against the real native store."""

from __future__ import annotations

import base64
import time

import pytest

from quelvar_guard import LocalStore, Tokens, TokenVerdict

KEY, OLD_KEY, OTHER_KEY = "a" * 32, "b" * 32, "c" * 32
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


@pytest.fixture
def store():
    store = LocalStore()
    store.clear()
    yield store
    store.clear()


def at(store, age=0.0, keys=(KEY,), **options):
    return Tokens(list(keys), store, clock=lambda: time.time() - age, **options)


def test_a_token_is_accepted_once(store):
    tokens = at(store)
    token = tokens.issue()
    assert len(token) == 76 and set(token) <= set(ALPHABET)
    assert [tokens.check(token), tokens.check(token), tokens.check(token.encode())] == [
        TokenVerdict.OK, TokenVerdict.REPLAYED, TokenVerdict.REPLAYED]


def test_no_single_character_change_is_accepted(store):
    # Every other spelling at every position: none may pass as a token, so a
    # spent token cannot be re-spelt into a fresh one.
    tokens = at(store)
    token = tokens.issue()
    verdicts = {tokens.verify(token[:i] + c + token[i + 1:])
                for i in range(len(token)) for c in ALPHABET if c != token[i]}
    assert TokenVerdict.OK not in verdicts


@pytest.mark.parametrize("issued_by, age, verdict", [
    ((OLD_KEY,), 0, TokenVerdict.OK),                 # rotation: an old key still verifies
    ((OTHER_KEY,), 0, TokenVerdict.BAD_SIGNATURE),
    ((KEY,), 29, TokenVerdict.OK),
    ((KEY,), 31, TokenVerdict.EXPIRED),
    ((KEY,), -4, TokenVerdict.OK),                    # within the clock skew
    ((KEY,), -6, TokenVerdict.EXPIRED),               # from the future
])
def test_signature_and_age(store, issued_by, age, verdict):
    checker = at(store, keys=(KEY, OLD_KEY))
    assert checker.check(at(store, age, issued_by).issue()) is verdict


def test_the_first_key_signs(store):
    token = at(store, keys=(KEY, OLD_KEY)).issue()
    assert at(store, keys=(KEY,)).verify(token) is TokenVerdict.OK
    assert at(store, keys=(OLD_KEY,)).verify(token) is TokenVerdict.BAD_SIGNATURE


def _reencoded(token: str, first_byte: int) -> str:
    raw = bytearray(base64.urlsafe_b64decode(token))
    raw[0] = first_byte
    return base64.urlsafe_b64encode(bytes(raw)).decode()


@pytest.mark.parametrize("mangle", [
    lambda t: t[:-1], lambda t: t + "A", lambda t: t[:-2] + "==", lambda t: t.replace(t[5], "+"),
    lambda t: t[:10] + "\u00e9" + t[11:], lambda t: t + "\n", lambda t: " " + t[1:],
    lambda t: _reencoded(t, 2), lambda t: "", lambda t: None, lambda t: 12345,
], ids=["short", "long", "padding", "plus", "non-ascii", "newline", "space", "version", "empty", "none", "int"])
def test_malformed(store, mangle):
    tokens = at(store)
    assert tokens.check(mangle(tokens.issue())) is TokenVerdict.MALFORMED


@pytest.mark.parametrize("keys, options, message", [
    ([KEY], {"max_age": 60}, "replay window"),
    ([KEY], {"max_age": 56, "clock_skew": 5}, "replay window"),
    (["short"], {}, "at least 32 bytes"),
    ([], {}, "at least one secret"),
    ([KEY], {"max_age": 0}, "positive"),
])
def test_refused_configurations(store, keys, options, message):
    with pytest.raises(ValueError, match=message):
        Tokens(keys, store, **options)
    with pytest.raises(TypeError):
        Tokens(KEY, store)
