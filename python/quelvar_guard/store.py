"""The store interface, the process's ban replica and the in-process store.

Both stores answer ban lookups from the extension's own ban table, which is
process-wide: every store in one process shares it, as it shares the replay
cache. Arguments are checked by the extension itself wherever it can, so a
service gets the same TypeError, ValueError and OverflowError whichever store
it uses.
"""

from __future__ import annotations

import operator
import os
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Protocol, runtime_checkable

import quelvar_core_rs as core

from .addresses import BanScope
from .buckets import Budgets
from .metrics import METRICS
from .networks import Admission, LocalNetworkState
from .record import RECORD
from .vocabulary import U64_MAX

Text = str | bytes
NATIVE_NONCE_WINDOW_SECONDS = 60.0

_consume = core.consume_nonce_rs
_is_ip_banned = core.is_ip_banned_rs


class StoreUnavailable(RuntimeError):
    """The shared store cannot be reached and the store was told to be strict."""


class StoreMisconfigured(StoreUnavailable):
    """The shared store's server may drop what the store keeps there (an
    eviction policy): the store refuses to use it unless told it may."""


@runtime_checkable
class Store(Protocol):
    """Everything the guard asks of a store."""

    nonce_window_seconds: float

    @property
    def scope(self) -> BanScope:
        """What one ban covers."""

    @property
    def answers_at_once(self) -> bool:
        """Whether every answer is in this process's own tables: the walk then
        spends tokens and takes budgets itself instead of handing them to its
        adapter as needs."""

    @property
    def on_unavailable(self) -> str:
        """ "strict": refuse (503) what cannot be answered without the shared
        server; "degrade": answer from this process's own tables."""

    def lost_state_at(self) -> float | None:
        """When the shared state was last lost (tokens spent before it are
        forgotten there), or None."""

    def count_refusal(self, reason: str) -> None:
        """One refusal, for counts kept across processes."""

    def health(self) -> dict[str, object]:
        """Readiness: {"ready": bool, ...}."""

    def consume_nonce(self, token: Text) -> bool: ...

    async def consume_nonce_async(self, token: Text) -> bool: ...

    def ban(self, ip: Text, seconds: int, *, source: str | None = None) -> None: ...

    def unban(self, ip: Text, *, source: str | None = None) -> None: ...

    def is_banned(self, ip: Text) -> bool: ...

    def ban_remaining(self, ip: Text) -> int | None: ...

    def hydrate(self, bans: Iterable[tuple[Text, int]]) -> None: ...

    def take_budget(self, key: str, rate: float, burst: int) -> float: ...

    def admit(
        self,
        buckets: Sequence[tuple[str, float, int]],
        level_keys: Sequence[str],
        limit: float,
        half_life: float,
        look: bool = False,
    ) -> Admission: ...

    def escalate(
        self,
        level_keys: Sequence[str],
        amount: float,
        half_life: float,
        offence_key: str | None,
        window: float,
        notes_key: str | None = None,
        note: str | None = None,
    ) -> tuple[float, int]: ...

    def notes(self, key: str) -> list[str]: ...

    def remember(self, key: str, value: str, seconds: float) -> None: ...

    def recall(self, key: str) -> str | None: ...

    def stats(self) -> dict[str, object]: ...

    def clear(self) -> None: ...

    def close(self) -> None: ...


def announce(address: str, seconds: int | None, source: str | None) -> None:
    """A ban (with its seconds) or an unban that a store made for a caller
    who named its source: one event in the decision record, one count in the
    metrics by source. The guard's own bans carry no source here: the guard
    records and counts them itself, with the request's facts."""
    if source is None:
        return
    if seconds is None:
        RECORD.unban(address, source)
    else:
        RECORD.ban(address, seconds, source)
    if METRICS.on:
        METRICS.ban_change(seconds is not None, source)


def as_text(value: object) -> object:
    """bytes become str (UTF-8, strict); anything else is left for the extension to judge."""
    if isinstance(value, bytes):
        return value.decode()
    return value


def is_banned(ip: Text) -> bool:
    """The per-request lookup: one native probe, bytes decoded only when given."""
    try:
        return _is_ip_banned(ip)  # type: ignore[arg-type]
    except TypeError:
        if isinstance(ip, bytes):
            return _is_ip_banned(ip.decode())
        raise


def ban_key(scope: BanScope, ip: object) -> object:
    """The key a ban of `ip` is kept under (see BanScope); bytes are decoded,
    anything that is no text is left for the extension to refuse."""
    if isinstance(ip, bytes):
        ip = ip.decode()
    return scope.key(ip) if isinstance(ip, str) else ip


def keyed_is_banned(scope: BanScope) -> Callable[[Text], bool]:
    """The per-request lookup under a scope: one cached key, one native probe."""
    key = scope.key
    cached = scope.cached_key  # a peer seen before: its key without a call

    def lookup(ip: Text) -> bool:
        if type(ip) is str:
            return _is_ip_banned(cached(ip) or key(ip))
        return _is_ip_banned(ban_key(scope, ip))  # type: ignore[arg-type]

    return lookup


def keyed_bans(scope: BanScope, bans: object) -> object:
    """`hydrate`'s pairs with their addresses keyed; any other shape is left
    for the extension to refuse with its own message."""
    if not isinstance(bans, (list, tuple)):
        return bans
    return [(ban_key(scope, item[0]), item[1]) if isinstance(item, tuple) and len(item) == 2 else item for item in bans]


def hydrate_items(bans: object) -> object:
    """Decodes bytes addresses in a list or tuple of pairs; every other shape
    goes to the extension unchanged, so it refuses it with its own message."""
    if not isinstance(bans, (list, tuple)):
        return bans
    return [
        (item[0].decode(), item[1])
        if isinstance(item, tuple) and len(item) == 2 and isinstance(item[0], bytes)
        else item
        for item in bans
    ]


class Replica:
    """The extension's ban table plus the expiry of every entry this process
    wrote, which the table itself does not give back (Retry-After, resync)."""

    # Expired entries are swept when the count doubles since the last sweep,
    # so addresses banned once and never again cannot pile up.
    SWEEP_FLOOR = 1024

    def __init__(self) -> None:
        self.expiry: dict[str, int] = {}
        self.lock = threading.RLock()
        self.sweep_at = self.SWEEP_FLOOR

    def _recorded(self) -> None:
        if len(self.expiry) < self.sweep_at:
            return
        now = int(time.time())
        for ip in [ip for ip, expires_at in self.expiry.items() if expires_at <= now]:
            del self.expiry[ip]
            # The extension keeps expired entries until told; a ban made past
            # this bookkeeping (still active) is left to the table.
            if not core.is_ip_banned_rs(ip):
                core.unban_ip_rs(ip)
        self.sweep_at = max(self.SWEEP_FLOOR, 2 * len(self.expiry))

    def after_fork(self) -> None:
        self.lock = threading.RLock()

    def ban(self, ip: object, seconds: object) -> tuple[str, int]:
        now = int(time.time())
        core.ban_ip_rs(ip, seconds)  # type: ignore[arg-type]
        assert isinstance(ip, str)
        expires_at = min(now + operator.index(seconds), U64_MAX)  # type: ignore[arg-type]
        self.expiry[ip] = expires_at
        self._recorded()
        return ip, expires_at

    def unban(self, ip: object) -> str:
        core.unban_ip_rs(ip)  # type: ignore[arg-type]
        assert isinstance(ip, str)
        self.expiry.pop(ip, None)
        return ip

    def hydrate(self, bans: object) -> list[tuple[str, int]]:
        items = hydrate_items(bans)
        core.hydrate_bans_rs(items)  # type: ignore[arg-type]
        now = int(time.time())
        applied = [(ip, operator.index(expires_at)) for ip, expires_at in items]  # type: ignore[attr-defined]
        applied = [(ip, expires_at) for ip, expires_at in applied if expires_at > now]
        self.expiry.update(applied)
        self._recorded()
        return applied

    def set(self, ip: str, expires_at: int) -> None:
        """Gives `ip` exactly this expiry, shorter or longer than what it had
        (a ban written elsewhere, or a ban of 0 seconds that lifts one)."""
        now = int(time.time())
        # The relative ban first, so there is no moment without the entry;
        # hydration then makes the expiry exact (it skips a time already past).
        core.ban_ip_rs(ip, max(expires_at - now, 0))
        if expires_at > now:
            core.hydrate_bans_rs([(ip, expires_at)])
        self.expiry[ip] = expires_at
        self._recorded()

    def remove(self, ip: str) -> None:
        core.unban_ip_rs(ip)
        self.expiry.pop(ip, None)

    def clear(self) -> None:
        core.clear_state_engine_rs()
        self.expiry.clear()
        self.sweep_at = self.SWEEP_FLOOR

    def saved(self, ips: Iterable[str]) -> dict[str, int | None]:
        return {ip: self.expiry.get(ip) for ip in ips}

    def restore(self, saved: dict[str, int | None]) -> None:
        for ip, expires_at in saved.items():
            if expires_at is None:
                self.remove(ip)
            else:
                self.set(ip, expires_at)

    def replace_all(self, bans: dict[str, int]) -> None:
        """Makes the table hold exactly `bans`: entries this process knows of
        that are not in it are lifted, so no unban is missed."""
        for ip in [ip for ip in self.expiry if ip not in bans]:
            self.remove(ip)
        core.hydrate_bans_rs(list(bans.items()))
        self.expiry = dict(bans)
        self._recorded()

    def remaining(self, ip: Text) -> int | None:
        """Seconds left while banned (at least 1), None when not banned.

        The native table is the authority: a ban whose expiry this process
        does not know (made by a direct call of the extension, or longer than
        the one recorded here) still counts, with 1 second as its hint."""
        if not is_banned(ip):
            return None
        expires_at = self.expiry.get(ip.decode() if isinstance(ip, bytes) else ip)
        return max((expires_at or 0) - int(time.time()), 1)


REPLICA = Replica()
os.register_at_fork(after_in_child=REPLICA.after_fork)


BUDGETS = Budgets()
os.register_at_fork(after_in_child=BUDGETS.after_fork)
NETWORKS = LocalNetworkState()
os.register_at_fork(after_in_child=NETWORKS.after_fork)


class LocalStore:
    """The state of this process only: the extension's tables, nothing shared.

    Right for a single process; under several workers each has its own replay
    memory and bans (see RedisStore). `ipv4_prefix`, `ipv6_prefix`: what one
    ban covers (see BanScope); every address given to a ban method is keyed so.
    """

    nonce_window_seconds: float = NATIVE_NONCE_WINDOW_SECONDS
    answers_at_once = True
    # Nothing shared to lose or to wait for.
    on_unavailable = "degrade"

    def __init__(self, *, ipv4_prefix: int = 32, ipv6_prefix: int = 64) -> None:
        self.scope = BanScope(ipv4_prefix=ipv4_prefix, ipv6_prefix=ipv6_prefix)
        self.is_banned = keyed_is_banned(self.scope)

    def consume_nonce(self, token: Text) -> bool:
        return _consume(token if type(token) is str else as_text(token))  # type: ignore[arg-type]

    def lost_state_at(self) -> float | None:
        return None

    def count_refusal(self, reason: str) -> None:
        pass  # one process's refusals are its metrics'

    async def consume_nonce_async(self, token: Text) -> bool:
        return self.consume_nonce(token)

    def ban(self, ip: Text, seconds: int, *, source: str | None = None) -> None:
        """Bans `ip` for `seconds`; with a `source` ("admin", say) the ban is
        also recorded and counted by it (see announce)."""
        with REPLICA.lock:
            address, _ = REPLICA.ban(ban_key(self.scope, ip), seconds)
        announce(address, operator.index(seconds), source)

    def unban(self, ip: Text, *, source: str | None = None) -> None:
        with REPLICA.lock:
            address = REPLICA.unban(ban_key(self.scope, ip))
        announce(address, None, source)

    def ban_remaining(self, ip: Text) -> int | None:
        return REPLICA.remaining(ban_key(self.scope, ip))  # type: ignore[arg-type]

    def hydrate(self, bans: Iterable[tuple[Text, int]]) -> None:
        with REPLICA.lock:
            REPLICA.hydrate(keyed_bans(self.scope, bans))

    def take_budget(self, key: str, rate: float, burst: int) -> float:
        """One unit of `key`'s token bucket (`burst` units, refilled at `rate`
        per second): 0.0 when taken, else the seconds until one can be."""
        return BUDGETS.take(key, rate, burst)

    def admit(
        self,
        buckets: Sequence[tuple[str, float, int]],
        level_keys: Sequence[str],
        limit: float,
        half_life: float,
        look: bool = False,
    ) -> Admission:
        """One unit from every bucket (key, rate, burst) or from none, each
        owed at most `limit` bursts; and the highest of the levels (see
        quelvar_guard.networks). `look`: what a take would find, taking nothing."""
        return NETWORKS.admit(buckets, level_keys, limit, half_life, look)

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
        """Raises the levels by `amount`; counts a ban under `offence_key` if
        given; keeps `note` among the last decisions under `notes_key`. The
        highest new level, and the bans counted within `window` s."""
        return NETWORKS.escalate(level_keys, amount, half_life, offence_key, window, notes_key, note)

    def notes(self, key: str) -> list[str]:
        """The last decisions kept under `key`, newest first."""
        return list(NETWORKS.notes.get(key, ()))

    def remember(self, key: str, value: str, seconds: float) -> None:
        """Keeps a short answer under `key` for `seconds` (a verified crawler, say)."""
        NETWORKS.remember(key, value, seconds)

    def recall(self, key: str) -> str | None:
        """What `remember` keeps under `key`, while it lasts."""
        return NETWORKS.recall(key)

    def health(self) -> dict[str, object]:
        """Readiness for an orchestrator: a process's own tables are always there."""
        return {"ready": True, "store": "local"}

    def stats(self) -> dict[str, object]:
        return dict(core.get_state_engine_stats_rs())

    def clear(self) -> None:
        with REPLICA.lock:
            REPLICA.clear()

    def close(self) -> None:
        pass
