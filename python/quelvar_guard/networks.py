"""What a client's networks may take, and how suspect they are.

Addresses are cheap to a bot: one IPv4 /24 is 256 of them, one IPv6 /48 is
65,536 /64s. So the token endpoint's budget is kept per enclosing network as
well as per address (a token bucket each, shared by the fleet through the
store), and every network key carries a suspicion level that challenges,
refusals and bans raise and time lowers (halving every `half_life` seconds).

Past a budget a client is not refused at once: the telemetry token it gets
asks for more work, two bits (four times the hashes) for each doubling of
what its busiest bucket is owed beyond its burst, until the work would pass
the most a page may be asked; only then is it refused (429). So a visitor who
shares an address or a network with a bot (a carrier-grade NAT, an office, a
cloud range) pays its way in with work, while the network as a whole still
never gets more than its rates in the steady state.

Budget text, as settings give it: "4/24:2:60" is IPv4 /24, 2 tokens a
second, a burst of 60; "off" alone turns network budgets off.
"""

from __future__ import annotations

import ipaddress
import math
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

from .addresses import BanScope, embedded_ipv4

__all__ = [
    "Admission",
    "DEFAULT_NETWORK_BUDGETS",
    "LocalNetworkState",
    "LEVEL_RAISE",
    "NetworkBudget",
    "Networks",
    "Plan",
    "parse_budgets",
]


@dataclass(frozen=True)
class NetworkBudget:
    version: int  # 4 or 6
    prefix: int
    rate: float  # tokens per second, steady
    burst: int  # tokens at once

    def __str__(self) -> str:
        return f"{self.version}/{self.prefix}:{self.rate:g}:{self.burst}"


# A page takes one telemetry token per clearance: one per page view, or one
# per `requests_per_clearance` guarded calls. A busy visitor takes one every
# few seconds for a minute; an office of 200 behind one /24 about one a
# second at its busiest. 2 a second per /24 or /48 (with a burst of 60 for
# the morning rush) is then at most 20 guarded requests a second from any
# one of them with the default clearance of 10, whatever the bot does; the
# /16 and /32 catch a bot spread over many of those.
DEFAULT_NETWORK_BUDGETS = (
    NetworkBudget(4, 24, 2.0, 60),
    NetworkBudget(4, 16, 8.0, 240),
    NetworkBudget(6, 64, 1.0, 20),
    NetworkBudget(6, 48, 2.0, 60),
    NetworkBudget(6, 32, 8.0, 240),
)

# What each outcome adds to the level of the client's address and network.
LEVEL_RAISE = {"challenge": 1.0, "refuse": 2.0, "ban": 4.0}
# Each doubling of a bucket's debt past its burst asks this many more bits.
OVERDRAFT_BITS = 2
# A client's decisions kept for an operator to read (newest first).
NOTES = 20


def parse_budgets(text: str | Iterable[str]) -> tuple[NetworkBudget, ...]:
    """Budgets from their text ("4/24:2:60 6/48:2:60", or "off"); ValueError names the wrong one."""
    items = (text if isinstance(text, str) else " ".join(text)).replace(",", " ").split()
    if items in (["off"], ["none"]):
        return ()
    budgets = []
    for item in items:
        try:
            network, rate, burst = item.split(":")
            version, prefix = (int(part) for part in network.split("/"))
            budget = NetworkBudget(version, prefix, float(rate), int(burst))
        except ValueError:
            raise ValueError(f"{item!r} is not version/prefix:rate:burst, such as 4/24:2:60") from None
        if budget.version not in (4, 6) or not 1 <= budget.prefix <= (32 if budget.version == 4 else 128):
            raise ValueError(f"{item!r} names no IPv4 or IPv6 prefix")
        if not 0 < budget.rate < math.inf or budget.burst < 1:
            raise ValueError(f"{item!r} needs a positive rate and a burst of at least 1")
        budgets.append(budget)
    return tuple(budgets)


@dataclass(frozen=True, slots=True)
class Plan:
    """The store keys of one client: its buckets (key, rate, burst), the keys
    whose levels count, and the key of its ban history. All share one hash
    tag (its widest network), so a Redis Cluster keeps them in one slot."""

    buckets: tuple[tuple[str, float, int], ...]
    levels: tuple[str, ...]
    offences: str
    notes: str  # the client's last decisions (see Guard.explain)


class Networks:
    """The plan of each client address under one configuration."""

    def __init__(
        self,
        scope: BanScope,
        budgets: Iterable[NetworkBudget],
        address_rate: float | None,
        address_burst: int,
        bucket_prefix: str = "",
    ) -> None:
        # A route policy with budgets of its own keeps its buckets apart
        # (levels and ban histories are the client's, whatever the route).
        self.bucket_prefix = bucket_prefix
        self.scope = scope
        self.budgets = tuple(budgets)
        self.address_rate = address_rate
        self.address_burst = address_burst
        self._plans: dict[str, Plan] = {}

    def plan(self, address: str) -> Plan:
        plan = self._plans.get(address)
        if plan is None:
            plan = self._plan(address)
            if len(self._plans) >= 4096:
                self._plans.clear()
            self._plans[address] = plan
        return plan

    def _plan(self, address: str) -> Plan:
        own = self.scope.key(address)
        try:
            parsed: ipaddress.IPv4Address | ipaddress.IPv6Address = ipaddress.ip_address(address)
        except ValueError:
            tag = "{" + own + "}"
            return Plan(self._own_bucket(tag + self.bucket_prefix), (tag,), tag + "#o", tag + "#h")
        if isinstance(parsed, ipaddress.IPv6Address):
            parsed = embedded_ipv4(parsed) or parsed
        version = parsed.version
        own_bits = self.scope.ipv4_prefix if version == 4 else self.scope.ipv6_prefix
        # Wider than what one address key covers, widest last.
        wider = sorted(
            (b for b in self.budgets if b.version == version and b.prefix < own_bits),
            key=lambda b: -b.prefix,
        )
        networks = [(str(ipaddress.ip_network((parsed, b.prefix), strict=False)), b) for b in wider]
        tag = "{" + (networks[-1][0] if networks else own) + "}"
        mine = tag + self.bucket_prefix
        buckets = self._own_bucket(mine + own) + tuple((mine + net, b.rate, b.burst) for net, b in networks)
        levels = (tag + own,) + ((tag + networks[0][0],) if networks else ())
        return Plan(buckets, levels, tag + own + "#o", tag + own + "#h")

    def _own_bucket(self, key: str) -> tuple[tuple[str, float, int], ...]:
        if self.address_rate is None:
            return ()
        return ((key, self.address_rate, self.address_burst),)


def overdraft_bits(owed: float) -> int:
    """Extra bits for a debt of `owed` bursts (1.0: the burst just spent)."""
    if owed <= 1.0:
        return 0
    return OVERDRAFT_BITS * math.ceil(math.log2(owed))


def overdraft_limit(spare_bits: int) -> float:
    """The most bursts a bucket may be owed when `spare_bits` are left
    between the base work and the most a page may be asked."""
    return float(2 ** max(0, spare_bits // OVERDRAFT_BITS))


@dataclass(frozen=True, slots=True)
class Admission:
    """A token endpoint's take: seconds to wait (0.0: taken), the largest debt
    of its buckets in bursts, and the suspicion level of the client."""

    wait: float
    owed: float
    level: float


def decayed(level: float, since: float, half_life: float) -> float:
    return level * 0.5 ** (max(0.0, since) / half_life) if level > 0 else 0.0


class LocalNetworkState:
    """Buckets, levels and ban histories of this process alone: the
    in-process store's, and a shared store's while its server is away. Each
    bucket is one time (when it is full again), as in the shared store."""

    SWEEP_FLOOR = 1024

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self.full_at: dict[str, float] = {}
        self.levels: dict[str, tuple[float, float]] = {}
        self.offences: dict[str, list[float]] = {}
        self.answers: dict[str, tuple[str, float]] = {}
        self.notes: dict[str, list[str]] = {}
        self.lock = threading.Lock()
        self.clock = clock
        self.sweep_at = self.SWEEP_FLOOR
        self.offence_window = 0.0

    def after_fork(self) -> None:
        self.lock = threading.Lock()

    def clear(self) -> None:
        with self.lock:
            self.full_at, self.levels, self.offences, self.answers, self.notes = {}, {}, {}, {}, {}

    def remember(self, key: str, value: str, seconds: float) -> None:
        now = self.clock()
        with self.lock:
            if len(self.answers) >= self.SWEEP_FLOOR * 16:
                self.answers = {k: held for k, held in self.answers.items() if held[1] > now}
            self.answers[key] = (value, now + seconds)

    def recall(self, key: str) -> str | None:
        held = self.answers.get(key)
        return held[0] if held is not None and held[1] > self.clock() else None

    def admit(
        self,
        buckets: Sequence[tuple[str, float, int]],
        level_keys: Sequence[str],
        limit: float,
        half_life: float,
        look: bool = False,
    ) -> Admission:
        now = self.clock()
        with self.lock:
            wait, owed, taken = 0.0, 0.0, []
            for key, rate, burst in buckets:
                interval = 1.0 / rate
                full_at = max(self.full_at.get(key, now), now) + interval
                debt = (full_at - now) / interval / burst
                if debt > limit:
                    wait = max(wait, full_at - now - limit * burst * interval)
                taken.append((key, full_at))
                owed = max(owed, debt)
            level = max((self._level(key, now, half_life) for key in level_keys), default=0.0)
            if wait > 0 or look:
                return Admission(wait, owed, level)
            self.full_at.update(taken)
            if len(self.full_at) + len(self.levels) + len(self.offences) >= self.sweep_at:
                self._sweep(now, half_life)
        return Admission(0.0, owed, level)

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
        """Raises the levels by `amount`; with an `offence_key`, also counts a
        ban there; with a `note`, keeps it as the newest of the last NOTES
        under `notes_key`. The new highest level, and the bans within `window`."""
        now = self.clock()
        with self.lock:
            level = 0.0
            for key in level_keys:
                raised = self._level(key, now, half_life) + amount
                if raised > 0.01:
                    self.levels[key] = (raised, now)
                level = max(level, raised)
            if notes_key is not None and note:
                self.notes[notes_key] = [note, *self.notes.get(notes_key, [])[: NOTES - 1]]
            count = 0
            self.offence_window = window
            if offence_key is not None:
                history = [at for at in self.offences.get(offence_key, ()) if at > now - window]
                history.append(now)
                self.offences[offence_key] = history[-64:]
                count = len(history)
        return level, count

    def _level(self, key: str, now: float, half_life: float) -> float:
        held = self.levels.get(key)
        return 0.0 if held is None else decayed(held[0], now - held[1], half_life)

    def _sweep(self, now: float, half_life: float) -> None:
        self.full_at = {key: at for key, at in self.full_at.items() if at > now}
        self.levels = {
            key: held for key, held in self.levels.items() if decayed(held[0], now - held[1], half_life) > 0.01
        }
        since = now - self.offence_window
        self.offences = {key: history for key, history in self.offences.items() if history[-1] > since}
        self.sweep_at = max(self.SWEEP_FLOOR, 2 * (len(self.full_at) + len(self.levels) + len(self.offences)))
