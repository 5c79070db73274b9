"""Client addresses: normalised spellings, and forwarding headers believed only through trusted proxies."""

from __future__ import annotations

import pytest

from quelvar_guard import ClientAddresses, normalise_address


@pytest.mark.parametrize("text, expected", [
    ("192.0.2.1", "192.0.2.1"), (" 192.0.2.1 ", "192.0.2.1"), (b"192.0.2.1", "192.0.2.1"),
    ("2001:0DB8:0000::0001", "2001:db8::1"), ("::ffff:192.0.2.1", "192.0.2.1"),
    ("::ffff:c000:201", "192.0.2.1"), ("::1", "::1"),
    ("fe80::1%eth0", None), ("192.0.2.01", None), ("192.0.2", None), ("", None), (None, None),
    ("example.org", None), (b"\xff\xfe", None), ("1.2.3.4/32", None), (7, None),
])
def test_normalise(text, expected):
    assert normalise_address(text) == expected


TRUSTED = ["10.0.0.0/8", "127.0.0.1", "2001:db8:f::/48"]


@pytest.mark.parametrize("trusted, header, peer, value, client", [
    # No trusted proxies: the peer, whatever the header says.
    ([], "x-forwarded-for", "198.51.100.7", "203.0.113.1", "198.51.100.7"),
    # An untrusted peer's header is ignored.
    (TRUSTED, "x-forwarded-for", "198.51.100.7", "203.0.113.1", "198.51.100.7"),
    # Read from the right, through trusted hops, to the first untrusted one.
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "6.6.6.6, 203.0.113.1, 10.1.2.3", "203.0.113.1"),
    (TRUSTED, "x-forwarded-for", "::ffff:127.0.0.1", "2001:0db8::5", "2001:db8::5"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "203.0.113.1:4711", "203.0.113.1"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "[2001:db8::5]:443", "2001:db8::5"),
    # Garbage stops the walk at the last trusted hop.
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "203.0.113.1, junk, 10.0.0.9", "10.0.0.9"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "fe80::1%eth0", "127.0.0.1"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", ",,, ,", "127.0.0.1"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", b"\xff\xfe\x00, 10.0.0.9", "10.0.0.9"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "10.0.0.1, 10.0.0.2", "10.0.0.1"),
    (TRUSTED, "x-forwarded-for", "127.0.0.1", "", "127.0.0.1"),
    # A peer that is no IP address is a local socket (gunicorn says "", uvicorn
    # None): with proxies configured it is one, so its header names the client.
    (TRUSTED, "x-forwarded-for", "not an address", "203.0.113.1", "203.0.113.1"),
    (TRUSTED, "x-forwarded-for", None, "6.6.6.6, 203.0.113.1, 10.0.0.1", "203.0.113.1"),
    (TRUSTED, "x-forwarded-for", "", "", None),
    ([], "x-forwarded-for", None, "203.0.113.1", None),
    # The server's own zone id names the link of a real client, which stays untrusted.
    (TRUSTED, "x-forwarded-for", "fe80::1%eth0", "203.0.113.1", "fe80::1"),
    (TRUSTED, "forwarded", "127.0.0.1",
     'for=6.6.6.6, for="[2001:db8:cafe::17]:4711";proto=https;by=10.0.0.1, For=10.2.2.2', "2001:db8:cafe::17"),
    (TRUSTED, "forwarded", "127.0.0.1", 'for=203.0.113.1;proto="a,b", for=10.0.0.3', "203.0.113.1"),
    (TRUSTED, "forwarded", "127.0.0.1", "for=_hidden, for=10.0.0.3", "10.0.0.3"),
    (TRUSTED, "forwarded", "127.0.0.1", 'proto=http;for="unterminated', "127.0.0.1"),
    (TRUSTED, "forwarded", "127.0.0.1", "203.0.113.1", "127.0.0.1"),
])
def test_resolve(trusted, header, peer, value, client):
    assert ClientAddresses(trusted, header=header).resolve(peer, value) == client


def test_hops_beyond_the_limit_are_not_read():
    long_chain = ", ".join(["203.0.113.1"] + ["10.0.0.1"] * 40)
    assert ClientAddresses(TRUSTED).resolve("127.0.0.1", long_chain) == "10.0.0.1"
