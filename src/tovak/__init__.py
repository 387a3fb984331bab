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

``Structure`` is the summary behind ``schema`` and ``json_schema``: summaries of parts of the records merge
in order and pickle. ``tovak.dask`` (``pip install 'tovak[dask]'``) reads records on a Dask cluster.
"""

from __future__ import annotations

import os
from typing import Any, Literal, Protocol, Union

from tovak._errors import CompressionError, JSONError, PointerError
from tovak.lib import _reader
from tovak.lib._reader import Records, Structure
from tovak.lib._tovak import bigjson

__all__ = [
    "CompressionError",
    "JSONError",
    "PointerError",
    "Records",
    "Source",
    "Structure",
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


def count(source: Source, *, format: str | None = None, at: str | None = None, threads: int | None = None) -> int:
    """The number of records: the elements of a top-level JSON array (any other JSON value
    counts 1), or the non-blank lines of JSONL. Found by a byte scan that builds no objects.

    Without ``at`` the scan finds boundaries only and does not check the text between them; with
    ``at`` (a JSON pointer, see ``records``) the whole input is validated as it is counted and the
    records counted are those ``records(source, at=at)`` gives.

    ``threads``: the input is counted over ranges on that many threads. Each thread reads its own
    ranges of a file or of bytes (JSONL and a top-level array alike); compressed input, pipes and
    file objects are read on the calling thread, and their JSONL lines counted on the others (an
    array's scan there, and a count with ``at``, use one thread). ``None`` means every core
    available to the process for a file or bytes of 32 MiB or more (at most one thread per
    16 MiB), else one thread. The threads build no Python objects, so they count side by side
    whether or not the interpreter runs with the GIL."""
    return _reader.count(source, format, at, threads)


def load(source: Source, *, format: str | None = None, at: str | None = None, threads: int | None = None) -> Any:
    """The whole input as Python objects, as ``json.load`` gives them (keys in file order,
    integers of any size, ``-0`` as ``0``, numbers beyond the double range as infinities).
    JSONL gives a list with one value per non-blank line.

    ``at`` (a JSON pointer, see ``records``) gives the value at the pointer instead (JSONL: the list
    of the values at the pointer of every line); the rest of the input is validated, not built.
    Raises ``PointerError`` (a ``LookupError``) when the pointer matches nothing.

    ``threads``: how many threads parse (a positive int), or ``None``: every core available to the
    process (``os.process_cpu_count()``) on the free-threaded interpreter for a file or bytes of 4 MiB
    or more (one thread per 2 MiB at most), else one (a pipe, a file object: records go to the threads
    in batches of 512 KiB, which a slow writer would hold back). The lines of JSONL and the elements
    of a top-level array (with ``at``: the elements or members of the value there) are cut on the
    calling thread and parsed on the others; the result, and the first error, are the same as with
    one thread. Any other value is read by one thread. Where the interpreter runs with the GIL one
    thread reads, whatever ``threads`` says: threads would take turns building objects there,
    slower than one. On the free-threaded interpreter the cyclic collector's automatic passes wait
    while the result is built (it cannot hold a cycle before it is returned); the collector's switch
    is left as it was found.

    Raises ``JSONError`` (a ``json.JSONDecodeError``) on invalid input, naming the source and
    the position; ``CompressionError`` on damaged compressed input; ``OSError`` when the source
    cannot be opened or read."""
    return _reader.load(source, format, at, threads)


def records(
    source: Source,
    *,
    format: str | None = None,
    at: str | None = None,
    errors: Literal["raise", "skip"] = "raise",
    raw: bool | Literal["compact"] = False,
    threads: int | None = None,
) -> Records:
    """A lazy iterator over the records, in constant memory: each element of a top-level JSON
    array, the single value of any other JSON text, or each non-blank JSONL line.

    Reading is strict: the whole input must be one JSON text (RFC 8259) or JSONL, valid UTF-8. An
    array that never closes, an unfinished or empty element (``[1,,2]``), a stray bracket and
    bytes after the end raise ``JSONError`` at the record where they are found, after the records
    before it; its ``pos``, ``lineno`` and ``colno`` are positions in the whole (decompressed)
    input. An input with no value at all (empty or only white space) has no records.

    ``at``: an RFC 6901 JSON pointer (``"/features"``, ``"/data/items"``, ``"/0/rows"``; ``~1``
    stands for ``/`` and ``~0`` for ``~``; ``""`` is the whole document). The value there is
    streamed: an array gives its elements, an object ``(key, value)`` tuples in file order, any
    other value is the single record. The bytes around it are validated without building objects.
    JSONL: the pointer applies to every line. A pointer that matches nothing raises
    ``PointerError``. On the path, a key that appears twice in one object is matched by its first
    occurrence (``json.load`` keeps the last).

    ``errors="skip"``: a record that fails while its boundaries are known (a JSONL line, also one
    without the pointer; an array element whose brackets balance, without ``at``) is skipped and
    its error kept on ``Records.errors`` (the first 1,000) and counted in ``Records.error_count``.
    Damage that loses the boundaries (and, with ``at`` on JSON, any error) still raises.

    ``raw=True`` yields each record's text exactly as written, as ``bytes``, found and validated
    without building objects; ``raw="compact"`` removes the white space outside strings. A
    member of a target object comes as ``(key, bytes)``.

    The iterator is a context manager; ``close()`` releases the input (a file object given is
    never closed). ``bytes_read`` and ``total_bytes`` count the input as stored (compressed
    bytes for compressed input), so a progress bar reaches 100%.

    ``threads``: as for ``load``, and also for the records at ``at`` (the validator finds them on
    the calling thread, the threads parse them). The records still come in file order, with the
    same errors; each thread parses ahead of the consumer by at most three batches of 512 KiB, and
    closing the iterator (or dropping it) stops the threads. With ``raw`` and JSON (not JSONL) one
    worker thread validates the input and cuts the records (on any interpreter, GIL or not: it
    builds no objects) while the calling thread reads the input, compacts the records and makes the
    ``bytes``, at most four chunks of 1 MiB ahead: for a file or bytes (compressed or not) when ``threads`` is 2 or more, or when
    it is ``None`` and the input is 4 MiB or more as stored and the process has two cores; a pipe, a
    file object and ``threads=1`` read on one thread. Records at ``at`` that the calling thread
    parses alone (always so where the interpreter has the GIL) are cut by that worker the same way."""
    return _reader.records(source, format, at, errors, raw, threads)


def schema(source: Source, *, sample: int = 100, format: str | None = None, at: str | None = None) -> str:
    """The merged structure of the first ``sample`` records, as indented JSON text (the same
    notation as ``bigjson.schema``). ``at``: the records at a JSON pointer, as ``records`` has it
    (the values of an object's members)."""
    return _reader.schema(source, sample, format, at)


def json_schema(source: Source, *, sample: int = 100, format: str | None = None) -> dict[str, Any]:
    """The structure of the first ``sample`` records (the inference of ``schema``) as a JSON Schema
    (draft 2020-12): ``type``, ``properties`` in first-appearance order, ``required`` for the keys
    every sampled object held, ``items`` for arrays, ``anyOf`` where kinds differ. Every sampled
    record validates against it."""
    return _reader.json_schema(source, sample, format)
