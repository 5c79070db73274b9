import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code: str, *, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (the one running the tests)."""
    child_env = dict(os.environ)
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
