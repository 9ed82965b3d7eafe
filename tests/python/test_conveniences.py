"""What the Python classes add for their users: the context manager, readable reprs, typing."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarnwick
from tarnwick import Search


class Boom(Exception):
    pass


def segment(directory: Path) -> Path:
    [found] = [p for p in directory.iterdir() if p.name.isdigit()]
    return found


def saved_texts(directory: Path, query: str) -> list[str]:
    """Texts that a fresh engine over `directory` can read for `query`."""
    texts = []
    for hit in Search(directory, None).search(query, 0):
        try:
            texts.append(hit.document.content)
        except OSError:
            pass
    return texts


def test_leaving_a_with_block_flushes(tmp_path: Path) -> None:
    engine = Search(tmp_path, None)
    engine.add("written without a flush")
    # Without a save a second engine cannot read it (the automatic save waits seconds).
    assert saved_texts(tmp_path, "written") == []
    with engine as entered:
        assert entered is engine
        engine.add("written inside the block")
    assert sorted(saved_texts(tmp_path, "written")) == ["written inside the block",
                                                        "written without a flush"]


def test_an_exception_in_the_block_propagates_after_the_flush(tmp_path: Path) -> None:
    raised = Boom("from the block")
    with pytest.raises(Boom) as caught:
        with Search(tmp_path, None) as engine:
            engine.add("kept despite the error")
            raise raised
    assert caught.value is raised
    assert not hasattr(raised, "__notes__")
    assert saved_texts(tmp_path, "kept") == ["kept despite the error"]


def test_a_failing_flush_on_exit_raises_or_is_noted_on_the_block_error(tmp_path: Path) -> None:
    # A segment directory removed under the engine makes its next save fail.
    engine = Search(tmp_path, None)
    engine.add("doomed")
    shutil.rmtree(segment(tmp_path))
    with pytest.raises(FileNotFoundError):
        with engine:
            pass
    with pytest.raises(Boom) as caught:
        with engine:
            raise Boom
    [note] = caught.value.__notes__
    assert "flush" in note and "FileNotFoundError" in note


def test_reprs_show_what_the_objects_hold(tmp_path: Path) -> None:
    engine = Search(tmp_path, None)
    assert repr(engine) == f"<tarnwick.Search dir={str(tmp_path)!r} read_only=False documents=0>"
    short_id = engine.add("short text")
    long_text = "a long text " * 10
    long_id = engine.add(long_text)
    assert repr(engine).endswith("documents=2>")
    unsaved = engine.get(short_id)
    assert repr(unsaved) == f"<tarnwick.Document id={short_id!r} content='short text'>"
    engine.flush()
    assert repr(engine.get(short_id)) == (
        f"<tarnwick.Document id={short_id!r} content='short text'>")
    assert repr(engine.get(long_id)) == (
        f"<tarnwick.Document id={long_id!r} content={long_text[:40]!r}...>")
    [hit] = engine.search("short", 1)
    assert repr(hit) == f"<tarnwick.Result score={hit.score!r} id={short_id!r}>"
    (segment(tmp_path) / "data").write_bytes(b"")
    assert repr(engine.get(short_id)) == f"<tarnwick.Document id={short_id!r} content not readable>"


def test_importing_the_package_loads_no_terminal_library() -> None:
    code = "import sys, tarnwick, tarnwick.cli; print(sorted(m for m in sys.modules " \
           "if m.split('.')[0] in ('rich', 'tqdm')))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    assert done.stdout.strip() == "[]"


TYPED_EXAMPLE = """\
    from pathlib import Path

    from tarnwick import Document, Result, Search

    def best(directory: Path, query: str) -> list[tuple[float, str]]:
        with Search(directory, None) as engine:
            engine.add("text")
            hits: list[Result] = engine.search(query, 10)
            document: Document = engine.get(hits[0].document.id)
            count: int = engine.stats()["documents"]
            mean: float = engine.stats()["avg_doc_len"]
            assert engine.delete(document.id) and count >= 0 and mean >= 0
            return [(hit.score, hit.document.content) for hit in hits]
"""


def mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess:
    pytest.importorskip("mypy", reason="mypy is not installed")
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent(source))
    # The package as imported here: mypy finds an installed one by itself, and refuses to be
    # pointed at site-packages; one put on the path must be shown to it.
    root = Path(tarnwick.__file__).parent.parent
    env = dict(os.environ)
    if root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(root)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", os.devnull, str(example)], cwd=tmp_path, env=env,
                          capture_output=True, text=True)


def test_a_typed_example_passes_mypy_against_the_stub(tmp_path: Path) -> None:
    done = mypy(tmp_path, TYPED_EXAMPLE)
    assert done.returncode == 0, done.stdout


def test_mypy_rejects_misuse_through_the_stub(tmp_path: Path) -> None:
    done = mypy(tmp_path, """\
        from tarnwick import Search
        engine = Search("d", None)
        n: int = engine.add("text")
        engine.search("q", "10")
        engine.stats()["missing"]
    """)
    assert done.returncode == 1
    assert [line.split(":")[1] for line in done.stdout.splitlines() if ": error:" in line] == [
        "3", "4", "5"]
