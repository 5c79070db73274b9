"""examples/wsgi_middleware.py, driven through a real wsgiref server on loopback."""

import http.client
import importlib.util
import json
import socket
import threading
import time
from pathlib import Path
from wsgiref.simple_server import WSGIRequestHandler, make_server

import pytest

import quelvar_core_rs as core

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "wsgi_middleware.py"

TELEMETRY = {
    "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 4},
    "mouse_movements": [{"x": 10 * i, "y": 3 * i * i, "t": 16 * i} for i in range(40)],
    "keystrokes": [{"t": 0}, {"down": 110}, {"time": 250.5}],
    "clicks": [{}, {}],
    "scrolls": [{}],
}


def load_example():
    module_location = importlib.util.spec_from_file_location("wsgi_middleware", EXAMPLE)
    module = importlib.util.module_from_spec(module_location)
    module_location.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    # The middleware needs the real state engine and feature extraction.
    try:
        core.get_state_engine_stats_rs()
        core.extract_features_rs({})
    except NotImplementedError as missing:
        pytest.skip(f"body not built yet: {missing}")
    return load_example()


class QuietHandler(WSGIRequestHandler):
    def log_message(self, format, *args):
        pass


class Server:
    """A wsgiref server on a free loopback port, in a background thread."""

    def __init__(self, app):
        self.httpd = make_server("127.0.0.1", 0, app, handler_class=QuietHandler)
        self.port = self.httpd.server_port
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def request(self, method="GET", path="/", *, token=None, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            all_headers = dict(headers or {})
            if token is not None:
                all_headers["X-Request-Token"] = token
            connection.request(method, path, body=body, headers=all_headers)
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(10)


@pytest.fixture
def serve(example):
    core.clear_state_engine_rs()
    servers = []

    def start(app):
        server = Server(app)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()
    core.clear_state_engine_rs()


@pytest.fixture
def recorder():
    """An application that records what it was given and answers 200."""
    calls = []

    def app(environ, start_response):
        length = int(environ.get("CONTENT_LENGTH") or 0)
        calls.append({"features": environ.get("quelvar.features"),
                      "body": environ["wsgi.input"].read(length)})
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "2")])
        return [b"ok"]

    app.calls = calls
    return app


@pytest.fixture
def server(example, serve, recorder):
    return serve(example.ScreeningMiddleware(recorder, max_body=64 * 1024))


def post_json(server, token, body, *, path="/telemetry", content_type="application/json"):
    return server.request("POST", path, token=token, body=body, headers={"Content-Type": content_type})


def test_token_is_accepted_once(server, recorder):
    assert server.request(token="t-1")[0] == 200
    assert server.request(token="t-1") == (409, b"replayed request token\n")
    assert server.request(token="t-2")[0] == 200
    assert server.request()[0] == 400
    assert len(recorder.calls) == 2


@pytest.mark.parametrize("ban", [
    lambda: core.ban_ip_rs("127.0.0.1", 300),
    lambda: core.hydrate_bans_rs([("127.0.0.1", int(time.time()) + 300)]),
], ids=["ban_ip_rs", "hydrate_bans_rs"])
def test_banned_address_is_refused_before_its_token_is_spent(server, recorder, ban):
    ban()
    assert server.request(token="t-ban") == (403, b"address is banned\n")
    core.unban_ip_rs("127.0.0.1")
    # The refused request did not use up its token.
    assert server.request(token="t-ban")[0] == 200
    assert len(recorder.calls) == 1


def test_posted_telemetry_gets_its_features(server, recorder):
    body = json.dumps(TELEMETRY).encode()
    assert post_json(server, "t-post", body, content_type="application/json; charset=utf-8")[0] == 200
    [call] = recorder.calls
    assert call["features"] == core.extract_features_rs(TELEMETRY)
    assert call["features"]["mouse_points"] == 40
    # The application still reads the body it was sent.
    assert call["body"] == body


@pytest.mark.parametrize("method, path, content_type", [
    ("POST", "/telemetry", "text/plain"),
    ("POST", "/elsewhere", "application/json"),
    ("PUT", "/telemetry", "application/json"),
])
def test_other_requests_pass_without_features(server, recorder, method, path, content_type):
    body = json.dumps(TELEMETRY).encode()
    status, _ = server.request(method, path, token=f"t-{method}-{path}", body=body,
                               headers={"Content-Type": content_type})
    assert status == 200
    assert recorder.calls == [{"features": None, "body": body}]


# Bodies refused unread are kept small: sent in one piece, they are read into
# the server's buffer with the headers, so closing the connection cannot reset it
# before the client has read the answer.
@pytest.mark.parametrize("body, max_body, status", [
    (b"{not json", 64 * 1024, 400),
    (b"\xff\xfe\xfa", 64 * 1024, 400),
    (b"[" * 30_000 + b"]" * 30_000, 64 * 1024, 400),
    (json.dumps({"pad": "x" * 200}).encode(), 200, 413),
])
def test_bad_telemetry_is_refused(example, serve, recorder, body, max_body, status):
    server = serve(example.ScreeningMiddleware(recorder, max_body=max_body))
    assert post_json(server, "t-bad", body)[0] == status
    assert recorder.calls == []
    # The refusal spent the token all the same.
    assert post_json(server, "t-bad", b"{}")[0] == 409


def test_telemetry_without_length_is_refused(server, recorder):
    request = (b"POST /telemetry HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Request-Token: t-chunked\r\n"
               b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
               b"2\r\n{}\r\n0\r\n\r\n")
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as connection:
        connection.sendall(request)
        answer = b"".join(iter(lambda: connection.recv(4096), b""))
    assert answer.startswith(b"HTTP/1.0 411 ")
    assert recorder.calls == []


def test_demo_app_bans_a_client_that_reports_webdriver(example, serve):
    server = serve(example.ScreeningMiddleware(example.demo_app))
    human = json.dumps(TELEMETRY).encode()
    status, answer = post_json(server, "t-human", human)
    assert status == 200
    assert json.loads(answer)["features"] == core.extract_features_rs(TELEMETRY)
    assert not core.is_ip_banned_rs("127.0.0.1")

    robot = json.dumps({**TELEMETRY, "browser": {"webdriver": True}}).encode()
    status, answer = post_json(server, "t-robot", robot)
    assert status == 200 and json.loads(answer)["banned_for_sec"] == 600
    assert core.is_ip_banned_rs("127.0.0.1")
    assert server.request(token="t-after")[0] == 403
