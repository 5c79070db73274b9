"""The settings table: every setting of the service and its command line,
declared once, as a field: its name, type, default, variable, meaning, bounds
and the constructor argument it becomes (of Guard, RedisStore or
LocalStore). The fields come in groups, each a class the next extends, in
the order the README's table lists them; config.Settings is the whole table
with what it reads and builds."""

from __future__ import annotations

import functools
import typing
from collections.abc import Callable
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Any

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
from .policies import parse_policies
from .store import NATIVE_NONCE_WINDOW_SECONDS
from .tokens import MAX_CLEARANCE_TOKENS, MIN_SECRET_BYTES
from .vocabulary import U64_MAX
from .work import MAX_BITS

if TYPE_CHECKING:
    from .scoring import Scoring

__all__ = ["LOCAL_WINDOW", "Declared", "Option", "SettingsFields", "declared", "number"]

# The replay window of a process without Redis: the native cache's.
LOCAL_WINDOW = NATIVE_NONCE_WINDOW_SECONDS


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


def scoring_of(path: str | None) -> Scoring:
    from .scoring import Scoring

    return Scoring() if path is None else Scoring.from_file(path)


@dataclass(frozen=True)
class StoreSettings:
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
        LOCAL_WINDOW,
        "QUELVAR_NONCE_WINDOW",
        "seconds a spent token stays refused (Redis only; a process alone keeps 60)",
        to="RedisStore.nonce_window_seconds",
        least=LOCAL_WINDOW,
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


@dataclass(frozen=True)
class TokenSettings(StoreSettings):
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


@dataclass(frozen=True)
class RequestSettings(TokenSettings):
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


@dataclass(frozen=True)
class DecisionSettings(RequestSettings):
    scoring_model: str | None = _option(
        None,
        "QUELVAR_SCORING_MODEL",
        "a model file from `python -m quelvar_guard.scoring calibrate`; unset: the rules alone",
        to="Guard.scoring",
        convert=scoring_of,
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


@dataclass(frozen=True)
class SettingsFields(DecisionSettings):
    """Every setting: the table, without what reads or builds it."""

    metrics_path: str | None = _option(
        None, "QUELVAR_METRICS_PATH", "serve Prometheus metrics here; unset: none kept", to="Guard.metrics_path"
    )
    health_path: str | None = _option(
        None, "QUELVAR_HEALTH_PATH", "answer readiness here, 200 or 503; unset: not served", to="Guard.health_path"
    )


class Declared(typing.NamedTuple):
    name: str
    option: Option
    kind: Any
    default: Any


@functools.cache
def declared() -> tuple[Declared, ...]:
    """Every setting, in declaration order."""
    hints = typing.get_type_hints(SettingsFields)
    return tuple(
        Declared(item.name, item.metadata["option"], hints[item.name], item.default) for item in fields(SettingsFields)
    )


def number(value: float) -> str:
    """A bound or a value as the table writes it."""
    return f"{int(value):,}" if float(value).is_integer() else f"{value:g}"
