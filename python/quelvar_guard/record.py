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
    mode      "enforce", or "shadow" for what the guard would have done but
              let through (shadow mode, or a rule set to shadow)
    seconds   a ban's length
    source    who banned or unbanned: "guard", "command line", ...
    pid       the worker's process id

Never a token, a key or a body. Every text of an event (in its message and
in its fields) is written with its control characters and backslashes
escaped (a newline as \\n), so that a path or an address cannot write a line
of its own into a plain-text log. Levels: refusals and challenges INFO, bans
and unbans WARNING, the store going away ERROR (once per change, back again
WARNING). Each level has its own token bucket, so a flood of refusals cannot
fill a disk nor crowd out the bans: what a bucket drops is counted, and the
count is logged at that level when it lets events through again, at most
once every DROPPED_NOTICE_SECONDS. Nothing is formatted, nor the bucket
touched, unless the level is enabled.
"""

from __future__ import annotations

import logging
import math
import os
import re
import threading
import time
from typing import TYPE_CHECKING

from .buckets import Budgets
from .vocabulary import Decided

if TYPE_CHECKING:
    from .vocabulary import Event

__all__ = ["DecisionRecord", "RECORD", "redacted_url"]

log = logging.getLogger("quelvar_guard")

# Events per second each level may write, and how many at once.
DEFAULT_RATE = 20.0
DEFAULT_BURST = 200
# A level's count of dropped events is logged at most this often.
DROPPED_NOTICE_SECONDS = 10.0

# What a log line must not carry as it is: C0 and C1 control characters (a
# newline among them), DEL, the Unicode line and paragraph separators, and the
# backslash that starts an escape.
_UNSAFE = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029\\]")


class _Bucket:
    """One level's unit of the record's budgets, with the count of what it dropped."""

    __slots__ = ("budgets", "key", "rate", "burst", "dropped", "noticed", "lock")

    def __init__(self, budgets: Budgets, key: str, rate: float, burst: int) -> None:
        self.budgets, self.key, self.rate, self.burst = budgets, key, rate, burst
        self.dropped, self.noticed = 0, -math.inf
        self.lock = threading.Lock()

    def take(self) -> int | None:
        """None: drop this event; else how many were dropped before it, to be
        logged now (0 also while the last such notice is recent: the count
        goes on until the interval has passed)."""
        now = time.monotonic()
        with self.lock:
            if self.budgets.take(self.key, self.rate, self.burst) > 0:
                self.dropped += 1
                return None
            if not self.dropped or now - self.noticed < DROPPED_NOTICE_SECONDS:
                return 0
            dropped, self.dropped, self.noticed = self.dropped, 0, now
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
        self._budgets = Budgets()
        self._buckets: dict[int, _Bucket] = {}
        self._store_states: dict[str, str] = {}

    def _after_fork(self) -> None:
        # A worker starts with its own budget and its own locks.
        self.limit(self.rate, self.burst)

    @staticmethod
    def wants(decided: Decided) -> bool:
        """Whether an event of what was decided could be written at all (its
        level enabled), asked before the event is built."""
        return log.isEnabledFor(logging.WARNING if decided is Decided.BAN else logging.INFO)

    def admit(self, level: int) -> bool:
        """Whether an event of `level` is to be written: its level enabled and
        room in its bucket (then the count of those dropped before it is
        written first). Asked before anything of the event is built."""
        if not log.isEnabledFor(level):
            return False
        bucket = self._buckets.get(level)
        if bucket is None:
            bucket = self._buckets.setdefault(level, _Bucket(self._budgets, str(level), self.rate, self.burst))
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
        """The one place an event's texts are formatted: each escaped (see the module)."""
        fields = {name: _escaped(value) for name, value in fields.items()}
        fields["pid"] = os.getpid()
        log.log(level, message, *(_escaped(arg) for arg in args), extra=fields)

    def emit(self, level: int, message: str, args: tuple[object, ...], fields: dict[str, object]) -> None:
        """One event, if admitted."""
        if self.admit(level):
            self.write(level, message, args, fields)

    # -- requests ------------------------------------------------------------

    def request(self, event: Event) -> None:
        """A request the guard answered itself: a refusal, a challenge or a
        ban. With `event.shadow` the guard would have answered so but let the
        request through: the event says "would", with mode "shadow"."""
        decided = event.decided
        if decided is Decided.ALLOW:
            return
        lead = "quelvar_guard: shadow, would " if event.shadow else "quelvar_guard: "
        mode = "shadow" if event.shadow else "enforce"
        verdict = None if event.verdict is None else event.verdict.value
        reasons = list(event.reasons)
        if decided is Decided.BAN:
            if self.admit(logging.WARNING):
                self.write(
                    logging.WARNING,
                    lead + "ban %s for %s s on %s (%s)",
                    (event.address, event.seconds, event.path, ", ".join(reasons)),
                    {
                        "event": "ban",
                        "reason": event.code,
                        "decision": "ban",
                        "address": event.address,
                        "path": event.path,
                        "verdict": verdict,
                        "reasons": reasons,
                        "seconds": event.seconds,
                        "source": "guard",
                        "mode": mode,
                    },
                )
            return
        if not self.admit(logging.INFO):
            return
        name = "challenge" if decided is Decided.CHALLENGE else "refusal"
        self.write(
            logging.INFO,
            lead + "%s %s %s on %s",
            (name, event.code, event.address, event.path),
            {
                "event": name,
                "reason": event.code,
                "decision": decided.value,
                "address": event.address,
                "path": event.path,
                "verdict": verdict,
                "reasons": reasons,
                "status": event.status,
                "mode": mode,
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
        """The store at `store` (a redacted URL) is now "degraded" (`detail`:
        why, as "Redis at URL" goes on), "connected" or "refused" (`detail`:
        the refusal); logged when that changes, not on every attempt."""
        if self._store_states.get(store) == state:
            return
        first = store not in self._store_states
        self._store_states[store] = state
        if state == "connected":
            if first:
                return  # the normal start is no event
            level, what = logging.WARNING, "is back; bans resynchronised"
        else:
            # degraded: what the store says went wrong ("is unreachable: ...",
            # "refused the user or password ...") and what it does meanwhile.
            level, what = logging.ERROR, (str(detail) if state == "degraded" else "refused: " + str(detail))
        self.emit(
            level,
            "quelvar_guard: Redis at %s %s",
            (store, what),
            {"event": "store", "reason": state, "decision": state, "store": store},
        )


def _escape_one(match: re.Match[str]) -> str:
    return match.group().encode("unicode_escape").decode("ascii")


def _escaped(value: object) -> object:
    """A text with its control characters and backslashes escaped (a newline
    as \\n, a backslash as \\\\), a list or tuple of texts each so; anything
    else as it is."""
    if isinstance(value, str):
        return _UNSAFE.sub(_escape_one, value)
    if isinstance(value, (list, tuple)):
        return [_escaped(item) for item in value]
    return value


# A password given as a query parameter (the only form a unix socket's URL has).
_QUERY_PASSWORD = re.compile(r"([?&;]password=)[^&;#]*", re.IGNORECASE)


def redacted_url(url: str) -> str:
    """The URL without its password, as it may be printed or logged: the
    password of `user:password@` and of a `password=` query parameter become
    `***`. The user part is taken to end at the last "@", so that a password
    with "/", "?", "#" or "@" in it is hidden whole (a "@" in another query
    parameter may hide the host too, never the password)."""
    text = _QUERY_PASSWORD.sub(r"\1***", url)
    scheme, separator, rest = text.partition("://")
    user_part, at, host = rest.rpartition("@")
    if not separator or not at or ":" not in user_part:
        return text  # no user part, or a user name alone
    return f"{scheme}://{user_part.split(':', 1)[0]}:***@{host}"


RECORD = DecisionRecord()
