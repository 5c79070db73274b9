"""Signed one-time request tokens.

The server issues every token: a client cannot make up its own, so replay
protection holds even against a client that would gladly send a fresh token
with every request. A token carries its issue time, random bytes and an
HMAC-SHA256 tag over both; a check verifies the tag, bounds the age and only
then spends the token in the store, so each token is accepted once.

Layout before encoding (57 bytes, URL-safe base64 without padding, 76 chars):

    version (1) | issued at, ms since 1970, big-endian (8) | random (16) | tag (32)

57 bytes encode to exactly 76 base64 characters with no spare bits, so every
accepted token has one spelling: a client cannot re-spell a spent token to
make the store see a new one.
"""

from __future__ import annotations

import base64
import binascii
import enum
import hashlib
import hmac
import re
import secrets as _secrets
import struct
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from . import Store

__all__ = ["TokenVerdict", "Tokens"]

_VERSION = 1
_HEAD = struct.Struct(">BQ")
_RANDOM_BYTES = 16
_TAG_BYTES = hashlib.sha256().digest_size
_RAW_BYTES = _HEAD.size + _RANDOM_BYTES + _TAG_BYTES
_TOKEN_CHARS = _RAW_BYTES * 4 // 3
_TOKEN_SHAPE = re.compile(rb"[A-Za-z0-9_-]{%d}" % _TOKEN_CHARS)
assert _RAW_BYTES % 3 == 0, "a token must encode without padding or spare bits"

# Shorter keys than the tag length weaken HMAC-SHA256 for nothing.
MIN_SECRET_BYTES = 32


class TokenVerdict(enum.Enum):
    """Why a token was accepted or refused."""

    OK = "ok"
    MALFORMED = "malformed"          # not a token of this format at all
    BAD_SIGNATURE = "bad_signature"  # well formed, but no configured secret signed it
    EXPIRED = "expired"              # older than max_age, or issued too far in the future
    REPLAYED = "replayed"            # genuine and fresh, but already spent


class Tokens:
    """Issues and checks tokens; spends them in `store`.

    `secrets`: one or more keys of at least 32 bytes (str is taken as UTF-8).
    The first signs new tokens; all of them verify, so a key is rotated by
    putting the new one first and dropping the old one after `max_age`.

    A token is accepted while its age is within [-clock_skew, max_age]
    seconds. The store must remember a spent token for at least that whole
    span after it was spent, so `max_age + clock_skew` may not exceed
    `store.nonce_window_seconds` (ValueError otherwise): a token could
    otherwise outlive the memory of its use and be accepted again.
    """

    def __init__(
        self,
        secrets: Sequence[str | bytes],
        store: Store,
        *,
        max_age: float = 30.0,
        clock_skew: float = 5.0,
        clock: Callable[[], float] = time.time,
    ) -> None:
        if isinstance(secrets, (str, bytes)):
            raise TypeError("secrets must be a sequence of keys, not a single key")
        keys = [key.encode() if isinstance(key, str) else bytes(key) for key in secrets]
        if not keys:
            raise ValueError("at least one secret is needed")
        if any(len(key) < MIN_SECRET_BYTES for key in keys):
            raise ValueError(f"every secret must be at least {MIN_SECRET_BYTES} bytes long")
        if not max_age > 0 or not clock_skew >= 0:
            raise ValueError("max_age must be positive and clock_skew not negative")
        window = float(store.nonce_window_seconds)
        if max_age + clock_skew > window:
            raise ValueError(
                f"max_age + clock_skew ({max_age + clock_skew:g} s) exceeds the store's "
                f"replay window ({window:g} s): a token could be accepted twice"
            )
        self._keys = keys
        self.store = store
        self.max_age = float(max_age)
        self.clock_skew = float(clock_skew)
        self._clock = clock

    def issue(self) -> str:
        """A new token, signed with the first secret."""
        head = _HEAD.pack(_VERSION, int(self._clock() * 1000))
        message = head + _secrets.token_bytes(_RANDOM_BYTES)
        tag = hmac.new(self._keys[0], message, hashlib.sha256).digest()
        return base64.urlsafe_b64encode(message + tag).decode("ascii")

    def verify(self, token: str | bytes | None) -> TokenVerdict:
        """Signature and age only; the token is not spent (OK means "may be spent")."""
        raw = _decode(token)
        if raw is None:
            return TokenVerdict.MALFORMED
        message, tag = raw[:-_TAG_BYTES], raw[-_TAG_BYTES:]
        # Every key is tried, so the time taken does not tell which one matched.
        signed = False
        for key in self._keys:
            signed |= hmac.compare_digest(hmac.new(key, message, hashlib.sha256).digest(), tag)
        if not signed:
            return TokenVerdict.BAD_SIGNATURE
        _, issued_ms = _HEAD.unpack_from(message)
        age = self._clock() - issued_ms / 1000
        if not -self.clock_skew <= age <= self.max_age:
            return TokenVerdict.EXPIRED
        return TokenVerdict.OK

    def check(self, token: str | bytes | None) -> TokenVerdict:
        """Verifies the token and spends it: OK at most once per token."""
        verdict = self.verify(token)
        if verdict is TokenVerdict.OK and not self.store.consume_nonce(_text(token)):
            return TokenVerdict.REPLAYED
        return verdict

    async def check_async(self, token: str | bytes | None) -> TokenVerdict:
        """`check` for an event loop: the store's round trip is awaited."""
        verdict = self.verify(token)
        if verdict is TokenVerdict.OK and not await self.store.consume_nonce_async(_text(token)):
            return TokenVerdict.REPLAYED
        return verdict


def _text(token: str | bytes | None) -> str:
    # Only reached for a verified token, which is plain ASCII.
    assert token is not None
    return token if isinstance(token, str) else token.decode("ascii")


def _decode(token: str | bytes | None) -> bytes | None:
    if isinstance(token, str):
        try:
            token = token.encode("ascii")
        except UnicodeEncodeError:
            return None
    if not isinstance(token, bytes) or not _TOKEN_SHAPE.fullmatch(token):
        return None
    try:
        raw = base64.urlsafe_b64decode(token)
    except (binascii.Error, ValueError):
        return None
    return raw if raw[0] == _VERSION else None
