"""Allowed networks (from settings, from a list file and from the JSON crawler
operators publish, re-read when it changes) and crawler verification against
a real DNS server on loopback."""

from __future__ import annotations

import json
import logging

import pytest

from quelvar_guard.allow import AllowList, Crawler, Crawlers, DnsResolver
from servers import dns_server

V4, V6 = "192.0.2.0/24", "2001:db8::/32"
OPERATOR_JSON = json.dumps({"prefixes": [{"ipv4Prefix": "198.51.100.0/27"}, {"ipv6Prefix": "2001:db8:10::/64"}]})
OPERATOR_LIST = json.dumps([{"ipv4Prefix": "203.0.113.7/32"}])


# Each stage: the file's text (None: no file), addresses allowed, addresses not, warnings logged.
@pytest.mark.parametrize(
    "networks, stages",
    [
        pytest.param(
            [V4, V6, "203.0.113.7", "10.0.0.0/8", "10.1.0.0/16", "2001:db9::1"],
            # "::c000:201" is 192.0.2.1's integer as IPv6: the families are kept apart.
            [(None, "192.0.2.255 2001:db8:ffff::1 2001:db9::1 203.0.113.7 10.200.0.1 ::ffff:192.0.2.1",
              "192.0.3.0 2001:db9::2 203.0.113.8 ::c000:201 not-an-address", 0)],
            id="networks",
        ),
        pytest.param(
            [V4],
            [
                ("# crawlers\n198.51.100.0/24  # one\n\n2001:db8:5::/48\n", "192.0.2.1 198.51.100.9 2001:db8:5::1",
                 "203.0.113.1", 0),
                ("203.0.113.0/24\n", "192.0.2.1 203.0.113.1", "198.51.100.9 2001:db8:5::1", 0),
            ],
            id="text-file-reloaded",
        ),
        pytest.param(
            [],
            [
                (OPERATOR_JSON, "198.51.100.31 2001:db8:10::9", "198.51.100.32 203.0.113.7", 0),
                (OPERATOR_LIST, "203.0.113.7", "198.51.100.31 2001:db8:10::9", 0),
            ],
            id="operator-json-reloaded",
        ),
        pytest.param(
            [],
            [
                ("198.51.100.0/24\n", "198.51.100.1", "203.0.113.1", 0),
                ("198.51.100.0/24\nnot-a-network\n", "198.51.100.1", "203.0.113.1", 1),
                ('{"prefixes": [{"x": 1}]}', "198.51.100.1", "203.0.113.1", 1),
                ("203.0.113.0/24\n", "203.0.113.1", "198.51.100.1", 0),
            ],
            id="broken-file-keeps-last-list",
        ),
    ],
)  # fmt: skip
def test_allow_list(tmp_path, caplog, networks, stages):
    now = [0.0]
    path = tmp_path / "allow.txt"
    allow = None
    for text, allowed, refused, warnings in stages:
        if text is not None:
            path.write_text(text)
        if allow is None:
            allow = AllowList(networks, path=None if text is None else path, clock=lambda: now[0])
        caplog.clear()
        expected = dict.fromkeys(allowed.split(), True) | dict.fromkeys(refused.split() + [""], False)
        # Asked twice: the second answer comes from the cache, and a later second brings no new warning.
        for _ in range(2):
            now[0] += 1.0
            assert {address: allow.allowed(address) for address in expected} == expected
        logged = [record for record in caplog.records if record.levelno == logging.WARNING]
        assert len(logged) == warnings, logged


@pytest.mark.parametrize("networks", [["192.0.2.0/24", "192.0.2.999"], ["2001:db8::/129"], ["example.com"]])
def test_bad_network_is_named(networks):
    with pytest.raises(ValueError, match=networks[-1].replace(".", r"\.")):
        AllowList(networks)


# Published ranges verify 198.51.100.7, for which the server holds no record at all.
CRAWLER = Crawler("Testbot", "testbot", ("crawl.example", "bot.example.net"), AllowList(["198.51.100.0/24"]))
# address -> (the server's records for it, verified?)
DNS_CASES = {
    "192.0.2.1": (["--host-record=a-1.crawl.example,192.0.2.1"], True),
    "2001:db8::5": (["--host-record=v6.bot.example.net,2001:db8::5"], True),
    "192.0.2.6": (["--ptr-record=6.2.0.192.in-addr.arpa,CRAWL.EXAMPLE.", "--host-record=crawl.example,192.0.2.6"], True),
    "198.51.100.7": ([], True),
    "192.0.2.2": (["--host-record=a-2.evilcrawl.example,192.0.2.2"], False),
    "192.0.2.7": (["--host-record=crawl.example.attacker.test,192.0.2.7"], False),
    "192.0.2.3": (["--ptr-record=3.2.0.192.in-addr.arpa,a-3.crawl.example", "--host-record=a-3.crawl.example,192.0.2.99"], False),
    "192.0.2.4": ([], False),
    "junk": ([], False),
}  # fmt: skip


@pytest.fixture(scope="module")
def dns_port():
    with dns_server([option for options, _ in DNS_CASES.values() for option in options]) as port:
        yield port


@pytest.mark.parametrize("address", DNS_CASES)
def test_crawler_verified_by_forward_confirmed_reverse_dns(dns_port, address):
    crawlers = Crawlers([CRAWLER], DnsResolver(["127.0.0.1"], port=dns_port, timeout=0.5))
    assert crawlers.claimed("curl/8") is None and crawlers.claimed(None) is None
    claimed = crawlers.claimed("Mozilla/5.0 (compatible; TestBot/2.1; +http://crawl.example/bot)")
    assert claimed == CRAWLER
    assert crawlers.verify(claimed, address) is DNS_CASES[address][1]
