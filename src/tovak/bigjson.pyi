# Types of the ``bigjson`` submodule of the native extension ``tovak.lib._tovak``.
# At run time the submodule object is entered in ``sys.modules`` as "tovak.bigjson"
# and re-exported by ``tovak``; this stub describes it under that name.

from typing import Any, Self, SupportsIndex, final

__all__ = ["RecordIterator", "count", "iter_records", "load", "schema"]

@final
class RecordIterator:
    """Python iterator wrapper returned by [`iter_records`]."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> Any: ...
    @property
    def bytes_read(self) -> int:
        """Bytes consumed from the file so far (for progress reporting)."""

    @property
    def total_bytes(self) -> int:
        """Total size of the file in bytes (0 if it could not be determined)."""

def count(path: str, format: str | None = None) -> int:
    """Count the number of top-level records in a JSON or JSONL file."""

def schema(path: str, sample: SupportsIndex = 100, format: str | None = None) -> str:
    """Infer the structure of the records in a JSON / JSONL file."""

def load(path: str, format: str | None = None) -> Any:
    """Load a JSON / JSONL file fully into memory and return it as a Python object."""

def iter_records(path: str, format: str | None = None) -> RecordIterator:
    """Return a lazy iterator over the records of a JSON / JSONL file."""
