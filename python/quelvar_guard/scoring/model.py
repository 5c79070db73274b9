"""A calibrated model read from one small JSON file, evaluated in plain Python.

The file (written by `python -m quelvar_guard.scoring calibrate`):

    {"format": "quelvar-scoring-model", "version": 1,
     "features": [...],                    # must equal vector.FEATURE_NAMES
     "kind": "trees",                      # boosted trees: raw = init + rate * sum(leaf)
     "init": float, "rate": float,
     "trees": [[feature, threshold, left, right, value], ...],   # one list of columns per tree
     "kind": "linear",                     # or logistic weights: raw = bias + sum(w * (x - mean) / scale)
     "mean": [...], "scale": [...], "weights": [...], "bias": float,
     "thresholds": {"challenge": float},   # score at or above it: challenge
     "calibration": {...}}                 # how it was fitted and what was measured on held-out data

The score is the logistic of the raw value, in [0, 1]. A model never bans: it
only has a challenge threshold.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Sequence
from operator import mul
from typing import Any

from .vector import FEATURE_NAMES

__all__ = ["FORMAT", "VERSION", "Model", "ModelError"]

FORMAT = "quelvar-scoring-model"
VERSION = 1


class ModelError(ValueError):
    """The model file is not one this version can evaluate."""


def _floats(value: Any, what: str, length: int | None = None) -> list[float]:
    if not isinstance(value, list) or (length is not None and len(value) != length):
        raise ModelError(f"{what}: expected a list" + (f" of {length} numbers" if length is not None else ""))
    out = []
    for item in value:
        if isinstance(item, bool) or not isinstance(item, (int, float)) or not math.isfinite(item):
            raise ModelError(f"{what}: {item!r} is not a finite number")
        out.append(float(item))
    return out


def _ints(value: Any, what: str, length: int, low: int, high: int) -> list[int]:
    if not isinstance(value, list) or len(value) != length:
        raise ModelError(f"{what}: expected a list of {length} integers")
    for item in value:
        if isinstance(item, bool) or not isinstance(item, int) or not low <= item < high:
            raise ModelError(f"{what}: {item!r} is not an integer in [{low}, {high})")
    return value


# Deeper trees are refused: each is compiled to nested conditionals (see _compile).
MAX_DEPTH = 32


def _tree(content: Any, index: int, width: int) -> tuple[list[int], list[float], list[int], list[int], list[float]]:
    what = f"tree {index}"
    if not isinstance(content, list) or len(content) != 5 or not isinstance(content[0], list) or not content[0]:
        raise ModelError(f"{what}: expected [feature, threshold, left, right, value] columns")
    nodes = len(content[0])
    feature = _ints(content[0], f"{what} feature", nodes, -1, width)
    threshold = _floats(content[1], f"{what} threshold", nodes)
    left = _ints(content[2], f"{what} left", nodes, -1, nodes)
    right = _ints(content[3], f"{what} right", nodes, -1, nodes)
    value = _floats(content[4], f"{what} value", nodes)
    for node in range(nodes):
        # Children come after their parent, so every walk ends; a leaf has none and no feature.
        leaf = left[node] == -1
        if leaf != (right[node] == -1) or leaf != (feature[node] == -1):
            raise ModelError(f"{what}: node {node} is half a leaf")
        if not leaf and not (node < left[node] and node < right[node]):
            raise ModelError(f"{what}: node {node} points backwards")
    depth = [0] * nodes
    for node in range(nodes):
        if feature[node] >= 0:
            depth[left[node]] = depth[right[node]] = depth[node] + 1
    if max(depth) > MAX_DEPTH:
        raise ModelError(f"{what}: deeper than {MAX_DEPTH}")
    return feature, threshold, left, right, value


def _compile(trees: list[tuple[list[int], list[float], list[int], list[int], list[float]]]) -> Any:
    """The sum of the trees' leaves as one function of nested conditionals:
    about three times faster than walking node arrays in a loop. The source
    holds only validated integers and finite floats, written here."""
    lines = ["def leaves(x):", " t = 0.0"]

    def node(tree: tuple[list[int], list[float], list[int], list[int], list[float]], i: int, indent: str) -> None:
        feature, threshold, left, right, value = tree
        if feature[i] < 0:
            lines.append(f"{indent}t += {value[i]!r}")
            return
        lines.append(f"{indent}if x[{feature[i]}] <= {threshold[i]!r}:")
        node(tree, left[i], indent + " ")
        lines.append(f"{indent}else:")
        node(tree, right[i], indent + " ")

    for tree in trees:
        node(tree, 0, " ")
    lines.append(" return t")
    namespace: dict[str, Any] = {"__builtins__": {}}
    exec(compile("\n".join(lines), "<quelvar scoring trees>", "exec"), namespace)
    return namespace["leaves"]


class Model:
    """A fitted model: `score(row)` in [0, 1], `challenge` the threshold."""

    def __init__(self, content: dict[str, Any]) -> None:
        if not isinstance(content, dict) or content.get("format") != FORMAT:
            raise ModelError(f"not a {FORMAT} file")
        if content.get("version") != VERSION:
            raise ModelError(f"model version {content.get('version')!r}; this reads version {VERSION}")
        if content.get("features") != list(FEATURE_NAMES):
            raise ModelError("the model was fitted on another feature list; calibrate it again")
        width = len(FEATURE_NAMES)
        thresholds = content.get("thresholds")
        if not isinstance(thresholds, dict):
            raise ModelError("thresholds: expected an object")
        self.challenge = _floats([thresholds.get("challenge")], "thresholds.challenge")[0]
        self.kind = content.get("kind")
        if self.kind == "trees":
            self._init = _floats([content.get("init")], "init")[0]
            self._rate = _floats([content.get("rate")], "rate")[0]
            trees = content.get("trees")
            if not isinstance(trees, list) or not trees:
                raise ModelError("trees: expected a non-empty list")
            self._leaves = _compile([_tree(tree, i, width) for i, tree in enumerate(trees)])
        elif self.kind == "linear":
            self._mean = _floats(content.get("mean"), "mean", width)
            self._scale = _floats(content.get("scale"), "scale", width)
            if any(s <= 0.0 for s in self._scale):
                raise ModelError("scale: every entry must be positive")
            weights = _floats(content.get("weights"), "weights", width)
            # Folded once: raw = bias' + sum(w' * x).
            self._weights = [w / s for w, s in zip(weights, self._scale, strict=True)]
            self._bias = _floats([content.get("bias")], "bias")[0] - sum(
                w * m for w, m in zip(self._weights, self._mean, strict=True)
            )
        else:
            raise ModelError(f"kind {self.kind!r}: expected 'trees' or 'linear'")
        calibration = content.get("calibration", {})
        self.calibration: dict[str, Any] = calibration if isinstance(calibration, dict) else {}
        self.content = content

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Model:
        with open(path, encoding="utf-8") as file:
            try:
                content = json.load(file)
            except ValueError as exc:
                raise ModelError(f"{os.fspath(path)}: not JSON ({exc})") from None
        return cls(content)

    def raw(self, row: Sequence[float]) -> float:
        if self.kind == "linear":
            return self._bias + float(sum(map(mul, self._weights, row)))
        return self._init + self._rate * float(self._leaves(row))

    def score(self, row: Sequence[float]) -> float:
        raw = self.raw(row)
        if raw >= 0.0:
            return 1.0 / (1.0 + math.exp(-raw))
        e = math.exp(raw)
        return e / (1.0 + e)
