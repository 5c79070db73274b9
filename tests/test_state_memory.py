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
