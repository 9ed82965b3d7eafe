"""Passes over query classes of a comparison's query set, each query's best 10 hits with their
texts read. Each query is counted first, which reads its posting lists in from the snapshot.

With no PASSES, one pass: the work to count instructions of under callgrind, collecting only
inside `Search::search_page` (bench/README.md; the build tree's module, which is not stripped),
which leaves out reading the lists in. With PASSES, that many timed passes, then per class the
median, mean and 99th percentile of a query in microseconds: alternated between two builds, the
mean shows the long queries' share that the median hides.

Usage: python bench/phrase_pass.py INDEX QUERIES.json CLASS[,CLASS...] [PASSES]
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engines import Tarnwick  # noqa: E402


def query_times(engine, queries: list, passes: int) -> list[float]:
    """Each query's best 10 hits, `passes` times over: the times in microseconds, sorted."""
    times = []
    for _ in range(passes):
        for q in queries:
            start = time.perf_counter()
            engine.query(q, 10)
            times.append((time.perf_counter() - start) * 1e6)
    times.sort()
    return times


def main(index: str, queries_path: str, classes: str, passes: str = "0") -> None:
    with open(queries_path) as f:
        sets = json.load(f)
    engine = Tarnwick()
    engine.open(index)
    by_class = {cls: [engine.prepare(q) for q in sets[cls]] for cls in classes.split(",")}
    for queries in by_class.values():
        for q in queries:
            engine.engine.count(q)
    if int(passes) == 0:
        for queries in by_class.values():
            for q in queries:
                engine.query(q, 10)
        return
    for cls, queries in by_class.items():
        times = query_times(engine, queries, int(passes))
        print(f"{cls:16} median {statistics.median(times):7.1f}  mean {statistics.fmean(times):7.1f}"
              f"  p99 {times[int(len(times) * 0.99)]:7.1f}")


if __name__ == "__main__":
    main(*sys.argv[1:])
