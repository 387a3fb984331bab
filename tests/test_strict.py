"""Strict reading in the package's functions, skipping bad records, and error positions in the whole input."""

from __future__ import annotations

import gzip
import json

import pytest

import tovak
from tovak import bigjson

# (text, the records before the error, the byte of the error, whether errors="skip" goes on past it)
BROKEN_ARRAYS = [
    (b"[1,2,3", [1, 2], 6, False),
    (b"[1, 2, [3,", [1, 2], 10, False),
    (b"[1,,2]", [1], 3, True),
    (b"[1,2,]", [1, 2], 5, True),
    (b"[1,2,3]garbage", [1, 2, 3], 7, False),
    (b"[1,2,3]\n[4]", [1, 2, 3], 8, False),
    (b"[1, {, 2]", [1], 5, False),
    (b'[1, {"a": 1]', [1], 11, False),
    (b"[1, \xff, 2]", [1], 4, True),
    (b'[1, "\xc3", 2]', [1], 5, True),
    (b"[1, }, 2]", [1], 4, False),
    (b"[1, 2 3, 4]", [1], 6, True),
]


@pytest.mark.parametrize("text, before, pos, goes_on", BROKEN_ARRAYS)
def test_broken_arrays_raise_where_found(text, before, pos, goes_on):
    got = []
    with pytest.raises(tovak.JSONError) as raised:
        for value in tovak.records(text, format="json"):
            got.append(value)
    assert got == before
    error = raised.value
    assert error.pos == pos
    assert (error.lineno, error.colno) == (text.count(b"\n", 0, pos) + 1, pos - (text.rfind(b"\n", 0, pos) + 1) + 1)


@pytest.mark.parametrize("text, before, pos, goes_on", BROKEN_ARRAYS)
def test_skip_goes_on_only_where_boundaries_are_known(text, before, pos, goes_on):
    reader = tovak.records(text, format="json", errors="skip")
    if not goes_on:
        with pytest.raises(tovak.JSONError):
            list(reader)
        return
    values = list(reader)
    assert values[: len(before)] == before
    assert reader.error_count == len(reader.errors) >= 1
    assert reader.errors[0].pos == pos


@pytest.mark.parametrize("text", [b"[1,2,3", b"[1,,2]", b"[1,2,3]garbage", b"[1, {, 2]", b"[1,2,3]\n[4]"])
def test_bigjson_stays_tolerant(tmp_path, text):
    path = tmp_path / "t.json"
    path.write_bytes(text)
    list(bigjson.iter_records(str(path)))  # no error


@pytest.mark.parametrize("text", [b"", b"  \n", b"[]", b"[ \n ]"])
def test_no_value_no_records(text):
    assert list(tovak.records(text, format="json")) == []


def test_jsonl_skip_keeps_the_first_thousand_errors_and_counts_all():
    lines = [b'{"n": %d}' % n if n % 3 else b"{bad" for n in range(3_000)]
    reader = tovak.records(b"\n".join(lines) + b"\n", format="jsonl", errors="skip")
    assert [v["n"] for v in reader] == [n for n in range(3_000) if n % 3]
    assert reader.error_count == 1_000
    assert len(reader.errors) == 1_000
    first = reader.errors[0]
    assert (first.lineno, first.colno, first.pos, first.record) == (1, 2, 1, 1)


def _position(text: bytes, pos: int) -> tuple[int, int]:
    start = text.rfind(b"\n", 0, pos) + 1
    return text.count(b"\n", 0, pos) + 1, pos - start + 1


@pytest.mark.parametrize("size", [10, 3_000, 40_000])  # small, then elements spread over many chunks
@pytest.mark.parametrize("compress", [False, True])
def test_positions_inside_deep_pretty_printed_elements(tmp_path, size, compress):
    good = {"id": 1, "deep": [[{"k": list(range(size))}]], "s": "é" * 3}
    element = json.dumps(good, indent=2).encode()
    bad = element.replace(b'"s"', b'"s" 1', 1)
    text = b"[\n" + b",\n".join([element, element, bad, element]) + b"\n]\n"
    pos = text.index(b'"s" 1') + 4
    path = tmp_path / ("t.json.gz" if compress else "t.json")
    path.write_bytes(gzip.compress(text) if compress else text)
    with pytest.raises(tovak.JSONError) as raised:
        list(tovak.records(path))
    error = raised.value
    assert (error.pos, (error.lineno, error.colno), error.record) == (pos, _position(text, pos), 3)
    assert str(error) == f"{path}: line {error.lineno} column {error.colno} (byte {pos}), record 3: {error.msg}"


@pytest.mark.parametrize("at", [None, "/rows"])
def test_positions_through_the_validator_and_the_cutter_agree(at):
    element = json.dumps({"a": [1, 2, {"b": "x" * 50_000}]}, indent=1)
    text = ('{"rows": [\n' if at else "[\n") + ",\n".join([element] * 3) + ',\n {"a": tru}\n]' + ("}" if at else "")
    data = text.encode()
    pos = data.index(b"tru}") + 3
    with pytest.raises(tovak.JSONError) as raised:
        list(tovak.records(data, format="json", at=at))
    assert (raised.value.pos, (raised.value.lineno, raised.value.colno)) == (pos, _position(data, pos))


@pytest.mark.parametrize("feeds", [1, 63, 64, 255 * 64, 255 * 64 + 1, 40_000])  # one count's tally bounds
@pytest.mark.parametrize("at", [None, "/rows"])
@pytest.mark.parametrize("threads", [1, 2])
def test_positions_after_runs_of_line_feeds(feeds, at, threads):
    # Elements made mostly of line feeds, then sparse ones, before the bad element: every line feed counts.
    dense = '{"a":' + "\n" * feeds + "1}"
    sparse = '{"b": "' + "y" * 300 + '"}'
    rows = "[" + ",\n".join([dense, sparse] * 40 + [dense + "\r\n", '{"a": tru}']) + "]"
    data = ('{"rows": ' + rows + "}" if at else rows).encode()
    pos = data.index(b"tru}") + 3
    with pytest.raises(tovak.JSONError) as raised:
        list(tovak.records(data, format="json", at=at, threads=threads))
    assert (raised.value.pos, (raised.value.lineno, raised.value.colno)) == (pos, _position(data, pos))


def test_positions_count_a_byte_order_mark():
    data = b"\xef\xbb\xbf[1,\n 2,\n x]"
    with pytest.raises(tovak.JSONError) as raised:
        list(tovak.records(data))
    assert (raised.value.pos, raised.value.lineno, raised.value.colno) == (len(data) - 2, 3, 2)


def test_a_stray_bracket_fails_without_gathering_the_rest(tmp_path):
    path = tmp_path / "stray.json"
    path.write_bytes(b"[1, {, " + b"2, " * 20_000_000 + b"3]")  # 60 MB after the stray bracket
    reader = tovak.records(path)
    assert next(reader) == 1
    with pytest.raises(tovak.JSONError) as raised:
        next(reader)
    assert (raised.value.pos, raised.value.record) == (5, 2)
    assert reader.bytes_read < reader.total_bytes // 2
