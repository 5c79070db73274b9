"""Budgets, suspicion levels, notes and remembered values, shared through Redis.

Each is a script (budget.lua, admit.lua, escalate.lua) on the server's clock,
so hosts need not agree on the time, or one plain command. Without Redis, by
the policy: this process's own tables (as LocalStore keeps them), or
StoreUnavailable; notes and remembered values are a cache and never raise.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from redis.exceptions import ConnectionError as RedisConnectionError

from ..metrics import METRICS
from ..networks import Admission
from .errors import UNAVAILABLE
from .life import Life


class Levels:
    def __init__(self, life: Life) -> None:
        self.life = life
        self.prefix = life.prefix

    def take_budget(self, key: str, rate: float, burst: int) -> float:
        from ..store import BUDGETS

        answer = self.scripted("budget", [self.prefix + "b:" + key], [max(1, round(1e6 / rate)), burst])
        if answer is None:
            return BUDGETS.take(key, rate, burst)
        return int(answer) / 1e6

    def admit(
        self,
        buckets: Sequence[tuple[str, float, int]],
        level_keys: Sequence[str],
        limit: float,
        half_life: float,
        look: bool = False,
    ) -> Admission:
        from ..store import NETWORKS

        prefix = self.prefix
        arguments: list[object] = [len(buckets)]
        for _, rate, burst in buckets:
            arguments += [max(1, round(1e6 / rate)), burst]
        arguments += [repr(float(limit)), max(1, round(half_life * 1e6)), 1 if look else 0]
        keys = [prefix + "b:" + key for key, _, _ in buckets] + [prefix + "l:" + key for key in level_keys]
        answer = self.scripted("admit", keys, arguments)
        if answer is None:
            return NETWORKS.admit(buckets, level_keys, limit, half_life, look)
        wait, owed, level = (int(value) for value in answer)
        return Admission(wait / 1e6, owed / 1e6, level / 1000)

    def escalate(
        self,
        level_keys: Sequence[str],
        amount: float,
        half_life: float,
        offence_key: str | None,
        window: float,
        notes_key: str | None = None,
        note: str | None = None,
    ) -> tuple[float, int]:
        from ..store import NETWORKS

        prefix = self.prefix
        keys = [prefix + "l:" + key for key in level_keys]
        if offence_key is not None:
            keys.append(prefix + "o:" + offence_key)
        kept = note if notes_key is not None and note else ""
        if kept:
            keys.append(prefix + "h:" + str(notes_key))
        arguments: list[object] = [
            len(level_keys),
            repr(float(amount)),
            round(half_life * 1e6),
            round(window * 1e6),
            1 if offence_key is not None else 0,
            kept,
        ]
        answer = self.scripted("escalate", keys, arguments)
        if answer is None:
            return NETWORKS.escalate(level_keys, amount, half_life, offence_key, window, notes_key, note)
        level, count = (int(value) for value in answer)
        return level / 1000, count

    def notes(self, key: str) -> list[str]:
        from ..store import NETWORKS

        proc = self.life.current()
        if proc.connected:
            try:
                return [bytes(note).decode() for note in proc.client.lrange(self.prefix + "h:" + key, 0, -1)]
            except UNAVAILABLE:
                pass
        return list(NETWORKS.notes.get(key, ()))

    def remember(self, key: str, value: str, seconds: float) -> None:
        from ..store import NETWORKS

        proc = self.life.current()
        if proc.connected:
            try:
                proc.client.set(self.prefix + "m:" + key, value, px=max(1, round(seconds * 1000)))
                return
            except UNAVAILABLE:
                pass
        NETWORKS.remember(key, value, seconds)

    def recall(self, key: str) -> str | None:
        from ..store import NETWORKS

        proc = self.life.current()
        if proc.connected:
            try:
                held = proc.client.get(self.prefix + "m:" + key)
                return None if held is None else bytes(held).decode()
            except UNAVAILABLE:
                pass
        return NETWORKS.recall(key)

    def scripted(self, name: str, keys: list[str], arguments: list[object]) -> Any:
        """A script's answer, or None where the policy lets this process
        answer alone (StoreUnavailable where it does not)."""
        life = self.life
        proc = life.current()
        failure: BaseException | None = None
        if proc.connected:
            script = getattr(proc.scripts, name)
            try:
                try:
                    answer = script(keys=keys, args=arguments, client=proc.client)
                except RedisConnectionError:  # a connection closed under us: one more try
                    answer = script(keys=keys, args=arguments, client=proc.client)
                if METRICS.on:
                    METRICS.store_call(name)
                return answer
            except UNAVAILABLE as error:
                if METRICS.on:
                    METRICS.store_call(name, failed=True)
                failure = error
        if life.on_unavailable == "strict":
            raise life.unavailable(failure)
        return None
