"""`python -m quelvar_guard explain ADDRESS`: what the guard would do now for
one client, and why, read as the guard would read it."""

from __future__ import annotations

import argparse
import json
import time
from typing import Any

from .command_line import OK, PROBLEM, service_settings, strict_store


def cmd_explain(args: argparse.Namespace) -> tuple[int, dict[str, Any], list[str]]:
    from .addresses import BanScope
    from .allow import KNOWN_CRAWLERS, AllowList
    from .networks import Networks, overdraft_bits, overdraft_limit, parse_budgets

    settings = service_settings()
    address = args.address
    scope = BanScope(ipv4_prefix=settings.ipv4_prefix, ipv6_prefix=settings.ipv6_prefix)
    plan = Networks(scope, parse_budgets(settings.network_budgets), settings.mint_rate, settings.mint_burst).plan(
        address
    )
    limit = overdraft_limit(settings.max_work_bits - settings.work_bits)
    half_life = settings.level_half_life
    store = strict_store(settings, args.timeout)
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
