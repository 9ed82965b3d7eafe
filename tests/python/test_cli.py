"""The `tarnwick` command, run as a separate process the way a user runs it."""

import gzip
import json
import os
import pty
import re
import signal
import subprocess
import sys
import threading
import time
from importlib import metadata
from pathlib import Path
from typing import IO

import pytest

from tarnwick import Search
from tarnwick.cli import main, sources

FOX = "The quick brown fox jumps over the lazy dog"
FIELDS = "Foxes were running quickly through the brown fields of summer"


def tarnwick(*args: str | Path, cwd: Path, stdin: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "tarnwick", *map(str, args)], cwd=cwd,
                          input=stdin, capture_output=True, text=True, timeout=120)


def on_terminal(*args: str | Path, cwd: Path, stream: str) -> str:
    """What the command writes to `stream` ("stdout" or "stderr") when that is a terminal."""
    try:
        leader, follower = pty.openpty()
    except OSError as error:
        pytest.skip(f"no pseudo-terminal to be had: {error}")
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR")}
    env.update(TERM="xterm-256color", COLUMNS="120")
    process = subprocess.Popen([sys.executable, "-m", "tarnwick", *map(str, args)], cwd=cwd,
                               env=env, stdin=subprocess.DEVNULL, **{stream: follower},
                               **{"stderr" if stream == "stdout" else "stdout":
                                  subprocess.DEVNULL})
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal closes with the process
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    assert process.wait(timeout=120) == 0
    return b"".join(chunks).decode()


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    """Three text documents (one gzipped), a binary file, a Latin-1 file and a hidden one."""
    root = tmp_path / "docs"
    (root / "sub").mkdir(parents=True)
    (root / ".git").mkdir()
    (root / ".git" / "config").write_text("[core] the lazy fox is hidden here")
    (root / "fox.txt").write_text(FOX)
    (root / "sub" / "fields.md").write_text(FIELDS)
    (root / "sub" / "dogs.txt.gz").write_bytes(gzip.compress(b"Lazy dogs sleep all day long"))
    (root / "image.bin").write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR")
    (root / "latin1.txt").write_bytes("caf\xe9 au lait".encode("latin-1"))
    return root


@pytest.fixture
def index(tree: Path) -> Path:
    directory = tree.parent / "index"
    done = tarnwick("index", directory, tree, cwd=tree.parent)
    assert done.returncode == 0, done.stderr
    return directory


def search_json(directory: Path, query: str, *extra: str) -> list[dict]:
    done = tarnwick("search", directory, query, "--json", *extra, cwd=directory.parent)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def test_index_adds_text_files_and_warns_once_per_unreadable_file(tree: Path) -> None:
    directory = tree.parent / "index"
    done = tarnwick("index", directory, tree, cwd=tree.parent)
    assert done.returncode == 0
    warnings = done.stderr.splitlines()
    assert len(warnings) == 2  # and no progress bar: stderr is not a terminal
    assert any("image.bin" in w and "binary" in w for w in warnings)
    assert any("latin1.txt" in w and "UTF-8" in w for w in warnings)
    assert re.fullmatch(r"indexed 3 documents .* skipped 2\n", done.stdout)
    # What the engine holds, seen through the library.
    engine = Search(directory, None)
    assert engine.stats()["documents"] == 3
    texts = {hit.document.content for hit in engine.search("lazy", 0)}
    assert texts == {FOX, "Lazy dogs sleep all day long"}


def test_glob_and_explicit_files_choose_what_is_indexed(tree: Path) -> None:
    directory = tree.parent / "index"
    done = tarnwick("index", directory, tree, "--glob", "*.md", cwd=tree.parent)
    assert done.returncode == 0 and done.stderr == ""
    done = tarnwick("index", directory, tree / "fox.txt", cwd=tree.parent)
    assert done.returncode == 0
    sources = {hit["source"] for hit in search_json(directory, "brown")}
    assert sources == {str(tree / "sub" / "fields.md"), str(tree / "fox.txt")}


def test_an_index_inside_the_indexed_tree_is_not_indexed_itself(tree: Path) -> None:
    for _ in range(2):
        done = tarnwick("index", tree / "index", tree, "--again", cwd=tree)
        assert done.returncode == 0
        assert "index/" not in done.stderr
    # Its sources.jsonl, a text file, would have made a seventh document.
    assert Search(tree / "index", None).stats()["documents"] == 6


def test_a_second_run_passes_over_indexed_files_unless_told_again(tree: Path) -> None:
    directory = tree.parent / "index"
    assert tarnwick("index", directory, tree, cwd=tree.parent).returncode == 0
    # Named relatively this time: a file is known by its absolute path.
    done = tarnwick("index", directory, "docs", cwd=tree.parent)
    assert done.returncode == 0
    assert re.fullmatch(r"indexed 0 documents .*, 3 already indexed, skipped 2\n", done.stdout)
    assert Search(directory, None).stats()["documents"] == 3

    # A deleted document's file is no longer indexed, so it comes back.
    [hit] = search_json(directory, "jumps")
    assert tarnwick("delete", directory, hit["id"], cwd=tree.parent).returncode == 0
    done = tarnwick("index", directory, tree, cwd=tree.parent)
    assert re.match(r"indexed 1 document .*, 2 already indexed", done.stdout)
    assert [h["source"] for h in search_json(directory, "jumps")] == [str(tree / "fox.txt")]

    done = tarnwick("index", directory, tree, "--again", cwd=tree.parent)
    assert re.fullmatch(r"indexed 3 documents .*, skipped 2\n", done.stdout)
    assert Search(directory, None).stats()["documents"] == 6
    assert len(search_json(directory, "jumps")) == 2

    # A recorded source whose document the engine lacks (its run was killed before the engine
    # saved) is not taken as indexed.
    lost = tree / "lost.txt"
    lost.write_text("a lost document")
    with open(directory / "sources.jsonl", "a") as file:
        file.write(json.dumps({"id": "01ARZ3NDEKTSV4RRFFQ69G5FAV", "source": str(lost)}) + "\n")
    done = tarnwick("index", directory, lost, cwd=tree.parent)
    assert re.fullmatch(r"indexed 1 document .*\n", done.stdout)

    # A file named twice in one run is added once.
    done = tarnwick("index", tree.parent / "other", tree / "fox.txt", "docs/fox.txt",
                    cwd=tree.parent)
    assert re.fullmatch(r"indexed 1 document .*, 1 already indexed\n", done.stdout)


def test_a_second_run_passes_over_json_lines_by_their_id(tmp_path: Path) -> None:
    lines = tmp_path / "docs.jsonl"
    lines.write_text(json.dumps({"id": 7, "text": FOX}) + "\n" + json.dumps({"text": FIELDS}))
    directory = tmp_path / "index"
    assert tarnwick("index", directory, "--jsonl", lines, cwd=tmp_path).returncode == 0
    # A line without an id is known only by its place, which says nothing of its text.
    done = tarnwick("index", directory, "--jsonl", "-", cwd=tmp_path, stdin=lines.read_text())
    assert re.fullmatch(r"indexed 1 document .*, 1 already indexed\n", done.stdout)
    assert {hit["source"] for hit in search_json(directory, "brown")} == {
        "7", f"{lines}:2", "<stdin>:2"}


def test_the_configuration_reaches_the_engine(tree: Path) -> None:
    config = tree.parent / "keep-all.toml"
    config.write_text("stop_words = []\n")
    directory = tree.parent / "index"
    assert tarnwick("--config", config, "index", directory, tree, cwd=tree.parent).returncode == 0
    # "the" is a stop word by default; with this configuration it is a word like any other.
    hits = search_json(directory, "the lazy", "--config", str(config))
    assert {h["source"] for h in hits} == {str(tree / "fox.txt")}


def test_search_ranks_like_the_engine_and_names_sources(index: Path, tree: Path) -> None:
    hits = search_json(index, "brown")
    expected = Search(index, None).search("brown", 10)
    assert [h["id"] for h in hits] == [r.document.id for r in expected]
    assert [h["score"] for h in hits] == pytest.approx([r.score for r in expected])
    assert [h["rank"] for h in hits] == [1, 2]
    assert {h["source"] for h in hits} == {str(tree / "fox.txt"), str(tree / "sub/fields.md")}
    assert all("brown" in h["snippet"] for h in hits)
    assert len(search_json(index, "brown", "-k", "1")) == 1

    plain = tarnwick("search", index, "brown", cwd=index.parent)
    assert plain.returncode == 0 and "\x1b" not in plain.stdout
    lines = plain.stdout.splitlines()
    assert len(lines) == 4  # a heading line and a snippet line per hit
    rank, score, doc_id, source = lines[0].split()
    assert (rank, doc_id) == ("1", hits[0]["id"])
    assert float(score) == pytest.approx(hits[0]["score"], abs=1e-4)
    assert source == os.path.relpath(hits[0]["source"], index.parent)
    assert lines[1].strip() == hits[0]["snippet"]


def test_search_without_hits_says_so(index: Path) -> None:
    done = tarnwick("search", index, "zebra", cwd=index.parent)
    assert done.returncode == 0 and done.stdout == ""
    assert "no documents match" in done.stderr
    assert search_json(index, "zebra") == []


def test_terminal_output_marks_matched_words(index: Path) -> None:
    shown = on_terminal("search", index, "fox", cwd=index.parent, stream="stdout")
    # The word itself is wrapped in a style; its neighbours are not.
    assert re.search(r"\x1b\[[0-9;]*m(fox|Foxes)\x1b\[0m", shown)
    assert not re.search(r"\x1b\[[0-9;]*mquick", shown)


def test_progress_bar_counts_megabytes_of_text_and_input_read(tmp_path: Path) -> None:
    docs = tmp_path / "docs"
    docs.mkdir()
    # 2.16 MB of text in a file of a few kilobytes.
    (docs / "lorem.txt.gz").write_bytes(gzip.compress(b"lorem ipsum dolor sit amet " * 80_000))
    shown = on_terminal("index", tmp_path / "index", docs, cwd=tmp_path, stream="stderr")
    assert "2.2 MB of text" in shown
    # The share done is reckoned in input bytes, which the text outgrows.
    assert "100%" in shown and not re.search(r"\b[1-9]\d{2,}%", shown.replace("100%", ""))


def test_progress_bar_only_on_a_terminal_and_not_when_quiet(tree: Path) -> None:
    shown = on_terminal("index", tree.parent / "a", tree, cwd=tree.parent, stream="stderr")
    assert re.search(r"indexing.* 3 docs", shown)
    quiet = on_terminal("index", tree.parent / "b", tree, "--quiet", cwd=tree.parent,
                        stream="stderr")
    assert "indexing" not in quiet and "warning: skipped" in quiet


def test_jsonl_from_a_file_and_stdin_keeps_ids_as_sources(tmp_path: Path) -> None:
    lines = tmp_path / "docs.jsonl"
    lines.write_text("\n".join([
        json.dumps({"id": "doc-1", "text": FOX}),
        json.dumps({"text": FIELDS}),
        "{not json",
        json.dumps({"id": "no-text"}),
        "",
    ]))
    directory = tmp_path / "index"
    done = tarnwick("index", directory, "--jsonl", lines, cwd=tmp_path)
    assert done.returncode == 0
    assert len(done.stderr.splitlines()) == 2
    assert f"{lines}:3" in done.stderr and f"{lines}:4" in done.stderr
    done = tarnwick("index", directory, "--jsonl", "-", cwd=tmp_path,
                    stdin=json.dumps({"id": 7, "text": "brown bears"}) + "\n")
    assert done.returncode == 0 and "indexed 1 document " in done.stdout
    sources = {hit["source"] for hit in search_json(directory, "brown")}
    assert sources == {"doc-1", f"{lines}:2", "7"}


def test_get_delete_stats_and_merge(index: Path) -> None:
    [hit] = search_json(index, "jumps")
    got = tarnwick("get", index, hit["id"].lower(), cwd=index.parent)
    assert (got.returncode, got.stdout) == (0, FOX + "\n")

    before = json.loads(tarnwick("stats", index, "--json", cwd=index.parent).stdout)
    assert before["documents"] == 3 and before["segments"] == 1
    sizes = [p.stat().st_size for p in index.rglob("*") if p.is_file()]
    assert sum(before["bytes"].values()) == sum(sizes)
    assert all(before["bytes"][kind] > 0 for kind in ("data", "meta", "index logs", "tokens",
                                                      "word list", "sources"))

    # The derived files a flush writes once the store is large count as what they are.
    for path, kind in ((index / "index" / "postings", "index snapshot"),
                       (index / "records", "record table")):
        path.write_bytes(b"\0" * 100)
        counted = json.loads(tarnwick("stats", index, "--json", cwd=index.parent).stdout)["bytes"]
        assert counted[kind] == 100 and counted["other"] == before["bytes"]["other"]
        path.unlink()

    done = tarnwick("delete", index, hit["id"], hit["id"], cwd=index.parent)
    assert (done.returncode, done.stdout) == (0, "deleted 1 document\n")
    assert search_json(index, "jumps") == []
    gone = tarnwick("get", index, hit["id"], cwd=index.parent)
    assert gone.returncode == 1 and f"no document with id {hit['id']}" in gone.stderr

    after = json.loads(tarnwick("stats", index, "--json", cwd=index.parent).stdout)
    assert after["documents"] == 2
    assert after["bytes"]["del"] > 0
    merged = tarnwick("merge", index, cwd=index.parent)
    # The one segment, a third of it deleted, is compacted into a new one.
    assert (merged.returncode, merged.stdout) == (
        0, "merged: compacted a segment; 1 segments before, 1 after\n")
    compacted = json.loads(tarnwick("stats", index, "--json", cwd=index.parent).stdout)
    assert compacted["bytes"]["del"] == 0 and compacted["documents"] == 2
    assert {h["source"] for h in search_json(index, "lazy")} == {
        str(index.parent / "docs" / "sub" / "dogs.txt.gz")}
    plain = tarnwick("stats", index, cwd=index.parent)
    assert re.search(r"^documents\s+2$", plain.stdout, re.MULTILINE)


def test_merge_says_whether_it_compacted_a_segment(tree: Path) -> None:
    config = tree.parent / "small-segments.toml"
    config.write_text("segment_size = 10\n")  # every document closes its segment
    directory = tree.parent / "index"
    assert tarnwick("index", directory, tree, "--config", config, cwd=tree.parent).returncode == 0
    [hit] = search_json(directory, "jumps", "--config", str(config))
    assert tarnwick("delete", directory, hit["id"], cwd=tree.parent).returncode == 0

    done = tarnwick("merge", directory, "--config", config, cwd=tree.parent)
    found = re.fullmatch(r"merged: compacted a segment; (\d+) segments before, (\d+) after\n",
                         done.stdout)
    assert done.returncode == 0 and found, done.stdout
    before, after = int(found[1]), int(found[2])
    assert after == before - 1 == Search(directory, str(config)).stats()["segments"]
    done = tarnwick("merge", directory, "--config", config, cwd=tree.parent)
    assert done.returncode == 0 and done.stdout.startswith("nothing to compact")
    assert {h["source"] for h in search_json(directory, "lazy", "--config", str(config))} == {
        str(tree / "sub" / "dogs.txt.gz")}


def test_delete_checks_every_id_before_deleting_any(index: Path) -> None:
    [hit] = search_json(index, "jumps")
    done = tarnwick("delete", index, hit["id"], "0" * 26, cwd=index.parent)
    assert done.returncode == 1 and "no document with id" in done.stderr
    assert [h["id"] for h in search_json(index, "jumps")] == [hit["id"]]


def check_failure(done: subprocess.CompletedProcess, *fragments: str) -> None:
    assert done.returncode != 0
    assert "Traceback" not in done.stderr
    assert done.stderr.startswith("tarnwick: ")
    for fragment in fragments:
        assert fragment in done.stderr


def test_expected_failures_give_one_message_and_no_traceback(index: Path, tmp_path: Path) -> None:
    (tmp_path / "plain").mkdir()
    (tmp_path / "plain" / "notes.txt").write_text("mine")
    (tmp_path / "bad.toml").write_text("segment_size = -1\n")
    cases = [
        (("search", tmp_path / "missing", "fox"), ["missing: no such directory"]),
        (("search", tmp_path / "plain", "fox"), ["no index here"]),
        (("get", index, "0" * 26), ["no document with id 00000000000000000000000000"]),
        (("get", index, "short"), ["'short' is not a document id (invalid length)"]),
        (("delete", index, "!" * 26), ["is not a document id (invalid character)"]),
        (("stats", index, "--config", tmp_path / "bad.toml"), ["bad configuration file",
                                                               "line 1"]),
        (("--config", tmp_path / "none.toml", "stats", index), ["none.toml: no such file"]),
        (("index", tmp_path / "plain", index.parent / "docs"), ["holds other files"]),
        (("index", tmp_path / "new", tmp_path / "absent"), ["absent: no such file"]),
        (("index", tmp_path / "new"), ["nothing to index"]),
    ]
    for args, fragments in cases:
        check_failure(tarnwick(*args, cwd=tmp_path), *fragments)
    # Nothing was created by the refused runs.
    assert not (tmp_path / "new").exists() and not (tmp_path / "missing").exists()
    assert sorted(p.name for p in (tmp_path / "plain").iterdir()) == ["notes.txt"]


def test_query_errors_point_at_the_reported_place(index: Path) -> None:
    done = tarnwick("search", index, "café~7", cwd=index.parent)
    check_failure(done, "invalid query", "but it is 7")
    lines = done.stderr.splitlines()
    at = lines.index("  café~7")
    # "~7" takes bytes 5..7 but characters 4..6 of the query.
    assert lines[at + 1] == "      ^^"

    done = tarnwick("search", index, '"quick fox" brown', cwd=index.parent)
    check_failure(done)
    marker = next(line for line in done.stderr.splitlines() if line.strip().startswith("^"))
    # Whitespace may follow the closing quote; the next word may not.
    assert marker.index("^") == len('  "quick fox" ')


def test_version_is_the_installed_package_version(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                  capsys: pytest.CaptureFixture[str]) -> None:
    done = tarnwick("--version", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, f"tarnwick {metadata.version('tarnwick')}\n")

    def not_installed(name: str) -> str:
        raise metadata.PackageNotFoundError(name)

    monkeypatch.setattr(metadata, "version", not_installed)
    with pytest.raises(SystemExit) as exit:
        main(["--version"])
    assert exit.value.code == 0
    assert capsys.readouterr().out == "tarnwick unknown (not installed)\n"


@pytest.fixture
def many(tmp_path: Path) -> Path:
    """An index of 3000 documents that all match "brown": their hits fill a pipe many times."""
    lines = "".join(json.dumps({"text": f"{FOX} and the brown fields of summer number {n}"}) + "\n"
                    for n in range(3000))
    directory = tmp_path / "many"
    done = tarnwick("index", directory, "--jsonl", "-", cwd=tmp_path, stdin=lines)
    assert done.returncode == 0, done.stderr
    return directory


@pytest.mark.parametrize("extra", [[], ["--json"]])
def test_a_reader_that_stops_early_is_no_failure(many: Path, extra: list[str]) -> None:
    # `tarnwick search ... | head -n 1`: the reader takes a line and closes the pipe.
    process = subprocess.Popen([sys.executable, "-m", "tarnwick", "search", many, "brown", "-k",
                                "0", *extra], cwd=many.parent, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert process.stdout is not None and process.stderr is not None
    first = process.stdout.readline()
    process.stdout.close()
    errors = process.stderr.read()
    assert process.wait(timeout=120) == 0
    assert errors == b""
    assert b"brown" in first or first.strip().startswith(b"1 ")


def feed_lines(stream: IO[bytes], marker_after: int) -> None:
    """Writes JSON lines with ids doc-0, doc-1, ... until the reader goes away, and a line that
    the command warns about after the first `marker_after`. The lines go in large blocks, so that
    the command is always busy, and their texts are long, so that it is mostly busy adding them
    to the engine."""
    filler = b"lorem ipsum dolor sit amet " * 200

    def lines(start: int, stop: int) -> bytes:
        return b"".join(b'{"id": "doc-%d", "text": "brown fox %d %s"}\n' % (n, n, filler)
                        for n in range(start, stop))

    try:
        stream.write(lines(0, marker_after) + b"{marker\n")
        for start in range(marker_after, 10**9, 100):
            stream.write(lines(start, start + 100))
    except (BrokenPipeError, ValueError):
        pass


def test_ctrl_c_keeps_what_was_indexed_with_every_source(tmp_path: Path) -> None:
    directory = tmp_path / "index"
    process = subprocess.Popen([sys.executable, "-m", "tarnwick", "index", directory, "--jsonl",
                                "-"], cwd=tmp_path, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    assert process.stdin is not None and process.stderr is not None
    feeder = threading.Thread(target=feed_lines, args=(process.stdin, 500))
    feeder.start()
    try:
        # The warning about the marker line tells that 500 documents are in. Ctrl-C comes a
        # little later, once the command is back to adding documents (the lines never run out),
        # so that it mostly lands while one is being added: where a document and its source
        # could be torn apart.
        assert b"<stdin>:501: not a JSON value" in process.stderr.readline()
        time.sleep(0.2)
        process.send_signal(signal.SIGINT)
        status = process.wait(timeout=120)
    finally:
        process.kill()
        feeder.join()
    errors = process.stderr.read().decode()
    process.stdin.close()
    assert status == 130, errors
    found = re.fullmatch(r"tarnwick: interrupted; kept the (\d+) documents indexed before it "
                         rf"\([\d.]+ [kM]B of text\) in {re.escape(str(directory))}\n", errors)
    assert found, errors
    kept = int(found[1])
    assert kept >= 500

    engine = Search(directory, None)
    assert engine.stats()["documents"] == kept
    known = sources.load(directory)
    assert {hit.document.id for hit in engine.search("brown", 0)} == set(known)
    assert sorted(known.values(), key=lambda s: int(s[4:])) == [f"doc-{n}" for n in range(kept)]


def test_console_script_is_installed_beside_the_interpreter(tmp_path: Path) -> None:
    script = Path(sys.executable).parent / "tarnwick"
    if not script.exists():
        pytest.skip("tarnwick is not installed in this environment, only importable")
    done = subprocess.run([script, "search", tmp_path / "none", "x"], capture_output=True,
                          text=True)
    check_failure(done, "no such directory")


def test_snippets_mark_what_the_engine_matched(tmp_path: Path) -> None:
    filler = "lorem ipsum dolor " * 40
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "a.txt").write_text(
        f"a lock at the start\n{filler}then the LOCK\tshowed heavy contention\n{filler}")
    index = tmp_path / "index"
    assert tarnwick("index", index, docs, cwd=tmp_path).returncode == 0
    [hit] = search_json(index, '"lock contention"~3')
    assert "\n" not in hit["snippet"] and "\t" not in hit["snippet"]
    assert hit["snippet"].startswith("…") and hit["snippet"].endswith("…")
    assert "LOCK showed heavy contention" in hit["snippet"]
    # The second lock, the one the proximity matched, is marked; not the first.
    shown = on_terminal("search", index, '"lock contention"~3', cwd=tmp_path, stream="stdout")
    assert re.findall(r"\x1b\[1;33m(\w+)\x1b\[0m", shown) == ["LOCK", "contention"]
