"""Documents added but not saved yet: search finds them and their text reads like any other."""

import pytest

from tarnwick import Search

TEXTS = [f"Ünïcode paragraph {n}: the grey heron waits at dawn, number {n} of many"
         for n in range(40)]


def test_unsaved_documents_read_through_get_search_and_repr(tmp_path):
    engine = Search(tmp_path, None)
    ids = [engine.add(text) for text in TEXTS]
    assert [engine.get(i).content for i in ids] == TEXTS
    hits = engine.search("heron", 0)
    assert sorted(hit.document.content for hit in hits) == sorted(TEXTS)
    assert "content='Ünïcode paragraph 0" in repr(engine.get(ids[0]))
    # A copy taken before the save keeps its text; one taken after reads the file.
    before = engine.get(ids[1])
    engine.flush()
    assert before.content == TEXTS[1]
    assert engine.get(ids[2]).content == TEXTS[2]


def test_texts_read_across_automatic_saves_and_segments(tmp_path, write_config):
    # Small buffers and segments: some texts are saved, some in the buffer, some in closed
    # segments, at every step.
    config = write_config("documents_buffer_size = 300\nsegment_size = 2000\n")
    engine = Search(tmp_path, config)
    ids = []
    for text in TEXTS:
        ids.append(engine.add(text))
        assert [engine.get(i).content for i in ids] == TEXTS[: len(ids)]
    assert engine.stats()["segments"] > 1


def test_a_document_deleted_before_its_save_stays_readable_through_its_copy(tmp_path):
    engine = Search(tmp_path, None)
    doc_id = engine.add(TEXTS[0])
    result = engine.search("heron", 1)[0]
    document = engine.get(doc_id)
    engine.delete(doc_id)
    assert document.content == TEXTS[0]
    assert result.document.content == TEXTS[0]
    with pytest.raises(KeyError):
        engine.get(doc_id)
    engine.flush()
    assert result.document.content == TEXTS[0]

