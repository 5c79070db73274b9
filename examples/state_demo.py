"""Demo of the state engine: a replayed token, then a ban that is checked,
hydrated and lifted, with the engine's statistics after each step."""

import time

import quelvar_core_rs as core

ADDRESS = "203.0.113.7"


def show_stats(step: str) -> None:
    counts = ", ".join(f"{key}={value}" for key, value in core.get_state_engine_stats_rs().items())
    print(f"  {step:<47} {counts}")


def main() -> None:
    core.clear_state_engine_rs()
    print("state engine:")
    show_stats("fresh engine")

    token = "Jb0x_3kQz9-LmN2pRsTuVw"
    print(f"  consume_nonce_rs({token!r}) -> {core.consume_nonce_rs(token)}")
    show_stats("after the first use of the token")
    print(f"  consume_nonce_rs({token!r}) -> {core.consume_nonce_rs(token)} (replay)")
    show_stats("after the replay")

    core.ban_ip_rs(ADDRESS, 3600)
    show_stats(f"after ban_ip_rs({ADDRESS!r}, 3600)")
    print(f"  is_ip_banned_rs({ADDRESS!r}) -> {core.is_ip_banned_rs(ADDRESS)}")
    print(f"  is_ip_banned_rs('198.51.100.2') -> {core.is_ip_banned_rs('198.51.100.2')}")

    now = int(time.time())
    saved = [(ADDRESS, now + 7200), ("198.51.100.2", now + 600), ("192.0.2.44", now - 5)]
    core.hydrate_bans_rs(saved)
    show_stats("after hydrating 3 pairs (one already expired)")
    print(f"  is_ip_banned_rs('198.51.100.2') -> {core.is_ip_banned_rs('198.51.100.2')}")
    print(f"  is_ip_banned_rs('192.0.2.44') -> {core.is_ip_banned_rs('192.0.2.44')}")

    core.unban_ip_rs(ADDRESS)
    show_stats(f"after unban_ip_rs({ADDRESS!r})")
    print(f"  is_ip_banned_rs({ADDRESS!r}) -> {core.is_ip_banned_rs(ADDRESS)}")

    core.clear_state_engine_rs()
    show_stats("after clear_state_engine_rs()")


if __name__ == "__main__":
    main()
