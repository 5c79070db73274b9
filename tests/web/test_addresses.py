"""Client addresses: normalised spellings, and forwarding headers believed only through trusted proxies."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quelvar_guard import ClientAddresses, normalise_address


@pytest.mark.parametrize(
    "text, expected",
    [
        ("192.0.2.1", "192.0.2.1"),
        (" 192.0.2.1 ", "192.0.2.1"),
        (b"192.0.2.1", "192.0.2.1"),
        ("2001:0DB8:0000::0001", "2001:db8::1"),
        ("::ffff:192.0.2.1", "192.0.2.1"),
        ("::ffff:c000:201", "192.0.2.1"),
        ("::1", "::1"),
        ("fe80::1%eth0", None),
        ("192.0.2.01", None),
        ("192.0.2", None),
        ("", None),
        (None, None),
        ("example.org", None),
        (b"\xff\xfe", None),
        ("1.2.3.4/32", None),
        (7, None),
    ],
)
def test_normalise(text, expected):
    assert normalise_address(text) == expected


TRUSTED = ["10.0.0.0/8", "127.0.0.1", "2001:db8:f::/48"]


@pytest.mark.parametrize(
    "trusted, header, peer, value, client",
    [
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
        (
            TRUSTED,
            "forwarded",
            "127.0.0.1",
            'for=6.6.6.6, for="[2001:db8:cafe::17]:4711";proto=https;by=10.0.0.1, For=10.2.2.2',
            "2001:db8:cafe::17",
        ),
        (TRUSTED, "forwarded", "127.0.0.1", 'for=203.0.113.1;proto="a,b", for=10.0.0.3', "203.0.113.1"),
        (TRUSTED, "forwarded", "127.0.0.1", "for=_hidden, for=10.0.0.3", "10.0.0.3"),
        (TRUSTED, "forwarded", "127.0.0.1", 'proto=http;for="unterminated', "127.0.0.1"),
        (TRUSTED, "forwarded", "127.0.0.1", "203.0.113.1", "127.0.0.1"),
    ],
)
def test_resolve(trusted, header, peer, value, client):
    assert ClientAddresses(trusted, header=header).resolve(peer, value) == client


def test_hops_beyond_the_limit_are_not_read():
    long_chain = ", ".join(["203.0.113.1"] + ["10.0.0.1"] * 40)
    assert ClientAddresses(TRUSTED).resolve("127.0.0.1", long_chain) == "10.0.0.1"


# What a client may write before the element its trusted proxy appends: every
# character that means something in the grammar, and some that mean nothing.
CLIENT_TEXT = st.text(alphabet=st.sampled_from(list('"\\,;= \tfor=_[]:.0123456789abunknownxX\x7f\xe9%')), max_size=40)
PROXY_ELEMENTS = [
    ("for=203.0.113.9", "203.0.113.9"),
    ('for="203.0.113.9:4711";proto=https', "203.0.113.9"),
    ('for="[2001:db8::9]";by=10.0.0.1', "2001:db8::9"),
    ('proto=http;For="[2001:DB8::9]:_port"', "2001:db8::9"),
]


@given(
    prefixes=st.lists(CLIENT_TEXT, min_size=1, max_size=3),
    element=st.sampled_from(PROXY_ELEMENTS),
    separator=st.sampled_from([", ", ",", " , "]),
)
@settings(max_examples=400)
def test_nothing_a_client_writes_moves_what_its_proxy_appended(prefixes, element, separator):
    # The client's header lines, joined by the server, then the proxy's element.
    written, client = element
    header = ", ".join(prefixes) + separator + written
    assert ClientAddresses(TRUSTED, header="forwarded").resolve("127.0.0.1", header) == client
    # Through a second trusted proxy, the walk stops at the same element.
    assert ClientAddresses(TRUSTED, header="forwarded").resolve("127.0.0.1", header + ", for=10.0.0.7") == client


@pytest.mark.parametrize(
    "value, client",
    [
        ('for=203.0.113.1;x="', "127.0.0.1"),  # unterminated quote: ends the walk, swallows nothing
        ('for="a\\"b", for=10.0.0.3', "10.0.0.3"),  # escaped quote inside a value
        ('for="203.0.113.1\\\\"', "127.0.0.1"),  # an escaped backslash is not an address
        ("for=203.0.113.1;for=198.51.100.1", "127.0.0.1"),  # a parameter twice
        ("for=, for=10.0.0.3", "10.0.0.3"),  # a pair without a value
        ('for="2001:db8::1"', "127.0.0.1"),  # IPv6 needs its brackets
        ("for=[2001:db8::1]", "127.0.0.1"),  # and its quotes
        ('for="[203.0.113.1]"', "127.0.0.1"),  # IPv4 takes none
        ("for=unknown, for=10.0.0.3", "10.0.0.3"),
        ("for=203.0.113.1:99999", "127.0.0.1"),  # a port of six digits
        ("for=203.0.113.1 ; proto=https , ", "127.0.0.1"),  # an empty element names no one
        ("for=203.0.113.1 ; proto=https", "203.0.113.1"),
    ],
)
def test_forwarded_grammar(value, client):
    assert ClientAddresses(TRUSTED, header="forwarded").resolve("127.0.0.1", value) == client
