"""Shared guard state on top of quelvar_core_rs.

LocalStore keeps nonces and bans in this process (the extension's tables);
RedisStore shares them with every process and host pointing at one Redis and
answers ban lookups from a local replica. Both follow the Store protocol.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .store import LocalStore, Store, StoreUnavailable, Text

if TYPE_CHECKING:
    from .redis_store import RedisStore

__all__ = ["LocalStore", "RedisStore", "Store", "StoreUnavailable", "Text"]


def __getattr__(name: str) -> Any:
    # The Redis client is an optional extra: imported only when asked for.
    if name == "RedisStore":
        from .redis_store import RedisStore
        return RedisStore
    raise AttributeError(f"module 'quelvar_guard' has no attribute {name!r}")

# The web layer: signed tokens, client addresses, the decision core and its
# WSGI and ASGI adapters (the FastAPI dependency is in quelvar_guard.fastapi).
from .addresses import ClientAddresses, normalise_address  # noqa: E402
from .asgi import ASGIGuard  # noqa: E402
from .decision import Action, Decision, Guard, Reply, Screened  # noqa: E402
from .tokens import Tokens, TokenVerdict  # noqa: E402
from .wsgi import WSGIGuard  # noqa: E402

__all__ += ["ASGIGuard", "Action", "ClientAddresses", "Decision", "Guard", "Reply", "Screened",
            "TokenVerdict", "Tokens", "WSGIGuard", "normalise_address"]
