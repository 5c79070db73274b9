"""What the service's Redis holds and how its servers keep it, read without
starting a store: a store would refuse an evicting server, and these reads
are what says so (the command line's status, bans list and config check).

Every failure to reach Redis is an Unreachable whose message follows
"Redis at URL" and says what to change.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any

import redis

from ._redis.bans import BanKeys, BanWriter
from ._redis.connections import ServerSettings, connections, described
from ._redis.errors import UNAVAILABLE
from ._redis.fleet import FleetKeys
from ._redis.fleet import read as read_fleet
from ._redis.fleet import workers as read_workers
from .record import redacted_url


class Unreachable(Exception):
    """Redis cannot be used; the message follows "Redis at URL"."""


@dataclass(frozen=True)
class Server:
    """How one server keeps the keys it holds."""

    name: str
    eviction: str
    appendonly: bool
    persistence: str
    # What is wrong if it may evict keys, and what to do; else None.
    eviction_problem: str | None


class RedisView:
    """Reads of one Redis (a server or a cluster) under one prefix. Raises
    ValueError for a list of nodes without `cluster`, as RedisStore does."""

    def __init__(self, url: str, *, cluster: bool, prefix: str, timeout: float) -> None:
        self.name = redacted_url(url)
        self.prefix = prefix
        self._reach = connections(url, cluster, timeout)
        self._client: Any = None

    def reach(self) -> None:
        """Unreachable unless the server answers a PING (no connection is kept)."""
        try:
            client = self._reach.client()
            try:
                client.ping()
            finally:
                client.close()
        except (*UNAVAILABLE, ValueError) as error:
            raise Unreachable(described(error)) from None

    def connect(self) -> None:
        """Connects for the reads below, or Unreachable (a database the
        server does not have named as such)."""
        try:
            client = self._reach.client()
            client.ping()
        except redis.ResponseError as error:
            if "DB index is out of range" in str(error):
                raise Unreachable(f"has no database {self._reach.database()} (QUELVAR_REDIS_URL)") from None
            raise Unreachable(f"refused the connection: {error}") from None
        except (*UNAVAILABLE, ValueError) as error:
            raise Unreachable(described(error)) from None
        self._client = client

    # The reads below raise the client's errors (redis.RedisError and the like).

    def is_cluster_node(self) -> bool:
        return bool(self._client.info("cluster").get("cluster_enabled"))

    def servers(self) -> list[Server]:
        found = []
        for name, server in self._reach.servers(self._client):
            settings = ServerSettings(server)
            shown = redacted_url(name)
            problem = ServerSettings.eviction_problem(shown, settings.eviction) if settings.evicts else None
            found.append(Server(shown, settings.eviction, settings.appendonly, settings.persistence(), problem))
        return found

    def active_bans(self) -> int:
        return BanWriter(BanKeys(self.prefix, self._reach.database())).active(self._client)

    def fleet_counts(self) -> dict[str, dict[str, Any]]:
        """See RedisStore.fleet_counts."""
        return read_fleet(self._client, FleetKeys(self.prefix), time.time())

    def workers(self) -> list[dict[str, Any]]:
        """See RedisStore.workers."""
        return read_workers(self._client, FleetKeys(self.prefix), time.time())

    def bans(self) -> tuple[float, dict[str, float]]:
        """Now (time.time()) and each active ban's expiry, read in pages on a
        connection of its own; Unreachable if Redis cannot be read."""
        try:
            client = self._reach.client()
            now = time.time()
            expiries: dict[str, float] = {}
            for page in BanWriter(BanKeys(self.prefix, self._reach.database())).pages(client):
                expiries.update((member.decode(), score) for member, score in page if score > now)
            client.close()
        except (*UNAVAILABLE, ValueError) as error:
            raise Unreachable(described(error)) from None
        return now, expiries

    def close(self) -> None:
        if self._client is not None:
            self._client.close()
            self._client = None
