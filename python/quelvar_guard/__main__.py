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
import sys

from .command_line import (
    DEFAULT_TIMEOUT,
    OK,
    PROBLEM,
    Command,
    Problem,
    address_argument,
    cmd_bans_add,
    cmd_bans_check,
    cmd_bans_list,
    cmd_bans_remove,
    cmd_config_check,
    cmd_status,
    cmd_tokens_issue,
)
from .explain import cmd_explain

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
        action.add_argument("address", type=address_argument)
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
        "--address", type=address_argument, default=None, help="the client it is for (what a bound token is bound to)"
    )
    issue.set_defaults(run=cmd_tokens_issue)

    explain = commands.add_parser("explain", parents=[common], help="what the guard would do now for a client, and why")
    explain.add_argument("address", type=address_argument)
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
