"""Many threads at once: all four functions on shared files, and one iterator shared between threads.

On a free-threaded interpreter the threads really run in parallel inside the module; under the GIL the
same tests still check that interleaved calls give the single-threaded answers. Every loop is bounded by
a deadline of its own and by a count; nothing asserts on time.
"""

import json
import sys
import threading
import time

import pytest
from conftest import run_threads

from tovak import bigjson

THREADS = 8
SECONDS = 1.0  # per test
FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()


ROWS = [{"id": i, "name": f"n{i}\u00e9", "tags": ["a", str(i)], "score": i / 3, "ok": i % 2 == 0}
        for i in range(3000)]


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """Files in every shape with the outcomes a single thread sees, as (path, format) -> expectation."""
    root = tmp_path_factory.mktemp("stress")
    files = {
        "array.json": json.dumps(ROWS).encode(),  # several 64 KiB chunks
        "lines.jsonl": "\n".join(json.dumps(row) for row in ROWS).encode() + b"\n\n",
        "document.json": json.dumps({"rows": ROWS[:50]}).encode(),
        "bad-element.json": b"[1, 2, {oops}, 4]",
        "bad-line.jsonl": b'{"a": 1}\n{oops}\n',
        "empty.jsonl": b"",
    }
    paths = {}
    for name, data in files.items():
        (root / name).write_bytes(data)
        paths[name] = str(root / name)
    expected = {}
    for name, path in paths.items():
        expected[name] = {
            "count": bigjson.count(path),
            "schema": outcome(lambda: bigjson.schema(path, 20)),
            "load": outcome(lambda: bigjson.load(path)),
            "iter_records": outcome(lambda: steps(bigjson.iter_records(path))),
        }
    # The single-threaded answers are right to begin with.
    assert expected["array.json"]["load"] == ("ok", ROWS)
    assert expected["lines.jsonl"]["iter_records"] == ("ok", ROWS)
    assert expected["lines.jsonl"]["count"] == len(ROWS)
    assert expected["bad-element.json"]["iter_records"] == (
        "ok", [1, 2, ("ValueError", "invalid JSON element: key must be a string at line 1 column 2"), 4])
    return paths, expected


def outcome(call):
    try:
        return "ok", call()
    except (ValueError, RuntimeError) as error:
        return type(error).__name__, str(error)


def steps(it):
    out = []
    while True:
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except ValueError as error:
            out.append(("ValueError", str(error)))


CALLS = {
    "count": lambda path: bigjson.count(path),
    "schema": lambda path: outcome(lambda: bigjson.schema(path, 20)),
    "load": lambda path: outcome(lambda: bigjson.load(path)),
    "iter_records": lambda path: outcome(lambda: steps(bigjson.iter_records(path))),
}


def test_all_functions_on_shared_files(shared):
    paths, expected = shared
    jobs = [(name, call) for name in paths for call in CALLS]
    checked = [0] * THREADS

    def work(k):
        deadline = time.monotonic() + SECONDS
        i = k  # each thread starts at another job, so different calls overlap
        while time.monotonic() < deadline and i < k + 2000:
            name, call = jobs[i % len(jobs)]
            got = CALLS[call](paths[name])
            assert got == expected[name][call], (name, call)
            checked[k] += 1
            i += 1

    assert run_threads(work) == []
    assert all(n > 0 for n in checked)


def test_iterators_made_and_dropped_while_others_load(shared):
    paths, expected = shared

    def work(k):
        deadline = time.monotonic() + SECONDS
        for _ in range(2000):
            if time.monotonic() > deadline:
                return
            if k % 2:
                its = [bigjson.iter_records(paths["lines.jsonl"]) for _ in range(8)]
                for j, it in enumerate(its):
                    for row in ROWS[:j]:
                        assert next(it) == row
                del its
            else:
                assert bigjson.load(paths["array.json"]) == ROWS

    assert run_threads(work) == []


@pytest.mark.parametrize("name", ["array.json", "lines.jsonl"])
def test_one_iterator_shared_by_threads(shared, name):
    """Each record comes out exactly once overall; a clash is an immediate RuntimeError, never a wrong,
    repeated or lost record, and the progress counter never goes back."""
    paths, _ = shared
    it = bigjson.iter_records(paths[name])
    total = it.total_bytes
    taken = [[] for _ in range(THREADS)]
    clashes = {"next": 0, "poll": 0}
    finished = threading.Event()

    def take(k):
        while True:
            try:
                taken[k].append(next(it))
            except StopIteration:
                finished.set()
                return
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                clashes["next"] += 1

    def poll():
        last = 0
        for _ in range(1_000_000):
            if finished.is_set():
                return
            try:
                seen = it.bytes_read
                assert last <= seen <= total
                last = seen
                assert it.total_bytes == total
                assert iter(it) is it
            except RuntimeError as error:
                assert str(error) == "Already mutably borrowed"
                clashes["poll"] += 1

    pollers = 2
    raised = run_threads(lambda k: poll() if k < pollers else take(k))
    assert raised == []
    records = [record for part in taken for record in part]
    assert len(records) == len(ROWS)
    assert sorted(records, key=lambda row: row["id"]) == ROWS
    # Each thread saw its own records in file order.
    for part in taken:
        ids = [row["id"] for row in part]
        assert ids == sorted(ids)
    with pytest.raises(StopIteration):
        next(it)
    if FREE_THREADED:
        print(f"clashes: {clashes}")


@pytest.mark.skipif(not FREE_THREADED, reason="needs threads running in parallel")
def test_free_threaded_interpreter_stays_free(shared):
    """The module's calls never switch the GIL back on."""
    paths, _ = shared
    assert run_threads(lambda k: CALLS["load"](paths["array.json"])) == []
    assert not sys._is_gil_enabled()
