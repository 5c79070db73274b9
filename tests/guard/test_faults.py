"""Redis stopped and started again, connections killed, a server that stops
answering: calls come back within their timeout and the chosen policy holds."""

from __future__ import annotations

import asyncio
import io
import ipaddress
import json
import logging
import threading
import time

import pytest
import redis.cluster

import quelvar_core_rs as core
from quelvar_guard import Guard, RedisStore, StoreMisconfigured, StoreUnavailable, TokenKind, WSGIGuard
from quelvar_guard.store import REPLICA
from servers import Proxy, ban_elsewhere, in_other_process, make_store, slot_owner, wait_until

EARLIER, DURING = "203.0.113.1", "203.0.113.2"
SECRET = "faults-secret-" + "k" * 32


def _address(i: int) -> str:
    """The i-th of many distinct client addresses, each a ban of its own."""
    return str(ipaddress.IPv4Address(0x0A00_0000 + i))


def during_fault(store, policy: str, outage: bool) -> None:
    """The calls a request makes while the fault lasts."""
    assert store.is_banned(EARLIER)  # always the local replica, never an error
    calls = [
        lambda: store.consume_nonce("during"),
        lambda: asyncio.run(store.consume_nonce_async("during-async")),
        lambda: store.ban(DURING, 300),
        lambda: store.ban(DURING, 600),
        lambda: store.take_budget(DURING, 1.0, 5),
    ]  # degraded: this process's own bucket
    for call in calls:
        if outage and policy == "strict":
            with pytest.raises(StoreUnavailable):
                call()
        else:
            call()
    assert store.consume_nonce("before") is False
    assert store.is_banned(DURING) is (policy == "degrade" or not outage)
    assert store.stats()["connected"] is not outage
    if outage and policy == "degrade":
        # Two tokens, and one change for the address banned twice.
        assert store.stats()["pending_writes"] == 3


@pytest.mark.parametrize("policy", ["degrade", "strict"])
@pytest.mark.parametrize("fault", ["restart", "client-kill", "debug-sleep"])
def test_faults_keep_the_policy(fault, policy, request, prefix, live_redis):
    store = make_store("redis", request, prefix, on_unavailable=policy, timeout=0.2)
    store.ban(EARLIER, 600)
    assert store.consume_nonce("before") is True
    outage = fault != "client-kill"

    if fault == "restart":
        live_redis.stop()
        during_fault(store, policy, outage)
        live_redis.start()  # empty: the server keeps nothing on disk
    elif fault == "client-kill":
        with live_redis.client() as admin:
            # The listener subscribes on its own thread: killed once it has.
            wait_until(lambda: len(admin.client_list(_type="pubsub")) == 1, 5)
            # Every connection at once, the subscription among them: killed one
            # kind after the other, the listener's instant reconnect would race the second kill.
            assert admin.client_kill_filter(skipme=True) >= 2
        during_fault(store, policy, outage)
    else:
        sleeper = threading.Thread(target=lambda: live_redis.client().execute_command("DEBUG", "SLEEP", 2))
        sleeper.start()
        wait_until(lambda: not live_redis.ping(timeout=0.05), 5)
        during_fault(store, policy, outage)
        assert sleeper.is_alive(), "the calls waited for the server to wake"
        sleeper.join()

    wait_until(lambda: (stats := store.stats())["connected"] and stats["pending_writes"] == 0, 10)
    in_redis = live_redis.client().zscore("{" + prefix + "bans}", DURING) is not None
    assert in_redis is (policy == "degrade" or not outage)
    if outage and policy == "degrade":
        # Tokens accepted while Redis was away are remembered by it afterwards.
        assert live_redis.client().exists((prefix + "n:during").encode()) == 1
    # A restarted server lost the earlier ban: written back from the replica (see test_amnesia).
    assert store.is_banned(EARLIER)
    assert (store.lost_state_at() is not None) is (fault == "restart")
    assert store.consume_nonce("after") is True and store.consume_nonce("after") is False


@pytest.mark.parametrize("forged", [b"not json", b"[[5, 1]]", b'[["x"]]', b'[["x", "soon"]]', b"unban", b"db 1"])
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_announcements_are_trusted_for_nothing_but_news(forged, request, prefix, live_redis):
    # Anyone may publish: a malformed or forged announcement must neither stop
    # the listener, nor change a ban, nor make it reload the set; nor may a
    # store on another database with the same prefix.
    store = make_store("redis", request, prefix)
    store.ban(EARLIER, 600)
    reloads = store.stats().get("resyncs")
    admin = live_redis.client()
    if forged == b"db 1":
        ban_elsewhere(live_redis.url.rsplit("/", 1)[0] + "/1", prefix, DURING)
    else:
        keys = ["{" + prefix + "bans}:seq", "{" + prefix + "bans}:epoch"]
        news = (admin.get(keys[1]) or b"") + b" %d " % (int(admin.get(keys[0]) or 0) + 1)
        body = json.dumps([[EARLIER, None]]).encode() if forged == b"unban" else forged
        for channel in admin.pubsub_channels(prefix + "*"):
            admin.publish(channel, news + body)
    # Another process's ban: still followed.
    ban_elsewhere(live_redis.url, prefix, "192.0.2.50")
    wait_until(lambda: store.is_banned("192.0.2.50"), 10)
    stats = store.stats()
    assert store.is_banned(EARLIER) and not store.is_banned(DURING)
    assert stats["connected"] and stats.get("resyncs") == reloads


LATER_DECISIONS = {"unban": lambda store: store.unban(EARLIER), "shorter ban": lambda store: store.ban(EARLIER, 60)}


def _decide_during_an_outage_and_write_first(port: int, prefix: str, later: str) -> None:
    from quelvar_guard import RedisStore

    path = Proxy(port)
    path.set("down")
    store = RedisStore(path.url, prefix=prefix, timeout=0.2)
    LATER_DECISIONS[later](store)
    assert store.stats()["pending_writes"] == 1
    path.set("pass")
    wait_until(lambda: (stats := store.stats())["connected"] and stats["pending_writes"] == 0, 10)
    store.close()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("later", list(LATER_DECISIONS))
def test_after_an_outage_the_latest_decision_wins(later, request, prefix, live_redis, proxy):
    # This worker bans during an outage; another worker decides later and
    # reaches Redis first. Whoever writes last, the later decision holds.
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.2)
    assert not store.is_banned(EARLIER)
    proxy.set("down")
    store.ban(EARLIER, 3600)
    assert store.stats()["pending_writes"] == 1
    time.sleep(0.05)  # decided later, by more than the clocks can disagree here
    in_other_process(_decide_during_an_outage_and_write_first, live_redis.port, prefix, later)
    proxy.set("pass")
    wait_until(lambda: (stats := store.stats())["connected"] and stats["pending_writes"] == 0, 10)
    held = live_redis.client().zscore("{" + prefix + "bans}", EARLIER)
    remaining = store.ban_remaining(EARLIER)
    if later == "unban":
        assert held is None and remaining is None
    else:
        assert held is not None and held < time.time() + 61 and remaining <= 60


def test_tokens_accepted_as_redis_returns_are_all_written(request, prefix, live_redis, proxy):
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.5)
    assert not store.is_banned(EARLIER)
    proxy.set("down")
    assert store.consume_nonce("kept") and not store.stats()["connected"]
    # Many bans: the reload as Redis returns takes a while, and requests keep coming.
    far = int(time.time()) + 3600
    live_redis.client().zadd("{" + prefix + "bans}", {_address(i): far for i in range(20_000)})
    accepted: list[str] = []
    back = threading.Event()

    def requests() -> None:
        deadline = time.monotonic() + 10
        for index in range(1_000_000):
            if (back.is_set() and len(accepted) > 50) or time.monotonic() > deadline:
                return
            token = f"returning-{index}"
            if store.consume_nonce(token):
                accepted.append(token)
            time.sleep(0.0002)  # a busy worker, not one that fills the outage queue

    worker = threading.Thread(target=requests)
    worker.start()
    proxy.set("pass")
    wait_until(lambda: store.stats()["connected"], 10)
    back.set()
    worker.join()
    wait_until(lambda: store.stats()["pending_writes"] == 0, 10)
    # Every token accepted here is spent in Redis too: no other worker may accept it.
    with live_redis.client().pipeline(transaction=False) as pipe:
        for token in ["kept", *accepted]:
            pipe.exists(f"{prefix}n:{token}")
        missing = [token for token, found in zip(["kept", *accepted], pipe.execute(), strict=True) if not found]
    assert missing == [], f"{len(missing)} of {len(accepted) + 1} accepted tokens never reached Redis"


@pytest.mark.parametrize("window, before, during", [(180, "before", "during"), (60, b"\xffbefore", b"\xffduring")])
def test_a_degraded_worker_refuses_every_token_it_accepted_within_its_window(
    window, before, during, request, prefix, proxy
):
    # The native cache holds text tokens 60 to 120 s; a longer window, or a
    # token that is not text, is this store's to keep while Redis is away.
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.2, nonce_window_seconds=window)
    assert store.consume_nonce(before)
    proxy.set("down")
    assert store.consume_nonce(during) and not store.stats()["connected"]
    core.clear_state_engine_rs()  # as the native cache has, two minutes on
    assert [store.consume_nonce(before), store.consume_nonce(during)] == [False, False]
    assert asyncio.run(store.consume_nonce_async(before)) is False


@pytest.mark.parametrize("new", [False, True], ids=["open connections stall", "every connection stalls"])
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_subscription_gone_silent_is_noticed(new, request, prefix, live_redis, proxy):
    # Bytes stop on the way, without a reset: the store must notice, catch
    # up where it can connect again, and report an outage where it cannot.
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.2)
    assert not store.is_banned(EARLIER)
    proxy.set("stall", new=new)
    ban_elsewhere(live_redis.url, prefix, EARLIER)
    if new:
        wait_until(lambda: not store.stats()["connected"], 5)
    else:
        wait_until(lambda: store.is_banned(EARLIER), 5)
        assert store.stats()["connected"]


@pytest.mark.parametrize(
    "policy, allowed", [("noeviction", False), ("volatile-lru", False), ("allkeys-lru", False), ("allkeys-lru", True)]
)
def test_a_server_that_may_evict_keys_is_refused(policy, allowed, request, prefix, live_redis, caplog):
    # Evicted spent tokens are accepted again, an evicted ban set lifts every ban.
    live_redis.client().config_set("maxmemory-policy", policy)
    request.addfinalizer(lambda: live_redis.client().config_set("maxmemory-policy", "noeviction"))
    store = make_store("redis", request, prefix, **({"allow_eviction": True} if allowed else {}))
    if policy != "noeviction" and not allowed:
        for call in (lambda: store.consume_nonce("t"), lambda: store.ban("192.0.2.1", 60)):
            with pytest.raises(StoreMisconfigured, match=policy):
                call()
        # Ban lookups answer from the replica all the same: a request gets 503, not 500.
        assert not store.is_banned("192.0.2.1") and store.ban_remaining("192.0.2.1") is None
        assert not store.health()["ready"]
    else:
        assert store.consume_nonce("t") and store.stats()["connected"]
        # The test's server keeps nothing on disk, and says so.
        assert "no persistence: a restart forgets every ban and spent token" in caplog.text


def test_a_large_ban_set_loads_in_pages_within_a_short_timeout(request, prefix, live_redis):
    # 150,000 bans take longer to read whole than the timeout allows.
    far = int(time.time()) + 3600
    live_redis.client().zadd("{" + prefix + "bans}", {_address(i): far for i in range(150_000)})
    store = make_store("redis", request, prefix, timeout=0.1)
    # A loaded machine may miss the timeout on a page: the listener then reads
    # the set again, so the test waits for the state, not for one attempt.
    wait_until(lambda: store.stats()["connected"], 60)
    assert store.is_banned(_address(0)) and store.is_banned(_address(149_999))
    assert store.stats()["active_ip_bans"] == 150_000


def test_an_outage_backlog_is_capped_oldest_first_and_written_in_chunks(request, prefix, live_redis, proxy, caplog):
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.1, max_pending_writes=10_000)
    assert not store.is_banned(EARLIER)
    proxy.set("down")
    addresses = [_address(i) for i in range(12_000)]
    for ip in addresses:
        store.ban(ip, 600)
    assert store.stats()["pending_writes"] == 10_000
    # Back: 10,000 changes written in round trips that each fit the timeout.
    proxy.set("pass")
    wait_until(lambda: (stats := store.stats())["connected"] and stats["pending_writes"] == 0, 20)
    held = live_redis.client().zrange("{" + prefix + "bans}", 0, -1)
    assert sorted(held) == sorted(ip.encode() for ip in addresses[2_000:])
    assert "2000 ban changes and 0 accepted tokens were dropped" in caplog.text


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_cluster_outlives_its_failed_primaries(request, prefix, failover_cluster):
    nodes = failover_cluster
    ban_key = "{" + prefix + "bans}"
    ban_node = slot_owner(nodes, ban_key)
    other = next(
        node for node in nodes if node is not ban_node and node.client().info("replication")["role"] == "master"
    )
    REPLICA.clear()
    store = RedisStore(other.url, cluster=True, prefix=prefix, timeout=0.2)  # the URL names the node to fail first
    request.addfinalizer(store.close)
    assert not store.is_banned(EARLIER) and store.consume_nonce("before")
    tokens: list[str] = []

    def fail_over(node) -> list[bool]:
        """Kills `node` and waits for its replica to take over, calling all along."""
        served = {key for key in (f"{prefix}n:probe-{i}" for i in range(64)) if slot_owner(nodes, key) is node}
        node.process.kill()
        node.process.wait()
        node.process = None
        states, deadline = [], time.monotonic() + 20
        while any(slot_owner(nodes, key).process is None for key in served):
            assert time.monotonic() < deadline, "no replica took over"
            states.append(store.stats()["connected"])
            tokens.append(f"during-{len(tokens)}")
            assert store.consume_nonce(tokens[-1])
            time.sleep(0.05)
        return states

    # Another primary fails: only the calls that need it go without Redis.
    assert all(fail_over(other)), "a failed node that holds no ban key degraded the store"
    survivor = next(node for node in nodes if node.process is not None and node is not ban_node)
    ban_elsewhere(survivor.url, prefix, EARLIER, cluster=True)
    wait_until(lambda: store.is_banned(EARLIER), 10)
    # The ban slot's node fails too, after the one in the URL: back through the others.
    fail_over(ban_node)
    wait_until(lambda: (stats := store.stats())["connected"] and stats["pending_writes"] == 0, 20)
    ban_elsewhere(survivor.url, prefix, DURING, cluster=True)
    wait_until(lambda: store.is_banned(DURING), 10)
    # Every token accepted while nodes were failing is spent in the cluster.
    with redis.cluster.RedisCluster.from_url(survivor.url) as cluster:
        assert [token for token in tokens if not cluster.exists(f"{prefix}n:{token}")] == []


@pytest.mark.parametrize("policy", ["degrade", "strict"])
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_lost_subscription_stales_only_the_bans(policy, request, prefix, live_redis, proxy, caplog):
    # Only the subscription goes silent (a proxy stalls the connection that
    # subscribed, and every one that subscribes again) while Redis answers
    # commands: tokens are still spent in Redis, never accepted on this
    # process's word, nor refused as if Redis were away; bans keep coming
    # from the change log; the log names the subscription, not an outage.
    # A timeout that a loaded machine's slow reply does not pass for an outage.
    store = make_store("redis", request, prefix, url=proxy.url, on_unavailable=policy, timeout=0.5)
    assert not store.is_banned(EARLIER) and store.consume_nonce("before")
    proxy.set("stall-subscribers")
    other_worker = live_redis.client()
    # Until the listener has found the subscription lost (the quiet second, the
    # unanswered PING, a failed resubscription), and on through a few more.
    deadline, index, lost_at = time.monotonic() + 30, 0, None
    while lost_at is None or index < lost_at + 20:
        assert time.monotonic() < deadline, "the lost subscription was never noticed"
        assert other_worker.set(f"{prefix}n:elsewhere-{index}", b"", nx=True, px=60_000)
        assert store.consume_nonce(f"elsewhere-{index}") is False, "a token spent by another worker was accepted"
        assert store.consume_nonce(f"fresh-{index}") is True
        stats = store.stats()
        assert stats["connected"] and store.health()["ready"]
        if lost_at is None and not stats["subscribed"]:
            lost_at = index
        index += 1
        time.sleep(0.05)
    assert not store.stats()["subscribed"]
    ban_elsewhere(live_redis.url, prefix, EARLIER)
    wait_until(lambda: store.is_banned(EARLIER), 5)
    # Said once a resubscription failed too, not at the first quiet moment.
    wait_until(lambda: "ban subscription to Redis at" in caplog.text and "was lost" in caplog.text, 20)
    assert "unreachable" not in caplog.text
    proxy.set("pass")
    wait_until(lambda: store.stats()["subscribed"], 10)
    ban_elsewhere(live_redis.url, prefix, DURING)
    wait_until(lambda: store.is_banned(DURING), 2)
    assert "ban subscription to Redis at" in caplog.text and "is back" in caplog.text


@pytest.mark.parametrize("allowed", [False, True], ids=["refused", "allowed"])
def test_an_evicting_policy_set_while_running_is_noticed(allowed, request, prefix, live_redis):
    # The policy changes on a server the workers already use: within a few
    # seconds each refuses every call that needs Redis (503 store_unavailable,
    # not ready), ban lookups still answer from the replica; set back, the
    # workers use it again. Unless the store was told it may evict.
    store = make_store("redis", request, prefix, timeout=0.2, allow_eviction=allowed)
    guard = Guard(store, [SECRET], health_path="/health")
    app = WSGIGuard(lambda environ, start: start("200 OK", []) or [b"ok"], guard)
    store.ban(EARLIER, 600)
    assert _call(app, "/api/x", guard.tokens.issue(TokenKind.GUARDED))[0].startswith("200")
    admin = live_redis.client()
    admin.config_set("maxmemory-policy", "allkeys-lru")
    request.addfinalizer(lambda: live_redis.client().config_set("maxmemory-policy", "noeviction"))
    if allowed:
        # The listener goes on (a ban made elsewhere arrives), the store with it.
        ban_elsewhere(live_redis.url, prefix, DURING, allow_eviction=True)
        wait_until(lambda: store.is_banned(DURING), 10)
        assert store.health()["ready"] and store.consume_nonce("allowed")
        return
    wait_until(lambda: not store.health()["ready"], 10)  # checked every 5 s
    with pytest.raises(StoreMisconfigured, match="allkeys-lru"):
        store.consume_nonce("refused")
    assert store.is_banned(EARLIER) and store.ban_remaining(EARLIER) > 0
    for path, token in [
        ("/quelvar/token", None),
        ("/api/x", guard.tokens.issue(TokenKind.GUARDED)),
        ("/quelvar/telemetry", guard.tokens.issue(TokenKind.TELEMETRY)),
    ]:
        status, body = _call(app, path, token, method="POST" if "telemetry" in path else "GET")
        assert status.startswith("503") and b"store_unavailable" in body, (path, status, body)
    assert _call(app, "/health")[0].startswith("503")
    admin.config_set("maxmemory-policy", "noeviction")
    wait_until(lambda: store.health()["ready"] and store.stats()["connected"], 15)
    assert store.consume_nonce("fixed") and store.is_banned(EARLIER)


def _call(app, path: str, token: str | None = None, method: str = "GET") -> tuple[str, bytes]:
    environ = {
        "PATH_INFO": path,
        "REQUEST_METHOD": method,
        "REMOTE_ADDR": "198.51.100.7",
        "CONTENT_LENGTH": "2",
        "wsgi.input": io.BytesIO(b"{}"),
    }
    if token is not None:
        environ["HTTP_X_QUELVAR_TOKEN"] = token
    status: list[str] = []
    body = b"".join(app(environ, lambda line, headers: status.append(line)))
    return status[0], body


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_every_token_accepted_without_redis_is_warned_of_and_counted(request, prefix, live_redis, proxy, caplog):
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.2)
    assert store.consume_nonce("before")
    # A late reply: the call is settled alone, by the policy, and that is said.
    sleeper = threading.Thread(target=lambda: live_redis.client().execute_command("DEBUG", "SLEEP", 1))
    sleeper.start()
    wait_until(lambda: not live_redis.ping(timeout=0.05), 5)
    assert store.consume_nonce("late")
    sleeper.join()
    [late] = [record for record in caplog.records if "accepted without Redis" in record.getMessage()]
    assert late.levelno == logging.WARNING and "1 tokens" in late.getMessage() and "came late" in late.getMessage()
    # Away: each one counted, warned of in one line per 5 s, the rest when Redis is back.
    proxy.set("down")
    wait_until(lambda: not store.stats()["connected"], 5)
    for index in range(5):
        assert store.consume_nonce(f"alone-{index}")
    assert store.stats()["accepted_without_redis"] == 6
    proxy.set("pass")
    wait_until(lambda: store.stats()["connected"], 10)
    assert "more tokens were accepted without Redis" in caplog.text
    wait_until(lambda: store.fleet_counts()["minute"]["accepted_without_redis"] == 6, 5)
