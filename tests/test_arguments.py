"""Argument matching and the strict conversions of the state functions."""

import sys

import pytest

import quelvar_core_rs as core
from hooks import IndexAnswering, UnprintableStr

MATCHING_ERRORS = [
    (lambda: core.consume_nonce_rs("a", "b"), "consume_nonce_rs() takes 1 positional arguments but 2 were given"),
    (lambda: core.ban_ip_rs("a", 1, 2, bogus=3), "ban_ip_rs() takes 2 positional arguments but 3 were given"),
    (lambda: core.extract_features_rs({}, {}), "extract_features_rs() takes 1 positional arguments but 2 were given"),
    (lambda: core.is_ip_banned_rs("a", ip="b"), "is_ip_banned_rs() got multiple values for argument 'ip'"),
    (lambda: core.ban_ip_rs("a", 1, ip="b"), "ban_ip_rs() got multiple values for argument 'ip'"),
    (lambda: core.unban_ip_rs(addr="x"), "unban_ip_rs() got an unexpected keyword argument 'addr'"),
    (lambda: core.consume_nonce_rs(Nonce="x"), "consume_nonce_rs() got an unexpected keyword argument 'Nonce'"),
    # The first failing keyword ends matching, before missing arguments are counted.
    (lambda: core.ban_ip_rs(zz=1, ip="x"), "ban_ip_rs() got an unexpected keyword argument 'zz'"),
    (lambda: core.ban_ip_rs(), "ban_ip_rs() missing 2 required positional arguments: 'ip' and 'duration_sec'"),
    (lambda: core.ban_ip_rs(duration_sec=1), "ban_ip_rs() missing 1 required positional argument: 'ip'"),
    (lambda: core.ban_ip_rs("x"), "ban_ip_rs() missing 1 required positional argument: 'duration_sec'"),
    (lambda: core.hydrate_bans_rs(), "hydrate_bans_rs() missing 1 required positional argument: 'bans'"),
    (lambda: core.extract_features_rs(), "extract_features_rs() missing 1 required positional argument: 'telemetry'"),
]


@pytest.mark.parametrize("call, message", MATCHING_ERRORS)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)


CONVERSION_TYPE_ERRORS = [
    (lambda: core.is_ip_banned_rs(5), "argument 'ip': 'int' object cannot be converted to 'PyString'"),
    (lambda: core.consume_nonce_rs(b"raw"), "argument 'nonce': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs(None, 1), "argument 'ip': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs("x", 2.5), "argument 'duration_sec': 'float' object cannot be interpreted as an integer"),
    (lambda: core.ban_ip_rs("x", "10"), "argument 'duration_sec': 'str' object cannot be interpreted as an integer"),
    (lambda: core.hydrate_bans_rs("1.2.3.4"), "argument 'bans': Can't extract `str` to `Vec`"),
    (lambda: core.hydrate_bans_rs({("a", 1)}), "argument 'bans': 'set' object cannot be converted to 'Sequence'"),
    (lambda: core.hydrate_bans_rs({"a": 1}), "argument 'bans': 'dict' object cannot be converted to 'Sequence'"),
    (
        lambda: core.hydrate_bans_rs(p for p in [("a", 1)]),
        "argument 'bans': 'generator' object cannot be converted to 'Sequence'",
    ),
    (lambda: core.hydrate_bans_rs(7), "argument 'bans': 'int' object cannot be converted to 'Sequence'"),
    (
        lambda: core.hydrate_bans_rs([("a", 1), ["b", 2]]),
        "argument 'bans': 'list' object cannot be converted to 'PyTuple'",
    ),
    (lambda: core.hydrate_bans_rs([(1, 1)]), "argument 'bans': 'int' object cannot be converted to 'PyString'"),
    (
        lambda: core.hydrate_bans_rs([("a", 1), ("b", "x")]),
        "argument 'bans': 'str' object cannot be interpreted as an integer",
    ),
]


@pytest.mark.parametrize("call, message", CONVERSION_TYPE_ERRORS)
def test_conversion_type_errors_carry_the_argument_prefix(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)
    assert raised.value.__cause__ is None
    assert raised.value.__suppress_context__ is True


def test_nested_class_names_are_qualified():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as raised:
        core.is_ip_banned_rs(Outer.Inner())
    assert raised.value.args[0].endswith(
        "'test_nested_class_names_are_qualified.<locals>.Outer.Inner' object cannot be converted to 'PyString'"
    )


@pytest.mark.parametrize(
    "call, error_class, message",
    [
        (lambda: core.ban_ip_rs("x", -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: core.ban_ip_rs("x", 2**64), OverflowError, "int too big to convert"),
        (lambda: core.hydrate_bans_rs([("a", -5)]), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda: core.hydrate_bans_rs([("a", 1, 2)]),
            ValueError,
            "expected tuple of length 2, but got tuple of length 3",
        ),
        (lambda: core.hydrate_bans_rs([()]), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ],
)
def test_errors_other_than_type_error_pass_unprefixed(call, error_class, message):
    with pytest.raises(error_class) as raised:
        call()
    assert type(raised.value) is error_class
    assert raised.value.args == (message,)


def test_unencodable_text_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError) as raised:
        core.is_ip_banned_rs("10.0.0.\ud800")
    assert not str(raised.value).startswith("argument")
    with pytest.raises(UnicodeEncodeError):
        core.hydrate_bans_rs([("ok", 1), ("\udfff", 2)])


def test_user_index_error_reaches_the_caller_unchanged():
    error = KeyError("from __index__")
    with pytest.raises(KeyError) as raised:
        core.ban_ip_rs("x", IndexAnswering(error))
    assert raised.value is error


def test_type_error_subclass_is_not_prefixed():
    class OwnTypeError(TypeError):
        pass

    error = OwnTypeError("mine")
    with pytest.raises(OwnTypeError) as raised:
        core.ban_ip_rs("x", IndexAnswering(error))
    assert raised.value is error


def test_prefixed_type_error_keeps_the_cause():
    cause = ValueError("root cause")
    error = TypeError("bad index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as raised:
        core.ban_ip_rs("x", IndexAnswering(error))
    assert raised.value is not error
    assert raised.value.args == ("argument 'duration_sec': bad index",)
    assert raised.value.__cause__ is cause
    assert raised.value.__suppress_context__ is True


def test_prefix_uses_str_of_the_error_with_surrogates_replaced():
    error = TypeError("bad \udc80 value")
    with pytest.raises(TypeError) as raised:
        core.ban_ip_rs("x", IndexAnswering(error))
    assert raised.value.args == ("argument 'duration_sec': bad \ufffd\ufffd\ufffd value",)


def test_keyword_name_whose_str_fails(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(report))
    with pytest.raises(TypeError) as raised:
        core.unban_ip_rs(**{UnprintableStr("addr"): "x"})
    assert raised.value.args == (
        "unban_ip_rs() got an unexpected keyword argument '<unprintable UnprintableStr object>'",
    )
    assert len(reported) == 1 and isinstance(reported[0].exc_value, RuntimeError)


def test_keyword_name_with_surrogate_does_not_match():
    with pytest.raises(TypeError) as raised:
        core.unban_ip_rs(**{"ip\ud800": "x"})
    assert raised.value.args == ("unban_ip_rs() got an unexpected keyword argument 'ip\ufffd\ufffd\ufffd'",)


class LyingSequence:
    """A sequence whose __len__ has nothing to do with what it yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [2**62, 0, RuntimeError("no length")])
def test_length_hint_cannot_end_the_process(length):
    # The length is only a hint: every pair the iteration yields is applied.
    core.clear_state_engine_rs()
    core.hydrate_bans_rs(LyingSequence([(f"10.0.0.{i}", 2**40) for i in range(3)], length))
    assert [core.is_ip_banned_rs(f"10.0.0.{i}") for i in range(4)] == [True, True, True, False]
    core.clear_state_engine_rs()


def test_iteration_errors_pass_through():
    class BrokenIteration(LyingSequence):
        def __getitem__(self, index):
            if index == 1:
                raise LookupError("broken")
            return ("a", 1)

    with pytest.raises(LookupError, match="broken"):
        core.hydrate_bans_rs(BrokenIteration([], 5))
