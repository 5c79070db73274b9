"""Runs state-engine calls in a child interpreter whose clocks are set by
libfaketime, so that time-dependent behaviour is tested without sleeping.

The child preloads libfaketime with a frozen absolute time read from a file
on every clock call (FAKETIME_NO_CACHE=1). Before each step it writes that
step's time into the file, so the wall clock and the monotonic clock both
stand exactly at that second while the step runs (libfaketime fakes
CLOCK_MONOTONIC too, also for clock_gettime called from an extension module
loaded with dlopen). Each step's own time.time() reading is returned with
its value, so a child whose clock was not faked fails the test instead of
passing by chance.
"""

import glob
import json
import os
import subprocess
import sys
import tempfile
from datetime import datetime, timedelta

import pytest

import quelvar_core_rs

EPOCH = datetime(1970, 1, 1)

CHILD = r"""
import json, sys, time
from datetime import datetime, timedelta
import quelvar_core_rs as core

stamp_file, steps = sys.argv[1], json.loads(sys.argv[2])
results = []
for at, expression in steps:
    with open(stamp_file, "w") as stamp:
        stamp.write((datetime(1970, 1, 1) + timedelta(seconds=at)).strftime("%Y-%m-%d %H:%M:%S") + "\n")
    clock = time.time()
    try:
        value = eval(expression, vars(core))
    except Exception as error:
        value = {"raised": type(error).__name__}
    results.append([clock, value])
print(json.dumps(results))
"""


def libfaketime() -> str:
    found = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1"))
    if not found:
        message = "libfaketime is not installed (Debian package libfaketime)"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)
    return found[0]


def stamp(at: int) -> str:
    return (EPOCH + timedelta(seconds=at)).strftime("%Y-%m-%d %H:%M:%S")


def run_timeline(steps: list[tuple[int, str]]) -> list:
    """Evaluates each expression (in the module's namespace) with both clocks
    at the given UNIX second; returns the values, an exception as
    {"raised": class name}."""
    preload = libfaketime()
    module_dir = os.path.dirname(os.path.dirname(os.path.abspath(quelvar_core_rs.__file__)))
    with tempfile.TemporaryDirectory() as folder:
        stamp_file = os.path.join(folder, "faketime")
        with open(stamp_file, "w") as f:
            f.write(stamp(steps[0][0]) + "\n")
        env = dict(os.environ)
        env.update(
            LD_PRELOAD=preload,
            FAKETIME_TIMESTAMP_FILE=stamp_file,
            FAKETIME_NO_CACHE="1",
            FAKETIME_DONT_FAKE_MONOTONIC="0",
            TZ="UTC",
            PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(quelvar_core_rs.__file__), env.get("PYTHONPATH")])),
        )
        env.pop("FAKETIME", None)
        done = subprocess.run(
            [sys.executable, "-c", CHILD, stamp_file, json.dumps(steps)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
            cwd=module_dir,
        )
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    for (at, _), (clock, _) in zip(steps, results):
        assert clock == at, f"the child's clock read {clock}, not the faked {at}"
    return [value for _, value in results]
