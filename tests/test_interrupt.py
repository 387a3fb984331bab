"""Ctrl-C during a long call: count, load, schema and a next() that crosses a huge element stop with
KeyboardInterrupt soon after SIGINT, whatever they are doing (reading, scanning, building objects).

Method: a child process runs one call on input that never ends (a producer process writing into its
standard input) or on a big file, reports that it started, and gets SIGINT a moment later; it must end
with KeyboardInterrupt well within a generous bound. Timing is measured by the benchmark, not here.
"""

import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")

# Input that never ends, written by a producer process.
ENDLESS = {
    "lines": ["yes", '{"a": [1, 2, 3], "b": "text", "c": {"d": null}}'],
    "array": ["sh", "-c", "printf '['; yes '1,' | tr -d '\\n'"],
    "huge-element": ["sh", "-c", "printf '[['; yes '1,' | tr -d '\\n'"],
    "gzip-lines": ["sh", "-c", "yes '{\"a\": 1}' | gzip -1"],
}

CALLS = {
    "count-lines": ("lines", "bigjson.count('/dev/stdin', 'jsonl')"),
    "count-array": ("array", "bigjson.count('/dev/stdin', 'json')"),
    "load-lines": ("lines", "bigjson.load('/dev/stdin', 'jsonl')"),
    "schema-lines": ("lines", "bigjson.schema('/dev/stdin', 10**12, 'jsonl')"),
    "schema-array": ("array", "bigjson.schema('/dev/stdin', 10**12, 'json')"),
    "next-across-a-huge-element": ("huge-element", "next(bigjson.iter_records('/dev/stdin', 'json'))"),
    # The package's own functions, reading standard input as "-" (and, for the gzip case, decompressing
    # on a thread of its own while the call waits).
    "tovak-count-lines": ("lines", "tovak.count('-', format='jsonl')"),
    "tovak-load-lines": ("lines", "tovak.load('-', format='jsonl')"),
    "tovak-load-array": ("array", "tovak.load('-', format='json')"),
    "tovak-schema-lines": ("lines", "tovak.schema('-', sample=10**12, format='jsonl')"),
    "tovak-next-across-a-huge-element": ("huge-element", "next(tovak.records('-', format='json'))"),
    "tovak-load-gzip-lines": ("gzip-lines", "tovak.load('-', format='jsonl')"),
    # On worker threads: the calling thread cuts and waits for the batches.
    "tovak-load-lines-threads": ("lines", "tovak.load('-', format='jsonl', threads=2)"),
    "tovak-load-array-threads": ("array", "tovak.load('-', format='json', threads=3)"),
    "tovak-records-lines-threads": ("lines", "sum(1 for _ in tovak.records('-', format='jsonl', threads=2))"),
    "tovak-count-lines-threads": ("lines", "tovak.count('-', format='jsonl', threads=2)"),
    "tovak-load-gzip-lines-threads": ("gzip-lines", "tovak.load('-', format='jsonl', threads=2)"),
}

# The child takes SIGINT as an interactive interpreter does, even when the tests run where it is ignored (a
# background job of a script inherits SIGINT ignored, and the interpreter then leaves it so).
CHILD = """
import signal
import sys
signal.signal(signal.SIGINT, signal.default_int_handler)
import tovak
from tovak import bigjson
print("started", flush=True)
try:
    {call}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""

BOUND = 5.0  # seconds from SIGINT to the end of the child; the real delay is far shorter


def interrupt(call, stdin=None):
    """Runs `call` in a child, sends SIGINT 0.3 s after it started; returns its last line and the delay."""
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(call=call)], stdin=stdin,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
        return out.strip(), time.monotonic() - sent
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("name", CALLS)
def test_sigint_stops_a_call_on_endless_input(name):
    source, call = CALLS[name]
    producer = subprocess.Popen(ENDLESS[source], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        last, delay = interrupt(call, stdin=producer.stdout)
    finally:
        producer.kill()
        producer.wait()
    assert last == "interrupted"
    assert delay < BOUND


def big_array(tmp_path):
    """A 60 MB array of small objects."""
    path = tmp_path / "big.json"
    element = b'{"id": 123456, "name": "some text", "tags": ["a", "b"], "score": 1.5, "ok": true},'
    with open(path, "wb") as out:
        out.write(b"[")
        out.write(element * (60_000_000 // len(element)))
        out.write(b"0]")
    return path


def test_sigint_stops_the_load_of_one_big_document(tmp_path):
    """The objects of one document are built in one parse: the Python sink looks for signals as it goes."""
    path = big_array(tmp_path)
    last, delay = interrupt(f"bigjson.load({str(path)!r}, 'json')")
    assert last == "interrupted"
    assert delay < BOUND


def test_sigint_stops_a_parallel_load_of_a_big_array(tmp_path):
    """Workers parse the elements; the calling thread, waiting for them, still sees the signal at once."""
    path = big_array(tmp_path)
    # Two threads may load the file before the signal comes: loaded again and again, it meets one load.
    last, delay = interrupt(f"for _ in range(200): tovak.load({str(path)!r}, threads=2)")
    assert last == "interrupted"
    assert delay < BOUND
