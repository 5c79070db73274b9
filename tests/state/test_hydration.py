"""Loading bans in bulk: all or nothing, every kind of item read alike,
expiry times compared with now."""

import time

import pytest
from fake_clock import T0, timeline

import quelvar_core_rs as core
from hooks import IndexAnswering, IntSubclass, StrSubclass

LATEST = 2**64 - 1


def stats():
    return tuple(core.get_state_engine_stats_rs().values())


@pytest.mark.parametrize(
    "bad_item, error",
    [
        (["198.51.100.2", LATEST], TypeError),
        (("198.51.100.2", LATEST, 0), ValueError),
        (("198.51.100.2", -1), OverflowError),
        ((42, LATEST), TypeError),
    ],
)
def test_hydration_is_all_or_nothing(bad_item, error):
    with pytest.raises(error):
        core.hydrate_bans_rs([("203.0.113.7", LATEST), bad_item])
    assert core.hydrate_bans_rs(()) is None
    assert stats() == (0, 0, 0)
    core.hydrate_bans_rs([("203.0.113.7", LATEST), ("198.51.100.2", 5)])
    assert stats() == (0, 0, 1)


def test_hydration_reads_every_kind_of_item_alike():
    # Plain pairs (exact tuple, ASCII str, int of up to two 30-bit digits)
    # are read directly; every other item goes the general way. Expiries sit
    # on both sides of now, of 2**30 and of 2**60, in every kind of item, and
    # a hook that empties the list part-way must not disturb the pairs read.
    now = int(time.time())
    expiries = [0, 5, 2**30 - 1, 2**30, now - 30, now + 30, 2**60 - 1, 2**60, LATEST]
    pairs, expected = [], {}
    for n, expires_at in enumerate(expiries):
        for _kind, item in enumerate(
            [
                (f"10.1.{n}.0", expires_at),
                (StrSubclass(f"10.1.{n}.1"), expires_at),
                (f"10.1.{n}.\u00e92", expires_at),
                (f"10.1.{n}.3", IntSubclass(expires_at)),
                (f"10.1.{n}.4", IndexAnswering(expires_at)),
            ]
        ):
            pairs.append(item)
            expected[str(item[0])] = expires_at > now
    clearing = [
        ("10.2.0.0", LATEST),
        ("10.2.0.1", IndexAnswering(LATEST, before=lambda: clearing.clear())),
        ("10.2.0.2", LATEST),
    ]
    core.hydrate_bans_rs(tuple(pairs))
    core.hydrate_bans_rs(clearing)
    assert {address: core.is_ip_banned_rs(address) for address in expected} == expected
    assert [core.is_ip_banned_rs(f"10.2.0.{i}") for i in range(3)] == [True, True, False]
    assert stats()[2] == sum(expected.values()) + 2


def test_hydration_is_relative_to_now():
    hydrate = (
        f"hydrate_bans_rs([('P', {T0 + 110}), ('Q', {T0 + 10}), ('R', 5),"
        f" ('S', {T0 + 100}), ('S', {T0 + 9}), ('U', {T0 + 100}), ('U', {T0 + 20})])"
    )
    assert timeline(
        (0, "ban_ip_rs('Q', 1000)"),
        (0, "ban_ip_rs('R', 1000)"),
        (10, hydrate),
        (19, "[is_ip_banned_rs(x) for x in 'PQRSU']"),
        (20, "[is_ip_banned_rs(x) for x in 'PSU']"),
        (110, "[is_ip_banned_rs(x) for x in 'PS']"),
        (999, "[is_ip_banned_rs(x) for x in 'QR']"),
    ) == [None, None, None, [True] * 5, [True, True, False], [False, False], [True, True]]
