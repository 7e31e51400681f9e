"""Dense records: how fast the lazy reader passes over documents of small values.

    python bench/dense.py               # full sizes; replaces the "Dense records" section of docs/benchmarks.md
    python bench/dense.py --quick       # small documents, prints the table only
    python bench/run.py --only dense    # the same family inside the main benchmark

Each document is a dict of four blocks of small records with a marker after
each block: {"block0": [...], "mark0": 0, ..., "block3": [...], "tail": 3}.
`pyquarl.get(doc, "markJ")` passes over the blocks before the marker, so it
reads a quarter, a half, three quarters and all of the document; msgspec's
partial decode (a Struct declaring only that field, on msgspec's own encoding
of the same value) walks its whole document whatever the field. Throughput is
document bytes over the time of the lookup at the end, next to this machine's
memory bandwidth: bytes per second of a numpy copy of 200 MB.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

if __package__ in (None, ""):
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

import pyquarl  # noqa: E402

SECTION = "## Dense records"
DOCS = Path(__file__).resolve().parent.parent / "docs" / "benchmarks.md"
BLOCKS = 4
MARKERS = [f"mark{j}" for j in range(BLOCKS - 1)] + ["tail"]
FULL_MB = 40
QUICK_MB = 4

KINDS = ["click", "view", "scroll", "purchase", "login", "logout", "error", "share"]


def events(n: int, rng: random.Random) -> list[dict[str, Any]]:
    """Event dicts of small ints and short strings; one in five carries an extra key, so they are not rows."""
    out = []
    for i in range(n):
        event: dict[str, Any] = {"seq": i % 200, "kind": rng.choice(KINDS), "user": rng.randrange(220),
                                 "page": f"p{rng.randrange(50)}", "ms": rng.randrange(200), "ok": rng.random() < 0.9}
        if rng.random() < 0.2:
            event["retry"] = rng.randrange(4)
        out.append(event)
    return out


def matrix(n: int, rng: random.Random) -> list[list[int]]:
    """Rows of 64 small ints (0 to 199)."""
    return [[rng.randrange(200) for _ in range(64)] for _ in range(n)]


def wide_matrix(n: int, rng: random.Random) -> list[list[int]]:
    """Rows of 64 ints from 0 to 99 999: most are a flag and a size field of several bytes."""
    return [[rng.randrange(100_000) for _ in range(64)] for _ in range(n)]


def rows(n: int, rng: random.Random) -> list[dict[str, Any]]:
    """Like dicts (same keys, same order): the encoder writes them as rows."""
    return [{"id": i % 220, "x": rng.randrange(200), "y": rng.randrange(200), "label": rng.choice(KINDS),
             "on": rng.random() < 0.5} for i in range(n)]


# name, builder, encoded bytes per item (about)
FAMILIES: list[tuple[str, Callable[[int, random.Random], Any], int]] = [
    ("events", events, 24), ("int matrix", matrix, 66), ("int matrix 0..99999", wide_matrix, 280),
    ("rows of like dicts", rows, 9),
]


def document(build: Callable[[int, random.Random], Any], items: int, seed: int = 7) -> dict[str, Any]:
    rng = random.Random(seed)
    doc: dict[str, Any] = {}
    for j in range(BLOCKS):
        doc[f"block{j}"] = build(items // BLOCKS, rng)
        doc[MARKERS[j]] = j
    return doc


def best_of(call: Callable[[], Any], budget_s: float, least_rounds: int = 5) -> float:
    """Least seconds of one call over at least `least_rounds` calls and about `budget_s`: the calling
    thread's CPU time, which other processes on a shared machine disturb far less than the wall clock."""
    best = float("inf")
    clock = time.thread_time
    deadline = time.perf_counter() + budget_s
    rounds = 0
    while rounds < least_rounds or time.perf_counter() < deadline:
        start = clock()
        call()
        best = min(best, clock() - start)
        rounds += 1
    return best


def memory_bandwidth(mb: int = 200) -> float | None:
    """Bytes per second of a numpy copy of `mb` MB (None without numpy)."""
    try:
        import numpy as np
    except ImportError:
        return None
    src = np.ones(mb * 1_000_000, dtype=np.uint8)
    dst = np.empty_like(src)
    return src.nbytes / best_of(lambda: np.copyto(dst, src), 1.0)


def msgspec_partial(doc: dict[str, Any]) -> tuple[bytes, dict[str, Callable[[bytes], Any]]] | None:
    """msgspec's encoding of `doc` and, per marker, a decode into a Struct declaring that field alone."""
    try:
        import msgspec
    except ImportError:
        return None
    data = msgspec.msgpack.encode(doc)
    decoders = {}
    for marker in MARKERS:
        struct = msgspec.defstruct(f"Only_{marker}", [(marker, int)])
        decoders[marker] = msgspec.msgpack.Decoder(struct).decode
    return data, decoders


def bench_family(name: str, build: Callable[[int, random.Random], Any], per_item: int, mb: float,
                 budget_s: float) -> dict[str, Any]:
    doc = document(build, int(mb * 1_000_000 / per_item))
    data = pyquarl.dumps(doc)
    result: dict[str, Any] = {"bytes": len(data), "get": {}, "msgspec": {}}
    for j, marker in enumerate(MARKERS):
        assert pyquarl.get(data, marker) == j
        result["get"][marker] = best_of(lambda m=marker: pyquarl.get(data, m), budget_s / 8)
    peer = msgspec_partial(doc)
    del doc
    if peer is not None:
        encoded, decoders = peer
        result["msgspec_bytes"] = len(encoded)
        for j, marker in enumerate(MARKERS):
            decode = decoders[marker]
            assert getattr(decode(encoded), marker) == j
            result["msgspec"][marker] = best_of(lambda d=decode: d(encoded), budget_s / 8)
    return result


def bench_dense(quick: bool = False, budget_s: float | None = None,
                log: Callable[[str], None] | None = None) -> dict[str, Any]:
    mb = QUICK_MB if quick else FULL_MB
    budget = budget_s if budget_s is not None else (0.5 if quick else 4.0)
    results: dict[str, Any] = {"bandwidth": memory_bandwidth(), "families": {}}
    for name, build, per_item in FAMILIES:
        results["families"][name] = bench_family(name, build, per_item, mb, budget)
        if log:
            log(line(name, results["families"][name]))
    return results


def gbps(size: int, seconds: float) -> float:
    return size / seconds / 1e9


def line(name: str, r: dict[str, Any]) -> str:
    ours = r["get"]["tail"]
    text = f"{name:22} {r['bytes'] / 1e6:6.1f} MB  get tail {ours * 1e3:7.2f} ms = {gbps(r['bytes'], ours):5.2f} GB/s"
    if r["msgspec"]:
        worst = max(r["get"][m] / r["msgspec"][m] for m in MARKERS)
        text += f"  msgspec {r['msgspec']['tail'] * 1e3:7.2f} ms  worst get/msgspec {worst:4.2f}x"
    return text


def section(results: dict[str, Any]) -> list[str]:
    """The "Dense records" table of docs/benchmarks.md."""
    bandwidth = results.get("bandwidth")
    lines = [SECTION, "",
             "`bench/dense.py`: `pyquarl.get` of a marker after each quarter of a document of small records "
             "(`{\"block0\": [...], \"mark0\": 0, ..., \"block3\": [...], \"tail\": 3}`), against msgspec's partial "
             "decode (a Struct declaring only that field) of msgspec's encoding of the same value, which reads its "
             "whole document whatever the field. GB/s: document bytes over the time of `get(doc, \"tail\")`. "
             "Ratios: pyquarl's time over msgspec's at the 1/4, 1/2, 3/4 and end markers (below 1: pyquarl faster). "
             "Times are the least CPU time of the calling thread over several calls.",
             ""]
    if bandwidth:
        lines += [f"Memory bandwidth of this machine: {bandwidth / 1e9:.1f} GB/s (numpy copy of 200 MB).", ""]
    lines += ["| document | size | get at end | GB/s | share of bandwidth | msgspec partial | "
              "get / msgspec at 1/4, 1/2, 3/4, end |",
              "| --- | ---: | ---: | ---: | ---: | ---: | --- |"]
    for name, r in results["families"].items():
        ours = r["get"]["tail"]
        speed = gbps(r["bytes"], ours)
        share = f"{speed * 1e9 / bandwidth:.0%}" if bandwidth else "n/a"
        if r["msgspec"]:
            peer = f"{r['msgspec']['tail'] * 1e3:.2f} ms ({r['msgspec_bytes'] / 1e6:.1f} MB)"
            rel = ", ".join(f"{r['get'][m] / r['msgspec'][m]:.2f}" for m in MARKERS)
        else:
            peer, rel = "n/a", ""
        lines.append(f"| {name} | {r['bytes'] / 1e6:.1f} MB | {ours * 1e3:.2f} ms | {speed:.2f} | {share} | "
                     f"{peer} | {rel} |")
    return lines + [""]


def replace_section(text: str, path: Path = DOCS) -> None:
    """Puts `text` in place of the section of the same title in `path`, or before "Reading from files"."""
    old = path.read_text() if path.exists() else ""
    if SECTION in old:
        head, rest = old.split(SECTION, 1)
        tail = rest.split("\n## ", 1)
        old = head + text + ("\n## " + tail[1] if len(tail) > 1 else "")
    elif "## Reading from files" in old:
        head, rest = old.split("## Reading from files", 1)
        old = head + text + "\n## Reading from files" + rest
    else:
        old = old.rstrip("\n") + "\n\n" + text
    path.write_text(old)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=f"{QUICK_MB} MB documents; prints only")
    parser.add_argument("--only", help="families whose name contains this; prints only")
    args = parser.parse_args()
    if args.only:
        FAMILIES[:] = [f for f in FAMILIES if args.only in f[0]]

    def log(text: str) -> None:
        print(text, file=sys.stderr, flush=True)

    results = bench_dense(args.quick, log=log)
    text = "\n".join(section(results))
    print(text)
    if not args.quick and not args.only:
        replace_section(text)
        log(f"written to {DOCS}")


if __name__ == "__main__":
    main()
