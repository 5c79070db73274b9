"""Nonce writes: one `SET key "" NX PX window` gives True to exactly one caller."""

from __future__ import annotations

import asyncio
import threading
import time
from collections import deque
from typing import Any

from redis.exceptions import ConnectionError as RedisConnectionError


class NonceWriter:
    def __init__(self, prefix: str, window_ms: int) -> None:
        self.prefix = prefix.encode() + b"n:"
        self.window_ms = window_ms

    def key(self, raw: bytes) -> bytes:
        return self.prefix + raw

    def spend(self, client: Any, raw: bytes) -> bool:
        key = self.prefix + raw
        try:
            return client.set(key, b"", nx=True, px=self.window_ms) is True
        except RedisConnectionError:
            # A connection closed under us (server restart, CLIENT KILL):
            # one more try on a new one.
            return client.set(key, b"", nx=True, px=self.window_ms) is True

    async def spend_async(self, client: Any, raw: bytes, timeout: float) -> bool:
        key = self.prefix + raw
        try:
            answer = await asyncio.wait_for(client.set(key, b"", nx=True, px=self.window_ms), timeout)
        except RedisConnectionError:
            answer = await asyncio.wait_for(client.set(key, b"", nx=True, px=self.window_ms), timeout)
        return answer is True

    def write_accepted(self, client: Any, tokens: dict[bytes, float]) -> None:
        """Records tokens accepted without Redis for what is left of their window."""
        now = time.monotonic()
        with client.pipeline(transaction=False) as pipe:
            for raw, accepted in tokens.items():
                left = self.window_ms - int((now - accepted) * 1000)
                if left > 0:
                    pipe.set(self.prefix + raw, b"", nx=True, px=left)
            pipe.execute()

    def clear(self, client: Any) -> None:
        """Deletes every nonce key of this prefix."""
        pattern = b"".join(b"\\" + bytes([c]) if c in b"*?[]\\" else bytes([c]) for c in self.prefix) + b"*"
        batch: list[bytes] = []
        for key in client.scan_iter(match=pattern, count=1000):
            batch.append(key)
            if len(batch) == 500:
                client.delete(*batch)
                batch.clear()
        if batch:
            client.delete(*batch)


class SpentTokens:
    """The tokens this process accepted in the last `window` seconds, kept for
    the time Redis is away: the native cache holds a token for 60 s at least
    and 120 s at most, and no token that is not text.

    Kept in generations of a quarter window, so a token may be held up to a
    quarter window longer than promised, never shorter.
    """

    def __init__(self, window: float) -> None:
        self.window = window
        self.span = window / 4
        self.lock = threading.Lock()
        self.generations: deque[tuple[float, set[bytes]]] = deque([(time.monotonic(), set())])

    def add(self, raw: bytes) -> None:
        now = time.monotonic()
        started, tokens = self.generations[-1]
        if now - started >= self.span:
            with self.lock:
                started, tokens = self.generations[-1]
                if now - started >= self.span:
                    tokens = set()
                    self.generations.append((now, tokens))
                    # A generation goes when its newest token is older than the window.
                    while self.generations[0][0] + self.span + self.window < now:
                        self.generations.popleft()
        tokens.add(raw)

    def __contains__(self, raw: bytes) -> bool:
        return any(raw in tokens for _, tokens in tuple(self.generations))
