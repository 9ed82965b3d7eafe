#!/usr/bin/env python3
"""Whether two builds give the same hits: each run writes, for every query of a query set
(queries.json, as compare.py draws it), the ids and exact scores of its best 10 and 100 hits and
its count; a second form compares two such files.

Usage:
    python bench/hits.py dump INDEX QUERIES.json OUT.json   # with the build to record
    python bench/hits.py diff A.json B.json                 # exit status 1 when they differ

Run `dump` once with the old build's module and once with the new one's, each over its own copy
of the same index (a build that does not know the other's derived files reads the logs instead,
and a writer would write its own), then `diff` the two files.
"""

from __future__ import annotations

import json
import sys

sys.path.insert(0, __import__("os").path.dirname(__file__))

from engines import Tarnwick  # noqa: E402


def dump(index: str, queries_path: str, out_path: str) -> None:
    import tarnwick.native as native

    with open(queries_path) as f:
        sets = json.load(f)
    engine = native.Search(index, None)
    out = {}
    for cls, queries in sets.items():
        for q in queries:
            text = Tarnwick.translate(None, q)
            out[f"{cls}: {text}"] = {
                str(k): [(hit.document.id, hit.score.hex()) for hit in engine.search(text, k)]
                for k in (10, 100)
            } | {"count": engine.count(text)}
    with open(out_path, "w") as f:
        json.dump(out, f)
    print(f"{len(out)} queries written to {out_path}")


def diff(a_path: str, b_path: str) -> int:
    with open(a_path) as f:
        a = json.load(f)
    with open(b_path) as f:
        b = json.load(f)
    differing = [q for q in a.keys() | b.keys() if a.get(q) != b.get(q)]
    for q in sorted(differing)[:10]:
        print("differs:", q)
    print(f"{len(a.keys() & b.keys())} queries in both, {len(differing)} differ")
    return 1 if differing else 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "dump":
        dump(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "diff":
        sys.exit(diff(*sys.argv[2:]))
    else:
        sys.exit(__doc__)
