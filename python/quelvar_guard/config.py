"""One configuration for the service and its command line, read from the environment.

Every worker, host and the `python -m quelvar_guard` command read the same
variables, so what an operator checks is what the service runs with:

    QUELVAR_REDIS_URL        redis://host:port/db (or rediss://, unix://); unset:
                             one process only, with LocalStore
    QUELVAR_REDIS_CLUSTER    "1": the URL names one node of a Redis Cluster
    QUELVAR_REDIS_PREFIX     namespace of every key and channel (default "quelvar:")
    QUELVAR_STRICT           "1": refuse with 503 while Redis is away, instead
                             of serving from each process's own tables
    QUELVAR_TOKEN_SECRETS    comma-separated token keys, each at least 32 bytes;
                             the first signs
    QUELVAR_TRUSTED_PROXIES  comma-separated networks of your reverse proxies
    QUELVAR_PROXY_HEADER     "x-forwarded-for" (default) or "forwarded"
    QUELVAR_BIND_NETWORK     "1": tokens bound to the client's network
    QUELVAR_GUARDED_PATHS    comma-separated path prefixes (default "/api/")
    QUELVAR_IPV6_PREFIX      what one ban of an IPv6 client covers (default 64;
                             128: the exact address)
    QUELVAR_IPV4_PREFIX      the same for IPv4 (default 32: the exact address)
    QUELVAR_SCORING_MODEL    a model file from `python -m quelvar_guard.scoring
                             calibrate`; unset: the rules alone
    QUELVAR_METRICS_PATH     serve Prometheus metrics at this path (unset: none kept)
    QUELVAR_HEALTH_PATH      answer readiness at this path, 200 or 503 (unset: not served)

A setting that is wrong is refused when the configuration is read, with every
problem named at once, rather than logged later by each worker while the
service runs on something else.
"""

from __future__ import annotations

import ipaddress
import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING
from urllib.parse import urlsplit

from .tokens import MIN_SECRET_BYTES

if TYPE_CHECKING:
    from .decision import Guard
    from .scoring import Scoring
    from .store import Store

__all__ = ["ConfigError", "Settings"]

_REDIS_SCHEMES = ("redis", "rediss", "unix")
_FLAGS = {"1": True, "true": True, "yes": True, "on": True, "0": False, "false": False, "no": False,
          "off": False, "": False}


class ConfigError(ValueError):
    """The configuration is wrong; `problems` lists every reason."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("; ".join(problems))
        self.problems = problems


def _split(text: str) -> tuple[str, ...]:
    return tuple(part.strip() for part in text.split(",") if part.strip())


@dataclass(frozen=True)
class Settings:
    redis_url: str | None = None
    redis_cluster: bool = False
    redis_prefix: str = "quelvar:"
    strict: bool = False
    token_secrets: tuple[str, ...] = ()
    trusted_proxies: tuple[str, ...] = ()
    proxy_header: str = "x-forwarded-for"
    bind_network: bool = False
    guarded_paths: tuple[str, ...] = ("/api/",)
    ipv6_prefix: int = 64
    ipv4_prefix: int = 32
    scoring_model: str | None = None
    metrics_path: str | None = None
    health_path: str | None = None

    @classmethod
    def from_environment(cls, environ: Mapping[str, str] | None = None) -> Settings:
        """The settings the environment gives; ConfigError names everything wrong."""
        env = os.environ if environ is None else environ
        problems: list[str] = []

        def number(name: str, default: int, least: int, most: int) -> int:
            text = env.get(name, "").strip()
            if not text:
                return default
            if not text.isdigit() or not least <= int(text) <= most:
                problems.append(f"{name} must be a whole number from {least} to {most}, not {text!r}")
                return default
            return int(text)

        def flag(name: str) -> bool:
            value = env.get(name, "").strip().lower()
            if value not in _FLAGS:
                problems.append(f"{name} must be 1 or 0, not {value!r}")
                return False
            return _FLAGS[value]

        settings = cls(
            redis_url=env.get("QUELVAR_REDIS_URL", "").strip() or None,
            redis_cluster=flag("QUELVAR_REDIS_CLUSTER"),
            redis_prefix=env.get("QUELVAR_REDIS_PREFIX", "quelvar:"),
            strict=flag("QUELVAR_STRICT"),
            token_secrets=_split(env.get("QUELVAR_TOKEN_SECRETS", "")),
            trusted_proxies=_split(env.get("QUELVAR_TRUSTED_PROXIES", "")),
            proxy_header=env.get("QUELVAR_PROXY_HEADER", "x-forwarded-for").strip().lower(),
            bind_network=flag("QUELVAR_BIND_NETWORK"),
            guarded_paths=_split(env.get("QUELVAR_GUARDED_PATHS", "/api/")),
            ipv6_prefix=number("QUELVAR_IPV6_PREFIX", 64, 8, 128),
            ipv4_prefix=number("QUELVAR_IPV4_PREFIX", 32, 8, 32),
            scoring_model=env.get("QUELVAR_SCORING_MODEL", "").strip() or None,
            metrics_path=env.get("QUELVAR_METRICS_PATH", "").strip() or None,
            health_path=env.get("QUELVAR_HEALTH_PATH", "").strip() or None,
        )
        problems.extend(settings.problems())
        if problems:
            raise ConfigError(problems)
        return settings

    def problems(self) -> list[str]:
        """Everything wrong with these settings, in words an operator can act on."""
        problems = []
        if self.redis_url is not None:
            problems.extend(_redis_url_problems(self.redis_url, self.redis_cluster))
        if not self.redis_prefix:
            problems.append("QUELVAR_REDIS_PREFIX must not be empty")
        if not self.token_secrets:
            problems.append("QUELVAR_TOKEN_SECRETS is not set: every worker needs the same keys")
        for index, key in enumerate(self.token_secrets):
            if len(key.encode()) < MIN_SECRET_BYTES:
                problems.append(f"QUELVAR_TOKEN_SECRETS key {index + 1} is shorter than {MIN_SECRET_BYTES} bytes")
        for network in self.trusted_proxies:
            try:
                ipaddress.ip_network(network, strict=False)
            except ValueError:
                problems.append(f"QUELVAR_TRUSTED_PROXIES: {network!r} is not an address or network")
        if self.proxy_header not in ("x-forwarded-for", "forwarded"):
            problems.append(f"QUELVAR_PROXY_HEADER must be x-forwarded-for or forwarded, not {self.proxy_header!r}")
        if not self.guarded_paths or any(not path.startswith("/") for path in self.guarded_paths):
            problems.append("QUELVAR_GUARDED_PATHS must list path prefixes starting with /")
        if self.scoring_model is not None:
            from .scoring import Model, ModelError
            try:
                Model.from_file(self.scoring_model)
            except (OSError, ModelError, ValueError) as error:
                problems.append(f"QUELVAR_SCORING_MODEL {self.scoring_model!r}: {error}")
        if self.health_path is not None and not self.health_path.startswith("/"):
            problems.append(f"QUELVAR_HEALTH_PATH must start with /, not {self.health_path!r}")
        if self.metrics_path is not None:
            if not self.metrics_path.startswith("/"):
                problems.append(f"QUELVAR_METRICS_PATH must start with /, not {self.metrics_path!r}")
            else:
                try:
                    import prometheus_client  # noqa: F401
                except ImportError:
                    problems.append('QUELVAR_METRICS_PATH needs prometheus_client: pip install "quelvar_core_rs[metrics]"')
        return problems

    def store(self) -> Store:
        """LocalStore without a Redis URL, else the RedisStore these settings describe."""
        if self.redis_url is None:
            from .store import LocalStore
            return LocalStore(ipv4_prefix=self.ipv4_prefix, ipv6_prefix=self.ipv6_prefix)
        from .redis_store import RedisStore
        return RedisStore(self.redis_url, cluster=self.redis_cluster, prefix=self.redis_prefix,
                          on_unavailable="strict" if self.strict else "degrade",
                          ipv4_prefix=self.ipv4_prefix, ipv6_prefix=self.ipv6_prefix)

    def scoring(self) -> Scoring:
        """The rules, with the calibrated model when one is configured."""
        from .scoring import Scoring
        return Scoring() if self.scoring_model is None else Scoring.from_file(self.scoring_model)

    def guard(self, store: Store | None = None, **options: object) -> Guard:
        """A Guard on these settings; `options` are Guard's other keyword arguments."""
        from .decision import Guard
        options.setdefault("scoring", self.scoring())
        return Guard(store if store is not None else self.store(), list(self.token_secrets),
                     guarded_paths=self.guarded_paths, trusted_proxies=list(self.trusted_proxies),
                     proxy_header=self.proxy_header, bind_network=self.bind_network,
                     metrics_path=self.metrics_path, health_path=self.health_path, **options)  # type: ignore[arg-type]


def _redis_url_problems(url: str, cluster: bool) -> list[str]:
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError as error:
        return [f"QUELVAR_REDIS_URL {url!r}: {error}"]
    if parts.scheme not in _REDIS_SCHEMES:
        return [f"QUELVAR_REDIS_URL must start with redis://, rediss:// or unix://, not {url!r}"]
    if parts.scheme == "unix":
        return [] if parts.path else [f"QUELVAR_REDIS_URL {url!r} names no socket path"]
    if not parts.hostname:
        return [f"QUELVAR_REDIS_URL {url!r} names no host"]
    problems = []
    if port == 0:
        problems.append(f"QUELVAR_REDIS_URL {url!r} has port 0")
    db_text = parts.path.lstrip("/")
    if db_text:
        # Whether the server has that many databases only it can say: the
        # command line's `config check` asks it.
        if not db_text.isdigit():
            problems.append(f"QUELVAR_REDIS_URL database {db_text!r} is not a number")
        elif cluster and int(db_text) != 0:
            problems.append("a Redis Cluster has only database 0")
    return problems
