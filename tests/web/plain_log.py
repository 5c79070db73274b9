"""The decision record as plain text lines on standard error, with the logging
module's own formatter, as a service that never asked for JSON writes it."""

import logging

handler = logging.StreamHandler()
handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
logger = logging.getLogger("quelvar_guard")
logger.addHandler(handler)
logger.setLevel(logging.INFO)
logger.propagate = False
