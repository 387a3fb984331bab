"""`at=` JSON pointers and raw records in the package's functions."""

from __future__ import annotations

import gzip
import json
import os
import pickle
import random
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovak
from conftest import json_values

RFC6901 = {
    "foo": ["bar", "baz"],
    "": 0,
    "a/b": 1,
    "c%d": 2,
    "e^f": 3,
    "g|h": 4,
    "i\\j": 5,
    'k"l': 6,
    " ": 7,
    "m~n": 8,
}


def resolve(value, pointer: str):
    """The value at `pointer` (RFC 6901), or KeyError/IndexError/TypeError."""
    if pointer == "":
        return value
    for token in pointer[1:].split("/"):
        token = token.replace("~1", "/").replace("~0", "~")
        if isinstance(value, list):
            if not (token == "0" or (token.isdigit() and token[0] != "0")):
                raise IndexError(token)
            value = value[int(token)]
        elif isinstance(value, dict):
            value = value[token]
        else:
            raise TypeError(token)
    return value


def streamed(value):
    """What records() gives for the value at a pointer."""
    if isinstance(value, list):
        return value
    if isinstance(value, dict):
        return list(value.items())
    return [value]


@pytest.mark.parametrize(
    "pointer",
    ["", "/foo", "/foo/0", "/", "/a~1b", "/c%d", "/e^f", "/g|h", "/i\\j", '/k"l', "/ ", "/m~0n"],
)
def test_rfc6901_examples(pointer):
    data = json.dumps(RFC6901).encode()
    expected = resolve(RFC6901, pointer)
    assert tovak.load(data, at=pointer) == expected
    assert list(tovak.records(data, at=pointer)) == streamed(expected)
    assert tovak.count(data, at=pointer) == len(streamed(expected))


@pytest.mark.parametrize(
    "text, pointer, expected",
    [
        (b'{"a": {"b": [10, {"c": []}]}}', "/a/b/1/c", []),
        (b'{"a": {}}', "/a", []),
        (b'{"\xc3\xa9t\xc3\xa9": [1, 2]}', "/\u00e9t\u00e9", [1, 2]),
        (b'{"a\\u0062": 3}', "/ab", [3]),
        (b'{"k": "v", "k": [1]}', "/k", ["v"]),  # the first of two equal keys on the path
        (b'[[1, 2], {"x": null}]', "/1", [("x", None)]),
        (b'{"n": 1.5e3}', "/n", [1500.0]),
        (b'{"t": true}', "/t", [True]),
    ],
)
def test_pointers_through_arrays_and_objects(text, pointer, expected):
    assert list(tovak.records(text, at=pointer)) == expected


@pytest.mark.parametrize(
    "text, pointer, message",
    [
        (b'{"data": {"x": 1}}', "/data/item", '"/data" holds an object without member "item"'),
        (b'{"rows": "s"}', "/rows/0", '"/rows" is a string, not a container'),
        (b'{"rows": [1, 2]}', "/rows/2", '"/rows" holds an array of 2 elements, none at index 2'),
        (b'{"rows": [1, 2]}', "/rows/-", '"/rows" holds an array of 2 elements: "-" is no index'),
        (b'{"rows": [1, 2]}', "/rows/01", '"/rows" holds an array of 2 elements: "01" is no index'),
        (b"[]", "/0", '"" holds an array of 0 elements, none at index 0'),
        (b'{"a~b": 1}', "/a~0b/c", '"/a~0b" is a number, not a container'),
    ],
)
@pytest.mark.parametrize("function", [tovak.count, tovak.load, lambda s, at: list(tovak.records(s, at=at))])
def test_a_pointer_that_matches_nothing(text, pointer, message, function):
    with pytest.raises(tovak.PointerError) as raised:
        function(text, at=pointer)
    assert isinstance(raised.value, LookupError)
    assert raised.value.msg == message
    again = pickle.loads(pickle.dumps(raised.value))
    assert (type(again), str(again)) == (tovak.PointerError, str(raised.value))


@pytest.mark.parametrize("pointer", ["a", "/~2", "/x~"])
def test_a_malformed_pointer_is_a_value_error(pointer):
    with pytest.raises(ValueError):
        tovak.records(b"{}", at=pointer)


def test_jsonl_applies_the_pointer_to_every_line():
    text = b'{"u": {"id": 1}}\n{"u": {"id": [2, 3]}}\n{"v": 1}\n{"u": {"id": 4}}\n'
    with pytest.raises(tovak.PointerError) as raised:
        list(tovak.records(text, format="jsonl", at="/u/id"))
    assert (raised.value.lineno, raised.value.record) == (3, 3)
    reader = tovak.records(text, format="jsonl", at="/u/id", errors="skip")
    assert list(reader) == [1, 2, 3, 4]
    assert reader.error_count == 1 and isinstance(reader.errors[0], tovak.PointerError)
    assert tovak.load(text.replace(b'{"v": 1}\n', b""), format="jsonl", at="/u/id") == [1, [2, 3], 4]


@pytest.mark.parametrize("text, pos", [(b'{"a": [1, 2], "b": tru}', 22), (b'{"a": [1, 2]} x', 14),
                                       (b'{"b": [}, "a": 1}', 7), (b'{"a": 5, "b": [}', 15), (b'{"a": "s"', 9)])
@pytest.mark.parametrize("function", [lambda s: list(tovak.records(s, at="/a")), lambda s: tovak.load(s, at="/a"),
                                      lambda s: tovak.count(s, at="/a")])
def test_errors_around_the_target_are_found(text, pos, function):
    # Before or after the value at the pointer: the whole input must be valid, whatever is read of it.
    with pytest.raises(tovak.JSONError) as raised:
        function(text)
    assert raised.value.pos == pos


@pytest.mark.parametrize("raw", [False, True])
@pytest.mark.parametrize("threads", [1, 2])
def test_no_record_holds_or_follows_bytes_that_are_not_utf8(raw, threads):
    # The bad byte anywhere, in particular in the last partial 64-byte block of a 64 KiB read, which is
    # judged with the next read: the records before it come out, not the one holding it nor any after.
    elements = [b'{"id": %d, "pad": "%s"}' % (i, b"x" * 40) for i in range(3000)]
    first_read_ends = next(i for i in range(3000) if len(b'{"rows": [' + b", ".join(elements[: i + 1])) > 65536)
    for position in [0, 7, *range(first_read_ends - 3, first_read_ends + 2)]:
        damaged = list(elements)
        damaged[position] = damaged[position].replace(b"xx", b"x\xff", 1)
        data = b'{"rows": [' + b", ".join(damaged) + b"]}"
        got = []
        with pytest.raises(tovak.JSONError) as raised:
            got.extend(tovak.records(data, at="/rows", raw=raw, threads=threads))
        assert (len(got), raised.value.record, raised.value.pos) == (position, position + 1, data.index(b"\xff"))
        assert got == [element if raw else json.loads(element) for element in elements[:position]]


@pytest.mark.parametrize("raw", [True, "compact"])
def test_raw_records(raw):
    text = b'[1, {"a" : [1, 2], "s": "x \\" y"},\n  "e\xc3\xa9"  , [ ], ["b\\\\", " c "] ]'
    got = list(tovak.records(text, raw=raw))
    assert [json.loads(r) for r in got] == json.loads(text)
    if raw is True:
        assert got == [b"1", b'{"a" : [1, 2], "s": "x \\" y"}', b'"e\xc3\xa9"', b"[ ]", b'["b\\\\", " c "]']
    else:
        assert got == [b"1", b'{"a":[1,2],"s":"x \\" y"}', b'"e\xc3\xa9"', b"[]", b'["b\\\\"," c "]']
    lines = b'{"a": 1}\n\n  [1, 2] \n'
    assert list(tovak.records(lines, format="jsonl", raw=raw)) == (
        [b'{"a": 1}', b"[1, 2]"] if raw is True else [b'{"a":1}', b"[1,2]"]
    )
    with pytest.raises(tovak.JSONError):
        list(tovak.records(b"[1, {\"a\": x}]", raw=raw))


def compact_reference(text: bytes) -> bytes:
    """White space outside strings removed, byte by byte."""
    out, in_string, escaped = bytearray(), False, False
    for byte in text:
        if in_string:
            in_string = escaped or byte != ord('"')
            escaped = not escaped and byte == ord("\\")
        elif byte in b" \t\r\n":
            continue
        else:
            in_string = byte == ord('"')
        out.append(byte)
    return bytes(out)


def spaced_document(seed: int) -> bytes:
    """A pretty-printed array whose records cross 64-byte blocks: runs of white space of every length,
    strings with escaped quotes and backslashes, white space and non-ASCII inside strings, long strings."""
    rng = random.Random(seed)
    pieces = ['"x \\" y"', '"\\\\"', '" \\t  a  "', '"é \\n \\u00e9"', '"' + "w " * 50 + '"', "12.5e-3", "true", "[ ]",
              "{ }", '"\\\\\\""']

    def space() -> str:
        return rng.choice(["", " ", "\n", "  \n\t", " " * rng.randint(0, 70), "\r\n"])

    def value(depth: int) -> str:
        if depth > 2 or rng.random() < 0.4:
            return rng.choice(pieces)
        if rng.random() < 0.5:
            return "[" + space() + ("," + space()).join(value(depth + 1) for _ in range(rng.randint(1, 4))) + space() + "]"
        return "{" + space() + ("," + space()).join(
            f'"k{i} {rng.choice(pieces)[1:-1]}"' + space() + ":" + space() + value(depth + 1)
            for i in range(rng.randint(1, 4))) + space() + "}"

    return ("[\n" + ",\n  ".join(value(0) for _ in range(300)) + "\n]\n").encode("utf-8")


@pytest.mark.parametrize("level", ["scalar", "sse2", "avx2"])
def test_compact_records_at_every_level(tmp_path, level):
    """raw="compact" gives the same bytes whichever level the scanners run at (the CPU may lack AVX2)."""
    path = tmp_path / "spaced.json"
    text = spaced_document(7)
    path.write_bytes(text)
    script = "import sys, tovak\nsys.stdout.buffer.write(b'\\n'.join(tovak.records(sys.argv[1], raw='compact')))\n"
    env = {**os.environ, "TOVAK_SIMD": level}
    result = subprocess.run([sys.executable, "-c", script, str(path)], env=env, capture_output=True, timeout=60,
                            check=False)
    assert (result.returncode, result.stderr) == (0, b"")
    got = result.stdout.split(b"\n")
    assert got == [compact_reference(r) for r in tovak.records(text, raw=True)]
    assert [json.loads(r) for r in got] == json.loads(text)


any_json = json_values(integers=st.integers(), text=st.text(), keys=st.text(max_size=3), leaves=20)


def pointers_into(value, draw):
    tokens = []
    while isinstance(value, (list, dict)) and value and draw(st.booleans()):
        if isinstance(value, list):
            index = draw(st.integers(0, len(value) - 1))
            tokens.append(str(index))
            value = value[index]
        else:
            key = draw(st.sampled_from(sorted(value)))
            tokens.append(key.replace("~", "~0").replace("/", "~1"))
            value = value[key]
    return "".join("/" + t for t in tokens)


@st.composite
def documents_and_pointers(draw):
    value = draw(any_json)
    return value, pointers_into(value, draw)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=documents_and_pointers(), indent=st.sampled_from([None, 1]), compress=st.booleans())
def test_differential_json(case, indent, compress):
    value, pointer = case
    text = json.dumps(value, indent=indent).encode()
    data = gzip.compress(text) if compress else text
    expected = resolve(value, pointer)
    assert list(tovak.records(data, format="json", at=pointer)) == streamed(expected)
    assert tovak.load(data, format="json", at=pointer) == expected
    raws = list(tovak.records(data, format="json", at=pointer, raw=True))
    if isinstance(expected, dict):  # members come as (key, bytes)
        assert [(k, json.loads(r)) for k, r in raws] == list(expected.items())
    else:
        assert [json.loads(r) for r in raws] == streamed(expected)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rows=st.lists(st.fixed_dictionaries({"u": any_json}), min_size=1, max_size=5), compress=st.booleans())
def test_differential_jsonl(rows, compress):
    text = b"".join(json.dumps(row).encode() + b"\n" for row in rows)
    data = gzip.compress(text) if compress else text
    expected = [x for row in rows for x in streamed(row["u"])]
    assert list(tovak.records(data, format="jsonl", at="/u")) == expected
    assert [json.loads(r) for r in tovak.records(data, format="jsonl", raw=True)] == rows
