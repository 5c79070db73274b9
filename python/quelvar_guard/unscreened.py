"""The ways past the screening: networks on the allow list, crawlers their
operator's DNS confirms, and (in clearance.py) privacy tokens of trusted
issuers."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

from .allow import AllowList, Crawlers, dns_resolver
from .attestation import Attestation, Issuer, issuer_from
from .store import StoreUnavailable
from .vocabulary import (
    Outcome,
    Route,
    Screened,
    TokenVerdict,
    VerifyCrawler,
    Walk,
)

if TYPE_CHECKING:
    pass
from .clearance import Clearance
from .replies import (
    FAKE_CRAWLER,
)


class Unscreened(Clearance):
    """Clients let through with nothing asked of them."""

    def _settle_unscreened(
        self,
        allow_networks: Iterable[str],
        allow_file: str | None,
        verify_crawlers: bool | Crawlers,
        crawler_dns: str | None,
        attestation_issuers: Iterable[Issuer | str],
        attestation_origin: str,
    ) -> None:
        networks_allowed = tuple(allow_networks) if not isinstance(allow_networks, str) else (allow_networks,)
        self.allow = AllowList(networks_allowed, allow_file) if networks_allowed or allow_file else None
        if verify_crawlers is True:
            verify_crawlers = Crawlers(resolver=dns_resolver(crawler_dns))
        self.crawlers: Crawlers | None = verify_crawlers or None
        # One fixed challenge per deployment: any worker verifies, the spent nonce stops a replay.
        issuers = [issuer_from(item) if isinstance(item, str) else item for item in attestation_issuers]
        self.attestation = Attestation(issuers, attestation_origin) if issuers else None
        self._attestation_challenges: tuple[bytes, ...] = ()
        self._attestation_headers: tuple[tuple[str, str], ...] = ()
        if self.attestation is not None:
            self._attestation_challenges, header = self.attestation.challenges()
            self._attestation_headers = (("WWW-Authenticate", header),)

    def _verify_crawler(self, route: Route, address: str, crawler: str) -> Walk:
        try:
            verified = yield VerifyCrawler(address, crawler)
        except StoreUnavailable:
            verified = False
        return self._unscreened(route, address) if verified else FAKE_CRAWLER

    def _unscreened(self, route: Route, address: str) -> Outcome:
        """What an allowed client gets on each route, with nothing asked of it."""
        if route is Route.TOKEN:
            return self.telemetry_token(address, 0)
        if route is Route.TELEMETRY:
            tokens = self.tokens.issue_clearance(self.requests_per_clearance, self._network(address))
            return Screened(address, TokenVerdict.OK, tokens=tokens)
        return self._let_through(address)

    def verify_crawler(self, address: str, name: str) -> bool:
        """A claim checked once for the fleet: the store's answer while it
        lasts, else its operator's DNS (blocking: adapters call this off the
        event loop), kept in the store for the others."""
        assert self.crawlers is not None
        crawler = self.crawlers.named(name)
        key = f"crawler:{crawler.name}:{address}"
        held = self.store.recall(key)
        if held is not None:
            verified = held == "1"
            self.crawlers.learn(crawler, address, verified)
            return verified
        verified = self.crawlers.verify(crawler, address)
        self.store.remember(key, "1" if verified else "0", self.crawlers.lifetime(verified))
        return verified
