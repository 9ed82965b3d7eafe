"""The `tarnwick` command: build, query and look after one engine directory from the shell."""

import argparse
import os
import sys
from collections.abc import Sequence

from tarnwick.cli.errors import CliError

_QUERY_HELP = """\
query language (terms must appear in query order):
  memory barrier      "memory" directly followed by "barrier" (stop words do not count)
  "lock contention"~3 the same with up to 3 words between them; closer ranks higher
  brown~1  brown~2    "brown" or any word within 1 (or 2) edits of it; a bare ~ picks the
                      allowance from the word's length
"""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnwick", description="Full-text search over one engine directory.")
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
                    "warning, and hidden files under directories; saves everything at the end. "
                    "Files ending in .gz are decompressed.")
    index.add_argument("dir", metavar="DIR")
    index.add_argument("paths", metavar="PATH", nargs="*")
    index.add_argument("--glob", default="*", metavar="PATTERN",
                       help="file names to take under directories (default: every file)")
    index.add_argument("--jsonl", action="append", default=[], metavar="FILE",
                       help='JSON Lines input whose objects hold "text" (and optionally "id", '
                            "kept as the source); - reads standard input; may be repeated")
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
                                help="compact the segment with the most deleted space")
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
        return run(args)
    except CliError as error:
        print(f"tarnwick: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tarnwick: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`tarnwick search ... | head`): stop quietly, and keep Python
        # from failing again while it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:
        message = _describe(error)
        if message is None:
            raise
        print(f"tarnwick: {message}", file=sys.stderr)
        return 1
