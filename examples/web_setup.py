"""The configuration shared by the web examples: the service's own settings
(quelvar_guard.config, the QUELVAR_* variables, which `python -m quelvar_guard
config check` checks), with two defaults for a demo:

QUELVAR_REDIS_URL        unset: redis://127.0.0.1:6379/0
QUELVAR_TOKEN_SECRETS    unset: the example keeps one random key in Redis for
                         all workers (fine for a demo; a service sets its own
                         and rotates them, and the command line needs them too).
"""

from __future__ import annotations

import base64
import os
import secrets
from pathlib import Path

import redis

from quelvar_guard import Guard
from quelvar_guard._redis.connections import described
from quelvar_guard.config import ConfigError, Settings
from quelvar_guard.record import redacted_url

from .web_scoring import score

HERE = Path(__file__).resolve().parent
# The page's WebAssembly solver (`make install` builds it from
# work_solver_wasm.c), written into the page in base64: no second request.
# Without it the page solves in JavaScript.
WASM_SOLVER = HERE / "work_solver.wasm"
WASM_SLOT = b'<script id="solver-wasm" type="application/octet-stream"></script>'


def page() -> bytes:
    html = (HERE / "web_page.html").read_bytes()
    if WASM_SOLVER.exists():
        solver = base64.b64encode(WASM_SOLVER.read_bytes())
        html = html.replace(WASM_SLOT, WASM_SLOT.replace(b"></", b">" + solver + b"</"))
    return html


PAGE = page()
DEFAULT_REDIS_URL = "redis://127.0.0.1:6379/0"


def demo_secret(redis_url: str) -> str:
    # The first worker to start writes a key; the others read the same one.
    try:
        with redis.Redis.from_url(redis_url, socket_timeout=2, socket_connect_timeout=2) as client:
            client.set("quelvar:example:token-secret", secrets.token_urlsafe(48), nx=True)
            return str(client.get("quelvar:example:token-secret").decode())
    except (redis.RedisError, OSError, ValueError) as error:
        # One line that says what to change, not the client library's traceback.
        raise ConfigError([f"Redis at {redacted_url(redis_url)} {described(error)}"]) from None


def guard_from_environment() -> Guard:
    environ = dict(os.environ)
    if not environ.get("QUELVAR_REDIS_URL", "").strip():
        environ["QUELVAR_REDIS_URL"] = DEFAULT_REDIS_URL
    if not environ.get("QUELVAR_TOKEN_SECRETS", "").strip():
        Settings.from_environment(environ, store_only=True)  # a wrong URL named before it is used
        environ["QUELVAR_TOKEN_SECRETS"] = demo_secret(environ["QUELVAR_REDIS_URL"])
    settings = Settings.from_environment(environ)  # ConfigError names every mistake at start
    return settings.guard(decide=score)
