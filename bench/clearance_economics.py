"""What a clearance costs a bot and the server: a benchmark (tables and a plot).

Served as deployed: the example (examples/web_wsgi.py) under gunicorn with
two sync workers and a redis-server, both on loopback. The bot is this
process: it fetches a telemetry token, solves its work with a native solver
(bench/work_solver.c, compiled here against libcrypto's SHA-256), posts a
body, pays a challenge's work if it gets one, and spends the clearance's
guarded tokens on /api/hello. Its requests come from TRUSTED_PROXY with
X-Forwarded-For naming documentation addresses, one per clearance unless a
rate run says otherwise.

Recipes: an empty body; the example page's own post before any movement in
headless Chromium (as the browser reports it, and with navigator.webdriver
hidden); bodies from the movement packages (the built corpora of
bench/evaluation, or a few sessions made here); replayed human recordings.

CPU: the client's is this process's (process_time: the HTTP calls in Python
included, so an upper bound for a native bot); the server's is the gunicorn
workers' and redis-server's, from /proc/<pid>/stat, over the same run. Both
are divided by the guarded requests served, so the clearance's share is in.

    python bench/clearance_economics.py [--quick] [--page-only]
"""

from __future__ import annotations

import argparse
import base64
import ctypes
import gzip
import http.client
import json
import os
import secrets
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from quelvar_guard.decision import (  # noqa: E402
    DEFAULT_MAX_WORK_BITS,
    DEFAULT_MINT_BURST,
    DEFAULT_MINT_RATE,
    DEFAULT_WORK_BITS,
)
from quelvar_guard.networks import DEFAULT_NETWORK_BUDGETS  # noqa: E402
from quelvar_guard.work import check as work_done  # noqa: E402
from tests.servers import TRUSTED_PROXY, RedisServer, Served  # noqa: E402

OUT = ROOT / "build" / "economics"
SOLVER_SOURCE = ROOT / "bench" / "work_solver.c"
SHARED = Path(os.environ.get("QUELVAR_SHARED_DATA", ROOT.parent / "shared" / "data"))
CORPORA = ROOT / "build" / "evaluation" / "corpora"
GENERATORS = ("straight", "pyclick", "humancursor", "windmouse", "bezier", "cursory")
BASE_BITS, TOP_BITS = DEFAULT_WORK_BITS, DEFAULT_MAX_WORK_BITS
PAGE_BITS = (12, BASE_BITS, BASE_BITS + 3, TOP_BITS)
# Hides the flag the way a bot would, so the page posts as a person's browser
# does (headless Chromium under DevTools reports true, which the rules ban).
HIDE_WEBDRIVER = "Object.defineProperty(navigator, 'webdriver', {get: () => false}); true"


def progress(text: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


class Solver:
    """The native solver through ctypes, compiled when its source is newer."""

    def __init__(self) -> None:
        OUT.mkdir(parents=True, exist_ok=True)
        library = OUT / "work_solver.so"
        if not library.exists() or library.stat().st_mtime < SOLVER_SOURCE.stat().st_mtime:
            built = subprocess.run(
                ["cc", "-O2", "-shared", "-fPIC", "-o", str(library), str(SOLVER_SOURCE), "-lcrypto"],
                capture_output=True,
                text=True,
            )
            if built.returncode:
                raise SystemExit(f"the native solver did not build (apt-get install libssl-dev):\n{built.stderr}")
        self.lib = ctypes.CDLL(str(library))
        self.lib.quelvar_solve.restype = ctypes.c_uint64
        self.lib.quelvar_solve.argtypes = [
            ctypes.c_char_p,
            ctypes.c_size_t,
            ctypes.c_int,
            ctypes.c_uint64,
            ctypes.c_uint64 * 4,
        ]
        self.seconds = 0.0

    def solve(self, token: str, bits: int) -> str:
        nonces = (ctypes.c_uint64 * 4)()
        started = time.process_time()
        raw = token.encode()
        if not self.lib.quelvar_solve(raw, len(raw), bits, 1 << 40, nonces):
            raise RuntimeError("no answer found")
        self.seconds += time.process_time() - started
        return ".".join(map(str, nonces))


class Client:
    """One keep-alive connection from the trusted proxy's address."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=(TRUSTED_PROXY, 0))

    def call(self, method: str, path: str, address: str, body: bytes | None = None, **headers: str):
        headers = {"X-Forwarded-For": address, **headers}
        if body is not None:
            headers["Content-Type"] = "application/json"
        for attempt in range(2):  # a sync worker closes each connection
            try:
                self.connection.request(method, path, body=body, headers=headers)
                response = self.connection.getresponse()
                data = response.read()
                break
            except (http.client.HTTPException, ConnectionError):
                self.connection.close()
                if attempt:
                    raise
        try:
            return response.status, json.loads(data)
        except ValueError:
            return response.status, {}


def cpu_seconds(pids: list[int]) -> float:
    """CPU time of every thread of these processes, in ns steps (schedstat),
    where /proc/<pid>/stat counts 10 ms ticks: too coarse for a short run."""
    total = 0
    for pid in pids:
        for task in Path(f"/proc/{pid}/task").glob("*"):
            try:
                total += int((task / "schedstat").read_text().split()[0])
            except (OSError, ValueError, IndexError):
                continue
    return total / 1e9


def server_pids(served: Served, redis: RedisServer) -> list[int]:
    master = served.process.pid
    children = Path(f"/proc/{master}/task/{master}/children").read_text().split()
    return [master, *map(int, children), redis.process.pid]


def serve(redis: RedisServer, log: Path, bits: int, **environment: str) -> Served:
    redis.client().flushall()
    env = {
        "QUELVAR_WORK_BITS": str(bits),
        "QUELVAR_MAX_WORK_BITS": str(max(TOP_BITS, bits)),
        "QUELVAR_TRUSTED_PROXIES": TRUSTED_PROXY,
        **environment,
    }
    return Served("gunicorn", "examples.web_wsgi:app", redis.url, log, workers=2, **env)


# The served defaults, which tests.servers turns off for its own load tests.
DEFAULT_BUDGETS = {
    "QUELVAR_NETWORK_BUDGETS": " ".join(str(budget) for budget in DEFAULT_NETWORK_BUDGETS),
    "QUELVAR_MINT_RATE": str(DEFAULT_MINT_RATE),
    "QUELVAR_MINT_BURST": str(DEFAULT_MINT_BURST),
}


# --- one clearance ------------------------------------------------------------------------------


def clearance(client: Client, solver: Solver, body: bytes, address: str) -> tuple[str, int, int]:
    """(outcome, guarded requests served, bits paid) for one try at a clearance."""
    status, answer = client.call("GET", "/quelvar/token", address)
    if status != 200:
        return f"token {status}", 0, 0
    token, bits, paid, outcome = answer["token"], answer["work"], 0, "allowed"
    for _ in range(3):
        nonces = solver.solve(token, bits)
        paid += bits
        status, answer = client.call(
            "POST",
            "/quelvar/telemetry",
            address,
            body,
            **{"X-Quelvar-Token": token, "X-Quelvar-Work": nonces},
        )
        if status == 200:
            break
        if answer.get("error") == "challenge" and answer.get("token"):
            outcome = "after " + ",".join(answer.get("reasons") or ["challenge"])
            token, bits = answer["token"], answer["work"]
            continue
        return f"{answer.get('error', status)} {','.join(answer.get('reasons', []))}".strip(), 0, paid
    else:
        return "challenged thrice", 0, paid
    served = 0
    for guarded in answer["tokens"]:
        status, _ = client.call("GET", "/api/hello", address, **{"X-Quelvar-Token": guarded})
        served += status == 200
    return outcome, served, paid


def run_recipe(served: Served, redis: RedisServer, solver: Solver, bodies: list[bytes], count: int, seconds: float):
    client = Client(served.port)
    pids = server_pids(served, redis)
    outcomes: dict[str, int] = {}
    guarded = posts = 0
    server_before, client_before, solve_before = cpu_seconds(pids), time.process_time(), solver.seconds
    started = time.monotonic()
    for index in range(count):
        if time.monotonic() - started > seconds:
            break
        # A fresh /48 each: no level, ban or budget of one try weighs on the next.
        address = f"2001:db8:{(run_recipe.counter % 65535) + 1:x}::7"
        run_recipe.counter += 1
        outcome, served_now, _ = clearance(client, solver, bodies[index % len(bodies)], address)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        guarded += served_now
        posts += 1
    time.sleep(0.2)  # the workers' last accounting tick
    server = cpu_seconds(pids) - server_before
    client_cpu = time.process_time() - client_before
    return {
        "tries": posts,
        "allowed": sum(n for o, n in outcomes.items() if o == "allowed" or o.startswith("after")),
        "no_evidence": sum(n for o, n in outcomes.items() if "no_evidence" in o),
        "challenged": sum(n for o, n in outcomes.items() if o.startswith("after")),
        "outcomes": outcomes,
        "guarded": guarded,
        "client_s": client_cpu,
        "solve_s": solver.seconds - solve_before,
        "server_s": server,
    }


run_recipe.counter = 0  # type: ignore[attr-defined]


# --- bodies -------------------------------------------------------------------------------------


def telemetry(movements: list[dict]) -> bytes:
    from bench.evaluation.corpora import telemetry as body

    return json.dumps(body(movements), separators=(",", ":")).encode()


def generator_bodies(name: str, count: int) -> tuple[list[bytes], str]:
    """A few sessions of one package: from the built corpus, else made here."""
    path = CORPORA / f"{name}.captured.jsonl"
    if path.exists():
        with path.open() as lines:
            rows = [json.loads(line) for _, line in zip(range(count), lines, strict=False)]
        return [json.dumps(r["telemetry"], separators=(",", ":")).encode() for r in rows], "corpus"
    from bench.evaluation import capture, generators
    from bench.evaluation.corpora import _seed

    bodies = []
    for index in range(count):
        seed = _seed(name, index)
        trace = generators.session_trace(name, seed, 1 + index % 2)
        bodies.append(telemetry(capture.capture(trace, seed=seed, continuous=False)))
    return bodies, "made here"


def human_sets(recordings: bool = True) -> dict[str, list[tuple[str | None, list[dict]]]]:
    from bench.evaluation import humans

    sets: dict[str, list[tuple[str | None, list[dict]]]] = {}
    with gzip.open(SHARED / "human_movement.jsonl.gz", "rt", encoding="utf-8") as lines:
        sets["balabit"] = [(row["user"], row["mouse_movements"]) for row in map(json.loads, lines)]
    if not recordings:
        return sets
    for name, source in (
        ("cursory-recordings", humans.cursory_recordings),
        ("smart-mouse-recordings", humans.smart_mouse_recordings),
    ):
        try:
            sets[name] = [(user, movements) for user, _, movements in source()]
        except RuntimeError as error:
            progress(f"skipped {name}: {error}")
    return sets


def work_path_shares(sets) -> list[dict]:
    """The share of each human set the rules answer "no_evidence", judged in
    this process by the served scoring (every segment, not served)."""
    from quelvar_guard.scoring import Scoring, evidence

    scoring = Scoring()
    rows = []
    for name, recordings in sets.items():
        groups: dict[str, list[bool]] = {name: []}
        for user, movements in recordings:
            judgement = scoring.judge(*evidence(telemetry(movements)))
            flag = "no_evidence" in judgement.reasons
            groups[name].append(flag)
            if user is not None:
                groups.setdefault(f"{name} {user}", []).append(flag)
        for group, flags in groups.items():
            rows.append({"set": group, "posts": len(flags), "no_evidence": sum(flags) / len(flags)})
    return rows


# --- the browser --------------------------------------------------------------------------------


def open_page(browser, url: str, hide: bool = True) -> None:
    page = browser.page
    page("Page.navigate", url=url)
    deadline = time.monotonic() + 30
    while page.evaluate("document.readyState") != "complete":
        if time.monotonic() > deadline:
            raise RuntimeError("the page did not load")
        time.sleep(0.02)
    if hide:  # the page reads the flag when it posts, not at load
        page.evaluate(HIDE_WEBDRIVER)


def page_bodies(served_url: str) -> dict[str, bytes]:
    """What the page would post before any movement, as headless Chromium
    reports itself and with the webdriver flag hidden; read at load, before
    the page's own post (after 6 s)."""
    from bench.evaluation.chromium import Browser

    bodies = {}
    for hidden in (False, True):
        browser = Browser()
        try:
            open_page(browser, served_url + "/", hidden)
            text = browser.page.evaluate("JSON.stringify(telemetry())")
            bodies["page, no movement" + (", webdriver hidden" if hidden else "")] = text.encode()
            browser.page("Page.navigate", url="about:blank")
        finally:
            browser.close()
    return bodies


def first_guarded(browser, url: str, trace: list[dict] | None) -> tuple[float | None, str]:
    """ms from the first movement (or the load) to the first guarded answer, and the outcome."""
    page = browser.page
    open_page(browser, url)
    if trace:
        began, origin = time.perf_counter(), trace[0]["t"]
        for point in trace:
            wait = began + (point["t"] - origin) / 1000 - time.perf_counter()
            if wait > 0:
                time.sleep(wait)
            page.send("Input.dispatchMouseEvent", type="mouseMoved", x=point["x"], y=point["y"], button="none")
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline:
        state = page.evaluate("JSON.stringify(document.body.dataset)")
        data = json.loads(state)
        if "firstguardedms" in data:
            return float(data["firstguardedms"]), f"telemetry {data.get('telemetry')}, {data.get('solver')}"
        if data.get("done") or data.get("failed"):
            text = page.evaluate("document.getElementById('log').textContent").strip()
            return None, " ".join(text.split())[:90]
        time.sleep(0.05)
    return None, "timed out"


# The page's solvers (the WebAssembly one if the page has it) on its main
# thread, one after the other on the same puzzle: both find each part's least
# nonce, so both try the same hashes.
SOLVER_SPEED = """(async () => {
  const {solve, solveWasm} = new Function(`${solverText}; return {solve, solveWasm};`)();
  const module = await wasmModule;
  const solver = module && (await WebAssembly.instantiate(module)).exports;
  const solvers = [["script", () => solve(TOKEN, BITS)]];
  if (solver) solvers.push(["webassembly", () => solveWasm(solver, TOKEN, BITS, [0, 1, 2, 3])]);
  const times = {};
  for (const [name, run] of solvers) {
    const started = performance.now();
    const answer = run();
    times[name] = {answer, ms: performance.now() - started};
  }
  return JSON.stringify(times);
})()"""


def solver_speeds(browser, url: str, bits: int, rounds: int) -> dict[str, list[float]]:
    """Hashes a second of each of the page's solvers, one core, `rounds` puzzles."""
    open_page(browser, url)
    speeds: dict[str, list[float]] = {}
    for _ in range(rounds):
        token = base64.urlsafe_b64encode(secrets.token_bytes(60)).decode()
        expression = SOLVER_SPEED.replace("TOKEN", json.dumps(token)).replace("BITS", str(bits))
        times = json.loads(browser.page.evaluate(expression))
        for name, result in times.items():
            if not work_done(token.encode(), result["answer"], bits):
                raise RuntimeError(f"the page's {name} solver answered {result['answer']!r}")
            hashes = sum(int(nonce) + 1 for nonce in result["answer"].split("."))
            speeds.setdefault(name, []).append(hashes / result["ms"] * 1000)
    return speeds


def page_traces(sets, count: int) -> list[list[dict]]:
    """Human segments to move the page's cursor along: enough points and
    reach for the page's evidence, within 3 s, inside the window."""
    chosen = []
    for _, movements in sets["balabit"]:
        xs, ys = [p["x"] for p in movements], [p["y"] for p in movements]
        if (
            len(movements) >= 40
            and movements[-1]["t"] - movements[0]["t"] <= 3000
            and max(xs) - min(xs) + max(ys) - min(ys) >= 300
            and max(xs) < 1900
            and max(ys) < 1000
        ):
            chosen.append(movements)
        if len(chosen) == count:
            break
    return chosen


# --- rates --------------------------------------------------------------------------------------


def rate(served: Served, solver: Solver, body: bytes, addresses, drain: int, seconds: float) -> dict:
    """Guarded requests a second one client gets from `addresses` (an
    iterator), after spending the burst with bare token requests."""
    client = Client(served.port)
    drained = 0
    for _ in range(drain):
        status, _ = client.call("GET", "/quelvar/token", next(addresses))
        if status == 429:
            break
        drained += 1
    guarded = refused = clearances = 0
    bits: list[int] = []
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        address = next(addresses)
        status, answer = client.call("GET", "/quelvar/token", address)
        if status == 429:
            refused += 1
            time.sleep(0.02)
            continue
        token, work = answer["token"], answer["work"]
        bits.append(work)
        status, answer = client.call(
            "POST",
            "/quelvar/telemetry",
            address,
            body,
            **{"X-Quelvar-Token": token, "X-Quelvar-Work": solver.solve(token, work)},
        )
        if status != 200:
            continue
        clearances += 1
        for guarded_token in answer["tokens"]:
            status, _ = client.call("GET", "/api/hello", address, **{"X-Quelvar-Token": guarded_token})
            guarded += status == 200
    elapsed = time.monotonic() - started
    return {
        "drained": drained,
        "guarded_per_s": guarded / elapsed,
        "clearances": clearances,
        "refused": refused,
        "bits": statistics.median(bits) if bits else None,
    }


def cycle(make):
    index = 0
    while True:
        yield make(index)
        index += 1


# --- tables and the plot ------------------------------------------------------------------------


def markdown(columns: list[str], rows: list[list[object]]) -> str:
    lines = ["| " + " | ".join(columns) + " |", "|" + "|".join("---" for _ in columns) + "|"]
    lines += ["| " + " | ".join(str(v) for v in row) + " |" for row in rows]
    return "\n".join(lines)


def per_guarded(result: dict, key: str) -> float | None:
    return 1000 * result[key] / result["guarded"] if result["guarded"] else None


def fmt(value: float | None, digits: int = 2) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def plot(costs: dict, timings: dict[int, list[float]]) -> Path | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        progress("matplotlib is not installed: no plot")
        return None
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    colours = plt.cm.tab20.colors  # one per recipe: the default cycle has ten
    for index, (recipe, by_bits) in enumerate(costs.items()):
        points = [
            (bits, per_guarded(r, "client_s") / per_guarded(r, "server_s"))
            for bits, r in sorted(by_bits.items())
            if r["guarded"] and r["server_s"] > 0
        ]
        if points:
            left.plot(*zip(*points, strict=True), marker="o", label=recipe, color=colours[index % 20])
    left.set_xlabel("work bits")
    left.set_ylabel("client CPU / server CPU per guarded request")
    left.set_yscale("log")
    left.set_title("What a guarded request costs each side")
    if costs:  # none with --page-only
        left.legend(fontsize=7)
    shown = sorted(bits for bits, ms in timings.items() if ms)
    if shown:
        right.boxplot([timings[b] for b in shown], positions=range(len(shown)))
        right.set_xticks(range(len(shown)), [str(b) for b in shown])
    right.set_xlabel("work bits")
    right.set_ylabel("ms from first movement to first guarded answer")
    right.set_title("The example page in headless Chromium")
    figure.tight_layout()
    path = OUT / "economics.png"
    figure.savefig(path, dpi=110)
    return path


# --- the run ------------------------------------------------------------------------------------


def bot_costs_and_rates(redis, directory: Path, scale: float, sets, costs: dict, rates: dict, sources: dict) -> None:
    """The bot recipes' CPU per guarded request and the rates the budgets allow."""
    solver = Solver()
    served = serve(redis, directory / "bodies.log", BASE_BITS)
    try:
        progress("the page's own body, headless Chromium")
        recipes: dict[str, list[bytes]] = {"empty {}": [b"{}"]}
        recipes.update({name: [body] for name, body in page_bodies(served.url).items()})
    finally:
        served.stop()
    for name in GENERATORS:
        recipes[name], sources[name] = generator_bodies(name, 12)
    for name, recordings in sets.items():
        step = max(1, len(recordings) // 40)
        recipes[f"human {name}"] = [telemetry(m) for _, m in recordings[::step][:40]]

    # CPU per guarded request, at the base and the highest default work.
    for bits, count, seconds in ((BASE_BITS, int(40 * scale) or 4, 20.0), (TOP_BITS, int(8 * scale) or 3, 15.0)):
        served = serve(
            redis,
            directory / f"cost-{bits}.log",
            bits,
            # Budgets off here: every try at exactly this work (rates below).
            QUELVAR_NETWORK_BUDGETS="off",
            QUELVAR_MINT_BURST="1000000",
        )
        try:
            for recipe, bodies in recipes.items():
                result = run_recipe(served, redis, solver, bodies, count, seconds)
                costs.setdefault(recipe, {})[bits] = result
                progress(
                    f"{bits} bits  {recipe:34s} {result['allowed']}/{result['tries']} allowed  "
                    f"{result['guarded']} guarded  {result['outcomes']}"
                )
        finally:
            served.stop()

    # Rates from one address, one /24, one /48: the defaults' budgets.
    allowed_body = next(
        (
            bodies[0]
            for recipe, bodies in recipes.items()
            if recipe.startswith("human") and costs[recipe][BASE_BITS]["allowed"]
        ),
        recipes["page, no movement, webdriver hidden"][0],
    )
    served = serve(redis, directory / "rates.log", BASE_BITS, **DEFAULT_BUDGETS)
    window = 8.0 * max(scale, 0.5)
    try:
        for label, addresses, drain in (
            ("one address", cycle(lambda i: "198.51.100.7"), 200),
            ("one IPv4 /24", cycle(lambda i: f"203.0.113.{i % 254 + 1}"), 600),
            ("one IPv6 /48", cycle(lambda i: f"2001:db8:beef:{i % 65535 + 1:x}::1"), 600),
        ):
            rates[label] = rate(served, solver, allowed_body, addresses, drain, window)
            progress(f"rate {label}: {rates[label]}")
    finally:
        served.stop()


def print_bot_tables(costs: dict, sources: dict, rates: dict, shares: list[dict]) -> None:
    print("\n### Bot recipes: share allowed and CPU per guarded request (ms; solving is within client)\n")
    columns = ["recipe", "tries (both)", "allowed", "paid a challenge", "for no_evidence"]
    for bits in (BASE_BITS, TOP_BITS):
        columns += [f"client @{bits}", f"solving @{bits}", f"server @{bits}", f"ratio @{bits}"]
    rows = []
    for recipe, by_bits in costs.items():
        row: list[object] = [
            recipe + (f" ({sources[recipe]})" if recipe in sources else ""),
            sum(r["tries"] for r in by_bits.values()),
            f"{100 * sum(r['allowed'] for r in by_bits.values()) / sum(r['tries'] for r in by_bits.values()):.0f} %",
            f"{100 * sum(r['challenged'] for r in by_bits.values()) / sum(r['tries'] for r in by_bits.values()):.0f} %",
            f"{100 * sum(r['no_evidence'] for r in by_bits.values()) / sum(r['tries'] for r in by_bits.values()):.0f} %",
        ]
        for bits in (BASE_BITS, TOP_BITS):
            r = by_bits[bits]
            client, server = per_guarded(r, "client_s"), per_guarded(r, "server_s")
            ratio = client / server if client is not None and server else None
            row += [fmt(client), fmt(per_guarded(r, "solve_s")), fmt(server), fmt(ratio, 1)]
        rows.append(row)
    print(markdown(columns, rows))
    print("\nRefused recipes (no guarded request): server ms per try")
    for recipe, by_bits in costs.items():
        for bits, r in sorted(by_bits.items()):
            if not r["guarded"] and r["tries"]:
                print(
                    f"- {recipe} @{bits}: server {1000 * r['server_s'] / r['tries']:.2f} ms, client "
                    f"{1000 * r['client_s'] / r['tries']:.2f} ms (solving {1000 * r['solve_s'] / r['tries']:.2f}) "
                    f"per try; {r['outcomes']}"
                )
    print(f"\n### Guarded requests per second, steady state after the burst (work {BASE_BITS}, default budgets)\n")
    print(
        markdown(
            ["from", "burst taken (bare tokens)", "guarded/s", "clearances", "429s", "median bits"],
            [
                [k, v["drained"], f"{v['guarded_per_s']:.1f}", v["clearances"], v["refused"], v["bits"]]
                for k, v in rates.items()
            ],
        )
    )
    print("\n### People: share of posts that need the work path (no_evidence), every segment\n")
    print(
        markdown(
            ["set", "posts", "no_evidence"], [[r["set"], r["posts"], f"{100 * r['no_evidence']:.1f} %"] for r in shares]
        )
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer tries everywhere")
    parser.add_argument("--page-runs", type=int, default=3)
    parser.add_argument(
        "--page-only", action="store_true", help="only the page in headless Chromium: its solvers and its timings"
    )
    args = parser.parse_args(argv)
    scale = 0.34 if args.quick else 1.0
    OUT.mkdir(parents=True, exist_ok=True)
    progress("human recordings")
    sets = human_sets(recordings=not args.page_only)
    shares = [] if args.page_only else work_path_shares(sets)
    directory = Path(tempfile.mkdtemp(prefix="economics-"))
    redis = RedisServer(directory)
    costs: dict[str, dict[int, dict]] = {}
    timings: dict[int, list[float]] = {}
    page_outcomes: dict[int, list[str]] = {}
    rates: dict[str, dict] = {}
    sources: dict[str, str] = {}
    speeds: dict[str, list[float]] = {}
    try:
        if not args.page_only:
            bot_costs_and_rates(redis, directory, scale, sets, costs, rates, sources)

        # The page in headless Chromium: its solvers' speed on one core, then
        # a person's movement at each difficulty.
        from bench.evaluation.chromium import Browser

        served = serve(redis, directory / "page-speed.log", BASE_BITS)
        browser = Browser()
        try:
            speeds = solver_speeds(browser, served.url + "/", BASE_BITS + 1, 3 if args.quick else 6)
            progress("page solvers, hashes/s: " + str({k: round(statistics.median(v)) for k, v in speeds.items()}))
        finally:
            try:
                browser.close()
            finally:
                served.stop()
        traces = page_traces(sets, args.page_runs)
        for bits in PAGE_BITS:
            served = serve(redis, directory / f"page-{bits}.log", bits)
            browser = Browser()
            try:
                for index in range(args.page_runs):
                    ms, outcome = first_guarded(browser, served.url + "/", traces[index % len(traces)])
                    if ms is not None:
                        timings.setdefault(bits, []).append(ms)
                    page_outcomes.setdefault(bits, []).append(outcome)
                    progress(f"page at {bits} bits, run {index + 1}: {fmt(ms, 0)} ms ({outcome})")
                    browser.page("Page.navigate", url="about:blank")
                if bits == BASE_BITS:
                    ms, outcome = first_guarded(browser, served.url + "/", None)
                    page_outcomes["no movement"] = [outcome]  # type: ignore[index]
                    timings.setdefault(-1, []).extend([ms] if ms is not None else [])
                    progress(f"page at {bits} bits, no movement: {fmt(ms, 0)} ms from load ({outcome})")
            finally:
                try:
                    browser.close()
                finally:
                    served.stop()
    finally:
        redis.stop()

    if not args.page_only:
        print_bot_tables(costs, sources, rates, shares)
    print(f"\n### The page's solvers on one core, at {BASE_BITS + 1} bits (hashes a second)\n")
    print(
        markdown(
            ["solver", "puzzles", "median", "lowest", "highest"],
            [
                [name, len(v), f"{statistics.median(v):,.0f}", f"{min(v):,.0f}", f"{max(v):,.0f}"]
                for name, v in speeds.items()
            ],
        )
    )
    print("\n### The example page in headless Chromium: first movement to first guarded answer (ms)\n")
    print(
        markdown(
            ["work bits", "runs", "median ms", "outcomes"],
            [
                [
                    bits if bits != -1 else f"{BASE_BITS}, no movement (from load)",
                    len(page_outcomes.get(bits if bits != -1 else "no movement", [])),  # type: ignore[call-overload]
                    fmt(statistics.median(timings[bits]), 0) if timings.get(bits) else "-",
                    "; ".join(sorted(set(page_outcomes.get(bits if bits != -1 else "no movement", [])))),  # type: ignore[call-overload]
                ]
                for bits in [*PAGE_BITS, -1]
            ],
        )
    )
    path = plot(costs, {b: t for b, t in timings.items() if b != -1})
    if path:
        print(f"\nplot: {path.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
