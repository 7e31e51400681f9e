"""Lazy views of the lists and dicts inside a :class:`~pyquarl.Document`.

``doc["users"][1875]["email"]`` reads like nested dicts and lists, but each
step only finds where the next value starts (through the document's position
index); a scalar comes out as its Python value, a list or dict as another view.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Final

from .deserialize.lazy_load import Idx

if TYPE_CHECKING:
    from .document import Document

__all__ = ["View"]

# What document_index_lookup is asked for.
ASK_LOAD: Final = 0
ASK_CONTAINS: Final = 1
ASK_CONTAINS_TRUTHY: Final = 2
ASK_DESCRIBE: Final = 3
ASK_EXPECT: Final = 4  # the dict keys that the next lookups ask for


def step_for(kind: str, key: object, length: int) -> object:
    """The path step that ``view[key]`` takes: ints index lists (negative ones from the end)."""
    if kind != "list" or type(key) is Idx:
        return key
    if isinstance(key, bool) or not hasattr(key, "__index__"):
        raise TypeError(f"list indices must be integers or Idx, not {type(key).__name__}")
    index = key.__index__()
    if index < 0:
        index += length
        if index < 0:
            raise IndexError("list index out of range")
    return Idx(index)


def navigate(document: Document, path: tuple[object, ...]) -> Any:
    """A view of the list or dict at ``path``, or the value there."""
    kind, found = document._lookup(path, ASK_DESCRIBE)
    if kind == "value":
        return found
    return View(document, path, kind, found)


class View:
    """The list or dict at a path of a document, read on demand.

    It stays usable for the life of its document (and raises ``ValueError``
    once the document is closed). ``len``, ``[]``, ``in``, iteration and
    ``keys()`` behave as on a list or dict; :meth:`load` decodes it whole.
    """

    __slots__ = ("_document", "_kind", "_length", "_path")

    def __init__(self, document: Document, path: tuple[object, ...], kind: str, length: int) -> None:
        self._document = document
        self._path = path
        self._kind = kind
        self._length = length

    @property
    def kind(self) -> str:
        """``"list"`` or ``"dict"``."""
        return self._kind

    @property
    def path(self) -> tuple[object, ...]:
        """The steps from the document's root to this value."""
        return self._path

    def __len__(self) -> int:
        return self._length

    def __getitem__(self, key: object) -> Any:
        return navigate(self._document, (*self._path, step_for(self._kind, key, self._length)))

    def __contains__(self, item: object) -> bool:
        if self._kind == "dict":
            return bool(self._document._lookup((*self._path, item), ASK_CONTAINS))
        return any(item is value or item == value for value in self)

    def __iter__(self) -> Iterator[Any]:
        if self._kind == "dict":
            yield from self.keys()
            return
        for index in range(self._length):
            yield navigate(self._document, (*self._path, Idx(index)))

    def keys(self) -> list[Any]:
        """The keys of a dict, in document order."""
        if self._kind != "dict":
            raise TypeError("a list has no keys")
        return list(self._document.iter_items(*self._path, keys_only=True))

    def values(self) -> Iterator[Any]:
        """The values of a dict (views for lists and dicts), in document order."""
        return (self[key] for key in self.keys())

    def items(self) -> Iterator[tuple[Any, Any]]:
        """The ``(key, value)`` pairs of a dict, values as by ``[]``."""
        return ((key, self[key]) for key in self.keys())

    def get(self, *path: object, **options: Any) -> Any:
        """The value at ``path`` below this one, decoded (as :meth:`Document.get`)."""
        return self._document.get(*self._path, *path, **options)

    def load(self) -> Any:
        """This list or dict, decoded whole."""
        return self._document.get(*self._path)

    def __repr__(self) -> str:
        return f"<pyquarl.View of a {self._kind} of {self._length} at {list(self._path)!r}>"
