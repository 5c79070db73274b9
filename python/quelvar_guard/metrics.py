"""Metrics in the Prometheus text format, through prometheus_client.

Off by default: until `METRICS.enable()` (which a Guard with `metrics_path`
calls) every hook is one attribute test, and prometheus_client is not even
imported. Enabled, the guard keeps:

    quelvar_requests_total{outcome, reason}     every request on the guard's paths:
        outcome allow (reason: the route), refuse, challenge, ban, unavailable
        (reason: the refusal's code)
    quelvar_bans_total{source}                  bans made in this process, by who made them: "guard"
        (the scoring's), or the source a caller named (store.ban(..., source="admin"),
        "command line")
    quelvar_unbans_total{source}                unbans made in this process, by the source named
    quelvar_tokens_issued_total{kind}           telemetry, guarded
    quelvar_tokens_refused_total{verdict}       malformed, expired, replayed, ...
    quelvar_store_calls_total{call}             round trips to Redis: nonce, budget, ban
    quelvar_store_failures_total{call}          those that got no answer
    quelvar_guard_seconds                       the guard's time per request (histogram)
    quelvar_scoring_seconds                     the scoring of one telemetry post (histogram)
    quelvar_active_bans{scope}                  shared: the fleet's; local: this process's replica
    quelvar_store_connected, quelvar_store_degraded   processes connected to Redis, or serving alone

Under pre-fork servers (gunicorn, uvicorn --workers) set PROMETHEUS_MULTIPROC_DIR
to an empty directory before the server starts: each worker then writes its
values there and the exposition sums them (the gauges: connected and degraded
summed over live workers, bans the latest any live worker read). "Live" is
prometheus_client's word for workers not yet marked dead: each exposition
marks those whose process is gone (see forget_dead_workers), since a server
may have no hook for it.
"""

from __future__ import annotations

import os
import re
import time
from typing import TYPE_CHECKING, Any

from .vocabulary import VERDICT_OF_REFUSAL, Decided, Route, TokenVerdict

if TYPE_CHECKING:
    from .vocabulary import Event

__all__ = ["METRICS", "Metrics", "forget_dead_workers"]

# The files of the gauges summed over live workers, one per worker's pid.
_LIVE_GAUGE_FILE = re.compile(r"^gauge_live[a-z]+_(\d+)\.db$")

# Guard time: a refusal from memory takes microseconds, a telemetry post with
# a Redis round trip a millisecond or so, an outage up to twice the timeout.
GUARD_BUCKETS = (0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5)
SCORING_BUCKETS = (0.00001, 0.000025, 0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.05)


TOKEN_KINDS = ("telemetry", "guarded")
STORE_CALLS = ("nonce", "budget", "ban")


class Metrics:
    """The guard's metrics (see the module); one per process, `METRICS`."""

    def __init__(self) -> None:
        self.on = False

    def enable(self) -> None:
        """Creates the metrics (once per process); ImportError names the extra if the client is missing."""
        if self.on:
            return
        try:
            from prometheus_client import Counter, Gauge, Histogram
        except ImportError as missing:
            raise ImportError('metrics need prometheus_client: pip install "quelvar_core_rs[metrics]"') from missing
        self.requests = Counter(
            "quelvar_requests", "Requests on the guard's paths, by outcome and reason", ["outcome", "reason"]
        )
        self.bans = Counter("quelvar_bans", "Bans made, by who made them", ["source"])
        self.shadowed = Counter(
            "quelvar_shadowed",
            "Refusals the guard would have made but let through (shadow mode, or a rule set to shadow), by reason",
            ["reason"],
        )
        self.unbans = Counter("quelvar_unbans", "Unbans made, by who made them", ["source"])
        self.issued = Counter("quelvar_tokens_issued", "Tokens issued, by kind", ["kind"])
        self.refused = Counter("quelvar_tokens_refused", "Tokens refused, by verdict", ["verdict"])
        self.store_calls = Counter("quelvar_store_calls", "Round trips to the shared store", ["call"])
        self.store_failures = Counter("quelvar_store_failures", "Round trips to the shared store that failed", ["call"])
        self.guard_time = Histogram("quelvar_guard_seconds", "The guard's time per request", buckets=GUARD_BUCKETS)
        self.scoring_time = Histogram(
            "quelvar_scoring_seconds", "Scoring time per telemetry post", buckets=SCORING_BUCKETS
        )
        # The latest reading of any live worker: the shared count is read by
        # whichever worker answers a scrape, so an older one is stale.
        self.active_bans = Gauge(
            "quelvar_active_bans",
            "Active bans: the shared set's, a process's replica",
            ["scope"],
            multiprocess_mode="livemostrecent",
        )
        self.connected = Gauge(
            "quelvar_store_connected", "Processes connected to the shared store", multiprocess_mode="livesum"
        )
        self.degraded = Gauge(
            "quelvar_store_degraded", "Processes serving from their own tables", multiprocess_mode="livesum"
        )
        self._ban_outcome = self.requests.labels("ban", "refused")
        self._guard_bans = self.bans.labels("guard")
        # Each label set's child, looked up once: labels() validates and locks on every call.
        self._children: dict[tuple[object, ...], Any] = {}
        # Label sets known in advance start at 0: each family is there, and a
        # rate can be taken, before its first event.
        for metric, values in (
            (self.issued, TOKEN_KINDS),
            (self.refused, tuple(VERDICT_OF_REFUSAL.values())),
            (self.store_calls, STORE_CALLS),
            (self.store_failures, STORE_CALLS),
        ):
            for value in values:
                self._child(metric, value)
        self.on = True

    def _child(self, metric: Any, *labels: str) -> Any:
        key = (metric, *labels)
        child = self._children.get(key)
        if child is None:
            child = self._children[key] = metric.labels(*labels)
        return child

    # -- hooks (each called only when `on`) ----------------------------------

    def request(self, event: Event, started: float) -> None:
        """One request the walk finished, `started` on the perf_counter clock."""
        self.guard_time.observe(time.perf_counter() - started)
        decided = event.decided
        if decided is Decided.ALLOW:
            self._child(self.requests, "allow", event.route.value).inc()
            if event.issued:
                # The token endpoint hands out a telemetry token, the others a clearance's guarded ones.
                kind = "telemetry" if event.route is Route.TOKEN else "guarded"
                self._child(self.issued, kind).inc(event.issued)
        elif decided is Decided.BAN:
            self._ban_outcome.inc()
            self._guard_bans.inc()
        else:
            self._child(self.requests, decided.value, str(event.code)).inc()
            if event.verdict is not None and event.verdict is not TokenVerdict.OK:
                self._child(self.refused, event.verdict.value).inc()

    def ban_change(self, banned: bool, source: str) -> None:
        """A ban (or, not `banned`, an unban) made outside the guard's walk."""
        self._child(self.bans if banned else self.unbans, source).inc()

    def shadow(self, reason: str) -> None:
        self._child(self.shadowed, reason).inc()

    def store_call(self, call: str, failed: bool = False) -> None:
        self._child(self.store_calls, call).inc()
        if failed:
            self._child(self.store_failures, call).inc()

    def store_state(self, state: str) -> None:
        connected = state == "connected"
        self.connected.set(connected)
        self.degraded.set(state == "degraded")

    def local_bans(self, count: int) -> None:
        self.active_bans.labels("local").set(count)

    # -- exposition ------------------------------------------------------------

    def refresh(self, store: Any) -> None:
        """This process's gauges as of now (a shared store is asked its count: one round trip)."""
        import quelvar_core_rs as core

        self.local_bans(core.get_state_engine_stats_rs()["active_ip_bans"])
        shared = store.stats().get("shared_ip_bans")
        if shared is not None:
            self.active_bans.labels("shared").set(shared)

    def exposition(self) -> tuple[bytes, str]:
        """The text to serve and its content type; summed over the workers in multiprocess mode."""
        from prometheus_client import CONTENT_TYPE_LATEST, REGISTRY, CollectorRegistry, generate_latest

        registry = REGISTRY
        if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
            from prometheus_client import multiprocess

            forget_dead_workers()
            registry = CollectorRegistry()
            multiprocess.MultiProcessCollector(registry)  # type: ignore[no-untyped-call]
        return generate_latest(registry), CONTENT_TYPE_LATEST


def forget_dead_workers(directory: str | None = None) -> list[int]:
    """Marks dead (prometheus_client's mark_process_dead) every process whose
    live gauges are in the multiprocess directory but which has exited, so
    that a worker killed and respawned is not counted twice: gunicorn can do
    it in its child_exit hook, uvicorn has none. Returns the pids forgotten.
    (A pid reused by a new process keeps its old gauges until that one exits.)"""
    from prometheus_client import multiprocess

    directory = directory or os.environ.get("PROMETHEUS_MULTIPROC_DIR")
    if not directory:
        return []
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    gone = sorted({pid for name in names if (match := _LIVE_GAUGE_FILE.match(name)) and _exited(pid := int(match[1]))})
    for pid in gone:
        multiprocess.mark_process_dead(pid, directory)  # type: ignore[no-untyped-call]
    return gone


def _exited(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False  # another user's: alive
    # A child its server has not reaped yet is dead too.
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            return stat.read().rpartition(b")")[2].split()[0] in (b"Z", b"X")
    except (OSError, IndexError):
        return False


METRICS = Metrics()
