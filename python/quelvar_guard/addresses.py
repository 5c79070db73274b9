"""Client addresses: one spelling per address, proxies trusted only where configured.

The store compares addresses as exact bytes, so every address is normalised
here before it reaches a ban: `2001:0db8::1` and `2001:db8::1`, or
`::ffff:192.0.2.1` and `192.0.2.1`, are one client and must be one ban.
"""

from __future__ import annotations

import ipaddress
from collections.abc import Iterable

__all__ = ["normalise_address", "ClientAddresses"]

IPAddress = ipaddress.IPv4Address | ipaddress.IPv6Address
IPNetwork = ipaddress.IPv4Network | ipaddress.IPv6Network

# Far more hops than any real proxy chain; a longer header is not read further.
MAX_HOPS = 32


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


def _split_outside_quotes(text: str, separator: str) -> list[str]:
    parts: list[str] = []
    current: list[str] = []
    quoted = escaped = False
    for char in text:
        if escaped:
            escaped = False
        elif quoted and char == "\\":
            escaped = True
        elif char == '"':
            quoted = not quoted
        elif char == separator and not quoted:
            parts.append("".join(current))
            current = []
            continue
        current.append(char)
    parts.append("".join(current))
    return parts


def _forwarded_for(header: str) -> list[str]:
    """The `for=` value of each element of a Forwarded header, "" where an element has none."""
    hops = []
    for element in _split_outside_quotes(header, ","):
        value = ""
        for pair in _split_outside_quotes(element, ";"):
            name, _, raw = pair.partition("=")
            if name.strip().lower() == "for":
                value = raw.strip()
                if len(value) >= 2 and value[0] == value[-1] == '"':
                    value = value[1:-1].replace("\\", "")
        hops.append(value)
    return hops


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
            network if isinstance(network, (ipaddress.IPv4Network, ipaddress.IPv6Network))
            else ipaddress.ip_network(network.strip(), strict=False)
            for network in trusted_proxies
        )
        header = header.lower()
        if header not in ("x-forwarded-for", "forwarded"):
            raise ValueError('header must be "x-forwarded-for" or "forwarded"')
        self.header = header

    def _is_trusted(self, address: IPAddress) -> bool:
        return any(address in network for network in self.trusted)

    def resolve(self, peer: str | bytes | None, forwarded: str | bytes | None = None) -> str | None:
        """The client's normalised address, or None when there is none (see the class).

        `forwarded`: the value of the configured header, several header lines
        joined with commas.
        """
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
        hops = _forwarded_for(forwarded) if self.header == "forwarded" else forwarded.split(",")
        for hop in reversed(hops[-MAX_HOPS:]):
            address = _parse(_strip_port(hop))
            if address is None:
                break
            current = address
            if not self._is_trusted(current):
                break
        return None if current is None else str(current)
