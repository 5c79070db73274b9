"""What one process holds for one store: clients, listener, outage queue;
and what its ban listener reports to (Owner).

A forked child holds none of its parent's: the store's life (see life) drops
it in one step and makes a new one on first use.
"""

from __future__ import annotations

import asyncio
import os
import secrets
import socket
import threading
import weakref
from collections.abc import Iterable
from typing import Any, Protocol

from ..store import StoreMisconfigured
from .bans import BanKeys, BanWriter
from .connections import Connections
from .fleet import FleetKeys, Tally
from .nonces import AloneCount, NonceBatch, SpentTokens
from .outage import OutageQueue
from .scripts import Scripts

HOST = socket.gethostname()


class Listening(Protocol):
    """What the process and the store read of its ban listener."""

    subscribed: bool

    @property
    def seen(self) -> dict[str, int]: ...

    @property
    def resyncs(self) -> int: ...

    @property
    def progress(self) -> float: ...

    def run(self) -> None: ...

    def wrote(self, ips: Iterable[str], seq: int) -> None: ...

    def now_us(self) -> int: ...


class Process:
    # Set together by use(), before the first call that needs them.
    scripts: Scripts
    # Set by the life that makes the process, before its thread starts.
    listener: Listening
    thread: threading.Thread

    def __init__(self, max_pending_writes: int, window: float, keep_spent: bool, spent_all: bool) -> None:
        self.client: Any = None
        self.connected = False
        self.ready = threading.Event()
        self.stop = threading.Event()
        # Each event loop's nonce writes, sent together through a client of its own.
        self.batches: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, NonceBatch] = weakref.WeakKeyDictionary()
        self.outage = OutageQueue(max_pending_writes)
        # Tokens accepted here within the window, for when Redis is away
        # (degrade only): all of them when the window outlasts the native
        # cache, else only those the native cache cannot hold.
        self.spent = SpentTokens(window) if keep_spent else None
        self.spent_all = spent_all
        # Nonce replies in a row that missed the timeout (see Life.call_failed).
        self.late_replies = 0
        # Bans and refusals seen here, added to the fleet's counts by the listener.
        self.tally = Tally()
        # Tokens accepted without Redis.
        self.alone = AloneCount()
        # This process's name in the fleet's heartbeats (one per store and process).
        self.name = f"{HOST}:{os.getpid()}:{secrets.token_hex(3)}"

    def use(self, client: Any) -> None:
        self.scripts = Scripts(client)
        self.client = client


class Owner(Protocol):
    """The process's life with Redis (see life.Life): what the ban listener
    reads of it, and the events it reports to it."""

    connections: Connections
    keys: BanKeys
    fleet_keys: FleetKeys
    ban_writer: BanWriter
    timeout: float
    log_name: str
    write_lock: threading.RLock

    def check_servers(self, client: Any, first: bool = True) -> None: ...

    def check_eviction(self, client: Any) -> None: ...

    def refuse(self, proc: Process, error: StoreMisconfigured) -> None: ...

    def lift_refusal(self, proc: Process) -> None: ...

    def lost(self, proc: Process, error: BaseException) -> None: ...

    def flush_outage(self, proc: Process) -> None: ...

    def heartbeat(self, proc: Process, state: str) -> dict[str, object]: ...

    def lost_state_heard(self, client: Any) -> None: ...

    def state_lost(self, proc: Process, restored: int) -> None: ...
