"""Deterministic English-prose corpus for the comparison benchmark.

Paragraphs (blank-line separated) of the reStructuredText sources shipped in
Debian's ``linux-doc`` package (``/usr/share/doc/linux-doc/Documentation``,
mostly gzipped), in sorted path order.  Very short paragraphs and pure markup
(directives, heading underlines, tables, code-like blocks) are dropped, and so
are the non-English translations under Documentation/translations.
If that yields fewer paragraphs than requested, text sources from further
Debian documentation packages are appended (see EXTRA_ROOTS).

documents() goes past the paragraphs there are: the documents it lacks it
recombines from their sentences with a seeded RNG (see recombine).
"""

from __future__ import annotations

import gzip
import os
import random
import re

ROOTS = ["/usr/share/doc/linux-doc/Documentation"]
# Fallbacks, used only when linux-doc alone is too small.
EXTRA_ROOTS = ["/usr/share/doc/python3.11/html/_sources"]

SUFFIXES = (".rst", ".rst.gz", ".txt", ".txt.gz")
# Non-English translations of the kernel documentation are left out.
SKIP_DIRS = {"translations"}
_WORD = re.compile(r"[A-Za-z]+")
_MARKUP_LINE = re.compile(r"^\s*([=\-~^\"'`#*+_.:|]{3,}|\+[-=+]+\+|\|.*\|)\s*$")
_BLANK_SPLIT = re.compile(r"\n[ \t]*\n")
MIN_WORDS = 8
MIN_CHARS = 60
# A sentence ends at . ! or ? followed by a space and what may start the next one.
_SENTENCE_END = re.compile(r"(?<=[.!?])\s+(?=[A-Z0-9(\"'`*])")
# A recombined document takes its sentences from a paragraph and this many either side of it.
NEIGHBOURS = 8
RECOMBINED = "recombined from their sentences"


def _files(root: str) -> list[str]:
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in SKIP_DIRS)
        for name in sorted(filenames):
            if name.endswith(SUFFIXES):
                out.append(os.path.join(dirpath, name))
    return out


def _read(path: str) -> str:
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        return f.read().decode("utf-8", errors="replace")


def _is_prose(par: str) -> bool:
    s = par.strip()
    if len(s) < MIN_CHARS or s.startswith(".."):
        return False
    lines = [ln for ln in s.splitlines() if ln.strip()]
    if all(_MARKUP_LINE.match(ln) for ln in lines):
        return False
    words = _WORD.findall(s)
    if len(words) < MIN_WORDS:
        return False
    # Mostly letters: excludes code, tables, hex dumps, register maps.
    nonspace = sum(1 for ch in s if not ch.isspace())
    letters = sum(len(w) for w in words)
    if letters < 0.7 * nonspace:
        return False
    # Code-ish: many braces/semicolons/operators.
    if sum(s.count(c) for c in "{};=()<>[]") > len(words) // 3:
        return False
    return True


def _clean(par: str) -> str:
    lines = [ln.strip() for ln in par.strip().splitlines()]
    lines = [ln for ln in lines if ln and not _MARKUP_LINE.match(ln)]
    return " ".join(lines)


def paragraphs(limit: int | None = None, roots: list[str] | None = None):
    """Yield (source_root, paragraph) in deterministic order."""
    n = 0
    for root in (roots or ROOTS + EXTRA_ROOTS):
        if not os.path.isdir(root):
            continue
        for path in _files(root):
            for par in _BLANK_SPLIT.split(_read(path).replace("\r\n", "\n")):
                if _is_prose(par):
                    yield root, _clean(par)
                    n += 1
                    if limit is not None and n >= limit:
                        return


def load(limit: int) -> tuple[list[str], dict[str, int]]:
    docs, used = [], {}
    for root, par in paragraphs(limit):
        docs.append(par)
        used[root] = used.get(root, 0) + 1
    return docs, used


def recombine(pars: list[str], count: int, seed: int = 20240601) -> list[str]:
    """`count` documents, distinct from each other and from `pars`. Each has as many sentences
    as a paragraph drawn at random (at least two, since single sentences would repeat), drawn
    from that paragraph and its neighbours in corpus order and kept in that order, so that
    the words of a topic still meet in the same documents and the term statistics stay those
    of the corpus."""
    rng = random.Random(seed)
    sentences, first = [], []  # first[i]: the index of paragraph i's first sentence
    for par in pars:
        first.append(len(sentences))
        sentences += _SENTENCE_END.split(par)
    first.append(len(sentences))
    seen = set(pars)
    out, tries = [], 10 * count + 1000
    while len(out) < count:
        if tries == 0:
            raise ValueError("%d paragraphs are too few to recombine %d documents" % (len(pars), count))
        tries -= 1
        i = rng.randrange(len(pars))
        lo = first[max(0, i - NEIGHBOURS)]
        hi = first[min(len(pars), i + NEIGHBOURS + 1)]
        picked = rng.sample(range(lo, hi), min(max(2, first[i + 1] - first[i]), hi - lo))
        doc = " ".join(sentences[j] for j in sorted(picked))
        if doc not in seen:
            seen.add(doc)
            out.append(doc)
    return out


def documents(count: int, max_paragraphs: int | None = None) -> tuple[list[str], dict[str, int]]:
    """`count` documents: the first paragraphs (at most `max_paragraphs`), then as many as they
    fall short by recombined from them."""
    docs, used = load(min(count, max_paragraphs or count))
    if len(docs) < count:
        used[RECOMBINED] = count - len(docs)
        docs += recombine(docs, count - len(docs))
    return docs, used


if __name__ == "__main__":
    import sys
    docs, used = load(int(sys.argv[1]) if len(sys.argv) > 1 else 10**9)
    print(len(docs), "paragraphs,", sum(len(d.encode()) for d in docs) / 1e6, "MB", used)
