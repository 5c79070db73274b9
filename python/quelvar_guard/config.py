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
import functools
import ipaddress
import math
import os
import re
import typing
from collections.abc import Callable, Collection, Mapping
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from .judging import SHADOWABLE
from .limits import (
    DEFAULT_BAN_SECONDS,
    DEFAULT_CHALLENGE_WORK_BITS,
    DEFAULT_CLEARANCE_SECONDS,
    DEFAULT_CLOCK_SKEW,
    DEFAULT_LEVEL_HALF_LIFE,
    DEFAULT_MAX_AGE,
    DEFAULT_MAX_BAN_SECONDS,
    DEFAULT_MAX_BODY,
    DEFAULT_MAX_WORK_BITS,
    DEFAULT_MINT_BURST,
    DEFAULT_MINT_RATE,
    DEFAULT_OFFENCE_WINDOW,
    DEFAULT_REQUESTS_PER_CLEARANCE,
    DEFAULT_WORK_BITS,
)
from .networks import DEFAULT_NETWORK_BUDGETS, parse_budgets
from .policies import POLICY_SETTINGS, covers, parse_policies
from .tokens import MAX_CLEARANCE_TOKENS, MIN_SECRET_BYTES
from .vocabulary import U64_MAX
from .work import MAX_BITS

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
# The replay window of a process without Redis: the native cache's.
_LOCAL_WINDOW = 60.0

# Constructor arguments no variable sets, and why: the store is built from the
# store's own settings, the callback and the token length limit are code's.
CODE_ONLY = {"Guard": ("store", "decide"), "RedisStore": ("max_token_bytes",), "LocalStore": ()}


class ConfigError(ValueError):
    """The configuration is wrong; `problems` lists every reason."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("; ".join(problems))
        self.problems = problems


@dataclass(frozen=True)
class Option:
    """What a Settings field is to the environment and to the constructors."""

    env: str
    help: str
    # (constructor, keyword) pairs the value is given to.
    to: tuple[tuple[str, str], ...]
    least: float | None = None
    most: float | None = None
    choices: tuple[str, ...] = ()
    convert: Callable[[Any], Any] | None = None


def _option(
    default: Any,
    env: str,
    help: str,
    *,
    to: str = "",
    least: float | None = None,
    most: float | None = None,
    choices: tuple[str, ...] = (),
    convert: Callable[[Any], Any] | None = None,
) -> Any:
    targets = tuple((target.split(".")[0], target.split(".")[1]) for target in to.split())
    return field(default=default, metadata={"option": Option(env, help, targets, least, most, choices, convert)})


def _on_unavailable(strict: bool) -> str:
    return "strict" if strict else "degrade"


def _scoring(path: str | None) -> Scoring:
    from .scoring import Scoring

    return Scoring() if path is None else Scoring.from_file(path)


@dataclass(frozen=True)
class Settings:
    # -- the store -------------------------------------------------------------
    redis_url: str | None = _option(
        None,
        "QUELVAR_REDIS_URL",
        "redis://host:port/db, rediss:// or unix://; a cluster's nodes: redis://host1:port1,host2:port2/0; "
        "unset: each process keeps its own tables (LocalStore)",
        to="RedisStore.url",
    )
    redis_cluster: bool = _option(
        False, "QUELVAR_REDIS_CLUSTER", "the URL names one node or more of a Redis Cluster", to="RedisStore.cluster"
    )
    redis_prefix: str = _option(
        "quelvar:", "QUELVAR_REDIS_PREFIX", "namespace of every key and channel", to="RedisStore.prefix"
    )
    redis_timeout: float = _option(
        0.5,
        "QUELVAR_REDIS_TIMEOUT",
        "seconds for each network step; no call waits much more than twice this",
        to="RedisStore.timeout",
        least=0.01,
        most=60,
    )
    strict: bool = _option(
        False,
        "QUELVAR_STRICT",
        "refuse with 503 while Redis is away, instead of serving from each process's own tables",
        to="RedisStore.on_unavailable",
        convert=_on_unavailable,
    )
    nonce_window: float = _option(
        _LOCAL_WINDOW,
        "QUELVAR_NONCE_WINDOW",
        "seconds a spent token stays refused (Redis only; a process alone keeps 60)",
        to="RedisStore.nonce_window_seconds",
        least=_LOCAL_WINDOW,
        most=7 * 86400,
    )
    max_pending_writes: int = _option(
        100_000,
        "QUELVAR_MAX_PENDING_WRITES",
        "ban changes, and as many spent tokens, a process keeps while Redis is away",
        to="RedisStore.max_pending_writes",
        least=1,
        most=10**8,
    )
    allow_eviction: bool = _option(
        False,
        "QUELVAR_ALLOW_EVICTION",
        "use a Redis whose maxmemory-policy may evict spent tokens and bans",
        to="RedisStore.allow_eviction",
    )
    ipv6_prefix: int = _option(
        64,
        "QUELVAR_IPV6_PREFIX",
        "what one ban of an IPv6 client covers (128: the exact address)",
        to="RedisStore.ipv6_prefix LocalStore.ipv6_prefix",
        least=8,
        most=128,
    )
    ipv4_prefix: int = _option(
        32,
        "QUELVAR_IPV4_PREFIX",
        "the same for IPv4 (32: the exact address)",
        to="RedisStore.ipv4_prefix LocalStore.ipv4_prefix",
        least=8,
        most=32,
    )
    # -- tokens ------------------------------------------------------------------
    token_secrets: tuple[str, ...] = _option(
        (),
        "QUELVAR_TOKEN_SECRETS",
        f"token keys of at least {MIN_SECRET_BYTES} bytes, the same in every worker; the first signs, all verify",
        to="Guard.secrets",
    )
    token_max_age: float = _option(
        DEFAULT_MAX_AGE,
        "QUELVAR_TOKEN_MAX_AGE",
        "seconds a telemetry token stays good",
        to="Guard.max_age",
        least=1,
        most=86400,
    )
    clearance_seconds: float = _option(
        DEFAULT_CLEARANCE_SECONDS,
        "QUELVAR_CLEARANCE_SECONDS",
        "seconds a guarded token stays good",
        to="Guard.clearance_seconds",
        least=1,
        most=86400,
    )
    requests_per_clearance: int = _option(
        DEFAULT_REQUESTS_PER_CLEARANCE,
        "QUELVAR_REQUESTS_PER_CLEARANCE",
        "guarded tokens per allowed telemetry post",
        to="Guard.requests_per_clearance",
        least=1,
        most=MAX_CLEARANCE_TOKENS,
    )
    clock_skew: float = _option(
        DEFAULT_CLOCK_SKEW,
        "QUELVAR_CLOCK_SKEW",
        "seconds a token may come from the future (hosts' clocks); less than both lifetimes",
        to="Guard.clock_skew",
        least=0,
        most=3600,
    )
    bind_network: bool = _option(
        False,
        "QUELVAR_BIND_NETWORK",
        "tokens good only from the client's IPv4 /24 or IPv6 /64",
        to="Guard.bind_network",
    )
    mint_rate: float | None = _option(
        DEFAULT_MINT_RATE,
        "QUELVAR_MINT_RATE",
        "telemetry tokens per second an address may take once its burst is spent; off: no budget",
        to="Guard.mint_rate",
        least=0.0001,
        most=10**6,
    )
    mint_burst: int = _option(
        DEFAULT_MINT_BURST,
        "QUELVAR_MINT_BURST",
        "telemetry tokens an address may take at once",
        to="Guard.mint_burst",
        least=1,
        most=10**9,
    )
    network_budgets: tuple[str, ...] = _option(
        tuple(str(budget) for budget in DEFAULT_NETWORK_BUDGETS),
        "QUELVAR_NETWORK_BUDGETS",
        "the same per enclosing network, version/prefix:rate:burst each; off: none",
        to="Guard.network_budgets",
        convert=parse_budgets,
    )
    work_bits: int = _option(
        DEFAULT_WORK_BITS,
        "QUELVAR_WORK_BITS",
        "bits of work (2^bits hashes) every telemetry post costs its client; 0: none",
        to="Guard.work_bits",
        least=0,
        most=MAX_BITS,
    )
    challenge_work_bits: int = _option(
        DEFAULT_CHALLENGE_WORK_BITS,
        "QUELVAR_CHALLENGE_WORK_BITS",
        "the extra bits a challenge asks, on top of the client's level",
        to="Guard.challenge_work_bits",
        least=0,
        most=MAX_BITS,
    )
    max_work_bits: int = _option(
        DEFAULT_MAX_WORK_BITS,
        "QUELVAR_MAX_WORK_BITS",
        "the most bits a page is ever asked; past it a busy network is refused (429)",
        to="Guard.max_work_bits",
        least=0,
        most=MAX_BITS,
    )
    level_half_life: float = _option(
        DEFAULT_LEVEL_HALF_LIFE,
        "QUELVAR_LEVEL_HALF_LIFE",
        "seconds in which a network's suspicion level (raised by challenges, refusals, bans) halves",
        to="Guard.level_half_life",
        least=1,
        most=30 * 86400,
    )
    route_policies: str | None = _option(
        None,
        "QUELVAR_ROUTE_POLICIES",
        'guarded prefixes with settings of their own, JSON: [{"prefix": "/api/search", "requests_per_clearance": 3, '
        '"clearance_seconds": 10, "work_bits": 19, "network_budgets": "4/24:1:20"}, {"prefix": "/api/status", '
        '"exempt": true}]',
        to="Guard.route_policies",
        convert=lambda text: parse_policies(text or ""),
    )
    allow_networks: tuple[str, ...] = _option(
        (),
        "QUELVAR_ALLOW_NETWORKS",
        "networks never screened (a partner, a monitor), addresses or CIDR",
        to="Guard.allow_networks",
    )
    allow_file: str | None = _option(
        None,
        "QUELVAR_ALLOW_FILE",
        "a file of such networks, one a line, or a crawler operator's published JSON ranges; reloaded on change",
        to="Guard.allow_file",
    )
    verify_crawlers: bool = _option(
        False,
        "QUELVAR_VERIFY_CRAWLERS",
        "let through a known search crawler its operator's DNS confirms (forward-confirmed reverse DNS); "
        "a User-Agent that claims one and fails is refused",
        to="Guard.verify_crawlers",
    )
    crawler_dns: str | None = _option(
        None,
        "QUELVAR_CRAWLER_DNS",
        "host or host:port of the DNS server that verifies crawlers; unset: the system's",
        to="Guard.crawler_dns",
    )
    attestation_issuers: tuple[str, ...] = _option(
        (),
        "QUELVAR_ATTESTATION_ISSUERS",
        "privacy-token issuers trusted as evidence, name=path of the published key each",
        to="Guard.attestation_issuers",
    )
    attestation_origin: str = _option(
        "",
        "QUELVAR_ATTESTATION_ORIGIN",
        "this site's host, named in the privacy-token challenge",
        to="Guard.attestation_origin",
    )
    # -- requests ----------------------------------------------------------------
    guarded_paths: tuple[str, ...] = _option(
        ("/api/",), "QUELVAR_GUARDED_PATHS", "path prefixes that need a guarded token", to="Guard.guarded_paths"
    )
    token_path: str = _option("/quelvar/token", "QUELVAR_TOKEN_PATH", "GET: a telemetry token", to="Guard.token_path")
    telemetry_path: str = _option(
        "/quelvar/telemetry",
        "QUELVAR_TELEMETRY_PATH",
        "POST: telemetry, answered with guarded tokens when allowed",
        to="Guard.telemetry_path",
    )
    token_header: str = _option(
        "X-Quelvar-Token", "QUELVAR_TOKEN_HEADER", "the header carrying either kind of token", to="Guard.token_header"
    )
    max_body: int = _option(
        DEFAULT_MAX_BODY,
        "QUELVAR_MAX_BODY",
        "bytes a telemetry body may have (413 above)",
        to="Guard.max_body",
        least=1,
        most=1 << 30,
    )
    trusted_proxies: tuple[str, ...] = _option(
        (), "QUELVAR_TRUSTED_PROXIES", "networks of your reverse proxies", to="Guard.trusted_proxies"
    )
    proxy_header: str = _option(
        "x-forwarded-for",
        "QUELVAR_PROXY_HEADER",
        "the header they write",
        to="Guard.proxy_header",
        choices=("x-forwarded-for", "forwarded"),
    )
    # -- decisions ---------------------------------------------------------------
    scoring_model: str | None = _option(
        None,
        "QUELVAR_SCORING_MODEL",
        "a model file from `python -m quelvar_guard.scoring calibrate`; unset: the rules alone",
        to="Guard.scoring",
        convert=_scoring,
    )
    ban_seconds: int = _option(
        DEFAULT_BAN_SECONDS,
        "QUELVAR_BAN_SECONDS",
        "how long a client the scoring bans stays banned",
        to="Guard.ban_seconds",
        least=1,
        most=U64_MAX,
    )
    mode: str = _option(
        "enforce",
        "QUELVAR_MODE",
        "shadow: every decision made, logged and counted as would-have, nothing refused or banned",
        to="Guard.mode",
        choices=("enforce", "shadow"),
    )
    shadow_rules: tuple[str, ...] = _option(
        (),
        "QUELVAR_SHADOW_RULES",
        "the scoring's reason codes (straight_line, model, ...) only logged as would-have while the rest enforce",
        to="Guard.shadow_rules",
    )
    max_ban_seconds: int = _option(
        DEFAULT_MAX_BAN_SECONDS,
        "QUELVAR_MAX_BAN_SECONDS",
        "the longest ban of a repeat offender (each ban within the offence window doubles the last)",
        to="Guard.max_ban_seconds",
        least=1,
        most=U64_MAX,
    )
    offence_window: float = _option(
        DEFAULT_OFFENCE_WINDOW,
        "QUELVAR_OFFENCE_WINDOW",
        "seconds within which a client's bans count as repeats",
        to="Guard.offence_window",
        least=1,
        most=365 * 86400,
    )
    challenge_hold: int = _option(
        0,
        "QUELVAR_CHALLENGE_HOLD",
        "seconds a challenged client is told to wait (Retry-After, advisory)",
        to="Guard.challenge_hold",
        least=0,
        most=86400,
    )
    # -- operations --------------------------------------------------------------
    metrics_path: str | None = _option(
        None, "QUELVAR_METRICS_PATH", "serve Prometheus metrics here; unset: none kept", to="Guard.metrics_path"
    )
    health_path: str | None = _option(
        None, "QUELVAR_HEALTH_PATH", "answer readiness here, 200 or 503; unset: not served", to="Guard.health_path"
    )

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
        problems = []
        # Settings already found wrong on their own, which no check of how
        # they go together names a second time.
        wrong = set()
        for name, option, _, _ in declared():
            value = getattr(self, name)
            if value is None or isinstance(value, (bool, str, tuple)):
                if option.choices and value not in option.choices:
                    problems.append(f"{option.env} must be {' or '.join(option.choices)}, not {value!r}")
                continue
            assert option.least is not None and option.most is not None
            if not option.least <= value <= option.most:
                bounds = (
                    f"at least {_number(option.least)}"
                    if option.most == U64_MAX
                    else f"from {_number(option.least)} to {_number(option.most)}"
                )
                problems.append(f"{option.env} must be {bounds}, not {_number(value)}")
                wrong.add(name)
        if self.redis_url is not None:
            problems.extend(_redis_url_problems(self.redis_url, self.redis_cluster))
        elif self.nonce_window != _LOCAL_WINDOW and "nonce_window" not in wrong:
            problems.append("QUELVAR_NONCE_WINDOW needs QUELVAR_REDIS_URL: a process alone keeps a token 60 s")
        if not self.redis_prefix:
            problems.append("QUELVAR_REDIS_PREFIX must not be empty")
        if not store_only:
            problems.extend(self._guard_problems(wrong))
        return problems

    def _guard_problems(self, wrong: set[str]) -> list[str]:
        problems = []
        if not self.token_secrets:
            problems.append("QUELVAR_TOKEN_SECRETS is not set: every worker needs the same keys")
        for index, key in enumerate(self.token_secrets):
            if len(key.encode()) < MIN_SECRET_BYTES:
                problems.append(f"QUELVAR_TOKEN_SECRETS key {index + 1} is shorter than {MIN_SECRET_BYTES} bytes")
        problems.extend(self._window_problems(wrong))
        try:
            parse_budgets(self.network_budgets)
        except ValueError as error:
            problems.append(f"QUELVAR_NETWORK_BUDGETS: {error}")
        problems.extend(self._policy_problems())
        problems.extend(self._allow_problems())
        if self.attestation_issuers:
            from .attestation import issuer_from

            failed = len(problems)
            for issuer in self.attestation_issuers:
                try:
                    issuer_from(issuer)
                except (OSError, ValueError, ImportError) as error:
                    problems.append(f"QUELVAR_ATTESTATION_ISSUERS {issuer!r}: {error}")
            if len(problems) == failed and not self.attestation_origin:
                problems.append("QUELVAR_ATTESTATION_ISSUERS needs QUELVAR_ATTESTATION_ORIGIN, the site's host")
        for reason in self.shadow_rules:
            if reason not in SHADOWABLE:
                problems.append(f"QUELVAR_SHADOW_RULES: no rule is named {reason!r} ({', '.join(sorted(SHADOWABLE))})")
        if self.max_work_bits < self.work_bits and not wrong & {"work_bits", "max_work_bits"}:
            problems.append("QUELVAR_MAX_WORK_BITS must be at least QUELVAR_WORK_BITS")
        if self.max_ban_seconds < self.ban_seconds and not wrong & {"ban_seconds", "max_ban_seconds"}:
            problems.append("QUELVAR_MAX_BAN_SECONDS must be at least QUELVAR_BAN_SECONDS")
        for network in self.trusted_proxies:
            try:
                ipaddress.ip_network(network, strict=False)
            except ValueError:
                problems.append(f"QUELVAR_TRUSTED_PROXIES: {network!r} is not an address or network")
        if not self.guarded_paths or any(not path.startswith("/") for path in self.guarded_paths):
            problems.append("QUELVAR_GUARDED_PATHS must list path prefixes starting with /")
        if not _HEADER_NAME.fullmatch(self.token_header):
            problems.append(f"QUELVAR_TOKEN_HEADER {self.token_header!r} is not a header name")
        problems.extend(self._path_problems())
        if self.scoring_model is not None:
            from .scoring import Model, ModelError

            try:
                Model.from_file(self.scoring_model)
            except (OSError, ModelError, ValueError) as error:
                problems.append(f"QUELVAR_SCORING_MODEL {self.scoring_model!r}: {error}")
        if self.metrics_path is not None:
            try:
                import prometheus_client  # noqa: F401
            except ImportError:
                problems.append('QUELVAR_METRICS_PATH needs prometheus_client: pip install "quelvar_core_rs[metrics]"')
        return problems

    def _allow_problems(self) -> list[str]:
        from .allow import AllowList

        problems = []
        for network in self.allow_networks:
            try:
                AllowList([network])
            except ValueError:
                problems.append(f"QUELVAR_ALLOW_NETWORKS: {network!r} is not an address or network")
        if self.allow_file is not None:
            try:
                AllowList((), self.allow_file)
            except (OSError, ValueError) as error:
                problems.append(f"QUELVAR_ALLOW_FILE {self.allow_file!r}: {error}")
        if self.verify_crawlers:
            try:
                import dns.resolver  # noqa: F401
            except ImportError:
                problems.append('QUELVAR_VERIFY_CRAWLERS needs dnspython: pip install "quelvar_core_rs[crawlers]"')
        if self.crawler_dns is not None:
            from .allow import dns_resolver

            try:
                dns_resolver(self.crawler_dns)
            except ValueError as error:
                problems.append(f"QUELVAR_CRAWLER_DNS: {error}")
            except ImportError:
                pass  # said above, if crawlers are verified
        return problems

    def _policy_problems(self) -> list[str]:
        """Each route policy's values within the bounds of the setting of the same name."""
        try:
            policies = parse_policies(self.route_policies or "")
        except (ValueError, TypeError) as error:
            return [f"QUELVAR_ROUTE_POLICIES: {error}"]
        options = {name: option for name, option, _, _ in declared()}
        problems = []
        for policy in policies:
            for name in POLICY_SETTINGS:
                value, option = getattr(policy, name), options[name]
                if value is None:
                    continue
                if name == "network_budgets":
                    try:
                        parse_budgets(value)
                    except (ValueError, AttributeError) as error:
                        problems.append(f"QUELVAR_ROUTE_POLICIES {policy.prefix}: {error}")
                    continue
                assert option.least is not None and option.most is not None
                if isinstance(value, bool) or not isinstance(value, (int, float)):
                    problems.append(f"QUELVAR_ROUTE_POLICIES {policy.prefix}: {name} must be a number")
                elif not option.least <= value <= option.most:
                    problems.append(
                        f"QUELVAR_ROUTE_POLICIES {policy.prefix}: {name} must be from "
                        f"{_number(option.least)} to {_number(option.most)}, not {_number(value)}"
                    )
            if policy.clearance_seconds is not None and policy.clearance_seconds + self.clock_skew > (
                self.nonce_window if self.redis_url is not None else _LOCAL_WINDOW
            ):
                problems.append(
                    f"QUELVAR_ROUTE_POLICIES {policy.prefix}: clearance_seconds + QUELVAR_CLOCK_SKEW exceeds the "
                    "replay window: a token could be accepted twice"
                )
        return problems

    def _window_problems(self, wrong: set[str]) -> list[str]:
        """A token is taken within [-clock_skew, lifetime] of its issue, and
        its spending must be remembered that long: a skew as long as a
        lifetime is a mistake of its own, else each lifetime must fit the
        replay window."""
        if wrong & {"token_max_age", "clearance_seconds", "clock_skew", "nonce_window"}:
            return []
        lifetimes = (
            ("QUELVAR_TOKEN_MAX_AGE", self.token_max_age),
            ("QUELVAR_CLEARANCE_SECONDS", self.clearance_seconds),
        )
        shorter = [f"{env} ({lifetime:g} s)" for env, lifetime in lifetimes if self.clock_skew >= lifetime]
        if shorter:
            return [f"QUELVAR_CLOCK_SKEW ({self.clock_skew:g} s) must be smaller than {' and '.join(shorter)}"]
        window = self.nonce_window if self.redis_url is not None else _LOCAL_WINDOW
        return [
            f"{env} + QUELVAR_CLOCK_SKEW ({lifetime + self.clock_skew:g} s) exceeds the replay window "
            f"({window:g} s, QUELVAR_NONCE_WINDOW): a token could be accepted twice"
            for env, lifetime in lifetimes
            if lifetime + self.clock_skew > window
        ]

    def _path_problems(self) -> list[str]:
        """The guard's own paths: each absolute and its own; the metrics and
        readiness paths never one the guard screens."""
        problems: list[str] = []
        seen: dict[str, str] = {}
        for env, path in (
            ("QUELVAR_TOKEN_PATH", self.token_path),
            ("QUELVAR_TELEMETRY_PATH", self.telemetry_path),
            ("QUELVAR_METRICS_PATH", self.metrics_path),
            ("QUELVAR_HEALTH_PATH", self.health_path),
        ):
            if path is None:
                continue
            if not path.startswith("/"):
                problems.append(f"{env} must start with /, not {path!r}")
            elif path in seen:
                problems.append(f"{env} is {seen[path]}'s path too: {path!r}")
            elif env in ("QUELVAR_METRICS_PATH", "QUELVAR_HEALTH_PATH") and any(
                covers(prefix, path) for prefix in self.guarded_paths
            ):
                problems.append(f"{env} {path!r} is under QUELVAR_GUARDED_PATHS")
            seen.setdefault(path, env)
        return problems

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
        return _scoring(self.scoring_model)

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


class Declared(typing.NamedTuple):
    name: str
    option: Option
    kind: Any
    default: Any


@functools.cache
def declared() -> tuple[Declared, ...]:
    """Every setting, in declaration order."""
    hints = typing.get_type_hints(Settings)
    return tuple(
        Declared(item.name, item.metadata["option"], hints[item.name], item.default) for item in fields(Settings)
    )


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
            bounds = f"at least {_number(option.least)}"
        else:
            bounds = f"{_number(option.least)} to {_number(option.most)}"
        return f"{word}, {bounds}" + (", or off" if kind == float | None else "")
    return "text"


def _number(value: float) -> str:
    return f"{int(value):,}" if float(value).is_integer() else f"{value:g}"


def _shown_default(value: object) -> str:
    if value is None or value == ():
        return "unset"
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, tuple):
        return ",".join(value)
    if isinstance(value, (int, float)):
        return _number(value)
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


def _redis_url_problems(url: str, cluster: bool) -> list[str]:
    from ._redis.connections import seed_urls

    seeds = seed_urls(url)
    if len(seeds) == 1:
        return _seed_problems(url, cluster)
    if not cluster:
        return [
            "QUELVAR_REDIS_URL names several nodes, which only a cluster has: "
            "set QUELVAR_REDIS_CLUSTER, or name one server"
        ]
    return list(dict.fromkeys(problem for seed in seeds for problem in _seed_problems(seed, cluster)))


def _seed_problems(url: str, cluster: bool) -> list[str]:
    from .record import redacted_url

    shown = redacted_url(url)  # the password never in a message
    unreadable = [
        f"QUELVAR_REDIS_URL {shown!r} cannot be read: a password with / ? # or @ in it must be percent-encoded"
    ]
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError:
        return unreadable  # the parser's own words may quote the password
    if parts.fragment or ("@" in url.partition("?")[0] and "@" not in parts.netloc):
        return unreadable
    if parts.scheme not in _REDIS_SCHEMES:
        return [f"QUELVAR_REDIS_URL must start with redis://, rediss:// or unix://, not {shown!r}"]
    if parts.scheme == "unix":
        return [] if parts.path else [f"QUELVAR_REDIS_URL {shown!r} names no socket path"]
    if not parts.hostname:
        return [f"QUELVAR_REDIS_URL {shown!r} names no host"]
    problems = []
    if port == 0:
        problems.append(f"QUELVAR_REDIS_URL {shown!r} has port 0")
    db_text = parts.path.lstrip("/")
    if db_text:
        # Whether the server has that many databases only it can say: the
        # command line's `config check` asks it.
        if not db_text.isdigit():
            problems.append(f"QUELVAR_REDIS_URL database {db_text!r} is not a number")
        elif cluster and int(db_text) != 0:
            problems.append(
                f"QUELVAR_REDIS_URL names database {db_text}, but QUELVAR_REDIS_CLUSTER: a cluster has only database 0"
            )
    return problems
