"""One process's life with Redis, for one store.

States: not started; connected; degraded (Redis away: served from this
process's tables, or StoreUnavailable when strict); refused (a server that may
evict keys, until it no longer does); closed. The ban listener reports what it
sees (a connection made, lost or refused, a lost state) and the transitions
happen here; so do the backlog written when Redis is back and the heartbeat.
A forked child drops what it inherited in one step and starts again on first
use.
"""

from __future__ import annotations

import logging
import os
import threading
import time
import weakref
from collections.abc import Callable
from typing import Any, Literal

import quelvar_core_rs as core

from ..metrics import METRICS
from ..record import RECORD, redacted_url
from ..store import NATIVE_NONCE_WINDOW_SECONDS, StoreMisconfigured, StoreUnavailable
from .bans import BanKeys, BanWriter
from .connections import ServerSettings, connections, described
from .errors import LATE, UNAVAILABLE
from .fleet import FleetKeys
from .fleet import flush as fleet_flush
from .listener import BanListener
from .nonces import NonceWriter
from .process import HOST, Process

log = logging.getLogger("quelvar_guard")

Policy = Literal["degrade", "strict"]
# Replies that miss the timeout in a row before the process counts Redis as
# away. One late reply under a burst of load only settles its own call: were
# it to stop every call from asking Redis until the listener reconnects, the
# workers would each accept the same tokens in that window.
LATE_REPLIES_BEFORE_OUTAGE = 3
# How long Redis keeps the time a process saw it lose its state, for the
# processes that start later: longer than any token lives.
LOST_STATE_MEMORY_SECONDS = 24 * 3600
# Tokens and ban changes are written this many per round trip, each round trip
# well inside the timeout.
WRITE_CHUNK = 1000

_LIVES: weakref.WeakSet[Life] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for life in list(_LIVES):
        life.forget_parent()


os.register_at_fork(after_in_child=_after_fork_in_child)


class Life:
    """`switch(True)` when ban lookups may go to the replica at once,
    `switch(False)` when they must first start the process."""

    def __init__(
        self,
        url: str,
        *,
        cluster: bool,
        prefix: str,
        nonce_window_seconds: float,
        on_unavailable: Policy,
        timeout: float,
        allow_eviction: bool,
        max_pending_writes: int,
        switch: Callable[[bool], None],
    ) -> None:
        self.log_name = redacted_url(url)
        self.prefix = prefix
        self.nonce_window_seconds = nonce_window_seconds
        self.on_unavailable: Policy = on_unavailable
        self.timeout = timeout
        self.allow_eviction = allow_eviction
        self.max_pending_writes = max_pending_writes
        self.switch = switch
        self.connections = connections(url, cluster, timeout)
        self.keys = BanKeys(prefix, self.connections.database())
        self.fleet_keys = FleetKeys(prefix)
        self.ban_writer = BanWriter(self.keys)
        self.nonces = NonceWriter(prefix, int(nonce_window_seconds * 1000))
        self.closed = False
        self.refused: StoreMisconfigured | None = None
        # When this process saw Redis lose its state (time.time()), and how often.
        self.lost_state_at: float | None = None
        self.lost_states = 0
        self.forget_parent()
        _LIVES.add(self)

    def forget_parent(self) -> None:
        """The state of a new process: nothing started, nothing inherited."""
        self.proc: Process | None = None
        # A process refused for its server's settings, kept aside while its
        # listener waits for them to be fixed (see refuse and lift_refusal).
        self.parked: Process | None = None
        self.start_lock = threading.Lock()
        # Held while a ban change is applied here and written, so that the
        # listener never applies an older announcement in between.
        self.write_lock = threading.RLock()
        self.switch(False)

    def current(self) -> Process:
        return self.proc or self.start()

    def start(self) -> Process:
        with self.start_lock:
            if self.proc is not None:
                return self.proc
            if self.closed:
                raise RuntimeError("this RedisStore is closed")
            if self.refused is not None:
                raise self.refused
            window = self.nonce_window_seconds
            proc = Process(
                self.max_pending_writes, window, self.on_unavailable == "degrade", window > NATIVE_NONCE_WINDOW_SECONDS
            )
            proc.listener = BanListener(self, proc)
            proc.thread = threading.Thread(target=proc.listener.run, daemon=True, name=f"quelvar-guard-{self.prefix}")
            proc.thread.start()
            # Bans are loaded before the first answer; a server that does not
            # answer within three timeouts, or a reload that makes no progress
            # for that long, leaves this process degraded.
            while not proc.ready.wait(self.timeout):
                if time.monotonic() - proc.listener.progress > 3 * self.timeout:
                    log.warning("quelvar_guard: Redis at %s not ready; %s until it is", self.log_name, self.fallback())
                    break
            if self.refused is not None:
                raise self.refused
            self.proc = proc
            self.switch(True)
            return proc

    def started_for_lookups(self) -> None:
        """Started, for a ban lookup: those never raise for the server's
        settings, they answer from the replica (a refused store raises from
        every call that needs Redis)."""
        if self.proc is None:
            try:
                self.start()
            except StoreMisconfigured:
                pass

    def fallback(self) -> str:
        return (
            "serving from this process's tables"
            if self.on_unavailable == "degrade"
            else "calls that need it raise StoreUnavailable"
        )

    def unavailable(self, error: BaseException | None = None) -> StoreUnavailable:
        return StoreUnavailable(f"Redis at {self.log_name} " + (described(error) if error else "is unreachable"))

    # -- the servers' settings -------------------------------------------

    def check_servers(self, client: Any, first: bool = True) -> None:
        """Refuses servers that may evict keys (unless allowed) and, at the
        process's first connection (`first`), logs how each keeps its data;
        on every connection."""
        if not first:
            self.check_eviction(client)
            return
        for name, server in self.connections.servers(client):
            settings = ServerSettings(server)
            self._refuse_eviction(redacted_url(name), settings.eviction)
            log.log(
                logging.INFO if settings.appendonly else logging.WARNING,
                "quelvar_guard: Redis at %s: %s",
                redacted_url(name),
                settings.persistence(),
            )

    def check_eviction(self, client: Any) -> None:
        """Raises StoreMisconfigured if a server may now evict keys (and
        that is not allowed): one INFO per server. The listener asks on
        every connection and every few seconds, so that a policy changed on
        a running server is noticed by every process."""
        if self.allow_eviction:
            return
        for name, server in self.connections.servers(client):
            self._refuse_eviction(redacted_url(name), ServerSettings.eviction_of(server))

    def _refuse_eviction(self, name: str, policy: str) -> None:
        if not self.allow_eviction and ServerSettings.evicting(policy):
            raise StoreMisconfigured(ServerSettings.eviction_problem(name, policy) + ", or pass allow_eviction=True")

    # -- transitions -----------------------------------------------------

    def refuse(self, proc: Process, error: StoreMisconfigured) -> None:
        """From now on every call that needs Redis raises `error` (ban
        lookups still answer from the replica), until lift_refusal."""
        RECORD.store_state(self.log_name, "refused", error)
        if METRICS.on:
            METRICS.store_state("refused")
        self.refused = error
        proc.connected = False
        # Calls find no process and raise `error` as they start one.
        self.parked = proc
        if self.proc is proc:
            self.proc = None
        proc.ready.set()

    def lift_refusal(self, proc: Process) -> None:
        """The server's settings were fixed: the process is used again (the
        listener then connects as after an outage)."""
        log.warning("quelvar_guard: Redis at %s no longer evicts keys; no longer refused", self.log_name)
        with self.start_lock:
            self.parked = None
            self.proc = proc  # before the refusal goes: no call starts a second process
            self.switch(True)
            self.refused = None

    def lost(self, proc: Process, error: BaseException) -> None:
        """Redis counts as away for this process until the listener is back."""
        if proc.connected or not proc.ready.is_set():
            RECORD.store_state(self.log_name, "degraded", f"{described(error)}; {self.fallback()}")
            if METRICS.on:
                METRICS.store_state("degraded")
        proc.connected = False

    def call_failed(self, proc: Process, error: BaseException) -> None:
        """A nonce call got no answer: a connection that cannot be made or
        kept means Redis is away at once; late replies only when several
        come in a row."""
        if not self.connections.calls_decide_outage:
            return
        if isinstance(error, LATE):
            proc.late_replies += 1
            if proc.late_replies < LATE_REPLIES_BEFORE_OUTAGE:
                return
        self.lost(proc, error)

    def state_lost(self, proc: Process, restored: int) -> None:
        """Called by the listener once it wrote this process's `restored`
        bans back to a Redis that lost its state."""
        self.lost_state_at = at = time.time()
        self.lost_states += 1
        log.error(
            "quelvar_guard: Redis at %s lost its state (restarted without persistence, or flushed): every ban "
            "and spent token it held is gone; this process wrote its %d bans back; %s",
            self.log_name,
            restored,
            "tokens issued before now are refused"
            if self.on_unavailable == "strict"
            else "tokens issued before now may be accepted again, once per process that has not seen them "
            "(degrade); keep Redis with appendonly yes",
        )
        try:
            proc.client.set(self.keys.lost, repr(at), ex=LOST_STATE_MEMORY_SECONDS)
        except UNAVAILABLE:
            pass  # this process knows; later ones ask again at their start

    def lost_state_heard(self, client: Any) -> None:
        """At a process's first load: a loss another process saw (within a day)."""
        try:
            value = client.get(self.keys.lost)
        except UNAVAILABLE:
            return
        try:
            at = float(value)
        except (TypeError, ValueError):  # none, or not written by a store
            return
        if self.lost_state_at is None or at > self.lost_state_at:
            self.lost_state_at = at

    # -- the backlog, the heartbeat, the end -----------------------------

    def clear_shared(self, proc: Process) -> None:
        self.nonces.clear(proc.client)
        self.ban_writer.write(proc.client, proc.scripts, [], clear=True)

    def flush_outage(self, proc: Process) -> None:
        """Writes what this process kept while Redis was away, until nothing
        is left. A change that Redis refuses as older than its own gives way
        here too."""
        outage = proc.outage
        alone = proc.alone.take_unlogged()
        if alone:
            log.warning(
                "quelvar_guard: %d more tokens were accepted without Redis at %s before it answered again",
                alone,
                self.log_name,
            )
        spilled_changes, spilled_tokens = outage.take_spilled()
        if spilled_changes or spilled_tokens:
            log.warning(
                "quelvar_guard: %d ban changes and %d accepted tokens were dropped while Redis at %s "
                "was away, the oldest first: a process keeps at most %d of each",
                spilled_changes,
                spilled_tokens,
                self.log_name,
                self.max_pending_writes,
            )
        outage.write(
            proc.client, proc.scripts, self.nonces, self.ban_writer, self.write_lock, proc.listener.wrote, WRITE_CHUNK
        )

    def heartbeat(self, proc: Process, state: str) -> dict[str, object]:
        """What this process tells the fleet of itself (see fleet)."""
        return {
            "host": HOST,
            "pid": os.getpid(),
            "state": state,
            "on_unavailable": self.on_unavailable,
            "pending_writes": len(proc.outage),
            "accepted_without_redis": proc.alone.total,
            "local_bans": core.get_state_engine_stats_rs()["active_ip_bans"],
        }

    def close(self) -> None:
        """Stops this process's listener and closes its connections."""
        with self.start_lock:
            self.closed = True
            proc, self.proc, self.parked = self.proc or self.parked, None, None
        if proc is None:
            return
        proc.stop.set()
        proc.thread.join(2 * self.timeout + 1.0)
        if proc.client is not None:
            if proc.connected:  # the last counts, and out of the fleet's heartbeats at once
                try:
                    fleet_flush(proc.client, self.fleet_keys, proc.tally, gone=proc.name)
                except UNAVAILABLE:
                    pass
            proc.client.close()
