"""What crashes, power losses and I/O errors leave behind opens, and nothing saved is lost."""

import os
import shutil
from pathlib import Path

import pytest

from tarnwick import Search


def segments(directory: Path) -> list[Path]:
    return sorted(p for p in directory.iterdir() if p.name.isdigit())


def test_half_made_segments_are_passed_over(tmp_path: Path) -> None:
    with Search(tmp_path, None) as engine:
        kept = engine.add("medlar jelly")
    # A crash between making a segment's directory and its files, and part way through them.
    (tmp_path / "9999999999999999999").mkdir()
    (tmp_path / "9999999999999999998").mkdir()
    (tmp_path / "9999999999999999998" / "data").touch()
    with Search(tmp_path, None) as engine:
        assert engine.get(kept).content == "medlar jelly"
        assert engine.add("rowan").startswith("0")


def test_the_writer_finishes_removing_a_segment_a_crash_cut_short(tmp_path: Path) -> None:
    with Search(tmp_path, None) as engine:
        kept = engine.add("medlar jelly")
    cut_short = tmp_path / "9999999999999999999.removed"
    others = [tmp_path / "notes.removed", tmp_path / "12a.removed"]
    outside = tmp_path.parent / f"{tmp_path.name}-outside"
    outside.mkdir()
    (outside / "data").write_text("not the engine's")
    with Search(tmp_path, None) as writer:
        # A merge renames a segment whose documents it has copied, then removes it; a crash
        # between the two leaves it renamed, with its files.
        shutil.copytree(segments(tmp_path)[0], cut_short)
        for other in others:
            other.mkdir()
        (tmp_path / "7777777777777777777.removed").symlink_to(outside, target_is_directory=True)
        # A reader beside the writer changes nothing.
        with Search(tmp_path, None) as reader:
            assert reader.read_only
            assert reader.get(kept).content == "medlar jelly"
        assert cut_short.is_dir()
    with Search(tmp_path, None) as writer:
        assert writer.get(kept).content == "medlar jelly"
    assert not cut_short.exists()
    assert all(other.is_dir() for other in others)
    assert (tmp_path / "7777777777777777777.removed").is_symlink()
    assert (outside / "data").read_text() == "not the engine's"


def test_a_torn_index_log_tail_is_cut_back_and_kept(tmp_path: Path) -> None:
    with Search(tmp_path, None) as engine:
        ids = [engine.add(f"sloe gin batch{n}") for n in range(5)]
    log = tmp_path / "index" / "index"
    whole = log.read_bytes()
    log.write_bytes(whole[:-1])  # the last byte of the last save did not reach the disk
    with Search(tmp_path, None) as engine:
        assert [engine.get(doc_id).content for doc_id in ids] == [
            f"sloe gin batch{n}" for n in range(5)]
        assert len(engine.search("sloe", 0)) == 5
    kept = list((tmp_path / "lost+found").iterdir())
    assert {p.name.split("@")[0] for p in kept} == {"index.meta", "index.index"}


def test_any_directory_name(tmp_path: Path) -> None:
    directory = tmp_path / os.fsdecode(b"caf\xe9 \xff")
    with Search(directory, None) as engine:
        doc_id = engine.add("quince paste")
    with Search(directory, None) as engine:
        assert engine.get(doc_id).content == "quince paste"
        assert [hit.document.id for hit in engine.search("quince", 0)] == [doc_id]


def test_merge_reports_the_failure_of_its_flush(tmp_path: Path) -> None:
    engine = Search(tmp_path, None)
    engine.add("not saved")
    shutil.rmtree(segments(tmp_path)[0])
    with pytest.raises(FileNotFoundError):
        engine.merge()


def test_a_document_whose_save_failed_is_the_one_the_caller_got(write_config, tmp_path) -> None:
    directory = tmp_path / "engine"
    engine = Search(directory, write_config("documents_buffer_size = 100\n"))
    first = engine.add("bullace")  # waits in the buffer
    [segment] = segments(directory)
    shutil.rmtree(segment)
    doc_id = engine.add("damson cheese " * 20)  # the buffer is full, and saving it fails
    assert engine.get(doc_id).id == doc_id
    with pytest.raises(FileNotFoundError):
        engine.flush()
    segment.mkdir()
    for name in ("data", "meta", "del"):
        (segment / name).touch()
    engine.close()
    with Search(directory, None) as engine:
        assert engine.stats()["documents"] == 2
        assert engine.get(first).content == "bullace"
        assert engine.get(doc_id).content == "damson cheese " * 20
