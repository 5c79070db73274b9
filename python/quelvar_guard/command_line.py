"""The commands of `python -m quelvar_guard` (see its __main__): each reads
or changes what the service's store holds, with the service's own settings,
and gives an exit code, its facts (the JSON output) and its lines of text."""

from __future__ import annotations

import argparse
import json
import logging
import os
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .addresses import normalise_address
from .config import ConfigError, Settings, unknown_variables
from .metrics import METRICS
from .record import redacted_url

if TYPE_CHECKING:
    from .redis_view import RedisView

OK, PROBLEM, USAGE = 0, 1, 2
DEFAULT_TIMEOUT = 2.0
SOURCE = "command line"


# A command's exit code, its facts (the JSON output) and its lines of text.
Command = Callable[[argparse.Namespace], tuple[int, dict[str, Any], list[str]]]


class Problem(Exception):
    """Ends the command with exit code 1 and this message."""


def service_settings(store_only: bool = True) -> Settings:
    """The service's settings; what a command needs of them only (the store's,
    unless it issues tokens) must be right."""
    try:
        return Settings.from_environment(store_only=store_only)
    except ConfigError as error:
        raise Problem("; ".join(error.problems)) from None


def _redis_settings(settings: Settings) -> str:
    if settings.redis_url is None:
        raise Problem(
            "QUELVAR_REDIS_URL is not set: each process keeps its own tables, which no other process can read or change"
        )
    return settings.redis_url


def _view(settings: Settings, timeout: float) -> RedisView:
    from .redis_view import RedisView

    return RedisView(
        _redis_settings(settings), cluster=settings.redis_cluster, prefix=settings.redis_prefix, timeout=timeout
    )


def _reach(settings: Settings, timeout: float) -> None:
    """Problem, in one line that says what to change, unless the server answers."""
    from .redis_view import Unreachable

    view = _view(settings, timeout)
    try:
        view.reach()
    except Unreachable as error:
        raise Problem(f"Redis at {view.name} {error}") from None


def strict_store(settings: Settings, timeout: float) -> Any:
    """A strict RedisStore on the service's keys: a write that cannot be made fails here."""
    from .redis_store import RedisStore

    _reach(settings, timeout)
    store = RedisStore(**{**settings.arguments("RedisStore"), "on_unavailable": "strict", "timeout": timeout})
    if not store.stats()["connected"]:  # the first call connects, or waits a few timeouts for it
        store.close()
        raise Problem(f"Redis at {redacted_url(store.url)} is unreachable")
    return store


def probe(settings: Settings, timeout: float, fleet: bool = False) -> tuple[dict[str, Any], list[str], list[str]]:
    """What the Redis server says of itself: facts, problems, warnings; with
    `fleet`, also the fleet's counts and every worker's heartbeat."""
    import redis

    from .redis_view import Unreachable

    url = _redis_settings(settings)
    facts: dict[str, Any] = {
        "store": redacted_url(url),
        "cluster": settings.redis_cluster,
        "prefix": settings.redis_prefix,
        "reachable": False,
    }
    problems: list[str] = []
    warnings: list[str] = []
    view = _view(settings, timeout)
    try:
        view.connect()
    except Unreachable as error:
        problems.append(f"Redis at {facts['store']} {error}")
        return facts, problems, warnings
    try:
        facts["reachable"] = True
        if not settings.redis_cluster and view.is_cluster_node():
            problems.append(f"Redis at {facts['store']} is a cluster node: set QUELVAR_REDIS_CLUSTER=1")
            return facts, problems, warnings
        servers = []
        for server in view.servers():
            servers.append(
                {
                    "server": server.name,
                    "maxmemory_policy": server.eviction,
                    "appendonly": server.appendonly,
                    "persistence": server.persistence,
                }
            )
            if server.eviction_problem is not None:
                problems.append(server.eviction_problem)
            if not server.appendonly:
                warnings.append(f"Redis at {server.name}: {server.persistence}")
        facts["servers"] = servers
        facts["active_bans"] = view.active_bans()
        if fleet:
            facts["fleet"] = view.fleet_counts()
            facts["workers"] = view.workers()
    except redis.RedisError as error:
        problems.append(f"Redis at {facts['store']} failed a check: {error}")
    finally:
        view.close()
    return facts, problems, warnings


# -- the commands -----------------------------------------------------------------


def cmd_status(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    settings = service_settings()
    if settings.redis_url is None:
        return OK, {"store": "local", "note": "no QUELVAR_REDIS_URL: each process keeps its own tables"}, []
    facts, problems, warnings = probe(settings, args.timeout, fleet=True)
    facts.update(problems=problems, warnings=warnings)
    lines = [f"Redis at {facts['store']}: " + ("reachable" if facts["reachable"] else "not usable")]
    lines += [
        f"{server['server']}: maxmemory-policy {server['maxmemory_policy']}; {server['persistence']}"
        for server in facts.get("servers", ())
    ]
    if "active_bans" in facts:
        lines.append(f"active bans: {facts['active_bans']}")
    for window, counts in facts.get("fleet", {}).items():
        refusals = ", ".join(f"{reason} {count}" for reason, count in counts["refusals"].items()) or "none"
        lines.append(f"fleet, last {window}: {counts['bans']} bans, {counts['unbans']} unbans; refusals: {refusals}")
    if "workers" in facts:
        workers = facts["workers"]
        unwell = [worker for worker in workers if worker["state"] != "connected"]
        facts["degraded_workers"] = len(unwell)
        lines.append(f"workers: {len(workers)} ({len(unwell)} degraded)")
        lines += [
            f"  {worker['host']} pid {worker['pid']}: {worker['state']}, {worker['pending_writes']} pending "
            f"writes, {worker['local_bans']} bans held, seen {worker['age']:g} s ago"
            for worker in workers
        ]
        # A worker whose ban subscription is lost still spends tokens in
        # Redis; only its bans arrive late (read from the log at each retry).
        cut_off = [worker for worker in unwell if worker["state"] != "subscription_lost"]
        late = [worker for worker in unwell if worker["state"] == "subscription_lost"]
        if cut_off:
            named = ", ".join(f"{worker['host']} pid {worker['pid']} ({worker['state']})" for worker in cut_off)
            problems.append(f"{len(cut_off)} of {len(workers)} workers cannot use Redis: {named}")
        if late:
            named = ", ".join(f"{worker['host']} pid {worker['pid']}" for worker in late)
            problems.append(
                f"{len(late)} of {len(workers)} workers lost their ban subscription (tokens still spent in "
                f"Redis, bans seen late): {named}"
            )
        if not workers and facts.get("reachable"):
            problems.append(
                f"no worker has a heartbeat under the prefix {settings.redis_prefix!r}: none is running on "
                "this Redis, or they run with another QUELVAR_REDIS_PREFIX (or database)"
            )
    return (PROBLEM if problems else OK), facts, lines + problems + warnings


def cmd_config_check(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    unknown = unknown_variables()
    try:
        settings = Settings.from_environment()
    except ConfigError as error:
        return PROBLEM, {"problems": error.problems, "warnings": unknown}, error.problems + unknown
    problems: list[str] = []
    warnings: list[str] = []
    facts: dict[str, Any] = {}
    store = settings.store()  # no connection yet: a RedisStore connects on first use
    try:
        settings.guard(store)  # whatever the settings missed, the guard still refuses
    except (ValueError, TypeError) as error:
        problems.append(str(error))
    finally:
        store.close()
    if settings.redis_url is not None:
        facts, redis_problems, warnings = probe(settings, args.timeout)
        problems += redis_problems
    warnings += unknown
    facts.update(problems=problems, warnings=warnings, settings=settings.shown())
    return (PROBLEM if problems else OK), facts, problems + warnings + ([] if problems else ["configuration fine"])


def address_argument(text: str) -> str:
    address = normalise_address(text)
    if address is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not an IP address")
    return address


def cmd_bans_list(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    from .redis_view import Unreachable

    settings = service_settings()
    view = _view(settings, args.timeout)
    try:
        now, expiries = view.bans()
    except Unreachable as error:
        raise Problem(f"Redis at {view.name} {error}") from None
    bans = [
        {"address": address, "seconds_left": max(1, int(expiry - now))}
        for address, expiry in sorted(expiries.items(), key=lambda item: item[1])
    ]
    return OK, {"bans": bans}, [f"{ban['address']}\t{ban['seconds_left']} s" for ban in bans]


def cmd_bans_check(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    store = strict_store(service_settings(), args.timeout)
    try:
        left = store.ban_remaining(args.address)
    finally:
        store.close()
    facts = {"address": args.address, "banned": left is not None, "seconds_left": left}
    if left is None:
        return OK, facts, [f"{args.address} is not banned"]
    return PROBLEM, facts, [f"{args.address} is banned for {left} s more"]


def _count_in_service_metrics(banned: bool) -> None:
    """With the service's PROMETHEUS_MULTIPROC_DIR (this host's), a ban or
    unban made here joins the service's metrics under its source. Counted
    after the store is closed, so that this short-lived process leaves no
    store gauge behind in that directory."""
    if not os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
        return
    try:
        METRICS.enable()
        METRICS.ban_change(banned, SOURCE)
    except (ImportError, OSError) as error:
        logging.getLogger("quelvar_guard").warning("quelvar_guard: not counted in the service's metrics: %s", error)


def _note(store: Any, settings: Settings, address: str, note: dict[str, Any]) -> None:
    """Keeps an operator's change among the address's last decisions (see explain)."""
    from .addresses import BanScope
    from .networks import Networks, parse_budgets

    scope = BanScope(ipv4_prefix=settings.ipv4_prefix, ipv6_prefix=settings.ipv6_prefix)
    plan = Networks(scope, parse_budgets(settings.network_budgets), None, 1).plan(address)
    text = json.dumps({"at": int(time.time()), **note})
    store.escalate([], 0.0, settings.level_half_life, None, settings.offence_window, plan.notes, text)


def cmd_bans_add(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    settings = service_settings()
    # One default for a ban's length: the service's own (QUELVAR_BAN_SECONDS).
    seconds = args.seconds if args.seconds is not None else settings.ban_seconds
    store = strict_store(settings, args.timeout)
    try:
        store.ban(args.address, seconds, source=SOURCE)
        _note(store, settings, args.address, {"decision": "ban", "seconds": seconds, "source": SOURCE})
    finally:
        store.close()
    _count_in_service_metrics(True)
    return OK, {"address": args.address, "banned": True, "seconds": seconds}, [f"{args.address} banned for {seconds} s"]


def cmd_bans_remove(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    settings = service_settings()
    store = strict_store(settings, args.timeout)
    try:
        store.unban(args.address, source=SOURCE)
        _note(store, settings, args.address, {"decision": "unban", "source": SOURCE})
    finally:
        store.close()
    _count_in_service_metrics(False)
    return OK, {"address": args.address, "banned": False}, [f"{args.address} unbanned"]


def cmd_tokens_issue(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    settings = service_settings(store_only=False)
    store = settings.store()  # issuing needs the keys only: the store is never used
    try:
        payload = dict(settings.guard(store).telemetry_token(args.address).payload)
    finally:
        store.close()
    return OK, payload, [str(payload["token"])]
