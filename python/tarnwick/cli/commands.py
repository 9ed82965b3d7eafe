"""The subcommands of `tarnwick`. Each takes the parsed arguments and returns the exit status;
expected failures are raised as CliError."""

import argparse
import errno
import json
import os
import re
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING

from tarnwick import Result, Search, UlidDecodeError, snippets
from tarnwick.cli import inputs, sources
from tarnwick.cli.errors import CliError, Interrupted, query_error

if TYPE_CHECKING:
    from rich.console import Console

_SEGMENT = re.compile(r"^\+?\d+$")


def _is_engine(directory: Path) -> bool:
    return (directory / "index").is_dir()


def _check_config(config: str | None) -> None:
    if config is not None and not Path(config).is_file():
        raise CliError(f"configuration file {config}: no such file")


def open_engine(directory: Path, config: str | None, create: bool = False,
                write: bool = False) -> Search:
    """The engine of `directory`. Unless `create`, the directory must hold one already; when
    creating, a directory that holds other things is refused, so that a slip of the arguments
    cannot scatter index files among someone's documents. With `write` (or `create`), an engine
    that another process is writing is refused."""
    _check_config(config)
    if directory.exists() and not directory.is_dir():
        raise CliError(f"{directory}: not a directory")
    if not create and not _is_engine(directory):
        if not directory.exists():
            raise CliError(f"{directory}: no such directory")
        raise CliError(f"{directory}: no index here (build one with: tarnwick index {directory} "
                       "PATH...)")
    if create and directory.is_dir() and not _is_engine(directory) and any(directory.iterdir()):
        raise CliError(f"{directory}: holds other files and no index; give a new or empty "
                       "directory")
    try:
        engine = Search(directory, config)
    except Exception as error:
        if type(error).__name__ == "TomlDeserializeException":
            raise CliError(f"bad configuration file {config}:\n{error}") from None
        raise
    if (write or create) and engine.read_only:
        writer = engine.stats()["writer_pid"]
        by = f"process {writer}" if writer is not None else "another process"
        raise CliError(f"{directory}: the index is being written by {by}; try again when it "
                       "is done")
    return engine


def _documents(count: int) -> str:
    return f"{count} document{'' if count == 1 else 's'}"


def _indexed_sources(engine: Search, directory: Path) -> set[str]:
    """The recorded sources of the documents that the engine holds. A record whose document is
    missing (written by a run that was killed before the engine saved) does not count."""
    indexed = set()
    for doc_id, source in sources.load(directory).items():
        try:
            engine.get(doc_id)
        except (KeyError, UlidDecodeError):
            continue
        indexed.add(source)
    return indexed


def run_index(args: argparse.Namespace) -> int:
    from tarnwick.cli.interrupts import InterruptGuard
    from tarnwick.cli.progress import Progress, text_amount

    directory = Path(args.dir)
    if not args.paths and not args.jsonl:
        raise CliError("nothing to index: name files or directories, or --jsonl FILE")
    files = inputs.collect_files(args.paths, args.glob, exclude=directory)
    sizes = [inputs.jsonl_size(name) for name in args.jsonl]
    file_bytes = sum(path.stat().st_size for path in files)
    total = None if None in sizes else file_bytes + sum(s for s in sizes if s is not None)
    engine = open_engine(directory, args.config, create=True)
    # Inputs whose source is already indexed, by this run or an earlier one, are passed over.
    indexed = set() if args.again else _indexed_sources(engine, directory)
    added = unreadable = already = text_bytes = 0
    interrupted = False
    started = time.monotonic()
    with (sources.Writer(directory) as writer, Progress(total, args.quiet) as progress,
          InterruptGuard() as guard):
        try:
            for item, size in inputs.read_all(files, args.jsonl, indexed):
                if isinstance(item, inputs.Skip):
                    progress.warn(f"skipped {item.source}: {item.reason}")
                    unreadable += 1
                elif isinstance(item, inputs.Indexed):
                    already += 1
                elif item is not None:
                    # Every document in the engine has its line in the sources file: Ctrl-C
                    # waits until both are written.
                    with guard.held():
                        writer.added(engine.add(item.content), item.source)
                        added += 1
                        text_bytes += len(item.content.encode())
                    if item.lasting:
                        indexed.add(item.source)
                progress.advance(size, added, text_bytes)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            # Whatever was added stays, also when the run is interrupted or fails.
            with guard.held(deliver=False):
                engine.flush()
                writer.sync()
    seconds = time.monotonic() - started
    if interrupted:
        raise Interrupted(f"interrupted; kept the {_documents(added)} indexed before it "
                          f"({text_amount(text_bytes)} of text) in {directory}")
    notes = "".join([f", {already} already indexed" if already else "",
                     f", skipped {unreadable}" if unreadable else ""])
    print(f"indexed {_documents(added)} ({text_amount(text_bytes)} of text) in {seconds:.1f} s "
          f"into {directory}{notes}")
    return 0


def _shown_source(source: str | None) -> str:
    """A source as the user would like to read it: relative when under the current directory."""
    if source is None:
        return "-"
    if os.path.isabs(source):
        relative = os.path.relpath(source)
        if not relative.startswith(".."):
            return relative
    return source


def _stdout_console() -> "Console":
    """A rich console on stdout that reports a reader gone away (`| head`) as BrokenPipeError,
    which `main` handles like any other write to the closed pipe; rich's own handling would exit
    with status 1."""
    from rich.console import Console

    class PipeConsole(Console):
        def on_broken_pipe(self) -> None:
            self.quiet = True
            raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE))

    return PipeConsole(highlight=False, soft_wrap=True)


def _snippet_line(hit: Result, width: int) -> tuple[str, list[tuple[int, int]]]:
    """The line shown under a hit: at most `width` characters of its text around the words the
    engine matched, and where in the line those words are; or a note that the text cannot be
    read."""
    try:
        matches = hit.matches  # reads the text, which hit.document then carries
        content = hit.document.content
    except (OSError, ValueError):
        return "(text not readable)", []
    # Room for the ellipses.
    [fragment] = snippets.fragments(content, matches, max(width, 20) - 2)
    before = "…" if fragment.start > 0 else ""
    after = "…" if fragment.end < len(content) else ""
    marks = [(a + len(before), b + len(before)) for a, b in fragment.marks]
    return before + fragment.text + after, marks


def run_search(args: argparse.Namespace) -> int:
    directory = Path(args.dir)
    engine = open_engine(directory, args.config)
    try:
        hits = engine.search(args.query, args.k)
    except ValueError as error:
        raise query_error(args.query, str(error)) from None
    known = sources.load(directory)

    from rich.text import Text

    console = _stdout_console()
    width = console.width - 4 if console.is_terminal else 160
    rank_width = len(str(len(hits)))
    for rank, hit in enumerate(hits, 1):
        shown, marks = _snippet_line(hit, width)
        document = hit.document
        source = known.get(document.id)
        if args.json:
            record = {"rank": rank, "score": hit.score, "id": document.id, "source": source,
                      "snippet": shown}
            print(json.dumps(record, ensure_ascii=False))
            continue
        line = Text(f"{rank:>{rank_width}}  ", style="bold")
        line.append(f"{hit.score:.4f}  ")
        line.append(document.id, style="dim")
        line.append(f"  {_shown_source(source)}", style="cyan")
        console.print(line)
        text = Text(" " * (rank_width + 2) + shown)
        for start, end in marks:
            text.stylize("bold yellow", start + rank_width + 2, end + rank_width + 2)
        console.print(text)
    if not hits and not args.json:
        print(f"no documents match {args.query!r}", file=sys.stderr)
    return 0


def _live(engine: Search, doc_id: str) -> str:
    """The canonical form of a live document's id."""
    try:
        return engine.get(doc_id).id
    except KeyError:
        raise CliError(f"no document with id {doc_id}") from None
    except Exception as error:
        if type(error).__name__ == "UlidDecodeError":
            raise CliError(f"{doc_id!r} is not a document id ({error})") from None
        raise


def run_get(args: argparse.Namespace) -> int:
    engine = open_engine(Path(args.dir), args.config)
    document = engine.get(_live(engine, args.id))
    content = document.content
    sys.stdout.write(content if content.endswith("\n") else content + "\n")
    return 0


def run_delete(args: argparse.Namespace) -> int:
    directory = Path(args.dir)
    engine = open_engine(directory, args.config, write=True)
    # Every id is checked before anything is deleted.
    ids = list(dict.fromkeys(_live(engine, doc_id) for doc_id in args.ids))
    with sources.Writer(directory) as writer:
        for doc_id in ids:
            engine.delete(doc_id)
            writer.deleted(doc_id)
        engine.flush()
        writer.sync()
    print(f"deleted {len(ids)} document{'s' if len(ids) != 1 else ''}")
    return 0


def _segments(directory: Path) -> set[str]:
    return {path.name for path in directory.iterdir() if path.is_dir() and
            _SEGMENT.match(path.name)}


def run_merge(args: argparse.Namespace) -> int:
    directory = Path(args.dir)
    engine = open_engine(directory, args.config, write=True)
    before = _segments(directory)
    engine.merge()
    after = _segments(directory)
    # A merge removes the segment it compacts (its live documents move to the newest one).
    if before <= after:
        print("nothing to compact (no segment has merge_deleted_ratio of its bytes deleted)")
    else:
        print(f"merged: compacted a segment; {len(before)} segments before, {len(after)} after")
    return 0


def _file_kind(directory: Path, path: Path) -> str:
    relative = path.relative_to(directory).parts
    if len(relative) == 2 and _SEGMENT.match(relative[0]):
        return relative[1] if relative[1] in ("data", "meta", "del") else "other"
    if relative[0] == "index":
        return {"index": "index logs", "meta": "index logs", "postings": "index snapshot",
                "tokens": "tokens", "token-changes": "tokens",
                "words": "word list"}.get(relative[-1], "other")
    return {"meta": "statistics", "records": "record table",
            sources.FILE_NAME: "sources"}.get(relative[0], "other")


def disk_usage(directory: Path) -> dict[str, int]:
    """Bytes of the engine directory's files by kind."""
    usage = dict.fromkeys(["data", "meta", "del", "record table", "index logs",
                           "index snapshot", "tokens", "word list", "statistics", "sources",
                           "other"], 0)
    for root, _, names in os.walk(directory):
        for name in names:
            path = Path(root, name)
            usage[_file_kind(directory, path)] += path.stat().st_size
    return usage


def run_stats(args: argparse.Namespace) -> int:
    directory = Path(args.dir)
    stats = open_engine(directory, args.config).stats()
    usage = disk_usage(directory)
    if args.json:
        print(json.dumps({**stats, "bytes": usage}))
        return 0
    rows = [
        ("documents", f"{stats['documents']:,}"),
        ("pending deletions", f"{stats['pending_deletions']:,}"),
        ("distinct tokens", f"{stats['tokens']:,}"),
        ("segments", f"{stats['segments']:,}"),
        ("average length", f"{stats['avg_doc_len']:.1f} tokens"),
    ]
    if stats["read_only"]:
        # What was saved when this command opened it: the writer may hold more in memory.
        writer = stats["writer_pid"]
        rows.append(("being written by", f"process {writer}" if writer else "another process"))
    rows += [(f"bytes: {kind}", f"{size:,}") for kind, size in usage.items() if size or
             kind != "other"]
    rows.append(("bytes: total", f"{sum(usage.values()):,}"))
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value:>14}")
    return 0
