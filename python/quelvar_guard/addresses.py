"""Client addresses: one spelling per address, proxies trusted only where configured.

The store compares addresses as exact bytes, so every address is normalised
here before it reaches a ban: `2001:0db8::1` and `2001:db8::1`, or
`::ffff:192.0.2.1` and `192.0.2.1`, are one client and must be one ban.
"""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Iterable, Iterator
from itertools import islice

__all__ = ["BanScope", "ClientAddresses", "normalise_address"]

IPAddress = ipaddress.IPv4Address | ipaddress.IPv6Address
IPNetwork = ipaddress.IPv4Network | ipaddress.IPv6Network

# Far more hops than any real proxy chain; a longer header is not read further.
MAX_HOPS = 32
# Requests repeat their peers (and a proxy's headers): each answer is kept, for
# at most this many peers and headers this short; past it the table starts again.
_RESOLVED_LIMIT = 4096
_RESOLVED_HEADER_CHARS = 256
_UNKNOWN = object()

_PORT = re.compile(r":(?:[0-9]{1,5}|_[A-Za-z0-9._-]+)")


def _parse(text: str | bytes | None) -> IPAddress | None:
    if isinstance(text, bytes):
        try:
            text = text.decode("ascii")
        except UnicodeDecodeError:
            return None
    if not isinstance(text, str):
        return None
    text = text.strip()
    # A zone id names an interface of the host that wrote it, not a client.
    if "%" in text:
        return None
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


def normalise_address(text: str | bytes | None) -> str | None:
    """The one spelling of an IP address (compressed, IPv4-mapped IPv6 as IPv4), or None."""
    address = _parse(text)
    return None if address is None else str(address)


def _strip_port(hop: str) -> str:
    """`[v6]:port`, `[v6]`, `v4:port` → the address part; anything else unchanged."""
    hop = hop.strip()
    if hop.startswith("["):
        end = hop.find("]")
        return hop[1:end] if end > 0 else hop
    if hop.count(":") == 1:
        return hop.split(":", 1)[0]
    return hop


# Forwarded (RFC 7239) read from its right end. A trusted proxy appends its own
# element last; parsing from the right means that element is read the same
# whatever a client wrote before it, so an unterminated quote or a stray
# backslash on the left can only end the walk, never swallow or shift the
# proxy's element. Any syntax error yields None, which ends the walk there.

_TCHAR = frozenset("!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
_OWS = " \t"
# qdtext and the characters a quoted-pair may escape (HTAB, SP, VCHAR, obs-text).
_QDTEXT = frozenset(
    "\t \x21"
    + "".join(map(chr, range(0x23, 0x5C)))
    + "".join(map(chr, range(0x5D, 0x7F)))
    + "".join(map(chr, range(0x80, 0x100)))
)
_ESCAPABLE = _QDTEXT | {'"', "\\"}


def _skip_ows(text: str, end: int) -> int:
    while end > 0 and text[end - 1] in _OWS:
        end -= 1
    return end


def _token_start(text: str, end: int) -> int:
    while end > 0 and text[end - 1] in _TCHAR:
        end -= 1
    return end


def _quoted_value(text: str, end: int) -> tuple[str, int] | None:
    """The unescaped content of the quoted-string ending at `end` (after its
    closing quote) and the index of its opening quote, or None."""

    def backslashes_before(at: int) -> int:
        count = 0
        while at - count > 0 and text[at - count - 1] == "\\":
            count += 1
        return count

    close = end - 1
    if backslashes_before(close) % 2:
        return None  # the last quote is escaped: the string never closes
    at = close - 1
    while at >= 0:
        if text[at] == '"':
            run = backslashes_before(at)
            if run == 0:
                break  # the opening quote
            if run % 2 == 0:
                return None  # an unescaped quote inside the content
            at -= run + 1
            continue
        at -= 1
    else:
        return None
    content, chars, escaped = text[at + 1 : close], [], False
    for char in content:
        if escaped:
            if char not in _ESCAPABLE:
                return None
            chars.append(char)
            escaped = False
        elif char == "\\":
            escaped = True
        elif char in _QDTEXT:
            chars.append(char)
        else:
            return None
    return "".join(chars), at


def _forwarded_for_from_right(header: str) -> Iterator[str | None]:
    """The `for=` value of each element of a Forwarded header, last element
    first: "" for an element without one, None (and the end) at a syntax error."""
    end = len(header)
    while True:
        names: set[str] = set()
        value_for = ""
        end = _skip_ows(header, end)
        while True:
            quoted_value = end > 0 and header[end - 1] == '"'
            if quoted_value:
                quoted = _quoted_value(header, end)
                if quoted is None:
                    yield None
                    return
                value, end = quoted
                if end == 0 or header[end - 1] != "=":
                    yield None
                    return
            else:
                start = _token_start(header, end)
                value, end = header[start:end], start
            if end > 0 and header[end - 1] == "=":
                name_start = _token_start(header, end - 1)
                name = header[name_start : end - 1].lower()
                if not name or name in names or not (value or quoted_value):
                    # a pair without a name or a value, or a parameter given twice
                    yield None
                    return
                names.add(name)
                if name == "for":
                    value_for = value
                end = name_start
            elif value:
                yield None  # a token that is not a pair
                return
            end = _skip_ows(header, end)
            if end > 0 and header[end - 1] == ";":
                end = _skip_ows(header, end - 1)
                continue
            break
        if end == 0:
            yield value_for
            return
        if header[end - 1] != ",":
            yield None
            return
        yield value_for
        end -= 1


def _forwarded_node(value: str) -> IPAddress | None:
    """The address of a `for=` node: IPv4 or [IPv6], each with an optional
    port; "unknown", obfuscated names and anything malformed give None."""
    if value.startswith("["):
        close = value.find("]")
        if close < 0:
            return None
        host, rest = value[1:close], value[close + 1 :]
        if ":" not in host:
            return None
    else:
        host, colon, port = value.partition(":")
        rest = colon + port
    if rest and not _PORT.fullmatch(rest):
        return None
    if "%" in host:
        return None
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return None
    if value.startswith("[") != isinstance(address, ipaddress.IPv6Address):
        return None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


class ClientAddresses:
    """Finds the client's address for a request.

    By default the connection's peer is the client, and forwarding headers
    are ignored: anyone can write them. With `trusted_proxies` (networks or
    addresses), a peer inside them is a proxy whose forwarding header is
    believed: the header's hops are read from the right (the nearest proxy
    appended the last one), each trusted hop handing over to the one on its
    left, and the first hop outside the trusted networks is the client. A
    malformed or unknown hop ends the walk at the last trusted hop, so a
    forged or garbled header can never move the answer past what a trusted
    proxy wrote.

    A peer that is not an IP address (a unix socket: gunicorn gives "",
    uvicorn None) can only be a process on this host; with `trusted_proxies`
    set it is taken as a trusted proxy, so clients behind a proxy on a unix
    socket are still found and banned. Without a usable hop, or without
    trusted proxies, such a request has no address (None) and no ban applies.
    A zone id on the peer itself is dropped (the server wrote it); in a header
    it ends the walk like any other malformed hop.

    `header` is "x-forwarded-for" (comma-separated addresses, optional ports)
    or "forwarded" (the `for=` parameters of the standard header). Only one
    of them is read: a proxy writes one, and a client may forge the other.
    """

    def __init__(
        self,
        trusted_proxies: Iterable[str | IPNetwork] = (),
        *,
        header: str = "x-forwarded-for",
    ) -> None:
        if isinstance(trusted_proxies, str):
            trusted_proxies = [part for part in trusted_proxies.split(",") if part.strip()]
        self.trusted = tuple(
            network
            if isinstance(network, (ipaddress.IPv4Network, ipaddress.IPv6Network))
            else ipaddress.ip_network(network.strip(), strict=False)
            for network in trusted_proxies
        )
        header = header.lower()
        if header not in ("x-forwarded-for", "forwarded"):
            raise ValueError('header must be "x-forwarded-for" or "forwarded"')
        self.header = header
        self._resolved: dict[object, str | None] = {}

    def _is_trusted(self, address: IPAddress) -> bool:
        return any(address in network for network in self.trusted)

    def resolve(self, peer: str | bytes | None, forwarded: str | bytes | None = None) -> str | None:
        """The client's normalised address, or None when there is none (see the class).

        `forwarded`: the value of the configured header, several header lines
        joined with commas.
        """
        if type(peer) is not str:
            return self._resolve(peer, forwarded)
        # The header counts only from a trusted peer: without proxies the peer alone is the key.
        key: object = peer
        if forwarded and self.trusted:
            if type(forwarded) is not str or len(forwarded) > _RESOLVED_HEADER_CHARS:
                return self._resolve(peer, forwarded)
            key = (peer, forwarded)
        found = self._resolved.get(key, _UNKNOWN)
        if found is _UNKNOWN:
            found = self._resolve(peer, forwarded)
            if len(self._resolved) >= _RESOLVED_LIMIT:
                self._resolved.clear()
            self._resolved[key] = found
        return found  # type: ignore[return-value]

    def _resolve(self, peer: str | bytes | None, forwarded: str | bytes | None) -> str | None:
        if isinstance(peer, bytes):
            peer = peer.decode("latin-1")
        # The server's own zone id names the link a real client is on: dropped,
        # not refused, or that client could never be banned.
        current = _parse(peer.split("%", 1)[0] if isinstance(peer, str) else peer)
        if current is None:
            # Not an IP connection: a unix socket, which only this host can
            # reach. With proxies configured it is the proxy, and its header
            # names the client; without, there is no address to ban.
            if not forwarded or not self.trusted:
                return None
        elif not forwarded or not self.trusted or not self._is_trusted(current):
            return str(current)
        if isinstance(forwarded, bytes):
            forwarded = forwarded.decode("latin-1")
        for hop in self._hops_from_right(forwarded):
            if hop is None:
                break
            current = hop
            if not self._is_trusted(current):
                break
        return None if current is None else str(current)

    def _hops_from_right(self, forwarded: str) -> Iterator[IPAddress | None]:
        """The header's hop addresses, nearest proxy first, at most MAX_HOPS;
        None for a hop that names no usable address (the walk ends there)."""
        if self.header == "forwarded":
            values = _forwarded_for_from_right(forwarded)
            for value in islice(values, MAX_HOPS):
                yield None if value is None else _forwarded_node(value)
        else:
            for hop in reversed(forwarded.split(",")[-MAX_HOPS:]):
                yield _parse(_strip_port(hop))


# IPv6 forms that carry an IPv4 address: the IPv4 client behind them is the
# one judged, or it could take a fresh name from each translator.
_NAT64 = ipaddress.IPv6Network("64:ff9b::/96")
_KEY_CACHE_LIMIT = 4096


def embedded_ipv4(address: ipaddress.IPv6Address) -> ipaddress.IPv4Address | None:
    if address.ipv4_mapped is not None:
        return address.ipv4_mapped
    if address in _NAT64:
        return ipaddress.IPv4Address(int(address) & 0xFFFF_FFFF)
    if address.sixtofour is not None:
        return address.sixtofour
    if address.teredo is not None:
        return address.teredo[1]
    return None


class BanScope:
    """What one ban covers: the key under which an address is banned and looked up.

    A client holding an IPv6 address usually holds its whole /64 (2^64
    addresses to rotate through), so IPv6 is judged by prefix: /64 by default,
    /56 or /48 for providers that hand out more, 128 for exact addresses. IPv4
    stays exact unless `ipv4_prefix` says otherwise. An IPv6 form that embeds
    an IPv4 address (IPv4-mapped, NAT64 64:ff9b::/96, 6to4 2002::/16, Teredo)
    is judged as that IPv4 address.

    Keys: an exact address is its normalised spelling ("192.0.2.1",
    "2001:db8::7"), a prefix its network ("2001:db8:0:1::/64"). Text that is
    no IP address is its own key, unchanged, so a store still keeps what a
    caller banned by name.
    """

    def __init__(self, *, ipv4_prefix: int = 32, ipv6_prefix: int = 64) -> None:
        for name, value, bits in (("ipv4_prefix", ipv4_prefix, 32), ("ipv6_prefix", ipv6_prefix, 128)):
            if isinstance(value, bool) or not isinstance(value, int) or not 8 <= value <= bits:
                raise ValueError(f"{name} must be a whole number from 8 to {bits}")
        self.ipv4_prefix = ipv4_prefix
        self.ipv6_prefix = ipv6_prefix
        # Requests repeat their peers: the parse is paid once per spelling.
        self._cache: dict[str, str] = {}
        self.cached_key = self._cache.get

    def __repr__(self) -> str:
        return f"BanScope(ipv4_prefix={self.ipv4_prefix}, ipv6_prefix={self.ipv6_prefix})"

    def key(self, address: str) -> str:
        """The ban key of an address (see the class); any text is accepted."""
        key = self._cache.get(address)
        if key is None:
            key = self._key(address)
            if len(self._cache) >= _KEY_CACHE_LIMIT:
                self._cache.clear()
            self._cache[address] = key
        return key

    def _key(self, text: str) -> str:
        # Text with spaces around it is not an address a caller means: its own key.
        address = _parse(text) if text == text.strip() else None
        if address is None:
            return text
        if isinstance(address, ipaddress.IPv6Address):
            embedded = embedded_ipv4(address)
            if embedded is not None:
                address = embedded
        bits = self.ipv4_prefix if isinstance(address, ipaddress.IPv4Address) else self.ipv6_prefix
        if bits == address.max_prefixlen:
            return str(address)
        return str(ipaddress.ip_network((address, bits), strict=False))
