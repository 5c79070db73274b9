"""The state-engine functions through the module, on the real clocks. Every
test starts from a cleared engine; the behaviour that depends on time is in
test_state_clock.py."""

import random
import sys
import threading

import pytest

import quelvar_core_rs as core

DAY = 86_400
LATEST = 2**64 - 1


@pytest.fixture(autouse=True)
def cleared_engine():
    core.clear_state_engine_rs()
    yield
    core.clear_state_engine_rs()


def stats() -> tuple:
    return tuple(core.get_state_engine_stats_rs().values())


class Token(str):
    pass


@pytest.mark.parametrize(
    "first, second",
    [
        ("token", "Token"),
        ("token", "token "),
        ("caf\u00e9", "cafe\u0301"),  # composed and decomposed forms
        ("a\x00b", "a"),
        ("", " "),
        ("x" * 200, "x" * 201),
    ],
)
def test_tokens_are_exact_byte_strings(first, second):
    assert core.consume_nonce_rs(first) is True
    assert core.consume_nonce_rs(second) is True
    assert core.consume_nonce_rs(first) is False
    assert core.consume_nonce_rs(nonce=second) is False
    assert stats() == (2, 0, 0)


def test_str_subclass_is_the_same_token():
    assert core.consume_nonce_rs(Token("abc")) is True
    assert core.consume_nonce_rs("abc") is False


def test_unencodable_token_changes_nothing():
    with pytest.raises(UnicodeEncodeError):
        core.consume_nonce_rs("\ud800")
    assert stats() == (0, 0, 0)


def test_window_holds_more_than_its_reservation():
    tokens = [f"tok-{i:018d}" for i in range(20_000)]
    assert all(core.consume_nonce_rs(t) for t in tokens)
    assert not any(core.consume_nonce_rs(t) for t in tokens)
    assert stats() == (20_000, 0, 0)


def test_stats_are_a_new_dict_in_key_order():
    first = core.get_state_engine_stats_rs()
    assert list(first.items()) == [("current_bucket_nonces", 0), ("previous_bucket_nonces", 0), ("active_ip_bans", 0)]
    first["active_ip_bans"] = 99
    assert core.get_state_engine_stats_rs()["active_ip_bans"] == 0
    core.consume_nonce_rs("a")
    core.consume_nonce_rs("b")
    core.consume_nonce_rs("a")
    core.ban_ip_rs("203.0.113.7", DAY)
    assert stats() == (2, 0, 1)


@pytest.mark.parametrize(
    "banned, other",
    [
        ("203.0.113.7", "203.0.113.7 "),
        ("2001:db8::1", "2001:0db8:0000:0000:0000:0000:0000:0001"),
        ("2001:db8::1", "2001:DB8::1"),
        ("::ffff:192.0.2.1", "192.0.2.1"),
    ],
)
def test_addresses_are_exact_byte_strings(banned, other):
    core.ban_ip_rs(banned, DAY)
    assert core.is_ip_banned_rs(banned) is True
    assert core.is_ip_banned_rs(other) is False
    core.unban_ip_rs(other)
    assert core.is_ip_banned_rs(ip=banned) is True


def test_ban_unban_cycle():
    assert core.is_ip_banned_rs("198.51.100.2") is False
    assert core.ban_ip_rs("198.51.100.2", DAY) is None
    assert core.is_ip_banned_rs("198.51.100.2") is True
    assert core.unban_ip_rs("198.51.100.2") is None
    assert core.is_ip_banned_rs("198.51.100.2") is False
    assert core.unban_ip_rs("never-banned") is None
    assert stats() == (0, 0, 0)


def test_zero_duration_replaces_a_longer_ban():
    core.ban_ip_rs("a", DAY)
    core.ban_ip_rs("a", 0)
    assert core.is_ip_banned_rs("a") is False
    assert stats() == (0, 0, 0)


@pytest.mark.parametrize("duration", [LATEST, LATEST - 1, 2**63])
def test_huge_durations_saturate_instead_of_wrapping(duration):
    # now + duration past 2**64 - 1 must not wrap around into the past.
    core.ban_ip_rs("a", duration)
    assert core.is_ip_banned_rs("a") is True
    assert stats() == (0, 0, 1)


def test_hydration_stores_future_pairs_only():
    assert core.hydrate_bans_rs([("p", LATEST), ("q", 5), ("r", 0)]) is None
    assert [core.is_ip_banned_rs(a) for a in "pqr"] == [True, False, False]
    assert stats() == (0, 0, 1)
    core.hydrate_bans_rs(())
    core.hydrate_bans_rs([])
    assert stats() == (0, 0, 1)


@pytest.mark.parametrize(
    "bad_item, error",
    [
        (["198.51.100.2", LATEST], TypeError),
        (("198.51.100.2", LATEST, 0), ValueError),
        (("198.51.100.2",), ValueError),
        (("198.51.100.2", -1), OverflowError),
        (("198.51.100.2", 2**64), OverflowError),
        ((42, LATEST), TypeError),
    ],
)
def test_hydration_is_all_or_nothing(bad_item, error):
    with pytest.raises(error):
        core.hydrate_bans_rs([("203.0.113.7", LATEST), bad_item])
    assert core.is_ip_banned_rs("203.0.113.7") is False
    assert stats() == (0, 0, 0)


def test_failed_conversion_changes_nothing():
    core.ban_ip_rs("a", DAY)
    with pytest.raises(OverflowError):
        core.ban_ip_rs("b", -1)
    with pytest.raises(TypeError):
        core.ban_ip_rs(b"b", DAY)
    with pytest.raises(TypeError):
        core.unban_ip_rs(None)
    assert [core.is_ip_banned_rs(a) for a in "ab"] == [True, False]


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
    threads_count = 8
    results = [[] for _ in range(threads_count)]
    start = threading.Barrier(threads_count)

    def worker(index: int) -> None:
        order = tokens[:]
        random.Random(index).shuffle(order)
        start.wait()
        results[index] = [(t, core.consume_nonce_rs(t)) for t in order]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(threads_count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)

    accepted = {t: 0 for t in tokens}
    for outcome in results:
        assert len(outcome) == len(tokens)
        for token, fresh in outcome:
            accepted[token] += fresh
    assert set(accepted.values()) == {1}
    assert stats() == (len(tokens), 0, 0)
