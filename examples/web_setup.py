"""The configuration shared by the web examples, read from the environment.

QUELVAR_REDIS_URL        the Redis server shared by every worker
                         (default redis://127.0.0.1:6379/0)
QUELVAR_TOKEN_SECRETS    comma-separated token keys, each at least 32 bytes; the
                         first signs. Every worker and host must have the same
                         ones. If unset, the example keeps one random key in
                         Redis for all workers (fine for a demo; a service sets
                         its own and rotates them).
QUELVAR_TRUSTED_PROXIES  comma-separated networks of your reverse proxies,
                         e.g. "10.0.0.0/8"; unset: forwarding headers are ignored.
QUELVAR_PROXY_HEADER     the header those proxies write: "x-forwarded-for"
                         (default) or "forwarded".
QUELVAR_BIND_NETWORK     "1" binds every token to the client's network (IPv4
                         /24, IPv6 /64); unset or "0": tokens work from anywhere.
QUELVAR_MINT_RATE        telemetry tokens per second and address once its burst
QUELVAR_MINT_BURST       is spent (defaults 1 and 20; the budget is kept in Redis).
"""

from __future__ import annotations

import os
import secrets
from pathlib import Path

import redis

from quelvar_guard import Guard, RedisStore
from quelvar_guard.decision import DEFAULT_MINT_BURST, DEFAULT_MINT_RATE

from .web_scoring import score

PAGE = (Path(__file__).resolve().parent / "web_page.html").read_bytes()
GUARDED_PATHS = ("/api/",)


def token_secrets(redis_url: str) -> list[str]:
    configured = [key.strip() for key in os.environ.get("QUELVAR_TOKEN_SECRETS", "").split(",") if key.strip()]
    if configured:
        return configured
    # The first worker to start writes a key; the others read the same one.
    with redis.Redis.from_url(redis_url, socket_timeout=2) as client:
        client.set("quelvar:example:token-secret", secrets.token_urlsafe(48), nx=True)
        return [client.get("quelvar:example:token-secret").decode()]


def guard_from_environment() -> Guard:
    redis_url = os.environ.get("QUELVAR_REDIS_URL", "redis://127.0.0.1:6379/0")
    return Guard(
        RedisStore(redis_url),
        token_secrets(redis_url),
        decide=score,
        guarded_paths=GUARDED_PATHS,
        trusted_proxies=os.environ.get("QUELVAR_TRUSTED_PROXIES", ""),
        proxy_header=os.environ.get("QUELVAR_PROXY_HEADER", "x-forwarded-for"),
        bind_network=os.environ.get("QUELVAR_BIND_NETWORK", "0") == "1",
        mint_rate=float(os.environ.get("QUELVAR_MINT_RATE", DEFAULT_MINT_RATE)),
        mint_burst=int(os.environ.get("QUELVAR_MINT_BURST", DEFAULT_MINT_BURST)),
    )
