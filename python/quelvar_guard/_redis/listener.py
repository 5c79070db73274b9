"""The ban listener: one thread per process that keeps the replica in step.

It subscribes to the ban channel and waits for the confirmation (from then on
no announcement is missed), catches up, switches the process to Redis, writes
what the process kept during an outage, and then follows: each announcement
is only news that something changed, and the changes themselves are read from
the change log in Redis, in order. Where the log cannot say what was missed
(the first time, a new epoch, changes trimmed from it) the whole set is
reloaded, in pages; a reload lifts every ban this process knows of that the
set no longer holds. A subscription that goes quiet is checked with a PING.
On the way it adds the process's counts to the fleet's and writes its
heartbeat (see fleet), connected or not, as long as Redis takes them.
"""

from __future__ import annotations

import json
import logging
import random
import time
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import redis

import quelvar_core_rs as core

from ..metrics import METRICS
from ..record import RECORD
from ..store import REPLICA, StoreMisconfigured
from ..vocabulary import U64_MAX
from . import fleet
from .bans import DECISION_MEMORY_SECONDS, PAGE, clock_offset_us
from .errors import UNAVAILABLE

if TYPE_CHECKING:
    from ..redis_store import RedisStore, _Process

log = logging.getLogger("quelvar_guard")

# Logged changes read per round trip.
READ_COUNT = 100
# Seconds of quiet on the subscription before it is checked.
HEALTH_INTERVAL = 1.0
# Reconnects wait this long at first, doubling up to the most (each wait drawn
# between half and all of it, so that workers do not all come back at once).
FIRST_BACKOFF, MOST_BACKOFF = 0.05, 2.0
# Seconds between two checks that no server may evict keys (one INFO each).
EVICTION_CHECK_SECONDS = 5.0
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


class BanListener:
    def __init__(self, store: RedisStore, proc: _Process) -> None:
        self.store = store
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
        # Whether the servers' settings were checked and logged (once per
        # process; eviction is checked again on every connection and every
        # EVICTION_CHECK_SECONDS).
        self.checked = False
        self.eviction_at = 0.0
        # When a reload last made progress (the first answer waits while it does).
        self.progress = time.monotonic()
        # When to try again writing what could not be written.
        self.flush_at = 0.0
        # When this process's tally may next be added to the fleet's counts.
        self.tally_at = 0.0
        # When its heartbeat is next due, and the state it last reported.
        self.beat_at = 0.0
        self.beat_state = ""
        # The last unexpected failure logged, so that retries do not repeat it.
        self.last_failure = ""
        # Whether the subscription is confirmed now, and whether its loss (on
        # a Redis that still answers commands) has been logged.
        self.subscribed = False
        self.subscription_lost = False
        # Subscriptions that failed in a row while Redis answered commands:
        # the loss is said from the second (the first may be a server that
        # just woke up, whose subscription then comes back at once).
        self.failed_while_answering = 0

    def wrote(self, ips: Iterable[str], seq: int) -> None:
        for ip in ips:
            self.seen[ip] = seq

    def now_us(self) -> int:
        """Now on the server's clock, as well as this process knows it."""
        return time.time_ns() // 1000 + self.clock_offset_us

    # -- connect, catch up, follow -----------------------------------------

    def run(self) -> None:
        store, proc = self.store, self.proc
        backoff, failures, rediscover = FIRST_BACKOFF, 0, True
        while not proc.stop.is_set():
            pubsub = None
            try:
                if rediscover:
                    # Replaced, never emptied: a request may be holding it.
                    proc.use(store.connections.client())
                    rediscover = False
                store.check_servers(proc.client, first=not self.checked)
                self.checked = True
                self.eviction_at = time.monotonic() + EVICTION_CHECK_SECONDS
                pubsub = store.connections.subscriber(proc.client, store.keys.set)
                pubsub.subscribe(store.keys.channel)
                # Wait for the confirmation: from here on no change is missed.
                deadline = time.monotonic() + 2 * store.timeout
                while (message := pubsub.get_message(timeout=store.timeout)) is None or message["type"] != "subscribe":
                    if time.monotonic() > deadline:
                        raise redis.TimeoutError("no subscription confirmation")
                self.progress = time.monotonic()
                self.catch_up(jitter=False)
                # Calls go to Redis from here on; what was kept while it was
                # away is written after the switch, so that nothing accepted
                # in between is left behind (and the loop below writes
                # whatever a call still kept as the switch happened).
                proc.connected = True
                self.subscribed = True
                self.flush()
                RECORD.store_state(store.log_name, "connected")
                if METRICS.on:
                    METRICS.store_state("connected")
                self.failed_while_answering = 0
                if self.subscription_lost:
                    self.subscription_lost = False
                    log.warning(
                        "quelvar_guard: the ban subscription to Redis at %s is back; bans resynchronised",
                        store.log_name,
                    )
                self.last_failure = ""
                proc.ready.set()
                backoff, failures = FIRST_BACKOFF, 0
                self.follow(pubsub)
            except StoreMisconfigured as error:
                self.subscribed = False
                store.refuse(proc, error)
                self.report("refused", beat=True)
                if not self.until_settings_fixed():
                    return
                backoff, failures = FIRST_BACKOFF, 0
            except Exception as error:
                if not isinstance(error, UNAVAILABLE) and repr(error) != self.last_failure:
                    # Whatever it was, the listener must outlive it: counted as
                    # an outage, so the store degrades visibly and reconnects.
                    # Logged once per new failure, not on every retry.
                    self.last_failure = repr(error)
                    log.exception("quelvar_guard: ban listener failed; reconnecting")
                failures += 1
                self.subscribed = False
                # A dropped listening connection alone is not an outage: one
                # immediate reconnect first, and calls keep using Redis meanwhile.
                # Past that, a Redis that still answers commands has lost only
                # the subscription: the replica may go stale, calls stay on Redis.
                if (failures > 1 or not proc.connected) and not self.without_subscription(error):
                    store.lost(proc, error)
                    proc.ready.set()
                    rediscover = proc.client is None or store.connections.rediscover_after(error)
                    # Redis may still take a heartbeat when only the subscription fails.
                    if proc.client is not None and self.beat_due("degraded", time.monotonic()):
                        self.report("degraded", beat=True)
            finally:
                if pubsub is not None:
                    try:
                        pubsub.close()
                    except UNAVAILABLE:
                        pass
            if failures == 1 and proc.connected:
                continue
            if proc.stop.wait(random.uniform(backoff / 2, backoff)):
                break
            backoff = min(backoff * 2, MOST_BACKOFF)

    def until_settings_fixed(self) -> bool:
        """While the store is refused: checks the servers every few seconds
        (beating "refused"), and lifts the refusal once none may evict keys.
        False if the process stopped first."""
        store, proc = self.store, self.proc
        while not proc.stop.wait(EVICTION_CHECK_SECONDS):
            try:
                store.check_eviction(proc.client)
            except StoreMisconfigured:
                self.report("refused", beat=self.beat_due("refused", time.monotonic()))
                continue
            except Exception:  # unreachable, or anything else: asked again later
                continue
            store.lift_refusal(proc)
            return True
        return False

    def check_eviction(self, now: float) -> None:
        """Every EVICTION_CHECK_SECONDS: StoreMisconfigured if a server may
        now evict keys. A server that does not answer is the subscription's
        to notice."""
        if now < self.eviction_at:
            return
        self.eviction_at = now + EVICTION_CHECK_SECONDS
        try:
            self.store.check_eviction(self.proc.client)
        except UNAVAILABLE:
            pass

    def without_subscription(self, error: BaseException) -> bool:
        """After the subscription failed: whether Redis still answers a
        command on the ordinary connection. If it does, only the ban replica
        is at risk: the loss is logged as such (once), the replica is caught
        up from the change log (again at each retry of the subscription, so
        it is never staler than a retry), calls keep going to Redis, and
        what was kept is written. If it does not, Redis is away."""
        store, proc = self.store, self.proc
        if proc.client is None or not store.connections.answers(proc.client, store.keys.set):
            return False
        try:
            self.catch_up(jitter=False)
        except UNAVAILABLE:
            return False
        except Exception:  # whatever it was, the loop reconnects and counts it as an outage
            log.exception("quelvar_guard: ban listener failed to catch up; reconnecting")
            return False
        self.progress = time.monotonic()
        self.failed_while_answering += 1
        if not self.subscription_lost and self.failed_while_answering > 1:
            self.subscription_lost = True
            log.warning(
                "quelvar_guard: the ban subscription to Redis at %s was lost (%s); Redis still answers "
                "commands, so tokens are spent there as ever; bans are read from its change log at each "
                "retry of the subscription until it is back",
                store.log_name,
                error,
            )
        if not proc.connected:
            proc.connected = True
            RECORD.store_state(store.log_name, "connected")
            if METRICS.on:
                METRICS.store_state("connected")
        proc.ready.set()
        if proc.outage:
            self.flush()
        now = time.monotonic()
        beat = self.beat_due("subscription_lost", now)
        if beat or proc.tally:
            self.report("subscription_lost", beat)
        return True

    def follow(self, pubsub: Any) -> None:
        """Applies announced changes until the subscription fails or goes
        quiet: after a quiet second the subscription is asked for a PING,
        and a pong missing after twice the timeout counts as a lost connection
        (bytes can stop without a reset). Each pong is also a cue to read the
        log, so that a change whose announcement was lost waits at most that
        long."""
        store, proc = self.store, self.proc
        heard, pinged = time.monotonic(), 0.0
        while proc.connected and not proc.stop.is_set():
            if proc.outage and time.monotonic() >= self.flush_at:
                self.flush()
            message = pubsub.get_message(timeout=0.25)
            now = time.monotonic()
            self.check_eviction(now)
            beat = self.beat_due("connected", now)
            if beat or (proc.tally and now >= self.tally_at):
                self.tally_at = now + fleet.FLUSH_SECONDS
                self.report("connected", beat)
            if message is None:
                if pinged and now - pinged > 2 * store.timeout:
                    raise redis.TimeoutError("the subscription went quiet")
                if not pinged and now - heard >= HEALTH_INTERVAL:
                    pubsub.ping()
                    pinged = now
                continue
            heard = now
            if message["type"] == "pong":
                pinged = 0.0
            elif message["type"] == "message":
                # An announcement says only that something changed: those
                # already here are taken together.
                for _ in range(READ_COUNT):
                    if pubsub.get_message(timeout=0) is None:
                        break
            else:
                continue
            self.catch_up(jitter=True)
            if METRICS.on:  # about once a second: this worker's replica, for the gauge
                METRICS.local_bans(core.get_state_engine_stats_rs()["active_ip_bans"])

    def beat_due(self, state: str, now: float) -> bool:
        return now >= self.beat_at or state != self.beat_state

    def report(self, state: str, beat: bool) -> None:
        """Adds the tally to the fleet's counts, with this process's heartbeat
        in `state` if `beat` (see _redis.fleet): one round trip. What cannot
        be written is kept, or beaten again when due; the subscription alone
        says whether Redis is away."""
        proc = self.proc
        heartbeat = None
        if beat:
            self.beat_at, self.beat_state = time.monotonic() + fleet.BEAT_SECONDS, state
            heartbeat = (proc.name, self.store.heartbeat(proc, state))
        try:
            fleet.flush(proc.client, self.store.fleet_keys, proc.tally, heartbeat)
        except UNAVAILABLE:
            pass

    def flush(self) -> None:
        """Writes what the process kept; what cannot be written yet (a
        cluster node that is down, say) is tried again a little later, and
        the subscription alone says whether Redis is away."""
        try:
            self.store.flush_outage(self.proc)
        except UNAVAILABLE:
            self.flush_at = time.monotonic() + random.uniform(0.5, 1.0)

    def catch_up(self, jitter: bool) -> None:
        """Applies the logged changes after the last one applied, in order;
        reloads the set when the log cannot say what was missed. A reload
        caused by news waits a random moment first, so that the processes
        that all got it do not all read the set at once."""
        store, proc = self.store, self.proc
        try:
            while self.epoch is not None:
                asked = self.now_us()
                epoch, last, changes = store.ban_writer.changes_after(
                    proc.client, proc.scripts, self.last_seq, READ_COUNT
                )
                with store.write_lock, REPLICA.lock:
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
                proc.stop.wait(random.uniform(0, store.timeout))
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
        store, proc = self.store, self.proc
        self.resyncs += 1
        if self.state_epoch is None:
            store.lost_state_heard(proc.client)  # one another process saw, before this one started
        for _ in range(RELOAD_ATTEMPTS):
            self.clock_offset_us = clock_offset_us(proc.client)
            asked = self.now_us()
            epoch, seq = store.ban_writer.head(proc.client, proc.scripts)
            if self.state_epoch is not None and epoch != self.state_epoch:
                self.restore_lost_state()
                self.state_epoch = epoch
                asked = self.now_us()
                epoch, seq = store.ban_writer.head(proc.client, proc.scripts)
            now = int(time.time())
            bans: dict[str, int] = {}
            for page in store.ban_writer.pages(proc.client):
                self.progress = time.monotonic()
                for member, score in page:
                    try:
                        if score > now:
                            bans[member.decode()] = min(int(score), U64_MAX)
                    except (ValueError, OverflowError):  # no address a store wrote: skipped, not fatal
                        continue
            # Under the lock: no write of this process can come in between.
            with store.write_lock, REPLICA.lock:
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
        process) wins; then the store records the loss (see
        RedisStore.state_lost)."""
        store, proc = self.store, self.proc
        now = int(time.time())
        with REPLICA.lock:
            bans = [(ip, expires_at) for ip, expires_at in REPLICA.expiry.items() if expires_at > now]
        # A decision older than Redis remembers would be refused.
        decided = max(self.epoch_seen_us, self.now_us() - (DECISION_MEMORY_SECONDS - 3600) * 1_000_000)
        for start in range(0, len(bans), PAGE):
            store.ban_writer.write(
                proc.client, proc.scripts, [(ip, expires_at, decided) for ip, expires_at in bans[start : start + PAGE]]
            )
            self.progress = time.monotonic()
        store.state_lost(proc, len(bans))

    def _replay(self, bans: dict[str, int], epoch: bytes, seq: int) -> int:
        """Applies to `bans` the logged changes after `seq`; gives the number
        of the last one."""
        store, proc = self.store, self.proc
        while True:
            now_epoch, last, changes = store.ban_writer.changes_after(proc.client, proc.scripts, seq, READ_COUNT)
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
