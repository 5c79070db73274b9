"""Arbitrary nested objects fed to every function: dicts with odd keys and
subclasses, conversion hooks (__float__, __index__, __bool__, __len__,
__iter__, __eq__) that raise, return odd values or change what is being read,
huge integers, NaN and infinities, surrogates and NUL characters.

extract_features_rs never raises and always answers the 24 keys with their
types; every other function either answers with its result type or raises
TypeError, ValueError (UnicodeEncodeError among them), OverflowError or what
a hook of the caller raised, and a refused call leaves the store as it was.
Argument reference counts come back unchanged whenever no hook rearranged
the objects.

CI draws the same examples on every run (the "ci" profile of conftest.py);
elsewhere every run explores new ones."""

import gc
import math
import sys
import time
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quelvar_core_rs as core
from feature_model import FEATURE_KEYS
from hooks import (
    CallingBool,
    CallingCollidingKey,
    CallingFloat,
    CallingIndex,
    CallingNumpyBool,
    CallingSequence,
    FloatSubclass,
    HookError,
    IntSubclass,
    ListRefusingItsMethods,
    StrSubclass,
)

SETTINGS = settings(
    max_examples=250,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

FEATURE_TYPES = {key: float for key in FEATURE_KEYS}
FEATURE_TYPES.update(
    mouse_points=int,
    click_count=int,
    key_count=int,
    scroll_count=int,
    plugins_length=int,
    submovement_count=int,
    webdriver=bool,
    screen_valid=bool,
    touch_supported=bool,
)


class HookInterrupt(BaseException):
    """Raised by a hook like KeyboardInterrupt would be: not an Exception."""


# --- what the hooks (hooks.Calling*) do, and odd containers ----------------------


class Behaviour:
    """What a hook does when called: return a value, raise, first change a
    container of the same input (once) and then return, or first call back
    into the module's reading functions (which would hang if the call being
    converted held the store's lock)."""

    def __init__(self, kind, value, target_index):
        self.kind, self.value, self.target_index = kind, value, target_index
        self.targets = []
        self.fired = False

    def __call__(self):
        if self.kind == "raise":
            raise HookError("hook")
        if self.kind == "interrupt":
            raise HookInterrupt("hook")
        if self.kind == "mutate" and self.targets and not self.fired:
            self.fired = True
            mutate(self.targets[self.target_index % len(self.targets)], self.target_index)
        if self.kind == "reenter":
            core.get_state_engine_stats_rs()
            core.is_ip_banned_rs("192.0.2.1")
            core.extract_features_rs({"mouse_movements": REENTRANT_POINTS})
        return self.value

    def __repr__(self):
        return f"Behaviour({self.kind}, {self.value!r})"


REENTRANT_POINTS = [{"x": k * k, "y": 0.0, "t": float(k)} for k in range(12)]


def mutate(target, how):
    if isinstance(target, dict):
        if how % 3 == 0:
            target.clear()
        elif how % 3 == 1:
            for key in list(target)[:2]:
                del target[key]
        else:
            target.update({f"added{i}": i for i in range(4)})
    elif isinstance(target, list):
        if how % 3 == 0:
            target.clear()
        elif how % 3 == 1:
            del target[: len(target) // 2]
        else:
            target.extend([{"x": 1.0, "y": 2.0, "t": 3.0}, ("192.0.2.200", 1)] * 3)


class RaisingStr(str):
    def __str__(self):
        raise HookError("unprintable")

    def __eq__(self, other):
        raise HookError("no comparison")

    __hash__ = str.__hash__


class DictWithOwnLookups(dict):
    def __getitem__(self, key):
        return "from __getitem__"

    def __missing__(self, key):
        return 1.0

    def get(self, key, default=None):
        return "from get"


class TupleLyingAboutItems(tuple):
    def __len__(self):
        return 2

    def __getitem__(self, index):
        return "from __getitem__"


# --- strategies ----------------------------------------------------------------

NAMES = [
    "browser",
    "webdriver",
    "screen_width",
    "screen_height",
    "touch_supported",
    "plugins_length",
    "clicks",
    "scrolls",
    "keystrokes",
    "mouse_movements",
    "x",
    "y",
    "t",
    "down",
    "time",
]
odd_values = [
    None,
    True,
    False,
    0,
    -1,
    1,
    2**63 - 1,
    2**63,
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    10**400,
    -(10**400),
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    -0.0,
    5e-324,
    1.7976931348623157e308,
    0.1,
    1e150,
    "",
    "\x00",
    "a\x00b",
    "\ud800",
    "x\udfffy",
    "192.0.2.1",
    "192.0.2.1\x00",
    b"192.0.2.1",
    bytearray(b"x"),
    FloatSubclass(2.5),
    FloatSubclass(math.nan),
    IntSubclass(5),
    IntSubclass(-3),
    StrSubclass("192.0.2.1"),
    StrSubclass("\ud834"),
]
hook_results = st.sampled_from(
    [
        None,
        0,
        1,
        -1,
        2,
        2**64,
        2**64 - 1,
        -(2**70),
        10**400,
        True,
        0.5,
        math.nan,
        math.inf,
        -math.inf,
        1e308,
        "x",
        b"x",
        FloatSubclass(1.5),
        IntSubclass(7),
        [],
        (),
        -5,
    ]
)
behaviours = st.builds(
    Behaviour,
    st.sampled_from(["return", "return", "raise", "interrupt", "mutate", "mutate", "reenter"]),
    hook_results,
    st.integers(0, 1000),
)
hooks = st.one_of(
    st.builds(CallingFloat, behaviours),
    st.builds(CallingIndex, behaviours),
    st.builds(CallingBool, behaviours),
    st.builds(CallingNumpyBool, behaviours),
)
scalars = st.one_of(
    st.sampled_from(odd_values),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(),
    st.integers(-(2**70), 2**70),
    st.text(st.characters(codec=None, exclude_categories=()), max_size=8),
    st.booleans(),
    hooks,
)
keys = st.one_of(
    st.sampled_from(NAMES),
    st.sampled_from(NAMES).map(StrSubclass),
    st.sampled_from(NAMES).map(RaisingStr),
    st.builds(CallingCollidingKey, st.sampled_from(NAMES), behaviours),
    st.sampled_from([0, 1, -1, 2.5, (), ("x",), "X", "x ", "x\x00", "\ud800", b"x", None, True]),
)


def weighted(common, *rare, share=0.5):
    """`common` about `share` of the time, one of `rare` otherwise. (A plain
    one_of would be flattened into its branches' branches, each drawn
    equally often.)"""
    copies = max(1, round(len(rare) * share / (1 - share)))
    return st.sampled_from([common] * copies + list(rare)).flatmap(lambda strategy: strategy)


def key_text(key):
    """Keys of one text hash alike (bytes included) and so are compared."""
    if isinstance(key, CallingCollidingKey):
        return key.text
    if isinstance(key, bytes):
        return key.decode("latin-1")
    return str.__str__(key) if isinstance(key, str) else repr(key)


def build_dict(items, kind=dict):
    """A dict whose keys all differ in text, so that building it compares no
    two keys: the hooks of a key run only when the module looks keys up."""
    out, texts = kind(), set()
    for key, value in items:
        if key_text(key) not in texts:
            texts.add(key_text(key))
            dict.__setitem__(out, key, value)
    return out


def dicts(key, value, kind=dict, max_size=6, min_size=0):
    return st.lists(st.tuples(key, value), min_size=min_size, max_size=max_size).map(
        lambda items: build_dict(items, kind)
    )


def containers(children):
    return st.one_of(
        st.lists(children, max_size=6),
        dicts(keys, children),
        dicts(keys, children, DictWithOwnLookups),
        st.lists(children, max_size=6).map(ListRefusingItsMethods),
        st.lists(children, max_size=4).map(tuple),
        st.lists(children, max_size=3).map(TupleLyingAboutItems),
        st.builds(CallingSequence, behaviours, st.lists(children, max_size=4)),
    )


anything = st.recursive(scalars, containers, max_leaves=10)
plain_number = st.one_of(st.floats(-1e6, 1e6), st.integers(-1000, 10**6))
# Mostly usable values, so that the computations behind the decoder run too,
# with hooks, odd numbers and odd objects in between.
telemetry_value = weighted(plain_number, hooks, scalars, anything)


def maybe_list(element, max_size):
    return weighted(
        st.lists(element, max_size=max_size),
        st.lists(element, max_size=max_size).map(ListRefusingItsMethods),
        st.lists(element, max_size=4).map(tuple),
        anything,
    )


coordinate = weighted(plain_number, hooks, scalars, anything, share=0.85)
XYT = {"x": coordinate, "y": coordinate, "t": coordinate}
point_keys = st.one_of(st.sampled_from(["x", "y", "t"]), st.sampled_from(["x", "y", "t"]).map(StrSubclass), keys)
shaped_point = weighted(
    st.fixed_dictionaries(XYT),
    st.fixed_dictionaries(XYT).map(lambda d: build_dict(d.items(), DictWithOwnLookups)),
    dicts(point_keys, telemetry_value, min_size=2, max_size=4),
    anything,
    share=0.7,
)
key_names = st.sampled_from(["t", "down", "time"])
shaped_key = weighted(
    st.fixed_dictionaries({}, optional={"t": telemetry_value, "down": telemetry_value, "time": telemetry_value}),
    dicts(st.one_of(key_names, keys), telemetry_value, max_size=3),
    anything,
)
browser_keys = st.sampled_from(["webdriver", "screen_width", "screen_height", "touch_supported", "plugins_length"])
flag = st.one_of(st.booleans(), st.builds(CallingNumpyBool, behaviours), scalars)
shaped_browser = weighted(
    st.fixed_dictionaries(
        {},
        optional={
            "webdriver": flag,
            "touch_supported": flag,
            "screen_width": telemetry_value,
            "screen_height": telemetry_value,
            "plugins_length": st.one_of(st.integers(), telemetry_value),
        },
    ),
    dicts(st.one_of(browser_keys, keys), telemetry_value, DictWithOwnLookups),
    anything,
)
shaped_telemetry = st.fixed_dictionaries(
    {},
    optional={
        "mouse_movements": weighted(st.lists(shaped_point, min_size=3, max_size=24), maybe_list(shaped_point, 24)),
        "keystrokes": maybe_list(shaped_key, 12),
        "browser": shaped_browser,
        "clicks": maybe_list(anything, 5),
        "scrolls": maybe_list(anything, 5),
    },
)
any_telemetry = weighted(
    shaped_telemetry, shaped_telemetry.map(lambda d: build_dict(d.items(), DictWithOwnLookups)), anything
)


def walk(root):
    """Every object reachable through the containers of an input, once each."""
    seen, stack, found = set(), [root], []
    while stack:
        item = stack.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        found.append(item)
        if isinstance(item, dict):
            stack.extend(dict.keys(item))
            stack.extend(dict.values(item))
        elif isinstance(item, (list, tuple)):
            stack.extend(list.__iter__(item) if isinstance(item, list) else tuple.__iter__(item))
        elif isinstance(item, CallingSequence):
            stack.append(item.items)
    return found


def arm(root):
    """Points every mutating hook at the containers of this input; returns
    whether any hook may rearrange objects."""
    objects = walk(root)
    targets = [o for o in objects if type(o) in (dict, list, DictWithOwnLookups)]
    armed = False
    for o in objects:
        behaviour = getattr(o, "call", None)  # the Calling* hooks keep theirs here
        if isinstance(behaviour, Behaviour):
            behaviour.targets = targets
            armed = armed or behaviour.kind == "mutate"
    return armed


class counting_references:
    """Reference counts of `objects` around a call. The collector is kept
    off meanwhile: collecting the garbage of earlier examples would move the
    counts of objects that examples share."""

    def __init__(self, objects):
        self.objects = objects

    def __enter__(self):
        gc.disable()
        self.before = self.counts()
        return self

    def __exit__(self, *exc):
        gc.enable()

    def counts(self):
        return [sys.getrefcount(o) for o in self.objects]

    def unchanged(self):
        return self.counts() == self.before


class quiet:
    """Warnings (odd __float__ and __index__ results) and unraisable reports
    (an unprintable keyword name) are expected here and kept out of the log."""

    def __enter__(self):
        self.warnings = warnings.catch_warnings()
        self.warnings.__enter__()
        warnings.simplefilter("ignore")
        self.hook, sys.unraisablehook = sys.unraisablehook, lambda report: None

    def __exit__(self, *exc):
        sys.unraisablehook = self.hook
        self.warnings.__exit__(*exc)


# --- extract_features_rs -------------------------------------------------------


@settings(SETTINGS, max_examples=200)
@given(telemetry=any_telemetry)
def test_extract_features_answers_every_key_or_passes_an_interrupt_on(telemetry):
    rearranges = arm(telemetry)
    with counting_references(walk(telemetry)) as references, quiet():
        try:
            features = core.extract_features_rs(telemetry)
        except HookInterrupt:
            features = None  # not an Exception, so not bad data: raised, with nothing leaked
        assert rearranges or references.unchanged()
    if features is None:
        return
    assert type(features) is dict
    assert list(features) == list(FEATURE_KEYS)
    assert {key: type(value) for key, value in features.items()} == FEATURE_TYPES
    assert features["mouse_points"] >= 0 and features["key_count"] <= 150


@settings(SETTINGS, max_examples=100)
@given(args=st.lists(scalars, max_size=3), keyword=st.sampled_from([None, "telemetry", "data"]))
def test_extract_features_refuses_only_a_wrong_call(args, keyword):
    kwargs = {keyword: args.pop()} if keyword and args else {}
    with quiet():
        try:
            features = core.extract_features_rs(*args, **kwargs)
        except TypeError:
            assert len(args) + len(kwargs) != 1 or keyword == "data"
        else:
            assert len(args) + len(kwargs) == 1 and keyword != "data"
            assert list(features) == list(FEATURE_KEYS)


# --- state functions -----------------------------------------------------------

NOW = int(time.time())
FAR = NOW + 10**7
ALLOWED = (TypeError, ValueError, OverflowError, HookError, HookInterrupt)
RESULT_TYPES = {
    "consume_nonce_rs": bool,
    "is_ip_banned_rs": bool,
    "ban_ip_rs": type(None),
    "unban_ip_rs": type(None),
    "hydrate_bans_rs": type(None),
    "clear_state_engine_rs": type(None),
    "get_state_engine_stats_rs": dict,
    "is_rust_core_active": bool,
    "get_core_version": str,
}
PARAMETERS = {
    "consume_nonce_rs": ["nonce"],
    "is_ip_banned_rs": ["ip"],
    "ban_ip_rs": ["ip", "duration_sec"],
    "unban_ip_rs": ["ip"],
    "hydrate_bans_rs": ["bans"],
    "clear_state_engine_rs": [],
    "get_state_engine_stats_rs": [],
    "is_rust_core_active": [],
    "get_core_version": [],
}
KNOWN = ["192.0.2.1", "198.51.100.7", "2001:db8::1"]

good_text = st.one_of(st.sampled_from(KNOWN), st.text(max_size=6), st.sampled_from(KNOWN).map(StrSubclass))
texts = weighted(good_text, st.text(st.characters(codec=None, exclude_categories=()), max_size=6), scalars)
# Expiry times and durations kept clear of the next few seconds, so that
# nothing set up before a call expires while it runs.
good_number = st.one_of(
    st.integers(0, 2**64 - 1).filter(lambda n: not NOW - 5 <= n <= NOW + 5),
    st.sampled_from([0, FAR, 2**64 - 1, True]),
    st.builds(
        CallingIndex,
        st.builds(
            Behaviour, st.sampled_from(["return", "mutate"]), st.sampled_from([0, FAR, 2**64 - 1]), st.integers(0, 1000)
        ),
    ),
)
whole_numbers = weighted(
    good_number,
    st.sampled_from([2**64, -1, 10**400, -(10**400), 1.5, "5", None]),
    st.builds(CallingIndex, behaviours),
    scalars,
)
good_pair = st.tuples(good_text, good_number)
pairs = weighted(
    good_pair,
    st.tuples(texts, whole_numbers),
    good_pair.map(TupleLyingAboutItems),
    good_pair.map(list),
    st.tuples(texts, whole_numbers, whole_numbers),
    st.tuples(texts),
    anything,
)
# Lists of distinct unbanned addresses that expire well after now are common,
# so that successful hydrations, each of whose pairs must be found banned
# afterwards, are drawn in the examples CI runs too.
fresh_pairs = st.lists(
    st.tuples(st.integers(0, 65535).map(lambda n: f"198.18.{n >> 8}.{n & 255}"), st.integers(NOW + 60, 2**64 - 1)),
    min_size=2,
    max_size=8,
    unique_by=lambda pair: pair[0],
)
ban_lists = weighted(
    st.one_of(fresh_pairs, st.lists(pairs, max_size=8)),
    st.lists(pairs, max_size=8).map(tuple),
    st.lists(pairs, max_size=8).map(ListRefusingItsMethods),
    st.builds(CallingSequence, behaviours, st.lists(pairs, max_size=6)),
    st.lists(pairs, max_size=4).map(lambda items: (item for item in items)),
    st.lists(pairs, max_size=4).map(lambda items: build_dict(enumerate(items))),
    anything,
)
ARGUMENT = {"nonce": texts, "ip": texts, "duration_sec": whole_numbers, "bans": ban_lists}
# An unprintable name never equals a parameter name, so it cannot collide
# with a keyword already in the call.
keyword_names = st.one_of(
    st.sampled_from(["ip", "nonce", "bans", "duration_sec", "telemetry", "IP", "x"]),
    st.just("zz").map(RaisingStr),
)


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(PARAMETERS)))
    parameters = PARAMETERS[name]
    args, kwargs = [], {}
    for parameter in parameters:
        value = draw(ARGUMENT[parameter])
        if draw(st.sampled_from(range(10))) < 8:
            args.append(value)
        elif draw(st.booleans()):
            kwargs[parameter] = value
    # Now and then a surplus argument or a keyword of the wrong name.
    if draw(st.sampled_from(range(10))) == 0:
        args.append(draw(anything))
    if draw(st.sampled_from(range(10))) == 0:
        extra = draw(keyword_names)
        if type(extra) is not str or extra not in kwargs:
            kwargs[extra] = draw(texts)
    return name, args, kwargs


def prepare_store():
    core.clear_state_engine_rs()
    core.ban_ip_rs(KNOWN[0], 10**7)
    core.hydrate_bans_rs([(KNOWN[1], FAR), ("203.0.113.9", FAR)])
    for token in ("token-1", "token-2", KNOWN[2]):
        core.consume_nonce_rs(token)


def snapshot(probes):
    """The store as the read-only functions see it."""
    stats = core.get_state_engine_stats_rs()
    return stats, {probe: core.is_ip_banned_rs(probe) for probe in probes}


def read_expiry(value):
    """The expiry time a hydration reads from `value`, or None where a hook
    decides it."""
    if isinstance(value, int):
        return int(value)
    call = getattr(value, "call", None)
    if isinstance(value, CallingIndex) and call.kind == "return" and type(call.value) is int:
        return call.value
    return None


def hydrated(name, args, kwargs):
    """The addresses a successful hydration must have banned: those of the
    plain pairs in a list or tuple that expire after the next second."""
    bans = kwargs.get("bans", args[0] if args else None)
    if name != "hydrate_bans_rs" or type(bans) not in (list, tuple):
        return []
    soon = int(time.time()) + 2
    return [
        str.__str__(pair[0])
        for pair in bans
        if type(pair) is tuple and len(pair) == 2 and isinstance(pair[0], str) and (read_expiry(pair[1]) or 0) > soon
    ]


def encodable_texts(objects):
    found = set(KNOWN)
    for o in objects:
        if isinstance(o, str):
            try:
                found.add(str(str.encode(o, "utf-8"), "utf-8"))
            except UnicodeEncodeError:
                pass
    return sorted(found)[:64]


@settings(SETTINGS, max_examples=400)
@given(call=calls())
def test_state_functions_raise_only_named_errors_and_refusals_change_nothing(call):
    name, args, kwargs = call
    rearranges = any([arm(argument) for argument in [*args, *kwargs.values()]])  # every argument armed
    objects = [o for argument in [*args, *kwargs.values()] for o in walk(argument)]
    probes = encodable_texts(objects)
    prepare_store()
    before = snapshot(probes)
    with counting_references(objects) as references, quiet():
        try:
            result = getattr(core, name)(*args, **kwargs)
        except ALLOWED as error:
            del error
            assert snapshot(probes) == before, (name, args, kwargs)
        else:
            assert type(result) is RESULT_TYPES[name]
            del result
            if not rearranges:  # every pair read was stored
                assert all(map(core.is_ip_banned_rs, hydrated(name, args, kwargs))), (args, kwargs)
        assert rearranges or references.unchanged()
    core.clear_state_engine_rs()
