#!/usr/bin/env python3
"""Recorded speech measured honestly: leave one fold of corpora out.

    loco.py WORK TOOL RECIPE OUT_PREFIX [--seeds 1,2] [--minutes M] [--jobs 2]
            [--variant NAME:SECTION.KEY=VALUE,...] [--model MODEL.qx]

For every fold of recorded corpora (recorded.FOLDS) and every seed, trains
the recipe's classifier without that fold (WORK/models/loco-<fold>-s<seed>.qx,
kept when it exists, so a rerun resumes) and measures it through the
library on each left-out corpus (WORK/eval/recorded/<corpus>, make_eval.py)
and on held-out synthetic speech. Writes OUT_PREFIX.md and OUT_PREFIX.json:
per corpus and class, voiced frames and 20-second stretches, the
always-"unknown" baseline, the mean over corpora and the spread over seeds.
A variant changes recipe settings (section.key=value) for an ablation;
its models are named loco-<variant>-<fold>-s<seed>. --model measures one
given model (one that never heard recorded speech) on every fold instead.
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys

import numpy as np

import recipe
import recorded

HERE = os.path.dirname(os.path.abspath(__file__))
PY = "/usr/bin/python3"


def variant_recipe(work, base, variant):
    """The recipe with a variant's settings applied, written under WORK."""
    if not variant:
        return base
    name, _, settings = variant.partition(":")
    r = recipe.load(base)
    for item in filter(None, settings.split(",")):
        path, _, value = item.partition("=")
        section, key = path.split(".")
        r[section][key] = json.loads(value)
    out = f"{work}/models/recipe-{name}.json"
    os.makedirs(os.path.dirname(out), exist_ok=True)  # a fresh WORK has no models yet
    with open(out, "w") as f:
        json.dump(r, f, indent=1)
    return out


def train(work, recipe_path, fold, seed, minutes, name):
    model = f"{work}/models/{name}.qx"
    if not os.path.exists(f"{work}/models/{name}.checks.json"):
        cmd = ["nice", "-n", "19", PY, f"{HERE}/train.py", "classifier", work, recipe_path, "--seed", str(seed),
               "--leave-out", fold, "--name", name] + (["--minutes", str(minutes)] if minutes else [])
        with open(f"{work}/logs/{name}.log", "w") as log:
            subprocess.run(cmd, check=True, stdout=log, stderr=subprocess.STDOUT)
    return model


def evaluate(tool, model, folder, prefix):
    if not os.path.exists(prefix + ".json"):
        subprocess.run([PY, f"{HERE}/evaluate.py", tool, model, folder, prefix], check=True,
                       stdout=subprocess.DEVNULL)
    with open(prefix + ".json") as f:
        return json.load(f)


def pct(values):
    """Mean and, over several seeds, the range, in percent."""
    values = [100 * v for v in values if v == v]
    if not values:
        return "-"
    if len(values) == 1:
        return f"{values[0]:.1f}%"
    return f"{np.mean(values):.1f}% ({min(values):.1f}-{max(values):.1f})"


def report(results, seeds, out_prefix, title):
    corpora = sorted({c for fold in results.values() for c in fold["corpora"]})
    lines = [f"# {title}", "",
             "Each row: a corpus measured with models that never heard its fold of corpora, through the library "
             f"(threshold 0.5); seeds {', '.join(map(str, seeds))}: mean (range).", "",
             "| corpus | fold | frames | passed by the detector | voiced-frame accuracy | 20 s stretches | "
             "20 s accuracy | always \"unknown\" |",
             "|---|---|---|---|---|---|---|---|"]
    run_of = lambda corpus, seed: results[recorded.FOLDS[corpus]]["corpora"][corpus][str(seed)]
    for corpus in corpora:
        runs = [run_of(corpus, s) for s in seeds]
        passed = runs[0]["speech_voiced"] / max(1, runs[0]["speech_frames"])
        lines.append(f"| {corpus} | {recorded.FOLDS[corpus]} | {runs[0]['speech_frames']} | {100 * passed:.1f}% | "
                     f"{pct([r['accuracy'] for r in runs])} | "
                     f"{runs[0]['stretches']} | {pct([r['stretch_accuracy'] for r in runs])} | "
                     f"{pct([runs[0]['always_unknown']])} |")
    mean_frames = [float(np.nanmean([run_of(c, s)["accuracy"] for c in corpora])) for s in seeds]
    mean_stretches = [float(np.nanmean([run_of(c, s)["stretch_accuracy"] for c in corpora])) for s in seeds]
    # every corpus's voiced frames together: a corpus of a few frames moves the mean a lot
    pooled = [sum(run_of(c, s)["accuracy"] * run_of(c, s)["voiced_frames"] for c in corpora) /
              sum(run_of(c, s)["voiced_frames"] for c in corpora) for s in seeds]
    synthetic = [results[f]["synthetic"][str(s)]["accuracy"] for f in results for s in seeds]
    # alsa-utils fills one stretch: alone it moves the mean over corpora by a sixth either way
    big = [c for c in corpora if run_of(c, seeds[0])["stretches"] >= 10]
    mean_big = [float(np.mean([run_of(c, s)["stretch_accuracy"] for c in big])) for s in seeds]
    lines += ["", f"Mean over corpora: voiced frames {pct(mean_frames)}, 20-second stretches {pct(mean_stretches)}.",
              f"All corpora's voiced frames together: {pct(pooled)}. 20-second stretches, mean over the "
              f"{len(big)} corpora of at least 10 stretches: {pct(mean_big)}.",
              f"Held-out synthetic speech, the same models: {pct(synthetic)} of voiced frames.", "",
              "Per class (voiced frames, pooled over a fold's corpora; first seed):", "",
              "| corpus | class | voiced | accuracy | called unknown | 20 s accuracy |", "|---|---|---|---|---|---|"]
    for corpus in corpora:
        run = run_of(corpus, seeds[0])
        for label, c in run["classes"].items():
            if not c["voiced"]:  # the detector passed none of its frames
                continue
            lines.append(f"| {corpus} | {label} | {c['voiced']} | {100 * c['accuracy']:.1f}% | "
                         f"{100 * c['unknown']:.1f}% | {100 * c['stretch_accuracy']:.1f}% |")
    summary = {"mean_frame_accuracy": mean_frames, "mean_stretch_accuracy": mean_stretches,
               "pooled_frame_accuracy": pooled, "mean_stretch_accuracy_10": mean_big,
               "synthetic_accuracy": synthetic, "seeds": seeds, "folds": results}
    with open(out_prefix + ".md", "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(out_prefix + ".json", "w") as f:
        json.dump(summary, f, indent=1)
    print("\n".join(lines))
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("work")
    parser.add_argument("tool")
    parser.add_argument("recipe")
    parser.add_argument("out_prefix")
    parser.add_argument("--seeds", default="1,2")
    parser.add_argument("--minutes", type=float)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--variant", default="")
    parser.add_argument("--model", help="measure this model on every fold instead of training (one that "
                        "never heard recorded speech)")
    parser.add_argument("--title", default="Recorded speech, leaving one fold of corpora out")
    a = parser.parse_args()
    seeds = [int(s) for s in a.seeds.split(",")]
    os.makedirs(f"{a.work}/logs", exist_ok=True)
    recipe_path = variant_recipe(a.work, a.recipe, a.variant)
    tag = f"loco-{a.variant.partition(':')[0]}-" if a.variant else "loco-"
    folds = sorted(set(recorded.FOLDS.values()))
    runs = [(fold, seed) for fold in folds for seed in seeds]
    if a.model:
        seeds, runs = seeds[:1], [(fold, seeds[0]) for fold in folds]
        models = {run: a.model for run in runs}
    else:
        with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
            models = dict(zip(runs, pool.map(
                lambda run: train(a.work, recipe_path, run[0], run[1], a.minutes, f"{tag}{run[0]}-s{run[1]}"),
                runs)))
    results = {}
    eval_dir = f"{a.work}/eval/loco"
    os.makedirs(eval_dir, exist_ok=True)
    for (fold, seed), model in models.items():
        name = os.path.basename(model)[:-3] + (f"-{fold}" if a.model else "")
        entry = results.setdefault(fold, {"corpora": {}, "synthetic": {}})
        entry["synthetic"][str(seed)] = evaluate(a.tool, model, f"{a.work}/eval/synthetic",
                                                 f"{eval_dir}/{name}-synthetic")
        for corpus in sorted(c for c, f in recorded.FOLDS.items() if f == fold):
            folder = f"{a.work}/eval/recorded/{corpus}"
            if os.path.isdir(folder):
                entry["corpora"].setdefault(corpus, {})[str(seed)] = evaluate(
                    a.tool, model, folder, f"{eval_dir}/{name}-{corpus}")
    report(results, seeds, a.out_prefix, a.title)


if __name__ == "__main__":
    sys.exit(main())
