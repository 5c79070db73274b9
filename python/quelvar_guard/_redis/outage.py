"""What one process decided while Redis was away, kept until it is written.

Ban changes are kept one per address (the latest wins) between clears, each
with the time it was decided; accepted tokens with the moment they were
accepted. Guarded by a lock of its own: request threads add while the
listener writes.
"""

from __future__ import annotations

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

    def __len__(self) -> int:
        with self.lock:
            return sum(max(len(changes), 1) for _, changes in self.changes) + len(self.tokens)

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

    def holds_token(self, raw: bytes) -> bool:
        return raw in self.tokens

    def take_first_change(self) -> Entry | None:
        """The oldest entry, taken out: changes made while it is written start
        an entry of their own, so none is dropped with it."""
        with self.lock:
            return self.changes.pop(0) if self.changes else None

    def put_back_first_change(self, entry: Entry) -> None:
        """An entry that could not be written, back in front; later changes of
        the same addresses still win."""
        with self.lock:
            if entry[0] == "set" and self.changes and self.changes[0][0] == "set":
                entry[1].update(self.changes[0][1])
                self.changes[0] = entry
            else:
                self.changes.insert(0, entry)

    def take_tokens(self) -> dict[bytes, float]:
        with self.lock:
            tokens, self.tokens = self.tokens, {}
        return tokens

    def put_back_tokens(self, tokens: dict[bytes, float]) -> None:
        with self.lock:
            for raw, accepted in tokens.items():
                self.tokens.setdefault(raw, accepted)
