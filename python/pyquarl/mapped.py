"""Files read in place: a path is mapped read-only rather than read into memory.

The mapping's pages belong to the page cache, not to the process, so a
document larger than memory can be read: only the pages a lookup touches are
brought in, and the kernel may drop them again at will.
"""

from __future__ import annotations

import mmap
import os
from typing import Final, TypeIs

__all__ = ["is_path", "map_file"]

_EMPTY: Final = memoryview(b"")


def is_path(source: object) -> TypeIs[str | os.PathLike[str]]:
    """Whether ``source`` names a file (str or os.PathLike) rather than holding bytes."""
    return isinstance(source, (str, os.PathLike))


def map_file(path: str | os.PathLike[str], *, sequential: bool = False) -> mmap.mmap | memoryview:
    """The file at ``path`` as a read-only mapping (an empty file as an empty view).

    ``sequential`` tells the kernel that the pages will be read front to back,
    so it reads ahead further and may drop pages already passed.
    """
    with open(path, "rb") as file:
        if os.fstat(file.fileno()).st_size == 0:
            return _EMPTY  # a mapping cannot be empty
        mapping = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    if sequential and hasattr(mapping, "madvise"):
        mapping.madvise(mmap.MADV_SEQUENTIAL)
    return mapping
