"""Screening for web services on top of quelvar_core_rs.

Stores: LocalStore keeps nonces and bans in this process (the extension's
tables); RedisStore shares them with every process and host pointing at one
Redis and answers ban lookups from a local replica. Both follow the Store
protocol.

The web layer: signed one-time tokens (telemetry tokens, and the guarded
tokens an allowed telemetry post earns), client addresses, the decision core
and its WSGI and ASGI adapters (the FastAPI dependency is in
quelvar_guard.fastapi).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .addresses import ClientAddresses, normalise_address
from .asgi import ASGIGuard
from .decision import Action, Decision, Guard, Reply, Screened
from .store import LocalStore, Store, StoreMisconfigured, StoreUnavailable, Text
from .tokens import TokenKind, Tokens, TokenVerdict
from .wsgi import WSGIGuard

if TYPE_CHECKING:
    from .redis_store import RedisStore

__all__ = [
    "ASGIGuard",
    "Action",
    "ClientAddresses",
    "Decision",
    "Guard",
    "LocalStore",
    "RedisStore",
    "Reply",
    "Screened",
    "Store",
    "StoreMisconfigured",
    "StoreUnavailable",
    "Text",
    "TokenKind",
    "TokenVerdict",
    "Tokens",
    "WSGIGuard",
    "normalise_address",
]


def __getattr__(name: str) -> Any:
    # The Redis client is an optional extra: imported only when asked for.
    if name == "RedisStore":
        from .redis_store import RedisStore

        return RedisStore
    raise AttributeError(f"module 'quelvar_guard' has no attribute {name!r}")
