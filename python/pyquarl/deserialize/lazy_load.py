"""Path steps for the lazy reader."""

from __future__ import annotations

__all__ = ["Idx"]


class Idx:
    """A list index in a lazy path; every other path step is a dict key.

    ``lazy_load_bytes(doc, ["users", Idx(3), "name"])`` reads
    ``doc["users"][3]["name"]`` without decoding the rest of the document.
    """

    __slots__ = ("index",)

    index: int

    def __init__(self, index: int) -> None:
        self.index = index

    def __repr__(self) -> str:
        return f"Idx({self.index!r})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not Idx:
            return NotImplemented
        return bool(self.index == other.index)

    def __hash__(self) -> int:
        return hash((Idx, self.index))
