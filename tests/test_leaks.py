"""Every function, called many times with valid arguments and through each of
its error paths, leaves the interpreter's block count, resident memory and
the reference counts of its arguments flat after a warm-up.

QUELVAR_LEAK_CALLS sets the number of calls per path (`make leaks` runs the
full 200,000)."""

import gc
import json
import math
import os
import sys

import pytest

import quelvar_core_rs as core
from hooks import (
    FloatAnswering,
    IndexAnswering,
    ListRefusingItsMethods,
    RaisingCollidingKey,
    StrSubclass,
    UnprintableStr,
    fake_type,
)

CALLS = int(os.environ.get("QUELVAR_LEAK_CALLS", "3000"))
# Python's allocator is bypassed under the sanitizers, so blocks are not counted there.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0
# AddressSanitizer holds freed blocks in its quarantine (hundreds of MB) before
# reusing them, so resident memory grows there whatever the module does.
MEASURES_RESIDENT = os.environ.get("QUELVAR_SANITIZED") != "1"


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Shuffling:
    """A __float__ that grows and shrinks the list being decoded, then answers."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.append({"x": 1.0, "y": 1.0, "t": 1.0})
        self.target.pop()
        return 2.0


def refuse_truth(self):
    raise ValueError("no truth value")


# Taken for a NumPy boolean scalar (by module and type name); its truth fails.
NumpyBool = fake_type("numpy", "bool_", __bool__=refuse_truth)


class Browser(dict):
    def __getitem__(self, key):
        return "not read this way"


class RaisingIter:
    """A sequence whose iteration fails at once."""

    def __len__(self):
        return 3

    def __getitem__(self, index):
        return ("192.0.2.77", 2**40)

    def __iter__(self):
        raise RuntimeError("no iteration")


class FailingNext:
    """A sequence that yields one valid pair, then fails; its __len__ lies."""

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        yield ("192.0.2.78", 2**40)
        raise RuntimeError("no more")


class RaisingLen:
    """A valid sequence whose length cannot be had."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        if index < 2:
            return (f"192.0.2.{80 + index}", 2**40)
        raise IndexError(index)


TELEMETRY = {
    "mouse_movements": [{"x": i * 3.0, "y": (i % 7) * 2.0, "t": i * 16.0} for i in range(320)],
    "keystrokes": [{"t": i * 120.0} for i in range(40)],
    "clicks": [1, 2],
    "scrolls": [3],
    "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
}
BAN_PAIRS = [(f"10.1.{i // 256}.{i % 256}", 2**40 + i) for i in range(50)]
HOOK_POINTS = []
HOOKS = [
    FloatAnswering(RuntimeError),
    FloatAnswering(2.5),
    FloatAnswering(math.nan),
    Shuffling(HOOK_POINTS),
    NumpyBool(),
    RaisingCollidingKey("x"),
]
HOOK_POINTS.extend(
    [
        {"x": HOOKS[0], "y": 1.0, "t": 1.0},
        {"x": HOOKS[1], "y": HOOKS[2], "t": 2.0},
        {HOOKS[5]: 1.0, "y": 1.0, "t": 3.0},
        {"x": HOOKS[3], "y": 10**400, "t": 4.0},
        {"x": "\ud800", "y": math.inf, "t": 5.0},
        ListRefusingItsMethods([1]),
        None,
    ]
    + [{"x": float(i), "y": FloatAnswering(float(i)), "t": float(i)} for i in range(12)]
)
HOOK_TELEMETRY = {
    "mouse_movements": HOOK_POINTS,
    "keystrokes": [
        {"t": FloatAnswering(KeyError), "down": 10**400, "time": FloatAnswering(7.0)},
        {"t": math.nan},
        {"down": "1"},
    ],
    "browser": Browser(
        webdriver=NumpyBool(),
        screen_width=FloatAnswering(ValueError),
        screen_height=2**2000,
        touch_supported=1,
        plugins_length=2**64,
    ),
    "clicks": ListRefusingItsMethods([1, 2]),
    "scrolls": (1, 2),
}
SEQUENCES = [RaisingIter(), FailingNext(), RaisingLen()]
# Unsorted, with pauses, a zero segment and past the 300-point window.
EVIDENCE_BODY = json.dumps(
    {
        **TELEMETRY,
        "mouse_movements": TELEMETRY["mouse_movements"][::-1]
        + [{"x": 0.0, "y": 0.0, "t": 9000.0}, {"x": 0.0, "y": 0.0, "t": 9010.0}, {"x": 5.0, "y": 1.0, "t": 9500.0}],
    }
).encode()
EVIDENCE_BUFFER = bytearray(EVIDENCE_BODY)

# (name, callable, arguments whose reference counts must not move)
PATHS = [
    ("probe active", lambda: core.is_rust_core_active(), ()),
    ("probe version", lambda: core.get_core_version(), ()),
    ("features", lambda: core.extract_features_rs(TELEMETRY), (TELEMETRY,)),
    ("features junk", lambda: core.extract_features_rs([1, "x", None]), ()),
    ("features too many", lambda: core.extract_features_rs(TELEMETRY, 1), (TELEMETRY,)),
    (
        "features hooks",
        lambda: core.extract_features_rs(telemetry=HOOK_TELEMETRY),
        (HOOK_TELEMETRY, HOOK_POINTS, *HOOKS),
    ),
    ("features unknown keyword", lambda: core.extract_features_rs(data=TELEMETRY), (TELEMETRY,)),
    ("evidence", lambda: core.extract_evidence_json_rs(EVIDENCE_BODY), (EVIDENCE_BODY,)),
    ("evidence buffer", lambda: core.extract_evidence_json_rs(body=EVIDENCE_BUFFER), (EVIDENCE_BUFFER,)),
    ("evidence invalid", lambda: core.extract_evidence_json_rs(EVIDENCE_BODY[:-1]), ()),
    ("evidence not a buffer", lambda: core.extract_evidence_json_rs(TELEMETRY), (TELEMETRY,)),
    ("nonce replay", lambda: core.consume_nonce_rs("replayed-token"), ()),
    ("nonce not str", lambda: core.consume_nonce_rs(42), ()),
    ("nonce surrogate", lambda: core.consume_nonce_rs("bad\ud800"), ()),
    ("nonce keyword", lambda: core.consume_nonce_rs(token="x"), ()),
    ("nonce missing", lambda: core.consume_nonce_rs(), ()),
    ("nonce str subclass with NUL", lambda: core.consume_nonce_rs(StrSubclass("replayed\x00token")), ()),
    ("ban", lambda: core.ban_ip_rs("192.0.2.1", 3600), ()),
    ("ban index", lambda: core.ban_ip_rs(ip="192.0.2.2", duration_sec=IndexAnswering(5)), ()),
    ("ban negative", lambda: core.ban_ip_rs("192.0.2.1", -1), ()),
    ("ban float", lambda: core.ban_ip_rs("192.0.2.1", 1.5), ()),
    ("ban raising index", lambda: core.ban_ip_rs("192.0.2.1", IndexAnswering(KeyError)), ()),
    ("ban twice", lambda: core.ban_ip_rs("192.0.2.1", 1, ip="x"), ()),
    ("ban bad keyword", lambda: core.ban_ip_rs(**{UnprintableStr("zz"): 1}), ()),
    ("ban huge", lambda: core.ban_ip_rs("192.0.2.1", 2**64), ()),
    ("ban index not int", lambda: core.ban_ip_rs("192.0.2.1", IndexAnswering("five")), ()),
    ("unban", lambda: core.unban_ip_rs("192.0.2.9"), ()),
    ("unban not str", lambda: core.unban_ip_rs(None), ()),
    ("is banned", lambda: core.is_ip_banned_rs("192.0.2.1"), ()),
    ("is banned bytes", lambda: core.is_ip_banned_rs(b"192.0.2.1"), ()),
    ("is banned surrogate", lambda: core.is_ip_banned_rs("192.0.2.\udc80"), ()),
    ("hydrate", lambda: core.hydrate_bans_rs(BAN_PAIRS), (BAN_PAIRS,)),
    ("hydrate str", lambda: core.hydrate_bans_rs("x"), ()),
    ("hydrate set", lambda: core.hydrate_bans_rs({1}), ()),
    ("hydrate list item", lambda: core.hydrate_bans_rs(BAN_PAIRS + [["a", 1]]), (BAN_PAIRS,)),
    ("hydrate short tuple", lambda: core.hydrate_bans_rs(BAN_PAIRS + [("a",)]), (BAN_PAIRS,)),
    ("hydrate bad number", lambda: core.hydrate_bans_rs(BAN_PAIRS + [("a", -1)]), (BAN_PAIRS,)),
    ("hydrate raising iter", lambda: core.hydrate_bans_rs(SEQUENCES[0]), (SEQUENCES[0],)),
    ("hydrate failing next", lambda: core.hydrate_bans_rs(SEQUENCES[1]), (SEQUENCES[1],)),
    ("hydrate raising len", lambda: core.hydrate_bans_rs(SEQUENCES[2]), (SEQUENCES[2],)),
    ("hydrate surrogate", lambda: core.hydrate_bans_rs(BAN_PAIRS + [("\ud800", 1)]), (BAN_PAIRS,)),
    (
        "hydrate raising index",
        lambda: core.hydrate_bans_rs(BAN_PAIRS + [("a", IndexAnswering(KeyError))]),
        (BAN_PAIRS,),
    ),
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
    print(f"{name}: {block_growth:+d} blocks, {resident_growth:+d} resident bytes over {CALLS} calls")
    assert [sys.getrefcount(argument) for argument in arguments] == references
    if COUNTS_BLOCKS:
        assert block_growth < 64, f"{block_growth} blocks over {CALLS} calls"
    if MEASURES_RESIDENT:
        assert resident_growth < 2 * 1024 * 1024, f"{resident_growth} bytes over {CALLS} calls"
