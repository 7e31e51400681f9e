"""A document to read from many times: in memory, or mapped from a file.

``pyquarl.open(path)`` maps the file read-only, so a lookup reads only the
pages on its way and a file larger than memory can be read; ``Document(buffer)``
wraps bytes, a bytearray, a memoryview, an mmap or any other buffer of single
bytes, without copying it.
"""

from __future__ import annotations

import mmap
import os
from collections.abc import Buffer, Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self, TypedDict, Unpack

from ._pyquarl import bytes_check_if_contains, lazy_load_bytes, load_bytes
from ._pyquarl import iter_items as _iter_items
from .api import ContainsOptions, GetOptions, LoadOptions
from .mapped import is_path, map_file
from .options import decode_options

if TYPE_CHECKING:
    from ._pyquarl import ItemIterator  # the native iterator's type, known to the stubs only

__all__ = ["Document", "ItemsOptions", "iter_items", "open"]


class ItemsOptions(TypedDict, total=False):
    """Keyword options of :func:`iter_items`."""

    keys_only: bool
    custom_types: dict[Any, Callable[..., Any]]
    std_types: bool


def _view_of(buffer: Buffer) -> memoryview:
    view = memoryview(buffer)
    if (itemsize := view.itemsize) != 1:
        view.release()
        raise TypeError(f"buffer must hold single bytes, but its items are {itemsize} bytes each")
    if not view.c_contiguous:
        view.release()
        raise TypeError("buffer must be C-contiguous")
    return view


class Document:
    """Values read out of one encoded document, each lookup skipping what it does not need.

    The buffer stays exported while the document is open: a bytearray cannot
    be resized under it, nor an mmap closed. After :meth:`close` every method
    raises :class:`ValueError`, as a closed file does.
    """

    def __init__(self, buffer: Buffer) -> None:
        self._view: memoryview | None = _view_of(buffer)
        self._mapping: mmap.mmap | None = None

    @classmethod
    def _mapped(cls, path: str | os.PathLike[str]) -> Document:
        # Every lookup walks from the front: reading ahead pays (a cold 100 MB
        # lookup of the last value measured 6x faster with the hint).
        mapping = map_file(path, sequential=True)
        document = cls(mapping)
        document._mapping = mapping if isinstance(mapping, mmap.mmap) else None
        return document

    def _data(self) -> memoryview:
        if self._view is None:
            raise ValueError("I/O operation on closed document")
        return self._view

    def get(self, *path: object, **options: Unpack[GetOptions]) -> Any:
        """The value at ``path`` (see :func:`pyquarl.get`)."""
        return lazy_load_bytes(self._data(), list(path), **decode_options(dict(options)))

    def contains(self, *path: object, **options: Unpack[ContainsOptions]) -> bool:
        """Whether ``path`` leads to a value (see :func:`pyquarl.contains`)."""
        return bytes_check_if_contains(self._data(), list(path), **decode_options(dict(options)))

    def load(self, **options: Unpack[LoadOptions]) -> Any:
        """The whole value, decoded (see :func:`pyquarl.loads`)."""
        return load_bytes(self._data(), **decode_options(dict(options)))

    def iter_items(self, *path: object, **options: Unpack[ItemsOptions]) -> ItemIterator:
        """The items of the list or dict at ``path``, one decoded per step (see :func:`iter_items`)."""
        return _iter_items(self._data(), list(path), **decode_options(dict(options)))

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called."""
        return self._view is None

    def close(self) -> None:
        """Releases the buffer (and unmaps the file). An item iterator still running keeps
        the buffer exported: closing then raises BufferError and the document stays open."""
        if self._view is None:
            return
        self._view.release()
        self._view = None
        if self._mapping is not None:
            self._mapping.close()
            self._mapping = None

    def __enter__(self) -> Self:
        self._data()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._view is None:
            return "<pyquarl.Document closed>"
        return f"<pyquarl.Document of {self._view.nbytes} bytes{' mapped' if self._mapping else ''}>"


def open(path: str | os.PathLike[str]) -> Document:  # noqa: A001 - as gzip.open and friends
    """Maps the file at ``path`` read-only and returns it as a :class:`Document`.

    >>> with pyquarl.open("archive.quarl") as doc:  # doctest: +SKIP
    ...     doc.get("users", pyquarl.Idx(1875), "email")
    """
    return Document._mapped(path)


def iter_items(source: Buffer | str | os.PathLike[str], *path: object,
               **options: Unpack[ItemsOptions]) -> ItemIterator:
    """The items of the list (or the ``(key, value)`` pairs of the dict) at ``path``.

    One item is decoded per step, so walking a list of ten million records
    holds one record at a time; items of a list of like dicts come out as
    dicts. With ``keys_only=True`` a dict's keys come out and its values are
    skipped. The iterator's ``kind`` is ``"dict"`` or ``"list"``, and
    ``operator.length_hint`` gives the items left, both read from the
    container's header. ``source`` is a buffer or the path of a file, which is mapped. The
    only memory that grows with the walk is the table of string positions
    that back-references need (8 bytes per string passed), plus the strings
    that are referred back to, decoded once each.
    """
    if is_path(source):
        source = map_file(source, sequential=True)
    return _iter_items(source, list(path), **decode_options(dict(options)))
