"""Resident memory per stored nonce, measured by bench/nonce_memory.py in a
child process over one million fresh 22-character tokens. Memory, unlike
speed, is repeatable enough to hold to a bound in a test."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quelvar_core_rs

BENCH = Path(__file__).resolve().parents[1] / "bench" / "nonce_memory.py"
BYTES_PER_TOKEN_LIMIT = 48


# Redzones and the quarantine of AddressSanitizer multiply the footprint.
@pytest.mark.skipif(os.environ.get("QUELVAR_SANITIZED") == "1", reason="memory is not representative under ASan")
def test_resident_bytes_per_stored_token():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(quelvar_core_rs.__file__), env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, BENCH, "--tokens", "1000000", "--json"], env=env, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    measured = json.loads(done.stdout)
    assert measured["tokens"] == 1_000_000
    assert 0 < measured["bytes_per_token"] <= BYTES_PER_TOKEN_LIMIT, measured


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
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(quelvar_core_rs.__file__), env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", CLEAR_CHILD, str(size)], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    held, after_clear = map(int, done.stdout.split())
    assert held > size * 0.9  # the stored copy was resident
    assert after_clear < size // 16
