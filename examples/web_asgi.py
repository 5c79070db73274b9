"""An ASGI service behind the guard, with the Redis store; serve it as it is:

    uvicorn --workers 4 examples.web_asgi:app

then open http://127.0.0.1:8000/ (configuration: examples/web_setup.py). The
same page and guard as examples/web_wsgi.py, without any framework: ASGIGuard
wraps any ASGI application (Starlette, FastAPI, Django) the same way.
"""

from __future__ import annotations

import json
import os

from quelvar_guard import ASGIGuard
from quelvar_guard.asgi import SCREENED_KEY, Receive, Scope, Send, route_path

from .web_setup import PAGE, guard_from_environment


async def site(scope: Scope, receive: Receive, send: Send) -> None:
    if scope["type"] == "lifespan":
        await receive()  # lifespan.startup: nothing to prepare
        await send({"type": "lifespan.startup.complete"})
        await receive()  # lifespan.shutdown
        await send({"type": "lifespan.shutdown.complete"})
        return
    path = route_path(scope)  # without the root path the site is served under
    if path == "/":
        body, content_type, status = PAGE, b"text/html; charset=utf-8", 200
    elif path == "/api/hello":
        screened = scope[SCREENED_KEY]
        body = json.dumps({"hello": screened.address, "worker": os.getpid()}).encode()
        content_type, status = b"application/json", 200
    else:
        body, content_type, status = b'{"error":"not_found"}', b"application/json", 404
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [(b"content-type", content_type), (b"content-length", str(len(body)).encode())],
        }
    )
    await send({"type": "http.response.body", "body": body})


app = ASGIGuard(site, guard_from_environment())
