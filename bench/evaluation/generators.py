"""Bot sessions from public movement packages, run without moving a cursor.

Each generator is the package's own movement loop, called as its
documentation shows, with its own defaults; the loop's cursor calls and
sleeps land on the recording screen of pointer.py. A session is one move or
several, between random on-screen targets, with a pause between moves. What
comes out is the raw trace: the (ms, x, y) of every position the loop set.
capture.py turns it into what a page records; chromium.py replays it into
a real browser.

Seeded: a session's trace depends on its seed only (the packages draw from
the global `random` and NumPy generators, both seeded per session).
"""

from __future__ import annotations

import functools
import math
import random
from collections.abc import Callable
from dataclasses import dataclass

from . import pointer

PAUSE_S = (0.2, 1.5)  # between the moves of a session
MARGIN = 5  # targets stay this far inside the screen
MIN_DISTANCE = 100  # a target is at least this far from where the cursor is

Move = Callable[[tuple[int, int], random.Random], None]


@dataclass(frozen=True)
class Generator:
    name: str
    package: str  # what provides it (PyPI name, or "ours")
    prepare: Callable[[], Move]  # per session, after the screen and the seeds are set


def _pyautogui():
    pointer.reset_pyautogui()
    return pointer.install()


# --- packages that drive pyautogui --------------------------------------------------------


def _pyclick() -> Move:
    _pyautogui()
    from pyclick import humanclicker

    humanclicker.setup_pyautogui()  # what the package sets at import
    clicker = humanclicker.HumanClicker()
    return lambda target, rng: clicker.move(target)  # duration=2 s: its default


def _humancursor() -> Move:
    _pyautogui()
    from humancursor import system_cursor

    pointer.pace(system_cursor)
    cursor = system_cursor.SystemCursor()  # sets pyautogui's pauses to 0; the duration is drawn per move
    return lambda target, rng: cursor.move_to(list(target))


def _windmouse() -> Move:
    _pyautogui()
    from windmouse import core
    from windmouse.pyautogui_controller import PyautoguiMouseController

    pointer.pace(core)

    def move(target, rng):
        # A controller keeps its first start point; a fresh one per move starts
        # where the cursor is, as the quick start's single move does.
        mouse = PyautoguiMouseController()
        mouse.dest_position = target
        mouse.move_to_target(tick_delay=0.005, step_duration=0.1)  # the quick start's values

    return move


# human-mouse sleeps `interval` ms after each of 1,920 points, interval growing
# as distance**(1.1..1.75): at its default speed_factor 1.0 a move across the
# screen lasts minutes, and the page's 300 events see only its first part. The
# README's faster example value is used.
HUMAN_MOUSE_SPEED = 0.5


def _human_mouse() -> Move:
    _pyautogui()
    from human_mouse import mouse, utils

    pointer.pace(utils)
    controller = mouse.MouseController()
    return lambda target, rng: controller.move(target[0], target[1], speed_factor=HUMAN_MOUSE_SPEED)


def _humanmovemouse() -> Move:
    _pyautogui()
    from humanmouse.controllers import mouse_controller
    from humanmouse.models import trajectory_model

    pointer.pace(mouse_controller)
    # It unpickles its model on every move; reading it once gives the same
    # trajectories (each is drawn from the seed it is given) in a tenth of the time.
    model = trajectory_model.HumanMouseModel
    if not hasattr(model.load, "cache_info"):
        model.load = classmethod(functools.lru_cache(maxsize=None)(model.load.__func__))
    controller = mouse_controller.HumanMouseController()  # bundled model, 100 points, speed 1.0
    return lambda target, rng: controller.move_to(target, seed=rng.randrange(2**31))


def _bezier() -> Move:
    # The package only evaluates curves; the loop is the usual curve bot's: a
    # cubic from the cursor to the target through two control points thrown
    # off the straight line, one point per 10 px of distance, spread evenly
    # over a duration of 0.3-1.2 s.
    pyautogui = _pyautogui()
    pyautogui.MINIMUM_DURATION, pyautogui.PAUSE = 0, 0
    import bezier
    import numpy as np

    def move(target, rng):
        screen = pointer.screen()
        x0, y0 = screen.x, screen.y
        dx, dy = target[0] - x0, target[1] - y0
        length = math.hypot(dx, dy)
        nx, ny = -dy / length, dx / length
        controls = [
            (x0 + dx * a + nx * b, y0 + dy * a + ny * b)
            for a, b in (
                (rng.uniform(0.15, 0.45), rng.gauss(0, 0.25 * length)),
                (rng.uniform(0.55, 0.85), rng.gauss(0, 0.25 * length)),
            )
        ]
        nodes = np.asfortranarray(
            [[x0, controls[0][0], controls[1][0], target[0]], [y0, controls[0][1], controls[1][1], target[1]]]
        )
        count = max(10, int(length / 10))
        pause = rng.uniform(0.3, 1.2) / count
        for x, y in bezier.Curve(nodes, degree=3).evaluate_multi(np.linspace(0.0, 1.0, count)).T:
            pyautogui.moveTo(x, y)
            pointer.CLOCK.sleep(pause)

    return move


# --- packages that drive other cursor interfaces ------------------------------------------


def _mousesim() -> Move:
    # Windows only: it calls user32 through ctypes.windll. A stand-in user32
    # reads and sets the recording screen; the package runs as written.
    import ctypes
    import types

    import MouseSim

    class User32:
        @staticmethod
        def GetCursorPos(reference):
            screen = pointer.screen()
            reference._obj.x, reference._obj.y = int(screen.x), int(screen.y)
            return 1

        @staticmethod
        def SetCursorPos(x, y):
            pointer.screen().jump(x, y)
            return 1

        @staticmethod
        def mouse_event(*args):
            return None

    MouseSim.ctypes = types.SimpleNamespace(windll=types.SimpleNamespace(user32=User32()), byref=ctypes.byref)
    pointer.pace(MouseSim)
    sim = MouseSim.MouseSim()  # noise 3 px, 10 ms +-50 % per step, 100 steps
    return lambda target, rng: sim.move(*target)


def _smart_mouse() -> Move:
    # Its loop sets pynput's cursor and sleeps the recorded intervals; with
    # mouse control off it hands each position to a callback instead, which
    # sets the recording screen (pynput itself is on its dummy backend).
    pointer.install()
    from smart_mouse import core

    pointer.pace(core)
    mover = core.SmartMouse(enable_mouse_control=False)

    def move(target, rng):
        screen = pointer.screen()
        mover.move_to(
            target[0],
            target[1],
            start_x=int(screen.x),
            start_y=int(screen.y),
            callback=lambda x, y, index: screen.jump(x, y),
        )

    return move


def _cursory() -> Move:
    # It returns points with their times (ms from the move's start, sampled at
    # its default 60 Hz +-1 ms); the loop that replays them sets each point at
    # its time.
    from cursory import generate_trajectory

    def move(target, rng):
        screen = pointer.screen()
        began = screen.now
        points, timings = generate_trajectory((screen.x, screen.y), target, seed=rng.randrange(2**32))
        for (x, y), t in zip(points, timings, strict=True):
            screen.now = began + t / 1000.0
            screen.jump(x, y)

    return move


# --- our own ------------------------------------------------------------------------------


def _straight(jittered: bool) -> Callable[[], Move]:
    # A loop that sleeps 10 ms between steps along the straight line at one
    # speed per move (600-1,800 px/s); the jittered one adds 1.5 px of noise
    # to each position and +-30 % to each sleep, and still lands on the target.
    def prepare() -> Move:
        def move(target, rng):
            screen = pointer.screen()
            x0, y0 = screen.x, screen.y
            dx, dy = target[0] - x0, target[1] - y0
            steps = max(1, math.ceil(math.hypot(dx, dy) / (rng.uniform(600, 1800) * 0.010)))
            for step in range(1, steps + 1):
                share = step / steps
                x, y = x0 + dx * share, y0 + dy * share
                if jittered and step < steps:
                    x, y = x + rng.gauss(0, 1.5), y + rng.gauss(0, 1.5)
                screen.sleep(0.010 * (rng.uniform(0.7, 1.3) if jittered else 1.0))
                screen.jump(round(x), round(y))

        return move

    return prepare


GENERATORS: dict[str, Generator] = {
    g.name: g
    for g in (
        Generator("pyclick", "pyclick", _pyclick),
        Generator("humancursor", "humancursor", _humancursor),
        Generator("windmouse", "windmouse", _windmouse),
        Generator("human-mouse", "human-mouse", _human_mouse),
        Generator("humanmovemouse", "humanmovemouse", _humanmovemouse),
        Generator("mousesim", "mousesim", _mousesim),
        Generator("bezier", "bezier", _bezier),
        Generator("smart-mouse", "smart-mouse", _smart_mouse),
        Generator("cursory", "cursory", _cursory),
        Generator("straight", "ours", _straight(False)),
        Generator("straight-jitter", "ours", _straight(True)),
    )
}


def _target(rng: random.Random, cursor: tuple[float, float] | None) -> tuple[int, int]:
    while True:
        target = (rng.randint(MARGIN, pointer.WIDTH - 1 - MARGIN), rng.randint(MARGIN, pointer.HEIGHT - 1 - MARGIN))
        if cursor is None or math.dist(target, cursor) >= MIN_DISTANCE:
            return target


def session_trace(name: str, seed: int, moves: int) -> list[tuple[float, float, float]]:
    """The (ms, x, y) positions one session of `moves` moves sets, from the
    moment the first move starts."""
    import numpy as np

    generator = GENERATORS[name]
    rng = random.Random(seed)
    random.seed(seed)
    np.random.seed(seed % 2**32)
    screen = pointer.begin(_target(rng, None))
    move = generator.prepare()
    for index in range(moves):
        if index:
            screen.sleep(rng.uniform(*PAUSE_S))
        move(_target(rng, (screen.x, screen.y)), rng)
    return screen.trace
