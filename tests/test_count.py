"""count(): the top-level element counter (format json) and the non-blank line counter (format jsonl).

Both scan in 64-byte blocks and 65,536-byte reads, so besides the documented cases the tests place the
bytes that matter on both sides of those boundaries, and compare against small reference counters
written byte by byte from the counting rules."""

import errno
import os
import random
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tovak
from tovak import bigjson

CHUNK = 65536
SPACE_BYTES = b"\t\n\x0c\r "
UNICODE_SPACE = "".join(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
)
UTF8_ERROR = "read error: stream did not contain valid UTF-8"


def reference_json(data: bytes) -> int:
    array = in_string = escape = content = False
    depth = commas = 0
    for b in data:
        if in_string:
            if escape:
                escape = False
            elif b == 0x22:
                in_string = False
            elif b == 0x5C:
                escape = True
        elif not array:
            if b in SPACE_BYTES:
                continue
            if b != 0x5B:
                return 1
            array, depth = True, 1
        elif b in SPACE_BYTES:
            pass
        elif b == 0x2C:
            commas += depth == 1
        elif b in b"]}":
            depth -= 1
        else:
            content |= depth == 1
            if b == 0x22:
                in_string = True
            elif b in b"[{":
                depth += 1
    if not array:
        return 1
    return commas + 1 if content else 0


def reference_jsonl(data: bytes) -> int:
    """Raises UnicodeDecodeError where count raises its UTF-8 read error."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return sum(1 for line in lines if line.decode("utf-8").strip(UNICODE_SPACE))


def count_or_error(path, format):
    try:
        return bigjson.count(path, format=format)
    except RuntimeError as error:
        return str(error)


def expected_jsonl(data):
    try:
        return reference_jsonl(data)
    except UnicodeDecodeError:
        return UTF8_ERROR


# ---------------------------------------------------------------------------------------------------
# JSON: the documented cases


@pytest.mark.parametrize(
    "text, expected",
    [
        # arrays and nesting
        ("[]", 0), ("[ ]", 0), ("[1]", 1), ("[1,2,3]", 3), ("[[1,2],[3]]", 2), ('[{"a":1,"b":2}]', 1),
        (" \n\t\f\r[1, 2]", 2),
        # strings hide commas and brackets; escapes pair up
        ('["a,b","c]"]', 2), ('["a\\",b"]', 1), ('["\\\\",1]', 2), ('["\\\\\\"",1]', 2), ('["{[",1]', 2),
        # empty elements
        ("[1,]", 2), ("[,1]", 2), ("[1,,2]", 3), ("[,]", 0), ("[ , ]", 0),
        # truncated input
        ("[1,2", 2), ("[1,2,", 3), ('["abc', 1), ("[", 0), ('["a,b', 1), ("[{", 1),
        # after the array closes, scanning goes on
        ("[1,2] 3,4", 2), ("[1]]]", 1), ("[1,2] [3,4]", 3), ('[1]{"a":1,"b":2}', 2), ("[] [1,2]", 2),
        # a first significant byte other than `[`
        ('{"a":[1,2]}', 1), ("42", 1), ('"x"', 1), ("nul", 1), ("}", 1), ("\ufeff[1,2]", 1), ("\x0b[1,2]", 1),
        # empty or white space only
        ("", 1), (" \n\t\r\x0c ", 1),
        # content that is not a white-space byte
        ("[\x0b]", 1), ("[\u00a0]", 1), ("[\x00]", 1), ("[:]", 1), ("[\\]", 1),
    ],
)
def test_json_cases(write_file, text, expected):
    assert bigjson.count(write_file("data.json", text), format="json") == expected
    assert reference_json(text.encode()) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # malformed elements and lines are counted, never reported
        ("[1, foo, 2]", 3), ("[tr ue, }{]", 2), ('[1, "unterminated]', 2), ("[1}, 2]", 1), ("[{]", 1),
        ("[}, 1]", 0), ("[1,{\"a\":", 2), ("[1,2,]", 3), ("[\u0085, \u3000]", 2), (b"[\xff\xfe, \xc0]", 2),
        # a single value is 1 whatever follows
        ("1 2 3", 1), ('{"a":1}\n{"b":2}', 1),
    ],
)
def test_json_counts_what_the_record_reader_rejects(write_file, text, expected):
    data = text if isinstance(text, bytes) else text.encode()
    assert bigjson.count(write_file("data.json", data), format="json") == expected


def test_json_single_value_needs_one_read(tmp_path):
    # The answer for a non-array is known after the first read: count returns while the writer (another
    # process, as count keeps the interpreter while it reads) still holds the pipe open. Waiting for end
    # of file instead would last until the writer gave up.
    fifo = str(tmp_path / "pipe")
    os.mkfifo(fifo)
    writer = subprocess.Popen(
        [sys.executable, "-c", WRITER, fifo], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        assert bigjson.count(fifo, format="json") == 1
    finally:
        writer.stdin.close()
        outcome = writer.stdout.read()
        writer.wait()
    assert outcome == "released"


WRITER = """
import select, sys
with open(sys.argv[1], "wb") as pipe:
    pipe.write(b'  {"a": [1, 2,')
    pipe.flush()
    ready, _, _ = select.select([sys.stdin], [], [], 60)
    print("released" if ready else "gave up", end="")
"""


# ---------------------------------------------------------------------------------------------------
# JSONL: the documented cases


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"a\n\n   \nb", 2), (b"a\r\n\r\n   \r\nb\r\n", 2), (b"a\nb\n", 2), (b"a\nb", 2), (b"", 0), (b"\n\n\n", 0),
        ("\u00a0\n".encode(), 0), ("\ufeff\n".encode(), 1), (b"abc\n", 1), (b"a\rb\r", 1), (b"\r\r\r\n", 0),
        ("\u2028\u3000 \u0085\t\x0b\x0c\n\u1680\u205f\u202f\u2000\u200a\u2029".encode(), 0),
        # characters that start like white space but are not
        ("\u200b\n".encode(), 1), ("\u00a1\n".encode(), 1), ("\u1681\n".encode(), 1), ("\u200c\n".encode(), 1),
        ("\u3001\n".encode(), 1), ("\u205e\n".encode(), 1), ("\u0080\n".encode(), 1), ("\u2027\n".encode(), 1),
        ("  \u00a0x\u00a0  \n".encode(), 1), (b"\x1c\x1d\x1e\x1f\n", 1), (b"\x00\n", 1),
    ],
)
def test_jsonl_cases(write_file, data, expected):
    assert bigjson.count(write_file("data.jsonl", data), format="jsonl") == expected
    assert reference_jsonl(data) == expected


@pytest.mark.parametrize(
    "data",
    [
        b"1\n2\n\xff\n", b"\xc3\n1\n", b"1\n\xed\xa0\x80\n", b"\xf4\x90\x80\x80\n", b"\xc0\xaf\n", b"ok\n\xe2\x80",
        b"1\n2\n\xf0\x9f\x98", b"\x80\n", b"  \xc2\n",
    ],
)
def test_jsonl_invalid_utf8_fails(write_file, data):
    with pytest.raises(RuntimeError) as raised:
        bigjson.count(write_file("data.jsonl", data), format="jsonl")
    assert str(raised.value) == UTF8_ERROR


@pytest.mark.parametrize("format", ["json", "jsonl"])
def test_directory_is_a_read_error(tmp_path, format):
    with pytest.raises(RuntimeError) as raised:
        bigjson.count(str(tmp_path), format=format)
    assert str(raised.value) == f"read error: {os.strerror(errno.EISDIR)} (os error {errno.EISDIR})"


# ---------------------------------------------------------------------------------------------------
# Chunk and block boundaries


def array_with(snippet: bytes, at: int) -> bytes:
    """An array whose first element is a filler string and whose second starts with `snippet` at offset `at`."""
    filler = b'"' + b"x" * (at - 4) + b'",'
    data = b"[" + filler + snippet + b"]"
    assert data.index(snippet, 1 + len(filler)) == at
    return data


JSON_SNIPPETS = [
    b'"a,b"', b'"\\"",1', b'"\\\\",1', b'"\\\\\\"",1', b"[1,2],3", b"{},{}", b" , ", b"1\t,\n2", b'"\xc3\xa9,"',
    b'"\\\\\\\\"', b"]]]]", b"[[[[", b"\\,1", b'\\"a,b"',
]
BOUNDARIES = [CHUNK, 2 * CHUNK, 64 * 5]


@pytest.mark.parametrize("boundary", BOUNDARIES)
@pytest.mark.parametrize("snippet", JSON_SNIPPETS)
def test_json_bytes_across_boundaries(write_file, snippet, boundary):
    for shift in range(-len(snippet) - 1, 3):
        data = array_with(snippet, boundary + shift)
        assert bigjson.count(write_file("data.json", data), format="json") == reference_json(data), shift


@pytest.mark.parametrize("size", [*range(0, 150), *range(CHUNK - 70, CHUNK + 70, 3), 3 * CHUNK + 1])
def test_json_every_size(write_file, size):
    # Elements of varying width so that every byte class lands on every position of a block.
    rng = random.Random(size)
    parts, length = [], 1
    while length < size:
        part = rng.choice([b"1", b'"a,]"', b"[2,3]", b'{"k":"\\""}', b'"\\\\"', b" ", b"\n", b"\xe2\x80\xa8"])
        parts.append(part)
        length += len(part) + 1
    data = (b"[" + b",".join(parts) + b"]")[: size + 1]
    assert bigjson.count(write_file("data.json", data), format="json") == reference_json(data)


@pytest.mark.parametrize(
    "tail, expected",
    [(b"]", 0), (b"1]", 1), (b",]", 0), (b'"x"]', 1), (b"\x0b", 1), (b"]]]", 0), (b"", 0)],
)
def test_json_content_after_a_long_stretch_of_white_space(write_file, tail, expected):
    data = b"[" + b" \n\t\r\x0c" * (3 * CHUNK // 5) + tail
    assert bigjson.count(write_file("data.json", data), format="json") == expected


def test_json_result_does_not_depend_on_the_chunk_split(write_file):
    # Deeply nested content and long strings straddle many chunks; the top-level commas stay 1,000.
    element = b'{"s":"' + b"\\\\\\\"," * 50 + b'","n":[' + b"[" * 40 + b"1,2" + b"]" * 40 + b"]}"
    data = b"[" + b",".join([element] * 1000) + b"]"
    assert len(data) > 3 * CHUNK
    assert bigjson.count(write_file("data.json", data), format="json") == 1000


JSONL_SNIPPETS = [b"\r\n", "\u00a0".encode(), "\u2028".encode(), "\u3000".encode(), "\U0001f600".encode(), b"\n\n"]


@pytest.mark.parametrize("boundary", BOUNDARIES)
@pytest.mark.parametrize("snippet", JSONL_SNIPPETS)
@pytest.mark.parametrize("line", [b"", b"  ", b"x"])
def test_jsonl_bytes_across_boundaries(write_file, snippet, boundary, line):
    for shift in range(-len(snippet), 1):
        head = b"1\n" * ((boundary + shift - len(line)) // 2)
        head += b" " * (boundary + shift - len(line) - len(head))
        data = head + line + snippet + line + b"\n2\n"
        assert data.index(snippet, len(head)) == boundary + shift
        assert bigjson.count(write_file("data.jsonl", data), format="jsonl") == reference_jsonl(data), shift


@pytest.mark.parametrize("cut", [1, 2, 3])
@pytest.mark.parametrize("boundary", [CHUNK, 64 * 7])
def test_jsonl_invalid_sequence_across_boundaries(write_file, cut, boundary):
    # An emoji with its last byte replaced, split at every point around the boundary.
    bad = "\U0001f600".encode()[:3] + b"A"
    data = b"[]\n" * ((boundary - cut) // 3) + b" " * ((boundary - cut) % 3) + bad + b"\n{}\n"
    with pytest.raises(RuntimeError, match=UTF8_ERROR):
        bigjson.count(write_file("data.jsonl", data), format="jsonl")
    good = data.replace(bad, "\U0001f600".encode())
    assert bigjson.count(write_file("good.jsonl", good), format="jsonl") == good.count(b"\n")


@pytest.mark.parametrize("size", [*range(0, 140), *range(CHUNK - 66, CHUNK + 66, 5)])
def test_jsonl_every_size(write_file, size):
    rng = random.Random(size)
    pieces = [b"\n", b"\r\n", b" ", b"a", "\u00a0".encode(), "\u2028".encode(), "\u00e9".encode(), b"\t"]
    data = b"".join(rng.choice(pieces) for _ in range(size))
    assert bigjson.count(write_file("data.jsonl", data), format="jsonl") == reference_jsonl(data)


# ---------------------------------------------------------------------------------------------------
# Against the reference counters


# Each example rewrites the same file, so sharing the function-scoped fixture between examples is fine.
def examples(count):
    return settings(max_examples=count, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

JSON_TOKENS = [b"[", b"]", b"{", b"}", b",", b'"', b"\\", b" ", b"\n", b"1", b"\x0b", b"\xc3\xa9", b'"a"', b'\\"']
LINE_TOKENS = [b"\n", b"\r", b" ", b"\t", b"a", b"\xc2\xa0", b"\xe2\x80\xa8", b"\xe3\x80\x80", b"\xc2", b"\x80", b"\xff"]


@examples(300)
@given(st.lists(st.sampled_from(JSON_TOKENS), max_size=200), st.sampled_from([b"", b"[", b" ["]))
def test_json_matches_reference(write_file, tokens, start):
    data = start + b"".join(tokens)
    assert bigjson.count(write_file("data.json", data), format="json") == reference_json(data)


@examples(300)
@given(st.lists(st.sampled_from(LINE_TOKENS), max_size=200))
def test_jsonl_matches_reference(write_file, tokens):
    data = b"".join(tokens)
    assert count_or_error(write_file("data.jsonl", data), "jsonl") == expected_jsonl(data)


@examples(200)
@given(st.binary(max_size=400))
def test_random_bytes_never_crash(write_file, data):
    path = write_file("data.bin", data)
    assert bigjson.count(path, format="json") == reference_json(data)
    assert count_or_error(path, "jsonl") == expected_jsonl(data)


@pytest.mark.parametrize("seed", range(6))
def test_large_random_files_match_reference(write_file, monkeypatch, seed):
    rng = random.Random(seed)
    weights = [rng.random() for _ in JSON_TOKENS]
    data = b"[" + b"".join(rng.choices(JSON_TOKENS, weights, k=rng.randrange(30_000, 90_000)))
    path = write_file("data.json", data)
    assert bigjson.count(path, format="json") == reference_json(data)
    # The same in ranges of whole blocks, where brackets inside and outside strings share blocks.
    monkeypatch.setenv("TOVAK_COUNT_RANGE", "4096")
    assert tovak.count(path, format="json", threads=2) == reference_json(data)
    monkeypatch.delenv("TOVAK_COUNT_RANGE")
    lines = b"".join(rng.choices(LINE_TOKENS[:8], k=rng.randrange(60_000, 150_000)))
    assert bigjson.count(write_file("data.jsonl", lines), format="jsonl") == reference_jsonl(lines)


# A text whose answers depend on every scanner path: strings with escapes and brackets, blocks of white
# space, non-ASCII bytes, elements across 64-byte blocks.
SIMD_CHECK_TEXT = ('[' + ', '.join(f'{{"k\\\\\\"{i}": ["]", "{{", "é{i}"], "n": {i}}}' for i in range(500)) + ']\n')


@pytest.mark.parametrize("level", ["scalar", "sse2", "avx2", "", "AVX2", "avx512", "bogus"])
def test_forced_simd_level_gives_the_same_answers(tmp_path, level):
    """TOVAK_SIMD picks the scanners' level for the process; a name it does not know, or a level the CPU
    lacks, falls back to what the CPU has, never to a crash or another answer."""
    json_path = tmp_path / "a.json"
    json_path.write_text(SIMD_CHECK_TEXT, encoding="utf-8")
    lines_path = tmp_path / "a.jsonl"
    lines_path.write_text(SIMD_CHECK_TEXT[1:-2].replace("}, {", "}\n{"), encoding="utf-8")
    script = (
        "import sys; from tovak import bigjson\n"
        "a, b = sys.argv[1:]\n"
        "print(bigjson.count(a), bigjson.count(b), len(list(bigjson.iter_records(a))), len(bigjson.load(b)))\n"
    )
    env = {**os.environ, "TOVAK_SIMD": level}
    result = subprocess.run([sys.executable, "-c", script, str(json_path), str(lines_path)], env=env,
                            capture_output=True, text=True, timeout=60, check=False)
    assert (result.returncode, result.stdout.split(), result.stderr) == (0, ["500"] * 4, "")
