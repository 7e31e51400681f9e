"""A document to read from many times: in memory, or mapped from a file.

``pyquarl.open(path)`` maps the file read-only, so a lookup reads only the
pages on its way and a file larger than memory can be read; ``Document(buffer)``
wraps bytes, a bytearray, a memoryview, an mmap or any other buffer of single
bytes, without copying it.

A document remembers where the values its lookups passed start (a position
index), so later lookups jump close to their target instead of skipping from
the first byte: many reads into one large document cost little more than the
first. Of a long list it keeps every 64th item's place; of a dict, a 12-bit
fingerprint of each key it read past (about 1.75 bytes a key with every 64th
entry's place), so a later lookup compares real keys only where fingerprints
agree; of the string table, the first strings, up to a quarter of the bound.
The index is bounded by ``index_cap`` bytes (by default 1% of the document,
at most 64 MiB); once full it stops growing, and results never depend on it.
Lookups with ``custom_types`` (or ``std_types``) go through the index too:
what it learns does not depend on them.
"""

from __future__ import annotations

import mmap
import os
from collections.abc import Buffer, Callable, Iterable, Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final, Self, TypedDict, Unpack

from ._pyquarl import bytes_check_if_contains, document_index_info, document_index_lookup, document_index_new
from ._pyquarl import iter_items as _iter_items
from ._pyquarl import lazy_load_bytes, load_bytes
from .api import ContainsOptions, GetOptions, LoadOptions
from .deserialize.lazy_load import Idx
from .exceptions import DeserializationError
from .mapped import is_path, map_file
from .options import decode_options
from .views import ASK_CONTAINS, ASK_CONTAINS_TRUTHY, ASK_EXPECT, ASK_LOAD, View, navigate

if TYPE_CHECKING:
    from ._pyquarl import ItemIterator  # the native iterator's type, known to the stubs only

__all__ = ["Document", "ItemsOptions", "get_many", "iter_items", "open"]

_LARGEST_DEFAULT_CAP: Final = 64 * 1024 * 1024
_LARGEST_GET_MANY_CAP: Final = 256 * 1024 * 1024
_RAISE: Final = object()


def default_index_cap(size: int) -> int:
    """The position index's default bound for a document of ``size`` bytes."""
    return min(size // 100, _LARGEST_DEFAULT_CAP)


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

    # Bits of the dict keys' fingerprints in the index; tests lower it (before
    # the first lookup) to make keys share fingerprints.
    _fingerprint_bits = 12

    def __init__(self, buffer: Buffer, *, index_cap: int | None = None) -> None:
        self._view: memoryview | None = _view_of(buffer)
        self._mapping: mmap.mmap | None = None
        self._index: object | None = None  # made by the first lookup
        self._index_cap = default_index_cap(self._view.nbytes) if index_cap is None else _checked_cap(index_cap)

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

    def _lookup(self, path: Sequence[object], ask: int, custom_types: dict[Any, Any] | None = None) -> Any:
        data = self._data()
        if self._index is None:
            self._index = document_index_new(data, self._index_cap, self._fingerprint_bits)
        return document_index_lookup(self._index, data, list(path), ask, custom_types)

    def get(self, *path: object, **options: Unpack[GetOptions]) -> Any:
        """The value at ``path`` (see :func:`pyquarl.get`), found through the position index."""
        native = decode_options(dict(options))
        if native.keys() - {"custom_types"}:  # an unknown option: the plain function names it
            return lazy_load_bytes(self._data(), list(path), **native)
        return self._lookup(path, ASK_LOAD, native.get("custom_types"))

    def contains(self, *path: object, **options: Unpack[ContainsOptions]) -> bool:
        """Whether ``path`` leads to a value (see :func:`pyquarl.contains`)."""
        native = decode_options(dict(options))
        include_falsy = native.pop("include_falsy", True)
        if native.keys() - {"custom_types"}:
            return bytes_check_if_contains(self._data(), list(path), include_falsy=include_falsy, **native)
        ask = ASK_CONTAINS if include_falsy is True else ASK_CONTAINS_TRUTHY if include_falsy is False else None
        if ask is None:  # not a bool: the plain function's error
            return bytes_check_if_contains(self._data(), list(path), include_falsy=include_falsy, **native)
        return bool(self._lookup(path, ask, native.get("custom_types")))

    def get_many(self, paths: Iterable[Sequence[object]], *, default: Any = _RAISE,
                 **options: Unpack[GetOptions]) -> list[Any]:
        """The values at each of ``paths`` (each a sequence of steps), in the order asked.

        The paths are looked up in document order (list items by position,
        the keys of one dict together, a value before what lies inside it), so
        the position index carries each lookup on from where the one before
        stopped: together they cost about one lookup of the furthest path. A
        path that does not resolve gives ``default`` when one is given, else
        the first such path, in the order asked, raises as :meth:`get` does.
        """
        asked = [tuple(path) for path in paths]
        native = decode_options(dict(options))
        if native.keys() - {"custom_types"}:
            lazy_load_bytes(self._data(), [], **native)  # names the unknown option
        custom_types = native.get("custom_types")
        values: list[Any] = [None] * len(asked)
        first_failure: tuple[int, DeserializationError] | None = None
        # The index notes where each of these keys stands in the dicts it learns.
        self._lookup(list({step: None for path in asked for step in path if type(step) is str}), ASK_EXPECT)
        try:
            for number in document_order(asked):
                try:
                    values[number] = self._lookup(asked[number], ASK_LOAD, custom_types)
                except DeserializationError as error:
                    values[number] = default
                    if default is _RAISE and (first_failure is None or number < first_failure[0]):
                        first_failure = (number, error)
        finally:
            self._lookup([], ASK_EXPECT)
        if first_failure is not None:
            raise first_failure[1]
        return values

    @property
    def index_cap(self) -> int:
        """The bound, in bytes, of the position index; settable (lowering it keeps what is known)."""
        return self._index_cap

    @index_cap.setter
    def index_cap(self, cap: int) -> None:
        self._index_cap = _checked_cap(cap)
        if self._index is not None:
            document_index_info(self._index, self._index_cap)

    @property
    def index_size(self) -> int:
        """Bytes the position index holds now."""
        return 0 if self._index is None else document_index_info(self._index)[0]

    def _root(self) -> Any:
        return navigate(self, ())

    def __getitem__(self, key: object) -> Any:
        root = self._root()
        if isinstance(root, View):
            return root[key]
        return self.get(key)  # a step into a value that is not a container: get's error

    def __len__(self) -> int:
        root = self._root()
        if not isinstance(root, View):
            raise TypeError(f"the document holds a {type(root).__name__}, which has no len()")
        return len(root)

    def __iter__(self) -> Iterator[Any]:
        root = self._root()
        if not isinstance(root, View):
            raise TypeError(f"the document holds a {type(root).__name__}, which is not iterable")
        return iter(root)

    def __contains__(self, item: object) -> bool:
        root = self._root()
        if not isinstance(root, View):
            raise TypeError(f"the document holds a {type(root).__name__}, which cannot be searched")
        return item in root

    def keys(self) -> list[Any]:
        """The keys of the dict the document holds, in document order."""
        root = self._root()
        if not isinstance(root, View):
            raise TypeError(f"the document holds a {type(root).__name__}, which has no keys")
        return root.keys()

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
        self._index = None  # holds no export: the view's is the one that keeps the bytes in place
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


class _Step:
    """A node of the tree of paths that get_many walks: the paths ending here,
    then the list items below in order of position, then the dict keys below
    in the order first asked (a dict's entry order is known only by reading it)."""

    __slots__ = ("ends", "items", "keys", "unhashable")

    def __init__(self) -> None:
        self.ends: list[int] = []
        self.items: dict[int, _Step] = {}
        self.keys: dict[tuple[type, object], _Step] = {}
        self.unhashable: list[_Step] = []

    def child(self, step: object) -> _Step:
        if type(step) is Idx:
            index = step.index
            if type(index) is int:
                return self.items.setdefault(index, _Step())
        else:
            try:
                return self.keys.setdefault((type(step), step), _Step())
            except TypeError:
                pass  # unhashable: a node of its own
        node = _Step()
        self.unhashable.append(node)
        return node


def document_order(paths: Sequence[Sequence[object]]) -> list[int]:
    """The numbers of ``paths`` in the order in which a walk of the document meets their values."""
    root = _Step()
    for number, path in enumerate(paths):
        node = root
        for step in path:
            node = node.child(step)
        node.ends.append(number)
    order: list[int] = []
    pending = [root]
    while pending:  # depth first, without recursion: paths may be long
        node = pending.pop()
        order.extend(node.ends)
        children = [node.items[index] for index in sorted(node.items)]
        children.extend(node.keys.values())
        children.extend(node.unhashable)
        pending.extend(reversed(children))
    return order


def _checked_cap(cap: int) -> int:
    if isinstance(cap, bool) or not isinstance(cap, int):
        raise TypeError(f"index_cap must be an int, not {type(cap).__name__}")
    if cap < 0:
        raise ValueError("index_cap must not be negative")
    return cap


def get_many(source: Buffer | str | os.PathLike[str], paths: Iterable[Sequence[object]], *,
             default: Any = _RAISE, **options: Unpack[GetOptions]) -> list[Any]:
    """The values at each of ``paths`` in one document, in the order asked.

    ``source`` is a buffer or the path of a file (mapped). The lookups share
    one position index, so the document is skipped through about once rather
    than once per path. A path that does not resolve gives ``default`` when
    one is given, else raises :class:`DeserializationError` as :func:`get` does.
    The index, freed on return, takes at most a quarter of the document's size
    (and at most 256 MiB).
    """
    document = Document._mapped(source) if is_path(source) else Document(source)
    # The index lives for this call only: it may take more than a handle's.
    document.index_cap = max(document.index_cap, min(document._data().nbytes // 4, _LARGEST_GET_MANY_CAP))
    with document:
        return document.get_many(paths, default=default, **options)


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
