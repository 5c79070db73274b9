"""Side-by-side benchmark of quelvar_core_rs against the Python peers.

The machines are shared and noisy, so contenders are measured interleaved in
one process, round after round, and every ratio is taken from the same run:
for each contender the best and the median time per call over the rounds.

    python bench/run_benchmarks.py            # full run
    python bench/run_benchmarks.py --quick    # fewer rounds, for a smoke run
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import inspect
import itertools
import json
import math
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import quelvar_core_rs as core  # noqa: E402
from bench import costly_bodies, guard_bench, nonce_memory, redis_cost  # noqa: E402
from bench.peers import numpy_features, python_features, python_state  # noqa: E402
from bench.telemetry import bot_telemetry, decode_floor, human_telemetry  # noqa: E402
from bench.timing import MAX_CALLS_PER_ROUND, TOKEN_LENGTH, Table, each_of, fresh_tokens, interleaved, repeated  # noqa: E402

SIZES = [3, 10, 50, 150, 300, 1000, 5000]


def check_features(telemetry: dict) -> None:
    """The peers must give the module's features before anything is timed."""
    expected = core.extract_features_rs(telemetry)
    for peer in (python_features, numpy_features):
        got = peer.extract_features(telemetry)
        assert list(got) == list(expected), (peer.__name__, list(got))
        for key, value in expected.items():
            assert type(got[key]) is type(value), (peer.__name__, key, got[key], value)
            assert got[key] == value or math.isclose(got[key], value, rel_tol=1e-9, abs_tol=1e-9), (
                peer.__name__,
                key,
                got[key],
                value,
            )


def bench_features(table: Table, rounds: int, budget: float, headline: dict) -> None:
    for kind, make in (("human", human_telemetry), ("bot", bot_telemetry)):
        for size in SIZES:
            telemetry = make(size)
            check_features(telemetry)
            timings = interleaved(
                {
                    "module": repeated(core.extract_features_rs, telemetry),
                    "python": repeated(python_features.extract_features, telemetry),
                    "numpy": repeated(numpy_features.extract_features, telemetry),
                },
                rounds,
                budget,
            )
            table.add(f"features {kind} {size} pts", timings)
            if kind == "human":
                headline[f"module_{size}"] = timings["module"]
                if size == 300:
                    headline["python_300"] = timings["python"]
                    headline["numpy_300"] = timings["numpy"]
    # The floor and the growth past 300 points are ratios of module timings,
    # so those four are measured interleaved with one another.
    human_300, human_5000 = human_telemetry(300), human_telemetry(5000)
    timings = interleaved(
        {
            "module 300": repeated(core.extract_features_rs, human_300),
            "floor 300": repeated(core.extract_features_rs, decode_floor(human_300)),
            "module 5000": repeated(core.extract_features_rs, human_5000),
            "floor 5000": repeated(core.extract_features_rs, decode_floor(human_5000)),
        },
        rounds,
        budget,
    )
    for size in (300, 5000):
        table.add(
            f"decode floor human {size} pts", {"module": timings[f"module {size}"], "floor": timings[f"floor {size}"]}
        )
        headline[f"same_run_module_{size}"] = timings[f"module {size}"]
        headline[f"floor_{size}"] = timings[f"floor {size}"]


JSON_SIZES = [10, 300, 1000, 5000]


def threads_throughput(function, bodies: list[bytes], calls: int) -> float:
    """Calls per second of len(bodies) threads, each calling function(body) `calls` times."""
    barrier = threading.Barrier(len(bodies) + 1)

    def worker(body: bytes) -> None:
        barrier.wait()
        for _ in itertools.repeat(None, calls):
            function(body)

    threads = [threading.Thread(target=worker, args=(body,)) for body in bodies]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    return len(bodies) * calls / (time.perf_counter() - start)


def thread_scaling(function, arg: bytes, calls: int, rounds: int = 3) -> float:
    """Two threads' throughput over one thread's, the best of alternating rounds of each;
    each thread has a copy of its own, as each request has its own body."""
    one = two = 0.0
    for _ in range(rounds):
        one = max(one, threads_throughput(function, [arg], calls))
        two = max(two, threads_throughput(function, [arg, bytes(bytearray(arg))], calls))
    return two / one


def sha256_input(seconds: float) -> bytes:
    """A buffer whose SHA-256 takes about `seconds` (the lock is released past 2 KiB)."""
    sample = bytes(1 << 20)
    start = time.perf_counter()
    hashlib.sha256(sample)
    per_byte = (time.perf_counter() - start) / len(sample)
    return bytes(max(4096, int(seconds / per_byte)))


def bench_json(table: Table, rounds: int, budget: float, headline: dict) -> None:
    """The JSON body against json.loads, orjson.loads and the decoded dict."""
    try:
        import orjson
    except ImportError:  # a benchmark-only dependency (requirements-dev.txt)
        orjson = None
    for size in JSON_SIZES:
        body = json.dumps(human_telemetry(size)).encode()
        decoded = json.loads(body)
        contenders = {
            "json body": repeated(core.extract_features_json_rs, body),
            "json.loads": repeated(lambda b: core.extract_features_rs(json.loads(b)), body),
            "decoded dict": repeated(core.extract_features_rs, decoded),
        }
        if orjson is not None:
            contenders["orjson.loads"] = repeated(lambda b: core.extract_features_rs(orjson.loads(b)), body)
        timings = interleaved(contenders, rounds, budget)
        table.add(f"json human {size} pts ({len(body) / 1024:.1f} KiB)", timings, module="json body")
        headline[f"json_{size}"] = timings
        # Two threads against one; the same number of calls per thread,
        # bounded in time by the budget. The control is a call that releases
        # the interpreter lock just as long (SHA-256 of a buffer): on a busy
        # machine both ratios fall together.
        per_call = timings["json body"].best
        calls = max(20, min(20_000, int(budget * rounds / per_call / 6)))
        headline[f"json_threads_{size}"] = thread_scaling(core.extract_features_json_rs, body, calls)
        headline[f"json_threads_control_{size}"] = thread_scaling(hashlib.sha256, sha256_input(per_call), calls)


def print_json_figures(headline: dict) -> None:
    for size in JSON_SIZES:
        t = headline[f"json_{size}"]
        body = t["json body"].median
        parts = [f"json.loads/body {t['json.loads'].median / body:.1f}x"]
        if "orjson.loads" in t:
            parts.append(f"orjson.loads/body {t['orjson.loads'].median / body:.1f}x")
        parts.append(f"body/dict {body / t['decoded dict'].median:.2f}")
        parts.append(
            f"2 threads/1 {headline[f'json_threads_{size}']:.2f}x "
            f"(GIL-free control {headline[f'json_threads_control_{size}']:.2f}x)"
        )
        print(f"JSON body at {size} points (medians): " + ", ".join(parts))


EVIDENCE_TARGET = 1.10
SESSIONS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "sessions")


def bench_evidence(table: Table, rounds: int, budget: float, headline: dict) -> None:
    """extract_evidence_json_rs (features and moves, one parse) against
    extract_features_json_rs on the same body, interleaved."""
    bodies = {name: open(os.path.join(SESSIONS, f"{name}.json"), "rb").read() for name in ("human", "bot")}
    bodies["human 300 pts"] = json.dumps(human_telemetry(300)).encode()
    for name, body in bodies.items():
        features, moves = core.extract_evidence_json_rs(body)
        assert features == core.extract_features_json_rs(body)
        timings = interleaved(
            {
                "features": repeated(core.extract_features_json_rs, body),
                "evidence": repeated(core.extract_evidence_json_rs, body),
            },
            rounds,
            budget,
        )
        table.add(f"evidence {name} ({len(moves['points'])} moves)", timings, module="features")
        headline[f"evidence {name}"] = timings


def print_evidence_figures(headline: dict) -> None:
    for name, t in headline.items():
        if name.startswith("evidence "):
            print(
                f"{name}: evidence/features {t['evidence'].best / t['features'].best:.3f} best, "
                f"{t['evidence'].median / t['features'].median:.3f} median "
                f"(medians {t['evidence'].median * 1e6:.2f} / {t['features'].median * 1e6:.2f} us; "
                f"target <= {EVIDENCE_TARGET:.2f})"
            )


# No body of at most the guard's max_body bytes may cost more than this many
# typical posts.
BODY_COST_GOAL = 20.0


def default_max_body() -> int:
    from quelvar_guard import Guard

    return inspect.signature(Guard.__init__).parameters["max_body"].default


def parse_body(body: bytes) -> None:
    try:
        core.extract_features_json_rs(body)
    except ValueError:
        pass


def bench_bodies(rounds: int, budget: float, headline: dict) -> None:
    """The costliest bodies of at most Guard's default max_body (bench/costly_bodies.py)
    against a typical post, each also through json.loads and the dict path."""
    limit = default_max_body()
    typical = costly_bodies.typical_post()
    bodies = {"typical post": typical, **costly_bodies.costly_bodies(limit)}
    on_loads = costly_bodies.loads_then_dict(core.extract_features_rs)
    for name, body in bodies.items():
        try:
            got = core.extract_features_json_rs(body)
        except ValueError:
            got = None
        assert repr(got) == repr(on_loads(body)), f"{name}: not the answer of json.loads and the dict path"
    contenders = {}
    for name, body in bodies.items():
        contenders[name] = repeated(parse_body, body)
        contenders[f"{name} / json.loads"] = repeated(on_loads, body)
    print(
        f"timing {len(bodies)} bodies of at most {limit:,} bytes, each also through json.loads, "
        f"{rounds} interleaved rounds ...",
        flush=True,
    )
    timings = interleaved(contenders, rounds, budget)
    base = timings["typical post"]
    print(
        f"costliest bodies of at most {limit:,} bytes (Guard's default max_body; the fullest session takes "
        f"{len(costly_bodies.fullest_session()):,} bytes as JSON.stringify writes it, "
        f"{len(costly_bodies.fullest_session(indent=2)):,} indented) against a typical post "
        f"({os.path.relpath(costly_bodies.TYPICAL, ROOT)}, {len(typical):,} bytes)"
    )
    print(
        f"{'body':30}{'bytes':>8}{'best us':>10}{'median us':>11}{'x typical best':>16}{'median':>8}"
        f"{'json.loads/body':>17}"
    )
    for name, body in bodies.items():
        t, loads = timings[name], timings[f"{name} / json.loads"]
        print(
            f"{name:30}{len(body):8,}{t.best * 1e6:10.1f}{t.median * 1e6:11.1f}{t.best / base.best:16.1f}"
            f"{t.median / base.median:8.1f}{loads.median / t.median:17.1f}"
        )
    worst = max(bodies, key=lambda name: timings[name].median / base.median)
    ratio = timings[worst].median / base.median
    headline["costliest_body"] = (worst, ratio)
    print(f"costliest body: {worst!r} at {ratio:.1f}x a typical post (medians; goal: at most {BODY_COST_GOAL:.0f}x)")
    print()


def bench_state(table: Table, rounds: int, budget: float, headline: dict) -> None:
    core.clear_state_engine_rs()
    nonces, bans = python_state.NonceCache(), python_state.BanTable()

    # Fresh tokens: every call takes the next unused token of its own supply.
    supply = MAX_CALLS_PER_ROUND * rounds + 1
    fresh = interleaved(
        {
            "module": each_of(core.consume_nonce_rs, fresh_tokens(supply, "m")),
            "python": each_of(nonces.consume, fresh_tokens(supply, "p")),
        },
        rounds,
        budget,
    )
    table.add("consume_nonce_rs fresh", fresh)
    headline["nonce_fresh"] = fresh

    replay_token = "r" * TOKEN_LENGTH
    core.consume_nonce_rs(replay_token)
    nonces.consume(replay_token)
    replay = interleaved(
        {
            "module": repeated(core.consume_nonce_rs, replay_token),
            "python": repeated(nonces.consume, replay_token),
        },
        rounds,
        budget,
    )
    table.add("consume_nonce_rs replay", replay)
    headline["nonce_replay"] = replay

    banned = [f"198.51.{i // 256}.{i % 256}" for i in range(1000)]
    for ip in banned:
        core.ban_ip_rs(ip, 3600)
        bans.ban(ip, 3600)
    hit_ip, miss_ip = banned[417], "203.0.113.99"
    hit = interleaved(
        {
            "module": repeated(core.is_ip_banned_rs, hit_ip),
            "python": repeated(bans.is_banned, hit_ip),
        },
        rounds,
        budget,
    )
    table.add("is_ip_banned_rs hit", hit)
    headline["ban_hit"] = hit
    table.add(
        "is_ip_banned_rs miss",
        interleaved(
            {
                "module": repeated(core.is_ip_banned_rs, miss_ip),
                "python": repeated(bans.is_banned, miss_ip),
            },
            rounds,
            budget,
        ),
    )
    table.add(
        "ban_ip_rs",
        interleaved(
            {
                "module": repeated(core.ban_ip_rs, hit_ip, 600),
                "python": repeated(bans.ban, hit_ip, 600),
            },
            rounds,
            budget,
        ),
    )

    future = int(time.time()) + 86_400
    pairs = [(f"10.{i // 65536}.{i // 256 % 256}.{i % 256}", future + i) for i in range(10_000)]
    hydrate = interleaved(
        {
            "module": repeated(core.hydrate_bans_rs, pairs),
            "python": repeated(bans.hydrate, pairs),
        },
        rounds,
        budget,
    )
    table.add("hydrate_bans_rs 10,000 pairs", hydrate)
    headline["hydrate"] = hydrate

    core.clear_state_engine_rs()
    bans = python_state.BanTable()
    many = [(f"2001:db8::{i:x}", future) for i in range(100_000)]
    core.hydrate_bans_rs(many)
    bans.hydrate(many)
    stats = interleaved(
        {
            "module": repeated(core.get_state_engine_stats_rs),
            "python": repeated(python_state.stats, nonces, bans),
        },
        rounds,
        budget,
    )
    table.add("stats over 100,000 bans", stats)
    headline["stats"] = stats
    core.clear_state_engine_rs()


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_for_benchmarks(target: str) -> str:
    """Builds a target of the project's benchmark build (timing programs,
    floor module) for this interpreter; returns the build directory."""
    build = os.path.join(ROOT, "build", f"bench-{sys.version_info.major}.{sys.version_info.minor}")
    quiet = {"check": True, "stdout": subprocess.DEVNULL}
    subprocess.run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            build,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUELVAR_BUILD_BENCHMARKS=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
        ],
        **quiet,
    )
    subprocess.run(["cmake", "--build", build, "--target", target, "-j2"], **quiet)
    return build


def build_floor():
    """The floor functions (bench/floor), imported from the benchmark build."""
    build = build_for_benchmarks("quelvar_bench_floor")
    sys.path.insert(0, build)
    try:
        return importlib.import_module("quelvar_bench_floor")
    finally:
        sys.path.remove(build)


def bench_state_floor(table: Table, rounds: int, budget: float, headline: dict) -> None:
    """A replay and a ban hit against the floor: one str, the same kind of
    lock, the same keyed hash, one table read, no clock. Interleaved in one
    run, so that the ratios compare like with like."""
    floor = build_floor()
    core.clear_state_engine_rs()
    token, address = "f" * TOKEN_LENGTH, "198.51.100.17"
    core.consume_nonce_rs(token)
    floor.add_nonce(token)
    core.ban_ip_rs(address, 3600)
    floor.add_ban(address)
    assert core.consume_nonce_rs(token) is False and floor.replay(token) is False
    assert core.is_ip_banned_rs(address) is True and floor.ban_hit(address) is True
    # Calls of a few tens of nanoseconds: more, shorter rounds, so that the
    # best of them escapes the other processes on a shared machine.
    timings = interleaved(
        {
            "replay": repeated(core.consume_nonce_rs, token),
            "replay floor": repeated(floor.replay, token),
            "ban hit": repeated(core.is_ip_banned_rs, address),
            "ban hit floor": repeated(floor.ban_hit, address),
        },
        rounds * 3,
        budget / 2,
    )
    table.add("consume_nonce_rs replay vs floor", {"module": timings["replay"], "floor": timings["replay floor"]})
    table.add("is_ip_banned_rs hit vs floor", {"module": timings["ban hit"], "floor": timings["ban hit floor"]})
    for name in ("replay", "ban hit"):
        headline[f"{name} / floor"] = (timings[name], timings[f"{name} floor"])
    core.clear_state_engine_rs()


def bench_memory(count: int) -> dict[str, float]:
    """Resident bytes per stored token, each contender in its own child
    process, less a control child that makes the same tokens and keeps none."""
    growth = {kind: nonce_memory.measure(kind, count)["bytes_per_token"] for kind in ("control", "module", "set")}
    return {"module": growth["module"] - growth["control"], "python": growth["set"] - growth["control"]}


# ---------------------------------------------------------------- spectrum alone
# The spectral step (centring, transform, purity and entropy) timed in C++ at
# every series length by bench/spectrum_timing.cpp, built by the module's own
# CMake project in a tree of its own (never installed, never in the module).
SPECTRUM_TARGETS = {"median": 2.0, "worst": 4.0}  # microseconds over lengths 8-299


def largest_prime_factor(n: int) -> int:
    factor, largest = 2, 1
    while n > 1:
        while n % factor == 0:
            largest, n = factor, n // factor
        factor += 1
    return largest


def length_class(n: int) -> str:
    if n & (n - 1) == 0:
        return "power of two"
    if largest_prime_factor(n) == n:
        return "prime"
    if largest_prime_factor(n) <= 7:
        return "smooth (factors <= 7)"
    return "other composite"


def bench_spectrum(rounds: int) -> None:
    build = build_for_benchmarks("spectrum_timing")
    output = subprocess.run(
        [os.path.join(build, "spectrum_timing"), str(rounds)], check=True, capture_output=True, text=True
    ).stdout
    kernels = output.splitlines()[0].removeprefix("# kernels ")
    rows = [line.split() for line in output.splitlines() if not line.startswith("#")]
    per_length = {int(n): float(median) / 1e3 for n, median, _ in rows}
    # The best round per length as well: on a shared machine a length's
    # median may catch another process's burst.
    best_of = {int(n): float(best) / 1e3 for n, _, best in rows}
    classes: dict[str, list[int]] = {}
    for n in per_length:
        classes.setdefault(length_class(n), []).append(n)
    print(f"spectrum alone, lengths 8-299, median over {rounds} rounds per length, {kernels} kernels (us)")
    print(f"{'length class':24}{'lengths':>8}{'median':>9}{'worst':>9}{'worst best-of':>15}  worst at")
    for name in ("power of two", "smooth (factors <= 7)", "other composite", "prime"):
        lengths = classes.get(name, [])
        if lengths:
            times = [per_length[n] for n in lengths]
            worst = max(lengths, key=per_length.get)
            print(
                f"{name:24}{len(lengths):8d}{statistics.median(times):9.2f}{max(times):9.2f}"
                f"{max(best_of[n] for n in lengths):15.2f}  {worst}"
            )
    times = list(per_length.values())
    median, worst = statistics.median(times), max(times)
    print(
        f"{'all':24}{len(times):8d}{median:9.2f}{worst:9.2f}{max(best_of.values()):15.2f}  "
        f"{max(per_length, key=per_length.get)}"
        f"    targets: median <= {SPECTRUM_TARGETS['median']}, worst <= {SPECTRUM_TARGETS['worst']}"
    )
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="3 short rounds instead of 9")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument(
        "--only",
        choices=["features", "state", "spectrum", "json", "evidence", "bodies", "floor", "guard", "redis"],
        help="run one group and no headline",
    )
    args = parser.parse_args()
    rounds, budget = (3, 0.01) if args.quick else (9, 0.04)

    print(
        f"quelvar_core_rs {core.get_core_version()} on Python {sys.version.split()[0]}, "
        f"{rounds} interleaved rounds, about {budget * 1e3:.0f} ms per contender per round"
    )
    table, headline = Table(), {}
    if args.only in (None, "spectrum"):
        bench_spectrum(rounds)
        if args.only:
            return
    if args.only in (None, "features"):
        bench_features(table, rounds, budget, headline)
    if args.only in (None, "json"):
        bench_json(table, rounds, budget, headline)
    if args.only in (None, "evidence"):
        bench_evidence(table, rounds, budget, headline)
    if args.only in (None, "bodies"):
        bench_bodies(rounds, budget, headline)
        if args.only:
            return
    if args.only in (None, "state"):
        bench_state(table, rounds, budget, headline)
    if args.only in (None, "state", "floor"):
        bench_state_floor(table, rounds, budget, headline)
    if args.only in (None, "guard"):
        guard_bench.bench_guard(table, rounds, budget, headline)
    if args.only == "redis":
        print("\n".join(redis_cost.figures(args.quick, {"served", "walk", "async", "telemetry"})))
        return
    table.print()
    if args.only in (None, "json"):
        print()
        print_json_figures(headline)
    if args.only in (None, "evidence"):
        print()
        print_evidence_figures(headline)
    for name in ("replay / floor", "ban hit / floor"):
        if name in headline:
            module, floor = headline[name]
            print(
                f"{name}: {module.best / floor.best:.2f} best, {module.median / floor.median:.2f} median"
                f" (medians {module.median * 1e9:.1f} / {floor.median * 1e9:.1f} ns; target 1.25 or less)"
            )
    if args.only == "guard":
        print("\n".join(guard_bench.summary(headline)))
    if args.only:
        return

    print()
    module_300, floor_300 = headline["same_run_module_300"], headline["floor_300"]
    module_5000, floor_5000 = headline["same_run_module_5000"], headline["floor_5000"]
    growth = (module_5000.median - floor_5000.median) / (module_300.median - floor_300.median)
    print(
        f"module / decode floor at 300 points: {module_300.best / floor_300.best:.2f} best, "
        f"{module_300.median / floor_300.median:.2f} median (target <= 1.45)"
    )
    print(f"(module - decode floor) at 5000 points / at 300 points: {growth:.2f} (medians)")
    parts = [
        f"python/module 300 pts {headline['python_300'].median / headline['module_300'].median:.0f}x",
        f"numpy/module 300 pts {headline['numpy_300'].median / headline['module_300'].median:.1f}x",
        f"module/floor {module_300.median / floor_300.median:.2f}",
        f"5000-vs-300 {growth:.2f}",
    ]
    parts.append(f"costliest body {headline['costliest_body'][1]:.1f}x typical")
    for name in ("nonce_fresh", "nonce_replay", "ban_hit", "hydrate", "stats"):
        pair = headline[name]
        parts.append(f"{name} {pair['python'].median / pair['module'].median:.1f}x")
    if not args.skip_memory:
        memory = bench_memory(1_000_000)
        print(
            f"resident bytes per stored {TOKEN_LENGTH}-character token: module {memory['module']:.1f}, "
            f"python set {memory['python']:.1f}"
        )
        parts.append(f"bytes/token {memory['module']:.0f} (python {memory['python']:.0f})")
    print("\n".join(guard_bench.summary(headline)))
    print("\n".join(redis_cost.figures(args.quick, {"served", "walk", "async", "telemetry"})))
    print()
    print("headline: " + " | ".join(parts))


if __name__ == "__main__":
    main()
