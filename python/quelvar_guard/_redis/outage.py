"""What one process decided while Redis was away, kept until it is written.

Ban changes are kept one per address (the latest wins) between clears, each
with the time it was decided; accepted tokens with the moment they were
accepted. Each kind is capped: past the cap the oldest goes first, and what
went is counted for the log. Guarded by a lock of its own: request threads
add while the listener writes.
"""

from __future__ import annotations

import itertools
import threading
import time
from collections.abc import Callable, Iterable
from typing import Any

from ..store import REPLICA
from .bans import BanWriter, Decision
from .nonces import NonceWriter
from .scripts import Scripts

# ("set", {address: (expiry or None, decided us)}, oldest first) or ("clear", {}).
Entry = tuple[str, dict[str, tuple[int | None, int]]]


class OutageQueue:
    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.lock = threading.Lock()
        self.changes: list[Entry] = []
        self.tokens: dict[bytes, float] = {}
        # Ban changes held (a clear counts as one), and those taken out to be
        # written and not written yet: still pending.
        self.held = 0
        self.writing = 0
        # Dropped for the cap since the last report.
        self.spilled_changes = 0
        self.spilled_tokens = 0

    def __len__(self) -> int:
        return self.held + len(self.tokens) + self.writing

    def __bool__(self) -> bool:
        return bool(self.changes or self.tokens)

    def pending_bans(self) -> list[tuple[str, int | None]]:
        """The latest change kept per address, oldest first."""
        with self.lock:
            latest: dict[str, int | None] = {}
            for kind, changes in self.changes:
                if kind == "clear":
                    latest.clear()
                latest.update((ip, expires_at) for ip, (expires_at, _) in changes.items())
            return list(latest.items())

    def add_changes(self, changes: list[Decision]) -> None:
        with self.lock:
            if not self.changes or self.changes[-1][0] != "set":
                self.changes.append(("set", {}))
            latest = self.changes[-1][1]
            for ip, expires_at, decided in changes:
                assert decided is not None
                self.held -= latest.pop(ip, None) is not None  # moves to the end: the newest
                latest[ip] = (expires_at, decided)
                self.held += 1
            while self.held > self.limit and self._spill_change():
                pass

    def _spill_change(self) -> bool:
        for index, (_, entry) in enumerate(self.changes):
            if entry:
                del entry[next(iter(entry))]
                self.held -= 1
                self.spilled_changes += 1
                if not entry:
                    del self.changes[index]
                return True
        return False  # only clears: those are kept

    def add_clear(self) -> None:
        with self.lock:
            self.changes.append(("clear", {}))
            self.held += 1

    def add_token(self, raw: bytes) -> None:
        with self.lock:
            if raw not in self.tokens and len(self.tokens) >= self.limit:
                del self.tokens[next(iter(self.tokens))]
                self.spilled_tokens += 1
            self.tokens[raw] = time.monotonic()

    def take_spilled(self) -> tuple[int, int]:
        """The changes and tokens dropped since the last call."""
        with self.lock:
            spilled = self.spilled_changes, self.spilled_tokens
            self.spilled_changes = self.spilled_tokens = 0
            return spilled

    def take_first_change(self, limit: int) -> Entry | None:
        """Up to `limit` of the oldest changes (or a clear), taken out to be
        written: changes made meanwhile stay in an entry of their own, so none
        is dropped with them."""
        with self.lock:
            if not self.changes:
                return None
            kind, changes = self.changes[0]
            if kind == "clear" or len(changes) <= limit:
                entry = self.changes.pop(0)
            else:
                entry = (kind, {ip: changes.pop(ip) for ip in list(itertools.islice(changes, limit))})
            size = _size(entry)
            self.held -= size
            self.writing += size
            return entry

    def change_written(self, entry: Entry) -> None:
        with self.lock:
            self.writing -= _size(entry)

    def put_back_first_change(self, entry: Entry) -> None:
        """Changes that could not be written, back in front; later changes of
        the same addresses still win."""
        with self.lock:
            size = _size(entry)
            self.writing -= size
            self.held += size
            if entry[0] == "set" and self.changes and self.changes[0][0] == "set":
                front = self.changes[0][1]
                self.held -= sum(ip in front for ip in entry[1])
                merged = {ip: change for ip, change in entry[1].items() if ip not in front}
                merged.update(front)
                self.changes[0] = ("set", merged)
            else:
                self.changes.insert(0, entry)

    def take_tokens(self, limit: int) -> dict[bytes, float]:
        """Up to `limit` of the oldest tokens, taken out to be written."""
        with self.lock:
            tokens = dict(itertools.islice(self.tokens.items(), limit))
            for raw in tokens:
                del self.tokens[raw]
            self.writing += len(tokens)
        return tokens

    def tokens_written(self, tokens: dict[bytes, float]) -> None:
        with self.lock:
            self.writing -= len(tokens)

    def put_back_tokens(self, tokens: dict[bytes, float]) -> None:
        with self.lock:
            self.writing -= len(tokens)
            self.tokens = {**tokens, **self.tokens}

    def write(
        self,
        client: Any,
        scripts: Scripts,
        nonces: NonceWriter,
        bans: BanWriter,
        write_lock: Any,
        wrote: Callable[[Iterable[str], int], None],
        chunk: int,
    ) -> None:
        """Writes what is kept, `chunk` per round trip, until nothing is
        left; what could not be written is put back. A change that Redis
        refuses as older than its own gives way in the replica too; `wrote`
        is told what was written (see sync.ReplicaSync.wrote)."""
        while self:
            tokens = self.take_tokens(chunk)
            if tokens:
                try:
                    nonces.write_accepted(client, tokens)
                except BaseException:
                    self.put_back_tokens(tokens)
                    raise
                self.tokens_written(tokens)
            with write_lock, REPLICA.lock:
                entry = self.take_first_change(chunk)
                if entry is None:
                    continue
                kind, changes = entry
                try:
                    if kind == "clear":
                        nonces.clear(client)
                        bans.write(client, scripts, [], clear=True)
                        self.change_written(entry)
                        continue
                    written = bans.write(
                        client,
                        scripts,
                        [(ip, expires_at, decided) for ip, (expires_at, decided) in changes.items()],
                    )
                except BaseException:
                    self.put_back_first_change(entry)
                    raise
                self.change_written(entry)
                # Whichever decision Redis kept holds here too (what the
                # listener applied meanwhile may be older than either).
                for ip, (expires_at, _) in changes.items():
                    held = written.refused[ip] if ip in written.refused else expires_at
                    if held is None:
                        REPLICA.remove(ip)
                    else:
                        REPLICA.set(ip, held)
                wrote(changes, written.seq)


def _size(entry: Entry) -> int:
    return max(len(entry[1]), 1)
