"""Bans: replacement, saturation, unban and expiry at the exact second."""

from fake_clock import STATS, run_timeline, timeline

import quelvar_core_rs as core

DAY, LATEST = 86_400, 2**64 - 1


def stats():
    return tuple(core.get_state_engine_stats_rs().values())


def test_ban_replacement_saturation_and_unban():
    core.ban_ip_rs("a", DAY)
    core.ban_ip_rs("a", 0)  # a shorter ban replaces a longer one
    core.ban_ip_rs("b", LATEST)  # now + duration saturates instead of wrapping into the past
    core.ban_ip_rs("c", DAY)
    assert core.unban_ip_rs("c") is None and core.unban_ip_rs("never-banned") is None
    assert [core.is_ip_banned_rs(x) for x in "abc"] == [False, True, False]
    assert stats() == (0, 0, 1)


def test_ban_expires_exactly_at_expires_at():
    assert timeline(
        (0, "ban_ip_rs('a', 3600)"),
        (0, "ban_ip_rs('b', 3600)"),
        (0, "ban_ip_rs('b', 10)"),
        (9, "[is_ip_banned_rs(x) for x in 'ab']"),
        (10, "[is_ip_banned_rs(x) for x in 'ab']"),
        (3599, "is_ip_banned_rs('a')"),
        (3599, STATS),
        (3600, "is_ip_banned_rs('a')"),
        (3600, STATS),
    ) == [None, None, None, [True, True], [True, False], True, [0, 0, 1], False, [0, 0, 0]]


def test_wall_clock_before_1970_reads_as_zero():
    # At 1969-12-31 23:59:00 now is 0: a 10 s ban runs until 10, and a pair
    # expiring at 1 lies in the future.
    steps = [(-60, "ban_ip_rs('a', 10)"), (-60, "hydrate_bans_rs([('b', 1)])")]
    steps += [(at, "[is_ip_banned_rs(x) for x in 'ab']") for at in (-60, 0, 9, 10)]
    assert run_timeline(steps) == [None, None, [True, True], [True, True], [True, False], [False, False]]
