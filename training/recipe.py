"""The recipe of a trained model: one JSON file a model (training/recipes/),
read by every step that needs a setting, so that a shipped model is made
again from its file alone.

    corpus      scale, more_espeak, crops, recorded_repeats, phrases: what to synthesise
                and how many crops of it (corpus.py, data.py)
    start       model (and the commit that holds it) to continue from, or null
    shape       hidden: the recurrent levels' widths
    schedule    minutes, peak_lr, batch, ema, unknown_weight, check_every; iterations,
                where given, bounds a run instead of the minutes (the same run whatever
                else the machine does)
    recorded    share of each batch taken from recorded speech; leave_out:
                folds of recorded corpora (recorded.FOLDS) never heard
    adversary   weight of the reversed gradient from the voice adversary
    phonetic    share of each batch taken from short phrases (phrases.py) and
                the weight of their phoneme-spelling loss (0: phrases with
                language labels only); absent: neither
    augment     warp: the vocal-tract-length warp of each crop's mel bands, a factor
                drawn from [1 - warp, 1 + warp] (train.mel_warp); absent: none
    seed        of the weights' start and the batches
    evaluation  seeds and minutes of the leave-one-fold-out runs (loco.py)
"""
import json
import os
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load(path):
    with open(path) as f:
        return json.load(f)


def start_model(recipe):
    """The starting model's path: the file as committed in start.commit
    (the shipped model is replaced by each run), or None."""
    start = recipe.get("start")
    if not start:
        return None
    if not start.get("commit"):
        return os.path.join(ROOT, start["model"])
    data = subprocess.run(["git", "-C", ROOT, "show", f"{start['commit']}:{start['model']}"], check=True,
                          capture_output=True).stdout
    out = os.path.join(tempfile.gettempdir(), f"qx-start-{start['commit']}.qx")
    # runs started together each write their own copy and swap it in whole
    with open(f"{out}.{os.getpid()}", "wb") as f:
        f.write(data)
    os.replace(f"{out}.{os.getpid()}", out)
    return out


if __name__ == "__main__":  # recipe.py FILE SECTION KEY: one value, for shell scripts
    import sys
    value = load(sys.argv[1])[sys.argv[2]][sys.argv[3]]
    print(",".join(map(str, value)) if isinstance(value, list) else value)
