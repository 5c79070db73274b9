"""One contract for every store: the in-process one, Redis, a Redis Cluster."""

from __future__ import annotations

import asyncio
import multiprocessing
import random
import time

import pytest
import redis.cluster

import quelvar_core_rs as core
from quelvar_guard import Store
from quelvar_guard.store import BUDGETS, REPLICA
from servers import make_store, wait_until

KINDS = ["local", "redis", "cluster"]


@pytest.fixture(params=KINDS)
def store(request, prefix):
    return make_store(request.param, request, prefix)


def test_store_contract(store, request):
    kind = request.node.callspec.params["store"]
    shared = kind != "local"
    assert isinstance(store, Store) and store.nonce_window_seconds >= 60
    assert store.consume_nonce("tök") is True
    assert store.consume_nonce("tök".encode()) is False  # bytes are the token's UTF-8
    assert store.consume_nonce("TÖK") is True
    assert store.consume_nonce("") is True and store.consume_nonce("") is False
    assert asyncio.run(store.consume_nonce_async(b"async")) is True
    assert asyncio.run(store.consume_nonce_async("async")) is False

    now = int(time.time())
    store.ban("198.51.100.1", 3600)
    assert store.is_banned("198.51.100.1") and store.is_banned(b"198.51.100.1")
    assert not store.is_banned("198.51.100.1 ")
    assert store.ban_remaining("198.51.100.1") in (3599, 3600)
    core.ban_ip_rs("198.51.100.2", 60)  # banned behind the store's back: still banned
    assert store.ban_remaining("198.51.100.2") >= 1
    core.unban_ip_rs("198.51.100.2")
    store.ban("198.51.100.1", 0)  # a shorter ban replaces a longer one
    assert not store.is_banned("198.51.100.1") and store.ban_remaining("198.51.100.1") is None
    store.hydrate([("p", now + 100), (b"q", now), ("r", 5), ("s", now + 100), ("s", now - 1)])
    assert [store.is_banned(ip) for ip in "pqrs"] == [True, False, False, True]
    store.unban("p")
    store.unban(b"never banned")
    assert not store.is_banned("p")
    stats = store.stats()
    assert stats["current_bucket_nonces"] == 4 and stats["active_ip_bans"] == 1
    if shared:
        assert stats["shared_ip_bans"] == 1 and stats["connected"] is True
        # Binary tokens are used as given; overlong ones are refused.
        assert store.consume_nonce(b"\xff\x00") is True and store.consume_nonce(b"\xff\x00") is False
        with pytest.raises(ValueError, match="longer than"):
            store.consume_nonce("x" * (store.max_token_bytes + 1))
    else:
        with pytest.raises(UnicodeDecodeError):
            store.consume_nonce(b"\xff\x00")
    # Forgotten by this process, remembered by the shared store only.
    core.clear_state_engine_rs()
    assert store.consume_nonce("TÖK") is (not shared)

    store.clear()
    assert store.consume_nonce("tök") is True and not store.is_banned("s")
    assert store.stats()["active_ip_bans"] == 0
    if kind == "cluster":
        tokens = [f"spread-{i}" for i in range(60)]
        assert all(store.consume_nonce(token) for token in tokens)
        nodes = request.getfixturevalue("redis_cluster")
        holding = [node for node in nodes if node.client().dbsize() > 0]
        assert len(holding) >= 2, "nonce keys all landed on one node"


@pytest.mark.parametrize(
    "banned, covered, apart",
    [
        ("2001:DB8::7", ["2001:db8::ffff", b"2001:db8::1:2:3:4"], ["2001:db8:0:1::7"]),  # the client's /64
        ("::ffff:198.51.100.9", ["198.51.100.9", "64:ff9b::c633:6409", "2002:c633:6409::1"], ["198.51.100.10"]),
    ],
    ids=["ipv6-prefix", "embedded-ipv4"],
)
def test_a_ban_covers_every_name_of_its_client(store, banned, covered, apart):
    # A caller's own spelling reaches the entry the guard uses, through every method.
    store.ban(banned, 3600)
    assert all(store.is_banned(name) and store.ban_remaining(name) for name in covered)
    assert not any(store.is_banned(name) for name in apart)
    store.unban(covered[-1])
    assert not store.is_banned(banned)
    store.hydrate([(covered[0], int(time.time()) + 60)])
    assert store.is_banned(banned)
    store.unban(banned)


def test_a_budget_is_a_token_bucket_per_key(store, request, prefix):
    kind = request.node.callspec.params["store"]
    rate, burst, key = 2.0, 3, "198.51.100.60"
    assert [store.take_budget(key, rate, burst) for _ in range(burst)] == [0.0] * burst
    assert 0 < store.take_budget(key, rate, burst) <= 1 / rate
    assert store.take_budget("198.51.100.61", rate, burst) == 0.0
    wait_until(lambda: store.take_budget(key, rate, burst) == 0.0, 2 / rate)
    # A bucket full again is kept nowhere: addresses that come once cannot pile up.
    if kind == "local":
        for i in range(4 * BUDGETS.SWEEP_FLOOR):
            store.take_budget(f"2001:db8::{i:x}", 1e6, 1)
        assert len(BUDGETS.full_at) <= 2 * BUDGETS.SWEEP_FLOOR
    else:
        wait_until(lambda: not store._proc.client.exists(prefix + "b:" + key), 2 * burst / rate)


U64 = 2**64
BAD_CALLS = [
    ("consume_nonce", core.consume_nonce_rs, (5,)),
    ("consume_nonce", core.consume_nonce_rs, ("\udc80",)),
    ("is_banned", core.is_ip_banned_rs, (None,)),
    ("ban", core.ban_ip_rs, (5, 1)),
    ("ban", core.ban_ip_rs, ("\udc80", 1)),
    ("ban", core.ban_ip_rs, ("x", -1)),
    ("ban", core.ban_ip_rs, ("x", U64)),
    ("ban", core.ban_ip_rs, ("x", 2.5)),
    ("ban", core.ban_ip_rs, ("x", "60")),
    ("unban", core.unban_ip_rs, (5.0,)),
    ("hydrate", core.hydrate_bans_rs, ("abc",)),
    ("hydrate", core.hydrate_bans_rs, ({("x", U64 - 1)},)),
    ("hydrate", core.hydrate_bans_rs, ({"x": U64 - 1},)),
    ("hydrate", core.hydrate_bans_rs, ([("x", U64 - 1), ("y", 1, 2)],)),
    ("hydrate", core.hydrate_bans_rs, ([("x", U64 - 1), ["y", U64 - 1]],)),
    ("hydrate", core.hydrate_bans_rs, ([("x", U64 - 1), ("y", -1)],)),
]


@pytest.mark.parametrize("kind", ["local", "redis"])
@pytest.mark.parametrize("method, native, args", BAD_CALLS)
def test_bad_input_fails_as_in_the_extension(kind, method, native, args, request, prefix):
    store = make_store(kind, request, prefix)
    with pytest.raises(Exception) as expected:
        native(*args)
    with pytest.raises(Exception) as got:
        getattr(store, method)(*args)
    assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))
    assert got.value.__cause__ is expected.value.__cause__ is None
    # Nothing applied, here or in the shared store.
    assert not store.is_banned("x") and store.stats()["active_ip_bans"] == 0
    if kind == "redis":
        assert store.stats()["shared_ip_bans"] == 0
    with pytest.raises(UnicodeDecodeError):
        store.ban(b"\xff", 1)


def _child(store, own: str, others: list[str], queue) -> None:
    # Uses the store it inherited across fork: its connections and listener
    # must be this process's own.
    store.ban(own, 60)
    wait_until(lambda: all(store.is_banned(ip) for ip in others), 10)
    queue.put(own)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("kind", ["redis", "cluster"])
def test_bans_reach_forked_processes(kind, request, prefix):
    store = make_store(kind, request, prefix)
    store.ban("192.0.2.100", 60)  # the parent's listener runs before the fork
    ips = [f"192.0.2.{i}" for i in range(3)]
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    children = [context.Process(target=_child, args=(store, ip, ips + ["192.0.2.100"], queue)) for ip in ips]
    for child in children:
        child.start()
    for child in children:
        child.join(20)
    assert [child.exitcode for child in children] == [0, 0, 0]
    assert sorted(queue.get(timeout=1) for _ in ips) == ips
    wait_until(lambda: all(store.is_banned(ip) for ip in ips), 10)


@pytest.mark.parametrize("kind", ["local", "redis"])
def test_bookkeeping_of_expired_bans_stays_bounded(kind, request, prefix):
    # An attacker with many addresses gets each banned; once the bans are over
    # nothing of them may stay behind, while a running ban stays whole.
    store = make_store(kind, request, prefix)
    store.ban("192.0.2.1", 600)
    addresses = [f"2001:db8::{i:x}" for i in range(2500)]
    for ip in addresses:
        store.ban(ip, 0)  # over at once, as every ban is in the end
    assert len(REPLICA.expiry) < len(addresses) // 2
    assert store.ban_remaining("192.0.2.1") > 590
    if kind == "redis":
        wait_until(lambda: not store._proc.listener.seen, 10)


@pytest.mark.parametrize("kind", ["redis", "cluster"])
def test_concurrent_async_tokens_share_round_trips_and_keep_their_answers(kind, request, prefix):
    store = make_store(kind, request, prefix)
    servers = [request.getfixturevalue("live_redis")] if kind == "redis" else request.getfixturevalue("redis_cluster")
    spent = [f"spent-{i}" for i in range(150)]  # by other processes: Redis refuses them here
    with (
        redis.Redis(port=servers[0].port)
        if kind == "redis"
        else redis.cluster.RedisCluster(host="127.0.0.1", port=servers[0].port)
    ) as other:
        for token in spent:
            other.set(f"{prefix}n:{token}", b"", px=60_000)
    tokens = spent + [f"fresh-{i}" for i in range(150)]
    random.Random(5).shuffle(tokens)

    def connections_made() -> int:
        return sum(server.client().info("stats")["total_connections_received"] for server in servers)

    async def present_all() -> list[bool]:
        return await asyncio.gather(*(store.consume_nonce_async(token) for token in tokens))

    store.stats()  # started (the listener and its connections) before counting
    before = connections_made()
    answers = asyncio.run(present_all())
    assert dict(zip(tokens, answers, strict=True)) == {token: token.startswith("fresh") for token in tokens}
    # 300 calls in flight on one event loop: a connection per node (and one to
    # discover a cluster's), not one per call; the count includes this test's
    # own, one per node.
    assert connections_made() - before <= 2 * len(servers) + (kind == "cluster")
