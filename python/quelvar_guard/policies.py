"""Route policies: guarded paths that need other settings than the rest.

A search endpoint may want clearances of a few requests that live ten
seconds and cost more work; a health check of a partner none at all. Each
policy names a path prefix and the settings it changes; the rest are the
guard's own. Its guarded tokens carry its number (tokens.py), so a clearance
earned under one policy opens only the paths of that policy, and a page asks
for a telemetry token of a policy by naming the path it is for in the
`X-Quelvar-Route` header of the token request.

As settings, a JSON list: QUELVAR_ROUTE_POLICIES='[{"prefix": "/api/search",
"requests_per_clearance": 3, "clearance_seconds": 10, "work_bits": 19},
{"prefix": "/api/status", "exempt": true}]'. The bounds of each value are the
guard's own setting of that name (config.py checks them at start).
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from dataclasses import dataclass, fields
from typing import Any

__all__ = ["ROUTE_HEADER", "RoutePolicy", "parse_policies"]

ROUTE_HEADER = "X-Quelvar-Route"


def path_start(prefix: str) -> str:
    """What a path under a guarded prefix starts with: "/api/" covers
    "/api/x", "/login" covers "/login" itself and "/login/..."."""
    return prefix if prefix.endswith("/") else prefix + "/"


def covers(prefix: str, path: str) -> bool:
    return path == prefix or path.startswith(path_start(prefix))


@dataclass(frozen=True)
class RoutePolicy:
    """The settings of the guarded paths under `prefix` ("/api/search"
    covers "/api/search" and "/api/search/..."); None keeps the guard's."""

    prefix: str
    exempt: bool = False
    requests_per_clearance: int | None = None
    clearance_seconds: float | None = None
    work_bits: int | None = None
    network_budgets: str | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.prefix, str) or not self.prefix.startswith("/"):
            raise ValueError(f"a route policy's prefix is a path starting with /, not {self.prefix!r}")
        if not isinstance(self.exempt, bool):
            raise ValueError(f"{self.prefix}: exempt is true or false")

    def covers(self, path: str) -> bool:
        return covers(self.prefix, path)


# The settings a policy may change, by name: the guard's settings of the same names.
POLICY_SETTINGS = tuple(field.name for field in fields(RoutePolicy) if field.name not in ("prefix", "exempt"))


def parse_policies(text: str | Iterable[Any]) -> tuple[RoutePolicy, ...]:
    """Policies from their JSON text (or a list of mappings or RoutePolicy);
    ValueError names what is wrong."""
    if isinstance(text, str):
        if not text.strip():
            return ()
        try:
            items = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"route policies are not JSON: {error}") from None
    else:
        items = list(text)
    if not isinstance(items, list):
        raise ValueError("route policies are a JSON list of objects")
    policies = []
    for item in items:
        if isinstance(item, RoutePolicy):
            policies.append(item)
            continue
        if not isinstance(item, dict):
            raise ValueError(f"a route policy is an object, not {item!r}")
        unknown = set(item) - {field.name for field in fields(RoutePolicy)}
        if unknown:
            raise ValueError(f"a route policy has no setting {', '.join(sorted(unknown))}")
        policies.append(RoutePolicy(**item))
    prefixes = [policy.prefix for policy in policies]
    if len(set(prefixes)) != len(prefixes):
        raise ValueError("two route policies have one prefix")
    if len(policies) > 255:
        raise ValueError("at most 255 route policies")
    return tuple(policies)
