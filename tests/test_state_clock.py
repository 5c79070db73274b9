"""Time-dependent behaviour through the module, in child interpreters whose
wall and monotonic clocks libfaketime steps (fake_clock.py). Step times are
seconds after T0."""

import pytest

from fake_clock import run_timeline

T0 = 1_700_000_000
STATS = "tuple(get_state_engine_stats_rs().values())"


def timeline(*steps):
    return run_timeline([(T0 + at, expression) for at, expression in steps])


def nonce(token):
    return f"consume_nonce_rs({token!r})"


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([(0, nonce("a")), (61, nonce("a")), (61, STATS)], [True, False, [0, 1, 0]]),
        ([(0, nonce("a")), (61, nonce("b")), (122, nonce("a"))], [True, True, True]),
        # A replay at 59 s does not refresh the token.
        ([(0, nonce("a")), (59, nonce("a")), (60, nonce("b")), (121, nonce("a"))], [True, False, True, True]),
        # After ten minutes without calls, one rotation only; the new window starts at 600 s.
        ([(0, nonce("a")), (600, nonce("a")), (659, nonce("a")), (660, nonce("a"))], [True, False, False, True]),
        # Statistics never rotate; the next consume does.
        ([(0, nonce("a")), (0, nonce("b")), (0, nonce("a")), (70, STATS), (70, nonce("c")), (70, STATS)],
         [True, True, False, [2, 0, 0], True, [1, 2, 0]]),
        # A reset empties both buckets and restarts the window.
        ([(0, nonce("a")), (50, "clear_state_engine_rs()"), (50, nonce("a")), (109, nonce("b")), (109, STATS),
          (110, nonce("c")), (110, STATS)], [True, None, True, True, [2, 0, 0], True, [1, 2, 0]]),
    ],
)
def test_nonce_window(steps, expected):
    assert timeline(*steps) == expected


@pytest.mark.parametrize(
    "first_call, creates",
    [(STATS, True), ("is_ip_banned_rs('192.0.2.1')", True), ("clear_state_engine_rs()", True),
     ("ban_ip_rs('192.0.2.1', -1)", False), ("hydrate_bans_rs('not a list')", False)],
)
def test_engine_is_created_by_the_first_call_that_converts(first_call, creates):
    # The window starts with the engine: at 0 s (60 s then rotates) or at 30 s.
    values = timeline((0, first_call), (30, nonce("a")), (60, nonce("b")), (60, STATS))
    assert values[3] == ([1, 1, 0] if creates else [2, 0, 0])
    assert creates or "raised" in values[0]


def test_ban_expires_exactly_at_expires_at():
    assert timeline(
        (0, "ban_ip_rs('a', 3600)"), (0, "ban_ip_rs('b', 3600)"), (0, "ban_ip_rs('b', 10)"),
        (9, "[is_ip_banned_rs(x) for x in 'ab']"),
        (10, "[is_ip_banned_rs(x) for x in 'ab']"),
        (3599, "is_ip_banned_rs('a')"), (3599, STATS),
        (3600, "is_ip_banned_rs('a')"), (3600, STATS),
    ) == [None, None, None, [True, True], [True, False], True, [0, 0, 1], False, [0, 0, 0]]


def test_hydration_is_relative_to_now():
    hydrate = (f"hydrate_bans_rs([('P', {T0 + 110}), ('Q', {T0 + 10}), ('R', 5),"
               f" ('S', {T0 + 100}), ('S', {T0 + 9}), ('U', {T0 + 100}), ('U', {T0 + 20})])")
    assert timeline(
        (0, "ban_ip_rs('Q', 1000)"), (0, "ban_ip_rs('R', 1000)"),
        (10, hydrate),
        (19, "[is_ip_banned_rs(x) for x in 'PQRSU']"),
        (20, "[is_ip_banned_rs(x) for x in 'PSU']"),
        (110, "[is_ip_banned_rs(x) for x in 'PS']"),
        (999, "[is_ip_banned_rs(x) for x in 'QR']"),
    ) == [None, None, None, [True] * 5, [True, True, False], [False, False], [True, True]]


def test_wall_clock_before_1970_reads_as_zero():
    # At 1969-12-31 23:59:00 now is 0: a 10 s ban runs until 10, and a pair
    # expiring at 1 lies in the future.
    steps = [(-60, "ban_ip_rs('a', 10)"), (-60, "hydrate_bans_rs([('b', 1)])")]
    steps += [(at, "[is_ip_banned_rs(x) for x in 'ab']") for at in (-60, 0, 9, 10)]
    assert run_timeline(steps) == [None, None, [True, True], [True, True], [True, False], [False, False]]
