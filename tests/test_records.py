"""Streaming records: load, iter_records and RecordIterator."""

import gc
import json
import os
import sys

import pytest
from conftest import open_fds, run_threads, write_test_file

from tovak import bigjson

pytestmark = pytest.mark.skipif(not hasattr(bigjson, "iter_records"), reason="records not built")

CHUNK = 65536


@pytest.fixture
def make(tmp_path):
    counter = iter(range(1_000_000))

    def make(content, suffix=".json"):
        return write_test_file(tmp_path, f"f{next(counter)}{suffix}", content)

    return make


def records(path, **kw):
    return list(bigjson.iter_records(path, **kw))


# --- what a record is ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", []),
        (b" \n\t\r\x0c ", []),
        (b"[]", []),
        (b"[ ]", []),
        (b"[1,2,3]", [1, 2, 3]),
        (b"[1,]", [1]),
        (b"[,1]", [1]),
        (b"[1,,2]", [1, 2]),
        (b"[1, 2", [1]),
        (b"[1]xyz\xff", [1]),
        (b'[[1,[2]],{"a":{"b":[]}}]', [[1, [2]], {"a": {"b": []}}]),
        (b'["a,]b", "q\\"", "\\\\"]', ["a,]b", 'q"', "\\"]),
        (b"[{]", []),
        (b"[}, 1]", []),
        (b'{"a": 1}', [{"a": 1}]),
        (b"42", [42]),
        (b'"lone"', ["lone"]),
        (b"\x0b[1]", [[1]]),
        (b"[\n  1 ,\n  2\n]", [1, 2]),
        (b'["\xff"]', ["\ufffd"]),
        (b"[1, \xc2\xa0, 2]", [1, 2]),
    ],
)
def test_json_records(make, content, expected):
    assert records(make(content)) == expected


@pytest.mark.parametrize(
    "content, message",
    [
        (b"[1 2]", "invalid JSON element: trailing characters at line 1 column 3"),
        (b"[tr ue]", "invalid JSON element: expected ident at line 1 column 3"),
        (b"[1,\n{\"a\":\n x}]", "invalid JSON element: expected value at line 2 column 2"),
        (b'{"a":1}\n{"b":2}\n', "invalid JSON element: trailing characters at line 2 column 1"),
        (b"\xef\xbb\xbf[1]", "invalid JSON element: expected value at line 1 column 1"),
        (b"\n\n{]", "invalid JSON element: key must be a string at line 1 column 2"),
    ],
)
def test_json_element_errors(make, content, message):
    with pytest.raises(ValueError) as info:
        records(make(content))
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_bad_element_does_not_spoil_the_next(make):
    it = bigjson.iter_records(make(b"[1, x, 2, {y}, 3]"))
    outcomes = []
    for _ in range(10):
        try:
            outcomes.append(next(it))
        except ValueError as error:
            outcomes.append(str(error).split(":")[0])
        except StopIteration:
            break
    assert outcomes == [1, "invalid JSON element", 2, "invalid JSON element", 3]


def test_failed_last_element_ends_the_array(make):
    it = bigjson.iter_records(make(b"[1, x],[5]"))
    assert next(it) == 1
    with pytest.raises(ValueError):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_failed_single_document_then_end(make):
    it = bigjson.iter_records(make(b"{oops}"))
    with pytest.raises(ValueError):
        next(it)
    assert list(it) == []


# --- JSONL -----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", []),
        (b"1\n\n   \n2\r\n", [1, 2]),
        (b'{"a":1}\n[2]\n"x"', [{"a": 1}, [2], "x"]),
        (b"\xc2\xa0\n\xe3\x80\x80 3 \xe2\x80\xa8\n", [3]),
        (b"1\r\n2\r\n", [1, 2]),
    ],
)
def test_jsonl_records(make, content, expected):
    path = make(content, ".jsonl")
    assert records(path) == expected
    assert bigjson.load(path) == expected


def test_jsonl_errors_and_recovery(make):
    it = bigjson.iter_records(make(b'1\n1 2\n\xff\xfe\n  {"a":1\n5\n', ".jsonl"))
    assert next(it) == 1
    with pytest.raises(ValueError, match=r"^invalid JSONL line: trailing characters at line 1 column 3$"):
        next(it)
    with pytest.raises(RuntimeError, match=r"^read error: stream did not contain valid UTF-8$"):
        next(it)
    with pytest.raises(ValueError, match=r"^invalid JSONL line: EOF while parsing an object at line 1 column 6$"):
        next(it)
    assert next(it) == 5
    assert list(it) == []


@pytest.mark.parametrize(
    "content, error, message",
    [
        (b"1\nx\n", ValueError, "invalid JSONL line: expected value at line 1 column 1"),
        (b"1\n\xff\n", RuntimeError, "read error: stream did not contain valid UTF-8"),
    ],
)
def test_load_jsonl_stops_at_first_failure(make, content, error, message):
    with pytest.raises(error) as info:
        bigjson.load(make(content, ".jsonl"))
    assert str(info.value) == message


# --- load of whole documents -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, error, message",
    [
        (b"", ValueError, "invalid JSON: EOF while parsing a value at line 1 column 0"),
        (b"[1, 2", ValueError, "invalid JSON: EOF while parsing a list at line 1 column 5"),
        (b"[1]x", ValueError, "invalid JSON: trailing characters at line 1 column 4"),
        (b'["\xff"]', RuntimeError, "read error: stream did not contain valid UTF-8"),
        (b"\n\n [1,]", ValueError, "invalid JSON: trailing comma at line 3 column 5"),
    ],
)
def test_load_document_errors(make, content, error, message):
    with pytest.raises(error) as info:
        bigjson.load(make(content))
    assert str(info.value) == message


def test_load_and_iterate_agree_on_nesting(make):
    deep = "[" * 127 + "]" * 127
    path = make(f"[{deep}, {deep}]")
    with pytest.raises(ValueError, match="recursion limit exceeded at line 1 column 128"):
        bigjson.load(path)
    assert len(records(path)) == 2


@pytest.mark.parametrize(
    "text, expected",
    [
        ("18446744073709551615", 18446744073709551615),
        ("9223372036854775808", 9223372036854775808),
        ("-9223372036854775808", -9223372036854775808),
        ("18446744073709551616", 18446744073709551616.0),
        ("-0", -0.0),
        ("1.0", 1.0),
        ("true", True),
        ("null", None),
    ],
)
def test_number_and_literal_forms(make, text, expected):
    value = bigjson.load(make(text))
    assert value == expected and type(value) is type(expected)
    if isinstance(expected, float):
        assert str(value) == str(expected)


def test_keys_sorted_and_last_duplicate_wins(make):
    value = bigjson.load(make(b'{"b": 1, "a": 2, "b": 3, "\xc3\xa9": 0, "Z": 9}'))
    assert list(value) == ["Z", "a", "b", "\u00e9"]
    assert value["b"] == 3


# --- chunk boundaries ------------------------------------------------------------------------------


@pytest.mark.parametrize("shift", [-3, -2, -1, 0, 1, 2])
@pytest.mark.parametrize(
    "piece",
    ['"x,]y"', '"esc\\"aped"', '"\\\\"', '"\u00e9\u6771\U0001f600"', '{"k": [1, 2]}', '"\\u00e9"'],
)
def test_elements_across_chunk_boundaries(make, shift, piece):
    head = '["' + "a" * (CHUNK - 4 - len(piece.encode()) + shift) + '", '
    content = head + piece + ", 7]"
    path = make(content)
    expected = json.loads(content)
    assert records(path) == expected
    assert bigjson.count(path) == len(expected)


def test_many_chunks_match_json(make):
    items = [{"id": i, "name": "n\u00e9" * (i % 7), "tags": [i, str(i)], "f": i / 3} for i in range(30000)]
    content = json.dumps(items, ensure_ascii=False)
    path = make(content)
    assert records(path) == json.loads(content)
    assert bigjson.load(path) == json.loads(content)


# --- progress counters -----------------------------------------------------------------------------


def test_progress_small_json(make):
    content = b"[1, 2, 3]   "
    it = bigjson.iter_records(make(content))
    assert (it.bytes_read, it.total_bytes) == (0, len(content))
    assert next(it) == 1
    assert it.bytes_read == len(content)
    assert list(it) == [2, 3]
    with pytest.raises(StopIteration):
        next(it)
    assert it.bytes_read == len(content)


def test_progress_large_array_stops_at_bracket(make):
    content = b"[" + b"1," * CHUNK + b"1]" + b" " * (3 * CHUNK)
    it = bigjson.iter_records(make(content))
    assert next(it) == 1
    assert it.bytes_read == CHUNK
    sum(1 for _ in it)
    assert it.bytes_read == 3 * CHUNK
    assert it.total_bytes == len(content)


def test_progress_jsonl(make):
    content = b"1\n\n  \n2\r\n"
    it = bigjson.iter_records(make(content, ".jsonl"))
    assert next(it) == 1
    assert it.bytes_read == 2
    assert list(it) == [2]
    assert it.bytes_read == it.total_bytes == len(content)


# --- the iterator object ---------------------------------------------------------------------------


def test_iterator_class(make):
    it = bigjson.iter_records(make(b"[1]"))
    cls = type(it)
    assert cls is bigjson.RecordIterator
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("RecordIterator", "RecordIterator", "builtins")
    assert cls.__doc__ == "Python iterator wrapper returned by [`iter_records`]."
    assert iter(it) is it
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        it.bytes_read = 5
    assert not hasattr(it, "__dict__")


def test_errors_at_call_time(make, tmp_path):
    with pytest.raises(ValueError, match="^cannot open "):
        bigjson.iter_records(str(tmp_path / "missing.json"))
    with pytest.raises(ValueError, match="^unknown format "):
        bigjson.iter_records(make(b"[1]"), format="xml")
    it = bigjson.iter_records(str(tmp_path), format="json")
    with pytest.raises(RuntimeError, match=r"^read error: .*\(os error 21\)$"):
        next(it)


def test_file_closed_only_when_iterator_dies(make):
    path = make(b"[1, 2]")
    before = open_fds()
    it = bigjson.iter_records(path)
    assert list(it) == [1, 2]
    assert len(open_fds() - before) == 1
    del it
    gc.collect()
    assert open_fds() == before


@pytest.mark.parametrize(
    "content, suffix", [(b"[1, x]", ".json"), (b"x", ".jsonl"), (b'["\xff"]', ".json"), (b"", ".json")]
)
def test_load_leaves_no_file_open(make, content, suffix):
    path = make(content, suffix)
    before = open_fds()
    try:
        bigjson.load(path)
    except (ValueError, RuntimeError):
        pass
    assert open_fds() == before


# --- threads ---------------------------------------------------------------------------------------


def test_threads_on_different_files(make):
    paths = [make(json.dumps(list(range(i, i + 5000)))) for i in range(8)]
    results = {}

    def work(i):
        results[i] = (bigjson.load(paths[i]), list(bigjson.iter_records(paths[i])))

    assert run_threads(work, 8) == []
    for i in range(8):
        assert results[i][0] == results[i][1] == list(range(i, i + 5000))


@pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(), reason="needs a free-threaded interpreter")
def test_shared_iterator_records_each_once(make):
    n = 200_000
    path = make(json.dumps(list(range(n))))
    borrowed = [0] * 4
    # Every record once in every round; the threads must also collide on the iterator at least once, which
    # on a busy machine (threads running one after the other) can take more than one round.
    for _ in range(5):
        it = bigjson.iter_records(path)
        seen = [[] for _ in range(4)]

        def work(k, it=it, seen=seen):
            while True:
                try:
                    seen[k].append(next(it))
                except StopIteration:
                    return
                except RuntimeError as error:
                    assert str(error) == "Already borrowed"
                    borrowed[k] += 1

        assert run_threads(work, 4) == []
        everything = sorted(x for part in seen for x in part)
        assert everything == list(range(n))
        if sum(borrowed) > 0:
            break
    assert sum(borrowed) > 0


def test_jsonl_load_hands_out_collectable_records(make):
    lines = ['[1, {"a": [2]}]', '{"b": {"c": []}}', '{"d": 1, "d": [3]}', "7"]
    value = bigjson.load(make("\n".join(lines), ".jsonl"))
    expected = [json.loads(line) for line in lines]
    assert value == expected
    assert [gc.is_tracked(v) for v in value] == [gc.is_tracked(v) for v in expected]
    value[1]["b"]["c"].append(value)
    gc.collect()
    del value
    assert gc.collect() >= 4


CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "corpus")
CORPUS_FILES = sorted(f for f in os.listdir(CORPUS) if f.endswith(("json", "ndjson"))) if os.path.isdir(CORPUS) else []


@pytest.mark.skipif(not CORPUS_FILES, reason="the shared corpus of real-world documents is not present")
@pytest.mark.parametrize("name", CORPUS_FILES)
def test_real_world_documents(name):
    path = os.path.join(CORPUS, name)
    with open(path, "rb") as f:
        if name.endswith(".ndjson"):
            expected = [json.loads(line) for line in f if line.strip()]
        else:
            expected = json.load(f)
    assert bigjson.load(path) == expected
    streamed = records(path)
    assert streamed == (expected if isinstance(expected, list) else [expected])
    assert bigjson.count(path) == len(streamed)
