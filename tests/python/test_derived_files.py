"""The files derived from the store: the snapshot of the posting lists and the record table, which
a flush writes once the store has grown, and the word list of the token store, written with the
store whenever a save writes it whole (once the changes appended after it outgrow their share). Opening reads them (and what was appended after them), and finds exactly
what it finds from the logs, the token store and the segments alone."""

import shutil
from pathlib import Path

import pytest

from tarnwick import Search

QUERIES = ["common", "filler common", '"filler common"', "word77", "word1~1", "word10044", "missing"]


def texts(first: int, count: int) -> list[str]:
    return [f"word{n} filler common {'extra' if n % 3 else 'other'}" for n in range(first, first + count)]


def answers(engine: Search) -> dict[str, list[tuple[str, float, str]]]:
    return {q: [(hit.document.id, hit.score, hit.document.content) for hit in engine.search(q, 0)]
            for q in QUERIES}


# Each written once enough has been appended since the last.
DERIVED = ["index/postings", "records", "index/words"]


@pytest.mark.parametrize("derived", DERIVED)
def test_opening_through_a_derived_file_finds_what_the_sources_alone_find(
        tmp_path: Path, derived: str) -> None:
    engine_dir = tmp_path / "engine"
    with Search(engine_dir, None) as engine:
        ids = engine.add_many(texts(0, 10_000))
        engine.flush()
        assert all((engine_dir / name).exists() for name in DERIVED)
        written = (engine_dir / derived).stat().st_mtime_ns
        # What comes after the derived files: deletions (purged by the flush), additions.
        for doc_id in ids[100:1100]:
            engine.delete(doc_id)
        engine.add_many(texts(10_000, 50))
        engine.flush()
        assert (engine_dir / derived).stat().st_mtime_ns == written
        expected = answers(engine)
        stats = engine.stats()
    assert expected["common"] and expected["word1~1"]

    with Search(engine_dir, None) as reopened:
        assert answers(reopened) == expected
        assert reopened.stats() == stats
        # A reader beside the writer reads the same files.
        with Search(engine_dir, None) as reader:
            assert reader.stats()["read_only"]
            assert answers(reader) == expected
            assert reader.stats()["documents"] == stats["documents"]
    without = tmp_path / "without"
    shutil.copytree(engine_dir, without)
    (without / derived).unlink()
    with Search(without, None) as from_sources:
        assert answers(from_sources) == expected
        assert from_sources.stats() == stats
        # What it opened from is all tail: it wrote the file anew.
        assert (without / derived).exists()


def change_words(engine: Search, engine_dir: Path, ids: list[str]) -> None:
    """Words go and others come, more than the changes appended to the token store may hold: it
    is written whole again, its words in other places."""
    for doc_id in ids[:5000]:
        engine.delete(doc_id)
    engine.add_many(texts(10_000, 5000))


def compact_logs(engine: Search, engine_dir: Path, ids: list[str]) -> None:
    """The logs are written anew without the purged postings, then appended to."""
    logged = (engine_dir / "index" / "meta").stat().st_size
    for doc_id in ids[: len(ids) // 2]:
        engine.delete(doc_id)
    engine.merge()
    assert (engine_dir / "index" / "meta").stat().st_size < logged
    engine.add_many(texts(10_000, 50))


@pytest.mark.parametrize("derived, change", [("index/words", change_words),
                                             ("index/postings", compact_logs)])
def test_a_derived_file_of_earlier_sources_is_not_used(tmp_path: Path, derived: str,
                                                        change) -> None:
    engine_dir = tmp_path / "engine"
    with Search(engine_dir, None) as engine:
        ids = engine.add_many(texts(0, 10_000))
        engine.flush()
        old = (engine_dir / derived).read_bytes()
        change(engine, engine_dir, ids)
        engine.flush()
        expected = answers(engine)
    assert expected["word10044"]
    (engine_dir / derived).write_bytes(old)
    for _ in range(2):  # and again, after the writer opened it once
        with Search(engine_dir, None) as reopened:
            assert answers(reopened) == expected
