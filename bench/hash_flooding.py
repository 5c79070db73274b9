"""Hash flooding: fresh tokens chosen to collide against fresh random ones.

An unkeyed hash lets a client choose tokens that all land on one probe
chain. The colliding tokens here are the classic family for the polynomial
hash h = 31 * h + c (Java's String.hashCode and many hand-written tables):
"Aa" and "BB" hash alike, so every 40-character token made of 20 such blocks
has the same hash, modulo 2**32 and 2**64 alike, and 2**20 of them exist.
They also share their length and differ only in a few bytes each.

Both families are fed to consume_nonce_rs, 1,000,000 fresh tokens each, in
one engine emptied before every pass and already grown to their size by a
first pass that is not counted. Passes alternate between the families; the
script prints the time per insert of each (best and median pass) and their
ratio. With the engine's keyed hash the colliding tokens should cost about
what random ones do.

    python bench/hash_flooding.py [--tokens N] [--passes P]
"""

from __future__ import annotations

import argparse
import itertools
import random
import statistics
import string
import time

import quelvar_core_rs as core

TOKEN_LENGTH = 40


def colliding_tokens(count: int) -> list[str]:
    blocks = TOKEN_LENGTH // 2
    if count > 2**blocks:
        raise SystemExit(f"only {2**blocks} colliding tokens of {TOKEN_LENGTH} characters exist")
    return ["".join("BB" if (i >> b) & 1 else "Aa" for b in range(blocks)) for i in range(count)]


def random_tokens(count: int, seed: int) -> list[str]:
    """Distinct random tokens, kept in the order they were made, so that
    reading them walks memory in order as reading the colliding ones does."""
    alphabet = string.ascii_letters + string.digits + "-_"
    generator = random.Random(seed)
    seen: set[str] = set()
    tokens = []
    while len(tokens) < count:
        token = "".join(generator.choices(alphabet, k=TOKEN_LENGTH))
        if token not in seen:
            seen.add(token)
            tokens.append(token)
    return tokens


def polynomial_hash(token: str, bits: int) -> int:
    h = 0
    for character in token:
        h = (31 * h + ord(character)) % (1 << bits)
    return h


class UnkeyedKey:
    """A dict key hashed by the unkeyed polynomial hash: the table an
    attacker of that hash would flood."""

    __slots__ = ("token", "hash")

    def __init__(self, token: str) -> None:
        self.token = token
        self.hash = polynomial_hash(token, 64)

    def __hash__(self) -> int:
        return self.hash

    def __eq__(self, other: object) -> bool:
        return isinstance(other, UnkeyedKey) and self.token == other.token


def unkeyed_insert_time(tokens: list[str]) -> float:
    """Seconds per insert into a dict keyed by the unkeyed hash."""
    keys = [UnkeyedKey(token) for token in tokens]
    table: dict[UnkeyedKey, bool] = {}
    start = time.perf_counter()
    for key in keys:
        table[key] = True
    return (time.perf_counter() - start) / len(keys)


def timed_pass(tokens: list[str]) -> float:
    """Seconds per insert of `tokens` into an emptied engine; all must be fresh."""
    core.clear_state_engine_rs()
    consume = core.consume_nonce_rs
    start = time.perf_counter()
    accepted = sum(map(consume, tokens))
    elapsed = time.perf_counter() - start
    if accepted != len(tokens):
        raise SystemExit(f"{len(tokens) - accepted} fresh tokens were refused")
    return elapsed / len(tokens)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=1_000_000)
    parser.add_argument("--passes", type=int, default=3, help="counted passes per family")
    args = parser.parse_args()

    colliding = colliding_tokens(args.tokens)
    sample = colliding[:: max(1, len(colliding) // 1000)]
    for bits in (32, 64):
        if len({polynomial_hash(token, bits) for token in sample}) != 1:
            raise SystemExit("the colliding family does not collide")
    randoms = random_tokens(args.tokens, seed=20240611)

    timed_pass(random_tokens(args.tokens, seed=1))  # grows the engine's tables first
    times: dict[str, list[float]] = {"colliding": [], "random": []}
    for _, (name, tokens) in zip(
        range(2 * args.passes), itertools.cycle([("colliding", colliding), ("random", randoms)])
    ):
        times[name].append(timed_pass(tokens))
    core.clear_state_engine_rs()

    # The same families in a table with the unkeyed hash, on a few thousand
    # tokens only: there every colliding insert walks past all earlier ones.
    control = 2_000
    unkeyed = unkeyed_insert_time(colliding[:control]) / unkeyed_insert_time(randoms[:control])

    print(f"{args.tokens:,} fresh {TOKEN_LENGTH}-character tokens per pass, {args.passes} passes per family")
    print(f"colliding family: one polynomial-31 hash for all (checked on {len(sample)} of them, mod 2**32 and 2**64)")
    for name, values in times.items():
        print(
            f"  {name:10s} best {min(values) * 1e9:7.1f} ns/insert   median {statistics.median(values) * 1e9:7.1f} ns/insert"
        )
    ratio_best = min(times["colliding"]) / min(times["random"])
    ratio_median = statistics.median(times["colliding"]) / statistics.median(times["random"])
    print(
        f"for contrast, a table with the unkeyed hash: colliding / random {unkeyed:.0f}x per insert "
        f"at only {control:,} tokens"
    )
    print(
        f"consume_nonce_rs, colliding / random: {ratio_best:.2f} best, {ratio_median:.2f} median (within 2x: "
        f"{'yes' if max(ratio_best, ratio_median) <= 2 else 'NO'})"
    )


if __name__ == "__main__":
    main()
