"""Killing a writer at random points never loses what a flush or a merge had saved.

A child process (crash_child.py) adds, deletes, flushes and merges at random and is killed with
SIGKILL after a random time, again and again on one directory. After every kill the directory
opens as the writer's, every document added before the last completed flush or merge is there
with its text and found by its own word, every completed deletion stays deleted, and every hit
is a live document with its own text. TARNWICK_CRASH_KILLS sets the number of kills
(scripts/crash-soak.sh runs thousands).
"""

import os
import random
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from tarnwick import Search

CHILD = Path(__file__).with_name("crash_child.py")
KILLS = int(os.environ.get("TARNWICK_CRASH_KILLS", "120"))


@dataclass
class Ledger:
    """What the child reported, and so what the engine promised. A deletion is on disk when
    `delete` returns, so it survives a kill; a power loss may take it until a flush."""
    deletions_need_flush: bool = False
    texts: dict[str, str] = field(default_factory=dict)  # every document reported added
    committed: set[str] = field(default_factory=set)  # added before a completed flush or merge
    deleted: set[str] = field(default_factory=set)  # deletions that must stay
    pending: set[str] = field(default_factory=set)  # added since the last flush of this run
    pending_deleted: set[str] = field(default_factory=set)  # deleted, and may come back
    begun: set[str] = field(default_factory=set)  # deletions begun, which a kill may have cut
    fresh: set[str] = field(default_factory=set)  # reported by the last read

    def read(self, output: str) -> None:
        self.pending.clear()
        self.fresh = set()
        for line in output.splitlines(keepends=True):
            if not line.endswith("\n"):
                break  # cut by the kill
            match line.split():
                case ["A", doc_id, n]:
                    self.texts[doc_id] = f"word{n} filler common"
                    self.fresh.add(doc_id)
                    self.pending.add(doc_id)
                case ["d", doc_id]:
                    self.begun.add(doc_id)
                case ["D", doc_id]:
                    (self.pending_deleted if self.deletions_need_flush else self.deleted).add(
                        doc_id)
                case ["F"]:
                    self.committed |= self.pending
                    self.deleted |= self.pending_deleted
                    self.pending.clear()
                    self.pending_deleted.clear()

    def live(self) -> set[str]:
        """The documents that must be live: saved, and not deleted, not even uncertainly."""
        return self.committed - self.deleted - self.pending_deleted - self.begun


def check(engine: Search, ledger: Ledger, sample: int | None = None) -> None:
    """Checks the promises; with `sample`, for the documents of the last read and that many of
    the others, so that long runs check in time that does not grow with the collection."""
    rng = random.Random(len(ledger.texts))

    def some(ids: set[str]) -> set[str]:
        older = sorted(ids - ledger.fresh)
        if sample is not None and len(older) > sample:
            older = rng.sample(older, sample)
        return (ids & ledger.fresh) | set(older)

    assert not engine.read_only
    for doc_id in some(ledger.live()):
        assert engine.get(doc_id).content == ledger.texts[doc_id]
    # A saved document whose deletion was not yet flushed may be back, but then whole.
    for doc_id in some(ledger.committed - ledger.deleted):
        try:
            engine.get(doc_id)
        except KeyError:
            continue
        text = ledger.texts[doc_id]
        found = engine.search(text.split()[0], 0)
        assert [hit.document.id for hit in found] == [doc_id], text
    for doc_id in ledger.deleted:
        with pytest.raises(KeyError):
            engine.get(doc_id)
    # Any other document it holds, saved or not, reads as written.
    for doc_id in some(set(ledger.texts)):
        try:
            document = engine.get(doc_id)
        except KeyError:
            continue
        assert document.content == ledger.texts[doc_id]
    hits = {hit.document.id: hit.document for hit in engine.search("common", 0)}
    assert not hits.keys() & ledger.deleted
    for doc_id in some(set(hits)):
        content = hits[doc_id].content
        assert content == ledger.texts.get(doc_id, content)
        assert content.endswith(" filler common")


def test_kills_at_random_points_lose_nothing_saved(tmp_path: Path) -> None:
    rng = random.Random(20261207)
    directory = tmp_path / "engine"
    live_file = tmp_path / "live"
    ledger = Ledger()
    for kill in range(KILLS):
        live_file.write_text("\n".join(sorted(ledger.live())))
        child = subprocess.Popen(
            [sys.executable, str(CHILD), str(directory), str(kill * 100_000), str(kill),
             str(live_file)], stdout=subprocess.PIPE, text=True)
        time.sleep(rng.uniform(0.05, 0.4))
        child.send_signal(signal.SIGKILL)
        output, _ = child.communicate(timeout=60)
        assert child.returncode == -signal.SIGKILL, output
        ledger.read(output)
        with Search(directory, tmp_path / "crash.toml") as engine:
            check(engine, ledger, sample=300)
    assert len(ledger.committed) > KILLS  # the runs got far enough to promise something
