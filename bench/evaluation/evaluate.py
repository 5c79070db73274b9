"""How well the scoring separates bots from humans, measured on the corpora.

    python bench/evaluation/evaluate.py [--quick] [--out build/evaluation]

A benchmark, not a test: it prints tables and draws the ROC curves to
<out>/roc.png. Every session goes through the same path as in service: its
telemetry as a JSON body into extract_evidence_json_rs, then the rules and the
model's row.

1. Rules: the share of each bot set each rule catches, and of each human set
   (each population, raw and captured) each rule flags: its false-positive rate.
   A rule may ban only at 0.1 % or less on every human set. The old example's
   rules (webdriver, or whole-session straightness >= 0.999 over >= 20 points)
   are measured beside them.
2. Models, calibrated like `python -m quelvar_guard.scoring calibrate`: on one
   human population (split by user), threshold set on held-out users at 1 % and
   0.1 %, the rate measured on other held-out users and on every other human
   set; leave-one-generator-out: the true-positive rate on a generator the model
   never saw; and the model with synthetic negatives (no bots at all).
3. Controls: a model asked to tell two human populations apart, and one asked
   to tell humans from the same humans re-stamped. If either succeeds, what
   separates the populations is the recorder, and the figures above that
   compare sets of different captures measure it too.

Needs scikit-learn and matplotlib (requirements-dev.txt); the corpora are
built by bench/evaluation/corpora.py on first use.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import sys
import time
from collections import defaultdict
from collections.abc import Sequence
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

from bench.evaluation import corpora  # noqa: E402
from quelvar_guard.scoring import evidence, rules  # noqa: E402
from quelvar_guard.scoring.calibrate import calibrate, split_groups, synthetic_bot, threshold_for  # noqa: E402
from quelvar_guard.scoring.model import Model  # noqa: E402
from quelvar_guard.scoring.vector import session_vector  # noqa: E402

RULE_CODES = tuple(rules.RULES)
# The example callback this replaces (examples/web_scoring.py), for comparison.
OLD_STRAIGHT, OLD_MIN_POINTS = 0.999, 20
TARGETS = (0.01, 0.001)
BAN_LIMIT = 0.001


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


@dataclass
class Scored:
    label: str            # "population/capture"
    population: str
    capture: str
    user: str | None
    telemetry: dict
    reasons: tuple[str, ...]
    old: bool
    row: list[float]


def score_sets(kind: str, limit: int | None) -> dict[str, list[Scored]]:
    sets: dict[str, list[Scored]] = defaultdict(list)
    for name in corpora.names()[kind]:
        started = time.monotonic()
        sessions = corpora.load(name)
        if limit is not None and len(sessions) > limit:
            sessions = random.Random(name).sample(sessions, limit)
        for session in sessions:
            features, moves = evidence(json.dumps(session.telemetry).encode())
            reasons = tuple(rules.check(features, moves))
            old = bool(features["webdriver"]) or (
                features["mouse_points"] >= OLD_MIN_POINTS and features["straightness"] >= OLD_STRAIGHT)
            label = f"{session.population}/{session.capture}"
            sets[label].append(Scored(label, session.population, session.capture, session.user,
                                      session.telemetry, reasons, old, session_vector(features, moves)))
        log(f"  {name}: {len(sessions)} sessions scored in {time.monotonic() - started:.1f} s")
    return dict(sets)


def pct(part: float, whole: int) -> str:
    return f"{100.0 * part / whole:6.2f}" if whole else "     -"


def rule_table(title: str, sets: dict[str, list[Scored]]) -> dict[str, dict[str, float]]:
    columns = (*RULE_CODES, "ban", "any", "old")
    print(f"\n{title} (% of sessions)")
    print(f"{'set':34s} {'sessions':>8s} " + " ".join(f"{c[:14]:>14s}" for c in columns))
    rates: dict[str, dict[str, float]] = {}
    for label, scored in sorted(sets.items()):
        counts = dict.fromkeys(columns, 0)
        for s in scored:
            for reason in s.reasons:
                counts[reason] += 1
            counts["ban"] += any(rules.RULES[r] == rules.BAN for r in s.reasons)
            counts["any"] += bool(s.reasons)
            counts["old"] += s.old
        n = len(scored)
        rates[label] = {c: counts[c] / n for c in columns}
        print(f"{label:34s} {n:8d} " + " ".join(f"{pct(counts[c], n):>14s}" for c in columns))
    return rates


def groups_of(scored: Sequence[Scored]) -> tuple[list, str]:
    if all(s.user for s in scored) and len({s.user for s in scored}) >= 3:
        return [s.user for s in scored], "user"
    return list(range(len(scored))), "line"


def rate(model: Model, rows: Sequence[Sequence[float]], threshold: float) -> float:
    return sum(model.score(r) >= threshold for r in rows) / len(rows) if rows else float("nan")


def fit(humans: list[Scored], bots: list[list[float]] | None, seed: int, kind: str = "trees"):
    """A calibrated model, its thresholds at TARGETS and the held-out test humans' rows."""
    groups, split = groups_of(humans)
    rows = [s.row for s in humans]

    def synthesize(indices: list[int]) -> list[list[float]]:
        rng = random.Random(seed)
        out = []
        for i in indices:
            bot = synthetic_bot(humans[i].telemetry, rng)
            if bot is not None:
                out.append(session_vector(*evidence(json.dumps(bot).encode())))
        return out

    spec = calibrate(rows, groups, TARGETS[0], bots=bots, synthesize=synthesize, kind=kind, seed=seed,
                     split=split, hold_out_bots=False)
    model = Model(spec)
    _, hold, test = split_groups(groups, seed)
    hold_scores = [model.score(rows[i]) for i in hold]
    thresholds = {fpr: threshold_for(hold_scores, fpr) for fpr in TARGETS}
    return model, thresholds, [rows[i] for i in test], split


def split_bots(bots: dict[str, list[Scored]], seed: int) -> tuple[list[list[float]], dict[str, list[list[float]]]]:
    """Training rows of every bot set, and the rest of each held out (by session)."""
    train, test = [], {}
    for label, scored in sorted(bots.items()):
        order = list(range(len(scored)))
        random.Random(f"{seed}{label}").shuffle(order)
        cut = len(order) // 2
        train += [scored[i].row for i in order[cut:]]
        test[label] = [scored[i].row for i in order[:cut]]
    return train, test


def roc(scores_neg: Sequence[float], scores_pos: Sequence[float]):
    from sklearn.metrics import roc_auc_score, roc_curve

    labels = [0] * len(scores_neg) + [1] * len(scores_pos)
    scores = list(scores_neg) + list(scores_pos)
    fpr, tpr, _ = roc_curve(labels, scores)
    return fpr, tpr, roc_auc_score(labels, scores)


def control(a: list[Scored], b: list[Scored], seed: int):
    """ROC of a model trained to tell set a from set b, measured on held-out users (or lines) of both."""
    from sklearn.ensemble import GradientBoostingClassifier

    def halves(scored: list[Scored]) -> tuple[list, list]:
        groups, _ = groups_of(scored)
        distinct = sorted(set(groups), key=str)
        random.Random(seed).shuffle(distinct)
        held = set(distinct[: max(1, len(distinct) // 2)])
        return ([s.row for s, g in zip(scored, groups) if g not in held],
                [s.row for s, g in zip(scored, groups) if g in held])

    a_train, a_test = halves(a)
    b_train, b_test = halves(b)
    model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=seed)
    model.fit(a_train + b_train, [0] * len(a_train) + [1] * len(b_train))
    scores = model.decision_function(a_test + b_test)
    return roc(scores[: len(a_test)], scores[len(a_test):])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "evaluation"))
    parser.add_argument("--quick", action="store_true", help="at most 1,500 sessions per set")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    started = time.monotonic()
    limit = 1500 if args.quick else None
    log("scoring the corpora")
    humans = score_sets("humans", limit)
    bots = score_sets("bots", limit)

    # 1. Rules
    rule_table("Rules on bot sets: catch rate", bots)
    human_rates = rule_table("Rules on human sets: false-positive rate", humans)
    print(f"\nWhich rules may ban (false-positive rate <= {100 * BAN_LIMIT:.1f} % on every human set):")
    for code in RULE_CODES:
        worst_label = max(human_rates, key=lambda label: human_rates[label][code])
        worst = human_rates[worst_label][code]
        allowed = "ban" if worst <= BAN_LIMIT else "challenge"
        declared = rules.RULES[code]
        note = "" if declared == allowed or (declared == rules.CHALLENGE) else "  <-- DECLARED BAN BUT MAY NOT"
        print(f"  {code:16s} worst {100 * worst:6.3f} % ({worst_label}): may {allowed}; declared {declared}{note}")

    # 2. Models
    captured = {label: s for label, s in humans.items() if not label.endswith("/raw")} or humans
    main_label = max(captured, key=lambda label: (len({s.user for s in captured[label]}), len(captured[label])))
    bot_train, bot_test = split_bots(bots, args.seed)
    pooled_bot_test = [r for rows in bot_test.values() for r in rows]
    curves: list[tuple[str, tuple]] = []
    print("\nModels calibrated on one human population (threshold on held-out users), with half of every bot set")
    header = f"{'trained on':28s} {'kind':7s} {'target':>7s} {'same pop. held-out':>18s} " + " ".join(
        f"{label[:18]:>18s}" for label in sorted(humans)) + f" {'TPR bots':>9s}"
    print("FPR (%) on humans and TPR (%) on held-out bot sessions")
    print(header)
    for label in sorted(captured):
        for kind in ("trees", "linear"):
            log(f"  fitting {kind} on {label} and the bots")
            model, thresholds, test_rows, split = fit(captured[label], bot_train, args.seed, kind)
            for target, threshold in thresholds.items():
                cells = []
                for other in sorted(humans):
                    rows = test_rows if other == label else [s.row for s in humans[other]]
                    cells.append(f"{100 * rate(model, rows, threshold):18.3f}")
                print(f"{label:28s} {kind:7s} {100 * target:6.1f}% {100 * rate(model, test_rows, threshold):18.3f} "
                      + " ".join(cells) + f" {100 * rate(model, pooled_bot_test, threshold):9.2f}")
            if kind == "trees" and label == main_label:
                neg = [model.score(r) for r in test_rows]
                curves.append((f"trees, {label} held-out {split}s vs held-out bots",
                               roc(neg, [model.score(r) for r in pooled_bot_test])))
                for other in sorted(humans):
                    if other != label:
                        curves.append((f"trees, {other} vs held-out bots",
                                       roc([model.score(s.row) for s in humans[other]],
                                           [model.score(r) for r in pooled_bot_test])))
    print(f"(columns: each human set; on the training population itself, its held-out test {split}s)")

    print(f"\nLeave one generator out: trained on {main_label} and every other bot set; "
          "TPR (%) on the one left out, thresholds on held-out users")
    print(f"{'left out':34s} {'sessions':>8s} {'TPR@1%':>8s} {'TPR@0.1%':>9s}   "
          f"{'synthetic negatives: TPR@1%':>27s} {'TPR@0.1%':>9s}")
    log("  fitting trees on synthetic negatives")
    synthetic, synthetic_thresholds, synthetic_test, _ = fit(captured[main_label], None, args.seed)
    curves.append((f"trees, synthetic negatives, {main_label} held-out vs all bots",
                   roc([synthetic.score(r) for r in synthetic_test],
                       [synthetic.score(s.row) for scored in bots.values() for s in scored])))
    for left in sorted(bots):
        log(f"  fitting trees without {left}")
        rest = [s.row for label, scored in bots.items() if label != left for s in scored]
        model, thresholds, _, _ = fit(captured[main_label], rest, args.seed)
        rows = [s.row for s in bots[left]]
        print(f"{left:34s} {len(rows):8d} " + " ".join(f"{100 * rate(model, rows, t):8.2f}" for t in thresholds.values())
              + "   " + f"{100 * rate(synthetic, rows, synthetic_thresholds[TARGETS[0]]):27.2f}"
              + f" {100 * rate(synthetic, rows, synthetic_thresholds[TARGETS[1]]):9.2f}")
    print("synthetic negatives, FPR (%) at the 1 % threshold: " + ", ".join(
        f"{label} {100 * rate(synthetic, [s.row for s in scored], synthetic_thresholds[TARGETS[0]]):.2f}"
        for label, scored in sorted(humans.items())))

    # 3. Controls
    print("\nControls: a model trained to separate two human sets (ROC AUC on held-out users; 0.5 = cannot)")
    pairs = []
    human_labels = sorted(humans)
    for i, a in enumerate(human_labels):
        for b in human_labels[i + 1:]:
            pa, ca = a.split("/", 1)
            pb, cb = b.split("/", 1)
            if pa == pb or ca == cb:
                pairs.append((a, b))
    for a, b in pairs:
        log(f"  control {a} vs {b}")
        fpr, tpr, auc = control(humans[a], humans[b], args.seed)
        same = a.split("/")[0] == b.split("/")[0]
        what = "the same humans, re-stamped" if same else "two populations, one capture"
        verdict = "SEPARABLE: the recorder (or population) is visible" if auc >= 0.9 else (
            "partly separable" if auc >= 0.7 else "not separable")
        print(f"  {a:28s} vs {b:28s} AUC {auc:.3f}  ({what}: {verdict})")
        curves.append((f"control: {a} vs {b}", (fpr, tpr, auc)))

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "roc.png")
    draw(curves, path)
    print(f"\nROC curves: {path}")
    print(f"evaluation took {time.monotonic() - started:.0f} s")
    return 0


def draw(curves: list[tuple[str, tuple]], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(14, 6))
    for ax, scale in zip(axes, ("linear", "log")):
        for name, (fpr, tpr, auc) in curves:
            style = "--" if name.startswith("control") else "-"
            ax.plot(fpr, tpr, style, label=f"{name} (AUC {auc:.3f})")
        ax.set_xscale(scale)
        ax.set_xlim(1e-4 if scale == "log" else 0.0, 1.0)
        ax.set_ylim(0.0, 1.01)
        ax.set_xlabel("false-positive rate (humans)" + (" (log)" if scale == "log" else ""))
        ax.set_ylabel("true-positive rate (bots)")
        for target in TARGETS:
            ax.axvline(target, color="grey", lw=0.5)
        ax.grid(alpha=0.3)
    axes[0].set_title("ROC")
    axes[1].set_title("ROC, low false-positive rates")
    axes[1].legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
