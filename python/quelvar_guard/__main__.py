"""python -m quelvar_guard: look at and change what the service's store holds,
with the service's own configuration (the QUELVAR_* variables, see
quelvar_guard.config).

    status                    the store: reachable, eviction policy, persistence, active bans,
                              the fleet's counts and every worker's heartbeat
    bans list                 every active ban, soonest to expire first
    bans check ADDRESS        exit 1 if the address is banned, as the guard would find it
    bans add ADDRESS [--seconds N]  N defaults to the service's QUELVAR_BAN_SECONDS (600)
    bans remove ADDRESS
    tokens issue [--address A]  a telemetry token, as the token endpoint gives it
    explain ADDRESS           what the guard would do now for that client, and why: its
                              ban, an allow list, a crawler's check, its budgets per
                              network, its suspicion level, the work a token would ask,
                              and its last scored decisions (exit 1 if it would be refused)
    config check              every setting, then the Redis server: reachable, the
                              database there, cluster or not, no eviction

Every command takes --json (one JSON object on standard output), --timeout
SECONDS (each network step, default 2) and -v (the store's log and the
decision record, which records bans and unbans made here, on standard error). The report goes to
standard output, each problem found to standard error. Exit codes: 0 fine, 1 a problem found
(unreachable, misconfigured, a worker degraded, no worker under the prefix, banned), 2 bad usage. With the
service's PROMETHEUS_MULTIPROC_DIR (on the same host), bans and unbans made here are counted in
the service's metrics under the source "command line".

Scoring sessions and calibrating a model are `python -m quelvar_guard.scoring`.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
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


def _settings(store_only: bool = True) -> Settings:
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


def _store(settings: Settings, timeout: float) -> Any:
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
    settings = _settings()
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


def _address(text: str) -> str:
    address = normalise_address(text)
    if address is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not an IP address")
    return address


def cmd_bans_list(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    from .redis_view import Unreachable

    settings = _settings()
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
    store = _store(_settings(), args.timeout)
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
    settings = _settings()
    # One default for a ban's length: the service's own (QUELVAR_BAN_SECONDS).
    seconds = args.seconds if args.seconds is not None else settings.ban_seconds
    store = _store(settings, args.timeout)
    try:
        store.ban(args.address, seconds, source=SOURCE)
        _note(store, settings, args.address, {"decision": "ban", "seconds": seconds, "source": SOURCE})
    finally:
        store.close()
    _count_in_service_metrics(True)
    return OK, {"address": args.address, "banned": True, "seconds": seconds}, [f"{args.address} banned for {seconds} s"]


def cmd_bans_remove(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    settings = _settings()
    store = _store(settings, args.timeout)
    try:
        store.unban(args.address, source=SOURCE)
        _note(store, settings, args.address, {"decision": "unban", "source": SOURCE})
    finally:
        store.close()
    _count_in_service_metrics(False)
    return OK, {"address": args.address, "banned": False}, [f"{args.address} unbanned"]


def cmd_tokens_issue(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    settings = _settings(store_only=False)
    store = settings.store()  # issuing needs the keys only: the store is never used
    try:
        payload = dict(settings.guard(store).telemetry_token(args.address).payload)
    finally:
        store.close()
    return OK, payload, [str(payload["token"])]


def cmd_explain(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    from .addresses import BanScope
    from .allow import KNOWN_CRAWLERS, AllowList
    from .networks import Networks, overdraft_bits, overdraft_limit, parse_budgets

    settings = _settings()
    address = args.address
    scope = BanScope(ipv4_prefix=settings.ipv4_prefix, ipv6_prefix=settings.ipv6_prefix)
    plan = Networks(scope, parse_budgets(settings.network_budgets), settings.mint_rate, settings.mint_burst).plan(
        address
    )
    limit = overdraft_limit(settings.max_work_bits - settings.work_bits)
    half_life = settings.level_half_life
    store = _store(settings, args.timeout)
    try:
        left = store.ban_remaining(address)
        admission = store.admit(plan.buckets, plan.levels, limit, half_life, look=True)
        budgets = []
        for key, rate, burst in plan.buckets:
            owed = store.admit([(key, rate, burst)], [], limit, half_life, look=True).owed
            in_use = max(0.0, owed * burst - 1)
            budgets.append(
                {"network": key.rpartition("}")[2], "rate": rate, "burst": burst, "in_use": round(in_use, 2)}
            )
        crawlers = {c.name: store.recall(f"crawler:{c.name}:{address}") for c in KNOWN_CRAWLERS}
        notes = [json.loads(note) for note in store.notes(plan.notes)]
    finally:
        store.close()
    allowed = bool(settings.allow_networks or settings.allow_file) and AllowList(
        settings.allow_networks, settings.allow_file
    ).allowed(address)
    confirmed = [name for name, held in crawlers.items() if held == "1"]
    refuted = [name for name, held in crawlers.items() if held == "0"]
    bits = min(settings.work_bits + int(admission.level) + overdraft_bits(admission.owed), settings.max_work_bits)
    if allowed:
        verdict = "let through unscreened: on the allow list"
    elif left is not None:
        verdict = f"refused: banned for {left} s more"
    elif admission.wait > 0:
        verdict = f"refused at the token endpoint (429) for {max(1, round(admission.wait))} s: past its budgets"
    else:
        verdict = f"screened: a telemetry token asks {bits} bits of work"
    facts: dict[str, Any] = {
        "address": address,
        "ban_key": scope.key(address),
        "verdict": verdict,
        "banned": left is not None,
        "ban_seconds_left": left,
        "allow_listed": allowed,
        "crawler_confirmed": confirmed,
        "crawler_refused": refuted,
        "level": round(admission.level, 3),
        "work_bits": bits,
        "budgets": budgets,
        "recent": notes,
    }
    lines = [f"{address}: {verdict}", f"suspicion level {facts['level']:g} (halves every {half_life:g} s)"]
    lines += [f"budget {b['network']}: {b['in_use']:g} of {b['burst']} in use, {b['rate']:g}/s" for b in budgets]
    lines += [f"crawler {name}: confirmed by its DNS" for name in confirmed]
    lines += [f"crawler {name}: claimed, refused by its DNS" for name in refuted]
    lines += [
        f"{time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(note.get('at', 0)))} {note.get('decision')} "
        f"{','.join(note.get('reasons', []))} {note.get('path', '')}"
        for note in notes
    ]
    refused = not allowed and (left is not None or admission.wait > 0)
    return PROBLEM if refused else OK, facts, lines


# -- the parser ---------------------------------------------------------------------


def _seconds(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number of seconds")
    return int(text)


def _timeout(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < 3600:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds")
    return value


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="one JSON object on standard output")
    common.add_argument("--timeout", type=_timeout, default=DEFAULT_TIMEOUT, help="seconds per network step")
    common.add_argument(
        "-v", "--verbose", action="store_true", help="the store's log and the decision record on standard error"
    )
    top = argparse.ArgumentParser(
        prog="python -m quelvar_guard",
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = top.add_subparsers(dest="command", required=True)
    commands.add_parser("status", parents=[common], help="the store and its server").set_defaults(run=cmd_status)

    bans = commands.add_parser("bans", help="list, check, add or remove bans").add_subparsers(
        dest="action", required=True
    )
    bans.add_parser("list", parents=[common]).set_defaults(run=cmd_bans_list)
    for name, run in (("check", cmd_bans_check), ("add", cmd_bans_add), ("remove", cmd_bans_remove)):
        action = bans.add_parser(name, parents=[common])
        action.add_argument("address", type=_address)
        if name == "add":
            action.add_argument(
                "--seconds",
                type=_seconds,
                default=None,
                help="how long; default: the service's QUELVAR_BAN_SECONDS (600 unless set)",
            )
        action.set_defaults(run=run)

    tokens = commands.add_parser("tokens", help="issue a token").add_subparsers(dest="action", required=True)
    issue = tokens.add_parser("issue", parents=[common], help="a telemetry token, to test a deployment")
    issue.add_argument(
        "--address", type=_address, default=None, help="the client it is for (what a bound token is bound to)"
    )
    issue.set_defaults(run=cmd_tokens_issue)

    explain = commands.add_parser("explain", parents=[common], help="what the guard would do now for a client, and why")
    explain.add_argument("address", type=_address)
    explain.set_defaults(run=cmd_explain)

    config = commands.add_parser("config", help="check the configuration").add_subparsers(dest="action", required=True)
    config.add_parser("check", parents=[common]).set_defaults(run=cmd_config_check)
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)  # exits with 2 on bad usage
    command: Command = args.run
    # What a command says is its output; the store's own log only when asked.
    logging.basicConfig(
        stream=sys.stderr, level=logging.INFO if args.verbose else logging.ERROR, format="%(levelname)s %(message)s"
    )
    try:
        code, facts, lines = command(args)
    except Problem as problem:
        code, facts, lines = PROBLEM, {"problems": [str(problem)]}, [str(problem)]
    except Exception as error:  # a store that refuses its server, say: a problem, said in one line
        line = f"{type(error).__name__}: {error}"
        code, facts, lines = PROBLEM, {"problems": [line]}, [line]
    if args.json:
        json.dump({"ok": code == OK, **facts}, sys.stdout, indent=None, default=str)
        sys.stdout.write("\n")
    else:
        # The report on standard output, each problem found on standard error.
        problems = set(facts.get("problems", ()))
        for line in lines:
            (sys.stderr if line in problems else sys.stdout).write(line + "\n")
    return code


if __name__ == "__main__":
    sys.exit(main())
