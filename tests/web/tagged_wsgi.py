"""The WSGI example as written, each response naming the worker process that
gave it, its decision record written as JSON lines."""

import os

import json_log  # noqa: F401  (the decision record as JSON lines)

from examples.web_wsgi import app as example


def app(environ, start_response):
    def tagged(status, headers, exc_info=None):
        return start_response(status, [*headers, ("X-Worker", str(os.getpid()))], exc_info)

    return example(environ, tagged)
