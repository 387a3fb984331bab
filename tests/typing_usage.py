"""Checked by ``mypy --strict`` (tests/test_typing.py); never run by pytest."""

import pathlib
from typing import Any, BinaryIO, SupportsIndex

import tovak
import tovak.bigjson
import tovak.lib._tovak
from tovak import bigjson
from tovak.bigjson import RecordIterator


def summarise(path: str, fmt: str | None = None) -> tuple[int, str, Any]:
    n: int = bigjson.count(path)
    n += bigjson.count(path, fmt) + bigjson.count(path=path, format="jsonl")
    text: str = bigjson.schema(path) + bigjson.schema(path, 5, "json") + bigjson.schema(path, sample=True)
    limit: SupportsIndex = 3
    text += tovak.bigjson.schema(path, sample=limit, format=None)
    return n, text, bigjson.load(path, format=fmt)


def progress(path: str) -> float:
    records: RecordIterator = bigjson.iter_records(path, format="auto")
    assert iter(records) is records
    for record in records:
        print(record["any key"])  # records are Any
    first: Any = next(tovak.lib._tovak.bigjson.iter_records(path), None)
    print(first)
    done: int = records.bytes_read
    total: int = records.total_bytes
    return done / total if total else 1.0


def untyped_results(path: str) -> list[Any]:
    return [bigjson.load(path), *bigjson.iter_records(path)]


def package_api(path: str, where: pathlib.Path, handle: BinaryIO) -> int | None:
    n: int = tovak.count(path) + tovak.count(where, format="jsonl") + tovak.count(b"[1]")
    value: Any = tovak.load(handle)
    print(value, tovak.load(bytearray(b"1")), tovak.schema("-", sample=5, format=None))
    with tovak.records(where) as records:
        for record in records:
            print(record)
        n += records.bytes_read
        total: int | None = records.total_bytes
    try:
        tovak.load(memoryview(b"[1,"))
    except tovak.JSONError as error:
        position: int | None = error.pos
        source: str | None = error.source
        print(position, source, error.record, error.lineno)
    except tovak.CompressionError as damaged:
        print(damaged.msg)
    return total
