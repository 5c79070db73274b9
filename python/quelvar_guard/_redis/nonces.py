"""Nonce writes: one `SET key "" NX PX window` gives True to exactly one caller.

Blocking calls send one command each; an event loop's calls are sent together
(NonceBatch). A process also keeps the tokens it accepted for when Redis is
away (SpentTokens), and counts them (AloneCount).
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections import deque
from collections.abc import Callable
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

    async def spend_many(self, client: Any, raws: list[bytes], timeout: float) -> list[Any]:
        """Spends tokens in one pipelined round trip: per token True, False,
        or the error its command got."""

        async def once() -> list[Any]:
            async with client.pipeline(transaction=False) as pipe:
                for raw in raws:
                    pipe.set(self.prefix + raw, b"", nx=True, px=self.window_ms)
                return list(await asyncio.wait_for(pipe.execute(raise_on_error=False), timeout))

        try:
            return await once()
        except RedisConnectionError:
            return await once()

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


class BatchFailed(Exception):
    """The round trip that carried this token failed; `error` says how."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(str(error))
        self.error = error


class NonceBatch:
    """The nonce writes of one event loop, sent together: the calls made
    while a round trip is on its way (at least those of one loop iteration)
    go in the next, one pipeline, so a loop keeps one connection busy however
    many calls it has in flight, and each call gets its own answer.

    on_failure(error) is told once per failed round trip (not per token: one
    late reply is one event, however many tokens it carried).
    """

    def __init__(
        self, writer: NonceWriter, client: Any, timeout: float, on_failure: Callable[[BaseException], None]
    ) -> None:
        self.writer = writer
        self.client = client
        self.timeout = timeout
        self.on_failure = on_failure
        self.waiting: list[tuple[bytes, asyncio.Future[bool]]] = []
        self.sending: asyncio.Task[None] | None = None

    def spend(self, raw: bytes) -> asyncio.Future[bool]:
        loop = asyncio.get_running_loop()
        answer: asyncio.Future[bool] = loop.create_future()
        self.waiting.append((raw, answer))
        if self.sending is None:
            # Runs from the loop's next iteration: this one's calls join it.
            self.sending = loop.create_task(self._send())
        return answer

    async def _send(self) -> None:
        batch: list[tuple[bytes, asyncio.Future[bool]]] = []
        try:
            while self.waiting:
                batch, self.waiting = self.waiting, []
                try:
                    replies = await self.writer.spend_many(self.client, [raw for raw, _ in batch], self.timeout)
                except Exception as error:  # whatever it was, every caller gets an answer
                    self.on_failure(error)
                    replies = [BatchFailed(error)] * len(batch)
                for (_, answer), reply in zip(batch, replies, strict=True):
                    if answer.done():
                        continue  # its caller is gone
                    if isinstance(reply, BaseException):
                        answer.set_exception(reply)
                    else:
                        answer.set_result(reply is True)
        finally:
            self.sending = None
            for _, answer in batch + self.waiting:  # cancelled on the way: so are its callers
                answer.cancel()


class SpentTokens:
    """The tokens this process accepted in the last `window` seconds, kept for
    the time Redis is away: the native cache holds a token for its window
    (store.NATIVE_NONCE_WINDOW_SECONDS) at least and twice that at most, and
    no token that is not text.

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


# Tokens accepted without Redis are warned of at once, then at most once per
# this many seconds, with their count.
ALONE_LOG_SECONDS = 5.0


class AloneCount:
    """Tokens a process accepted on its word alone: in all, and since they
    were last warned of (see ALONE_LOG_SECONDS)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.total = 0
        self.unlogged = 0
        self.log_at = 0.0

    def add(self) -> int | None:
        """Counts one; the count to warn of now, if a warning is due."""
        now = time.monotonic()
        with self.lock:
            self.total += 1
            self.unlogged += 1
            if now < self.log_at:
                return None
            count, self.unlogged = self.unlogged, 0
            self.log_at = now + ALONE_LOG_SECONDS
            return count

    def take_unlogged(self) -> int:
        with self.lock:
            count, self.unlogged = self.unlogged, 0
            return count
