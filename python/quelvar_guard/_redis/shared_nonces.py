"""Nonces as the store offers them: the native replay cache first, then Redis.

A token this process has seen is refused without a round trip; else one
`SET NX PX` in Redis (an event loop's sent together) says whether it is
fresh anywhere. Without Redis the policy holds: under "degrade" a token this
process has not seen is accepted on its word alone, counted and warned of;
under "strict" StoreUnavailable.
"""

from __future__ import annotations

import asyncio
import logging

from ..metrics import METRICS
from ..store import Text, _consume
from .errors import LATE, UNAVAILABLE
from .fleet import ACCEPTED_ALONE
from .life import Life
from .nonces import BatchFailed, NonceBatch
from .process import Process

log = logging.getLogger("quelvar_guard")


class SharedNonces:
    def __init__(self, life: Life, max_token_bytes: int) -> None:
        self.life = life
        self.max_token_bytes = max_token_bytes

    def token(self, token: Text) -> tuple[bytes, str | None]:
        """The token's bytes, and its text for the native cache (None for
        bytes that are not UTF-8, which only Redis remembers)."""
        if isinstance(token, str):
            raw = token.encode()
            text: str | None = token
        elif isinstance(token, bytes):
            raw = token
            try:
                text = token.decode()
            except UnicodeDecodeError:
                text = None
        else:
            _consume(token)  # raises the extension's TypeError
            raise TypeError("token must be str or bytes")
        if len(raw) > self.max_token_bytes:
            raise self.too_long(raw)
        return raw, text

    def too_long(self, raw: bytes) -> ValueError:
        return ValueError(f"token of {len(raw)} bytes is longer than the {self.max_token_bytes} allowed")

    def consume(self, token: Text) -> bool:
        if type(token) is str:  # the common case, inline: a replay costs no more than this
            raw = token.encode()
            if len(raw) > self.max_token_bytes:
                raise self.too_long(raw)
            if not _consume(token):
                return False
            text: str | None = token
        else:
            raw, text = self.token(token)
            if text is not None and not _consume(text):
                return False
        life = self.life
        proc = life.proc or life.start()
        if not proc.connected:
            return self.accepted_without_redis(proc, raw, text)
        try:
            fresh = life.nonces.spend(proc.client, raw)
        except UNAVAILABLE as error:
            return self.unanswered(proc, raw, text, error)
        return self.answered(proc, raw, text, fresh)

    async def consume_async(self, token: Text) -> bool:
        if type(token) is str:  # as in consume
            raw = token.encode()
            if len(raw) > self.max_token_bytes:
                raise self.too_long(raw)
            if not _consume(token):
                return False
            text: str | None = token
        else:
            raw, text = self.token(token)
            if text is not None and not _consume(text):
                return False
        life = self.life
        proc = life.proc
        if proc is None:
            proc = await asyncio.to_thread(life.start)
        if not proc.connected:
            return self.accepted_without_redis(proc, raw, text)
        loop = asyncio.get_running_loop()
        batch = proc.batches.get(loop)
        if batch is None:
            batch = proc.batches[loop] = NonceBatch(
                life.nonces,
                life.connections.async_client(),
                2 * life.timeout,
                lambda error: life.call_failed(proc, error),
            )
        try:
            fresh = await batch.spend(raw)
        except BatchFailed as failed:  # counted once for the whole round trip
            if METRICS.on:
                METRICS.store_call("nonce", failed=True)
            return self.accepted_without_redis(proc, raw, text, failed.error)
        except UNAVAILABLE as error:
            return self.unanswered(proc, raw, text, error)
        return self.answered(proc, raw, text, fresh)

    def answered(self, proc: Process, raw: bytes, text: str | None, fresh: bool) -> bool:
        """A nonce write Redis answered: late replies start counting again,
        and a fresh token is kept as spent here too."""
        proc.late_replies = 0
        if METRICS.on:
            METRICS.store_call("nonce")
        if fresh and proc.spent is not None and (proc.spent_all or text is None):
            proc.spent.add(raw)
        return fresh

    def unanswered(self, proc: Process, raw: bytes, text: str | None, error: BaseException) -> bool:
        if METRICS.on:
            METRICS.store_call("nonce", failed=True)
        self.life.call_failed(proc, error)
        return self.accepted_without_redis(proc, raw, text, error)

    def accepted_without_redis(
        self, proc: Process, raw: bytes, text: str | None, error: BaseException | None = None
    ) -> bool:
        if self.life.refused is not None:
            raise self.life.refused
        spent = proc.spent
        if spent is None:
            raise self.life.unavailable(error)
        if raw in spent:
            return False
        spent.add(raw)
        proc.outage.add_token(raw)
        self.alone(proc, error)
        return True

    def alone(self, proc: Process, error: BaseException | None) -> None:
        """Counts a token accepted on this process's word alone (a replay of
        it in another process is accepted too): in stats(), the heartbeat
        and the fleet's counts; warned of at once, then now and then with
        the count (see nonces.AloneCount), and the rest when Redis is back."""
        proc.tally.add(ACCEPTED_ALONE)
        count = proc.alone.add()
        if count is None:
            return
        why = (
            "a reply came late"
            if isinstance(error, LATE)
            else "a call got no answer"
            if error is not None
            else "Redis is away"
        )
        log.warning(
            "quelvar_guard: %d tokens accepted without Redis at %s (%s; degrade): a replay of them in another "
            "process is accepted too",
            count,
            self.life.log_name,
            why,
        )
