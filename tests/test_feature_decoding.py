"""How extract_features_rs reads its telemetry: leniently, from the
dictionaries' and lists' own storage, with the exact conversion rules, and
safely when conversion hooks change what is being read."""

import math
import signal
import struct
import subprocess
import sys

import pytest

import quelvar_core_rs as core
from hooks import ArmedCollidingKey, FloatAnswering, IndexAnswering, IntSubclass, fake_type

extract = core.extract_features_rs
BROWSER_FIELDS = ("webdriver", "screen_width", "screen_valid", "touch_supported", "plugins_length")
NO_BROWSER = (False, 1024.0, True, False, 1)
EMPTY_BROWSER = (False, 0.0, False, False, 1)


def browser_of(browser):
    features = extract({"browser": browser})
    return tuple(features[key] for key in BROWSER_FIELDS)


def points(*triples):
    return [{"x": x, "y": y, "t": t} for x, y, t in triples]


LINE = points((0.0, 0.0, 0.0), (3.0, 4.0, 10.0), (6.0, 8.0, 20.0))


class LyingList(list):
    def __len__(self):
        return 1000


def churn():
    """Reuses freed memory, so that a dangling reference would read garbage."""
    return [{"x": "garbage", "y": "garbage"} for _ in range(2000)]


# --- the argument and the browser ------------------------------------------------------


class Mapping:
    def keys(self):
        return ["mouse_movements"]

    def __getitem__(self, key):
        return LINE


@pytest.mark.parametrize("argument", [None, [], "mouse_movements", 42, (("browser", {}),), Mapping()])
def test_anything_but_a_dictionary_gives_the_defaults(argument):
    assert extract(argument) == extract({})


@pytest.mark.parametrize(
    "browser, expected",
    [
        ([], NO_BROWSER),
        ({}, EMPTY_BROWSER),
        ({"screen_width": 1920, "screen_height": 1080}, (False, 1920.0, True, False, 1)),
        ({"screen_width": IndexAnswering(800), "screen_height": IntSubclass(600)}, (False, 800.0, True, False, 1)),
        ({"screen_width": 1920}, (False, 1920.0, False, False, 1)),
        ({"screen_width": 1920, "screen_height": 0}, (False, 1920.0, False, False, 1)),
        ({"screen_width": 1920, "screen_height": -5}, (False, 1920.0, False, False, 1)),
        ({"screen_width": 1920, "screen_height": math.nan}, (False, 1920.0, False, False, 1)),
        ({"screen_width": 1920, "screen_height": "1080"}, (False, 1920.0, False, False, 1)),
        ({"screen_width": math.nan, "screen_height": 1080}, (False, math.nan, False, False, 1)),
        ({"screen_width": math.inf, "screen_height": 1.0}, (False, math.inf, True, False, 1)),
        ({"screen_width": -3.5, "screen_height": 10}, (False, -3.5, False, False, 1)),
        ({"screen_width": "1920", "screen_height": 1080}, EMPTY_BROWSER),
        ({"screen_width": 10**400, "screen_height": 1080}, EMPTY_BROWSER),
        ({"webdriver": True, "touch_supported": True}, (True, 0.0, False, True, 1)),
        ({"webdriver": 1, "touch_supported": "yes"}, EMPTY_BROWSER),
        ({"plugins_length": 3.0}, EMPTY_BROWSER),
        ({"plugins_length": True}, EMPTY_BROWSER),
        ({"plugins_length": 2**63}, EMPTY_BROWSER),
        ({"plugins_length": -1}, (False, 0.0, False, False, -1)),
        ({"plugins_length": -(2**63)}, (False, 0.0, False, False, -(2**63))),
        ({"plugins_length": IndexAnswering(7)}, (False, 0.0, False, False, 7)),
    ],
)
def test_browser_fields(browser, expected):
    got = browser_of(browser)
    assert type(got[1]) is float and (got[1] == expected[1] or math.isnan(got[1]) and math.isnan(expected[1]))
    assert got[:1] + got[2:] == expected[:1] + expected[2:]


def test_numpy_bool_scalars():
    numpy = pytest.importorskip("numpy")
    assert browser_of({"webdriver": numpy.True_, "touch_supported": numpy.bool_(False)})[0::3] == (True, False)
    assert browser_of({"touch_supported": numpy.True_, "webdriver": numpy.int64(1)})[0::3] == (False, True)


@pytest.mark.parametrize(
    "module, name, truth, expected",
    [
        ("numpy", "bool_", lambda self: True, True),
        ("numpy", "bool", lambda self: True, True),
        ("numpy", "bool_", lambda self: False, False),
        ("numpyx", "bool_", lambda self: True, False),
        ("numpy", "bool8", lambda self: True, False),
        ("numpy", "bool_", None, False),  # no truth slot
        ("numpy", "bool_", lambda self: 1 / 0, False),
        ("numpy", "bool_", lambda self: "yes", False),
    ],
)
def test_bool_scalars_are_recognised_by_type_module_and_name(module, name, truth, expected):
    cls = fake_type(module, name, **({"__bool__": truth} if truth else {}))
    assert browser_of({"webdriver": cls()})[0] is expected


def test_numpy_is_never_imported():
    script = (
        "import sys, quelvar_core_rs as core\n"
        "Bool = type('bool_', (), {'__module__': 'numpy', '__bool__': lambda self: True})\n"
        "assert core.extract_features_rs({'browser': {'webdriver': Bool()}})['webdriver'] is True\n"
        "assert 'numpy' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True)


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, 0),
        ((1, 2, 3, 4, 5), 0),
        ({"a": 1}, 0),
        ("clicks", 0),
        ([object(), None, "x", 1, []], 5),
        (LyingList([1, 2]), 2),
    ],
)
def test_click_and_scroll_counts_are_list_lengths(value, expected):
    features = extract({"clicks": value, "scrolls": value})
    assert (features["click_count"], features["scroll_count"]) == (expected, expected)


# --- keystrokes and movements ------------------------------------------------------------


@pytest.mark.parametrize(
    "element, contributed",
    [
        ({"t": None, "down": 12.5}, 12.5),
        ({"t": math.inf, "time": 7}, 7.0),
        ({"down": "12"}, None),
        ({"t": 1.0, "down": 2.0, "time": 3.0}, 1.0),
        ({"time": 3.0, "t": "x"}, 3.0),
        ({"down": math.nan, "time": -4}, -4.0),
        ({"t": True}, 1.0),
        ({"t": IndexAnswering(9)}, 9.0),
        ({"t": 10**400, "down": 5.0}, 5.0),
        ({"t": FloatAnswering(ValueError("no")), "down": 6.0}, 6.0),
        ({"t": FloatAnswering(-1.0)}, -1.0),
        ([("t", 1.0)], None),
    ],
)
def test_keystroke_time_is_the_first_usable_key(element, contributed):
    # A second keystroke at 1000 makes the contributed time visible as a gap.
    features = extract({"keystrokes": [element, {"t": 1000.0}]})
    if contributed is None:
        assert features["key_count"] == 1
    else:
        assert (features["key_count"], features["key_interval_avg"]) == (2, 1000.0 - contributed)


@pytest.mark.parametrize(
    "keystrokes, count, mean",
    [
        ([{"t": float(i)} for i in range(200)], 150, 1.0),
        (["junk"] * 150 + [{"t": 1.0}, {"t": 2.0}], 0, 0.0),
        (["junk"] * 148 + [{"t": 1.0}, {"t": 4.0}, {"t": 100.0}], 2, 3.0),
    ],
)
def test_only_the_first_150_keystroke_elements_are_examined(keystrokes, count, mean):
    features = extract({"keystrokes": keystrokes})
    assert (features["key_count"], features["key_interval_avg"]) == (count, mean)


@pytest.mark.parametrize(
    "bad",
    [
        {"x": 1.0, "y": 2.0},
        {"x": "1", "y": 2.0, "t": 3.0},
        {"x": math.nan, "y": 2.0, "t": 3.0},
        {"x": 1.0, "y": -math.inf, "t": 3.0},
        {"x": 1.0, "y": 2.0, "t": math.inf},
        {"x": None, "y": 2.0, "t": 3.0},
        {"x": 10**400, "y": 2.0, "t": 3.0},
        {"x": FloatAnswering(TypeError("nope")), "y": 2.0, "t": 3.0},
        (1.0, 2.0, 3.0),
    ],
)
def test_unusable_movements_are_dropped_and_the_rest_keep_their_order(bad):
    assert extract({"mouse_movements": LINE[:1] + [bad] + LINE[1:]}) == extract({"mouse_movements": LINE})


def test_movement_values_convert_like_floats():
    converted = points((False, 0, 0), (IntSubclass(3), IndexAnswering(4), 10), (FloatAnswering(6.0), 8, 20.0))
    assert extract({"mouse_movements": converted}) == extract({"mouse_movements": LINE})


@pytest.mark.parametrize(
    "value", [0, -1, 2**30 - 1, -(2**30) + 1, 2**30, -(2**30), 2**53 + 1, -(2**62) - 1, 2**64 + 2**11 + 1]
)
def test_exact_ints_read_as_their_nearest_double(value):
    # Small ints are read inline, larger ones through the interpreter: both as float() rounds.
    width = extract({"browser": {"screen_width": value}})["screen_width"]
    assert struct.pack("<d", width) == struct.pack("<d", float(value))


# --- lookups read the dictionaries' own storage; failures are cleared ------------------------


class Shadowing(dict):
    def __getitem__(self, key):
        return LINE * 50

    get = __missing__ = __getitem__

    def __contains__(self, key):
        return True


def test_dict_subclasses_are_read_through_their_stored_items():
    telemetry = Shadowing(mouse_movements=[Shadowing(p) for p in LINE], browser=Shadowing())
    assert extract(telemetry) == extract({"mouse_movements": LINE, "browser": {}})


@pytest.mark.parametrize(
    "key, expected",
    [
        ("browser", {"screen_width": 1024.0, "screen_valid": True, "plugins_length": 1}),
        ("mouse_movements", {"mouse_points": 0}),
        ("keystrokes", {"key_count": 0}),
        ("x", {"mouse_points": 2}),
        ("screen_width", {"screen_width": 0.0, "screen_valid": False}),
    ],
)
def test_failed_lookups_are_cleared_and_read_as_absent(key, expected):
    def colliding_first(mapping):
        return {ArmedCollidingKey(key): 0, **mapping} if key in mapping else mapping

    browser = colliding_first({"screen_width": 1920, "screen_height": 1080, "plugins_length": 4})
    movements = [LINE[0], colliding_first(dict(LINE[1])), LINE[2]]
    telemetry = colliding_first(
        {"browser": browser, "mouse_movements": movements, "keystrokes": [{"t": 1.0}, {"t": 3.0}]}
    )
    ArmedCollidingKey.armed = True
    try:
        features = extract(telemetry)  # an error left pending would surface as SystemError
    finally:
        ArmedCollidingKey.armed = False
    baseline = {"mouse_points": 3, "key_count": 2, "screen_width": 1920.0, "screen_valid": True, "plugins_length": 4}
    assert {k: features[k] for k in baseline} == {**baseline, **expected}


@pytest.mark.parametrize("error", [ValueError("bad"), ArithmeticError("bad"), OverflowError("bad")])
def test_failed_conversions_are_cleared(error):
    telemetry = {
        "browser": {
            "screen_width": FloatAnswering(error),
            "screen_height": FloatAnswering(error),
            "plugins_length": FloatAnswering(error),
        },
        "keystrokes": [{"t": FloatAnswering(error), "down": 2.0}],
        "mouse_movements": [{"x": FloatAnswering(error), "y": 0.0, "t": 0.0}] + LINE,
    }
    features = extract(telemetry)
    assert (features["key_count"], features["mouse_points"], features["plugins_length"]) == (1, 3, 1)


class Raising:
    """Hashes like "x"; comparing, converting or indexing it raises `error`."""

    def __init__(self, error):
        self.error = error

    def __hash__(self):
        return hash("x")

    def raise_error(self, *args):
        raise self.error

    __eq__ = __float__ = __index__ = raise_error


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "place",
    [
        lambda hook: {"mouse_movements": LINE + [{"x": hook, "y": 0.0, "t": 0.0}]},
        lambda hook: {"mouse_movements": LINE + [{hook: 0, "x": 1.0, "y": 2.0, "t": 3.0}]},
        lambda hook: {"browser": {"plugins_length": hook}},
        lambda hook: {"browser": {"webdriver": fake_type("numpy", "bool_", __bool__=hook.raise_error)()}},
    ],
    ids=["__float__", "key __eq__", "__index__", "__bool__"],
)
def test_exceptions_that_are_not_errors_stop_the_call(place, error):
    # A deliberate departure from lenient decoding: Ctrl-C and exit requests are not bad data.
    with pytest.raises(error):
        extract(place(Raising(error("stop"))))
    assert extract({"mouse_movements": LINE})["mouse_points"] == 3


def test_a_real_sigint_in_a_hook_interrupts_the_call():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        hook = FloatAnswering(0.0, lambda: signal.raise_signal(signal.SIGINT))
        with pytest.raises(KeyboardInterrupt):
            extract({"mouse_movements": LINE + points((hook, 0.0, 0.0))})
    finally:
        signal.signal(signal.SIGINT, previous)


# --- hooks that change what is being decoded ---------------------------------------------


def test_hook_that_empties_the_movement_list():
    movements = points(*[(float(i), 0.0, float(i)) for i in range(8)])
    movements[1]["x"] = FloatAnswering(1.0, lambda: (movements.clear(), churn()))
    # The element being read stays alive and complete; the later ones are gone.
    assert extract({"mouse_movements": movements})["mouse_points"] == 2


def test_hook_that_grows_the_movement_list():
    movements = [dict(p) for p in LINE]
    movements[0]["x"] = FloatAnswering(0.0, lambda: movements.extend(points(*[(9.0, 9.0, 9.0)] * 100)))
    assert extract({"mouse_movements": movements})["mouse_points"] == 3


def test_hook_that_drops_the_list_from_the_telemetry():
    telemetry = {"mouse_movements": points(*[(float(i), 0.0, float(i)) for i in range(6)])}
    telemetry["mouse_movements"][2]["y"] = FloatAnswering(0.0, lambda: (telemetry.clear(), churn()))
    features = extract(telemetry)
    assert (features["mouse_points"], features["total_distance"]) == (6, 5.0)


def test_hook_that_empties_the_element_being_read():
    element = {"x": None, "y": 0.0, "t": 5.0}
    element["x"] = FloatAnswering(2.0, lambda: (element.clear(), churn()))
    assert extract({"mouse_movements": LINE + [element]})["mouse_points"] == 3


def test_hook_that_shrinks_the_keystroke_list():
    keystrokes = [{"t": float(i)} for i in range(10)]
    keystrokes[1] = {"t": FloatAnswering(1.0, lambda: (keystrokes.__delitem__(slice(3, None)), churn()))}
    assert extract({"keystrokes": keystrokes})["key_count"] == 3


def test_hooks_that_replace_the_browser_dictionary():
    telemetry = {"browser": {"screen_width": None, "screen_height": 900, "plugins_length": 4, "touch_supported": True}}

    def replace():
        telemetry["browser"].clear()
        telemetry["browser"] = {"plugins_length": 99}
        churn()
        return True

    telemetry["browser"]["webdriver"] = fake_type("numpy", "bool_", __bool__=lambda self: replace())()
    telemetry["browser"]["screen_width"] = FloatAnswering(1600.0)
    features = extract(telemetry)
    assert tuple(features[key] for key in BROWSER_FIELDS) == (True, 0.0, False, False, 1)


def test_hook_may_call_the_function_again():
    inner = {}
    movements = [dict(p) for p in LINE]
    movements[0]["x"] = FloatAnswering(0.0, lambda: inner.update(extract({"keystrokes": [{"t": 1.0}, {"t": 3.0}]})))
    assert extract({"mouse_movements": movements}) == extract({"mouse_movements": LINE})
    assert inner == extract({"keystrokes": [{"t": 1.0}, {"t": 3.0}]})
