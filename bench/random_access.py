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
same rows with one unlike item, so a list of separate dicts, a dict of
records by key, and a list of lists) are measured side by side, each read
through ``Document.get`` and through views (``rows[i][field]``).
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import time
from pathlib import Path
from typing import Any

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


def shapes(count: int) -> dict[str, tuple[bytes, Any, Any]]:
    """name -> (document, how row i's "email" is reached as a path, and as a key of the rows)."""
    rows = [record(i) for i in range(count)]
    like = pyquarl.dumps({"rows": rows})
    rows[0] = {**rows[0], "extra": 1}  # no longer a list of like dicts
    unlike = pyquarl.dumps({"rows": rows})
    keyed = pyquarl.dumps({"rows": {f"r{i}": row for i, row in enumerate(rows)}})
    lists = pyquarl.dumps({"rows": [[row["id"], row["name"], row["email"], row["team"], row["text"]] for row in rows]})
    del rows
    by_position = (lambda i: ("rows", Idx(i), "email"), lambda i: (i, "email"))
    return {
        "list of like dicts": (like, *by_position),
        "list of dicts": (unlike, *by_position),
        "dict of records": (keyed, lambda i: ("rows", f"r{i}", "email"), lambda i: (f"r{i}", "email")),
        "list of lists": (lists, lambda i: ("rows", Idx(i), Idx(2)), lambda i: (i, 2)),
    }


def timed(call) -> float:
    gc.collect()
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def best(call, times: int) -> float:
    return min(timed(call) for _ in range(times))


def measure(name: str, data: bytes, path_of, steps_of, count: int, reads: list[int],
            plain_sample: int) -> tuple[list[str], list[str]]:
    rng = random.Random(1)
    lines = []
    plain_rows = rng.sample(range(count), plain_sample)
    plain = timed(lambda: [pyquarl.get(data, *path_of(i)) for i in plain_rows]) / plain_sample
    for n in reads:
        wanted = [rng.randrange(count) for _ in range(n)]
        doc = pyquarl.Document(data)
        handle = timed(lambda: [doc.get(*path_of(i)) for i in wanted])
        size = doc.index_size
        doc.close()
        doc = pyquarl.Document(data)

        def navigate() -> None:
            rows = doc["rows"]
            for i in wanted:
                row, field = steps_of(i)
                rows[row][field]

        viewed = timed(navigate)
        doc.close()

        def load_and_index() -> None:
            whole = pyquarl.loads(data)["rows"]
            for i in wanted:
                row, field = steps_of(i)
                whole[row][field]

        loaded = timed(load_and_index)
        lines.append(f"| {name} | {n} | {handle:.3f} s | {viewed:.3f} s | {plain * n:.1f} s (scaled) | "
                     f"{loaded:.2f} s | {plain * n / handle:.0f}x | "
                     f"{size / 1e6:.2f} MB of {doc.index_cap / 1e6:.2f} MB |")
    # the first lookup of a fresh handle against the same plain lookup, and get_many
    far = path_of(count - 1)
    first = best(lambda: pyquarl.Document(data).get(*far), 5)
    alone = best(lambda: pyquarl.get(data, *far), 5)
    spread = [path_of(i) for i in rng.sample(range(count - 1), 99)] + [far]
    rng.shuffle(spread)
    many = best(lambda: pyquarl.get_many(data, spread), 3)
    other = (f"| {name} | {first * 1e3:.1f} ms | {alone * 1e3:.1f} ms | {first / alone:.2f}x | {many * 1e3:.1f} ms | "
             f"{many / alone:.2f}x |")
    return lines, [other]


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
             "| document | reads | handle `get` | handle `rows[i][field]` | repeated `get` | load + index | "
             "`get`: handle vs plain | index size |", "| --- | --- | --- | --- | --- | --- | --- | --- |"]
    others = ["", "First lookup through a fresh handle, and `get_many` of 100 paths spread over the document, "
              "against one plain `get` of the furthest path.", "",
              "| document | first lookup | plain `get` | ratio | `get_many` of 100 | ratio |",
              "| --- | --- | --- | --- | --- | --- |"]
    for name, (data, path_of, steps_of) in shapes(count).items():
        table[2] += f" {name}: {len(data) / 1e6:.0f} MB."
        lines, other = measure(name, data, path_of, steps_of, count, args.reads, args.plain_sample)
        table.extend(lines)
        others.extend(other)
        print("\n".join(lines + other), flush=True)
    table.extend(others)
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
