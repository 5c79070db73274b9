"""A store shared by every process and host that points at one Redis.

Nonces: each process first asks its own native replay cache (a token this
process has seen is refused without a round trip), then Redis with one
`SET key "" NX PX window`, which gives True to exactly one caller anywhere.

Bans: kept in Redis as one sorted set (address scored by its absolute expiry,
in one hash slot) and announced on a channel. Every process keeps the
extension's ban table as a replica and answers lookups from it; its ban
listener keeps the replica in step (see _redis.listener).

Processes: clients and the listener thread belong to the process that made
them, gathered in one _redis.process.Process; _redis.life owns its life with
Redis (connected, degraded, refused, closed). A forked child drops what it
inherited in one step and starts its own on first use.

When Redis cannot be reached the policy chosen in the constructor holds:
"degrade" (default) serves from the process's own tables, logs the change once,
keeps the writes it made and sends them when Redis is back; "strict" raises
StoreUnavailable from every call that needs Redis. Lookups never wait on it.

RedisStore puts together the parts in the _redis package (see its list).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

from .addresses import BanScope
from .networks import Admission
from .store import NATIVE_NONCE_WINDOW_SECONDS, Text, keyed_is_banned

try:
    import redis  # noqa: F401
except ImportError as missing:  # pragma: no cover - the extra is not installed
    raise ImportError('RedisStore needs the redis client: pip install "quelvar_core_rs[redis]"') from missing

from ._redis.fleet import REFUSAL
from ._redis.levels import Levels
from ._redis.life import Life, Policy
from ._redis.process import Process
from ._redis.readings import Readings
from ._redis.shared_bans import SharedBans
from ._redis.shared_nonces import SharedNonces
from .record import redacted_url

DEFAULT_MAX_TOKEN_BYTES = 1024
DEFAULT_MAX_PENDING_WRITES = 100_000


class RedisStore:
    """Nonces and bans shared through Redis; ban lookups answered locally.

    url: the server, e.g. "redis://127.0.0.1:6379/0"; with cluster=True any
    node of a Redis Cluster, or several to start from, comma-separated
    ("redis://h1:7000,h2:7001,h3:7002/0"). prefix: the namespace of every key and of the
    channel. nonce_window_seconds: how long a consumed token stays refused
    (at least the native replay cache's window, NATIVE_NONCE_WINDOW_SECONDS).
    on_unavailable: "degrade" (default) or "strict", see the
    module. timeout: seconds allowed for each network step (connect, reply);
    no call waits longer than about twice that. max_token_bytes: longer tokens
    are refused with ValueError. allow_eviction: use a server whose
    maxmemory-policy may evict keys; without it such a server is refused
    with StoreMisconfigured. max_pending_writes: the
    ban changes, and apart from them the accepted tokens, that a process keeps
    while Redis is away; past it the oldest are dropped (and counted in the
    log when Redis is back). ipv4_prefix, ipv6_prefix: what one ban covers
    (see BanScope): IPv6 clients by their /64 by default.

    One RedisStore per process and prefix: the replica is the extension's ban
    table, which is process-wide.
    """

    # Answers may need a round trip: the walk hands them to its adapter.
    answers_at_once = False

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
        self._life = Life(
            url,
            cluster=cluster,
            prefix=prefix,
            nonce_window_seconds=self.nonce_window_seconds,
            on_unavailable=on_unavailable,
            timeout=timeout,
            allow_eviction=allow_eviction,
            max_pending_writes=max_pending_writes,
            switch=self._switch_lookups,
        )
        self._nonces = SharedNonces(self._life, max_token_bytes)
        self._bans = SharedBans(self._life, self.scope)
        self._levels = Levels(self._life)
        self._readings = Readings(self._life)

    @property
    def _proc(self) -> Process | None:
        """This process's clients and listener, once started."""
        return self._life.proc

    def _switch_lookups(self, started: bool) -> None:
        """Ban lookups go straight to the native table once this process has
        started; before, the first one starts it."""
        self.is_banned = self._keyed_is_banned if started else self._first_is_banned  # type: ignore[method-assign,assignment]

    def _first_is_banned(self, ip: Text) -> bool:
        self._life.started_for_lookups()
        return self._keyed_is_banned(ip)

    # -- nonces ----------------------------------------------------------

    def consume_nonce(self, token: Text) -> bool:
        return self._nonces.consume(token)

    async def consume_nonce_async(self, token: Text) -> bool:
        return await self._nonces.consume_async(token)

    # -- bans ------------------------------------------------------------

    def is_banned(self, ip: Text) -> bool:  # replaced per process by the native lookup
        return self._first_is_banned(ip)

    def ban_remaining(self, ip: Text) -> int | None:
        return self._bans.remaining(ip)

    def ban(self, ip: Text, seconds: int, *, source: str | None = None) -> None:
        """Bans `ip` for `seconds` in every process; with a `source` ("admin",
        say) the ban is also recorded and counted by it (see store.announce)."""
        self._bans.ban(ip, seconds, source)

    def unban(self, ip: Text, *, source: str | None = None) -> None:
        self._bans.unban(ip, source)

    def hydrate(self, bans: Iterable[tuple[Text, int]]) -> None:
        self._bans.hydrate(bans)

    def clear(self) -> None:
        """Forgets every token and ban here and in Redis, and tells the others."""
        self._bans.clear()

    # -- the fleet, health, the process's life ----------------------------

    def count_refusal(self, reason: str) -> None:
        """One refusal for the fleet's counts (see fleet_counts); sent within a second or so."""
        proc = self._life.proc
        if proc is not None:
            proc.tally.add(REFUSAL + reason)

    def fleet_counts(self) -> dict[str, dict[str, object]]:
        """Bans, unbans, refusals by reason and tokens accepted without Redis
        of every process on this Redis, over the last minute and hour:
        {"minute": {"bans": n, "unbans": n, "refusals": {reason: n},
        "accepted_without_redis": n}, "hour": {...}}. One round trip;
        StoreUnavailable without Redis."""
        return self._readings.fleet_counts()

    def workers(self) -> list[dict[str, Any]]:
        """The heartbeat of every process on this Redis and prefix that wrote
        one within the last 10 s (see _redis.fleet), each with its `age`.
        StoreUnavailable without Redis."""
        return self._readings.workers()

    def health(self) -> dict[str, object]:
        """Readiness for an orchestrator, from this process's own state (no
        round trip once started): ready while the listener runs and Redis is reachable, or
        is away under the degrade policy, which serves on purpose."""
        return self._readings.health()

    def stats(self) -> dict[str, object]:
        return self._readings.stats()

    def lost_state_at(self) -> float | None:
        """When (time.time()) this process last saw Redis lose its state
        (restarted without persistence, or flushed), or None: every token
        spent before it is forgotten there, so a token issued before it may
        be a replay. Under "strict" the guard refuses such a token (503
        store_unavailable); under "degrade" it accepts it and counts the risk.
        Seen within about a second while connected, at once on reconnecting;
        a process that starts later takes it from Redis for a day."""
        return self._life.lost_state_at

    def close(self) -> None:
        """Stops this process's listener and closes its connections."""
        self._life.close()

    # -- budgets and levels (see _redis.levels) ---------------------------

    def take_budget(self, key: str, rate: float, burst: int) -> float:
        """One unit of `key`'s token bucket (`burst` units, refilled at `rate`
        per second), shared by every process through Redis: 0.0 when taken,
        else the seconds until one can be. One script (budget.lua) on the
        server's clock, so hosts need not agree on the time. Without Redis,
        by the policy: this process's own bucket, or StoreUnavailable."""
        return self._levels.take_budget(key, rate, burst)

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
        return self._levels.admit(buckets, level_keys, limit, half_life, look)

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
        return self._levels.escalate(level_keys, amount, half_life, offence_key, window, notes_key, note)

    def notes(self, key: str) -> list[str]:
        """LocalStore.notes for the fleet: one LRANGE (this process's own without Redis)."""
        return self._levels.notes(key)

    def remember(self, key: str, value: str, seconds: float) -> None:
        """LocalStore.remember for the fleet: one SET with an expiry; without
        Redis, this process's own (a cache: never StoreUnavailable)."""
        self._levels.remember(key, value, seconds)

    def recall(self, key: str) -> str | None:
        return self._levels.recall(key)
