"""Deterministic English-prose corpus for the comparison benchmark.

Paragraphs (blank-line separated) of the reStructuredText sources shipped in
Debian's ``linux-doc`` package (``/usr/share/doc/linux-doc/Documentation``,
mostly gzipped), in sorted path order.  Very short paragraphs and pure markup
(directives, heading underlines, tables, code-like blocks) are dropped, and so
are the non-English translations under Documentation/translations.
If that yields fewer paragraphs than requested, text sources from further
Debian documentation packages are appended (see EXTRA_ROOTS).
"""

from __future__ import annotations

import gzip
import os
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


if __name__ == "__main__":
    import sys
    docs, used = load(int(sys.argv[1]) if len(sys.argv) > 1 else 10**9)
    print(len(docs), "paragraphs,", sum(len(d.encode()) for d in docs) / 1e6, "MB", used)
