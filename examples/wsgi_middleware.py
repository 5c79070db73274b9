"""WSGI middleware that screens requests with quelvar_core_rs (standard library only).

Every request passes three checks before the wrapped application sees it:

1. A client address that is banned gets 403 Forbidden.
2. The one-time token in the X-Request-Token header must be fresh: a missing
   token gets 400 Bad Request, a replayed one 409 Conflict.
3. A POST of JSON to the telemetry path is decoded and its 24 features are put
   in the WSGI environment under "quelvar.features"; the body is handed on
   unchanged, so the application can still read it. A body that is not JSON
   gets 400, one larger than the limit 413, one without a length 411.

The ban table and the replay cache live in the process: run one screening
process, or give each worker process its own bans from a shared store with
hydrate_bans_rs (see the README).

Run `python examples/wsgi_middleware.py` to serve a small demo application on
127.0.0.1:8000, then for example:

    curl -H 'X-Request-Token: 1' -H 'Content-Type: application/json' \\
         -d '{"browser": {"webdriver": true}}' http://127.0.0.1:8000/telemetry
"""

from __future__ import annotations

import argparse
import io
import json
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING
from wsgiref.simple_server import make_server
from wsgiref.types import StartResponse, WSGIApplication, WSGIEnvironment

import quelvar_core_rs as core

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict

FEATURES_KEY = "quelvar.features"
TOKEN_HEADER = "X-Request-Token"
DEFAULT_MAX_BODY = 1 << 20


def remote_addr(environ: WSGIEnvironment) -> str:
    """The peer address of the connection.

    Behind a reverse proxy this is the proxy's address; pass a function that
    reads the header your proxy sets instead, and trust it only from the proxy.
    """
    return str(environ.get("REMOTE_ADDR", ""))


class RequestRefused(Exception):
    def __init__(self, status: str, reason: str) -> None:
        super().__init__(reason)
        self.status = status
        self.reason = reason


class ScreeningMiddleware:
    """Refuses banned addresses and replayed tokens; attaches telemetry features."""

    def __init__(
        self,
        app: WSGIApplication,
        *,
        telemetry_path: str = "/telemetry",
        max_body: int = DEFAULT_MAX_BODY,
        client_address: Callable[[WSGIEnvironment], str] = remote_addr,
    ) -> None:
        self.app = app
        self.telemetry_path = telemetry_path
        self.max_body = max_body
        self.client_address = client_address
        self.token_key = "HTTP_" + TOKEN_HEADER.upper().replace("-", "_")

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        try:
            self.screen(environ)
        except RequestRefused as refused:
            body = (refused.reason + "\n").encode()
            start_response(refused.status, [
                ("Content-Type", "text/plain; charset=utf-8"),
                ("Content-Length", str(len(body))),
            ])
            return [body]
        return self.app(environ, start_response)

    def screen(self, environ: WSGIEnvironment) -> None:
        # The cheap lookups come first, so a refused client costs no body read.
        if core.is_ip_banned_rs(self.client_address(environ)):
            raise RequestRefused("403 Forbidden", "address is banned")
        token = environ.get(self.token_key)
        if not token:
            raise RequestRefused("400 Bad Request", f"missing {TOKEN_HEADER} header")
        if not core.consume_nonce_rs(str(token)):
            raise RequestRefused("409 Conflict", "replayed request token")
        if self.is_telemetry_post(environ):
            environ[FEATURES_KEY] = self.telemetry_features(environ)

    def is_telemetry_post(self, environ: WSGIEnvironment) -> bool:
        content_type = str(environ.get("CONTENT_TYPE", "")).split(";")[0].strip().lower()
        return (environ.get("REQUEST_METHOD") == "POST"
                and environ.get("PATH_INFO") == self.telemetry_path
                and content_type == "application/json")

    def telemetry_features(self, environ: WSGIEnvironment) -> FeatureDict:
        body = self.read_body(environ)
        try:
            # Parsed natively, without building Python objects; the result is
            # extract_features_rs(json.loads(body)), and too deep a nesting is
            # a ValueError too.
            return core.extract_features_json_rs(body)
        except ValueError:
            raise RequestRefused("400 Bad Request", "telemetry is not valid JSON") from None

    def read_body(self, environ: WSGIEnvironment) -> bytes:
        length_text = str(environ.get("CONTENT_LENGTH") or "").strip()
        if not length_text:
            raise RequestRefused("411 Length Required", "telemetry needs a Content-Length")
        try:
            length = int(length_text)
        except ValueError:
            raise RequestRefused("400 Bad Request", "invalid Content-Length") from None
        if length < 0:
            raise RequestRefused("400 Bad Request", "invalid Content-Length")
        if length > self.max_body:
            raise RequestRefused("413 Content Too Large", f"telemetry is larger than {self.max_body} bytes")
        body: bytes = environ["wsgi.input"].read(length)
        if len(body) != length:
            raise RequestRefused("400 Bad Request", "telemetry body ended early")
        # The application reads the same body again.
        environ["wsgi.input"] = io.BytesIO(body)
        return body


def demo_app(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
    """Answers with the features it was given; bans a client that admits to webdriver."""
    features: FeatureDict | None = environ.get(FEATURES_KEY)
    answer: dict[str, object] = {"path": environ.get("PATH_INFO"), "features": features}
    if features is not None and features["webdriver"]:
        core.ban_ip_rs(remote_addr(environ), 600)
        answer["banned_for_sec"] = 600
    body = json.dumps(answer).encode()
    start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(body)))])
    return [body]


def main() -> None:
    parser = argparse.ArgumentParser(description="Serve a demo application behind the screening middleware.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    args = parser.parse_args()
    with make_server(args.host, args.port, ScreeningMiddleware(demo_app)) as server:
        print(f"serving on http://{args.host}:{server.server_port}/ (Ctrl-C stops)")
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
