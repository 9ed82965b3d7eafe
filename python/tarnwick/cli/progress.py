"""The progress bar of `tarnwick index` on stderr, and its warnings.

The bar shows documents, megabytes read, the rate and, when the total is known, the time left.
It stays off when stderr is no terminal or when asked to be quiet; warnings are printed either
way.
"""

from types import TracebackType


class Progress:
    def __init__(self, total: int | None, quiet: bool) -> None:
        from rich.console import Console
        from rich.progress import (BarColumn, DownloadColumn, Progress, TaskProgressColumn,
                                   TextColumn, TimeRemainingColumn, TransferSpeedColumn)

        self._console = Console(stderr=True, highlight=False, soft_wrap=True)
        enabled = self._console.is_terminal and not quiet
        self._bar = Progress(
            TextColumn("indexing"),
            BarColumn(),
            TaskProgressColumn(),
            TextColumn("{task.fields[documents]:>7,} docs"),
            DownloadColumn(),
            TransferSpeedColumn(),
            TimeRemainingColumn(elapsed_when_finished=True),
            console=self._console,
            disable=not enabled,
            transient=False,
        )
        self._task = self._bar.add_task("indexing", total=total, documents=0)

    def __enter__(self) -> "Progress":
        self._bar.start()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._bar.stop()

    def advance(self, size: int, documents: int) -> None:
        self._bar.update(self._task, advance=size, documents=documents)

    def warn(self, message: str) -> None:
        self._console.print(f"warning: {message}", markup=False, style="yellow")
