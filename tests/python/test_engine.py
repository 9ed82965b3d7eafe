"""The engine through its Python API: ids, get and delete, saving and reopening."""

import math
import pathlib
import struct

import pytest

from tarnwick.native import BincodeDecodeError, Search, UlidDecodeError

CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def ulid_value(text: str) -> int:
    value = 0
    for c in text:
        value = value * 32 + CROCKFORD.index(c)
    return value


def test_opening_creates_the_directory_layout(tmp_path):
    root = tmp_path / "a" / "b"
    Search(root, None)
    assert (root / "meta").read_bytes() == b""
    assert sorted(p.name for p in (root / "index").iterdir()) == ["index", "meta", "tokens"]
    segments = [p for p in root.iterdir() if p.name.isdigit()]
    assert len(segments) == 1
    assert sorted(p.name for p in segments[0].iterdir()) == ["data", "del", "meta"]


def test_path_objects_and_strings_open_the_same_engine(tmp_path):
    engine = Search(str(tmp_path), config=None)
    doc_id = engine.add("dog")
    engine.flush()
    [result] = Search(pathlib.Path(tmp_path), None).search("dog", 1)
    assert result.document.id == doc_id


def test_ids_strictly_increase(tmp_path):
    engine = Search(tmp_path, None)
    ids = [engine.add("x") for _ in range(2000)]
    assert all(len(i) == 26 and i == i.upper() for i in ids)
    values = [ulid_value(i) for i in ids]
    assert all(b > a for a, b in zip(values, values[1:]))
    # Within one millisecond the next id is the last one plus one.
    same_ms = [(a, b) for a, b in zip(values, values[1:]) if a >> 80 == b >> 80]
    assert same_ms and all(b == a + 1 for a, b in same_ms)


def test_get_returns_copies_of_live_documents(tmp_path):
    engine = Search(tmp_path, None)
    doc_id = engine.add("The quick brown fox")
    document = engine.get(doc_id)
    assert document.id == doc_id
    assert document.content == "The quick brown fox"
    assert engine.get(doc_id.lower()).id == doc_id
    assert engine.get(doc_id) is not document


def test_get_and_delete_errors(tmp_path):
    engine = Search(tmp_path, None)
    doc_id = engine.add("cat")
    missing = doc_id[:-1] + ("0" if doc_id[-1] != "0" else "1")
    with pytest.raises(KeyError) as info:
        engine.get(missing.lower())
    assert info.value.args == (f"Document with id: {missing} does not exist",)
    for call in (engine.get, engine.delete):
        with pytest.raises(UlidDecodeError, match="^invalid length$"):
            call("abc")
        with pytest.raises(UlidDecodeError, match="^invalid character$"):
            call("!" * 26)
        with pytest.raises(UlidDecodeError, match="^invalid character$"):
            call("0" * 25 + "U")
        with pytest.raises(TypeError):
            call(b"0" * 26)
    assert engine.delete(missing) is True
    assert engine.delete(doc_id) is True
    assert engine.delete(doc_id) is True
    with pytest.raises(KeyError):
        engine.get(doc_id)
    assert engine.search("cat", 0) == []


def test_results_hand_out_fresh_documents(tmp_path):
    engine = Search(tmp_path, None)
    doc_id = engine.add("cat dog")
    engine.flush()
    [result] = engine.search("cat", 0)
    first, second = result.document, result.document
    assert first is not second and first.id == second.id == doc_id
    assert first.content == second.content == "cat dog"


def test_argument_errors(tmp_path):
    engine = Search(tmp_path, None)
    with pytest.raises(TypeError):
        Search(tmp_path)
    with pytest.raises(TypeError):
        Search(tmp_path, 3)
    with pytest.raises(TypeError):
        engine.add(b"cat")
    with pytest.raises(OverflowError, match="top_k"):
        engine.search("cat", -1)
    with pytest.raises(OverflowError, match="top_k"):
        engine.search("cat", 2**32)
    with pytest.raises(TypeError, match="top_k"):
        engine.search("cat", "3")
    assert engine.search("cat", 2**32 - 1) == []
    with pytest.raises(ValueError, match="^Following query is invalid"):
        engine.search('"cat', 1)


def test_flushed_state_survives_reopening(tmp_path):
    engine = Search(tmp_path, None)
    ids = [engine.add(t) for t in ("cat dog", "dog elk", "cat cat fish")]
    engine.delete(ids[1])
    engine.flush()
    before = [(r.document.id, r.score) for r in engine.search("cat~1", 0)]
    del engine
    assert (tmp_path / "meta").stat().st_size == 8
    reopened = Search(tmp_path, None)
    assert [(r.document.id, r.score) for r in reopened.search("cat~1", 0)] == before
    assert reopened.get(ids[2]).content == "cat cat fish"
    with pytest.raises(KeyError):
        reopened.get(ids[1])


def test_reopening_without_flush_is_consistent(tmp_path):
    engine = Search(tmp_path, None)
    for i in range(50):
        engine.add(f"cat dog number{i}")
    del engine
    reopened = Search(tmp_path, None)
    for result in reopened.search("cat", 0):
        assert result.document.content.startswith("cat dog")
    reopened.add("cat elk")
    reopened.flush()
    assert [r.document.content for r in reopened.search("elk", 0)] == ["cat elk"]


@pytest.mark.parametrize("damage", [b"\x01", b"\x01" * 7, struct.pack("<d", float("nan")),
                                    struct.pack("<d", -3.0), struct.pack("<d", 1e9)])
def test_a_wrong_statistics_file_is_recomputed(tmp_path, damage):
    with Search(tmp_path, None) as engine:
        for text in ("cat dog", "cat", "elk fish fish"):
            engine.add(text)
        expected = [(r.document.id, r.score) for r in engine.search("cat", 0)]
    (tmp_path / "meta").write_bytes(damage)
    with Search(tmp_path, None) as engine:
        assert [(r.document.id, r.score) for r in engine.search("cat", 0)] == expected
    assert struct.unpack("<d", (tmp_path / "meta").read_bytes()) == pytest.approx((6 / 3,))


def test_statistics_file_uses_its_first_eight_bytes(tmp_path):
    engine = Search(tmp_path, None)
    for text in ("cat dog", "cat", "elk"):
        engine.add(text)
    engine.flush()
    expected = [(r.document.id, r.score) for r in engine.search("cat", 0)]
    (tmp_path / "meta").write_bytes((tmp_path / "meta").read_bytes() + b"junk")
    got = [(r.document.id, r.score) for r in Search(tmp_path, None).search("cat", 0)]
    assert got == expected


def test_saved_average_is_the_mean_of_kept_tokens(tmp_path):
    engine = Search(tmp_path, None)
    for text in ("cat dog", "cat elk fish fish", "the"):
        engine.add(text)
    engine.flush()
    assert struct.unpack("<d", (tmp_path / "meta").read_bytes()) == pytest.approx((6 / 3,))


def df_after_deletions(tmp_path, live_after, deletions, checked):
    """Adds live_after + deletions documents holding one term, deletes `deletions` of them one by
    one, and gives the term's df as the scores show it after each deletion count in `checked`."""
    engine = Search(tmp_path, None)
    ids = [engine.add("cat") for _ in range(live_after + deletions)]
    seen = {}
    for k, doc_id in enumerate(ids[:deletions], 1):
        engine.delete(doc_id)
        if k not in checked:
            continue
        [hit] = engine.search("cat", 1)
        n = len(ids) - k
        # One term of tf 1 in documents of average length: the score is the idf alone.
        candidates = {df: math.log((max(n - df, 0) + 0.5) / (df + 0.5) + 1) for df in (len(ids), n)}
        [seen[k]] = [df for df, idf in candidates.items() if hit.score == pytest.approx(idf)]
    return len(ids), seen


def test_pending_deletions_are_purged_at_1001(tmp_path):
    total, seen = df_after_deletions(tmp_path, 100, 1001, {1, 1000, 1001})
    assert seen == {1: total, 1000: total, 1001: total - 1001}


def test_purge_needs_a_twentieth_of_the_live_count(tmp_path):
    # 20 040 live documents once 1003 are pending: 1001 and 1002 are not above a twentieth.
    total, seen = df_after_deletions(tmp_path, 20040, 1003, {1001, 1002, 1003})
    assert seen == {1001: total, 1002: total, 1003: total - 1003}


def test_postings_are_saved_with_their_words(tmp_path, write_config):
    # Every record saved at once: a posting on disk must never name a word that is not.
    config = write_config("documents_buffer_size = 0\nindex_buffer_size = 0\n")
    engine = Search(tmp_path / "e", config)
    engine.add("apple")
    del engine
    engine = Search(tmp_path / "e", config)
    cherry = engine.add("cherry")
    assert [r.document.id for r in engine.search("cherry", 0)] == [cherry]
    assert [r.document.content for r in engine.search("apple", 0)] == ["apple"]
    engine.flush()
    engine = Search(tmp_path / "e", config)
    assert [r.document.id for r in engine.search("cherry", 0)] == [cherry]


@pytest.mark.parametrize("adding", ["add", "add_many"])
def test_a_word_that_left_the_dictionary_is_given_an_id_again(tmp_path, adding):
    # Adding remembers the ids of the words it met; a freed id goes to the next new word.
    def add(engine, text):
        return engine.add(text) if adding == "add" else engine.add_many([text])[0]

    with Search(tmp_path, None) as engine:
        first = add(engine, "alpha beta")
        add(engine, "beta")
        engine.delete(first)
        engine.flush()  # purges it: the id of "alpha" is free
        add(engine, "gamma")
        again = add(engine, "alpha")
        assert [r.document.id for r in engine.search("alpha", 0)] == [again]
        assert [r.document.content for r in engine.search("gamma", 0)] == ["gamma"]


class Reentrant:
    """A top_k whose conversion calls back into the engine."""

    def __init__(self, call):
        self.call = call

    def __index__(self):
        self.call()
        return 5


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.add("dog"),
        lambda e: e.add_many(["dog"]),
        lambda e: e.get("0" * 26),
        lambda e: e.search("cat", 1),
        lambda e: e.search_page("cat", 0, 1),
        lambda e: e.count("cat"),
        lambda e: e.flush(),
        lambda e: e.merge(),
        lambda e: e.delete("0" * 26),
    ],
)
def test_reentrant_calls_are_refused(tmp_path, call):
    engine = Search(tmp_path, None)
    doc_id = engine.add("cat")
    with pytest.raises(RuntimeError, match="^Already (mutably )?borrowed$"):
        engine.search("cat", Reentrant(lambda: call(engine)))
    assert [r.document.id for r in engine.search("cat", 1)] == [doc_id]


def test_merge_compacts_one_segment_and_keeps_texts(tmp_path, write_config):
    config = write_config("segment_size = 1000\nmerge_deleted_ratio = 0.3\n")
    engine = Search(tmp_path, config)
    texts = {engine.add(f"cat number{i} " + "filler " * 20): i for i in range(40)}
    engine.flush()

    def segments():
        return {p.name for p in tmp_path.iterdir() if p.name.isdigit()}

    before = segments()
    assert len(before) >= 2
    doomed = [doc_id for doc_id, i in texts.items() if i < 10]
    for doc_id in doomed:
        engine.delete(doc_id)
    engine.merge()
    assert len(before - segments()) == 1
    reopened = Search(tmp_path, config)
    for doc_id, i in texts.items():
        if doc_id in doomed:
            with pytest.raises(KeyError):
                reopened.get(doc_id)
        else:
            assert reopened.get(doc_id).content.startswith(f"cat number{i} ")
    assert len(reopened.search("cat", 0)) == 30


def test_stats_count_documents_tokens_and_deletions(tmp_path):
    engine = Search(tmp_path, None)
    ids = [engine.add(t) for t in ("cat dog", "dog elk elk", "the")]
    engine.delete(ids[0])
    stats = engine.stats()
    assert stats == {
        "documents": 2,
        "pending_deletions": 1,
        "tokens": 3,
        "segments": 1,
        "avg_doc_len": pytest.approx(5 / 3),
        "read_only": False,
        "writer_pid": None,
    }
    engine.flush()
    stats = engine.stats()
    assert (stats["pending_deletions"], stats["tokens"]) == (0, 2)  # "cat" left with its document
    assert stats["avg_doc_len"] == pytest.approx(3 / 2)
