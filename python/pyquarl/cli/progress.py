"""A one-line progress display on stderr for long encodes and decodes."""

from __future__ import annotations

import time
from io import BufferedReader
from typing import BinaryIO, TextIO

__all__ = ["LARGE_INPUT", "CountingWriter", "Progress", "read_file", "read_stream", "write_all"]

# Inputs above this size get a progress display when stderr is a terminal.
LARGE_INPUT = 50_000_000

_CHUNK = 8 * 1024 * 1024
_WIDTH = 24


def _mb(n: int) -> str:
    return f"{n / 1e6:.1f} MB"


class Progress:
    """Shows the current stage and, where the amount is known, a bar.

    ``enabled`` is ``True`` to always show it, ``False`` never, ``None`` to
    show it for inputs above :data:`LARGE_INPUT` bytes when ``stream`` is a
    terminal (the decision is made by :meth:`consider`).
    """

    def __init__(self, label: str, stream: TextIO, enabled: bool | None) -> None:
        self.label = label
        self.stream = stream
        self.auto = enabled is None
        self.active = enabled is True
        self.shown = False
        self.last = 0.0

    def consider(self, size: int) -> None:
        """Switch the display on once the input is known to be large."""
        if self.auto and not self.active and size > LARGE_INPUT:
            isatty = getattr(self.stream, "isatty", None)
            self.active = bool(isatty and isatty())

    def update(self, stage: str, done: int | None = None, total: int | None = None, force: bool = False) -> None:
        if not self.active:
            return
        now = time.monotonic()
        if not force and now - self.last < 0.1:
            return
        self.last = now
        line = f"{self.label}: {stage}"
        if done is not None and total:
            filled = min(_WIDTH, _WIDTH * done // total)
            line += f" [{'#' * filled}{'-' * (_WIDTH - filled)}] {100 * done // total:3d}% {_mb(done)} of {_mb(total)}"
        elif done is not None:
            line += f" {_mb(done)}"
        self.stream.write("\r" + line + "\x1b[K")
        self.stream.flush()
        self.shown = True

    def stage(self, stage: str) -> None:
        self.update(stage + " ...", force=True)

    def finish(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False


class CountingWriter:
    """Passes chunks on to a binary file and reports the running total."""

    def __init__(self, fp: BinaryIO, progress: Progress, stage: str) -> None:
        self.fp = fp
        self.progress = progress
        self.stage = stage
        self.written = 0

    def write(self, data: bytes) -> None:
        self.fp.write(data)
        self.written += len(data)
        self.progress.update(self.stage, self.written)


def read_stream(fp: BinaryIO, progress: Progress, stage: str) -> bytes:
    """Everything ``fp`` (a pipe, stdin) delivers until its end."""
    chunks = []
    done = 0
    while chunk := fp.read(_CHUNK):
        chunks.append(chunk)
        done += len(chunk)
        progress.consider(done)
        progress.update(stage, done)
    return b"".join(chunks)


def read_file(fp: BufferedReader, size: int, progress: Progress, stage: str) -> bytearray:
    """The content of a regular file of ``size`` bytes, read into one buffer."""
    progress.consider(size)
    buffer = bytearray(size)
    done = 0
    with memoryview(buffer) as view:
        while done < size:
            n = fp.readinto(view[done : done + _CHUNK])
            if not n:
                break
            done += n
            progress.update(stage, done, size)
    del buffer[done:]
    buffer += fp.read()  # the file grew while it was read
    return buffer


def write_all(fp: BinaryIO, data: bytes, progress: Progress, stage: str) -> None:
    with memoryview(data) as view:
        for start in range(0, len(view), _CHUNK):
            fp.write(view[start : start + _CHUNK])
            progress.update(stage, min(start + _CHUNK, len(view)), len(view))
