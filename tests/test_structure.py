"""tovak.Structure: summaries of parts of the records merge in order into the schema of all of them, travel
as bytes, and refuse what they cannot summarise."""

from __future__ import annotations

import json
import pickle
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovak
from conftest import json_values, run_threads, write_test_file

HUGE = 10**9

any_json = json_values()


def jsonl_text(records):
    return "".join(json.dumps(record) + "\n" for record in records)


def make_records(count):
    return [{"id": i, "name": "n" * (i % 40), "tags": [i % 3, {"deep": i % 2 == 0}]} for i in range(count)]


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.lists(any_json, max_size=6), max_size=4))
def test_merged_parts_equal_the_schema_of_all_records(tmp_path, parts):
    everything = [record for part in parts for record in part]
    path = write_test_file(tmp_path, "all.jsonl", jsonl_text(everything) if everything else "")
    merged = tovak.Structure()
    for part in parts:
        merged.merge(pickle.loads(pickle.dumps(tovak.Structure.from_records(part))))
    assert merged.schema() == tovak.schema(path, sample=HUGE)
    assert merged.json_schema() == tovak.json_schema(path, sample=HUGE)
    assert merged.to_bytes() == tovak.Structure.of(path).to_bytes() == tovak.Structure.from_records(everything).to_bytes()


@settings(max_examples=200, deadline=None)
@given(st.lists(any_json, max_size=5), st.data())
def test_from_bytes_takes_only_what_to_bytes_makes(records, data):
    encoded = tovak.Structure.from_records(records).to_bytes()
    assert tovak.Structure.from_bytes(encoded).to_bytes() == encoded
    damaged = bytearray(encoded)
    for _ in range(data.draw(st.integers(1, 3))):
        if damaged and data.draw(st.booleans()):
            damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
        else:
            del damaged[data.draw(st.integers(0, len(damaged))) :]
    try:
        decoded = tovak.Structure.from_bytes(bytes(damaged))
    except ValueError:
        return
    decoded.schema()  # whatever decodes is a valid summary
    decoded.json_schema()


def test_structure_of_a_source(tmp_path):
    path = write_test_file(tmp_path, "p.json", json.dumps({"a": {"rows": make_records(30) + [[1], "x"]}}))
    assert tovak.Structure.of(path, at="/a/rows").schema() == tovak.schema(path, at="/a/rows", sample=HUGE)
    assert tovak.Structure.of(path, at="/a/rows", sample=3).schema() == tovak.schema(path, at="/a/rows", sample=3)
    with pytest.raises(tovak.PointerError):
        tovak.Structure.of(path, at="/b")
    assert tovak.Structure().schema() == tovak.schema(b"") == '"unknown"'
    assert tovak.Structure().json_schema() == tovak.json_schema(b"")


def test_structure_merges_itself_and_keeps_key_order():
    first = tovak.Structure.from_records([{"b": 1}, {"a": None}])
    first.merge(first)
    assert first.to_bytes() == tovak.Structure.from_records([{"b": 1}, {"a": None}] * 2).to_bytes()
    later = tovak.Structure.from_records([{"c": "x", "a": 1}])
    first.merge(later)
    assert list(first.json_schema()["properties"]) == ["b", "a", "c"]


@pytest.mark.parametrize(("record", "error"), [
    ({1: 2}, TypeError), ({"s": {1, 2}}, TypeError), (object(), TypeError), (b"x", TypeError),
    ([[[]]] * 1, None), ({"\ud800": 1}, None),
])
def test_structure_values(record, error):
    if error is None:
        tovak.Structure().add(record)
    else:
        with pytest.raises(error):
            tovak.Structure.from_records([record])


@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: (v,), lambda v: {"k": v, "a": 1}], ids=["list", "tuple", "dict"])
def test_structure_nesting_limit(wrap):
    deep = None
    for _ in range(10000):
        deep = wrap(deep)
    with pytest.raises(ValueError, match="nesting"):
        tovak.Structure().add(deep)
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="nesting"):
        tovak.Structure().add(loop)
    looped = {}
    looped["self"] = looped
    with pytest.raises(ValueError, match="nesting"):
        tovak.Structure().add(looped)
    # Deep but within the limit (the summary, its bytes and its printing recurse once per level: kept
    # well inside the thread's stack, also in the sanitizers' builds, whose frames are many times larger).
    inner = None
    for _ in range(500):
        inner = wrap(inner)
    structure = tovak.Structure()
    structure.add(inner)
    assert tovak.Structure.from_bytes(structure.to_bytes()).schema() == structure.schema()


def on_small_stack(work):
    """work() on a thread whose stack is 256 KiB (threading.stack_size), its result or its exception."""
    outcome = {}

    def body():
        try:
            outcome["value"] = work()
        except BaseException as error:  # noqa: BLE001 - raised again on the caller
            outcome["error"] = error

    previous = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def json_schema_depth(schema):
    """How many nested schemas lie below `schema` through "items" and "properties" (without recursing)."""
    depth = 0
    while True:
        if "items" in schema:
            schema = schema["items"]
        elif "properties" in schema:
            (schema,) = schema["properties"].values()
        else:
            return depth
        depth += 1


DEEP = 9999  # the deepest record the summary takes


@pytest.mark.parametrize(
    "text, levels_below, expected_json_schema_top",
    [
        ("[" * DEEP + "]" * DEEP, DEEP - 1, {"type": "array"}),
        ('{"k":' * DEEP + "1" + "}" * DEEP, DEEP, {"type": "object", "required": ["k"]}),
        ('[{"k":' * (DEEP // 2) + "[true, 1]" + "}]" * (DEEP // 2), DEEP, {"type": "array"}),
    ],
    ids=["arrays", "objects", "mixed"],
)
@pytest.mark.parametrize("small_stack", [False, True], ids=["caller's stack", "256 KiB stack"])
def test_deepest_records_whatever_the_thread_stack(tmp_path, text, levels_below, expected_json_schema_top, small_stack):
    # Every walk over a summary recurses per level; on a small thread stack it must move to a stack of its
    # own instead of running off the end of this one.
    path = write_test_file(tmp_path, "deep.jsonl", text + "\n")  # a line: the record is the whole text
    record = tovak.load(text.encode())
    run = on_small_stack if small_stack else (lambda work: work())

    def everything():
        structure = tovak.Structure.of(path)
        copy = tovak.Structure.from_bytes(structure.to_bytes())
        copy.merge(copy)
        copy.merge(structure)
        schema = tovak.json_schema(path)
        return (tovak.schema(path), structure.schema(), copy.schema(), json_schema_depth(schema), schema,
                structure.to_bytes() == tovak.Structure.from_records([record]).to_bytes(),
                copy.to_bytes() == tovak.Structure.from_records([record] * 3).to_bytes())

    text_schema, structure_schema, copy_schema, depth, schema, same_bytes, same_merged_bytes = run(everything)
    assert text_schema == structure_schema == copy_schema
    assert text_schema.count("\n") >= DEEP
    assert depth == levels_below
    assert {key: schema[key] for key in expected_json_schema_top} == expected_json_schema_top
    assert same_bytes and same_merged_bytes


def test_structure_shared_between_threads():
    shared = tovak.Structure()
    other = tovak.Structure.from_records(make_records(5))

    def work(k):
        for i in range(300):
            try:
                if k % 2:
                    shared.add({"k": k, "i": [i]})
                else:
                    shared.merge(other)
                shared.schema()
            except RuntimeError as error:  # another thread holds it: refused at once, never waited on
                assert "borrowed" in str(error)

    assert run_threads(work) == []
    assert "k" in shared.json_schema()["properties"]
