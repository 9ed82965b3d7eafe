"""The `tarnwick` command: build, query and look after one engine directory from the shell."""

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

from tarnwick.cli.errors import CliError

_QUERY_HELP = """\
query language (terms must appear in query order):
  memory barrier      "memory" directly followed by "barrier" (stop words do not count)
  "lock contention"~3 the same with up to 3 words between them; closer ranks higher
  brown~1  brown~2    "brown" or any word within 1 (or 2) edits of it; a bare ~ picks the
                      allowance from the word's length
  e mail              a document's "e-mail": punctuation between words is dropped from
                      documents but stays part of a query term, so "e-mail" finds nothing
  über                only A to Z change case: "über" does not find "Über"
"""


def version() -> str:
    """The installed package's version."""
    from importlib import metadata

    try:
        return metadata.version("tarnwick")
    except metadata.PackageNotFoundError:
        # Imported from a source tree that was never installed: there is no version to tell.
        return "unknown (not installed)"


class _Version(argparse.Action):
    """--version, which reads the package metadata only when asked: that takes a while."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"tarnwick {version()}")
        parser.exit()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnwick", description="Full-text search over one engine directory.")
    parser.add_argument("--version", action=_Version)
    config_help = "TOML configuration file the engine opens with"
    parser.add_argument("--config", metavar="FILE", help=config_help)
    # Accepted after the subcommand too; there it must not reset a value given before it.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--config", metavar="FILE", default=argparse.SUPPRESS, help=config_help)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    index = commands.add_parser(
        "index", parents=[common], help="add text files, trees of them, or JSON Lines",
        description="Adds every text file named or found under the named directories, and "
                    "every line of --jsonl inputs; skips binary and non-UTF-8 files with a "
                    "warning, and hidden files under directories; saves everything at the end, "
                    "also after Ctrl-C (exit status 130). Files ending in .gz are decompressed. "
                    "Inputs already indexed are passed over unless --again is given.")
    index.add_argument("dir", metavar="DIR")
    index.add_argument("paths", metavar="PATH", nargs="*")
    index.add_argument("--glob", default="*", metavar="PATTERN",
                       help="file names to take under directories (default: every file)")
    index.add_argument("--jsonl", action="append", default=[], metavar="FILE",
                       help='JSON Lines input whose objects hold "text" (and optionally "id", '
                            "kept as the source); - reads standard input; may be repeated")
    index.add_argument("--again", action="store_true",
                       help="add inputs whose source is already indexed once more (by default "
                            "they are passed over: a file by its path, a JSON line by its id)")
    index.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    search = commands.add_parser(
        "search", parents=[common], help="ranked search", epilog=_QUERY_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    search.add_argument("dir", metavar="DIR")
    search.add_argument("query", metavar="QUERY")
    search.add_argument("-k", type=_count, default=10, metavar="N",
                        help="best N hits (default 10; 0: all)")
    search.add_argument("--json", action="store_true", help="one JSON object per hit")

    get = commands.add_parser("get", parents=[common], help="print a document's text")
    get.add_argument("dir", metavar="DIR")
    get.add_argument("id", metavar="ID")

    delete = commands.add_parser("delete", parents=[common], help="delete documents")
    delete.add_argument("dir", metavar="DIR")
    delete.add_argument("ids", metavar="ID", nargs="+")

    merge = commands.add_parser("merge", parents=[common],
                                help="compact the oldest closed segment with much deleted space")
    merge.add_argument("dir", metavar="DIR")

    stats = commands.add_parser("stats", parents=[common], help="counts and bytes on disk")
    stats.add_argument("dir", metavar="DIR")
    stats.add_argument("--json", action="store_true", help="one JSON object")
    return parser


def _count(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"{text} is not a count from 0 to 4294967295")
    return value


def _describe(error: BaseException) -> str | None:
    """The message for an error of the engine or the file system, or None for a real bug."""
    if isinstance(error, OSError):
        name = error.filename
        text = error.strerror or str(error)
        return f"{name}: {text}" if name else text
    if type(error).__module__ == "crate":
        return f"the index is damaged or unreadable ({type(error).__name__}: {error})"
    return None


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    from tarnwick.cli import commands

    run = {
        "index": commands.run_index,
        "search": commands.run_search,
        "get": commands.run_get,
        "delete": commands.run_delete,
        "merge": commands.run_merge,
        "stats": commands.run_stats,
    }[args.command]
    try:
        status = run(args)
        # Output to a pipe waits in a buffer; writing it out here, rather than at exit, lets a
        # reader that went away be handled below.
        sys.stdout.flush()
        return status
    except CliError as error:
        print(f"tarnwick: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("tarnwick: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`tarnwick search ... | head -n 1`): it has all it wanted, so
        # stop quietly and successfully. Writes to stdout from here on, the flush at exit
        # among them, go to /dev/null instead of failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 0
    except Exception as error:
        message = _describe(error)
        if message is None:
            raise
        print(f"tarnwick: {message}", file=sys.stderr)
        return 1
