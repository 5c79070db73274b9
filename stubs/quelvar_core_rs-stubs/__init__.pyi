# Type information for the native module quelvar_core_rs.
#
# A single-file extension module cannot carry a py.typed marker, so these
# declarations are installed beside it as the stub-only package
# quelvar_core_rs-stubs, where type checkers look for it.
#
# Every parameter may be passed by position or by keyword and none has a
# default. The TypedDicts below exist only for type checkers: import them
# under `if TYPE_CHECKING:`.

from collections.abc import Buffer, Sequence
from typing import Literal, SupportsIndex, TypedDict, type_check_only

__all__ = [
    "is_rust_core_active",
    "get_core_version",
    "extract_features_rs",
    "consume_nonce_rs",
    "is_ip_banned_rs",
    "ban_ip_rs",
    "unban_ip_rs",
    "hydrate_bans_rs",
    "clear_state_engine_rs",
    "get_state_engine_stats_rs",
    "extract_features_json_rs",
    "extract_evidence_json_rs",
]

@type_check_only
class FeatureDict(TypedDict):
    """The 24 features of one client's telemetry, in this insertion order.

    Coordinates and times are in whatever units the client sent.
    """

    mouse_points: int
    total_distance: float
    straightness: float
    avg_velocity: float
    max_velocity: float
    velocity_var: float
    avg_acceleration: float
    acceleration_var: float
    avg_jerk: float
    dt_var: float
    click_count: int
    key_count: int
    key_interval_avg: float
    key_interval_var: float
    webdriver: bool
    screen_valid: bool
    scroll_count: int
    terminal_decel_ratio: float
    plugins_length: int
    touch_supported: bool
    screen_width: float
    spectral_purity: float
    spectral_entropy: float
    submovement_count: int

@type_check_only
class MoveFigures(TypedDict):
    """The figures of one move, in MoveDict's order: MoveDict["whole"]."""

    points: int
    duration: float
    path_length: float
    chord: float
    max_deviation: float
    step_cv: float
    speed_cv: float
    dt_cv: float
    peak_speed_at: float
    turn_sum: float
    line_deviation: float
    line_extent: float
    step_spread: float

@type_check_only
class MoveDict(TypedDict):
    """The figures of the moves of the pointer path (cut where a time step
    exceeds 150), one list per figure in this insertion order, each with one
    entry per move in time order; then `whole`, the figures of the whole path
    taken as one move, `webdriver`: True when browser.webdriver was sent
    with any value but JSON false, or more than once (the collector sends it
    once, as a boolean), and `finite`: every figure above is finite."""

    points: list[int]
    duration: list[float]
    path_length: list[float]
    chord: list[float]
    max_deviation: list[float]
    step_cv: list[float]
    speed_cv: list[float]
    dt_cv: list[float]
    peak_speed_at: list[float]
    turn_sum: list[float]
    line_deviation: list[float]
    line_extent: list[float]
    step_spread: list[float]
    whole: MoveFigures
    webdriver: bool
    finite: bool

@type_check_only
class EngineStats(TypedDict):
    """Counts of the process's state engine, in this insertion order."""

    current_bucket_nonces: int
    previous_bucket_nonces: int
    active_ip_bans: int

# The shape of telemetry that extract_features_rs reads. The function accepts
# any object and falls back to defaults for whatever is missing or unusable, so
# these are a guide for building telemetry, not a requirement of the call.

@type_check_only
class BrowserTelemetry(TypedDict, total=False):
    webdriver: bool
    screen_width: float
    screen_height: float
    touch_supported: bool
    plugins_length: int

@type_check_only
class MouseMovement(TypedDict):
    x: float
    y: float
    t: float

@type_check_only
class Keystroke(TypedDict, total=False):
    # The first of "t", "down" and "time" that holds a finite number is used.
    t: float
    down: float
    time: float

@type_check_only
class Telemetry(TypedDict, total=False):
    browser: BrowserTelemetry
    clicks: list[object]
    scrolls: list[object]
    keystrokes: list[Keystroke]
    mouse_movements: list[MouseMovement]

def is_rust_core_active() -> Literal[True]: ...
def get_core_version() -> str: ...
def extract_features_rs(telemetry: object) -> FeatureDict: ...
def consume_nonce_rs(nonce: str) -> bool: ...
def is_ip_banned_rs(ip: str) -> bool: ...
def ban_ip_rs(ip: str, duration_sec: SupportsIndex) -> None: ...
def unban_ip_rs(ip: str) -> None: ...
def hydrate_bans_rs(bans: Sequence[tuple[str, int]]) -> None: ...
def clear_state_engine_rs() -> None: ...
def get_state_engine_stats_rs() -> EngineStats: ...

# The telemetry as a JSON body (UTF-8 bytes, any contiguous buffer, or str):
# the same result as extract_features_rs(json.loads(body)); ValueError where
# json.loads refuses the body.
def extract_features_json_rs(body: Buffer | str) -> FeatureDict: ...

# The same body's features (exactly extract_features_json_rs(body)) and the
# moves of its pointer path, from one parse.
def extract_evidence_json_rs(body: Buffer | str) -> tuple[FeatureDict, MoveDict]: ...
