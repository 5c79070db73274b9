"""Privacy tokens of type 0x0002: the published vectors (read from shared/),
and tokens from an issuer run here, spent once through a store."""

from __future__ import annotations

import base64
import hashlib
import os
import re
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from privacy_tokens import b64, issue, spki
from quelvar_guard import LocalStore
from quelvar_guard.attestation import Attestation, Issuer, parse_auth_header, token_challenge


def _vectors() -> Path | None:
    """The published vectors: shared/privacypass beside the project (or above it)."""
    for parent in Path(__file__).resolve().parents:
        if (parent / "shared" / "privacypass").is_dir():
            return parent / "shared" / "privacypass"
    return None


VECTORS = _vectors()
if VECTORS is None:
    pytest.skip("the published vectors (shared/privacypass beside the project) are not here", allow_module_level=True)


def blocks(name: str) -> list[dict[str, str]]:
    """`key: value` lines, a value going on over the lines after it, in blocks apart."""
    assert VECTORS is not None
    out: list[dict[str, str]] = [{}]
    for line in (VECTORS / name).read_text().splitlines():
        if not line.strip() or line.startswith("//"):
            out.append({}) if out[-1] else None
        elif field := re.match(r"([A-Za-z][\w-]*):\s?(.*)$", line):
            out[-1][key := field.group(1)] = field.group(2).strip()
        else:
            out[-1][key] += line.rstrip() if key == "WWW-Authenticate" else line.strip()
    return [block for block in out if block]


ISSUANCE, AUTH = blocks("issuance-blind-rsa-vectors.txt"), blocks("auth-scheme-vectors.txt")
HEADERS = [(fields, nxt["WWW-Authenticate"]) for fields, nxt in zip(AUTH, AUTH[1:], strict=False) if "WWW-" in str(nxt)]
PKS, TOKEN = bytes.fromhex(ISSUANCE[0]["pkS"]), bytes.fromhex(ISSUANCE[0]["token"])
assert len(ISSUANCE) == 5 and len({v["token_challenge"] for v in ISSUANCE}) == 5 and len(HEADERS) == 3


@pytest.fixture(scope="module")
def own_key() -> rsa.RSAPrivateKey:
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


@pytest.mark.parametrize("index", range(5))
@pytest.mark.parametrize("change", ["none", "challenge", "key", "authenticator", "nonce", "type", "cut", "longer"])
def test_issuance_vectors(index: int, change: str, own_key: rsa.RSAPrivateKey) -> None:
    vector = ISSUANCE[index]
    token, challenge = bytes.fromhex(vector["token"]), bytes.fromhex(vector["token_challenge"])
    flip = {"authenticator": 200, "nonce": 5, "type": 1}.get(change)
    token = token[:flip] + bytes([token[flip] ^ 1]) + token[flip + 1 :] if flip else token
    token = {"cut": token[:-1], "longer": token + b"\0"}.get(change, token)
    challenge = bytes.fromhex(ISSUANCE[(index + 1) % 5]["token_challenge"]) if change == "challenge" else challenge
    key = spki(own_key) if change == "key" else bytes.fromhex(vector["pkS"])
    nonce = Attestation([Issuer("issuer.example", key)], "o").verify(f'PrivateToken token="{b64(token)}"', challenge)
    assert nonce == (bytes.fromhex(vector["nonce"]) if change == "none" else None)


@pytest.mark.parametrize("vector", [block for block in AUTH if block.get("token_type") == "0002"])
def test_auth_scheme_key_id_and_challenge_digest(vector: dict[str, str]) -> None:
    names = [bytes.fromhex(vector[field]) for field in ("issuer_name", "redemption_context", "origin_info")]
    expected = bytes.fromhex(vector["token_authenticator_input"])
    assert expected[34:66] == hashlib.sha256(token_challenge(names[0].decode(), names[1], names[2].decode())).digest()
    pem = b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(PKS) + b"-----END PUBLIC KEY-----\n"
    assert expected[66:] == bytes.fromhex(vector["token_key_id"]) == Issuer("issuer.example", pem).key_id


@pytest.mark.parametrize("fields, header", HEADERS)
def test_challenge_header_vectors(fields: dict[str, str], header: str) -> None:
    offered = [params for scheme, params in parse_auth_header(header) or [] if scheme == "privatetoken"]
    assert len(offered) == len([key for key in fields if key.startswith("token-challenge-")])
    for n, params in enumerate(offered):
        assert base64.urlsafe_b64decode(params["challenge"]).hex() == fields[f"token-challenge-{n}"]
        assert base64.urlsafe_b64decode(params["token-key"] + "==").hex() == fields[f"token-key-{n}"]
        assert params.get("max-age") == fields.get(f"max-age-{n}")
    raw = bytes.fromhex(fields["token-challenge-0"])
    if raw[:2] == b"\x00\x02":
        ours_raw, ours = Attestation([Issuer("issuer.example", PKS)], "origin.example", 10).challenge(raw[19:51])
        ((_, params),) = parse_auth_header(ours) or []
        assert ours_raw == raw and params == {key: offered[0][key] for key in ("challenge", "token-key", "max-age")}


@pytest.mark.parametrize(
    "header",
    [None, "", "PrivateToken", 'PrivateToken token="{}', 'Bearer token="{}"', 'PrivateToken token="{}", token="{}"',
     'PrivateToken token="{}", PrivateToken token="{}"', "PrivateToken {}", 'PrivateToken token="{}" x',
     'PrivateToken token="{}===="', 'PrivateToken token="{}\x01"', 'PrivateToken token="{}é"', "PrivateToken token={}="]
    + [f"{good}#" for good in ('PrivateToken token="{}"', "privatetoken Token = {}", '  PRIVATETOKEN a="\\"", token="\\{}" ,')],
)  # fmt: skip
def test_authorization_header(header: str | None) -> None:
    text = None if header is None else header.rstrip("#").replace("{}", b64(TOKEN))
    nonce = Attestation([Issuer("issuer.example", PKS)], "o").verify(
        text, bytes.fromhex(ISSUANCE[0]["token_challenge"])
    )
    assert nonce == (TOKEN[2:34] if header and header.endswith("#") else None)


def test_own_issuer_tokens_are_good_once(own_key: rsa.RSAPrivateKey) -> None:
    ours, theirs = Issuer("ours.example", spki(own_key, serialization.Encoding.PEM)), Issuer("issuer.example", PKS)
    attestation = Attestation([theirs, ours], "site.example")
    raws, header = attestation.challenges()
    assert [params["challenge"] for _, params in parse_auth_header(header) or []] == [b64(raw) for raw in raws]
    token, store = issue(own_key, raws[1]), LocalStore()
    nonce = attestation.verify_any(token, raws)
    assert nonce is not None and store.consume_nonce(nonce.hex())
    # Verifying is stateless; the store refuses the replay.
    assert attestation.verify(token, raws[1]) == nonce and not store.consume_nonce(nonce.hex())
    # A signed token of another type; our key answering the other issuer's challenge; a per-request context.
    assert attestation.verify(issue(own_key, raws[1], b"\x00\x01"), raws[1]) is None
    assert attestation.verify(issue(own_key, raws[0]), raws[0]) is None
    first, second = (Attestation([ours], "site.example").challenge(os.urandom(32))[0] for _ in range(2))
    assert attestation.verify_any(issue(own_key, first), [second, raws[1]]) is None
    assert attestation.verify_any(issue(own_key, first), [second, first]) is not None


@pytest.mark.parametrize(
    "issuer, count, context",
    [(b"small", 1, b""), (b"-----BEGIN PUBLIC KEY-----\nnot base64!\n-----END PUBLIC KEY-----\n", 1, b""),
     (PKS[:-1], 1, b""), (PKS, 2, b""), (PKS, 0, b""), (PKS, 1, b"x" * 16)],
)  # fmt: skip
def test_refused_settings(issuer: bytes, count: int, context: bytes) -> None:
    with pytest.raises(ValueError):
        if issuer == b"small":
            issuer = spki(rsa.generate_private_key(public_exponent=65537, key_size=1024))
        Attestation([Issuer(f"i{n}", issuer) for n in range(count)], "site.example").challenge(context)


def test_without_cryptography_the_extra_is_named(monkeypatch: pytest.MonkeyPatch) -> None:
    issuer = Issuer("issuer.example", PKS)
    monkeypatch.setitem(sys.modules, "cryptography", None)
    with pytest.raises(ImportError, match=re.escape('pip install "quelvar_core_rs[attestation]"')):
        Attestation([issuer], "site.example")
