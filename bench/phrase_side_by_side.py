"""Tarnwick and Tantivy side by side on query classes of a comparison's query set: per class, the
median and 99th percentile in microseconds of a query's best 10 hits with their texts read, one
engine after the other, each after one warming pass.

Usage: python bench/phrase_side_by_side.py TW_INDEX TV_INDEX CLASS[,CLASS...] PASSES [QUERIES.json]
"""
import sys, json, time, statistics, os
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import engines
tw_idx, tv_idx, classes, passes = sys.argv[1], sys.argv[2], sys.argv[3].split(','), int(sys.argv[4])
qfile = sys.argv[5] if len(sys.argv) > 5 else '/var/tmp/corpus/q100000.json'
qs = json.load(open(qfile))
tw = engines.Tarnwick(); tw.open(tw_idx)
tv = engines.Tantivy()
if not os.path.exists(tv_idx):
    tv.build(tv_idx, [l[:-1] for l in open(sys.argv[6], encoding='utf-8')])
tv.open(tv_idx)
def run(e, prepared):
    times = []
    for _ in range(passes):
        for p in prepared:
            t = time.perf_counter(); e.query(p, 10); times.append(time.perf_counter() - t)
    times.sort()
    return statistics.median(times)*1e6, times[int(len(times)*0.99)]*1e6
for c in classes:
    res = {}
    for name, e in (("tw", tw), ("tv", tv)):
        prepared = [e.prepare(q) for q in qs[c]]
        for p in prepared: e.query(p, 10)
        res[name] = run(e, prepared)
    print("%-16s tarnwick %7.1f / %7.1f   tantivy %7.1f / %7.1f   ratio %.2f / %.2f" % (c, *res["tw"], *res["tv"], res["tw"][0]/res["tv"][0], res["tw"][1]/res["tv"][1]))
