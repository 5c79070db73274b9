"""Nonce writes: one `SET key "" NX PX window` gives True to exactly one caller.

Blocking calls send one command each; an event loop's calls are sent together
(NonceBatch). A process also keeps the tokens it accepted for when Redis is
away (SpentTokens), and counts them (AloneCount).
"""

from __future__ import annotations

import asyncio
import math
import os
import threading
import time
from collections import deque
from collections.abc import Callable
from typing import Any

import redis
import redis.asyncio
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import ResponseError

# Before 5.3 a pool asks for the command's name; since, it warns of one.
POOL_ARGUMENTS: tuple[str, ...] = ("SET",) if tuple(map(int, redis.__version__.split(".")[:2])) < (5, 3) else ()


class NonceWriter:
    def __init__(self, prefix: str, window_ms: int) -> None:
        self.prefix = prefix.encode() + b"n:"
        self.window_ms = window_ms
        self.held_client: Any = None
        self.held_pid = 0
        self.held: list[Any] = []
        # What follows the key in `SET key "" NX PX window`, as sent.
        self.tail = b"\r\n$0\r\n\r\n$2\r\nNX\r\n$2\r\nPX\r\n$%d\r\n%d\r\n" % (len(str(window_ms)), window_ms)

    def key(self, raw: bytes) -> bytes:
        return self.prefix + raw

    def packed(self, raw: bytes) -> bytes:
        return b"*6\r\n$3\r\nSET\r\n$%d\r\n%b%b%b" % (len(self.prefix) + len(raw), self.prefix, raw, self.tail)

    def spend(self, client: Any, raw: bytes) -> bool:
        try:
            return self.spend_once(client, raw)
        except RedisConnectionError:
            # A connection closed under us (server restart, CLIENT KILL): the
            # others held may be closed too; one more try on one from the pool.
            self.drop_held(client)
            return self.spend_once(client, raw)

    def spend_once(self, client: Any, raw: bytes) -> bool:
        if type(client) is not redis.Redis:  # a cluster's client routes the key
            return client.set(self.prefix + raw, b"", nx=True, px=self.window_ms) is True
        # Packed here and read raw: the client's own call costs more than the
        # walk, and most of it after the reply, on caches the wait has cooled.
        held = self.held_for(client)
        try:
            connection = held.pop()
        except IndexError:
            connection = client.connection_pool.get_connection(*POOL_ARGUMENTS)
        try:
            connection.send_packed_command([self.packed(raw)], check_health=False)
            reply = connection.read_response(disable_decoding=True)
        except BaseException:
            connection.disconnect()  # a reply may be left unread on it
            client.connection_pool.release(connection)
            raise
        held.append(connection)
        return bool(reply == b"OK")

    def held_for(self, client: Any) -> list[Any]:
        """The connections kept out of `client`'s pool between calls (its
        get and release cost a tenth of a round trip); the pool counts them
        in use and closes them with the client. A forked child's are its own."""
        pid = os.getpid()
        if self.held_client is not client or self.held_pid != pid:
            self.held_client, self.held_pid, self.held = client, pid, []
        return self.held

    def drop_held(self, client: Any) -> None:
        held, self.held = self.held_for(client), []
        for connection in held:
            connection.disconnect()
            client.connection_pool.release(connection)

    async def spend_many(self, client: Any, raws: list[bytes], timeout: float) -> list[Any]:
        """Spends tokens in one pipelined round trip: per token True, False,
        or the error its command got."""
        if not isinstance(client, redis.asyncio.Redis):  # a cluster's client routes each key
            return await self.spend_routed(client, raws, timeout)
        try:
            return await self.spend_packed(client, raws, timeout)
        except RedisConnectionError:
            return await self.spend_packed(client, raws, timeout)

    async def spend_packed(self, client: Any, raws: list[bytes], timeout: float) -> list[Any]:
        # The commands packed here and the replies read raw: the client's own
        # pipeline costs more per command than the round trip it saves.
        packed = b"".join([self.packed(raw) for raw in raws])
        pool = client.connection_pool
        connection = await pool.get_connection(*POOL_ARGUMENTS)
        try:
            async with asyncio.timeout(timeout):
                await connection.send_packed_command([packed], check_health=False)
                replies: list[Any] = []
                for _ in raws:
                    try:
                        # Bounded by the round trip's timeout above, not by a timer per reply.
                        reply = await connection.read_response(disable_decoding=True, timeout=math.inf)
                    except ResponseError as error:  # this token's answer; the others follow
                        replies.append(error)
                        continue
                    replies.append(reply == b"OK")
        except BaseException:
            # Replies may be left unread on it: never handed out again.
            await connection.disconnect()
            raise
        finally:
            await pool.release(connection)
        return replies

    async def spend_routed(self, client: Any, raws: list[bytes], timeout: float) -> list[Any]:
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
    """The nonce writes of one event loop, sent together: a call made while
    no round trip is on its way sends its own token at once, in its own task;
    the calls made while one is on its way go in the next, one pipeline, so a
    loop keeps one connection busy however many calls it has in flight, and
    each call gets its own answer.

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
        self.alone = False  # a call is sending its own token

    async def spend(self, raw: bytes) -> bool:
        if self.sending is None and not self.alone:
            # No task, no future: what a lone call costs is its round trip.
            self.alone = True
            try:
                (reply,) = await self._round_trip([raw])
            finally:
                self.alone = False
                if self.waiting and self.sending is None:
                    self.sending = asyncio.get_running_loop().create_task(self._send())
            if isinstance(reply, BaseException):
                raise reply
            return bool(reply)
        answer: asyncio.Future[bool] = asyncio.get_running_loop().create_future()
        self.waiting.append((raw, answer))
        return await answer

    async def _round_trip(self, raws: list[bytes]) -> list[Any]:
        try:
            return await self.writer.spend_many(self.client, raws, self.timeout)
        except Exception as error:  # whatever it was, every caller gets an answer
            self.on_failure(error)
            return [BatchFailed(error)] * len(raws)

    async def _send(self) -> None:
        batch: list[tuple[bytes, asyncio.Future[bool]]] = []
        try:
            while self.waiting:
                batch, self.waiting = self.waiting, []
                replies = await self._round_trip([raw for raw, _ in batch])
                for (_, answer), reply in zip(batch, replies, strict=True):
                    if answer.done():
                        continue  # its caller is gone
                    if isinstance(reply, BaseException):
                        answer.set_exception(reply)
                    else:
                        answer.set_result(reply is True)
                batch = []
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
