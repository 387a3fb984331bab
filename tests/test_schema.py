"""bigjson.schema: sampling a file's first records, merging their structure, printing it indented."""
import inspect
import json
import os
import pathlib

import pytest
from hypothesis import given, settings, strategies as st

from conftest import json_values
from tovak import bigjson

schema = bigjson.schema


def as_array(records):
    return json.dumps(records, ensure_ascii=False)


def as_lines(records):
    return "".join(json.dumps(record, ensure_ascii=False) + "\n" for record in records)


def printed(structure):
    """The indented text of a structure, with its objects' keys in the order written."""
    return json.dumps(structure, indent=2, ensure_ascii=False)


ONE_OF = "__oneof__"

# Each case: the records, and their merged structure.
MERGED = [
    pytest.param([], "unknown", id="no-records"),
    pytest.param([1, 2], "int", id="ints"),
    pytest.param([1, 2.5, None, True, "x"], "bool|float|int|null|str", id="all-scalar-names"),
    pytest.param([True, False, False], "bool", id="booleans"),
    pytest.param([[], []], [], id="empty-arrays"),
    pytest.param([[], [1]], ["int"], id="empty-and-full-arrays"),
    pytest.param([{}, {}], {}, id="empty-objects"),
    pytest.param([{}, {"a": 1, "b": "x"}], {"a?": "int", "b?": "str"}, id="empty-object-makes-keys-optional"),
    pytest.param([{"id": 1, "name": "a", "tags": ["x"]}, {"id": 2, "tags": [], "score": 1.5}],
                 {"id": "int", "name?": "str", "score?": "float", "tags": ["str"]}, id="optional-keys"),
    pytest.param([{"a": 1}, [1, "x"], "s", None], {ONE_OF: ["null|str", ["int|str"], {"a": "int"}]},
                 id="three-kinds"),
    pytest.param([[1, [2]], [None]], [{ONE_OF: ["int|null", ["int"]]}], id="items-of-two-kinds"),
    pytest.param([{"v": 1}, {"v": None}, {"v": {"w": True}}], {"v": {ONE_OF: ["int|null", {"w": "bool"}]}},
                 id="null-beside-object"),
    pytest.param([None, [1]], {ONE_OF: ["null", ["int"]]}, id="null-not-folded-into-array"),
    pytest.param([{"a": 1}, 5], {ONE_OF: ["int", {"a": "int"}]}, id="other-kinds-do-not-make-keys-optional"),
    pytest.param([[1], {"a": 1}], {ONE_OF: [["int"], {"a": "int"}]}, id="array-and-object"),
    pytest.param([{"a": 1}, {"a": None}, {}], {"a?": "int|null"}, id="null-and-missing"),
    pytest.param([{"a": 1, "a?": "x"}, {"a?": "y"}], {"a?": "str"}, id="marked-name-meets-literal-key"),
    pytest.param([{"a?": 1}, {"a": "x", "a?": 2}], {"a?": "str"}, id="later-key-wins-the-name"),
    pytest.param([{"a?": "x"}, {"a": 1}], {"a?": "int", "a??": "str"}, id="literal-key-marked-again"),
    pytest.param([{ONE_OF: ["x"]}], {ONE_OF: ["str"]}, id="literal-oneof-key"),
    pytest.param([{"aa": 1, "a": 1, "B": 1, "é": 1, "z": 1}, {"aa": 2, "B": 2, "é": 2, "z": 2}],
                 {"B": "int", "a?": "int", "aa": "int", "z": "int", "é": "int"}, id="names-in-byte-order"),
    pytest.param([{"aa": 1, "a?": 1, "a": 1}], {"a": "int", "a?": "int", "aa": "int"}, id="question-mark-sorts-between"),
    pytest.param([{"a": [{"b": [[]]}]}, {"a": [{"b": [[1.5]]}]}], {"a": [{"b": [["float"]]}]}, id="nested"),
]


def test_printed_form_is_exact(write_file):
    records = [{"a": 1}, [1, "x"], "s", None, {"a": 2, "b": []}]
    path = write_file("r.jsonl", "".join(json.dumps(r) + "\n" for r in records))
    assert schema(path) == (
        '{\n  "__oneof__": [\n    "null|str",\n    [\n      "int|str"\n    ],\n'
        '    {\n      "a": "int",\n      "b?": []\n    }\n  ]\n}'
    )


@pytest.mark.parametrize("records, expected", MERGED)
@pytest.mark.parametrize("layout", ["array", "lines"])
def test_merged_structure(write_file, records, expected, layout):
    if layout == "array":
        path = write_file("data.json", as_array(records))
    else:
        path = write_file("data.jsonl", as_lines(records))
    assert schema(path) == printed(expected)


@pytest.mark.parametrize(
    "number, name",
    [
        ("0", "int"), ("-1", "int"), ("18446744073709551615", "int"), ("-9223372036854775808", "int"),
        ("18446744073709551616", "float"), ("-9223372036854775809", "float"),
        ("-0", "float"), ("0.0", "float"), ("1e0", "float"), ("1E2", "float"), ("-2.5e-3", "float"),
    ],
)
def test_number_form_decides_int_or_float(write_file, number, name):
    assert schema(write_file("n.jsonl", number + "\n")) == printed(name)
    assert schema(write_file("n.json", f"[{number}]")) == printed(name)


@pytest.mark.parametrize(
    "key, escaped",
    [
        ("\t", r'"\t"'), ("\n", r'"\n"'), ("\r", r'"\r"'), ("\b", r'"\b"'), ("\f", r'"\f"'),
        ("\x00", r'"\u0000"'), ("\x01", r'"\u0001"'), ("\x1f", r'"\u001f"'), ("\x0b", r'"\u000b"'),
        ('"', r'"\""'), ("\\", r'"\\"'), ("/", '"/"'), ("\x7f", '"\x7f"'),
        ("é", '"é"'), ("東京", '"東京"'), ("😀", '"😀"'), ("\u2028", '"\u2028"'),
    ],
)
def test_key_escapes(write_file, key, escaped):
    path = write_file("k.jsonl", json.dumps({key: 1}) + "\n")
    assert schema(path) == "{\n  " + escaped + ': "int"\n}'


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("empty.json", "", "unknown"),
        ("empty.jsonl", "", "unknown"),
        ("blank.json", " \n\t\r\n\f ", "unknown"),
        ("blank.jsonl", " \n\t\r\n \n", "unknown"),
        ("a.json", "[]", "unknown"),
        ("a.json", "[ ]", "unknown"),
        ("a.json", "[1, 2.5]", "float|int"),
        ("a.json", "[1,,2]", "int"),
        ("a.json", "[,1,]", "int"),
        ("a.json", ' \n [\n  1 ,\n  "x"\n ]\n', "int|str"),
        ("a.json", '["a,]b", "q\\"]", 1]', "int|str"),
        ("a.json", '[[1, [2]], {"a": [3]}]', {ONE_OF: [[{ONE_OF: ["int", ["int"]]}], {"a": ["int"]}]}),
        ("one.json", '{"a": [1, "x"]}', {"a": ["int|str"]}),
        ("one.json", "\n\n  42  \n", "int"),
        ("one.json", '"text"', "str"),
        ("one.json", "\x0b[1]", ["int"]),
        ("cut.json", "[1, 2", "int"),
        ("cut.json", '[{"a": 1}, {"b"', {"a": "int"}),
        ("cut.json", '[1, "abc', "int"),
        ("cut.json", "[", "unknown"),
        ("crlf.jsonl", '{"a": 1}\r\n\r\n   \r\n{"a": 2.5, "b": null}\r\n', {"a": "float|int", "b?": "null"}),
        ("nolf.jsonl", '1\n"x"', "int|str"),
        ("ws.jsonl", "\u3000\u00a01\u0085\n", "int"),
        ("note.jsonl", '{"id": 1, "tags": ["a"]}\n{"id": 2, "note": null}\n',
         {"id": "int", "note?": "null", "tags?": ["str"]}),
    ],
)
def test_file_shapes(write_file, name, content, expected):
    assert schema(write_file(name, content)) == printed(expected)


@pytest.mark.parametrize(
    "name, content, sample, expected",
    [
        ("a.json", '[{"a": 1}, {"b": 2}]', 1, {"a": "int"}),
        ("a.json", '[{"a": 1}, {"b": 2}]', True, {"a": "int"}),
        ("a.json", "[true, 1]", 0, "bool"),
        ("a.json", "[,1]", 0, "unknown"),
        ("a.json", "[ , , 1, 2.5]", 1, "int"),
        ("a.json", '[1,, "x", 2.5]', 2, "int|str"),
        ("a.json", "[1, 2]", 5, "int"),
        ("a.json", '[1, 2, "x"]', 2**64 - 1, "int|str"),
        ("one.json", '{"a": 1}', 0, {"a": "int"}),
        ("a.jsonl", '1\n"x"\n', 0, "unknown"),
        ("a.jsonl", '1\n\n  \n"x"\n2.5\n', 2, "int|str"),
        ("a.jsonl", '1\n"x"\n', 1, "int"),
        ("a.json", "[" + "1," * 100 + '"x"]', None, "int"),
        ("a.json", "[" + "1," * 99 + '"x"]', None, "int|str"),
        ("a.jsonl", "1\n" * 100 + '"x"\n', None, "int"),
    ],
)
def test_sample_limit(write_file, name, content, sample, expected):
    path = write_file(name, content)
    result = schema(path) if sample is None else schema(path, sample)
    assert result == printed(expected)


@pytest.mark.parametrize(
    "name, content, sample",
    [
        ("a.json", b"[1]\xff\xfe garbage {[\"", 100),
        ("a.json", b"[1] [2, \"x\"", 100),
        ("a.json", b"[1, oops", 1),
        ("a.json", b"[1,\xff\xff\xff", 1),
        ("a.json", b"[1, 2, [\xc3", 2),
        ("a.jsonl", b"1\n\xff\xfe\n", 1),
        ("a.jsonl", b"1\n\n2\n{oops\n", 2),
    ],
)
def test_bytes_past_the_sample_are_not_examined(write_file, name, content, sample):
    assert schema(write_file(name, content), sample) == '"int"'


def bytes_read_by_process():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("rchar:")).split()[1])


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs the Linux per-process I/O counters")
@pytest.mark.parametrize("head, sample", [("[1]", 100), ("[1, 2,", 2), ("1\n2\n", 2)])
def test_reading_stops_with_the_sample(write_file, head, sample):
    name = "big.jsonl" if "\n" in head else "big.json"
    path = write_file(name, head.encode() + b"filler\n" * (1 << 20))
    before = bytes_read_by_process()
    assert schema(path, sample) == '"int"'
    assert bytes_read_by_process() - before < (1 << 20)


def test_elements_across_chunks(write_file):
    # Elements straddle the 65,536-byte reads; a long string and deep white space must come out whole.
    records = [{"k": "v" * 70000, "n": i} for i in range(3)] + [{"k": None}]
    content = "[" + ",\n".join(" " * 30000 + json.dumps(r) for r in records) + "]"
    assert schema(write_file("big.json", content)) == printed({"k": "null|str", "n?": "int"})


def test_large_single_document(write_file):
    document = {"rows": [{"x": i} for i in range(20000)], "z": "é" * 50000}
    path = write_file("doc.json", json.dumps(document, indent=1))
    assert schema(path, 0) == printed({"rows": [{"x": "int"}], "z": "str"})


def test_deep_nesting(write_file):
    depth = 126
    path = write_file("deep.json", "[" * (depth + 1) + "]" * (depth + 1))
    assert schema(path) == printed(json.loads("[" * depth + "]" * depth))


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("a.json", b'[{"a\xff": 1}]', {"a\ufffd": "int"}),
        ("a.json", b'["x\xc3"]', "str"),
        ("one.json", b'{"\xe9t\xe9": true}', {"\ufffdt\ufffd": "bool"}),
    ],
)
def test_invalid_utf8_in_json_reads_as_replacement_character(write_file, name, content, expected):
    assert schema(write_file(name, content)) == printed(expected)


@pytest.mark.parametrize(
    "name, content, fmt, expected",
    [
        ("data.txt", "  [1]", None, "int"),
        ("data.txt", '{"a": 1}\n{"a": 2}\n', None, {"a": "int"}),
        ("data.json", '{"a": 1}\n{"b": 2}\n', "NDJSON", {"a?": "int", "b?": "int"}),
        ("data.jsonl", "[1, 2]", "Json", "int"),
        ("data.jsonl", "[1, 2]", "auto", ["int"]),
        ("data.txt", "[1, 2]", "", "int"),
    ],
)
def test_format_choice(write_file, name, content, fmt, expected):
    assert schema(write_file(name, content), format=fmt) == printed(expected)


# ---------------------------------------------------------------------------------------------------
# Failures


@pytest.mark.parametrize(
    "name, content, exception, message",
    [
        ("a.jsonl", "1 2\n", ValueError, "invalid JSONL line: trailing characters at line 1 column 3"),
        ("a.jsonl", '1\n{"a": }\n', ValueError, "invalid JSONL line: expected value at line 1 column 7"),
        ("a.jsonl", b"1\n\xff\n", RuntimeError, "read error: stream did not contain valid UTF-8"),
        ("a.json", "[1 2]", ValueError, "invalid JSON element: trailing characters at line 1 column 3"),
        ("a.json", '[1, {"a":\n 1 x}]', ValueError, "invalid JSON element: expected `,` or `}` at line 2 column 4"),
        ("a.json", "[1, [1,]]", ValueError, "invalid JSON element: trailing comma at line 1 column 4"),
        ("a.json", '{"a": 1}\n{"b": 2}\n', ValueError, "invalid JSON: trailing characters at line 2 column 1"),
        ("a.json", '\n\n   {"a": }', ValueError, "invalid JSON: expected value at line 1 column 7"),
        ("a.json", b"\xef\xbb\xbf[1]", ValueError, "invalid JSON: expected value at line 1 column 1"),
    ],
)
def test_invalid_content(write_file, name, content, exception, message):
    with pytest.raises(exception) as caught:
        schema(write_file(name, content))
    assert caught.value.args == (message,)


@pytest.mark.parametrize("name, sample", [("d.json", 100), ("d.jsonl", 100), ("d.json", 0)])
def test_directory_fails_on_first_read(tmp_path, name, sample):
    (tmp_path / name).mkdir()
    with pytest.raises(RuntimeError) as caught:
        schema(str(tmp_path / name), sample)
    assert caught.value.args == (f"read error: {os.strerror(21)} (os error 21)",)


def test_read_error_in_place_of_the_line_after_the_sample_is_not_seen(tmp_path):
    # With a sample of 0 the first line is already one too many, so its failed read does not count.
    (tmp_path / "d.jsonl").mkdir()
    assert schema(str(tmp_path / "d.jsonl"), 0) == '"unknown"'


def test_missing_file_and_unknown_format(tmp_path):
    missing = str(tmp_path / "missing.json")
    with pytest.raises(ValueError) as caught:
        schema(missing)
    assert caught.value.args == (f"cannot open {missing}: {os.strerror(2)} (os error 2)",)
    with pytest.raises(ValueError) as caught:
        schema(missing, 1, "XML")
    assert caught.value.args == ("unknown format \"xml\"; expected 'json', 'jsonl' or 'auto'",)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "schema() missing 1 required positional argument: 'path'"),
        (("a.json", 1, None, 4), {}, "schema() takes from 1 to 3 positional arguments but 4 were given"),
        (("a.json",), {"Format": "json"}, "schema() got an unexpected keyword argument 'Format'"),
        (("a.json", 1), {"sample": 2}, "schema() got multiple values for argument 'sample'"),
        ((), {"sample": 1}, "schema() missing 1 required positional argument: 'path'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        schema(*args, **kwargs)
    assert caught.value.args == (message,)
    assert getattr(caught.value, "__notes__", None) is None


@pytest.mark.parametrize(
    "kwargs, exception, message, param",
    [
        ({"path": b"x", "sample": -1}, TypeError, "'bytes' object is not an instance of 'str'", "path"),
        ({"path": pathlib.Path("x.json")}, TypeError, "'PosixPath' object is not an instance of 'str'", "path"),
        ({"path": "x.json", "sample": -1}, OverflowError, None, "sample"),
        ({"path": "x.json", "sample": 2**64}, OverflowError, None, "sample"),
        ({"path": "x.json", "sample": None}, TypeError, None, "sample"),
        ({"path": "x.json", "sample": 1.5}, TypeError, None, "sample"),
        ({"path": "x.json", "sample": "3"}, TypeError, None, "sample"),
        ({"path": "x.json", "sample": -1, "format": 1}, OverflowError, None, "sample"),
        ({"path": "x.json", "format": 1}, TypeError, "'int' object is not an instance of 'str'", "format"),
        ({"path": "\ud800.json"}, UnicodeEncodeError, None, "path"),
    ],
)
def test_argument_conversion_errors(kwargs, exception, message, param):
    with pytest.raises(exception) as caught:
        schema(**kwargs)
    if message is not None:
        assert caught.value.args == (message,)
    assert caught.value.__notes__ == [f"while processing '{param}'"]


def test_sample_accepts_index_objects(write_file):
    class Two:
        def __index__(self):
            return 2

    path = write_file("a.json", '[1, "x", 2.5]')
    assert schema(path, Two()) == '"int|str"'
    assert schema(path=path, format="json", sample=Two()) == '"int|str"'


def test_signature_and_doc():
    assert str(inspect.signature(schema)) == "(path, sample=100, format=None)"
    assert schema.__doc__ == (
        "Infer the structure of the records in a JSON / JSONL file.\n"
        "\n"
        "Reads at most `sample` records (default 100) and returns a pretty-printed\n"
        "JSON string describing their merged structure.\n"
        "\n"
        '`format` may be `"json"`, `"jsonl"`/`"ndjson"`, or `None`/`"auto"`.'
    )


# ---------------------------------------------------------------------------------------------------
# The two layouts agree, and the printed text is the standard indented form


any_json = json_values(text=st.text(st.characters(exclude_categories=["Cs"]), max_size=6),
                       keys=st.text(st.sampled_from("ab?_\t\"é"), max_size=3), leaves=20)


@settings(max_examples=150, deadline=None)
@given(records=st.lists(any_json, max_size=12), sample=st.integers(min_value=1, max_value=14),
       indent=st.sampled_from([None, 0, 2]))
def test_lines_and_array_agree(tmp_path_factory, records, sample, indent):
    directory = tmp_path_factory.mktemp("agree")
    lines = directory / "r.jsonl"
    lines.write_text(as_lines(records), encoding="utf-8")
    array = directory / "r.json"
    array.write_text(json.dumps(records, indent=indent), encoding="utf-8")
    from_lines = schema(str(lines), sample)
    assert schema(str(array), sample) == from_lines
    structure = json.loads(from_lines)
    assert json.dumps(structure, indent=2, ensure_ascii=False) == from_lines


def reference_structure(values):
    """Merged structure of all values at once, straight from the inference rules (a model to check the
    record-by-record merging against)."""
    if not values:
        return "unknown"
    names, arrays, objects = set(), [], []
    for value in values:
        if isinstance(value, dict):
            objects.append(value)
        elif isinstance(value, list):
            arrays.append(value)
        elif value is None:
            names.add("null")
        elif isinstance(value, bool):
            names.add("bool")
        elif isinstance(value, int) and -(2**63) <= value < 2**64:
            names.add("int")
        elif isinstance(value, str):
            names.add("str")
        else:
            names.add("float")
    alternatives = []
    if names:
        alternatives.append("|".join(sorted(names)))
    if arrays:
        items = [item for array in arrays for item in array]
        alternatives.append([reference_structure(items)] if items else [])
    if objects:
        keys = []
        for obj in objects:
            keys += [key for key in sorted(obj, key=lambda k: k.encode()) if key not in keys]
        merged = {}
        for key in keys:
            present = [obj[key] for obj in objects if key in obj]
            name = key if len(present) == len(objects) else key + "?"
            merged.pop(name, None)
            merged[name] = reference_structure(present)
        alternatives.append(merged)
    return alternatives[0] if len(alternatives) == 1 else {ONE_OF: alternatives}


def canonical(structure):
    if isinstance(structure, dict):
        return {key: canonical(structure[key]) for key in sorted(structure, key=lambda k: k.encode())}
    if isinstance(structure, list):
        return [canonical(item) for item in structure]
    return structure


@settings(max_examples=200, deadline=None)
@given(records=st.lists(any_json, max_size=12))
def test_matches_merging_everything_at_once(tmp_path_factory, records):
    lines = tmp_path_factory.mktemp("model") / "r.jsonl"
    lines.write_text(as_lines(records), encoding="utf-8")
    expected = canonical(reference_structure([json.loads(json.dumps(r)) for r in records]))
    assert json.loads(schema(str(lines), 1000)) == expected
    assert schema(str(lines), 1000) == json.dumps(expected, indent=2, ensure_ascii=False)
