"""Fast, memory-conscious reading of big JSON and JSONL, with the values Python's ``json`` gives.

``count``, ``load``, ``records``, ``schema`` and ``json_schema`` read any source: a path (``str`` or
``os.PathLike``; names that are not UTF-8 work), ``"-"`` for standard input, a binary file
object, or a bytes-like object holding the text itself; compressed input (gzip, zstd, bzip2,
xz, told by its magic bytes) is read as it streams. Without ``format`` the name decides
(``.json``/``.geojson`` against ``.jsonl``/``.ndjson``, any compression suffix removed), then
the content: a single value is JSON, values on separate lines are JSONL.

The work is done by the native extensions ``tovak.lib._reader`` (these functions) and
``tovak.lib._tovak``, whose submodule ``bigjson`` is the low-level module with its own rules
(sorted keys, tolerant reading); ``from tovak import bigjson`` and ``import tovak.bigjson`` both work.
"""

from __future__ import annotations

import os
from typing import Any, Protocol, Union

from tovak._errors import CompressionError, JSONError
from tovak.lib import _reader
from tovak.lib._reader import Records
from tovak.lib._tovak import bigjson

__all__ = [
    "CompressionError",
    "JSONError",
    "Records",
    "Source",
    "bigjson",
    "count",
    "json_schema",
    "load",
    "records",
    "schema",
]


class _BinaryReadable(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...


#: What the functions read: a path, ``"-"`` (standard input), a binary file object, or the text.
Source = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, _BinaryReadable]


def count(source: Source, *, format: str | None = None) -> int:
    """The number of records: the elements of a top-level JSON array (any other JSON value
    counts 1), or the non-blank lines of JSONL. Found by a byte scan that builds no objects."""
    return _reader.count(source, format)


def load(source: Source, *, format: str | None = None) -> Any:
    """The whole input as Python objects, as ``json.load`` gives them (keys in file order,
    integers of any size, ``-0`` as ``0``, numbers beyond the double range as infinities).
    JSONL gives a list with one value per non-blank line.

    Raises ``JSONError`` (a ``json.JSONDecodeError``) on invalid input, naming the source and
    the position; ``CompressionError`` on damaged compressed input; ``OSError`` when the source
    cannot be opened or read."""
    return _reader.load(source, format)


def records(source: Source, *, format: str | None = None) -> Records:
    """A lazy iterator over the records, in constant memory: each element of a top-level JSON
    array, the single value of any other JSON text, or each non-blank JSONL line.

    The iterator is a context manager; ``close()`` releases the input (a file object given is
    never closed). ``bytes_read`` and ``total_bytes`` count the input as stored (compressed
    bytes for compressed input), so a progress bar reaches 100%."""
    return _reader.records(source, format)


def schema(source: Source, *, sample: int = 100, format: str | None = None) -> str:
    """The merged structure of the first ``sample`` records, as indented JSON text (the same
    notation as ``bigjson.schema``)."""
    return _reader.schema(source, sample, format)


def json_schema(source: Source, *, sample: int = 100, format: str | None = None) -> dict[str, Any]:
    """The structure of the first ``sample`` records (the inference of ``schema``) as a JSON Schema
    (draft 2020-12): ``type``, ``properties`` in first-appearance order, ``required`` for the keys
    every sampled object held, ``items`` for arrays, ``anyOf`` where kinds differ. Every sampled
    record validates against it."""
    return _reader.json_schema(source, sample, format)
