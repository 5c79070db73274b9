"""What a Python developer would write for the replay guard and the ban table."""

from __future__ import annotations

import time


class NonceCache:
    """Two rotating sets on the monotonic clock."""

    def __init__(self) -> None:
        self.current: set[str] = set()
        self.previous: set[str] = set()
        self.start = time.monotonic()

    def consume(self, nonce: str) -> bool:
        now = time.monotonic()
        if now - self.start >= 60.0:
            self.previous, self.current, self.start = self.current, set(), now
        if nonce in self.current or nonce in self.previous:
            return False
        self.current.add(nonce)
        return True


class BanTable:
    """A dict of absolute expiry times in whole UNIX seconds."""

    def __init__(self) -> None:
        self.bans: dict[str, int] = {}

    def ban(self, ip: str, duration_sec: int) -> None:
        self.bans[ip] = int(time.time()) + duration_sec

    def unban(self, ip: str) -> None:
        self.bans.pop(ip, None)

    def is_banned(self, ip: str) -> bool:
        expires_at = self.bans.get(ip)
        return expires_at is not None and int(time.time()) < expires_at

    def hydrate(self, bans) -> None:
        now = int(time.time())
        for ip, expires_at in bans:
            if expires_at > now:
                self.bans[ip] = expires_at

    def active(self) -> int:
        now = int(time.time())
        return sum(1 for expires_at in self.bans.values() if expires_at > now)


def stats(nonces: NonceCache, bans: BanTable) -> dict:
    return {
        "current_bucket_nonces": len(nonces.current),
        "previous_bucket_nonces": len(nonces.previous),
        "active_ip_bans": bans.active(),
    }
