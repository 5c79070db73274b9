"""The ASGI example as written, its decision record in plain text."""

import plain_log  # noqa: F401  (the decision record as plain text)

from examples.web_asgi import app  # noqa: F401
