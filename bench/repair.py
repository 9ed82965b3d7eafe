#!/usr/bin/env python3
"""What bringing the index in step with the stored documents costs when the writer opens.

Builds (once, in --dir) an engine holding --docs paragraphs of bench/corpus.py, flushed, then
measures in child processes, each the median of --opens runs:

  open, in step      Search(dir, None) followed by one query, on the flushed directory: the
                     writer only checks the index against the documents.
  open, read-only    the same while another process holds the writer lock: no check at all.
  rebuild            Search(dir, None) after index/tokens was garbled: the dictionary, the index
                     logs and the statistics are set aside and rebuilt from the stored texts
                     (run --rebuilds times, each on a fresh copy of the directory).

Usage (with a venv where tarnwick is installed):
    python bench/repair.py [--docs 100000] [--opens 5] [--rebuilds 1] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
from tarnwick import Search  # noqa: E402

OPEN = """
import sys, time
from tarnwick import Search
start = time.perf_counter()
engine = Search(sys.argv[1], None)
engine.search("memory", 10)
print(time.perf_counter() - start)
"""

HOLD = """
import sys
from tarnwick import Search
engine = Search(sys.argv[1], None)
print("holding", flush=True)
sys.stdin.read()
"""


def timed_open(directory: str) -> float:
    done = subprocess.run([sys.executable, "-c", OPEN, directory], capture_output=True,
                          text=True, check=True)
    return float(done.stdout.split()[-1]) * 1000


def build(directory: str, count: int) -> None:
    texts, _ = corpus.load(count)
    with Search(directory, None) as engine:
        for text in texts:
            engine.add(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--opens", type=int, default=5)
    parser.add_argument("--rebuilds", type=int, default=1)
    parser.add_argument("--dir", help="engine directory to build or reuse")
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="tarnwick-repair-")
    directory = args.dir or os.path.join(scratch, "engine")
    try:
        if not os.path.exists(directory):
            started = time.perf_counter()
            build(directory, args.docs)
            print(f"built {args.docs} documents in {time.perf_counter() - started:.1f} s")
        in_step = statistics.median(timed_open(directory) for _ in range(args.opens))
        holder = subprocess.Popen([sys.executable, "-c", HOLD, directory], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline().strip() == "holding"
        read_only = statistics.median(timed_open(directory) for _ in range(args.opens))
        holder.communicate("")
        rebuilds = []
        for _ in range(args.rebuilds):
            copy = os.path.join(scratch, "copy")
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(directory, copy)
            with open(os.path.join(copy, "index", "tokens"), "r+b") as tokens:
                tokens.write(b"\xff" * 16)
            rebuilds.append(timed_open(copy))
        print(f"{'documents':<18}{args.docs:>12,}")
        print(f"{'open, in step':<18}{in_step:>12.1f} ms")
        print(f"{'open, read-only':<18}{read_only:>12.1f} ms")
        print(f"{'check share':<18}{(in_step - read_only) / in_step:>12.1%}")
        print(f"{'rebuild':<18}{statistics.median(rebuilds) / 1000:>12.2f} s")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
