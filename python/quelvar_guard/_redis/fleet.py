"""Fleet-wide counts and heartbeats.

Counts: bans, unbans and refusals by reason, over the last minute and hour.
Each process tallies its own in memory (one dict increment under a lock on
the request path) and its ban listener adds the tally to Redis at most once a
second, in one pipeline: every count goes into a 10-second bucket and a
1-minute bucket, hashes that expire by themselves. Reading sums the buckets:
the last minute is the current 10-second bucket and the five before it (50 to
60 s), the last hour the current minute and the 59 before it.

Heartbeats: every BEAT_SECONDS, and at once when its state changes, each
process writes its state (connected or degraded, pid, host, what it keeps to
write) to a key of its own that expires after BEAT_TTL, and its name into a
sorted set scored by the time; in the same round trip as the counts when both
are due. A process that ends or loses Redis for good simply stops writing,
and its key and entry go by themselves.

The keys share one hash tag, so a cluster serves them from one node. Times are
the hosts' clocks, which need only agree to within a bucket.
"""

from __future__ import annotations

import json
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
UNBAN = "unban"
REFUSAL = "refusal:"
# A token accepted without Redis (degrade): a replay of it elsewhere is accepted too.
ACCEPTED_ALONE = "accepted_without_redis"
# How often a process writes its heartbeat, and how long one lasts: a process
# that stopped writing is gone from the list within BEAT_TTL.
BEAT_SECONDS = 2.0
BEAT_TTL = 10


class FleetKeys:
    def __init__(self, prefix: str) -> None:
        self.tag = "{" + prefix + "fleet}"
        self.workers = f"{self.tag}:workers"

    def bucket(self, seconds: int, number: int) -> str:
        return f"{self.tag}:{seconds}:{number}"

    def worker(self, name: str) -> str:
        return f"{self.tag}:w:{name}"


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


def write(
    client: Any,
    keys: FleetKeys,
    counts: dict[str, int],
    now: float,
    beat: tuple[str, dict[str, object]] | None = None,
    gone: str | None = None,
) -> None:
    """Adds `counts` to the buckets of `now`, writes the heartbeat `beat`
    (name, state) or takes away the one of a process `gone`: one round trip."""
    pipe = client.pipeline(transaction=False)
    for seconds in (SHORT, LONG) if counts else ():
        key = keys.bucket(seconds, int(now // seconds))
        for field, count in counts.items():
            pipe.hincrby(key, field, count)
        pipe.expire(key, KEEP_SECONDS)
    if beat is not None:
        name, state = beat
        pipe.set(keys.worker(name), json.dumps({**state, "seen": now}), ex=BEAT_TTL)
        pipe.zadd(keys.workers, {name: now})
        pipe.zremrangebyscore(keys.workers, "-inf", now - BEAT_TTL)
        pipe.expire(keys.workers, BEAT_TTL)
    if gone is not None:
        pipe.delete(keys.worker(gone))
        pipe.zrem(keys.workers, gone)
    pipe.execute()


def workers(client: Any, keys: FleetKeys, now: float) -> list[dict[str, Any]]:
    """The state every live process last wrote, oldest first, each with
    `age` (seconds since): two round trips."""
    names = client.zrangebyscore(keys.workers, now - BEAT_TTL, "+inf")
    if not names:
        return []
    states = []
    for value in client.mget([keys.worker(name.decode() if isinstance(name, bytes) else name) for name in names]):
        if value is None:
            continue  # expired between the two reads
        state = json.loads(value)
        state["age"] = round(max(0.0, now - float(state.pop("seen", now))), 1)
        states.append(state)
    return states


def read(client: Any, keys: FleetKeys, now: float) -> dict[str, dict[str, Any]]:
    """{"minute": {"bans": n, "unbans": n, "refusals": {reason: n}, "accepted_without_redis": n},
    "hour": {...}}: one round trip."""
    pipe = client.pipeline(transaction=False)
    windows = (("minute", SHORT, SHORT_COUNT), ("hour", LONG, LONG_COUNT))
    for _, seconds, count in windows:
        last = int(now // seconds)
        for number in range(last - count + 1, last + 1):
            pipe.hgetall(keys.bucket(seconds, number))
    replies = iter(pipe.execute())
    result: dict[str, dict[str, Any]] = {}
    for name, _, count in windows:
        changes = {BAN: 0, UNBAN: 0, ACCEPTED_ALONE: 0}
        refusals = dict[str, int]()
        for _ in range(count):
            for field, value in next(replies).items():
                field = field.decode() if isinstance(field, bytes) else field
                if field in changes:
                    changes[field] += int(value)
                elif field.startswith(REFUSAL):
                    reason = field[len(REFUSAL) :]
                    refusals[reason] = refusals.get(reason, 0) + int(value)
        result[name] = {
            "bans": changes[BAN],
            "unbans": changes[UNBAN],
            "refusals": dict(sorted(refusals.items())),
            ACCEPTED_ALONE: changes[ACCEPTED_ALONE],
        }
    return result


def flush(
    client: Any,
    keys: FleetKeys,
    tally: Tally,
    beat: tuple[str, dict[str, object]] | None = None,
    gone: str | None = None,
) -> None:
    """Adds what `tally` holds to Redis, with a heartbeat or a farewell (see
    write); counts that cannot be written are kept for the next flush."""
    counts = tally.take()
    if not counts and beat is None and gone is None:
        return
    try:
        write(client, keys, counts, time.time(), beat, gone)
    except BaseException:
        tally.put_back(counts)
        raise
