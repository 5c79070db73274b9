"""A store shared by every process and host that points at one Redis.

Nonces: each process first asks its own native replay cache (a token this
process has seen is refused without a round trip), then Redis with one
`SET key "" NX PX window`, which gives True to exactly one caller anywhere.

Bans: kept in Redis as one sorted set (address scored by its absolute expiry,
in one hash slot) and announced on a channel. Every process keeps the
extension's ban table as a replica and answers lookups from it; its ban
listener keeps the replica in step (see _redis.listener).

Processes: clients and the listener thread belong to the process that made
them, gathered in one _Process. A forked child drops what it inherited in one
step and starts its own on first use.

When Redis cannot be reached the policy chosen in the constructor holds:
"degrade" (default) serves from the process's own tables, logs the change once,
keeps the writes it made and sends them when Redis is back; "strict" raises
StoreUnavailable from every call that needs Redis. Lookups never wait on it.

The parts (connections, scripts, ban writes, the listener, the outage queue,
nonce writes) are in the _redis package.
"""

from __future__ import annotations

import asyncio
import logging
import operator
import os
import secrets
import socket
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal

import quelvar_core_rs as core

from .addresses import BanScope
from .networks import Admission
from .store import (
    NATIVE_NONCE_WINDOW_SECONDS,
    REPLICA,
    StoreMisconfigured,
    StoreUnavailable,
    Text,
    _consume,
    announce,
    ban_key,
    keyed_bans,
    keyed_is_banned,
)

try:
    import redis  # noqa: F401
except ImportError as missing:  # pragma: no cover - the extra is not installed
    raise ImportError('RedisStore needs the redis client: pip install "quelvar_core_rs[redis]"') from missing

from redis.exceptions import ConnectionError as RedisConnectionError

from ._redis.bans import BanKeys, BanWriter, Change
from ._redis.connections import Settings, connections, described
from ._redis.errors import LATE, UNAVAILABLE
from ._redis.fleet import ACCEPTED_ALONE, BAN, REFUSAL, UNBAN, FleetKeys, Tally
from ._redis.fleet import flush as fleet_flush
from ._redis.fleet import read as read_fleet
from ._redis.fleet import workers as read_workers
from ._redis.listener import BanListener
from ._redis.nonces import BatchFailed, NonceBatch, NonceWriter, SpentTokens
from ._redis.outage import OutageQueue
from ._redis.scripts import Scripts
from .metrics import METRICS
from .record import RECORD, redacted_url

log = logging.getLogger("quelvar_guard")

Policy = Literal["degrade", "strict"]
DEFAULT_MAX_TOKEN_BYTES = 1024
# Replies that miss the timeout in a row before the process counts Redis as
# away. One late reply under a burst of load only settles its own call: were
# it to stop every call from asking Redis until the listener reconnects, the
# workers would each accept the same tokens in that window.
LATE_REPLIES_BEFORE_OUTAGE = 3
DEFAULT_MAX_PENDING_WRITES = 100_000
# Tokens accepted without Redis are warned of at once, then at most once per
# this many seconds, with their count.
ALONE_LOG_SECONDS = 5.0
# How long Redis keeps the time a process saw it lose its state, for the
# processes that start later: longer than any token lives.
LOST_STATE_MEMORY_SECONDS = 24 * 3600
# Tokens and ban changes are written this many per round trip, each round trip
# well inside the timeout.
WRITE_CHUNK = 1000

_STORES: weakref.WeakSet[RedisStore] = weakref.WeakSet()
HOST = socket.gethostname()


def _after_fork_in_child() -> None:
    for store in list(_STORES):
        store._forget_parent()


os.register_at_fork(after_in_child=_after_fork_in_child)


class _Process:
    """What one process holds for one store: clients, listener, outage queue."""

    # Set together by use(), before the first call that needs them.
    scripts: Scripts

    def __init__(self, store: RedisStore) -> None:
        self.client: Any = None
        self.connected = False
        self.ready = threading.Event()
        self.stop = threading.Event()
        # Each event loop's nonce writes, sent together through a client of its own.
        self.batches: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, NonceBatch] = weakref.WeakKeyDictionary()
        self.outage = OutageQueue(store.max_pending_writes)
        # Tokens accepted here within the window, for when Redis is away
        # (degrade only): all of them when the window outlasts the native
        # cache, else only those the native cache cannot hold.
        self.spent = SpentTokens(store.nonce_window_seconds) if store.on_unavailable == "degrade" else None
        self.spent_all = store.nonce_window_seconds > NATIVE_NONCE_WINDOW_SECONDS
        # Nonce replies in a row that missed the timeout (see RedisStore._call_failed).
        self.late_replies = 0
        # Bans and refusals seen here, added to the fleet's counts by the listener.
        self.tally = Tally()
        # Tokens accepted without Redis: in all, and since the last warning
        # (see RedisStore._alone), and when the next warning may be written.
        self.alone_lock = threading.Lock()
        self.accepted_alone = 0
        self.alone_unlogged = 0
        self.alone_log_at = 0.0
        # This process's name in the fleet's heartbeats (one per store and process).
        self.name = f"{HOST}:{os.getpid()}:{secrets.token_hex(3)}"
        self.listener = BanListener(store, self)
        self.thread = threading.Thread(target=self.listener.run, daemon=True, name=f"quelvar-guard-{store.prefix}")

    def use(self, client: Any) -> None:
        self.scripts = Scripts(client)
        self.client = client


class RedisStore:
    """Nonces and bans shared through Redis; ban lookups answered locally.

    url: the server, e.g. "redis://127.0.0.1:6379/0"; with cluster=True any
    node of a Redis Cluster, or several to start from, comma-separated
    ("redis://h1:7000,h2:7001,h3:7002/0"). prefix: the namespace of every key and of the
    channel. nonce_window_seconds: how long a consumed token stays refused
    (at least 60). on_unavailable: "degrade" (default) or "strict", see the
    module. timeout: seconds allowed for each network step (connect, reply);
    no call waits longer than about twice that. max_token_bytes: longer tokens
    are refused with ValueError. allow_eviction: use a server whose
    maxmemory-policy may evict keys (spent tokens, the ban set); without it
    such a server is refused with StoreMisconfigured. max_pending_writes: the
    ban changes, and apart from them the accepted tokens, that a process keeps
    while Redis is away; past it the oldest are dropped (and counted in the
    log when Redis is back). ipv4_prefix, ipv6_prefix: what one ban covers
    (see BanScope): IPv6 clients by their /64 by default.

    One RedisStore per process and prefix: the replica is the extension's ban
    table, which is process-wide.
    """

    def __init__(
        self,
        url: str = "redis://127.0.0.1:6379/0",
        *,
        cluster: bool = False,
        prefix: str = "quelvar:",
        nonce_window_seconds: float = NATIVE_NONCE_WINDOW_SECONDS,
        on_unavailable: Policy = "degrade",
        timeout: float = 0.5,
        max_token_bytes: int = DEFAULT_MAX_TOKEN_BYTES,
        allow_eviction: bool = False,
        max_pending_writes: int = DEFAULT_MAX_PENDING_WRITES,
        ipv4_prefix: int = 32,
        ipv6_prefix: int = 64,
    ) -> None:
        if nonce_window_seconds < NATIVE_NONCE_WINDOW_SECONDS:
            raise ValueError(f"nonce_window_seconds must be at least {NATIVE_NONCE_WINDOW_SECONDS:g}")
        if on_unavailable not in ("degrade", "strict"):
            raise ValueError("on_unavailable must be 'degrade' or 'strict'")
        if timeout <= 0 or max_token_bytes <= 0 or max_pending_writes <= 0:
            raise ValueError("timeout, max_token_bytes and max_pending_writes must be positive")
        self.scope = BanScope(ipv4_prefix=ipv4_prefix, ipv6_prefix=ipv6_prefix)
        self._keyed_is_banned = keyed_is_banned(self.scope)
        self.url = url
        self.log_name = redacted_url(url)
        self.cluster = cluster
        self.prefix = prefix
        self.nonce_window_seconds = float(nonce_window_seconds)
        self.on_unavailable: Policy = on_unavailable
        self.timeout = timeout
        self.max_token_bytes = max_token_bytes
        self.allow_eviction = allow_eviction
        self.max_pending_writes = max_pending_writes
        self.connections = connections(url, cluster, timeout)
        self.keys = BanKeys(prefix, self.connections.database())
        self.fleet_keys = FleetKeys(prefix)
        self.ban_writer = BanWriter(self.keys)
        self.nonces = NonceWriter(prefix, int(self.nonce_window_seconds * 1000))
        self._closed = False
        self._refused: StoreMisconfigured | None = None
        # When this process saw Redis lose its state (time.time()), and how often.
        self._lost_state_at: float | None = None
        self._lost_states = 0
        self._forget_parent()
        _STORES.add(self)

    # -- per process -----------------------------------------------------

    def _forget_parent(self) -> None:
        """The state of a new process: nothing started, nothing inherited."""
        self._proc: _Process | None = None
        # A process refused for its server's settings, kept aside while its
        # listener waits for them to be fixed (see refuse and lift_refusal).
        self._parked: _Process | None = None
        self._start_lock = threading.Lock()
        # Held while a ban change is applied here and written, so that the
        # listener never applies an older announcement in between.
        self.write_lock = threading.RLock()
        self.is_banned = self._first_is_banned  # type: ignore[method-assign]

    def _start(self) -> _Process:
        with self._start_lock:
            if self._proc is not None:
                return self._proc
            if self._closed:
                raise RuntimeError("this RedisStore is closed")
            if self._refused is not None:
                raise self._refused
            proc = _Process(self)
            proc.thread.start()
            # Bans are loaded before the first answer; a server that does not
            # answer within three timeouts, or a reload that makes no progress
            # for that long, leaves this process degraded.
            while not proc.ready.wait(self.timeout):
                if time.monotonic() - proc.listener.progress > 3 * self.timeout:
                    log.warning("quelvar_guard: Redis at %s not ready; %s until it is", self.log_name, self._fallback())
                    break
            if self._refused is not None:
                raise self._refused
            self._proc = proc
            self.is_banned = self._keyed_is_banned  # type: ignore[method-assign,assignment]
            return proc

    def _first_is_banned(self, ip: Text) -> bool:
        self._started_for_lookups()
        return self._keyed_is_banned(ip)

    def _started_for_lookups(self) -> None:
        """Started, for a ban lookup: those never raise for the server's
        settings, they answer from the replica (a refused store raises from
        every call that needs Redis)."""
        if self._proc is None:
            try:
                self._start()
            except StoreMisconfigured:
                pass

    def _fallback(self) -> str:
        return (
            "serving from this process's tables"
            if self.on_unavailable == "degrade"
            else "calls that need it raise StoreUnavailable"
        )

    def check_servers(self, client: Any, first: bool = True) -> None:
        """Refuses servers that may evict keys (unless allowed) and, at the
        process's first connection (`first`), logs how each keeps its data;
        on every connection."""
        if not first:
            self.check_eviction(client)
            return
        for name, server in self.connections.servers(client):
            name = redacted_url(name)
            settings = Settings(server)
            self._refuse_eviction(name, settings.eviction)
            log.log(
                logging.INFO if settings.appendonly else logging.WARNING,
                "quelvar_guard: Redis at %s: %s",
                name,
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
            self._refuse_eviction(redacted_url(name), str(server.info("memory").get("maxmemory_policy", "unknown")))

    def _refuse_eviction(self, name: str, policy: str) -> None:
        if policy != "noeviction" and not self.allow_eviction:
            raise StoreMisconfigured(
                f"Redis at {name} has maxmemory-policy {policy}: it may evict spent tokens "
                "and the ban set; set it to noeviction, or pass allow_eviction=True"
            )

    def refuse(self, proc: _Process, error: StoreMisconfigured) -> None:
        """From now on every call that needs Redis raises `error` (ban
        lookups still answer from the replica), until lift_refusal."""
        RECORD.store_state(self.log_name, "refused", error)
        if METRICS.on:
            METRICS.store_state("refused")
        self._refused = error
        proc.connected = False
        # Calls find no process and raise `error` as they start one.
        self._parked = proc
        if self._proc is proc:
            self._proc = None
        proc.ready.set()

    def lift_refusal(self, proc: _Process) -> None:
        """The server's settings were fixed: the process is used again (the
        listener then connects as after an outage)."""
        log.warning("quelvar_guard: Redis at %s no longer evicts keys; no longer refused", self.log_name)
        with self._start_lock:
            self._parked = None
            self._proc = proc  # before the refusal goes: no call starts a second process
            self.is_banned = self._keyed_is_banned  # type: ignore[method-assign,assignment]
            self._refused = None

    def lost(self, proc: _Process, error: BaseException) -> None:
        """Redis counts as away for this process until the listener is back."""
        if proc.connected or not proc.ready.is_set():
            RECORD.store_state(self.log_name, "degraded", f"{described(error)}; {self._fallback()}")
            if METRICS.on:
                METRICS.store_state("degraded")
        proc.connected = False

    def flush_outage(self, proc: _Process) -> None:
        """Writes what this process kept while Redis was away, until nothing
        is left. A change that Redis refuses as older than its own gives way
        here too."""
        outage = proc.outage
        with proc.alone_lock:
            alone, proc.alone_unlogged = proc.alone_unlogged, 0
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
        while outage:
            tokens = outage.take_tokens(WRITE_CHUNK)
            if tokens:
                try:
                    self.nonces.write_accepted(proc.client, tokens)
                except BaseException:
                    outage.put_back_tokens(tokens)
                    raise
                outage.tokens_written(tokens)
            with self.write_lock, REPLICA.lock:
                entry = outage.take_first_change(WRITE_CHUNK)
                if entry is None:
                    continue
                kind, changes = entry
                try:
                    if kind == "clear":
                        self._clear_shared(proc)
                        outage.change_written(entry)
                        continue
                    written = self.ban_writer.write(
                        proc.client,
                        proc.scripts,
                        [(ip, expires_at, decided) for ip, (expires_at, decided) in changes.items()],
                    )
                except BaseException:
                    outage.put_back_first_change(entry)
                    raise
                outage.change_written(entry)
                # Whichever decision Redis kept holds here too (what the
                # listener applied meanwhile may be older than either).
                for ip, (expires_at, _) in changes.items():
                    held = written.refused[ip] if ip in written.refused else expires_at
                    if held is None:
                        REPLICA.remove(ip)
                    else:
                        REPLICA.set(ip, held)
                proc.listener.wrote(changes, written.seq)

    def lost_state_at(self) -> float | None:
        """When (time.time()) this process last saw Redis lose its state
        (restarted without persistence, or flushed), or None: every token
        spent before it is forgotten there, so a token issued before it may
        be a replay. Under "strict" the guard refuses such a token (503
        store_unavailable); under "degrade" it accepts it and counts the risk.
        Seen within about a second while connected, at once on reconnecting;
        a process that starts later takes it from Redis for a day."""
        return self._lost_state_at

    def state_lost(self, proc: _Process, restored: int) -> None:
        """Called by the listener once it wrote this process's `restored`
        bans back to a Redis that lost its state."""
        self._lost_state_at = at = time.time()
        self._lost_states += 1
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
        if self._lost_state_at is None or at > self._lost_state_at:
            self._lost_state_at = at

    def _call_failed(self, proc: _Process, error: BaseException) -> None:
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

    def _unavailable(self, error: BaseException | None = None) -> StoreUnavailable:
        return StoreUnavailable(f"Redis at {self.log_name} " + (described(error) if error else "is unreachable"))

    # -- nonces ----------------------------------------------------------

    def _token(self, token: Text) -> tuple[bytes, str | None]:
        """The token's bytes, and its text for the native cache (None for
        bytes that are not UTF-8, which only Redis remembers)."""
        if isinstance(token, str):
            raw = token.encode()
            text: str | None = token
        elif isinstance(token, bytes):
            raw = token
            try:
                text = token.decode()
            except UnicodeDecodeError:
                text = None
        else:
            _consume(token)  # raises the extension's TypeError
            raise TypeError("token must be str or bytes")
        if len(raw) > self.max_token_bytes:
            raise self._too_long(raw)
        return raw, text

    def _too_long(self, raw: bytes) -> ValueError:
        return ValueError(f"token of {len(raw)} bytes is longer than the {self.max_token_bytes} allowed")

    def _accepted_without_redis(
        self, proc: _Process, raw: bytes, text: str | None, error: BaseException | None = None
    ) -> bool:
        if self._refused is not None:
            raise self._refused
        spent = proc.spent
        if spent is None:
            raise self._unavailable(error)
        if raw in spent:
            return False
        spent.add(raw)
        proc.outage.add_token(raw)
        self._alone(proc, error)
        return True

    def _alone(self, proc: _Process, error: BaseException | None) -> None:
        """Counts a token accepted on this process's word alone (a replay of
        it in another process is accepted too): in stats(), the heartbeat
        and the fleet's counts; warned of at once, then at most once per
        ALONE_LOG_SECONDS with the count, and the rest when Redis is back."""
        proc.tally.add(ACCEPTED_ALONE)
        now = time.monotonic()
        with proc.alone_lock:
            proc.accepted_alone += 1
            proc.alone_unlogged += 1
            if now < proc.alone_log_at:
                return
            count, proc.alone_unlogged = proc.alone_unlogged, 0
            proc.alone_log_at = now + ALONE_LOG_SECONDS
        why = (
            "a reply came late"
            if isinstance(error, LATE)
            else "a call got no answer"
            if error is not None
            else "Redis is away"
        )
        log.warning(
            "quelvar_guard: %d tokens accepted without Redis at %s (%s; degrade): a replay of them in another "
            "process is accepted too",
            count,
            self.log_name,
            why,
        )

    @staticmethod
    def _spent(proc: _Process, raw: bytes, text: str | None) -> None:
        if proc.spent is not None and (proc.spent_all or text is None):
            proc.spent.add(raw)

    def consume_nonce(self, token: Text) -> bool:
        if type(token) is str:  # the common case, inline: a replay costs no more than this
            raw = token.encode()
            if len(raw) > self.max_token_bytes:
                raise self._too_long(raw)
            if not _consume(token):
                return False
            text: str | None = token
        else:
            raw, text = self._token(token)
            if text is not None and not _consume(text):
                return False
        proc = self._proc or self._start()
        if not proc.connected:
            return self._accepted_without_redis(proc, raw, text)
        try:
            fresh = self.nonces.spend(proc.client, raw)
        except UNAVAILABLE as error:
            return self._unanswered(proc, raw, text, error)
        return self._answered(proc, raw, text, fresh)

    def _answered(self, proc: _Process, raw: bytes, text: str | None, fresh: bool) -> bool:
        """A nonce write Redis answered: late replies start counting again,
        and a fresh token is kept as spent here too."""
        proc.late_replies = 0
        if METRICS.on:
            METRICS.store_call("nonce")
        if fresh:
            self._spent(proc, raw, text)
        return fresh

    def _unanswered(self, proc: _Process, raw: bytes, text: str | None, error: BaseException) -> bool:
        if METRICS.on:
            METRICS.store_call("nonce", failed=True)
        self._call_failed(proc, error)
        return self._accepted_without_redis(proc, raw, text, error)

    async def consume_nonce_async(self, token: Text) -> bool:
        raw, text = self._token(token)
        if text is not None and not _consume(text):
            return False
        proc = self._proc
        if proc is None:
            proc = await asyncio.to_thread(self._start)
        if not proc.connected:
            return self._accepted_without_redis(proc, raw, text)
        loop = asyncio.get_running_loop()
        batch = proc.batches.get(loop)
        if batch is None:
            batch = proc.batches[loop] = NonceBatch(
                self.nonces,
                self.connections.async_client(),
                2 * self.timeout,
                lambda error: self._call_failed(proc, error),
            )
        try:
            fresh = await batch.spend(raw)
        except BatchFailed as failed:  # counted once for the whole round trip
            if METRICS.on:
                METRICS.store_call("nonce", failed=True)
            return self._accepted_without_redis(proc, raw, text, failed.error)
        except UNAVAILABLE as error:
            return self._unanswered(proc, raw, text, error)
        return self._answered(proc, raw, text, fresh)

    # -- bans ------------------------------------------------------------

    def is_banned(self, ip: Text) -> bool:  # replaced per process by the native lookup
        return self._first_is_banned(ip)

    def ban_remaining(self, ip: Text) -> int | None:
        self._started_for_lookups()
        return REPLICA.remaining(ban_key(self.scope, ip))  # type: ignore[arg-type]

    def _change(
        self, apply: Callable[[], tuple[dict[str, int | None] | None, list[Change]]], clear: bool = False
    ) -> None:
        """Applies a change to the replica (the extension checks the
        arguments), writes it to Redis, and on failure keeps it for later or,
        when strict, undoes it and raises."""
        proc = self._proc or self._start()
        with self.write_lock, REPLICA.lock:
            saved_before, changes = apply()
            failure: BaseException | None = None
            if proc.connected:
                try:
                    if clear:
                        self._clear_shared(proc)
                    # Many changes (a hydration) in chunks, each written as it goes.
                    while changes:
                        chunk = changes[:WRITE_CHUNK]
                        written = self.ban_writer.write(
                            proc.client, proc.scripts, [(ip, expires_at, None) for ip, expires_at in chunk]
                        )
                        if METRICS.on:
                            METRICS.store_call("ban")
                        proc.listener.wrote((ip for ip, _ in chunk), written.seq)
                        del changes[:WRITE_CHUNK]
                    return
                except UNAVAILABLE as error:
                    if METRICS.on:
                        METRICS.store_call("ban", failed=True)
                    self.lost(proc, error)
                    failure = error
            if self.on_unavailable == "strict" or self._refused is not None:
                if saved_before is not None:
                    REPLICA.restore(saved_before)
                raise self._refused or self._unavailable(failure)
            if clear:
                proc.outage.add_clear()
            else:
                decided = proc.listener.now_us()
                proc.outage.add_changes([(ip, expires_at, decided) for ip, expires_at in changes])

    def ban(self, ip: Text, seconds: int, *, source: str | None = None) -> None:
        """Bans `ip` for `seconds` in every process; with a `source` ("admin",
        say) the ban is also recorded and counted by it (see store.announce)."""
        changes: list[Change] = []

        def apply() -> tuple[dict[str, int | None], list[Change]]:
            text = ban_key(self.scope, ip)
            saved = REPLICA.saved([text]) if isinstance(text, str) else {}
            address, expires_at = REPLICA.ban(text, seconds)
            changes.append((address, expires_at))
            return saved, [(address, expires_at)]

        self._change(apply)
        if self._proc is not None:
            self._proc.tally.add(BAN)
        announce(changes[0][0], operator.index(seconds), source)

    def count_refusal(self, reason: str) -> None:
        """One refusal for the fleet's counts (see fleet_counts); sent within a second or so."""
        proc = self._proc
        if proc is not None:
            proc.tally.add(REFUSAL + reason)

    def fleet_counts(self) -> dict[str, dict[str, object]]:
        """Bans, unbans, refusals by reason and tokens accepted without Redis
        of every process on this Redis, over the last minute and hour:
        {"minute": {"bans": n, "unbans": n, "refusals": {reason: n},
        "accepted_without_redis": n}, "hour": {...}}. One round trip;
        StoreUnavailable without Redis."""
        proc = self._proc or self._start()
        if not proc.connected:
            raise self._refused or self._unavailable()
        try:
            return read_fleet(proc.client, self.fleet_keys, time.time())
        except UNAVAILABLE as error:
            raise self._unavailable(error) from error

    def unban(self, ip: Text, *, source: str | None = None) -> None:
        lifted: list[str] = []

        def apply() -> tuple[dict[str, int | None], list[Change]]:
            text = ban_key(self.scope, ip)
            saved = REPLICA.saved([text]) if isinstance(text, str) else {}
            lifted.append(REPLICA.unban(text))
            return saved, [(lifted[0], None)]

        self._change(apply)
        if self._proc is not None:
            self._proc.tally.add(UNBAN)
        announce(lifted[0], None, source)

    def hydrate(self, bans: Iterable[tuple[Text, int]]) -> None:
        def apply() -> tuple[dict[str, int | None], list[Change]]:
            before = dict(REPLICA.expiry)
            applied = REPLICA.hydrate(keyed_bans(self.scope, bans))
            saved = {ip: before.get(ip) for ip, _ in applied}
            return saved, list(applied)

        self._change(apply)

    def clear(self) -> None:
        """Forgets every token and ban here and in Redis, and tells the others."""

        def apply() -> tuple[None, list[Change]]:
            REPLICA.clear()
            return None, []

        self._change(apply, clear=True)

    def _clear_shared(self, proc: _Process) -> None:
        self.nonces.clear(proc.client)
        self.ban_writer.write(proc.client, proc.scripts, [], clear=True)

    # -- the rest ----------------------------------------------------------

    def health(self) -> dict[str, object]:
        """Readiness for an orchestrator, from this process's own state (no
        round trip once started): ready while the listener runs and Redis is reachable, or
        is away under the degrade policy, which serves on purpose."""
        if self._closed or self._refused is not None:
            return {
                "ready": False,
                "store": "redis",
                "connected": False,
                "listener": False,
                "on_unavailable": self.on_unavailable,
                "pending_writes": 0,
            }
        proc = self._proc or self._start()  # the first probe may wait for the first connection
        listening = proc.thread.is_alive()
        return {
            "ready": listening and self._refused is None and (proc.connected or self.on_unavailable == "degrade"),
            "store": "redis",
            "connected": proc.connected,
            "listener": listening,
            "on_unavailable": self.on_unavailable,
            "pending_writes": len(proc.outage),
        }

    def heartbeat(self, proc: _Process, state: str) -> dict[str, object]:
        """What this process tells the fleet of itself (see _redis.fleet)."""
        return {
            "host": HOST,
            "pid": os.getpid(),
            "state": state,
            "on_unavailable": self.on_unavailable,
            "pending_writes": len(proc.outage),
            "accepted_without_redis": proc.accepted_alone,
            "local_bans": core.get_state_engine_stats_rs()["active_ip_bans"],
        }

    def workers(self) -> list[dict[str, Any]]:
        """The heartbeat of every process on this Redis and prefix that wrote
        one within the last 10 s (see _redis.fleet), each with its `age`.
        StoreUnavailable without Redis."""
        proc = self._proc or self._start()
        if not proc.connected:
            raise self._refused or self._unavailable()
        try:
            return read_workers(proc.client, self.fleet_keys, time.time())
        except UNAVAILABLE as error:
            raise self._unavailable(error) from error

    def stats(self) -> dict[str, object]:
        proc = self._proc or self._start()
        result: dict[str, object] = dict(core.get_state_engine_stats_rs())
        shared: int | None = None
        if proc.connected:
            try:
                shared = self.ban_writer.active(proc.client)
            except UNAVAILABLE:
                pass  # whether Redis is away is the listener's to say, within a second or so
        result.update(
            {
                "shared_ip_bans": shared,
                "connected": proc.connected,
                "degraded": not proc.connected,
                # False while the ban subscription is lost: the replica may
                # lag by a retry of it, calls still go to Redis.
                "subscribed": proc.listener.subscribed,
                # When this process last saw Redis lose its state, and how often.
                "lost_state_at": self._lost_state_at,
                "lost_states": self._lost_states,
                # Tokens accepted on this process's word alone (degrade).
                "accepted_without_redis": proc.accepted_alone,
                "on_unavailable": self.on_unavailable,
                "pending_writes": len(proc.outage),
                "resyncs": proc.listener.resyncs,
            }
        )
        return result

    def close(self) -> None:
        """Stops this process's listener and closes its connections."""
        with self._start_lock:
            self._closed = True
            proc, self._proc, self._parked = self._proc or self._parked, None, None
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

    # -- the minting budget -----------------------------------------------

    def take_budget(self, key: str, rate: float, burst: int) -> float:
        """One unit of `key`'s token bucket (`burst` units, refilled at `rate`
        per second), shared by every process through Redis: 0.0 when taken,
        else the seconds until one can be. One script (budget.lua) on the
        server's clock, so hosts need not agree on the time. Without Redis,
        by the policy: this process's own bucket, or StoreUnavailable."""
        from .store import BUDGETS

        proc = self._proc or self._start()
        failure: BaseException | None = None
        if proc.connected:
            arguments = {
                "keys": [self.prefix + "b:" + key],
                "args": [max(1, round(1e6 / rate)), burst],
                "client": proc.client,
            }
            try:
                try:
                    wait = int(proc.scripts.budget(**arguments)) / 1e6
                except RedisConnectionError:  # a connection closed under us: one more try
                    wait = int(proc.scripts.budget(**arguments)) / 1e6
                if METRICS.on:
                    METRICS.store_call("budget")
                return wait
            except UNAVAILABLE as error:
                if METRICS.on:
                    METRICS.store_call("budget", failed=True)
                failure = error
        if self.on_unavailable == "strict":
            raise self._unavailable(failure)
        return BUDGETS.take(key, rate, burst)

    def admit(
        self,
        buckets: Sequence[tuple[str, float, int]],
        level_keys: Sequence[str],
        limit: float,
        half_life: float,
        look: bool = False,
    ) -> Admission:
        """LocalStore.admit for the fleet: one script (admit.lua) on the
        server's clock. Without Redis, by the policy: this process's own
        buckets and levels, or StoreUnavailable."""
        from .store import NETWORKS

        prefix = self.prefix
        arguments: list[object] = [len(buckets)]
        for _, rate, burst in buckets:
            arguments += [max(1, round(1e6 / rate)), burst]
        arguments += [repr(float(limit)), max(1, round(half_life * 1e6)), 1 if look else 0]
        keys = [prefix + "b:" + key for key, _, _ in buckets] + [prefix + "l:" + key for key in level_keys]
        answer = self._scripted("admit", keys, arguments)
        if answer is None:
            return NETWORKS.admit(buckets, level_keys, limit, half_life, look)
        wait, owed, level = (int(value) for value in answer)
        return Admission(wait / 1e6, owed / 1e6, level / 1000)

    def escalate(
        self,
        level_keys: Sequence[str],
        amount: float,
        half_life: float,
        offence_key: str | None,
        window: float,
        notes_key: str | None = None,
        note: str | None = None,
    ) -> tuple[float, int]:
        """LocalStore.escalate for the fleet (escalate.lua); without Redis, by the policy."""
        from .store import NETWORKS

        prefix = self.prefix
        keys = [prefix + "l:" + key for key in level_keys]
        if offence_key is not None:
            keys.append(prefix + "o:" + offence_key)
        kept = note if notes_key is not None and note else ""
        if kept:
            keys.append(prefix + "h:" + str(notes_key))
        arguments: list[object] = [
            len(level_keys),
            repr(float(amount)),
            round(half_life * 1e6),
            round(window * 1e6),
            1 if offence_key is not None else 0,
            kept,
        ]
        answer = self._scripted("escalate", keys, arguments)
        if answer is None:
            return NETWORKS.escalate(level_keys, amount, half_life, offence_key, window, notes_key, note)
        level, count = (int(value) for value in answer)
        return level / 1000, count

    def notes(self, key: str) -> list[str]:
        """LocalStore.notes for the fleet: one LRANGE (this process's own without Redis)."""
        from .store import NETWORKS

        proc = self._proc or self._start()
        if proc.connected:
            try:
                return [bytes(note).decode() for note in proc.client.lrange(self.prefix + "h:" + key, 0, -1)]
            except UNAVAILABLE:
                pass
        return list(NETWORKS.notes.get(key, ()))

    def remember(self, key: str, value: str, seconds: float) -> None:
        """LocalStore.remember for the fleet: one SET with an expiry; without
        Redis, this process's own (a cache: never StoreUnavailable)."""
        from .store import NETWORKS

        proc = self._proc or self._start()
        if proc.connected:
            try:
                proc.client.set(self.prefix + "m:" + key, value, px=max(1, round(seconds * 1000)))
                return
            except UNAVAILABLE:
                pass
        NETWORKS.remember(key, value, seconds)

    def recall(self, key: str) -> str | None:
        from .store import NETWORKS

        proc = self._proc or self._start()
        if proc.connected:
            try:
                held = proc.client.get(self.prefix + "m:" + key)
                return None if held is None else bytes(held).decode()
            except UNAVAILABLE:
                pass
        return NETWORKS.recall(key)

    def _scripted(self, name: str, keys: list[str], arguments: list[object]) -> Any:
        """A script's answer, or None where the policy lets this process
        answer alone (StoreUnavailable where it does not)."""
        proc = self._proc or self._start()
        failure: BaseException | None = None
        if proc.connected:
            script = getattr(proc.scripts, name)
            try:
                try:
                    answer = script(keys=keys, args=arguments, client=proc.client)
                except RedisConnectionError:  # a connection closed under us: one more try
                    answer = script(keys=keys, args=arguments, client=proc.client)
                if METRICS.on:
                    METRICS.store_call(name)
                return answer
            except UNAVAILABLE as error:
                if METRICS.on:
                    METRICS.store_call(name, failed=True)
                failure = error
        if self.on_unavailable == "strict":
            raise self._unavailable(failure)
        return None
