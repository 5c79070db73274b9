"""One configuration for the service and its command line, read from the environment.

Every worker, host and the `python -m quelvar_guard` command read the same
QUELVAR_* variables, so what an operator checks is what the service runs with.
Each setting is declared once, as a field of Settings below: its name, type,
default, variable, meaning and the constructor argument it becomes (of Guard,
RedisStore or LocalStore). `store()` and `guard()` build from those
declarations alone, and the README's configuration table is `options_table()`.

A setting that is wrong is refused when the configuration is read, with every
problem named at once (one line per mistake), rather than by each worker later
while the service runs on something else. Whatever Guard or RedisStore would
refuse is refused here first.
"""

from __future__ import annotations

import difflib
import math
import os
import re
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .settings_checks import problems
from .settings_table import Option, SettingsFields, declared, number, scoring_of
from .vocabulary import U64_MAX

if TYPE_CHECKING:
    from .decision import Guard
    from .scoring import Scoring
    from .store import Store

__all__ = ["CODE_ONLY", "ConfigError", "Settings", "declared", "options_table", "unknown_variables"]

_REDIS_SCHEMES = ("redis", "rediss", "unix")
# A switch takes 1 or 0, and the words of the same meaning (in any case):
# what the table and the error say, from this one map.
_FLAGS = {"1": True, "true": True, "yes": True, "on": True, "0": False, "false": False, "no": False, "off": False}
_FLAG_TEXT = (
    "1 or 0 (" + ", ".join(f"{on}/{off}" for on, off in (("true", "false"), ("yes", "no"), ("on", "off"))) + ")"
)
_WHOLE = re.compile(r"[+-]?[0-9]+")
_OFF = ("off", "none")
# An HTTP field name (RFC 9110 token): anything else never arrives as a header.
_HEADER_NAME = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")

# Constructor arguments no variable sets, and why: the store is built from the
# store's own settings, the callback and the token length limit are code's.
CODE_ONLY = {"Guard": ("store", "decide"), "RedisStore": ("max_token_bytes",), "LocalStore": ()}


class ConfigError(ValueError):
    """The configuration is wrong; `problems` lists every reason."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("; ".join(problems))
        self.problems = problems


@dataclass(frozen=True)
class Settings(SettingsFields):
    @classmethod
    def from_environment(cls, environ: Mapping[str, str] | None = None, *, store_only: bool = False) -> Settings:
        """The settings the environment gives (an empty variable is an unset
        one); ConfigError names everything wrong. `store_only`: for a service
        that uses the store without the guard, which needs no token keys."""
        env = os.environ if environ is None else environ
        problems: list[str] = []
        values: dict[str, Any] = {}
        for name, option, kind, _ in declared():
            text = env.get(option.env, "").strip()
            if text:
                try:
                    values[name] = _parse(text, kind, option)
                except ValueError as error:
                    problems.append(f"{option.env} {error}, not {text!r}")
        settings = cls(**values)
        problems.extend(settings.problems(store_only=store_only))
        if problems:
            raise ConfigError(problems)
        return settings

    def problems(self, *, store_only: bool = False) -> list[str]:
        """Everything wrong with these settings, one line per mistake, in words an operator can act on."""
        return problems(self, store_only=store_only)

    # -- what the settings build ----------------------------------------------

    def arguments(self, constructor: str, skip: Collection[str] = ()) -> dict[str, Any]:
        """The keyword arguments these settings give `constructor` ("Guard",
        "RedisStore" or "LocalStore"), but those in `skip`."""
        arguments = {}
        for name, option, _, _ in declared():
            for target, keyword in option.to:
                if target == constructor and keyword not in skip:
                    value = getattr(self, name)
                    arguments[keyword] = option.convert(value) if option.convert is not None else value
        return arguments

    def store(self) -> Store:
        """LocalStore without a Redis URL, else the RedisStore these settings describe."""
        if self.redis_url is None:
            from .store import LocalStore

            return LocalStore(**self.arguments("LocalStore"))
        from .redis_store import RedisStore

        return RedisStore(**self.arguments("RedisStore"))

    def scoring(self) -> Scoring:
        """The rules, with the calibrated model when one is configured."""
        return scoring_of(self.scoring_model)

    def guard(self, store: Store | None = None, **options: Any) -> Guard:
        """A Guard on these settings (and on `store`, else the one they
        describe); `options` are Guard's other keyword arguments, such as
        `decide`, and win over the settings."""
        from .decision import Guard

        arguments = self.arguments("Guard", skip=options.keys())
        arguments.update(options)
        return Guard(store if store is not None else self.store(), **arguments)

    def shown(self) -> dict[str, object]:
        """Every setting as an operator may see it: the keys counted, not shown."""
        values: dict[str, object] = {name: getattr(self, name) for name, _, _, _ in declared()}
        values["token_secrets"] = f"{len(self.token_secrets)} keys"
        if self.redis_url is not None:
            from .record import redacted_url

            values["redis_url"] = redacted_url(self.redis_url)
        return values


def _parse(text: str, kind: Any, option: Option) -> Any:
    """The value of a variable's text; ValueError says what it must be."""
    if kind is bool:
        if text.lower() not in _FLAGS:
            raise ValueError(f"must be {_FLAG_TEXT}")
        return _FLAGS[text.lower()]
    if kind is int:
        if not _WHOLE.fullmatch(text):
            raise ValueError("must be a whole number")
        return int(text)  # a negative one is named out of its range
    if kind in (float, float | None):
        if kind != float and text.lower() in _OFF:
            return None
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value):
            raise ValueError("must be a number" + ("" if kind == float else " or off"))
        return value
    if kind == tuple[str, ...]:
        return tuple(part.strip() for part in text.split(",") if part.strip())
    return text.lower() if option.choices else text


def _kind_name(kind: Any, option: Option) -> str:
    if kind is bool:
        return _FLAG_TEXT
    if option.choices:
        return " or ".join(option.choices)
    if kind == tuple[str, ...]:
        return "list, commas"
    if kind in (int, float, float | None):
        word = "whole number" if kind is int else "number"
        assert option.least is not None and option.most is not None
        if option.most == U64_MAX:
            bounds = f"at least {number(option.least)}"
        else:
            bounds = f"{number(option.least)} to {number(option.most)}"
        return f"{word}, {bounds}" + (", or off" if kind == float | None else "")
    return "text"


def _shown_default(value: object) -> str:
    if value is None or value == ():
        return "unset"
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, tuple):
        return ",".join(value)
    if isinstance(value, (int, float)):
        return number(value)
    return str(value)


def options_table() -> str:
    """The README's table of every setting, generated from the declarations."""
    lines = ["| variable | takes | default | meaning | given to |", "|---|---|---|---|---|"]
    for _, option, kind, default in declared():
        targets = ", ".join(f"`{target}({keyword})`" for target, keyword in option.to)
        shown = _shown_default(default)
        shown = shown if shown == "unset" else f"`{shown}`"
        lines.append(f"| `{option.env}` | {_kind_name(kind, option)} | {shown} | {option.help} | {targets} |")
    return "\n".join(lines) + "\n"


def unknown_variables(environ: Mapping[str, str] | None = None) -> list[str]:
    """QUELVAR_* variables that no setting reads (a typo, an old name), each
    with the setting it may have meant."""
    env = os.environ if environ is None else environ
    known = [item.option.env for item in declared()]
    warnings = []
    for name in sorted(env):
        if name.startswith("QUELVAR_") and name not in known:
            close = difflib.get_close_matches(name, known, n=1)
            warnings.append(f"{name} is not a setting" + (f" (did you mean {close[0]}?)" if close else ""))
    return warnings
