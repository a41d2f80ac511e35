#!/bin/sh
# One command from Debian packages to trained, exported and evaluated models:
#
#   training/run_all.sh [WORK [SCALE [DETECTOR_MINUTES [CLASSIFIER_MINUTES]]]]
#
# WORK (default /work/qx_training_work) keeps every intermediate result; each
# step is skipped when its output exists, so a rerun resumes where the last
# run stopped (delete a file to redo its step). SCALE is the number of
# synthetic training utterances per target language (espeak-ng adds
# QX_TRAINING_MORE_ESPEAK, default five, times as many short ones, three times
# that for the unknown class). Synthesis and
# features run QX_TRAINING_JOBS workers (default 2; the results do not depend
# on it). Heavy steps run under nice with one torch thread; run
# training/setup.sh once first (as root).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=${1:-/work/qx_training_work}
SCALE=${2:-300}
DET_MIN=${3:-20}
CLS_MIN=${4:-25}
CROPS=${QX_TRAINING_CROPS:-3}  # 2.048 s crops per training utterance
BUILD=${QX_TRAINING_BUILD:-$ROOT/build-training}
TOOL=$BUILD/training/tool/qx_orb_train_tool
PY="nice -n 19 /usr/bin/python3"  # Debian's python, which has torch
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
step "corpus (scale $SCALE)"; $PY corpus.py "$WORK" "$SCALE"
step "classifier features"
$PY data.py "$WORK" "$TOOL" classifier train "$CROPS"
$PY data.py "$WORK" "$TOOL" classifier test 2
step "detector features"
$PY data.py "$WORK" "$TOOL" detector train "${QX_DETECTOR_SECONDS:-$((SCALE * 36))}"
$PY data.py "$WORK" "$TOOL" detector test 1200
if [ ! -f "$WORK/models/vad_weights.json" ]; then
  step "train detector ($DET_MIN min)"; $PY train.py detector "$WORK" "$DET_MIN" | tee "$WORK/logs/train-detector.log"
fi
if [ ! -f "$WORK/models/classifier.qx" ]; then
  step "train classifier ($CLS_MIN min)"; $PY train.py classifier "$WORK" "$CLS_MIN" | tee "$WORK/logs/train-classifier.log"
fi
step "export"
/usr/bin/python3 "$ROOT/tools/generate_vad_weights.py" --from "$WORK/models/vad_weights.json"
cp "$WORK/models/classifier.qx" "$ROOT/models/default.qx"
build_tool  # the detector's tables are compiled into the library
step "evaluation"
$PY make_eval.py "$WORK"
mkdir -p "$ROOT/training/results"
for set in synthetic quiet real; do
  $PY evaluate.py "$TOOL" "$ROOT/models/default.qx" "$WORK/eval/$set" "$ROOT/training/results/$set"
done
/usr/bin/python3 -c "import sys; sys.path.insert(0, '.'); import train; train.update_meta('$WORK', scale=$SCALE, more_espeak=${QX_TRAINING_MORE_ESPEAK:-5}, pipeline_minutes=round(($(date +%s) - $START) / 60))"
step "model card"; $PY model_card.py "$WORK" "$ROOT"
step "done"
