"""The snippet helper: stretches of a text around given matches, the matched words marked."""

import re

import pytest
from hypothesis import example, given, strategies as st

from tarnwick import Search, fragments, snippet

FILLER = "lorem ipsum dolor sit amet " * 20


def spans_of(text: str, *words: str) -> list[tuple[int, int]]:
    return [(m.start(), m.end()) for w in words for m in re.finditer(rf"\b{w}\b", text)]


def test_one_line_around_the_densest_matches_with_markers():
    text = f"fox at the start\n{FILLER}then\tbrown foxes and a brown fox\n{FILLER}"
    matches = spans_of(text, "brown", "fox")
    line = snippet(text, matches, width=60, markers=("<b>", "</b>"))
    assert line.startswith("…") and line.endswith("…")
    assert "\n" not in line and "\t" not in line
    assert re.findall("<b>(.*?)</b>", line) == ["brown", "brown", "fox"]
    assert len(re.sub("</?b>", "", line)) <= 60 + 2


def test_several_fragments_in_text_order_never_overlapping():
    text = f"alpha {FILLER}beta {FILLER}gamma gamma {FILLER}"
    matches = spans_of(text, "alpha", "beta", "gamma")
    shown = fragments(text, matches, width=40, count=2)
    # The densest stretch (both gammas) first chosen, then the next best; shown in text order.
    assert [f.text[a:b] for f in shown for a, b in f.marks] == ["alpha", "gamma", "gamma"]
    assert shown[0].end <= shown[1].start
    line = snippet(text, matches, width=40, count=3)
    assert line.count("[") == 4 and line.count(" … ") == 2 and line.endswith("…")


def test_without_matches_the_beginning_and_no_ellipsis_for_a_whole_text():
    assert snippet("short  text\nhere", []) == "short text here"
    assert snippet(FILLER, [], width=20) == FILLER[:20] + "…"
    assert snippet("", []) == ""


def test_bad_arguments_raise():
    with pytest.raises(ValueError):
        fragments("text", [], width=0)
    with pytest.raises(ValueError):
        fragments("text", [], count=0)
    # Ranges outside the text or empty are ignored.
    assert snippet("a text", [(-1, 2), (3, 3), (2, 99)]) == "a text"


def test_with_the_engine_matches(tmp_path):
    engine = Search(tmp_path, None)
    engine.add(f"a lock at first. {FILLER}The LOCK showed contention. {FILLER}")
    [hit] = engine.search('"lock contention"~3', 1)
    line = snippet(hit.document.content, hit.matches, width=50)
    assert "[LOCK] showed [contention]" in line


words = st.text(alphabet="abcé東 \n\t", min_size=0, max_size=300)


@given(text=words, picks=st.lists(st.tuples(st.integers(0, 300), st.integers(1, 8)), max_size=6),
       width=st.integers(1, 80), count=st.integers(1, 3))
@example(text="aa", picks=[(0, 2)], width=1, count=1)  # a matched word wider than the stretch
def test_fragments_mark_exactly_the_matches_they_show(text, picks, width, count):
    # Like the engine's: words, not overlapping.
    candidates = sorted({(a, a + n) for a, n in picks
                         if a + n <= len(text) and not any(c.isspace() for c in text[a:a + n])})
    matches = [m for i, m in enumerate(candidates)
               if all(m[0] >= o[1] or m[1] <= o[0] for o in candidates[:i])]
    shown = fragments(text, matches, width, count)
    assert len(shown) <= count
    for fragment in shown:
        assert fragment.end - fragment.start <= width
        assert "\n" not in fragment.text and "  " not in fragment.text
        squeezed = re.sub(r"\s+", " ", text[fragment.start:fragment.end])
        assert fragment.text == squeezed
        inside = [(s, e) for s, e in matches if fragment.start <= s and e <= fragment.end]
        assert [fragment.text[a:b] for a, b in fragment.marks] == [text[s:e] for s, e in inside]
    assert all(a.end <= b.start for a, b in zip(shown, shown[1:]))
