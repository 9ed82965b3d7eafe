"""One writer per engine directory: other Search objects and processes open it read-only."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pytest

from tarnwick import Search
from test_cli import tarnwick

# Opens an engine, adds the documents given as arguments, flushes, says "ready" and holds the
# directory until its standard input closes (or it is killed).
HOLDER = textwrap.dedent("""
    import sys
    from tarnwick import Search
    engine = Search(sys.argv[1], None)
    for text in sys.argv[2:]:
        engine.add(text)
    engine.flush()
    print("ready", flush=True)
    sys.stdin.read()
""")


@contextmanager
def holder(directory: Path, *texts: str) -> Iterator[subprocess.Popen]:
    """A child process that is the writer of `directory` while the block runs."""
    child = subprocess.Popen([sys.executable, "-c", HOLDER, str(directory), *texts],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdout.readline() == "ready\n"
        yield child
    finally:
        if child.poll() is None:
            child.kill()
        child.wait(timeout=60)


def snapshot(directory: Path) -> dict[str, tuple[bytes | None, int]]:
    """Every path under `directory` with its bytes (None for a directory) and its mtime."""
    found = {}
    for path in sorted(directory.rglob("*")):
        content = None if path.is_dir() else path.read_bytes()
        found[str(path.relative_to(directory))] = (content, path.stat().st_mtime_ns)
    return found


def assert_writes_refused(engine: Search, directory: Path, pid: int) -> None:
    for write in (lambda: engine.add("plum jam"), lambda: engine.delete("0" * 26),
                  engine.flush, engine.merge):
        with pytest.raises(BlockingIOError) as refused:
            write()
        message = refused.value.args[0]
        assert str(directory) in message and f"by process {pid}" in message, message
        assert refused.value.filename == str(directory)


def test_a_second_object_of_one_process_reads_and_never_damages(tmp_path: Path) -> None:
    directory = tmp_path / "engine"
    writer = Search(directory, None)
    kept = writer.add("kiwi pie")
    writer.flush()
    reader = Search(directory, None)
    assert (writer.read_only, reader.read_only) == (False, True)
    assert reader.stats()["read_only"] and reader.stats()["writer_pid"] == os.getpid()
    assert not writer.stats()["read_only"] and writer.stats()["writer_pid"] is None
    assert "read_only=True" in repr(reader) and "read_only=False" in repr(writer)
    assert_writes_refused(reader, directory, os.getpid())
    # The reader sees what was saved when it opened, and reads it correctly.
    assert reader.get(kept).content == "kiwi pie"
    assert [hit.document.id for hit in reader.search("kiwi", 0)] == [kept]
    later = writer.add("plum jam")
    writer.flush()
    with pytest.raises(KeyError):
        reader.get(later)
    writer.close()
    reopened = Search(directory, None)
    assert not reopened.read_only
    assert reopened.get(kept).content == "kiwi pie" and reopened.get(later).content == "plum jam"
    # The reader stays read-only although the writer is gone: its view may be stale.
    assert reader.read_only
    with pytest.raises(BlockingIOError):
        reader.add("apricot")


def test_opening_read_only_changes_nothing_on_disk(tmp_path: Path) -> None:
    directory = tmp_path / "engine"
    writer = Search(directory, None)
    for n in range(20):
        writer.add(f"note {n} about quince")
    writer.flush()
    writer.delete(writer.search("note 3", 1)[0].document.id)
    # Torn tails, as a writer's appends in progress leave them.
    segment = next(p for p in directory.iterdir() if p.name.isdigit())
    with open(segment / "meta", "ab") as meta, open(segment / "del", "ab") as deletions:
        meta.write(b"\x00\x00\x00\x00\x00")
        deletions.write(b"\x01" * 7)
    with open(directory / "index" / "meta", "ab") as log:
        log.write(b"\x02" * 11)
    before = snapshot(directory)
    reader = Search(directory, None)
    assert reader.stats()["documents"] == 19
    assert len(reader.search("quince", 0)) == 19
    assert all(hit.document.content.endswith("about quince") for hit in reader.search("note", 0))
    reader.close()
    assert snapshot(directory) == before


def test_close_flushes_releases_the_lock_and_ends_the_object(tmp_path: Path) -> None:
    directory = tmp_path / "engine"
    engine = Search(directory, None)
    kept = engine.add("saved by close")
    engine.close()
    engine.close()  # closing again does nothing
    assert "closed" in repr(engine)
    for call in (lambda: engine.add("x"), lambda: engine.get(kept), lambda: engine.search("x", 1),
                 engine.flush, engine.merge, engine.stats, lambda: engine.__enter__()):
        with pytest.raises(ValueError, match="closed"):
            call()
    after = Search(directory, None)
    assert not after.read_only and after.get(kept).content == "saved by close"
    with after:
        pass
    with Search(directory, None) as again:  # leaving the block released the lock
        assert not again.read_only
    reader_of_nothing = Search(directory, None)
    assert not reader_of_nothing.read_only


def test_a_writer_in_another_process(tmp_path: Path) -> None:
    directory = tmp_path / "engine"
    with holder(directory, "damson wine", "elder flower") as child:
        engine = Search(directory, None)
        assert engine.read_only and engine.stats()["writer_pid"] == child.pid
        hits = engine.search("damson", 0)
        assert [hit.document.content for hit in hits] == ["damson wine"]
        assert_writes_refused(engine, directory, child.pid)
        child.kill()
        child.wait(timeout=60)
    # The kernel dropped the lock of the killed process.
    engine = Search(directory, None)
    assert not engine.read_only
    assert engine.stats()["documents"] == 2


# Adds and flushes in a loop, with buffers small enough that the stores save on their own too,
# and deletes now and then so that purges rewrite the token store.
CHURN = textwrap.dedent("""
    import sys, pathlib
    from tarnwick import Search
    config = pathlib.Path(sys.argv[1]) / "small.toml"
    config.write_text("documents_buffer_size = 512\\nindex_buffer_size = 512\\n"
                      "index_save_after_operations = 7\\nmetadata_save_after_operations = 5\\n")
    engine = Search(pathlib.Path(sys.argv[1]) / "engine", config)
    print("ready", flush=True)
    n = 0
    while True:
        ids = [engine.add(f"entry{n + k} shared words about item{n + k}") for k in range(5)]
        engine.delete(ids[2])
        engine.flush()
        n += 5
""")


def test_readers_opening_while_a_writer_saves_always_read_true_texts(tmp_path: Path) -> None:
    child = subprocess.Popen([sys.executable, "-c", CHURN, str(tmp_path)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdout.readline() == "ready\n"
        opened = 0
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline:
            engine = Search(tmp_path / "engine", None)
            assert engine.read_only
            opened += 1
            for hit in engine.search("shared", 0):
                text = hit.document.content
                number = text.removeprefix("entry").split(" ")[0]
                assert text == f"entry{number} shared words about item{number}"
                assert engine.get(hit.document.id).content == text
                # The stores save on their own schedules, so a document may be saved with only
                # some of its postings; but a word never leads to another document.
                found = engine.search(f"item{number}", 0)
                assert [h.document.id for h in found] in ([], [hit.document.id])
            engine.close()
        assert opened > 10
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)
    # And the writer's directory opens for the next writer.
    assert not Search(tmp_path / "engine", None).read_only


def test_command_line_writes_wait_for_the_writer_and_reads_do_not(tmp_path: Path) -> None:
    directory = tmp_path / "engine"
    note = tmp_path / "note.txt"
    note.write_text("gooseberry fool")
    with holder(directory, "damson wine") as child:
        doc_id = Search(directory, None).search("damson", 1)[0].document.id
        for args in (["index", directory, note], ["delete", directory, doc_id],
                     ["merge", directory]):
            refused = tarnwick(*args, cwd=tmp_path)
            assert refused.returncode == 1, refused
            assert refused.stderr.count("\n") == 1, refused.stderr
            assert f"being written by process {child.pid}" in refused.stderr
        found = tarnwick("search", directory, "damson", cwd=tmp_path)
        assert found.returncode == 0 and doc_id in found.stdout
        assert tarnwick("get", directory, doc_id, cwd=tmp_path).stdout == "damson wine\n"
        stats = tarnwick("stats", directory, cwd=tmp_path)
        assert stats.returncode == 0 and f"process {child.pid}" in stats.stdout
    engine = Search(directory, None)
    assert engine.stats()["documents"] == 1 and engine.get(doc_id).content == "damson wine"


def is_locked(directory: Path) -> bool:
    """Whether some process holds a flock on `directory`, read from the kernel's lock table
    without taking part in it."""
    if not directory.exists():
        return False
    inode = directory.stat().st_ino
    with open("/proc/locks") as table:
        return any(line.split()[1] == "FLOCK" and line.split()[5].endswith(f":{inode}")
                   for line in table)


def test_two_index_runs_on_one_directory(tmp_path: Path) -> None:
    directory = tmp_path / "engine"
    first = subprocess.Popen([sys.executable, "-m", "tarnwick", "index", str(directory),
                              "--jsonl", "-", "--quiet"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert first.stdin is not None
    first.stdin.write('{"text": "first run, first line", "id": "a"}\n')
    first.stdin.flush()
    deadline = time.monotonic() + 60
    while not is_locked(directory):
        assert time.monotonic() < deadline and first.poll() is None
        time.sleep(0.05)
    second = tarnwick("index", directory, "--jsonl", "-", cwd=tmp_path,
                      stdin='{"text": "second run"}\n')
    assert second.returncode == 1
    assert f"being written by process {first.pid}" in second.stderr
    first.stdin.write('{"text": "first run, second line", "id": "b"}\n')
    _, stderr = first.communicate(timeout=120)
    assert first.returncode == 0, stderr
    engine = Search(directory, None)
    assert not engine.read_only and engine.stats()["documents"] == 2
    assert sorted(hit.document.content for hit in engine.search("first run", 0)) == [
        "first run, first line", "first run, second line"]
