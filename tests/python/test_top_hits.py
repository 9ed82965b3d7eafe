"""The best k hits of a query are the first k of its whole ranking, as search(q, 0) gives it, also
over a store large enough that queries pass over whole blocks of postings by their bounds, and
while postings added, deleted or not yet saved lie beside those blocks."""

import random
import shutil
from pathlib import Path

import pytest

from tarnwick import Search

COMMON = ["alpha", "beta", "gamma"]
RARE = [f"rare{n}" for n in range(300)]
# The last one's bound rejects few of its candidates once the floor is set, and finding an
# interval many: its candidates take the two tests in either order.
QUERIES = ["alpha", "beta", "gamma", "rare7", "alphx~1", "gamma~2", "alpha beta", '"beta gamma"~3',
           '"alpha beta gamma"~2']


def texts(seed: int, count: int) -> list[str]:
    """Documents of 1 to 60 words in which the common words come 0 to 8 times: long and short
    ones, with many and few occurrences, in no order."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        words = [rng.choice(RARE) for _ in range(rng.randint(1, 60))]
        for word in COMMON:
            for _ in range(rng.choice([0, 0, 1, 1, 1, 2, 3, 8])):
                words.insert(rng.randrange(len(words) + 1), word)
        out.append(" ".join(words))
    return out


def ranking(engine: Search, query: str, k: int) -> list[tuple[str, float]]:
    return [(hit.document.id, hit.score) for hit in engine.search(query, k)]


def assert_best_are_first_of_all(engine: Search) -> None:
    for query in QUERIES:
        whole = ranking(engine, query, 0)
        assert len(whole) > 20, query
        for k in (1, 3, 10, 50):
            assert ranking(engine, query, k) == whole[:k], (query, k)


@pytest.fixture(scope="module")
def store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    engine_dir = tmp_path_factory.mktemp("top") / "engine"
    with Search(engine_dir, None) as engine:
        engine.add_many(texts(1, 8000))
        engine.flush()
    assert (engine_dir / "index" / "postings").exists()
    return engine_dir


def test_over_the_snapshot_alone(store: Path) -> None:
    with Search(store, None) as engine:
        assert_best_are_first_of_all(engine)


def test_with_changes_beside_the_snapshot(store: Path, tmp_path: Path) -> None:
    engine_dir = tmp_path / "engine"
    with Search(store, None) as engine:
        hits = engine.search("alpha", 30)
    shutil.copytree(store, engine_dir)
    with Search(engine_dir, None) as engine:
        # The best hits go, pending deletion, and documents come that are not saved yet.
        for hit in hits[:20]:
            engine.delete(hit.document.id)
        for text in texts(2, 300):
            engine.add(text)
        assert_best_are_first_of_all(engine)
        engine.flush()
        assert_best_are_first_of_all(engine)
    with Search(engine_dir, None) as reopened:
        assert_best_are_first_of_all(reopened)
