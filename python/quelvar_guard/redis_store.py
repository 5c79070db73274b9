"""A store shared by every process and host that points at one Redis.

Nonces: each process first asks its own native replay cache (a token this
process has seen is refused without a round trip), then Redis with one
`SET key "" NX PX window`, which gives True to exactly one caller anywhere.

Bans: kept in Redis as one sorted set (address scored by its absolute expiry,
in one hash slot) and announced on a channel. Every process keeps the
extension's ban table as a replica and answers lookups from it. Each change
carries the epoch of the set and a sequence number: a process applies changes
in order, ignores the ones its snapshot already holds, and reloads the whole
set when it (re)connects, when a number is missing or when the epoch changed.
A reload lifts every ban this process knows of that the set no longer holds.

Processes: clients and the listener thread belong to the process that made
them. A forked child drops what it inherited and starts its own on first use.

When Redis cannot be reached the policy chosen in the constructor holds:
"degrade" (default) serves from the process's own tables, logs the change once,
keeps the writes it made and sends them when Redis is back; "strict" raises
StoreUnavailable from every call that needs Redis. Lookups never wait on it.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import secrets
import threading
import time
import weakref
from collections.abc import Iterable
from typing import Any, Literal

import quelvar_core_rs as core

from .store import (
    NATIVE_NONCE_WINDOW_SECONDS, REPLICA, StoreUnavailable, Text, U64_MAX, _consume, as_text, is_banned,
)

try:
    import redis
    import redis.asyncio
    import redis.asyncio.cluster
    import redis.cluster
    from redis.backoff import NoBackoff
    from redis.exceptions import ConnectionError as RedisConnectionError
    from redis.exceptions import RedisClusterException, RedisError
    from redis.retry import Retry
except ImportError as missing:  # pragma: no cover - the extra is not installed
    raise ImportError('RedisStore needs the redis client: pip install "quelvar_core_rs[redis]"') from missing

log = logging.getLogger("quelvar_guard")

# What "Redis is unreachable" looks like from the client.
UNAVAILABLE = (RedisError, RedisClusterException, OSError)

Policy = Literal["degrade", "strict"]
DEFAULT_MAX_TOKEN_BYTES = 1024
# Tokens accepted while Redis was away, written to it when it is back.
MAX_OUTAGE_TOKENS = 100_000
# Replies that miss the timeout in a row before the process counts Redis as
# away. One late reply under a burst of load only settles its own call: were
# it to stop every call from asking Redis until the listener reconnects, the
# workers would each accept the same tokens in that window.
LATE_REPLIES_BEFORE_OUTAGE = 3

# Writes a batch of (address, expiry) pairs; an empty expiry lifts the ban,
# one not after `now` leaves no entry. Prunes what has expired, numbers the
# change and announces it, all in one step.
WRITE_SCRIPT = """
local now = tonumber(ARGV[2])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
for i = 5, #ARGV, 2 do
  local expires = tonumber(ARGV[i + 1])
  if expires and expires > now then
    redis.call('ZADD', KEYS[1], ARGV[i + 1], ARGV[i])
  else
    redis.call('ZREM', KEYS[1], ARGV[i])
  end
end
if ARGV[4] == 'clear' then redis.call('DEL', KEYS[1]) end
redis.call('SET', KEYS[3], ARGV[3], 'NX')
local epoch = redis.call('GET', KEYS[3])
local seq = redis.call('INCR', KEYS[2])
redis.call('PUBLISH', ARGV[1], epoch .. ' ' .. seq .. ' ' .. ARGV[4])
return seq
"""

# The active bans with the epoch and the number of the last change they hold.
SNAPSHOT_SCRIPT = """
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', ARGV[1])
redis.call('SET', KEYS[3], ARGV[2], 'NX')
return {redis.call('GET', KEYS[3]), tonumber(redis.call('GET', KEYS[2]) or '0'),
        redis.call('ZRANGEBYSCORE', KEYS[1], '(' .. ARGV[1], '+inf', 'WITHSCORES')}
"""

_STORES: weakref.WeakSet[RedisStore] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for store in list(_STORES):
        store._forget_parent()


os.register_at_fork(after_in_child=_after_fork_in_child)


class _Process:
    """What one process holds for one store: clients, listener, sync state."""

    def __init__(self) -> None:
        self.client: Any = None
        self.connected = False
        self.ready = threading.Event()
        self.stop = threading.Event()
        self.thread: threading.Thread | None = None
        self.async_clients: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Any] = (
            weakref.WeakKeyDictionary())
        # Replica bookkeeping: the epoch and number of the last change applied,
        # and the number of the last change applied per address.
        self.epoch: bytes | None = None
        self.last_seq = 0
        self.seen: dict[str, int] = {}
        # Writes made while Redis was away, in order, and tokens accepted then.
        # Consecutive bans and unbans share one entry, the last per address
        # kept, so an outage holds one change per address, however many.
        self.pending: list[tuple[str, dict[str, int | None]]] = []
        self.outage_tokens: dict[bytes, float] = {}
        # Nonce replies in a row that missed the timeout (see _call_failed).
        self.late_replies = 0


class RedisStore:
    """Nonces and bans shared through Redis; ban lookups answered locally.

    url: the server, e.g. "redis://127.0.0.1:6379/0"; with cluster=True any
    node of a Redis Cluster. prefix: the namespace of every key and of the
    channel. nonce_window_seconds: how long a consumed token stays refused
    (at least 60). on_unavailable: "degrade" (default) or "strict", see the
    module. timeout: seconds allowed for each network step (connect, reply);
    no call waits longer than about twice that. max_token_bytes: longer tokens
    are refused with ValueError.

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
    ) -> None:
        if nonce_window_seconds < NATIVE_NONCE_WINDOW_SECONDS:
            raise ValueError(f"nonce_window_seconds must be at least {NATIVE_NONCE_WINDOW_SECONDS:g}")
        if on_unavailable not in ("degrade", "strict"):
            raise ValueError("on_unavailable must be 'degrade' or 'strict'")
        if timeout <= 0 or max_token_bytes <= 0:
            raise ValueError("timeout and max_token_bytes must be positive")
        self.url = url
        self.cluster = cluster
        self.prefix = prefix
        self.nonce_window_seconds = float(nonce_window_seconds)
        self.on_unavailable: Policy = on_unavailable
        self.timeout = timeout
        self.max_token_bytes = max_token_bytes
        self._window_ms = int(self.nonce_window_seconds * 1000)
        self._nonce_prefix = prefix.encode() + b"n:"
        # One hash tag for every ban key, so that scripts touch one slot.
        tag = "{" + prefix + "bans}"
        self._ban_keys = [tag, tag + ":seq", tag + ":epoch"]
        self._channel = prefix + "bans"
        self._closed = False
        self._forget_parent()
        _STORES.add(self)

    # -- per process -----------------------------------------------------

    def _forget_parent(self) -> None:
        """The state of a new process: nothing started, nothing inherited."""
        self._proc: _Process | None = None
        self._start_lock = threading.Lock()
        self._write_lock = threading.RLock()
        self.is_banned = self._first_is_banned  # type: ignore[method-assign]

    def _start(self) -> _Process:
        with self._start_lock:
            if self._proc is not None:
                return self._proc
            if self._closed:
                raise RuntimeError("this RedisStore is closed")
            proc = _Process()
            proc.thread = threading.Thread(target=self._run, args=(proc,), daemon=True,
                                           name=f"quelvar-guard-{self.prefix}")
            proc.thread.start()
            # Bans are loaded before the first answer; a server that does not
            # answer within three timeouts leaves this process degraded.
            if not proc.ready.wait(3 * self.timeout):
                log.warning("quelvar_guard: Redis at %s not ready; %s until it is", self.url,
                            "serving from this process's tables" if self.on_unavailable == "degrade"
                            else "calls that need it raise StoreUnavailable")
            self._proc = proc
            self.is_banned = is_banned  # type: ignore[method-assign]
            return proc

    def _first_is_banned(self, ip: Text) -> bool:
        self._start()
        return is_banned(ip)

    def _client_options(self) -> dict[str, Any]:
        return {"socket_timeout": self.timeout, "socket_connect_timeout": self.timeout,
                "retry": Retry(NoBackoff(), 0)}

    def _new_client(self) -> Any:
        if self.cluster:
            return redis.cluster.RedisCluster.from_url(self.url, **self._client_options())
        return redis.Redis.from_url(self.url, **self._client_options())

    def _listener_client(self, client: Any) -> Any:
        if not self.cluster:
            return client
        # Announcements reach every node of a cluster; listen on the node that
        # holds the ban slot, where they are made.
        node = client.get_node_from_key(self._ban_keys[0])
        return redis.Redis(host=node.host, port=node.port, **self._client_options())

    # -- the listener: connect, catch up, follow -------------------------

    def _run(self, proc: _Process) -> None:
        backoff, failures, rediscover = 0.05, 0, True
        while not proc.stop.is_set():
            pubsub = None
            try:
                if rediscover:
                    # Replaced, never emptied: a request may be holding it.
                    proc.client, rediscover = self._new_client(), False
                pubsub = self._listener_client(proc.client).pubsub()
                pubsub.subscribe(self._channel)
                # Wait for the confirmation: from here on no change is missed.
                deadline = time.monotonic() + 2 * self.timeout
                while (message := pubsub.get_message(timeout=self.timeout)) is None or message["type"] != "subscribe":
                    if time.monotonic() > deadline:
                        raise redis.TimeoutError("no subscription confirmation")
                with self._write_lock, REPLICA.lock:
                    self._flush_pending(proc)
                    self._resync(proc)
                    if not proc.connected:
                        if proc.ready.is_set():
                            log.warning("quelvar_guard: Redis at %s is back; bans resynchronised", self.url)
                        proc.connected = True
                proc.ready.set()
                backoff, failures = 0.05, 0
                self._follow(proc, pubsub)
            except Exception as error:
                if not isinstance(error, UNAVAILABLE):
                    # Whatever it was, the listener must outlive it: counted as
                    # an outage, so the store degrades visibly and reconnects.
                    log.exception("quelvar_guard: ban listener failed; reconnecting")
                failures += 1
                # A dropped listening connection alone is not an outage: one
                # immediate reconnect first, and calls keep using Redis meanwhile.
                if failures > 1 or not proc.connected:
                    self._lost(proc, error)
                    proc.ready.set()
                    # A cluster's nodes may have moved: ask again.
                    rediscover = proc.client is None or (self.cluster and not isinstance(error, redis.TimeoutError))
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

    def _follow(self, proc: _Process, pubsub: Any) -> None:
        while proc.connected and not proc.stop.is_set():
            message = pubsub.get_message(timeout=0.25)
            if message is None or message["type"] != "message":
                continue
            try:
                epoch, seq_text, body = message["data"].split(b" ", 2)
                seq = int(seq_text)
            except ValueError:  # not ours: catch up from the set itself
                epoch, seq, body = b"", 0, b""
            with self._write_lock, REPLICA.lock:
                if epoch != proc.epoch or seq > proc.last_seq + 1:
                    self._resync(proc)  # the set was reset, or a change went missing
                elif seq == proc.last_seq + 1:
                    try:
                        self._apply(proc, seq, body)
                    except (ValueError, TypeError, OverflowError):
                        # Not a change a store wrote: the set itself says what holds.
                        self._resync(proc)
                    else:
                        proc.last_seq = seq

    def _apply(self, proc: _Process, seq: int, body: bytes) -> None:
        change = json.loads(body) if body != b"clear" else None
        if change is None:
            REPLICA.clear()
            proc.seen.clear()
            return
        for ip, expires_at in change:
            mine = proc.seen.get(ip, 0)
            if mine <= seq:
                proc.seen.pop(ip, None)  # this change or an earlier one: nothing left to guard
            if mine >= seq:
                continue  # this process wrote this change, or a later one of this address
            if expires_at is None:
                REPLICA.remove(ip)
            else:
                REPLICA.set(ip, min(expires_at, U64_MAX))

    def _resync(self, proc: _Process) -> None:
        now = int(time.time())
        epoch, seq, flat = self._snapshot(proc.client, now, secrets.token_hex(8))
        bans: dict[str, int] = {}
        for member, score in zip(flat[::2], flat[1::2]):
            try:
                bans[member.decode()] = min(int(float(score)), U64_MAX)
            except (ValueError, OverflowError):  # no address a store wrote: skipped, not fatal
                continue
        REPLICA.replace_all(bans)
        proc.epoch, proc.last_seq = epoch, int(seq)
        proc.seen.clear()

    def _snapshot(self, client: Any, now: int, epoch: str) -> Any:
        return client.eval(SNAPSHOT_SCRIPT, 3, *self._ban_keys, now, epoch)

    def _write(self, client: Any, changes: list[tuple[str, int | None]], clear: bool = False) -> int:
        now = int(time.time())
        body = "clear" if clear else json.dumps(changes)
        args: list[object] = [self._channel, now, secrets.token_hex(8), body]
        for ip, expires_at in changes:
            args += [ip, "" if expires_at is None else expires_at]
        return int(client.eval(WRITE_SCRIPT, 3, *self._ban_keys, *args))

    def _flush_pending(self, proc: _Process) -> None:
        client = proc.client
        while proc.pending:
            kind, changes = proc.pending[0]
            if kind == "clear":
                self._clear_shared(client)
            else:
                self._write(client, list(changes.items()))
            proc.pending.pop(0)
        if proc.outage_tokens:
            # Request threads may still add to it: take it whole.
            tokens, proc.outage_tokens = proc.outage_tokens, {}
            now = time.monotonic()
            try:
                with client.pipeline(transaction=False) as pipe:
                    for token, accepted in tokens.items():
                        left = self._window_ms - int((now - accepted) * 1000)
                        if left > 0:
                            pipe.set(self._nonce_prefix + token, b"", nx=True, px=left)
                    pipe.execute()
            except BaseException:
                proc.outage_tokens.update(tokens)
                raise

    def _lost(self, proc: _Process, error: BaseException) -> None:
        if proc.connected or not proc.ready.is_set():
            log.warning("quelvar_guard: Redis at %s unreachable (%s); %s", self.url, error,
                        "serving from this process's tables" if self.on_unavailable == "degrade"
                        else "calls that need it raise StoreUnavailable")
        proc.connected = False

    def _call_failed(self, proc: _Process, error: BaseException) -> None:
        """A nonce call got no answer: a connection that cannot be made or
        kept means Redis is away at once; late replies only when several
        come in a row."""
        if isinstance(error, (redis.TimeoutError, asyncio.TimeoutError)):
            proc.late_replies += 1
            if proc.late_replies < LATE_REPLIES_BEFORE_OUTAGE:
                return
        self._lost(proc, error)

    def _unavailable(self, error: BaseException | None = None) -> StoreUnavailable:
        return StoreUnavailable(f"Redis at {self.url} is unreachable" + (f": {error}" if error else ""))

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

    def _refused_during_outage(self, proc: _Process, raw: bytes, text: str | None,
                               error: BaseException | None = None) -> bool:
        if self.on_unavailable == "strict":
            raise self._unavailable(error)
        if text is None and raw in proc.outage_tokens:
            return False
        tokens = proc.outage_tokens
        if len(tokens) >= MAX_OUTAGE_TOKENS:
            tokens.pop(next(iter(tokens), b""), None)
        tokens[raw] = time.monotonic()
        return True

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
            return self._refused_during_outage(proc, raw, text)
        key = self._nonce_prefix + raw
        try:
            try:
                fresh = proc.client.set(key, b"", nx=True, px=self._window_ms) is True
            except RedisConnectionError:
                # A connection closed under us (server restart, CLIENT KILL):
                # one more try on a new one.
                fresh = proc.client.set(key, b"", nx=True, px=self._window_ms) is True
        except UNAVAILABLE as error:
            self._call_failed(proc, error)
            return self._refused_during_outage(proc, raw, text, error)
        proc.late_replies = 0
        return fresh

    async def consume_nonce_async(self, token: Text) -> bool:
        raw, text = self._token(token)
        if text is not None and not _consume(text):
            return False
        proc = self._proc
        if proc is None:
            proc = await asyncio.to_thread(self._start)
        if not proc.connected:
            return self._refused_during_outage(proc, raw, text)
        loop = asyncio.get_running_loop()
        client = proc.async_clients.get(loop)
        if client is None:
            client = proc.async_clients[loop] = self._new_async_client()
        key = self._nonce_prefix + raw
        try:
            for attempt in (0, 1):
                try:
                    answer = await asyncio.wait_for(client.set(key, b"", nx=True, px=self._window_ms),
                                                    2 * self.timeout)
                    break
                except RedisConnectionError:
                    if attempt:
                        raise
        except (*UNAVAILABLE, asyncio.TimeoutError) as error:
            self._call_failed(proc, error)
            return self._refused_during_outage(proc, raw, text, error)
        proc.late_replies = 0
        return answer is True

    def _new_async_client(self) -> Any:
        options = self._client_options()
        options["retry"] = redis.asyncio.retry.Retry(NoBackoff(), 0)
        if self.cluster:
            return redis.asyncio.cluster.RedisCluster.from_url(self.url, **options)
        return redis.asyncio.Redis.from_url(self.url, **options)

    # -- bans ------------------------------------------------------------

    def is_banned(self, ip: Text) -> bool:  # replaced per process by the native lookup
        return self._first_is_banned(ip)

    def ban_remaining(self, ip: Text) -> int | None:
        self._proc or self._start()
        return REPLICA.remaining(ip)

    def _change(self, apply: Any, kind: str = "set") -> None:
        """Applies a change to the replica (the extension checks the
        arguments), writes it to Redis, and on failure keeps it for later or,
        when strict, undoes it and raises."""
        proc = self._proc or self._start()
        with self._write_lock, REPLICA.lock:
            saved_before, changes = apply()
            if proc.connected:
                try:
                    if kind == "clear":
                        self._clear_shared(proc.client)
                    else:
                        seq = self._write(proc.client, changes)
                        for ip, _ in changes:
                            proc.seen[ip] = seq
                    return
                except UNAVAILABLE as error:
                    self._lost(proc, error)
                    failure: BaseException | None = error
            else:
                failure = None
            if self.on_unavailable == "strict":
                if saved_before is not None:
                    REPLICA.restore(saved_before)
                raise self._unavailable(failure)
            if kind == "set" and proc.pending and proc.pending[-1][0] == "set":
                proc.pending[-1][1].update(changes)
            else:
                proc.pending.append((kind, dict(changes)))

    def ban(self, ip: Text, seconds: int) -> None:
        def apply() -> tuple[dict[str, int | None], list[tuple[str, int | None]]]:
            text = as_text(ip)
            saved = REPLICA.saved([text]) if isinstance(text, str) else {}
            address, expires_at = REPLICA.ban(text, seconds)
            return saved, [(address, expires_at)]
        self._change(apply)

    def unban(self, ip: Text) -> None:
        def apply() -> tuple[dict[str, int | None], list[tuple[str, int | None]]]:
            text = as_text(ip)
            saved = REPLICA.saved([text]) if isinstance(text, str) else {}
            return saved, [(REPLICA.unban(text), None)]
        self._change(apply)

    def hydrate(self, bans: Iterable[tuple[Text, int]]) -> None:
        def apply() -> tuple[dict[str, int | None], list[tuple[str, int | None]]]:
            before = dict(REPLICA.expiry)
            applied = REPLICA.hydrate(bans)
            saved = {ip: before.get(ip) for ip, _ in applied}
            return saved, list(applied)
        self._change(apply)

    def clear(self) -> None:
        """Forgets every token and ban here and in Redis, and tells the others."""
        def apply() -> tuple[None, list[tuple[str, int | None]]]:
            REPLICA.clear()
            return None, []
        self._change(apply, "clear")

    def _clear_shared(self, client: Any) -> None:
        pattern = b"".join(b"\\" + bytes([c]) if c in b"*?[]\\" else bytes([c])
                           for c in self._nonce_prefix) + b"*"
        batch: list[bytes] = []
        for key in client.scan_iter(match=pattern, count=1000):
            batch.append(key)
            if len(batch) == 500:
                client.delete(*batch)
                batch.clear()
        if batch:
            client.delete(*batch)
        self._write(client, [], clear=True)

    # -- the rest ----------------------------------------------------------

    def stats(self) -> dict[str, object]:
        proc = self._proc or self._start()
        result: dict[str, object] = dict(core.get_state_engine_stats_rs())
        shared: int | None = None
        if proc.connected:
            try:
                shared = int(proc.client.zcount(self._ban_keys[0], f"({int(time.time())}", "+inf"))
            except UNAVAILABLE as error:
                self._lost(proc, error)
        result.update({
            "shared_ip_bans": shared,
            "connected": proc.connected,
            "degraded": not proc.connected,
            "on_unavailable": self.on_unavailable,
            "pending_writes": sum(max(len(changes), 1) for _, changes in proc.pending) + len(proc.outage_tokens),
        })
        return result

    def close(self) -> None:
        """Stops this process's listener and closes its connections."""
        with self._start_lock:
            self._closed = True
            proc, self._proc = self._proc, None
        if proc is None:
            return
        proc.stop.set()
        if proc.thread is not None:
            proc.thread.join(2 * self.timeout + 1.0)
        if proc.client is not None:
            proc.client.close()


    # -- the minting budget -----------------------------------------------

    def take_budget(self, key: str, rate: float, burst: int) -> float:
        """One unit of `key`'s token bucket (`burst` units, refilled at `rate`
        per second), shared by every process through Redis: 0.0 when taken,
        else the seconds until one can be. One script (budget.lua) on the
        server's clock, so hosts need not agree on the time. Without Redis,
        by the policy: this process's own bucket, or StoreUnavailable."""
        from pathlib import Path

        from .store import BUDGETS

        proc = self._proc or self._start()
        failure: BaseException | None = None
        if proc.connected:
            script = self.__dict__.get("_budget_script")
            if script is None:
                source = Path(__file__).with_name("budget.lua").read_text()
                script = self._budget_script = proc.client.register_script(source)
            arguments = {"keys": [self.prefix + "b:" + key],
                         "args": [max(1, round(1e6 / rate)), burst], "client": proc.client}
            try:
                try:
                    return int(script(**arguments)) / 1e6
                except RedisConnectionError:  # a connection closed under us: one more try
                    return int(script(**arguments)) / 1e6
            except UNAVAILABLE as error:
                failure = error
        if self.on_unavailable == "strict":
            raise self._unavailable(failure)
        return BUDGETS.take(key, rate, burst)
