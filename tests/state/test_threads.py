"""Threads racing on the engine: one acceptance per token, and every state
function mixed with invariants checked as they go.

QUELVAR_STRESS_SECONDS bounds each phase (the normal suite keeps it short)."""

import os
import queue
import random
import sys
import threading
import time

import quelvar_core_rs as core

SECONDS = float(os.environ.get("QUELVAR_STRESS_SECONDS", "1.0"))
THREADS = 6


def run_threads(target, count=THREADS):
    errors = []

    def guarded(index):
        try:
            target(index)
        except BaseException as error:  # reported in the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def test_mixed_operations_keep_their_invariants():
    core.clear_state_engine_rs()
    tokens = [f"race-{i:017d}" for i in range(20_000)]
    accepted = [0] * len(tokens)
    accepted_lock = threading.Lock()
    announced = queue.Queue()
    deadline = time.monotonic() + SECONDS

    def worker(index):
        rng = random.Random(index)
        order = list(range(len(tokens)))
        rng.shuffle(order)
        position = 0
        banned_here = 0
        while time.monotonic() < deadline or position < len(order):
            choice = rng.random()
            if choice < 0.6 and position < len(order):
                slot = order[position]
                position += 1
                if core.consume_nonce_rs(tokens[slot]):
                    with accepted_lock:
                        accepted[slot] += 1
            elif choice < 0.7:
                ip = f"198.18.{index}.{banned_here % 250}"
                banned_here += 1
                core.ban_ip_rs(ip, 3600)
                announced.put(ip)
            elif choice < 0.8:
                try:
                    ip = announced.get_nowait()
                except queue.Empty:
                    continue
                # A ban is visible to every thread once ban_ip_rs returned.
                assert core.is_ip_banned_rs(ip), ip
            elif choice < 0.9:
                stats = core.get_state_engine_stats_rs()
                assert list(stats) == ["current_bucket_nonces", "previous_bucket_nonces", "active_ip_bans"]
                assert stats["current_bucket_nonces"] + stats["previous_bucket_nonces"] <= len(tokens)
            else:
                core.unban_ip_rs(f"203.0.113.{rng.randrange(256)}")
                assert not core.is_ip_banned_rs("203.0.113.255")

    run_threads(worker)
    # Every token was offered by every thread: exactly one of them got True.
    assert accepted == [1] * len(tokens)
    assert core.get_state_engine_stats_rs()["current_bucket_nonces"] + core.get_state_engine_stats_rs()[
        "previous_bucket_nonces"
    ] == len(tokens)


def test_hydration_and_reset_are_never_seen_half_done():
    core.clear_state_engine_rs()
    future = int(time.time()) + 86_400
    bans = [(f"192.0.2.{i}", future) for i in range(200)]
    deadline = time.monotonic() + SECONDS
    seen = set()
    # The writer clears only once a reader has seen the hydrated list, so a
    # hydration that stores nothing fails below rather than passing as "0".
    full_seen = threading.Event()

    def worker(index):
        while time.monotonic() < deadline:
            if index == 0:
                core.hydrate_bans_rs(bans)
                full_seen.wait(max(0.0, deadline - time.monotonic()))
                full_seen.clear()
                core.clear_state_engine_rs()
            else:
                stats = core.get_state_engine_stats_rs()
                seen.add(stats["active_ip_bans"])
                assert stats["active_ip_bans"] in (0, len(bans)), stats
                assert stats["current_bucket_nonces"] == stats["previous_bucket_nonces"] == 0
                if stats["active_ip_bans"] == len(bans):
                    full_seen.set()

    run_threads(worker, count=4)
    assert len(bans) in seen and seen <= {0, len(bans)}
    core.clear_state_engine_rs()


def test_racing_threads_get_exactly_one_true_per_token():
    tokens = [f"race-{i}" for i in range(3_000)]
    results = [[] for _ in range(8)]
    start = threading.Barrier(len(results))

    def worker(index):
        order = random.Random(index).sample(tokens, len(tokens))
        start.wait()
        results[index] = [(t, core.consume_nonce_rs(t)) for t in order]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # let the interpreter switch threads as often as it can
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(results))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    accepted = dict.fromkeys(tokens, 0)
    for outcome in results:
        for token, fresh in outcome:
            accepted[token] += fresh
    assert set(accepted.values()) == {1} and sum(map(len, results)) == 8 * len(tokens)
