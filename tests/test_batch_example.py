"""examples/batch_features.py, run as a command the way a user runs it."""

import csv
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

import quelvar_core_rs as core

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "batch_features.py"


@pytest.fixture(autouse=True)
def features_built():
    try:
        core.extract_features_rs({})
    except NotImplementedError as missing:
        pytest.skip(f"body not built yet: {missing}")


def telemetry(seed):
    return {
        "browser": {"webdriver": seed % 2 == 0, "screen_width": 1280 + seed, "screen_height": 720},
        "mouse_movements": [{"x": seed + 7 * i, "y": (i * seed) % 13, "t": 15 * i + seed % 4} for i in range(seed % 9)],
        "keystrokes": [{"t": 100 * i + seed} for i in range(seed % 5)],
        "clicks": [{}] * (seed % 3),
    }


def run(*args, stdin=b""):
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *map(str, args)], input=stdin, capture_output=True, timeout=120
    )


def expected_row(session, telemetry):
    # csv writes str() of each value: the shortest repr of a float, True/False for bools.
    return [str(session), *(str(value) for value in core.extract_features_rs(telemetry).values())]


def table(text):
    return list(csv.reader(io.StringIO(text)))


def test_sessions_become_rows_in_file_and_pipe(tmp_path):
    lines = [
        json.dumps({"session_id": "s-a", "telemetry": telemetry(3)}),
        json.dumps(telemetry(8)),
        "   ",
        json.dumps({"session_id": 77, **telemetry(5)}),
        json.dumps({"telemetry": "not an object", "clicks": [1, 2]}),
    ]
    source = tmp_path / "sessions.jsonl"
    source.write_text("\n".join(lines) + "\n")
    output = tmp_path / "features.csv"

    to_file = run(source, "-o", output)
    assert (to_file.returncode, to_file.stderr, to_file.stdout) == (0, b"", b"")
    rows = table(output.read_text(encoding="utf-8"))
    assert rows[0] == ["session", *core.extract_features_rs({})]
    assert len(rows[0]) == 25
    assert rows[1:] == [
        expected_row("s-a", telemetry(3)),
        expected_row(2, telemetry(8)),
        expected_row(77, telemetry(5)),
        expected_row(5, {"telemetry": "not an object", "clicks": [1, 2]}),
    ]

    piped = run("-", stdin=source.read_bytes())
    assert piped.returncode == 0
    assert table(piped.stdout.decode()) == rows


def test_invalid_lines_are_reported_and_fail_the_run():
    good = json.dumps(telemetry(4)).encode()
    lines = [good, b"{broken", b"[1, 2]", b"\xff\xfe", good, b"[" * 50_000 + b"]" * 50_000]
    stdin = b"\n".join(lines)
    result = run(stdin=stdin)
    assert result.returncode == 1
    rows = table(result.stdout.decode())
    assert rows[1:] == [expected_row(1, telemetry(4)), expected_row(5, telemetry(4))]
    report = result.stderr.decode().splitlines()
    assert [line.split(":")[0] for line in report[:-1]] == ["line 2", "line 3", "line 4", "line 6"]
    assert report[-1] == "4 invalid lines skipped, 2 sessions written"


@pytest.mark.parametrize("mode, shown", [("always", True), ("never", False), ("auto", False)])
def test_progress_goes_to_stderr_only_when_wanted(tmp_path, mode, shown):
    source = tmp_path / "many.jsonl"
    count = 3000
    source.write_text("".join(json.dumps(telemetry(i)) + "\n" for i in range(count)))
    result = run(source, "--progress", mode)
    assert result.returncode == 0
    assert len(table(result.stdout.decode())) == count + 1
    progress = result.stderr.decode()
    if not shown:
        # auto: standard error is a pipe here, not a terminal.
        assert progress == ""
        return
    assert progress.startswith("\r") and progress.endswith("\n")
    final = progress.rsplit("\r", 1)[-1]
    size = source.stat().st_size / 2**20
    assert final.startswith(f"{count} sessions, {size:.1f} MiB of {size:.1f} MiB (100%)")


def test_missing_input_file_is_an_error(tmp_path):
    result = run(tmp_path / "absent.jsonl")
    assert result.returncode == 2
    assert result.stdout == b""
    assert b"absent.jsonl" in result.stderr and b"Traceback" not in result.stderr
