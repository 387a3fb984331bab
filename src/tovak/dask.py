"""Records of big JSON and JSONL files read on a Dask cluster: ``pip install 'tovak[dask]'``.

``read_records`` gives a ``dask.bag.Bag`` of the records ``tovak.records`` gives, in file order, read by
many workers at once; ``count`` and ``schema`` give what ``tovak.count`` and ``tovak.schema`` give over all
the files, worked out the same way. With a ``dask.distributed.Client`` connected (to a ``LocalCluster`` or
to a scheduler's address) the work runs on its workers; otherwise on Dask's default local scheduler.

How a file is cut: a file no bigger than ``blocksize`` is one partition. A bigger one is cut into byte
ranges of ``blocksize`` bytes, and each record belongs to the range that holds its first byte:

* JSONL: a task reading a range starts at the first line that begins in it and reads through the line
  that holds its last byte. No scan is needed beforehand.
* A JSON array (also the array at ``at=``): one task per file first finds where the elements start, a
  boundary scan that builds no Python objects (at the speed of ``tovak.count`` without ``at``; with
  ``at`` it is the validator, which also checks the whole document); then each range's task opens the
  file and parses the elements that start in its range.
* Compressed files (gzip, zstd, bzip2, xz) are one partition each: a compressed stream can only be
  decoded from its start, so a task cannot begin in the middle of one. Cut such archives into many
  files to spread them.
* Any other JSON text (a single value), and an object at ``at=``, is one partition.

Only paths and a few offsets travel through the scheduler; each task reads its own bytes of the file, so
every worker must see the files at the same paths (a shared or network file system). A task holds its
range's records in memory as a list (a ``blocksize`` of JSON becomes several times that in Python objects):
choose a smaller ``blocksize`` where workers' memory is tight.

Errors: ``errors="raise"`` raises the first bad record's ``tovak.JSONError`` at the client, with ``pos``,
``lineno``, ``colno`` and ``record`` counted in the whole file, as ``tovak.records`` would report them (the
line and record numbers of an error found past a file's first range are worked out when it is raised, by
reading the file up to it). ``errors="skip"`` leaves out the records ``tovak.records`` would skip.
"""

from __future__ import annotations

import glob
import math
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Literal, Union

import tovak
from tovak._errors import JSONError, PointerError
from tovak.lib import _reader

if TYPE_CHECKING:
    import dask.bag

__all__ = ["count", "read_records", "schema"]

#: A path, a glob pattern, or a list of them.
Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]

_INSTALL_HINT = "tovak.dask needs dask and distributed: pip install 'tovak[dask]'"

# The magic bytes of the compressed formats tovak reads (it tells them the same way).
_COMPRESSED_MAGIC = (b"\x1f\x8b", b"\x28\xb5\x2f\xfd", b"BZh", b"\xfd7zXZ\x00")

_READ_PIECE = 1 << 20  # bytes read at a time past a range's end, looking for the end of its last line


def _dask() -> Any:
    try:
        import dask
        import dask.bag
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    return dask


def _blocksize(blocksize: int | str | None) -> int | None:
    if blocksize is None:
        return None
    if isinstance(blocksize, str):
        from dask.utils import parse_bytes

        blocksize = parse_bytes(blocksize)
    if not isinstance(blocksize, int) or blocksize <= 0:
        raise ValueError(f"blocksize must be a positive number of bytes or None, not {blocksize!r}")
    return blocksize


def _expand(paths: Paths) -> list[str]:
    """The files named, globs expanded in sorted order, in the order given."""
    given = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    files: list[str] = []
    for path in given:
        name = os.fspath(path)
        if not isinstance(name, str):
            raise TypeError(f"paths must be str or os.PathLike[str], not {type(path).__name__!r}")
        if glob.has_magic(name):
            matched = sorted(glob.glob(name))
            if not matched:
                raise FileNotFoundError(f"no file matches {name!r}")
            files.extend(matched)
        else:
            files.append(name)
    return files


def _compressed(path: str) -> bool:
    with open(path, "rb") as file:
        head = file.read(6)
    return head.startswith(_COMPRESSED_MAGIC)


# ---------------------------------------------------------------------------------------------------
# What a task does with one file or one range of it


class _Block:
    """One range's text in memory, as tovak reads it, and where it lies in the file: the text's byte i
    is the file's byte ``i + shift``; a prefix of ``prefix`` bytes (an added ``[``) is not in the file."""

    def __init__(self, path: str, text: memoryview | None, shift: int, prefix: int, records_before: int | None,
                 format: str) -> None:
        self.path = path
        self.text = text
        self.shift = shift
        self.prefix = prefix
        self.records_before = records_before  # None: count them when an error needs them
        self.format = format

    @property
    def origin(self) -> int:
        """The file offset of the first byte of the text that comes from the file."""
        return self.shift + self.prefix

    def relocated(self, error: BaseException) -> BaseException:
        """`error` (raised reading the text) with its place in the whole file."""
        if isinstance(error, JSONError):
            line, column = self._line_column(error.lineno, error.colno)
            return JSONError(error.msg, self.path, None if error.pos is None else error.pos + self.shift, line,
                             column, self._record(error.record))
        if isinstance(error, PointerError):
            line, _ = self._line_column(error.lineno, None)
            return PointerError(error.msg, self.path, line, self._record(error.record))
        return error

    def _line_column(self, line: int | None, column: int | None) -> tuple[int | None, int | None]:
        if line is None or self.origin == 0:
            return line, column
        feeds, line_start = _lines_before(self.path, self.origin)
        if line == 1 and column is not None:
            column += self.origin - line_start - self.prefix
        return line + feeds, column

    def _record(self, record: int | None) -> int | None:
        if record is None:
            return None
        if self.records_before is None:
            if self.origin == 0:
                self.records_before = 0
            else:
                try:
                    with _Head(self.path, self.origin) as head:
                        self.records_before = _reader.count(head, self.format, None)
                except (ValueError, OSError):
                    return None
        return record + self.records_before


class _Head:
    """The first `size` bytes of a file, as a binary file object for tovak to read."""

    def __init__(self, path: str, size: int) -> None:
        self.name = path
        self._file = open(path, "rb")
        self._left = size

    def read(self, size: int = -1, /) -> bytes:
        size = self._left if size < 0 else min(size, self._left)
        data = self._file.read(size)
        self._left -= len(data)
        return data

    def __enter__(self) -> _Head:
        return self

    def __exit__(self, *exc: object) -> None:
        self._file.close()


def _lines_before(path: str, offset: int) -> tuple[int, int]:
    """The line feeds in the file before `offset`, and the offset of the line that holds `offset`."""
    feeds = 0
    line_start = 0
    with open(path, "rb") as file:
        done = 0
        while done < offset:
            piece = file.read(min(16 << 20, offset - done))
            if not piece:
                break
            found = piece.count(b"\n")
            if found:
                feeds += found
                line_start = done + piece.rindex(b"\n") + 1
            done += len(piece)
    return feeds, line_start


def _read_into(file: Any, data: bytearray, start: int, stop: int) -> int:
    """Fill data[start:stop] from the file; the number of bytes read (fewer at its end).

    Every view of `data` is released before returning, so that the caller can resize it: a sampling profiler
    (distributed's, on every worker) may keep this frame, and the views in it, alive after the call.
    """
    filled = start
    with memoryview(data) as whole:
        while filled < stop:
            with whole[filled:stop] as part:
                got = file.readinto(part)
            if not got:
                break
            filled += got
    return filled - start


def _lines_block(path: str, start: int, stop: int) -> _Block:
    """The lines that begin in bytes [start, stop) of a JSONL file, through the end of the last one."""
    first = max(start - 1, 0)
    with open(path, "rb", buffering=0) as file:
        file.seek(first)
        data = bytearray(stop - first)
        del data[_read_into(file, data, 0, len(data)) :]
        begin = 0
        if start > 0:
            # A line begins at p when byte p - 1 is a line feed: p in [start, stop) looks at [start - 1, stop - 1).
            feed = data.find(b"\n", 0, max(len(data) - 1, 0))
            if feed < 0:
                return _Block(path, None, 0, 0, None, "jsonl")
            begin = feed + 1
        # Through the line that holds byte stop - 1.
        if len(data) == stop - first and data and data[-1:] != b"\n":
            while True:
                piece = file.read(_READ_PIECE)
                if not piece:
                    break
                feed = piece.find(b"\n")
                if feed >= 0:
                    data += piece[: feed + 1]
                    break
                data += piece
    return _Block(path, memoryview(data)[begin:], first + begin, 0, None if first + begin else 0, "jsonl")


def _elements_block(path: str, entry: tuple[int, int | None, int], bracketed: bool) -> _Block:
    """The elements of one range of a JSON array, as the text of an array of them."""
    start, end, first = entry
    prefix = 1 if bracketed or start != 0 else 0
    with open(path, "rb", buffering=0) as file:
        size = (end if end is not None else os.fstat(file.fileno()).st_size) - start
        data = bytearray(prefix + max(size, 0) + (1 if end is not None else 0))
        file.seek(start)
        got = _read_into(file, data, prefix, prefix + size)
        if got < size:  # the file shrank: read what is there
            del data[prefix + got : prefix + size]
    if prefix:
        data[0:1] = b"["
    if end is not None:
        data[-1:] = b"]"
    return _Block(path, memoryview(data), start - prefix, prefix, first, "json")


def _file_block(path: str) -> _Block:
    return _Block(path, None, 0, 0, 0, "")


def _plan(path: str, blocksize: int, blocks: int, format: str | None, at: str | None) -> tuple[Any, ...]:
    return _reader.split_blocks(path, blocksize, blocks, format, at)


def _range_block(path: str, plan: tuple[Any, ...], index: int, blocksize: int) -> _Block | None:
    """Block `index` of a file cut as `plan` says; None when no record starts in it."""
    kind, table, _ = plan
    if kind == "lines":
        return _lines_block(path, index * blocksize, (index + 1) * blocksize)
    if kind == "whole":
        return _file_block(path) if index == 0 else None
    entry = table[index]
    if entry is None:
        return None
    return _elements_block(path, entry, kind == "pointed")


def _records_of(block: _Block, format: str | None, at: str | None, errors: str) -> list[Any]:
    if block.text is None and block.format == "":
        source: Any = block.path
    elif block.text is None:
        return []
    else:
        source, format = block.text, block.format
        at = at if block.format == "jsonl" else None
    if at is None:
        # tovak.load builds the whole list with its objects kept away from the cyclic garbage collector
        # until it is done, several times faster than collecting records one by one. It gives the same
        # values: the lines, the elements of an array, or a single value (one record). On any failure the
        # input is read again record by record, for the error tovak.records reports, or for skipping.
        try:
            loaded = tovak.load(source, format=format)  # type: ignore[arg-type]
        except (ValueError, LookupError, OSError):
            pass
        else:
            return loaded if isinstance(loaded, list) else [loaded]
    try:
        with tovak.records(source, format=format, at=at, errors=errors) as records:  # type: ignore[arg-type]
            got = list(records)
    except (JSONError, PointerError) as error:
        raise block.relocated(error) from None
    return got


def _read(path: str, plan: tuple[Any, ...] | None, index: int, blocksize: int, format: str | None,
          at: str | None, errors: str) -> list[Any]:
    block = _file_block(path) if plan is None else _range_block(path, plan, index, blocksize)
    return [] if block is None else _records_of(block, format, at, errors)


def _count(path: str, plan: tuple[Any, ...] | None, index: int, blocksize: int, format: str | None,
           at: str | None) -> int:
    if plan is None:
        return tovak.count(path, format=format, at=at)
    kind, table, total = plan
    if kind == "pointed":
        return int(total) if index == 0 else 0
    if kind == "elements":
        entry = table[index]
        if entry is None:
            return 0
        if entry[1] is not None:  # not the array's last range: its elements end where the next range's begin
            following = next(later for later in table[index + 1 :] if later is not None)
            return int(following[2] - entry[2])
    block = _range_block(path, plan, index, blocksize)
    if block is None:
        return 0
    if block.text is None:
        return tovak.count(path, format=format, at=at) if block.format == "" else 0
    try:
        return _reader.count(block.text, block.format, at if block.format == "jsonl" else None)
    except (JSONError, PointerError) as error:
        raise block.relocated(error) from None


def _structure(path: str, plan: tuple[Any, ...] | None, index: int, blocksize: int, format: str | None,
               at: str | None, sample: int | None) -> tovak.Structure:
    block = _file_block(path) if plan is None else _range_block(path, plan, index, blocksize)
    if block is None:
        return tovak.Structure()
    if block.text is None and block.format == "":
        return tovak.Structure.of(path, sample=sample, format=format, at=at)
    if block.text is None:
        return tovak.Structure()
    try:
        return tovak.Structure.of(block.text, format=block.format, at=at if block.format == "jsonl" else None)
    except (JSONError, PointerError) as error:
        raise block.relocated(error) from None


# ---------------------------------------------------------------------------------------------------
# The task graph


def _tasks(paths: Paths, blocksize: int | str | None, format: str | None, at: str | None, task: Any,
           *args: Any) -> list[Any]:
    """One delayed `task(path, plan, index, blocksize, format, at, *args)` per partition, in file order.
    Files cut into ranges share one delayed plan (the boundary scan), computed once by a worker."""
    engine = _dask()
    size_limit = _blocksize(blocksize)
    parts = []
    for path in _expand(paths):
        size = os.path.getsize(path)
        if size_limit is None or size <= size_limit or _compressed(path):
            parts.append(engine.delayed(task)(path, None, 0, 0, format, at, *args))
            continue
        blocks = math.ceil(size / size_limit)
        plan = engine.delayed(_plan)(path, size_limit, blocks, format, at)
        parts.extend(engine.delayed(task)(path, plan, index, size_limit, format, at, *args) for index in range(blocks))
    return parts


def read_records(
    paths: Paths,
    *,
    at: str | None = None,
    format: str | None = None,
    blocksize: int | str | None = "128 MiB",
    errors: Literal["raise", "skip"] = "raise",
) -> dask.bag.Bag:
    """A Dask bag of the records of `paths` (a path, a glob or a list of them; globs expand in sorted
    order): what ``tovak.records`` gives for each file, the files one after the other, in order across
    the partitions.

    Files bigger than `blocksize` (bytes, or a text such as ``"64 MiB"``; None: one partition per file)
    are cut into ranges read by separate tasks: JSONL at line boundaries, JSON arrays (also the array at
    `at`) at element boundaries found by one boundary scan per file. Compressed files are one partition
    each, since a compressed stream cannot be entered in the middle. See the module's documentation.

    `at`, `format` and `errors` are those of ``tovak.records``; errors raised by a task reach the client
    as tovak's own exceptions, placed in the whole file."""
    engine = _dask()
    if errors not in ("raise", "skip"):
        raise ValueError("errors must be 'raise' or 'skip'")
    parts = _tasks(paths, blocksize, format, at, _read, errors)
    bag: dask.bag.Bag = engine.bag.from_delayed(parts)
    return bag


def count(
    paths: Paths, *, at: str | None = None, format: str | None = None, blocksize: int | str | None = "128 MiB"
) -> int:
    """The number of records in all of `paths`: the sum of what ``tovak.count`` gives for each file,
    worked out range by range by the cluster's workers (a JSON array's ranges from its boundary scan)."""
    engine = _dask()
    counts = engine.compute(*_tasks(paths, blocksize, format, at, _count))
    return int(sum(counts))


def schema(
    paths: Paths,
    *,
    sample: int | None = None,
    at: str | None = None,
    format: str | None = None,
    blocksize: int | str | None = "128 MiB",
) -> str:
    """The merged structure of the records of `paths`, as ``tovak.schema`` prints it: of every record
    (`sample` None), or of the first `sample` records of each file. It equals ``tovak.schema`` over the
    same records read in order on one machine: each task summarises its range (``tovak.Structure``), and
    the summaries are merged in order at the client."""
    engine = _dask()
    if sample is not None:
        parts = _tasks(paths, None, format, at, _structure, sample)
    else:
        parts = _tasks(paths, blocksize, format, at, _structure, None)
    merged = tovak.Structure()
    for part in engine.compute(*parts):
        merged.merge(part)
    return merged.schema()

