"""Shadow mode: a refusal the guard would have made, logged and counted as
would-have, and what is served instead."""

from __future__ import annotations

from dataclasses import replace

from .metrics import METRICS
from .record import RECORD
from .vocabulary import Event


def shadowed(would: Event) -> None:
    """A refusal the guard lets through: logged and counted as would-have."""
    RECORD.request(replace(would, shadow=True))
    if METRICS.on:
        METRICS.shadow(str(would.code))
