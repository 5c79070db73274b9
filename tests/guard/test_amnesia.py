"""A Redis that forgot everything (restarted without persistence, flushed)
is not taken as merely back: the processes see its epoch change, say so at
ERROR, write their bans back, and record when, so that the guard can refuse
the tokens issued before (strict)."""

from __future__ import annotations

import logging
import time

import pytest

from guard.test_walk import SECRET, walk
from quelvar_guard import Guard, Tokens
from servers import ban_elsewhere, in_other_process, make_store, wait_until

EARLIER, LATER, LIFTED, DURING = "203.0.113.1", "203.0.113.3", "203.0.113.4", "203.0.113.5"


def _sees_the_loss(url: str, prefix: str, after: float) -> None:
    from quelvar_guard import RedisStore

    store = RedisStore(url, prefix=prefix)
    assert store.is_banned(EARLIER)
    assert (store.lost_state_at() or 0) >= after
    store.close()


@pytest.mark.parametrize("policy", ["degrade", "strict"])
@pytest.mark.parametrize("fault", ["restart", "flushall"])
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_redis_that_lost_its_state_is_noticed(fault, policy, request, prefix, live_redis, caplog):
    store = make_store("redis", request, prefix, on_unavailable=policy, timeout=0.2)
    store.ban(EARLIER, 600)
    store.ban(LIFTED, 600)
    assert store.consume_nonce("spent-before") and store.lost_state_at() is None
    before = time.time()
    if fault == "restart":
        live_redis.stop()
        live_redis.start()  # keeps nothing on disk
    else:
        live_redis.client().flushall()
    # Seen at the reconnect, or within about a second while connected.
    wait_until(lambda: store.lost_state_at() is not None, 10)
    wait_until(lambda: store.stats()["connected"], 10)
    assert store.lost_state_at() >= before and store.stats()["lost_states"] == 1
    [lost] = [record for record in caplog.records if "lost its state" in record.getMessage()]
    assert lost.levelno == logging.ERROR and "wrote its 2 bans back" in lost.getMessage()
    assert ("are refused" in lost.getMessage()) is (policy == "strict")
    # The bans are in Redis again, for every process, and still here.
    admin = live_redis.client()
    assert admin.zscore("{" + prefix + "bans}", EARLIER) is not None
    assert store.is_banned(EARLIER) and store.is_banned(LIFTED)
    # A decision made after the loss holds over the bans written back.
    store.unban(LIFTED)
    store.ban(LATER, 60)
    # A ban made elsewhere arrives through the log, where the epoch is read:
    # the listener has looked again, and seen no second loss.
    ban_elsewhere(live_redis.url, prefix, DURING)
    wait_until(lambda: store.is_banned(DURING), 10)
    assert not store.is_banned(LIFTED) and store.is_banned(LATER) and store.stats()["lost_states"] == 1
    # A process started after the loss knows of it, from Redis.
    in_other_process(_sees_the_loss, live_redis.url, prefix, before)
    # The guard over a strict store refuses a token issued before the loss
    # (its spending may be forgotten), not one issued after.
    guard = Guard(store, [SECRET])
    old, new = (
        Tokens([SECRET], store, clock=lambda at=at: at).issue_clearance(1)[0] for at in (before - 1, time.time())
    )
    answers = [walk(guard, "GET", "/api/x", token) for token in (old, new)]
    assert [getattr(answer, "status", 200) for answer in answers] == ([503, 200] if policy == "strict" else [200, 200])


def test_a_first_connection_to_an_empty_redis_is_no_loss(request, prefix, live_redis, caplog):
    store = make_store("redis", request, prefix, timeout=0.2)
    assert store.consume_nonce("fresh") and not store.is_banned(EARLIER)
    store.ban(EARLIER, 60)
    ban_elsewhere(live_redis.url, prefix, DURING)  # read through the log, the epoch with it
    wait_until(lambda: store.is_banned(DURING), 10)
    assert store.lost_state_at() is None and "lost its state" not in caplog.text
