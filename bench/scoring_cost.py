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

In process, the endpoint has no HTTP parsing and no connection: the strictest
baseline. `--server` also measures it as served: two gunicorn servers of one
sync worker on loopback, one parsing as today and one scoring (rules and trees),
posted the 300-point human body in alternating batches by one httpx client;
bounded to SERVER_REQUESTS requests and SERVER_SECONDS.

    python bench/scoring_cost.py [--rounds N] [--server]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import secrets
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import quelvar_core_rs as core  # noqa: E402
from bench.telemetry import bot_telemetry, human_telemetry  # noqa: E402
from quelvar_guard import Guard, LocalStore, WSGIGuard  # noqa: E402
from quelvar_guard.scoring import Model, Scoring, evidence  # noqa: E402
from quelvar_guard.scoring.vector import session_vector  # noqa: E402

SESSIONS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "sessions")
TARGET = 0.15
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER_REQUESTS = 4000
SERVER_SECONDS = 120.0


def served_app(variant: str):
    """The WSGI app of one benchmark server (gunicorn's factory): "plain" parses
    as the guard does today; "scored" takes the evidence and judges it with the
    model named by QUELVAR_BENCH_MODEL, then answers the same way."""
    model = os.environ.get("QUELVAR_BENCH_MODEL")
    scoring = Scoring.from_file(model) if model else Scoring()

    class ScoredGuard(Guard):
        def parse(self, body: bytes):  # type: ignore[override]
            features, moves = evidence(body)
            scoring.judge(features, moves)
            return features

    def hello(environ, start_response):
        start_response("200 OK", [("Content-Length", "0")])
        return []

    kind = ScoredGuard if variant == "scored" else Guard
    return WSGIGuard(hello, kind(LocalStore(), [os.environ["QUELVAR_BENCH_SECRET"]]))


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def served(model: Model) -> None:
    """Per-request time through real servers, plain against scored."""
    import httpx

    from quelvar_guard import Tokens

    secret = secrets.token_urlsafe(32)
    directory = tempfile.mkdtemp(prefix="scoring-cost-")
    model_path = os.path.join(directory, "model.json")
    with open(model_path, "w") as file:
        json.dump(model.content, file)
    env = dict(
        os.environ,
        QUELVAR_BENCH_SECRET=secret,
        QUELVAR_BENCH_MODEL=model_path,
        PYTHONPATH=os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")])),
    )
    servers = {}
    for variant in ("plain", "scored"):
        port = free_port()
        process = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "gunicorn",
                "-w",
                "1",
                "-b",
                f"127.0.0.1:{port}",
                "--control-socket",
                os.path.join(directory, f"{variant}.ctl"),
                f"bench.scoring_cost:served_app('{variant}')",
            ],
            cwd=ROOT,
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        servers[variant] = (process, f"http://127.0.0.1:{port}")
    tokens = Tokens([secret], LocalStore())
    body = json.dumps(human_telemetry(300)).encode()
    try:
        with httpx.Client(timeout=10) as client:
            for process, url in servers.values():
                deadline = time.monotonic() + 30
                while True:
                    try:
                        client.get(url + "/")
                        break
                    except httpx.TransportError:
                        if process.poll() is not None or time.monotonic() > deadline:
                            raise SystemExit("a benchmark server did not start") from None
                        time.sleep(0.1)
            times: dict[str, list[float]] = {variant: [] for variant in servers}
            sent, started = 0, time.monotonic()
            while sent < SERVER_REQUESTS and time.monotonic() - started < SERVER_SECONDS:
                # One request to each in turn: load from elsewhere falls on both alike.
                for variant, (_, url) in servers.items():
                    token = tokens.issue()
                    begun = time.perf_counter()
                    reply = client.post(url + "/quelvar/telemetry", content=body, headers={"X-Quelvar-Token": token})
                    times[variant].append((time.perf_counter() - begun) * 1e6)
                    if reply.status_code != 200:
                        raise SystemExit(f"{variant}: {reply.status_code} {reply.text}")
                    sent += 1
    finally:
        for process, _ in servers.values():
            process.terminate()
            process.wait(10)
    plain, scored = (statistics.median(times[v]) for v in ("plain", "scored"))
    print(
        f"served by gunicorn (1 sync worker, loopback, 300-point body, {sent} requests): "
        f"plain {plain:.0f} us, scored (rules+trees) {scored:.0f} us per request: "
        f"added {100 * (scored - plain) / plain:.1f} % (medians of single requests, taken in turn)"
    )


def fitted_models() -> dict[str, Model]:
    """Models of each kind, fitted on seeded sessions (the cost does not depend on what they learnt)."""
    from quelvar_guard.scoring.calibrate import calibrate, synthetic_rows

    rng = random.Random(1)
    telemetry = [human_telemetry(rng.randint(60, 300), seed=i) for i in range(240)]
    rows = [session_vector(*evidence(json.dumps(t))) for t in telemetry]
    groups = [i % 8 for i in range(len(rows))]

    def synthesize(indices: list[int]) -> list[list[float]]:
        return synthetic_rows(telemetry, indices, rng)

    return {
        kind: Model(calibrate(rows, groups, 0.01, synthesize=synthesize, kind=kind)) for kind in ("trees", "linear")
    }


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
    parser.add_argument("--server", action="store_true", help="also through real gunicorn servers on loopback")
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
    scorers = {"rules": Scoring(), "rules+trees": Scoring(models["trees"]), "rules+linear": Scoring(models["linear"])}

    def endpoint(body: bytes):
        # Tokens are issued outside the timing: the endpoint only checks and spends them.
        tokens = iter([guard.tokens.issue() for _ in range(args.repeat * 3)])

        def call() -> None:
            environ = {
                "REQUEST_METHOD": "POST",
                "PATH_INFO": guard.telemetry_path,
                "REMOTE_ADDR": "127.0.0.1",
                "CONTENT_LENGTH": str(len(body)),
                "HTTP_X_QUELVAR_TOKEN": next(tokens),
                "wsgi.input": io.BytesIO(body),
            }
            app(environ, lambda status, headers: None)

        return call

    print(
        f"{'body':16s} {'endpoint us':>11s} {'features':>9s} {'evidence':>9s} "
        + " ".join(f"{name + ' us':>16s}" for name in scorers)
        + "  "
        + " ".join(f"{'added ' + name:>20s}" for name in scorers)
    )
    worst: dict[str, float] = dict.fromkeys(scorers, 0.0)
    for label, body in bodies.items():
        features, moves = evidence(body)
        samples: dict[str, list[float]] = {}
        for _ in range(args.rounds):
            timings = {
                "endpoint": per_call(endpoint(body), args.repeat),
                "features": per_call(lambda body=body: core.extract_features_json_rs(body), args.repeat),
                "evidence": per_call(lambda body=body: evidence(body), args.repeat),
                **{
                    name: per_call(lambda s=s, f=features, m=moves: s.judge(f, m), args.repeat)
                    for name, s in scorers.items()
                },
            }
            for key, value in timings.items():
                samples.setdefault(key, []).append(value)
        med = {key: statistics.median(values) for key, values in samples.items()}
        added = {name: (med["evidence"] - med["features"] + med[name]) / med["endpoint"] for name in scorers}
        for name, share in added.items():
            worst[name] = max(worst[name], share)
        print(
            f"{label:16s} {med['endpoint']:11.2f} {med['features']:9.2f} {med['evidence']:9.2f} "
            + " ".join(f"{med[name]:16.2f}" for name in scorers)
            + "  "
            + " ".join(f"{100 * added[name]:19.1f}%" for name in scorers)
        )
    print(
        "worst added share of the endpoint (medians; target <= 15 %): "
        + ", ".join(f"{name} {100 * share:.1f} %{'' if share <= TARGET else ' OVER'}" for name, share in worst.items())
    )
    if args.server:
        served(models["trees"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
