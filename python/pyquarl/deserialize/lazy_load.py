"""Path steps for the lazy reader."""

from __future__ import annotations

import operator

__all__ = ["Idx"]

_INDEX_LIMIT = 2**64


class Idx:
    """A list index in a lazy path; every other path step is a dict key.

    ``get(doc, "users", Idx(3), "name")`` reads ``doc["users"][3]["name"]``
    without decoding the rest of the document. A plain ``3`` in a path is the
    dict *key* 3, never a list position.

    The index must be a non-negative integer below 2**64 (negative positions
    counted from the end are not supported: the encoded list is read front to
    back). Objects that implement ``__index__`` (numpy integers, for example)
    are converted to ``int``; ``bool`` is refused because ``Idx(True)`` is
    almost certainly a mistake.

    ``index`` stays an ordinary attribute; the reader checks it again when it
    uses the step.
    """

    __slots__ = ("index",)

    index: int

    def __init__(self, index: int) -> None:
        if isinstance(index, bool):
            raise TypeError("Idx index must be an int, got bool")
        try:
            value = operator.index(index)
        except TypeError:
            raise TypeError(
                f"Idx index must be an int, got {type(index).__name__}"
            ) from None
        if value < 0:
            raise TypeError("Index must not be negative")
        if value >= _INDEX_LIMIT:
            raise OverflowError(f"Idx index must be below 2**64, got {value}")
        self.index = value

    def __repr__(self) -> str:
        return f"Idx({self.index!r})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not Idx:
            return NotImplemented
        return bool(self.index == other.index)

    def __hash__(self) -> int:
        return hash((Idx, self.index))
