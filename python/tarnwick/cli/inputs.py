"""What `tarnwick index` reads: text files, trees of them, and JSON Lines streams.

A file is text when it holds no NUL byte and decodes as UTF-8; a name ending in `.gz` is
decompressed first. Anything else is skipped with a reason, never indexed half-way.
"""

import gzip
import json
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from tarnwick.cli.errors import CliError


@dataclass(frozen=True)
class Text:
    """One document to add, and what to record as its source."""
    content: str
    source: str


@dataclass(frozen=True)
class Skip:
    """An input that is not added, and why."""
    source: str
    reason: str


# Each step of reading gives a Text or a Skip (or None for a blank JSON line) and the number of
# input bytes it used up, which drives the progress bar.
Step = tuple[Text | Skip | None, int]


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


def read_file(path: Path) -> Step:
    source = str(path.absolute())
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


def read_jsonl(stream: IO[bytes], name: str) -> Iterator[Step]:
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
        yield Text(text, where if doc_id is None else str(doc_id)), len(line)


def jsonl_size(name: str) -> int | None:
    """Bytes in a JSON Lines input, or None for standard input."""
    if name == "-":
        return None
    path = Path(name)
    if not path.is_file():
        raise CliError(f"{name}: no such file")
    return path.stat().st_size


def read_all(files: list[Path], jsonl: list[str]) -> Iterator[Step]:
    for path in files:
        yield read_file(path)
    for name in jsonl:
        if name == "-":
            yield from read_jsonl(sys.stdin.buffer, "<stdin>")
        else:
            try:
                with open(name, "rb") as stream:
                    yield from read_jsonl(stream, name)
            except OSError as error:
                yield Skip(name, f"cannot read: {error.strerror or error}"), 0
