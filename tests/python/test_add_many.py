"""Adding many documents in one call: ids in order, the same state as a loop of add, and every
item checked before anything is added."""

import shutil

import pytest

from tarnwick import Search

TEXTS = [f"paragraph {n} about the heron and the river {n % 7}" for n in range(700)] + [
    "",
    "the of and",
    "Ünïcode 東京タワー text",
]
QUERIES = ["heron", "river 3", '"heron river"~3', "herron~1", "東 京", "paragraph 699"]


def test_ids_come_in_order_and_the_documents_read_back(tmp_path):
    engine = Search(tmp_path, None)
    before = engine.add("added before")
    ids = engine.add_many(TEXTS)
    assert len(ids) == len(TEXTS) == len(set(ids))
    assert before < ids[0] and ids == sorted(ids)
    assert [engine.get(i).content for i in ids] == TEXTS
    assert engine.add_many([]) == []
    assert engine.add_many(t for t in ("from", "a generator")) != []
    assert engine.stats()["documents"] == len(TEXTS) + 3


def test_the_state_is_what_a_loop_of_add_leaves(tmp_path, write_config):
    # Small buffers, so that saves and new segments fall inside the call. The two directories
    # have names of one length, since records hold the path of their segment.
    config = write_config("documents_buffer_size = 2000\nindex_buffer_size = 3000\n"
                          "segment_size = 20000\n")
    by_add = Search(tmp_path / "loop", config)
    loop_ids = [by_add.add(text) for text in TEXTS]
    by_many = Search(tmp_path / "many", config)
    many_ids = by_many.add_many(TEXTS)
    for engine in (by_add, by_many):
        engine.flush()
    rank = {doc_id: n for n, doc_id in enumerate(loop_ids)} | {
        doc_id: n for n, doc_id in enumerate(many_ids)}
    for query in QUERIES:
        hits = [[(rank[h.document.id], h.score) for h in engine.search(query, 0)]
                for engine in (by_add, by_many)]
        assert hits[0] == hits[1], query
    assert by_add.stats() == by_many.stats()
    for engine in (by_add, by_many):
        engine.close()

    def sizes(root):
        # Segment names come from the clock; what each segment holds is compared in order.
        return sorted((p.parent.name.isdigit(), p.name, p.stat().st_size)
                      for p in root.rglob("*") if p.is_file())

    assert sizes(tmp_path / "loop") == sizes(tmp_path / "many")


@pytest.mark.parametrize(
    "texts, error, message",
    [
        ("one text", TypeError, "argument 'texts': expected an iterable of str, not str"),
        (b"bytes", TypeError, "not bytes"),
        (42, TypeError, "expected an iterable of str"),
        (["fine", b"not text", "fine"], TypeError, "item 1 is bytes, not str"),
        (["fine", None], TypeError, "item 1 is NoneType, not str"),
        (["fine", "lone \ud800 surrogate"], UnicodeEncodeError, "surrogate"),
    ],
)
def test_bad_input_adds_nothing(tmp_path, texts, error, message):
    engine = Search(tmp_path, None)
    with pytest.raises(error, match=message):
        engine.add_many(texts)
    assert engine.stats()["documents"] == 0


def test_a_reader_refuses_and_a_closed_engine_raises(tmp_path):
    writer = Search(tmp_path, None)
    reader = Search(tmp_path, None)
    with pytest.raises(BlockingIOError):
        reader.add_many(["text"])
    writer.close()
    with pytest.raises(ValueError, match="closed"):
        writer.add_many(["text"])
    assert Search(tmp_path, None).stats()["documents"] == 0


def test_a_failure_part_way_keeps_the_texts_before_it_and_says_so(tmp_path, write_config):
    # The dictionary saves after three new words; without its directory the save fails.
    engine = Search(tmp_path / "engine", write_config("index_save_after_operations = 3\n"))
    shutil.rmtree(tmp_path / "engine" / "index")
    with pytest.raises(FileNotFoundError) as caught:
        engine.add_many(["heron", "heron", "grey heron fishing at dawn", "never added"])
    assert caught.value.__notes__ == ["add_many added the first 2 of the texts before this error"]
    assert engine.stats()["documents"] == 2
    assert [h.document.content for h in engine.search("heron", 0)] == ["heron", "heron"]
