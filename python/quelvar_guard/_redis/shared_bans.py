"""Bans as the store offers them: lookups from the replica, changes written.

A change is applied to this process's replica (the extension's ban table)
first, then written to Redis in one atomic script, which announces it to the
other processes. Without Redis the policy holds: under "degrade" the change
is kept and written when Redis is back; under "strict" it is undone and
StoreUnavailable raised.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterable

from ..addresses import BanScope
from ..metrics import METRICS
from ..store import REPLICA, Text, announce, ban_key, keyed_bans
from .bans import Change
from .errors import UNAVAILABLE
from .fleet import BAN, UNBAN
from .life import WRITE_CHUNK, Life


class SharedBans:
    def __init__(self, life: Life, scope: BanScope) -> None:
        self.life = life
        self.scope = scope

    def remaining(self, ip: Text) -> int | None:
        self.life.started_for_lookups()
        return REPLICA.remaining(ban_key(self.scope, ip))  # type: ignore[arg-type]

    def change(
        self, apply: Callable[[], tuple[dict[str, int | None] | None, list[Change]]], clear: bool = False
    ) -> None:
        """Applies a change to the replica (the extension checks the
        arguments), writes it to Redis, and on failure keeps it for later or,
        when strict, undoes it and raises."""
        life = self.life
        proc = life.current()
        with life.write_lock, REPLICA.lock:
            saved_before, changes = apply()
            failure: BaseException | None = None
            if proc.connected:
                try:
                    if clear:
                        life.clear_shared(proc)
                    # Many changes (a hydration) in chunks, each written as it goes.
                    while changes:
                        chunk = changes[:WRITE_CHUNK]
                        written = life.ban_writer.write(
                            proc.client, proc.scripts, [(ip, expires_at, None) for ip, expires_at in chunk]
                        )
                        if METRICS.on:
                            METRICS.store_call("ban")
                        proc.listener.wrote((ip for ip, _ in chunk), written.seq)
                        del changes[:WRITE_CHUNK]
                    return
                except UNAVAILABLE as error:
                    if METRICS.on:
                        METRICS.store_call("ban", failed=True)
                    life.lost(proc, error)
                    failure = error
            if life.on_unavailable == "strict" or life.refused is not None:
                if saved_before is not None:
                    REPLICA.restore(saved_before)
                raise life.refused or life.unavailable(failure)
            if clear:
                proc.outage.add_clear()
            else:
                decided = proc.listener.now_us()
                proc.outage.add_changes([(ip, expires_at, decided) for ip, expires_at in changes])

    def ban(self, ip: Text, seconds: int, source: str | None) -> None:
        changes: list[Change] = []

        def apply() -> tuple[dict[str, int | None], list[Change]]:
            text = ban_key(self.scope, ip)
            saved = REPLICA.saved([text]) if isinstance(text, str) else {}
            address, expires_at = REPLICA.ban(text, seconds)
            changes.append((address, expires_at))
            return saved, [(address, expires_at)]

        self.change(apply)
        if self.life.proc is not None:
            self.life.proc.tally.add(BAN)
        announce(changes[0][0], operator.index(seconds), source)

    def unban(self, ip: Text, source: str | None) -> None:
        lifted: list[str] = []

        def apply() -> tuple[dict[str, int | None], list[Change]]:
            text = ban_key(self.scope, ip)
            saved = REPLICA.saved([text]) if isinstance(text, str) else {}
            lifted.append(REPLICA.unban(text))
            return saved, [(lifted[0], None)]

        self.change(apply)
        if self.life.proc is not None:
            self.life.proc.tally.add(UNBAN)
        announce(lifted[0], None, source)

    def hydrate(self, bans: Iterable[tuple[Text, int]]) -> None:
        def apply() -> tuple[dict[str, int | None], list[Change]]:
            before = dict(REPLICA.expiry)
            applied = REPLICA.hydrate(keyed_bans(self.scope, bans))
            saved = {ip: before.get(ip) for ip, _ in applied}
            return saved, list(applied)

        self.change(apply)

    def clear(self) -> None:
        def apply() -> tuple[None, list[Change]]:
            REPLICA.clear()
            return None, []

        self.change(apply, clear=True)
