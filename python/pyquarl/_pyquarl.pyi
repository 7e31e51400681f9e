"""The native encoder, decoder and lazy reader."""

from collections.abc import Buffer, Callable, Iterator
from typing import Any, Literal, Protocol, TypeVar, final, overload

from .serialize.settings import CustomType

class _Writer(Protocol):
    def write(self, data: bytes, /) -> object: ...

_Loaders = dict[Any, Callable[..., Any]]

@overload
def dump_bytes(
    obj: object,
    *,
    allow_non_string_keys: object = ...,
    serialize_dates: bool = ...,
    flush_threshold: int = ...,
    direct_write_threshold: int = ...,
    custom_types: dict[type[Any], CustomType] = ...,
    default: Callable[[Any], Any] | None = ...,
    subclasses_as_base: bool = ...,
) -> bytes: ...
@overload
def dump_bytes(
    obj: object,
    *,
    writer: _Writer,
    allow_non_string_keys: object = ...,
    serialize_dates: bool = ...,
    flush_threshold: int = ...,
    direct_write_threshold: int = ...,
    custom_types: dict[type[Any], CustomType] = ...,
    default: Callable[[Any], Any] | None = ...,
    subclasses_as_base: bool = ...,
) -> None: ...
def load_bytes(
    buffer: Buffer,
    *,
    use_tuples: bool = ...,
    stop_gc: bool = ...,
    ignore_extra_data: bool = ...,
    custom_types: _Loaders = ...,
) -> Any: ...
def lazy_load_bytes(
    buffer: Buffer,
    path_to_load: list[Any],
    *,
    include_falsy: bool = ...,
    custom_types: _Loaders = ...,
) -> Any: ...
def bytes_check_if_contains(
    buffer: Buffer,
    path_to_load: list[Any],
    *,
    include_falsy: bool = ...,
    custom_types: _Loaders = ...,
) -> bool: ...
_Function = TypeVar("_Function", bound=Callable[..., Any])

def _fast_function(fallback: _Function, name: str, /) -> _Function: ...
def raw_decode(
    data: Buffer,
    offset: int = ...,
    *,
    use_tuples: bool = ...,
    stop_gc: bool = ...,
    ignore_extra_data: bool = ...,
    custom_types: _Loaders = ...,
) -> tuple[Any, int]: ...
def document_end(data: Buffer, offset: int = ...) -> int: ...
@final
class ItemIterator(Iterator[Any]):
    @property
    def kind(self) -> Literal["dict", "list"]: ...
    def __length_hint__(self) -> int: ...
    def __next__(self) -> Any: ...

def iter_items(
    buffer: Buffer,
    path_to_load: list[Any] = ...,
    *,
    keys_only: bool = ...,
    custom_types: _Loaders = ...,
) -> ItemIterator: ...

def document_index_new(buffer: Buffer, cap: int, fingerprint_bits: int = ..., /) -> object: ...
def document_index_lookup(index: object, buffer: Buffer, path: list[object], ask: int,
                          custom_types: dict[Any, Any] | None = ..., /) -> Any: ...
def document_index_info(index: object, cap: int = ..., /) -> tuple[int, int]: ...
