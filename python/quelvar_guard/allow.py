"""Clients that are never screened: allowed networks, and search crawlers
that prove who they are.

AllowList holds networks (from settings and from a file that is re-read when
it changes). Crawlers recognises a crawler claimed by a User-Agent and
verifies the claim: an address inside the operator's published ranges, or
forward-confirmed reverse DNS (the address's PTR name lies in the operator's
domain, and that name resolves back to the address). A User-Agent alone
proves nothing; anyone can send "Googlebot".
"""

from __future__ import annotations

import ipaddress
import json
import logging
import os
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Protocol

__all__ = ["AllowList", "Crawler", "Crawlers", "DnsResolver", "KNOWN_CRAWLERS", "Resolver"]

_log = logging.getLogger("quelvar_guard")

IPNetwork = ipaddress.IPv4Network | ipaddress.IPv6Network
# Per address family: (shift, network integers) for each distinct prefix length.
_Table = dict[int, list[tuple[int, frozenset[int]]]]

# Requests repeat their addresses; past this many the cache starts again.
_CACHE_LIMIT = 65536
# A changed file is noticed within this many seconds, at one stat per period.
_CHECK_SECONDS = 1.0


def _network(text: str) -> IPNetwork:
    try:
        # Host bits are tolerated: "192.0.2.7/24" means its /24.
        return ipaddress.ip_network(text.strip(), strict=False)
    except ValueError:
        raise ValueError(f"not an IP network or address: {text!r}") from None


def _table(networks: Iterable[IPNetwork]) -> _Table:
    by_length: dict[int, dict[int, set[int]]] = {4: {}, 6: {}}
    for network in networks:
        shift = network.max_prefixlen - network.prefixlen
        by_length[network.version].setdefault(shift, set()).add(int(network.network_address) >> shift)
    # Shortest prefixes first: wide allowances answer in the fewest probes.
    return {
        version: [(shift, frozenset(ints)) for shift, ints in sorted(shifts.items(), reverse=True)]
        for version, shifts in by_length.items()
    }


def _json_prefixes(document: Any) -> list[IPNetwork]:
    entries = document.get("prefixes") if isinstance(document, dict) else document
    if not isinstance(entries, list):
        raise ValueError('expected {"prefixes": [...]} or a list of prefix objects')
    networks = []
    for entry in entries:
        prefix = (entry.get("ipv4Prefix") or entry.get("ipv6Prefix")) if isinstance(entry, dict) else None
        if not isinstance(prefix, str):
            raise ValueError(f"a prefix object without ipv4Prefix or ipv6Prefix: {entry!r}")
        networks.append(_network(prefix))
    return networks


def _parse_file(text: str) -> list[IPNetwork]:
    if text.lstrip().startswith(("{", "[")):
        try:
            document = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"not JSON: {error}") from None
        return _json_prefixes(document)
    networks = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if line:
            try:
                networks.append(_network(line))
            except ValueError as error:
                raise ValueError(f"line {number}: {error}") from None
    return networks


def _signature(path: str | os.PathLike[str]) -> tuple[int, int, int] | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return (status.st_mtime_ns, status.st_size, status.st_ino)


class AllowList:
    """Networks whose clients are never screened: from `networks` and the file at `path`."""

    def __init__(
        self,
        networks: Iterable[str] = (),
        path: str | os.PathLike[str] | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if isinstance(networks, str):
            networks = [networks]
        self._fixed = [_network(text) for text in networks]
        self._path = path
        self._clock = clock
        self._reload_lock = threading.Lock()
        self._cache: dict[str, bool] = {}
        file_networks: list[IPNetwork] = []
        self._seen: tuple[int, int, int] | None = None
        if path is not None:
            # A bad file at start is a settings mistake: said now, not logged later.
            self._seen = _signature(path)
            with open(path, encoding="utf-8") as file:
                try:
                    file_networks = _parse_file(file.read())
                except ValueError as error:
                    raise ValueError(f"{os.fspath(path)}: {error}") from None
        self._table = _table(self._fixed + file_networks)
        self._next_check = clock() + _CHECK_SECONDS

    def allowed(self, address: str) -> bool:
        if self._path is not None and self._clock() >= self._next_check:
            self._check_file()
        cache = self._cache
        answer = cache.get(address)
        if answer is None:
            answer = self._lookup(address)
            if len(cache) >= _CACHE_LIMIT:
                cache.clear()
            cache[address] = answer
        return answer

    def _lookup(self, address: str) -> bool:
        try:
            parsed = ipaddress.ip_address(address)
        except ValueError:
            return False
        if isinstance(parsed, ipaddress.IPv6Address) and parsed.ipv4_mapped is not None:
            parsed = parsed.ipv4_mapped
        number = int(parsed)
        for shift, ints in self._table[parsed.version]:
            if number >> shift in ints:
                return True
        return False

    def _check_file(self) -> None:
        # One thread stats the file; the others go on with the list they have.
        if not self._reload_lock.acquire(blocking=False):
            return
        try:
            self._next_check = self._clock() + _CHECK_SECONDS
            assert self._path is not None
            signature = _signature(self._path)
            if signature == self._seen:
                return
            self._seen = signature
            try:
                if signature is None:
                    raise ValueError("cannot be read")
                with open(self._path, encoding="utf-8") as file:
                    networks = _parse_file(file.read())
            except (OSError, UnicodeDecodeError, ValueError) as error:
                # Reached once per change of the file: one warning each.
                _log.warning(
                    "quelvar_guard: allow list %s not reloaded, the last good list stays: %s",
                    os.fspath(self._path),
                    error,
                )
                return
            self._table = _table(self._fixed + networks)
            self._cache = {}
        finally:
            self._reload_lock.release()


@dataclass(frozen=True)
class Crawler:
    name: str
    # A case-insensitive substring of the User-Agent that claims this crawler.
    agent: str
    # PTR name suffixes the operator's addresses resolve to.
    domains: tuple[str, ...]
    # Published ranges: an address inside them is verified without DNS.
    ranges: AllowList | None = None


# Only crawlers whose operators document forward-confirmed reverse DNS as the
# way to verify them; the domains are each operator's published verification method.
# A crawler verified only by a published address list is a Crawler with ranges.
KNOWN_CRAWLERS: tuple[Crawler, ...] = (
    Crawler("Googlebot", "googlebot", ("googlebot.com", "google.com", "googleusercontent.com")),
    Crawler("Bingbot", "bingbot", ("search.msn.com",)),
    Crawler("Applebot", "applebot", ("applebot.apple.com",)),
    Crawler("YandexBot", "yandexbot", ("yandex.ru", "yandex.net", "yandex.com")),
)


class Resolver(Protocol):
    """DNS as verification needs it: [] when there is no answer; may raise OSError."""

    def ptr(self, address: str) -> list[str]: ...

    def addresses(self, name: str) -> list[str]: ...


class DnsResolver:
    """Resolver over dnspython; every DNS failure is an empty answer.

    Each method spends at most `timeout` seconds, so a verification (one PTR
    lookup, one forward lookup) stays near twice that.
    """

    def __init__(self, nameservers: list[str] | None = None, port: int = 53, timeout: float = 1.0) -> None:
        try:
            import dns.resolver
            import dns.reversename
        except ImportError:
            raise ImportError('verifying crawlers needs dnspython: pip install "quelvar_core_rs[crawlers]"') from None
        self._resolver = dns.resolver.Resolver(configure=nameservers is None)
        if nameservers is not None:
            self._resolver.nameservers = list(nameservers)
        self._resolver.port = port
        self._resolver.timeout = timeout
        self._resolver.lifetime = timeout
        self._timeout = timeout

    def _answer(self, name: Any, kind: str, lifetime: float) -> list[str]:
        import dns.exception

        try:
            answer = self._resolver.resolve(name, kind, lifetime=lifetime, raise_on_no_answer=False, search=False)
        except (dns.exception.DNSException, OSError, ValueError):
            return []
        return [record.to_text() for record in answer.rrset] if answer.rrset is not None else []

    def ptr(self, address: str) -> list[str]:
        import dns.exception
        import dns.reversename

        try:
            name = dns.reversename.from_address(address)
        except (dns.exception.DNSException, ValueError):
            return []
        return self._answer(name, "PTR", self._timeout)

    def addresses(self, name: str) -> list[str]:
        import dns.exception
        import dns.name

        try:
            qname = dns.name.from_text(name)
        except dns.exception.DNSException:
            return []
        found = []
        deadline = time.monotonic() + self._timeout
        for kind in ("A", "AAAA"):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            found += self._answer(qname, kind, remaining)
        return found


def _in_domain(name: str, domains: tuple[str, ...]) -> bool:
    name = name.rstrip(".").lower()
    # On a label boundary: "evilgooglebot.com" is not in "googlebot.com".
    return any(name == domain or name.endswith("." + domain) for domain in domains)


# A claimed crawler is verified once per address for this long: a flood of
# forged User-Agents must not become a flood of DNS lookups.
_VERIFIED_SECONDS = 3600.0
_REFUSED_SECONDS = 300.0
# Past the PTR lookup and one forward lookup no further names are tried.
_VERIFY_SECONDS = 2.0


def dns_resolver(server: str | None) -> DnsResolver:
    """A resolver asking `server` ("host", "host:port", "[v6]:port"), or the system's for None."""
    if server is None:
        return DnsResolver()
    if server.startswith("["):
        host, _, rest = server[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else rest
    elif server.count(":") == 1:
        host, _, port = server.partition(":")
    else:
        host, port = server, ""
    if not host or (port and not port.isdigit()):
        raise ValueError(f"{server!r} is not host or host:port")
    return DnsResolver([host], port=int(port) if port else 53)


class Crawlers:
    """Crawlers claimed by User-Agents, and the verification of a claim."""

    def __init__(self, crawlers: Iterable[Crawler] = KNOWN_CRAWLERS, resolver: Resolver | None = None) -> None:
        self._crawlers = tuple(crawlers)
        self._agents = tuple((crawler.agent.lower(), crawler) for crawler in self._crawlers)
        self._resolver: Resolver = DnsResolver() if resolver is None else resolver
        self._verified: dict[tuple[str, str], tuple[bool, float]] = {}

    def claimed(self, user_agent: str | None) -> Crawler | None:
        if not user_agent:
            return None
        agent = user_agent.lower()
        for needle, crawler in self._agents:
            if needle in agent:
                return crawler
        return None

    def named(self, name: str) -> Crawler:
        """The crawler of that name (KeyError for one not listed)."""
        return next(crawler for crawler in self._crawlers if crawler.name == name)

    def known(self, crawler: Crawler, address: str) -> bool | None:
        """What this process last found for the claim, while it holds; None: ask."""
        if crawler.ranges is not None and crawler.ranges.allowed(address):
            return True
        known = self._verified.get((crawler.name, address))
        return known[0] if known is not None and known[1] > time.monotonic() else None

    def learn(self, crawler: Crawler, address: str, verified: bool) -> None:
        """What another process found (through the store), kept here too."""
        lifetime = _VERIFIED_SECONDS if verified else _REFUSED_SECONDS
        if len(self._verified) >= _CACHE_LIMIT:
            self._verified.clear()
        self._verified[crawler.name, address] = (verified, time.monotonic() + lifetime)

    @staticmethod
    def lifetime(verified: bool) -> float:
        return _VERIFIED_SECONDS if verified else _REFUSED_SECONDS

    def verify(self, crawler: Crawler, address: str) -> bool:
        try:
            parsed = ipaddress.ip_address(address)
        except ValueError:
            return False
        if crawler.ranges is not None and crawler.ranges.allowed(address):
            return True
        key = (crawler.name, address)
        now = time.monotonic()
        known = self._verified.get(key)
        if known is not None and known[1] > now:
            return known[0]
        verified = self._confirmed(crawler, parsed, now + _VERIFY_SECONDS)
        if len(self._verified) >= _CACHE_LIMIT:
            self._verified.clear()
        self._verified[key] = (verified, now + (_VERIFIED_SECONDS if verified else _REFUSED_SECONDS))
        return verified

    def _confirmed(
        self, crawler: Crawler, address: ipaddress.IPv4Address | ipaddress.IPv6Address, deadline: float
    ) -> bool:
        try:
            names = [name for name in self._resolver.ptr(str(address)) if _in_domain(name, crawler.domains)]
            for name in names:
                if time.monotonic() >= deadline:
                    return False
                for text in self._resolver.addresses(name.rstrip(".")):
                    try:
                        if ipaddress.ip_address(text) == address:
                            return True
                    except ValueError:
                        continue
        except OSError:
            return False
        return False
