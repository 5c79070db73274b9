"""Turn telemetry sessions (JSON lines) into a CSV table of their 24 features.

Each non-blank input line is one JSON object. If it has a "telemetry" key whose
value is an object, that value is the telemetry and the rest is metadata;
otherwise the whole object is the telemetry. The first CSV column, "session",
is the line's "session_id" if it has one, else its line number; the 24 feature
columns follow in the order extract_features_rs returns them.

    python examples/batch_features.py sessions.jsonl -o features.csv
    zcat sessions.jsonl.gz | python examples/batch_features.py - > features.csv

A line that is not a JSON object is reported on standard error with its number
and skipped; the exit status is then 1, so a pipeline notices the loss. Long
runs show their progress on standard error when it is a terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import os
import stat
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import IO, TextIO

import quelvar_core_rs as core


class Progress:
    """One self-overwriting status line on a stream.

    Nothing is drawn until `delay` seconds have passed, so short runs stay
    quiet; after that the line is redrawn at most every `interval` seconds.
    """

    def __init__(self, stream: TextIO, total_bytes: int | None, *, delay: float, interval: float = 0.25) -> None:
        self.stream = stream
        self.total_bytes = total_bytes
        self.delay = delay
        self.interval = interval
        self.started = time.monotonic()
        self.last_drawn: float | None = None
        self.on_screen = False

    def update(self, sessions: int, bytes_read: int, *, force: bool = False) -> None:
        now = time.monotonic()
        if now - self.started < self.delay and not force:
            return
        if self.last_drawn is not None and now - self.last_drawn < self.interval and not force:
            return
        self.last_drawn = now
        elapsed = max(now - self.started, 1e-9)
        text = f"{sessions} sessions, {bytes_read / 2**20:.1f} MiB"
        if self.total_bytes:
            text += f" of {self.total_bytes / 2**20:.1f} MiB ({100 * bytes_read / self.total_bytes:.0f}%)"
        text += f", {sessions / elapsed:.0f} sessions/s"
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()
        self.on_screen = True

    def message(self, text: str) -> None:
        """Writes a line of its own above the status line, which is redrawn on the next update."""
        if self.on_screen:
            self.stream.write("\r\x1b[K")
            self.on_screen = False
        self.stream.write(text + "\n")
        self.stream.flush()

    def finish(self, sessions: int, bytes_read: int) -> None:
        if self.last_drawn is not None:
            # Drawn at least once: leave the final figures on screen.
            self.update(sessions, bytes_read, force=True)
            self.stream.write("\n")
            self.stream.flush()


@dataclass
class Outcome:
    sessions: int = 0
    skipped: int = 0


def session_telemetry(record: object) -> tuple[object, object]:
    """Splits one decoded line into (telemetry, session id or None)."""
    if not isinstance(record, dict):
        raise ValueError(f"expected a JSON object, got {type(record).__name__}")
    telemetry = record.get("telemetry")
    if not isinstance(telemetry, dict):
        telemetry = record
    return telemetry, record.get("session_id")


def line_features(line: bytes) -> tuple[dict[str, object], object]:
    """The features and session id of one line.

    A line that is bare telemetry (an object naming neither "telemetry" nor
    "session_id", with no escapes that could spell them) goes to the module
    as bytes; others are decoded here to find the telemetry inside.
    """
    if line.lstrip()[:1] == b"{" and not any(word in line for word in (b"telemetry", b"session_id", b"\\u")):
        return dict(core.extract_features_json_rs(line)), None
    telemetry, session = session_telemetry(json.loads(line))
    return dict(core.extract_features_rs(telemetry)), session


def feature_rows(lines: Iterable[bytes], outcome: Outcome, report: Callable[[str], None]) -> Iterator[list[object]]:
    """Yields the header, then one CSV row per valid line; reports and counts the invalid ones."""
    # The columns follow the module's own key order, which is the same on every call.
    keys = list(core.extract_features_rs({}))
    yield ["session", *keys]
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            features, session = line_features(line)
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            outcome.skipped += 1
            report(f"line {number}: skipped: {error}")
            continue
        outcome.sessions += 1
        yield [number if session is None else session, *(features[key] for key in keys)]


def input_size(stream: IO[bytes]) -> int | None:
    try:
        info = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def convert(source: IO[bytes], sink: TextIO, progress: Progress | None, errors: TextIO) -> Outcome:
    outcome = Outcome()
    bytes_read = 0

    def counted(lines: IO[bytes]) -> Iterator[bytes]:
        nonlocal bytes_read
        for line in lines:
            bytes_read += len(line)
            if progress is not None:
                progress.update(outcome.sessions, bytes_read)
            yield line

    writer = csv.writer(sink, lineterminator="\n")

    def report(text: str) -> None:
        if progress is not None:
            progress.message(text)
        else:
            print(text, file=errors)

    try:
        writer.writerows(feature_rows(counted(source), outcome, report))
    finally:
        if progress is not None:
            progress.finish(outcome.sessions, bytes_read)
    return outcome


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Write one CSV row of features per JSON-lines telemetry session.")
    parser.add_argument("input", nargs="?", default="-", help="JSON lines file, or - for standard input (default)")
    parser.add_argument("-o", "--output", default="-", help="CSV file to write, or - for standard output (default)")
    parser.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress on standard error: auto shows it on a terminal once a run takes over a second",
    )
    args = parser.parse_args(argv)

    with contextlib.ExitStack() as stack:
        try:
            source = sys.stdin.buffer if args.input == "-" else stack.enter_context(open(args.input, "rb"))
            sink = (
                sys.stdout
                if args.output == "-"
                else stack.enter_context(open(args.output, "w", newline="", encoding="utf-8"))
            )
        except OSError as error:
            parser.error(str(error))
        progress = None
        if args.progress == "always" or (args.progress == "auto" and sys.stderr.isatty()):
            progress = Progress(sys.stderr, input_size(source), delay=0.0 if args.progress == "always" else 1.0)
        try:
            outcome = convert(source, sink, progress, sys.stderr)
            sink.flush()
        except BrokenPipeError:
            # The reader went away (`| head`): stop quietly, and keep the
            # interpreter's final flush of standard output from failing again.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
    if outcome.skipped:
        print(f"{outcome.skipped} invalid lines skipped, {outcome.sessions} sessions written", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
