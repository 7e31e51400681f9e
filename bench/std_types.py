"""The standard-types row: dataclass records holding datetimes, UUIDs and Decimals.

Each library uses its own support for these types: pyquarl ``std_types=True``
with the record class registered as a custom type, pickle as it is, msgspec
with a typed decoder, orjson with its native dataclass, datetime and UUID
support (and ``default=str`` for Decimal, which it lacks). Loads rebuild the
same types where the library can; orjson reads back dicts of str, and the
table says so.
"""

from __future__ import annotations

import dataclasses
import datetime
import decimal
import importlib
import operator
import pickle
import random
import uuid
from collections.abc import Callable
from typing import Any

import pyquarl

from . import measure
from .datasets import CITIES, SEED, TAGS
from .peers import BASELINE, Codec, _unavailable, _version, short_error

__all__ = ["COUNT", "Order", "bench_std_types", "orders"]

COUNT = 20_000
NAME = "std_types"


@dataclasses.dataclass
class Order:
    id: uuid.UUID
    placed: datetime.datetime
    due: datetime.date
    total: decimal.Decimal
    city: str
    quantity: int
    tags: list[str]


def orders(n: int = COUNT, seed: int = SEED) -> list[Order]:
    rng = random.Random(seed)
    start = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    return [
        Order(
            id=uuid.UUID(int=rng.getrandbits(128), version=4),
            placed=start + datetime.timedelta(seconds=rng.randrange(10**7), microseconds=rng.randrange(10**6)),
            due=datetime.date(2024, 1, 1) + datetime.timedelta(days=rng.randrange(400)),
            total=decimal.Decimal(rng.randrange(100, 10**7)).scaleb(-2),
            city=rng.choice(CITIES),
            quantity=rng.randint(1, 20),
            tags=rng.sample(TAGS, rng.randint(0, 3)),
        )
        for _ in range(n)
    ]


_FIELDS = operator.attrgetter(*(field.name for field in dataclasses.fields(Order)))
_DUMP_TYPES = {Order: pyquarl.CustomType("order", _FIELDS)}
_LOAD_TYPES = {"order": lambda fields: Order(*fields)}


def _pyquarl() -> tuple[Callable[[Any], bytes], Callable[[bytes], Any]]:
    def dump(obj: Any) -> bytes:
        return pyquarl.dumps(obj, std_types=True, custom_types=_DUMP_TYPES)

    def load(data: bytes) -> Any:
        return pyquarl.loads(data, std_types=True, custom_types=_LOAD_TYPES)

    return dump, load


def _msgspec() -> tuple[Callable[[Any], bytes], Callable[[bytes], Any]]:
    msgpack = importlib.import_module("msgspec.msgpack")
    encoder, decoder = msgpack.Encoder(), msgpack.Decoder(list[Order])
    return encoder.encode, decoder.decode


def _orjson() -> tuple[Callable[[Any], bytes], Callable[[bytes], Any]]:
    orjson = importlib.import_module("orjson")
    return (lambda obj: orjson.dumps(obj, default=str)), orjson.loads


# name, distribution, factory, binary, reads back the same types
LIBRARIES: list[tuple[str, str, Callable[[], tuple[Callable[[Any], bytes], Callable[[bytes], Any]]], bool, bool]] = [
    (BASELINE, "pyquarl", _pyquarl, True, True),
    ("pickle", "", lambda: (lambda obj: pickle.dumps(obj, protocol=5), pickle.loads), True, True),
    ("msgspec", "msgspec", _msgspec, True, True),
    ("orjson", "orjson", _orjson, False, False),
]


def codecs(names: set[str] | None = None) -> list[tuple[Codec, bool]]:
    found = []
    for name, dist, factory, binary, same_types in LIBRARIES:
        if names is not None and name != BASELINE and name not in names:
            continue
        version = _version(dist) if dist else "protocol 5"
        try:
            dump, load = factory()
        except ImportError as exc:
            missing = f"not installed ({exc.name})"
            found.append((Codec(name, _unavailable, _unavailable, binary, "-", missing=missing), same_types))
            continue
        found.append((Codec(name, dump, load, binary, version), same_types))
    return found


def _check(codec: Codec, same_types: bool, obj: list[Order]) -> tuple[bytes | None, str | None]:
    if codec.missing:
        return None, codec.missing
    try:
        encoded = codec.dump(obj)
        decoded = codec.load(encoded)
    except Exception as exc:
        return None, short_error(exc)
    if same_types and decoded != obj:
        return None, "decoded value differs from the input"
    if not same_types and len(decoded) != len(obj):
        return None, "decoded value has another length"
    return encoded, None


def bench_std_types(settings: measure.Settings, names: set[str] | None = None, n: int = COUNT) -> dict[str, Any]:
    """Dump, load and size of every library on `n` records, in the shape of
    measure.bench_dataset, plus a note per library on what its load gives."""
    obj = orders(n)
    libs: dict[str, dict[str, Any]] = {}
    tasks: dict[str, measure.Task] = {}
    notes: list[str] = []
    for codec, same_types in codecs(names):
        encoded, reason = _check(codec, same_types, obj)
        libs[codec.name] = {"binary": codec.binary, "na": reason, "size": None if encoded is None else len(encoded)}
        if codec.name == BASELINE and reason:
            raise RuntimeError(f"pyquarl fails on {NAME}: {reason}")
        if encoded is None:
            continue
        tasks[f"{codec.name}.dump"] = (codec.dump, obj)
        tasks[f"{codec.name}.load"] = (codec.load, encoded)
        if not same_types:
            notes.append(f"- {codec.name}: one way, its load gives dicts of str and numbers, not the records")
    round_s = measure.warm_up(tasks, settings.warmup)
    reps = int(min(settings.max_reps, max(settings.min_reps, settings.budget_s / max(round_s, 1e-9))))
    for task, times in measure.run_interleaved(tasks, reps, group=2).items():
        lib, op = task.rsplit(".", 1)
        libs[lib][op] = measure.summary(times)
    description = (f"{n:,} dataclass records (UUID, aware datetime, date, Decimal, str, int, list of str), "
                   "each library with its own support for them")
    return {"reps": reps, "libs": libs, "description": description, "notes": notes}
