"""Runs state-engine calls in a child interpreter whose clocks libfaketime
sets, so that time-dependent behaviour is tested without sleeping.

The child preloads libfaketime with a frozen absolute time that it re-reads
from a file on every clock call (FAKETIME_NO_CACHE=1); before each step the
child writes that step's time into the file. Both CLOCK_REALTIME and
CLOCK_MONOTONIC then stand at that second, also for clock_gettime called from
the dlopen'ed extension. Each step's own time.time() is checked against the
time asked for, so a child whose clock was not faked fails loudly.
"""

import glob
import json
import os
import subprocess
import sys
import tempfile

import pytest

import quelvar_core_rs

CHILD = r"""
import json, sys, time
from datetime import datetime, timedelta
import quelvar_core_rs as core

results = []
for at, expression in json.loads(sys.argv[2]):
    with open(sys.argv[1], "w") as stamp:
        stamp.write(f"{datetime(1970, 1, 1) + timedelta(seconds=at):%Y-%m-%d %H:%M:%S}\n")
    clock = time.time()
    try:
        value = eval(expression, vars(core))
    except Exception as error:
        value = {"raised": type(error).__name__}
    results.append([clock, value])
print(json.dumps(results))
"""


def run_timeline(steps: list[tuple[int, str]]) -> list:
    """Evaluates each expression in the module's namespace with both clocks at
    the given UNIX second; an exception comes back as {"raised": name}."""
    preload = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))
    if not preload:
        (pytest.fail if os.environ.get("CI") else pytest.skip)("libfaketime (Debian package) is not installed")
    with tempfile.TemporaryDirectory() as folder:
        stamp_file = os.path.join(folder, "faketime")
        with open(stamp_file, "w") as f:
            f.write("1970-01-01 00:00:00\n")
        # Libraries preloaded already (the sanitizer runtimes) stay preloaded,
        # after libfaketime: in front of it, ASan's start-up reads the clock
        # through libfaketime before either is ready, and hangs. ASan then
        # has to be told not to insist on coming first.
        preloaded = " ".join(filter(None, [preload[0], os.environ.get("LD_PRELOAD")]))
        env = dict(
            os.environ,
            LD_PRELOAD=preloaded,
            FAKETIME_TIMESTAMP_FILE=stamp_file,
            FAKETIME_NO_CACHE="1",
            FAKETIME_DONT_FAKE_MONOTONIC="0",
            TZ="UTC",
        )
        if os.environ.get("LD_PRELOAD"):
            env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        env.pop("FAKETIME", None)
        env["PYTHONPATH"] = os.pathsep.join(
            filter(None, [os.path.dirname(quelvar_core_rs.__file__), env.get("PYTHONPATH")])
        )
        done = subprocess.run(
            [sys.executable, "-c", CHILD, stamp_file, json.dumps(steps)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    assert [clock for clock, _ in results] == [at for at, _ in steps], "the child's clock was not faked"
    return [value for _, value in results]


T0 = 1_700_000_000
STATS = "tuple(get_state_engine_stats_rs().values())"


def timeline(*steps):
    return run_timeline([(T0 + at, expression) for at, expression in steps])


def nonce(token):
    return f"consume_nonce_rs({token!r})"
