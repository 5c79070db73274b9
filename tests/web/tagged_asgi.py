"""The ASGI example as written, each response naming the worker process that
gave it, its decision record written as JSON lines."""

import os

import json_log  # noqa: F401  (the decision record as JSON lines)

from examples.web_asgi import app as example


async def app(scope, receive, send):
    async def tagged(message):
        if message["type"] == "http.response.start":
            message = {**message, "headers": [*message["headers"], (b"x-worker", str(os.getpid()).encode())]}
        await send(message)

    await example(scope, receive, tagged)
