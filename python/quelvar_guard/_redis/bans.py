"""Ban keys and ban writes.

The bans live in one sorted set (address scored by its absolute expiry) beside
the time each address's last change was decided, a change counter, an epoch
and a clear mark, all under one hash tag, so that every write is one atomic
script on one node, also in a cluster.
"""

from __future__ import annotations

import secrets
import time
from collections.abc import Iterator
from typing import Any

from ..vocabulary import U64_MAX
from .scripts import Scripts

Change = tuple[str, int | None]
# A change with the time it was decided (us on the server's clock, None for
# "now": a change written as it is made).
Decision = tuple[str, int | None, int | None]

# How long Redis keeps the decision time of an address: a change kept longer
# than this through an outage is older than anything Redis holds and is
# refused when it is finally written.
DECISION_MEMORY_SECONDS = 24 * 3600


# Changes the log keeps (about): a listener further behind reloads the set.
LOG_LENGTH = 1000
# Bans read per round trip by a reload.
PAGE = 1000


class BanKeys:
    """The ban keys of one prefix in one database, and the channel that
    announces their changes (named for both: announcements are published to
    every database, and to every node of a cluster)."""

    def __init__(self, prefix: str, database: int = 0) -> None:
        tag = "{" + prefix + "bans}"
        self.set, self.seq, self.epoch = tag, tag + ":seq", tag + ":epoch"
        self.decided, self.cleared, self.log = tag + ":decided", tag + ":cleared", tag + ":log"
        self.all = [self.set, self.seq, self.epoch, self.decided, self.cleared, self.log]
        # When a process last saw Redis lose its state (time.time()), for the
        # processes that start after it (not a script's key).
        self.lost = tag + ":lost"
        self.channel = f"{prefix}bans@{database}"


class Written:
    """What a write did: the number of the last change, and for each change
    refused as older than Redis's own, what Redis holds instead."""

    def __init__(self, seq: int, refused: dict[str, int | None]) -> None:
        self.seq = seq
        self.refused = refused


class BanWriter:
    """Writes changes and clears, each announced with its number."""

    def __init__(self, keys: BanKeys) -> None:
        self.keys = keys

    def write(self, client: Any, scripts: Scripts, changes: list[Decision], clear: bool = False) -> Written:
        args: list[object] = [
            self.keys.channel,
            secrets.token_hex(8),
            "clear" if clear else "set",
            DECISION_MEMORY_SECONDS * 1_000_000,
            LOG_LENGTH,
        ]
        for ip, expires_at, decided in changes:
            args += [ip, "" if expires_at is None else expires_at, "" if decided is None else decided]
        seq, flat = scripts.ban_write(keys=self.keys.all, args=args, client=client)
        refused = {
            ip.decode(): (min(int(float(held)), U64_MAX) if held else None)
            for ip, held in zip(flat[::2], flat[1::2], strict=True)
        }
        return Written(int(seq), refused)

    def active(self, client: Any) -> int:
        """The number of active bans in Redis."""
        return int(client.zcount(self.keys.set, f"({int(time.time())}", "+inf"))

    def head(self, client: Any, scripts: Scripts) -> tuple[bytes, int]:
        """The epoch and the number of the last change."""
        epoch, seq = scripts.ban_head(
            keys=self.keys.all[:3], args=[int(time.time()), secrets.token_hex(8)], client=client
        )
        return epoch, int(seq)

    def pages(self, client: Any) -> Iterator[list[tuple[bytes, float]]]:
        """The set in pages of about PAGE (address, expiry) pairs: every entry
        there from the first page to the last is given at least once."""
        cursor = 0
        while True:
            cursor, page = client.zscan(self.keys.set, cursor, count=PAGE)
            yield page
            if cursor == 0:
                return

    def changes_after(self, client: Any, scripts: Scripts, seq: int, count: int) -> tuple[bytes | None, int, list[Any]]:
        """The epoch, the number of the last change, and up to `count` logged
        changes after number `seq` as (number, change) in order."""
        keys = self.keys
        epoch, last, entries = scripts.ban_read(keys=[keys.seq, keys.epoch, keys.log], args=[seq, count], client=client)
        changes = [
            (int(entry_id.split(b"-")[1]), dict(zip(fields[::2], fields[1::2], strict=True)).get(b"c"))
            for entry_id, fields in entries
        ]
        return epoch or None, int(last), changes


def clock_offset_us(client: Any) -> int:
    """The server's clock less this host's, in us, from the quickest of three
    round trips (its error is at most half of that round trip)."""
    samples: list[tuple[int, int]] = []
    for _ in range(3):
        asked = time.time_ns() // 1000
        seconds, micros = client.time()
        answered = time.time_ns() // 1000
        samples.append((answered - asked, int(seconds) * 1_000_000 + int(micros) - (asked + answered) // 2))
    return min(samples)[1]
