"""Correct uses of the module; mypy --strict must accept this file as it is.

Type-checked by tests/test_stubs.py, never run.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, assert_type

import quelvar_core_rs as core

if TYPE_CHECKING:
    from quelvar_core_rs import EngineStats, FeatureDict, MoveDict, Telemetry

telemetry: Telemetry = {
    "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
    "mouse_movements": [{"x": 0, "y": 0, "t": 0}, {"x": 3.5, "y": 4, "t": 16}],
    "keystrokes": [{"down": 12.5}, {"t": 80}],
    "clicks": [{"x": 1, "y": 2}],
    "scrolls": [],
}
features = core.extract_features_rs(telemetry)
assert_type(features, FeatureDict)
assert_type(features["mouse_points"], int)
assert_type(features["straightness"], float)
assert_type(features["webdriver"], bool)
assert_type(features["plugins_length"], int)
assert_type(core.extract_features_rs(None), FeatureDict)
assert_type(core.extract_features_rs(telemetry=[1, 2, 3]), FeatureDict)

evidence, moves = core.extract_evidence_json_rs(b'{"mouse_movements": []}')
assert_type(evidence, FeatureDict)
assert_type(moves, MoveDict)
assert_type(moves["points"], list[int])
assert_type(moves["max_deviation"][0], float)
assert_type(core.extract_evidence_json_rs(body=bytearray(b"{}")), tuple[FeatureDict, MoveDict])

assert_type(core.is_rust_core_active(), Literal[True])
assert_type(core.get_core_version(), str)
assert_type(core.consume_nonce_rs("token"), bool)
assert_type(core.consume_nonce_rs(nonce="token"), bool)
assert_type(core.is_ip_banned_rs(ip="203.0.113.7"), bool)

core.ban_ip_rs("203.0.113.7", 600)
core.ban_ip_rs(duration_sec=600, ip="203.0.113.7")
core.ban_ip_rs("203.0.113.7", True)
core.unban_ip_rs("203.0.113.7")
core.hydrate_bans_rs([("203.0.113.7", 1_900_000_000)])
core.hydrate_bans_rs((("203.0.113.7", 1_900_000_000), ("2001:db8::1", 1_900_000_060)))
core.hydrate_bans_rs(bans=[])
core.clear_state_engine_rs()

stats = core.get_state_engine_stats_rs()
assert_type(stats, EngineStats)
assert_type(stats["active_ip_bans"], int)
assert_type(core.__all__, list[str])
