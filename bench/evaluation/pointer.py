"""A pointer that only records: the screen the movement packages believe they drive.

The packages move an operating-system cursor through pyautogui, pynput or
user32 and pace themselves with time.sleep. Here no cursor moves and nothing
waits: their platform calls land on `Screen`, which notes each position
with the time of a virtual clock that their sleeps advance. What they would
have sent to the cursor, and when, is then exactly the recorded trace.

Do-nothing backends, chosen instead of an X server so that generation runs
in seconds and needs no display:
- pyautogui: its X11 platform module is replaced before import by
  `_platform_module()`; pyautogui's own tweening, PAUSE and rounding run
  as written. Its optional GUI helper `mouseinfo` opens a display at import
  and is kept out (pyautogui treats it as not installed).
- pynput: its own `dummy` backend (PYNPUT_BACKEND=dummy).
- user32 (mousesim): a stand-in object with GetCursorPos/SetCursorPos.
"""

from __future__ import annotations

import os
import sys
import time as _real_time
import types

WIDTH, HEIGHT = 1920, 1080


class Screen:
    """One session's cursor: position, virtual clock, and the trace of jumps."""

    def __init__(self, start: tuple[float, float]):
        self.x, self.y = self._clamp(*start)
        self.now = 0.0  # seconds since the session began
        self.trace: list[tuple[float, float, float]] = []  # (ms, x, y) per jump

    @staticmethod
    def _clamp(x: float, y: float) -> tuple[float, float]:
        # The display server keeps the cursor on the screen whatever it is told.
        return min(max(float(x), 0.0), WIDTH - 1.0), min(max(float(y), 0.0), HEIGHT - 1.0)

    def jump(self, x: float, y: float) -> None:
        self.x, self.y = self._clamp(x, y)
        self.trace.append((self.now * 1000.0, self.x, self.y))

    def sleep(self, seconds: float) -> None:
        if seconds > 0:
            self.now += float(seconds)


_screen: Screen | None = None


def screen() -> Screen:
    if _screen is None:
        raise RuntimeError("no session: call pointer.begin(start) first")
    return _screen


def begin(start: tuple[float, float]) -> Screen:
    """Starts a session's screen; the packages' calls go to it until the next begin."""
    global _screen
    _screen = Screen(start)
    return _screen


class VirtualTime(types.ModuleType):
    """Stands for the `time` module inside a package: sleeps advance the
    session's clock, clocks read it, everything else is the real module."""

    def __init__(self):
        super().__init__("time")

    def __getattr__(self, name):
        return getattr(_real_time, name)

    @staticmethod
    def sleep(seconds: float) -> None:
        screen().sleep(seconds)

    @staticmethod
    def time() -> float:
        return 1.7e9 + screen().now

    @staticmethod
    def perf_counter() -> float:
        return screen().now

    monotonic = perf_counter


CLOCK = VirtualTime()


def pace(*modules: types.ModuleType) -> None:
    """Points the `time` (or `sleep`) names of the given modules at the virtual clock."""
    for module in modules:
        if isinstance(getattr(module, "time", None), types.ModuleType):
            module.time = CLOCK
        if getattr(module, "sleep", None) is _real_time.sleep:
            module.sleep = CLOCK.sleep


def _platform_module() -> types.ModuleType:
    """pyautogui's platform layer, recording into the current screen."""
    module = types.ModuleType("pyautogui._pyautogui_x11")

    def _position():
        s = screen()
        return int(round(s.x)), int(round(s.y))

    def _moveTo(x, y):
        screen().jump(x, y)

    def _button(x, y, button=None):
        if x is not None and y is not None:
            screen().jump(x, y)

    def _multi_click(x, y, button, clicks, interval=0.0):
        _button(x, y)

    def _nothing(*args, **kwargs):
        return None

    module.__dict__.update(
        _position=_position,
        _size=lambda: (WIDTH, HEIGHT),
        _moveTo=_moveTo,
        _mouseDown=_button,
        _mouseUp=_button,
        _click=_button,
        _multiClick=_multi_click,
        _dragTo=lambda x, y, button=None: _moveTo(x, y),
        _scroll=_nothing,
        _vscroll=_nothing,
        _hscroll=_nothing,
        _keyDown=_nothing,
        _keyUp=_nothing,
        _mouse_is_swapped=lambda: False,
        keyboardMapping={},
    )
    return module


_PYAUTOGUI_DEFAULTS: dict[str, float] = {}
_BACKEND = _platform_module()


def install():
    """Installs the do-nothing backends before any movement package is imported;
    returns pyautogui. Safe to call again."""
    os.environ["PYNPUT_BACKEND"] = "dummy"
    if "pyautogui" not in sys.modules:
        sys.modules["pyautogui._pyautogui_x11"] = _BACKEND
        sys.modules.setdefault("mouseinfo", None)  # opens a display at import
    import pyautogui

    if pyautogui.platformModule is not _BACKEND:
        raise RuntimeError("pyautogui was imported before the recording backend was installed")
    pace(pyautogui)
    pyautogui.FAILSAFE = False  # the corner check guards a real cursor; this one is virtual
    if not _PYAUTOGUI_DEFAULTS:
        _PYAUTOGUI_DEFAULTS.update(
            MINIMUM_DURATION=pyautogui.MINIMUM_DURATION, MINIMUM_SLEEP=pyautogui.MINIMUM_SLEEP, PAUSE=pyautogui.PAUSE
        )
    return pyautogui


def reset_pyautogui() -> None:
    """pyautogui's timing settings as shipped: each package then applies its own,
    as it does when it runs alone (several of them change these globals)."""
    pyautogui = install()
    for name, value in _PYAUTOGUI_DEFAULTS.items():
        setattr(pyautogui, name, value)
