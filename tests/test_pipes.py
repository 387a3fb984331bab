"""Input that cannot be read twice: FIFOs, pipes reached through /dev/fd/N, standard input.

Format detection reads the start of such a file and hands those bytes on to the reader, so every function
gives the answer it gives for the same bytes in a regular file: nothing lost, no line started in the middle.
Method: the same data is written to a regular file and streamed into a FIFO or a pipe by a writer process
(`cat`; a thread of this process could not write while a call reads, since calls keep the interpreter),
and each function's outcome on the two is compared.
"""

import os
import subprocess
import sys

import pytest
from conftest import open_fds, write_test_file

from tovak import bigjson

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo") or not os.path.isdir("/dev/fd"), reason="needs POSIX FIFOs")

LINES = b"".join(b'{"n": %d, "s": "%s"}\n' % (i, b"x" * (i % 50)) for i in range(5000))
DATA = {
    "jsonl": LINES,
    "jsonl-blank-start": b"\n" * 20_000 + b"  \n" + LINES,
    "array": b"[" + LINES.replace(b"}\n", b"},\n").rstrip(b",\n") + b"]",
    "array-after-white-space": b" " * 20_000 + b"\n[1, [2], {\"a\": 3}]",
    "single-value": b'  {"z": 1, "a": [1, 2]}  ',
    "empty": b"",
}


def outcome(function, path, fmt):
    try:
        if function == "iter_records":
            return list(bigjson.iter_records(path, fmt))
        if function == "schema":
            return bigjson.schema(path, 100, fmt)
        return getattr(bigjson, function)(path, fmt)
    except (ValueError, RuntimeError) as error:
        return type(error), str(error)


def feed(source, target=None, stdout=None):
    """Starts `cat source` writing into the FIFO `target` or into the descriptor `stdout`."""
    if target is not None:
        return subprocess.Popen(["sh", "-c", 'exec cat "$1" > "$2"', "sh", source, str(target)], stderr=subprocess.DEVNULL)
    return subprocess.Popen(["cat", source], stdout=stdout, stderr=subprocess.DEVNULL)


FUNCTIONS = ["count", "load", "iter_records", "schema"]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("name", DATA)
@pytest.mark.parametrize("fmt", [None, "auto", "json", "jsonl"])
def test_fifo_gives_what_a_file_gives(tmp_path, function, name, fmt):
    regular = write_test_file(tmp_path, "regular", DATA[name])
    expected = outcome(function, regular, fmt)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = feed(regular, target=fifo)
    before = open_fds()
    try:
        assert outcome(function, str(fifo), fmt) == expected
        assert open_fds() == before
    finally:
        writer.kill()
        writer.wait()


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("name", ["jsonl", "array", "single-value"])
def test_pipe_through_dev_fd_gives_what_a_file_gives(tmp_path, function, name):
    regular = write_test_file(tmp_path, "regular", DATA[name])
    expected = outcome(function, regular, None)
    read_end, write_end = os.pipe()
    writer = feed(regular, stdout=write_end)
    os.close(write_end)
    try:
        assert outcome(function, f"/dev/fd/{read_end}", None) == expected
    finally:
        os.close(read_end)
        writer.kill()
        writer.wait()


def test_iterator_over_a_pipe_starts_at_the_first_line(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = feed(write_test_file(tmp_path, "regular", LINES), target=fifo)
    it = bigjson.iter_records(str(fifo))
    assert [next(it) for _ in range(3)] == [{"n": 0, "s": ""}, {"n": 1, "s": "x"}, {"n": 2, "s": "xx"}]
    assert sum(1 for _ in it) == 4997
    assert it.bytes_read == len(LINES)
    assert writer.wait(timeout=30) == 0


@pytest.mark.parametrize(
    "command, data, expected",
    [
        (["count"], b"".join(b"%d\n" % i for i in range(1, 5001)), "5000"),
        (["count"], DATA["array"], "5000"),
        (["head", "-n", "2", "--compact"], LINES, '{"n":0,"s":""}\n{"n":1,"s":"x"}'),
    ],
    ids=["count-lines", "count-array", "head"],
)
def test_command_line_on_standard_input(command, data, expected):
    result = subprocess.run([sys.executable, "-m", "tovak", command[0], "/dev/stdin", *command[1:]], input=data,
                            capture_output=True, timeout=120, check=False)
    assert (result.returncode, result.stdout.decode().strip(), result.stderr) == (0, expected, b"")
