"""Demo of the feature functions: the features of a recorded-looking human
session and of a scripted bot, side by side, computed straight from the JSON
bytes (extract_features_json_rs) and checked against the decoded-dict path."""

import json
from pathlib import Path
from typing import Any

import quelvar_core_rs as core

SESSIONS = Path(__file__).resolve().parent / "sessions"


def shown(value: object) -> str:
    if isinstance(value, bool) or isinstance(value, int):
        return str(value)
    return f"{value:.6g}"


def main() -> None:
    names = ("human", "bot")
    # Plain dicts here: the rows are read by key names taken from the result.
    bodies = {name: (SESSIONS / f"{name}.json").read_bytes() for name in names}
    features: dict[str, dict[str, Any]] = {name: dict(core.extract_features_json_rs(bodies[name])) for name in names}
    for name in names:
        assert features[name] == core.extract_features_rs(json.loads(bodies[name])), name
    print(f"{'feature':<22}{names[0]:>14}{names[1]:>14}")
    for key in features[names[0]]:
        print(f"{key:<22}" + "".join(f"{shown(features[name][key]):>14}" for name in names))


if __name__ == "__main__":
    main()
