"""Result.matches: where each hit matched, in characters of its text, found by the engine."""

import pytest

from tarnwick import Search

LOCKS = ("A lock here. Much later text about many other things, then the LOCK showed heavy "
         "contention, and more locks.")


def words(hit) -> list[str]:
    text = hit.document.content
    return [text[a:b] for a, b in hit.matches]


@pytest.mark.parametrize(
    "query, expected",
    [
        ("lock", ["lock"]),  # the first of equal intervals
        ("contention", ["contention"]),
        ("lock contention", []),  # not adjacent anywhere
        ('"lock contention"~3', ["LOCK", "contention"]),  # the lock close to contention
        ('"the lock contention"~3', ["LOCK", "contention"]),  # stop words take no place
        ("locking~1", ["lock"]),  # the stem of the query is within one edit
        ("kontention~1", ["contention"]),
        ('"heavy contention"', ["heavy", "contention"]),
    ],
)
def test_matches_are_the_words_of_the_best_interval(tmp_path, query, expected):
    engine = Search(tmp_path, None)
    engine.add(LOCKS)
    hits = engine.search(query, 0)
    assert [words(hit) for hit in hits] == ([expected] if expected else [])
    if hits:
        # The text is read once for both.
        assert hits[0].document.content == LOCKS


def test_the_tightest_of_several_places_is_shown(tmp_path):
    engine = Search(tmp_path, None)
    text = "memory lies behind one barrier; later memory barrier; memory x y barrier"
    engine.add(text)
    [hit] = engine.search('"memory barrier"~3', 1)
    tight = text.index("memory barrier")
    assert hit.matches == [(tight, tight + 6), (tight + 7, tight + 14)]


UNICODE = [
    ("Ünïcode café 東京タワー 😀 fox", "fox", ["fox"]),
    ("Ünïcode café 東京タワー 😀 fox", '"東 京 タワー"', ["東", "京", "タワー"]),
    ("Ünïcode café 東京タワー 😀 fox", "café", ["café"]),
    ("😀😀 e-mail to user@example.com", "e mail", ["e", "mail"]),
    ("😀😀 e-mail to user@example.com", "example.com", ["example.com"]),
    ("ÉCOLE école École", "École", ["ÉCOLE"]),
]


@pytest.mark.parametrize("text, query, expected", UNICODE)
def test_offsets_count_characters_of_the_python_string(tmp_path, text, query, expected):
    engine = Search(tmp_path, None)
    engine.add(text)
    [hit] = engine.search(query, 1)
    assert words(hit) == expected


def test_saved_texts_pages_and_a_configuration_of_stop_words(tmp_path, write_config):
    engine = Search(tmp_path, write_config('stop_words = ["grey"]\n'))
    ids = engine.add_many([f"{n} the grey heron waits" for n in range(5)])
    engine.flush()
    for hit in engine.search_page('"the heron"', 2, 2):
        assert words(hit) == ["the", "heron"]  # "the" is a word here; "grey" takes no place
    saved = Search(tmp_path, write_config('stop_words = ["grey"]\n'))  # a reader
    [hit] = saved.search("waits", 1)
    assert hit.document.id in ids and words(hit) == ["waits"]


def test_matches_of_an_unreadable_text_raise_like_content(tmp_path):
    engine = Search(tmp_path, None)
    engine.add("heron")
    engine.flush()
    [segment] = [p for p in tmp_path.iterdir() if p.name.isdigit()]
    (segment / "data").write_bytes(b"")
    [hit] = engine.search("heron", 1)
    with pytest.raises(OSError, match="failed to fill whole buffer"):
        hit.matches
