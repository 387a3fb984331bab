"""The package's own functions: ``tovak.count``, ``load``, ``records`` and ``schema``.

Method: every answer is compared with the standard library's on the same text (``json.loads``
of the whole text or of each line), for every kind of source (path, path-like object, binary
file object, bytes, standard input) and every compression; ``schema`` and ``count`` are compared
with ``bigjson`` on the plain file. Bad input is checked for the exception type, the source named
in the text, the records yielded before the damage and no descriptor left open.
"""

from __future__ import annotations

import bz2
import gzip
import io
import json
import lzma
import math
import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovak
from tovak import bigjson

from conftest import json_values, open_fds


# --- compressions ---------------------------------------------------------------------------------


def _zstd_compress(data: bytes) -> bytes:
    try:
        from compression import zstd  # type: ignore[import-not-found]
    except ImportError:
        try:
            from backports import zstd  # type: ignore[import-not-found,no-redef]
        except ImportError:
            zstd = None
    if zstd is not None:
        return zstd.compress(data)
    if shutil.which("zstd") is None:
        pytest.skip("no zstd compressor here")
    return subprocess.run(["zstd", "-q", "-c"], input=data, stdout=subprocess.PIPE, check=True).stdout


COMPRESSIONS = {
    "": lambda data: data,
    ".gz": gzip.compress,
    ".bz2": bz2.compress,
    ".xz": lzma.compress,
    ".zst": _zstd_compress,
}


def strict_equal(a, b) -> bool:
    """Equal and of the same types all the way down (1 is not 1.0 or True)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(strict_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(strict_equal(a[k], b[k]) for k in a)
    return a == b


# --- sources --------------------------------------------------------------------------------------


class Sources:
    """Hands one text to the functions as each kind of source."""

    def __init__(self, directory: pathlib.Path):
        self.directory = directory
        self.made = 0
        self.files: list[io.BufferedReader] = []

    def path(self, data: bytes, suffix: str) -> pathlib.Path:
        self.made += 1
        path = self.directory / f"in{self.made}{suffix}"
        path.write_bytes(data)
        return path

    def make(self, kind: str, data: bytes, suffix: str):
        if kind == "bytes":
            return data
        path = self.path(data, suffix)
        if kind == "str":
            return str(path)
        if kind == "pathlike":
            return path
        handle = open(path, "rb")
        self.files.append(handle)
        return handle

    def close(self) -> None:
        for handle in self.files:
            handle.close()


@pytest.fixture
def sources(tmp_path):
    made = Sources(tmp_path)
    yield made
    made.close()


SOURCE_KINDS = ["str", "pathlike", "file", "bytes"]


# --- the functions against json, on random records -------------------------------------------------

values = json_values(integers=st.integers(-(10**30), 10**30), text=st.text(max_size=12),
                     keys=st.text(max_size=6))


@pytest.mark.parametrize("kind", SOURCE_KINDS)
@pytest.mark.parametrize("suffix", list(COMPRESSIONS))
@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=st.lists(values, max_size=12), indent=st.sampled_from([None, 1]))
def test_functions_equal_json(sources, kind, suffix, records, indent):
    compress = COMPRESSIONS[suffix]
    array = json.dumps(records, indent=indent, ensure_ascii=False).encode()
    lines = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records).encode()
    for text, fmt, name in ((array, "json", ".json"), (lines, "jsonl", ".jsonl")):
        data = compress(text)
        expected = json.loads(text) if fmt == "json" else [json.loads(line) for line in text.splitlines()]

        def source():
            return sources.make(kind, data, name + suffix)

        assert strict_equal(tovak.load(source(), format=fmt), expected)
        assert strict_equal(list(tovak.records(source(), format=fmt)), expected)
        assert tovak.count(source(), format=fmt) == len(records)
        if not has_big_integer(records):  # bigjson reads those as floats
            plain = str(sources.path(text, name))
            assert tovak.schema(source(), format=fmt) == bigjson.schema(plain, format=fmt)


def has_big_integer(value) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, int):
        return not -(2**63) <= value < 2**64
    if isinstance(value, list):
        return any(has_big_integer(v) for v in value)
    if isinstance(value, dict):
        return any(has_big_integer(v) for v in value.values())
    return False


@pytest.mark.parametrize(
    "text",
    [
        "123456789012345678901234567890",
        "-123456789012345678901234567890",
        "18446744073709551616",
        "-9223372036854775809",
        "-0",
        "-0.0",
        "1e400",
        "-1e400",
        "1E2",
        "0.1",
        '"\\ud800"',
        '"\\udc00x"',
        '"\\ud83d\\ude00"',
        '"\\ud800\\u0041"',
        '{"b": 1, "a": 2, "b": 3}',
        '{"z": {"y": 1, "x": [true, false, null]}}',
        "[" * 200 + "]" * 200,
        '"\\u00e9\\n\\t"',
        "  [1 , 2]  ",
    ],
)
def test_values_follow_the_json_module(text):
    assert strict_equal(tovak.load(text.encode()), json.loads(text))


@pytest.mark.parametrize(
    "text",
    ["NaN", "Infinity", "-Infinity", "[1,]", "{'a': 1}", "01", "[1] [2]", "", "tru", '"\x01"', "[" * 20000],
)
def test_what_the_grammar_forbids_is_a_json_error(text):
    with pytest.raises(tovak.JSONError) as raised:
        tovak.load(text.encode(), format="json")
    assert isinstance(raised.value, json.JSONDecodeError)
    assert isinstance(raised.value, ValueError)


def test_deep_nesting_beyond_the_json_modules_reach():
    value = tovak.load(b"[" * 10_000 + b"]" * 10_000)
    for _ in range(9_999):
        (value,) = value
    assert value == []


def test_keys_keep_file_order_and_a_repeated_key_its_last_value():
    loaded = tovak.load(b'{"b": 1, "a": 2, "b": 3}')
    assert list(loaded.items()) == [("b", 3), ("a", 2)]


# --- detection ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, text, expected",
    [
        ("a.geojson", b'{\n  "type": "FeatureCollection",\n  "features": []\n}\n', "json"),
        ("a.txt", b'{\n  "a": 1\n}\n', "json"),
        ("a.txt", b"[1, 2]\n[3]\n", "jsonl"),
        ("a.txt", b'{"a": 1}\n{"a": 2}\n', "jsonl"),
        ("a.data", b"1\n2\n3\n", "jsonl"),
        ("a.data", b'"one value"', "json"),
        ("a.json.gz", b"[1, 2, 3]", "json"),
        ("a.ndjson.gz", b"[1, 2, 3]\n[4]\n", "jsonl"),
        ("a.jsonl.xz", b'{"a": 1}\n', "jsonl"),
        ("a", b"\xef\xbb\xbf[1, 2]", "json"),
    ],
)
def test_format_detection(tmp_path, name, text, expected):
    compress = next((c for s, c in COMPRESSIONS.items() if s and name.endswith(s)), COMPRESSIONS[""])
    path = tmp_path / name
    path.write_bytes(compress(text))
    body = text.removeprefix(b"\xef\xbb\xbf")
    want = json.loads(body) if expected == "json" else [json.loads(line) for line in body.splitlines()]
    assert strict_equal(tovak.load(path), want)


DETECTION_WINDOW = 1 << 20


@pytest.mark.parametrize(
    "text",
    [
        b'{"a": [' + b"1.5," * 200_000 + b"1]}",  # one long line, no line feed at all
        b"[" + b"1," * 200_000 + b"1]\n[2]\n",  # lines, the first of them long
        b"[" + b"1," * (DETECTION_WINDOW // 2) + b"1]\n[2]\n",  # a first line past the window: JSON, which fails
        b'\xef\xbb\xbf{"a": 1}\n{"a": 2}\n',
        b"  \n\n ",
        b"[1] [2]",
        b'{"a":\n 1}',
    ],
    ids=["one-line", "long-first-line", "past-window", "mark", "blank", "two-values", "pretty"],
)
def test_detection_is_the_same_for_every_kind_of_source(tmp_path, text):
    """Bytes are looked at where they lie, a file's window is filled before it is looked at, a stream's
    grows a read at a time: all three must decide alike."""
    path = tmp_path / "data"  # no name to go by

    def outcome(source):
        try:
            return ("value", tovak.load(source))
        except tovak.JSONError as error:
            return (type(error).__name__, error.pos, error.msg)

    path.write_bytes(text)
    got = {kind: outcome(source) for kind, source in [("path", path), ("bytes", text), ("stream", io.BytesIO(text))]}
    assert got["bytes"] == got["path"] == got["stream"]


def test_compression_is_told_by_content_not_name(tmp_path):
    path = tmp_path / "misnamed.json"
    path.write_bytes(gzip.compress(b"[1, 2]"))
    assert tovak.load(path) == [1, 2]


# --- records --------------------------------------------------------------------------------------


@pytest.mark.parametrize("suffix", list(COMPRESSIONS))
def test_records_progress_reaches_the_stored_size(tmp_path, suffix):
    text = "".join(json.dumps({"n": n, "pad": "x" * (n % 50)}) + "\n" for n in range(20_000)).encode()
    path = tmp_path / f"p.jsonl{suffix}"
    path.write_bytes(COMPRESSIONS[suffix](text))
    with tovak.records(path) as records:
        assert records.total_bytes == path.stat().st_size
        seen = [records.bytes_read]
        for _ in records:
            seen.append(records.bytes_read)
    assert seen == sorted(seen)
    assert seen[-1] == path.stat().st_size


def test_records_close_and_context(tmp_path):
    path = tmp_path / "r.jsonl"
    path.write_bytes(b"1\n2\n3\n")
    before = open_fds()
    records = tovak.records(path)
    assert next(records) == 1
    assert "r.jsonl" in repr(records)
    records.close()
    records.close()
    assert open_fds() == before
    with pytest.raises(ValueError):
        next(records)
    with tovak.records(path) as again:
        assert list(again) == [1, 2, 3]
    assert open_fds() == before


# --- sources of every kind --------------------------------------------------------------------------


def test_standard_input(tmp_path):
    data = gzip.compress(b"".join(b"%d\n" % n for n in range(50_000)))
    code = "import tovak; print(tovak.count('-'), sum(tovak.records('-')))"
    done = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
    # The first call consumes standard input; the second sees it at its end.
    assert done.stdout.split() == [b"50000", b"0"]


def test_standard_input_through_a_pipe_loses_nothing():
    data = b"".join(b'{"n": %d}\n' % n for n in range(100_000))
    code = "import tovak; print(sum(r['n'] for r in tovak.records('-')))"
    done = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
    assert int(done.stdout) == sum(range(100_000))


def test_fifo(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    data = lzma.compress(b"[" + b",".join(b"%d" % n for n in range(10_000)) + b"]")
    writer = subprocess.Popen([sys.executable, "-c", f"open({str(fifo)!r}, 'wb').write({data!r})"])
    try:
        assert tovak.load(fifo) == list(range(10_000))
    finally:
        writer.wait()


def test_non_utf8_file_names(tmp_path):
    name = os.fsdecode(b"caf\xe9.json")
    path = tmp_path / name
    path.write_bytes(b"[1]")
    assert tovak.load(path) == [1]
    assert tovak.load(str(path)) == [1]


def test_file_objects_are_never_closed(tmp_path):
    path = tmp_path / "f.json"
    path.write_bytes(b"[1, 2]")
    with open(path, "rb") as handle:
        assert tovak.load(handle) == [1, 2]
        assert not handle.closed
    assert tovak.load(io.BytesIO(b"[3]")) == [3]


class ReadOnly:
    """A file object with nothing but ``read``."""

    def __init__(self, data: bytes):
        self.stream = io.BytesIO(data)

    def read(self, size: int = -1) -> bytes:
        return self.stream.read(min(size, 7) if size > 0 else size)


def test_file_object_with_only_read():
    assert tovak.load(ReadOnly(gzip.compress(b'{"a": [1, 2, 3]}'))) == {"a": [1, 2, 3]}


class Misbehaving:
    """A file object whose ``read`` breaks the protocol in the given way."""

    def __init__(self, behaviour: str):
        self.behaviour = behaviour

    def read(self, size: int = -1):
        if self.behaviour == "raises":
            raise OSError(5, "disk on fire")
        if self.behaviour == "str":
            return "[1]"
        return b"[" + b"1," * (size + 100) + b"1]"


@pytest.mark.parametrize(
    "behaviour, error, text",
    [
        ("raises", OSError, "disk on fire"),
        ("str", TypeError, "str"),
        ("too_many", ValueError, "asked for"),
    ],
)
def test_misbehaving_file_objects(behaviour, error, text):
    with pytest.raises(error, match=text):
        tovak.load(Misbehaving(behaviour))


def test_closed_file_object(tmp_path):
    handle = open(tmp_path / "c.json", "wb+")
    handle.close()
    with pytest.raises(ValueError):
        tovak.load(handle)


@pytest.mark.parametrize("bad", [123, 1.5, None, ["a.json"], object()])
@pytest.mark.parametrize("function", [tovak.count, tovak.load, tovak.records, tovak.schema])
def test_unsupported_source_types(function, bad):
    with pytest.raises(TypeError, match="path"):
        function(bad)


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        tovak.load(tmp_path / "absent.json")


# --- damaged compressed input ------------------------------------------------------------------------

RECORDS = b"".join(b'{"n": %d, "text": "%s"}\n' % (n, b"y" * (n % 40)) for n in range(30_000))


@pytest.mark.parametrize("suffix", [s for s in COMPRESSIONS if s])
@pytest.mark.parametrize("damage", ["truncated", "garbage_after", "corrupt"])
def test_damaged_compressed_input(tmp_path, suffix, damage):
    data = COMPRESSIONS[suffix](RECORDS)
    if damage == "truncated":
        data = data[: len(data) * 2 // 3]
    elif damage == "garbage_after":
        data += b"this is not a member"
    else:
        middle = len(data) // 2
        data = data[:middle] + bytes([data[middle] ^ 0x55]) + data[middle + 1 :]
    path = tmp_path / f"d.jsonl{suffix}"
    path.write_bytes(data)
    before = open_fds()
    seen = []
    with pytest.raises(ValueError) as raised:
        for record in tovak.records(path):
            seen.append(record)
    assert str(path) in str(raised.value)
    if damage != "corrupt":  # a corrupt block may give damaged text before its checksum is reached
        assert [record["n"] for record in seen] == list(range(len(seen)))
    assert open_fds() == before


@pytest.mark.parametrize("suffix", [s for s in COMPRESSIONS if s])
def test_concatenated_members_are_read_on(tmp_path, suffix):
    compress = COMPRESSIONS[suffix]
    path = tmp_path / f"m.jsonl{suffix}"
    path.write_bytes(compress(b"1\n2\n") + compress(b"") + compress(b"3\n"))
    assert tovak.load(path) == [1, 2, 3]


def test_invalid_utf8_is_a_json_error(tmp_path):
    path = tmp_path / "u.jsonl.gz"
    path.write_bytes(gzip.compress(b'"ok"\n"\xff"\n'))
    with pytest.raises(tovak.JSONError) as raised:
        tovak.load(path)
    assert str(path) in str(raised.value)


def test_a_decompression_bomb_streams_in_bounded_memory(tmp_path):
    path = tmp_path / "bomb.jsonl.gz"
    with gzip.open(path, "wb", compresslevel=9) as out:
        block = (b" " * 1023 + b"\n") * 1024
        for _ in range(512):  # half a GiB of blank lines, then one record
            out.write(block)
        out.write(b"\n7\n")
    code = (
        "import resource, tovak; peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss;"
        "list(tovak.records(b'[1]')); base = peak();"
        "assert list(tovak.records(%r)) == [7]; print(base, peak())" % str(path)
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    base, peak = map(int, done.stdout.split())
    assert peak - base < 100_000, (base, peak)  # KiB: far below the 512 MiB the text holds


# --- errors -----------------------------------------------------------------------------------------


def test_json_error_pickles_and_names_its_source(tmp_path):
    path = tmp_path / "bad.json"
    path.write_bytes(b"[1, 2,, 3]")
    with pytest.raises(tovak.JSONError) as raised:
        tovak.load(path)
    error = raised.value
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is tovak.JSONError
    assert str(again) == str(error)
    assert str(path) in str(error)
    assert (again.lineno, again.colno, again.msg) == (error.lineno, error.colno, error.msg)


@pytest.mark.parametrize("name", ["slow.jsonl", "slow"])
def test_a_slow_pipe_gives_each_record_as_it_arrives(tmp_path, name):
    """Detection (by name, or by content for a nameless one) waits only for what the writer has sent."""
    fifo = tmp_path / name
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # holds the pipe open: the reader must not wait for its end
    try:
        os.write(writer, b'{"a": 1}\n')
        code = "import sys, tovak; r = tovak.records(sys.argv[1]); print(next(r), flush=True); print(next(r))"
        child = subprocess.Popen([sys.executable, "-c", code, str(fifo)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "{'a': 1}\n"
        os.write(writer, b"[2]\n")
    finally:
        os.close(writer)
    out, _ = child.communicate(timeout=60)
    assert out == "[2]\n"
