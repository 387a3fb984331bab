"""Choice of the file format (by name, by suffix, by the first significant byte) and opening files, seen
through `count`: an array file counts its elements as JSON and its lines as JSONL, so the count tells
which format was chosen."""

import errno
import os
import stat

import pytest
from conftest import open_fds, write_test_file

from tovak import bigjson

# "[1,2,3]" on one line: 3 as JSON, 1 as JSONL.
ARRAY = b"[1,2,3]\n"
# Two lines of scalars: 1 as JSON (the first value decides), 2 as JSONL.
LINES = b"1\n2\n"

EXPECTED_NAMES = "; expected 'json', 'jsonl' or 'auto'"


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


# ---------------------------------------------------------------------------------------------------
# Format names


@pytest.mark.parametrize(
    "format, expected",
    [
        ("json", 3), ("JSON", 3), ("Json", 3), ("jSoN", 3),
        ("jsonl", 1), ("JSONL", 1), ("ndjson", 1), ("NDJSON", 1), ("NdJson", 1),
        (None, 3), ("", 3), ("auto", 3), ("Auto", 3), ("AUTO", 3),
    ],
)
def test_format_names(tmp_path, format, expected):
    path = write_test_file(tmp_path, "records.txt", ARRAY)
    assert bigjson.count(path, format=format) == expected


@pytest.mark.parametrize("format", [None, "", "auto", "aUTO"])
def test_detection_by_name_and_content(tmp_path, format):
    assert bigjson.count(write_test_file(tmp_path, "lines.txt", LINES), format) == 2
    assert bigjson.count(write_test_file(tmp_path, "array.JSONL", ARRAY), format) == 1


@pytest.mark.parametrize("format", ["JSON", "NDJSON", "jsonl"])
def test_explicit_format_is_not_sniffed(tmp_path, format):
    # Sniffing would fail with "cannot read"; an explicit format leaves the failure to the counting read.
    with pytest.raises(RuntimeError) as caught:
        bigjson.count(str(tmp_path), format=format)
    assert caught.value.args == ("read error: " + os_text(errno.EISDIR),)


@pytest.mark.parametrize(
    "format, shown",
    [
        ("XML", '"xml"'),
        ("yaml", '"yaml"'),
        (" json", '" json"'),
        ("json ", '"json "'),
        ("json\n", '"json\\n"'),
        ("json\x00", '"json\\0"'),
        ("jsonlines", '"jsonlines"'),
        ("nd-json", '"nd-json"'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("a'b", '"a\'b"'),
        ("a\tb", '"a\\tb"'),
        ("a\rb", '"a\\rb"'),
        ("\x01\x1b\x7f", '"\\u{1}\\u{1b}\\u{7f}"'),
        ("\x85", '"\\u{85}"'),
        ("ÄBC", '"Äbc"'),
        ("café", '"café"'),
        ("ＪＳＯＮ", '"ＪＳＯＮ"'),
        ("日本", '"日本"'),
        ("e\u0301", '"e\\u{301}"'),
        # Invisible characters: no-break space, zero-width space, byte-order mark.
        ("a\u00a0\u200b\ufeff", '"a\\u{a0}\\u{200b}\\u{feff}"'),
    ],
)
def test_unknown_format(tmp_path, format, shown):
    path = write_test_file(tmp_path, "records.json", ARRAY)
    with pytest.raises(ValueError) as caught:
        bigjson.count(path, format=format)
    assert caught.value.args == ("unknown format " + shown + EXPECTED_NAMES,)


# ---------------------------------------------------------------------------------------------------
# Suffixes


@pytest.mark.parametrize(
    "name, data, expected",
    [
        ("Data.JSONL", ARRAY, 1),
        ("x.NdJson", ARRAY, 1),
        ("x.jsonl", ARRAY, 1),
        ("y.json", LINES, 1),
        ("Y.JSON", LINES, 1),
        ("données.json", LINES, 1),
        # Sniffed: the suffix is not at the very end of the path.
        ("z.json.gz", LINES, 2),
        ("a.jsonl.bak", ARRAY, 3),
        ("x.json ", LINES, 2),
        ("records.txt", LINES, 2),
        ("records.txt", ARRAY, 3),
        ("datajson", LINES, 2),
        ("datajsonl", ARRAY, 3),
    ],
)
def test_suffix(tmp_path, name, data, expected):
    assert bigjson.count(write_test_file(tmp_path, name, data)) == expected


@pytest.mark.parametrize("name, data, expected", [(".json", LINES, 1), (".jsonl", ARRAY, 1), (".NDJSON", ARRAY, 1)])
def test_suffix_alone(tmp_path, monkeypatch, name, data, expected):
    write_test_file(tmp_path, name, data)
    monkeypatch.chdir(tmp_path)
    assert bigjson.count(name) == expected


def test_only_the_end_of_the_path_counts(tmp_path):
    (tmp_path / "logs.json").mkdir()
    assert bigjson.count(write_test_file(tmp_path / "logs.json", "data", LINES)) == 2


# ---------------------------------------------------------------------------------------------------
# Sniffing


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"  \n\n[1,2,3]", 3),
        (b"\t\r\n [1,2,3]\n", 3),
        (b"\f[1,2,3]", 3),
        (b"[]", 0),
        (b'{\n"a": 1\n}\n', 3),
        (b"1\n2\n", 2),
        (b'"a"\n"b"\n', 2),
        (b"null\nnull\n", 2),
        (b"\v[1,2,3]\n[4]\n", 2),
        (b"\xef\xbb\xbf[1,2,3]\n[4]\n", 2),
        (b"\xc2\xa0[1,2,3]\n[4]\n", 2),
        (b"", 0),
        (b" \n\t\r\f\n", 0),
        (b" " * 9000, 0),
    ],
    ids=["spaces-lf", "tab-cr-lf", "form-feed", "empty-array", "object", "digit", "quote", "null",
         "vertical-tab", "bom", "no-break-space", "empty", "white-space-only", "long-white-space-only"],
)
def test_first_significant_byte(tmp_path, data, expected):
    assert bigjson.count(write_test_file(tmp_path, "records.txt", data)) == expected


@pytest.mark.parametrize("spaces", [4095, 4096, 8191, 8192, 8193, 65536, 65537, 200_000])
@pytest.mark.parametrize("filler", [b" ", b"\n", b"\r\n\t\f "])
def test_long_white_space_before_the_array(tmp_path, spaces, filler):
    data = (filler * spaces)[:spaces] + b"[1,2]"
    assert bigjson.count(write_test_file(tmp_path, "records.txt", data)) == 2


# ---------------------------------------------------------------------------------------------------
# Opening and reading errors


@pytest.mark.parametrize("name", ["missing.txt", "missing.json", "missing.JSONL", "no/such/dir/records", ""])
@pytest.mark.parametrize("format", [None, "json", "ndjson"])
def test_missing_file(tmp_path, monkeypatch, name, format):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as caught:
        bigjson.count(name, format=format)
    assert caught.value.args == (f"cannot open {name}: {os_text(errno.ENOENT)}",)


def test_path_is_shown_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for path in ["./nowhere/../missing.txt", "a b/'q'\"x\".txt", "dönnées/ü.json", "tab\there"]:
        with pytest.raises(ValueError) as caught:
            bigjson.count(path)
        assert caught.value.args == (f"cannot open {path}: {os_text(errno.ENOENT)}",)


def test_path_through_a_regular_file(tmp_path):
    path = write_test_file(tmp_path, "plain.txt", LINES) + "/inner.txt"
    with pytest.raises(ValueError) as caught:
        bigjson.count(path)
    assert caught.value.args == (f"cannot open {path}: {os_text(errno.ENOTDIR)}",)


@pytest.mark.parametrize("suffix", ["", "/", "/.", "/sub.json/"])
def test_directory_is_sniffed(tmp_path, suffix):
    (tmp_path / "sub.json").mkdir()
    path = str(tmp_path) + suffix
    with pytest.raises(ValueError) as caught:
        bigjson.count(path)
    assert caught.value.args == (f"cannot read {path}: {os_text(errno.EISDIR)}",)


@pytest.mark.parametrize("name", ["d.json", "d.jsonl", "D.NDJSON"])
def test_directory_named_by_suffix(tmp_path, name):
    (tmp_path / name).mkdir()
    with pytest.raises(RuntimeError) as caught:
        bigjson.count(str(tmp_path / name))
    assert caught.value.args == ("read error: " + os_text(errno.EISDIR),)


@pytest.mark.parametrize("tail", ["\x00", "\x00junk", "\x00.json", "\x00.jsonl"])
@pytest.mark.parametrize("format", [None, "json"])
def test_nul_in_path(tmp_path, tail, format):
    # The part before the NUL names a real file: the path must not be cut short there.
    path = write_test_file(tmp_path, "real.txt", ARRAY) + tail
    with pytest.raises(ValueError) as caught:
        bigjson.count(path, format=format)
    assert caught.value.args == (f"cannot open {path}: file name contained an unexpected NUL byte",)


@pytest.mark.skipif(os.name == "posix" and os.geteuid() == 0, reason="root reads files whatever their mode")
@pytest.mark.parametrize("name", ["locked.txt", "locked.json", "locked.jsonl"])
def test_unreadable_file(tmp_path, name):
    path = write_test_file(tmp_path, name, ARRAY)
    os.chmod(path, 0)
    try:
        with pytest.raises(ValueError) as caught:
            bigjson.count(path)
    finally:
        os.chmod(path, stat.S_IRUSR | stat.S_IWUSR)
    assert caught.value.args == (f"cannot open {path}: {os_text(errno.EACCES)}",)


# ---------------------------------------------------------------------------------------------------
# No file stays open


def make_directory(d, name):
    (d / name).mkdir(exist_ok=True)
    return str(d / name)


@pytest.mark.parametrize(
    "call",
    [
        lambda d: bigjson.count(str(d / "missing.txt")),
        lambda d: bigjson.count(str(d / "missing.json")),
        lambda d: bigjson.count(make_directory(d, "plain")),
        lambda d: bigjson.count(make_directory(d, "d.json")),
        lambda d: bigjson.count(make_directory(d, "d.jsonl")),
        lambda d: bigjson.count(write_test_file(d, "x.txt", ARRAY) + "\x00"),
        lambda d: bigjson.count(write_test_file(d, "x.txt", ARRAY), format="xml"),
        lambda d: bigjson.count(write_test_file(d, "x.txt", ARRAY), format=1),
        lambda d: bigjson.count(write_test_file(d, "x.txt", b"\xff\n"), format="jsonl"),
    ],
    ids=["missing-sniffed", "missing-by-suffix", "directory-sniffed", "directory-json", "directory-jsonl",
         "nul", "unknown-format", "bad-format-type", "invalid-utf8-line"],
)
@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_errors_leave_no_file_open(tmp_path, call):
    before = open_fds()
    with pytest.raises((ValueError, RuntimeError, TypeError)):
        call(tmp_path)
    assert open_fds() == before


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
@pytest.mark.parametrize("name, data", [("x.txt", ARRAY), ("x.txt", LINES), ("x.json", ARRAY), ("x.jsonl", LINES),
                                        ("x.txt", b"")])
def test_counting_leaves_no_file_open(tmp_path, name, data):
    path = write_test_file(tmp_path, name, data)
    before = open_fds()
    bigjson.count(path)
    assert open_fds() == before
