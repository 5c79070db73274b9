"""Memory of the state engine. Resident memory per stored nonce is measured
by bench/nonce_memory.py in a child process over one million fresh
22-character tokens: memory, unlike speed, is repeatable enough to hold to a
bound in a test.

Exhausted memory inside the engine ends the process with the module's
report, never with a Python exception, a hang or a silent success. Each such
case runs in a child interpreter that first makes everything it will hand to
the module, then caps its own address space a few dozen megabytes above what
it already uses, and then lets the module allocate: the interpreter needs
nothing more while the module's tables grow, so the module's allocation is
the one that fails."""

import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import quelvar_core_rs

BENCH = Path(__file__).resolve().parents[2] / "bench" / "nonce_memory.py"
BYTES_PER_TOKEN_LIMIT = 48


CLEAR_CHILD = r"""
import os, sys
import quelvar_core_rs as core

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

size = int(sys.argv[1])
core.consume_nonce_rs("warm-up")
before = resident()
token = "x" * size
assert core.consume_nonce_rs(token)
del token
held = resident() - before
core.clear_state_engine_rs()
print(held, resident() - before)
"""


@pytest.mark.skipif(os.environ.get("QUELVAR_SANITIZED") == "1", reason="memory is not representative under ASan")
def test_clear_releases_the_bytes_of_a_huge_token():
    size = 64 << 20
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(quelvar_core_rs.__file__), env.get("PYTHONPATH")])
    )
    done = subprocess.run(
        [sys.executable, "-c", CLEAR_CHILD, str(size)], env=env, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    held, after_clear = map(int, done.stdout.split())
    assert held > size * 0.9  # the stored copy was resident
    assert after_clear < size // 16


# Redzones and the quarantine of AddressSanitizer multiply the footprint.
@pytest.mark.skipif(os.environ.get("QUELVAR_SANITIZED") == "1", reason="memory is not representative under ASan")
def test_resident_bytes_per_stored_token():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(quelvar_core_rs.__file__), env.get("PYTHONPATH")])
    )
    done = subprocess.run(
        [sys.executable, BENCH, "--tokens", "1000000", "--json"], env=env, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    measured = json.loads(done.stdout)
    assert measured["tokens"] == 1_000_000
    assert 0 < measured["bytes_per_token"] <= BYTES_PER_TOKEN_LIMIT, measured


CHILD_PRELUDE = """
import resource, sys
import quelvar_core_rs as core

def cap_address_space(headroom_mb):
    with open("/proc/self/status") as status:
        size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (size_kb + headroom_mb * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

core.clear_state_engine_rs()  # the engine exists before the cap
"""

NONCE_FLOOD = (
    CHILD_PRELUDE
    + """
# Three million fresh tokens made up front: the module would need well over
# the headroom to store them all.
tokens = list(map(str, range(10**12, 10**12 + 3_000_000)))
consume = core.consume_nonce_rs
cap_address_space(32)
print("flooding", flush=True)
for token in tokens:
    consume(token)
print("all stored", core.get_state_engine_stats_rs(), flush=True)
"""
)

HUGE_HYDRATION = (
    CHILD_PRELUDE
    + """
# Twenty million pairs that share one tuple: 160 MB of list for the
# interpreter, made up front, and far more than the headroom for the
# module's converted copy.
bans = [("198.51.100.7", 2**40)] * 20_000_000
cap_address_space(64)
print("flooding", flush=True)
core.hydrate_bans_rs(bans)
print("all stored", core.get_state_engine_stats_rs(), flush=True)
"""
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and caps RLIMIT_AS")
@pytest.mark.skipif(
    os.environ.get("QUELVAR_SANITIZED") == "1",
    reason="under AddressSanitizer its allocator reports exhausted memory itself",
)
@pytest.mark.parametrize("code", [NONCE_FLOOD, HUGE_HYDRATION], ids=["nonce flood", "huge hydration"])
def test_exhausted_memory_aborts_with_the_module_report(child, code):
    result = child(code, timeout=120)
    assert result.stdout == "flooding\n", (result.stdout, result.stderr)
    assert result.returncode == -signal.SIGABRT, (result.returncode, result.stderr)
    # The report is the only thing on standard error: no traceback, no MemoryError.
    assert re.fullmatch(r"memory allocation of \d+ bytes failed\n", result.stderr), result.stderr
