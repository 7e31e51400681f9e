"""Dump and load times on many document shapes, pyquarl side by side with its peers.

    python bench/shapes.py                     # every shape, every installed peer
    python bench/shapes.py --only unique       # shapes whose name contains this
    python bench/shapes.py --peers none        # pyquarl alone, to compare two builds
    python bench/shapes.py --linear            # dump time per output byte, 1 MB to 100 MB
    PYTHONPATH=OTHER python bench/shapes.py --json out.json

pyquarl is called through `pyquarl.dumps`/`pyquarl.loads`, the functions
users call, wrappers included. A figure is the least time per call over many
rounds; in each round every library runs one batch of calls (sized to about
`--batch-ms`), round-robin with a rotating first library, so a busy machine
inflates all of them alike. The ratio is pyquarl's time over the best peer's
that can encode the shape and give the same value back (above 1: slower).
`make bench` runs this as its "shapes" family; `bench/run.py --only shapes`
runs it alone.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import string
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

if __package__ in (None, ""):
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

import pyquarl  # noqa: E402

from bench import peers  # noqa: E402


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
        "long latin-1 string": "".join(chr(rnd.randrange(0x80, 0x100)) for _ in range(200_000)),
        "deep tree": _deep(200),
        **_datasets(),
    }


def _datasets() -> dict[str, object]:
    """The benchmark's own five datasets, so that no change is judged on new shapes only."""
    from bench import datasets

    return {name: datasets.load(name) for name in ("twitter", "citm_catalog", "canada", "records", "graph")}


def _deep(depth: int) -> object:
    node: object = [1, "x"]
    for i in range(depth):
        node = {"level": i, "child": node}
    return node


# --- timing ---------------------------------------------------------------------

Task = tuple[Callable[[Any], Any], Any]


def _batch_size(call: Callable[[Any], Any], arg: Any, batch_s: float) -> int:
    start = time.perf_counter()
    call(arg)
    once = max(time.perf_counter() - start, 1e-8)
    start = time.perf_counter()
    call(arg)
    once = max(min(once, time.perf_counter() - start), 1e-8)
    return max(1, int(batch_s / once))


def interleaved(tasks: dict[str, Task], budget_s: float, batch_s: float = 1e-3) -> dict[str, float]:
    """Least seconds per call of each task, over rounds of one batch each."""
    names = list(tasks)
    batches = {name: _batch_size(*tasks[name], batch_s) for name in names}
    least = {name: float("inf") for name in names}
    clock = time.perf_counter
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        deadline = clock() + budget_s
        rnd = 0
        while rnd < 3 or clock() < deadline:
            k = rnd % len(names)
            for name in names[k:] + names[:k]:
                call, arg = tasks[name]
                batch = batches[name]
                start = clock()
                for _ in range(batch):
                    call(arg)
                least[name] = min(least[name], (clock() - start) / batch)
            rnd += 1
    finally:
        if was_enabled:
            gc.enable()
    return least


def user_codec() -> peers.Codec:
    """pyquarl as users call it: the package's functions, wrappers included."""
    return peers.Codec(peers.BASELINE, pyquarl.dumps, pyquarl.loads, True, peers._version("pyquarl"))


def bench_shape(obj: object, codecs: list[peers.Codec], budget_s: float, batch_s: float = 1e-3) -> dict[str, Any]:
    """Times of every codec that can take `obj` (dump and load each), and the reason of those that cannot."""
    libs: dict[str, dict[str, Any]] = {}
    dumps: dict[str, Task] = {}
    loads: dict[str, Task] = {}
    for codec in codecs:
        encoded, reason = peers.check(codec, obj)
        libs[codec.name] = {"na": reason, "size": None if encoded is None else len(encoded)}
        if encoded is not None:
            dumps[codec.name] = (codec.dump, obj)
            loads[codec.name] = (codec.load, encoded)
    if libs[peers.BASELINE]["na"]:
        raise RuntimeError(f"pyquarl fails: {libs[peers.BASELINE]['na']}")
    for op, tasks in (("dump", dumps), ("load", loads)):
        for name, seconds in interleaved(tasks, budget_s / 2, batch_s).items():
            libs[name][op] = seconds
    return {"libs": libs, **ratios(libs)}


def ratios(libs: dict[str, dict[str, Any]]) -> dict[str, Any]:
    """pyquarl's time over the best peer's, per operation, and which peer that is."""
    out: dict[str, Any] = {}
    for op in ("dump", "load"):
        rivals = [(lib, v[op]) for lib, v in libs.items() if lib != peers.BASELINE and op in v]
        if not rivals:
            continue
        lib, best_peer = min(rivals, key=lambda item: item[1])
        out[op] = {"ratio": libs[peers.BASELINE][op] / best_peer, "best": lib}
    return out


def bench_shapes(codecs: list[peers.Codec], budget_s: float, only: str | None = None,
                 log: Callable[[str], None] | None = None) -> dict[str, Any]:
    """Every shape (or those whose name contains `only`) with every codec; pyquarl through its wrappers."""
    codecs = [user_codec() if c.name == peers.BASELINE else c for c in codecs]
    results: dict[str, Any] = {}
    for name, obj in shapes().items():
        if only and only not in name:
            continue
        results[name] = bench_shape(obj, codecs, budget_s)
        if log:
            log(line(name, results[name]))
    return results


def line(name: str, result: dict[str, Any]) -> str:
    ours = result["libs"][peers.BASELINE]
    parts = [f"{name:26}", f"dump {ours['dump'] * 1e6:11.3f} us", f"load {ours['load'] * 1e6:11.3f} us"]
    for op in ("dump", "load"):
        if op in result:
            parts.append(f"{op} {result[op]['ratio']:5.2f}x {result[op]['best']}")
    return "  ".join(parts)


def worst_and_best(results: dict[str, Any], op: str) -> tuple[tuple[str, float], tuple[str, float]] | None:
    """The shapes with the highest and the lowest ratio for `op`."""
    found = [(name, r[op]["ratio"]) for name, r in results.items() if op in r]
    if not found:
        return None
    return max(found, key=lambda item: item[1]), min(found, key=lambda item: item[1])


# --- cost per byte as documents grow ------------------------------------------

def _unique_strings(n: int) -> list[str]:
    rnd = random.Random(n)
    return ["".join(rnd.choices(string.ascii_letters, k=32)) for _ in range(n)]


def _str_key_dict(n: int) -> dict[str, int]:
    rnd = random.Random(n)
    return {"".join(rnd.choices(string.ascii_letters, k=24)): i for i in range(n)}


# name, builder, items per MB of output (about)
GROWING = [("unique strings", _unique_strings, 30_000), ("str-key dict", _str_key_dict, 33_000)]


def bench_linear(sizes_mb: list[float], codecs: list[peers.Codec], log: Callable[[str], None]) -> dict[str, Any]:
    """Dump nanoseconds per output byte of pyquarl (and the peers) at each size."""
    codecs = [user_codec() if c.name == peers.BASELINE else c for c in codecs]
    results: dict[str, Any] = {}
    for name, build, per_mb in GROWING:
        results[name] = {}
        for mb in sizes_mb:
            obj = build(int(per_mb * mb))
            size = len(pyquarl.dumps(obj))
            tasks = {c.name: (c.dump, obj) for c in codecs if peers.check(c, obj)[1] is None}
            rounds = 3 if mb >= 30 else 7
            least = {c: float("inf") for c in tasks}
            for _ in range(rounds):
                for c, seconds in interleaved(tasks, 0, batch_s=0).items():
                    least[c] = min(least[c], seconds)
            results[name][mb] = {c: s * 1e9 / size for c, s in least.items()}
            log(f"{name:16} {size / 1e6:8.1f} MB  " +
                "  ".join(f"{c} {v:6.2f} ns/B" for c, v in results[name][mb].items()))
            del obj
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the figures here too")
    parser.add_argument("--only", help="shapes whose name contains this")
    parser.add_argument("--peers", default=None, help="comma-separated peers, or 'none' (default: all installed)")
    parser.add_argument("--budget", type=float, default=1.0, help="seconds of timing per shape")
    parser.add_argument("--linear", nargs="*", type=float, metavar="MB",
                        help="time dumps per output byte at these sizes (default 1 10 100)")
    args = parser.parse_args()
    names = None if args.peers is None else {p.strip() for p in args.peers.split(",") if p.strip() != "none"}
    codecs = [c for c in peers.codecs(names) if not c.missing]

    def log(text: str) -> None:
        print(text, file=sys.stderr, flush=True)

    if args.linear is not None:
        results: dict[str, Any] = bench_linear(args.linear or [1, 10, 100], codecs, log)
    else:
        results = bench_shapes(codecs, args.budget, args.only, log)
        for op in ("dump", "load"):
            if found := worst_and_best(results, op):
                (worst, w), (best, b) = found
                log(f"{op}: worst {w:.2f}x ({worst}), best {b:.2f}x ({best})")
    if args.json:
        with open(args.json, "w") as fp:
            json.dump(results, fp)


if __name__ == "__main__":
    main()
