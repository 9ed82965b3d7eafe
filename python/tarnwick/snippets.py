"""Snippets: the stretches of a document's text around the words it matched, those words marked.

The matched words come from `Result.matches`, so the marks show what the engine matched (stems,
fuzzy words, the words of a phrase), not a guess. Whitespace inside a stretch is shown as single
spaces, so that a snippet fits on one line.
"""

from collections.abc import Sequence
from dataclasses import dataclass

Span = tuple[int, int]


@dataclass(frozen=True)
class Fragment:
    """One stretch of a text: [start, end) in characters of the text, as `text` shows it (its
    whitespace runs made single spaces), and the ranges of `text` that hold matched words."""

    start: int
    end: int
    text: str
    marks: list[Span]


def _cover(spans: list[Span], first: int, width: int) -> int:
    """How many spans, from `first` on, fit in `width` characters from spans[first]."""
    limit = spans[first][0] + width
    count = 0
    while first + count < len(spans) and spans[first + count][1] <= limit:
        count += 1
    return count


def _last_space(text: str, low: int, high: int) -> int:
    """The last whitespace character in text[low:high], or -1."""
    return next((i for i in range(high - 1, low - 1, -1) if text[i].isspace()), -1)


def _first_space(text: str, low: int, high: int) -> int:
    """The first whitespace character in text[low:high], or -1."""
    return next((i for i in range(low, high) if text[i].isspace()), -1)


def _bounds(text: str, spans: list[Span], width: int) -> tuple[int, int]:
    """The stretch of at most `width` characters showing `spans` (which fit in it), opening a
    little before the first so that the reader sees what leads up to it, and cut at whitespace
    where whitespace is near."""
    lead = min(width // 5, max(0, width - (spans[-1][1] - spans[0][0])))
    start = max(0, spans[0][0] - lead)
    if start > 0 and not text[start - 1].isspace():
        # Back to the start of the word it falls in, or else on to the next word.
        space = _last_space(text, max(0, start - lead), start)
        if space < 0:
            space = _first_space(text, start, spans[0][0])
        start = space + 1 if space >= 0 else start
    end = min(len(text), start + width)
    if end < len(text) and not text[end].isspace():
        space = _last_space(text, spans[-1][1], end)
        end = space if space >= 0 else end
    return start, end


def _normalize(text: str, start: int, end: int, spans: list[Span]) -> Fragment:
    """The stretch [start, end) of `text` with whitespace runs as single spaces, and the spans
    inside it moved to match."""
    shown: list[str] = []
    at: dict[int, int] = {}  # a character of the text to its place in `shown`
    for i in range(start, end):
        at[i] = len(shown)
        if not text[i].isspace():
            shown.append(text[i])
        elif not shown or shown[-1] != " ":
            shown.append(" ")
    at[end] = len(shown)
    marks = [(at[a], at[b]) for a, b in spans if start <= a and b <= end]
    return Fragment(start, end, "".join(shown), marks)


def fragments(text: str, matches: Sequence[Span], width: int = 160,
              count: int = 1) -> list[Fragment]:
    """Up to `count` stretches of `text`, each at most `width` characters (before whitespace is
    squeezed), that together show the most matched words: the stretch showing the most, then
    among the words left the next, never overlapping. They come in text order. Without matches
    (or with only matched words longer than `width`, which no stretch can show whole), the
    beginning of the text."""
    if width < 1 or count < 1:
        raise ValueError("width and count must be positive")
    spans = sorted((a, b) for a, b in matches if 0 <= a < b <= len(text))
    chosen: list[tuple[int, int]] = []  # (first, number) of the spans of each stretch
    taken = [False] * len(spans)
    for _ in range(count):
        best = None
        for first in range(len(spans)):
            if taken[first]:
                continue
            number = _cover(spans, first, width)
            # A stretch must not reach into spans another one shows.
            while any(taken[first:first + number]):
                number -= 1
            if best is None or number > best[1]:
                best = (first, number)
        if best is None or best[1] == 0:
            break
        chosen.append(best)
        for i in range(best[0], best[0] + best[1]):
            taken[i] = True
    if not chosen:
        return [_normalize(text, 0, min(len(text), width), [])]
    shown: list[Fragment] = []
    for first, number in sorted(chosen):
        start, end = _bounds(text, spans[first:first + number], width)
        # The context before a stretch never reaches back into the one before it.
        start = max(start, shown[-1].end if shown else 0)
        shown.append(_normalize(text, start, end, spans))
    return shown


def snippet(text: str, matches: Sequence[Span], width: int = 160, count: int = 1,
            markers: tuple[str, str] = ("[", "]"), ellipsis: str = "…") -> str:
    """`fragments` as one line: each matched word between `markers`, and `ellipsis` where text is
    left out (between stretches, and before or after them). The markers are inserted as given;
    escaping them for HTML or a terminal is the caller's business.

    >>> snippet("The grey heron waits by the river.", [(9, 14)], width=20)
    '…grey [heron] waits by…'
    """
    out: list[str] = []
    previous_end = 0
    for fragment in fragments(text, matches, width, count):
        if fragment.start > previous_end:
            out.append(f" {ellipsis} " if out else ellipsis)
        at = 0
        for a, b in fragment.marks:
            out += [fragment.text[at:a], markers[0], fragment.text[a:b], markers[1]]
            at = b
        out.append(fragment.text[at:])
        previous_end = fragment.end
    if previous_end < len(text):
        out.append(ellipsis)
    return "".join(out)
