"""The WSGI example as written, its decision record in plain text, and a
route of the application's own, /upload, that reads the body it is sent."""

import plain_log  # noqa: F401  (the decision record as plain text)

from examples.web_wsgi import app as example


def app(environ, start_response):
    if environ.get("PATH_INFO") == "/upload":
        size = len(environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0)))
        start_response("200 OK", [("Content-Type", "text/plain")])
        return [str(size).encode()]
    return example(environ, start_response)
