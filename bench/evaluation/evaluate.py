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
from quelvar_guard.scoring.calibrate import calibrate, split_groups, synthetic_rows, threshold_for  # noqa: E402
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
    label: str  # "population/capture"
    population: str
    capture: str
    user: str | None
    telemetry: dict
    reasons: tuple[str, ...]
    old: bool
    row: list[float]
    targets: int  # moves towards a target (every human recording is one)
    full: bool  # every move has at least rules.MIN_POINTS points


def score_sets(kind: str, limit: int | None) -> dict[str, list[Scored]]:
    sets: dict[str, list[Scored]] = defaultdict(list)
    for name in corpora.names()[kind]:
        started = time.monotonic()
        try:
            sessions = corpora.load(name)
        except Exception as exc:  # a corpus that cannot be built here is reported, not fatal
            log(f"  {name}: skipped ({type(exc).__name__}: {exc})")
            print(f"(corpus {name} skipped: {type(exc).__name__}: {exc})")
            continue
        if limit is not None and len(sessions) > limit:
            sessions = random.Random(name).sample(sessions, limit)
        for session in sessions:
            features, moves = evidence(json.dumps(session.telemetry).encode())
            reasons = tuple(rules.check(features, moves))
            old = bool(features["webdriver"]) or (
                features["mouse_points"] >= OLD_MIN_POINTS and features["straightness"] >= OLD_STRAIGHT
            )
            label = f"{session.population}/{session.capture}"
            full = bool(moves["points"]) and min(moves["points"]) >= rules.MIN_POINTS
            sets[label].append(
                Scored(
                    label,
                    session.population,
                    session.capture,
                    session.user,
                    session.telemetry,
                    reasons,
                    old,
                    session_vector(features, moves),
                    getattr(session, "moves", 1),
                    full,
                )
            )
        log(f"  {name}: {len(sessions)} sessions scored in {time.monotonic() - started:.1f} s")
    return dict(sets)


def pct(part: float, whole: int) -> str:
    return f"{100.0 * part / whole:6.2f}" if whole else "     -"


def rule_table(title: str, sets: dict[str, list[Scored]]) -> dict[str, dict[str, float]]:
    """Each rule's share of each set, and what bans or flags over the sessions
    whose moves all have at least rules.MIN_POINTS points (the rules judge no
    shorter move)."""
    columns = (*RULE_CODES, "ban", "any", "old")
    print(
        f"\n{title} (% of sessions; the last three columns: sessions whose moves all have "
        f">= {rules.MIN_POINTS} points, their count and % banned or flagged)"
    )
    print(
        f"{'set':34s} {'sessions':>8s} "
        + " ".join(f"{c[:14]:>14s}" for c in columns)
        + f" {'full':>6s} {'ban full':>9s} {'any full':>9s}"
    )
    rates: dict[str, dict[str, float]] = {}
    for label, scored in sorted(sets.items()):
        counts = dict.fromkeys(columns, 0)
        full = ban_full = any_full = 0
        for s in scored:
            for reason in s.reasons:
                counts[reason] += 1
            banned = any(rules.RULES[r] == rules.BAN for r in s.reasons)
            counts["ban"] += banned
            counts["any"] += bool(s.reasons)
            counts["old"] += s.old
            if s.full:
                full += 1
                ban_full += banned
                any_full += bool(s.reasons)
        n = len(scored)
        rates[label] = {c: counts[c] / n for c in columns}
        print(
            f"{label:34s} {n:8d} "
            + " ".join(f"{pct(counts[c], n):>14s}" for c in columns)
            + f" {full:6d} {pct(ban_full, full):>9s} {pct(any_full, full):>9s}"
        )
    return rates


def groups_of(scored: Sequence[Scored]) -> tuple[list, str]:
    if all(s.user for s in scored) and len({s.user for s in scored}) >= 3:
        return [s.user for s in scored], "user"
    return list(range(len(scored))), "line"


def rate(model: Model, rows: Sequence[Sequence[float]], threshold: float) -> float:
    return sum(model.score(r) >= threshold for r in rows) / len(rows) if rows else float("nan")


def fit(humans: list[Scored], bots: list[list[float]] | None, seed: int, kind: str = "trees", synthetic: bool = False):
    """A calibrated model, its thresholds at TARGETS and the held-out test humans' rows."""
    groups, split = groups_of(humans)
    rows = [s.row for s in humans]

    def synthesize(indices: list[int]) -> list[list[float]]:
        key = (id(humans), seed, tuple(indices))
        if key not in _synthetic:  # the same humans give the same negatives: drawn once
            _synthetic[key] = synthetic_rows([s.telemetry for s in humans], indices, random.Random(seed))
        return _synthetic[key]

    content = calibrate(
        rows,
        groups,
        TARGETS[0],
        bots=bots,
        synthesize=synthesize if synthetic or not bots else None,
        kind=kind,
        seed=seed,
        split=split,
        hold_out_bots=False,
    )
    model = Model(content)
    _, hold, test = split_groups(groups, seed)
    hold_scores = [model.score(rows[i]) for i in hold]
    thresholds = {fpr: threshold_for(hold_scores, fpr) for fpr in TARGETS}
    unset.update(fpr for fpr in TARGETS if fpr * len(hold) < 1)
    return model, thresholds, [rows[i] for i in test], split


# Targets that a fit's threshold part was too small to set (fewer than 1/target sessions).
unset: set[float] = set()
_synthetic: dict[tuple, list[list[float]]] = {}


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
        return (
            [s.row for s, g in zip(scored, groups, strict=True) if g not in held],
            [s.row for s, g in zip(scored, groups, strict=True) if g in held],
        )

    a_train, a_test = halves(a)
    b_train, b_test = halves(b)
    model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=seed)
    model.fit(a_train + b_train, [0] * len(a_train) + [1] * len(b_train))
    scores = model.decision_function(a_test + b_test)
    return roc(scores[: len(a_test)], scores[len(a_test) :])


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
        note = "" if declared == allowed or declared != rules.BAN else "  <-- DECLARED BAN BUT MAY NOT"
        print(f"  {code:16s} worst {100 * worst:6.3f} % ({worst_label}): may {allowed}; declared {declared}{note}")
    worst_label = max(human_rates, key=lambda label: human_rates[label]["ban"])
    worst = human_rates[worst_label]["ban"]
    print(
        f"  {'all bans':16s} worst {100 * worst:6.3f} % ({worst_label})"
        + ("" if worst <= BAN_LIMIT else "  <-- OVER THE LIMIT")
    )

    # 2. Models. Every human recording is one move towards a target: the models
    # see the bots' single-move sessions only, or the count of moves would
    # tell them apart.
    single = {label: [s for s in scored if s.targets == 1] for label, scored in bots.items()}
    captured = {label: s for label, s in humans.items() if not label.endswith("/raw")} or humans
    main_label = max(captured, key=lambda label: (len({s.user for s in captured[label]}), len(captured[label])))
    bot_train, bot_test = split_bots(single, args.seed)
    pooled_bot_test = [r for rows in bot_test.values() for r in rows]
    curves: list[tuple[str, tuple]] = []
    short = {label: f"H{i + 1}" for i, label in enumerate(sorted(humans))}
    print(
        f"\nModels calibrated on one human population, with half of every bot set's single-move sessions "
        f"({len(bot_train)} for training, {len(pooled_bot_test)} held out)"
    )
    print(
        "threshold set on held-out users (lines where a set has no users) at the target rate; FPR (%) on every "
        "human set (the training set's own column: its test users, never seen), TPR (%) on the held-out bots"
    )
    print("  " + ", ".join(f"{code} = {label} ({len(humans[label])})" for label, code in short.items()))
    print(
        f"{'trained on':32s} {'kind':7s} {'target':>7s} "
        + " ".join(f"{code:>7s}" for code in short.values())
        + f" {'TPR bots':>9s}"
    )
    for label in sorted(captured):
        for kind in ("trees", "linear"):
            log(f"  fitting {kind} on {label} and the bots")
            unset.clear()
            model, thresholds, test_rows, split = fit(captured[label], bot_train, args.seed, kind)
            for target, threshold in thresholds.items():
                mark = "*" if target in unset else "%"
                cells = []
                for other in sorted(humans):
                    rows = test_rows if other == label else [s.row for s in humans[other]]
                    cells.append(f"{100 * rate(model, rows, threshold):7.2f}")
                print(
                    f"{label:32s} {kind:7s} {100 * target:6.1f}{mark} "
                    + " ".join(cells)
                    + f" {100 * rate(model, pooled_bot_test, threshold):9.2f}"
                )
            if kind == "trees" and label == main_label:
                neg = [model.score(r) for r in test_rows]
                curves.append(
                    (
                        f"trees on {label}: its held-out {split}s vs held-out bots",
                        roc(neg, [model.score(r) for r in pooled_bot_test]),
                    )
                )
                for other in sorted(humans):
                    if other != label:
                        curves.append(
                            (
                                f"trees on {label}: {other} vs held-out bots",
                                roc(
                                    [model.score(s.row) for s in humans[other]],
                                    [model.score(r) for r in pooled_bot_test],
                                ),
                            )
                        )

    print(
        "(* the threshold part has fewer sessions than 1/target: no threshold can be set at that rate, "
        "it sits above all of them)"
    )
    print(
        f"\nLeave one generator out: trees calibrated on {main_label} (thresholds on held-out users) with the "
        "other generators' single-move sessions, with them and synthetic negatives, or with synthetic negatives "
        "only; TPR (%) on the generator left out (all its single-move sessions)"
    )
    print(
        f"{'generator left out':26s} {'sessions':>8s} {'bots @1%':>9s} {'@0.1%':>7s} {'+synth @1%':>11s} {'@0.1%':>7s} "
        f"{'synth @1%':>10s} {'@0.1%':>7s}"
    )
    log("  fitting trees on synthetic negatives")
    synthetic, synthetic_thresholds, synthetic_test, _ = fit(captured[main_label], None, args.seed)
    curves.append(
        (
            f"trees on {main_label}, synthetic negatives: held-out users vs all bots",
            roc(
                [synthetic.score(r) for r in synthetic_test],
                [synthetic.score(s.row) for scored in single.values() for s in scored],
            ),
        )
    )
    # A generator is left out with every capture of it (captured and through Chromium).
    for left in sorted({label.split("/")[0] for label in single}):
        rows = [s.row for label, scored in single.items() if label.split("/")[0] == left for s in scored]
        rest = [s.row for label, scored in single.items() if label.split("/")[0] != left for s in scored]
        cells = []
        for with_synthetic in (False, True):
            log(f"  fitting trees without {left}{' and with synthetic negatives' if with_synthetic else ''}")
            model, thresholds, _, _ = fit(captured[main_label], rest, args.seed, synthetic=with_synthetic)
            cells += [rate(model, rows, t) for t in thresholds.values()]
        cells += [rate(synthetic, rows, t) for t in synthetic_thresholds.values()]
        print(
            f"{left:26s} {len(rows):8d} {100 * cells[0]:9.2f} {100 * cells[1]:7.2f} {100 * cells[2]:11.2f} "
            f"{100 * cells[3]:7.2f} {100 * cells[4]:10.2f} {100 * cells[5]:7.2f}"
        )
    print(
        "synthetic negatives only, FPR (%) at the 1 % threshold (on its own set: the test users): "
        + ", ".join(
            f"{short[label]} "
            f"{100 * rate(synthetic, synthetic_test if label == main_label else [s.row for s in scored], synthetic_thresholds[TARGETS[0]]):.2f}"
            for label, scored in sorted(humans.items())
        )
    )

    # 3. Controls
    print(
        "\nControls: a model trained to separate two sets of the same kind of movement "
        "(ROC AUC on held-out users or lines; 0.5 = cannot)"
    )
    pairs = []
    human_labels = sorted(humans)
    for i, a in enumerate(human_labels):
        for b in human_labels[i + 1 :]:
            pa, ca = a.split("/", 1)
            pb, cb = b.split("/", 1)
            if pa == pb or ca == cb:
                pairs.append((a, b))
    sets = {**humans, **single}
    # Bots that replay a human population's recordings, through the bots' capture
    # (the few Chromium sessions also differ by their browser block: left out).
    for bot in sorted(label for label in single if label.endswith("/captured")):
        for human in sorted(captured):
            if human.startswith(bot.split("/")[0] + "-"):
                pairs.append((human, bot))
    for a, b in pairs:
        log(f"  control {a} vs {b}")
        fpr, tpr, auc = control(sets[a], sets[b], args.seed)
        same = a.split("/")[0] == b.split("/")[0]
        what = (
            ("the same humans, re-stamped" if same else "two populations, one capture")
            if b in humans
            else ("bots replaying these recordings")
        )
        if b in humans:
            meaning = "the recorder is visible" if same else "the recorder or the population is visible"
        else:
            meaning = "the replay or the capture is visible, not the hand"
        verdict = f"SEPARABLE: {meaning}" if auc >= 0.9 else ("partly separable" if auc >= 0.7 else "not separable")
        print(f"  {a:31s} vs {b:31s} AUC {auc:.3f}  ({what}: {verdict})")
        curves.append((f"control: {a} vs {b}", (fpr, tpr, auc)))

    print(
        "  Where humans of one population are told from the same humans re-stamped, or one population from another "
        "through one capture, a model learns the recording, not the hand: a threshold or a rate carried from one "
        "population to another measures that too. Calibrate on the deployment's own traffic."
    )

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, "roc.png")
    draw(curves, path)
    print(f"\nROC curves: {path}")
    print(f"evaluation took {time.monotonic() - started:.0f} s")
    return 0


def draw(curves: list[tuple[str, tuple]], path: str) -> None:
    """Models against bots on the left (log false-positive axis), the controls on the right."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(15, 8))
    panels = (
        (axes[0], [c for c in curves if not c[0].startswith("control")], "log", "Models: humans against bots"),
        (
            axes[1],
            [c for c in curves if c[0].startswith("control")],
            "linear",
            "Controls: sets that should not separate",
        ),
    )
    for ax, chosen, scale, title in panels:
        colours = plt.get_cmap("tab20")
        for i, (name, (fpr, tpr, auc)) in enumerate(chosen):
            ax.plot(fpr, tpr, color=colours(i % 20), label=f"{name} (AUC {auc:.3f})")
        ax.set_xscale(scale)
        ax.set_xlim(1e-4 if scale == "log" else 0.0, 1.0)
        ax.set_ylim(0.0, 1.01)
        ax.set_xlabel("false-positive rate" + (" (log)" if scale == "log" else ""))
        ax.set_ylabel("true-positive rate")
        if scale == "log":
            for target in TARGETS:
                ax.axvline(target, color="grey", lw=0.5)
        ax.grid(alpha=0.3)
        ax.set_title(title)
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=1)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
