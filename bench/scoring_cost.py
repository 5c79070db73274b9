"""What scoring adds to the telemetry endpoint.

The endpoint today: a POST to the guard's telemetry path through WSGIGuard in
this process (token check on a LocalStore, body read, extract_features_json_rs,
an allow-all callback, the reply). Scoring replaces the features call by
extract_evidence_json_rs and adds Scoring.judge: its cost is

    added = evidence - features + judge

measured interleaved in one process on the sample sessions and on seeded
300-point bodies, for the rules alone and for the rules with a calibrated model
(trees and logistic weights, fitted here on seeded sessions). The target is an
added cost of at most 15 % of the endpoint.

    python bench/scoring_cost.py [--rounds N]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import secrets
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import quelvar_core_rs as core  # noqa: E402

from bench.telemetry import bot_telemetry, human_telemetry  # noqa: E402
from quelvar_guard import Guard, LocalStore, WSGIGuard  # noqa: E402
from quelvar_guard.scoring import Model, Scoring, evidence  # noqa: E402
from quelvar_guard.scoring.vector import session_vector  # noqa: E402

SESSIONS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "sessions")
TARGET = 0.15


def fitted_models() -> dict[str, Model]:
    """Models of each kind, fitted on seeded sessions (the cost does not depend on what they learnt)."""
    from quelvar_guard.scoring.calibrate import calibrate, synthetic_bot

    rng = random.Random(1)
    telemetry = [human_telemetry(rng.randint(60, 300), seed=i) for i in range(240)]
    rows = [session_vector(*evidence(json.dumps(t))) for t in telemetry]
    groups = [i % 8 for i in range(len(rows))]

    def synthesize(indices: list[int]) -> list[list[float]]:
        out = []
        for i in indices:
            bot = synthetic_bot(telemetry[i], rng)
            if bot is not None:
                out.append(session_vector(*evidence(json.dumps(bot))))
        return out

    return {kind: Model(calibrate(rows, groups, 0.01, synthesize=synthesize, kind=kind))
            for kind in ("trees", "linear")}


def per_call(fn, repeat: int) -> float:
    """Microseconds per call of fn, best of three batches."""
    best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        for _ in range(repeat):
            fn()
        best = min(best, (time.perf_counter() - started) / repeat)
    return best * 1e6


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=300)
    args = parser.parse_args()

    guard = Guard(LocalStore(), [secrets.token_urlsafe(32)])
    app = WSGIGuard(lambda environ, start_response: [], guard)
    bodies = {}
    for name in ("human", "bot"):
        with open(os.path.join(SESSIONS, f"{name}.json"), "rb") as file:
            bodies[f"sample {name}"] = json.dumps(json.load(file)).encode()
    bodies["human 300 pts"] = json.dumps(human_telemetry(300)).encode()
    bodies["bot 300 pts"] = json.dumps(bot_telemetry(300)).encode()
    print("fitting models on seeded sessions ...", file=sys.stderr)
    models = fitted_models()
    scorers = {"rules": Scoring(), "rules+trees": Scoring(models["trees"]),
               "rules+linear": Scoring(models["linear"])}

    def endpoint(body: bytes):
        # Tokens are issued outside the timing: the endpoint only checks and spends them.
        tokens = iter([guard.tokens.issue() for _ in range(args.repeat * 3)])

        def call() -> None:
            environ = {"REQUEST_METHOD": "POST", "PATH_INFO": guard.telemetry_path, "REMOTE_ADDR": "127.0.0.1",
                       "CONTENT_LENGTH": str(len(body)), "HTTP_X_QUELVAR_TOKEN": next(tokens),
                       "wsgi.input": io.BytesIO(body)}
            app(environ, lambda status, headers: None)
        return call

    print(f"{'body':16s} {'endpoint us':>11s} {'features':>9s} {'evidence':>9s} "
          + " ".join(f"{name + ' us':>16s}" for name in scorers) + "  " + " ".join(
              f"{'added ' + name:>20s}" for name in scorers))
    worst: dict[str, float] = dict.fromkeys(scorers, 0.0)
    for label, body in bodies.items():
        features, moves = evidence(body)
        samples: dict[str, list[float]] = {}
        for _ in range(args.rounds):
            timings = {
                "endpoint": per_call(endpoint(body), args.repeat),
                "features": per_call(lambda: core.extract_features_json_rs(body), args.repeat),
                "evidence": per_call(lambda: evidence(body), args.repeat),
                **{name: per_call(lambda s=s: s.judge(features, moves), args.repeat) for name, s in scorers.items()},
            }
            for key, value in timings.items():
                samples.setdefault(key, []).append(value)
        med = {key: statistics.median(values) for key, values in samples.items()}
        added = {name: (med["evidence"] - med["features"] + med[name]) / med["endpoint"] for name in scorers}
        for name, share in added.items():
            worst[name] = max(worst[name], share)
        print(f"{label:16s} {med['endpoint']:11.2f} {med['features']:9.2f} {med['evidence']:9.2f} "
              + " ".join(f"{med[name]:16.2f}" for name in scorers) + "  "
              + " ".join(f"{100 * added[name]:19.1f}%" for name in scorers))
    print("worst added share of the endpoint (medians; target <= 15 %): " + ", ".join(
        f"{name} {100 * share:.1f} %{'' if share <= TARGET else ' OVER'}" for name, share in worst.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
