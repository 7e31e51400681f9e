"""Registration of user types for :func:`pyquarl.dumps` and :func:`pyquarl.dump_bytes`."""

from __future__ import annotations

from typing import Any, Callable

__all__ = ["CustomType"]


def _callable_name(obj: object) -> str:
    name = getattr(obj, "__qualname__", None)
    if isinstance(name, str):
        module = getattr(obj, "__module__", None)
        if isinstance(module, str) and module not in ("builtins", "__main__"):
            return f"{module}.{name}"
        return name
    return repr(obj)


def _same_flag(a: object, b: object) -> bool:
    return type(a) is type(b) and bool(a == b)


class CustomType:
    """How to encode instances of one user type.

    Register it under the type it handles::

        dumps(value, custom_types={Point: CustomType("pt", lambda p: [p.x, p.y])})
        loads(data, custom_types={"pt": lambda xy: Point(*xy)})

    ``identifier`` is written before each converted value and picks the
    loader when the data is read back, so it must be hashable; a short str is
    best (it is stored once per document and referred back to afterwards).
    ``converter`` turns an instance into an encodable value.

    ``include_subclasses`` makes the entry apply to subclasses of the
    registered type too. ``one_way`` writes only the converted value, so the
    data reads back as that plain value and needs no loader.

    Both flags take effect only when they are the object ``True`` itself:
    ``include_subclasses=1`` or any other truthy non-bool is accepted here but
    counts as false when encoding.
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
        try:
            hash(identifier)
        except TypeError:
            raise TypeError(
                "CustomType identifier must be hashable (loads() looks it up in its "
                f"custom_types dict), got {type(identifier).__name__}"
            ) from None
        self.identifier = identifier
        self.converter = converter
        self.include_subclasses = include_subclasses
        self.one_way = one_way

    def __repr__(self) -> str:
        parts = [repr(self.identifier), f"converter={_callable_name(self.converter)}"]
        if self.include_subclasses is not False:
            parts.append(f"include_subclasses={self.include_subclasses!r}")
        if self.one_way is not False:
            parts.append(f"one_way={self.one_way!r}")
        return f"CustomType({', '.join(parts)})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not CustomType:
            return NotImplemented
        # The flags count only as the object True, so 1 and True differ here.
        return bool(
            self.identifier == other.identifier
            and self.converter == other.converter
            and _same_flag(self.include_subclasses, other.include_subclasses)
            and _same_flag(self.one_way, other.one_way)
        )

    __hash__ = None  # type: ignore[assignment]
