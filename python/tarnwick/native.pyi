from collections.abc import Iterable
from os import PathLike
from types import TracebackType
from typing import Literal, TypedDict, final

class _Stats(TypedDict):
    documents: int
    pending_deletions: int
    tokens: int
    segments: int
    avg_doc_len: float
    read_only: bool
    writer_pid: int | None

@final
class Result:
    """One search hit: a document and its score."""

    @property
    def document(self) -> Document:
        """A new copy of the hit's document on every access."""
    @property
    def score(self) -> float:
        """Positive; higher is better."""
    @property
    def matches(self) -> list[tuple[int, int]]:
        """(start, end) in characters of the text for each query term that counts, in query
        order: the words of the place in the text that gave the score. Reads the text."""

@final
class Search:
    """An engine over one directory; all its state lives in files there."""

    def __new__(cls, dir: str | PathLike[str], config: str | PathLike[str] | None) -> Search: ...
    def add(self, doc: str) -> str:
        """Stores a document and returns its new 26-character id."""
    def add_many(self, texts: Iterable[str]) -> list[str]:
        """Adds every text as add would, in order, and returns their ids in that order; faster
        than a loop of add, leaving the same state. Every item is checked before any is added."""
    def get(self, id: str) -> Document:
        """The live document with this id; KeyError when there is none."""
    def delete(self, id: str) -> bool:
        """Deletes a live document; an id that is not live changes nothing. Returns True."""
    def search(self, query: str, top_k: int) -> list[Result]:
        """The best `top_k` documents for `query`, best first; 0 means no limit."""
    def search_page(self, query: str, offset: int, limit: int) -> list[Result]:
        """The hits that `search` ranks from `offset` on, at most `limit` (0: no limit); equal
        scores rank by id, so consecutive pages neither overlap nor skip a hit."""
    def count(self, query: str) -> int:
        """The number of documents matching `query`: len(search(query, 0)), found faster."""
    def flush(self) -> None:
        """Saves everything pending."""
    def merge(self) -> None:
        """Flushes, then compacts at most one segment."""
    def stats(self) -> _Stats:
        """Live documents, deletions not yet purged, distinct tokens, segments, mean length;
        whether read-only, and the process that held the writer lock when it opened."""
    def close(self) -> None:
        """Flushes, then releases the engine and its writer lock; later calls raise ValueError.
        A failed flush raises and leaves the engine open."""
    @property
    def read_only(self) -> bool:
        """True when another Search was the directory's writer as this one opened: add, delete,
        flush and merge then raise BlockingIOError."""
    def __enter__(self) -> Search:
        """Returns the engine itself."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> Literal[False]:
        """Closes; an exception raised in the block still propagates."""

@final
class Document:
    """A copy of one stored document."""

    @property
    def id(self) -> str:
        """26 characters of Crockford base32."""
    @property
    def content(self) -> str:
        """The text, read from the engine directory on first access (or, not saved yet, held
        by the engine) and cached."""

class BincodeDecodeError(Exception): ...
class BincodeEncodeError(Exception): ...
class CompressException(Exception): ...
class TryFromSliceException(Exception): ...
class UlidDecodeError(Exception): ...
class UlidMonotonicError(Exception): ...
class UnknownLogOperation(Exception): ...
