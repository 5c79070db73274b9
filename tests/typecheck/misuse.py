"""Wrong uses of the module. mypy --strict must report an error with the code
named in each `# expect:` comment on exactly those lines, and nowhere else.

Type-checked by tests/test_stubs.py, never run.
"""

import quelvar_core_rs as core

core.ban_ip_rs(5, 60)  # expect: arg-type
core.ban_ip_rs("203.0.113.7", 2.5)  # expect: arg-type
core.ban_ip_rs("203.0.113.7", "60")  # expect: arg-type
core.ban_ip_rs("203.0.113.7", duration=60)  # expect: call-arg
core.ban_ip_rs("203.0.113.7")  # expect: call-arg
core.consume_nonce_rs(b"token")  # expect: arg-type
core.consume_nonce_rs()  # expect: call-arg
core.unban_ip_rs(ip=None)  # expect: arg-type
core.is_ip_banned_rs(addr="203.0.113.7")  # expect: call-arg
core.is_rust_core_active(True)  # expect: call-arg
core.get_state_engine_stats_rs(reset=True)  # expect: call-arg
core.hydrate_bans_rs([["203.0.113.7", 1_900_000_000]])  # expect: list-item
core.hydrate_bans_rs("203.0.113.7")  # expect: arg-type
core.hydrate_bans_rs({("203.0.113.7", 1_900_000_000)})  # expect: arg-type
core.hydrate_bans_rs([("203.0.113.7", 1_900_000_000, "reason")])  # expect: list-item
core.hydrate_bans_rs([(1_900_000_000, "203.0.113.7")])  # expect: list-item

core.extract_evidence_json_rs({"mouse_movements": []})  # expect: arg-type
turns: list[int] = core.extract_evidence_json_rs(b"{}")[1]["turn_sum"]  # expect: assignment

features = core.extract_features_rs({})
velocity = features["max_speed"]  # expect: typeddict-item
clicks: str = features["click_count"]  # expect: assignment
features["webdriver"] = 1.5  # expect: typeddict-item
stats = core.get_state_engine_stats_rs()
bans = stats["active_bans"]  # expect: typeddict-item
version: bytes = core.get_core_version()  # expect: assignment
nothing = core.clear_state_engine_rs()  # expect: func-returns-value
core.extract_features_rs()  # expect: call-arg
core.frobnicate_rs()  # expect: attr-defined
