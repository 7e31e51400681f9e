# mypy: allow-subclassing-any
# mypy: disable-error-code="import-untyped, no-untyped-call, unused-ignore"
"""The ``"quarl"`` serialization family of ``distributed``.

Importing this module registers the family. A value travels as one quarl
document in one frame; a value the format cannot carry exactly (a set, a
datetime, a subclass of a built-in, a tuple anywhere inside, a cycle) makes
``dumps`` raise :class:`NotImplementedError`, and ``distributed`` then tries
the next family of the client's list, e.g. ``["quarl", "dask", "pickle"]``.

Workers must import this module too, or they cannot decode the frames the
client sends nor encode what it gathers: register :class:`QuarlPlugin` with
``client.register_plugin(QuarlPlugin())``. The plugin also carries the user
types registered here with :func:`register_type`, so both ends know them.
"""

from __future__ import annotations

import gc
from collections.abc import Callable, Sequence
from typing import Any

from distributed.diagnostics.plugin import WorkerPlugin  # type: ignore[import-not-found]
from distributed.protocol.serialize import register_serialization_family  # type: ignore[import-not-found]

from .._pyquarl import dump_bytes
from ..api import loads as _loads
from ..exceptions import SerializationError
from ..serialize.settings import CustomType

__all__ = ["FAMILY", "SERIALIZERS", "QuarlPlugin", "dumps", "loads", "register_type"]

FAMILY = "quarl"
# What to pass as a client's serializers and deserializers: quarl first, then
# Dask's own family (arrays, dataframes) and pickle for everything else.
SERIALIZERS = [FAMILY, "dask", "pickle"]

# User types known to this process, as registered by register_type: the
# encoder's map from type to CustomType and the decoder's from identifier to loader.
_dump_types: dict[type[Any], CustomType] = {}
_load_types: dict[Any, Callable[[Any], Any]] = {}
# The arguments of the last register_type call per type, for QuarlPlugin to replay on workers.
_registrations: dict[type[Any], tuple[Any, ...]] = {}
# Levels of the tuple walk up to this many items are looked at one by one.
_SMALL_LEVEL = 32
# Types whose referents are exactly their items (lists), keys and values (dicts), or nothing.
_PLAIN = frozenset({dict, list, str, int, float, bool, bytes, type(None)})


def _holds_tuple(value: object) -> bool:
    """Whether a tuple stands anywhere among the lists and dicts of ``value``.

    A tuple and a list have one encoding, so a document with a tuple would
    come back with a list in its place. The walk goes one nesting level at a
    time and holds two levels at once; on wide levels ``gc.get_referents``
    lists the items of every list and the keys and values of every dict in
    one C call. Called only on values the encoder took, so the graph is
    finite (no cycles), and no key is a tuple (the encoder refuses those).
    """
    level: list[object] = [value]
    while level:
        if len(level) <= _SMALL_LEVEL:
            # A plain loop: cheaper than the C calls' set-up for a few items.
            below: list[object] = []
            for item in level:
                kind = type(item)
                if kind is dict:
                    below.extend(item.values())  # type: ignore[attr-defined]
                elif kind is list:
                    below.extend(item)  # type: ignore[arg-type]
                elif kind is tuple:
                    return True
            level = below
            continue
        found = set(map(type, level))
        if tuple in found:
            return True
        if dict not in found and list not in found:
            return False
        if not found <= _PLAIN:
            # Custom-type objects: their attributes are their converter's business.
            level = [item for item in level if type(item) is dict or type(item) is list]
        level = gc.get_referents(*level)
    return False


def dumps(value: object) -> tuple[dict[str, Any], list[bytes]]:
    """Encode ``value`` as one document, the single frame; NotImplementedError if it cannot travel exactly."""
    try:
        document = dump_bytes(value, custom_types=_dump_types) if _dump_types else dump_bytes(value)
    except (SerializationError, RecursionError):
        # RecursionError: a cycle or a nesting too deep for the encoder; pickle may manage.
        raise NotImplementedError(f"quarl cannot encode this {type(value).__name__}") from None
    if _holds_tuple(value):
        raise NotImplementedError("quarl would read the tuples in this value back as lists")
    return {}, [document]


def loads(header: dict[str, Any], frames: Sequence[bytes | bytearray | memoryview]) -> Any:
    """Decode the document of ``frames``, reading the frame in place where it is one buffer."""
    frame = frames[0] if len(frames) == 1 else b"".join(frames)
    # Collections in the middle of a decode walk the receiver's whole heap
    # again and again, for no cycle the decode builds (30 000 records next to
    # a live heap decoded up to three times faster without them).
    return _loads(frame, custom_types=_load_types, stop_gc=True)


def register_type(
    cls: type[Any],
    identifier: Any,
    converter: Callable[[Any], Any],
    loader: Callable[[Any], Any],
    *,
    include_subclasses: bool = False,
) -> None:
    """Let instances of ``cls`` travel through the family in this process.

    ``converter`` turns an instance into an encodable value and ``loader``
    rebuilds the instance from it (see :class:`pyquarl.CustomType`). Register
    the same types on the workers: a :class:`QuarlPlugin` made after this call
    carries them there.
    """
    _dump_types[cls] = CustomType(identifier, converter, include_subclasses=include_subclasses)
    _load_types[identifier] = loader
    _registrations[cls] = (cls, identifier, converter, loader, include_subclasses)


class QuarlPlugin(WorkerPlugin):
    """Registers the family, and the types registered so far in this process, on every worker.

    ``client.register_plugin(QuarlPlugin())`` reaches the current workers and
    those that join later. Converters and loaders travel with the plugin, so
    they must be picklable (by reference or by cloudpickle).
    """

    name = "pyquarl-family"

    def __init__(self) -> None:
        self.registrations = list(_registrations.values())

    def setup(self, worker: object) -> None:
        # Unpickling this plugin imported this module, which registered the family.
        for cls, identifier, converter, loader, include_subclasses in self.registrations:
            register_type(cls, identifier, converter, loader, include_subclasses=include_subclasses)


register_serialization_family(FAMILY, dumps, loads)
