"""The everyday functions, named after :mod:`json` and :mod:`pickle`.

``dumps``/``loads`` work on bytes, ``dump``/``load`` on binary files, and
``get``/``contains`` read one value of a document without decoding the rest.
They are thin: options are handed to the native functions unchanged, so an
unknown or mistyped option fails with the native function's own message.
"""

from __future__ import annotations

from collections.abc import Buffer, Callable
from typing import Any, Protocol, TypedDict, Unpack

from ._pyquarl import bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes
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


class GetOptions(TypedDict, total=False):
    """Keyword options of :func:`get`."""

    custom_types: dict[Any, Callable[..., Any]]


class ContainsOptions(GetOptions, total=False):
    """Keyword options of :func:`contains`."""

    include_falsy: bool


def _refuse_writer(function: str, options: dict[str, object], hint: str) -> None:
    if "writer" in options:
        raise TypeError(f"{function}() got an unexpected keyword argument 'writer'; {hint}")


def dumps(obj: object, **options: Unpack[DumpsOptions]) -> bytes:
    """Encode ``obj`` and return the document as bytes.

    >>> dumps({"a": [1, 2]})
    b'<o>\\x10\\x01\\x02\\xfea\\r\\x02\\x1f '
    """
    _refuse_writer("dumps", dict(options), "use dump(obj, fp) to write to a file")
    return dump_bytes(obj, **options)


def dump(obj: object, fp: SupportsWrite, **options: Unpack[DumpOptions]) -> None:
    """Encode ``obj`` and write the document to the binary file ``fp``.

    The encoding is streamed: ``fp.write`` receives chunks of about
    ``flush_threshold`` bytes (10 MiB by default) as they are produced, and
    byte strings of ``direct_write_threshold`` bytes or more (5 MiB) are
    handed over without copying. If encoding fails part way, what was already
    written stays written.
    """
    _refuse_writer("dump", dict(options), "fp is the writer")
    dump_bytes(obj, writer=fp, **options)


def loads(data: Buffer, **options: Unpack[LoadOptions]) -> Any:
    """Decode a whole document.

    ``data`` is any buffer of single bytes (bytes, bytearray, memoryview,
    mmap, ...), read in place and held for the call. The document must end
    where its value ends unless ``ignore_extra_data=True``.
    """
    return load_bytes(data, **options)


def load(fp: SupportsRead, **options: Unpack[LoadOptions]) -> Any:
    """Read the binary file ``fp`` to its end and decode the document in it."""
    data = fp.read()
    if isinstance(data, str):
        raise TypeError(
            "load() needs a file opened in binary mode ('rb'), but its read() returned str"
        )
    return loads(data, **options)


def get(data: Buffer, *path: object, **options: Unpack[GetOptions]) -> Any:
    """Decode only the value at ``path``; everything before it is skipped, nothing after it is read.

    Each step is a dict key, or an :class:`Idx` for a list position:
    ``get(data, "users", Idx(3), "name")``. With no steps the whole value is
    decoded (tuples come back as lists). A missing key, an index out of range
    or a step into a value of the wrong kind raises
    :class:`~pyquarl.DeserializationError`.
    """
    return lazy_load_bytes(data, list(path), **options)


def contains(
    data: Buffer, *path: object, **options: Unpack[ContainsOptions]
) -> bool:
    """Whether ``path`` leads to a value, without decoding it.

    With ``include_falsy=False`` a value that is false (``None``, ``0``, an
    empty string or container, ...) counts as absent. Data that is damaged on
    the way to the value gives ``False`` rather than an error.
    """
    return bytes_check_if_contains(data, list(path), **options)
