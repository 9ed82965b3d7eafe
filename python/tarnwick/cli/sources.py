"""Where each document came from, kept beside the engine's own files.

The file `sources.jsonl` in the engine directory is only ever appended to, one JSON object a line:
{"id": ID, "source": TEXT} when a document is added, {"id": ID, "deleted": true} when it is
deleted. The last line about an id wins. The engine ignores the file: it takes only names made of
digits (segments), `index` and `meta` as its own. A line cut short by a crash is skipped when
read.
"""

import json
import os
from pathlib import Path
from types import TracebackType
from typing import IO

FILE_NAME = "sources.jsonl"


def load(directory: Path) -> dict[str, str]:
    """The source of every document that the file knows and has not seen deleted."""
    sources: dict[str, str] = {}
    try:
        lines = (directory / FILE_NAME).read_text(errors="replace").splitlines()
    except FileNotFoundError:
        return sources
    for line in lines:
        try:
            record = json.loads(line)
            doc_id = record["id"]
        except (ValueError, TypeError, KeyError):
            continue
        if record.get("deleted"):
            sources.pop(doc_id, None)
        elif isinstance(record.get("source"), str):
            sources[doc_id] = record["source"]
    return sources


class Writer:
    """Appends records to the file; `sync` makes them durable, as the engine's flush does its."""

    def __init__(self, directory: Path) -> None:
        self._file: IO[str] = open(directory / FILE_NAME, "a", encoding="utf-8")

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._file.close()

    def _write(self, record: dict[str, object]) -> None:
        self._file.write(json.dumps(record) + "\n")

    def added(self, doc_id: str, source: str) -> None:
        self._write({"id": doc_id, "source": source})

    def deleted(self, doc_id: str) -> None:
        self._write({"id": doc_id, "deleted": True})

    def sync(self) -> None:
        self._file.flush()
        os.fsync(self._file.fileno())
