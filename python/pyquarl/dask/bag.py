# mypy: allow-subclassing-any
# mypy: disable-error-code="import-untyped, no-untyped-call, unused-ignore"
"""Dask Bags over files of quarl documents: ``read_documents`` and ``to_documents``.

A file holds one document or several written one after the other (``dump``
called repeatedly on one file). Each file is one partition. The reader maps
the file and walks it document by document, so a partition never holds the
file's bytes in memory; with a path, only the value at that path of each
document is decoded and the rest is skipped.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from functools import partial
from typing import Any

import dask.bag  # type: ignore[import-not-found]
from dask.bag import Bag  # type: ignore[import-not-found]
from dask.base import compute as dask_compute  # type: ignore[import-not-found]
from dask.delayed import Delayed, delayed  # type: ignore[import-not-found]

import pyquarl

__all__ = ["read_documents", "to_documents"]

_MISSING: Any = object()

Paths = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]


def _input_paths(pattern: Paths) -> list[str]:
    if isinstance(pattern, (str, os.PathLike)):
        found = sorted(glob.glob(os.fspath(pattern)))
        if not found:
            raise FileNotFoundError(f"no file matches {os.fspath(pattern)!r}")
    else:
        found = [os.fspath(p) for p in pattern]
    # Absolute, so that workers started elsewhere find the same files.
    return [os.path.abspath(p) for p in found]


def _read_files(files: Iterable[str], path: tuple[object, ...], options: dict[str, Any]) -> list[Any]:
    values: list[Any] = []
    for name in files:
        try:
            values.extend(pyquarl.iter_documents(name, *path, **options))
        except pyquarl.DeserializationError as error:
            # The error's context is the reader's internal exception, which
            # holds this error again: dask's process pool pickles the context
            # with the error and cannot pickle that loop.
            error.__context__ = None
            raise
    return values


def read_documents(
    pattern: Paths,
    path: Sequence[object] | str | None = None,
    *,
    default: Any = _MISSING,
    files_per_partition: int = 1,
    **load_options: Any,
) -> Bag:
    """A Bag of the documents in the files matching ``pattern``.

    ``pattern`` is a glob (``"logs/*.quarl"``, files taken in sorted order)
    or a list of paths. With ``path`` (a tuple of dict keys and
    :class:`pyquarl.Idx` steps, or one key), the Bag holds only the value at
    that path of each document, and the rest of each document is skipped
    rather than decoded. A document without the path raises
    :class:`pyquarl.DeserializationError` when the Bag is computed, unless
    ``default`` is given, which then stands in its place. ``load_options``
    (``custom_types``, ``use_tuples``, ...) go to the decoder unchanged.
    """
    if files_per_partition < 1:
        raise ValueError(f"files_per_partition must be at least 1, got {files_per_partition}")
    steps: tuple[object, ...] = () if path is None else (path,) if isinstance(path, str) else tuple(path)
    options = dict(load_options)
    # The marker of "no default" stays here: a copy unpickled on a worker would be another object.
    if default is not _MISSING:
        if not steps:
            raise TypeError("read_documents() takes default= only with a path")
        options["default"] = default
    files = _input_paths(pattern)
    reader = partial(_read_files, path=steps, options=options)
    bag: Bag = dask.bag.from_sequence(files, partition_size=files_per_partition).map_partitions(reader)
    return bag


def _output_paths(pattern: Paths, count: int) -> list[str]:
    if not isinstance(pattern, (str, os.PathLike)):
        names = [os.fspath(p) for p in pattern]
        if len(names) != count:
            raise ValueError(f"{len(names)} file names given for a Bag of {count} partitions")
        return names
    text = os.fspath(pattern)
    if text.count("*") != 1:
        raise ValueError(f"the output pattern must hold one '*' (the partition number), got {text!r}")
    # Zero-padded so that the files sort in partition order when globbed back.
    width = len(str(max(count - 1, 0)))
    return [text.replace("*", str(i).zfill(width)) for i in range(count)]


def _write_partition(items: Iterable[Any], name: str, options: dict[str, Any]) -> str:
    directory = os.path.dirname(name)
    if directory:
        os.makedirs(directory, exist_ok=True)
    with open(name, "wb") as out:
        for item in items:
            pyquarl.dump(item, out, **options)
    return name


def to_documents(
    bag: Bag,
    pattern: Paths,
    *,
    compute: bool = True,
    dump_options: dict[str, Any] | None = None,
    **compute_kwargs: Any,
) -> list[str] | list[Delayed]:
    """Write each partition of ``bag`` to a file, one document per item.

    ``pattern`` holds one ``*``, replaced by the partition number (zero-padded,
    so ``read_documents`` on the same glob gives the items back in order), or
    is a list of one file name per partition. Returns the file names, or with
    ``compute=False`` one Delayed per file that writes it when computed.
    ``dump_options`` go to the encoder (``custom_types``, ...), the other
    keyword arguments to :func:`dask.compute` (``scheduler=...``), as
    ``Bag.to_textfiles`` does.
    """
    names = _output_paths(pattern, bag.npartitions)
    options = dict(dump_options or {})
    writes = [
        delayed(partial(_write_partition, name=name, options=options), pure=False)(part)
        for part, name in zip(bag.to_delayed(), names)
    ]
    if not compute:
        return writes
    return list(dask_compute(*writes, **compute_kwargs))
