"""What the evidence call costs over the features call on the same body.

Interleaved rounds of extract_features_json_rs and extract_evidence_json_rs
over the same bodies, in one process, so that the ratio comes from one run
under one load:

- examples/sessions/human.json as it is;
- real pointer segments (the shared human data, read where it lies), each
  one body of its own movements, and the same segments joined per session
  into bodies of up to 400 points (a pause between segments), which is
  closer to what a page sends.

    python bench/evidence_cost.py [--quick] [--segments N]
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import statistics
import sys
import time
from pathlib import Path

import quelvar_core_rs

ROOT = Path(__file__).resolve().parent.parent
SHARED = Path(os.environ.get("QUELVAR_SHARED_DATA", "/work/shared/data"))


def real_bodies(limit: int) -> tuple[list[bytes], list[bytes]]:
    source = SHARED / "human_movement.jsonl.gz"
    if not source.exists():
        return [], []
    segments: list[bytes] = []
    sessions: dict[str, list[dict]] = {}
    with gzip.open(source, "rt", encoding="utf-8") as lines:
        for line in lines:
            row = json.loads(line)
            points = row["mouse_movements"]
            segments.append(json.dumps({"mouse_movements": points}).encode())
            joined = sessions.setdefault(row["session"], [])
            if len(joined) + len(points) <= 400:
                start = joined[-1]["t"] + 500.0 if joined else 0.0
                joined.extend({"x": p["x"], "y": p["y"], "t": p["t"] + start} for p in points)
            if len(segments) >= limit:
                break
    joined_bodies = [json.dumps({"mouse_movements": points}).encode() for points in sessions.values()]
    return segments, joined_bodies


def per_call(function: object, bodies: list[bytes], repeat: int) -> float:
    start = time.perf_counter()
    for _ in range(repeat):
        for body in bodies:
            function(body)  # type: ignore[operator]
    return (time.perf_counter() - start) / (repeat * len(bodies)) * 1e6


def compare(name: str, bodies: list[bytes], repeat: int, rounds: int) -> None:
    features = quelvar_core_rs.extract_features_json_rs
    evidence = quelvar_core_rs.extract_evidence_json_rs
    per_feature: list[float] = []
    per_evidence: list[float] = []
    for _ in range(rounds):
        per_feature.append(per_call(features, bodies, repeat))
        per_evidence.append(per_call(evidence, bodies, repeat))
    ratios = [e / f for f, e in zip(per_feature, per_evidence, strict=True)]
    print(
        f"{name:<34} {len(bodies):>5} bodies  features {min(per_feature):7.2f} us  "
        f"evidence {min(per_evidence):7.2f} us  ratio of minima {min(per_evidence) / min(per_feature):.3f}  "
        f"median ratio {statistics.median(ratios):.3f}"
    )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--segments", type=int, default=600)
    args = parser.parse_args()
    rounds = 7 if args.quick else 21
    print(
        f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}; module {quelvar_core_rs.__file__}", file=sys.stderr
    )
    human = (ROOT / "examples" / "sessions" / "human.json").read_bytes()
    compare("examples/sessions/human.json", [human], 2000 if not args.quick else 500, rounds)
    segments, sessions = real_bodies(args.segments)
    if segments:
        compare("real segments", segments, 3 if not args.quick else 1, rounds)
        compare("real segments joined per session", sessions, 10 if not args.quick else 3, rounds)


if __name__ == "__main__":
    main()
