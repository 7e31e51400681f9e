"""The everyday functions, named after :mod:`json` and :mod:`pickle`.

``dumps``/``loads`` work on bytes, ``dump``/``load`` on binary files, and
``get``/``contains`` read one value of a document without decoding the rest.
They are thin: options are handed to the native functions unchanged (after
``std_types`` is turned into custom types, see :mod:`pyquarl.options`), so an
unknown or mistyped option fails with the native function's own message.
``dumps``, ``loads``, ``get`` and ``contains`` are called often on small
messages: a native front runs their calls without options and hands every
other call to the Python function below it.
"""

from __future__ import annotations

import functools
from collections.abc import Buffer, Callable, Mapping
from typing import Any, Protocol, TypedDict, TypeVar, Unpack, cast

from ._pyquarl import _fast_function, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
from .options import decode_options, encode_options
from .serialize.settings import CustomType

__all__ = [
    "ContainsOptions",
    "DumpOptions",
    "DumpsOptions",
    "GetOptions",
    "LoadOptions",
    "contains",
    "dump",
    "dumps",
    "get",
    "load",
    "loads",
]


class SupportsWrite(Protocol):
    """A binary file or anything else with ``write(bytes)``."""

    def write(self, data: bytes, /) -> object: ...


class SupportsRead(Protocol):
    """A binary file or anything else whose ``read()`` returns the whole content."""

    def read(self, /) -> bytes | bytearray: ...


class DumpsOptions(TypedDict, total=False):
    """Keyword options of :func:`dumps`."""

    serialize_dates: bool
    custom_types: dict[type[Any], CustomType]
    default: Callable[[Any], Any] | None
    subclasses_as_base: bool
    std_types: bool
    allow_non_string_keys: object


class DumpOptions(DumpsOptions, total=False):
    """Keyword options of :func:`dump`: those of :func:`dumps` plus buffering."""

    flush_threshold: int
    direct_write_threshold: int


class LoadOptions(TypedDict, total=False):
    """Keyword options of :func:`loads` and :func:`load`."""

    use_tuples: bool
    stop_gc: bool
    ignore_extra_data: bool
    custom_types: dict[Any, Callable[..., Any]]
    std_types: bool


class GetOptions(TypedDict, total=False):
    """Keyword options of :func:`get`."""

    custom_types: dict[Any, Callable[..., Any]]
    std_types: bool


class ContainsOptions(GetOptions, total=False):
    """Keyword options of :func:`contains`."""

    include_falsy: bool


_Function = TypeVar("_Function", bound=Callable[..., Any])


def _native_front(function: _Function) -> _Function:
    """``function`` behind its native front, which runs the calls that pass no
    option and calls ``function`` (its ``__wrapped__``) for all others; name,
    documentation and signature are those of ``function``."""
    return cast("_Function", functools.update_wrapper(_fast_function(function, function.__name__), function))


def _refuse_writer(function: str, options: Mapping[str, object], hint: str) -> None:
    if "writer" in options:
        raise TypeError(f"{function}() got an unexpected keyword argument 'writer'; {hint}")


@_native_front
def dumps(obj: object, **options: Unpack[DumpsOptions]) -> bytes:
    """Encode ``obj`` and return the document as bytes.

    >>> dumps({"a": [1, 2]})
    b'<o>\\x10\\x01\\x02\\xfea\\r\\x02\\x1f '

    Options:

    * ``custom_types``: ``{type: CustomType(...)}``, how to write your own
      types (see :class:`~pyquarl.CustomType`).
    * ``std_types=True``: ready custom types for datetimes, dates, times,
      timedeltas, UUIDs, Decimals, sets, complex numbers, bytearrays and paths
      (read back as themselves with ``loads(..., std_types=True)``), and enum
      members, OrderedDicts, namedtuples and dataclasses written as plain
      values; see :mod:`pyquarl.std_types`. Your ``custom_types`` come first.
    * ``subclasses_as_base=True``: subclasses of str, int, float, bytes,
      list, tuple and dict (an ``IntEnum`` member, an ``OrderedDict``) are
      written as their base type instead of being refused.
    * ``default``: called with any value that no other rule writes; what it
      returns is written instead (one way, like ``json.dumps(default=...)``).
      A result that needs ``default`` again is passed to it again, up to 8
      times in a row.
    * ``serialize_dates=True``: datetimes written as their ISO text (read back
      as str); this comes before ``std_types``.
    * ``allow_non_string_keys``: accepted and ignored (non-str keys are always
      allowed).

    Raises :class:`~pyquarl.SerializationError` for a value that no rule
    writes, a tuple used as a dict key, or a converter or ``default`` that
    raises (its exception is the ``__cause__``; a ``SerializationError`` or
    ``RecursionError`` it raises passes unchanged); ``RecursionError`` for
    nesting too deep or a cycle; ``RuntimeError`` when a container changes
    while it is written; ``TypeError`` for a bad option.
    """
    if not options:  # the common call pays for no option handling
        return dump_bytes(obj)
    _refuse_writer("dumps", options, "use dump(obj, fp) to write to a file")
    return cast("bytes", dump_bytes(obj, **encode_options(cast("dict[str, Any]", options))))


def dump(obj: object, fp: SupportsWrite, **options: Unpack[DumpOptions]) -> None:
    """Encode ``obj`` and write the document to the binary file ``fp``.

    The encoding is streamed: ``fp.write`` receives chunks of about
    ``flush_threshold`` bytes (10 MiB by default) as they are produced, and
    byte strings of ``direct_write_threshold`` bytes or more (5 MiB) are
    handed over without copying. If encoding fails part way, what was already
    written stays written.

    Options are those of :func:`dumps`, plus ``flush_threshold`` and
    ``direct_write_threshold`` (bytes). Errors are those of :func:`dumps`,
    and whatever ``fp.write`` raises.
    """
    _refuse_writer("dump", options, "fp is the writer")
    dump_bytes(obj, writer=fp, **encode_options(cast("dict[str, Any]", options)))


@_native_front
def loads(data: Buffer, **options: Unpack[LoadOptions]) -> Any:
    """Decode a whole document.

    ``data`` is any buffer of single bytes (bytes, bytearray, memoryview,
    mmap, ...), read in place and held for the call. The document must end
    where its value ends unless ``ignore_extra_data=True``.

    Options: ``custom_types`` (``{identifier: loader}``: each custom-type
    value is passed to its loader), ``std_types=True`` (loaders for the types
    that ``dumps(..., std_types=True)`` writes; yours come first),
    ``use_tuples=True`` (lists read as tuples), ``ignore_extra_data=True``,
    ``stop_gc=True`` (no cyclic garbage collection while decoding).

    Raises :class:`~pyquarl.DeserializationError` for damaged or truncated
    data, an unknown custom-type identifier or a loader that raises (its
    subclass :class:`~pyquarl.CorruptDataError` for bytes that are no value
    at all); ``TypeError`` for a bad option or an object that is no buffer.
    """
    if not options:
        return load_bytes(data)
    return load_bytes(data, **decode_options(cast("dict[str, Any]", options)))


def load(fp: SupportsRead, **options: Unpack[LoadOptions]) -> Any:
    """Read the binary file ``fp`` to its end and decode the document in it.

    Options and errors are those of :func:`loads`; ``TypeError`` also when
    ``fp`` was opened in text mode.
    """
    data = fp.read()
    if isinstance(data, str):
        raise TypeError(
            "load() needs a file opened in binary mode ('rb'), but its read() returned str"
        )
    return loads(data, **options)


@_native_front
def get(data: Buffer, *path: object, **options: Unpack[GetOptions]) -> Any:
    """Decode only the value at ``path``; everything before it is skipped, nothing after it is read.

    Each step is a dict key, or an :class:`Idx` for a list position:
    ``get(data, "users", Idx(3), "name")``. With no steps the whole value is
    decoded (tuples come back as lists). A missing key, an index out of range
    or a step into a value of the wrong kind raises
    :class:`~pyquarl.DeserializationError`, and so does damaged data on the
    way. Options: ``custom_types`` and ``std_types``, as for :func:`loads`.
    ``TypeError`` for a bad option or a negative ``Idx``.
    """
    if not options:
        return lazy_load_bytes(data, list(path))
    return lazy_load_bytes(data, list(path), **decode_options(cast("dict[str, Any]", options)))


@_native_front
def contains(
    data: Buffer, *path: object, **options: Unpack[ContainsOptions]
) -> bool:
    """Whether ``path`` leads to a value, without decoding it.

    With ``include_falsy=False`` a value that is false (``None``, ``0``, an
    empty string or container, ...) counts as absent. Data that is damaged on
    the way to the value gives ``False`` rather than an error. Options:
    ``include_falsy`` (default ``True``), ``custom_types`` and ``std_types``
    (loaders run only for custom-type values that the test must decode).
    ``TypeError`` for a bad option or a negative ``Idx``.
    """
    if not options:
        return bytes_check_if_contains(data, list(path))
    return bytes_check_if_contains(data, list(path), **decode_options(cast("dict[str, Any]", options)))
