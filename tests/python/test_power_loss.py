"""A power loss at any moment keeps what the last completed flush or merge saved.

A writer runs with sync_recorder.c preloaded, which records the bytes of every file and the
entries of every directory at each fsync. For every fsync in turn, the test rebuilds what a
power loss right after it would leave if nothing else reached the disk (each file as of its last
fsync, each directory's entries as of its last fsync, everything else empty or absent), opens
it, and checks the promises of the crash test against what the writer had flushed by then.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tarnwick import Search

from preload import library
from test_crash import Ledger, check

WRITER_SETUP = textwrap.dedent("""
    import os, sys
    from tarnwick import Search
    log = os.path.join(os.environ["TARNWICK_SYNC_LOG"], "log")
    def note(line):
        with open(log, "a") as file:
            file.write(line + "\\n")
    engine = Search(sys.argv[1], sys.argv[2] or None)
    ids = []
    def add(count):
        for _ in range(count):
            n = len(ids)
            ids.append(engine.add(f"word{n} filler common"))
            note(f"A {ids[-1]} {n}")
    def delete(chosen):
        for doc_id in chosen:
            engine.delete(doc_id)
            note(f"D {doc_id}")
""")

# Small buffers and segments: many saves, merges and segments.
WRITER = WRITER_SETUP + textwrap.dedent("""
    add(25)
    engine.flush(); note("F")
    delete(ids[3:12])
    add(10)
    engine.flush(); note("F")
    engine.merge(); note("F")
    delete(ids[12:20])
    add(5)
    engine.merge(); note("F")
    engine.close(); note("F")
""")

# Enough postings for the first flush to write a snapshot of the lists, then records after it.
SNAPSHOT_WRITER = WRITER_SETUP + textwrap.dedent("""
    for n, doc_id in enumerate(engine.add_many([f"word{n} filler common" for n in range(13000)])):
        ids.append(doc_id)
        note(f"A {doc_id} {n}")
    engine.flush(); note("F")
    delete(ids[5:40])
    add(10)
    engine.flush(); note("F")
    engine.close(); note("F")
""")

CONFIG = """
segment_size = 1200
documents_buffer_size = 200
index_buffer_size = 300
index_save_after_operations = 7
merge_deleted_ratio = 0.1
"""


def rebuild(log_dir: Path, lines: list[str], upto: int, root_inode: int, into: Path) -> None:
    """Writes into `into` the tree under the root directory as the syncs up to line `upto` of
    the log made it durable. Files are known by the recorder's keys, so that a directory made
    where a removed one's inode was reused is not given the removed one's entries."""
    listings: dict[str, Path] = {}  # directory key: its latest listing
    contents: dict[str, Path] = {}  # file key: its latest copy
    for line in lines[:upto]:
        match line.split():
            case ["S", n, "dir", key]:
                listings[key] = log_dir / f"{n}.dir"
            case ["S", n, "file", key]:
                contents[key] = log_dir / f"{n}.data"

    def fill(directory: Path, key: str | None) -> None:
        directory.mkdir()
        if key not in listings:
            return
        for entry in listings[key].read_text().splitlines():
            entry_key, kind, name = entry.split(" ", 2)
            if kind == "d":
                fill(directory / name, entry_key)
            elif entry_key in contents:
                shutil.copyfile(contents[entry_key], directory / name)
            else:
                (directory / name).touch()

    root = next((key for key in listings if key.split("-")[0] == str(root_inode)), None)
    fill(into, root)


@pytest.mark.parametrize("writer, config, flushes, live, sample", [
    (WRITER, CONFIG, 5, 40 - 17, None),
    (SNAPSHOT_WRITER, None, 3, 13010 - 35, 30),
], ids=["small-buffers", "snapshot"])
def test_every_power_loss_keeps_what_was_flushed(tmp_path: Path, writer: str, config: str | None,
                                                 flushes: int, live: int,
                                                 sample: int | None) -> None:
    root = tmp_path / "root"
    root.mkdir()
    log_dir = tmp_path / "log"
    log_dir.mkdir()
    config_path = ""
    if config is not None:
        config_path = str(tmp_path / "config.toml")
        Path(config_path).write_text(config)
    env = dict(os.environ, LD_PRELOAD=str(library("sync_recorder.c")), TARNWICK_SYNC_LOG=str(log_dir))
    subprocess.run([sys.executable, "-c", writer, str(root / "engine"), config_path], env=env,
                   check=True, timeout=120)
    lines = (log_dir / "log").read_text().splitlines()
    sync_points = [i + 1 for i, line in enumerate(lines) if line.startswith("S ")]
    assert len(sync_points) > 8 * flushes and lines.count("F") == flushes
    listings = [listing.read_text() for listing in log_dir.glob("*.dir")]
    # Saves of the dictionary append its changes.
    assert any("token-changes" in listing for listing in listings)
    if writer is SNAPSHOT_WRITER:
        assert any("postings" in listing for listing in listings)
    for upto in [0, *sync_points]:
        ledger = Ledger(deletions_need_flush=True)
        ledger.read("".join(line + "\n" for line in lines[:upto] if not line.startswith("S ")))
        after = tmp_path / f"after-{upto}"
        rebuild(log_dir, lines, upto, root.stat().st_ino, after)
        with Search(after / "engine", None) as engine:
            check(engine, ledger, sample)
        shutil.rmtree(after)
    # The last point holds everything.
    assert len(ledger.live()) == live
