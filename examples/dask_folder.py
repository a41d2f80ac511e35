#!/usr/bin/env python3
"""Identify the language of every WAV file in a folder with Dask.

    dask_folder.py FOLDER results.jsonl [--csv results.csv] [--workers 4]
    dask_folder.py FOLDER results.jsonl --scheduler tcp://scheduler:8786

Without --scheduler it starts a LocalCluster of --workers processes on this
machine; with it the same code runs on an existing cluster, whose workers need
the qx_orb package, libqx_orb and the audio files at the same paths. Each
worker process creates one engine when its first file arrives and keeps it;
every file still starts from a fresh voice-detector state, so a file's rows do
not depend on which worker took it or what it took before.

The table has a row per file (kind "file": duration, voiced frames, verdict
language and probability, seconds of speech, or the error that stopped it)
and a row per segment (kind "segment": start, end, language, mean
probability, frames), as JSON Lines and, with --csv, as CSV. The exit status
is 1 when some file failed (its row says why).
"""

import argparse
import csv
import json
import os
import pathlib
import sys
import threading
import time

try:
    import qx_orb
except ImportError:  # run from the source tree without installing the package
    _PYTHON_DIR = str(pathlib.Path(__file__).resolve().parent.parent / "python")
    sys.path.insert(0, _PYTHON_DIR)
    # Worker processes start afresh and need the same path.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [_PYTHON_DIR, os.environ.get("PYTHONPATH")]))
    import qx_orb

COLUMNS = ["kind", "path", "start", "end", "duration", "frames", "voiced_frames", "language",
           "probability", "speech_seconds", "error"]


def worker_engine(settings):
    """This worker process's engine, made on first use.

    Kept on the dask Worker object: a global of this script would be pickled
    afresh with every task and never reused.
    """
    from distributed import get_worker
    worker = get_worker()
    state = worker.__dict__.setdefault("_qx_orb", {"lock": threading.Lock(), "engines": {}})
    with state["lock"]:
        engine = state["engines"].get(settings)
        if engine is None:
            engine = state["engines"][settings] = qx_orb.Engine(*settings)
    return engine


def identify_file(path, settings):
    """Table rows of one file; a file that fails gives one row with its error."""
    try:
        result = worker_engine(settings).identify(path)
    except (qx_orb.QxOrbError, qx_orb.AudioFormatError, OSError) as error:
        return [{"kind": "file", "path": path, "error": str(error).splitlines()[0]}]
    verdict = result.verdict
    rows = [{"kind": "file", "path": path, "duration": round(result.duration, 3),
             "frames": len(result.frames), "voiced_frames": verdict.voiced_frames if verdict else 0,
             "language": verdict.language if verdict else None,
             "probability": round(verdict.probability, 4) if verdict else None,
             "speech_seconds": round(verdict.speech_seconds, 3) if verdict else 0.0}]
    for segment in result.segments:
        rows.append({"kind": "segment", "path": path, "start": round(segment.start, 3),
                     "end": round(segment.end, 3), "language": segment.language,
                     "probability": round(segment.probability, 4), "frames": segment.frames})
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("output", type=pathlib.Path, help="JSON Lines table to write")
    parser.add_argument("--csv", type=pathlib.Path, help="also write the table as CSV")
    parser.add_argument("--pattern", default="*.wav", help="file names to take, searched recursively")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), help="local worker processes")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler instead")
    parser.add_argument("--model", help="model file as the workers see it (default: their default)")
    parser.add_argument("--device", default="best")
    parser.add_argument("--threshold", type=float, default=0.5)
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster, as_completed

    paths = sorted(str(p) for p in args.folder.rglob(args.pattern) if p.is_file())
    settings = (args.model, args.device, args.threshold)
    began = time.monotonic()
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    files = errors = 0
    try:
        futures = client.map(identify_file, paths, settings=settings)
        csv_file = open(args.csv, "w", newline="") if args.csv else None
        try:
            table = csv.DictWriter(csv_file, COLUMNS, restval="") if csv_file else None
            if table:
                table.writeheader()
            with open(args.output, "w") as out:
                # Rows are written as files finish, so a long run leaves a usable table.
                for future in as_completed(futures):
                    rows = future.result()
                    files += 1
                    errors += "error" in rows[0]
                    for row in rows:
                        out.write(json.dumps(row) + "\n")
                        if table:
                            table.writerow(row)
                    future.release()
        finally:
            if csv_file:
                csv_file.close()
    finally:
        client.close()
        if cluster:
            cluster.close()
    print(f"{files} files ({errors} failed) in {time.monotonic() - began:.1f} s -> {args.output}",
          file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
