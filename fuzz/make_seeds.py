"""Writes the seed corpus for the fuzz targets into a folder: every bytes or JSON-looking str literal of the
test suite, and short pieces of the shared real-world documents (their starts, and windows that begin at an
element boundary), each at most --max-len bytes.

    python fuzz/make_seeds.py OUT [--max-len 4096]
"""

import argparse
import ast
import hashlib
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus"
JSON_START = tuple('[{"-0123456789tfn \t\r\n')


def test_literals():
    for path in sorted((ROOT / "tests").glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if not isinstance(node, ast.Constant):
                continue
            if isinstance(node.value, bytes):
                yield node.value
            elif isinstance(node.value, str) and node.value.startswith(JSON_START) and len(node.value) > 1:
                yield node.value.encode("utf-8", "surrogatepass")


def corpus_pieces(max_len):
    if not CORPUS.is_dir():
        return
    for path in sorted(CORPUS.iterdir()):
        if path.suffix not in (".json", ".ndjson", ".jsonl"):
            continue
        data = path.read_bytes()
        yield data[:max_len]
        # Windows that start just after a comma or a line feed, spread over the file.
        step = max(len(data) // 8, 1)
        for start in range(step, len(data), step):
            cut = min((data.find(b, start) for b in (b",", b"\n") if data.find(b, start) >= 0), default=-1)
            if cut >= 0:
                yield b"[" + data[cut + 1 : cut + max_len]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--max-len", type=int, default=4096)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    written = 0
    for seed in (*test_literals(), *corpus_pieces(args.max_len)):
        seed = seed[: args.max_len]
        (args.out / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
        written += 1
    print(f"{written} seeds in {args.out}")


if __name__ == "__main__":
    main()
