"""Embedded full-text search: ranked queries over documents stored in one directory."""

from tarnwick.native import (
    BincodeDecodeError,
    BincodeEncodeError,
    CompressException,
    Document,
    Result,
    Search,
    TryFromSliceException,
    UlidDecodeError,
    UlidMonotonicError,
    UnknownLogOperation,
)
from tarnwick.snippets import Fragment, fragments, snippet

__all__ = [
    "BincodeDecodeError",
    "BincodeEncodeError",
    "CompressException",
    "Document",
    "Fragment",
    "Result",
    "Search",
    "TryFromSliceException",
    "UlidDecodeError",
    "UlidMonotonicError",
    "UnknownLogOperation",
    "fragments",
    "snippet",
]
