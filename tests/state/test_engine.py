"""What holds for the whole engine: tokens and addresses are exact byte
strings, a refused call changes nothing, and a clear forgets everything."""

import pytest

import quelvar_core_rs as core
from hooks import StrSubclass

DAY = 86_400


def stats():
    return tuple(core.get_state_engine_stats_rs().values())


@pytest.mark.parametrize(
    "first, second",
    [
        ("token", "Token"),
        ("token", "token "),
        ("caf\u00e9", "cafe\u0301"),
        ("a\x00b", "a"),
        ("", " "),
        ("x" * 20_000, "x" * 20_001),
        ("2001:db8::1", "2001:0db8:0000:0000:0000:0000:0000:0001"),
    ],
)
def test_tokens_and_addresses_are_exact_byte_strings(first, second):
    assert [core.consume_nonce_rs(first), core.consume_nonce_rs(second)] == [True, True]
    assert [core.consume_nonce_rs(first), core.consume_nonce_rs(nonce=StrSubclass(second))] == [False, False]
    core.ban_ip_rs(first, DAY)
    assert [core.is_ip_banned_rs(first), core.is_ip_banned_rs(ip=second)] == [True, False]
    core.unban_ip_rs(second)
    assert stats() == (2, 0, 1)


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
