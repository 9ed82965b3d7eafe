"""The snapshot of the posting lists that a flush writes once the index logs have grown: opening
reads it and the records after it, and finds exactly what it finds from the logs alone."""

import shutil
from pathlib import Path

from tarnwick import Search

QUERIES = ["common", "filler common", '"filler common"', "word77", "word1~1", "missing"]


def texts(first: int, count: int) -> list[str]:
    return [f"word{n} filler common {'extra' if n % 3 else 'other'}" for n in range(first, first + count)]


def answers(engine: Search) -> dict[str, list[tuple[str, float]]]:
    return {q: [(hit.document.id, hit.score) for hit in engine.search(q, 0)] for q in QUERIES}


def test_opening_from_the_snapshot_finds_what_the_logs_alone_find(tmp_path: Path) -> None:
    engine_dir = tmp_path / "engine"
    snapshot = engine_dir / "index" / "postings"
    with Search(engine_dir, None) as engine:
        ids = engine.add_many(texts(0, 10_000))
        engine.flush()
        assert snapshot.exists()
        written = snapshot.stat().st_mtime_ns
        # Records after the snapshot: deletions (purged by the flush), additions.
        for doc_id in ids[100:1300]:
            engine.delete(doc_id)
        engine.add_many(texts(10_000, 50))
        engine.flush()
        assert snapshot.stat().st_mtime_ns == written, "not due again so soon"
        expected = answers(engine)
    assert expected["common"] and expected["word1~1"]

    with Search(engine_dir, None) as reopened:
        assert answers(reopened) == expected
        # A reader beside the writer reads the same snapshot.
        with Search(engine_dir, None) as reader:
            assert reader.stats()["read_only"]
            assert answers(reader) == expected
    without = tmp_path / "without"
    shutil.copytree(engine_dir, without)
    (without / "index" / "postings").unlink()
    with Search(without, None) as from_logs:
        assert answers(from_logs) == expected
    # The logs it opened from are all tail: the closing flush wrote a snapshot of them.
    assert (without / "index" / "postings").exists()


def test_a_snapshot_left_by_a_compaction_is_not_used(tmp_path: Path) -> None:
    engine_dir = tmp_path / "engine"
    with Search(engine_dir, None) as engine:
        ids = engine.add_many(texts(0, 10_000))
        engine.flush()
        old = (engine_dir / "index" / "postings").read_bytes()
        logged = (engine_dir / "index" / "meta").stat().st_size
        for doc_id in ids[: len(ids) // 2]:
            engine.delete(doc_id)
        engine.merge()  # rewrites the logs without the purged postings
        assert (engine_dir / "index" / "meta").stat().st_size < logged
        expected = answers(engine)
    # Put back the snapshot of the logs before the compaction.
    (engine_dir / "index" / "postings").write_bytes(old)
    with Search(engine_dir, None) as reopened:
        assert answers(reopened) == expected
