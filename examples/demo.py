"""Demo of quelvar_core_rs: the probes, the strict argument checks, the
features of the shipped sample sessions, the state engine at work, and a
signed one-time token spent once through quelvar_guard."""

import sys
from pathlib import Path

import quelvar_core_rs as core

# examples/ is a package (the servers import examples.<module>); run as a
# script, this file finds its siblings through the folder above it.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from examples import feature_demo, state_demo  # noqa: E402
from quelvar_guard import LocalStore, TokenKind, Tokens  # noqa: E402


def main() -> None:
    print(f"native core active: {core.is_rust_core_active()}")
    print(f"core version:       {core.get_core_version()}")
    print(f"functions:          {', '.join(core.__all__)}")
    try:
        core.ban_ip_rs("203.0.113.7", -5)
    except OverflowError as refused:
        print(f"refused ban_ip_rs('203.0.113.7', -5): OverflowError: {refused}")
    try:
        core.hydrate_bans_rs([("203.0.113.7", 1_900_000_000), ["198.51.100.2", 1_900_000_000]])  # type: ignore[list-item]  # deliberately wrong
    except TypeError as refused:
        print(f"refused a list in place of a tuple: TypeError: {refused}")
    print()
    feature_demo.main()
    print()
    state_demo.main()
    print()
    # Demo key only: a service keeps its own secret out of the code.
    tokens = Tokens(["demo secret, at least thirty-two bytes long"], LocalStore())
    token = tokens.issue(TokenKind.GUARDED)
    forged = token[:-1] + ("B" if token.endswith("A") else "A")
    checks = [tokens.check(text, TokenKind.GUARDED).value for text in (token, token, forged)]
    print(
        f"signed token issued ({len(token)} characters): first check {checks[0]}, "
        f"second check {checks[1]}, forged {checks[2]}, "
        f"as a telemetry token {tokens.check(token, TokenKind.TELEMETRY).value}"
    )


if __name__ == "__main__":
    main()
