#!/bin/sh
# Builds the feature/evaluation tool with a trained detector compiled in, from
# a copy of the source tree, so the tree's own detector stays as committed:
#
#   training/build_with_detector.sh WEIGHTS.json OUT
#
# The tool lands in OUT/build/training/tool/qx_orb_train_tool, ready for
# detector_report.py (NAME=TOOL) and evaluate.py.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WEIGHTS=$(realpath "$1")
OUT=$(realpath -m "$2")
rm -rf "$OUT/src"
mkdir -p "$OUT/src"
# the working tree as it is, without build folders
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -c) | tar -x -C "$OUT/src"
/usr/bin/python3 "$OUT/src/tools/generate_vad_weights.py" --from "$WEIGHTS" >/dev/null
cmake -S "$OUT/src" -B "$OUT/build" -DCMAKE_BUILD_TYPE=Release -DQX_ORB_BUILD_TRAINING=ON \
  -DQX_ORB_BUILD_BENCH=OFF >/dev/null
nice -n 19 cmake --build "$OUT/build" -j"${QX_TRAINING_JOBS:-2}" --target qx_orb_train_tool >/dev/null
echo "$OUT/build/training/tool/qx_orb_train_tool"
