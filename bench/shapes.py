"""Per-call times of dumps and loads on many document shapes, to compare builds.

    python bench/shapes.py                 # this interpreter's pyquarl
    PYTHONPATH=OTHER python bench/shapes.py --json out.json

Each shape is timed as the minimum over many rounds of a short batch, so a
busy machine inflates it less than a mean would. Compare two builds by running
this once per build, alternating, and reading the ratio of the minimums.
"""

from __future__ import annotations

import argparse
import json
import random
import string
import sys
import time
from pathlib import Path

import pyquarl


def shapes() -> dict[str, object]:
    rnd = random.Random(17)
    ascii32 = ["".join(rnd.choices(string.ascii_letters, k=32)) for _ in range(50_000)]
    nonascii8 = ["".join(chr(rnd.randrange(0x400, 0x4FF)) for _ in range(8)) for _ in range(50_000)]
    pool = [f"s{i:x}{rnd.random()}" for i in range(17_000)]
    keys = [f"k{i}" for i in range(50)]
    return {
        "int 1": 1,
        'dict {"a": 1}': {"a": 1},
        "5-field dict": {"id": 12, "name": "ada", "score": 1.5, "ok": True, "parent": None},
        "unique ascii strings": ascii32,
        "unique non-ascii strings": nonascii8,
        "random repeats": [rnd.choice(pool) for _ in range(75_000)],
        "dict of 50k str keys": {f"key-{i}-{rnd.random()}": i for i in range(50_000)},
        "dict of 50k int keys": {rnd.getrandbits(40): i for i in range(50_000)},
        "table same order": [{k: i for k in keys} for i in range(2_000)],
        "table shuffled": [dict(rnd.sample([(k, i) for k in keys], 50)) for i in range(2_000)],
        "128-bit ints": [rnd.getrandbits(128) for _ in range(20_000)],
        "ints in [2**63, 2**64)": [2**63 + rnd.getrandbits(63) for _ in range(10_000)],
        "one 100000-bit int": rnd.getrandbits(100_000) | 1 << 99_999,
        "long non-ascii string": "".join(chr(rnd.randrange(0x400, 0x4FF)) for _ in range(200_000)),
        "deep tree": _deep(200),
        **_datasets(),
    }


def _datasets() -> dict[str, object]:
    """The benchmark's own five datasets, so that no change is judged on new shapes only."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from bench import datasets

    return {name: datasets.load(name) for name in ("twitter", "citm_catalog", "canada", "records", "graph")}


def _deep(depth: int) -> object:
    node: object = [1, "x"]
    for i in range(depth):
        node = {"level": i, "child": node}
    return node


def best(call, arg, budget: float = 0.2) -> float:
    """Least seconds per call over rounds of batches sized to about a millisecond."""
    start = time.perf_counter()
    call(arg)
    once = max(time.perf_counter() - start, 1e-7)
    batch = max(1, int(1e-3 / once))
    least = float("inf")
    deadline = time.perf_counter() + budget
    while time.perf_counter() < deadline or least == float("inf"):
        start = time.perf_counter()
        for _ in range(batch):
            call(arg)
        least = min(least, (time.perf_counter() - start) / batch)
    return least


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the figures here too")
    parser.add_argument("--only", help="shapes whose name contains this")
    args = parser.parse_args()
    results = {}
    for name, obj in shapes().items():
        if args.only and args.only not in name:
            continue
        doc = pyquarl.dumps(obj)
        results[name] = {"dump": best(pyquarl.dumps, obj), "load": best(pyquarl.loads, doc)}
        print(f"{name:28} dump {results[name]['dump'] * 1e6:10.3f} us  load {results[name]['load'] * 1e6:10.3f} us",
              file=sys.stderr)
    if args.json:
        with open(args.json, "w") as fp:
            json.dump(results, fp)


if __name__ == "__main__":
    main()
