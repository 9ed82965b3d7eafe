"""Scores and matching rules of search, checked against the reference model."""

import math
import struct

import pytest

from tarnwick.native import Search

from search_model import Model


@pytest.fixture
def corpus(tmp_path):
    """Adds texts to a fresh engine and to the model; gives both and the ids in order."""

    def build(*texts, delete=()):
        engine = Search(tmp_path / "engine", None)
        model = Model()
        ids = []
        for text in texts:
            doc_id = engine.add(text)
            model.live[doc_id] = text
            ids.append(doc_id)
        for i in delete:
            engine.delete(ids[i])
            model.pending[ids[i]] = model.live.pop(ids[i])
        return engine, model, ids

    return build


def scores_of(engine, query, top_k=0):
    return {r.document.id: r.score for r in engine.search(query, top_k)}


def assert_matches_model(engine, model, query):
    expected = model.scores(query)
    got = scores_of(engine, query)
    assert got.keys() == expected.keys(), query
    for doc_id, score in expected.items():
        assert got[doc_id] == pytest.approx(score, rel=1e-12), (query, doc_id)


TEXTS = (
    "cat dog fish",
    "cat fish dog dog",
    "dog cat",
    "bird the cat and elk dog",
    "cart card cat",
    "fish fish fish fish elk",
    "",
    "the and of",
)


@pytest.mark.parametrize(
    "query",
    [
        "cat",
        "dog",
        "cat dog",  # adjacent, in query order
        "dog cat",
        "cat elk",
        '"cat dog"',
        '"cat dog"~1',
        '"cat dog"~2',
        '"cat fish dog"~3',
        "cart~1",  # cart 0, card 1, cat 1
        "cart~2",
        "card~",  # bare tilde: one edit for four bytes
        "cat~1 dog",
        "fish",
        "dog dog",  # a repeated term needs two occurrences in order
        "the cat",  # stop words take no position in the query either
        "bird cat",  # a stop word between them in the document adds no slop
    ],
)
def test_scores_follow_bm25_over_best_interval(corpus, query):
    engine, model, _ = corpus(*TEXTS)
    assert_matches_model(engine, model, query)


def test_known_single_term_score(corpus):
    # N = 10, df = 1, tf = 1 and dl = avgdl give ln(9.5 / 1.5 + 1).
    engine, _, ids = corpus("zebra", *["yak"] * 9)
    [hit] = engine.search("zebra", 10)
    assert hit.document.id == ids[0]
    assert hit.score == pytest.approx(math.log(9.5 / 1.5 + 1), rel=1e-12)
    [fuzzy] = engine.search("zebru~1", 10)
    assert fuzzy.score == pytest.approx(0.8 * hit.score, rel=1e-12)


def test_slop_divides_the_interval_score(corpus):
    # Same tf, df and length for both documents; only the slop differs, 0 against 3.
    engine, _, ids = corpus("cat dog elk elk elk", "cat elk elk elk dog", *["yak"] * 5)
    scores = scores_of(engine, '"cat dog"~3')
    assert scores[ids[1]] == pytest.approx(scores[ids[0]] / 4, rel=1e-12)


def test_matching_needs_query_order_and_proximity(corpus):
    engine, _, ids = corpus("cat elk dog", "dog cat", "cat dog")
    assert set(scores_of(engine, "cat dog")) == {ids[2]}
    assert set(scores_of(engine, '"cat dog"~1')) == {ids[0], ids[2]}
    assert set(scores_of(engine, '"dog cat"~9')) == {ids[1]}


def test_short_words_get_no_fuzzy_alternatives(corpus):
    engine, _, ids = corpus("ax", "ox")
    assert set(scores_of(engine, "ox~2")) == {ids[1]}
    assert set(scores_of(engine, "ox~1")) == {ids[0], ids[1]}


@pytest.mark.parametrize("query", ["the", "the and", '"of the"~3', "a~1"])
def test_stop_word_queries_return_nothing(corpus, query):
    engine, _, _ = corpus(*TEXTS)
    assert engine.search(query, 10) == []


def test_top_k_keeps_the_best(corpus):
    texts = [" ".join(["cat"] * n + ["elk"] * (8 - n)) for n in range(1, 9)]
    engine, model, _ = corpus(*texts)
    expected = sorted(model.scores("cat").values(), reverse=True)
    for k in (1, 3, 8, 100):
        hits = engine.search("cat", k)
        assert [h.score for h in hits] == pytest.approx(expected[:k], rel=1e-12)
    assert len(engine.search("cat", 0)) == len(texts)


def test_pending_deletions_count_in_df_but_never_match(corpus):
    engine, model, ids = corpus("cat dog", "cat", "cat elk", "dog", delete=[1, 2])
    assert set(scores_of(engine, "cat")) == {ids[0]}
    assert_matches_model(engine, model, "cat")
    engine.flush()
    model.purge()
    assert_matches_model(engine, model, "cat")


def test_empty_documents_are_stored_but_never_found(corpus):
    engine, _, ids = corpus("", "the of", "cat")
    engine.flush()
    assert engine.get(ids[0]).content == ""
    assert engine.get(ids[1]).content == "the of"
    assert {r.document.id for r in engine.search("cat~2", 0)} == {ids[2]}


def test_scores_are_finite_after_flushing_an_empty_engine(tmp_path):
    engine = Search(tmp_path, None)
    engine.flush()
    engine.merge()
    doc_id = engine.add("cat dog")
    [hit] = engine.search("cat", 5)
    assert hit.document.id == doc_id
    assert math.isfinite(hit.score) and hit.score > 0


def test_average_never_goes_negative(tmp_path):
    # Two documents deleted while pending, then two short ones added: the mean must stay the
    # mean of what the index holds.
    engine = Search(tmp_path, None)
    first = [engine.add("cat dog"), engine.add("cat elk fish")]
    for doc_id in first:
        engine.delete(doc_id)
    kept = [engine.add("cat"), engine.add("cat")]
    engine.flush()
    hits = engine.search("cat", 10)
    assert {h.document.id for h in hits} == set(kept)
    assert all(h.score > 0 and math.isfinite(h.score) for h in hits)
    # One kept token each, so the stored mean is exactly 1.0.
    assert struct.unpack("<d", (tmp_path / "meta").read_bytes()) == (1.0,)
