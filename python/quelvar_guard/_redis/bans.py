"""Ban keys and ban writes.

The bans live in one sorted set (address scored by its absolute expiry) beside
a change counter and an epoch, all under one hash tag, so that every write is
one atomic script on one node, also in a cluster.
"""

from __future__ import annotations

import json
import secrets
import time
from typing import Any

from .scripts import Scripts

Change = tuple[str, int | None]


class BanKeys:
    def __init__(self, prefix: str) -> None:
        tag = "{" + prefix + "bans}"
        self.set, self.seq, self.epoch = tag, tag + ":seq", tag + ":epoch"
        self.all = [self.set, self.seq, self.epoch]
        self.channel = prefix + "bans"


class BanWriter:
    """Writes changes and clears, each announced with its number."""

    def __init__(self, keys: BanKeys) -> None:
        self.keys = keys

    def write(self, client: Any, scripts: Scripts, changes: list[Change], clear: bool = False) -> int:
        """Applies `changes` (address, expiry or None to lift) in one step;
        gives the change's number."""
        now = int(time.time())
        body = "clear" if clear else json.dumps(changes)
        args: list[object] = [self.keys.channel, now, secrets.token_hex(8), body]
        for ip, expires_at in changes:
            args += [ip, "" if expires_at is None else expires_at]
        return int(scripts.ban_write(keys=self.keys.all, args=args, client=client))

    def active(self, client: Any) -> int:
        """The number of active bans in Redis."""
        return int(client.zcount(self.keys.set, f"({int(time.time())}", "+inf"))

    def snapshot(self, client: Any, scripts: Scripts) -> tuple[bytes, int, list[bytes]]:
        """The epoch, the number of the last change and the active bans, flat."""
        epoch, seq, flat = scripts.ban_snapshot(keys=self.keys.all, args=[int(time.time()), secrets.token_hex(8)],
                                                client=client)
        return epoch, int(seq), flat
