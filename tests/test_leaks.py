"""Every function, called many times with valid arguments and through each of
its error paths, leaves the interpreter's block count, resident memory and
the reference counts of its arguments flat after a warm-up.

QUELVAR_LEAK_CALLS sets the number of calls per path (`make leaks` runs the
full 200,000)."""
import gc
import os
import sys

import pytest

import quelvar_core_rs as core

CALLS = int(os.environ.get("QUELVAR_LEAK_CALLS", "3000"))
# Python's allocator is bypassed under the sanitizers, so blocks are not counted there.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0
# AddressSanitizer holds freed blocks in its quarantine (hundreds of MB) before
# reusing them, so resident memory grows there whatever the module does.
MEASURES_RESIDENT = os.environ.get("QUELVAR_SANITIZED") != "1"


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise KeyError("no index")


class BadKeyword(str):
    def __str__(self):
        raise RuntimeError("unprintable")


TELEMETRY = {
    "mouse_movements": [{"x": i * 3.0, "y": (i % 7) * 2.0, "t": i * 16.0} for i in range(320)],
    "keystrokes": [{"t": i * 120.0} for i in range(40)],
    "clicks": [1, 2], "scrolls": [3],
    "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
}
BAN_PAIRS = [(f"10.1.{i // 256}.{i % 256}", 2**40 + i) for i in range(50)]

# (name, callable, arguments whose reference counts must not move)
PATHS = [
    ("probe active", lambda: core.is_rust_core_active(), ()),
    ("probe version", lambda: core.get_core_version(), ()),
    ("features", lambda: core.extract_features_rs(TELEMETRY), (TELEMETRY,)),
    ("features junk", lambda: core.extract_features_rs([1, "x", None]), ()),
    ("features too many", lambda: core.extract_features_rs(TELEMETRY, 1), (TELEMETRY,)),
    ("nonce replay", lambda: core.consume_nonce_rs("replayed-token"), ()),
    ("nonce not str", lambda: core.consume_nonce_rs(42), ()),
    ("nonce surrogate", lambda: core.consume_nonce_rs("bad\ud800"), ()),
    ("nonce keyword", lambda: core.consume_nonce_rs(token="x"), ()),
    ("nonce missing", lambda: core.consume_nonce_rs(), ()),
    ("ban", lambda: core.ban_ip_rs("192.0.2.1", 3600), ()),
    ("ban index", lambda: core.ban_ip_rs(ip="192.0.2.2", duration_sec=Index(5)), ()),
    ("ban negative", lambda: core.ban_ip_rs("192.0.2.1", -1), ()),
    ("ban float", lambda: core.ban_ip_rs("192.0.2.1", 1.5), ()),
    ("ban raising index", lambda: core.ban_ip_rs("192.0.2.1", RaisingIndex()), ()),
    ("ban twice", lambda: core.ban_ip_rs("192.0.2.1", 1, ip="x"), ()),
    ("ban bad keyword", lambda: core.ban_ip_rs(**{BadKeyword("zz"): 1}), ()),
    ("unban", lambda: core.unban_ip_rs("192.0.2.9"), ()),
    ("unban not str", lambda: core.unban_ip_rs(None), ()),
    ("is banned", lambda: core.is_ip_banned_rs("192.0.2.1"), ()),
    ("is banned bytes", lambda: core.is_ip_banned_rs(b"192.0.2.1"), ()),
    ("hydrate", lambda: core.hydrate_bans_rs(BAN_PAIRS), (BAN_PAIRS,)),
    ("hydrate str", lambda: core.hydrate_bans_rs("x"), ()),
    ("hydrate set", lambda: core.hydrate_bans_rs({1}), ()),
    ("hydrate list item", lambda: core.hydrate_bans_rs(BAN_PAIRS + [["a", 1]]), (BAN_PAIRS,)),
    ("hydrate short tuple", lambda: core.hydrate_bans_rs(BAN_PAIRS + [("a",)]), (BAN_PAIRS,)),
    ("hydrate bad number", lambda: core.hydrate_bans_rs(BAN_PAIRS + [("a", -1)]), (BAN_PAIRS,)),
    ("stats", lambda: core.get_state_engine_stats_rs(), ()),
    ("clear", lambda: core.clear_state_engine_rs(), ()),
    ("clear with argument", lambda: core.clear_state_engine_rs(1), ()),
]


def call_many(function, count):
    for _ in range(count):
        try:
            function()
        except Exception:
            pass


@pytest.mark.parametrize("name, function, arguments", PATHS, ids=[p[0] for p in PATHS])
def test_calls_leave_memory_and_references_flat(name, function, arguments, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    call_many(function, max(200, CALLS // 10))
    gc.collect()
    references = [sys.getrefcount(argument) for argument in arguments]
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    call_many(function, CALLS)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks
    resident_growth = resident_bytes() - resident
    assert [sys.getrefcount(argument) for argument in arguments] == references
    if COUNTS_BLOCKS:
        assert block_growth < 64, f"{block_growth} blocks over {CALLS} calls"
    if MEASURES_RESIDENT:
        assert resident_growth < 2 * 1024 * 1024, f"{resident_growth} bytes over {CALLS} calls"
