"""Token buckets of this process, one per key: the in-process store's
budgets and the decision record's rate limit per level."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable


class Budgets:
    """Token buckets of this process, one per key, each kept as one time: when
    the bucket is full again. Taking a unit moves that time on by 1/rate; a
    bucket that would then be owed more than `burst` units refuses.

    A full bucket is no entry at all, so the table holds only keys that took
    something in the last burst/rate seconds; it is swept when it doubles.
    """

    SWEEP_FLOOR = 1024

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self.full_at: dict[str, float] = {}
        self.lock = threading.Lock()
        self.sweep_at = self.SWEEP_FLOOR
        self.clock = clock

    def after_fork(self) -> None:
        self.lock = threading.Lock()

    def take(self, key: str, rate: float, burst: int) -> float:
        """0.0 if a unit was taken, else the seconds until one can be."""
        interval = 1.0 / rate
        now = self.clock()
        with self.lock:
            since = max(self.full_at.get(key, now), now)
            # What is owed before this unit against what the burst leaves room
            # for: a full bucket is never refused by a rounding of `now`.
            wait = (since - now) - (burst - 1) * interval
            if wait > 0:
                return wait
            self.full_at[key] = since + interval
            if len(self.full_at) >= self.sweep_at:
                self.full_at = {key: at for key, at in self.full_at.items() if at > now}
                self.sweep_at = max(self.SWEEP_FLOOR, 2 * len(self.full_at))
        return 0.0
