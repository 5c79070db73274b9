"""A cluster named by several nodes: a process that starts while the first of
them is down starts from another, and the settings read and check the list."""

from __future__ import annotations

import asyncio

import pytest
import redis.cluster

from quelvar_guard import RedisStore
from quelvar_guard.config import ConfigError, Settings
from quelvar_guard.store import REPLICA
from servers import ban_elsewhere, slot_owner, wait_until

BANNED = "203.0.113.9"
SECRET = "seeds-secret-" + "k" * 32


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_store_starts_while_the_first_named_node_is_down(request, prefix, failover_cluster):
    nodes = failover_cluster
    # The first node named holds the ban slot: the listener must find the
    # node that takes it over through the others, not only start from them.
    first = slot_owner(nodes, "{" + prefix + "bans}")
    others = [node for node in nodes if node is not first]
    first.process.kill()
    first.process.wait()
    first.process = None
    url = "redis://" + ",".join(f"127.0.0.1:{node.port}" for node in [first, *others]) + "/0"
    REPLICA.clear()
    store = RedisStore(url, cluster=True, prefix=prefix, timeout=0.2)
    request.addfinalizer(store.close)
    store.is_banned(BANNED)  # starts the process's listener
    wait_until(lambda: store.stats()["connected"] and store.stats()["subscribed"], 30)
    tokens = [f"seeded-{index}" for index in range(32)]
    assert all(store.consume_nonce(token) for token in tokens[:16])
    assert all(asyncio.run(_spend_async(store, tokens[16:])))
    with redis.cluster.RedisCluster.from_url(others[0].url) as cluster:
        assert [token for token in tokens if not cluster.exists(f"{prefix}n:{token}")] == []
    ban_elsewhere(others[0].url, prefix, BANNED, cluster=True)
    wait_until(lambda: store.is_banned(BANNED), 10)
    assert store.stats()["pending_writes"] == 0 and store.stats()["accepted_without_redis"] == 0


async def _spend_async(store: RedisStore, tokens: list[str]) -> list[bool]:
    return list(await asyncio.gather(*(store.consume_nonce_async(token) for token in tokens)))


@pytest.mark.parametrize(
    ("url", "cluster", "says"),
    [
        ("redis://:pw@10.0.0.1:7000,10.0.0.2:7001,10.0.0.3:7002/0", True, None),
        ("redis://:pw@10.0.0.1:7000,10.0.0.2:7001/0", False, "names several nodes, which only a cluster has"),
        ("redis://:pw@10.0.0.1:7000,10.0.0.2:0/0", True, "'redis://:***@10.0.0.2:0/0' has port 0"),
        ("redis://:pw@10.0.0.1:7000,/0", True, "'redis://:***@/0' names no host"),
        ("redis://:pw@10.0.0.1:7000,10.0.0.2:7001/2", True, "a cluster has only database 0"),
    ],
    ids=["three-nodes", "not-a-cluster", "port-0", "empty-host", "database"],
)
def test_the_settings_check_each_node_of_the_list(url, cluster, says):
    environ = {"QUELVAR_TOKEN_SECRETS": SECRET, "QUELVAR_REDIS_URL": url, "QUELVAR_REDIS_CLUSTER": str(int(cluster))}
    if says is None:
        settings = Settings.from_environment(environ)
        assert settings.shown()["redis_url"] == url.replace(":pw@", ":***@")
        return
    with pytest.raises(ConfigError) as refused:
        Settings.from_environment(environ)
    assert [problem for problem in refused.value.problems if says in problem], refused.value.problems
    assert "pw" not in " ".join(refused.value.problems)
