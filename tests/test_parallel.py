"""threads=: load, records and count on several threads give what one thread gives, in every respect.

Batches of records hand over between threads every 8,192 records or 512 KiB of text (64 KiB for records()),
and the JSONL count every MiB of whole lines: the inputs here span several of them, with the bad records
placed on both sides of those boundaries. Every thread count runs on any machine (64 threads on two cores
too). Where the interpreter runs with the GIL every call reads on one thread, and the comparisons hold
there trivially.
"""

import gc
import gzip
import json
import os
import signal
import sys
import threading
import warnings

import pytest
from conftest import json_values, open_fds
from hypothesis import given, settings
from hypothesis import strategies as st

import tovak
from tovak import bigjson

THREADS = [2, 3, 8, 64]
BATCH = 8192  # records per batch, for records shorter than 64 bytes
FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()

values = json_values(text=st.text(max_size=8), width=3, leaves=6)


def outcome(call):
    """What a call gives: its value, or its error with every position the error carries."""
    try:
        return ("value", call())
    except (tovak.JSONError, tovak.PointerError) as error:
        return ("error", *outcome_of(error))


def stream(source, **options):
    """What records() gives: the records up to the first error, that error, and the errors skipped."""
    got = []
    with tovak.records(source, **options) as it:
        result = outcome(lambda: got.extend(it))
        return got, result[1:] if result[0] == "error" else None, [outcome_of(e) for e in it.errors], it.error_count


def outcome_of(error):
    return (type(error).__name__, error.msg, getattr(error, "pos", None), error.lineno, getattr(error, "colno", None),
            error.record)


def as_jsonl(texts, crlf=False):
    return "".join(t + ("\r\n" if crlf else "\n") for t in texts).encode("utf-8", "surrogatepass")


def as_array(texts, spaced=False):
    sep = ",\n  " if spaced else ","
    return ("[" + sep.join(texts) + "]").encode("utf-8", "surrogatepass")


def tiled(records, count):
    """`count` texts cycling through the records' JSON."""
    texts = [json.dumps(r) for r in records]
    return [texts[i % len(texts)] for i in range(count)]


def assert_same(source, fmt, threads, **options):
    """Every function on `threads` threads against one thread."""
    assert outcome(lambda: tovak.load(source, format=fmt, threads=threads, **options)) == \
        outcome(lambda: tovak.load(source, format=fmt, threads=1, **options))
    assert stream(source, format=fmt, threads=threads, **options) == stream(source, format=fmt, threads=1, **options)
    assert stream(source, format=fmt, threads=threads, errors="skip", **options) == \
        stream(source, format=fmt, threads=1, errors="skip", **options)
    assert outcome(lambda: tovak.count(source, format=fmt, threads=threads, **options)) == \
        outcome(lambda: tovak.count(source, format=fmt, threads=1, **options))


@settings(max_examples=12, deadline=None)
@given(records=st.lists(values, min_size=1, max_size=20), count=st.sampled_from([1, 5, BATCH - 1, 2 * BATCH + 3]),
       shape=st.sampled_from(["jsonl", "jsonl-crlf", "array", "array-spaced"]), packed=st.booleans())
def test_random_records_match_one_thread(records, count, shape, packed):
    texts = tiled(records, count)
    data = as_jsonl(texts, shape == "jsonl-crlf") if shape.startswith("jsonl") else as_array(texts, shape.endswith("spaced"))
    if packed:
        data = gzip.compress(data, 1)
    fmt = "jsonl" if shape.startswith("jsonl") else "json"
    expected = [json.loads(t) for t in texts]
    for threads in THREADS:
        assert tovak.load(data, format=fmt, threads=threads) == expected
        assert list(tovak.records(data, format=fmt, threads=threads)) == expected
        assert tovak.count(data, format=fmt, threads=threads) == count


# Bad records of every kind the reading meets: the parser's, the cutter's (UTF-8, blank elements).
BAD = {
    "syntax": b'{"a": tru}',
    "missing-comma": b"[1 2]",
    "stray-bracket": b'{"a": 1]',
    "invalid-utf8": b'"\xff"',
    "blank": b"",
    "control-character": b'"a\tb"',
}


def with_bad(shape, count, positions, bad, long_records=False):
    """`count` good records with `bad` at each of `positions`, as bytes of the shape."""
    pad = b"x" * (80 if long_records else 0)
    pieces = [bad if i in positions else b'{"id": %d, "pad": "%s"}' % (i, pad) for i in range(count)]
    if shape == "jsonl":
        return b"".join(p + b"\n" for p in pieces)
    return b"[" + b",\n".join(pieces) + b"]"


@pytest.mark.parametrize("shape", ["jsonl", "array"])
@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("positions", [(0,), (BATCH - 1,), (BATCH,), (BATCH + 1,), (BATCH - 1, BATCH, 2 * BATCH),
                                       (3 * BATCH + 9,)])
def test_bad_records_at_batch_boundaries(shape, bad, positions):
    data = with_bad(shape, 3 * BATCH + 10, set(positions), BAD[bad])
    assert_same(data, "json" if shape == "array" else "jsonl", 2)


def records_reaching(texts, size):
    """The indexes of the records at which the text of the records so far first reaches each multiple of `size`."""
    reached, total, bound = [], 0, size
    for i, text in enumerate(texts):
        total += len(text)
        if total >= bound:
            reached.append(i)
            bound = total + size
    return reached


@pytest.mark.parametrize("shape", ["jsonl", "array"])
@pytest.mark.parametrize("bad", ["syntax", "invalid-utf8", "blank"])
def test_bad_records_at_the_byte_bound_of_streamed_batches(shape, bad):
    # records() closes a batch at the first record that brings its text to 64 KiB; the bad records sit at
    # and beside the first three such records (the bound shifts by a few bytes with each bad record).
    count = 12_000
    good = [b'{"id": %d, "pad": ""}' % i for i in range(count)]
    ends = records_reaching(good, 64 << 10)[:3]
    positions = {p for end in ends for p in (end - 1, end, end + 1)}
    assert_same(with_bad(shape, count, positions, BAD[bad]), "json" if shape == "array" else "jsonl", 2)


@pytest.mark.parametrize("shape", ["jsonl", "array"])
@pytest.mark.parametrize("threads", THREADS)
def test_bad_records_in_long_batches_and_gzip(shape, threads):
    # Records of about 100 bytes: batches close at 512 KiB, JSONL count ranges at 1 MiB.
    per_batch = (512 << 10) // 100
    positions = {per_batch - 1, per_batch, 2 * per_batch + 1, 10_450, 20_900}
    data = with_bad(shape, 25_000, positions, BAD["syntax"], long_records=True)
    fmt = "json" if shape == "array" else "jsonl"
    assert_same(data, fmt, threads)
    assert_same(gzip.compress(data, 1), fmt, threads)


@pytest.mark.parametrize("text", [b"[1, 2", b"[1, 2,", b"[1,,2]", b"[1] x", b"[1]\n]", b"[]", b"[ ]", b"  [1]  ",
                                  b"[\xff]", b'[1, "\xff"]', b"[{]", b"1", b"", b" ", b'{"a": [1]}',
                                  b"[" + b"1," * 20000 + b"}", b"[" + b"1," * 20000 + b"2"])
@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_damaged_structure_matches_one_thread(text, fmt):
    assert_same(text, fmt, 3)


@pytest.mark.xfail(FREE_THREADED, strict=True, reason="load of a JSON text on one thread checks all of its UTF-8 before parsing; "
                                       "on several, the first error in file order is reported")
def test_load_of_an_array_with_a_syntax_error_before_bad_utf8():
    assert_same(b"[1 2] \xff", "json", 2)


@pytest.mark.parametrize("threads", [2, 8])
def test_jsonl_count_ranges_with_bad_utf8_and_long_lines(threads):
    line = b'{"k": "' + b"v" * 200 + b'"}\n'
    body = line * 12_000  # about 2.5 MiB: three count ranges
    for at in (len(body) // 2, (1 << 20) - 3, (1 << 20) + 300, len(body) - 5):
        bad = body[:at] + b"\xff" + body[at + 1:]
        assert outcome(lambda: tovak.count(bad, format="jsonl", threads=threads)) == \
            outcome(lambda: tovak.count(bad, format="jsonl", threads=1))
    huge = b"[" + b"1," * 1_500_000 + b"1]\n" + line + b"\n   \n" + line[:-1]  # a line longer than a range, no final feed
    assert tovak.count(huge, format="jsonl", threads=threads) == 3


def under_pointer(shape, count, position, bad):
    """`count` records at a pointer with `bad` at `position` (None: all good): (bytes, format, pointer)."""
    pieces = [bad if i == position else b'{"id": %d, "tags": ["t%d"]}' % (i, i % 7) for i in range(count)]
    if shape == "array":
        body = b",\n".join(pieces)
        return b'{"meta": {"n": [1, 2]}, "data": {"rows": [' + body + b']}, "tail": [{"x": 1}]}', "json", "/data/rows"
    if shape == "object":
        body = b", ".join(b'"k%d": %s' % (i, piece) for i, piece in enumerate(pieces))
        return b'{"rows": {' + body + b'}, "after": null}', "json", "/rows"
    lines = [b'{"x": 1}' if i == position and bad == b"missing" else b'{"row": %s}' % piece
             for i, piece in enumerate(pieces)]
    return b"\n".join(lines) + b"\n", "jsonl", "/row"


@pytest.mark.parametrize("shape", ["array", "object", "jsonl"])
@pytest.mark.parametrize("bad, position", [(None, None), (b'{"a": tru}', 0), (b'"\xff"', BATCH), (b'"a\tb"', BATCH + 1),
                                           (b"missing", 2 * BATCH + 5)])
def test_records_under_a_pointer_match_one_thread(shape, bad, position):
    if bad == b"missing" and shape != "jsonl":
        pytest.skip("a line without the pointer is a JSONL error")
    data, fmt, at = under_pointer(shape, 3 * BATCH + 10, position, bad)
    for threads in (2, 3):
        assert_same(data, fmt, threads, at=at)
    if bad is None:
        expected = list(tovak.records(data, format=fmt, at=at, threads=1))
        assert list(tovak.records(gzip.compress(data, 1), format=fmt, at=at, threads=8)) == expected
        assert [r for r in tovak.records(data, format=fmt, at="", threads=64)] == \
            list(tovak.records(data, format=fmt, at="", threads=1))


@pytest.mark.parametrize("text", [b'{"a": {"x": 1, "y": [2], "x": 3}}', b'{"a": {"x": [1], "y": [2], "x": {"z": [3]}}}',
                                  b'{"a": "s"}', b'{"a": []}', b'{"a": {}}',
                                  b'{"a": null, "b": [1]}', b'{"b": 1}', b'[1]', b'{"a": [1], "b": tru}',
                                  b'{"a": {"k": 1}} x', b'{"a": [1, {"b": [}]}'])
def test_load_at_on_threads_matches_one_thread(text):
    # The value at the pointer put together from its records: a list, a dict (the last of duplicate keys), a
    # single value; or the same error.
    for threads in (2, 8):
        assert outcome(lambda: tovak.load(text, at="/a", threads=threads)) == \
            outcome(lambda: tovak.load(text, at="/a", threads=1))
    lines = text + b"\n" + text + b"\n"
    assert outcome(lambda: tovak.load(lines, format="jsonl", at="/a", threads=2)) == \
        outcome(lambda: tovak.load(lines, format="jsonl", at="/a", threads=1))
    gc.collect()  # the containers of keys given twice, dropped from the dict, were freed soundly


def test_at_and_raw_give_the_same_results_with_threads():
    data = json.dumps({"rows": list(range(20_000)), "meta": {"a": 1}}).encode()
    assert tovak.load(data, at="/rows", threads=4) == list(range(20_000))
    assert list(tovak.records(data, at="/meta", threads=4)) == [("a", 1)]
    assert list(tovak.records(data, at="/rows", raw=True, threads=4))[:2] == [b"0", b"1"]
    lines = b'{"a": [1,  2]}\n' * 20_000
    assert list(tovak.records(lines, raw="compact", threads=4)) == [b'{"a":[1,2]}'] * 20_000
    assert tovak.count(data, at="/rows", threads=4) == 20_000


def task_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("ending", ["close", "del", "exhaust-error", "with"])
def test_abandoned_iterators_leave_no_thread_or_descriptor(tmp_path, ending):
    path = tmp_path / "data.jsonl.gz"
    path.write_bytes(gzip.compress(with_bad("jsonl", 5 * BATCH, {4 * BATCH}, BAD["syntax"])))
    good = as_jsonl(tiled([{"a": 1}], 3 * BATCH))
    # The parsing workers outlive calls: these start them, and the iterator takes them from the idle.
    tovak.load(good, threads=8)
    gc.collect()
    tasks, fds = task_count(), open_fds()
    it = tovak.records(str(path), threads=8)
    first = [next(it) for _ in range(BATCH + 5)]
    assert first[-1] == {"id": BATCH + 4, "pad": ""}
    if ending == "close":
        it.close()
    elif ending == "with":
        with it:
            next(it)
    elif ending == "exhaust-error":
        with pytest.raises(tovak.JSONError):
            list(it)
        it.close()
    del it
    gc.collect()
    # Every worker is idle again: a call that wants as many starts none.
    tovak.load(good, threads=8)
    assert task_count() <= tasks  # (fewer when idle ones ended meanwhile)
    assert open_fds() == fds


def test_records_read_ahead_in_bounded_memory(tmp_path):
    """The workers parse at most a few batches ahead, however slowly the consumer goes."""
    path = tmp_path / "big.jsonl"
    path.write_bytes((b'{"k": "' + b"v" * 1000 + b'", "n": [1, 2, 3]}\n') * 60_000)  # 60 MB
    it = tovak.records(str(path), threads=2)
    next(it)
    for _ in range(20):
        threading.Event().wait(0.01)
    assert it.bytes_read < 16 << 20  # read-ahead: a few batches per worker, plus the read ring
    assert sum(1 for _ in it) == 59_999


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-1, ValueError), (True, TypeError), ("2", TypeError),
                                            (2.0, TypeError), (-(2**80), ValueError)])
@pytest.mark.parametrize("call", [tovak.load, tovak.records, tovak.count])
def test_threads_is_checked(call, threads, error):
    with pytest.raises(error, match="threads"):
        call(b"[1]", threads=threads)


@pytest.mark.parametrize("threads", [None, 1, 2, 10**30])
def test_threads_accepts_none_and_any_positive_count(threads):
    assert tovak.load(b"[1, 2]", threads=threads) == [1, 2]
    assert list(tovak.records(b"1\n2\n", threads=threads)) == [1, 2]
    assert tovak.count(b"1\n2\n", threads=threads) == 2


def test_concurrent_calls_share_nothing():
    data = as_jsonl(tiled([{"a": [1, "x"]}, {"b": None}], 3 * BATCH))
    expected = tovak.load(data, threads=1)
    results = []
    workers = [threading.Thread(target=lambda: results.append(tovak.load(data, threads=3) == expected))
               for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == [True] * 4


class Alarm(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("threads", [2, 3])
@pytest.mark.parametrize("fmt, at", [("jsonl", None), ("json", None), ("json", "/rows")])
def test_an_exception_from_a_signal_handler_ends_a_parallel_load(fmt, at, threads):
    """The calling thread parses batches too; a handler's exception raised meanwhile is the call's."""
    texts = tiled([{"a": [1, "x", {"b": None}], "c": 2.5}], 60_000)
    data = as_jsonl(texts) if fmt == "jsonl" else as_array(texts)
    if at:
        data = b'{"rows": ' + data + b"}"

    def ring(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    gc.disable()  # a handler run inside a collector callback (hypothesis installs one) loses its exception
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Alarm):
            for _ in range(200):  # lost inside a call, the alarm would let every call finish
                tovak.load(data, format=fmt, at=at, threads=threads)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()


@pytest.mark.skipif(not FREE_THREADED, reason="the free-threaded collector walks the whole heap on every pass")
@pytest.mark.parametrize("load", [
    lambda path: tovak.load(path, threads=1),
    lambda path: tovak.load(path, threads=2),
    lambda path: tovak.load(path, at="", threads=1),
    lambda path: bigjson.load(str(path)),
], ids=["one-thread", "two-threads", "at", "bigjson"])
def test_a_big_document_is_built_without_the_collectors_passes(tmp_path, load):
    """That collector walks every object on each pass, and a long call runs a scheduled pass whenever it
    checks for signals: left on, it would walk the growing document about five times over."""
    path = tmp_path / "big.json"
    path.write_bytes(b"[" + b",".join([b'{"a": [1]}'] * 1_000_000) + b"]")
    passes = []

    def count(phase, info):
        if phase == "stop":
            passes.append(info)

    gc.collect()
    gc.callbacks.append(count)
    try:
        value = load(path)
    finally:
        gc.callbacks.remove(count)
    assert len(value) == 1_000_000
    assert len(passes) <= 1  # none while it builds; at most the one its growth asks for after it


@pytest.mark.parametrize("enabled", [True, False])
def test_loads_leave_the_collectors_switch_as_they_found_it(tmp_path, enabled):
    path = tmp_path / "data.json"
    path.write_bytes(b"[" + b",".join([b'{"a": [1, 2]}'] * 50_000) + b"]")
    errors = []

    def work():
        try:
            for threads in (1, 2, 1, 3):
                tovak.load(path, threads=threads)
                bigjson.load(str(path))
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    (gc.enable if enabled else gc.disable)()
    try:
        with pytest.raises(tovak.JSONError):
            tovak.load(b"[1, {]")
        assert gc.isenabled() == enabled
        workers = [threading.Thread(target=work) for _ in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        assert not errors
        assert gc.isenabled() == enabled
    finally:
        gc.enable()


@pytest.mark.skipif(not FREE_THREADED or not hasattr(os, "fork"), reason="a pause exists on the free-threaded build")
def test_a_child_forked_during_a_load_gets_its_collector_back():
    data = b"[" + b",".join([b'{"a": [1]}'] * 3_000_000) + b"]"
    loading = threading.Thread(target=tovak.load, args=(data,))
    loading.start()
    try:
        while gc.isenabled() and loading.is_alive():
            pass
        if not loading.is_alive():
            pytest.skip("the load ended before it could be caught")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
            pid = os.fork()
        if pid == 0:
            os._exit(0 if gc.isenabled() else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        loading.join()
    assert gc.isenabled()
