"""The state-engine functions through the module on the real clocks; the
time-dependent behaviour is in test_state_clock.py."""

import random
import sys
import threading
import time

import pytest

import quelvar_core_rs as core

DAY, LATEST = 86_400, 2**64 - 1


@pytest.fixture(autouse=True)
def cleared_engine():
    core.clear_state_engine_rs()
    yield
    core.clear_state_engine_rs()


class Text(str):
    pass


def stats():
    return tuple(core.get_state_engine_stats_rs().values())


@pytest.mark.parametrize(
    "first, second",
    [("token", "Token"), ("token", "token "), ("caf\u00e9", "cafe\u0301"), ("a\x00b", "a"), ("", " "),
     ("x" * 20_000, "x" * 20_001), ("2001:db8::1", "2001:0db8:0000:0000:0000:0000:0000:0001")],
)
def test_tokens_and_addresses_are_exact_byte_strings(first, second):
    assert [core.consume_nonce_rs(first), core.consume_nonce_rs(second)] == [True, True]
    assert [core.consume_nonce_rs(first), core.consume_nonce_rs(nonce=Text(second))] == [False, False]
    core.ban_ip_rs(first, DAY)
    assert [core.is_ip_banned_rs(first), core.is_ip_banned_rs(ip=second)] == [True, False]
    core.unban_ip_rs(second)
    assert stats() == (2, 0, 1)


def test_window_grows_past_its_reservation():
    tokens = [f"tok-{i:018d}" for i in range(20_000)]
    assert all(map(core.consume_nonce_rs, tokens))
    assert not any(map(core.consume_nonce_rs, tokens))
    assert list(core.get_state_engine_stats_rs().items()) == [
        ("current_bucket_nonces", 20_000), ("previous_bucket_nonces", 0), ("active_ip_bans", 0)]


def test_ban_replacement_saturation_and_unban():
    core.ban_ip_rs("a", DAY)
    core.ban_ip_rs("a", 0)  # a shorter ban replaces a longer one
    core.ban_ip_rs("b", LATEST)  # now + duration saturates instead of wrapping into the past
    core.ban_ip_rs("c", DAY)
    assert core.unban_ip_rs("c") is None and core.unban_ip_rs("never-banned") is None
    assert [core.is_ip_banned_rs(x) for x in "abc"] == [False, True, False]
    assert stats() == (0, 0, 1)


@pytest.mark.parametrize(
    "bad_item, error",
    [(["198.51.100.2", LATEST], TypeError), (("198.51.100.2", LATEST, 0), ValueError),
     (("198.51.100.2", -1), OverflowError), ((42, LATEST), TypeError)],
)
def test_hydration_is_all_or_nothing(bad_item, error):
    with pytest.raises(error):
        core.hydrate_bans_rs([("203.0.113.7", LATEST), bad_item])
    assert core.hydrate_bans_rs(()) is None
    assert stats() == (0, 0, 0)
    core.hydrate_bans_rs([("203.0.113.7", LATEST), ("198.51.100.2", 5)])
    assert stats() == (0, 0, 1)


class Number(int):
    pass


def test_hydration_reads_every_kind_of_item_alike():
    # Plain pairs (exact tuple, ASCII str, int of up to two 30-bit digits)
    # are read directly; every other item goes the general way. Expiries sit
    # on both sides of now, of 2**30 and of 2**60, in every kind of item, and
    # a hook that empties the list part-way must not disturb the pairs read.
    now = int(time.time())
    expiries = [0, 5, 2**30 - 1, 2**30, now - 30, now + 30, 2**60 - 1, 2**60, LATEST]
    pairs, expected = [], {}
    for n, expires_at in enumerate(expiries):
        for kind, item in enumerate([
            (f"10.1.{n}.0", expires_at),
            (Text(f"10.1.{n}.1"), expires_at),
            (f"10.1.{n}.\u00e92", expires_at),
            (f"10.1.{n}.3", Number(expires_at)),
            (f"10.1.{n}.4", Index(expires_at)),
        ]):
            pairs.append(item)
            expected[str(item[0])] = expires_at > now
    clearing = [("10.2.0.0", LATEST), ("10.2.0.1", Index(LATEST, before=lambda: clearing.clear())), ("10.2.0.2", LATEST)]
    core.hydrate_bans_rs(tuple(pairs))
    core.hydrate_bans_rs(clearing)
    assert {address: core.is_ip_banned_rs(address) for address in expected} == expected
    assert [core.is_ip_banned_rs(f"10.2.0.{i}") for i in range(3)] == [True, True, False]
    assert stats()[2] == sum(expected.values()) + 2


class Index:
    def __init__(self, value, before=None):
        self.value, self.before = value, before

    def __index__(self):
        if self.before:
            self.before()
        return self.value


def test_failed_conversions_change_nothing():
    for call, args in [(core.consume_nonce_rs, ("\ud800",)), (core.ban_ip_rs, ("b", -1)), (core.ban_ip_rs, (b"b", 1))]:
        with pytest.raises((TypeError, OverflowError, UnicodeEncodeError)):
            call(*args)
    assert stats() == (0, 0, 0)


def test_clear_forgets_tokens_and_bans():
    for i in range(100):
        core.consume_nonce_rs(f"t{i}")
        core.ban_ip_rs(f"10.0.0.{i}", DAY)
    assert stats() == (100, 0, 100)
    assert core.clear_state_engine_rs() is None
    assert stats() == (0, 0, 0)
    assert not any(core.is_ip_banned_rs(f"10.0.0.{i}") for i in range(100))
    assert all(core.consume_nonce_rs(f"t{i}") for i in range(100))


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
