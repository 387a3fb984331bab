#!/usr/bin/env python3
"""Benchmark tovak.bigjson against peers on the same data, printed as Markdown tables.

Every measurement runs in a fresh child process (this script with the hidden --child flag),
which reports its best time of N runs and its peak RSS above a baseline taken after imports.

    python3 bench/bench.py [--mb 400] [--repeat 3] [--only count,load,iter,schema,corpus]
                           [--data DIR] [--keep] [--corpus DIR]
"""
from __future__ import annotations

import argparse
import datetime
import importlib
import importlib.metadata
import json
import os
import platform
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MB = 1 << 20
ROOT = Path(__file__).resolve().parents[1]
SECTIONS = ("count", "load", "iter", "schema", "corpus")
PEERS = ("orjson", "msgspec", "ijson", "genson")
# What each measurement needs: "bigjson.<fn>", a module name, or "" for the standard library.
NEEDS = {"count": "bigjson.count", "load": "bigjson.load", "iter": "bigjson.iter_records",
         "schema": "bigjson.schema", "pyloop": "", "json": "", "orjson": "orjson",
         "msgspec": "msgspec", "ijson": "ijson.yajl2_c", "genson": "genson"}

# ---------------------------------------------------------------- data generation
CITIES = ["Zürich", "東京", "São Paulo", "Москва", "Kraków", "Reykjavík", "Αθήνα", "القاهرة", "Dublin"]
EMOJI = ["😀", "🚀", "🎉", "👍🏽", "🇨🇭", "❤️", "𝄞"]
TRICKY = ['say "hi"', "back\\slash", "line1\nline2", "tab\there", "caf\u00e9 cr\u00e8me",
          'both " and \\ here', "ctrl \x01\x1f chars", "a/b</script>", "", " "]
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
           "active": rng.random() < 0.5, "parent": None}
    if rng.random() < 0.6:
        rec["tags"] = rng.sample(WORDS, rng.randint(0, 5))
    if rng.random() < 0.5:
        rec["text"] = " ".join(rng.choices(WORDS + CITIES + EMOJI, k=rng.randint(10, 80)))
    if rng.random() < 0.4:
        rec["note"] = rng.choice(TRICKY)
    if rng.random() < 0.5:
        rec["geo"] = {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180),
                      "alt": rng.choice([None, rng.randint(0, 4000)])}
    if rng.random() < 0.4:
        rec["items"] = [{"sku": f"S{rng.randint(0, 99999):05d}", "qty": rng.randint(1, 9),
                         "price": round(rng.uniform(0.5, 500), 2)} for _ in range(rng.randint(0, 4))]
    if rng.random() < 0.2:
        rec["matrix"] = [[rng.randint(0, 9) for _ in range(3)], [rng.random(), [rng.randint(0, 9), []]], []]
    if rng.random() < 0.2:
        rec["meta"] = {"created": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
                       "flags": {"a": True, "b": [None, {"deep": {"deeper": rng.choice(EMOJI)}}]}, "empty": {}}
    if rng.random() < 0.3:
        rec["value"] = rng.choice([1, "one", 1.5, None, [1, "x"], {"v": 1}, False])
    if rng.random() < 0.1:
        rec["ключ Zürich"] = rng.choice(EMOJI)
    return rec


def _batch(rng: random.Random, n: int):
    """n distinct records as (is_object, jsonl_text, array_text, separator, jsonl_bytes, array_bytes)."""
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
        out.append((obj, line, arr, sep, len(line.encode()), len(arr.encode())))
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
            a, l = [], []
            for obj, line, arr, sep, lb, ab in recs:
                if obj:
                    head = '{"id":%d,' % n
                    line, arr = head + line, head + arr
                    lb += len(head)
                if n:
                    a.append(sep)
                a.append(arr)
                l.append(line)
                n += 1
                size += lb + 1
                if size >= limit:
                    break
            fa.write("".join(a))
            fl.write("\n".join(l))
            fl.write("\n")
        fa.write("\n]\n")
    (folder / "data.meta.json").write_text(json.dumps({"records": n, "mb": mb, "seed": seed}))
    return n


# ---------------------------------------------------------------- child side
def _build(case: str, path: str, fmt, sample):
    """Import what `case` needs and return a zero-argument callable for one run."""
    lines = fmt == "jsonl" or path.endswith((".jsonl", ".ndjson"))
    if NEEDS[case].startswith("bigjson."):
        from tovak import bigjson
    if case == "count":
        return lambda: bigjson.count(path, format=fmt)
    if case == "load":
        return lambda: bigjson.load(path, format=fmt)
    if case == "schema":
        kw = {} if sample is None else {"sample": sample}
        return lambda: bigjson.schema(path, format=fmt, **kw)
    if case == "iter":
        def run():
            it = bigjson.iter_records(path, format=fmt)
            n = 0
            for _ in it:
                n += 1
            return (n, getattr(it, "bytes_read", None), getattr(it, "total_bytes", None))
        return run
    if case == "pyloop":
        def run():
            with open(path, "rb") as f:
                return sum(1 for line in f if line.strip())
        return run
    if case == "ijson":
        items = importlib.import_module("ijson").get_backend("yajl2_c").items
        def run():
            with open(path, "rb") as f:
                n = 0
                for _ in items(f, "item"):
                    n += 1
                return (n,)
        return run
    if case == "genson":
        from itertools import islice
        from genson import SchemaBuilder
        def run():
            b = SchemaBuilder()
            with open(path, "rb") as f:
                for line in islice(f, sample):
                    b.add_object(json.loads(line))
            return json.dumps(b.to_schema())
        return run
    mod = importlib.import_module(case)  # json, orjson, msgspec
    loads = mod.json.decode if case == "msgspec" else mod.loads
    def run():
        with open(path, "rb") as f:
            return [loads(line) for line in f] if lines else loads(f.read())
    return run


def _summary(r):
    """A small, comparable fingerprint of a result."""
    if isinstance(r, tuple):
        return list(r)
    if isinstance(r, (list, dict)):
        return [type(r).__name__, len(r)]
    if isinstance(r, str):
        try:
            json.loads(r)
            return ["json text", len(r)]
        except ValueError:
            return ["not JSON", len(r)]
    return r if isinstance(r, (int, float)) else type(r).__name__


def child(spec: dict) -> None:
    """Run one measurement and print its result as one JSON line."""
    rss = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    try:
        fn = _build(spec["case"], spec["path"], spec.get("format"), spec.get("sample"))
        base, best, n, value = rss(), float("inf"), 0, None
        start = time.perf_counter()
        while n < spec["repeat"] or (time.perf_counter() - start < spec["min_time"] and n < 10000):
            t0 = time.perf_counter()
            r = fn()
            best = min(best, time.perf_counter() - t0)
            if n == 0:
                value = _summary(r)
            del r
            n += 1
        out = {"time": best, "runs": n, "base": base, "rss": rss() - base, "value": value}
    except Exception as e:
        out = {"error": f"{type(e).__name__}: {e}"[:160]}
    print(json.dumps(out))


# ---------------------------------------------------------------- parent side
def why_missing(case: str):
    """None when `case` can run here, otherwise a short reason."""
    need = NEEDS[case]
    try:
        if need.startswith("bigjson."):
            from tovak import bigjson
            return None if hasattr(bigjson, need[8:]) else f"tovak.{need} not implemented yet"
        if need == "ijson.yajl2_c":
            importlib.import_module("ijson").get_backend("yajl2_c")
        elif need:
            importlib.import_module(need)
    except Exception as e:
        return f"{need or case}: {type(e).__name__}: {e}"[:120]
    return None


class Runner:
    """Spawns measurement children and caches their results."""

    def __init__(self, repeat: int):
        self.repeat, self.cache = repeat, {}

    def run(self, case, path, fmt=None, sample=None, repeat=None, min_time=0.0) -> dict:
        key = (case, str(path), fmt, sample)
        if key not in self.cache:
            self.cache[key] = self._spawn(case, path, fmt, sample, repeat, min_time)
        return self.cache[key]

    def _spawn(self, case, path, fmt, sample, repeat, min_time) -> dict:
        reason = why_missing(case)
        if reason:
            return {"error": reason}
        spec = {"case": case, "path": str(path), "format": fmt, "sample": sample,
                "repeat": repeat or self.repeat, "min_time": min_time}
        p = subprocess.run([sys.executable, __file__, "--child", json.dumps(spec)],
                           capture_output=True, text=True)
        if p.returncode:
            tail = p.stderr.strip().splitlines()[-1:] or [""]
            return {"error": f"child exited with {p.returncode} {tail[0]}"[:160]}
        return json.loads(p.stdout.strip().splitlines()[-1])

    def external(self, argv) -> dict:
        """Time a command from here (best of repeat); stdout kept, peak RSS from wait4."""
        best, rss, out = float("inf"), 0, b""
        for _ in range(self.repeat):
            with tempfile.TemporaryFile() as f:
                t0 = time.perf_counter()
                pid = os.posix_spawnp(argv[0], argv, os.environ,
                                      file_actions=[(os.POSIX_SPAWN_DUP2, f.fileno(), 1)])
                _, status, ru = os.wait4(pid, 0)
                best = min(best, time.perf_counter() - t0)
                rss = max(rss, ru.ru_maxrss * 1024)
                f.seek(0)
                out = f.read()
            if os.waitstatus_to_exitcode(status):
                return {"error": f"{' '.join(argv)} failed"}
        value = int(out.split()[0]) if argv[0] == "wc" else None
        return {"time": best, "rss": rss, "value": value, "absolute": True}


def ftime(res: dict, size=None) -> str:
    if "error" in res:
        return f"n/a ({res['error']})"
    t = res["time"]
    s = f"{t * 1000:.2f} ms" if t < 1 else f"{t:.3f} s"
    return s + (f" ({size / MB / t:,.0f} MB/s)" if size else "")


def frss(res: dict) -> str:
    if "error" in res:
        return "n/a"
    return f"{res['rss'] / MB:.0f} MB" if res.get("absolute") else f"+{res['rss'] / MB:.0f} MB"


def fratio(num: dict, den: dict) -> str:
    if "error" in num or "error" in den or not den["time"]:
        return "n/a"
    return f"{num['time'] / den['time']:.2f}"


def fcheck(a: dict, b: dict) -> str:
    if "error" in a or "error" in b:
        return ""
    return "same" if a["value"] == b["value"] else f"differs: {a['value']} vs {b['value']}"


def table(head, rows, notes=()) -> None:
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for r in rows:
        print("| " + " | ".join(str(c) for c in r) + " |")
    for n in notes:
        print(f"\n{n}")
    print()


def section_count(R: Runner, d: dict) -> None:
    print("## Counting\n")
    js, jl = d["json"], d["jsonl"]
    oj, ol = R.run("count", js), R.run("count", jl)
    cat, wc, py = R.external(["cat", str(js)]), R.external(["wc", "-l", str(jl)]), R.run("pyloop", jl)
    rows = [["count(data.json) vs cat", ftime(oj, d["json_size"]), ftime(cat, d["json_size"]),
             fratio(cat, oj), "—", f"{frss(oj)} / {frss(cat)}"],
            ["count(data.jsonl) vs wc -l", ftime(ol, d["jsonl_size"]), ftime(wc, d["jsonl_size"]),
             fratio(wc, ol), "—", f"{frss(ol)} / {frss(wc)}"],
            ["count(data.jsonl) vs Python line loop", ftime(ol, d["jsonl_size"]), ftime(py, d["jsonl_size"]),
             fratio(py, ol), "—", f"{frss(ol)} / {frss(py)}"]]
    got = {name: r["value"] for name, r in [("count(json)", oj), ("count(jsonl)", ol), ("wc -l", wc),
                                             ("python loop", py)] if "error" not in r}
    want = d.get("records")
    bad = {k: v for k, v in got.items() if want is not None and v != want}
    check = (f"Record counts: expected {want}; " + (f"MISMATCH {bad}" if bad else f"all agree ({got})"))
    table(["case", "ours", "peer", "ratio (ours/peer throughput)", "target", "peak RSS ours / peer"], rows,
          ["Ratio > 1 means count() is faster than the peer; cat and wc -l are this machine's limits "
           "(timed from the parent, RSS absolute).", check])


def section_load(R: Runner, d: dict) -> None:
    print("## Loading\n")
    rows = []
    for label, path, peers in (("data.json", d["json"], ("orjson", "msgspec", "json")),
                               ("data.jsonl", d["jsonl"], ("orjson",))):
        ours = R.run("load", path)
        for peer in peers:
            p = R.run(peer, path)
            name = f"{peer} per line" if label.endswith("l") else peer
            rows.append([f"load({label}) vs {name}", ftime(ours, path.stat().st_size),
                         ftime(p, path.stat().st_size), fratio(ours, p), "≤ 1.0",
                         f"{frss(ours)} / {frss(p)}", fcheck(ours, p)])
    table(["case", "ours", "peer", "ratio (ours/peer time)", "target", "peak RSS ours / peer", "check"],
          rows, ["Ratio ≤ 1.0 means load() is at least as fast as the peer."])


def section_corpus(R: Runner, corpus: Path) -> None:
    print(f"## Loading the corpus ({corpus})\n")
    files = sorted(p for p in corpus.glob("*") if p.suffix in (".json", ".ndjson"))
    if not files:
        print(f"n/a (no .json/.ndjson files in {corpus})\n")
        return
    rows = []
    for p in files:
        fmt = "jsonl" if p.suffix == ".ndjson" else None
        ours = R.run("load", p, fmt, repeat=3, min_time=0.5)
        row = [p.name, f"{p.stat().st_size / 1024:,.0f} KiB", ftime(ours)]
        for peer in ("orjson", "msgspec", "json"):
            r = R.run(peer, p, fmt, repeat=3, min_time=0.5)
            row += [ftime(r), fratio(ours, r)]
        row.append(fcheck(ours, R.run("orjson", p, fmt)) or "")
        rows.append(row)
    table(["file", "size", "ours", "orjson", "ratio", "msgspec", "ratio", "json", "ratio", "check vs orjson"],
          rows, ["Ratios are ours/peer time (≤ 1.0: at least as fast); .ndjson files use format=\"jsonl\" "
                 "and a per-line loop for the peers. Best of runs repeated for at least 0.5 s."])


def section_iter(R: Runner, d: dict) -> None:
    print("## Streaming data.json\n")
    js, size = d["json"], d["json_size"]
    ours = R.run("iter", js)
    notes = ["Ratio is ours/peer time; peak RSS is above the child's baseline after imports."]
    rows = [["bigjson.iter_records", ftime(ours, size), "—", "—", "≤ +64 MB", frss(ours), ""]]
    for label, case in (("ijson.items (yajl2_c)", "ijson"), ("orjson.loads (whole file)", "orjson")):
        p = R.run(case, js)
        same = "" if "error" in ours or "error" in p else \
            ("same count" if ours["value"][0] == p["value"][0] or p["value"] == ["list", ours["value"][0]]
             else f"differs: {ours['value'][0]} vs {p['value']}")
        rows.append([f"vs {label}", ftime(ours, size), ftime(p, size), fratio(ours, p), "—", frss(p), same])
    if "error" not in ours:
        n, got, total = ours["value"]
        ok = got == total == size and (d.get("records") in (None, n))
        notes.append(f"{n} records, bytes_read={got}, total_bytes={total}, file size={size}: "
                     + ("consistent" if ok else "INCONSISTENT"))
        if ours["rss"] > 64 * MB:
            notes.append("iter_records peak RSS is above the 64 MB target.")
    table(["case", "ours", "peer", "ratio", "target", "peak RSS (ours / peer row)", "check"], rows, notes)


def section_schema(R: Runner, d: dict) -> None:
    print("## Schema\n")
    rows = []
    for ext in ("json", "jsonl"):
        big, small = R.run("schema", d[ext]), R.run("schema", d["small_" + ext])
        rows.append([f"schema(data.{ext}) vs schema(1 MB file), sample=100", ftime(big), ftime(small),
                     fratio(big, small), "≈ 1 (flat)", f"{frss(big)} / {frss(small)}",
                     "" if "error" in big else big["value"][0]])
    n = 1_000_000
    ours, gen = R.run("schema", d["jsonl"], sample=n), R.run("genson", d["jsonl"], sample=n, repeat=1)
    rows.append([f"schema(data.jsonl, sample={n:,}) vs genson", ftime(ours), ftime(gen),
                 fratio(gen, ours), "—", f"{frss(ours)} / {frss(gen)}", ""])
    table(["case", "ours", "compared with", "ratio", "target", "peak RSS", "output"], rows,
          ["Rows 1–2: ratio big/small time (flat cost means ≈ 1). Row 3: genson time / ours "
           "(> 1: we are faster); genson gets json.loads of the same first records, one run."])


def header(args, d: dict | None) -> None:
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")),
               platform.processor() or "unknown")

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
    print(f"- best of {args.repeat} runs per case, each case in its own process; page cache warmed")
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
        R = Runner(args.repeat)
        for s in only:
            if s == "corpus":
                files = list(args.corpus.glob("*.*json"))
                warm(files)
                section_corpus(R, args.corpus)
            else:
                {"count": section_count, "load": section_load, "iter": section_iter,
                 "schema": section_schema}[s](R, d)
            sys.stdout.flush()
    finally:
        if args.data is None and not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
        elif args.data is None:
            print(f"data kept in {folder}", file=sys.stderr)


if __name__ == "__main__":
    main()
