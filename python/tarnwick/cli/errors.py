"""Failures the command expects, and how a rejected query is shown to the user."""

import re


class CliError(Exception):
    """A failure to report as one message on stderr, without a traceback, and the exit status
    that goes with it."""

    status = 1


class Interrupted(CliError):
    """A run stopped by Ctrl-C after it saved what it had done; 130 is the shells' status for a
    process ended by SIGINT."""

    status = 130


# "found ''x'' at 8..9 expected digit" / "Fuzziness must be ... it is 5. at 5..7": the engine's
# error lines carry byte spans into the (lower-cased) query.
_SPAN = re.compile(r"^(?P<before>.*?) at (?P<start>\d+)\.\.(?P<end>\d+)(?P<after>.*)$")
# A character in an error line is written as an apostrophe, its escaped literal in apostrophes,
# and an apostrophe: ''x'', ''\n'', ''\u{301}''.
_CHARACTER = re.compile(r"''(\\u\{[0-9a-f]+\}|\\.|.)''")
_HEADER = "Following query is invalid: '"


def _column(query: str, byte_offset: int) -> int:
    """The character index of a byte offset into the UTF-8 form of `query`."""
    return len(query.encode()[:byte_offset].decode(errors="ignore"))


def query_error(query: str, message: str) -> CliError:
    """An error pointing at the parts of `query` that the engine's ValueError `message` names."""
    head, separator, body = message.partition("'\n, ")
    if not head.startswith(_HEADER) or not separator:
        return CliError(f"invalid query {query!r}: {message}")
    # Tabs and line breaks would throw the markers out of line with the query.
    shown = "".join(" " if c.isspace() else c for c in query)
    lines = ["invalid query:"]
    for error in body.split("\n"):
        found = _SPAN.match(error)
        if not found:
            lines.append(f"  {error}")
            continue
        start = _column(query, int(found["start"]))
        end = max(_column(query, int(found["end"])), start + 1)
        text = _CHARACTER.sub(r"'\1'", found["before"] + found["after"])
        lines += [f"  {shown}", "  " + " " * start + "^" * (end - start), f"  {text}"]
    return CliError("\n".join(lines))
