"""Registration of user types for :func:`pyquarl.dump_bytes`."""

from __future__ import annotations

from typing import Any, Callable

__all__ = ["CustomType"]


class CustomType:
    """How to encode instances of one user type.

    ``identifier`` is written before each converted value (use a short str);
    ``converter`` turns an instance into an encodable value. With
    ``include_subclasses`` the entry also applies to subclasses of the
    registered type; with ``one_way`` only the converted value is written, so
    the data reads back as that plain value.
    """

    __slots__ = ("identifier", "converter", "include_subclasses", "one_way")

    identifier: Any
    converter: Callable[[Any], Any]
    include_subclasses: bool
    one_way: bool

    def __init__(
        self,
        identifier: Any,
        converter: Callable[[Any], Any],
        include_subclasses: bool = False,
        one_way: bool = False,
    ) -> None:
        if not callable(converter):
            raise TypeError(
                f"CustomType converter must be callable, got {type(converter).__name__}"
            )
        self.identifier = identifier
        self.converter = converter
        self.include_subclasses = include_subclasses
        self.one_way = one_way

    def __repr__(self) -> str:
        return (
            f"CustomType(identifier={self.identifier!r}, converter={self.converter!r}, "
            f"include_subclasses={self.include_subclasses!r}, one_way={self.one_way!r})"
        )

    def __eq__(self, other: object) -> bool:
        if type(other) is not CustomType:
            return NotImplemented
        return (
            self.identifier == other.identifier
            and self.converter == other.converter
            and self.include_subclasses == other.include_subclasses
            and self.one_way == other.one_way
        )

    __hash__ = None  # type: ignore[assignment]
