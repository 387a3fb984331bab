"""Fuzz target over the Python functions: the fuzzed bytes become a file, read as JSON, as JSONL and with
detection, through count, load, iter_records and schema. Beyond "no crash and only ValueError or
RuntimeError", every outcome is compared with a model built on the standard library's json module:

- the records of iter_records (each value, or each error in its place) are those of the model: elements
  cut out of a top-level array by the byte rules, trimmed of Unicode White_Space, parsed by json.loads;
- load gives exactly json.loads's value (same types, -0 as -0.0, keys in byte order), or fails where it fails;
- count gives the number of records whenever the file is a valid JSON array or JSONL file, and the byte
  rules' number always;
- schema fails exactly when some record fails, and otherwise prints JSON.

Where json.loads goes beyond RFC 8259 (NaN and Infinity, numbers that do not fit 64 bits or a double,
lone surrogate escapes, nesting deeper than 127) the value is not compared.

    python fuzz/records_target.py [libFuzzer flags] [corpus folders]

Runs under atheris when it is installed, otherwise mutates the corpus at random for -max_total_time seconds.
"""

import json
import math
import os
import random
import sys
import tempfile
import time

from tovak import bigjson

SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
SPACE_BYTES = b"\t\n\x0c\r "
INVALID_UTF8 = "read error: stream did not contain valid UTF-8"
FOLDER = tempfile.mkdtemp(prefix="tovak-fuzz-")
PATH = os.path.join(FOLDER, "input.bin")  # no suffix: detection reads the first byte


class Beyond(Exception):
    """The text uses something json.loads allows and RFC 8259 (or the 64-bit number forms) does not."""


def _int(text):
    try:
        value = int(text)
    except ValueError:  # more digits than int() takes
        raise Beyond from None
    if not -(2**63) <= value < 2**64:
        raise Beyond
    return -0.0 if text == "-0" else value


def _float(text):
    value = float(text)
    if math.isinf(value):
        raise Beyond
    return value


def _constant(_):
    raise Beyond


def _check_in_range(value, depth=0):
    if isinstance(value, (list, dict)):
        if depth >= 127:
            raise Beyond
        items = value.items() if isinstance(value, dict) else ((None, v) for v in value)
        for key, item in items:
            if key is not None:
                _check_in_range(key)
            _check_in_range(item, depth + 1)
    elif isinstance(value, str):
        if any(0xD800 <= ord(c) <= 0xDFFF for c in value):
            raise Beyond


def model_value(text):
    """json.loads's value of `text`, ValueError where it rejects it, or Beyond."""
    try:
        value = json.loads(text, parse_int=_int, parse_float=_float, parse_constant=_constant)
    except RecursionError:
        raise Beyond from None
    _check_in_range(value)
    return value


def same(a, b):
    """Equal values of the same types; floats to the bit, dict keys in ascending UTF-8 byte order in `a`."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        keys = list(a)
        if keys != sorted(keys, key=lambda k: k.encode("utf-8")):
            return False
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def split(data):
    """The array elements (bytes, white space kept) and whether the file is an array; else the document."""
    i = 0
    while i < len(data) and data[i] in SPACE_BYTES:
        i += 1
    if i == len(data):
        return [], False
    if data[i] != ord("["):
        return [data[i:]], False
    elements, element, depth, in_string, escape = [], bytearray(), 1, False, False
    for b in data[i + 1 :]:
        c = chr(b)
        if in_string:
            element.append(b)
            if escape:
                escape = False
            elif c == '"':
                in_string = False
            elif c == "\\":
                escape = True
            continue
        if c in ",]" and depth == 1:
            elements.append(bytes(element))
            element = bytearray()
            if c == "]":
                return elements, True
            continue
        element.append(b)
        if c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
        elif c in "]}":
            depth -= 1
    return elements, True  # the unfinished element is dropped


def count_model(data):
    """The counter's byte rules."""
    i = 0
    while i < len(data) and data[i] in SPACE_BYTES:
        i += 1
    if i == len(data) or data[i] != ord("["):
        return 1
    depth, in_string, escape, content, commas = 1, False, False, False, 0
    for b in data[i + 1 :]:
        c = chr(b)
        if in_string:
            if escape:
                escape = False
            elif c == '"':
                in_string = False
            elif c == "\\":
                escape = True
        elif b in SPACE_BYTES:
            pass
        elif c == ",":
            commas += depth == 1
        elif c in "]}":
            depth -= 1
        else:
            content |= depth == 1
            in_string = c == '"'
            depth += c in "[{"
    return commas + 1 if content else 0


def outcomes(it):
    """Each record, or the exception in its place, until StopIteration or a read error (which repeats)."""
    out = []
    while True:
        try:
            out.append(("value", next(it)))
        except StopIteration:
            return out
        except ValueError as error:
            out.append(("error", str(error)))
        except RuntimeError as error:
            out.append(("error", str(error)))
            if "(os error" in str(error):
                return out


def expected_records(texts, prefix):
    """Model outcomes for record texts (already trimmed, non-empty); None when one is Beyond."""
    out = []
    for text in texts:
        try:
            out.append(("value", model_value(text)))
        except Beyond:
            return None
        except ValueError:
            out.append(("error", prefix))
    return out


def agree(got, expected):
    if expected is None:
        return True
    if len(got) != len(expected):
        return False
    for (kind, value), (want_kind, want) in zip(got, expected):
        if kind != want_kind:
            return False
        if kind == "value" and not same(value, want):
            return False
        if kind == "error" and not value.startswith(want):
            return False
    return True


def attempt(call):
    try:
        return "value", call()
    except (ValueError, RuntimeError) as error:
        return "error", str(error)


def check_json(data):
    got = outcomes(bigjson.iter_records(PATH, "json"))
    elements, array = split(data)
    texts = [e.decode("utf-8", "replace").strip(SPACE) for e in elements]
    expected = expected_records([t for t in texts if t], "invalid JSON element: ")
    assert agree(got, expected), (got, expected)
    assert bigjson.count(PATH, "json") == count_model(data)

    loaded = attempt(lambda: bigjson.load(PATH, "json"))
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        assert loaded == ("error", INVALID_UTF8), loaded
        text = None
    if text is not None:
        try:
            want = ("value", model_value(text))
        except Beyond:
            want = None
        except ValueError:
            want = ("error", "invalid JSON: ")
        if want is not None:
            assert loaded[0] == want[0], (loaded, want)
            assert same(loaded[1], want[1]) if want[0] == "value" else loaded[1].startswith(want[1]), (loaded, want)
    if loaded[0] == "value":
        # A file that loads: its records are the array's elements or the one value, and count agrees.
        records = loaded[1] if array and isinstance(loaded[1], list) else [loaded[1]]
        assert [value for _, value in got] == records
        assert all(kind == "value" for kind, _ in got)
        assert bigjson.count(PATH, "json") == len(records)

    schema = attempt(lambda: bigjson.schema(PATH, 1_000_000, "json"))
    assert (schema[0] == "error") == any(kind == "error" for kind, _ in got), (schema, got)
    if schema[0] == "value":
        json.loads(schema[1])


def check_jsonl(data):
    got = outcomes(bigjson.iter_records(PATH, "jsonl"))
    counted = attempt(lambda: bigjson.count(PATH, "jsonl"))
    loaded = attempt(lambda: bigjson.load(PATH, "jsonl"))
    schema = attempt(lambda: bigjson.schema(PATH, 1_000_000, "jsonl"))
    assert (schema[0] == "error") == any(kind == "error" for kind, _ in got), (schema, got)
    if schema[0] == "value":
        json.loads(schema[1])
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        assert counted == ("error", INVALID_UTF8), counted
        assert loaded[0] == "error"
        assert any(outcome == ("error", INVALID_UTF8) for outcome in got)
        return
    lines = [line.strip(SPACE) for line in text.split("\n")]
    lines = [line for line in lines if line]
    assert counted == ("value", len(lines)), (counted, len(lines))
    expected = expected_records(lines, "invalid JSONL line: ")
    assert agree(got, expected), (got, expected)
    errors = [value for kind, value in got if kind == "error"]
    if errors:
        assert loaded == ("error", errors[0]), (loaded, errors)
    else:
        assert loaded[0] == "value" and loaded[1] == [value for _, value in got]
    it = bigjson.iter_records(PATH, "jsonl")
    outcomes(it)
    assert it.bytes_read == it.total_bytes == len(data)


def check_detection(data):
    first = data.lstrip(SPACE_BYTES)[:1]
    fmt = "json" if first == b"[" else "jsonl"
    assert attempt(lambda: bigjson.count(PATH)) == attempt(lambda: bigjson.count(PATH, fmt))
    assert outcomes(bigjson.iter_records(PATH)) == outcomes(bigjson.iter_records(PATH, fmt))


def test_one_input(data):
    with open(PATH, "wb") as f:
        f.write(data)
    check_json(data)
    check_jsonl(data)
    check_detection(data)


def random_driver(argv):
    """Plain random mutation of the corpus, for machines without atheris."""
    seconds = 60.0
    inputs = []
    for arg in argv[1:]:
        if arg.startswith("-max_total_time="):
            seconds = float(arg.split("=", 1)[1])
        elif os.path.isdir(arg):
            for name in sorted(os.listdir(arg)):
                with open(os.path.join(arg, name), "rb") as f:
                    inputs.append(f.read()[:4096])
    inputs = inputs or [b"[]"]
    for data in inputs:
        test_one_input(data)
    rng = random.Random(0)
    deadline, runs = time.monotonic() + seconds, len(inputs)
    while time.monotonic() < deadline:
        data = bytearray(rng.choice(inputs))
        for _ in range(rng.randint(1, 8)):
            op, at = rng.randrange(4), rng.randint(0, len(data))
            if op == 0:
                data[at:at] = bytes([rng.randrange(256)])
            elif op == 1 and data:
                del data[min(at, len(data) - 1)]
            elif op == 2:
                data[at:at] = rng.choice(['"', "\\", ",", "[", "]", "{", "}", "\n", " ", "\u00a0", "1e999"]).encode()
            else:
                other = rng.choice(inputs)
                data[at:at] = other[: rng.randint(0, len(other))]
        try:
            test_one_input(bytes(data))
        except Exception:
            print(f"failing input: {bytes(data)!r}", file=sys.stderr)
            raise
        runs += 1
    print(f"stat::number_of_executed_units: {runs}")


def main():
    try:
        import atheris
    except ImportError:
        random_driver(sys.argv)
        return
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
