"""The progress bar of `tarnwick index` on stderr, and its warnings.

The bar shows documents, megabytes of text indexed (the UTF-8 size of the documents' texts, the
amount that the closing summary gives) and their rate and, when the total is known, the share of
the input read and the time left. The share and the time left are reckoned in input bytes, the
only amount known in advance: compressed files and JSON Lines hold more or fewer bytes than the
text they yield. The bar stays off when stderr is no terminal or when asked to be quiet; warnings
are printed either way.
"""

from types import TracebackType

from rich.console import Console
from rich.progress import (BarColumn, Progress as Bar, ProgressColumn, Task, TaskProgressColumn,
                           TextColumn, TimeRemainingColumn)
from rich.text import Text


def text_amount(size: float) -> str:
    """An amount of text for people: kilobytes or megabytes, one decimal."""
    return f"{size / 1e6:.1f} MB" if size >= 1e6 else f"{size / 1e3:.1f} kB"


class _TextColumn(ProgressColumn):
    """Megabytes of text indexed, and how many a second."""

    def render(self, task: Task) -> Text:
        size = task.fields["text_bytes"]
        elapsed = task.elapsed
        rate = f"{text_amount(size / elapsed)}/s" if elapsed else "?/s"
        return Text(f"{text_amount(size)} of text {rate:>11}", style="progress.download")


class Progress:
    def __init__(self, total: int | None, quiet: bool) -> None:
        self._console = Console(stderr=True, highlight=False, soft_wrap=True)
        enabled = self._console.is_terminal and not quiet
        self._bar = Bar(
            TextColumn("indexing"),
            BarColumn(),
            TaskProgressColumn(),
            TextColumn("{task.fields[documents]:>7,} docs"),
            _TextColumn(),
            TimeRemainingColumn(elapsed_when_finished=True),
            console=self._console,
            disable=not enabled,
            transient=False,
        )
        self._task = self._bar.add_task("indexing", total=total, documents=0, text_bytes=0)

    def __enter__(self) -> "Progress":
        self._bar.start()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._bar.stop()

    def advance(self, size: int, documents: int, text_bytes: int) -> None:
        """`size` more input bytes read; `documents` and `text_bytes` indexed so far."""
        self._bar.update(self._task, advance=size, documents=documents, text_bytes=text_bytes)

    def warn(self, message: str) -> None:
        self._console.print(f"warning: {message}", markup=False, style="yellow")
