"""pyquarl inside Dask, on a LocalCluster of 2 worker processes, side by side in one run.

    python bench/dask_bench.py                 # full sizes: 8 x ~20 MB results, 2 000 documents (~1 GB)
    python bench/dask_bench.py --scale 0.05    # smoke run on a twentieth of the data

1. Gathering 8 task results of records to the client with the quarl family
   first in the client's serializers, against pickle (Dask's default) and
   msgpack: wall time of ``client.gather`` and the bytes of the messages. Two
   shapes: a list of records, which distributed sends item by item (one
   document per record, so its own per-item work dominates), and the same
   list under a dict key, sent as one document.
2. Filtering one field out of stored documents with a Bag: ``read_documents``
   with a lazy path, the same Bag decoding whole documents, and JSON Lines of
   the same documents read with ``orjson``. Files are read warm (page cache).

Writes Markdown to bench/out/dask.md (``--md`` to change) and prints it.
"""

from __future__ import annotations

import argparse
import glob
import os
import random
import shutil
import time
from pathlib import Path
from typing import Any

import dask.bag
import distributed
import orjson
from distributed.protocol import dumps as protocol_dumps, to_serialize

import pyquarl
import pyquarl.dask

OUT = Path(__file__).resolve().parent / "out"
RESULT_BYTES = 20_000_000  # of quarl per task result, at scale 1
RESULTS = 8
DOCUMENTS = 2_000  # stored documents at scale 1, ~500 kB each
EVENTS_PER_DOCUMENT = 8_000
FILES = 16

FAMILIES = {
    "quarl": pyquarl.dask.SERIALIZERS,
    "pickle": ["dask", "pickle"],
    "msgpack": ["msgpack", "dask", "pickle"],
}


def record(rng: random.Random, i: int) -> dict[str, Any]:
    return {
        "id": i,
        "user": f"user{rng.randrange(5_000)}",
        "email": f"u{rng.randrange(10**6)}@example.org",
        "score": rng.random() * 100,
        "active": rng.random() < 0.5,
        "tags": rng.sample(["red", "green", "blue", "new", "vip", "eu", "us"], rng.randrange(4)),
        "address": {"city": f"city{rng.randrange(300)}", "zip": rng.randrange(10_000, 99_999)},
    }


def make_records(seed: int, count: int) -> list[dict[str, Any]]:
    rng = random.Random(seed)
    return [record(rng, i) for i in range(count)]


def make_table(seed: int, count: int) -> dict[str, Any]:
    return {"rows": make_records(seed, count)}


def records_for(target_bytes: int) -> int:
    sample = make_records(0, 2_000)
    return max(1, target_bytes * 2_000 // len(pyquarl.dumps(sample)))


def message_bytes(value: Any, serializers: list[str]) -> int:
    """Bytes of the reply a worker sends for one gathered result."""
    frames = protocol_dumps({"status": "OK", "data": {"key": to_serialize(value)}}, serializers=serializers)
    return sum(memoryview(frame).nbytes for frame in frames)


def best_of(reps: int, call: Any) -> float:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def bench_gather(cluster: distributed.LocalCluster, scale: float, reps: int) -> list[str]:
    count = records_for(int(RESULT_BYTES * scale))
    lines = [
        f"### Gathering {RESULTS} results of {count:,} records each (~{RESULT_BYTES * scale / 1e6:.1f} MB of quarl each)",
        "",
        "| result | family | wall time of gather | vs pickle | bytes sent |",
        "| --- | --- | ---: | ---: | ---: |",
    ]
    for shape, make in (("list of records", make_records), ('{"rows": records}', make_table)):
        sample = make(1, count)
        rows = []
        for name, serializers in FAMILIES.items():
            with distributed.Client(cluster, serializers=serializers, deserializers=serializers) as client:
                client.register_plugin(pyquarl.dask.QuarlPlugin())
                futures = [client.submit(make, seed, count, pure=False) for seed in range(1, RESULTS + 1)]
                distributed.wait(futures)
                seconds = best_of(reps, lambda: client.gather(futures))
                size = RESULTS * message_bytes(sample, serializers)
                del futures
            rows.append((name, seconds, size))
        base = dict((name, seconds) for name, seconds, _ in rows)["pickle"]
        lines += [f"| {shape} | {name} | {seconds * 1e3:.0f} ms | {base / seconds:.2f}x | {size / 1e6:.1f} MB |"
                  for name, seconds, size in rows]
    return lines


def document(rng: random.Random, i: int) -> dict[str, Any]:
    return {"user": {"id": i, "name": f"user{i}"}, "events": [record(rng, k) for k in range(EVENTS_PER_DOCUMENT)]}


def write_documents(directory: Path, count: int) -> int:
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    rng = random.Random(7)
    files = min(FILES, count)
    total = 0
    for f in range(files):
        with open(directory / f"part-{f:02}.quarl", "wb") as out, open(directory / f"part-{f:02}.jsonl", "wb") as lines:
            for i in range(f, count, files):
                value = document(rng, i)
                pyquarl.dump(value, out)
                lines.write(orjson.dumps(value) + b"\n")
            total += out.tell()
    return total


def user_id(value: dict[str, Any]) -> Any:
    return value["user"]["id"]


def bench_filter(cluster: distributed.LocalCluster, scale: float, reps: int, directory: Path) -> list[str]:
    count = max(FILES, int(DOCUMENTS * scale))
    total = write_documents(directory, count)
    quarl_files, json_files = str(directory / "*.quarl"), str(directory / "*.jsonl")
    even = lambda i: i % 2 == 0  # noqa: E731
    bags = {
        "Bag, lazy path": pyquarl.dask.read_documents(quarl_files, path=("user", "id")).filter(even),
        "Bag, whole documents": pyquarl.dask.read_documents(quarl_files).map(user_id).filter(even),
        "JSON Lines + orjson": dask.bag.read_text(json_files).map(orjson.loads).map(user_id).filter(even),
    }
    expected = list(range(0, count, 2))
    rows = []
    with distributed.Client(cluster) as client:
        for name, bag in bags.items():
            assert sorted(client.compute(bag).result()) == expected, name  # also warms the page cache
            rows.append((name, best_of(reps, lambda: client.compute(bag).result())))
    lazy = rows[0][1]
    lines = [
        f"### Filtering one field out of {count:,} documents ({total / 1e6:.0f} MB of quarl in {FILES} files)",
        "",
        "| reader | wall time | vs lazy path |",
        "| --- | ---: | ---: |",
    ]
    lines += [f"| {name} | {seconds * 1e3:.0f} ms | {seconds / lazy:.1f}x |" for name, seconds in rows]
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the full data sizes (default 1)")
    parser.add_argument("--reps", type=int, default=3, help="timed repetitions; the best is kept (default 3)")
    parser.add_argument("--dir", type=Path, default=OUT / "dask-documents", help="where the stored documents go")
    parser.add_argument("--md", type=Path, default=OUT / "dask.md", help="where the Markdown goes")
    args = parser.parse_args(argv)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        lines = [f"## pyquarl inside Dask (LocalCluster, 2 worker processes; scale {args.scale:g})", ""]
        lines += bench_gather(cluster, args.scale, args.reps) + [""]
        lines += bench_filter(cluster, args.scale, args.reps, args.dir) + [""]
    shutil.rmtree(args.dir, ignore_errors=True)
    text = "\n".join(lines)
    args.md.parent.mkdir(parents=True, exist_ok=True)
    args.md.write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
