"""Documents per second of a loop of `add` over a corpus, final flush included, against SQLite
FTS5 indexing the same in one transaction, in turn, each in a fresh process.

    python bench/add_speed.py CORPUS WORK_DIR [--docs N] [--rounds R]

CORPUS holds a document a line (compare.py writes one: build/bench-compare/N/corpus.txt). Under
`valgrind --tool=callgrind`, `--phase tarnwick` alone counts the instructions of adding.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time


def read(corpus: str, count: int) -> list[str]:
    with open(corpus, encoding="utf-8") as f:
        return [line[:-1] for _, line in zip(range(count), f)]


def tarnwick(docs: list[str], work: str) -> None:
    import tarnwick.native as native
    path = os.path.join(work, "tarnwick")
    shutil.rmtree(path, ignore_errors=True)
    engine = native.Search(path, None)
    add = engine.add
    for doc in docs:
        add(doc)
    engine.flush()


def fts5(docs: list[str], work: str) -> None:
    import sqlite3
    path = os.path.join(work, "fts5.db")
    if os.path.exists(path):
        os.remove(path)
    conn = sqlite3.connect(path)
    conn.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='porter unicode61')")
    with conn:
        conn.executemany("INSERT INTO docs(body) VALUES (?)", ((d,) for d in docs))
    conn.close()


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
        start, cpu = time.perf_counter(), time.process_time()
        {"tarnwick": tarnwick, "fts5": fts5}[args.phase](docs, args.work)
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
