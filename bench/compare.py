#!/usr/bin/env python3
"""Side-by-side benchmark: tarnwick vs SQLite FTS5 (and Tantivy and Xapian when installed).

Usage (from the repository root, with the bench venv):
    build/bench-venv/bin/python bench/compare.py [--docs 100000,1000000] [--readme bench/README.md]

Each corpus size of --docs is compared in turn, in a work directory of its own.
Every measurement phase runs in its own subprocess (so peak RSS is that
phase's alone) and is run --reps times; the better figure is kept.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
import queries  # noqa: E402
from engines import ENGINES  # noqa: E402

TOP_K = 10
OPTIONAL_ENGINES = ["tantivy", "xapian"]
# One document a line: corpus.py joins the lines of a paragraph.
CORPUS_FILE = "corpus.txt"


def memory_kib(*fields: str) -> list[int]:
    """Fields of /proc/self/status in KiB: VmRSS, VmHWM (its peak), RssAnon (not backed by a
    file), RssFile (mapped files, the module's code among them)."""
    found = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in fields:
                found[key] = int(value.split()[0])
    return [found[k] for k in fields]


def reset_peak_rss() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # VmHWM starts again from VmRSS


# ---------------------------------------------------------------- phases ----

def phase_index(engine_name, work):
    with open(os.path.join(work, CORPUS_FILE), encoding="utf-8") as f:
        docs = [line[:-1] for line in f]
    raw_bytes = sum(len(d.encode("utf-8")) for d in docs)
    # The peak counts from here: the interpreter holding the corpus, before the engine's import.
    reset_peak_rss()
    baseline, = memory_kib("VmRSS")
    engine = ENGINES[engine_name]()
    path = os.path.join(work, "index-" + engine_name)
    t0 = time.perf_counter()
    engine.build(path, docs)
    elapsed = time.perf_counter() - t0
    peak, = memory_kib("VmHWM")
    return {
        "docs": len(docs), "raw_bytes": raw_bytes, "seconds": elapsed,
        "docs_per_s": len(docs) / elapsed, "mb_per_s": raw_bytes / 1e6 / elapsed,
        "size_bytes": engine.size(path), "peak_rss_kib": peak, "peak_beyond_kib": peak - baseline,
    }


def phase_reopen(engine_name, work):
    with open(os.path.join(work, "queries.json")) as f:
        q = json.load(f)["term-medium"][0]
    anon0, file0 = memory_kib("RssAnon", "RssFile")  # the interpreter's own
    engine = ENGINES[engine_name]()
    path = os.path.join(work, "index-" + engine_name)
    t0 = time.perf_counter()
    engine.open(path)
    t1 = time.perf_counter()
    hits = engine.query(engine.prepare(q), TOP_K)
    t2 = time.perf_counter()
    anon, file, peak = memory_kib("RssAnon", "RssFile", "VmHWM")
    return {"open_s": t1 - t0, "first_query_s": t2 - t1, "total_s": t2 - t0, "hits": len(hits),
            "peak_rss_kib": peak, "anon_beyond_kib": anon - anon0, "file_beyond_kib": file - file0}


def phase_query(engine_name, work, passes):
    with open(os.path.join(work, "queries.json")) as f:
        qsets = json.load(f)
    engine = ENGINES[engine_name]()
    path = os.path.join(work, "index-" + engine_name)
    engine.open(path)
    prepare, query = engine.prepare, engine.query
    out = {}
    for cls, kind in queries.CLASSES:
        qs = qsets[cls]
        if kind not in engine.supports or not qs:
            continue
        # warm-up pass, also used for the result checks
        zero, checked, bad, bad_examples, total_hits = 0, 0, 0, [], 0
        for q in qs:
            hits = query(prepare(q), TOP_K)
            total_hits += len(hits)
            if not hits:
                zero += 1
            for h in hits:
                checked += 1
                if not queries.hit_matches(q, h):
                    bad += 1
                    if len(bad_examples) < 3:
                        bad_examples.append({"query": q, "hit": h[:200]})
        lat = []
        per_query = [float("inf")] * len(qs)
        clock = time.perf_counter_ns
        for _ in range(passes):
            for i, q in enumerate(qs):
                t0 = clock()
                query(prepare(q), TOP_K)
                dt = clock() - t0
                lat.append(dt)
                per_query[i] = min(per_query[i], dt)
        lat.sort()
        per_query.sort()
        out[cls] = {
            "queries": len(qs), "samples": len(lat),
            "median_us": statistics.median(lat) / 1e3,
            "p99_us": lat[min(len(lat) - 1, int(round(0.99 * (len(lat) - 1))))] / 1e3,
            "p99_best_us": per_query[min(len(qs) - 1, int(round(0.99 * (len(qs) - 1))))] / 1e3,
            "zero_hit_queries": zero, "avg_hits": total_hits / len(qs),
            "hits_checked": checked, "hits_failing_check": bad, "bad_examples": bad_examples,
        }
    return {"classes": out, "peak_rss_kib": memory_kib("VmHWM")[0]}


# ----------------------------------------------------------- orchestrator ---

def run_phase(phase, engine, work, extra=()):
    cmd = [sys.executable, os.path.abspath(__file__), "--phase", phase, "--engine", engine,
           "--work", work, *extra]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("%s %s failed (%d):\n%s" % (phase, engine, proc.returncode, proc.stderr[-3000:]))
    return json.loads(proc.stdout.strip().splitlines()[-1])


MEMORY_FIGURES = ("peak_rss_kib", "peak_beyond_kib", "anon_beyond_kib", "file_beyond_kib")


def best_of(runs, key):
    """The run with the lowest `key`, with the lowest of each memory figure over all the runs."""
    best = dict(min(runs, key=lambda r: r[key]))
    for m in MEMORY_FIGURES:
        if m in best:
            best[m] = min(r[m] for r in runs)
    return best


def load():
    return os.getloadavg()[0]


def engines_available(without):
    names = ["tarnwick", "sqlite-fts5"]
    for name in OPTIONAL_ENGINES:
        if name in without:
            continue
        try:
            ENGINES[name]()
            names.append(name)
        except ImportError:
            print("%s not installed: skipped" % name, file=sys.stderr)
    return names


def orchestrate(args, size):
    import sqlite3  # not at the top: the phases count memory from before an engine's import
    work = os.path.join(os.path.abspath(args.work), str(size))
    os.makedirs(work, exist_ok=True)
    c = sqlite3.connect(":memory:")
    c.execute("CREATE VIRTUAL TABLE t USING fts5(x)")  # fails here if FTS5 is missing
    c.close()

    log = lambda *a: print(*a, file=sys.stderr, flush=True)  # noqa: E731
    log("building corpus of %d documents ..." % size)
    docs, sources = corpus.documents(size, args.paragraphs)
    with open(os.path.join(work, CORPUS_FILE), "w", encoding="utf-8") as f:
        f.writelines(d + "\n" for d in docs)
    raw_mb = sum(len(d.encode()) for d in docs) / 1e6
    qsets = queries.build(docs, per_class=args.per_class)
    del docs  # the phases read the corpus from the file
    with open(os.path.join(work, "queries.json"), "w") as f:
        json.dump(qsets, f, indent=0)
    log("queries per class:", {k: len(v) for k, v in qsets.items()})

    names = engines_available(args.without)
    loads = [load()]
    results = {n: {} for n in names}
    for n in names:
        runs = []
        for r in range(args.reps):
            runs.append(run_phase("index", n, work))
            log("index %-12s rep %d: %.2fs  %.0f docs/s  peak %d MiB  (load %.2f)" % (
                n, r, runs[-1]["seconds"], runs[-1]["docs_per_s"], runs[-1]["peak_rss_kib"] // 1024, load()))
            loads.append(load())
        results[n]["index"] = best_of(runs, "seconds")
    for n in names:
        runs = []
        for r in range(max(3, args.reps)):
            runs.append(run_phase("reopen", n, work))
            log("reopen %-12s rep %d: %.1f ms (open %.1f ms)" % (
                n, r, runs[-1]["total_s"] * 1e3, runs[-1]["open_s"] * 1e3))
        results[n]["reopen"] = best_of(runs, "total_s")
        loads.append(load())
    for n in names:
        best = None
        for r in range(args.reps):
            res = run_phase("query", n, work, ["--passes", str(args.passes)])
            log("query %-12s rep %d: %s  (load %.2f)" % (n, r, ", ".join(
                "%s %.0f/%.0f us" % (k, v["median_us"], v["p99_us"]) for k, v in res["classes"].items()), load()))
            if best is None:
                best = res
            else:  # keep the better of each figure
                best["peak_rss_kib"] = min(best["peak_rss_kib"], res["peak_rss_kib"])
                for k, v in res["classes"].items():
                    b = best["classes"][k]
                    b["median_us"] = min(b["median_us"], v["median_us"])
                    b["p99_us"] = min(b["p99_us"], v["p99_us"])
                    b["p99_best_us"] = min(b["p99_best_us"], v["p99_best_us"])
            loads.append(load())
        results[n]["query"] = best

    meta = {
        "docs": size, "sources": sources, "raw_mb": raw_mb,
        "queries": {k: len(v) for k, v in qsets.items()}, "passes": args.passes, "reps": args.reps,
        "loadavg_min": min(loads), "loadavg_max": max(loads), "python": platform.python_version(),
        "sqlite": sqlite3.sqlite_version, "cpu": cpu_name(), "date": time.strftime("%Y-%m-%d %H:%M"),
    }
    try:
        from importlib.metadata import version
        meta["tantivy"] = version("tantivy")
    except Exception:
        pass
    meta["debian_packages"] = debian_versions(["linux-doc", "python3.11-doc", "python3-xapian"])
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump({"meta": meta, "results": results}, f, indent=1)
    text = render(meta, results, names, args.command)
    print(text)
    if args.readme:
        write_readme(args.readme, size, text)
    return results


def debian_versions(names):
    out = {}
    for n in names:
        try:
            v = subprocess.run(["dpkg-query", "-W", "-f=${Version}", n], capture_output=True,
                               text=True).stdout.strip()
        except OSError:
            v = ""
        if v:
            out[n] = v
    return out


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def render(meta, results, names, command):
    def col(fmt, getter):
        cells = []
        for n in names:
            try:
                cells.append(fmt % getter(results[n]))
            except (KeyError, TypeError):
                cells.append("n/a")
        return cells

    tw, fts = results["tarnwick"], results["sqlite-fts5"]
    header = ["metric"] + names + ["tarnwick / FTS5"]
    rows = []

    def row(label, fmt, getter, ratio=True):
        cells = col(fmt, getter)
        r = ""
        if ratio:
            try:
                r = "%.2f×" % (getter(tw) / getter(fts))
            except (KeyError, TypeError, ZeroDivisionError):
                r = ""
        rows.append([label] + cells + [r])

    row("indexing, documents/s", "%.0f", lambda r: r["index"]["docs_per_s"])
    row("indexing, MB/s of raw text", "%.2f", lambda r: r["index"]["mb_per_s"])
    row("indexing, total seconds", "%.2f", lambda r: r["index"]["seconds"])
    row("index size on disk, MB", "%.1f", lambda r: r["index"]["size_bytes"] / 1e6)
    row("index size / raw text", "%.2f", lambda r: r["index"]["size_bytes"] / r["index"]["raw_bytes"])
    row("peak RSS, indexing process, MiB", "%.0f", lambda r: r["index"]["peak_rss_kib"] / 1024)
    row("indexing: peak RSS beyond the interpreter and corpus, MiB", "%.1f",
        lambda r: r["index"]["peak_beyond_kib"] / 1024)
    row("reopen: open + first query, ms", "%.1f", lambda r: r["reopen"]["total_s"] * 1e3)
    row("reopen: anonymous RSS beyond the interpreter, MiB", "%.1f",
        lambda r: r["reopen"]["anon_beyond_kib"] / 1024)
    row("reopen: file-backed RSS beyond the interpreter, MiB", "%.1f",
        lambda r: r["reopen"]["file_beyond_kib"] / 1024)
    row("peak RSS, query process, MiB", "%.0f", lambda r: r["query"]["peak_rss_kib"] / 1024)
    for cls, _ in queries.CLASSES:
        row("%s: median µs" % cls, "%.0f", lambda r, c=cls: r["query"]["classes"][c]["median_us"])
        row("%s: p99 µs" % cls, "%.0f", lambda r, c=cls: r["query"]["classes"][c]["p99_us"])
        row("%s: p99 of per-query best, µs" % cls, "%.0f",
            lambda r, c=cls: r["query"]["classes"][c]["p99_best_us"])

    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    table = "\n".join(lines)

    # targets
    def q(r, c, m):
        return r["query"]["classes"][c][m]
    checks = []
    ratio = tw["index"]["docs_per_s"] / fts["index"]["docs_per_s"]
    checks.append(("indexing throughput ≥ 1.5× FTS5", ratio >= 1.5, "%.2f×" % ratio))
    for c in ["term-rare", "term-medium", "term-common", "phrase-2", "phrase-3"]:
        for m in ["median_us", "p99_us"]:
            a, b = q(tw, c, m), q(fts, c, m)
            checks.append(("%s %s ≤ FTS5" % (c, m.split("_")[0]), a <= b, "%.0f vs %.0f µs" % (a, b)))
    a, b = q(tw, "fuzzy~1", "median_us"), q(tw, "fuzzy-base-exact", "median_us")
    checks.append(("fuzzy~1 median ≤ 3× exact term (same words)", a <= 3 * b, "%.1f×" % (a / b)))
    a, b = q(tw, "fuzzy~1", "p99_us"), q(tw, "fuzzy-base-exact", "p99_us")
    checks.append(("fuzzy~1 p99 ≤ 3× exact term (same words)", a <= 3 * b, "%.1f×" % (a / b)))
    t = tw["reopen"]["total_s"]
    checks.append(("reopen < 1 s", t < 1.0, "%.0f ms" % (t * 1e3)))
    target_lines = ["| target | met | measured |", "|---|---|---|"]
    target_lines += ["| %s | %s | %s |" % (n, "yes" if ok else "**no**", v) for n, ok, v in checks]

    # sanity checks of results
    sanity = ["| engine | class | queries with no hit | avg hits | hits failing the term check |",
              "|---|---|---|---|---|"]
    for n in names:
        for c, v in results[n]["query"]["classes"].items():
            sanity.append("| %s | %s | %d / %d | %.1f | %d / %d |" % (
                n, c, v["zero_hit_queries"], v["queries"], v["avg_hits"], v["hits_failing_check"], v["hits_checked"]))

    def source(name, count):
        if name == corpus.RECOMBINED:
            return "%d documents %s" % (count, name)
        return "%s (%d paragraphs)" % (name, count)

    src = ", ".join(source(*kv) for kv in meta["sources"].items())
    info = [
        "Corpus: %d documents, %.1f MB of UTF-8 text: %s." % (meta["docs"], meta["raw_mb"], src),
        "Debian packages: %s." % ", ".join("%s %s" % kv for kv in meta.get("debian_packages", {}).items()),
        "Queries per class: %s; %d timed passes per class after one warm-up pass; top_k %d." % (
            ", ".join("%s %d" % kv for kv in meta["queries"].items()), meta["passes"], TOP_K),
        "Machine: %s, %d cores; 1-minute load average during the run %.2f–%.2f. Python %s, SQLite %s%s." % (
            meta["cpu"], os.cpu_count(), meta["loadavg_min"], meta["loadavg_max"], meta["python"],
            meta["sqlite"], (", tantivy " + meta["tantivy"]) if "tantivy" in meta else ""),
        "Each phase ran %d times in a fresh subprocess (reopen: at least 3); the better figure of each is kept." % meta["reps"],
    ]
    return "\n".join([
        "Command: `%s`" % command, "", *info, "", table, "",
        "p99 is over every timed run; \"p99 of per-query best\" takes each query's fastest of the passes "
        "first, which removes most scheduler stalls on a busy machine.", "", "Targets:", "", *target_lines, "",
        "Result checks (every query is drawn from the corpus, so should have a hit):", "", *sanity])


# The start of a README that does not exist yet; an existing one keeps what precedes the
# comparison, which the other benchmarks write.
README_INTRO = """# Benchmarks

`bench/add_many.py` compares adding a corpus with `add_many` and with a loop of `add`.
`bench/churn.py` measures how disk use and opening time grow under churn (replacing every
document, draining, thinning), against a fresh engine holding the same live documents.
`bench/repair.py` measures what opening costs the writer when it checks the index against the
stored documents, and how long rebuilding a lost index from the texts takes.

"""

COMPARISON_HEADING = "## Comparison with SQLite FTS5, Tantivy and Xapian"
SIZE_HEADING = re.compile(r"^### ([\d,]+) documents$", re.M)

README_COMPARISON = COMPARISON_HEADING + """

`bench/compare.py` indexes the same corpus with tarnwick, SQLite FTS5 (Python's
`sqlite3`, `tokenize='porter unicode61'`, ranked by `bm25()`) and, when their
Python packages are installed, Tantivy (`en_stem` tokenizer, one indexing
thread, stored body) and Xapian (Debian's `python3-xapian`: every word stemmed
by its English stemmer and positioned, no stop words, the text as document
data, BM25 with k1 1.2 and b 0.75, default flush threshold, not compacted),
and queries all of them with the same query sets.

`bench/run-compare.sh` sets everything up from nothing and runs it: the Debian
packages (corpus, Xapian's bindings, venv and headers), a venv made from
Debian's `/usr/bin/python3` that sees its packages (Xapian's bindings exist
only for that interpreter), with the release build of the module and tantivy
installed in it (`REBUILD=0` keeps the module already built). Its options go
to `compare.py`: `--docs 100000,1000000` (the default) compares each corpus
size in turn, each in a work directory of its own under
`build/bench-compare/`, and writes one subsection per size below, replacing
only the subsection of the same size; `--reps`, `--passes`, `--per-class`,
`--paragraphs N` (take at most N paragraphs, recombine the rest) and
`--without tantivy,xapian` as `compare.py --help` says. A small trial:
`REBUILD=0 bench/run-compare.sh --docs 20000 --paragraphs 3000 --reps 1`
(it also writes its subsection here).

Corpus: paragraphs (blank-line separated, short ones and pure markup dropped)
of the reStructuredText sources of Debian's `linux-doc` package, without its
non-English `translations/`, in sorted path order; since those give fewer than
100,000 paragraphs, the text sources of `python3.11-doc` follow (see
`bench/corpus.py`). Past the 108,629 paragraphs they give, documents are
recombined from their sentences (fixed seed): each has as many sentences as a
paragraph drawn at random (at least two), taken from that paragraph and the 8
either side of it and kept in their order, and differs from every other
document. The words of a topic so still meet in the same documents, and the
vocabulary and its frequencies stay those of the text; since half the
paragraphs are one sentence, a recombined document is about a fifth longer
than a paragraph on average. 1,000,000 documents are about 270 MB of text.

What is measured:

- **Indexing**: adding every document through the Python API and the final
  `flush()` / `COMMIT` / `commit()` + merge wait; documents/s and MB/s of raw
  UTF-8 text. The corpus is read into Python first. Peak RSS (VmHWM) of that
  process includes it (about the same for every engine); the peak "beyond the
  interpreter and corpus" is counted from the resident size with the corpus
  read, before the engine's module is imported (the kernel's peak reset
  there), so it is the engine's own, its code included.
- **Reopen**: a fresh process opens the index and runs one medium-frequency
  term query; time from before the open to the first result list (page cache
  warm). The same process reports what is resident then beyond what it had
  before importing the engine's module: anonymous memory (RssAnon: heaps,
  caches, copies of what was read) and memory backed by files (RssFile: the
  index files mapped and read through, and the engine's libraries).
- **Queries**: a fresh process opens the index, runs each class once (warm-up,
  and the result checks below), then times each query of the class over
  several passes; median and p99 of single-query latency at top_k 10,
  including building the result list with every hit's text.
- **Size**: all files of the index directory / database, including the stored
  text, divided by the raw text size.

Query classes (fixed seed, drawn from the corpus of that size, stop words
avoided): `term-rare` (document frequency 2–5), `term-medium` (100–1000),
`term-common` (≥ 3000), `phrase-2` / `phrase-3` (adjacent words of some
document, `"a b"`), `proximity-2~3` (two words 1–3 words apart in order,
`"a b"~3`), `fuzzy~1` / `fuzzy~2` (a word of 6+ letters with one or two real
edits applied, first letter kept, the typo not itself a corpus word) and
`fuzzy-base-exact` (the same words, unmodified, as exact terms: the reference
for the fuzzy target). The frequency bounds do not scale with the corpus, so
the larger one draws other words for them.

Translation for FTS5: term → `"term"`, phrase → `"a b"`, proximity →
`NEAR("a" "b", 3)`. NEAR is unordered and counts every token between the
words, while tarnwick's `"a b"~3` wants the words in order and counts slop in
kept (non-stop) words, so FTS5 may match somewhat more. FTS5 has no fuzzy
query: those rows are n/a. FTS5's bm25 uses k1 1.2, b 0.75 and ranks all
matches; tarnwick uses k1 1.5, b 0.75. For Xapian the query words are stemmed
and put together as queries directly (no query parser): term → the stem,
phrase → `OP_PHRASE` over a window of as many positions as words, proximity →
`OP_PHRASE` with the window wider by the slop (in order, every word between
counted; `OP_NEAR` would take any order). Xapian has no fuzzy query either.
For Tantivy, `fuzzy_term_query`
(Levenshtein, transposition costs 2) is applied to the typo unstemmed against
the stemmed terms, whereas tarnwick stems the query word first.
tarnwick applies the edit distance to the stemmed query word against stemmed
corpus tokens, so a typo that changes how a word stems (`warnikg` stays
`warnikg`, while `warning` is stored as `warn`) finds nothing: that is why some
fuzzy queries have no hit. Tantivy's misses there are larger for the same reason.
The "term check" in the last table accepts a hit when it contains a word
sharing a long prefix with each query word (in order and within the slop
for phrases) - a rough check, since the engines stem.

"""


def write_readme(path, size, text):
    """Writes the comparison of `size` documents into the README at `path`. The comparison is
    its last section, one subsection per size: this size's is replaced, the others are kept in
    order of size, and so is whatever precedes the section."""
    try:
        with open(path) as f:
            kept = f.read()
    except FileNotFoundError:
        kept = README_INTRO
    sections = {}
    heading = kept.find(COMPARISON_HEADING)
    if heading >= 0:
        parts = SIZE_HEADING.split(kept[heading:])
        for count, body in zip(parts[1::2], parts[2::2]):
            sections[int(count.replace(",", ""))] = "### %s documents%s" % (count, body.rstrip("\n"))
        kept = kept[:heading]
    sections[size] = "### {:,} documents\n\n{}".format(size, text)
    with open(path, "w") as f:
        f.write(kept + README_COMPARISON + "\n\n".join(sections[n] for n in sorted(sections)) + "\n")


def sizes(text):
    return [int(n) for n in text.split(",")]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--docs", type=sizes, default=[100_000, 1_000_000],
                   help="corpus sizes, comma-separated (default 100000,1000000)")
    p.add_argument("--paragraphs", type=int,
                   help="take at most this many paragraphs of the corpus and recombine the rest")
    p.add_argument("--work", default=os.path.join(os.path.dirname(HERE), "build", "bench-compare"))
    p.add_argument("--per-class", type=int, default=200)
    p.add_argument("--passes", type=int, default=5)
    p.add_argument("--reps", type=int, default=2)
    p.add_argument("--without", type=lambda t: t.split(","), default=[],
                   help="leave out these of %s, comma-separated" % ", ".join(OPTIONAL_ENGINES))
    p.add_argument("--readme", help="write the report into this Markdown file")
    p.add_argument("--phase", choices=["index", "reopen", "query"], help=argparse.SUPPRESS)
    p.add_argument("--engine", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.phase:
        if args.phase == "index":
            res = phase_index(args.engine, args.work)
        elif args.phase == "reopen":
            res = phase_reopen(args.engine, args.work)
        else:
            res = phase_query(args.engine, args.work, args.passes)
        print(json.dumps(res))
        return
    args.command = os.environ.get("COMPARE_COMMAND") or " ".join(
        ["python3", "bench/compare.py"] + sys.argv[1:])
    for size in args.docs:
        orchestrate(args, size)


if __name__ == "__main__":
    main()
