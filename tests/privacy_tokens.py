"""A privacy-token issuer and client in one, for the tests: the finalized
blind signature of type 0x0002 is a plain RSASSA-PSS signature over the
token's input, so signing that input with the issuer's key makes a token."""

from __future__ import annotations

import base64
import hashlib
import os

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode()


def spki(key: rsa.RSAPrivateKey, form: serialization.Encoding = serialization.Encoding.DER) -> bytes:
    return key.public_key().public_bytes(form, serialization.PublicFormat.SubjectPublicKeyInfo)


def issue(key: rsa.RSAPrivateKey, challenge: bytes, kind: bytes = b"\x00\x02") -> str:
    """An Authorization header redeeming a token of `key` for `challenge`."""
    head = kind + os.urandom(32) + hashlib.sha256(challenge).digest() + hashlib.sha256(spki(key)).digest()
    pss = padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48)
    return f'PrivateToken token="{b64(head + key.sign(head, pss, hashes.SHA384()))}"'
