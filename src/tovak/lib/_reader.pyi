# The native module behind the ``tovak`` package's own functions; call them through ``tovak``.

from collections.abc import Iterable
from typing import Any, Literal, Self, SupportsIndex, final

@final
class Records:
    """A lazy iterator over the records of an input; made by tovak.records()."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> Any: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> bool: ...
    def close(self) -> None:
        """Close the input (a file object given is left open). Idempotent; next() afterwards raises ValueError."""

    @property
    def bytes_read(self) -> int:
        """Bytes of the input consumed so far, as stored (compressed bytes for compressed input)."""

    @property
    def total_bytes(self) -> int | None:
        """The size of the input as stored, or None when it is not known (a pipe, a file object)."""

    @property
    def errors(self) -> list[Exception]:
        """The JSONError (or PointerError) of each record skipped so far with errors='skip': the first 1,000."""

    @property
    def error_count(self) -> int:
        """How many records were skipped so far with errors='skip'."""

def count(source: object, format: str | None = None, at: str | None = None, threads: int | None = None) -> int:
    """The number of records of a JSON or JSONL input, found by a byte scan that never parses."""

def load(source: object, format: str | None = None, at: str | None = None, threads: int | None = None) -> Any:
    """The whole input as Python objects, as the json module reads it; parsed on `threads` threads."""

def records(
    source: object,
    format: str | None = None,
    at: str | None = None,
    errors: Literal["raise", "skip"] | None = "raise",
    raw: bool | Literal["compact"] = False,
    threads: int | None = None,
) -> Records:
    """A lazy iterator over the records of an input, in constant memory; parsed on `threads` threads (raw
    JSON records: cut on one worker thread while this one reads and makes the bytes)."""

def schema(source: object, sample: SupportsIndex = 100, format: str | None = None, at: str | None = None) -> str:
    """The merged structure of the first `sample` records, as indented JSON text."""

def json_schema(source: object, sample: SupportsIndex = 100, format: str | None = None) -> dict[str, Any]:
    """The structure of the first `sample` records as a JSON Schema (draft 2020-12) dict."""

@final
class Structure:
    """The merged structure of a sequence of records, the summary behind tovak.schema and tovak.json_schema.
    Summaries of parts of the records merge in order and pickle, so the parts can be summarised by
    different processes."""

    def __init__(self) -> None: ...
    def add(self, record: object, /) -> None:
        """Takes in one record (dict, list, tuple, str, int, float, bool or None; dicts with str keys), after
        the records taken in so far."""

    def merge(self, other: Structure, /) -> None:
        """Takes in, in place, the records `other` summarises, as if they came after the ones taken in so far.
        Returns None; `other` is unchanged."""

    def schema(self) -> str:
        """The merged structure as indented JSON text: what tovak.schema gives for the same records."""

    def json_schema(self) -> dict[str, Any]:
        """The merged structure as a JSON Schema dict: what tovak.json_schema gives for the same records."""

    def to_bytes(self) -> bytes:
        """The summary as compact bytes, for Structure.from_bytes."""

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview, /) -> Structure:
        """The Structure whose to_bytes() gave `data`; ValueError for other bytes."""

    @classmethod
    def from_records(cls, records: Iterable[object], /) -> Structure:
        """The Structure of an iterable of records, in order."""

    @classmethod
    def of(
        cls, source: object, sample: SupportsIndex | None = None, format: str | None = None, at: str | None = None
    ) -> Structure:
        """The Structure of the first `sample` records of a source (every record when None), read as
        tovak.schema reads them."""

    def __reduce__(self) -> tuple[Any, ...]: ...

def split_blocks(
    source: object, blocksize: SupportsIndex, blocks: SupportsIndex, format: str | None = None, at: str | None = None
) -> tuple[str, list[tuple[int, int | None, int] | None] | None, int | None]:
    """Where the records of an input fall in blocks of `blocksize` bytes: a boundary scan that builds no
    records (see tovak.dask)."""
