"""What "Redis is unreachable" looks like from the client."""

from __future__ import annotations

import asyncio

from redis.exceptions import RedisClusterException, RedisError
from redis.exceptions import TimeoutError as RedisTimeoutError

UNAVAILABLE = (RedisError, RedisClusterException, OSError)
# A reply that did not come in time, from a blocking or an asyncio call.
LATE = (RedisTimeoutError, asyncio.TimeoutError)
