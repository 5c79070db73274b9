"""The example page in real headless Chromium, against the WSGI example served as written."""

from __future__ import annotations

import base64
import os
import random
import re
import shutil
import subprocess

import pytest

from examples.web_setup import page
from quelvar_guard import work
from servers import ROOT

CHROMIUM = shutil.which("chromium")
needs_chromium = pytest.mark.skipif(
    CHROMIUM is None, reason="Debian's chromium is not installed (.ci/debian-packages.txt)"
)


def body_data(url: str, tmp_path, *flags: str) -> dict[str, str]:
    """The data attributes of the page's body once Chromium has run it."""
    dump = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            f"--user-data-dir={tmp_path / 'profile'}",
            *flags,
            "--dump-dom",
            url,
        ],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=ROOT,
        # The browser is not ours to instrument: without the sanitizer
        # runtimes that the sanitizer run preloads into everything.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    body = re.search(r"<body([^>]*)>", dump.stdout)
    assert body, dump.stderr[-2000:]
    return dict(re.findall(r'data-(\w+)="([^"]*)"', body.group(1)))


@needs_chromium
def test_the_page_fetches_a_token_posts_telemetry_and_sees_its_replay_refused(serve, tmp_path):
    server = serve("gunicorn", "examples.web_wsgi:app")
    # The page runs its exchange on load; the virtual time budget lets its
    # fetches finish before the DOM is written out (the tests' work is 0 bits:
    # solved in place, no worker).
    steps = body_data(server.url + "/", tmp_path, "--virtual-time-budget=20000")
    assert steps.pop("firstguardedms", "").isdigit(), steps
    assert steps == {"telemetry": "200", "guarded": "200", "replay": "409", "solver": "script", "done": "true"}


# Tokens of one whole block before the last (as served), of none, of two; at
# 2 bits any nonce does, at 20 two parts take more than the 2^18 nonces of
# one call into the module (the same tokens every run).
@needs_chromium
@pytest.mark.parametrize(("length", "bits"), [(80, 20), (80, 2), (28, 14), (140, 14)])
def test_the_webassembly_solver_answers_as_the_script_and_the_reference_do(tmp_path, length, bits):
    # The served page's own solver script and inlined module, run at load.
    served = page().decode()
    script = re.search(r'<script id="solver" type="text/plain">(.*?)</script>', served, re.S)
    module = re.search(r'<script id="solver-wasm" type="application/octet-stream">([^<]+)</script>', served)
    assert script and module, "examples/work_solver.wasm is not built (make install builds it)"
    token = base64.urlsafe_b64encode(random.Random(f"{length}-{bits}").randbytes(length * 3 // 4)).decode()
    harness = tmp_path / "solver.html"
    harness.write_text(
        f"<!doctype html><body><script>{script.group(1)}</script><script>\n"
        f'const bytes = Uint8Array.from(atob("{module.group(1)}"), c => c.charCodeAt(0));\n'
        "const solver = new WebAssembly.Instance(new WebAssembly.Module(bytes)).exports;\n"
        f'document.body.dataset.webassembly = solveWasm(solver, "{token}", {bits}, [0, 1, 2, 3]);\n'
        f'document.body.dataset.script = solve("{token}", {bits});\n</script>'
    )
    answers = body_data(harness.as_uri(), tmp_path)
    # The least nonce of each part, found as the reference does (the script
    # too, which reads only tokens as served); and the server takes it.
    reference = work.solve(token, bits)
    assert answers["webassembly"] == reference
    assert answers["script"] == reference or length != 80
    assert work.check(token.encode(), answers["webassembly"], bits)
