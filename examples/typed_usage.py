"""Every public function of pyquarl, used the way a typed code base would.

`mypy --strict` checks this file in the test suite, and running it prints a
few results:

    python examples/typed_usage.py
"""

from __future__ import annotations

import datetime as dt
import io
from dataclasses import dataclass
from typing import Any

import pyquarl
from pyquarl import (
    CustomType,
    DeserializationError,
    Idx,
    QuarlError,
    SerializationError,
    bytes_check_if_contains,
    contains,
    dump,
    dump_bytes,
    dumps,
    get,
    lazy_load_bytes,
    load,
    load_bytes,
    loads,
)


@dataclass
class Point:
    x: float
    y: float


def point_to_list(point: Point) -> list[float]:
    return [point.x, point.y]


def point_from_list(xy: list[float]) -> Point:
    return Point(*xy)


class Chunks:
    """A writer that keeps the chunks it is given."""

    def __init__(self) -> None:
        self.chunks: list[bytes] = []

    def write(self, data: bytes) -> None:
        self.chunks.append(data)


def main() -> None:
    record: dict[str, Any] = {
        "name": "ada",
        "scores": [1, 2, 3],
        "where": Point(1.5, -2.0),
        "seen": dt.datetime(2024, 5, 1, 12, 0),
    }
    custom = {Point: CustomType("pt", point_to_list)}
    loaders = {"pt": point_from_list}

    # json/pickle-style functions.
    data: bytes = dumps(record, custom_types=custom, serialize_dates=True)
    back = loads(data, custom_types=loaders)
    assert back["where"] == Point(1.5, -2.0)

    fp = io.BytesIO()
    dump(record, fp, custom_types=custom, serialize_dates=True, flush_threshold=1024)
    fp.seek(0)
    assert load(fp, custom_types=loaders) == back

    # Lazy reads.
    second: int = get(data, "scores", Idx(1))
    found: bool = contains(data, "scores", Idx(5))
    truthy: bool = contains(data, "name", include_falsy=False)
    print(f"get -> {second}, contains -> {found}, {truthy}")

    # The native functions underneath.
    raw: bytes = dump_bytes([1, 2, 3])
    sink = Chunks()
    nothing: None = dump_bytes([1, 2, 3], writer=sink)
    assert nothing is None and b"".join(sink.chunks) == raw
    assert load_bytes(bytearray(raw), use_tuples=True) == (1, 2, 3)
    assert lazy_load_bytes(raw, [Idx(0)]) == 1
    assert bytes_check_if_contains(raw, [Idx(2)])

    # Errors share one base class, itself a ValueError.
    try:
        dumps({1, 2})
    except SerializationError as error:
        print(f"SerializationError: {error}")
    try:
        get(data, "missing")
    except DeserializationError as error:
        print(f"DeserializationError: {error}")
    try:
        loads(b"not quarl")
    except QuarlError as error:
        print(f"QuarlError: {error}")
    print(f"pyquarl {pyquarl.__version__}")


if __name__ == "__main__":
    main()
