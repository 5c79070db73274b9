"""What an operator sees and does: the decision record in the log, and the
command line against a real redis-server."""

from __future__ import annotations

import io
import json
import logging
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quelvar_guard import Decision, Guard, LocalStore, TokenKind, TokenVerdict, Tokens, WSGIGuard
from quelvar_guard.record import DEFAULT_BURST, DEFAULT_RATE, RECORD

from servers import ROOT, make_store, wait_until

SECRET = "operations-secret-" + "k" * 32
HUMAN = (ROOT / "examples" / "sessions" / "human.json").read_bytes()


def _call(app, path: str, token: str | None = None, body: bytes = b"", method: str = "GET",
          peer: str = "::ffff:198.51.100.7") -> str:
    environ = {"PATH_INFO": path, "REQUEST_METHOD": method, "REMOTE_ADDR": peer,
               "CONTENT_LENGTH": str(len(body)), "wsgi.input": io.BytesIO(body)}
    if token is not None:
        environ["HTTP_X_QUELVAR_TOKEN"] = token
    status = []
    app(environ, lambda line, headers: status.append(line))
    return status[0]


def test_each_decision_is_recorded_once_with_its_fields_and_a_flood_is_limited(request, prefix, proxy, caplog):
    caplog.set_level(logging.INFO, logger="quelvar_guard")
    store = make_store("redis", request, prefix, url=proxy.url, timeout=0.2)
    guard = Guard(store, [SECRET], decide=lambda features: Decision.ban(60, reasons=["test"]))
    app = WSGIGuard(lambda environ, start: start("200 OK", []) or [b"ok"], guard)

    def events(kind: str) -> list[logging.LogRecord]:
        return [record for record in caplog.records if getattr(record, "event", None) == kind]

    guarded = guard.tokens.issue(TokenKind.GUARDED)
    assert _call(app, "/api/x", guarded).startswith("200")
    assert _call(app, "/api/x", guarded).startswith("409")
    telemetry = guard.tokens.issue(TokenKind.TELEMETRY)
    assert _call(app, "/quelvar/telemetry", telemetry, HUMAN, "POST").startswith("403")
    [refusal], [ban] = events("refusal"), events("ban")
    assert (refusal.levelno, refusal.reason, refusal.decision, refusal.verdict, refusal.address, refusal.path,
            refusal.pid) == (logging.INFO, "replayed_token", "refuse", "replayed", "198.51.100.7", "/api/x", os.getpid())
    assert (ban.levelno, ban.decision, ban.seconds, ban.reasons, ban.address, ban.path) == (
        logging.WARNING, "ban", 60, ["test"], "198.51.100.7", "/quelvar/telemetry")
    text = " ".join(f"{record.getMessage()} {vars(record)}" for record in caplog.records)
    assert guarded not in text and telemetry not in text and SECRET not in text

    proxy.set("down")
    wait_until(lambda: store.stats()["degraded"])
    time.sleep(0.5)  # the listener retries meanwhile: still one event
    proxy.set("pass")
    wait_until(lambda: store.stats()["connected"])
    outage = [(record.levelno, record.reason) for record in events("store")]
    assert outage == [(logging.ERROR, "degraded"), (logging.WARNING, "connected")]

    RECORD.limit(rate=1.0, burst=5)
    request.addfinalizer(lambda: RECORD.limit(DEFAULT_RATE, DEFAULT_BURST))
    caplog.clear()
    for _ in range(50):
        assert _call(app, "/api/x", peer="198.51.100.8").startswith("400")  # missing_token
    written = len(events("refusal"))
    assert 5 <= written <= 6
    time.sleep(1.1)
    _call(app, "/api/x", peer="198.51.100.8")
    [dropped] = events("dropped")
    assert dropped.dropped == 50 - written and len(events("refusal")) == written + 1


# (arguments, environment, exit code, what the JSON says, what then holds)
BANNED, FREE = "192.0.2.7", "2001:db8::1"
CASES = {
    "status": (["status"], {}, 0, lambda out: out["reachable"] and out["active_bans"] == 1, None),
    "status_unreachable": (["status"], {"QUELVAR_REDIS_URL": "redis://127.0.0.1:1/0"}, 1,
                           lambda out: not out["reachable"], None),
    "list": (["bans", "list"], {}, 0, lambda out: [ban["address"] for ban in out["bans"]] == [BANNED], None),
    "check_banned": (["bans", "check", f"::ffff:{BANNED}"], {}, 1, lambda out: out["banned"], None),
    "check_free": (["bans", "check", "2001:0db8:0::1"], {}, 0, lambda out: not out["banned"], None),
    "add": (["bans", "add", "2001:db8:0::1", "--seconds", "50"], {}, 0, lambda out: out["address"] == FREE,
            lambda store: store.ban_remaining(FREE) is not None),
    "remove": (["bans", "remove", BANNED], {}, 0, lambda out: not out["banned"],
               lambda store: store.ban_remaining(BANNED) is None),
    "bad_address": (["bans", "check", "not-an-address"], {}, 2, None, None),
    "token": (["tokens", "issue"], {}, 0,
              lambda out: Tokens([SECRET], LocalStore()).verify(out["token"], TokenKind.TELEMETRY) is TokenVerdict.OK,
              None),
    "config_fine": (["config", "check"], {}, 0, lambda out: out["problems"] == [], None),
    "config_no_database": (["config", "check"], {"database": "99"}, 1,
                           lambda out: out["problems"] == [f"Redis at {out['store']} has no database 99 "
                                                           "(QUELVAR_REDIS_URL)"], None),
    "config_mistakes": (["config", "check"], {"QUELVAR_REDIS_URL": "127.0.0.1:6379", "QUELVAR_TOKEN_SECRETS": "short"},
                        1, lambda out: len(out["problems"]) == 2 and "redis://" in out["problems"][0], None),
    "config_scope_and_model": (["config", "check"], {"QUELVAR_IPV6_PREFIX": "129", "QUELVAR_SCORING_MODEL": "/nowhere"},
                               1, lambda out: len(out["problems"]) == 2 and "QUELVAR_IPV6_PREFIX" in out["problems"][0],
                               None),
    "bans_check_nat64": (["bans", "check", "64:ff9b::c000:207"], {}, 1, lambda out: out["banned"], None),
}


@pytest.mark.parametrize("case", CASES)
def test_the_command_line(case, request, prefix, live_redis):
    arguments, overrides, code, says, then = CASES[case]
    store = make_store("redis", request, prefix)
    store.ban(BANNED, 600)
    url = live_redis.url
    if "database" in overrides:
        url = url.rsplit("/", 1)[0] + "/" + overrides.pop("database")
    env = dict(os.environ, QUELVAR_REDIS_URL=url, QUELVAR_REDIS_PREFIX=prefix, QUELVAR_TOKEN_SECRETS=SECRET,
               PYTHONPATH=os.pathsep.join(filter(None, [str(Path(sys.modules["quelvar_guard"].__file__).parents[1]),
                                                        os.environ.get("PYTHONPATH")])))
    env.update(overrides)
    done = subprocess.run([sys.executable, "-m", "quelvar_guard", *arguments, "--json", "--timeout", "0.5"],
                          env=env, capture_output=True, text=True, timeout=30)
    assert done.returncode == code, done.stderr
    if says is not None:
        out = json.loads(done.stdout)
        assert out["ok"] is (code == 0) and says(out), out
    if then is not None:
        wait_until(lambda: then(store), 5)
