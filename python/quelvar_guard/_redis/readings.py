"""What a store tells of itself and of the fleet: health, stats, the fleet's
counts and heartbeats (see fleet)."""

from __future__ import annotations

import time
from typing import Any

import quelvar_core_rs as core

from .errors import UNAVAILABLE
from .fleet import read as read_fleet
from .fleet import workers as read_workers
from .life import Life


class Readings:
    def __init__(self, life: Life) -> None:
        self.life = life

    def health(self) -> dict[str, object]:
        life = self.life
        if life.closed or life.refused is not None:
            return {
                "ready": False,
                "store": "redis",
                "connected": False,
                "listener": False,
                "on_unavailable": life.on_unavailable,
                "pending_writes": 0,
            }
        proc = life.current()  # the first probe may wait for the first connection
        listening = proc.thread.is_alive()
        return {
            "ready": listening and life.refused is None and (proc.connected or life.on_unavailable == "degrade"),
            "store": "redis",
            "connected": proc.connected,
            "listener": listening,
            "on_unavailable": life.on_unavailable,
            "pending_writes": len(proc.outage),
        }

    def fleet_counts(self) -> dict[str, dict[str, object]]:
        life = self.life
        proc = life.current()
        if not proc.connected:
            raise life.refused or life.unavailable()
        try:
            return read_fleet(proc.client, life.fleet_keys, time.time())
        except UNAVAILABLE as error:
            raise life.unavailable(error) from error

    def workers(self) -> list[dict[str, Any]]:
        life = self.life
        proc = life.current()
        if not proc.connected:
            raise life.refused or life.unavailable()
        try:
            return read_workers(proc.client, life.fleet_keys, time.time())
        except UNAVAILABLE as error:
            raise life.unavailable(error) from error

    def stats(self) -> dict[str, object]:
        life = self.life
        proc = life.current()
        result: dict[str, object] = dict(core.get_state_engine_stats_rs())
        shared: int | None = None
        if proc.connected:
            try:
                shared = life.ban_writer.active(proc.client)
            except UNAVAILABLE:
                pass  # whether Redis is away is the listener's to say, within a second or so
        result.update(
            {
                "shared_ip_bans": shared,
                "connected": proc.connected,
                "degraded": not proc.connected,
                # False while the ban subscription is lost: the replica may
                # lag by a retry of it, calls still go to Redis.
                "subscribed": proc.listener.subscribed,
                # When this process last saw Redis lose its state, and how often.
                "lost_state_at": life.lost_state_at,
                "lost_states": life.lost_states,
                # Tokens accepted on this process's word alone (degrade).
                "accepted_without_redis": proc.alone.total,
                "on_unavailable": life.on_unavailable,
                "pending_writes": len(proc.outage),
                "resyncs": proc.listener.resyncs,
            }
        )
        return result
