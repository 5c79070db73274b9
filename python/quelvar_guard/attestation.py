"""Privacy tokens as evidence: the HTTP "PrivateToken" authentication scheme
(RFC 9577) with publicly verifiable tokens of type 0x0002 (RFC 9578: blind
RSA, 2048-bit keys, RSASSA-PSS with SHA-384, MGF1-SHA-384, 48-byte salt).

The origin's side only. The origin names the issuers it trusts (their
published keys), sends a challenge in `WWW-Authenticate`, and the client
fetches a token from its issuer elsewhere and redeems it in
`Authorization: PrivateToken token="..."`. A valid token is evidence that
lets the client clear without pointer movement and without work.

A token is good once: verify() returns its 32-byte nonce and the caller
spends it across the fleet through its store, `store.consume_nonce(...)` on
`nonce.hex()`; a false answer there is a replay.

Which challenge the request walk should use: one fixed per deployment, with
an empty redemption context and origin_info the site's host,
`Attestation(issuers, origin=host).challenge()`. It is the same bytes on
every worker and host, so any of them verifies a token without shared state,
and the spent nonce is what stops a replay. A per-request redemption context
(32 random bytes) ties a token to one challenge but makes the caller remember
which challenges it sent (verify_any over those still open).
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import re
from collections.abc import Iterable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from cryptography.hazmat.primitives.asymmetric.rsa import RSAPublicKey

__all__ = ["Attestation", "Issuer", "parse_auth_header", "token_challenge"]

TOKEN_TYPE = 0x0002
_TYPE_BYTES = TOKEN_TYPE.to_bytes(2, "big")
_NONCE = 32
_DIGEST = 32
_KEY_ID = 32
_AUTHENTICATOR = 256  # 2048-bit RSA
_INPUT = 2 + _NONCE + _DIGEST + _KEY_ID
TOKEN_SIZE = _INPUT + _AUTHENTICATOR
_SCHEME = "privatetoken"
_EXTRA = 'privacy tokens need cryptography: pip install "quelvar_core_rs[attestation]"'

# RFC 9110: token, quoted-string (qdtext and quoted-pair), token68.
_TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
_QUOTED = re.compile(r'"((?:[\t !#-\[\]-~\x80-\xff]|\\[\t -~\x80-\xff])*)"')
_TOKEN68 = re.compile(r"[A-Za-z0-9._~+/-]+=*(?=[ \t]*(?:,|$))")
_PARAM_START = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+[ \t]*=")
_UNQUOTE = re.compile(r"\\(.)")
_B64URL = re.compile(r"[A-Za-z0-9_-]*")


def _crypto_missing() -> ImportError | None:
    try:
        import cryptography  # noqa: F401
    except ImportError:
        return ImportError(_EXTRA)
    return None


def _b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode("ascii")


def _unb64url(text: str) -> bytes | None:
    """base64url with or without padding; anything else is None."""
    body = text.rstrip("=")
    pad = len(text) - len(body)
    if not _B64URL.fullmatch(body) or len(body) % 4 == 1 or pad not in (0, -len(body) % 4):
        return None
    try:
        return base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
    except (binascii.Error, ValueError):
        return None


def _short(text: str, size: int, what: str) -> bytes:
    try:
        raw = text.encode("ascii")
    except UnicodeEncodeError:
        raise ValueError(f"{what} must be ASCII: {text!r}") from None
    if len(raw) >= 1 << (8 * size):
        raise ValueError(f"{what} is too long: {len(raw)} bytes")
    return len(raw).to_bytes(size, "big") + raw


def token_challenge(issuer_name: str, redemption_context: bytes = b"", origin_info: str = "") -> bytes:
    """The TokenChallenge struct for token type 0x0002: issuer_name and
    origin_info with 2-byte lengths, redemption_context (0 or 32 bytes) with
    a 1-byte length."""
    if len(redemption_context) not in (0, 32):
        raise ValueError(f"a redemption context is 0 or 32 bytes, not {len(redemption_context)}")
    return (
        _TYPE_BYTES
        + _short(issuer_name, 2, "issuer name")
        + bytes([len(redemption_context)])
        + bytes(redemption_context)
        + _short(origin_info, 2, "origin info")
    )


def _ows(value: str, at: int) -> int:
    while at < len(value) and value[at] in " \t":
        at += 1
    return at


def parse_auth_header(value: str) -> list[tuple[str, dict[str, str]]] | None:
    """Challenges or credentials of an HTTP authentication header (RFC 9110):
    [(scheme in lower case, {param name in lower case: value})], a token68
    under the name "". Schemes and names are case-insensitive, spaces around
    "=" and empty list elements are tolerated, values are tokens or quoted
    strings. None for anything malformed, a repeated parameter included."""
    if not isinstance(value, str):
        return None
    out: list[tuple[str, dict[str, str]]] = []
    n = len(value)
    pos = 0

    def skip_commas(at: int) -> int:
        while True:
            at = _ows(value, at)
            if at < n and value[at] == ",":
                at += 1
                continue
            return at

    pos = skip_commas(pos)
    while pos < n:
        scheme = _TOKEN.match(value, pos)
        if scheme is None:
            return None
        pos = scheme.end()
        params: dict[str, str] = {}
        spaces = _ows(value, pos)
        if spaces > pos and spaces < n and value[spaces] != ",":
            pos = spaces
            token68 = _TOKEN68.match(value, pos)
            if token68 is not None:
                params[""] = token68.group()
                pos = token68.end()
            else:
                while True:
                    name = _TOKEN.match(value, pos)
                    if name is None:
                        return None
                    pos = _ows(value, name.end())
                    if pos >= n or value[pos] != "=":
                        return None
                    pos = _ows(value, pos + 1)
                    quoted = _QUOTED.match(value, pos)
                    if quoted is not None:
                        text = _UNQUOTE.sub(r"\1", quoted.group(1))
                        pos = quoted.end()
                    else:
                        bare = _TOKEN.match(value, pos)
                        if bare is None:
                            return None
                        text = bare.group()
                        pos = bare.end()
                    key = name.group().lower()
                    if key in params:
                        return None
                    params[key] = text
                    pos = _ows(value, pos)
                    if pos >= n:
                        break
                    if value[pos] != ",":
                        return None
                    after = skip_commas(pos)
                    if after >= n or not _PARAM_START.match(value, after):
                        break  # the list ends or another scheme starts
                    pos = after
        else:
            pos = spaces
        out.append((scheme.group().lower(), params))
        if pos < n and value[pos] != ",":
            return None
        pos = skip_commas(pos)
    return out


class Issuer:
    """An issuer the operator trusts: its name and its published key (pkS,
    an RSASSA-PSS SubjectPublicKeyInfo, DER or PEM). key_id is SHA-256 of the
    DER as published, which is how a token names the key it was signed by."""

    __slots__ = ("name", "public_key", "key_id", "_key")

    def __init__(self, name: str, public_key: bytes) -> None:
        missing = _crypto_missing()
        if missing is not None:
            raise missing
        from cryptography.hazmat.primitives.asymmetric.rsa import RSAPublicKey
        from cryptography.hazmat.primitives.serialization import load_der_public_key

        _short(name, 2, "issuer name")
        if not name:
            raise ValueError("an issuer needs a name")
        der = _pem_body(bytes(public_key))
        try:
            key = load_der_public_key(der)
        except (ValueError, TypeError) as error:
            raise ValueError(f"issuer {name!r}: not a public key: {error}") from None
        if not isinstance(key, RSAPublicKey) or key.key_size != 8 * _AUTHENTICATOR:
            raise ValueError(f"issuer {name!r}: token type 0x0002 needs a 2048-bit RSA key")
        self.name = name
        self.public_key = der
        self.key_id = hashlib.sha256(der).digest()
        self._key: RSAPublicKey = key

    def __repr__(self) -> str:
        return f"Issuer({self.name!r}, key_id={self.key_id.hex()[:16]}...)"


def _pem_body(data: bytes) -> bytes:
    # The key id hashes the DER as published; re-encoding could change it.
    if not data.lstrip().startswith(b"-----BEGIN"):
        return data
    lines = [line.strip() for line in data.strip().splitlines()]
    if len(lines) < 2 or not lines[-1].startswith(b"-----END"):
        raise ValueError("malformed PEM public key")
    try:
        return base64.b64decode(b"".join(lines[1:-1]), validate=True)
    except binascii.Error:
        raise ValueError("malformed PEM public key") from None


def issuer_from(text: str) -> Issuer:
    """An issuer from "name=path", the path of its published key (DER or PEM)."""
    name, _, path = text.partition("=")
    if not name.strip() or not path.strip():
        raise ValueError(f"{text!r} is not name=path of the issuer's key")
    with open(path.strip(), "rb") as key:
        return Issuer(name.strip(), key.read())


class Attestation:
    """Sends challenges for the named issuers and verifies redeemed tokens."""

    def __init__(self, issuers: Iterable[Issuer], origin: str, max_age: int = 60) -> None:
        missing = _crypto_missing()
        if missing is not None:
            raise missing
        self.issuers = tuple(issuers)
        if not self.issuers:
            raise ValueError("attestation needs at least one issuer")
        if len({issuer.key_id for issuer in self.issuers}) != len(self.issuers):
            raise ValueError("two issuers share a key")
        _short(origin, 2, "origin")
        if isinstance(max_age, bool) or not isinstance(max_age, int) or max_age <= 0:
            raise ValueError(f"max_age must be a positive number of seconds, not {max_age!r}")
        self.origin = origin
        self.max_age = max_age

    def _entry(self, issuer: Issuer, redemption_context: bytes) -> tuple[bytes, str]:
        raw = token_challenge(issuer.name, redemption_context, self.origin)
        header = (
            f'PrivateToken challenge="{_b64url(raw)}", token-key="{_b64url(issuer.public_key)}", max-age={self.max_age}'
        )
        return raw, header

    def challenge(self, redemption_context: bytes = b"") -> tuple[bytes, str]:
        """The first issuer's challenge: its raw bytes (what verify() checks
        against) and the WWW-Authenticate value."""
        return self._entry(self.issuers[0], redemption_context)

    def challenges(self, redemption_context: bytes = b"") -> tuple[tuple[bytes, ...], str]:
        """One challenge per issuer: their raw bytes in issuer order and one
        WWW-Authenticate value with all of them, comma separated."""
        entries = [self._entry(issuer, redemption_context) for issuer in self.issuers]
        return tuple(raw for raw, _ in entries), ", ".join(header for _, header in entries)

    def verify(self, authorization: str | None, challenge: bytes) -> bytes | None:
        """The token's nonce (32 bytes) if `authorization` carries a valid
        token for `challenge` from a named issuer, else None. Never raises on
        client input."""
        return self.verify_any(authorization, (challenge,))

    def verify_any(self, authorization: str | None, challenges: Iterable[bytes]) -> bytes | None:
        """verify() against any of the challenges the caller has sent."""
        token = _credential(authorization)
        if token is None:
            return None
        sent = [(hashlib.sha256(raw).digest(), _issuer_name(raw)) for raw in map(bytes, challenges)]
        return self._check(token, sent)

    def _check(self, token: bytes, sent: list[tuple[bytes, bytes | None]]) -> bytes | None:
        from cryptography.exceptions import InvalidSignature
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import padding

        nonce = token[2 : 2 + _NONCE]
        digest = token[2 + _NONCE : 2 + _NONCE + _DIGEST]
        key_id = token[_INPUT - _KEY_ID : _INPUT]
        # Every check runs whatever the others found: the answer alone tells.
        ok = hmac.compare_digest(token[:2], _TYPE_BYTES)
        issuer = self.issuers[0]
        known = False
        for candidate in self.issuers:
            if hmac.compare_digest(candidate.key_id, key_id):
                issuer, known = candidate, True
        # The key must be one of the issuer the answered challenge names.
        name = issuer.name.encode("ascii")
        matched = False
        for sent_digest, sent_name in sent:
            matched |= hmac.compare_digest(digest, sent_digest) & (sent_name == name)
        try:
            issuer._key.verify(
                token[_INPUT:],
                token[:_INPUT],
                padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48),
                hashes.SHA384(),
            )
            signed = True
        except (InvalidSignature, ValueError):
            signed = False
        return bytes(nonce) if ok and matched and known and signed else None


def _issuer_name(challenge: bytes) -> bytes | None:
    size = int.from_bytes(challenge[2:4], "big")
    return challenge[4 : 4 + size] if len(challenge) >= 4 + size else None


def _credential(authorization: str | None) -> bytes | None:
    """The token bytes of `PrivateToken token="..."`, or None."""
    if authorization is None:
        return None
    parsed = parse_auth_header(authorization)
    if parsed is None or len(parsed) != 1:
        return None
    scheme, params = parsed[0]
    value = params.get("token")
    if scheme != _SCHEME or value is None:
        return None
    token = _unb64url(value)
    if token is None or len(token) != TOKEN_SIZE:
        return None
    return token
