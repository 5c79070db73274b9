"""Objects whose conversion and comparison hooks do something of the test's
choosing, shared by the test files. The module must convert them exactly as
the interpreter would, clear or pass on what they raise, and stay safe when
they change what is being read. Each name says what the object does."""


class HookError(Exception):
    """What the hooks below raise where the test chose no error of its own."""


class ListRefusingItsMethods(list):
    """A list whose __len__ lies and whose __getitem__ and __iter__ raise: read
    only through the list's own storage."""

    def __len__(self):
        return 10**6

    def __getitem__(self, index):
        raise HookError("__getitem__")

    def __iter__(self):
        raise HookError("__iter__")


class StrSubclass(str):
    """A str subclass that changes nothing: read like a str, not as an exact one."""


class IntSubclass(int):
    """An int subclass that changes nothing."""


class FloatSubclass(float):
    """A float subclass that changes nothing."""


class UnprintableStr(str):
    """A str whose str() fails (a keyword name the error message cannot print)."""

    def __str__(self):
        raise RuntimeError("unprintable")


def fake_type(module, name, **members):
    """A class that claims another module and name, e.g. NumPy's bool_."""
    return type(name, (), {"__module__": module, **members})


def answer(value, before=None):
    """Runs `before`, then raises `value` if it is an exception (a new one
    each time when it is an exception class, so that tracebacks do not chain
    and keep frames alive) or returns it."""
    if before is not None:
        before()
    if isinstance(value, type) and issubclass(value, BaseException):
        raise value("raised by a hook")
    if isinstance(value, BaseException):
        raise value
    return value


class FloatAnswering:
    """__float__ gives `value` (see answer), after running `before`."""

    def __init__(self, value, before=None):
        self.value, self.before = value, before

    def __float__(self):
        return answer(self.value, self.before)


class IndexAnswering:
    """__index__ gives `value` (see answer), after running `before`."""

    def __init__(self, value, before=None):
        self.value, self.before = value, before

    def __index__(self):
        return answer(self.value, self.before)


class ArmedCollidingKey:
    """Hashes like `text`, so looking `text` up compares with it: unequal
    while disarmed, raising once ArmedCollidingKey.armed is set."""

    armed = False

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if ArmedCollidingKey.armed:
            raise RuntimeError("comparison refused")
        return False


class RaisingCollidingKey:
    """Hashes like `text`, so looking `text` up calls its __eq__, which always raises."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise RuntimeError("no comparison")


# --- driven by a callable: each hook answers what `call()` returns ---------------


class CallingFloat:
    def __init__(self, call):
        self.call = call

    def __float__(self):
        return self.call()


class CallingIndex:
    def __init__(self, call):
        self.call = call

    def __index__(self):
        return self.call()


class CallingBool:
    def __init__(self, call):
        self.call = call

    def __bool__(self):
        return self.call()


# Taken for a NumPy boolean scalar by its module and name alone.
CallingNumpyBool = type("bool_", (CallingBool,), {"__module__": "numpy"})


class CallingSequence:
    """A sequence of `items` whose __len__, __getitem__ and __iter__ all
    run `call` (__len__ answers its result when that is an int)."""

    def __init__(self, call, items):
        self.call, self.items = call, items

    def __len__(self):
        result = self.call()
        return result if isinstance(result, int) else len(self.items)

    def __getitem__(self, index):
        self.call()
        return self.items[index]

    def __iter__(self):
        self.call()
        yield from self.items
        self.call()


class CallingCollidingKey:
    """Hashes like `text`; __eq__ answers call() when that is a bool."""

    def __init__(self, text, call):
        self.text, self.call = text, call

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        result = self.call()
        return result if isinstance(result, bool) else NotImplemented
