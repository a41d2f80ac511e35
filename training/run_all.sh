#!/bin/sh
# One command from Debian packages to trained, exported and evaluated models:
#
#   training/run_all.sh [RECIPE [WORK [DETECTOR_MINUTES]]]
#
# DETECTOR_MINUTES 0 keeps the committed detector (tools/vad_weights.json).
# RECIPE (default training/recipes/default.json) holds every setting of the
# classifier: corpus size, start, shape, schedule, recorded speech, seeds.
# WORK (default /work/qx_training_work) keeps every intermediate result; each
# step is skipped when its output exists, so a rerun resumes where the last
# run stopped (delete a file to redo its step). Synthesis and features run
# QX_TRAINING_JOBS workers (default 2; the results do not depend on it), as
# do the leave-one-fold-out runs. Heavy steps run under nice with one torch
# thread; run training/setup.sh once first (as root).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RECIPE=$(realpath "${1:-$ROOT/training/recipes/default.json}")
WORK=${2:-/work/qx_training_work}
DET_MIN=${3:-20}
BUILD=${QX_TRAINING_BUILD:-$ROOT/build-training}
TOOL=$BUILD/training/tool/qx_orb_train_tool
PY="nice -n 19 /usr/bin/python3"  # Debian's python, which has torch
setting() { /usr/bin/python3 "$ROOT/training/recipe.py" "$RECIPE" "$1" "$2"; }
SCALE=$(setting corpus scale)
PHRASES=$(setting corpus phrases 2>/dev/null || echo 0)  # short phrases for the phonetic objective
cd "$ROOT/training"
mkdir -p "$WORK/logs"
START=$(date +%s)
step() { echo "== $(date -u +%H:%M:%S) $*"; }

build_tool() {
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQX_ORB_BUILD_TRAINING=ON \
    -DQX_ORB_BUILD_BENCH=OFF >/dev/null
  nice -n 19 cmake --build "$BUILD" -j1 --target qx_orb_train_tool >/dev/null
}

step "feature tool"; build_tool
step "texts"; $PY texts.py "$WORK"
step "corpus (scale $SCALE)"; $PY corpus.py "$WORK" "$RECIPE"
step "recorded speech"; $PY recorded.py "$WORK"
if [ "$PHRASES" != 0 ]; then
  step "short phrases and their phonemes"; $PY phrases.py "$WORK" "$RECIPE"
fi
step "classifier features"
$PY data.py "$WORK" "$TOOL" classifier train "$(setting corpus crops)"
$PY data.py "$WORK" "$TOOL" classifier test 2
$PY data.py "$WORK" "$TOOL" classifier recorded-train "$(setting corpus recorded_repeats)"
$PY data.py "$WORK" "$TOOL" classifier recorded-val 1
if [ "$PHRASES" != 0 ]; then
  $PY data.py "$WORK" "$TOOL" classifier phrases "$(setting corpus phrase_crops)"
fi
step "detector features"
$PY data.py "$WORK" "$TOOL" detector train "${QX_DETECTOR_SECONDS:-$((SCALE * 36))}"
$PY data.py "$WORK" "$TOOL" detector test 1200
if [ ! -f "$WORK/models/vad_weights.json" ] && [ "$DET_MIN" = 0 ]; then
  step "detector: the committed weights"; cp "$ROOT/tools/vad_weights.json" "$WORK/models/vad_weights.json"
fi
if [ ! -f "$WORK/models/vad_weights.json" ]; then
  step "train detector ($DET_MIN min)"; $PY train.py detector "$WORK" "$DET_MIN" | tee "$WORK/logs/train-detector.log"
fi
step "export detector"
/usr/bin/python3 "$ROOT/tools/generate_vad_weights.py" --from "$WORK/models/vad_weights.json"
build_tool  # the detector's tables are compiled into the library: every measurement below uses them
step "evaluation folders"; $PY make_eval.py "$WORK"
step "recorded speech, one fold of corpora left out at a time"
mkdir -p "$ROOT/training/results"
$PY loco.py "$WORK" "$TOOL" "$RECIPE" "$ROOT/training/results/recorded" \
  --jobs "${QX_TRAINING_JOBS:-2}" --seeds "$(setting evaluation seeds)" --minutes "$(setting evaluation minutes)"
START_MODEL=$(/usr/bin/python3 -c "import recipe; print(recipe.start_model(recipe.load('$RECIPE')) or '')")
if [ -n "$START_MODEL" ]; then  # the model the recipe continues, on the same streams
  $PY loco.py "$WORK" "$TOOL" "$RECIPE" "$ROOT/training/results/recorded-before" --model "$START_MODEL" \
    --title "Recorded speech: the model the recipe starts from, on the same streams"
fi
if [ ! -f "$WORK/models/classifier.qx" ]; then
  step "train classifier"; $PY train.py classifier "$WORK" "$RECIPE" | tee "$WORK/logs/train-classifier.log"
fi
step "export classifier"; cp "$WORK/models/classifier.qx" "$ROOT/models/default.qx"
step "evaluation"
for set in synthetic quiet; do
  $PY evaluate.py "$TOOL" "$ROOT/models/default.qx" "$WORK/eval/$set" "$ROOT/training/results/$set"
done
/usr/bin/python3 -c "import sys; sys.path.insert(0, '.'); import train; train.update_meta('$WORK', recipe='$RECIPE', pipeline_minutes=round(($(date +%s) - $START) / 60))"
step "model card"; $PY model_card.py "$WORK" "$ROOT"
step "done"
