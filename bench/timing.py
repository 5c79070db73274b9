"""The timing helpers every benchmark here shares: contenders measured
interleaved in one process, round after round, so that every ratio comes
from one run (best and median time per call over the rounds)."""

from __future__ import annotations

import itertools
import statistics
import time
from dataclasses import dataclass, field

TOKEN_LENGTH = 22
MAX_CALLS_PER_ROUND = 200_000


@dataclass
class Timing:
    per_call: list[float] = field(default_factory=list)

    @property
    def best(self) -> float:
        return min(self.per_call)

    @property
    def median(self) -> float:
        return statistics.median(self.per_call)


def repeated(function, *args):
    """A runner that makes `count` calls of function(*args) in a bare loop."""

    def run(count: int) -> None:
        for _ in itertools.repeat(None, count):
            function(*args)

    return run


def each_of(function, supply):
    """A runner whose every call takes the next item of `supply`."""
    items = iter(supply)

    def run(count: int) -> None:
        for item in itertools.islice(items, count):
            function(item)

    return run


def each_awaited(loop, function, supply):
    """A runner whose every call awaits function(item) for the next item of
    `supply`, all of a run in one coroutine on `loop`: one loop turn per
    call, as a server's event loop runs them, not a loop started per call."""
    items = iter(supply)

    async def calls(count: int) -> None:
        for item in itertools.islice(items, count):
            await function(item)

    def run(count: int) -> None:
        loop.run_until_complete(calls(count))

    return run


def calls_for(run, budget: float, cap: int = MAX_CALLS_PER_ROUND) -> int:
    """How many calls fill about `budget` seconds, at most `cap`."""
    start = time.perf_counter()
    run(1)
    once = max(time.perf_counter() - start, 1e-7)
    return max(1, min(cap, int(budget / once)))


def interleaved(
    contenders: dict, rounds: int, budget: float, cap: int = MAX_CALLS_PER_ROUND, cpu: dict | None = None
) -> dict[str, Timing]:
    """Times each runner in turn, `rounds` times, rotating the order; at most
    `cap` calls per round (a supply of `cap * rounds + 1` items is enough).
    Given a dict as `cpu`, it gets each runner's CPU time per call of this
    thread as well (time.thread_time: a wait for a reply is not counted)."""
    counts = {name: calls_for(run, budget, cap) for name, run in contenders.items()}
    timings = {name: Timing() for name in contenders}
    if cpu is not None:
        cpu.update({name: Timing() for name in contenders})
    names = list(contenders)
    for round_index in range(rounds):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            run, count = contenders[name], counts[name]
            start, start_cpu = time.perf_counter(), time.thread_time()
            run(count)
            timings[name].per_call.append((time.perf_counter() - start) / count)
            if cpu is not None:
                cpu[name].per_call.append((time.thread_time() - start_cpu) / count)
    return timings


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, ...]] = []

    def add(self, scenario: str, timings: dict[str, Timing], module: str = "module") -> None:
        base = timings[module]
        for name, timing in timings.items():
            if name == module:
                ratio = ""
            else:
                ratio = f"{timing.best / base.best:8.1f}x {timing.median / base.median:8.1f}x"
            self.rows.append((scenario, name, f"{timing.best * 1e6:10.2f}", f"{timing.median * 1e6:10.2f}", ratio))

    def print(self) -> None:
        header = ("scenario", "contender", "best us", "median us", "peer/module best, median")
        widths = [max(len(r[i]) for r in self.rows + [header]) for i in range(5)]
        line = "  ".join(h.ljust(w) for h, w in zip(header, widths, strict=True))
        print(line)
        print("-" * len(line))
        for row in self.rows:
            print("  ".join(cell.ljust(w) for cell, w in zip(row, widths, strict=True)))


def fresh_tokens(count: int, prefix: str) -> list[str]:
    return [f"{prefix}{i:0{TOKEN_LENGTH - len(prefix)}d}" for i in range(count)]
