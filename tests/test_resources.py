"""Resources under every outcome: file descriptors, memory, files beyond 4 GiB, very large records.

The module runs inside the caller's process, so a descriptor or buffer it forgets is the caller's loss.
Every call and every iterator is checked against /proc/self/fd, whatever way it ends.
"""

import fcntl
import gc
import json
import os
import resource
import time
import tracemalloc

import pytest
from conftest import open_fds

from tovak import bigjson

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")

# Under AddressSanitizer freed memory waits in a quarantine, so the resident size says nothing about leaks.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def drained(it):
    """Every outcome of an iterator, errors included, until StopIteration or a read error, which repeats."""
    outcomes = []
    for _ in range(1_000_000):
        try:
            outcomes.append(next(it))
        except StopIteration:
            return outcomes
        except ValueError as error:
            outcomes.append(error)
        except RuntimeError as error:
            if "(os error" in str(error):
                return outcomes
            outcomes.append(error)
    raise AssertionError("iterator did not end")


# Files whose records succeed, fail to parse, fail to read, or that are empty; each under every format that
# applies to it. The directory is the one read failure every system gives: it opens, then fails on read.
FILES = {
    "array": ("a.json", b'[1, {"k": [true, null]}, "s"]'),
    "document": ("d.json", b'{"k": 1}'),
    "lines": ("l.jsonl", b'{"a": 1}\n\n[2]\n'),
    "empty": ("e.json", b""),
    "bad-element": ("be.json", b"[1, nope, 3]"),
    "bad-document": ("bd.json", b'{"k": }'),
    "bad-line": ("bl.jsonl", b"1\nnope\n3\n"),
    "bad-utf8-line": ("bu.jsonl", b"1\n\xff\n3\n"),
    "utf8-in-array": ("ua.json", b'["\xff", 2]'),
    "unclosed": ("uc.json", b"[1, 2"),
    "jsonl-as-json": ("lj.json", b'{"a": 1}\n{"b": 2}\n'),
}
FORMATS = [None, "json", "jsonl"]


@pytest.fixture
def files(tmp_path):
    paths = {}
    for kind, (name, data) in FILES.items():
        (tmp_path / name).write_bytes(data)
        paths[kind] = str(tmp_path / name)
    (tmp_path / "dir.json").mkdir()
    paths["directory"] = str(tmp_path / "dir.json")
    (tmp_path / "dir").mkdir()
    paths["directory-unnamed"] = str(tmp_path / "dir")  # sniffing reads it
    paths["missing"] = str(tmp_path / "missing.json")
    return paths


CALLS = {
    "count": lambda path, fmt: bigjson.count(path, fmt),
    "load": lambda path, fmt: bigjson.load(path, fmt),
    "schema": lambda path, fmt: bigjson.schema(path, 100, fmt),
    "schema-1": lambda path, fmt: bigjson.schema(path, 1, fmt),
    "iter_records": lambda path, fmt: drained(bigjson.iter_records(path, fmt)),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("kind", [*FILES, "directory", "directory-unnamed", "missing"])
@pytest.mark.parametrize("call", CALLS)
def test_no_descriptor_survives_a_call(files, call, kind, fmt):
    before = open_fds()
    try:
        CALLS[call](files[kind], fmt)
    except (ValueError, RuntimeError):
        pass
    gc.collect()
    assert open_fds() == before


@pytest.mark.parametrize(
    "call",
    [
        lambda p: bigjson.count(p, "xml"),
        lambda p: bigjson.load(p, format=3),
        lambda p: bigjson.schema(p, -1),
        lambda p: bigjson.schema(p, sample=None),
        lambda p: bigjson.iter_records(p.encode()),
        lambda p: bigjson.iter_records(p + "\0"),
        lambda p: bigjson.load(p, "json", "extra"),
    ],
    ids=["format-name", "format-type", "negative-sample", "none-sample", "bytes-path", "nul-path", "too-many"],
)
def test_no_descriptor_survives_an_argument_error(files, call):
    before = open_fds()
    with pytest.raises((ValueError, TypeError, OverflowError)):
        call(files["array"])
    assert open_fds() == before


# --- iterators -----------------------------------------------------------------------------------


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("kind", [*FILES, "directory"])
@pytest.mark.parametrize("steps", [0, 1, 2, 100], ids=["unstarted", "one-step", "two-steps", "exhausted"])
def test_iterator_holds_one_descriptor_until_deleted(files, kind, fmt, steps):
    before = open_fds()
    it = bigjson.iter_records(files[kind], fmt)
    for _ in range(steps):
        try:
            next(it)
        except StopIteration:
            break
        except (ValueError, RuntimeError):
            pass
    opened = open_fds() - before
    assert len(opened) == 1
    # Not inherited by child processes.
    assert fcntl.fcntl(int(opened.pop()), fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    del it
    assert open_fds() == before  # closed on deallocation, without waiting for the collector


def test_iterator_errors_at_call_time_open_nothing(files):
    before = open_fds()
    for path, fmt in [(files["missing"], None), (files["missing"], "jsonl"), (files["directory-unnamed"], None),
                      (files["array"], "yaml")]:
        with pytest.raises(ValueError):
            bigjson.iter_records(path, fmt)
    assert open_fds() == before


def test_iterators_dropped_in_bulk_and_in_cycles(files):
    before = open_fds()
    iterators = [bigjson.iter_records(files[kind]) for kind in ("array", "lines", "bad-line") for _ in range(50)]
    for it in iterators[::3]:
        next(it)
    holder = {"its": iterators}
    holder["self"] = holder  # only the collector frees this
    assert len(open_fds() - before) == 150
    del iterators, holder, it
    gc.collect()
    assert open_fds() == before


def test_many_more_calls_than_the_descriptor_limit(files):
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    rounds = min(soft, 4096) + 16
    before = open_fds()
    for _ in range(rounds):
        bigjson.count(files["lines"])
        with pytest.raises(ValueError):
            bigjson.load(files["bad-element"])
        for _ in bigjson.iter_records(files["array"]):
            pass
    assert open_fds() == before


# --- memory --------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A few hundred kilobytes in each shape, with records that allocate: strings, keys, nesting."""
    root = tmp_path_factory.mktemp("memory")
    rows = [{"id": i, "name": f"user-{i}" * 3, "tags": ["x", str(i)], "score": i / 7, "nested": {"k": [i] * 4}}
            for i in range(2000)]
    text = json.dumps(rows)
    made = {
        "array.json": text.encode(),
        "lines.jsonl": "\n".join(json.dumps(row) for row in rows).encode(),
        "document.json": json.dumps({"rows": rows}).encode(),
        "bad-late.json": (json.dumps(rows[:-5])[:-1] + ", {oops}, " + json.dumps(rows[-5:])[1:]).encode(),
        "bad-late.jsonl": ("\n".join(json.dumps(row) for row in rows[:-5]) + "\n{oops}\n").encode(),
    }
    paths = {}
    for name, data in made.items():
        (root / name).write_bytes(data)
        paths[name] = str(root / name)
    return paths


def exercise(paths):
    for name, path in paths.items():
        bad = name.startswith("bad")
        try:
            bigjson.load(path)
            assert not bad
        except ValueError:
            assert bad
        bigjson.count(path)
        try:
            bigjson.schema(path, 10_000)
            assert not bad
        except ValueError:
            assert bad
        it = bigjson.iter_records(path)
        for _ in range(3):
            next(it, None)
        del it  # abandoned half-way
        for _ in drained(bigjson.iter_records(path)):
            pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_python_objects_do_not_accumulate(corpus):
    """Every object a call makes is either returned or released: traced memory stops growing."""
    exercise(corpus)
    gc.collect()
    tracemalloc.start()
    try:
        # Some memory is released a round late (the free-threaded interpreter frees lazily): a few rounds
        # settle it, and only growth from round to round after that counts.
        for _ in range(3):
            exercise(corpus)
            gc.collect()
        settled, _ = tracemalloc.get_traced_memory()
        for _ in range(5):
            exercise(corpus)
            gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - settled
    finally:
        tracemalloc.stop()
    # One object leaked per record would be well over a megabyte here (each round makes ~60,000 records).
    assert grown < 256 * 1024, f"{grown} bytes of Python objects kept"


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer keeps freed memory in quarantine")
def test_native_memory_stays_flat(corpus):
    """Buffers, element texts and parser state are freed: the resident size levels off after warm-up."""
    for _ in range(3):
        exercise(corpus)
    gc.collect()
    baseline = resident_bytes()
    for _ in range(20):
        exercise(corpus)
    gc.collect()
    grown = resident_bytes() - baseline
    # 20 rounds make some 6,000 calls and iterators: a leaked 64 KiB chunk each would be ~400 MB, a leaked
    # element buffer each ~100 MB. The margin leaves room for the allocator's own caches.
    assert grown < 48 * 1024 * 1024, f"resident size grew by {grown} bytes"


# --- files larger than 4 GiB ---------------------------------------------------------------------

HUGE_HOLE = (1 << 32) + 4096 * 3 + 5
skip_huge = pytest.mark.skipif(
    os.environ.get("TOVAK_SKIP_HUGE_FILES") == "1", reason="TOVAK_SKIP_HUGE_FILES=1: reads 4 GiB of holes"
)


@pytest.fixture
def sparse(tmp_path):
    """A file of `head`, a hole just past 4 GiB (read as NUL bytes, stored as nothing), then `tail`.

    Reading the hole costs no disk, but the system fills 4 GiB of page cache with zeros, some 15 s here;
    the file goes at once afterwards, and its cache with it."""
    made = []

    def make(name, head, tail):
        path = tmp_path / name
        made.append(path)
        with open(path, "wb") as f:
            f.write(head)
            f.truncate(len(head) + HUGE_HOLE)
            f.seek(0, os.SEEK_END)
            f.write(tail)
        if os.stat(path).st_blocks * 512 > 1 << 24:
            pytest.skip("the file system does not keep holes")
        return str(path)

    yield make
    for path in made:
        path.unlink()


@skip_huge
@pytest.mark.parametrize(
    "name, head, tail, expected",
    [
        # NUL bytes are content inside an array: an element of 4 GiB, then one more.
        ("huge.json", b"[", b",1]", 2),
        # A JSONL line of 4 GiB of NUL bytes (valid UTF-8, not white space) between two short ones.
        ("huge.jsonl", b"1\n", b"\n2\n", 3),
    ],
)
def test_count_past_four_gibibytes(sparse, name, head, tail, expected, record_property):
    path = sparse(name, head, tail)
    started = time.monotonic()
    assert bigjson.count(path) == expected
    record_property("seconds", round(time.monotonic() - started, 2))


def test_progress_counters_past_four_gibibytes(sparse):
    path = sparse("big.json", b"[7, ", b"]")
    size = os.path.getsize(path)
    assert size > 1 << 32
    it = bigjson.iter_records(path)
    assert it.total_bytes == size
    assert next(it) == 7  # the first chunk is enough
    assert it.bytes_read == 65536
    # Sampling stops at the first comma too: only the first chunk is read.
    assert json.loads(bigjson.schema(path, 1)) == "int"


# --- records of tens of megabytes ----------------------------------------------------------------

BIG = 20 * 1024 * 1024


@pytest.fixture(scope="module")
def big_values():
    return {
        "string": "ab\u00e9\u4e2d\U0001F600\\\"\n" * (BIG // 16),
        "numbers": list(range(BIG // 8)),
        "objects": [{"k": i, "v": [i, str(i)]} for i in range(BIG // 30)],
    }


@pytest.mark.parametrize(
    "layout, shape",
    [(layout, shape) for layout in ("element", "line", "document") for shape in ("string", "numbers")]
    + [("element", "objects")],
)
def test_one_record_of_tens_of_megabytes(tmp_path, big_values, shape, layout):
    value = big_values[shape]
    text = json.dumps(value, ensure_ascii=False)
    if layout == "element":
        path, data, expected = tmp_path / "e.json", f"[1, {text}, 2]", [1, value, 2]
    elif layout == "line":
        path, data, expected = tmp_path / "l.jsonl", f"1\n{text}\n2", [1, value, 2]
    else:
        path, data, expected = tmp_path / "d.json", f'  {{"v": {text}}}\n', {"v": value}
    path.write_text(data, encoding="utf-8")
    assert len(data.encode()) > 16 * 1024 * 1024
    path = str(path)

    assert bigjson.load(path) == expected
    assert list(bigjson.iter_records(path)) == (expected if layout != "document" else [expected])
    assert bigjson.count(path) == (3 if layout != "document" else 1)
    element_schema = {"string": "str", "numbers": ["int"], "objects": [{"k": "int", "v": ["int|str"]}]}[shape]
    if layout == "document":
        expected_schema = {"v": element_schema}
    elif shape == "string":
        expected_schema = "int|str"
    else:
        expected_schema = {"__oneof__": ["int", element_schema]}
    assert json.loads(bigjson.schema(path, 2)) == expected_schema
