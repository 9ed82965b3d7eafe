"""Documents per second of a loop of `add` over a corpus, final flush included, against SQLite
FTS5 indexing the same in one transaction, in turn, each in a fresh process.

    python bench/add_speed.py CORPUS WORK_DIR [--docs N] [--rounds R]

CORPUS holds a document a line (compare.py writes one: build/bench-compare/N/corpus.txt). Under
`valgrind --tool=callgrind`, `--phase tarnwick` alone counts the instructions of adding.
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import engines  # noqa: E402


def read(corpus: str, count: int) -> list[str]:
    with open(corpus, encoding="utf-8") as f:
        return [line[:-1] for _, line in zip(range(count), f)]


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("corpus")
    p.add_argument("work")
    p.add_argument("--docs", type=int, default=100_000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--phase", choices=["tarnwick", "fts5"], help=argparse.SUPPRESS)
    args = p.parse_args()
    os.makedirs(args.work, exist_ok=True)
    if args.phase:
        docs = read(args.corpus, args.docs)
        engine = {"tarnwick": engines.Tarnwick, "fts5": engines.Fts5}[args.phase]()
        start, cpu = time.perf_counter(), time.process_time()
        engine.build(os.path.join(args.work, args.phase), docs)
        print(len(docs) / (time.perf_counter() - start), (time.process_time() - cpu) / len(docs))
        return
    for round_ in range(1, args.rounds + 1):
        rates = {}
        for engine in ("tarnwick", "fts5"):
            out = subprocess.run([sys.executable, __file__, args.corpus, args.work, "--docs",
                                  str(args.docs), "--phase", engine],
                                 check=True, capture_output=True, text=True).stdout.split()
            rates[engine] = float(out[0])
            print(f"round {round_}: {engine:8} {float(out[0]):9.0f} documents/s, "
                  f"{float(out[1]) * 1e6:5.1f} µs of processor time each", flush=True)
        print(f"round {round_}: tarnwick / FTS5 {rates['tarnwick'] / rates['fts5']:.2f}", flush=True)


if __name__ == "__main__":
    main()
