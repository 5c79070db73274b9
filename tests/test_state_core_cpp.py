"""Builds the C++ tests of the state engine (hand-set clock, real threads,
hashing and storage pieces) with CMake and runs them."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SANITIZED = os.environ.get("QUELVAR_SANITIZED") == "1"
# One build directory per interpreter version (CMake keeps the first one's
# headers in its cache) and a separate one for the sanitizer build, whose
# core tests are instrumented as the module is.
BUILD = ROOT / "build" / f"cpp-tests-{sys.version_info.major}.{sys.version_info.minor}{'-sanitize' if SANITIZED else ''}"


def run(command: list, timeout: float) -> subprocess.CompletedProcess:
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{' '.join(map(str, command))} failed:\n{result.stdout}\n{result.stderr}"
    return result


PROGRAMS = ["state_engine_tests", "hashing_tests"]


@pytest.fixture(scope="module")
def test_programs() -> Path:
    cmake = shutil.which("cmake")
    assert cmake is not None, "cmake is needed to build the C++ core tests"
    run([cmake, "-S", ROOT, "-B", BUILD, "-DQUELVAR_BUILD_TESTS=ON", f"-DQUELVAR_SANITIZE={'ON' if SANITIZED else 'OFF'}",
         f"-DPython_EXECUTABLE={sys.executable}"], 300)
    run([cmake, "--build", BUILD, "--target", *PROGRAMS, "-j2"], 600)
    return BUILD


@pytest.mark.parametrize("program", PROGRAMS)
def test_state_engine_core(test_programs: Path, program: str) -> None:
    result = run([test_programs / program], 300)
    assert result.stdout.rstrip().endswith(" 0 failed"), result.stdout
