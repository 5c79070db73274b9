"""The replica kept in step with Redis's ban set and change log.

Each change is read from the log in order; where the log cannot say what was
missed (the first time, a new epoch, changes trimmed from it) the whole set
is reloaded, in pages, and a reload lifts every ban this process knows of
that the set no longer holds. An epoch that changes means that Redis lost its
state: the bans this process holds are written back first.
"""

from __future__ import annotations

import json
import random
import time
from collections.abc import Iterable

import redis

from ..store import REPLICA
from ..vocabulary import U64_MAX
from .bans import DECISION_MEMORY_SECONDS, PAGE, clock_offset_us
from .process import Owner, Process

# Logged changes read per round trip.
READ_COUNT = 100
# Reloads of a set that changes faster than it can be read before giving up
# (the listener then reconnects).
RELOAD_ATTEMPTS = 3


class Reset(Exception):
    """The log cannot say what changed since the number asked for."""


def parse(body: bytes | None) -> list[tuple[str, int | None]] | None:
    """A logged change: its (address, expiry or None) pairs, None for a clear.
    Raises ValueError or TypeError for anything no store wrote."""
    if body is None:
        raise ValueError("no change in the entry")
    if body == b"clear":
        return None
    pairs = []
    for ip, expires_at in json.loads(body):
        if not isinstance(ip, str):
            raise TypeError("address is not text")
        pairs.append((ip, None if expires_at is None else min(int(expires_at), U64_MAX)))
    return pairs


class ReplicaSync:
    def __init__(self, life: Owner, proc: Process) -> None:
        self.life = life
        self.proc = proc
        # The epoch and number of the last change applied, and the number of
        # this process's own last write per address (applied before it is
        # logged, so earlier changes of that address are stale here).
        self.epoch: bytes | None = None
        self.last_seq = 0
        # The epoch this process has known Redis by, and when (us, the
        # server's clock) it was last seen unchanged: an epoch that changes
        # means that Redis lost its state (see restore_lost_state).
        self.state_epoch: bytes | None = None
        self.epoch_seen_us = 0
        self.seen: dict[str, int] = {}
        # The server's clock less this host's, in us, as of the last reload:
        # changes kept through an outage are dated on the server's clock.
        self.clock_offset_us = 0
        self.resyncs = 0
        # When a reload last made progress (the first answer waits while it does).
        self.progress = time.monotonic()

    def wrote(self, ips: Iterable[str], seq: int) -> None:
        for ip in ips:
            self.seen[ip] = seq

    def now_us(self) -> int:
        """Now on the server's clock, as well as this process knows it."""
        return time.time_ns() // 1000 + self.clock_offset_us

    def catch_up(self, jitter: bool) -> None:
        """Applies the logged changes after the last one applied, in order;
        reloads the set when the log cannot say what was missed. A reload
        caused by news waits a random moment first, so that the processes
        that all got it do not all read the set at once."""
        life, proc = self.life, self.proc
        try:
            while self.epoch is not None:
                asked = self.now_us()
                epoch, last, changes = life.ban_writer.changes_after(
                    proc.client, proc.scripts, self.last_seq, READ_COUNT
                )
                with life.write_lock, REPLICA.lock:
                    if epoch != self.epoch or (last > self.last_seq and changes[:1] == []):
                        raise Reset
                    self.epoch_seen_us = asked
                    if last <= self.last_seq:
                        return
                    if changes[0][0] != self.last_seq + 1:
                        raise Reset  # trimmed from the log
                    for seq, body in changes:
                        try:
                            pairs = parse(body)
                        except (ValueError, TypeError, OverflowError):
                            raise Reset from None  # no store wrote it: the set says what holds
                        self.apply(seq, pairs)
                        self.last_seq = seq
        except Reset:
            if jitter:
                proc.stop.wait(random.uniform(0, life.timeout))
        self.reload()

    def apply(self, seq: int, pairs: list[tuple[str, int | None]] | None) -> None:
        if pairs is None:
            REPLICA.clear()
            self.seen.clear()
            return
        for ip, expires_at in pairs:
            mine = self.seen.get(ip, 0)
            if mine <= seq:
                self.seen.pop(ip, None)  # this change or an earlier one: nothing left to guard
            if mine >= seq:
                continue  # this process wrote this change, or a later one of this address
            if expires_at is None:
                REPLICA.remove(ip)
            else:
                REPLICA.set(ip, expires_at)

    # -- reload --------------------------------------------------------------

    def reload(self) -> None:
        """Reads the set in pages, each one call within the timeout however
        large the set, then the changes made meanwhile from the log, and makes
        the replica hold exactly that."""
        life, proc = self.life, self.proc
        self.resyncs += 1
        if self.state_epoch is None:
            life.lost_state_heard(proc.client)  # one another process saw, before this one started
        for _ in range(RELOAD_ATTEMPTS):
            self.clock_offset_us = clock_offset_us(proc.client)
            asked = self.now_us()
            epoch, seq = life.ban_writer.head(proc.client, proc.scripts)
            if self.state_epoch is not None and epoch != self.state_epoch:
                self.restore_lost_state()
                self.state_epoch = epoch
                asked = self.now_us()
                epoch, seq = life.ban_writer.head(proc.client, proc.scripts)
            now = int(time.time())
            bans: dict[str, int] = {}
            for page in life.ban_writer.pages(proc.client):
                self.progress = time.monotonic()
                for member, score in page:
                    try:
                        if score > now:
                            bans[member.decode()] = min(int(score), U64_MAX)
                    except (ValueError, OverflowError):  # no address a store wrote: skipped, not fatal
                        continue
            # Under the lock: no write of this process can come in between.
            with life.write_lock, REPLICA.lock:
                try:
                    seq = self._replay(bans, epoch, seq)
                except Reset:
                    continue
                REPLICA.replace_all(bans)
                # What this process decided and has not written yet still holds here.
                for ip, expires_at in proc.outage.pending_bans():
                    if expires_at is None:
                        REPLICA.remove(ip)
                    else:
                        REPLICA.set(ip, expires_at)
                self.epoch, self.last_seq = epoch, seq
                self.state_epoch, self.epoch_seen_us = epoch, asked
                self.seen.clear()
                return
        raise redis.RedisError("the ban set changed faster than it could be read")

    def restore_lost_state(self) -> None:
        """Redis's epoch changed: it lost its state (restarted without
        persistence, flushed). Before the replica is made to match it, the
        bans this process holds are written back, each as decided when the
        old epoch was last seen, so that whatever was decided since (in any
        process) wins; then the loss is reported (see Life.state_lost)."""
        life, proc = self.life, self.proc
        now = int(time.time())
        with REPLICA.lock:
            bans = [(ip, expires_at) for ip, expires_at in REPLICA.expiry.items() if expires_at > now]
        # A decision older than Redis remembers would be refused.
        decided = max(self.epoch_seen_us, self.now_us() - (DECISION_MEMORY_SECONDS - 3600) * 1_000_000)
        for start in range(0, len(bans), PAGE):
            life.ban_writer.write(
                proc.client, proc.scripts, [(ip, expires_at, decided) for ip, expires_at in bans[start : start + PAGE]]
            )
            self.progress = time.monotonic()
        life.state_lost(proc, len(bans))

    def _replay(self, bans: dict[str, int], epoch: bytes, seq: int) -> int:
        """Applies to `bans` the logged changes after `seq`; gives the number
        of the last one."""
        life, proc = self.life, self.proc
        while True:
            now_epoch, last, changes = life.ban_writer.changes_after(proc.client, proc.scripts, seq, READ_COUNT)
            if now_epoch != epoch:
                raise Reset
            if last <= seq:
                return seq
            if not changes or changes[0][0] != seq + 1:
                raise Reset
            for seq, body in changes:  # noqa: B007 (seq: the last change applied, returned below)
                try:
                    pairs = parse(body)
                except (ValueError, TypeError, OverflowError):
                    continue  # changed nothing in the set
                if pairs is None:
                    bans.clear()
                    continue
                for ip, expires_at in pairs:
                    if expires_at is None:
                        bans.pop(ip, None)
                    else:
                        bans[ip] = expires_at
