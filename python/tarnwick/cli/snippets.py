"""The line of text shown under a search hit: the part of the document around the words that
matched, with those words marked.

The engine does not say which words matched, so this module finds them again, approximately: it
reads the query terms as the query language writes them, and takes a document word as matched
when a crude suffix-stripped form of it is within the term's edit distance of the term's. That
covers the usual plural and verb endings; a word the engine's stemmer treats otherwise may go
unmarked, and the snippet then shows the beginning of the text.
"""

import re
from collections.abc import Iterable
from dataclasses import dataclass

# The engine's default stop words; a configuration file may replace them.
DEFAULT_STOP_WORDS = frozenset(
    "a and are as at be but by for if in into is it no not of on or s such t that the their "
    "then there these they this to was will with www".split()
)

_WORD = re.compile(r"[^\W_]+")
_TERM = re.compile(r"^(?P<word>[^~]*)(?:~(?P<digits>\d{0,2}))?$")
_PHRASE = re.compile(r'^\s*"(?P<terms>.*)"(?:~\d{1,2})?\s*$', re.DOTALL)
_SUFFIXES = ("ing", "ed", "es", "s", "ly")


@dataclass(frozen=True)
class QueryWord:
    key: str
    fuzziness: int


@dataclass(frozen=True)
class Snippet:
    text: str
    # Character ranges of `text` that hold matched words, in order.
    marks: list[tuple[int, int]]


def _key(word: str) -> str:
    word = word.lower()
    for suffix in _SUFFIXES:
        if word.endswith(suffix) and len(word) - len(suffix) >= 3:
            return word[: -len(suffix)]
    return word


def _fuzziness(term: str, digits: str | None) -> int:
    if digits is None:
        return 0
    if digits:
        return min(int(digits), 2)
    # A bare tilde: the allowance grows with the term's length in bytes.
    size = len(term.encode())
    return 2 if size > 5 else 1 if size >= 3 else 0


def query_words(query: str, stop_words: Iterable[str] = DEFAULT_STOP_WORDS) -> list[QueryWord]:
    """The words of `query` to look for in a hit's text, stop words left out."""
    stops = set(stop_words)
    phrase = _PHRASE.match(query)
    terms = phrase["terms"] if phrase else query
    words = []
    for term in terms.split():
        found = _TERM.match(term)
        if not found:
            continue
        fuzziness = _fuzziness(found["word"], found["digits"])
        for word in _WORD.findall(found["word"].lower()):
            if word not in stops:
                words.append(QueryWord(_key(word), fuzziness))
    return words


def _within(a: str, b: str, limit: int) -> bool:
    """Whether the Levenshtein distance of `a` and `b` is at most `limit`."""
    if abs(len(a) - len(b)) > limit:
        return False
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        if min(current) > limit:
            return False
        previous = current
    return previous[-1] <= limit


def _matches(text: str, words: list[QueryWord]) -> list[tuple[int, int]]:
    spans = []
    for found in _WORD.finditer(text):
        key = _key(found[0])
        if any(_within(key, w.key, w.fuzziness) for w in words):
            spans.append(found.span())
    return spans


def snippet(content: str, words: list[QueryWord], width: int) -> Snippet:
    """At most `width` characters of `content` on one line, around its densest run of matches."""
    text = " ".join(content.split())
    width = max(width, 20) - 2  # room for the ellipses
    spans = _matches(text, words)
    start = 0
    if spans:
        # The window that starts at a match and covers the most matches; it opens a little
        # before that match so the reader sees what leads up to it.
        best, most, j = 0, 0, 0
        for i, (a, _) in enumerate(spans):
            while j < len(spans) and spans[j][1] <= a + width:
                j += 1
            if j - i > most:
                best, most = i, j - i
        start = max(0, spans[best][0] - width // 5)
        if start > 0:
            space = text.rfind(" ", 0, start)
            start = space + 1 if space >= 0 else 0
    end = min(len(text), start + width)
    if end < len(text):
        # Cut at a word boundary when one is near.
        space = text.rfind(" ", start, end)
        if space > start + width // 2:
            end = space
    prefix = "…" if start > 0 else ""
    suffix = "…" if end < len(text) else ""
    shift = len(prefix) - start
    marks = [(a + shift, b + shift) for a, b in spans if a >= start and b <= end]
    return Snippet(prefix + text[start:end] + suffix, marks)
