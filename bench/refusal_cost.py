"""What a refusal costs the server, next to what serving costs: the guard's
own walk, in process (LocalStore), per request on the token endpoint
answered with a token, with 429 past the budgets, and with 403 for a banned
client. Prints microseconds per request from one run; a benchmark, not a test.

    python bench/refusal_cost.py [--requests N]
"""

from __future__ import annotations

import argparse
import time

from quelvar_guard import Guard, LocalStore
from quelvar_guard.decision import RequestHead, Route


def per_request(guard: Guard, address: str, count: int) -> float:
    head = RequestHead("GET", guard.token_path, address, {}.get)
    walk = guard.walk
    started = time.perf_counter()
    for _ in range(count):
        walk(head, Route.TOKEN)
    return (time.perf_counter() - started) / count * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=20_000)
    count = parser.parse_args().requests
    store = LocalStore()
    guard = Guard(store, ["r" * 32], mint_rate=1e9, mint_burst=10**9, network_budgets=())
    served = per_request(guard, "192.0.2.1", count)
    # Past every budget at once: no work left to ask, so each request is a 429.
    tight = Guard(store, ["r" * 32], mint_rate=0.001, mint_burst=1, work_bits=0, max_work_bits=0)
    per_request(tight, "192.0.2.2", 2)
    refused = per_request(tight, "192.0.2.2", count)
    store.ban("192.0.2.3", 600)
    banned = per_request(guard, "192.0.2.3", count)
    print(f"token issued:      {served:6.2f} us a request")
    print(f"429 past budgets:  {refused:6.2f} us a request ({refused / served:.2f} of an issued token)")
    print(f"403 banned:        {banned:6.2f} us a request ({banned / served:.2f} of an issued token)")


if __name__ == "__main__":
    main()
