"""Raw records of JSON cut on a worker thread (records(raw=..., threads=n), the command line's to-jsonl), and
records at a pointer cut there while the calling thread parses them (raw=False where the calling thread
parses alone, as with the GIL; elsewhere parsed by the parallel reader), are those of one thread in every respect: the same records, bytes and keys, then the same first error at the
same record, byte, line and column, and the same at a later call.

The worker gets the input in chunks the calling thread reads and hands back, per chunk, the records that
end in it: a record that began in an earlier chunk is gathered, a chunk may end inside a string, an escape,
a number, a UTF-8 sequence or a key. TOVAK_RAW_CHUNK makes chunks of a few bytes, so that chunk boundaries
fall on every byte of these inputs and every record crosses several."""

import gzip
import json
import os
import subprocess
import sys
import threading

import pytest
from conftest import json_values
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_count_ranges import settled_task_count, task_count
from test_interrupt import BOUND, interrupt

import tovak

THREADS = [2, 3, 8]
needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
CHUNKS = [1, 2, 7, 64]
RAW = [True, "compact", "_lines"]
RAW_AND_VALUES = [*RAW, False]


@pytest.fixture(autouse=True)
def chunks(monkeypatch):
    """chunks(size): chunks of `size` bytes from now on (0: the default); restored after each test."""
    monkeypatch.setenv("TOVAK_RAW_CHUNK", "0")
    return lambda size: monkeypatch.setenv("TOVAK_RAW_CHUNK", str(size))


def error_fields(error):
    fields = (type(error).__name__, str(error))
    if isinstance(error, tovak.JSONError):
        fields += (error.pos, error.lineno, error.colno, error.record)
    return fields


def outcome(source, raw, threads, at=None, errors="raise"):
    """The records read, the first error, what one more call gives, the errors skipped."""
    records = tovak.records(source, format="json", raw=raw, at=at, errors=errors, threads=threads)
    got, failed, again = [], None, None
    try:
        for record in records:
            got.append(record)
    except (tovak.JSONError, tovak.PointerError, tovak.CompressionError) as error:
        failed = error_fields(error)
        try:
            again = ("record", next(records))
        except StopIteration:
            again = ("end",)
        except (tovak.JSONError, tovak.PointerError, tovak.CompressionError) as error:
            again = error_fields(error)
    return got, failed, again, records.error_count


def assert_same_as_one_thread(sources, raw, at=None, sizes=CHUNKS, threads=THREADS):
    """The outcome of the first source, once each source read on every number of threads in chunks of every
    size matched its own outcome on one thread."""
    expected = [outcome(source, raw, 1, at) for source in sources]
    for size in sizes:
        os.environ["TOVAK_RAW_CHUNK"] = str(size)
        for source, alone in zip(sources, expected):
            for n in threads:
                assert outcome(source, raw, n, at) == alone, (size, n, source if isinstance(source, str) else "bytes")
        assert outcome(sources[0], raw, 2, at, errors="skip") == expected[0]
    return expected[0]


def sources_of(data, tmp_path):
    """The bytes themselves, a file, and the file compressed."""
    plain, packed = tmp_path / "data.json", tmp_path / "data.json.gz"
    plain.write_bytes(data)
    packed.write_bytes(gzip.compress(data, 1))
    return [data, str(plain), str(packed)]


TRICKY_TEXT = st.text(alphabet=st.sampled_from(['"', "\\", "[", "]", "{", "}", ",", " ", "a", "é", "\n", "\U0001f600"]),
                      max_size=8)
values = json_values(text=TRICKY_TEXT, keys=TRICKY_TEXT, width=4, leaves=10)
DAMAGE = st.sampled_from(["", "cut", "tail", "utf8", "byte"])


def damaged(data, damage, where):
    where %= len(data) + 1
    if damage == "cut":
        return data[:where]
    if damage == "tail":
        return data + b" x"
    if damage == "utf8":
        return data[:where] + b"\xff" + data[where:]
    if damage == "byte":
        return data[:where] + b"}" + data[where + 1:]
    return data


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(document=st.dictionaries(st.sampled_from(["a", "b", "c~/"]), values, max_size=4) | st.lists(values, max_size=8),
       indent=st.sampled_from([None, 0, 2]), ascii=st.booleans(), raw=st.sampled_from(RAW_AND_VALUES),
       at=st.sampled_from([None, "", "/a", "/0", "/c~0~1", "/a/1"]), damage=DAMAGE, where=st.integers(0, 10**6))
def test_documents_match_one_thread(tmp_path, document, indent, ascii, raw, at, damage, where):
    text = json.dumps(document, indent=indent, ensure_ascii=ascii).encode("utf-8", "surrogatepass")
    data = damaged(text, damage, where)
    if raw is False and at is None:
        at = ""  # values are cut ahead only at a pointer (without one, elements whose text fails are skippable)
    expected = assert_same_as_one_thread(sources_of(data, tmp_path), raw, at, sizes=[1, 7, 64], threads=[2, 3])
    if damage == "" and raw is True and at is None and isinstance(document, list):
        assert [json.loads(r) for r in expected[0]] == json.loads(text)


# Damage at every position of a short array of records of every kind, read in chunks of every small size:
# each error meets each chunk boundary.
ARRAY = b'[ {"k": "v\\"\\u00e9", "n": [1, -2.5e3]} ,\n "\xc3\xa9\xf0\x9f\x98\x80", true, null, 12, [ ], {} ]'


@pytest.mark.parametrize("raw", RAW_AND_VALUES)
@pytest.mark.parametrize("damage", ["cut", "utf8", "byte"])
def test_damage_at_every_chunk_boundary(raw, damage):
    at = "" if raw is False else None  # values are cut ahead only at a pointer
    for where in range(len(ARRAY) + 1):
        assert_same_as_one_thread([damaged(ARRAY, damage, where)], raw, at, sizes=[1, 3, 5], threads=[2])


@pytest.mark.parametrize("raw", RAW_AND_VALUES)
@pytest.mark.parametrize("at, text", [
    ("/features", b'{"type": "x", "features": [1, {"a": [2]}, "three"], "after": {"b": 4}}'),
    ("/m", b'{"m": {"k1": [1, 2], "k\\u00e9 2": {"x": null}, "": "e"}}'),
    ("/m/k", b'{"m": {"j": 1}}'),                      # a member that is not there
    ("/m/3", b'{"m": [1, 2]}'),                        # an index past the end
    ("/m/x", b'{"m": "text"}'),                        # a scalar on the way
    ("/big", b'{"big": ["' + b"x" * 5000 + b'", {"y": "' + b"z" * 3000 + b'"}]}'),  # records longer than chunks
])
def test_pointers_match_one_thread(tmp_path, raw, at, text):
    assert_same_as_one_thread(sources_of(text, tmp_path), raw, at)


@pytest.mark.parametrize("raw", RAW)
def test_damaged_compressed_input_matches_one_thread(tmp_path, raw):
    """The decompressor's error ends a read: the records before it come first, then the error, as on one
    thread (and what a later call gives)."""
    data = b"[" + b", ".join(b'{"n": %d, "s": "some text"}' % i for i in range(5000)) + b"]"
    packed = gzip.compress(data)
    path = tmp_path / "cut.json.gz"
    path.write_bytes(packed[: len(packed) * 2 // 3])
    got, failed, _, _ = assert_same_as_one_thread([str(path)], raw, sizes=[5, 4096, 0], threads=[2])
    assert got and failed[0] == "CompressionError"


@pytest.mark.parametrize("raw, at", [(True, None), ("compact", None), (False, "/rows"), (True, "/rows")])
@pytest.mark.parametrize("bad", [b"\xff", b"\xe2\x82", b"\xed\xa0\x80", b"\xf0\x9f\x98"])
def test_utf8_judged_by_the_reading_thread(monkeypatch, tmp_path, raw, at, bad):
    """The calling thread may judge the UTF-8 of the chunks it reads for the worker (TOVAK_JUDGE_AHEAD: every
    chunk): ill-formed bytes just before, across and just after a chunk boundary give the error of one
    thread, at the same byte, and well-formed text the same records."""
    monkeypatch.setenv("TOVAK_JUDGE_AHEAD", "1")
    row = '{"name": "Zürich 東京 🎉", "n": [1, 2.5]}'
    text = ('{"rows": [' + ", ".join([row] * 40) + "]}").encode()
    chunk = 320  # judged chunks are at least four 64-byte blocks
    cases = [text]
    for boundary in (chunk * 3, chunk * 7 + 64, chunk * 11 + 1):
        for shift in (-3, -1, 0, 1, 2):
            at_byte = boundary + shift
            cases.append(text[:at_byte] + bad + text[at_byte:])
    for data in cases:
        expected = outcome(data, raw, 1, at)
        for size in (chunk, chunk + 64):
            monkeypatch.setenv("TOVAK_RAW_CHUNK", str(size))
            assert outcome(data, raw, 2, at) == expected, (size, data.find(bad))
    assert outcome(text, raw, 2, at)[0] and outcome(cases[1], raw, 2, at)[1]


def test_big_input_with_the_default_chunks(tmp_path):
    element = b'{"id": 12, "name": "some text", "tags": ["a", "b"], "nested": {"x": [1.5, true, null]}}'
    data = b"[\n  " + b",\n  ".join([element] * 60_000) + b"\n]"
    expected = assert_same_as_one_thread(sources_of(data, tmp_path), "compact", sizes=[0], threads=[2])
    assert len(expected[0]) == 60_000
    damaged_late = data[:-5000] + b"}" + data[-4999:]
    assert_same_as_one_thread([damaged_late], True, sizes=[0], threads=[2])


def test_progress_counts_the_input_as_stored(tmp_path, chunks):
    chunks(4096)
    path = tmp_path / "data.json"
    path.write_bytes(b"[" + b'"x", ' * 100_000 + b'"y"]')
    records = tovak.records(str(path), raw=True, threads=2)
    assert records.total_bytes == path.stat().st_size
    seen = [records.bytes_read for _ in zip(range(50_000), records)]
    assert seen == sorted(seen) and 0 < seen[-1] < records.total_bytes
    assert sum(1 for _ in records) == 50_001
    assert records.bytes_read == records.total_bytes


@needs_proc
@pytest.mark.parametrize("stop", ["dropped", "dropped elsewhere", "closed", "error", "end"])
def test_the_worker_is_gone_after(stop, chunks):
    chunks(64)
    data = b"[" + b'"x", ' * 200_000 + (b"}]" if stop == "error" else b"1]")
    before = task_count()
    records = tovak.records(data, raw=True, threads=2)
    assert next(records) == b'"x"'
    assert task_count() == before + 1
    if stop == "dropped elsewhere":  # the last reference goes on another thread
        holder = [records]
        del records
        dropper = threading.Thread(target=holder.clear)
        dropper.start()
        dropper.join()
        assert settled_task_count(before) == before
        return
    if stop == "closed":
        records.close()
    elif stop == "error":
        with pytest.raises(tovak.JSONError):
            for _ in records:
                pass
    elif stop == "end":
        assert sum(1 for _ in records) == 200_000
    del records
    assert settled_task_count(before) == before


@needs_proc
def test_no_worker_below_the_automatic_size_nor_with_one_thread(chunks):
    before = task_count()
    for records in (tovak.records(b"[1, 2]", raw=True), tovak.records(b"[1, 2]", raw=True, threads=1)):
        assert next(records) == b"1"
        assert task_count() == before


@needs_proc
def test_a_file_object_is_read_on_one_thread(tmp_path, chunks):
    chunks(5)
    path = tmp_path / "data.json"
    path.write_bytes(b'[1, {"a": 2}, [3]]')
    before = task_count()
    with open(path, "rb") as f:
        records = tovak.records(f, raw="compact", threads=4)
        assert next(records) == b"1"
        assert task_count() == before
        assert list(records) == [b'{"a":2}', b"[3]"]


def test_records_shared_by_threads_come_once_each(chunks):
    chunks(16)
    records = tovak.records(b"[" + b",".join(b"%d" % i for i in range(3_000)) + b"]", raw=True, threads=2)
    taken, lock = [], threading.Lock()

    def take():
        while True:
            try:
                record = next(records)
            except StopIteration:
                return
            except RuntimeError:  # the other thread is in next()
                continue
            with lock:
                taken.append(int(record))

    workers = [threading.Thread(target=take) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert sorted(taken) == list(range(3_000))


def to_jsonl(path, env=None):
    return subprocess.run([sys.executable, "-m", "tovak", "to-jsonl", str(path)], capture_output=True,
                          env=dict(os.environ, **(env or {})))


@pytest.mark.parametrize("chunk", ["0", "333"])
@pytest.mark.parametrize("damage", ["", "byte"])
def test_to_jsonl_of_a_big_file(tmp_path, chunk, damage):
    element = b'{"id": 7, "text": "a \\"quoted\\" word", "list": [1, 2, {"deep": [true]}]}'
    data = b"[\n" + b",\n".join([element] * 70_000) + b"\n]\n"  # over the size where threads start by themselves
    if damage:
        data = damaged(data, "byte", len(data) - 3000)
    path = tmp_path / "big.json"
    path.write_bytes(data)
    expected, failed, _, _ = outcome(str(path), "_lines", 1)
    done = to_jsonl(path, {"TOVAK_RAW_CHUNK": chunk})
    assert done.stdout == b"".join(expected)
    if failed:
        assert done.returncode == 1
        assert f"line {failed[3]} column {failed[4]}" in done.stderr.decode()
    else:
        assert done.returncode == 0 and done.stderr == b""


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
def test_sigint_stops_raw_records_cut_ahead(tmp_path, chunks):
    chunks(64)  # the child inherits it: many small batches, long enough to be interrupted
    path = tmp_path / "data.json"
    path.write_bytes(b"[" + b'"some text", ' * 4_000_000 + b"1]")
    last, delay = interrupt(f"sum(1 for _ in tovak.records({str(path)!r}, raw=True, threads=2))")
    assert last == "interrupted"
    assert delay < BOUND
