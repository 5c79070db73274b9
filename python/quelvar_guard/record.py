"""The decision record: one log event per refusal, challenge, ban, unban and
store state change, on the logger "quelvar_guard".

Each event carries its facts as attributes of the log record (given through
`extra`), so a JSON formatter writes them as fields:

    event     "refusal", "challenge", "ban", "unban" or "store"
    reason    the refusal's code ("replayed_token", "banned", ...), or the
              store's new state ("degraded", "connected", "refused")
    decision  "refuse", "challenge", "ban", "unban", "unavailable"
    address   the client's normalised address (None if it had none)
    path      the request's path
    verdict   the token's verdict ("ok", "replayed", ...), None when no token
              was checked
    reasons   the scoring's reasons (a list of short strings)
    seconds   a ban's length
    source    who banned or unbanned: "guard", "command line", ...
    pid       the worker's process id

Never a token, a key or a body. Levels: refusals and challenges INFO, bans
and unbans WARNING, the store going away ERROR (once per change, back again
WARNING). Each level has its own token bucket, so a flood of refusals cannot
fill a disk nor crowd out the bans: what a bucket drops is counted, and the
count is logged at that level when it lets events through again. Nothing is
formatted, nor the bucket touched, unless the level is enabled.
"""

from __future__ import annotations

import logging
import os
import threading
import time
from typing import TYPE_CHECKING
from urllib.parse import urlsplit, urlunsplit

from .tokens import VERDICT_OF_REFUSAL

if TYPE_CHECKING:
    from collections.abc import Callable

    from .decision import Reply, RequestHead

__all__ = ["DecisionRecord", "RECORD", "redacted_url"]

log = logging.getLogger("quelvar_guard")

# Events per second each level may write, and how many at once.
DEFAULT_RATE = 20.0
DEFAULT_BURST = 200

# The scoring's decisions are made only after the token was spent: its verdict was ok.
_DECIDED = {"challenge": ("challenge", "challenge"), "refused": ("refusal", "refuse")}


class _Bucket:
    """A token bucket of one level, with the count of what it dropped."""

    __slots__ = ("rate", "burst", "tokens", "stamp", "dropped", "lock")

    def __init__(self, rate: float, burst: int) -> None:
        self.rate, self.burst = rate, burst
        self.tokens, self.stamp, self.dropped = float(burst), time.monotonic(), 0
        self.lock = threading.Lock()

    def take(self) -> int | None:
        """None: drop this event; else how many were dropped before it."""
        now = time.monotonic()
        with self.lock:
            self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
            self.stamp = now
            if self.tokens < 1:
                self.dropped += 1
                return None
            self.tokens -= 1
            dropped, self.dropped = self.dropped, 0
            return dropped


class DecisionRecord:
    """Writes the events (see the module); one per process, `RECORD`."""

    def __init__(self, rate: float = DEFAULT_RATE, burst: int = DEFAULT_BURST) -> None:
        self.limit(rate, burst)
        os.register_at_fork(after_in_child=self._after_fork)

    def limit(self, rate: float, burst: int) -> None:
        """Each level may write `burst` events at once and `rate` per second after that."""
        if not rate > 0 or burst < 1:
            raise ValueError("rate must be positive and burst at least 1")
        self.rate, self.burst = float(rate), int(burst)
        self._buckets: dict[int, _Bucket] = {}
        self._store_states: dict[str, str] = {}

    def _after_fork(self) -> None:
        # A worker starts with its own budget and its own locks.
        self.limit(self.rate, self.burst)

    def admit(self, level: int) -> bool:
        """Whether an event of `level` is to be written: its level enabled and
        room in its bucket (then the count of those dropped before it is
        written first). Asked before anything of the event is built."""
        if not log.isEnabledFor(level):
            return False
        bucket = self._buckets.get(level)
        if bucket is None:
            bucket = self._buckets.setdefault(level, _Bucket(self.rate, self.burst))
        dropped = bucket.take()
        if dropped is None:
            return False
        if dropped:
            log.log(
                level,
                "quelvar_guard: %d %s events were dropped by the rate limit",
                dropped,
                logging.getLevelName(level),
                extra={"event": "dropped", "dropped": dropped, "pid": os.getpid()},
            )
        return True

    @staticmethod
    def write(level: int, message: str, args: tuple[object, ...], fields: dict[str, object]) -> None:
        fields["pid"] = os.getpid()
        log.log(level, message, *args, extra=fields)

    def emit(self, level: int, message: str, args: tuple[object, ...], fields: dict[str, object]) -> None:
        """One event, if admitted."""
        if self.admit(level):
            self.write(level, message, args, fields)

    # -- requests ------------------------------------------------------------

    def reply(self, reply: Reply, head: RequestHead, resolve: Callable[[RequestHead], str | None]) -> None:
        """A request the guard answered itself: a refusal, a challenge or a
        ban. The address is resolved again only if the event is written."""
        payload = reply.payload
        code = payload.get("error")
        if code is None:
            return  # not a refusal
        retry_after = payload.get("retry_after")
        if code == "refused" and retry_after is not None:
            # Only a ban gives the callback's refusal a Retry-After.
            if self.admit(logging.WARNING):
                address, path, reasons = resolve(head), head.path, payload.get("reasons", [])
                self.write(
                    logging.WARNING,
                    "quelvar_guard: ban %s for %s s on %s (%s)",
                    (address, retry_after, path, ", ".join(reasons)),  # type: ignore[arg-type]
                    {
                        "event": "ban",
                        "reason": code,
                        "decision": "ban",
                        "address": address,
                        "path": path,
                        "verdict": "ok",
                        "reasons": reasons,
                        "seconds": retry_after,
                        "source": "guard",
                    },
                )
            return
        if not self.admit(logging.INFO):
            return
        address, path = resolve(head), head.path
        event, decision = _DECIDED.get(code, ("refusal", "refuse"))  # type: ignore[call-overload]
        verdict = "ok" if code in _DECIDED else VERDICT_OF_REFUSAL.get(code)  # type: ignore[call-overload]
        if code == "store_unavailable":
            decision = "unavailable"
        self.write(
            logging.INFO,
            "quelvar_guard: %s %s %s on %s",
            (event, code, address, path),
            {
                "event": event,
                "reason": code,
                "decision": decision,
                "address": address,
                "path": path,
                "verdict": verdict,
                "reasons": payload.get("reasons", []),
                "status": reply.status,
            },
        )

    def ban(self, address: str, seconds: int, source: str) -> None:
        """A ban made outside a request (an operator, the application)."""
        self.emit(
            logging.WARNING,
            "quelvar_guard: ban %s for %s s by %s",
            (address, seconds, source),
            {
                "event": "ban",
                "reason": "ban",
                "decision": "ban",
                "address": address,
                "seconds": seconds,
                "source": source,
            },
        )

    def unban(self, address: str, source: str) -> None:
        self.emit(
            logging.WARNING,
            "quelvar_guard: unban %s by %s",
            (address, source),
            {"event": "unban", "reason": "unban", "decision": "unban", "address": address, "source": source},
        )

    # -- the store -------------------------------------------------------------

    def store_state(self, store: str, state: str, detail: object = None) -> None:
        """The store at `store` (a redacted URL) is now "degraded", "connected"
        or "refused"; logged when that changes, not on every attempt."""
        if self._store_states.get(store) == state:
            return
        first = store not in self._store_states
        self._store_states[store] = state
        if state == "connected":
            if first:
                return  # the normal start is no event
            level, what = logging.WARNING, "is back; bans resynchronised"
        else:
            level, what = logging.ERROR, ("unreachable; " if state == "degraded" else "refused: ") + str(detail)
        self.emit(
            level,
            "quelvar_guard: Redis at %s %s",
            (store, what),
            {"event": "store", "reason": state, "decision": state, "store": store},
        )


def redacted_url(url: str) -> str:
    """The URL without its password, as it may be logged."""
    try:
        parts = urlsplit(url)
        if parts.password is None:
            return url
        user = parts.username or ""
        host = parts.hostname or ""
        if parts.port is not None:
            host = f"{host}:{parts.port}"
        return urlunsplit(parts._replace(netloc=f"{user}:***@{host}"))
    except ValueError:
        return "<unparsable URL>"


RECORD = DecisionRecord()
