"""The parsing workers of threads= outlive the call: the next call reuses them, they free what they made
when the consumer drops it, end when idle for a while, before a fork and at interpreter exit."""

import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import tovak

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
needs_workers = pytest.mark.skipif(not FREE_THREADED or not os.path.isdir("/proc/self/task"),
                                   reason="parsing workers run only without the GIL; counted in /proc")

DATA = b"".join(b'{"id": %d, "tags": ["a", "b"], "v": 1.5}\n' % i for i in range(60_000))
EXPECTED = tovak.load(DATA, format="jsonl", threads=1)


def task_count():
    return len(os.listdir("/proc/self/task"))


def thread_names():
    """The names of this process's threads besides the calling one (OSError where /proc cannot tell)."""
    names = []
    for task in os.listdir("/proc/self/task"):
        if int(task) == threading.get_native_id():
            continue
        try:
            names.append(open(f"/proc/self/task/{task}/comm").read().strip())
        except OSError:  # ended meanwhile
            pass
    return names


def worker_count():
    """The parsing workers alive in this process."""
    return thread_names().count("tovak-worker")


def others_than_ours():
    """The threads of the process besides this one and the workers (None where /proc cannot tell)."""
    try:
        names = thread_names()
    except OSError:
        return None
    return [name for name in names if name != "tovak-worker"]


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@needs_workers
@pytest.mark.parametrize("first, second", [("load", "load"), ("records", "load"), ("load", "records")])
def test_later_calls_reuse_the_workers(first, second):
    calls = {"load": lambda: tovak.load(DATA, format="jsonl", threads=4),
             "records": lambda: list(tovak.records(DATA, format="jsonl", threads=4))}
    assert calls[first]() == EXPECTED
    tasks = task_count()
    for _ in range(3):
        assert calls[second]() == EXPECTED
        assert task_count() <= tasks


@needs_workers
def test_idle_workers_end():
    # Counted by name: workers that earlier calls left idle end on their own clocks meanwhile, and so may
    # threads of other kinds.
    assert tovak.load(DATA, format="jsonl", threads=3) == EXPECTED
    assert worker_count() >= 2  # at least the two this call used
    assert wait_for(lambda: worker_count() == 0, 15), "idle workers did not end"
    assert tovak.load(DATA, format="jsonl", threads=3) == EXPECTED  # new ones start
    assert worker_count() >= 2


@needs_workers
def test_calls_from_many_threads_while_workers_come_and_go():
    results = []

    def call(i):
        got = tovak.load(DATA, format="jsonl", threads=2 + i % 3)
        results.append(got == EXPECTED)

    for _ in range(3):
        threads = [threading.Thread(target=call, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert results == [True] * 12


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_after_a_parallel_load():
    """No thread of ours is left to warn about at a fork, and the child starts workers of its own."""
    assert tovak.load(DATA, format="jsonl", threads=3) == EXPECTED
    # Threads that earlier tests left (a cluster's, say) make the interpreter warn all the same.
    alone = others_than_ours() == []
    with warnings.catch_warnings():
        warnings.simplefilter("error" if alone else "ignore", DeprecationWarning)
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            ok = tovak.load(DATA, format="jsonl", threads=3) == EXPECTED
            ok = ok and list(tovak.records(DATA, format="jsonl", threads=2)) == EXPECTED
            os.write(write, b"1" if ok else b"0")
            os._exit(0)
    os.close(write)
    _, status = os.waitpid(pid, 0)
    assert os.read(read, 1) == b"1" and status == 0
    os.close(read)
    assert tovak.load(DATA, format="jsonl", threads=3) == EXPECTED


FIRST_CALL = """
import os, sys, tovak
element = b'{"id": 123456, "name": "some text", "tags": ["a", "b"], "score": 1.5, "ok": true},'
data = b"[" + element * (40_000_000 // len(element)) + b"0]"
assert len(tovak.load(data, threads=2)) == 40_000_000 // len(element) + 1
def ticks(task):  # user and system time, in clock ticks
    fields = open(f"/proc/self/task/{task}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])
tasks = os.listdir("/proc/self/task")
worker = sum(ticks(t) for t in tasks if open(f"/proc/self/task/{t}/comm").read().strip() == "tovak-worker")
print(worker, ticks(os.getpid()))
"""


@needs_workers
def test_the_first_call_of_a_process_parses_on_its_worker_too():
    """The first worker's thread state stops every thread (3.13 then makes some objects immortal): a caller
    busy building objects must let that through, or it parses alone while the worker waits to start."""
    run = subprocess.run([sys.executable, "-c", FIRST_CALL], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    worker, caller = map(int, run.stdout.split())
    assert worker * 5 >= caller  # about an equal share; stalled, it had next to none


SCRIPT = """
import sys, threading, tovak
data = b"".join(b'{"id": %d}\\n' % i for i in range(200_000))
assert len(tovak.load(data, format="jsonl", threads=3)) == 200_000
if sys.argv[1] == "daemon":
    def forever():
        while True:
            for _ in tovak.records(data, format="jsonl", threads=3):
                pass
    threading.Thread(target=forever, daemon=True).start()
    threading.Event().wait(0.3)
print("done")
"""


# Before 3.14 the interpreter ends a daemon thread that wants it back during finalization with pthread_exit,
# whose unwinding through C++ frames that may not throw aborts the process. The workers' own waits hold such
# a thread instead, but the interpreter's inner ones (a contended lock, a stop-the-world pause) do not, and the
# free-threaded 3.13 can also deadlock tearing down such threads' states (on a lock one of them holds while it
# waits to attach); 3.14 holds every such thread itself.
daemon_exits_cleanly = pytest.mark.skipif(FREE_THREADED and sys.version_info < (3, 14),
                                          reason="the interpreter ends daemon threads with pthread_exit")


@pytest.mark.parametrize("case", ["idle", pytest.param("daemon", marks=daemon_exits_cleanly)])
def test_interpreter_exit_with_workers_alive(case):
    """Idle workers end before the interpreter does; a daemon thread's busy ones do not hold exit up."""
    run = subprocess.run([sys.executable, "-c", SCRIPT, case], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "done\n"


def test_subinterpreter_exit_ends_its_workers():
    interpreters = pytest.importorskip("_interpreters") if sys.version_info >= (3, 13) else None
    if interpreters is None:
        pytest.skip("needs _interpreters")
    code = textwrap.dedent("""
        import tovak
        data = b"".join(b'{"id": %d}\\n' % i for i in range(100_000))
        assert len(tovak.load(data, format="jsonl", threads=3)) == 100_000
    """)
    script = textwrap.dedent(f"""
        import _interpreters
        for _ in range(2):
            interp = _interpreters.create("legacy")
            err = _interpreters.exec(interp, {code!r})
            assert err is None, err
            _interpreters.destroy(interp)
        print("done")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if "does not support loading in subinterpreters" in run.stderr or "ImportError" in run.stderr:
        pytest.skip("the extension does not load in subinterpreters here")
    assert run.returncode == 0, run.stderr
    assert run.stdout == "done\n"
