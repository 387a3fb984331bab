"""Loads in a row on one thread reuse the parser's buffers: whatever the previous load left behind (an
error deep inside containers, a document larger than what is kept, a load nested in a finalizer, a parser
dropped on another thread) must never show up in the next result."""

import gc
import io
import json
import threading

import pytest

import tovak
from tovak import bigjson

# Many values pending on the parser's stacks when the text breaks off: open arrays and objects with long
# keys, escaped strings and numbers of every form.
PENDING = '{"outer_key_longer_than_sixteen": [1, -2, 3.5, "e\\u00e9\\n", {"k": [true, null, {"deep": [' + \
    ", ".join(str(i) for i in range(3000))
BROKEN = [PENDING, PENDING + ", }", '[{"a": 1, "a": [2, {"b": 3}], "a": 4}, ' + PENDING]
FOLLOWING = ['{"a": [1, 2, {"b": "c"}], "z": null}', "[]", '"just a string"',
             json.dumps([{"k%d" % i: [i, str(i), i / 3]} for i in range(2000)])]


@pytest.mark.parametrize("following", FOLLOWING, ids=["object", "empty", "scalar", "many"])
@pytest.mark.parametrize("broken", BROKEN, ids=["eof", "trailing-comma", "repeated-keys"])
def test_a_failed_load_leaves_nothing_for_the_next(tmp_path, broken, following):
    bad, good = tmp_path / "bad.json", tmp_path / "good.json"
    bad.write_text(broken)
    good.write_text(following)
    for _ in range(3):
        with pytest.raises(ValueError):
            bigjson.load(str(bad))
        assert bigjson.load(str(good)) == json.loads(following)
        with pytest.raises(ValueError):
            tovak.load(broken.encode())
        assert tovak.load(following.encode()) == json.loads(following)


def test_documents_beyond_the_kept_size_and_back(tmp_path):
    # About 10 MiB of pending values: more than a thread keeps between loads.
    big = [list(range(i, i + 1000)) for i in range(0, 1_300_000, 1000)]
    small = {"x": [1.5, "y", {"z": None}]}
    for value in (small, big, small, big, small):
        assert tovak.load(json.dumps(value).encode()) == value


def test_a_load_nested_in_a_finalizer(tmp_path):
    inner_text = json.dumps({"inner": [list(range(50)), "s" * 40]})
    outer_value = [{"i": i, "v": [i, str(i), [i / 2]]} for i in range(20_000)]
    inner_results = []

    class Loader:
        def __del__(self):
            inner_results.append(tovak.load(inner_text.encode()))

    def make_garbage():
        for _ in range(200):
            a = Loader()
            a.cycle = a  # freed only by a collection, which the outer load's allocations trigger

    outer_text = json.dumps(outer_value).encode()
    old = gc.get_threshold()
    gc.set_threshold(50)
    try:
        make_garbage()
        outer = tovak.load(outer_text)
    finally:
        gc.set_threshold(*old)
        gc.collect()
    assert outer == outer_value
    assert len(inner_results) == 200 and all(r == json.loads(inner_text) for r in inner_results)


def test_parsers_made_and_dropped_on_different_threads(tmp_path):
    path = tmp_path / "records.jsonl"
    records = [{"n": i, "items": list(range(i % 50)), "name": "r%d" % i} for i in range(3000)]
    path.write_text("\n".join(json.dumps(r) for r in records))
    iterators = [bigjson.iter_records(str(path)) for _ in range(4)]
    results, failures = {}, []

    def consume(k):
        try:
            results[k] = list(iterators[k])
            iterators[k] = None  # its parser's buffers go to this thread's cache
            results[k, "load"] = bigjson.load(str(path))
        except Exception as error:  # reported below: a thread's exception is otherwise lost
            failures.append(error)

    threads = [threading.Thread(target=consume, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    for k in range(4):
        assert results[k] == records and results[k, "load"] == records
    assert bigjson.load(str(path)) == records


def test_keys_of_earlier_loads_on_many_threads():
    # More distinct keys than the key cache holds, on threads that end (their caches go with them)
    # while others still load.
    def document(seed):
        return {"key_%d_%s" % (seed * 7 + i, "x" * (i % 70)): [i, {"k%d" % (i % 3000): seed}] for i in range(2500)}

    failures = []

    def work(seed):
        try:
            for round_ in range(3):
                value = document(seed + round_)
                got = tovak.load(json.dumps(value).encode())
                assert got == value and list(got) == list(value)
        except Exception as error:  # reported below: a thread's exception is otherwise lost
            failures.append(error)

    for wave in range(3):
        threads = [threading.Thread(target=work, args=(wave * 10 + k,)) for k in range(4)]
        for t in threads:
            t.start()
        work(100 + wave)
        for t in threads:
            t.join()
    assert not failures


class _Unsized(io.RawIOBase):
    """A stream that tells no size, so the document's buffer grows as it reads."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(buffer)


SOURCES = {
    "path": lambda tmp_path, data: (tmp_path / "doc.json").write_bytes(data) and tmp_path / "doc.json",
    "bytes": lambda tmp_path, data: data,
    "unsized-stream": lambda tmp_path, data: _Unsized(data),
}


@pytest.mark.parametrize("source", SOURCES)
def test_a_document_read_where_a_longer_one_was(tmp_path, source):
    # Each document starts in the buffer the previous one left, whose bytes past the new end are the old
    # document's: a short document must end where it ends, and a longer one must keep all it has read
    # when its buffer grows.
    def load(text):
        return tovak.load(SOURCES[source](tmp_path, text.encode()))

    long_text = json.dumps([list(range(i, i + 100)) for i in range(0, 300_000, 100)])
    longer_text = json.dumps({"x": [long_text, long_text]})
    assert load(long_text) == json.loads(long_text)
    for broken, where in [("[1, 2", 5), ('{"a": 1', 7), ("[0, ", 4)]:
        with pytest.raises(tovak.JSONError) as caught:
            load(broken)
        assert caught.value.pos == where
    assert load("[0]") == [0]
    assert load(longer_text) == json.loads(longer_text)
    assert load(long_text[:-1] + ", 7]") == json.loads(long_text) + [7]
    # Beyond any buffer a thread keeps: an unsized stream outgrows it.
    huge = ["0123456789abcdef" * (1 << 19) + "!", 1, ["end"]]
    assert load(json.dumps(huge)) == huge
