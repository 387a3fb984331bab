"""tovak.dask: records read range by range equal the records read whole, errors are placed in the whole
file, and a cluster of worker processes gives the same, also when a worker dies."""

from __future__ import annotations

import bz2
import gzip
import json
import logging
import os
import signal
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovak
from conftest import json_values, write_test_file

dask = pytest.importorskip("dask")
pytest.importorskip("distributed")
import tovak.dask as td  # noqa: E402

SYNC = {"scheduler": "sync"}
HUGE = 10**9


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                           silence_logs=logging.ERROR)
    with cluster, Client(cluster) as connected:
        yield connected


def records_of(paths, **options):
    return [record for path in paths for record in tovak.records(path, **options)]


def error_fields(error):
    return (type(error), error.msg, error.source, *(getattr(error, name, None) for name in ("pos", "lineno", "colno", "record")))


def make_records(count, width=40):
    return [{"id": i, "name": "n" * (i % width), "tags": [i % 3, {"deep": i % 2 == 0}], "score": i / 7}
            for i in range(count)]


def jsonl_text(records, newline="\n"):
    return newline.join(json.dumps(record) for record in records) + newline


# ---------------------------------------------------------------------------------------------------
# Ranges: what the workers read equals the whole file (Dask's synchronous scheduler, no cluster)

any_json = json_values()


@st.composite
def files(draw):
    records = draw(st.lists(any_json, max_size=12))
    bom = b"\xef\xbb\xbf" if draw(st.booleans()) else b""
    if draw(st.booleans()):
        newline = draw(st.sampled_from(["\n", "\r\n", "\n\n", "\n \n"]))
        text = newline.join(json.dumps(record) for record in records) + draw(st.sampled_from(["", "\n", " \n"]))
        name = "data.jsonl"
    else:
        separator = draw(st.sampled_from([",", ", ", ",\n  ", " ,\r\n"]))
        text = "[" + separator.join(json.dumps(record, indent=draw(st.sampled_from([None, 1]))) for record in records)
        text += "]" + draw(st.sampled_from(["", "\n", "  \n "]))
        name = "data.json"
    return name, bom + text.encode()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(files(), st.integers(1, 200))
def test_ranges_give_the_records_of_the_whole_file(tmp_path, file, blocksize):
    name, data = file
    path = write_test_file(tmp_path, name, data)
    expected = list(tovak.records(path))
    assert td.read_records(path, blocksize=blocksize).compute(**SYNC) == expected
    with dask.config.set(**SYNC):
        assert td.count(path, blocksize=blocksize) == tovak.count(path)
        assert td.schema(path, blocksize=blocksize) == tovak.schema(path, sample=HUGE)


@pytest.mark.parametrize("layout", ["jsonl", "array"])
def test_ranges_read_while_a_profiler_keeps_frames_alive(tmp_path, layout):
    # distributed samples every worker thread's frames; a kept frame keeps its local views of a buffer alive.
    records = make_records(60)
    text = jsonl_text(records, "\n") if layout == "jsonl" else json.dumps(records)
    path = write_test_file(tmp_path, "r." + layout.replace("array", "json"), text)
    kept = []
    sys.setprofile(lambda frame, event, arg: kept.append(frame))
    try:
        got = td.read_records(path, blocksize=97).compute(**SYNC)
    finally:
        sys.setprofile(None)
    assert got == records


@pytest.mark.parametrize("blocksize", [64, 500, 4096, None])
@pytest.mark.parametrize("layout", ["jsonl", "crlf", "array", "pretty", "pointer", "pointer-jsonl"])
def test_layouts_and_blocksizes(tmp_path, layout, blocksize):
    records = make_records(120)
    at = None
    if layout in ("jsonl", "crlf"):
        path = write_test_file(tmp_path, "r.jsonl", jsonl_text(records, "\r\n" if layout == "crlf" else "\n"))
    elif layout in ("array", "pretty"):
        path = write_test_file(tmp_path, "r.json", json.dumps(records, indent=2 if layout == "pretty" else None))
    elif layout == "pointer":
        at = "/data/1/rows"
        path = write_test_file(tmp_path, "r.json", json.dumps({"data": [{"rows": []}, {"rows": records, "n": 1}],
                                                               "after": [1, 2]}, indent=1))
    else:
        at = "/row"
        path = write_test_file(tmp_path, "r.jsonl", jsonl_text([{"row": record} for record in records]))
    expected = list(tovak.records(path, at=at))
    bag = td.read_records(path, at=at, blocksize=blocksize)
    assert bag.compute(**SYNC) == expected
    if blocksize is not None and blocksize < os.path.getsize(path):
        assert bag.npartitions > 1
    with dask.config.set(**SYNC):
        assert td.count(path, at=at, blocksize=blocksize) == len(expected)
        assert td.schema(path, at=at, blocksize=blocksize) == tovak.schema(path, at=at, sample=HUGE)


def test_one_boundary_scan_per_big_json_file(tmp_path):
    big = write_test_file(tmp_path, "big.json", json.dumps(make_records(100)))
    lines = write_test_file(tmp_path, "big.jsonl", jsonl_text(make_records(100)))
    small = write_test_file(tmp_path, "small.json", "[1, 2]")
    graph = dict(td.read_records([big, lines, small], blocksize=1000).__dask_graph__())
    scans = [key for key in graph if str(key).startswith("_plan")]
    assert len(scans) == 2  # the big files; JSONL needs none beyond telling its format
    kind, table, _ = tovak.lib._reader.split_blocks(big, 1000, -(-os.path.getsize(big) // 1000))
    data = open(big, "rb").read()
    assert kind == "elements" and table[0][0] == 0
    for start, end, first in filter(None, table[1:]):
        assert data[start - 1 : start] == b"," and (end is None or data[end : end + 1] == b",")
        assert start // 1000 == table.index((start, end, first))


def test_an_object_at_the_pointer_is_one_partition(tmp_path):
    path = write_test_file(tmp_path, "o.json", json.dumps({"m": {f"k{i}": i for i in range(200)}}))
    bag = td.read_records(path, at="/m", blocksize=100)
    assert bag.compute(**SYNC) == list(tovak.records(path, at="/m"))


# ---------------------------------------------------------------------------------------------------
# Errors: placed in the whole file, skipped as tovak.records skips them


def bad_files():
    good = [json.dumps(record) for record in make_records(60)]
    lines = good[:45] + ['{"id": tru}'] + good[45:]
    elements = good[:45] + ['{"id": [1, ]}'] + good[45:]
    unbalanced = good[:45] + ['{"id": [1, }'] + good[45:]
    pointed = [json.dumps({"row": record}) for record in make_records(60)]
    return {
        "line": ("bad.jsonl", "\n".join(lines) + "\n", None),
        "utf8-line": ("bad.jsonl", ("\n".join(good[:50]) + "\n").encode() + b'{"a": "\xff"}\n' + good[0].encode(), None),
        "element-one-line": ("bad.json", "[" + ", ".join(elements) + "]", None),
        "element-pretty": ("bad.json", "[\n  " + ",\n  ".join(elements) + "\n]", None),
        "element-unbalanced": ("bad.json", "[\n  " + ",\n  ".join(unbalanced) + "\n]", None),
        "trailing": ("bad.json", "[" + ", ".join(good) + "] x", None),
        "unclosed": ("bad.json", "[" + ", ".join(good), None),
        "missing-pointer": ("bad.jsonl", "\n".join(pointed[:50] + ['{"other": 1}'] + pointed[50:]), "/row"),
        "outside-pointer": ("bad.json", '{"rows": [' + ", ".join(good) + '], "x": tru}', "/rows"),
    }


@pytest.mark.parametrize("blocksize", [300, 1000])
@pytest.mark.parametrize("case", sorted(bad_files()))
def test_errors_are_placed_in_the_whole_file(tmp_path, case, blocksize):
    name, text, at = bad_files()[case]
    path = write_test_file(tmp_path, name, text)
    with pytest.raises((tovak.JSONError, tovak.PointerError)) as whole:
        list(tovak.records(path, at=at))
    with pytest.raises((tovak.JSONError, tovak.PointerError)) as ranged:
        td.read_records(path, at=at, blocksize=blocksize).compute(**SYNC)
    assert error_fields(ranged.value) == error_fields(whole.value)


@pytest.mark.parametrize("case", ["line", "utf8-line", "element-one-line", "element-pretty", "missing-pointer"])
def test_errors_skip_as_records_skips(tmp_path, case):
    name, text, at = bad_files()[case]
    path = write_test_file(tmp_path, name, text)
    with tovak.records(path, at=at, errors="skip") as whole:
        expected = list(whole)
        assert whole.error_count == 1
    assert td.read_records(path, at=at, blocksize=300, errors="skip").compute(**SYNC) == expected


def test_argument_errors(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError):
        td.read_records(str(tmp_path / "none-*.jsonl"))
    with pytest.raises(ValueError, match="errors"):
        td.read_records(str(tmp_path), errors="ignore")
    with pytest.raises(ValueError, match="blocksize"):
        td.count(write_test_file(tmp_path, "a.jsonl", "1\n"), blocksize=0)
    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError, match=r"pip install 'tovak\[dask\]'"):
        td.read_records(str(tmp_path))


# ---------------------------------------------------------------------------------------------------
# On a cluster of two worker processes


@pytest.fixture
def mixed_files(tmp_path):
    """Many small files (created out of name order), empty ones, compressed ones and big ones."""
    paths = []
    for i in reversed(range(12)):
        paths.append(write_test_file(tmp_path, f"part-{i:02d}.jsonl", jsonl_text(make_records(i * 3))))
    write_test_file(tmp_path, "part-05b.jsonl", "")
    write_test_file(tmp_path, "part-06b.jsonl", " \n\n")
    write_test_file(tmp_path, "part-07b.json", "")
    write_test_file(tmp_path, "part-08b.json", "[]")
    (tmp_path / "part-09c.jsonl.gz").write_bytes(gzip.compress(jsonl_text(make_records(300)).encode()))
    (tmp_path / "part-09d.json.bz2").write_bytes(bz2.compress(json.dumps(make_records(300)).encode()))
    write_test_file(tmp_path, "part-10z.json", json.dumps(make_records(400)))
    write_test_file(tmp_path, "part-11z.jsonl", jsonl_text(make_records(400)))
    return str(tmp_path / "part-*")


def test_cluster_reads_every_kind_of_file_in_order(client, mixed_files):
    import glob

    names = sorted(glob.glob(mixed_files))
    expected = records_of(names)
    bag = td.read_records(mixed_files, blocksize=2000)
    assert bag.compute() == expected
    assert bag.count().compute() == len(expected)
    assert td.count(mixed_files, blocksize=2000) == sum(tovak.count(name) for name in names)
    merged = tovak.Structure.from_records(expected)
    assert td.schema(mixed_files, blocksize=2000) == merged.schema()
    assert td.schema(mixed_files, sample=5) == tovak.Structure.from_records(
        [record for name in names for record in list(tovak.records(name))[:5]]).schema()
    smaller_than_a_record = [name for name in names if name.endswith("part-03.jsonl")]
    assert td.read_records(smaller_than_a_record, blocksize=40).compute() == records_of(smaller_than_a_record)


def test_cluster_errors_reach_the_client_as_themselves(client, tmp_path):
    name, text, at = bad_files()["element-pretty"]
    path = write_test_file(tmp_path, name, text)
    with pytest.raises(tovak.JSONError) as whole:
        list(tovak.records(path))
    with pytest.raises(tovak.JSONError) as ranged:
        td.read_records(path, blocksize=500).compute()
    assert error_fields(ranged.value) == error_fields(whole.value)
    assert ranged.value.record is not None and ranged.value.record > 40
    assert td.read_records(path, blocksize=500, errors="skip").compute() == list(tovak.records(path, errors="skip"))


def test_cluster_survives_a_worker_killed_mid_task(client, tmp_path):
    path = write_test_file(tmp_path, "k.json", json.dumps(make_records(300)))
    marker = str(tmp_path / "killed")

    def die_once(record):
        # The first task to get here takes its worker process down; Dask runs the lost tasks again.
        if record["id"] == 150 and not os.path.exists(marker):
            open(marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return record

    got = td.read_records(path, blocksize=1500).map(die_once).compute()
    assert os.path.exists(marker)
    assert got == list(tovak.records(path))
