"""Time-dependent behaviour of the state engine, in child interpreters whose
wall and monotonic clocks are stepped by libfaketime (see fake_clock.py).
Times are seconds after T0 unless written absolutely."""

import pytest

from fake_clock import run_timeline

T0 = 1_700_000_000
STATS = "tuple(get_state_engine_stats_rs().values())"


def timeline(*steps):
    return run_timeline([(T0 + at, expression) for at, expression in steps])


def consume(token: str) -> str:
    return f"consume_nonce_rs({token!r})"


@pytest.mark.parametrize(
    "steps, expected",
    [
        pytest.param([(0, consume("a")), (61, consume("a"))], [True, False], id="refused-at-61s"),
        pytest.param(
            [(0, consume("a")), (61, consume("b")), (122, consume("a"))], [True, True, True], id="fresh-again-at-122s"
        ),
        pytest.param(
            [(0, consume("a")), (59, consume("a")), (60, consume("b")), (121, consume("a"))],
            [True, False, True, True],
            id="replay-does-not-refresh",
        ),
        pytest.param(
            [(0, consume("a")), (600, consume("a")), (600, STATS), (659, consume("a")), (660, consume("a"))],
            [True, False, [0, 1, 0], False, True],
            id="ten-minute-pause-rotates-once",
        ),
        pytest.param(
            [(0, consume("a")), (59, consume("b")), (59, STATS), (60, consume("c")), (60, STATS)],
            [True, True, [2, 0, 0], True, [1, 2, 0]],
            id="exactly-60s-rotates",
        ),
    ],
)
def test_nonce_window(steps, expected):
    assert timeline(*steps) == expected


def test_statistics_never_rotate():
    assert timeline(
        (0, consume("a")),
        (0, consume("b")),
        (0, consume("a")),
        (0, STATS),
        (70, STATS),
        (70, consume("c")),
        (70, STATS),
    ) == [True, True, False, [2, 0, 0], [2, 0, 0], True, [1, 2, 0]]


@pytest.mark.parametrize(
    "first_call, creates",
    [
        (STATS, True),
        ("is_ip_banned_rs('192.0.2.1')", True),
        ("clear_state_engine_rs()", True),
        ("ban_ip_rs('192.0.2.1', -1)", False),
        ("consume_nonce_rs(7)", False),
        ("hydrate_bans_rs('not a list')", False),
    ],
)
def test_engine_is_created_by_the_first_call_that_converts(first_call, creates):
    # The window starts when the engine is created: at 0 s if the first call
    # created it (then 60 s rotates), at 30 s otherwise.
    values = timeline((0, first_call), (30, consume("a")), (60, consume("b")), (60, STATS))
    assert values[1:3] == [True, True]
    assert values[3] == ([1, 1, 0] if creates else [2, 0, 0])
    if not creates:
        assert "raised" in values[0]


def test_clear_restarts_the_window():
    assert timeline(
        (0, consume("a")),
        (50, "clear_state_engine_rs()"),
        (50, consume("a")),
        (109, consume("b")),
        (109, STATS),
        (110, consume("c")),
        (110, STATS),
    ) == [True, None, True, True, [2, 0, 0], True, [1, 2, 0]]


def test_ban_expires_exactly_at_expires_at():
    assert timeline(
        (0, "ban_ip_rs('203.0.113.7', 3600)"),
        (3599, "is_ip_banned_rs('203.0.113.7')"),
        (3599, STATS),
        (3600, "is_ip_banned_rs('203.0.113.7')"),
        (3600, STATS),
        (3600, "unban_ip_rs('203.0.113.7')"),
        (3600, STATS),
    ) == [None, True, [0, 0, 1], False, [0, 0, 0], None, [0, 0, 0]]


def test_shorter_ban_replaces_longer():
    assert timeline(
        (0, "ban_ip_rs('a', 3600)"),
        (0, "ban_ip_rs('a', 10)"),
        (9, "is_ip_banned_rs('a')"),
        (10, "is_ip_banned_rs('a')"),
    ) == [None, None, True, False]


def test_hydration_is_relative_to_now():
    assert timeline(
        (0, "ban_ip_rs('Q', 1000)"),
        (0, "ban_ip_rs('R', 1000)"),
        (10, f"hydrate_bans_rs([('P', {T0 + 110}), ('Q', {T0 + 10}), ('R', 5)])"),
        (10, "[is_ip_banned_rs(a) for a in 'PQR']"),
        (109, "is_ip_banned_rs('P')"),
        (110, "is_ip_banned_rs('P')"),
        (999, "[is_ip_banned_rs(a) for a in 'QR']"),
        (1000, "[is_ip_banned_rs(a) for a in 'QR']"),
    ) == [None, None, None, [True, True, True], True, False, [True, True], [False, False]]


@pytest.mark.parametrize(
    "second_expiry, banned_until",
    [(-1, 100), (10, 10)],
    ids=["expired-pair-skipped", "later-pair-replaces"],
)
def test_hydration_applies_pairs_in_order(second_expiry, banned_until):
    hydrate = f"hydrate_bans_rs([('a', {T0 + 100}), ('a', {T0 + second_expiry})])"
    assert timeline(
        (0, hydrate),
        (banned_until - 1, "is_ip_banned_rs('a')"),
        (banned_until, "is_ip_banned_rs('a')"),
    ) == [None, True, False]


def test_wall_clock_before_1970_reads_as_zero():
    # At 1969-12-31 23:59:00 the wall clock reads 0, so a 10-second ban runs
    # until 10 (1970-01-01 00:00:10) and a pair expiring at 1 is in the future.
    assert run_timeline(
        [
            (-60, "ban_ip_rs('a', 10)"),
            (-60, "hydrate_bans_rs([('b', 1)])"),
            (-60, "[is_ip_banned_rs(x) for x in 'ab']"),
            (9, "[is_ip_banned_rs(x) for x in 'ab']"),
            (10, "[is_ip_banned_rs(x) for x in 'ab']"),
        ]
    ) == [None, None, [True, True], [True, False], [False, False]]
