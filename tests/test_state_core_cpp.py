"""Builds the C++ tests of the state engine (hand-set clock, real threads)
with CMake and runs them."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# One build folder per interpreter: the CMake cache records which one it found.
BUILD = ROOT / "build" / f"cpp-tests-{sys.version_info.major}.{sys.version_info.minor}"


def run(command: list, timeout: float) -> subprocess.CompletedProcess:
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{' '.join(map(str, command))} failed:\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def state_engine_tests() -> Path:
    cmake = shutil.which("cmake")
    assert cmake is not None, "cmake is needed to build the C++ core tests"
    run([cmake, "-S", ROOT, "-B", BUILD, "-DQUELVAR_BUILD_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}"], 300)
    run([cmake, "--build", BUILD, "--target", "state_engine_tests", "-j2"], 600)
    return BUILD / "state_engine_tests"


def test_state_engine_core(state_engine_tests: Path) -> None:
    result = run([state_engine_tests], 300)
    assert result.stdout.rstrip().endswith("0 failed"), result.stdout
