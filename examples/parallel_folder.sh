#!/usr/bin/env bash
# Identifies the language of every audio file under a folder with GNU parallel
# and the qx-orb command, for machines without Python.
#
#   examples/parallel_folder.sh FOLDER results.jsonl [JOBS]
#
# Each line of `qx-orb --json FILE` (frames, then the file's segments and
# verdict) becomes a line of one JSON Lines table, with the file's path added
# as "file" where the object lacks it; a file qx-orb cannot handle becomes
# {"file": ..., "error": ...}. Files are taken in
# sorted order and the table keeps it. JOBS defaults to the processor count.
#
# QX_ORB_CLI names the program (default: qx-orb on PATH, else build/apps/qx-orb
# of this tree); QX_ORB_EXTENSIONS the file endings taken. Across machines,
# give parallel its --sshlogin options (see `man parallel`) in
# QX_ORB_PARALLEL_OPTIONS; each machine needs qx-orb and the files at the same
# paths. The exit status is the number of failed files (at most 101).
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  sed -n '4,5p' "$0" | sed 's/^# *//' >&2
  exit 2
fi
folder=$1
output=$2
jobs=${3:-$(nproc)}
here=$(cd "$(dirname "$0")" && pwd)
QX_ORB_CLI=${QX_ORB_CLI:-$(command -v qx-orb || echo "$here/../build/apps/qx-orb")}
extensions=${QX_ORB_EXTENSIONS:-wav flac ogg oga opus mp3 aiff aif au caf w64}
[ -x "$QX_ORB_CLI" ] || { echo "parallel_folder.sh: no qx-orb program at $QX_ORB_CLI (set QX_ORB_CLI)" >&2; exit 2; }
parallel --version 2>/dev/null | grep -q "GNU parallel" ||
  { echo "parallel_folder.sh: needs GNU parallel (apt-get install parallel)" >&2; exit 2; }

# A JSON string body: backslash, quote and control characters escaped.
json_text() {
  printf '%s' "$1" | sed -z -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/\t/\\t/g' -e 's/\r/\\r/g' \
                             -e 's/\n/\\n/g'
}

one_file() {
  local name out err status
  name=$(json_text "$1")
  out=$(mktemp) err=$(mktemp)
  if "$QX_ORB_CLI" --json "$1" > "$out" 2> "$err"; then
    # Objects that name their file already pass unchanged. awk takes the name
    # from the environment as it is (sed would read its backslashes); "{}"
    # gets no trailing comma.
    NAME=$name awk '/^\{[^{]*"file": / { print; next }
                    $0 == "{}" { print "{\"file\": \"" ENVIRON["NAME"] "\"}"; next }
                    /^\{/ { print "{\"file\": \"" ENVIRON["NAME"] "\", " substr($0, 2); next }
                    { print }' "$out"
    status=0
  else
    status=$?
    printf '{"file": "%s", "error": "exit %d: %s"}\n' "$name" "$status" \
      "$(json_text "$(head -c 500 "$err" | grep -v '^$' | head -n 1)")"
  fi
  rm -f "$out" "$err"
  return "$status"
}
export -f one_file json_text
export QX_ORB_CLI

names=()
for extension in $extensions; do names+=(-o -iname "*.$extension"); done
find "$folder" -type f \( "${names[@]:1}" \) -print0 | sort -z |
  PARALLEL_SHELL=bash parallel -0 --will-cite --keep-order -j "$jobs" \
    ${QX_ORB_PARALLEL_OPTIONS:-} one_file {} > "$output"
