"""Counting the documents a query matches, and asking for one page of its ranking."""

import pytest

from tarnwick import Search


@pytest.fixture
def engine(tmp_path):
    engine = Search(tmp_path, None)
    # Twelve documents share each score, so pages cut through runs of ties.
    for n in range(36):
        engine.add(["the heron fishes", "a grey heron fishes at dawn", "herons fish"][n % 3])
    engine.add("nothing to see")
    return engine


QUERIES = ["heron", "heron fish", '"heron fish"~3', "heronn~1", "dawn", "the", "owl", "grey~"]


@pytest.mark.parametrize("query", QUERIES)
def test_count_is_the_number_of_hits(engine, query):
    assert engine.count(query) == len(engine.search(query, 0))


def test_count_follows_deletions_before_and_after_the_purge(engine):
    hits = engine.search("dawn", 0)
    assert engine.count("dawn") == 12
    for hit in hits[:5]:
        engine.delete(hit.document.id)
    assert engine.count("dawn") == 7 == len(engine.search("dawn", 0))
    engine.flush()
    assert engine.count("dawn") == 7


def test_pages_cut_the_ranking_into_consecutive_pieces(engine):
    ranked = [(h.document.id, h.score) for h in engine.search("heron", 0)]
    assert len(ranked) == 36
    # Ties rank by id, so the ranking is one total order.
    assert ranked == sorted(ranked, key=lambda hit: (-hit[1], hit[0]))
    for size in (1, 5, 7, 12, 40):
        pages = []
        for offset in range(0, 40, size):
            pages += [(h.document.id, h.score) for h in engine.search_page("heron", offset, size)]
        assert pages == ranked, size
        # The first page is what search gives for the same number of hits.
        first = [(h.document.id, h.score) for h in engine.search("heron", size)]
        assert first == ranked[:size]


def test_page_edges(engine):
    ranked = [h.document.id for h in engine.search("heron", 0)]
    assert [h.document.id for h in engine.search_page("heron", 30, 0)] == ranked[30:]
    assert engine.search_page("heron", 36, 5) == []
    assert engine.search_page("heron", 4294967295, 4294967295) == []
    assert engine.search_page(query="owl", offset=0, limit=3) == []


def test_bad_arguments_and_queries_raise(engine):
    for call in (lambda q: engine.count(q), lambda q: engine.search_page(q, 0, 1)):
        with pytest.raises(ValueError, match="Fuzziness must be less or equal to 2"):
            call("heron~3")
        with pytest.raises(TypeError, match="argument 'query'"):
            call(b"heron")
    with pytest.raises(OverflowError, match="argument 'offset'"):
        engine.search_page("heron", -1, 1)
    with pytest.raises(OverflowError, match="argument 'limit'"):
        engine.search_page("heron", 0, 2**32)
    with pytest.raises(TypeError):
        engine.search_page("heron", 0)
    with pytest.raises(TypeError):
        engine.count()
    engine.close()
    with pytest.raises(ValueError, match="closed"):
        engine.count("heron")
