"""The replay window: a token is accepted once while it is in the current or
the previous bucket; the buckets rotate every 60 s, and the window starts
with the engine."""

import pytest
from fake_clock import STATS, nonce, timeline

import quelvar_core_rs as core


def test_window_grows_past_its_reservation():
    tokens = [f"tok-{i:018d}" for i in range(20_000)]
    assert all(map(core.consume_nonce_rs, tokens))
    assert not any(map(core.consume_nonce_rs, tokens))
    assert list(core.get_state_engine_stats_rs().items()) == [
        ("current_bucket_nonces", 20_000),
        ("previous_bucket_nonces", 0),
        ("active_ip_bans", 0),
    ]


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
        (
            [(0, nonce("a")), (0, nonce("b")), (0, nonce("a")), (70, STATS), (70, nonce("c")), (70, STATS)],
            [True, True, False, [2, 0, 0], True, [1, 2, 0]],
        ),
        # A reset empties both buckets and restarts the window.
        (
            [
                (0, nonce("a")),
                (50, "clear_state_engine_rs()"),
                (50, nonce("a")),
                (109, nonce("b")),
                (109, STATS),
                (110, nonce("c")),
                (110, STATS),
            ],
            [True, None, True, True, [2, 0, 0], True, [1, 2, 0]],
        ),
    ],
)
def test_nonce_window(steps, expected):
    assert timeline(*steps) == expected


@pytest.mark.parametrize(
    "first_call, creates",
    [
        (STATS, True),
        ("is_ip_banned_rs('192.0.2.1')", True),
        ("clear_state_engine_rs()", True),
        ("ban_ip_rs('192.0.2.1', -1)", False),
        ("hydrate_bans_rs('not a list')", False),
    ],
)
def test_engine_is_created_by_the_first_call_that_converts(first_call, creates):
    # The window starts with the engine: at 0 s (60 s then rotates) or at 30 s.
    values = timeline((0, first_call), (30, nonce("a")), (60, nonce("b")), (60, STATS))
    assert values[3] == ([1, 1, 0] if creates else [2, 0, 0])
    assert creates or "raised" in values[0]
