"""The Lua scripts beside this module: read once, registered per client.

A registered script runs by its digest (EVALSHA) and is loaded into a server
only when that server does not know it yet.
"""

from __future__ import annotations

from importlib.resources import files
from typing import Any

SOURCES = {
    name: (files(__package__) / f"{name}.lua").read_text(encoding="utf-8")
    for name in ("ban_write", "ban_head", "ban_read", "budget", "admit", "escalate")
}


class Scripts:
    """The scripts registered with one client (a server or a cluster)."""

    def __init__(self, client: Any) -> None:
        self.ban_write = client.register_script(SOURCES["ban_write"])
        self.ban_head = client.register_script(SOURCES["ban_head"])
        self.ban_read = client.register_script(SOURCES["ban_read"])
        self.budget = client.register_script(SOURCES["budget"])
        self.admit = client.register_script(SOURCES["admit"])
        self.escalate = client.register_script(SOURCES["escalate"])
