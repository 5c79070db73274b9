"""The ban listener: one thread per process that keeps the replica in step.

It subscribes to the ban channel, waits for the confirmation (from then on no
announcement is missed), writes what the process kept during an outage,
reloads the set, and then applies each announced change in order. A change
whose number is not the next one, or of another epoch, makes it reload the
whole set; a reload lifts every ban this process knows of that the set no
longer holds.
"""

from __future__ import annotations

import json
import logging
import time
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import redis

from ..store import REPLICA, U64_MAX, StoreMisconfigured
from .bans import clock_offset_us
from .errors import UNAVAILABLE

if TYPE_CHECKING:
    from ..redis_store import RedisStore, _Process

log = logging.getLogger("quelvar_guard")

# Logged changes read per round trip.
READ_COUNT = 100
# Seconds of quiet on the subscription before it is checked.
HEALTH_INTERVAL = 1.0


class BanListener:
    def __init__(self, store: RedisStore, proc: _Process) -> None:
        self.store = store
        self.proc = proc
        # The epoch and number of the last change applied, and the number of
        # this process's own last write per address (applied before it is
        # announced, so earlier announcements of that address are stale).
        self.epoch: bytes | None = None
        self.last_seq = 0
        self.seen: dict[str, int] = {}
        # The server's clock less this host's, in us, as of the last reload:
        # changes kept through an outage are dated on the server's clock.
        self.clock_offset_us = 0
        self.resyncs = 0
        # Whether the servers' settings were checked (once per process).
        self.checked = False

    def wrote(self, ips: Iterable[str], seq: int) -> None:
        for ip in ips:
            self.seen[ip] = seq

    def now_us(self) -> int:
        """Now on the server's clock, as well as this process knows it."""
        return time.time_ns() // 1000 + self.clock_offset_us

    # -- connect, catch up, follow -----------------------------------------

    def run(self) -> None:
        store, proc = self.store, self.proc
        backoff, failures, rediscover = 0.05, 0, True
        while not proc.stop.is_set():
            pubsub = None
            try:
                if rediscover:
                    # Replaced, never emptied: a request may be holding it.
                    proc.use(store.connections.client())
                    rediscover = False
                if not self.checked:
                    store.check_servers(proc.client)
                    self.checked = True
                pubsub = store.connections.subscriber(proc.client, store.keys.set)
                pubsub.subscribe(store.keys.channel)
                # Wait for the confirmation: from here on no change is missed.
                deadline = time.monotonic() + 2 * store.timeout
                while (message := pubsub.get_message(timeout=store.timeout)) is None or message["type"] != "subscribe":
                    if time.monotonic() > deadline:
                        raise redis.TimeoutError("no subscription confirmation")
                # Caught up from the log where it reaches back far enough; the
                # first time, and after a reset, the whole set.
                self.catch_up()
                # Calls go to Redis from here on; what was kept while it was
                # away is written after the switch, so that nothing accepted
                # in between is left behind (and the loop below writes
                # whatever a call still kept as the switch happened).
                back = not proc.connected and proc.ready.is_set()
                proc.connected = True
                store.flush_outage(proc)
                if back:
                    log.warning("quelvar_guard: Redis at %s is back; bans resynchronised", store.url)
                proc.ready.set()
                backoff, failures = 0.05, 0
                self.follow(pubsub)
            except StoreMisconfigured as error:
                store.refuse(proc, error)
                return
            except Exception as error:
                if not isinstance(error, UNAVAILABLE):
                    # Whatever it was, the listener must outlive it: counted as
                    # an outage, so the store degrades visibly and reconnects.
                    log.exception("quelvar_guard: ban listener failed; reconnecting")
                failures += 1
                # A dropped listening connection alone is not an outage: one
                # immediate reconnect first, and calls keep using Redis meanwhile.
                if failures > 1 or not proc.connected:
                    store.lost(proc, error)
                    proc.ready.set()
                    rediscover = proc.client is None or store.connections.rediscover_after(error)
            finally:
                if pubsub is not None:
                    try:
                        pubsub.close()
                    except UNAVAILABLE:
                        pass
            if failures == 1 and proc.connected:
                continue
            if proc.stop.wait(backoff):
                break
            backoff = min(backoff * 2, 2.0)

    def follow(self, pubsub: Any) -> None:
        """Applies announced changes until the subscription fails or goes
        quiet: after a quiet second the subscription is asked for a PING,
        and a pong missing after the timeout counts as a lost connection
        (bytes can stop without a reset). Each pong is also a cue to read the
        log, so that a change whose announcement was lost waits at most that
        long."""
        store, proc = self.store, self.proc
        heard, pinged = time.monotonic(), 0.0
        while proc.connected and not proc.stop.is_set():
            if proc.outage:
                store.flush_outage(proc)
            message = pubsub.get_message(timeout=0.25)
            now = time.monotonic()
            if message is None:
                if pinged and now - pinged > store.timeout:
                    raise redis.TimeoutError("the subscription went quiet")
                if not pinged and now - heard >= HEALTH_INTERVAL:
                    pubsub.ping()
                    pinged = now
                continue
            heard = now
            if message["type"] == "pong":
                pinged = 0.0
                self.catch_up()
                continue
            if message["type"] != "message":
                continue
            # An announcement says only that something changed: those already
            # here are taken together, and the changes read from the log.
            for _ in range(READ_COUNT):
                if pubsub.get_message(timeout=0) is None:
                    break
            self.catch_up()

    def catch_up(self) -> None:
        """Applies the logged changes after the last one applied, in order;
        reloads the set instead when the log cannot say what was missed (a new
        epoch, changes trimmed from the log, an entry no store wrote)."""
        store, proc = self.store, self.proc
        while True:
            epoch, last, changes = store.ban_writer.changes_after(proc.client, proc.scripts, self.last_seq, READ_COUNT)
            with store.write_lock, REPLICA.lock:
                if epoch is None or epoch != self.epoch:
                    self.resync()
                    return
                if last <= self.last_seq:
                    return
                if not changes or changes[0][0] != self.last_seq + 1:
                    self.resync()
                    return
                for seq, change in changes:
                    try:
                        self.apply(seq, change)
                    except (ValueError, TypeError, OverflowError):
                        self.resync()
                        return
                    self.last_seq = seq

    def apply(self, seq: int, body: bytes | None) -> None:
        if body is None:
            raise ValueError("no change in the entry")
        change = json.loads(body) if body != b"clear" else None
        if change is None:
            REPLICA.clear()
            self.seen.clear()
            return
        for ip, expires_at in change:
            if not isinstance(ip, str):
                raise TypeError("address is not text")
            mine = self.seen.get(ip, 0)
            if mine <= seq:
                self.seen.pop(ip, None)  # this change or an earlier one: nothing left to guard
            if mine >= seq:
                continue  # this process wrote this change, or a later one of this address
            if expires_at is None:
                REPLICA.remove(ip)
            else:
                REPLICA.set(ip, min(int(expires_at), U64_MAX))

    def resync(self) -> None:
        store, proc = self.store, self.proc
        self.resyncs += 1
        self.clock_offset_us = clock_offset_us(proc.client)
        epoch, seq, flat = store.ban_writer.snapshot(proc.client, proc.scripts)
        bans: dict[str, int] = {}
        for member, score in zip(flat[::2], flat[1::2]):
            try:
                bans[member.decode()] = min(int(float(score)), U64_MAX)
            except (ValueError, OverflowError):  # no address a store wrote: skipped, not fatal
                continue
        REPLICA.replace_all(bans)
        # What this process decided and has not written yet still holds here.
        for ip, expires_at in proc.outage.pending_bans():
            if expires_at is None:
                REPLICA.remove(ip)
            else:
                REPLICA.set(ip, expires_at)
        self.epoch, self.last_seq = epoch, seq
        self.seen.clear()
