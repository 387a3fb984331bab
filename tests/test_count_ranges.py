"""count(threads=n) over ranges that each worker reads for itself (a plain file, bytes in memory) gives what
one thread gives: the same count, or the same error. So does bigjson.count, which shares a big file's ranges
out the same way (with TOVAK_COUNT_RANGE set, any file).

A worker counts its range without knowing what came before it: for a top-level array neither the string
state (inside a string? after a backslash?) nor the depth; for JSONL not whether its first line already
holds content, nor the UTF-8 sequence cut at its start. TOVAK_COUNT_RANGE makes ranges of a few bytes, so
that range boundaries fall on every byte of these inputs (JSONL ranges are whole 64-byte blocks: the inputs
are shifted by padding instead)."""

import json
import os
import sys
import threading
import time

import pytest
from conftest import json_values
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_count import reference_json, reference_jsonl
from test_interrupt import BOUND, interrupt

import tovak
from tovak.lib._tovak import bigjson

THREADS = [2, 3, 8, 64]


def outcome(source, fmt, threads):
    try:
        return ("value", tovak.count(source, format=fmt, threads=threads))
    except tovak.JSONError as error:
        return ("error", error.msg, error.pos, error.lineno, error.colno, error.record)


def bigjson_outcome(path, fmt):
    try:
        return ("value", bigjson.count(str(path), format=fmt))
    except (ValueError, RuntimeError) as error:
        return ("error", type(error).__name__, str(error))


@pytest.fixture(autouse=True)
def ranges(monkeypatch):
    """ranges(size): ranges of `size` bytes from now on (0: the default); restored after each test."""
    monkeypatch.setenv("TOVAK_COUNT_RANGE", "0")
    return lambda size: monkeypatch.setenv("TOVAK_COUNT_RANGE", str(size))


def assert_same_as_one_thread(data, fmt, path, sizes, threads=THREADS):
    with open(path, "wb") as out:
        out.write(data)
    expected = outcome(data, fmt, 1)
    assert outcome(path, fmt, 1) == expected
    os.environ["TOVAK_COUNT_RANGE"] = "0"
    expected_bigjson = bigjson_outcome(path, fmt)  # a small file: counted on this thread
    for size in sizes:
        os.environ["TOVAK_COUNT_RANGE"] = str(size)
        for n in threads:
            assert outcome(data, fmt, n) == expected, (size, n, "bytes")
            assert outcome(path, fmt, n) == expected, (size, n, "file")
        assert bigjson_outcome(path, fmt) == expected_bigjson, (size, "bigjson")
    return expected


# Strings full of what a range's start cannot place: quotes, backslashes, brackets, commas.
TRICKY_TEXT = st.text(alphabet=st.sampled_from(['"', "\\", "[", "]", "{", "}", ",", " ", "a", "é", "\n", "\u2003"]),
                      max_size=12)
values = json_values(text=TRICKY_TEXT, keys=TRICKY_TEXT, width=4, leaves=10)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(elements=st.lists(values, max_size=12), indent=st.sampled_from([None, 0, 2]), ascii=st.booleans(),
       tail=st.sampled_from(["", "\n", "  \n", "]", " [1, 2]", ", 3"]), cut=st.integers(0, 40))
def test_arrays_match_one_thread(tmp_path, elements, indent, ascii, tail, cut):
    data = (json.dumps(elements, indent=indent, ensure_ascii=ascii) + tail).encode("utf-8", "surrogatepass")
    if cut:  # an unterminated array
        data = data[:-cut]
    expected = assert_same_as_one_thread(data, "json", tmp_path / "data.json", [1, 2, 3, 7, 64])
    assert expected == ("value", reference_json(data))


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=st.lists(values, max_size=12), blank=st.sampled_from(["", " ", "\u2003\t", "\u3000"]),
       crlf=st.booleans(), final=st.booleans(), pad=st.integers(0, 63))
def test_jsonl_matches_one_thread(tmp_path, records, blank, crlf, final, pad):
    end = "\r\n" if crlf else "\n"
    text = " " * pad + end.join(json.dumps(r, ensure_ascii=False) for r in records) + (end if final else "")
    text = text.replace(end, end + blank + end, 2)  # blank lines
    data = text.encode("utf-8", "surrogatepass")
    expected = assert_same_as_one_thread(data, "jsonl", tmp_path / "data.jsonl", [64, 128])
    try:
        assert expected == ("value", reference_jsonl(data))
    except UnicodeDecodeError:  # lone surrogates from the strategy
        assert expected[0] == "error"


# Hand-made arrays: every range boundary of sizes 1 to 9 falls on every byte.
ARRAYS = [
    b'["\\\\\\"", "\\"\\\\", "\\\\\\\\\\\\\\"", 1, "\\\\"]',  # runs of backslashes before quotes
    b'["a,b", "[", "]]]", "{,}", {"k,": "]"}, [","]]',       # brackets and commas in strings
    b"[" + b"[" * 70 + b"1," * 5 + b"]" * 70 + b", 2, [[[]]], 3]",  # deep nesting
    b'[{"a": [1, 2, {"b": "\\"]"}]}, "x\\\\", "\\\\\\\\"]  [4, 5] 6, 7',  # text after the array
    b'[1, 2, "unterminated \\" string, 3]',
    b'[1, [2, [3, ',                                         # unterminated
    b"[\\1, 2\\, \\\"3\", 4]",                                # backslashes outside strings
    b'[ , , ]', b'[]', b'[ \n ]', b'[] []', b'[0]]]]]], 1, 2', b'[1,2] [3,[4,5],6] [7',
]


@pytest.mark.parametrize("text", ARRAYS)
def test_hand_made_arrays_match_one_thread(tmp_path, text):
    expected = assert_same_as_one_thread(text, "json", tmp_path / "data.json", [1, 2, 3, 4, 5, 6, 7, 8, 9, 64])
    assert expected == ("value", reference_json(text))


@pytest.mark.parametrize("run", [19, 38, 4095, 4096, 4097, 9001])
def test_ranges_after_runs_of_backslashes(tmp_path, run):
    # A range's escape comes from the backslashes before it, looked for only so far back; a range that
    # starts after an odd run follows its two string states with different escapes.
    text = b'["' + b"\\" * run + b'", 1, "' + b"\\" * (run // 2) + b'\\\"x,", 2, "\\' + b"\\" * run + b'"]'
    expected = assert_same_as_one_thread(text, "json", tmp_path / "data.json", [61, 66, 67, 73, 1000, 4097],
                                         threads=[2, 3])
    assert expected == ("value", reference_json(text))


LINE = '{"k": "a\\"b", "t": "東京 Zürich \u2003", "n": [1, 2]}'
LINES = {
    "plain": (LINE + "\n") * 8,
    "crlf-blank": (LINE + "\r\n\r\n \t\r\n") * 6,
    "unicode-blank": (LINE + "\n\u2003\u3000\n\u00a0\n\u2028\n") * 5,
    "no-final-feed": (LINE + "\n") * 7 + LINE,
    "long-line": "[" + "1," * 300 + "1]\n\n" + LINE,
    "only-blank": " \n\n\u3000\n" * 40,
}


@pytest.mark.parametrize("name", LINES)
@pytest.mark.parametrize("pad", [0, 1, 2, 3, 31, 61, 62, 63])
def test_hand_made_lines_match_one_thread(tmp_path, name, pad):
    data = (" " * pad + LINES[name]).encode()
    assert_same_as_one_thread(data, "jsonl", tmp_path / "data.jsonl", [64, 192], threads=[2, 3])


@pytest.mark.parametrize("bad", [b"\xff", b"\xe2\x80", b"\xc3", b"\xed\xa0\x80", b"\x80\x80"])
@pytest.mark.parametrize("where", [62, 63, 64, 65, 127, 128, 200])
def test_ill_formed_utf8_at_range_boundaries(tmp_path, bad, where):
    body = bytearray((LINE.encode() + b"\n") * 6)
    body[where:where] = bad
    for ending in (b"", b"\n", b"\xe2\x80"):  # a sequence cut off by the end of the input, too
        expected = assert_same_as_one_thread(bytes(body) + ending, "jsonl", tmp_path / "data.jsonl", [64, 128],
                                             threads=[2, 3])
        assert expected[0] == "error" and expected[1] == "invalid UTF-8"


def test_a_character_cut_by_a_range_start_is_judged_whole(tmp_path):
    # Valid characters of two to four bytes, and lines of white space of three, across every boundary.
    pieces = ["é", "東", "😀", "\u2003", "\u3000", "\u2028"]
    for shift in range(4):
        text = " " * shift + "\n".join(p * 40 for p in pieces) + "\n" + "\u2003" * 30 + "\n"
        expected = assert_same_as_one_thread(text.encode(), "jsonl", tmp_path / "data.jsonl", [64], threads=[2])
        assert expected == ("value", 3)


def test_big_inputs_with_the_default_ranges(tmp_path):
    record = b'{"id": 1, "s": "a\\"b, [c]", "n": [1, {"x": null}]}'
    array = b"[\n" + b",\n".join([record] * 120_000) + b"\n]\n"  # about 6 MB: several ranges per worker
    lines = b"\n".join([record] * 120_000) + b"\n"
    for data, fmt in ((array, "json"), (lines, "jsonl")):
        path = tmp_path / f"big.{fmt}"
        path.write_bytes(data)
        for n in (2, 3):
            assert tovak.count(str(path), format=fmt, threads=n) == 120_000
            assert tovak.count(data, format=fmt, threads=n) == 120_000


def test_bigjson_counts_a_big_file_on_every_core(tmp_path):
    """Above the size where the cores share a count out (32 MiB), with the default ranges: the same count,
    and the same error where a JSONL line is not UTF-8, as the scan on one thread of a small file."""
    record = b'{"s": "\xc3\xa9 a\\"b, [c]", "n": [1, {"x": null}]}'
    copies = 34 * 2**20 // len(record)
    array = b"[" + b",".join([record] * copies) + b"]"
    lines = b"\n".join([record] * copies) + b"\n"
    for data, fmt in ((array, "json"), (lines, "jsonl")):
        path = tmp_path / f"big.{fmt}"
        path.write_bytes(data)
        assert bigjson.count(str(path)) == copies
    bad_line = copies - 3
    damaged = lines.replace(b"\xc3\xa9", b"\xc3(", bad_line).replace(b"\xc3(", b"\xc3\xa9", bad_line - 1)
    (tmp_path / "bad.jsonl").write_bytes(damaged)
    (tmp_path / "small.jsonl").write_bytes(b"\n" * (bad_line - 1) + damaged.split(b"\n")[bad_line - 1] + b"\n")
    with pytest.raises(RuntimeError) as big:
        bigjson.count(str(tmp_path / "bad.jsonl"))
    with pytest.raises(RuntimeError) as small:
        bigjson.count(str(tmp_path / "small.jsonl"))
    assert str(big.value) == str(small.value) and "UTF-8" in str(big.value)


def task_count():
    return len(os.listdir("/proc/self/task"))


def settled_task_count(want, seconds=10.0):
    """The number of threads once it is `want`, or after `seconds`: a joined Python thread's system thread
    still runs for a moment after join() returns."""
    deadline = time.monotonic() + seconds
    while (count := task_count()) != want and time.monotonic() < deadline:
        time.sleep(0.005)
    return count


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_workers_count_and_are_gone_after(tmp_path, ranges, fmt):
    ranges(64)  # many small ranges: the call lasts long enough to be seen
    data = b"[" + b'"x", ' * 400_000 + b"1]" if fmt == "json" else b'"x"\n' * 500_000
    before, seen, got = task_count(), [], []
    counting = threading.Thread(target=lambda: got.append(tovak.count(data, format=fmt, threads=3)))
    counting.start()
    while counting.is_alive():
        seen.append(task_count())
        time.sleep(0.001)
    counting.join()
    assert got == [400_001 if fmt == "json" else 500_000]
    assert max(seen) >= before + 1 + 3  # the calling thread and its three workers
    assert settled_task_count(before) == before


@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_a_file_that_shrinks_while_counted(tmp_path, ranges, fmt):
    ranges(4096)
    path = tmp_path / f"data.{fmt}"
    path.write_bytes(b"[" + b"1, " * 3_000_000 + b"1]" if fmt == "json" else b"1\n" * 4_000_000)
    full = tovak.count(str(path), format=fmt, threads=1)
    result = []
    counting = threading.Thread(target=lambda: result.append(tovak.count(str(path), format=fmt, threads=2)))
    counting.start()
    os.truncate(path, os.path.getsize(path) // 2)
    counting.join()
    assert isinstance(result[0], int) and result[0] <= full


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_sigint_stops_a_count_over_ranges(tmp_path, ranges, fmt):
    # The child inherits it: many small ranges. Their hand-overs between threads cost ten times more where
    # the cores are idle (a sleeping core must be woken for each) than where they are busy, so the input is
    # big enough to outlast the signal's delay when they are cheap, and the count asks about signals every
    # 4 MiB of input, which stays within a second or two when they are dear.
    ranges(64)
    path = tmp_path / f"data.{fmt}"
    path.write_bytes(b"[" + b"1, " * 15_000_000 + b"1]" if fmt == "json" else b"1\n" * 24_000_000)
    last, delay = interrupt(f"tovak.count({str(path)!r}, threads=2)")
    assert last == "interrupted"
    assert delay < BOUND
