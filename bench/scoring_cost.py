"""What scoring adds to the telemetry endpoint.

The endpoint: a POST to the guard's telemetry path through WSGIGuard in this
process (token check on a LocalStore, body read, the parse, the verdict, the
clearance's reply). Without scoring, the parse is extract_features_json_rs and
every post goes straight to the callback; with it, the parse is
extract_evidence_json_rs and every post is judged first, by the rules alone or
with a calibrated model (trees and logistic weights, fitted here on seeded
sessions). The judgement is made in full and then taken as an allow, so that
every variant answers alike (a clearance) and no address gets banned. Measured
interleaved in one process on the sample sessions and on seeded 300-point
bodies; the target is an added cost of at most 15 % of the endpoint without
scoring.

In process, the endpoint has no HTTP parsing and no connection: the strictest
baseline. `--server` also measures it as served: three gunicorn servers of one
sync worker on loopback each: without scoring, with the rules, with the rules and trees,
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
from quelvar_guard import Guard, LocalStore, TokenKind, WSGIGuard  # noqa: E402
from quelvar_guard.scoring import Judgement, Model, Scoring, evidence  # noqa: E402
from quelvar_guard.scoring.vector import session_vector  # noqa: E402

SESSIONS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "sessions")
TARGET = 0.15
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER_REQUESTS = 4000
SERVER_SECONDS = 120.0
SERVED = ("plain", "rules", "trees")


class UnscoredGuard(Guard):
    """The endpoint without scoring: the features call alone, every post to the callback."""

    @staticmethod
    def parse(body: bytes):  # type: ignore[override]
        return core.extract_features_json_rs(body), None

    def judge(self, features, moves):  # type: ignore[override]
        return self.decide(features)


class MeasuredScoring(Scoring):
    """Judges each post in full, then lets it through: the cost is paid, the answer kept alike."""

    ALLOW = Judgement("allow", None, ())

    def judge(self, features, moves):  # type: ignore[override]
        super().judge(features, moves)
        return self.ALLOW


def measured_guard(secret: str, model: Model | None | bool) -> Guard:
    """The guard of one variant: False for no scoring, None for the rules, or the rules with `model`."""
    if model is False:
        return UnscoredGuard(LocalStore(), [secret])
    return Guard(LocalStore(), [secret], scoring=MeasuredScoring(model or None))


def served_app(variant: str):
    """The WSGI app of one benchmark server (gunicorn's factory): "plain"
    without scoring, "rules" with the rules alone, "trees" with the rules and
    the model named by QUELVAR_BENCH_MODEL."""
    model = os.environ.get("QUELVAR_BENCH_MODEL")

    def hello(environ, start_response):
        start_response("200 OK", [("Content-Length", "0")])
        return []

    chosen = {"plain": False, "rules": None}.get(variant, Model.from_file(model) if model else None)
    return WSGIGuard(hello, measured_guard(os.environ["QUELVAR_BENCH_SECRET"], chosen))


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
    for variant in SERVED:
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
                    token = tokens.issue(TokenKind.TELEMETRY)
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
    plain, rules, trees = (statistics.median(times[v]) for v in SERVED)
    print(
        f"served by gunicorn (1 sync worker, loopback, 300-point body, {sent} requests, medians of single "
        f"requests taken in turn): no scoring {plain:.0f} us, rules {rules:.0f} us (added "
        f"{100 * (rules - plain) / plain:.1f} %), rules+trees {trees:.0f} us (added {100 * (trees - plain) / plain:.1f} %)"
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

    secret = secrets.token_urlsafe(32)
    bodies = {}
    for name in ("human", "bot"):
        with open(os.path.join(SESSIONS, f"{name}.json"), "rb") as file:
            bodies[f"sample {name}"] = json.dumps(json.load(file)).encode()
    bodies["human 300 pts"] = json.dumps(human_telemetry(300)).encode()
    bodies["bot 300 pts"] = json.dumps(bot_telemetry(300)).encode()
    print("fitting models on seeded sessions ...", file=sys.stderr)
    models = fitted_models()
    guards = {
        "no scoring": measured_guard(secret, False),
        "rules": measured_guard(secret, None),
        "rules+trees": measured_guard(secret, models["trees"]),
        "rules+linear": measured_guard(secret, models["linear"]),
    }
    scored = [name for name in guards if name != "no scoring"]

    def endpoint(guard: Guard, body: bytes):
        app = WSGIGuard(lambda environ, start_response: [], guard)
        # Tokens are issued outside the timing: the endpoint only checks and spends them.
        tokens = iter([guard.tokens.issue(TokenKind.TELEMETRY) for _ in range(args.repeat * 3)])

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
        f"{'body':16s} {'features':>9s} {'evidence':>9s} "
        + " ".join(f"{name + ' us':>16s}" for name in guards)
        + "  "
        + " ".join(f"{'added ' + name:>20s}" for name in scored)
    )
    worst: dict[str, float] = dict.fromkeys(scored, 0.0)
    for label, body in bodies.items():
        samples: dict[str, list[float]] = {}
        for _ in range(args.rounds):
            timings = {
                "features": per_call(lambda body=body: core.extract_features_json_rs(body), args.repeat),
                "evidence": per_call(lambda body=body: evidence(body), args.repeat),
                **{name: per_call(endpoint(guard, body), args.repeat) for name, guard in guards.items()},
            }
            for key, value in timings.items():
                samples.setdefault(key, []).append(value)
        med = {key: statistics.median(values) for key, values in samples.items()}
        added = {name: med[name] / med["no scoring"] - 1 for name in scored}
        for name, share in added.items():
            worst[name] = max(worst[name], share)
        print(
            f"{label:16s} {med['features']:9.2f} {med['evidence']:9.2f} "
            + " ".join(f"{med[name]:16.2f}" for name in guards)
            + "  "
            + " ".join(f"{100 * added[name]:19.1f}%" for name in scored)
        )
    print(
        "worst added share of the endpoint without scoring (medians; target <= 15 %): "
        + ", ".join(f"{name} {100 * share:.1f} %{'' if share <= TARGET else ' OVER'}" for name, share in worst.items())
    )
    if args.server:
        served(models["trees"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
