"""Proof of work: what a telemetry post costs its client, priced by the server.

The puzzle is the telemetry token itself: the token carries, under its
signature, the number of bits of work asked for, so the difficulty can be
neither forged nor lowered, the puzzle expires with the token and is spent
with it, once across every worker (the token's nonce). The client answers
with PARTS nonces, one per part, in the work header:

    X-Quelvar-Work: n0.n1.n2.n3

where part i holds when SHA-256(token "." i "." n_i) begins with
`bits - PART_SHIFT` zero bits. Four parts rather than one puzzle of `bits`
cost the same on average, but the time a visitor waits spreads half as wide
(a sum of four geometric draws, not one). Checking costs the server four
hashes of one block each, always all four, whatever the answer.

The token's first 64 characters fill SHA-256's first block, so a solver hashes
that block once and only the tail (at most 55 bytes: one block) per try.
"""

from __future__ import annotations

import hashlib
import re

__all__ = ["MAX_BITS", "PARTS", "PART_SHIFT", "WORK_HEADER", "check", "expected_hashes", "solve"]

WORK_HEADER = "X-Quelvar-Work"
PARTS = 4
PART_SHIFT = 2  # log2(PARTS): the bits each part is spared
assert 1 << PART_SHIFT == PARTS
# Past 32 bits per part the first four bytes of a digest no longer say it.
MAX_BITS = 32 + PART_SHIFT
# Each nonce a whole number below 10^15 (an IEEE double counts that high
# exactly, so a page's solver in JavaScript never rounds one).
_NONCE = r"(?:0|[1-9][0-9]{0,14})"
_ANSWER = re.compile(_NONCE + r"(?:\." + _NONCE + "){" + str(PARTS - 1) + "}")
_PREFIXES = tuple(f".{part}.".encode() for part in range(PARTS))


def expected_hashes(bits: int) -> float:
    """The hashes a solver tries on average for `bits` of work."""
    return float(PARTS << max(0, bits - PART_SHIFT)) if bits > 0 else 0.0


def check(token: bytes, answer: str | None, bits: int) -> bool:
    """Whether `answer` (the work header) solves the puzzle of `token` at
    `bits`; any answer does at 0 bits. Every part is hashed whatever the
    others gave, so the time does not tell which failed."""
    if bits <= 0:
        return True
    if answer is None or not _ANSWER.fullmatch(answer):
        return False
    shift = 32 - max(0, bits - PART_SHIFT)
    head = hashlib.sha256(token)
    failed = 0
    for prefix, nonce in zip(_PREFIXES, answer.split("."), strict=True):
        digest = head.copy()
        digest.update(prefix + nonce.encode())
        failed |= int.from_bytes(digest.digest()[:4], "big") >> shift
    return failed == 0


def solve(token: str | bytes, bits: int) -> str:
    """The work header's value for `token` at `bits`: the reference solver
    (plain Python, about a microsecond a hash; a client in C is some ten
    times faster, a page's JavaScript a few times slower)."""
    raw = token.encode("ascii") if isinstance(token, str) else token
    if bits <= 0:
        return ".".join(["0"] * PARTS)
    shift = 32 - max(0, bits - PART_SHIFT)
    head = hashlib.sha256(raw)
    nonces = []
    for prefix in _PREFIXES:
        start = head.copy()
        start.update(prefix)
        nonce = 0
        while True:
            digest = start.copy()
            digest.update(str(nonce).encode())
            if int.from_bytes(digest.digest()[:4], "big") >> shift == 0:
                break
            nonce += 1
        nonces.append(str(nonce))
    return ".".join(nonces)
