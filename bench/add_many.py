#!/usr/bin/env python3
"""add_many against a loop of add, over the paragraphs of bench/corpus.py.

Each run is a child process that reads the texts, opens a fresh engine, adds every text (one
call of add per text, or one call of add_many) and flushes; the span from the first add to the
end of the flush counts. Runs of the two kinds alternate, --reps of each, and the best of each
kind is kept: on a shared machine the best run is the one least disturbed. Three figures per
kind:

  wall     elapsed time: what a caller waits on a machine as busy as this one was;
  cpu      processor time of the whole process, both threads of add_many included: the work;
  caller   processor time of the calling thread alone: what a caller waits when a second core is
           free for add_many's helper thread (which runs ahead of it), the case add_many is for.

The load average is printed with them: on a machine whose cores are taken, the helper thread
cannot run beside the caller, and wall time follows the work instead.

Usage (with a venv where tarnwick is installed):
    python bench/add_many.py [--docs 100000] [--reps 5]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402

RUN = """
import json, sys, time
from tarnwick import Search
with open(sys.argv[1], encoding="utf-8") as file:
    texts = json.load(file)
engine = Search(sys.argv[2], None)
clocks = (time.perf_counter, time.process_time, time.thread_time)
start = [clock() for clock in clocks]
if sys.argv[3] == "add":
    for text in texts:
        engine.add(text)
else:
    engine.add_many(texts)
engine.flush()
print(*(clock() - begun for clock, begun in zip(clocks, start)))
"""

FIGURES = ("wall", "cpu", "caller")


def timed_run(texts_file: str, directory: str, kind: str) -> list[float]:
    """Seconds of each figure for one run."""
    shutil.rmtree(directory, ignore_errors=True)
    done = subprocess.run([sys.executable, "-c", RUN, texts_file, directory, kind],
                          capture_output=True, text=True, check=True)
    return [float(seconds) for seconds in done.stdout.split()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    texts, used = corpus.load(args.docs)
    megabytes = sum(len(t.encode()) for t in texts) / 1e6
    print(f"corpus: {len(texts)} paragraphs, {megabytes:.1f} MB, from {used}")
    scratch = tempfile.mkdtemp(prefix="tarnwick-add-many-")
    try:
        texts_file = os.path.join(scratch, "texts.json")
        with open(texts_file, "w", encoding="utf-8") as file:
            json.dump(texts, file)
        directory = os.path.join(scratch, "engine")
        load_before = os.getloadavg()[0]
        best = {kind: [float("inf")] * len(FIGURES) for kind in ("add", "add_many")}
        for _ in range(args.reps):
            for kind in best:
                run = timed_run(texts_file, directory, kind)
                best[kind] = [min(a, b) for a, b in zip(best[kind], run)]
        load_after = os.getloadavg()[0]
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"µs per document, best of {args.reps} runs each; 1-minute load average "
          f"{load_before:.2f} before, {load_after:.2f} after, on {os.cpu_count()} cores")
    print(f"{'':<9}" + "".join(f"{figure:>10}" for figure in FIGURES))
    for kind, seconds in best.items():
        print(f"{kind:<9}" + "".join(f"{s / len(texts) * 1e6:10.2f}" for s in seconds))
    ratios = [a / b for a, b in zip(best["add"], best["add_many"])]
    print(f"{'add/many':<9}" + "".join(f"{r:9.2f}×" for r in ratios))


if __name__ == "__main__":
    main()
