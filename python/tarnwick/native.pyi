from os import PathLike
from typing import final

@final
class Result:
    """One search hit."""

    @property
    def document(self) -> Document:
        """A new copy of the hit's document on every access."""
    @property
    def score(self) -> float: ...

@final
class Search:
    """An engine over one directory; all its state lives in files there."""

    def __new__(cls, dir: str | PathLike[str], config: str | PathLike[str] | None) -> Search: ...
    def add(self, doc: str) -> str:
        """Stores a document and returns its new 26-character id."""
    def get(self, id: str) -> Document:
        """The live document with this id; KeyError when there is none."""
    def delete(self, id: str) -> bool: ...
    def search(self, query: str, top_k: int) -> list[Result]:
        """The best `top_k` documents for `query`, best first; 0 means no limit."""
    def flush(self) -> None:
        """Saves everything pending."""
    def merge(self) -> None:
        """Flushes, then compacts at most one segment."""

@final
class Document:
    """A copy of one stored document."""

    @property
    def id(self) -> str: ...
    @property
    def content(self) -> str: ...

class BincodeDecodeError(Exception): ...
class BincodeEncodeError(Exception): ...
class CompressException(Exception): ...
class TryFromSliceException(Exception): ...
class UlidDecodeError(Exception): ...
class UlidMonotonicError(Exception): ...
class UnknownLogOperation(Exception): ...
