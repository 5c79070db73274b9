"""The example page in real headless Chromium, against the WSGI example served as written."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import pytest

from servers import ROOT

CHROMIUM = shutil.which("chromium")


@pytest.mark.skipif(CHROMIUM is None, reason="Debian's chromium is not installed (.ci/debian-packages.txt)")
def test_the_page_fetches_a_token_posts_telemetry_and_sees_its_replay_refused(serve, tmp_path):
    server = serve("gunicorn", "examples.web_wsgi:app")
    # The page runs its exchange on load; the virtual time budget lets its
    # fetches finish before the DOM is written out.
    dump = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--virtual-time-budget=20000",
            "--dump-dom",
            server.url + "/",
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
    steps = dict(re.findall(r'data-(\w+)="([^"]*)"', body.group(1)))
    assert steps.pop("firstguardedms", "").isdigit(), dump.stdout
    assert steps == {"telemetry": "200", "guarded": "200", "replay": "409", "done": "true"}, dump.stdout
