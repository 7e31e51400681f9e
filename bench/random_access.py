"""Many lookups into one large document: a Document handle (whose position
index makes repeated reads cheap) against repeated plain lookups and against
one full decode, plus get_many against one lookup of its furthest path.

    python bench/random_access.py                   # 1 M records (over 300 MB), as `make bench` runs it
    python bench/random_access.py --quick           # 20 000 records: a smoke run
    python bench/random_access.py --records 200000 --reads 1000 10000

A full run (no --quick, --records or --reads) writes its table as the last
section of docs/benchmarks.md; other runs to bench/out/random-access.md. Plain
lookups of far rows take long on a big document: they are timed on a sample
(--plain-sample) and the figure for all reads is scaled from it, as the
table says. Documents of other shapes (rows as a list of like dicts, the
same rows with one unlike item, so a list of separate dicts, and a dict of
records by key) are measured side by side.
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
if str(REPO / "python") not in sys.path and __package__ is None:
    sys.path.insert(0, str(REPO))

import pyquarl  # noqa: E402
from pyquarl import Idx  # noqa: E402

OUT = REPO / "bench" / "out"
DOCS = REPO / "docs" / "benchmarks.md"
SECTION = "## Many lookups in one document"
TEXT = "lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore "


def record(i: int) -> dict[str, object]:
    return {"id": i, "name": f"user-{i:09}", "email": f"user{i}@example.org", "team": f"team-{i % 50}",
            "text": f"{i}: {TEXT}{TEXT}"}


def shapes(count: int) -> dict[str, tuple[bytes, object]]:
    """name -> (document, how row i's "email" is reached)."""
    rows = [record(i) for i in range(count)]
    like = pyquarl.dumps({"rows": rows})
    rows[0] = {**rows[0], "extra": 1}  # no longer a list of like dicts
    unlike = pyquarl.dumps({"rows": rows})
    keyed = pyquarl.dumps({"rows": {f"r{i}": row for i, row in enumerate(rows)}})
    del rows
    return {
        "list of like dicts": (like, lambda i: ("rows", Idx(i), "email")),
        "list of dicts": (unlike, lambda i: ("rows", Idx(i), "email")),
        "dict of records": (keyed, lambda i: ("rows", f"r{i}", "email")),
    }


def timed(call) -> float:
    gc.collect()
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def measure(name: str, data: bytes, path_of, count: int, reads: list[int], plain_sample: int) -> list[str]:
    rng = random.Random(1)
    lines = []
    plain_rows = rng.sample(range(count), plain_sample)
    plain = timed(lambda: [pyquarl.get(data, *path_of(i)) for i in plain_rows]) / plain_sample
    full = timed(lambda: pyquarl.loads(data))
    for n in reads:
        wanted = [rng.randrange(count) for _ in range(n)]
        doc = pyquarl.Document(data)
        handle = timed(lambda: [doc.get(*path_of(i)) for i in wanted])
        size = doc.index_size
        loaded = timed(lambda: (lambda whole: [whole["rows"][i if "like" in name or "list" in name else f"r{i}"]["email"]
                                               for i in wanted])(pyquarl.loads(data)))
        lines.append(f"| {name} | {n} | {handle:.3f} s | {plain * n:.1f} s (scaled) | {loaded:.2f} s | "
                     f"{plain * n / handle:.0f}x | {size / 1e6:.2f} MB of {doc.index_cap / 1e6:.2f} MB |")
        doc.close()
    # the first lookup of a fresh handle against the same plain lookup
    far = path_of(count - 1)
    first = min(timed(lambda: pyquarl.Document(data).get(*far)) for _ in range(3))
    alone = min(timed(lambda: pyquarl.get(data, *far)) for _ in range(3))
    spread = [path_of(i) for i in sorted(rng.sample(range(count), 100))]
    rng.shuffle(spread)
    many = min(timed(lambda: pyquarl.get_many(data, spread)) for _ in range(2))
    furthest = min(timed(lambda: pyquarl.get(data, *path_of(count - 1))) for _ in range(2))
    lines.append(f"| {name} | first lookup: handle {first * 1e3:.1f} ms, plain {alone * 1e3:.1f} ms "
                 f"({first / alone:.2f}x) | get_many of 100 paths {many * 1e3:.1f} ms, one get of the furthest "
                 f"{furthest * 1e3:.1f} ms ({many / furthest:.2f}x) | full decode {full:.2f} s | | | |")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 000 records")
    parser.add_argument("--records", type=int, default=None)
    parser.add_argument("--reads", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--plain-sample", type=int, default=20)
    args = parser.parse_args(argv)
    count = args.records or (20_000 if args.quick else 1_000_000)
    table = [SECTION, "", f"Random access into one document of {count} records "
             "(one process; on a shared machine compare figures within a run only).", "",
             "| document | reads | handle | repeated get | load + index | handle vs get | index size |",
             "| --- | --- | --- | --- | --- | --- | --- |"]
    for name, (data, path_of) in shapes(count).items():
        table[2] += f" {name}: {len(data) / 1e6:.0f} MB." if name.startswith("list of like") else ""
        table.extend(measure(name, data, path_of, count, args.reads, args.plain_sample))
    text = "\n".join(table) + "\n"
    full = not args.quick and args.records is None and args.reads == [1000, 10000]
    if full and DOCS.exists():
        before = DOCS.read_text().split("\n" + SECTION)[0].rstrip("\n") + "\n\n"
        DOCS.write_text(before + text)
    else:
        OUT.mkdir(parents=True, exist_ok=True)
        (OUT / "random-access.md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
