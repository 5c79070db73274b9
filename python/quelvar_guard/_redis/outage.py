"""What one process decided while Redis was away, kept until it is written.

Ban changes are kept one per address (the latest wins) between clears, each
with the time it was decided; accepted tokens with the moment they were
accepted. Guarded by a lock of its own: request threads add while the
listener writes.
"""

from __future__ import annotations

import itertools
import threading
import time

from .bans import Decision

# Tokens accepted while Redis was away, written to it when it is back.
MAX_OUTAGE_TOKENS = 100_000

# ("set", {address: (expiry or None, decided us)}) or ("clear", {}).
Entry = tuple[str, dict[str, tuple[int | None, int]]]


class OutageQueue:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.changes: list[Entry] = []
        self.tokens: dict[bytes, float] = {}
        # Taken out to be written and not written yet: still pending.
        self.writing = 0

    def __len__(self) -> int:
        with self.lock:
            return sum(map(_size, self.changes)) + len(self.tokens) + self.writing

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
                latest[ip] = (expires_at, decided)

    def add_clear(self) -> None:
        with self.lock:
            self.changes.append(("clear", {}))

    def add_token(self, raw: bytes) -> None:
        with self.lock:
            if len(self.tokens) >= MAX_OUTAGE_TOKENS:
                self.tokens.pop(next(iter(self.tokens), b""), None)
            self.tokens[raw] = time.monotonic()

    def take_first_change(self) -> Entry | None:
        """The oldest entry, taken out to be written: changes made meanwhile
        start an entry of their own, so none is dropped with it."""
        with self.lock:
            if not self.changes:
                return None
            entry = self.changes.pop(0)
            self.writing += _size(entry)
            return entry

    def change_written(self, entry: Entry) -> None:
        with self.lock:
            self.writing -= _size(entry)

    def put_back_first_change(self, entry: Entry) -> None:
        """An entry that could not be written, back in front; later changes of
        the same addresses still win."""
        with self.lock:
            self.writing -= _size(entry)
            if entry[0] == "set" and self.changes and self.changes[0][0] == "set":
                entry[1].update(self.changes[0][1])
                self.changes[0] = entry
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
            for raw, accepted in tokens.items():
                self.tokens.setdefault(raw, accepted)


def _size(entry: Entry) -> int:
    return max(len(entry[1]), 1)
