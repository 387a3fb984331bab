#!/usr/bin/env python3
"""Benchmark tovak.bigjson against peers on the same data, printed as Markdown tables.

Every measurement runs in a fresh child process (this script with the hidden --child flag),
which reports its best time of N runs and its peak RSS above a baseline taken after imports.

    python3 bench/bench.py [--mb 400] [--repeat 3]
                           [--only count,load,iter,schema,sources,pointer,threads,dask,corpus]
                           [--data DIR] [--keep] [--corpus DIR] [--no-gc | --both-gc] [--plot FILE.png]
"""
import argparse
import datetime
import gc
import importlib
import importlib.metadata
import json
import math
import os
import platform
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from itertools import islice
from pathlib import Path

MB = 1 << 20
ROOT = Path(__file__).resolve().parents[1]
SECTIONS = ("count", "load", "iter", "schema", "sources", "pointer", "threads", "dask", "corpus")
PEERS = ("orjson", "msgspec", "ijson", "genson", "polars", "duckdb")
OURS = {"count": "count", "load": "load", "iter": "iter_records", "schema": "schema"}
# The package's own functions (tovak.*), by case name.
PACKAGE = {"t_count": "count", "t_load": "load", "t_records": "records"}
# tovak.records with the options of `at=` pointers and raw records, by case name.
RECORD_OPTIONS = {"t_at": {}, "t_raw": {"raw": True}, "t_compact": {"raw": "compact"}}

# ---------------------------------------------------------------- data generation
CITIES = ["Zürich", "東京", "São Paulo", "Москва", "Kraków", "Reykjavík", "Αθήνα", "القاهرة", "Dublin"]
EMOJI = ["😀", "🚀", "🎉", "👍🏽", "🇨🇭", "❤️", "𝄞"]
TRICKY = ['say "hi"', "back\\slash", "line1\nline2", "tab\there", "caf\u00e9 cr\u00e8me",
          'both " and \\ here', "ctrl \x01\x1f chars", "a/b</script>", "", " "]
KEEP = {"tags": 0.6, "text": 0.5, "note": 0.4, "geo": 0.5, "items": 0.4, "matrix": 0.2, "meta": 0.2,
        "value": 0.3, "ключ Zürich": 0.1}  # how often each optional key is present
WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor "
         "incididunt ut labore et dolore magna aliqua").split()


def _record(rng: random.Random):
    """One random record: mostly objects, some plain arrays, numbers and strings."""
    kind = rng.random()
    if kind < 0.10:
        return [rng.randint(-1000, 1000), rng.choice(CITIES), rng.random(), None, True,
                [rng.randint(0, 9), [rng.choice(EMOJI), []]], {"k": rng.choice(TRICKY)}]
    if kind < 0.17:
        return rng.choice([rng.randint(-2**62, 2**62), round(rng.uniform(-1e6, 1e6), 4),
                           rng.uniform(-1, 1) * 10.0 ** rng.randint(-30, 30), 0, -1.5e-7])
    if kind < 0.19:
        return rng.choice(TRICKY + CITIES + EMOJI)
    rec = {"name": f"{rng.choice(WORDS)}{rng.randint(0, 999)}", "city": rng.choice(CITIES),
           "score": round(rng.uniform(0, 100), 3), "count": rng.randint(0, 10**12),
           "active": rng.random() < 0.5, "parent": None,
           "tags": rng.sample(WORDS, rng.randint(0, 5)),
           "text": " ".join(rng.choices(WORDS + CITIES + EMOJI, k=rng.randint(10, 80))),
           "note": rng.choice(TRICKY),
           "geo": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180),
                   "alt": rng.choice([None, rng.randint(0, 4000)])},
           "items": [{"sku": f"S{rng.randint(0, 99999):05d}", "qty": rng.randint(1, 9),
                      "price": round(rng.uniform(0.5, 500), 2)} for _ in range(rng.randint(0, 4))],
           "matrix": [[rng.randint(0, 9) for _ in range(3)], [rng.random(), [rng.randint(0, 9), []]], []],
           "meta": {"created": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
                    "flags": {"a": True, "b": [None, {"deep": {"deeper": rng.choice(EMOJI)}}]}, "empty": {}},
           "value": rng.choice([1, "one", 1.5, None, [1, "x"], {"v": 1}, False]),
           "ключ Zürich": rng.choice(EMOJI)}
    return {k: v for k, v in rec.items() if rng.random() < KEEP.get(k, 1.0)}


def _batch(rng: random.Random, n: int):
    """n distinct records as (is_object, jsonl_text, array_text, separator, jsonl_bytes)."""
    out = []
    for _ in range(n):
        rec = _record(rng)
        escaped = rng.random() < 0.2  # \u00fc, surrogate pairs for emoji
        seps = (",", ":") if rng.random() < 0.5 else (", ", ": ")
        line = json.dumps(rec, ensure_ascii=escaped, separators=seps)
        arr = json.dumps(rec, ensure_ascii=escaped, indent=1) if rng.random() < 0.05 else line
        obj = isinstance(rec, dict)
        if obj:  # the id prefix is added when writing
            line, arr = line[1:], arr[1:]
        sep = rng.choice([",", ",\n", ", ", ",\n  ", "\n,\t"])
        out.append((obj, line, arr, sep, len(line.encode())))
    return out


def generate(folder, mb: float = 400, seed: int = 42, batch: int = 4000) -> int:
    """Write folder/data.json (one array) and folder/data.jsonl with the same records.

    Returns the number of records (also stored in folder/data.meta.json)."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    recs = _batch(random.Random(seed), batch)
    limit, size, n = int(mb * MB), 0, 0
    with open(folder / "data.json", "w", encoding="utf-8", newline="") as fa, \
            open(folder / "data.jsonl", "w", encoding="utf-8", newline="") as fl:
        fa.write("[\n")
        while size < limit:
            arrs, lines = [], []
            for obj, line, arr, sep, lb in recs:
                if obj:
                    head = f'{{"id":{n},'
                    line, arr = head + line, head + arr
                    lb += len(head)
                if n:
                    arrs.append(sep)
                arrs.append(arr)
                lines.append(line)
                n += 1
                size += lb + 1
                if size >= limit:
                    break
            fa.write("".join(arrs))
            fl.write("\n".join(lines))
            fl.write("\n")
        fa.write("\n]\n")
    (folder / "data.meta.json").write_text(json.dumps({"records": n, "mb": mb, "seed": seed}))
    return n


# ---------------------------------------------------------------- child side
def _build(case: str, path: str, fmt, sample, at=None, threads=None):
    """Import what `case` needs and return a zero-argument callable for one run.

    Raises (the reason for an n/a cell) when tovak, a bigjson function or a peer is missing."""
    if case in OURS:
        from tovak import bigjson
        if not hasattr(bigjson, OURS[case]):
            raise NotImplementedError(f"tovak.bigjson.{OURS[case]} is not implemented yet")
        kw = {} if sample is None else {"sample": sample}
        if case != "iter":
            fn = getattr(bigjson, OURS[case])
            return lambda: fn(path, format=fmt, **kw)

        def run():  # iterate everything, counting records
            it, n = bigjson.iter_records(path, format=fmt), 0
            for _ in it:
                n += 1
            return (n, getattr(it, "bytes_read", None), getattr(it, "total_bytes", None))
    elif case in PACKAGE:
        import tovak
        if not hasattr(tovak, PACKAGE[case]):
            raise NotImplementedError(f"tovak.{PACKAGE[case]} is not implemented yet")
        kw = {} if threads is None else {"threads": threads}
        if case != "t_records":
            fn = getattr(tovak, PACKAGE[case])
            return lambda: fn(path, format=fmt, **kw)

        def run():
            with tovak.records(path, format=fmt, **kw) as records:
                n = 0
                for _ in records:
                    n += 1
                return (n, records.bytes_read, records.total_bytes)
    elif case in RECORD_OPTIONS:
        import tovak
        options = dict(RECORD_OPTIONS[case], at=at)

        def run():
            with tovak.records(path, format=fmt, **options) as records:
                n = 0
                for _ in records:
                    n += 1
                return (n,)
    elif case.startswith("dask_"):  # dask_<what>_<workers>: on a LocalCluster of worker processes
        return _dask_case(case, path)
    elif case == "t_split":  # the boundary scan of tovak.dask, as one partition task runs it
        from tovak.lib import _reader
        blocksize = 8 * MB
        blocks = -(-os.path.getsize(path) // blocksize)

        def run():
            kind, entries, _ = _reader.split_blocks(path, blocksize, blocks, fmt)
            return (kind, sum(entry is not None for entry in entries or ()))
    elif case == "marshal":  # the floor: the same objects, built from the interpreter's own format
        import marshal
        from tovak import bigjson
        blob = marshal.dumps(bigjson.load(path, format=fmt))

        def run():
            return marshal.loads(blob)
    elif case == "polars":
        import polars

        def run():
            return polars.read_ndjson(path).height
    elif case == "duckdb":
        import duckdb

        def run():
            return duckdb.sql(f"SELECT count(*) FROM read_json('{path}', format='newline_delimited')").fetchall()[0][0]
    elif case == "pyloop":
        def run():
            with open(path, "rb") as f:
                return sum(1 for line in f if line.strip())
    elif case in ("ijson", "ijson_at"):  # ijson_at: the records under a prefix (`at`), as floats
        import ijson
        try:
            items = ijson.get_backend("yajl2_c").items
        except Exception as e:
            raise ImportError(f"ijson has no yajl2_c (C) backend here: {e}") from e
        prefix, options = ("item", {}) if case == "ijson" else (at, {"use_float": True})

        def run():
            with open(path, "rb") as f:
                n = 0
                for _ in items(f, prefix, **options):
                    n += 1
                return (n,)
    elif case == "genson":
        from genson import SchemaBuilder

        def run():  # the same first `sample` records, parsed line by line
            b = SchemaBuilder()
            with open(path, "rb") as f:
                for line in islice(f, sample):
                    b.add_object(json.loads(line))
            return json.dumps(b.to_schema())
    else:  # json, orjson, msgspec: whole document, or one value per line for JSONL
        mod = importlib.import_module(case)
        loads = mod.json.decode if case == "msgspec" else mod.loads
        lines = fmt == "jsonl" or path.endswith((".jsonl", ".ndjson"))

        def run():
            with open(path, "rb") as f:
                return [loads(line) for line in f] if lines else loads(f.read())
    return run


def _dask_case(case: str, path: str):
    """The cluster starts here, before the timed runs; it ends with the child process."""
    import logging

    import dask.bag
    from distributed import Client, LocalCluster

    import tovak.dask
    what, workers = case.split("_")[1], int(case.rsplit("_", 1)[1])
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                           silence_logs=logging.ERROR)
    client = Client(cluster)
    _build.keep = (cluster, client)  # alive for the runs
    if what == "records":
        return lambda: (tovak.dask.read_records(path, blocksize="8 MiB").count().compute(),)
    if what == "readtext":
        return lambda: (dask.bag.read_text(path, blocksize="8 MiB").map(json.loads).count().compute(),)
    raise ValueError(f"unknown case {case}")


def _summary(r):
    """A small, comparable fingerprint of a result."""
    if isinstance(r, tuple):
        return list(r)
    if isinstance(r, (list, dict)):
        return [type(r).__name__, len(r)]
    if isinstance(r, str):
        try:
            json.loads(r)
            return ["JSON text", len(r)]
        except ValueError:
            return ["not JSON", len(r)]
    return r if isinstance(r, (int, float)) else type(r).__name__


def rss() -> int:
    """Peak RSS of this process so far, in bytes (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(spec: dict) -> None:
    """Run one measurement and print its result as one JSON line."""
    case = spec["case"]
    try:
        fn = _build(case, spec["path"], spec.get("format"), spec.get("sample"), spec.get("at"), spec.get("threads"))
        base, best, n, value = rss(), float("inf"), 0, None
        if spec.get("no_gc"):
            gc.disable()
        # On the free-threaded build an object a worker thread built is freed by that worker (biased
        # reference counting queues it there), which an idle worker does within a tick (0.1 s). A call
        # made at once after `del r` would also pay for freeing its predecessor's share, which a
        # one-thread call pays at `del r`, outside the timing; a pause after a long call keeps both out.
        settle = not getattr(sys, "_is_gil_enabled", lambda: True)() and spec.get("threads") != 1
        start = time.perf_counter()
        while n < spec["repeat"] or (time.perf_counter() - start < spec["min_time"] and n < 10000):
            t0 = time.perf_counter()
            r = fn()
            took = time.perf_counter() - t0
            best = min(best, took)
            if n == 0:
                value = _summary(r)
            del r
            if settle and took > 0.05:
                time.sleep(0.25)
            n += 1
        out = {"time": best, "runs": n, "base": base, "rss": rss() - base, "value": value}
    except Exception as e:  # reported as an n/a cell with this reason
        kind = "" if isinstance(e, (ImportError, NotImplementedError)) else f"{type(e).__name__}: "
        out = {"error": f"{case}: {kind}{e}"[:160]}
    print(json.dumps(out))


# ---------------------------------------------------------------- parent side
class Runner:
    """Spawns measurement children and caches their results."""

    def __init__(self, repeat: int, no_gc: bool):
        self.repeat, self.no_gc, self.cache = repeat, no_gc, {}

    def run(self, case, path, fmt=None, sample=None, repeat=None, min_time=0.0, no_gc=None, at=None,
            threads=None) -> dict:
        """One case in a child; `no_gc` overrides the collector setting of the whole run."""
        key, spec = self._key_and_spec(case, path, fmt, sample, repeat, min_time, no_gc, at, threads)
        if key not in self.cache:
            self.cache[key] = self._spawn(spec)
        return self.cache[key]

    def run_interleaved(self, calls: list[dict]) -> None:
        """Runs the calls (each a dict of `run`'s arguments) in rounds, one child per call and round with a
        single run in it, the calls taking turns; caches the best round of each as `run` would give it.
        On a shared machine a burst of load then costs one round of every case rather than every run of
        one case, so the ratios between the cases stay fair."""
        specs = {}
        for call in calls:
            key, spec = self._key_and_spec(**call)
            if key not in self.cache:
                specs[key] = dict(spec, repeat=1)
        best: dict = {}
        for _ in range(self.repeat):
            for key, spec in specs.items():
                got = self._spawn(spec)
                # A failing round makes the case fail: a broken case shows as n/a, not as its lucky round.
                if "error" in got or key not in best or ("error" not in best[key] and got["time"] < best[key]["time"]):
                    best[key] = got
        self.cache.update(best)

    def _key_and_spec(self, case, path, fmt=None, sample=None, repeat=None, min_time=0.0, no_gc=None, at=None,
                      threads=None):
        no_gc = self.no_gc if no_gc is None else no_gc
        key = (case, str(path), fmt, sample, no_gc, at, threads, repeat, min_time)
        spec = {"case": case, "path": str(path), "format": fmt, "sample": sample, "repeat": repeat or self.repeat,
                "min_time": min_time, "no_gc": no_gc, "at": at, "threads": threads}
        return key, spec

    @staticmethod
    def _spawn(spec: dict) -> dict:
        p = subprocess.run([sys.executable, __file__, "--child", json.dumps(spec)],
                           capture_output=True, text=True, check=False)
        tail = (p.stderr.strip().splitlines() or [""])[-1]
        return json.loads(p.stdout.strip().splitlines()[-1]) if p.returncode == 0 else \
            {"error": f"child exited with {p.returncode} {tail}"[:160]}

    def external(self, argv) -> dict:
        """Time a command from here, best of repeat (its RSS is not measured)."""
        best = float("inf")
        for _ in range(self.repeat):
            t0 = time.perf_counter()
            out = subprocess.PIPE if argv[0] == "wc" else subprocess.DEVNULL  # cat FILE > /dev/null
            p = subprocess.run(argv, stdout=out, check=False)
            best = min(best, time.perf_counter() - t0)
            if p.returncode:
                return {"error": f"{' '.join(argv)} exited with {p.returncode}"}
        return {"time": best, "rss": None, "value": int(p.stdout.split()[0]) if p.stdout else None}


_REASONS: list[str] = []  # why cells of the table being built say n/a


def ftime(res: dict, size=None) -> str:
    if "error" in res:
        if res["error"] not in _REASONS:
            _REASONS.append(res["error"])
        return "n/a"
    t = res["time"]
    s = f"{t * 1000:.2f} ms" if t < 1 else f"{t:.3f} s"
    return s + (f" ({size / MB / t:,.0f} MB/s)" if size else "")


def frss(res: dict) -> str:
    if "error" in res:
        return "n/a"
    return "—" if res["rss"] is None else f"+{res['rss'] / MB:.0f} MB"


def fratio(num: dict, den: dict) -> str:
    if "error" in num or "error" in den or not den["time"]:
        return "n/a"
    return f"{num['time'] / den['time']:.2f}"


def fcheck(a: dict, b: dict) -> str:
    if "error" in a or "error" in b:
        return ""
    return "same" if a["value"] == b["value"] else f"DIFFERS: {a['value']} vs {b['value']}"


def row(label, ours, peer, ratio, target="—", check="", size=None) -> list:
    return [label, ftime(ours, size), ftime(peer, size), ratio, target, f"{frss(ours)} / {frss(peer)}", check]


def table(rows, notes=(), head=("case", "ours", "peer", "ratio", "target", "peak RSS ours / peer", "check")):
    """Print one Markdown table, its notes and the reasons for its n/a cells."""
    print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    for r in rows:
        print("| " + " | ".join(str(c) for c in r) + " |")
    for n in list(notes) + [f"n/a: {r}" for r in _REASONS]:
        print(f"\n{n}")
    _REASONS.clear()
    print()


def section_count(R: Runner, d: dict) -> None:
    print("## Counting\n")
    js, jl, sj, sl = d["json"], d["jsonl"], d["json_size"], d["jsonl_size"]
    oj, ol = R.run("count", js), R.run("count", jl)
    tj, tl = R.run("t_count", js), R.run("t_count", jl)
    cat, wc, py = R.external(["cat", str(js)]), R.external(["wc", "-l", str(jl)]), R.run("pyloop", jl)
    got = {k: r["value"] for k, r in [("count(json)", oj), ("count(jsonl)", ol), ("tovak.count(json)", tj),
                                       ("tovak.count(jsonl)", tl), ("wc -l", wc), ("python loop", py)]
           if "error" not in r}
    want = d.get("records", next(iter(got.values()), None))
    bad = {k: v for k, v in got.items() if v != want}
    table([row("count(data.json) vs cat", oj, cat, fratio(cat, oj), size=sj),
           row("count(data.jsonl) vs wc -l", ol, wc, fratio(wc, ol), size=sl),
           row("count(data.jsonl) vs Python line loop", ol, py, fratio(py, ol), size=sl),
           row("tovak.count(data.json) vs cat", tj, cat, fratio(cat, tj), size=sj),
           row("tovak.count(data.jsonl) vs wc -l", tl, wc, fratio(wc, tl), size=sl)],
          [("Ratio: our throughput / peer throughput (> 1: count() is faster). cat and wc -l are this "
            "machine's limits, timed from the parent (their RSS is not measured). count() is bigjson's; both it "
            "and tovak.count share a plain file's ranges out to every core (bigjson from 32 MiB on)."),
           f"Record counts: {'MISMATCH' if bad else 'all agree'}, expected {want}, got {got}"])


# Ratios kept for --plot: {table title: {row label: {series label: ratio}}}.
PLOT: dict = {}


def plot_ratio(title: str, label: str, series: str, num: dict, den: dict) -> None:
    if "error" not in num and "error" not in den and den["time"]:
        PLOT.setdefault(title, {}).setdefault(label, {})[series] = num["time"] / den["time"]


def geomean(values) -> str:
    values = [v for v in values if v]
    return f"{math.exp(sum(math.log(v) for v in values) / len(values)):.2f}" if values else "n/a"


def gc_settings(R: Runner, both: bool):
    """The collector settings a table shows: (no_gc flag, column suffix)."""
    if both:
        return [(False, ""), (True, " GC off")]
    return [(R.no_gc, " GC off" if R.no_gc else "")]


def section_load(R: Runner, d: dict, both_gc: bool = False) -> None:
    print("## Loading\n")
    settings = gc_settings(R, both_gc)
    rows = []
    for name, peers in (("json", ("orjson", "msgspec", "json", "marshal")), ("jsonl", ("orjson", "marshal"))):
        for no_gc, suffix in settings:
            R.run_interleaved([dict(case=case, path=d[name], no_gc=no_gc) for case in ("load",) + peers])
            ours = R.run("load", d[name], no_gc=no_gc)
            for peer in peers:
                p = R.run(peer, d[name], no_gc=no_gc)
                label = f"load(data.{name}) vs {peer}" + (" per line" if name == "jsonl" and peer != "marshal" else "")
                target = "—" if peer == "marshal" else "≤ 1.0"
                rows.append(row(label + suffix, ours, p, fratio(ours, p), target, fcheck(ours, p), d[name + "_size"]))
                plot_ratio("load", f"data.{name} vs {peer}", "GC off" if no_gc else "GC on", ours, p)
    table(rows, ["Ratio: our time / peer time (≤ 1.0: load() is at least as fast). marshal: `marshal.loads` of the "
                 "loaded value, the floor for building the same objects (its blob is made outside the timing)."
                 + (" Rows marked GC off ran with the cyclic collector disabled." if len(settings) > 1 else "")])

    # Streaming hands out each record and drops it; loading keeps them all: per record, the first should
    # cost no more than the second.
    rows = []
    for name in ("json", "jsonl"):
        for no_gc, suffix in settings:
            for stream, whole, label in (("iter", "load", "bigjson.iter_records vs bigjson.load"),
                                         ("t_records", "t_load", "tovak.records vs tovak.load")):
                threads = None if stream == "iter" else 1
                s = R.run(stream, d[name], no_gc=no_gc, threads=threads)
                w = R.run(whole, d[name], no_gc=no_gc, threads=threads)
                rows.append(row(f"{label}(data.{name}){suffix}", s, w, fratio(s, w), "≤ 1.05", "", d[name + "_size"]))
    table(rows, ["Ratio: time to stream every record / time to load them all (one thread; the records are "
                 "dropped as they come, the loaded list is released after the timing)."])


def section_corpus(R: Runner, corpus: Path, both_gc: bool = False) -> None:
    print(f"## Loading the corpus ({corpus})\n")
    files = sorted(p for p in corpus.glob("*") if p.suffix in (".json", ".ndjson"))
    warm(files)
    settings = gc_settings(R, both_gc)
    peers = ("orjson", "msgspec", "json", "marshal")
    head = ["file", "size", "ours"]
    for peer in peers:
        head += [peer, "ratio"]
    head += [f"ratio vs {peer} GC off" for no_gc, _ in settings[1:] for peer in ("orjson", "marshal")]
    head.append("check vs orjson")
    rows, ratios = [], {}
    for p in files:
        fmt = "jsonl" if p.suffix == ".ndjson" else None
        first_gc = settings[0][0]
        R.run_interleaved([dict(case="load", path=p, fmt=fmt, min_time=0.5, no_gc=first_gc)] +
                          [dict(case=peer, path=p, fmt=fmt, min_time=0.5, no_gc=first_gc) for peer in peers] +
                          [dict(case=case, path=p, fmt=fmt, min_time=0.5, no_gc=no_gc)
                           for no_gc, _ in settings[1:] for case in ("load", "orjson", "marshal")])
        ours = R.run("load", p, fmt, min_time=0.5, no_gc=first_gc)
        rows.append([p.name, f"{p.stat().st_size / 1024:,.0f} KiB", ftime(ours)])
        for peer in peers:
            r = R.run(peer, p, fmt, min_time=0.5, no_gc=first_gc)
            rows[-1] += [ftime(r), fratio(ours, r)]
            if peer != "json":  # far below the others: it would only widen the chart
                plot_ratio("corpus", p.name, f"vs {peer}" + settings[0][1], ours, r)
            if "error" not in ours and "error" not in r:
                ratios.setdefault(len(rows[-1]) - 1, []).append(ours["time"] / r["time"])
        for no_gc, suffix in settings[1:]:
            ours_off = R.run("load", p, fmt, min_time=0.5, no_gc=no_gc)
            for peer in ("orjson", "marshal"):
                r = R.run(peer, p, fmt, min_time=0.5, no_gc=no_gc)
                rows[-1].append(fratio(ours_off, r))
                plot_ratio("corpus", p.name, f"vs {peer}{suffix}", ours_off, r)
                if "error" not in ours_off and "error" not in r:
                    ratios.setdefault(len(rows[-1]) - 1, []).append(ours_off["time"] / r["time"])
        rows[-1].append(fcheck(ours, R.run("orjson", p, fmt, no_gc=first_gc, min_time=0.5)))
    if rows:
        rows.append(["geometric mean", "", ""] + [geomean(ratios.get(i, ())) if head[i].startswith("ratio") else ""
                                                  for i in range(3, len(head) - 1)] + [""])
    table(rows, [("Ratios: our time / peer time (≤ 1.0: at least as fast). .ndjson files use format=\"jsonl\" "
                  "and a per-line loop for the peers. marshal: `marshal.loads` of the loaded value, the floor for "
                  "building the same objects. Best of runs repeated for at least 0.5 s, the cases taking turns.")] +
          ([] if files else [f"n/a: no .json/.ndjson files in {corpus}"]), head)


def draw_plot(path: Path) -> None:
    """The load and corpus ratios as horizontal bars, one panel per table, a line at 1.0."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("--plot: matplotlib is not installed (pip install -r bench/requirements.txt)", file=sys.stderr)
        return
    panels = [(title, rows) for title, rows in PLOT.items() if rows]
    for title, rows in panels:
        if title == "corpus" and len(rows) > 1:
            series = {s for v in rows.values() for s in v}
            rows["geometric mean"] = {s: math.exp(sum(math.log(v[s]) for v in rows.values() if s in v)
                                                  / sum(s in v for v in rows.values())) for s in series}
    if not panels:
        print("--plot: no load or corpus ratios to draw", file=sys.stderr)
        return
    heights = [max(2.0, 0.45 * len(rows) * max(len(v) for v in rows.values()) ** 0.5 + 1) for _, rows in panels]
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, sum(heights)), height_ratios=heights, squeeze=False)
    for ax, (title, rows) in zip(axes[:, 0], panels):
        # Each peer's collector settings side by side, the peers in the tables' order.
        order = ("orjson", "msgspec", "json", "marshal")
        series = sorted({s for v in rows.values() for s in v},
                        key=lambda s: (next((i for i, peer in enumerate(order) if peer in s), len(order)),
                                       s.endswith("GC off"), s))
        labels = list(rows)
        width = 0.8 / len(series)
        for i, name in enumerate(series):
            ys = [j + i * width for j in range(len(labels))]
            ax.barh(ys, [rows[label].get(name, 0) for label in labels], height=width, label=name)
        ax.set_yticks([j + 0.4 - width / 2 for j in range(len(labels))], labels)
        ax.invert_yaxis()
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xlabel("tovak time / peer time (below 1: tovak is faster)")
        ax.set_title(("load of the generated data" if title == "load" else "load of the corpus documents")
                     + f", CPython {platform.python_version()}")
        ax.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart written to {path}", file=sys.stderr)


def section_iter(R: Runner, d: dict) -> None:
    print("## Streaming data.json\n")
    ours, size, rows = R.run("iter", d["json"]), d["json_size"], []
    for label, case in (("ijson.items (yajl2_c)", "ijson"), ("orjson.loads (whole file)", "orjson")):
        p = R.run(case, d["json"])
        n = None if "error" in p else p["value"][-1]  # (count,) or ["list", len]
        check = "" if "error" in ours or n is None else \
            ("same count" if ours["value"][0] == n else f"DIFFERS: {ours['value'][0]} vs {n}")
        rows.append(row(f"iter_records vs {label}", ours, p, fratio(ours, p), "RSS ≤ +64 MB", check, size))
    notes = ["Ratio: our time / peer time; peak RSS is above each child's baseline after imports."]
    if "error" not in ours:
        n, got, total = ours["value"]
        ok = got == total == size and d.get("records", n) == n
        notes.append(f"iter_records: {n} records, bytes_read={got}, total_bytes={total}, file size={size}: "
                     + ("consistent" if ok else "INCONSISTENT"))
        notes += ["iter_records peak RSS is ABOVE the 64 MB target."] if ours["rss"] > 64 * MB else []
    table(rows, notes)


def section_schema(R: Runner, d: dict) -> None:
    print("## Schema\n")
    rows, n, kind = [], 1_000_000, lambda r: "" if "error" in r else f"output: {r['value'][0]}"
    for ext in ("json", "jsonl"):
        big, small = R.run("schema", d[ext]), R.run("schema", d["small_" + ext])
        rows.append(row(f"schema(data.{ext}) vs the same on a 1 MB file (sample=100)", big, small,
                        fratio(big, small), "≈ 1 (flat)", kind(big)))
    ours, gen = R.run("schema", d["jsonl"], sample=n), R.run("genson", d["jsonl"], sample=n, repeat=1)
    rows.append(row(f"schema(data.jsonl, sample={n:,}) vs genson", ours, gen, fratio(gen, ours), "—", kind(ours)))
    table(rows, [("Rows 1–2: ratio big file time / 1 MB file time (≈ 1: the cost does not grow with the file). "
                  "Row 3: genson time / our time (> 1: we are faster); genson is fed json.loads of the same "
                  "first records and runs once.")])


def section_sources(R: Runner, d: dict) -> None:
    print("## Compressed input and the package's own functions\n")
    jl, size, rows = d["jsonl"], d["jsonl_size"], []
    for suffix, tool in ((".gz", "gzip"), (".zst", "zstd")):
        packed = compressed(jl, suffix, tool)
        if packed is None:
            rows.append([f"count(data.jsonl{suffix})", "n/a", "n/a", "n/a", "≤ 1.15", "", f"no {tool} here"])
            continue
        alone = R.external([tool, "-dc", str(packed)])
        ours = R.run("t_count", packed)
        rows.append(row(f"tovak.count(data.jsonl{suffix}) vs {tool} -dc", ours, alone, fratio(ours, alone),
                        "≤ 1.15", size=size))
        if suffix == ".gz":
            load_gz, load_plain = R.run("t_load", packed), R.run("t_load", jl)
            floor = max((r for r in (alone, load_plain) if "error" not in r), key=lambda r: r["time"],
                        default={"error": "no floor"})
            rows.append(row("tovak.load(data.jsonl.gz) vs max(gzip -dc, tovak.load(data.jsonl))", load_gz, floor,
                            fratio(load_gz, floor), "≤ 1.15", size=size))
            for peer in ("polars", "duckdb"):
                p = R.run(peer, packed)
                rows.append(row(f"tovak.load(data.jsonl.gz) vs {peer}", load_gz, p, fratio(load_gz, p), "—",
                                size=size))
    for name in ("json", "jsonl"):
        for ours_case, peer_case, label in (("t_load", "load", "load"), ("t_records", "iter", "records")):
            ours, peer = R.run(ours_case, d[name]), R.run(peer_case, d[name])
            rows.append(row(f"tovak.{label}(data.{name}) vs bigjson", ours, peer, fratio(ours, peer), "≤ 1.05",
                            size=d[name + "_size"]))
    table(rows, ["Ratio: our time / peer time. The compressed files are made once with the command line tools "
                 "(gzip -6, zstd -3) next to the data."])


# Speed-ups the package's functions should reach with two threads on the free-threaded interpreter.
THREAD_TARGETS = {("t_load", "jsonl"): "≥ 1.8", ("t_load", "json"): "≥ 1.7", ("t_records", "jsonl"): "≥ 1.7",
                  ("t_records", "json"): "≥ 1.7", ("t_count", "jsonl"): "≥ 1.6", ("t_count", "json"): "≥ 1.6"}


def section_threads(R: Runner, d: dict) -> None:
    print("## Threads\n")
    free = not getattr(sys, "_is_gil_enabled", lambda: True)()
    rows = []
    for name in ("jsonl", "json"):
        for case, label in (("t_load", "load"), ("t_records", "records"), ("t_count", "count")):
            one, two = R.run(case, d[name], threads=1), R.run(case, d[name], threads=2)
            target = THREAD_TARGETS[(case, name)] if free else "—"
            rows.append(row(f"tovak.{label}(data.{name}) threads=2 vs 1", two, one, fratio(one, two), target,
                            fcheck(one, two), d[name + "_size"]))
    packed = compressed(d["jsonl"], ".gz", "gzip")
    if packed is not None:
        one, two = R.run("t_load", packed, threads=1), R.run("t_load", packed, threads=2)
        rows.append(row("tovak.load(data.jsonl.gz) threads=2 vs 1", two, one, fratio(one, two), "—", fcheck(one, two),
                        d["jsonl_size"]))
    table(rows, ["Ratio: time with one thread / time with two (> 1: two threads are faster). Interpreter: "
                 + ("free-threaded" if free else "with the GIL (threads take turns building objects)")
                 + f"; cores: {os.cpu_count()}. Peak RSS of the records rows: what the iterator holds ahead."])

    # The first big load of a process also pays for fresh memory and, on the free-threaded collector, for
    # any pass it runs over the growing result; the rows above keep the best of three runs.
    rows = []
    for name in ("jsonl", "json"):
        firsts = {}
        for threads in (1, 2):
            first = firsts[threads] = R.run("t_load", d[name], threads=threads, repeat=1)
            later = R.run("t_load", d[name], threads=threads)
            rows.append(row(f"tovak.load(data.{name}) threads={threads}: first call vs best later call", first, later,
                            fratio(first, later), "—", fcheck(first, later), d[name + "_size"]))
        rows.append(row(f"tovak.load(data.{name}) first call: threads=2 vs 1", firsts[2], firsts[1],
                        fratio(firsts[1], firsts[2]), "—", fcheck(firsts[1], firsts[2]), d[name + "_size"]))
    table(rows, ["Ratio: the first call's time / the best of three calls in one process; for the first calls, the "
                 "time with one thread / the time with two."])


def section_pointer(R: Runner, d: dict) -> None:
    def fcheck(a: dict, b: dict) -> str:  # the record counts
        return "" if "error" in a or "error" in b else "same" if a["value"][0] == b["value"][0] else "DIFFERS"

    print("## `at=` pointers, strict reading and raw records (tovak.records)\n")
    features, size = d["json"], d["json_size"]
    # The same records as the features of a GeoJSON-like document, and after as many bytes to skip.
    geo = features.with_name("features.geojson")
    skip = features.with_name("skip.json")
    for path, head, tail in ((geo, b'{"type": "FeatureCollection", "features": ', b"}\n"),
                             (skip, b'{"skipped": ', b', "target": [1, 2, 3]}\n')):
        if not path.exists():
            with open(path, "wb") as out, open(features, "rb") as f:
                out.write(head)
                shutil.copyfileobj(f, out, 16 * MB)
                out.write(tail)
    warm([geo, skip])
    rows = []
    at, iterated = R.run("t_at", geo, at="/features"), R.run("iter", features)
    rows.append(row('records(at="/features") vs bigjson.iter_records (same features as a top-level array)', at,
                    iterated, fratio(at, iterated), "≤ 1.10", fcheck(at, iterated), size))
    ij = R.run("ijson_at", geo, at="features.item")
    rows.append(row('records(at="/features") vs ijson.items("features.item", use_float=True)', at, ij,
                    fratio(at, ij), "≤ 1/3.5", fcheck(at, ij), size))
    skipped, counted = R.run("t_at", skip, at="/target"), R.run("t_count", features)
    rows.append(row('records(at="/target") after the features vs tovak.count(features)', skipped, counted,
                    fratio(skipped, counted), "≤ 1.5", "", size))
    strict, tolerant = R.run("t_records", features), R.run("iter", features)
    rows.append(row("records (strict) vs bigjson.iter_records (tolerant)", strict, tolerant,
                    fratio(strict, tolerant), "≤ 1.05", fcheck(strict, tolerant), size))
    for case, label, target in (("t_raw", "raw=True", "≥ 1 GB/s"), ("t_compact", 'raw="compact"', "≥ 600 MB/s")):
        r = R.run(case, features)
        rate = "n/a" if "error" in r else f"{size / r['time'] / 1e6:,.0f} MB/s"
        rows.append(row(f"records({label}) throughput", r, {"error": "no peer"}, rate, target, "", size))
    # The command line's to-jsonl writes the compact records; timed from here, its start-up included.
    cli = R.external([sys.executable, "-m", "tovak", "to-jsonl", str(features)])
    rate = "n/a" if "error" in cli else f"{size / cli['time'] / 1e6:,.0f} MB/s"
    rows.append(row("tovak to-jsonl data.json > /dev/null throughput", cli, {"error": "no peer"}, rate,
                    "≥ 600 MB/s", "", size))
    table(rows, ["Ratio: our time / peer time. The GeoJSON-like file is data.json wrapped as its `features`; "
                 "the skip file holds data.json before a three-element target. The to-jsonl row includes "
                 "the interpreter's start-up."])


def section_dask(R: Runner, d: dict) -> None:
    def fcheck(a: dict, b: dict) -> str:  # the record counts
        return "" if "error" in a or "error" in b else "same" if a["value"][0] == b["value"][0] else "DIFFERS"

    print("## On a Dask cluster (tovak.dask, LocalCluster of worker processes, blocksize 8 MiB)\n")
    rows = []
    for ext in ("jsonl", "json"):
        path, size = d[ext], d[ext + "_size"]
        two, one = R.run("dask_records_2", path, repeat=1), R.run("dask_records_1", path, repeat=1)
        rows.append(row(f"read_records(data.{ext}).count(): 2 workers vs 1", two, one, fratio(one, two), "≥ 1.7",
                        fcheck(two, one), size))
        if ext == "jsonl":
            text = R.run("dask_readtext_2", path, repeat=1)
            rows.append(row("read_records(data.jsonl).count() vs read_text(...).map(json.loads).count(), 2 workers",
                            two, text, fratio(text, two), "≥ 5", fcheck(two, text), size))
    scan, counted = R.run("t_split", d["json"]), R.run("t_count", d["json"])
    rows.append(row("boundary scan of data.json (split_blocks) vs tovak.count", scan, counted, fratio(counted, scan),
                    "≥ 0.5", "", d["json_size"]))
    table(rows, ["Ratio: peer time / our time (> 1: ours is faster); the scan row: count time / scan time (its "
                 "share of count's throughput). Cluster rows run once each (startup not timed) on this machine's "
                 "cores; with 2 shared cores the figures are noisy."])


def compressed(path: Path, suffix: str, tool: str):
    """path + suffix, made with the command line tool unless present; None without the tool."""
    packed = path.with_name(path.name + suffix)
    if not packed.exists():
        if shutil.which(tool) is None:
            return None
        with open(packed, "wb") as out:
            subprocess.run([tool, "-c", "-q", str(path)], stdout=out, check=True)
    warm([packed])
    return packed


def header(args, d: dict | None) -> None:
    with open("/proc/cpuinfo") as f:
        cpu = next((x.split(":", 1)[1].strip() for x in f if x.startswith("model name")), platform.processor())

    def ver(name):
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            return "not installed"
    print("# tovak.bigjson benchmark\n")
    print(f"- date: {datetime.datetime.now().isoformat(timespec='seconds')}")
    print(f"- CPU: {cpu}; cores: {os.cpu_count()}")
    print(f"- Python {platform.python_version()} ({sys.executable})")
    print("- versions: " + ", ".join(f"{n} {ver(n)}" for n in ("tovak",) + PEERS))
    print(f"- best of {args.repeat} runs per case, each case in its own process (the load and corpus tables: "
          "one run per process, the cases taking turns round after round); page cache warmed; "
          "cyclic GC " + ("enabled and disabled (load and corpus tables)" if args.both_gc else
                          "disabled" if args.no_gc else "enabled (as in normal use)"))
    if d:
        print(f"- data: {d['dir']}: data.json {d['json_size'] / MB:.1f} MB, data.jsonl "
              f"{d['jsonl_size'] / MB:.1f} MB, {d.get('records', '?')} records")
    print()


def prepare(folder: Path, mb: float, seed: int) -> dict:
    """Generate (unless present) the big and the 1 MB data sets and warm the page cache."""
    for sub, size in ((folder, mb), (folder / "small", 1)):
        if not (sub / "data.json").exists() or not (sub / "data.jsonl").exists():
            t0 = time.perf_counter()
            generate(sub, size, seed)
            print(f"generated {sub} in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    d = {"dir": folder, "json": folder / "data.json", "jsonl": folder / "data.jsonl",
         "small_json": folder / "small" / "data.json", "small_jsonl": folder / "small" / "data.jsonl"}
    meta = folder / "data.meta.json"
    if meta.exists():
        d["records"] = json.loads(meta.read_text())["records"]
    for k in ("json", "jsonl"):
        d[k + "_size"] = d[k].stat().st_size
    warm([d[k] for k in ("json", "jsonl", "small_json", "small_jsonl")])
    return d


def warm(paths) -> None:
    """Read each file once so that every case starts with it in the page cache."""
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.read(16 * MB):
                pass


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mb", type=float, default=400, help="size of the generated data (MB)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per case; the best is kept")
    ap.add_argument("--only", default=",".join(SECTIONS), help="comma-separated: " + ",".join(SECTIONS))
    ap.add_argument("--data", type=Path, help="folder with data to reuse (generated there if missing)")
    ap.add_argument("--keep", action="store_true", help="keep the temporary data folder")
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--no-gc", action="store_true", help="disable the cyclic GC in the measuring children")
    ap.add_argument("--both-gc", action="store_true",
                    help="load and corpus tables: measure with the cyclic GC on and off")
    ap.add_argument("--plot", type=Path, metavar="FILE.png", help="also draw the load and corpus ratios (matplotlib)")
    ap.add_argument("--corpus", type=Path, default=ROOT.parent / "shared" / "corpus")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(json.loads(args.child))
    only = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = set(only) - set(SECTIONS)
    if unknown:
        ap.error(f"unknown sections {sorted(unknown)}")
    folder = args.data or Path(tempfile.mkdtemp(prefix="tovak-bench-"))
    try:
        d = prepare(folder, args.mb, args.seed) if set(only) - {"corpus"} else None
        header(args, d)
        R = Runner(args.repeat, args.no_gc)
        for s in only:
            if s == "corpus":
                section_corpus(R, args.corpus, args.both_gc)
            elif s == "load":
                section_load(R, d, args.both_gc)
            else:
                {"count": section_count, "load": section_load, "iter": section_iter,
                 "schema": section_schema, "sources": section_sources, "pointer": section_pointer,
                 "threads": section_threads, "dask": section_dask}[s](R, d)
            sys.stdout.flush()
        if args.plot:
            draw_plot(args.plot)
    finally:
        if args.data is None and not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
        elif args.data is None:
            print(f"data kept in {folder}", file=sys.stderr)


if __name__ == "__main__":
    main()
