"""Inputs kept from fuzzing, replayed through the Python functions and checked by the fuzz target's model.

Every file under fuzz/regressions/ (the inputs that once broke a property, and the boundary cases the
fuzzers start from) and every case below goes through fuzz/records_target.py: as JSON, as JSONL and with
detection, through count, load, iter_records and schema, each outcome compared with the json module's.
"""

import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEPT = sorted((ROOT / "fuzz" / "regressions").glob("*"))


@pytest.fixture(scope="module")
def target():
    spec = importlib.util.spec_from_file_location("records_target", ROOT / "fuzz" / "records_target.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Inputs at the edges of what the model compares, written out so a failure reads at a glance.
CASES = {
    "nesting-127": b"[" * 127 + b"]" * 127,
    "nesting-128-whole-but-127-per-element": b"[" * 128 + b"]" * 128,
    "number-forms": b"[-0, 0, 18446744073709551615, 18446744073709551616, -9223372036854775809, 1E+2, 5e-324]",
    "beyond-json": b"[NaN, 1e400, 123456789012345678901234567890]",
    "lone-surrogate": b'["\\udc00"]',
    "form-feed-between-elements": b"[1,\x0c2]",
    "unicode-space-elements": b"[1, \xc2\xa0, \xe2\x80\xa8,2]",
    "duplicate-keys": b'{"b": 1, "a": 2, "b": 3}',
    "bytes-after-close": b"[1, 2] [3, 4",
    "crlf-lines": b'{"a": 1}\r\n\r\n  [2]  \r\n\x0b\n',
    "invalid-utf8-in-string": b'["\xff", "\xed\xa0\x80", "\xc3"]',
    "escaped-quote-at-block-edge": b"[" + b'"' + b"\\\\" * 31 + b'\\"' + b'", 1]',
    "empty": b"",
    "only-white-space": b" \t\r\n\x0c",
}


@pytest.mark.parametrize("path", KEPT, ids=[p.name for p in KEPT])
def test_kept_input(target, path):
    target.test_one_input(path.read_bytes())


@pytest.mark.parametrize("data", CASES.values(), ids=CASES.keys())
def test_case(target, data):
    target.test_one_input(data)


def test_the_model_catches_a_wrong_answer(target, monkeypatch):
    """The checks are live: a count one too high is reported."""
    real = target.bigjson.count
    monkeypatch.setattr(target.bigjson, "count", lambda *args: real(*args) + 1)
    with pytest.raises(AssertionError):
        target.test_one_input(b"[1, 2]")
