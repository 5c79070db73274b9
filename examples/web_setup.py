"""The configuration shared by the web examples: the service's own settings
(quelvar_guard.config, the QUELVAR_* variables, which `python -m quelvar_guard
config check` checks), with two defaults for a demo:

QUELVAR_REDIS_URL        unset: redis://127.0.0.1:6379/0
QUELVAR_TOKEN_SECRETS    unset: the example keeps one random key in Redis for
                         all workers (fine for a demo; a service sets its own
                         and rotates them, and the command line needs them too).
"""

from __future__ import annotations

import os
import secrets
from pathlib import Path

import redis

from quelvar_guard import Guard
from quelvar_guard.config import Settings

from .web_scoring import score

PAGE = (Path(__file__).resolve().parent / "web_page.html").read_bytes()
DEFAULT_REDIS_URL = "redis://127.0.0.1:6379/0"


def demo_secret(redis_url: str) -> str:
    # The first worker to start writes a key; the others read the same one.
    with redis.Redis.from_url(redis_url, socket_timeout=2) as client:
        client.set("quelvar:example:token-secret", secrets.token_urlsafe(48), nx=True)
        return str(client.get("quelvar:example:token-secret").decode())


def guard_from_environment() -> Guard:
    environ = dict(os.environ)
    if not environ.get("QUELVAR_REDIS_URL", "").strip():
        environ["QUELVAR_REDIS_URL"] = DEFAULT_REDIS_URL
    if not environ.get("QUELVAR_TOKEN_SECRETS", "").strip():
        environ["QUELVAR_TOKEN_SECRETS"] = demo_secret(environ["QUELVAR_REDIS_URL"])
    settings = Settings.from_environment(environ)  # ConfigError names every mistake at start
    return settings.guard(decide=score)
