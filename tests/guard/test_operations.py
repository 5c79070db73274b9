"""What an operator sees and does: the settings, the decision record in the
log, the workers' heartbeats, and the command line against a real redis-server."""

from __future__ import annotations

import functools
import inspect
import io
import json
import logging
import os
import secrets
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quelvar_guard import Decision, Guard, LocalStore, RedisStore, TokenKind, Tokens, TokenVerdict, WSGIGuard
from quelvar_guard._redis.fleet import BEAT_TTL, FleetKeys
from quelvar_guard.config import CODE_ONLY, ConfigError, Settings, declared, options_table
from quelvar_guard.record import DEFAULT_BURST, DEFAULT_RATE, DROPPED_NOTICE_SECONDS, RECORD
from servers import ROOT, SERVER_ENV, free_port, make_store, wait_until

SECRET = "operations-secret-" + "k" * 32
HUMAN = (ROOT / "examples" / "sessions" / "human.json").read_bytes()


def _call(
    app, path: str, token: str | None = None, body: bytes = b"", method: str = "GET", peer: str = "::ffff:198.51.100.7"
) -> str:
    environ = {
        "PATH_INFO": path,
        "REQUEST_METHOD": method,
        "REMOTE_ADDR": peer,
        "CONTENT_LENGTH": str(len(body)),
        "wsgi.input": io.BytesIO(body),
    }
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
    assert (
        refusal.levelno,
        refusal.reason,
        refusal.decision,
        refusal.verdict,
        refusal.address,
        refusal.path,
        refusal.pid,
    ) == (logging.INFO, "replayed_token", "refuse", "replayed", "198.51.100.7", "/api/x", os.getpid())
    assert (ban.levelno, ban.decision, ban.seconds, ban.reasons, ban.address, ban.path) == (
        logging.WARNING,
        "ban",
        60,
        ["test"],
        "198.51.100.7",
        "/quelvar/telemetry",
    )
    text = " ".join(f"{record.getMessage()} {vars(record)}" for record in caplog.records)
    assert guarded not in text and telemetry not in text and SECRET not in text
    # The application lifts it, naming itself: recorded once, under the key the ban is kept by.
    store.unban("::ffff:198.51.100.7", source="admin")
    [unban] = events("unban")
    assert (unban.levelno, unban.address, unban.source) == (logging.WARNING, "198.51.100.7", "admin")

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
    # A flood that goes on: its count waits for the next interval, rather than
    # a notice before every event the bucket lets through.
    RECORD.limit(rate=50.0, burst=1)
    caplog.clear()
    # Until ten refusals were written, well within one notice interval.
    deadline = time.monotonic() + DROPPED_NOTICE_SECONDS / 2
    while len(events("refusal")) < 10:
        assert time.monotonic() < deadline, "the flood wrote too few events"
        _call(app, "/api/x", peer="198.51.100.8")
        time.sleep(0.002)  # a flood's pace, the bucket refilling between calls
    assert len(events("dropped")) <= 1


def test_no_text_of_an_event_can_write_a_line_of_its_own(request, prefix, caplog):
    caplog.set_level(logging.INFO, logger="quelvar_guard")
    store = make_store("local", request, prefix)
    guard = Guard(store, [SECRET])
    app = WSGIGuard(lambda environ, start: start("200 OK", []) or [b"ok"], guard)
    forged = "/api/x\nWARNING quelvar_guard: unban 192.0.2.1 by admin\r\x1b[2K\u2028\\"
    assert _call(app, forged).startswith("400")  # missing_token
    store.ban("192.0.2.1", 60, source="admin\nquelvar_guard: unban 192.0.2.1 by admin")
    [refusal], [ban] = (
        [record for record in caplog.records if getattr(record, "event", None) == kind] for kind in ("refusal", "ban")
    )
    for record in (refusal, ban):
        line = logging.Formatter("%(levelname)s %(message)s %(path)s %(source)s", defaults={"path": "", "source": ""})
        text = line.format(record)
        assert "\n" not in text and "\r" not in text and "\x1b" not in text and "\u2028" not in text, text
    assert refusal.path == "/api/x\\nWARNING quelvar_guard: unban 192.0.2.1 by admin\\r\\x1b[2K\\u2028\\\\"
    assert refusal.getMessage().endswith(f"on {refusal.path}")
    assert ban.source == "admin\\nquelvar_guard: unban 192.0.2.1 by admin"


# (arguments, environment, exit code, what the JSON says, what then holds)
BANNED, FREE = "192.0.2.7", "2001:db8::1"
CASES = {
    "status": (["status"], {}, 0, lambda out: out["reachable"] and out["active_bans"] == 1, None),
    "status_unreachable": (
        ["status"],
        {"QUELVAR_REDIS_URL": "redis://127.0.0.1:1/0"},
        1,
        lambda out: not out["reachable"],
        None,
    ),
    "list": (["bans", "list"], {}, 0, lambda out: [ban["address"] for ban in out["bans"]] == [BANNED], None),
    "check_banned": (["bans", "check", f"::ffff:{BANNED}"], {}, 1, lambda out: out["banned"], None),
    "check_free": (["bans", "check", "2001:0db8:0::1"], {}, 0, lambda out: not out["banned"], None),
    "add": (
        ["bans", "add", "2001:db8:0::1", "--seconds", "50"],
        {},
        0,
        lambda out: out["address"] == FREE,
        lambda store: store.ban_remaining(FREE) is not None,
    ),
    # One default for a ban's length: the service's QUELVAR_BAN_SECONDS (600 unless set).
    "add_default": (["bans", "add", FREE], {}, 0, lambda out: out["seconds"] == 600, None),
    "add_service_default": (
        ["bans", "add", FREE],
        {"QUELVAR_BAN_SECONDS": "120"},
        0,
        lambda out: out["seconds"] == 120,
        lambda store: 110 < store.ban_remaining(FREE) <= 120,
    ),
    "status_wrong_prefix": (
        ["status"],
        {"QUELVAR_REDIS_PREFIX": "elsewhere:"},
        1,
        lambda out: out["workers"] == [] and "'elsewhere:'" in out["problems"][0],
        None,
    ),
    "remove": (
        ["bans", "remove", BANNED],
        {},
        0,
        lambda out: not out["banned"],
        lambda store: store.ban_remaining(BANNED) is None,
    ),
    "bad_address": (["bans", "check", "not-an-address"], {}, 2, None, None),
    "token": (
        ["tokens", "issue"],
        {},
        0,
        lambda out: Tokens([SECRET], LocalStore()).verify(out["token"], TokenKind.TELEMETRY) is TokenVerdict.OK,
        None,
    ),
    "config_fine": (["config", "check"], {}, 0, lambda out: out["problems"] == [], None),
    "config_no_database": (
        ["config", "check"],
        {"database": "99"},
        1,
        lambda out: out["problems"] == [f"Redis at {out['store']} has no database 99 (QUELVAR_REDIS_URL)"],
        None,
    ),
    "config_mistakes": (
        ["config", "check"],
        {"QUELVAR_REDIS_URL": "127.0.0.1:6379", "QUELVAR_TOKEN_SECRETS": "short"},
        1,
        lambda out: len(out["problems"]) == 2 and "redis://" in out["problems"][0],
        None,
    ),
    "config_scope_and_model": (
        ["config", "check"],
        {"QUELVAR_IPV6_PREFIX": "129", "QUELVAR_SCORING_MODEL": "/nowhere"},
        1,
        lambda out: len(out["problems"]) == 2 and "QUELVAR_IPV6_PREFIX" in out["problems"][0],
        None,
    ),
    "config_windows_and_a_typo": (
        ["config", "check"],
        {"QUELVAR_CLOCK_SKEW": "30", "QUELVAR_REDIS_ULR": "x"},
        1,
        lambda out: (
            len(out["problems"]) == 1
            and "QUELVAR_CLOCK_SKEW" in out["problems"][0]
            and out["warnings"] == ["QUELVAR_REDIS_ULR is not a setting (did you mean QUELVAR_REDIS_URL?)"]
        ),
        None,
    ),
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
    # A deployment's environment: none of the test run's own QUELVAR_ markers.
    env = dict(
        {name: value for name, value in os.environ.items() if not name.startswith("QUELVAR_")},
        QUELVAR_REDIS_URL=url,
        QUELVAR_REDIS_PREFIX=prefix,
        QUELVAR_TOKEN_SECRETS=SECRET,
        PYTHONPATH=os.pathsep.join(
            filter(None, [str(Path(sys.modules["quelvar_guard"].__file__).parents[1]), os.environ.get("PYTHONPATH")])
        ),
    )
    env.update(overrides)
    done = subprocess.run(
        [sys.executable, "-m", "quelvar_guard", *arguments, "--json", "--timeout", "0.5"],
        env=env,
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert done.returncode == code, done.stderr
    if says is not None:
        out = json.loads(done.stdout)
        assert out["ok"] is (code == 0) and says(out), out
    if then is not None:
        wait_until(lambda: then(store), 5)


def _command_line(arguments: list[str], **environment: str) -> subprocess.CompletedProcess:
    """The command line as a deployment runs it, without --json: the report on
    standard output, the problems on standard error."""
    env = dict(
        {name: value for name, value in os.environ.items() if not name.startswith("QUELVAR_")},
        PYTHONPATH=os.pathsep.join(
            filter(None, [str(Path(sys.modules["quelvar_guard"].__file__).parents[1]), os.environ.get("PYTHONPATH")])
        ),
        **environment,
    )
    command = [sys.executable, "-m", "quelvar_guard", *arguments, "--timeout", "0.5"]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=30)


def test_a_redis_password_is_printed_nowhere(request, prefix, live_redis):
    password = "pw-" + secrets.token_hex(8)
    user, admin = f"ops-{secrets.token_hex(4)}", live_redis.client()
    admin.acl_setuser(user, enabled=True, passwords=[f"+{password}"], keys=["*"], channels=["*"], commands=["+@all"])
    request.addfinalizer(lambda: admin.acl_deluser(user))
    make_store("redis", request, prefix).ban(BANNED, 600)  # a worker with a heartbeat
    where = f"127.0.0.1:{live_redis.port}/0"
    # The user part, and the query (the only form a unix socket's URL has).
    for url in (f"redis://{user}:{password}@{where}", f"redis://{where}?username={user}&password={password}"):
        for arguments in (["status"], ["status", "--json"], ["bans", "add", FREE, "-v"], ["config", "check", "--json"]):
            done = _command_line(
                arguments, QUELVAR_REDIS_URL=url, QUELVAR_REDIS_PREFIX=prefix, QUELVAR_TOKEN_SECRETS=SECRET
            )
            assert done.returncode == 0 and password not in done.stdout + done.stderr, (url, arguments, done)
            assert "***" in done.stdout + done.stderr, done
        # A URL the settings refuse is named redacted too.
        done = _command_line(["status"], QUELVAR_REDIS_URL=url.replace("/0", "/0#x", 1), QUELVAR_REDIS_PREFIX=prefix)
        assert done.returncode == 1 and password not in done.stdout + done.stderr and "***" in done.stderr, done


def test_what_keeps_the_command_line_from_redis_is_said_in_one_line(tmp_path, request, prefix, live_redis):
    port = free_port()
    password = "pw-" + secrets.token_hex(8)
    server = subprocess.Popen(
        ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--requirepass", password],
        cwd=tmp_path,
        env=SERVER_ENV,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    request.addfinalizer(lambda: (server.terminate(), server.wait(10)))

    def answers() -> bool:
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", port)) == 0

    wait_until(answers, 10, 0.05)
    where = f"127.0.0.1:{port}/0"
    cases = {
        f"redis://:wrong-{password}@{where}": ("refused the user or password of QUELVAR_REDIS_URL", {}),
        f"redis://{where}": ("wants a password, and QUELVAR_REDIS_URL gives none", {}),
        live_redis.url: ("is a single server, not a cluster node: unset QUELVAR_REDIS_CLUSTER", {"cluster": "1"}),
    }
    for url, (said, options) in cases.items():
        environment = {"QUELVAR_REDIS_URL": url, "QUELVAR_REDIS_PREFIX": prefix}
        if options:
            environment["QUELVAR_REDIS_CLUSTER"] = options["cluster"]
        for arguments in (["status"], ["bans", "list"], ["bans", "add", FREE]):
            done = _command_line(arguments, **environment)
            problems = done.stderr.splitlines()
            assert done.returncode == 1 and len(problems) == 1 and said in problems[0], (url, arguments, done)
            assert "Traceback" not in done.stderr and password not in done.stdout + done.stderr
    # With a problem found, the report still goes to standard output and the problem alone to standard error.
    done = _command_line(["status"], QUELVAR_REDIS_URL=live_redis.url, QUELVAR_REDIS_PREFIX="elsewhere:")
    assert done.returncode == 1 and "workers: 0 (0 degraded)" in done.stdout, done
    assert done.stderr.splitlines() == [
        "no worker has a heartbeat under the prefix 'elsewhere:': none is running on this Redis, "
        "or they run with another QUELVAR_REDIS_PREFIX (or database)"
    ]


def test_the_web_examples_name_a_wrong_redis_url_in_one_line(live_redis):
    where = f"127.0.0.1:{live_redis.port}/0"
    env = dict(
        {name: value for name, value in os.environ.items() if not name.startswith("QUELVAR_")},
        PYTHONPATH=os.pathsep.join([str(ROOT), str(Path(sys.modules["quelvar_guard"].__file__).parents[1])]),
    )
    for url, said in (
        (where, f"QUELVAR_REDIS_URL must start with redis://, rediss:// or unix://, not '{where}'"),
        ("redis://127.0.0.1:1/0", "Redis at redis://127.0.0.1:1/0 is unreachable: "),
        (f"redis://nobody:secret-pw@{where}", "Redis at redis://nobody:***@"),
    ):
        done = subprocess.run(
            [sys.executable, "-c", "from examples.web_setup import guard_from_environment; guard_from_environment()"],
            env=dict(env, QUELVAR_REDIS_URL=url),
            cwd=ROOT,
            capture_output=True,
            text=True,
            timeout=30,
        )
        last = done.stderr.strip().splitlines()[-1]
        assert done.returncode == 1 and last.startswith(f"quelvar_guard.config.ConfigError: {said}"), done.stderr
        assert "secret-pw" not in done.stderr and "site-packages/redis" not in done.stderr, done.stderr


# -- the settings -------------------------------------------------------------------

KEY = "k" * 32


def _texts(name: str, option, kind, default) -> list[str]:
    """A few texts of a setting, right and wrong."""
    special = {
        "redis_url": ["redis://127.0.0.1:6379/2", "rediss://h:1", "127.0.0.1:6379", "redis://h/x", "unix:///s"],
        "token_secrets": [KEY, "short", f"{KEY},{KEY[:31]}"],
        "trusted_proxies": ["10.0.0.0/8,::1", "10.0.0.0/33"],
        "guarded_paths": ["/api/,/login", "api"],
        "token_header": ["X-Token", "X Token"],
        "redis_prefix": ["app:"],
        "scoring_model": ["/nowhere"],
        "network_budgets": ["4/24:2:60,6/48:2:60", "off", "4/33:1:1"],
        "shadow_rules": ["straight_line,model", "no_such_rule"],
        "allow_networks": ["192.0.2.0/24,2001:db8::/32", "192.0.2.0/33"],
        "allow_file": ["/nowhere"],
        "crawler_dns": ["127.0.0.1:5353", "[::1]", "host:port"],
        "attestation_issuers": ["issuer=/nowhere"],
        "attestation_origin": ["example.com"],
        "route_policies": ['[{"prefix": "/api/s", "work_bits": 19}]', '[{"prefix": "/api/s", "work_bits": 99}]', "["],
    }
    if name in special:
        return special[name]
    if kind is bool:
        return ["1", "off", "maybe"]
    if option.choices:
        return [*option.choices, "via"]
    if kind is str or kind == str | None:  # a path
        return ["/elsewhere", "/quelvar/token", "/api/inside", "relative"]
    texts = [
        f"{option.least:g}",
        f"{option.least * 10:g}",
        f"{default:g}",
        f"{option.most:.0f}",
        f"{option.most * 2 + 1:.0f}",
        "x",
        "1.5" if kind is int else "nan",
    ]
    return texts + (["off"] if kind == float | None else [])


@functools.cache
def _right_texts() -> dict[str, list[str]]:
    """The texts of each setting that pass on their own."""
    right = {}
    for item in declared():
        right[item.option.env] = []
        for text in _texts(*item):
            try:
                Settings.from_environment({"QUELVAR_TOKEN_SECRETS": KEY, item.option.env: text})
                right[item.option.env].append(text)
            except ConfigError:
                pass
    return right


def _built(settings: Settings) -> None:
    store = settings.store()  # a RedisStore connects only when first used
    try:
        settings.guard(store)
    finally:
        store.close()


def test_settings_are_the_one_map_from_the_environment_to_the_constructors():
    # Every argument of the constructors is a setting, or is code's on purpose.
    for constructor in (Guard, RedisStore, LocalStore):
        given = {keyword for item in declared() for target, keyword in item.option.to if target == constructor.__name__}
        assert set(inspect.signature(constructor).parameters) == given | set(CODE_ONLY[constructor.__name__])
    assert options_table() in (ROOT / "README.md").read_text(), options_table()
    # One mistake, one line that names it; what passes, the constructors take.
    for item in declared():
        option = item.option
        for text in _texts(*item):
            environ = {"QUELVAR_TOKEN_SECRETS": KEY, option.env: text}
            try:
                _built(Settings.from_environment(environ))
            except ConfigError as error:
                assert len(error.problems) == 1 and option.env in error.problems[0], (environ, error.problems)


def test_a_setting_says_what_it_takes():
    def problem(env: str, text: str) -> str:
        with pytest.raises(ConfigError) as refused:
            Settings.from_environment({"QUELVAR_TOKEN_SECRETS": KEY, env: text})
        [said] = refused.value.problems
        return said

    assert problem("QUELVAR_BAN_SECONDS", "-1") == "QUELVAR_BAN_SECONDS must be at least 1, not -1"
    assert problem("QUELVAR_IPV4_PREFIX", "-8") == "QUELVAR_IPV4_PREFIX must be from 8 to 32, not -8"
    assert problem("QUELVAR_MINT_BURST", "1.5") == "QUELVAR_MINT_BURST must be a whole number, not '1.5'"
    # A switch takes 1 or 0 and the words the table names with them, and no other.
    said = problem("QUELVAR_STRICT", "maybe")
    assert said == "QUELVAR_STRICT must be 1 or 0 (true/false, yes/no, on/off), not 'maybe'"
    assert "| `QUELVAR_STRICT` | 1 or 0 (true/false, yes/no, on/off) |" in options_table()
    for text, strict in (("1", True), ("Yes", True), ("on", True), ("TRUE", True), ("0", False), ("no", False)):
        assert Settings.from_environment({"QUELVAR_TOKEN_SECRETS": KEY, "QUELVAR_STRICT": text}).strict is strict


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_settings_that_pass_together_are_taken_by_the_constructors(data):
    environ = {"QUELVAR_TOKEN_SECRETS": KEY}
    for env, texts in _right_texts().items():
        if texts and data.draw(st.booleans()):
            environ[env] = data.draw(st.sampled_from(texts))
    try:
        settings = Settings.from_environment(environ)
    except ConfigError as error:  # how they go together: the windows, the paths, ...
        assert all(any(env in problem for env in environ) for problem in error.problems), error
        return
    _built(settings)


# -- the workers' heartbeats ---------------------------------------------------------


def test_status_lists_the_workers_and_counts_the_degraded(request, prefix, live_redis):
    healthy = make_store("redis", request, prefix)
    assert healthy.stats()["connected"]
    # A worker Redis still answers but whose ban listener cannot subscribe (its
    # user may not): it still spends tokens and writes bans in Redis, and its
    # heartbeat says that its subscription is lost.
    user, admin = f"deaf-{secrets.token_hex(4)}", live_redis.client()
    admin.acl_setuser(
        user,
        enabled=True,
        passwords=["+pw"],
        keys=["*"],
        channels=["*"],
        commands=["+@all", "-subscribe", "-psubscribe", "-ssubscribe"],
    )
    request.addfinalizer(lambda: admin.acl_deluser(user))
    deaf = RedisStore(f"redis://{user}:pw@127.0.0.1:{live_redis.port}/0", prefix=prefix, timeout=0.2)
    request.addfinalizer(deaf.close)
    deaf.ban("192.0.2.9", 60)
    stats = deaf.stats()
    assert stats["connected"] and not stats["subscribed"] and stats["pending_writes"] == 0
    env = dict(os.environ, QUELVAR_REDIS_URL=live_redis.url, QUELVAR_REDIS_PREFIX=prefix)

    def status() -> tuple[int, dict]:
        done = subprocess.run(
            [sys.executable, "-m", "quelvar_guard", "status", "--json"],
            env=env,
            capture_output=True,
            text=True,
            timeout=30,
        )
        return done.returncode, json.loads(done.stdout)

    def reported() -> tuple[int, dict] | None:
        found = status()
        return found if found[1]["degraded_workers"] == 1 else None

    code, out = wait_until(reported, 10, 0.2)
    states = sorted(
        (worker["state"], worker["pid"], worker["host"], worker["on_unavailable"]) for worker in out["workers"]
    )
    assert code == 1 and states == [
        (state, os.getpid(), socket.gethostname(), "degrade") for state in ("connected", "subscription_lost")
    ]
    assert "1 of 2 workers lost their ban subscription" in out["problems"][0]
    # Each heartbeat expires by itself; a store that closes takes its own away at once.
    keys = FleetKeys(prefix)
    names = admin.zrange(keys.workers, 0, -1)
    assert len(names) == 2 and all(0 < admin.pttl(keys.worker(name.decode())) <= BEAT_TTL * 1000 for name in names)
    healthy.close()
    assert admin.zcard(keys.workers) == 1 and status()[1]["workers"][0]["state"] == "subscription_lost"
