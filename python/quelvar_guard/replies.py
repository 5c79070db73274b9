"""The walk's own answers: the refusals (each built once where it has no
variable field) and the builders of the others, and the event a refusal
makes for the record and the metrics.

Refusals, each a short JSON body {"error": code, ...}:

    403 banned               address banned; Retry-After: seconds left
    429 too_many_tokens      token endpoint: the address spent its minting budget;
                             Retry-After and "retry_after"
    400 missing_token        no token header (a WebSocket: nor query parameter)
    400 malformed_token      not a token of this format (an earlier layout included)
    403 bad_signature        no configured secret signed it (forged or foreign)
    401 expired_token        older than its lifetime, or from the future; fetch a new one
    403 wrong_token_kind     a telemetry token on a guarded path, or a guarded token
                             posted as telemetry
    403 wrong_network        a bound token presented from another network
    409 replayed_token       genuine, but already spent
    405 method_not_allowed   token endpoint not GET, telemetry without a body method
    411 length_required      telemetry without Content-Length
    400 bad_content_length   a Content-Length that is not a whole number of bytes
    413 body_too_large       telemetry over the limit
    400 incomplete_body      the body ended before its Content-Length
    408 body_timeout         the body came too slowly (ASGI: a deadline and a minimum rate)
    400 malformed_telemetry  not JSON
    403 challenge            the callback wants fresh telemetry; "reasons"; with a hold,
                             Retry-After and "retry_after" (advisory)
    403 refused              the callback refused; "reasons"; with a ban, also Retry-After
    503 store_unavailable    a strict store could not reach its server
"""

from __future__ import annotations

import math

from .vocabulary import (
    REFUSAL_CODES,
    Decided,
    Event,
    Reply,
    RequestHead,
    Route,
    TokenVerdict,
)


def error_reply(
    status: int,
    code: str,
    headers: tuple[tuple[str, str], ...] = (),
    decided: Decided = Decided.REFUSE,
    **extra: object,
) -> Reply:
    return Reply(status, {"error": code, **extra}, headers, decided=decided)


# Every reply without a variable field, built once.
VERDICT_REPLIES = {
    TokenVerdict.MALFORMED: error_reply(400, REFUSAL_CODES[TokenVerdict.MALFORMED]),
    TokenVerdict.BAD_SIGNATURE: error_reply(403, REFUSAL_CODES[TokenVerdict.BAD_SIGNATURE]),
    TokenVerdict.EXPIRED: error_reply(401, REFUSAL_CODES[TokenVerdict.EXPIRED], (("WWW-Authenticate", "Token"),)),
    TokenVerdict.WRONG_KIND: error_reply(403, REFUSAL_CODES[TokenVerdict.WRONG_KIND]),
    TokenVerdict.WRONG_NETWORK: error_reply(403, REFUSAL_CODES[TokenVerdict.WRONG_NETWORK]),
    TokenVerdict.REPLAYED: error_reply(409, REFUSAL_CODES[TokenVerdict.REPLAYED]),
}
REPLAYED = VERDICT_REPLIES[TokenVerdict.REPLAYED]
MISSING_TOKEN = error_reply(400, "missing_token")
NOT_GET = error_reply(405, "method_not_allowed", (("Allow", "GET"),))
NOT_POST = error_reply(405, "method_not_allowed", (("Allow", "POST"),))
STORE_UNAVAILABLE = error_reply(503, "store_unavailable", decided=Decided.UNAVAILABLE)
LENGTH_REQUIRED = error_reply(411, "length_required")
BAD_CONTENT_LENGTH = error_reply(400, "bad_content_length")
INCOMPLETE_BODY = error_reply(400, "incomplete_body")
MALFORMED_TELEMETRY = error_reply(400, "malformed_telemetry")
BODY_TIMEOUT = error_reply(408, "body_timeout")
# A User-Agent that claims a crawler its operator's DNS does not confirm.
FAKE_CRAWLER = error_reply(403, "refused", reasons=["fake_crawler"])

# The scoring's two refusals; each is made after the token was spent, its verdict ok.
_DECIDED_BY = {"refused": Decided.REFUSE, "challenge": Decided.CHALLENGE}
# The verdict behind each refusal code of a token's check.
_VERDICT_OF_CODE = {code: verdict for verdict, code in REFUSAL_CODES.items()}
# The callback's refusals without a hold or reasons, the common case.
_PLAIN_REFUSALS = {
    code: error_reply(403, code, decided=_DECIDED_BY[code], reasons=[]) for code in ("refused", "challenge")
}


def too_many_tokens(wait: float) -> Reply:
    seconds = max(1, math.ceil(wait))
    return error_reply(429, "too_many_tokens", (("Retry-After", str(seconds)),), retry_after=seconds)


def decision_reply(code: str, seconds: int, reasons: tuple[str, ...]) -> Reply:
    if not seconds and not reasons:
        return _PLAIN_REFUSALS[code]
    if not seconds:
        return error_reply(403, code, decided=_DECIDED_BY[code], reasons=list(reasons))
    # The one place a refusal with seconds is a ban: the callback's refusal, never a challenge's hold.
    decided = Decided.BAN if code == "refused" else Decided.CHALLENGE
    return error_reply(403, code, (("Retry-After", str(seconds)),), decided, retry_after=seconds, reasons=list(reasons))


def refusal_event(reply: Reply, route: Route, head: RequestHead, address: str | None, shadow: bool = False) -> Event:
    """What a refusal of the walk's says to the record and the metrics."""
    payload = reply.payload
    code = str(payload["error"])
    decided = reply.decided or Decided.REFUSE
    verdict = TokenVerdict.OK if code in _DECIDED_BY else _VERDICT_OF_CODE.get(code)
    seconds = payload.get("retry_after")
    return Event(
        route,
        decided,
        code,
        verdict,
        tuple(payload.get("reasons", ())),  # type: ignore[arg-type]
        seconds if isinstance(seconds, int) else None,
        address,
        head.path,
        reply.status,
        shadow=shadow,
    )
