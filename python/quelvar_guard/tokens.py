"""Signed one-time request tokens of two kinds.

The server issues every token: a client cannot make up its own, so replay
protection holds even against a client that would gladly send a fresh token
with every request. `verify` checks the tag, bounds the age, matches the kind
(and, for a bound token, the client's network); only then does the guard's
walk spend the token in the store, so each token is accepted once.

Three kinds: a telemetry token, from the token endpoint, is good only for
posting telemetry; a challenge token, from a challenged post, is good for one
more telemetry post whose work pays for the challenge; guarded tokens are
issued only when telemetry was allowed, a batch at a time (a clearance), each
good for one guarded request. So a client that never sends telemetry, or whose
telemetry is refused, never holds a token a guarded path accepts.

Layout before encoding (60 bytes, URL-safe base64 without padding, 80 chars):

    version (1) | kind (1) | issued at, ms since 1970, big-endian (8)
    | clearance id (12) | route policy (1) | work asked for, bits (1)
    | tokens in the clearance, big-endian (2)
    | index in the clearance, big-endian (2) | signature (16) | placement (16)

The work byte is the difficulty of the token's puzzle (see work.py), signed
with the rest: a client can neither lower it nor move it to another token.
The policy byte names the route policy the token was issued under (0: the
guard's own settings): a guarded token lives as long as its policy says and
is good only on the paths of its policy.

The first 26 bytes are the message: what the tag covers. The index is not in
it, so a clearance of any size costs one HMAC to issue; the check refuses an
index that is not below the signed count. Re-spelling a token's index gives
nothing a client did not already hold: another token of its own clearance,
spent once like every other. For an unbound token the last 32 bytes are
HMAC-SHA256(key, message). A bound token (kind's top bit set) keeps the first
half of that as its signature and takes the second half of
HMAC-SHA256(key, message | network), where network is the client's IPv4 /24
or IPv6 /64, never carried in the token: a genuine token presented from
another network then verifies its signature but not its placement, and is
refused as such rather than as a forgery.

60 bytes encode to exactly 80 base64 characters with no spare bits, so every
accepted token has one spelling: a client cannot re-spell a spent token to
make the store see a new one.
"""

from __future__ import annotations

import binascii
import enum
import hashlib
import hmac
import ipaddress
import secrets as _secrets
import struct
import time
from collections.abc import Callable, Iterable
from typing import Protocol

from .vocabulary import TokenVerdict


class Spender(Protocol):
    """What the tokens ask of a store: its replay window and the spending of a token."""

    nonce_window_seconds: float

    def consume_nonce(self, token: str | bytes) -> bool: ...


__all__ = ["TokenKind", "TokenVerdict", "Tokens", "network_of"]

_VERSION = 4
_MESSAGE = struct.Struct(">BBQ12sBBH")
_STAMP = struct.Struct(">xBQ")  # kind and issue time, read back on every check
_WORK_AT = _MESSAGE.size - 3  # the work byte, just before the count
_POLICY_AT = _WORK_AT - 1
_INDEX = struct.Struct(">H")
_COUNT_AND_INDEX = struct.Struct(">HH")  # the message's last field and the index after it
_CLEARANCE_BYTES = 12
_TAG_BYTES = hashlib.sha256().digest_size
_HALF = _TAG_BYTES // 2
_MESSAGE_BYTES = _MESSAGE.size
_RAW_BYTES = _MESSAGE_BYTES + _INDEX.size + _TAG_BYTES
_TOKEN_CHARS = _RAW_BYTES * 4 // 3
_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
assert _RAW_BYTES % 3 == 0, "a token must encode without padding or spare bits"
# The URL-safe alphabet through binascii: the base64 module's wrappers cost
# more than the coding itself. With no padding, tokens written one after the
# other encode to their texts one after the other: a clearance is coded at once.
_TO_URLSAFE = bytes.maketrans(b"+/", b"-_")
_FROM_URLSAFE = bytes.maketrans(b"-_", b"+/")

_BOUND = 0x80
# The count and index are two bytes each; a clearance is a handful of tokens in one reply.
MAX_CLEARANCE_TOKENS = 1024
assert MAX_CLEARANCE_TOKENS <= 0xFFFF
_INDEXES = [_INDEX.pack(index) for index in range(MAX_CLEARANCE_TOKENS)]

# Shorter keys than the tag length weaken HMAC-SHA256 for nothing.
MIN_SECRET_BYTES = 32

_compare = hmac.compare_digest


class TokenKind(enum.IntEnum):
    """What a token is good for; the value is its byte in the token."""

    TELEMETRY = 1  # one telemetry post
    GUARDED = 2  # one guarded request
    CHALLENGE = 3  # one telemetry post that pays a challenge with its work


# Every kind byte a token may carry, with its kind (plain ints: no enum call per check).
_KIND_OF_BYTE = {kind | bound: kind for kind in TokenKind for bound in (0, _BOUND)}
# The kind a route asks for, of each kind and kind byte: a challenge token is posted as telemetry.
_ROUTE_KIND = {kind: TokenKind.TELEMETRY if kind is TokenKind.CHALLENGE else kind for kind in TokenKind}
_ROUTE_KIND_OF_BYTE = {
    byte: TokenKind.TELEMETRY if kind is TokenKind.CHALLENGE else kind for byte, kind in _KIND_OF_BYTE.items()
}


def network_of(address: str | None) -> bytes:
    """The bytes a bound token mixes in: the /24 of an IPv4 address, the /64
    of an IPv6 one, a marker of its own for a client without an address."""
    if address is None:
        return b"\x00"
    try:
        packed = ipaddress.ip_address(address).packed
    except ValueError:
        return b"\x00"
    return b"\x04" + packed[:3] if len(packed) == 4 else b"\x06" + packed[:8]


class Tokens:
    """Issues and checks tokens; spends them in `store`.

    `secrets`: one or more keys of at least 32 bytes (str is taken as UTF-8).
    The first signs new tokens; all of them verify, so a key is rotated by
    putting the new one first and dropping the old one once the longest
    lifetime has passed.

    A telemetry token is accepted while its age is within [-clock_skew,
    max_age] seconds, a guarded one within [-clock_skew, clearance_seconds].
    The store must remember a spent token for at least that whole span after
    it was spent, so neither lifetime plus `clock_skew` may exceed
    `store.nonce_window_seconds` (ValueError otherwise): a token could
    otherwise outlive the memory of its use and be accepted again.
    """

    def __init__(
        self,
        secrets: Iterable[str | bytes],
        store: Spender,
        *,
        max_age: float = 30.0,
        clearance_seconds: float = 30.0,
        clock_skew: float = 5.0,
        clock: Callable[[], float] = time.time,
        policy_clearance_seconds: Iterable[float] = (),
    ) -> None:
        if isinstance(secrets, (str, bytes, bytearray, memoryview)):
            raise TypeError("secrets must be a sequence of keys such as [key], not a single key")
        keys = []
        for key in secrets:
            # bytes(48) would be 48 zero bytes: only text and byte strings are keys.
            if isinstance(key, str):
                keys.append(key.encode())
            elif isinstance(key, (bytes, bytearray)):
                keys.append(bytes(key))
            else:
                raise TypeError(f"each secret must be str or bytes, not {type(key).__name__}")
        if not keys:
            raise ValueError("at least one secret is needed")
        if any(len(key) < MIN_SECRET_BYTES for key in keys):
            raise ValueError(f"every secret must be at least {MIN_SECRET_BYTES} bytes long")
        if not max_age > 0 or not clearance_seconds > 0 or not clock_skew >= 0:
            raise ValueError("max_age and clearance_seconds must be positive and clock_skew not negative")
        window = float(store.nonce_window_seconds)
        # The guarded tokens' lifetime under each route policy; policy 0 is the guard's own.
        self._clearance_lifetimes = (float(clearance_seconds), *(float(s) for s in policy_clearance_seconds))
        if len(self._clearance_lifetimes) > 256 or not all(s > 0 for s in self._clearance_lifetimes):
            raise ValueError("at most 255 route policies, each clearance lifetime positive")
        for name, lifetime in (("max_age", max_age), ("clearance_seconds", max(self._clearance_lifetimes))):
            if lifetime + clock_skew > window:
                raise ValueError(
                    f"{name} + clock_skew ({lifetime + clock_skew:g} s) exceeds the store's "
                    f"replay window ({window:g} s): a token could be accepted twice"
                )
        # Each key's HMAC state after the key, copied per message rather than
        # derived from the key again every time.
        self._macs = [hmac.new(key, digestmod=hashlib.sha256) for key in keys]
        self.store = store
        self.max_age = float(max_age)
        self.clearance_seconds = float(clearance_seconds)
        self.clock_skew = float(clock_skew)
        # Lifetime by kind byte and policy byte: None for a policy that does not exist.
        self._lifetime_of = {
            (byte, policy): (
                (self._clearance_lifetimes[policy] if policy < len(self._clearance_lifetimes) else None)
                if kind is TokenKind.GUARDED
                else self.max_age
            )
            for byte, kind in _KIND_OF_BYTE.items()
            for policy in range(256)
        }
        self._clock = clock
        # Whether only tokens bound to the presenter's network are accepted (Guard's bind_network).
        self.require_bound = False

    def issue(self, kind: TokenKind, network: bytes | None = None, work_bits: int = 0, policy: int = 0) -> str:
        """One new token of `kind`, bound to `network` (see network_of) if
        given, whose puzzle asks for `work_bits` of work (see work.py), under
        route policy `policy`."""
        if not 0 <= work_bits <= 255:
            raise ValueError("work_bits is a whole number from 0 to 255")
        return self._issue(kind, 1, network, work_bits, policy)[0]

    def issue_clearance(self, count: int, network: bytes | None = None, policy: int = 0) -> tuple[str, ...]:
        """`count` guarded tokens sharing one clearance id and issue time."""
        if not 1 <= count <= MAX_CLEARANCE_TOKENS:
            raise ValueError(f"a clearance holds 1 to {MAX_CLEARANCE_TOKENS} tokens")
        return self._issue(TokenKind.GUARDED, count, network, 0, policy)

    def _issue(
        self, kind: TokenKind, count: int, network: bytes | None, work_bits: int, policy: int
    ) -> tuple[str, ...]:
        if not 0 <= policy < len(self._clearance_lifetimes):
            raise ValueError(f"no route policy {policy}")
        signer = self._macs[0]
        kind_byte = kind if network is None else kind | _BOUND
        message = _MESSAGE.pack(
            _VERSION,
            kind_byte,
            int(self._clock() * 1000),
            _secrets.token_bytes(_CLEARANCE_BYTES),
            policy,
            work_bits,
            count,
        )
        tag = _sign(signer, message)
        if network is not None:
            tag = tag[:_HALF] + _sign(signer, message + network)[_HALF:]
        # One tag for the whole clearance: its tokens differ in their index only,
        # so one after the other they are the indexes joined by tag | message.
        raw = message + (tag + message).join(_INDEXES[:count]) + tag
        text = binascii.b2a_base64(raw, newline=False).translate(_TO_URLSAFE).decode("ascii")
        return tuple([text[start : start + _TOKEN_CHARS] for start in range(0, len(text), _TOKEN_CHARS)])

    def verify(
        self, token: str | bytes | None, kind: TokenKind, address: str | None = None, policy: int | None = None
    ) -> TokenVerdict:
        """Signature, age, kind and placement only; the token is not spent
        (OK means "may be spent"). `address` is the presenting client's, read
        only when the token is bound; `policy`: the route policy a guarded
        token must have been issued under (None: any)."""
        if isinstance(token, str):
            if not token.isascii():
                return TokenVerdict.MALFORMED
            token = token.encode("ascii")
        # Exactly the token's length in the URL-safe alphabet (nothing is left
        # when it is deleted): whole groups, no padding, nothing to refuse.
        if not isinstance(token, bytes) or len(token) != _TOKEN_CHARS or token.translate(None, _ALPHABET):
            return TokenVerdict.MALFORMED
        raw = binascii.a2b_base64(token.translate(_FROM_URLSAFE))
        # Tokens of an earlier layout are not of this format: refused as malformed.
        if raw[0] != _VERSION or raw[1] not in _KIND_OF_BYTE:
            return TokenVerdict.MALFORMED
        message, tag = raw[:_MESSAGE_BYTES], raw[_MESSAGE_BYTES + _INDEX.size :]
        # The count is signed, the index is not: an index past the count is no token of ours.
        count, index = _COUNT_AND_INDEX.unpack_from(raw, _MESSAGE_BYTES - _INDEX.size)
        if index >= count:
            return TokenVerdict.MALFORMED
        # Every key is tried, so the time taken does not tell which one matched.
        signed = placed = False
        if raw[1] & _BOUND:
            placement = message + network_of(address)
            for mac in self._macs:
                signed |= _compare(_sign(mac, message)[:_HALF], tag[:_HALF])
                placed |= _compare(_sign(mac, placement)[_HALF:], tag[_HALF:])
        else:
            for keyed in self._macs:  # _sign, inline on the path every request takes
                mac = keyed.copy()
                mac.update(message)
                signed |= _compare(mac.digest(), tag)
            placed = signed
        if not signed:
            return TokenVerdict.BAD_SIGNATURE
        kind_byte, issued_ms = _STAMP.unpack_from(message)
        lifetime = self._lifetime_of[kind_byte, message[_POLICY_AT]]
        if lifetime is None:
            return TokenVerdict.MALFORMED  # signed under a policy this guard no longer has
        age = self._clock() - issued_ms / 1000
        if not -self.clock_skew <= age <= lifetime:
            return TokenVerdict.EXPIRED
        if _ROUTE_KIND_OF_BYTE[kind_byte] is not _ROUTE_KIND[kind]:
            return TokenVerdict.WRONG_KIND
        if policy is not None and message[_POLICY_AT] != policy:
            return TokenVerdict.WRONG_KIND  # a clearance of another route's policy
        # Where binding is asked for, a token that is bound to no network
        # (issued before it was, or by a service sharing the keys) is no better
        # than one bound elsewhere.
        if not placed or (self.require_bound and not kind_byte & _BOUND):
            return TokenVerdict.WRONG_NETWORK
        return TokenVerdict.OK

    @staticmethod
    def issued_at(token: str) -> float:
        """When a token `verify` accepted was issued (time.time())."""
        raw = binascii.a2b_base64(token.encode("ascii").translate(_FROM_URLSAFE))
        issued_ms: int = _STAMP.unpack_from(raw)[1]
        return issued_ms / 1000

    @staticmethod
    def puzzle(token: str) -> tuple[TokenKind, int, int]:
        """The kind, the work bits and the route policy of a token `verify` accepted."""
        raw = binascii.a2b_base64(token.encode("ascii").translate(_FROM_URLSAFE))
        return _KIND_OF_BYTE[raw[1]], raw[_WORK_AT], raw[_POLICY_AT]

    def check(self, token: str | bytes | None, kind: TokenKind, address: str | None = None) -> TokenVerdict:
        """Verifies the token and spends it: OK at most once per token."""
        verdict = self.verify(token, kind, address)
        if verdict is TokenVerdict.OK and not self.store.consume_nonce(_text(token)):
            return TokenVerdict.REPLAYED
        return verdict


def _sign(keyed: hmac.HMAC, message: bytes) -> bytes:
    mac = keyed.copy()
    mac.update(message)
    return mac.digest()


def _text(token: str | bytes | None) -> str:
    # Only reached for a verified token, which is plain ASCII.
    assert token is not None
    return token if isinstance(token, str) else token.decode("ascii")
