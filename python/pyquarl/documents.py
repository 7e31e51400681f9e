"""Several documents one after another in a buffer, a file or a stream.

A log written by calling :func:`pyquarl.dump` repeatedly on one file is such a
sequence: each document starts with its own marker, and nothing separates them.
"""

from __future__ import annotations

import mmap
import os
from collections.abc import Buffer, Callable, Iterator
from typing import Any, Final, Protocol, TypedDict, Unpack

from ._pyquarl import document_end, lazy_load_bytes, raw_decode
from .exceptions import DeserializationError
from .options import decode_options
from .mapped import is_path, map_file

__all__ = ["IterDocumentsOptions", "iter_documents"]

# Errors that more bytes may cure: the input ends, or the allowance for
# elements without payload (which grows with the input) ran out.
_NEEDS_MORE: Final = ("Unexpected end of input", "Corrupted data: more elements without payload")
_FIRST_READ: Final = 64 * 1024
_LARGEST_READ: Final = 64 * 1024 * 1024
_MISSING: Final = object()


class ReadableStream(Protocol):
    """A binary stream: ``read(n)`` returns at most ``n`` bytes, ``b""`` at the end."""

    def read(self, size: int, /) -> bytes | bytearray: ...


class IterDocumentsOptions(TypedDict, total=False):
    """Keyword options of :func:`iter_documents`."""

    use_tuples: bool
    stop_gc: bool
    custom_types: dict[Any, Callable[..., Any]]
    std_types: bool
    default: Any


class _PathMissed(Exception):
    """A lookup in a complete document failed: final, whatever follows in the source."""

    def __init__(self, error: DeserializationError) -> None:
        super().__init__(error)
        self.error = error


def _shifted(error: DeserializationError, by: int) -> DeserializationError:
    if by and error.pos is not None:
        error.pos += by
    return error


def _reader(path: tuple[object, ...], options: dict[str, Any]) -> Callable[[Buffer, int], tuple[Any, int]]:
    """One step over a buffer: (value, end) of the document at an offset."""
    default = options.pop("default", _MISSING)
    if not path:
        if default is not _MISSING:
            raise TypeError("iter_documents() takes default= only with a path")

        def whole(data: Buffer, offset: int) -> tuple[Any, int]:
            return raw_decode(data, offset, **options)

        return whole

    steps = list(path)
    options.pop("use_tuples", None)  # values at a path are decoded as lists, as by get()
    options.pop("stop_gc", None)

    def at_path(data: Buffer, offset: int) -> tuple[Any, int]:
        # The end is found first, by a skip that builds nothing: so a damaged
        # document fails before its value is looked at, and the lookup reads
        # only this document.
        end = document_end(data, offset)
        with memoryview(data) as whole_view, whole_view[offset:end] as view:
            try:
                return lazy_load_bytes(view, steps, **options), end
            except DeserializationError as error:
                if default is not _MISSING:
                    return default, end
                raise _PathMissed(_shifted(error, offset)) from None

    return at_path


def _from_buffer(data: Buffer, step: Callable[[Buffer, int], tuple[Any, int]]) -> Iterator[Any]:
    with memoryview(data) as view:
        size = view.nbytes
    offset = 0
    while offset < size:
        try:
            value, offset = step(data, offset)
        except _PathMissed as missed:
            failure = missed.error
        else:
            yield value
            continue
        # Raised outside the handler, so the error does not keep the wrapper
        # (which holds the error) as its context: a loop that pickling chokes on.
        raise failure


def _from_stream(stream: ReadableStream, step: Callable[[Buffer, int], tuple[Any, int]]) -> Iterator[Any]:
    # `pending` holds the unread tail of what was read. A document cut short
    # at the end of it is tried again after a read at least as large as what
    # is already held, so a document of n bytes costs O(n) over all retries.
    # A damaged document that claims more bytes than follow is read to the
    # end of the stream before it is reported.
    pending = bytearray()
    start = 0  # where the next document starts in `pending`
    consumed = 0  # bytes of the stream dropped from the front of `pending`
    read_size = _FIRST_READ
    exhausted = False
    while True:
        if start == len(pending):
            if exhausted:
                return
            del pending[:]
            consumed += start
            start = 0
        missed_error = None
        try:
            value, end = step(pending, start)
        except _PathMissed as missed:
            missed_error = missed.error
        except DeserializationError as error:
            if exhausted or not error.msg.startswith(_NEEDS_MORE) and start + 3 <= len(pending):
                raise _shifted(error, consumed) from None
            if start > len(pending) // 2:
                # Drop what was read already; amortised over the documents passed.
                del pending[:start]
                consumed += start
                start = 0
            chunk = stream.read(max(read_size, len(pending) - start))
            read_size = min(read_size * 2, _LARGEST_READ)
            if not chunk:
                exhausted = True
                if start == len(pending):
                    return
                continue
            pending += chunk
            continue
        if missed_error is not None:
            raise _shifted(missed_error, consumed)  # outside the handler, as above
        start = end
        yield value


def iter_documents(source: Buffer | str | os.PathLike[str] | ReadableStream, *path: object,
                   **options: Unpack[IterDocumentsOptions]) -> Iterator[Any]:
    """Each document of ``source`` in turn, or the value at ``path`` in each.

    ``source`` is a buffer (bytes, bytearray, memoryview, mmap, ...), the path
    of a file (mapped, not read whole) or a binary stream (read in growing
    chunks). With a ``path`` only the value there is decoded (as by
    :func:`get`: sequences as lists, so ``use_tuples`` and ``stop_gc`` do not
    apply) and the rest of each document is skipped; a document where the path does not resolve
    raises :class:`DeserializationError` as :func:`get` does, or yields
    ``default`` when one is given. A damaged document raises
    :class:`DeserializationError` whose ``pos`` is the offset of the damage in
    the whole source; the documents before it have been yielded.
    """
    step = _reader(path, decode_options(dict(options)))
    if is_path(source):
        mapping = map_file(source, sequential=True)
        try:
            yield from _from_buffer(mapping, step)
        finally:
            if isinstance(mapping, mmap.mmap):
                mapping.close()
    elif isinstance(source, Buffer):
        yield from _from_buffer(source, step)
    elif hasattr(source, "read"):
        yield from _from_stream(source, step)
    else:  # wrongly typed callers still get a clear error
        raise TypeError(
            f"iter_documents() needs a buffer, a file path or a binary stream, not {type(source).__name__}"
        )
