"""The stored texts are the source of truth: whatever happened to the index, opening brings it back
in step with the live documents, and nothing that cannot be read is destroyed."""

import random
import shutil
from pathlib import Path

import pytest

from tarnwick import Search
from tarnwick.native import BincodeDecodeError

from preload import add_with_clock_shifted

WORDS = ("plum apple quince medlar sloe damson rowan elder haw cherry pear fig "
         "jam jelly cheese wine gin pie tart paste syrup cordial").split()
QUERIES = ["plum", "jam", "quince paste", '"sloe gin"', "medlar~1 jelly", "cherry OR fig", "wine"]


def texts(count: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    return [" ".join(rng.choices(WORDS, k=rng.randint(2, 9))) + f" batch{n}" for n in range(count)]


class Answers(dict):
    """Per query, the texts found with their scores: what a user sees, whatever the ids. Equal
    when the same texts are found with the same scores, up to rounding."""

    def __eq__(self, other):
        return self.keys() == other.keys() and all(
            [t for t, _ in self[q]] == [t for t, _ in other[q]]
            and [s for _, s in self[q]] == pytest.approx([s for _, s in other[q]], rel=1e-12)
            for q in self)


def answers(engine: Search) -> Answers:
    engine.flush()  # the texts of documents not yet saved cannot be read
    return Answers({q: sorted((hit.document.content, hit.score) for hit in engine.search(q, 0))
                    for q in QUERIES})


def fresh_answers(directory: Path, documents: list[str]) -> Answers:
    with Search(directory, None) as engine:
        for text in documents:
            engine.add(text)
        return answers(engine)


def engine_with(directory: Path, documents: list[str], config=None) -> tuple[Search, list[str]]:
    engine = Search(directory, config)
    return engine, [engine.add(text) for text in documents]


def disk_bytes(directory: Path) -> int:
    return sum(p.stat().st_size for p in directory.rglob("*") if p.is_file())


def kept(directory: Path) -> set[str]:
    lost = directory / "lost+found"
    return {p.name for p in lost.iterdir()} if lost.exists() else set()


DAMAGES = {
    "tokens garbage": ("index/tokens", lambda p: p.write_bytes(b"\x05\xff" * 40)),
    "tokens cut": ("index/tokens", lambda p: p.write_bytes(p.read_bytes()[:-3])),
    "tokens removed": ("index/tokens", Path.unlink),
    "meta log removed": ("index/meta", Path.unlink),
    "index log removed": ("index/index", Path.unlink),
    "index log garbage": ("index/index", lambda p: p.write_bytes(bytes(range(256)) * 4)),
    "meta log garbage": ("index/meta", lambda p: p.write_bytes(b"\xee" * 28 * 3)),
    "index directory removed": ("index", shutil.rmtree),
}


@pytest.mark.parametrize("damage", DAMAGES)
def test_a_lost_or_damaged_index_is_rebuilt_from_the_texts(tmp_path, capfd, damage):
    documents = texts(60)
    engine, _ = engine_with(tmp_path / "engine", documents)
    with engine:
        for doc_id in [hit.document.id for hit in engine.search("pear", 0)]:
            engine.delete(doc_id)
        expected = answers(engine)
    name, harm = DAMAGES[damage]
    target = tmp_path / "engine" / name
    harm(target)
    harmed = target.read_bytes() if target.is_file() else None
    with Search(tmp_path / "engine", None) as engine:
        assert answers(engine) == expected
        # New words take ids that no old posting holds.
        engine.add("greengage chutney")
        engine.flush()
        assert [h.document.content for h in engine.search("greengage", 0)] == ["greengage chutney"]
        grown = answers(engine)
        assert {q: [t for t, _ in a] for q, a in grown.items()} == {
            q: [t for t, _ in a] for q, a in expected.items()}
        assert engine.stats()["tokens"] == len({w for t in documents for w in t.split()
                                                if "pear" not in t.split()}) + 2
    warning = capfd.readouterr().out
    if damage in ("tokens garbage", "tokens cut"):
        assert warning.startswith("Warning tokens decode error: ")
        assert warning.endswith("; rebuilding the index from the stored documents\n")
    else:
        assert warning == ""
    if harmed:  # what could not be read is kept
        assert any((tmp_path / "engine" / "lost+found" / k).read_bytes() == harmed
                   for k in kept(tmp_path / "engine"))
    with Search(tmp_path / "engine", None) as engine:  # and the rebuilt index was saved
        assert answers(engine) == grown


def test_a_dictionary_that_freed_words_still_in_use_is_rebuilt(tmp_path, capfd):
    documents = texts(40)
    engine, ids = engine_with(tmp_path / "engine", documents)
    engine.close()
    shutil.copytree(tmp_path / "engine", tmp_path / "before")
    with Search(tmp_path / "engine", None) as engine:  # the words of "batch0" and "batch1" go
        engine.delete(ids[0])
        engine.delete(ids[1])
    for name in ("tokens", "token-changes", "words"):  # a dictionary saved later than the index
        shutil.copy(tmp_path / "engine" / "index" / name, tmp_path / "before" / "index" / name)
    with Search(tmp_path / "before", None) as engine:
        assert answers(engine) == fresh_answers(tmp_path / "fresh", documents)
        assert [h.document.content for h in engine.search("batch1", 0)] == [documents[1]]
    assert capfd.readouterr().out == ""


def test_an_index_in_step_is_left_as_it_is(tmp_path, capfd):
    engine, _ = engine_with(tmp_path, texts(30))
    with engine:
        expected = answers(engine)
    files = sorted(p for p in tmp_path.rglob("*") if p.is_file())
    stamps = [(p, p.stat().st_mtime_ns, p.stat().st_size) for p in files]
    engine = Search(tmp_path, None)
    assert [(p, p.stat().st_mtime_ns, p.stat().st_size) for p in files] == stamps
    assert answers(engine) == expected
    assert capfd.readouterr().out == ""
    assert not kept(tmp_path)


@pytest.mark.parametrize("size", [b"\x7f", b"\x00\x00\x00\x00\x00\x00\x00\x01"])
def test_a_damaged_record_is_not_taken_for_a_torn_tail(tmp_path, size):
    engine, _ = engine_with(tmp_path, texts(5))
    engine.close()
    [segment] = [p for p in tmp_path.iterdir() if p.name.isdigit()]
    meta = segment / "meta"
    damaged = size + meta.read_bytes()[len(size):]  # the first entry's size
    meta.write_bytes(damaged)
    with pytest.raises(BincodeDecodeError, match="offset 0"):
        Search(tmp_path, None)
    assert meta.read_bytes() == damaged
    assert not kept(tmp_path)


def test_postings_of_documents_deleted_before_their_purge_go_at_open(tmp_path):
    documents = texts(40)
    engine, ids = engine_with(tmp_path / "engine", documents)
    engine.flush()
    for doc_id in ids[:-3]:
        engine.delete(doc_id)
    del engine  # dropped before the purge
    with Search(tmp_path / "engine", None) as engine:
        assert answers(engine) == fresh_answers(tmp_path / "fresh", documents[-3:])
        assert engine.stats()["tokens"] == len({w for t in documents[-3:] for w in t.split()})


def test_documents_saved_without_their_postings_are_indexed_again(tmp_path, write_config):
    # Every document reaches its segment at once; postings and statistics wait for a flush.
    config = write_config("documents_buffer_size = 0\nindex_buffer_size = 100000000\n"
                          "index_save_after_seconds = 100000\n"
                          "index_save_after_operations = 100000000\n"
                          "metadata_save_after_seconds = 100000\n")
    documents = texts(50)
    engine, ids = engine_with(tmp_path / "engine", documents[:20], config)
    engine.flush()
    ids += [engine.add(text) for text in documents[20:]]
    engine.delete(ids[0])
    del engine
    with Search(tmp_path / "engine", None) as engine:
        assert answers(engine) == fresh_answers(tmp_path / "fresh", documents[1:])


def test_ids_keep_increasing_when_the_clock_goes_back(tmp_path):
    year = 365 * 24 * 3600
    ahead = add_with_clock_shifted(tmp_path, ["alpha beta one", "alpha beta two"], year)
    with Search(tmp_path, None) as engine:
        now = engine.add("alpha gamma")
        assert now > max(ahead)
        engine.flush()
        assert [h.document.content for h in engine.search("alpha gamma", 0)] == ["alpha gamma"]
    [behind] = add_with_clock_shifted(tmp_path, ["alpha gamma delta"], -year)
    assert behind > now
    with Search(tmp_path, None) as engine:
        assert sorted(h.document.content for h in engine.search("alpha gamma", 0)) == [
            "alpha gamma", "alpha gamma delta"]
        engine.delete(behind)  # the largest id is now only in a deletion entry
    with Search(tmp_path, None) as engine:
        again = engine.add("alpha epsilon")
        assert again > behind
    with Search(tmp_path, None) as engine:
        assert engine.get(again).content == "alpha epsilon"


def test_churn_leaves_no_more_on_disk_than_a_fresh_engine(tmp_path):
    documents = texts(300)
    with Search(tmp_path / "churned", None) as engine:
        ids = [engine.add(text) for text in documents]
        for _ in range(3):  # the same documents deleted and added again
            for doc_id in ids:
                engine.delete(doc_id)
            ids = [engine.add(text) for text in documents]
            engine.flush()
            engine.merge()
        for _ in range(3):  # everything deleted, a few added
            for doc_id in ids:
                engine.delete(doc_id)
            ids = [engine.add(text) for text in documents[:100]]
            engine.merge()
        assert answers(engine) == fresh_answers(tmp_path / "fresh", documents[:100])
    assert disk_bytes(tmp_path / "churned") <= 1.2 * disk_bytes(tmp_path / "fresh")


def test_a_drained_engine_takes_no_more_room_than_an_empty_one(tmp_path):
    with Search(tmp_path / "drained", None) as engine:
        for _ in range(3):
            ids = [engine.add(text) for text in texts(200)]
            for doc_id in ids:
                engine.delete(doc_id)
            engine.merge()
    Search(tmp_path / "empty", None).close()
    assert disk_bytes(tmp_path / "drained") <= 1.2 * disk_bytes(tmp_path / "empty") + 64
