"""Ctrl-C held back while steps run that must not be separated.

`tarnwick index` adds a document to the engine and then records its source; an interrupt that
landed between the two would leave a document whose source is lost. Python delivers SIGINT as a
KeyboardInterrupt between any two steps of the program, so while the guard is in place the signal
is only noted inside `held()` blocks and raised when the block ends. Outside them it is raised at
once as usual, which also ends a read that waits for input.
"""

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType, TracebackType
from typing import Any


class InterruptGuard:
    """Installs its SIGINT handler for the life of a `with` block and restores the previous one
    after. Signal handlers belong to the main thread: elsewhere the guard does nothing and an
    interrupt is not held back."""

    def __init__(self) -> None:
        self._holding = False
        self._previous: Any = None
        self._installed = False
        self.pending = False

    def __enter__(self) -> "InterruptGuard":
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._on_interrupt)
            self._installed = True
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
            self._installed = False

    def _on_interrupt(self, number: int, frame: FrameType | None) -> None:
        if self._holding:
            self.pending = True
        else:
            raise KeyboardInterrupt

    @contextmanager
    def held(self, deliver: bool = True) -> Iterator[None]:
        """A block that Ctrl-C does not cut short. An interrupt that came meanwhile is raised as
        KeyboardInterrupt when the block ends, unless `deliver` is false (the caller then reads
        `pending`); when the block raises, its own exception goes on instead."""
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self.pending and deliver:
            raise KeyboardInterrupt
