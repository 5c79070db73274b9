"""A WSGI service behind the guard, with the Redis store; serve it as it is:

    gunicorn -w 4 examples.web_wsgi:app

then open http://127.0.0.1:8000/ (configuration: examples/web_setup.py).

The page fetches a telemetry token from /quelvar/token, posts its telemetry
with it to /quelvar/telemetry (scored by examples/web_scoring.py), which
answers an allowed post with guarded tokens; it calls the guarded /api/hello
with one of them, and replays that call to show the refusal.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING

from quelvar_guard import WSGIGuard
from quelvar_guard.wsgi import SCREENED_KEY

from .web_setup import PAGE, guard_from_environment

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIEnvironment


def site(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    path = environ.get("PATH_INFO")
    if path == "/":
        body, content_type, status = PAGE, "text/html; charset=utf-8", "200 OK"
    elif path == "/api/hello":
        screened = environ[SCREENED_KEY]
        body = json.dumps({"hello": screened.address, "worker": os.getpid()}).encode()
        content_type, status = "application/json", "200 OK"
    else:
        body, content_type, status = b'{"error":"not_found"}', "application/json", "404 Not Found"
    start_response(status, [("Content-Type", content_type), ("Content-Length", str(len(body)))])
    return [body]


app = WSGIGuard(site, guard_from_environment())
