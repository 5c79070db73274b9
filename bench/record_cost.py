"""What the decision record and the metrics cost a request, in one process with LocalStore.

Interleaved rounds of the walk with the record (Guard.walk) against the same
steps without it (a guard whose walk ends without the record and the
metrics), for:

- an allowed guarded request (a fresh guarded token each time);
- a refusal (no token), with the record's INFO level off (the default) and on
  (written to a handler that drops it, past the rate limit: the cost of a
  flood once the bucket is empty);
- both with the metrics on (prometheus_client, one process): counters, the
  guard-time histogram; off, the default, is the "record" rows.

    python bench/record_cost.py [--quick]
"""

from __future__ import annotations

import argparse
import logging
import statistics
import time

from quelvar_guard import Guard, LocalStore
from quelvar_guard.decision import Outcome, RequestHead, Route, run
from quelvar_guard.metrics import METRICS
from quelvar_guard.record import RECORD

SECRET = "bench-secret-" + "k" * 40


class BareGuard(Guard):
    """The same walk, ended without the record and the metrics."""

    def _end(self, outcome: Outcome, *_: object) -> Outcome:
        return outcome


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    calls = 20_000 if parser.parse_args().quick else 100_000
    rounds = 7
    guard = Guard(LocalStore(), [SECRET], requests_per_clearance=64)
    bare = BareGuard(LocalStore(), [SECRET], requests_per_clearance=64)

    def answer(need: object) -> object:
        raise AssertionError(f"the in-process store needs nothing from outside the walk: {need}")

    def allowed(walk: object) -> float:
        tokens: list[str] = []
        while len(tokens) < calls:
            tokens.extend(guard.tokens.issue_clearance(64))
        heads = [RequestHead("GET", "/api/x", "198.51.100.7", {"x-quelvar-token": token}.get) for token in tokens]
        start = time.perf_counter()
        for head in heads:
            run(walk(head, Route.GUARDED), answer)  # type: ignore[operator]
        return (time.perf_counter() - start) / calls * 1e9

    def refused(walk: object) -> float:
        head = RequestHead("GET", "/api/x", "198.51.100.7", {}.get)
        start = time.perf_counter()
        for _ in range(calls):
            run(walk(head, Route.GUARDED), answer)  # type: ignore[operator]
        return (time.perf_counter() - start) / calls * 1e9

    logger = logging.getLogger("quelvar_guard")
    logger.propagate = False
    logger.addHandler(logging.NullHandler())
    RECORD.limit(rate=1e-9, burst=1)  # an empty bucket: every event past the first is dropped
    METRICS.enable()
    METRICS.on = False

    def metered(case: object) -> float:
        METRICS.on = True
        try:
            return case()  # type: ignore[operator,no-any-return]
        finally:
            METRICS.on = False

    cases = {
        "allowed, record": lambda: allowed(guard.walk),
        "allowed, bare": lambda: allowed(bare.walk),
        "refused, record off": lambda: refused(guard.walk),
        "refused, bare": lambda: refused(bare.walk),
        "refused, record on (dropped)": lambda: (
            logger.setLevel(logging.INFO),
            refused(guard.walk),
            logger.setLevel(logging.WARNING),
        )[1],
        "allowed, metrics on": lambda: metered(lambda: allowed(guard.walk)),
        "refused, metrics on": lambda: metered(lambda: refused(guard.walk)),
    }
    logger.setLevel(logging.WARNING)
    figures: dict[str, list[float]] = {name: [] for name in cases}
    for done in range(rounds):
        for name, case in cases.items():
            figures[name].append(case())
        print(f"\rround {done + 1}/{rounds}", end="", flush=True)
    print()
    median = {name: statistics.median(values) for name, values in figures.items()}
    print(f"{'case':32} {'ns/request (median of ' + str(rounds) + ')':>28}")
    for name, value in median.items():
        print(f"{name:32} {value:28.0f}")
    print(f"allowed: record/bare = {median['allowed, record'] / median['allowed, bare']:.3f}")
    print(f"refused, level off: record/bare = {median['refused, record off'] / median['refused, bare']:.3f}")
    print(
        f"refused, level on, dropped: record/bare = "
        f"{median['refused, record on (dropped)'] / median['refused, bare']:.3f}"
    )
    print(
        f"metrics on/off: allowed {median['allowed, metrics on'] / median['allowed, record']:.3f}, "
        f"refused {median['refused, metrics on'] / median['refused, record off']:.3f}"
    )


if __name__ == "__main__":
    main()
