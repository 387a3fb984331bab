"""The command line over every kind of input, its exit statuses and its faults, and json_schema."""

from __future__ import annotations

import gzip
import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import json_values
import tovak
from tovak import cli

jsonschema = pytest.importorskip("jsonschema")

RECORDS = [{"b": 1, "a": [True, None]}, {"b": 2.5, "c": "é"}, {"b": 3}]
LINES = [json.dumps(r, ensure_ascii=False, separators=(",", ":")) for r in RECORDS]


def tovak_run(*args: str | Path, stdin: bytes | None = None, **options: Any) -> subprocess.CompletedProcess[bytes]:
    command = [sys.executable, "-m", "tovak", *map(str, args)]
    return subprocess.run(command, input=stdin, capture_output=True, timeout=120, check=False, **options)


@pytest.fixture
def inputs(tmp_path: Path) -> dict[str, Path]:
    jsonl = "\n".join(json.dumps(r, ensure_ascii=False) for r in RECORDS) + "\n"
    files = {"plain": tmp_path / "r.jsonl", "gzip": tmp_path / "r.jsonl.gz", "array": tmp_path / "a.json"}
    files["plain"].write_text(jsonl, encoding="utf-8")
    files["gzip"].write_bytes(gzip.compress(jsonl.encode()))
    files["array"].write_text(json.dumps(RECORDS, ensure_ascii=False, indent=2), encoding="utf-8")
    return files


def per_file_output(command: list[str], name: str) -> str:
    """What `command` prints for one input holding RECORDS."""
    if command[0] == "count":
        return "3\n"
    if command[0] == "validate":
        return ""
    return "".join(line + "\n" for line in LINES[: 2 if "-n" in command else 3])


COMMANDS = [["count"], ["head", "-n", "2", "--compact"], ["to-jsonl"], ["validate"]]


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: c[0])
@pytest.mark.parametrize("kind", ["plain", "gzip", "array", "pipe"])
def test_each_command_over_each_input(inputs: dict[str, Path], command: list[str], kind: str) -> None:
    if kind == "pipe":
        result = tovak_run(command[0], "-", *command[1:], stdin=inputs["gzip"].read_bytes())
    else:
        result = tovak_run(command[0], inputs[kind], *command[1:])
    assert (result.returncode, result.stderr) == (0, b"")
    out = result.stdout.decode()
    if command[0] == "validate":
        assert out.startswith("files=1 records=3 errors=0 ")
    else:
        assert out == per_file_output(command, kind)


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: c[0])
def test_several_files_and_patterns(inputs: dict[str, Path], command: list[str]) -> None:
    pattern = str(inputs["plain"].parent / "r.*")  # no shell here: the command expands it
    result = tovak_run(command[0], pattern, inputs["array"], *command[1:])
    assert (result.returncode, result.stderr) == (0, b"")
    out = result.stdout.decode()
    names = [inputs["plain"], inputs["gzip"], inputs["array"]]
    if command[0] == "count":
        assert out == "".join(f"3 {n}\n" for n in names) + "9 total\n"
    elif command[0] == "head":
        assert out == "\n".join(f"==> {n} <==\n" + per_file_output(command, "") for n in names)
    elif command[0] == "to-jsonl":
        assert out == per_file_output(command, "") * 3
    else:
        assert out.startswith("files=3 records=9 errors=0 ")


def test_schema_of_several_files(inputs: dict[str, Path]) -> None:
    result = tovak_run("schema", "--json-schema", inputs["gzip"], "-", stdin=inputs["array"].read_bytes())
    assert result.returncode == 0
    first, second = result.stdout.decode().split("\n\n")
    assert first.startswith(f"==> {inputs['gzip']} <==\n") and second.startswith("==> <stdin> <==\n")
    schemas = [json.loads(part.split("\n", 1)[1]) for part in (first, second)]
    assert schemas[0] == schemas[1] == tovak.json_schema(inputs["plain"])


def test_to_jsonl_to_a_file(inputs: dict[str, Path], tmp_path: Path) -> None:
    out = tmp_path / "out.jsonl"
    result = tovak_run("to-jsonl", inputs["array"], "-o", out)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert out.read_text(encoding="utf-8") == per_file_output(["to-jsonl"], "")
    missing = tovak_run("to-jsonl", inputs["array"], "-o", tmp_path / "no" / "out.jsonl")
    assert missing.returncode == 2 and missing.stderr.startswith(b"tovak: cannot open ")


def test_head_keeps_key_order(tmp_path: Path) -> None:
    path = tmp_path / "k.jsonl"
    path.write_text('{"z": 1, "a": {"y": 2, "b": 3}}\n')
    assert tovak_run("head", path, "--compact").stdout == b'{"z":1,"a":{"y":2,"b":3}}\n'


@pytest.mark.skipif(not cli._accepts(tovak.records, "raw"), reason="tovak.records(raw=...) not built yet")
@pytest.mark.parametrize(("extra", "expected"), [([], b'{"a": 123456789012345678901234567890, "e": 1E2}\n'),
                                                 (["--compact"], b'{"a":123456789012345678901234567890,"e":1E2}\n')])
def test_head_prints_records_as_written(tmp_path: Path, extra: list[str], expected: bytes) -> None:
    path = tmp_path / "n.jsonl"
    path.write_bytes(b'{"a": 123456789012345678901234567890, "e": 1E2}\n')
    assert tovak_run("head", path, *extra).stdout == expected


@pytest.mark.parametrize("command", ["count", "schema", "head", "validate", "to-jsonl"])
def test_a_directory_is_a_file_error_for_every_command(tmp_path: Path, command: str) -> None:
    (tmp_path / "d.json").mkdir()
    result = tovak_run(command, tmp_path / "d.json")
    assert result.returncode == 2
    assert f"tovak: cannot open {tmp_path / 'd.json'}: Is a directory\n".encode() in result.stderr
    assert b"Traceback" not in result.stderr


def test_one_bad_file_among_several(inputs: dict[str, Path], tmp_path: Path) -> None:
    bad = tmp_path / "bad.jsonl"
    bad.write_text("1\n{x\n")
    result = tovak_run("count", inputs["plain"], tmp_path / "missing.jsonl", bad)
    assert result.returncode == 2  # the worst status of the files
    assert result.stdout.decode().splitlines() == [f"3 {inputs['plain']}", f"2 {bad}", "5 total"]
    validated = tovak_run("validate", bad, inputs["gzip"])
    assert validated.returncode == 1
    assert validated.stdout.decode().splitlines()[0] == f"{bad}:2:2: record 2: key must be a string"


@pytest.mark.parametrize(
    ("args", "options", "status", "stderr"),
    [
        (["count", "{file}"], {"stdout": subprocess.DEVNULL, "close_stdout": True}, 2,
         "tovak: cannot write to standard output: it is closed\n"),
        (["count", "{file}"], {"stdout_path": "/dev/full"}, 2,
         "tovak: cannot write to standard output: No space left on device\n"),
        (["schema", "{file}", "--sample", "100000000000000000000000"], {}, 2, "tovak: argument --sample: "),
        (["count", "{dir}/nothing*.jsonl"], {}, 2, "tovak: no file matches {dir}/nothing*.jsonl\n"),
        (["count", "--at", "/a", "{file}"], {}, 2, "tovak: --at is not available"),
        (["head", "{dir}/bad.jsonl.gz"], {}, 1, "tovak: {dir}/bad.jsonl.gz: "),
    ],
)
def test_faults_end_in_one_line(inputs: dict[str, Path], args: list[str], options: dict[str, Any], status: int,
                                stderr: str) -> None:
    if args[1] == "--at" and cli._accepts(tovak.count, "at"):
        pytest.skip("pointers are built")
    directory = inputs["plain"].parent
    (directory / "bad.jsonl.gz").write_bytes(gzip.compress(b"1\n")[:-6])  # a damaged stream
    names = {"file": inputs["plain"], "dir": directory}
    command = [sys.executable, "-m", "tovak", *[a.format(**names) for a in args]]
    if options.get("close_stdout"):
        command = ["sh", "-c", '"$0" "$@" >&-', *command]
    if "stdout_path" in options:
        with open(options["stdout_path"], "wb") as out:
            result = subprocess.run(command, stdout=out, stderr=subprocess.PIPE, timeout=60, check=False)
    else:
        result = subprocess.run(command, capture_output=True, timeout=60, check=False)
    err = result.stderr.decode()
    assert result.returncode == status
    assert err.startswith(stderr.format(**names)) and err.count("\n") == 1, err


def test_bare_command_prints_usage_and_help_lists_statuses() -> None:
    bare = tovak_run()
    assert bare.returncode == 2 and bare.stderr.startswith(b"usage: tovak ")
    helped = tovak_run("--help")
    assert helped.returncode == 0
    for status in (b"0 ", b"1 ", b"2 ", b"130 ", b"141 "):
        assert b"\n  " + status in helped.stdout


# --------------------------------------------------------------------------- json_schema

values = json_values(text=st.text(max_size=4), keys=st.sampled_from(["a", "b", "c", "é"]))


@settings(max_examples=150, deadline=None)
@given(records=st.lists(values, min_size=1, max_size=8), as_array=st.booleans())
def test_every_sampled_record_validates(records: list[Any], as_array: bool) -> None:
    if as_array:
        text, fmt = json.dumps(records), "json"
    else:
        text, fmt = "\n".join(json.dumps(r) for r in records) + "\n", "jsonl"
    schema = tovak.json_schema(text.encode(), format=fmt)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    for record in records:
        validator.validate(record)


@pytest.mark.parametrize(
    ("text", "sample", "expected"),
    [
        (b'{"a": 1, "b": null}\n{"a": 2.5}\n', 100,
         {"type": "object", "properties": {"a": {"type": "number"}, "b": {"type": "null"}}, "required": ["a"]}),
        (b'[1, "x", [true], {}]', 100,
         {"anyOf": [{"type": ["integer", "string"]}, {"type": "array", "items": {"type": "boolean"}},
                    {"type": "object"}]}),
        (b"[[], {}]", 1, {"type": "array"}),
        (b"", 100, {}),
    ],
)
def test_json_schema_keywords(text: bytes, sample: int, expected: dict[str, Any]) -> None:
    schema = tovak.json_schema(text, sample=sample, format="jsonl" if text.startswith(b"{") else "json")
    assert schema == {"$schema": "https://json-schema.org/draft/2020-12/schema", **expected}


def test_json_schema_wrong_data(tmp_path: Path) -> None:
    with pytest.raises(tovak.JSONError):
        tovak.json_schema(b"1\n{x\n", format="jsonl")
    with pytest.raises(OverflowError):
        tovak.json_schema(b"1\n", sample=2**64)


def test_validate_reports_a_record_that_fails_on_opening(tmp_path: Path) -> None:
    bad = tmp_path / "o.json"
    bad.write_text("{x")
    result = tovak_run("validate", bad, "-", stdin=b"1\n")
    assert result.returncode == 1 and result.stderr == b""
    report, summary = result.stdout.decode().splitlines()
    assert report.startswith(f"{bad}:") and report.endswith(": key must be a string")
    assert summary.startswith("files=2 records=2 errors=1 ")


@pytest.mark.skipif(not cli._accepts(tovak.records, "errors"), reason="strict reading not built yet")
@pytest.mark.parametrize("text", [b"[1, 2", b"[1, 2,]", b'{"a": 1}\n{"a": 2'])
def test_validate_finds_a_truncated_input(text: bytes) -> None:
    result = tovak_run("validate", "-", stdin=text)
    assert result.returncode == 1 and "errors=1" in result.stdout.decode().splitlines()[-1]


TO_JSONL_CASES = {
    "array": (b'[{"a": 1,  "b": [1, 2]}, "x\\n", 3]', None),
    "members": (b'{"o": {"k\\u0001\\"\\\\\\ud800": [1], "\xc3\xa9": {"z": null}, "\\u2028": 0}}', "/o"),
    "failure-after-a-chunk": (b'[1, 2, {"big": "' + b"y" * 1_500_000 + b'"}, 4, tru, 6]', None),
    "jsonl-cut-short": (b'{"a": 1}\n\n{"b": [ 2 ]}\n{"c": \n', None),
}


@pytest.mark.parametrize("case", TO_JSONL_CASES)
def test_to_jsonl_writes_what_head_writes(tmp_path: Path, case: str) -> None:
    # to-jsonl writes the engine's chunks of lines, head one compact record at a time: the same bytes, the
    # records before a failure included, and the same error.
    text, at = TO_JSONL_CASES[case]
    path = tmp_path / ("doc.jsonl" if case.startswith("jsonl") else "doc.json")
    path.write_bytes(text)
    pointer = ["--at", at] if at else []
    chunks = tovak_run("to-jsonl", path, *pointer)
    lines = tovak_run("head", "-n", "100000", "--compact", path, *pointer)
    assert (chunks.returncode, chunks.stdout, chunks.stderr) == (lines.returncode, lines.stdout, lines.stderr)
    assert chunks.stdout


@pytest.mark.parametrize(
    ("command", "at", "status", "out"),
    [
        ("head", "/meta", 0, b'{"a":1}\n{"b":[2, 3]}\n'),  # an object's members, each as one-member object
        ("to-jsonl", "/data", 0, b'{"x":1}\n{"x":2}\n'),
        ("count", "/data", 0, b"2\n"),
        ("head", "/nope", 2, b""),
    ],
)
def test_pointers_on_the_command_line(tmp_path: Path, command: str, at: str, status: int, out: bytes) -> None:
    path = tmp_path / "doc.json"
    path.write_bytes(b'{"meta": {"a": 1, "b": [2, 3]}, "data": [{"x": 1}, {"x": 2}]}')
    result = tovak_run(command, path, "--at", at)
    assert (result.returncode, result.stdout) == (status, out)
    if status:
        assert result.stderr == f'tovak: {path}: "" holds an object without member "nope"\n'.encode()
