"""Demo of extract_features_rs: the features of a recorded-looking human
session and of a scripted bot, side by side."""

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
    features: dict[str, dict[str, Any]] = {
        name: dict(core.extract_features_rs(json.loads((SESSIONS / f"{name}.json").read_text()))) for name in names
    }
    print(f"{'feature':<22}{names[0]:>14}{names[1]:>14}")
    for key in features[names[0]]:
        print(f"{key:<22}" + "".join(f"{shown(features[name][key]):>14}" for name in names))


if __name__ == "__main__":
    main()
