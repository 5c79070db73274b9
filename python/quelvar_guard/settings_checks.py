"""Whether settings hold together: every mistake named, one line each, in
words an operator can act on, before any worker runs on them."""

from __future__ import annotations

import ipaddress
import re
from urllib.parse import urlsplit

from .judging import SHADOWABLE
from .networks import parse_budgets
from .policies import POLICY_SETTINGS, covers, parse_policies
from .settings_table import LOCAL_WINDOW, SettingsFields, declared, number
from .tokens import MIN_SECRET_BYTES
from .vocabulary import U64_MAX

__all__ = ["problems"]

_REDIS_SCHEMES = ("redis", "rediss", "unix")
# An HTTP field name (RFC 9110 token): anything else never arrives as a header.
_HEADER_NAME = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")


def problems(settings: SettingsFields, *, store_only: bool = False) -> list[str]:
    """Everything wrong with these settings, one line per mistake, in words an operator can act on."""
    problems = []
    # Settings already found wrong on their own, which no check of how
    # they go together names a second time.
    wrong = set()
    for name, option, _, _ in declared():
        value = getattr(settings, name)
        if value is None or isinstance(value, (bool, str, tuple)):
            if option.choices and value not in option.choices:
                problems.append(f"{option.env} must be {' or '.join(option.choices)}, not {value!r}")
            continue
        assert option.least is not None and option.most is not None
        if not option.least <= value <= option.most:
            bounds = (
                f"at least {number(option.least)}"
                if option.most == U64_MAX
                else f"from {number(option.least)} to {number(option.most)}"
            )
            problems.append(f"{option.env} must be {bounds}, not {number(value)}")
            wrong.add(name)
    if settings.redis_url is not None:
        problems.extend(_redis_url_problems(settings.redis_url, settings.redis_cluster))
    elif settings.nonce_window != LOCAL_WINDOW and "nonce_window" not in wrong:
        problems.append("QUELVAR_NONCE_WINDOW needs QUELVAR_REDIS_URL: a process alone keeps a token 60 s")
    if not settings.redis_prefix:
        problems.append("QUELVAR_REDIS_PREFIX must not be empty")
    if not store_only:
        problems.extend(_guard_problems(settings, wrong))
    return problems


def _guard_problems(settings: SettingsFields, wrong: set[str]) -> list[str]:
    problems = []
    if not settings.token_secrets:
        problems.append("QUELVAR_TOKEN_SECRETS is not set: every worker needs the same keys")
    for index, key in enumerate(settings.token_secrets):
        if len(key.encode()) < MIN_SECRET_BYTES:
            problems.append(f"QUELVAR_TOKEN_SECRETS key {index + 1} is shorter than {MIN_SECRET_BYTES} bytes")
    problems.extend(_window_problems(settings, wrong))
    try:
        parse_budgets(settings.network_budgets)
    except ValueError as error:
        problems.append(f"QUELVAR_NETWORK_BUDGETS: {error}")
    problems.extend(_policy_problems(settings))
    problems.extend(_allow_problems(settings))
    if settings.attestation_issuers:
        from .attestation import issuer_from

        failed = len(problems)
        for issuer in settings.attestation_issuers:
            try:
                issuer_from(issuer)
            except (OSError, ValueError, ImportError) as error:
                problems.append(f"QUELVAR_ATTESTATION_ISSUERS {issuer!r}: {error}")
        if len(problems) == failed and not settings.attestation_origin:
            problems.append("QUELVAR_ATTESTATION_ISSUERS needs QUELVAR_ATTESTATION_ORIGIN, the site's host")
    for reason in settings.shadow_rules:
        if reason not in SHADOWABLE:
            problems.append(f"QUELVAR_SHADOW_RULES: no rule is named {reason!r} ({', '.join(sorted(SHADOWABLE))})")
    if settings.max_work_bits < settings.work_bits and not wrong & {"work_bits", "max_work_bits"}:
        problems.append("QUELVAR_MAX_WORK_BITS must be at least QUELVAR_WORK_BITS")
    if settings.max_ban_seconds < settings.ban_seconds and not wrong & {"ban_seconds", "max_ban_seconds"}:
        problems.append("QUELVAR_MAX_BAN_SECONDS must be at least QUELVAR_BAN_SECONDS")
    for network in settings.trusted_proxies:
        try:
            ipaddress.ip_network(network, strict=False)
        except ValueError:
            problems.append(f"QUELVAR_TRUSTED_PROXIES: {network!r} is not an address or network")
    if not settings.guarded_paths or any(not path.startswith("/") for path in settings.guarded_paths):
        problems.append("QUELVAR_GUARDED_PATHS must list path prefixes starting with /")
    if not _HEADER_NAME.fullmatch(settings.token_header):
        problems.append(f"QUELVAR_TOKEN_HEADER {settings.token_header!r} is not a header name")
    problems.extend(_path_problems(settings))
    if settings.scoring_model is not None:
        from .scoring import Model, ModelError

        try:
            Model.from_file(settings.scoring_model)
        except (OSError, ModelError, ValueError) as error:
            problems.append(f"QUELVAR_SCORING_MODEL {settings.scoring_model!r}: {error}")
    if settings.metrics_path is not None:
        try:
            import prometheus_client  # noqa: F401
        except ImportError:
            problems.append('QUELVAR_METRICS_PATH needs prometheus_client: pip install "quelvar_core_rs[metrics]"')
    return problems


def _allow_problems(settings: SettingsFields) -> list[str]:
    from .allow import AllowList

    problems = []
    for network in settings.allow_networks:
        try:
            AllowList([network])
        except ValueError:
            problems.append(f"QUELVAR_ALLOW_NETWORKS: {network!r} is not an address or network")
    if settings.allow_file is not None:
        try:
            AllowList((), settings.allow_file)
        except (OSError, ValueError) as error:
            problems.append(f"QUELVAR_ALLOW_FILE {settings.allow_file!r}: {error}")
    if settings.verify_crawlers:
        try:
            import dns.resolver  # noqa: F401
        except ImportError:
            problems.append('QUELVAR_VERIFY_CRAWLERS needs dnspython: pip install "quelvar_core_rs[crawlers]"')
    if settings.crawler_dns is not None:
        from .allow import dns_resolver

        try:
            dns_resolver(settings.crawler_dns)
        except ValueError as error:
            problems.append(f"QUELVAR_CRAWLER_DNS: {error}")
        except ImportError:
            pass  # said above, if crawlers are verified
    return problems


def _policy_problems(settings: SettingsFields) -> list[str]:
    """Each route policy's values within the bounds of the setting of the same name."""
    try:
        policies = parse_policies(settings.route_policies or "")
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
                    f"{number(option.least)} to {number(option.most)}, not {number(value)}"
                )
        if policy.clearance_seconds is not None and policy.clearance_seconds + settings.clock_skew > (
            settings.nonce_window if settings.redis_url is not None else LOCAL_WINDOW
        ):
            problems.append(
                f"QUELVAR_ROUTE_POLICIES {policy.prefix}: clearance_seconds + QUELVAR_CLOCK_SKEW exceeds the "
                "replay window: a token could be accepted twice"
            )
    return problems


def _window_problems(settings: SettingsFields, wrong: set[str]) -> list[str]:
    """A token is taken within [-clock_skew, lifetime] of its issue, and
    its spending must be remembered that long: a skew as long as a
    lifetime is a mistake of its own, else each lifetime must fit the
    replay window."""
    if wrong & {"token_max_age", "clearance_seconds", "clock_skew", "nonce_window"}:
        return []
    lifetimes = (
        ("QUELVAR_TOKEN_MAX_AGE", settings.token_max_age),
        ("QUELVAR_CLEARANCE_SECONDS", settings.clearance_seconds),
    )
    shorter = [f"{env} ({lifetime:g} s)" for env, lifetime in lifetimes if settings.clock_skew >= lifetime]
    if shorter:
        return [f"QUELVAR_CLOCK_SKEW ({settings.clock_skew:g} s) must be smaller than {' and '.join(shorter)}"]
    window = settings.nonce_window if settings.redis_url is not None else LOCAL_WINDOW
    return [
        f"{env} + QUELVAR_CLOCK_SKEW ({lifetime + settings.clock_skew:g} s) exceeds the replay window "
        f"({window:g} s, QUELVAR_NONCE_WINDOW): a token could be accepted twice"
        for env, lifetime in lifetimes
        if lifetime + settings.clock_skew > window
    ]


def _path_problems(settings: SettingsFields) -> list[str]:
    """The guard's own paths: each absolute and its own; the metrics and
    readiness paths never one the guard screens."""
    problems: list[str] = []
    seen: dict[str, str] = {}
    for env, path in (
        ("QUELVAR_TOKEN_PATH", settings.token_path),
        ("QUELVAR_TELEMETRY_PATH", settings.telemetry_path),
        ("QUELVAR_METRICS_PATH", settings.metrics_path),
        ("QUELVAR_HEALTH_PATH", settings.health_path),
    ):
        if path is None:
            continue
        if not path.startswith("/"):
            problems.append(f"{env} must start with /, not {path!r}")
        elif path in seen:
            problems.append(f"{env} is {seen[path]}'s path too: {path!r}")
        elif env in ("QUELVAR_METRICS_PATH", "QUELVAR_HEALTH_PATH") and any(
            covers(prefix, path) for prefix in settings.guarded_paths
        ):
            problems.append(f"{env} {path!r} is under QUELVAR_GUARDED_PATHS")
        seen.setdefault(path, env)
    return problems


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
