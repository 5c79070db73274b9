"""The ban listener: one thread per process that keeps the replica in step.

It subscribes to the ban channel and waits for the confirmation (from then on
no announcement is missed), catches up, switches the process to Redis, writes
what the process kept during an outage, and then follows: each announcement
is only news that something changed, and the changes themselves are read from
the change log in Redis, in order (see sync). A subscription that goes quiet
is checked with a PING. On the way it adds the process's counts to the
fleet's and writes its heartbeat (see fleet), connected or not, as long as
Redis takes them. What it sees it reports to the process's life (see
process.Owner), which makes the transitions.
"""

from __future__ import annotations

import logging
import random
import time
from collections.abc import Iterable
from typing import Any

import redis

import quelvar_core_rs as core

from ..metrics import METRICS
from ..record import RECORD
from ..store import StoreMisconfigured
from . import fleet
from .errors import UNAVAILABLE
from .process import Owner, Process
from .sync import READ_COUNT, ReplicaSync

log = logging.getLogger("quelvar_guard")

# Seconds of quiet on the subscription before it is checked.
HEALTH_INTERVAL = 1.0
# Reconnects wait this long at first, doubling up to the most (each wait drawn
# between half and all of it, so that workers do not all come back at once).
FIRST_BACKOFF, MOST_BACKOFF = 0.05, 2.0
# Seconds between two checks that no server may evict keys (one INFO each).
EVICTION_CHECK_SECONDS = 5.0


class BanListener:
    def __init__(self, life: Owner, proc: Process) -> None:
        self.life = life
        self.proc = proc
        self.sync = ReplicaSync(life, proc)
        # Whether the servers' settings were checked and logged (once per
        # process; eviction is checked again on every connection and every
        # EVICTION_CHECK_SECONDS).
        self.checked = False
        self.eviction_at = 0.0
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

    # What the process reads of the replica's sync.

    @property
    def seen(self) -> dict[str, int]:
        return self.sync.seen

    @property
    def resyncs(self) -> int:
        return self.sync.resyncs

    @property
    def progress(self) -> float:
        return self.sync.progress

    def wrote(self, ips: Iterable[str], seq: int) -> None:
        self.sync.wrote(ips, seq)

    def now_us(self) -> int:
        return self.sync.now_us()

    # -- connect, catch up, follow -----------------------------------------

    def run(self) -> None:
        life, proc = self.life, self.proc
        backoff, failures, rediscover = FIRST_BACKOFF, 0, True
        while not proc.stop.is_set():
            pubsub = None
            try:
                if rediscover:
                    # Replaced, never emptied: a request may be holding it.
                    proc.use(life.connections.client())
                    rediscover = False
                life.check_servers(proc.client, first=not self.checked)
                self.checked = True
                self.eviction_at = time.monotonic() + EVICTION_CHECK_SECONDS
                pubsub = life.connections.subscriber(proc.client, life.keys.set)
                pubsub.subscribe(life.keys.channel)
                # Wait for the confirmation: from here on no change is missed.
                deadline = time.monotonic() + 2 * life.timeout
                while (message := pubsub.get_message(timeout=life.timeout)) is None or message["type"] != "subscribe":
                    if time.monotonic() > deadline:
                        raise redis.TimeoutError("no subscription confirmation")
                self.sync.progress = time.monotonic()
                self.sync.catch_up(jitter=False)
                # Calls go to Redis from here on; what was kept while it was
                # away is written after the switch, so that nothing accepted
                # in between is left behind (and the loop below writes
                # whatever a call still kept as the switch happened).
                proc.connected = True
                self.subscribed = True
                self.flush()
                RECORD.store_state(life.log_name, "connected")
                if METRICS.on:
                    METRICS.store_state("connected")
                self.failed_while_answering = 0
                if self.subscription_lost:
                    self.subscription_lost = False
                    log.warning(
                        "quelvar_guard: the ban subscription to Redis at %s is back; bans resynchronised",
                        life.log_name,
                    )
                self.last_failure = ""
                proc.ready.set()
                backoff, failures = FIRST_BACKOFF, 0
                self.follow(pubsub)
            except StoreMisconfigured as error:
                self.subscribed = False
                life.refuse(proc, error)
                self.report("refused", beat=True)
                if not self.until_settings_fixed():
                    return
                backoff, failures = FIRST_BACKOFF, 0
            except Exception as error:
                if not isinstance(error, UNAVAILABLE) and repr(error) != self.last_failure:
                    # Whatever it was, the listener must outlive it: counted as
                    # an outage, so the process degrades visibly and reconnects.
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
                    life.lost(proc, error)
                    proc.ready.set()
                    rediscover = proc.client is None or life.connections.rediscover_after(error)
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
        """While the process is refused: checks the servers every few seconds
        (beating "refused"), and lifts the refusal once none may evict keys.
        False if the process stopped first."""
        life, proc = self.life, self.proc
        while not proc.stop.wait(EVICTION_CHECK_SECONDS):
            try:
                life.check_eviction(proc.client)
            except StoreMisconfigured:
                self.report("refused", beat=self.beat_due("refused", time.monotonic()))
                continue
            except Exception:  # unreachable, or anything else: asked again later
                continue
            life.lift_refusal(proc)
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
            self.life.check_eviction(self.proc.client)
        except UNAVAILABLE:
            pass

    def without_subscription(self, error: BaseException) -> bool:
        """After the subscription failed: whether Redis still answers a
        command on the ordinary connection. If it does, only the ban replica
        is at risk: the loss is logged as such (once), the replica is caught
        up from the change log (again at each retry of the subscription, so
        it is never staler than a retry), calls keep going to Redis, and
        what was kept is written. If it does not, Redis is away."""
        life, proc = self.life, self.proc
        if proc.client is None or not life.connections.answers(proc.client, life.keys.set):
            return False
        try:
            self.sync.catch_up(jitter=False)
        except UNAVAILABLE:
            return False
        except Exception:  # whatever it was, the loop reconnects and counts it as an outage
            log.exception("quelvar_guard: ban listener failed to catch up; reconnecting")
            return False
        self.sync.progress = time.monotonic()
        self.failed_while_answering += 1
        if not self.subscription_lost and self.failed_while_answering > 1:
            self.subscription_lost = True
            log.warning(
                "quelvar_guard: the ban subscription to Redis at %s was lost (%s); Redis still answers "
                "commands, so tokens are spent there as ever; bans are read from its change log at each "
                "retry of the subscription until it is back",
                life.log_name,
                error,
            )
        if not proc.connected:
            proc.connected = True
            RECORD.store_state(life.log_name, "connected")
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
        life, proc = self.life, self.proc
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
                if pinged and now - pinged > 2 * life.timeout:
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
            self.sync.catch_up(jitter=True)
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
            heartbeat = (proc.name, self.life.heartbeat(proc, state))
        try:
            fleet.flush(proc.client, self.life.fleet_keys, proc.tally, heartbeat)
        except UNAVAILABLE:
            pass

    def flush(self) -> None:
        """Writes what the process kept; what cannot be written yet (a
        cluster node that is down, say) is tried again a little later, and
        the subscription alone says whether Redis is away."""
        try:
            self.life.flush_outage(self.proc)
        except UNAVAILABLE:
            self.flush_at = time.monotonic() + random.uniform(0.5, 1.0)
