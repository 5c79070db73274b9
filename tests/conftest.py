import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# CI draws the same examples on every run, so that a run's outcome depends on
# the code alone; locally each run explores new ones.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("CI"):
    settings.load_profile("ci")

TESTS = os.path.dirname(os.path.abspath(__file__))


def run_child(code: str, *, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (the one running the tests), which
    can import the helper modules of this folder."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")]))
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_env,
        timeout=timeout,
    )


@pytest.fixture
def child():
    return run_child
