"""Document.content: cached per object, read from the data file, and its failures."""

import pytest

from tarnwick.native import Search


@pytest.fixture
def stored(tmp_path):
    """An engine holding one saved three-letter document, and the document's data file."""
    engine = Search(tmp_path, None)
    doc_id = engine.add("cat")
    engine.flush()
    [data] = [p / "data" for p in tmp_path.iterdir() if p.name.isdigit()]
    return engine, doc_id, data


def test_content_is_read_once_per_object(stored):
    engine, doc_id, data = stored
    document = engine.get(doc_id)
    assert document.content == "cat"
    data.unlink()
    assert document.content == "cat"  # cached by this object
    with pytest.raises(FileNotFoundError):
        engine.get(doc_id).content


def test_block_that_does_not_decompress(stored):
    engine, doc_id, data = stored
    block = bytearray(data.read_bytes())
    block[4] = 0xF0  # a literal run longer than the block
    data.write_bytes(bytes(block))
    with pytest.raises(ValueError, match="^Failed to decompress document content: "):
        engine.get(doc_id).content


def test_text_that_is_not_utf8(stored):
    engine, doc_id, data = stored
    # Same length as the stored block: three literal bytes that are not UTF-8.
    assert len(data.read_bytes()) == 8
    data.write_bytes(b"\x03\x00\x00\x00\x30\xff\xfe\xfd")
    with pytest.raises(UnicodeDecodeError):
        engine.get(doc_id).content


def test_hits_come_with_their_texts_up_to_a_budget(tmp_path):
    engine = Search(tmp_path, None)
    texts = {engine.add("cat number %d" % n): "cat number %d" % n for n in range(120)}
    long_text = "cat " * 300_000  # more text than a list of hits carries
    texts[engine.add(long_text)] = long_text
    engine.flush()
    hits = engine.search("cat", 0)
    assert {hit.document.id for hit in hits} == set(texts)
    [data] = [p / "data" for p in tmp_path.iterdir() if p.name.isdigit()]
    data.unlink()
    for rank, hit in enumerate(hits):
        text = texts[hit.document.id]
        if rank < 100 and text is not long_text:
            assert hit.document.content == text
        else:  # read when asked for
            with pytest.raises(FileNotFoundError):
                hit.document.content
