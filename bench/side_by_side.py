"""Tarnwick and Tantivy side by side on classes of a comparison's query set: per class, the median
and 99th percentile in microseconds of a query's best 10 hits with their texts read, one engine
after the other, each after a warming pass.

Usage: python bench/side_by_side.py TW_INDEX TV_INDEX QUERIES.json CLASS[,CLASS...] PASSES
(the Tantivy index as compare.py builds it, e.g. build/bench-compare/100000/tantivy)
"""

from __future__ import annotations

import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engines import Tantivy, Tarnwick  # noqa: E402
from phrase_pass import query_times  # noqa: E402


def timed(engine, queries: list, passes: int) -> tuple[float, float]:
    for q in queries:
        engine.query(q, 10)
    times = query_times(engine, queries, passes)
    return statistics.median(times), times[int(len(times) * 0.99)]


def main(tw_index: str, tv_index: str, queries_path: str, classes: str, passes: str) -> None:
    with open(queries_path) as f:
        sets = json.load(f)
    engines = {"tarnwick": Tarnwick(), "tantivy": Tantivy()}
    engines["tarnwick"].open(tw_index)
    engines["tantivy"].open(tv_index)
    for cls in classes.split(","):
        figures = {name: timed(e, [e.prepare(q) for q in sets[cls]], int(passes))
                   for name, e in engines.items()}
        (tw_median, tw_p99), (tv_median, tv_p99) = figures["tarnwick"], figures["tantivy"]
        print(f"{cls:16} tarnwick {tw_median:7.1f} / {tw_p99:7.1f}   tantivy {tv_median:7.1f} / "
              f"{tv_p99:7.1f}   ratio {tw_median / tv_median:.2f} / {tw_p99 / tv_p99:.2f}")


if __name__ == "__main__":
    main(*sys.argv[1:])
