"""The costliest telemetry bodies of at most `max_body` bytes that a client can
send, built for the native JSON walk: each fills the limit with what makes its
bytes dear (numbers that need an exact comparison, long digits, extreme
exponents, nesting, keys, strings, escapes, a second parse, another encoding).
bench/run_benchmarks.py times them against a typical post
(examples/sessions/human.json), interleaved, as ratios from one run."""

from __future__ import annotations

import json
import math
import os
import random
import struct
from fractions import Fraction

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TYPICAL = os.path.join(ROOT, "examples", "sessions", "human.json")
# The nesting the walk accepts under a key of the root object.
ACCEPTED_NESTING = 1022


def typical_post() -> bytes:
    with open(TYPICAL, "rb") as file:
        return file.read()


def fullest_session(indent: int | None = None) -> bytes:
    """The most telemetry a real client sends, which max_body must hold: 300
    points and 150 keystrokes (the collector's caps), 100 clicks and 300
    scrolls, every number at the 17 significant digits JSON.stringify may
    write for a double; compact as JSON.stringify writes it, or indented."""
    number, time = -12345.678901234567, 1234567.8900000001
    point = {"x": number, "y": number, "t": time}
    telemetry = {
        "mouse_movements": [point] * 300,
        "keystrokes": [{"t": time}] * 150,
        "clicks": [point] * 100,
        "scrolls": [{"t": time}] * 300,
        "browser": {
            "webdriver": False,
            "screen_width": 3840,
            "screen_height": 2160,
            "touch_supported": False,
            "plugins_length": 5,
        },
    }
    return json.dumps(telemetry, indent=indent, separators=None if indent else (",", ":")).encode()


def _fill(limit: int, head: str, items, tail: str, separator: str = ",") -> bytes:
    """head + items joined by separator + tail, as many items as fit in `limit` bytes."""
    parts, size = [], len(head) + len(tail)
    for item in items:
        if size + len(item) + len(separator) > limit:
            break
        parts.append(item)
        size += len(item) + len(separator)
    return (head + separator.join(parts) + tail).encode("utf-8", "surrogatepass")


def _points(limit: int, numbers, key=lambda name: f'"{name}"') -> bytes:
    def items():
        while True:
            yield "{" + ",".join(f"{key(k)}:{next(numbers)}" for k in "xyt") + "}"

    return _fill(limit, '{"mouse_movements":[', items(), "]}")


def _midpoint(x: float) -> tuple[str, int]:
    """The exact decimal digits of the midpoint between x >= 0 and the next double up, and their exponent."""
    fraction = (Fraction(x) + Fraction(math.nextafter(x, math.inf))) / 2
    twos = fraction.denominator.bit_length() - 1
    return str(fraction.numerator * 5**twos), -twos


def _near_midpoints(rng: random.Random, low_bits: int, high_bits: int, digits: int | None):
    """Numbers that agree with a midpoint on `digits` significant digits (all of
    it when None) and then lie just above it: the first 19 digits cannot round
    them, the exact comparison must."""
    while True:
        x = struct.unpack("<d", struct.pack("<Q", rng.randrange(low_bits, high_bits)))[0]
        text, exponent = _midpoint(x)
        kept = text if digits is None else text[:digits]
        exponent += len(text) - len(kept) - 1
        yield f"{kept}1e{exponent}"


def _random_digits(rng: random.Random, count: int) -> str:
    return "".join(rng.choice("0123456789") for _ in range(count))


def costly_bodies(limit: int, seed: int = 11) -> dict[str, bytes]:
    """Name -> body of at most `limit` bytes."""
    rng = random.Random(seed)
    subnormal, largest = 1 << 52, 0x7FEFFFFFFFFFFFFF

    def short_points(size: int) -> bytes:
        return _points(size, iter(lambda: str(rng.randrange(10_000)), None))

    bodies = {
        "fullest session, indented": fullest_session(indent=2),
        "short points": short_points(limit),
        "17-digit points": _points(limit, iter(lambda: repr(rng.uniform(0, 2e6)), None)),
        "midpoint, 20 digits, e-324": _points(limit, _near_midpoints(rng, 1, subnormal, 20)),
        "midpoint, 20 digits, e+308": _points(limit, _near_midpoints(rng, largest - subnormal, largest, 20)),
        "midpoint, 40 digits": _points(limit, _near_midpoints(rng, 1, largest, 40)),
        "midpoint, all ~750 digits": _points(limit, _near_midpoints(rng, 1, 1 << 20, None)),
        "300 digits, e-300": _points(limit, iter(lambda: f"0.{_random_digits(rng, 300)}5e-300", None)),
        "integers at the digit limit": _points(limit, iter(lambda: "9" * 4300, None)),
        "1e400 and 1e-400": _points(limit, iter(lambda: rng.choice(["1e400", "-1e-400", "1E+400"]), None)),
        "exponents of 1000 digits": _points(limit, iter(lambda: "1e-" + "0" * 997 + "300", None)),
        "escaped keys": _points(limit, iter(lambda: "1", None), key=lambda name: f'"\\u{ord(name):04x}"'),
        "many keys": _fill(limit, "{", (f'"k{i}":0' for i in range(limit)), "}"),
        "deep nesting": _fill(
            limit, "{", iter(lambda: '"z":' + "[" * ACCEPTED_NESTING + "]" * ACCEPTED_NESTING, None), "}"
        ),
        "long string": ('{"z":"' + "a" * (limit - 8) + '"}').encode(),
        "escaped strings": _fill(limit, '{"z":"', iter(lambda: '\\u00e9\\n\\"', None), '"}', separator=""),
        # Not UTF-8 to simdjson: checked, mended and parsed a second time.
        "encoded surrogate": short_points(limit - 12)[:-1] + b',"z":"\xed\xa0\x80"}',
        # Two bytes a character and a byte order mark: decoded by the interpreter first.
        "UTF-16": short_points(limit // 2 - 1).decode().encode("utf-16"),
        "keystrokes": _fill(limit, '{"keystrokes":[', iter(lambda: '{"t":1.5}', None), "]}"),
        "clicks and scrolls": _fill(limit, '{"clicks":[', iter(lambda: "0", None), "]}"),
        "whitespace": b'{"mouse_movements":[' + b" " * (limit - 42) + b'{"x":1,"y":2,"t":3}]}',
        "malformed at the end": short_points(limit)[:-1],
    }
    for name, body in bodies.items():
        assert len(body) <= limit, (name, len(body), limit)
    return bodies


def loads_then_dict(extract):
    """The dict path on json.loads, refusals answered as the body's are."""

    def run(body: bytes):
        try:
            return extract(json.loads(body))
        except ValueError:
            return None

    return run
