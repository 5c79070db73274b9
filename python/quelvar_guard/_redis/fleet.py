"""Fleet-wide counts: bans and refusals by reason, over the last minute and hour.

Each process tallies its own in memory (one dict increment under a lock on
the request path) and its ban listener adds the tally to Redis at most once a
second, in one pipeline: every count goes into a 10-second bucket and a
1-minute bucket, hashes that expire by themselves. Reading sums the buckets:
the last minute is the current 10-second bucket and the five before it (50 to
60 s), the last hour the current minute and the 59 before it. The keys share
one hash tag, so a cluster serves them from one node. Times are the hosts'
clocks, which need only agree to within a bucket.
"""

from __future__ import annotations

import threading
import time
from typing import Any

# Seconds each kind of bucket covers, and how many make its window.
SHORT, SHORT_COUNT = 10, 6
LONG, LONG_COUNT = 60, 60
# Buckets outlive the longest window by a margin.
KEEP_SECONDS = LONG * (LONG_COUNT + 2)
# How often a process adds its tally to Redis, at most.
FLUSH_SECONDS = 1.0
BAN = "ban"
REFUSAL = "refusal:"


class FleetKeys:
    def __init__(self, prefix: str) -> None:
        self.tag = "{" + prefix + "fleet}"

    def bucket(self, seconds: int, number: int) -> str:
        return f"{self.tag}:{seconds}:{number}"


class Tally:
    """One process's counts since they were last added to Redis."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.counts: dict[str, int] = {}

    def add(self, field: str, count: int = 1) -> None:
        with self.lock:
            self.counts[field] = self.counts.get(field, 0) + count

    def take(self) -> dict[str, int]:
        with self.lock:
            counts, self.counts = self.counts, {}
        return counts

    def put_back(self, counts: dict[str, int]) -> None:
        with self.lock:
            for field, count in counts.items():
                self.counts[field] = self.counts.get(field, 0) + count

    def __bool__(self) -> bool:
        return bool(self.counts)


def write(client: Any, keys: FleetKeys, counts: dict[str, int], now: float) -> None:
    """Adds `counts` to the buckets of `now`: one round trip."""
    pipe = client.pipeline(transaction=False)
    for seconds in (SHORT, LONG):
        key = keys.bucket(seconds, int(now // seconds))
        for field, count in counts.items():
            pipe.hincrby(key, field, count)
        pipe.expire(key, KEEP_SECONDS)
    pipe.execute()


def read(client: Any, keys: FleetKeys, now: float) -> dict[str, dict[str, Any]]:
    """{"minute": {"bans": n, "refusals": {reason: n}}, "hour": {...}}: one round trip."""
    pipe = client.pipeline(transaction=False)
    windows = (("minute", SHORT, SHORT_COUNT), ("hour", LONG, LONG_COUNT))
    for _, seconds, count in windows:
        last = int(now // seconds)
        for number in range(last - count + 1, last + 1):
            pipe.hgetall(keys.bucket(seconds, number))
    replies = iter(pipe.execute())
    result: dict[str, dict[str, Any]] = {}
    for name, _, count in windows:
        bans, refusals = 0, dict[str, int]()
        for _ in range(count):
            for field, value in next(replies).items():
                field = field.decode() if isinstance(field, bytes) else field
                if field == BAN:
                    bans += int(value)
                elif field.startswith(REFUSAL):
                    reason = field[len(REFUSAL):]
                    refusals[reason] = refusals.get(reason, 0) + int(value)
        result[name] = {"bans": bans, "refusals": dict(sorted(refusals.items()))}
    return result


def flush(client: Any, keys: FleetKeys, tally: Tally) -> None:
    """Adds what `tally` holds to Redis; what cannot be written is kept for the next flush."""
    counts = tally.take()
    if not counts:
        return
    try:
        write(client, keys, counts, time.time())
    except BaseException:
        tally.put_back(counts)
        raise
