"""The defaults and bounds of the guard's numbers, declared once for the
guard and its settings."""

from __future__ import annotations

from .tokens import MAX_CLEARANCE_TOKENS
from .work import MAX_BITS

DEFAULT_REQUESTS_PER_CLEARANCE = 10
# The fullest session (300 points, 150 keys, 400 clicks/scrolls) is 41 KB, 62 KB indented.
DEFAULT_MAX_BODY = 64 << 10
# A telemetry token's and a guarded token's lifetime, and the clock skew allowed.
DEFAULT_MAX_AGE = 30.0
DEFAULT_CLEARANCE_SECONDS = 30.0
DEFAULT_CLOCK_SKEW = 5.0
DEFAULT_BAN_SECONDS = 600
# Bits of work every clearance costs (see work.py), the extra a challenge
# asks, and the most a page is ever asked. A native solver with SHA
# instructions does some 17 million hashes a second on one core: 2^20 is
# about 60 ms of it per clearance, several times what the server spends on
# the clearance and its guarded requests (make economics); 2^24 about a
# second, sixty times and more. The page's WebAssembly solver does some 9
# million a second per core, in a worker per core: 2^20 is done before a
# visitor has moved enough, 2^24 takes about a second more.
DEFAULT_WORK_BITS = 20
DEFAULT_CHALLENGE_WORK_BITS = 3
DEFAULT_MAX_WORK_BITS = 24
# Suspicion halves every ten minutes; a repeat offender's ban doubles per
# ban within a day, up to a day.
DEFAULT_LEVEL_HALF_LIFE = 600.0
DEFAULT_OFFENCE_WINDOW = 86400.0
DEFAULT_MAX_BAN_SECONDS = 86400
# Telemetry tokens per address: a page takes one per clearance, a shared NAT
# a few more; a script asking for thousands is held to the rate.
DEFAULT_MINT_RATE = 1.0
DEFAULT_MINT_BURST = 20


def check_numbers(
    max_body: int,
    requests_per_clearance: int,
    mint_rate: float | None,
    mint_burst: int,
    work_bits: int,
    challenge_work_bits: int,
    max_work_bits: int,
    level_half_life: float,
    offence_window: float,
) -> None:
    """The bounds of the guard's numbers, checked where a wrong value is a
    configuration error, not a failed request."""
    if max_body <= 0:
        raise ValueError("max_body must be positive")
    if (
        isinstance(requests_per_clearance, bool)
        or not isinstance(requests_per_clearance, int)
        or not 1 <= requests_per_clearance <= MAX_CLEARANCE_TOKENS
    ):
        raise ValueError(f"requests_per_clearance must be a whole number from 1 to {MAX_CLEARANCE_TOKENS}")
    if mint_rate is not None and not 0 < mint_rate < float("inf"):
        raise ValueError("mint_rate must be a positive number of tokens per second, or None")
    if isinstance(mint_burst, bool) or not isinstance(mint_burst, int) or mint_burst < 1:
        raise ValueError("mint_burst must be a whole number of at least 1")
    for name, bits in (("work_bits", work_bits), ("challenge_work_bits", challenge_work_bits)):
        if isinstance(bits, bool) or not isinstance(bits, int) or not 0 <= bits <= MAX_BITS:
            raise ValueError(f"{name} must be a whole number from 0 to {MAX_BITS}")
    if (
        isinstance(max_work_bits, bool)
        or not isinstance(max_work_bits, int)
        or not work_bits <= max_work_bits <= MAX_BITS
    ):
        raise ValueError(f"max_work_bits must be a whole number from work_bits to {MAX_BITS}")
    if not 0 < level_half_life < float("inf") or not 0 < offence_window < float("inf"):
        raise ValueError("level_half_life and offence_window must be positive numbers of seconds")
