"""A guided tour of pyquarl on the bundled sample data (run with `make demo`).

examples/shop.json.gz holds a made-up shop's customers and their orders
(examples/make_sample_data.py writes it). The tour encodes it, compares sizes
with JSON and pickle, checks the round trip, and reads one deep value lazily.
"""

from __future__ import annotations

import gzip
import json
import pickle
import tempfile
import timeit
from pathlib import Path
from typing import Any, Callable

import pyquarl
from pyquarl import Idx

DATA = Path(__file__).with_name("shop.json.gz")


def best_ms(function: Callable[[], object], repeat: int = 5, number: int = 1) -> float:
    """The fastest of `repeat` timings, in milliseconds per call."""
    return min(timeit.repeat(function, repeat=repeat, number=number)) / number * 1000


def heading(text: str) -> None:
    print(f"\n{text}\n{'-' * len(text)}")


def size_row(label: str, size: int, reference: int) -> None:
    print(f"  {label:<28}{size:>12,} bytes  {100 * size / reference:5.1f}% of JSON")


def deep_path(data: dict[str, Any]) -> list[object]:
    """A line item's product name, in a customer about three quarters down the list."""
    customers = data["customers"]
    for number in range(len(customers) * 3 // 4, len(customers)):
        orders = customers[number]["orders"]
        if len(orders) >= 2:
            return ["customers", Idx(number), "orders", Idx(1), "items", Idx(0), "name"]
    raise SystemExit("the sample data has no customer with two orders")


def follow(value: Any, path: list[object]) -> Any:
    for step in path:
        value = value[step.index if type(step) is Idx else step]
    return value


def main() -> None:
    print("pyquarl tour")
    print("============")
    small = {"a": [1, 2]}
    print(f"A document is the marker <o> and one encoded value. {small} becomes")
    print(f"  {pyquarl.dumps(small).hex(' ').upper()}")
    print("(3C 6F 3E is <o>; 10 a dict with str keys, 01 one entry, 02 FE 61 the key 'a',")
    print(" 0D 02 a list of two values, 1F and 20 the small ints 1 and 2.)")

    data = json.loads(gzip.decompress(DATA.read_bytes()))
    customers = data["customers"]
    orders = sum(len(c["orders"]) for c in customers)
    print(f"\nSample data: {DATA.name}, {len(customers):,} customers with {orders:,} orders.")

    heading("1. Encode")
    doc = pyquarl.dumps(data)
    json_bytes = json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode()
    pickled = pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL)
    size_row("quarl (pyquarl.dumps)", len(doc), len(json_bytes))
    size_row("JSON, compact UTF-8", len(json_bytes), len(json_bytes))
    size_row("JSON, gzip -6", len(gzip.compress(json_bytes, 6, mtime=0)), len(json_bytes))
    size_row("pickle, newest protocol", len(pickled), len(json_bytes))
    print("  Each distinct string is stored once and then referred back to, a list of")
    print("  dicts with the same keys stores the keys once, small ints take one byte.")
    print(f"  Time to encode: {best_ms(lambda: pyquarl.dumps(data)):.1f} ms")

    heading("2. Decode")
    decoded = pyquarl.loads(doc)
    same = decoded == data
    print(f"  pyquarl.loads(doc) == data: {same}")
    print(f"  pyquarl.loads  {best_ms(lambda: pyquarl.loads(doc)):7.1f} ms")
    print(f"  json.loads     {best_ms(lambda: json.loads(json_bytes)):7.1f} ms")
    print(f"  pickle.loads   {best_ms(lambda: pickle.loads(pickled)):7.1f} ms")
    if not same:
        raise SystemExit("round trip failed")

    heading("3. Read one value without decoding the rest")
    path = deep_path(data)
    shown = ", ".join(repr(step) for step in path)
    value = pyquarl.get(doc, *path)
    print(f"  pyquarl.get(doc, {shown})")
    print(f"    -> {value!r}")
    if value != follow(data, path):
        raise SystemExit("lazy lookup disagrees with the full decode")
    lazy = best_ms(lambda: pyquarl.get(doc, *path), number=20)
    full = best_ms(lambda: follow(pyquarl.loads(doc), path))
    print(f"  get: {lazy:.2f} ms; full decode and indexing: {full:.1f} ms ({full / lazy:.0f}x as long)")
    print("  get skips what comes before the value without building it and never reads")
    print("  what comes after, so a value near the start of a document is found sooner.")
    print(f"  pyquarl.contains(doc, 'customers', Idx(1), 'email')  -> {pyquarl.contains(doc, 'customers', Idx(1), 'email')}")
    print(f"  pyquarl.contains(doc, 'customers', Idx(10**6))      -> {pyquarl.contains(doc, 'customers', Idx(10**6))}")

    heading("4. Files")
    with tempfile.TemporaryDirectory() as directory:
        target = Path(directory) / "shop.quarl"
        with target.open("wb") as fp:
            pyquarl.dump(data, fp)  # streamed through fp.write in chunks
        with target.open("rb") as fp:
            again = pyquarl.load(fp)
        print(f"  dump(data, fp) wrote {target.stat().st_size:,} bytes; load(fp) == data: {again == data}")
        if again != data:
            raise SystemExit("file round trip failed")

    print("\nThe command-line tool does the same from a shell, for example:")
    print("  zcat examples/shop.json.gz | .venv/bin/quarl encode -o shop.quarl")
    print("  .venv/bin/quarl stats shop.quarl")
    print("  .venv/bin/quarl get shop.quarl customers '#7' orders '#0' items --indent 2")


if __name__ == "__main__":
    main()
