"""The wheel of `make dist` for this interpreter, installed into a fresh
virtual environment whose PATH holds nothing but its bin folder (so no compiler
could build anything), imports and runs the demo exactly as the development
build does. Runs when the wheel exists; QUELVAR_DIST_TEST=1 (`make
dist-test`) requires it."""

import os
import shutil
import subprocess
import sys
import sysconfig
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
WHEELS = sorted(
    (ROOT / "dist").glob(f"quelvar_core_rs-*-{TAG}-{TAG}-*manylinux*_{sysconfig.get_platform().split('-')[-1]}.whl")
)
REQUIRED = os.environ.get("QUELVAR_DIST_TEST") == "1"


@pytest.mark.skipif(os.environ.get("QUELVAR_SANITIZED") == "1", reason="the wheel is not built with the sanitizers")
@pytest.mark.skipif(not WHEELS and not REQUIRED, reason="no wheel in dist/ for this interpreter (make dist)")
def test_wheel_installs_and_runs_the_demo_without_a_compiler(tmp_path):
    assert len(WHEELS) == 1, f"expected one {TAG} manylinux wheel in dist/, found {WHEELS}"
    environment = tmp_path / "venv"
    venv.create(environment, with_pip=False, symlinks=True)
    # The environment's bin holds its Python and the activation scripts only.
    env = {"PATH": str(environment / "bin"), "HOME": str(tmp_path), "LANG": "C.UTF-8"}
    assert not any(shutil.which(tool, path=env["PATH"]) for tool in ("cc", "gcc", "g++", "c++", "clang", "ld"))

    def run(*args):
        done = subprocess.run(args, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return done.stdout

    run(
        sys.executable,
        "-m",
        "pip",
        "--python",
        str(environment / "bin" / "python"),
        "install",
        "-q",
        "--no-index",
        "--only-binary=:all:",
        "--no-deps",
        str(WHEELS[0]),
    )
    location = run("python", "-c", "import quelvar_core_rs as core; print(core.__file__)")
    assert Path(location.strip()).is_relative_to(environment)
    demo = [str(ROOT / "examples" / "demo.py")]
    expected = subprocess.run([sys.executable, *demo], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert expected.returncode == 0, expected.stderr
    assert run("python", *demo) == expected.stdout
    # The package's data files (its Lua scripts) travel with it.
    package = ROOT / "python"
    data = {path.relative_to(package).as_posix() for path in package.rglob("*.lua")}
    assert data and data <= set(zipfile.ZipFile(WHEELS[0]).namelist())
