"""The serializers under comparison, each as a dump and a load function.

Peers use their default options; msgspec reuses one Encoder and one Decoder,
as its documentation recommends for repeated calls. A peer whose package is
not installed stays in the list with the reason, so tables show it as n/a.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import marshal
import pickle
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pyquarl


@dataclass
class Codec:
    name: str
    dump: Callable[[Any], bytes]
    load: Callable[[bytes], Any]
    binary: bool
    version: str
    missing: str | None = None


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def _unavailable(_: Any) -> Any:
    raise RuntimeError("this peer is not installed")


def _msgspec() -> tuple[Callable, Callable]:
    msgpack = importlib.import_module("msgspec.msgpack")
    encoder, decoder = msgpack.Encoder(), msgpack.Decoder()
    return encoder.encode, decoder.decode


def _functions(module: str, dump: str, load: str) -> Callable[[], tuple[Callable, Callable]]:
    """A peer whose module-level functions do the work."""

    def factory() -> tuple[Callable, Callable]:
        found = importlib.import_module(module)
        return getattr(found, dump), getattr(found, load)

    return factory


# name, distribution, factory, binary format
OPTIONAL = [
    ("msgspec", "msgspec", _msgspec, True),
    ("orjson", "orjson", _functions("orjson", "dumps", "loads"), False),
    ("ormsgpack", "ormsgpack", _functions("ormsgpack", "packb", "unpackb"), True),
    ("msgpack", "msgpack", _functions("msgpack", "packb", "unpackb"), True),
    ("cbor2", "cbor2", _functions("cbor2", "dumps", "loads"), True),
]
BASELINE = "pyquarl"


def codecs(names: set[str] | None = None) -> list[Codec]:
    """pyquarl first, then the peers; `names` keeps only those (pyquarl always stays)."""
    found = [
        Codec(BASELINE, pyquarl.dump_bytes, pyquarl.load_bytes, True, _version("pyquarl")),
        Codec("pickle", lambda obj: pickle.dumps(obj, protocol=5), pickle.loads, True, "protocol 5"),
        Codec("marshal", marshal.dumps, marshal.loads, True, f"version {marshal.version}"),
    ]
    for name, dist, factory, binary in OPTIONAL:
        try:
            dump, load = factory()
        except ImportError as exc:
            found.append(Codec(name, _unavailable, _unavailable, binary, "-",
                               missing=f"not installed ({exc.name})"))
        else:
            found.append(Codec(name, dump, load, binary, _version(dist)))
    if names is not None:
        found = [c for c in found if c.name == BASELINE or c.name in names]
    return found


def short_error(exc: BaseException, limit: int = 90) -> str:
    text = f"{type(exc).__name__}: {exc}".splitlines()[0]
    return text if len(text) <= limit else text[: limit - 3] + "..."


def check(codec: Codec, obj: Any) -> tuple[bytes | None, str | None]:
    """Encodes `obj` once and decodes it back. Returns the encoding, or the
    reason this codec cannot take part on `obj`."""
    if codec.missing:
        return None, codec.missing
    try:
        encoded = codec.dump(obj)
    except Exception as exc:
        return None, f"cannot encode: {short_error(exc)}"
    try:
        decoded = codec.load(encoded)
    except Exception as exc:
        return None, f"cannot decode its own output: {short_error(exc)}"
    if decoded != obj:
        return None, "decoded value differs from the input"
    return encoded, None
