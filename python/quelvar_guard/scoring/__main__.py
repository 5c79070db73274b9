"""python -m quelvar_guard.scoring: calibrate a model, or score sessions in a batch.

    calibrate --humans H.jsonl [--bots B.jsonl [--synthetic]] --fpr 0.01 --out model.json [--kind trees|linear]
    score [--model FILE] sessions.jsonl [-o OUT]

Input: one telemetry JSON object per line, the body as posted (other keys, such
as "user", are ignored by the extractor). `score` writes one JSON line per input
line, in order: {"decision": ..., "score": ..., "reasons": [...]}. A line that is
not JSON is not skipped silently: it gets {"decision": null, "score": null,
"reasons": ["malformed_telemetry"]}, its line number and the parser's message go
to standard error, and the exit code is 1 (the other lines are still scored).

Exit codes: 0 done, 1 some lines malformed, 2 bad usage, an unreadable input or
an unusable model file.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from collections.abc import Iterator
from typing import IO, Any

from . import Scoring, evidence
from .model import ModelError
from .vector import session_vector

MALFORMED = {"decision": None, "score": None, "reasons": ["malformed_telemetry"]}


class Progress:
    """One line on standard error, rewritten at most every half second."""

    def __init__(self, what: str, stream: IO[str] = sys.stderr) -> None:
        self.what, self.stream, self.last = what, stream, 0.0

    def __call__(self, done: int, force: bool = False) -> None:
        now = time.monotonic()
        if force or now - self.last >= 0.5:
            self.last = now
            self.stream.write(f"\r{self.what}: {done}")
            if force:
                self.stream.write("\n")
            self.stream.flush()


def _lines(path: str) -> Iterator[tuple[int, bytes]]:
    stream = sys.stdin.buffer if path == "-" else open(path, "rb")
    with stream:
        for number, line in enumerate(stream, 1):
            yield number, line.rstrip(b"\r\n")


def _read_rows(path: str, what: str) -> tuple[list[list[float]], list[Any], list[dict[str, Any]]]:
    """Rows, users (None when a line has none) and decoded telemetry of a training file;
    a malformed line stops the calibration."""
    rows, users, telemetry = [], [], []
    progress = Progress(f"reading {what}")
    for number, line in _lines(path):
        try:
            decoded = json.loads(line)
            features, moves = evidence(line)
        except ValueError as exc:
            raise SystemExit(f"{path}:{number}: not a telemetry JSON line ({exc})") from None
        if not isinstance(decoded, dict):
            raise SystemExit(f"{path}:{number}: not a JSON object")
        rows.append(session_vector(features, moves))
        users.append(decoded.get("user"))
        telemetry.append(decoded)
        progress(number)
    progress(len(rows), force=True)
    return rows, users, telemetry


def calibrate(args: argparse.Namespace) -> int:
    try:
        from .calibrate import calibrate as fit
        from .calibrate import synthetic_rows
    except ImportError:  # pragma: no cover - depends on the installation
        sys.stderr.write("calibrate needs scikit-learn: pip install 'quelvar_core_rs[calibrate]'\n")
        return 2
    humans, users, telemetry = _read_rows(args.humans, "humans")
    if all(isinstance(user, str) and user for user in users):
        groups: list[Any] = users
        split = "user"
    else:
        groups, split = list(range(len(humans))), "line"
    bots = _read_rows(args.bots, "bots")[0] if args.bots else None

    def synthesize(indices: list[int]) -> list[list[float]]:
        return synthetic_rows(telemetry, indices, random.Random(args.seed))

    try:
        content = fit(
            humans,
            groups,
            args.fpr,
            bots=bots,
            kind=args.kind,
            synthesize=synthesize if args.synthetic or not bots else None,
            seed=args.seed,
            split=split,
            progress=lambda message: print(message, file=sys.stderr),
        )
    except ValueError as exc:
        sys.stderr.write(f"calibrate: {exc}\n")
        return 2
    with open(args.out, "w", encoding="utf-8") as out:
        json.dump(content, out, separators=(",", ":"))
        out.write("\n")
    c = content["calibration"]
    print(
        f"wrote {args.out}: challenge at score >= {content['thresholds']['challenge']:.6g}; held out by "
        f"{c['split']}: FPR {c['threshold_fpr']:.4f} on {c['humans']['threshold']} threshold humans, "
        f"{c['heldout_fpr']:.4f} on {c['humans']['test']} test humans; TPR "
        + (
            f"{c['heldout_tpr']:.4f} on {c['heldout_bots']} held-out {c['negatives']} negatives"
            if c["heldout_tpr"] is not None
            else "not measured"
        ),
        file=sys.stderr,
    )
    return 0


def score(args: argparse.Namespace) -> int:
    try:
        scoring = Scoring.from_file(args.model) if args.model else Scoring()
    except (OSError, ModelError) as exc:
        sys.stderr.write(f"score: {exc}\n")
        return 2
    out = sys.stdout if args.output == "-" else open(args.output, "w", encoding="utf-8")
    status = 0
    progress = Progress("scored")
    number = 0
    with out:
        for number, line in _lines(args.sessions):
            try:
                result: dict[str, Any] = scoring.judge_body(line).as_json()
            except ValueError as exc:
                sys.stderr.write(f"\n{args.sessions}:{number}: malformed telemetry: {exc}\n")
                result, status = MALFORMED, 1
            out.write(json.dumps(result, separators=(",", ":")) + "\n")
            if out is not sys.stdout:
                progress(number)
        if out is not sys.stdout:
            progress(number, force=True)
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quelvar_guard.scoring", description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    fit = commands.add_parser("calibrate", help="fit a model on this deployment's traffic")
    fit.add_argument("--humans", required=True, help="JSON lines of human sessions (a 'user' field splits by user)")
    fit.add_argument("--bots", help="JSON lines of bot sessions (default: synthetic negatives)")
    fit.add_argument("--fpr", type=float, default=0.01, help="target false-positive rate (default 0.01)")
    fit.add_argument("--out", required=True, help="the model file to write")
    fit.add_argument(
        "--synthetic",
        action="store_true",
        help="with --bots, add the synthetic negatives too (always used without --bots)",
    )
    fit.add_argument("--kind", choices=("trees", "linear"), default="trees")
    fit.add_argument("--seed", type=int, default=0)
    batch = commands.add_parser("score", help="judge sessions, one JSON line out per line in")
    batch.add_argument("sessions", help="JSON lines of telemetry ('-' for standard input)")
    batch.add_argument("--model", help="a model file from calibrate (default: the rules alone)")
    batch.add_argument("-o", "--output", default="-", help="where to write (default: standard output)")
    args = parser.parse_args(argv)
    try:
        return calibrate(args) if args.command == "calibrate" else score(args)
    except OSError as exc:
        sys.stderr.write(f"{args.command}: {exc}\n")
        return 2


if __name__ == "__main__":
    sys.exit(main())
