"""Privacy tokens of type 0x0002: the published vectors (read from shared/),
and tokens from an issuer run here, spent once through a store."""

from __future__ import annotations

import base64
import hashlib
import os
import re
import sys
from collections.abc import Callable
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from quelvar_guard import LocalStore
from quelvar_guard.attestation import Attestation, Issuer, parse_auth_header, token_challenge

VECTORS = Path(__file__).resolve().parents[3] / "shared" / "privacypass"
PSS = padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48)


def blocks(name: str) -> list[dict[str, str]]:
    """Each block of `key: value` lines; a value goes on over the lines after it."""
    out: list[dict[str, str]] = []
    current: dict[str, str] = {}
    key = ""
    for line in (VECTORS / name).read_text().splitlines() + [""]:
        field = re.match(r"([A-Za-z][\w-]*):\s?(.*)$", line)
        if not line.strip() or line.startswith("//"):
            if current:
                out.append(current)
            current = {}
        elif field:
            key = field.group(1)
            current[key] = field.group(2).strip()
        else:
            current[key] += line.rstrip() if key == "WWW-Authenticate" else line.strip()
    return out


ISSUANCE = blocks("issuance-blind-rsa-vectors.txt")
AUTH = blocks("auth-scheme-vectors.txt")
TYPE2 = [block for block in AUTH if block.get("token_type") == "0002"]
HEADERS = [
    (fields, block["WWW-Authenticate"])
    for fields, block in zip(AUTH, AUTH[1:], strict=False)
    if "WWW-Authenticate" in block
]
PKS = bytes.fromhex(ISSUANCE[0]["pkS"])


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode()


def credential(token: bytes) -> str:
    return f'PrivateToken token="{b64(token)}"'


@pytest.fixture(scope="module")
def own_key() -> rsa.RSAPrivateKey:
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def spki(key: rsa.RSAPrivateKey, encoding: serialization.Encoding = serialization.Encoding.DER) -> bytes:
    return key.public_key().public_bytes(encoding, serialization.PublicFormat.SubjectPublicKeyInfo)


def issue(key: rsa.RSAPrivateKey, challenge: bytes, nonce: bytes | None = None) -> bytes:
    """The issuer and client together: the finalized blind signature is a
    plain PSS signature over the token input."""
    nonce = os.urandom(32) if nonce is None else nonce
    head = b"\x00\x02" + nonce + hashlib.sha256(challenge).digest() + hashlib.sha256(spki(key)).digest()
    return head + key.sign(head, PSS, hashes.SHA384())


def test_the_vectors_sets_are_all_read() -> None:
    assert len(ISSUANCE) == 5 and len(TYPE2) == 5 and len(HEADERS) == 3
    assert len({v["token_challenge"] for v in ISSUANCE}) == 5


def _flip(token: bytes, at: int) -> bytes:
    return token[:at] + bytes([token[at] ^ 1]) + token[at + 1 :]


@pytest.mark.parametrize("index", range(5))
@pytest.mark.parametrize(
    "change",
    ["none", "other challenge", "other key", "authenticator bit", "nonce bit", "token type", "truncated", "padded"],
)
def test_issuance_vectors(index: int, change: str, own_key: rsa.RSAPrivateKey) -> None:
    vector = ISSUANCE[index]
    token, challenge = bytes.fromhex(vector["token"]), bytes.fromhex(vector["token_challenge"])
    issuers = [Issuer("issuer.example", bytes.fromhex(vector["pkS"]))]
    if change == "other challenge":
        challenge = bytes.fromhex(ISSUANCE[(index + 1) % 5]["token_challenge"])
    elif change == "other key":
        issuers = [Issuer("issuer.example", spki(own_key))]
    elif change == "authenticator bit":
        token = _flip(token, len(token) - 100)
    elif change == "nonce bit":
        token = _flip(token, 5)
    elif change == "token type":
        token = b"\x00\x01" + token[2:]
    elif change == "truncated":
        token = token[:-1]
    elif change == "padded":
        token = token + b"\x00"
    nonce = Attestation(issuers, "origin.example").verify(credential(token), challenge)
    assert nonce == (bytes.fromhex(vector["nonce"]) if change == "none" else None)


@pytest.mark.parametrize("vector", TYPE2, ids=lambda v: f"context{len(v['redemption_context'])}-{v['origin_info']}")
def test_auth_scheme_key_id_and_challenge_digest(vector: dict[str, str]) -> None:
    built = token_challenge(
        bytes.fromhex(vector["issuer_name"]).decode(),
        bytes.fromhex(vector["redemption_context"]),
        bytes.fromhex(vector["origin_info"]).decode(),
    )
    expected = bytes.fromhex(vector["token_authenticator_input"])
    assert expected[:2] == b"\x00\x02" and expected[2:34] == bytes.fromhex(vector["nonce"])
    assert expected[34:66] == hashlib.sha256(built).digest()
    pem = b"-----BEGIN PUBLIC KEY-----\n" + base64.encodebytes(PKS) + b"-----END PUBLIC KEY-----\n"
    assert expected[66:] == bytes.fromhex(vector["token_key_id"]) == Issuer("issuer.example", pem).key_id


@pytest.mark.parametrize("fields, header", HEADERS, ids=["one", "two-types", "grease"])
def test_challenge_header_vectors(fields: dict[str, str], header: str) -> None:
    parsed = parse_auth_header(header)
    assert parsed is not None
    offered = [params for scheme, params in parsed if scheme == "privatetoken"]
    assert len(offered) == sum(1 for key in fields if key.startswith("token-challenge-"))
    for n, params in enumerate(offered):
        assert base64.urlsafe_b64decode(params["challenge"]) == bytes.fromhex(fields[f"token-challenge-{n}"])
        assert base64.urlsafe_b64decode(params["token-key"] + "==") == bytes.fromhex(fields[f"token-key-{n}"])
        assert params.get("max-age") == fields.get(f"max-age-{n}")
    if fields["token-type-0"] == "0x0002":
        raw = bytes.fromhex(fields["token-challenge-0"])
        context = raw[2 + 2 + len("issuer.example") + 1 :][:32]
        ours_raw, ours = Attestation([Issuer("issuer.example", PKS)], "origin.example", 10).challenge(context)
        assert ours_raw == raw
        ((_, params),) = parse_auth_header(ours) or []
        assert params == {key: offered[0][key] for key in ("challenge", "token-key")} | {"max-age": "10"}


TOKEN = bytes.fromhex(ISSUANCE[0]["token"])
TEXT = b64(TOKEN)


@pytest.mark.parametrize(
    "header, accepted",
    [
        (f'PrivateToken token="{TEXT}"', True),
        (f"privatetoken Token = {TEXT}", True),
        (f'  PRIVATETOKEN token="{TEXT}" ,  extra="x\\"y"', True),
        (f'PrivateToken extra=1, token="{TEXT}"', True),
        (None, False),
        ("", False),
        ("PrivateToken", False),
        (f'PrivateToken token="{TEXT}', False),
        (f'Bearer token="{TEXT}"', False),
        (f'PrivateToken token="{TEXT}", token="{TEXT}"', False),
        (f'PrivateToken token="{TEXT}", PrivateToken token="{TEXT}"', False),
        (f"PrivateToken {TEXT}", False),
        (f'PrivateToken token="{TEXT}" x', False),
        (f'PrivateToken token="{TEXT}===="', False),
        (f'PrivateToken token="{TEXT.replace("-", "+").replace("_", "/")}"', False),
        (f'PrivateToken token="{TEXT[:100]}\x01{TEXT[101:]}"', False),
        (f'PrivateToken token="{TEXT[:-1]}é"', False),
        (f'PrivateToken token="{TEXT[:-2]}"', False),
    ],
)
def test_authorization_header(header: str | None, accepted: bool) -> None:
    attestation = Attestation([Issuer("issuer.example", PKS)], "origin.example")
    nonce = attestation.verify(header, bytes.fromhex(ISSUANCE[0]["token_challenge"]))
    assert nonce == (TOKEN[2:34] if accepted else None)


def test_own_issuer_tokens_are_good_once(own_key: rsa.RSAPrivateKey) -> None:
    ours, theirs = Issuer("ours.example", spki(own_key, serialization.Encoding.PEM)), Issuer("issuer.example", PKS)
    assert ours.key_id == hashlib.sha256(spki(own_key)).digest()
    attestation = Attestation([theirs, ours], "site.example")
    raws, header = attestation.challenges()
    assert [params["challenge"] for _, params in parse_auth_header(header) or []] == [b64(raw) for raw in raws]
    token = issue(own_key, raws[1])
    store = LocalStore()
    nonce = attestation.verify_any(credential(token), raws)
    assert nonce is not None and store.consume_nonce(nonce.hex())
    # Verifying is stateless; the store refuses the replay.
    assert attestation.verify(credential(token), raws[1]) == nonce and not store.consume_nonce(nonce.hex())
    # Our key answering the other issuer's challenge, and a per-request context answered for another.
    assert attestation.verify(credential(issue(own_key, raws[0])), raws[0]) is None
    first, second = (Attestation([ours], "site.example").challenge(os.urandom(32))[0] for _ in range(2))
    assert attestation.verify_any(credential(issue(own_key, first)), [second, raws[1]]) is None
    assert attestation.verify_any(credential(issue(own_key, first)), [second, first]) is not None


@pytest.mark.parametrize(
    "make",
    [
        lambda: Issuer("small", spki(rsa.generate_private_key(public_exponent=65537, key_size=1024))),
        lambda: Issuer(
            "curve",
            ec.generate_private_key(ec.SECP256R1())
            .public_key()
            .public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo),
        ),
        lambda: Issuer("garbage", PKS[:-1]),
        lambda: Issuer("pem", b"-----BEGIN PUBLIC KEY-----\nnot base64!\n-----END PUBLIC KEY-----\n"),
        lambda: Issuer("", PKS),
        lambda: Attestation([], "site.example"),
        lambda: Attestation([Issuer("a", PKS), Issuer("b", PKS)], "site.example"),
        lambda: Attestation([Issuer("a", PKS)], "site.example", max_age=0),
        lambda: Attestation([Issuer("a", PKS)], "site.example").challenge(b"x" * 16),
    ],
    ids=["1024-bit", "ec", "truncated-der", "bad-pem", "no-name", "no-issuer", "shared-key", "max-age", "context"],
)
def test_refused_settings(make: Callable[[], object]) -> None:
    with pytest.raises(ValueError):
        make()


def test_without_cryptography_the_extra_is_named(monkeypatch: pytest.MonkeyPatch) -> None:
    issuer = Issuer("issuer.example", PKS)
    monkeypatch.setitem(sys.modules, "cryptography", None)
    with pytest.raises(ImportError, match=re.escape('pip install "quelvar_core_rs[attestation]"')):
        Attestation([issuer], "site.example")
