"""Reading from files: one value of a document larger than a gigabyte, and a
walk over ten million items, against what a user would do otherwise.

    python bench/files.py                    # full run: a 1 GB file, 10 M items; adds to docs/benchmarks.md
    python bench/files.py --quick            # 100 MB, 1 M items; writes bench/out/files.md
    python bench/files.py --size-mb 300 --items 2000000

Every measured reader runs in a child process of its own, so its time and
memory peak are its own: the parent only writes the files and the report.
The files are generated once per size and kept in bench/out/.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
OUT = REPO / "bench" / "out"
DOCS = REPO / "docs" / "benchmarks.md"
SECTION = "## Reading from files"

TEXT = "lorem ipsum dolor sit amet, consectetur adipiscing elit " * 16  # about 900 bytes per record
TAIL = {"answer": 42, "note": "the last value of the document"}


# Writing the documents ----------------------------------------------------------------------


def record(i: int) -> dict[str, object]:
    return {"id": i, "name": f"user-{i:09}", "text": f"{i}: {TEXT}"}


def write_documents(size_mb: int) -> tuple[Path, Path, Path, int]:
    """{"records": [record(i) ...], "tail": TAIL} as quarl, JSON and pickle, of about `size_mb`."""
    count = size_mb * 1024 * 1024 // 950
    stem = OUT / f"files-{size_mb}mb"
    quarl, as_json, as_pickle = stem.with_suffix(".quarl"), stem.with_suffix(".json"), stem.with_suffix(".pickle")
    if quarl.exists() and as_json.exists() and as_pickle.exists():
        return quarl, as_json, as_pickle, count
    OUT.mkdir(parents=True, exist_ok=True)
    import pyquarl

    value = {"records": [record(i) for i in range(count)], "tail": TAIL}
    with open(quarl, "wb") as q:
        pyquarl.dump(value, q)
    with open(as_json, "w") as j:
        json.dump(value, j, separators=(",", ":"))
    import pickle

    with open(as_pickle, "wb") as p:
        pickle.dump(value, p, protocol=pickle.HIGHEST_PROTOCOL)
    del value
    return quarl, as_json, as_pickle, count


def write_items(count: int) -> Path:
    """A list of `count` like dicts (the table form), for the walks."""
    path = OUT / f"items-{count}.quarl"
    if not path.exists():
        import pyquarl

        OUT.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as f:
            pyquarl.dump([{"id": i, "score": i * 0.5, "tag": "abc"[i % 3]} for i in range(count)], f)
    return path


# Measuring in a child process -----------------------------------------------------------------

_PRELUDE = """
import gc, json, os, sys, time
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
def drop_cache(path):
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
"""


def child(body: str, **values: object) -> dict[str, float]:
    """Runs `body` in a fresh interpreter; it ends by printing a JSON object."""
    code = _PRELUDE + "".join(f"{k} = {v!r}\n" for k, v in values.items()) + textwrap.dedent(body)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr.strip() else f"exit {out.returncode}"}
    return json.loads(out.stdout.strip().splitlines()[-1])


LOOKUP = """
import pyquarl
times, anon_before, hwm_before = [], status("RssAnon"), status("VmHWM")
for run in range(runs):
    if cold:
        drop_cache(path)
    start = time.perf_counter()
    result = lookup()
    times.append(time.perf_counter() - start)
    assert result == expected, result
print(json.dumps({"first": times[0], "best": min(times), "anon": status("RssAnon") - anon_before,
                  "hwm": status("VmHWM") - hwm_before}))
"""

LOOKUPS = {
    "pyquarl.open().get": """
def lookup():
    with pyquarl.open(path) as doc:
        return doc.get("tail")
""",
    "mapped without the sequential hint": """
import mmap
def lookup():
    with open(path, "rb") as f:
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    with pyquarl.Document(m) as doc:
        value = doc.get("tail")
    m.close()
    return value
""",
    "pyquarl.get on bytes in memory (read not timed)": """
data = open(path, "rb").read()
def lookup():
    return pyquarl.get(data, "tail")
""",
    "pyquarl.loads (whole file read and decoded)": """
def lookup():
    with open(path, "rb") as f:
        return pyquarl.load(f)["tail"]
""",
    "json.loads": """
def lookup():
    with open(json_path, "rb") as f:
        return json.loads(f.read())["tail"]
""",
    "orjson.loads": """
import orjson
def lookup():
    with open(json_path, "rb") as f:
        return orjson.loads(f.read())["tail"]
""",
    "pysimdjson at_pointer": """
import simdjson
parser = simdjson.Parser()
def lookup():
    with open(json_path, "rb") as f:
        return parser.parse(f.read()).at_pointer("/tail").as_dict()
""",
    "msgspec Struct, tail only": """
import msgspec
class Tail(msgspec.Struct):
    answer: int
    note: str
class Only(msgspec.Struct):
    tail: Tail
def lookup():
    with open(json_path, "rb") as f:
        tail = msgspec.json.decode(f.read(), type=Only).tail
    return {"answer": tail.answer, "note": tail.note}
""",
    "pickle.load": """
import pickle
def lookup():
    with open(pickle_path, "rb") as f:
        return pickle.load(f)["tail"]
""",
}

WALK = """
import pyquarl, operator
start = time.perf_counter()
if mode == "iter_items":
    n = 0
    for item in pyquarl.iter_items(path):
        n += 1
else:
    with open(path, "rb") as f:
        data = f.read()
    start = time.perf_counter()
    items = pyquarl.loads(data)
    n = len(items)
    for item in items:
        pass
elapsed = time.perf_counter() - start
assert n == count, n
print(json.dumps({"seconds": elapsed, "per_item_ns": elapsed / n * 1e9, "hwm": status("VmHWM"),
                  "anon": status("RssAnon")}))
"""


def mb(n: float) -> str:
    return f"{n / 1e6:.1f} MB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a 100 MB file and 1 M items")
    parser.add_argument("--size-mb", type=int, help="size of the lookup file (default 1024)")
    parser.add_argument("--items", type=int, help="items of the walk (default 10 000 000)")
    parser.add_argument("--runs", type=int, default=5, help="warm lookups per reader")
    parser.add_argument("--md", type=Path, help="where the Markdown goes")
    args, _ = parser.parse_known_args()  # make bench passes run.py's options too
    size_mb = args.size_mb or (100 if args.quick else 1024)
    items = args.items or (1_000_000 if args.quick else 10_000_000)
    full = size_mb >= 1024 and items >= 10_000_000

    quarl, as_json, as_pickle, count = write_documents(size_mb)
    paths = {"path": str(quarl), "json_path": str(as_json), "pickle_path": str(as_pickle), "expected": TAIL}
    rows = []
    for name, setup in LOOKUPS.items():
        warm = child(setup + LOOKUP, runs=args.runs, cold=False, **paths)
        cold = child(setup + LOOKUP, runs=2, cold=True, **paths) if name.startswith(("pyquarl.open", "mapped")) else {}
        rows.append((name, warm, cold))
        print(name, warm, cold, file=sys.stderr)

    walk_path = write_items(items)
    walks = {mode: child(WALK, mode=mode, path=str(walk_path), count=items) for mode in ("iter_items", "loads")}
    print(walks, file=sys.stderr)

    lines = [SECTION, "",
             f"Lookup of the last value (`tail`) of a {mb(quarl.stat().st_size)} quarl document of {count:,} records "
             f"(JSON twin {mb(as_json.stat().st_size)}, pickle {mb(as_pickle.stat().st_size)}). Each reader runs in a "
             "child process of its own; warm: the file in the page cache, best of "
             f"{args.runs} (the readers other than pyquarl.open read the whole file each time); cold: the file's "
             "pages dropped from the cache first (`posix_fadvise(DONTNEED)`), first read. RssAnon: anonymous memory "
             "still held after the lookups; VmHWM: rise of the resident peak, file pages included.", "",
             "| reader | warm | cold | RssAnon after | VmHWM rise |", "| --- | ---: | ---: | ---: | ---: |"]
    for name, warm, cold in rows:
        if "error" in warm:
            lines.append(f"| {name} | n/a: {warm['error']} | | | |")
            continue
        cold_text = f"{cold['first'] * 1e3:.0f} ms" if cold and "error" not in cold else ""
        lines.append(f"| {name} | {warm['best'] * 1e3:.0f} ms | {cold_text} | {mb(warm['anon'])} | "
                     f"{mb(warm['hwm'])} |")
    lines += ["", f"Walking a list of {items:,} like dicts from a file: `iter_items` (mapped, one item per step) "
              "against `loads` of the whole list and a loop over it (the read not timed).", "",
              "| reader | time | per item | RssAnon at the end | resident peak |", "| --- | ---: | ---: | ---: | ---: |"]
    for mode, result in walks.items():
        if "error" in result:
            lines.append(f"| {mode} | n/a: {result['error']} | | | |")
            continue
        lines.append(f"| {mode} | {result['seconds']:.2f} s | {result['per_item_ns']:.0f} ns | {mb(result['anon'])} "
                     f"| {mb(result['hwm'])} |")
    text = "\n".join(lines) + "\n"
    target = args.md or (DOCS if full else OUT / "files.md")
    if target == DOCS and DOCS.exists():
        old = DOCS.read_text()
        old = old.split("\n" + SECTION)[0].rstrip("\n") + "\n\n"
        target.write_text(old + text)
    else:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    print(text)
    print(f"written to {target}", file=sys.stderr)


if __name__ == "__main__":
    start = time.perf_counter()
    main()
    print(f"{time.perf_counter() - start:.0f} s", file=sys.stderr)
