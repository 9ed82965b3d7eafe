#!/usr/bin/env python3
"""Churn benchmark: how disk use and opening time grow when documents are replaced and deleted.

Each scenario runs in its own temporary directory, through the Python API, and is compared at
the end with a fresh engine holding exactly the same live texts (added, then flushed):

  replace  add --docs documents, then --rounds rounds of: delete every live document, add the
           same texts again, flush, merge.
  drain    --drain-rounds rounds of: add --drain-docs documents, delete them all, merge.
  thin     add --thin-docs documents, delete two thirds of them (all but every third), flush,
           merge; the whole directory and its index/ are measured before and after the merge.

After each round: bytes on disk (the sum of the sizes of every file under the directory, taken
while the engine is still open, after its flush or merge), bytes per live document, and the
opening time: the median of --opens runs of `Search(dir, None)` followed by one term query
(whose hits' texts are read), timed with time.perf_counter in this process; the engine is closed
before the first open and between opens, and the writer is opened again for the next round; and
the memory that opening and the query leave, not backed by files: RssAnon after them, less
RssAnon before tarnwick was imported, in a fresh process.

Texts: paragraphs of bench/corpus.py (Debian's linux-doc, read locally) when it has enough, else
(or with --synthetic) deterministic pseudo-English paragraphs of about 60 words drawn from a
fixed vocabulary by a seeded RNG.

Usage (with a venv where tarnwick is installed; sizes are adjustable):
    python bench/churn.py [--docs 10000] [--rounds 20] [--drain-docs 300] [--drain-rounds 6]
                          [--thin-docs 1500] [--opens 5] [--synthetic] [--tmp DIR]
"""

from __future__ import annotations

import argparse
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from tarnwick import Search  # noqa: E402

TOP_K = 10
_WORD = re.compile(r"[a-z]{6,}")


# ----------------------------------------------------------------- texts ----

def synthetic_texts(count: int, seed: int = 20240105) -> list[str]:
    """Deterministic pseudo-English paragraphs of about 60 words from a ~3000-word vocabulary."""
    rng = random.Random(seed)
    onsets = ["", "b", "c", "d", "f", "g", "h", "l", "m", "n", "p", "r", "s", "t", "v", "w",
              "br", "cl", "dr", "fr", "gr", "pl", "pr", "sh", "st", "str", "th", "tr"]
    vowels = ["a", "e", "i", "o", "u", "ai", "ea", "ee", "io", "ou"]
    codas = ["", "", "n", "r", "s", "t", "l", "m", "nd", "nt", "rk", "st", "ng", "ck"]
    vocab: list[str] = []
    seen = set()
    while len(vocab) < 3000:
        word = "".join(rng.choice(onsets) + rng.choice(vowels) + rng.choice(codas)
                       for _ in range(rng.choice((1, 2, 2, 3))))
        if len(word) >= 2 and word not in seen:
            seen.add(word)
            vocab.append(word)
    weights = [1.0 / (rank + 1) for rank in range(len(vocab))]  # Zipf-like frequencies
    texts = []
    for _ in range(count):
        words = rng.choices(vocab, weights, k=rng.randint(45, 75))
        sentences, i = [], 0
        while i < len(words):
            n = rng.randint(6, 16)
            sentence = " ".join(words[i:i + n])
            sentences.append(sentence[0].upper() + sentence[1:] + ".")
            i += n
        texts.append(" ".join(sentences))
    return texts


def load_texts(count: int, synthetic: bool) -> tuple[list[str], str]:
    if not synthetic:
        try:
            import corpus
            docs, used = corpus.load(count)
        except Exception:  # the corpus packages are not installed: fall back
            docs, used = [], {}
        if len(docs) >= count:
            return docs, "bench/corpus.py: " + ", ".join(f"{root} ({n})" for root, n in used.items())
    return synthetic_texts(count), "synthetic pseudo-English paragraphs (seeded RNG)"


def query_word(texts: list[str]) -> str:
    """A frequent word of six letters or more, the same for a churned and a fresh engine."""
    counts = Counter(w for t in texts for w in _WORD.findall(t.lower()))
    return counts.most_common(1)[0][0] if counts else "memory"


# ------------------------------------------------------------- measuring ----

def dir_bytes(path: str) -> int:
    total = 0
    for dirpath, _, filenames in os.walk(path):
        for name in filenames:
            full = os.path.join(dirpath, name)
            if not os.path.islink(full):
                total += os.path.getsize(full)
    return total


def open_ms(path: str, query: str, opens: int) -> float:
    """Median milliseconds of Search(path, None) plus one query; no engine may be open on path."""
    times = []
    for _ in range(opens):
        t0 = time.perf_counter()
        engine = Search(path, None)
        hits = [r.document.content for r in engine.search(query, TOP_K)]
        t1 = time.perf_counter()
        engine.close()
        del hits
        times.append((t1 - t0) * 1000.0)
    return statistics.median(times)


# Run in a fresh process: the anonymous memory that importing tarnwick, opening and one query add.
_ANON_AFTER_OPEN = """
import sys
def anon_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("RssAnon:"))
before = anon_kib()
from tarnwick import Search
engine = Search(sys.argv[1], None)
hits = [r.document.content for r in engine.search(sys.argv[2], 10)]
print(anon_kib() - before)
"""


def open_anon_kib(path: str, query: str) -> int:
    """RssAnon that opening `path` and one query add to a fresh interpreter, in KiB."""
    done = subprocess.run([sys.executable, "-c", _ANON_AFTER_OPEN, path, query],
                          capture_output=True, text=True, check=True)
    return int(done.stdout.strip())


class Row:
    def __init__(self, label, live, size, ms, index_size=None, anon=None):
        self.label, self.live, self.size, self.ms, self.index_size = label, live, size, ms, index_size
        self.anon = anon


def measure(label, engine, path, live, query, opens, notes) -> tuple[Row, Search]:
    """Measures the flushed directory, closes the writer, times the opens, reopens the writer."""
    size = dir_bytes(path)
    index_size = dir_bytes(os.path.join(path, "index"))
    engine.close()
    ms = open_ms(path, query, opens)
    anon = open_anon_kib(path, query)
    after = dir_bytes(path)
    if after != size:
        notes.append(f"{label}: opening and closing changed the bytes on disk "
                     f"from {size} to {after}")
    return Row(label, live, size, ms, index_size, anon), Search(path, None)


def fresh(path: str, texts: list[str], query: str, opens: int) -> Row:
    engine = Search(path, None)
    for text in texts:
        engine.add(text)
    engine.flush()
    size = dir_bytes(path)
    index_size = dir_bytes(os.path.join(path, "index"))
    engine.close()
    return Row("fresh", len(texts), size, open_ms(path, query, opens), index_size,
               open_anon_kib(path, query))


# ------------------------------------------------------------- scenarios ----

def scenario_replace(tmp, texts, rounds, opens, notes):
    query = query_word(texts)
    path = os.path.join(tmp, "replace")
    rows = []
    engine = Search(path, None)
    ids = [engine.add(t) for t in texts]
    for r in range(1, rounds + 1):
        for doc_id in ids:
            engine.delete(doc_id)
        ids = [engine.add(t) for t in texts]
        engine.flush()
        engine.merge()
        row, engine = measure(str(r), engine, path, len(ids), query, opens, notes)
        rows.append(row)
        print(f"  replace round {r}: {row.size} bytes, {row.ms:.1f} ms", file=sys.stderr, flush=True)
    engine.close()
    return rows, fresh(os.path.join(tmp, "replace-fresh"), texts, query, opens)


def scenario_drain(tmp, texts, rounds, opens, notes):
    query = query_word(texts)
    path = os.path.join(tmp, "drain")
    rows = []
    engine = Search(path, None)
    for r in range(1, rounds + 1):
        ids = [engine.add(t) for t in texts]
        for doc_id in ids:
            engine.delete(doc_id)
        engine.merge()
        row, engine = measure(str(r), engine, path, 0, query, opens, notes)
        rows.append(row)
    engine.close()
    return rows, fresh(os.path.join(tmp, "drain-fresh"), [], query, opens)


def scenario_thin(tmp, texts, opens, notes):
    path = os.path.join(tmp, "thin")
    engine = Search(path, None)
    ids = [engine.add(t) for t in texts]
    kept = [t for i, t in enumerate(texts) if i % 3 == 0]
    query = query_word(kept)
    for i, doc_id in enumerate(ids):
        if i % 3 != 0:
            engine.delete(doc_id)
    engine.flush()
    before = Row("before merge", len(kept), dir_bytes(path), None,
                 dir_bytes(os.path.join(path, "index")))
    engine.merge()
    after, engine = measure("after merge", engine, path, len(kept), query, opens, notes)
    engine.close()
    return [before, after], fresh(os.path.join(tmp, "thin-fresh"), kept, query, opens)


# ---------------------------------------------------------------- output ----

def per_doc(row: Row) -> str:
    return f"{row.size / row.live:.0f}" if row.live else "-"


def fmt_ms(ms) -> str:
    return "-" if ms is None else f"{ms:.1f}"


def print_table(title, first, rows, with_index=False):
    head = [first, "live docs", "bytes on disk"]
    if with_index:
        head.append("index/ bytes")
    head += ["bytes / live doc", "open ms", "open anon KiB"]
    body = []
    for row in rows:
        cells = [row.label, str(row.live), str(row.size)]
        if with_index:
            cells.append(str(row.index_size))
        cells += [per_doc(row), fmt_ms(row.ms), "-" if row.anon is None else str(row.anon)]
        body.append(cells)
    widths = [max(len(c) for c in col) for col in zip(head, *body)]
    print(title)
    print("  ".join(h.rjust(w) for h, w in zip(head, widths)))
    print("  ".join("-" * w for w in widths))
    for cells in body:
        print("  ".join(c.rjust(w) for c, w in zip(cells, widths)))
    print()


def ratio(a, b) -> str:
    return f"{a / b:.2f}x" if b else "n/a (fresh is 0)"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--docs", type=int, default=10000, help="replace: documents (10000)")
    parser.add_argument("--rounds", type=int, default=20, help="replace: rounds (20)")
    parser.add_argument("--drain-docs", type=int, default=300, help="drain: documents per round (300)")
    parser.add_argument("--drain-rounds", type=int, default=6, help="drain: rounds (6)")
    parser.add_argument("--thin-docs", type=int, default=1500, help="thin: documents (1500)")
    parser.add_argument("--opens", type=int, default=5, help="opens per measurement, median kept (5)")
    parser.add_argument("--synthetic", action="store_true", help="generated texts, not bench/corpus.py")
    parser.add_argument("--tmp", default=None, help="parent of the temporary directories")
    parser.add_argument("--only", choices=["replace", "drain", "thin"], action="append",
                        help="run only these scenarios (repeatable)")
    args = parser.parse_args()
    scenarios = args.only or ["replace", "drain", "thin"]

    started = time.perf_counter()
    texts, source = load_texts(max(args.docs, args.drain_docs, args.thin_docs), args.synthetic)
    import tarnwick
    print(f"tarnwick: {os.path.dirname(tarnwick.__file__)}")
    print(f"texts: {source}")
    print(f"sizes: --docs {args.docs} --rounds {args.rounds} --drain-docs {args.drain_docs} "
          f"--drain-rounds {args.drain_rounds} --thin-docs {args.thin_docs} --opens {args.opens}")
    print(f"open ms: median of {args.opens} runs of Search(dir, None) + one query (top_k {TOP_K})")
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print()

    notes: list[str] = []
    summary = []
    with tempfile.TemporaryDirectory(prefix="tarnwick-churn-", dir=args.tmp) as tmp:
        if "replace" in scenarios:
            sub = texts[:args.docs]
            rows, fr = scenario_replace(tmp, sub, args.rounds, args.opens, notes)
            print_table(f"replace: {args.docs} documents, {args.rounds} rounds of delete all, "
                        "add the same texts, flush, merge", "round", rows + [fr])
            summary.append(("replace", rows[-1], fr))
        if "drain" in scenarios:
            sub = texts[:args.drain_docs]
            rows, fr = scenario_drain(tmp, sub, args.drain_rounds, args.opens, notes)
            print_table(f"drain: {args.drain_rounds} rounds of add {args.drain_docs}, delete all, "
                        "merge", "round", rows + [fr])
            summary.append(("drain", rows[-1], fr))
        if "thin" in scenarios:
            sub = texts[:args.thin_docs]
            rows, fr = scenario_thin(tmp, sub, args.opens, notes)
            print_table(f"thin: add {args.thin_docs}, delete two thirds, flush, merge",
                        "state", rows + [fr], with_index=True)
            summary.append(("thin", rows[-1], fr))

    print("churned / fresh (final state of each scenario)")
    head = ["scenario", "bytes churned", "bytes fresh", "bytes ratio", "open ms churned",
            "open ms fresh", "open ratio"]
    body = [[name, str(c.size), str(f.size), ratio(c.size, f.size), fmt_ms(c.ms), fmt_ms(f.ms),
             ratio(c.ms, f.ms)] for name, c, f in summary]
    widths = [max(len(x) for x in col) for col in zip(head, *body)]
    print("  ".join(h.rjust(w) for h, w in zip(head, widths)))
    print("  ".join("-" * w for w in widths))
    for cells in body:
        print("  ".join(c.rjust(w) for c, w in zip(cells, widths)))
    for note in notes:
        print("note:", note)
    print()
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"total time: {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
