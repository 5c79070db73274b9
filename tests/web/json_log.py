"""The decision record as JSON lines on standard error, each event's fields
as they are, in every worker of the servers under test."""

import json
import logging

STANDARD = set(vars(logging.makeLogRecord({}))) | {"message"}


class JSONLines(logging.Formatter):
    def format(self, record):
        line = {"level": record.levelname, "message": record.getMessage()}
        line.update((name, value) for name, value in vars(record).items() if name not in STANDARD)
        return json.dumps(line, default=str)


handler = logging.StreamHandler()
handler.setFormatter(JSONLines())
logger = logging.getLogger("quelvar_guard")
logger.addHandler(handler)
logger.setLevel(logging.INFO)
logger.propagate = False
