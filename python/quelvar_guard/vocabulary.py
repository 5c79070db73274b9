"""The words the guard's parts speak to each other: what a request is, what
the walk needs of its adapter, what it decides, what it answers.

A leaf: it imports nothing of the package, so every part (the tokens, the
scoring, the stores, the record and the metrics, the walk and its adapters)
can use these types without reaching back into the walk.
"""

from __future__ import annotations

import enum
import http
import json
from collections.abc import Callable, Generator, Iterable
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quelvar_core_rs import FeatureDict, MoveDict

__all__ = [
    "Action",
    "Admit",
    "Ban",
    "Decide",
    "Decided",
    "Decision",
    "Escalate",
    "Event",
    "Need",
    "Outcome",
    "ParseBody",
    "REFUSAL_CODES",
    "ReadBody",
    "Reply",
    "RequestHead",
    "Route",
    "Screened",
    "Spend",
    "TokenVerdict",
    "U64_MAX",
    "VERDICT_OF_REFUSAL",
    "VerifyCrawler",
    "Walk",
]

# The longest a ban table holds: expiries up to 2^64 - 1 s.
U64_MAX = 2**64 - 1
MAX_BAN_SECONDS = U64_MAX


class TokenVerdict(enum.Enum):
    """Why a token was accepted or refused."""

    OK = "ok"
    MALFORMED = "malformed"  # not a token of this format at all
    BAD_SIGNATURE = "bad_signature"  # well formed, but no configured secret signed it
    EXPIRED = "expired"  # older than its kind's lifetime, or issued too far in the future
    WRONG_KIND = "wrong_kind"  # genuine, but of the other kind
    WRONG_NETWORK = "wrong_network"  # genuine, but bound to another network than the presenter's
    REPLAYED = "replayed"  # genuine and fresh, but already spent


# The error code of the guard's refusal for each verdict but OK; the record
# and the metrics read the verdict back from it.
REFUSAL_CODES = {
    TokenVerdict.MALFORMED: "malformed_token",
    TokenVerdict.BAD_SIGNATURE: "bad_signature",
    TokenVerdict.EXPIRED: "expired_token",
    TokenVerdict.WRONG_KIND: "wrong_token_kind",
    TokenVerdict.WRONG_NETWORK: "wrong_network",
    TokenVerdict.REPLAYED: "replayed_token",
}
# The verdict (its value) behind each refusal code that comes from checking a token.
VERDICT_OF_REFUSAL = {code: verdict.value for verdict, code in REFUSAL_CODES.items()}


class Action(enum.Enum):
    ALLOW = "allow"
    CHALLENGE = "challenge"
    BAN = "ban"
    REFUSE = "refuse"


def whole_seconds(seconds: object, least: int, what: str) -> int:
    if isinstance(seconds, bool) or not isinstance(seconds, int) or seconds < least:
        raise ValueError(what)
    # The ban table holds expiries up to 2^64 - 1 s: a longer one is the
    # longest it can hold, not a failed request.
    return min(seconds, MAX_BAN_SECONDS)


def _reasons(reasons: Iterable[str]) -> tuple[str, ...]:
    if type(reasons) is tuple and not reasons:  # the default: nothing to check
        return reasons
    if isinstance(reasons, (str, bytes)):
        raise TypeError("reasons is a sequence of strings, not one string")
    reasons = tuple(reasons)
    if not all(isinstance(reason, str) for reason in reasons):
        raise TypeError("every reason must be a str")
    return reasons


@dataclass(frozen=True)
class Decision:
    """What the callback wants done with a client after seeing its features.

    `seconds` is the ban's length, or the challenge's hold; `reasons` are
    short strings the refusal sends back (and logs can keep).
    """

    action: Action
    seconds: int = 0
    reasons: tuple[str, ...] = ()
    # What the scoring would have decided but for the rules set to shadow.
    would: Decision | None = field(default=None, compare=False)

    @classmethod
    def allow(cls, *, reasons: Iterable[str] = ()) -> Decision:
        return cls(Action.ALLOW, 0, _reasons(reasons))

    @classmethod
    def refuse(cls, *, reasons: Iterable[str] = ()) -> Decision:
        return cls(Action.REFUSE, 0, _reasons(reasons))

    @classmethod
    def ban(cls, seconds: int, *, reasons: Iterable[str] = ()) -> Decision:
        return cls(
            Action.BAN, whole_seconds(seconds, 1, "a ban lasts a positive whole number of seconds"), _reasons(reasons)
        )

    @classmethod
    def challenge(cls, hold_seconds: int = 0, *, reasons: Iterable[str] = ()) -> Decision:
        """No ban and no guarded tokens: the client must send fresh telemetry,
        after `hold_seconds` (sent as Retry-After; advisory, see the module)."""
        return cls(
            Action.CHALLENGE,
            whole_seconds(hold_seconds, 0, "a hold is a whole number of seconds, 0 or more"),
            _reasons(reasons),
        )


class Decided(enum.Enum):
    """What the walk did with a request, as the record and the metrics count it."""

    ALLOW = "allow"
    REFUSE = "refuse"
    CHALLENGE = "challenge"
    BAN = "ban"
    UNAVAILABLE = "unavailable"


@dataclass(frozen=True)
class Reply:
    """A response the middleware sends itself; its body and headers are built
    on first use and kept, so a constant reply is encoded once. `decided`:
    what a refusal of the walk's was (None: an answer, not a refusal), set
    where the reply is built so that nothing reads it back from the payload."""

    status: int
    payload: dict[str, object]
    headers: tuple[tuple[str, str], ...] = ()
    decided: Decided | None = field(default=None, compare=False, repr=False, kw_only=True)

    @cached_property
    def status_line(self) -> str:
        return _STATUS_LINES.get(self.status) or f"{self.status} {http.HTTPStatus(self.status).phrase}"

    @cached_property
    def encoded(self) -> bytes:
        return json.dumps(self.payload, separators=(",", ":")).encode()

    @cached_property
    def _all_headers(self) -> tuple[tuple[str, str], ...]:
        return (
            ("Content-Type", "application/json"),
            ("Content-Length", str(len(self.encoded))),
            ("Cache-Control", "no-store"),
            *self.headers,
        )

    @cached_property
    def raw_headers(self) -> tuple[tuple[bytes, bytes], ...]:
        """The headers as ASGI sends them: lower-case names, latin-1 bytes."""
        return tuple((name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in self.all_headers())

    def body(self) -> bytes:
        return self.encoded

    def all_headers(self) -> list[tuple[str, str]]:
        return list(self._all_headers)


_STATUS_LINES = {status.value: f"{status.value} {status.phrase}" for status in http.HTTPStatus}


@dataclass(frozen=True)
class _Written(Reply):
    """A reply whose body was written without json.dumps, the same bytes
    (the clearance's answer, around its tokens)."""

    text: bytes = b""

    @cached_property
    def encoded(self) -> bytes:
        return self.text


@dataclass(frozen=True)
class _MetricsReply(Reply):
    """The metrics text, with its own headers."""

    text: bytes = b""

    def body(self) -> bytes:
        return self.text

    def all_headers(self) -> list[tuple[str, str]]:
        return list(self.headers)


@dataclass(frozen=True)
class Screened:
    """A request let through, with what was learnt about it: on the telemetry
    route also the features, the decision and the clearance's guarded tokens,
    and, under the FastAPI dependency, the body it read."""

    address: str | None
    verdict: TokenVerdict
    features: FeatureDict | None = None
    decision: Decision | None = None
    tokens: tuple[str, ...] = ()
    body: bytes | None = None
    policy: int = 0  # the route policy of the clearance (see quelvar_guard.policies)


@dataclass(slots=True)
class RequestHead:
    """What the core reads of a request before its body.

    `header(name)` gives the value of a header named in lower case, several
    lines joined with ", ", or None; the guard's adapters read only the
    headers its walk asks for (`Guard.header_names`).
    """

    method: str
    path: str
    peer: str | None
    header: Callable[[str], str | None]


class Route(enum.Enum):
    TOKEN = "token"
    TELEMETRY = "telemetry"
    GUARDED = "guarded"


@dataclass(frozen=True, slots=True)
class Event:
    """How one walk ended, said once by the walk for the record and the
    metrics. `shadow`: a refusal the guard would have made but let through;
    `issued`: the tokens an allow handed out; `seconds`: a ban's length or a
    hold's."""

    route: Route
    decided: Decided
    code: str | None = None
    verdict: TokenVerdict | None = None
    reasons: tuple[str, ...] = ()
    seconds: int | None = None
    address: str | None = None
    path: str = ""
    status: int = 200
    policy: int = 0
    shadow: bool = False
    issued: int = 0


# What the walk asks of its adapter; each is answered with a value sent back in
# (or an exception thrown back in).
@dataclass(frozen=True, slots=True)
class Spend:  # -> True if the token was fresh (it is spent now), False if spent before
    token: str


@dataclass(frozen=True, slots=True)
class Admit:  # -> Admission: a unit taken from every budget of the address's networks, and its level
    address: str
    policy: int = 0


@dataclass(frozen=True, slots=True)
class Escalate:  # -> (level, bans within the offence window): the address's networks grow more suspect
    address: str
    amount: float
    ban: bool
    note: str = ""  # the decision, kept among the address's last (Guard.explain)


@dataclass(frozen=True, slots=True)
class ReadBody:  # -> bytes, or None if the client went away; TimeoutError thrown in if too slow
    length: int


@dataclass(frozen=True, slots=True)
class ParseBody:  # -> (FeatureDict, MoveDict), or ValueError thrown in
    body: bytes


@dataclass(frozen=True, slots=True)
class Decide:  # -> Decision; the one place telemetry is judged
    features: FeatureDict
    moves: MoveDict


@dataclass(frozen=True, slots=True)
class Ban:  # -> None
    address: str
    seconds: int


@dataclass(frozen=True, slots=True)
class VerifyCrawler:  # -> bool: the claimed crawler's address confirmed by its operator's DNS
    address: str
    crawler: str  # its name


Need = Spend | Admit | Escalate | VerifyCrawler | ReadBody | ParseBody | Decide | Ban
Outcome = Reply | Screened
Walk = Generator[Need, Any, Outcome]
