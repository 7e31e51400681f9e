"""pyquarl inside Dask: files of documents read in parallel, and task results sent as quarl.

    .venv/bin/python examples/dask_example.py [--events N]

Writes a small log of order events as files of quarl documents in a temporary
directory, starts a LocalCluster of two worker processes and
1. reads one field of every document with a lazy path (the rest is skipped),
2. reads whole documents, keeps the large orders and writes them back out,
3. gathers task results through the "quarl" serialization family.
Needs the dask extra: pip install "pyquarl[dask]".
"""

import argparse
import random
import tempfile
from pathlib import Path

import dask
import distributed

import pyquarl
import pyquarl.dask


def write_log(directory: Path, events: int, files: int = 4) -> None:
    rng = random.Random(1)
    for number in range(files):
        with open(directory / f"events-{number}.quarl", "wb") as out:
            for i in range(number, events, files):  # many documents per file, one dump each
                pyquarl.dump({
                    "user": {"id": rng.randrange(100), "country": rng.choice(["fr", "de", "jp"])},
                    "order": {"id": i, "total": round(rng.uniform(1, 500), 2)},
                    "lines": [{"sku": f"sku-{rng.randrange(50)}", "qty": rng.randrange(1, 4)} for _ in range(20)],
                }, out)


def country_totals(orders: list) -> dict:
    totals: dict = {}
    for order in orders:
        totals[order["user"]["country"]] = totals.get(order["user"]["country"], 0) + order["order"]["total"]
    return totals


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=2_000)
    events = parser.parse_args().events
    with tempfile.TemporaryDirectory() as tmp, \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, \
            distributed.Client(cluster, serializers=pyquarl.dask.SERIALIZERS,
                               deserializers=pyquarl.dask.SERIALIZERS) as client:
        client.register_plugin(pyquarl.dask.QuarlPlugin())  # the family on the workers too
        directory = Path(tmp)
        write_log(directory, events)

        # 1. One field per document: each partition maps its file and skips the rest of every document.
        user_ids = pyquarl.dask.read_documents(str(directory / "events-*.quarl"), path=("user", "id"))
        print("distinct users:", user_ids.distinct().count().compute())

        # 2. Whole documents: filter them and write the result back, one file per partition.
        orders = pyquarl.dask.read_documents(str(directory / "events-*.quarl"))
        large = orders.filter(lambda order: order["order"]["total"] > 400)
        written = pyquarl.dask.to_documents(large, str(directory / "large" / "part-*.quarl"))
        back = pyquarl.dask.read_documents(str(directory / "large" / "*.quarl"), path=("order", "id"))
        print(f"large orders: {back.count().compute()} in {len(written)} files")

        # 3. Task results come back to the client as quarl documents.
        per_file = [dask.delayed(country_totals)(part) for part in orders.to_delayed()]
        totals: dict = {}
        for partial_totals in client.gather(client.compute(per_file)):
            for country, total in partial_totals.items():
                totals[country] = round(totals.get(country, 0) + total, 2)
        print("revenue per country:", dict(sorted(totals.items())))


if __name__ == "__main__":
    main()
