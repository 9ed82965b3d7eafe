"""One pass over query classes of a comparison's query set, each query's best 10 hits with their
texts read: the work to count instructions of under callgrind, as bench/README.md shows. Each
query is counted first, which reads its posting lists in from the snapshot, so that collecting
only inside `Search::search_page` counts queries as they run once the lists are in.

Usage: python bench/phrase_pass.py INDEX QUERIES.json CLASS[,CLASS...]
"""

from __future__ import annotations

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engines import Tarnwick  # noqa: E402


def main(index: str, queries_path: str, classes: str) -> None:
    with open(queries_path) as f:
        sets = json.load(f)
    engine = Tarnwick()
    engine.open(index)
    queries = [engine.prepare(q) for cls in classes.split(",") for q in sets[cls]]
    for q in queries:
        engine.engine.count(q)
    for q in queries:
        engine.query(q, 10)


if __name__ == "__main__":
    main(*sys.argv[1:])
