"""What `tarnwick index` reads: text files, trees of them, and JSON Lines streams.

A file is text when it holds no NUL byte and decodes as UTF-8; a name ending in `.gz` is
decompressed first. Anything else is skipped with a reason, never indexed half-way.

A file's source is its absolute path, and a JSON line's source is its `id` when it has one: such a
source names the same input on every run, so an input whose source is already indexed can be
passed over. A JSON line without an `id` is known only by its place (NAME:LINE), which says
nothing about its text, so it is always read.
"""

import gzip
import json
import sys
import zlib
from collections.abc import Container, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from tarnwick.cli.errors import CliError


@dataclass(frozen=True)
class Text:
    """One document to add, and what to record as its source. `lasting` tells whether the source
    names this input on every run (a path, an id) rather than only its place in a stream."""
    content: str
    source: str
    lasting: bool = True


@dataclass(frozen=True)
class Skip:
    """An input that is not added, and why."""
    source: str
    reason: str


@dataclass(frozen=True)
class Indexed:
    """An input passed over because its source is already indexed."""
    source: str


# Each step of reading gives a Text, a Skip or an Indexed (or None for a blank JSON line) and
# the number of input bytes it used up, which drives the progress bar.
Step = tuple[Text | Skip | Indexed | None, int]


def collect_files(paths: list[str], pattern: str, exclude: Path) -> list[Path]:
    """The files named in `paths`, with the files under named directories whose names match
    `pattern`, in a stable order. Below a named directory, hidden files and directories (a name
    starting with a dot) and everything under `exclude` (the engine directory) are left out."""
    excluded = exclude.resolve()
    files = []
    for name in paths:
        path = Path(name)
        if path.is_dir():
            found = (p for p in path.rglob(pattern) if p.is_file() and
                     not any(part.startswith(".") for part in p.relative_to(path).parts))
            files += sorted(p for p in found if not p.resolve().is_relative_to(excluded))
        elif path.is_file():
            files.append(path)
        elif path.exists():
            raise CliError(f"{name}: neither a file nor a directory")
        else:
            raise CliError(f"{name}: no such file or directory")
    return files


def decode(data: bytes) -> str | None:
    """The text of `data`, or None when it is binary or not UTF-8."""
    if b"\0" in data:
        return None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return None


def read_file(path: Path, indexed: Container[str] = ()) -> Step:
    source = str(path.absolute())
    if source in indexed:
        try:
            return Indexed(source), path.stat().st_size
        except OSError:
            return Indexed(source), 0
    try:
        data = path.read_bytes()
        size = len(data)
        if path.name.endswith(".gz"):
            data = gzip.decompress(data)
    except (OSError, EOFError, zlib.error) as error:
        return Skip(source, f"cannot read: {getattr(error, 'strerror', None) or error}"), 0
    text = decode(data)
    if text is None:
        kind = "binary" if b"\0" in data else "not UTF-8 text"
        return Skip(source, kind), size
    return Text(text, source), size


def read_jsonl(stream: IO[bytes], name: str, indexed: Container[str] = ()) -> Iterator[Step]:
    """One step per line of a JSON Lines stream whose objects carry the text in `text`; the
    source is the object's `id` when it has one, else NAME:LINE."""
    for number, line in enumerate(stream, 1):
        where = f"{name}:{number}"
        if not line.strip():
            yield None, len(line)
            continue
        try:
            record = json.loads(line)
        except ValueError:
            yield Skip(where, "not a JSON value"), len(line)
            continue
        text = record.get("text") if isinstance(record, dict) else None
        if not isinstance(text, str):
            yield Skip(where, 'no "text" string'), len(line)
            continue
        doc_id = record.get("id")
        if doc_id is None:
            yield Text(text, where, lasting=False), len(line)
        elif str(doc_id) in indexed:
            yield Indexed(str(doc_id)), len(line)
        else:
            yield Text(text, str(doc_id)), len(line)


def jsonl_size(name: str) -> int | None:
    """Bytes in a JSON Lines input, or None for standard input."""
    if name == "-":
        return None
    path = Path(name)
    if not path.is_file():
        raise CliError(f"{name}: no such file")
    return path.stat().st_size


def read_all(files: list[Path], jsonl: list[str], indexed: Container[str] = ()) -> Iterator[Step]:
    """The steps of every file, then of every JSON Lines input. An input whose source is in
    `indexed` is not read; the container is consulted as the steps are taken, so sources that
    the caller adds to it meanwhile count too."""
    for path in files:
        yield read_file(path, indexed)
    for name in jsonl:
        if name == "-":
            yield from read_jsonl(sys.stdin.buffer, "<stdin>", indexed)
        else:
            try:
                with open(name, "rb") as stream:
                    yield from read_jsonl(stream, name, indexed)
            except OSError as error:
                yield Skip(name, f"cannot read: {error.strerror or error}"), 0
