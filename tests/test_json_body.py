"""extract_features_json_rs(body) is extract_features_rs(json.loads(body)), refusals included."""

import json
import math
import os
import struct
import sys
import threading
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quelvar_core_rs as core
from bench.telemetry import human_telemetry


def same_features(a: dict, b: dict) -> bool:
    """Same keys in the same order, same types, same values bit for bit (NaN equal to NaN)."""
    if list(a) != list(b):
        return False
    for key in a:
        x, y = a[key], b[key]
        if type(x) is not type(y):
            return False
        if isinstance(x, float):
            if math.isnan(x) or math.isnan(y):
                if not (math.isnan(x) and math.isnan(y)):
                    return False
            elif x != y or math.copysign(1.0, x) != math.copysign(1.0, y):
                return False
        elif x != y:
            return False
    return True


def assert_like_loads(body):
    """The dict path on json.loads(body), or ValueError exactly where json.loads refuses."""
    try:
        expected = core.extract_features_rs(json.loads(body))
    except ValueError:
        # Bytes in UTF-16 or UTF-32 are decoded by the interpreter's codecs,
        # whose UnicodeDecodeError (a ValueError) passes unchanged.
        with pytest.raises(ValueError, match=r"invalid JSON body at byte \d+: |codec can't decode"):
            core.extract_features_json_rs(body)
        return
    assert same_features(core.extract_features_json_rs(body), expected)


# -- JSON texts, written token by token so that spelling and spacing vary --

WHITESPACE = st.text(" \t\n\r", max_size=3)
TELEMETRY_KEYS = [
    "browser",
    "clicks",
    "scrolls",
    "keystrokes",
    "mouse_movements",
    "webdriver",
    "screen_width",
    "screen_height",
    "touch_supported",
    "plugins_length",
    "x",
    "y",
    "t",
    "down",
    "time",
]


@st.composite
def key_text(draw, name):
    """A key as JSON text: plain, with escaped characters, or near miss."""
    chars = []
    for c in name:
        form = draw(st.integers(0, 9))
        chars.append(f"\\u{ord(c):04{'x' if form == 1 else 'X'}}" if form <= 1 else c)
    text = "".join(chars)
    return '"' + draw(st.sampled_from([text, text, text, text + "\\u0000", text.upper(), text + "\\ud800"])) + '"'


def number_texts():
    return st.one_of(
        st.integers(-2000, 2000).map(str),
        st.sampled_from(
            [
                "-0",
                "-0.0",
                "0e5",
                "1E400",
                "-1e400",
                "1e-400",
                "4.9e-324",
                "2.4703282292062328e-324",
                "NaN",
                "Infinity",
                "-Infinity",
                str(2**53 + 1),
                str(2**63),
                str(-(2**63)),
                str(2**64),
                str(2**1024 - 2**970),
                str(2**1024 - 2**970 - 1),
                "9" * 309,
                "1" * 400,
            ]
        ),
        st.integers(-(2**80), 2**80).map(str),
        st.floats(allow_nan=False).map(repr).filter(lambda r: "inf" not in r),
        st.floats(allow_nan=False, allow_infinity=False).map(lambda f: f"{f:.17e}"),
        st.decimals(allow_nan=False, allow_infinity=False, places=3).map(str),
    )


def string_texts():
    return st.one_of(
        st.text(max_size=6).map(lambda s: json.dumps(s, ensure_ascii=False)),
        st.sampled_from(['"\\ud800"', '"\\udc00\\ud800"', '"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\u00e9"']),
    )


def scalar_texts():
    return st.one_of(number_texts(), string_texts(), st.sampled_from(["true", "false", "null"]))


@st.composite
def object_text(draw, members):
    """An object from (key text, value text) pairs, duplicates and spacing drawn."""
    pairs = draw(members)
    if pairs and draw(st.booleans()):
        pairs = pairs + [draw(st.sampled_from(pairs))]  # a later duplicate wins
    ws = lambda: draw(WHITESPACE)  # noqa: E731
    return "{" + ws() + ",".join(f"{ws()}{k}{ws()}:{ws()}{v}{ws()}" for k, v in pairs) + ws() + "}"


def any_json(max_leaves=12):
    return st.recursive(
        scalar_texts(),
        lambda inner: st.one_of(
            st.lists(inner, max_size=4).map(lambda items: "[" + ",".join(items) + "]"),
            object_text(
                st.lists(
                    st.tuples(st.one_of(string_texts(), st.sampled_from(TELEMETRY_KEYS).flatmap(key_text)), inner),
                    max_size=4,
                )
            ),
        ),
        max_leaves=max_leaves,
    )


def member(name, value):
    return st.tuples(key_text(name), value)


def field_value(mostly):
    return st.one_of(mostly, mostly, scalar_texts(), any_json(4))


def point_text():
    fields = st.lists(
        st.one_of(
            member("x", field_value(number_texts())),
            member("y", field_value(number_texts())),
            member("t", field_value(number_texts())),
            member("z", any_json(3)),
        ),
        min_size=2,
        max_size=5,
    )
    return st.one_of(object_text(fields), scalar_texts())


def telemetry_text():
    lists = lambda items, n: st.lists(items, max_size=n).map(lambda xs: "[" + ",".join(xs) + "]")  # noqa: E731
    browser = object_text(
        st.lists(
            st.one_of(
                *[
                    member(k, field_value(st.one_of(number_texts(), st.sampled_from(["true", "false"]))))
                    for k in TELEMETRY_KEYS[5:10]
                ]
            ),
            max_size=6,
        )
    )
    keystroke = object_text(
        st.lists(st.one_of(*[member(k, field_value(number_texts())) for k in ("t", "down", "time")]), max_size=3)
    )
    nested = st.integers(1, 60).map(lambda d: "[" * d + "{}" + "]" * d)
    top = st.lists(
        st.one_of(
            member("browser", field_value(browser)),
            member("clicks", field_value(lists(any_json(3), 5))),
            member("scrolls", field_value(lists(scalar_texts(), 5))),
            member("keystrokes", field_value(lists(keystroke, 8))),
            member("mouse_movements", field_value(lists(point_text(), 12))),
            st.tuples(string_texts(), st.one_of(any_json(), nested)),
        ),
        max_size=7,
    )
    return st.one_of(object_text(top), object_text(top), any_json())


@st.composite
def bodies(draw):
    text = draw(telemetry_text())
    body = (draw(WHITESPACE) + text + draw(WHITESPACE)).encode("utf-8", "surrogatepass")
    mutation = draw(st.sampled_from(["none", "none", "truncate", "insert", "delete", "garbage"]))
    if mutation != "none" and body:
        at = draw(st.integers(0, len(body) - 1))
        if mutation == "truncate":
            body = body[:at]
        elif mutation == "insert":
            body = (
                body[:at]
                + draw(
                    st.sampled_from(
                        [
                            b",",
                            b"}",
                            b"]",
                            b'"',
                            b"\\",
                            b"\x00",
                            b"\xff",
                            b"\xed\xa0\x80",
                            b"-",
                            b"e",
                            b"\xc3",
                            b" 1",
                            b"\x0c",
                        ]
                    )
                )
                + body[at:]
            )
        elif mutation == "delete":
            body = body[:at] + body[at + 1 :]
        else:
            body += draw(st.sampled_from([b"x", b" {}", b"]", b"\x00", b" 1"]))
    return body


# Longer by hand: QUELVAR_JSON_EXAMPLES=20000 (with --hypothesis-seed=random).
@settings(
    max_examples=int(os.environ.get("QUELVAR_JSON_EXAMPLES", "300")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(bodies())
def test_json_body_equals_dict_path_on_loads(body):
    assert_like_loads(body)
    assert_like_loads(bytearray(body))
    try:
        text = body.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return
    assert_like_loads(text)


HUMAN_TEXT = json.dumps(human_telemetry(400))  # past the 300-point window too


# Every body type and encoding json.loads reads, and the stated limits: each
# body gives the features of the JSON text `telemetry`, or ValueError where
# that is None.
@pytest.mark.parametrize(
    "body, telemetry",
    [
        (HUMAN_TEXT, HUMAN_TEXT),
        (HUMAN_TEXT.encode(), HUMAN_TEXT),
        (bytearray(HUMAN_TEXT.encode()), HUMAN_TEXT),
        (memoryview(HUMAN_TEXT.encode()), HUMAN_TEXT),
        (HUMAN_TEXT.encode("utf-16"), HUMAN_TEXT),
        (HUMAN_TEXT.encode("utf-32-be"), HUMAN_TEXT),
        (b"\xef\xbb\xbf" + HUMAN_TEXT.encode(), HUMAN_TEXT),
        ("[" * 1024 + "]" * 1024, "{}"),
        ("[" * 1025 + "]" * 1025, None),  # json.loads may still read this: the stated limit
        ('{"a":' + "[" * 1023 + "]" * 1023 + "}", "{}"),
        ("\ufeff{}", None),  # a str keeps its byte order mark, as json.loads refuses it
        (b"", None),
        (b"{}\x00", None),
    ],
    ids=[
        "str",
        "bytes",
        "bytearray",
        "memoryview",
        "utf-16",
        "utf-32-be",
        "utf-8 bom",
        "depth 1024",
        "depth 1025",
        "depth 1024 in a field",
        "str bom",
        "empty",
        "trailing nul",
    ],
)
def test_body_types_encodings_and_limits(body, telemetry):
    if telemetry is None:
        with pytest.raises(ValueError):
            core.extract_features_json_rs(body)
    else:
        assert same_features(core.extract_features_json_rs(body), core.extract_features_rs(json.loads(telemetry)))


@pytest.mark.parametrize(
    "template",
    [
        '{"browser": {"plugins_length": 1, "screen_width": %s}}',
        '{"mouse_movements": [{"x": %s, "y": 1, "t": 2}, {"x": 0, "y": 1, "t": 2}]}',
        '{"clicks": [{"x": %s}], "other": 1}',
    ],
)
def test_long_integers_follow_the_interpreters_digit_limit(template):
    body = template % ("7" * 5000)
    before = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(0)
        assert_like_loads(body)
        sys.set_int_max_str_digits(6000)
        assert_like_loads(body)
        sys.set_int_max_str_digits(4999)
        assert_like_loads(body)
        with pytest.raises(ValueError, match="limit"):
            core.extract_features_json_rs(body)
    finally:
        sys.set_int_max_str_digits(before)


@st.composite
def near_midpoints(draw):
    """A number at, just below or just above the midpoint between a double and
    the next one up: there rounding needs every digit up to where the number
    and the midpoint part (a subnormal's midpoint has about 750 of them), and
    past the first 768 only whether one is nonzero. Spelt as JSON allows."""
    bits = draw(st.one_of(st.integers(0, 2**52), st.integers(0, 0x7FEFFFFFFFFFFFFF), st.just(0x7FEFFFFFFFFFFFFF)))
    x = struct.unpack("<d", struct.pack("<Q", bits))[0]
    above = Fraction(2) ** 1024 if x == sys.float_info.max else Fraction(math.nextafter(x, math.inf))
    midpoint = (Fraction(x) + above) / 2
    twos = midpoint.denominator.bit_length() - 1
    digits, exponent = str(midpoint.numerator * 5**twos), -twos
    cut = draw(st.integers(17, len(digits) + 1))
    pad = draw(st.sampled_from([0, 1, 30, 800]))
    where = draw(st.sampled_from(["cut", "cut + 1", "at", "a hair above", "a hair below"]))
    if where == "cut":
        digits, exponent = digits[:cut], exponent + len(digits) - min(cut, len(digits))
    elif where == "cut + 1":
        digits, exponent = str(int(digits[:cut]) + 1), exponent + len(digits) - min(cut, len(digits))
    elif where == "a hair above":
        digits, exponent = digits + "0" * pad + "1", exponent - pad - 1
    elif where == "a hair below":
        digits, exponent = str(int(digits) * 10 ** (pad + 1) - 1), exponent - pad - 1
    digits, exponent = digits + "0" * pad, exponent - pad  # trailing zeros change nothing
    sign = draw(st.sampled_from(["", "-"]))
    spelling = draw(st.sampled_from(["integer", "point", "fraction"]))
    e = draw(st.sampled_from(["e", "E", "e+"]))
    if spelling == "integer" and exponent >= 0 and len(digits) + exponent < 400:
        return sign + digits + "0" * exponent  # an int in Python
    if spelling == "integer":
        return f"{sign}{digits}e{exponent}"
    if spelling == "point":
        at = draw(st.integers(1, len(digits)))
        shift = exponent + len(digits) - at
        return f"{sign}{digits[:at]}.{digits[at:] or '0'}{e if shift >= 0 else 'e'}{shift}"
    zeros = draw(st.integers(0, 3))
    shift = exponent + len(digits) + zeros
    return f"{sign}0.{'0' * zeros}{digits}{e if shift >= 0 else 'E'}{shift}"


# Every conversion (the walk's points and the browser's fields) against the
# dict path, which is float() or int() of the same text.
@settings(
    max_examples=int(os.environ.get("QUELVAR_JSON_EXAMPLES", "300")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(near_midpoints())
def test_long_numbers_round_as_float_does(number):
    assert_like_loads(
        f'{{"browser": {{"screen_width": {number}, "screen_height": 1}},'
        f' "mouse_movements": [{{"x": 0, "y": 0, "t": 0}}, {{"x": 1, "y": 1, "t": 1}}, {{"x": {number}, "y": 2,'
        ' "t": 2}]}'
    )


@pytest.mark.parametrize("body", [None, 1, 2.5, {}, ["{}"], memoryview(b"{}  ")[::2]])
def test_other_types_are_refused_naming_the_accepted_ones(body):
    with pytest.raises(TypeError, match="bytes, bytearray, memoryview.* or str"):
        core.extract_features_json_rs(body)


def test_threads_on_shared_and_distinct_bodies_match_serial_calls():
    shared = json.dumps(human_telemetry(300)).encode()
    distinct = [json.dumps(human_telemetry(50 + 40 * i)).encode() for i in range(4)]
    expected = {body: core.extract_features_json_rs(body) for body in [shared, *distinct]}
    failures = []

    def worker(own):
        for _ in range(150):
            for body in (shared, own):
                if not same_features(core.extract_features_json_rs(body), expected[body]):
                    failures.append(body)

    threads = [threading.Thread(target=worker, args=(body,)) for body in distinct]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not failures and not any(thread.is_alive() for thread in threads)
