"""The ``quarl`` command: encode JSON, decode documents, look values up lazily.

Run ``quarl --help`` (or ``python -m pyquarl --help``) for the commands.
Every failure is reported as one line on stderr with an exit status that
tells its kind (see :class:`Exit`); nothing prints a traceback.
"""

from __future__ import annotations

import argparse
import enum
import io
import json
import os
import stat
import sys
import tempfile
from collections.abc import Buffer, Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, BinaryIO

from .._pyquarl import raw_decode
from ..api import contains, dump, get, loads
from ..document import iter_items
from ..documents import iter_documents
from ..exceptions import DeserializationError, SerializationError
from ..mapped import map_file
from .jsonout import to_json
from .messages import for_command_line
from .paths import JSON_KEY_OPTION, StepError, mark_json_keys, parse_steps, show_steps
from .progress import CountingWriter, Progress, read_file, read_stream, write_all

__all__ = ["Exit", "main"]

_MARKER = b"<o>"
_PATH_ERRORS = ("Key not found", "Index out of range", "Invalid path")


class Exit(enum.IntEnum):
    OK = 0
    NOT_FOUND = 1  # `has`: the path leads to no value
    USAGE = 2  # bad arguments, including a malformed step
    IO = 3  # a file cannot be read or written
    BAD_DATA = 4  # not a quarl document, or a damaged one
    BAD_PATH = 5  # `get`: the path leads to no value
    BAD_JSON = 6  # `encode`: the input is not JSON
    UNSUPPORTED = 7  # a value cannot be encoded, or written as JSON
    BROKEN_PIPE = 141  # the reader of stdout went away (as a shell reports SIGPIPE)
    INTERNAL = 70  # a fault in quarl itself
    INTERRUPTED = 130


class CliError(Exception):
    def __init__(self, code: Exit, message: str) -> None:
        super().__init__(message)
        self.code = code


_EXIT_HELP = """\
exit status:
  0  success (has: the value is there)     4  not a quarl document, or damaged
  1  has: no value at the path             5  get: no value at the path
  2  bad arguments                         6  encode: the input is not valid JSON
  3  a file cannot be read or written      7  a value cannot be encoded or shown as JSON
"""

_STEP_HELP = f"""\
steps:
  users             the dict key "users"
  '#3'              the list index 3 (quote it: # starts a comment in shells)
  {JSON_KEY_OPTION} JSON   a key written as JSON, in its place among the steps:
                    {JSON_KEY_OPTION} 5 (the int 5), {JSON_KEY_OPTION} null, {JSON_KEY_OPTION} '"#3"' (the str #3)
  --                every later argument is a plain key, even one starting with -
"""

_JSON_HELP = """\
JSON output:
  bytes are written as base64 strings; dict keys that are not strings as their
  JSON text (1 -> "1", null -> "null"); NaN and the infinities as the strings
  "NaN", "Infinity" and "-Infinity" (bare tokens with --allow-nan, which
  Python's json module and `quarl encode` read back); integers in full.
"""


class _ReportingParser(argparse.ArgumentParser):
    """A failed write of help or usage is an error here (argparse itself ignores it)."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            (file or sys.stderr).write(message)


class _Parser(_ReportingParser):
    """Lets options and steps be mixed: ``get FILE users --indent 2 '#3'``."""

    _parsing = False

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        if self._parsing:
            return super().parse_known_args(args, namespace)
        self._parsing = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._parsing = False



_MAX_INDENT = 1024


def _indent(text: str) -> int:
    """An indent width; out of range is a usage error, not a failure half way through the output."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if not 0 <= value <= _MAX_INDENT:
        raise argparse.ArgumentTypeError(f"must be from 0 to {_MAX_INDENT}, not {text}")
    return value


class _VersionAction(argparse.Action):
    """``--version``, looked up only when asked for (importlib.metadata is slow to import)."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        import pyquarl

        sys.stdout.write(f"quarl (pyquarl) {pyquarl.__version__}\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = _ReportingParser(
        prog="quarl",
        description="Encode JSON as quarl, decode quarl documents, and read single values lazily.",
        epilog=_EXIT_HELP,
        formatter_class=formatter,
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def progress_option(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "--progress",
            action=argparse.BooleanOptionalAction,
            default=None,
            help="show progress on stderr (default: for inputs over 50 MB when stderr is a terminal)",
        )

    def json_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--indent", type=_indent, metavar="N", help=f"indent nested values by N spaces (0 to {_MAX_INDENT})")
        p.add_argument("--sort-keys", action="store_true", help="sort dict members by name")
        p.add_argument(
            "--allow-nan", action="store_true", help="write NaN and the infinities as bare tokens"
        )

    def step_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("file", metavar="FILE", help="a quarl document, or - for stdin")
        p.add_argument("steps", nargs="*", metavar="STEP", help="dict key, or #N for a list index")
        p.add_argument(
            JSON_KEY_OPTION, metavar="JSON", action="append", help="a key given as a JSON literal"
        )

    p = commands.add_parser(
        "encode",
        help="JSON to quarl",
        description="Encode a JSON document as quarl.",
        formatter_class=formatter,
    )
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="JSON file (default: stdin)")
    p.add_argument("-o", "--output", metavar="FILE", help="quarl file to write (default: stdout)")
    progress_option(p)

    p = commands.add_parser(
        "decode",
        help="quarl to JSON",
        description="Decode a quarl document and write it as JSON. A file of several documents one "
        "after another (written by repeated dumps) becomes JSON Lines: one document per line.",
        epilog=_JSON_HELP,
        formatter_class=formatter,
    )
    p.add_argument("input", nargs="?", default="-", metavar="INPUT", help="quarl file (default: stdin)")
    p.add_argument("-o", "--output", metavar="FILE", help="JSON file to write (default: stdout)")
    json_options(p)
    progress_option(p)

    p = commands.add_parser(
        "get",
        help="print the value at a path, decoding nothing else",
        description="Print the value at a path as JSON. Only that value is decoded.",
        epilog=_STEP_HELP + "\n" + _JSON_HELP,
        formatter_class=formatter,
    )
    step_options(p)
    json_options(p)
    p.add_argument("-r", "--raw", action="store_true", help="print a str as plain text, bytes as they are")

    p = commands.add_parser(
        "has",
        help="exit status 0 if a value is at the path, 1 if not",
        description="Test whether a path leads to a value: exit status 0 if so, 1 if not.",
        epilog=_STEP_HELP,
        formatter_class=formatter,
    )
    step_options(p)
    p.add_argument("--truthy", action="store_true", help="count false values (0, '', [], null, ...) as absent")

    p = commands.add_parser(
        "keys",
        help="list the keys of the dict at a path, or the length of the list there",
        description="Print the keys of the dict at a path as JSON, one per line, or the length of the "
        "list there. The values are skipped, not decoded.",
        epilog=_STEP_HELP,
        formatter_class=formatter,
    )
    step_options(p)

    p = commands.add_parser(
        "stats",
        help="sizes against JSON and pickle, strings and shape",
        description="Compare the document's size with JSON, gzipped JSON and pickle, and describe it.",
        formatter_class=formatter,
    )
    p.add_argument("file", metavar="FILE", help="a quarl document, or - for stdin")
    p.add_argument("--json", action="store_true", help="print the figures as JSON")
    return parser


# Input and output -------------------------------------------------------------------------


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _read(path: str, progress: Progress, stage: str = "reading") -> bytes | bytearray:
    try:
        if path == "-":
            return read_stream(sys.stdin.buffer, progress, stage)
        with open(path, "rb") as fp:
            info = os.fstat(fp.fileno())
            if stat.S_ISREG(info.st_mode):
                return read_file(fp, info.st_size, progress, stage)
            return read_stream(fp, progress, stage)
    except OSError as error:
        raise CliError(Exit.IO, f"cannot read {_name(path)}: {error.strerror or error}") from None


@contextmanager
def _stdout() -> Iterator[BinaryIO]:
    """Standard output for bytes, with complete writes.

    Under ``python -u`` (or PYTHONUNBUFFERED) ``sys.stdout.buffer`` is a raw
    file whose ``write`` may take only part of a large chunk; a buffered
    writer around it retries until all is written.
    """
    try:
        sys.stdout.flush()
        out = sys.stdout.buffer
        if not isinstance(out, io.RawIOBase):
            yield out
            out.flush()
            return
        buffered = io.BufferedWriter(out)
        try:
            yield buffered
            buffered.flush()
        finally:
            buffered.detach()  # leaves stdout open
    except BrokenPipeError:
        raise
    except OSError as error:
        _drop_stdout()
        raise CliError(Exit.IO, f"cannot write to standard output: {error.strerror or error}") from None


def _drop_stdout() -> None:
    """Points standard output at the null device, so that what is still
    buffered cannot fail again when the interpreter exits."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _print(text: str) -> None:
    with _stdout() as out:
        out.write(text.encode("utf-8"))


@contextmanager
def _output(path: str | None, binary: bool) -> Iterator[BinaryIO]:
    """The destination file; a regular file appears only once complete."""
    if path is None or path == "-":
        if binary and sys.stdout.isatty():
            raise CliError(
                Exit.USAGE,
                "refusing to write binary data to a terminal; use -o FILE or redirect the output",
            )
        with _stdout() as out:
            yield out
        return
    try:
        special = os.path.exists(path) and not os.path.isfile(path)
        if special:  # /dev/null, a pipe, ...: write in place
            fp: BinaryIO = open(path, "wb")
            temporary = None
        else:
            fd, temporary = tempfile.mkstemp(
                dir=os.path.dirname(os.path.abspath(path)), prefix=".quarl-", suffix=".tmp"
            )
            fp = os.fdopen(fd, "wb")
    except OSError as error:
        raise CliError(Exit.IO, f"cannot write {path}: {error.strerror or error}") from None
    try:
        with fp:
            yield fp
        if temporary is not None:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
            os.replace(temporary, path)
    except OSError as error:
        raise CliError(Exit.IO, f"cannot write {path}: {error.strerror or error}") from None
    finally:
        if temporary is not None and os.path.exists(temporary):
            os.unlink(temporary)


def _source(path: str, command: str) -> Buffer:
    """A file mapped read-only (so a lookup reads only the pages on its way, and
    a file larger than memory works), or stdin and other streams read whole."""
    if path != "-":
        try:
            if stat.S_ISREG(os.stat(path).st_mode):
                return map_file(path)
        except OSError as error:
            raise CliError(Exit.IO, f"cannot read {path}: {error.strerror or error}") from None
    return _read(path, Progress(f"quarl {command}", sys.stderr, False))


def _check_marker(data: Buffer, name: str) -> None:
    if bytes(memoryview(data)[:3]) != _MARKER:
        raise CliError(Exit.BAD_DATA, f"{name}: not a quarl document (it does not start with `<o>`)")


def _data_error(name: str, error: BaseException) -> CliError:
    return CliError(Exit.BAD_DATA, f"{name}: {for_command_line(error)}")


def _decode(data: bytes | bytearray, name: str) -> Any:
    try:
        return loads(data, stop_gc=True)
    except (DeserializationError, TypeError, RecursionError) as error:
        raise _data_error(name, error) from None


def _json_text(value: Any, args: argparse.Namespace) -> str:
    try:
        return to_json(value, indent=args.indent, sort_keys=args.sort_keys, allow_nan=args.allow_nan)
    except RecursionError:
        raise CliError(Exit.UNSUPPORTED, "the value is nested too deeply to write as JSON") from None
    except (TypeError, ValueError) as error:
        raise CliError(Exit.UNSUPPORTED, f"cannot write the value as JSON: {error}") from None


def _steps(args: argparse.Namespace) -> list[object]:
    try:
        return parse_steps(args.steps)
    except StepError as error:
        raise CliError(Exit.USAGE, str(error)) from None


# Commands ---------------------------------------------------------------------------------


def _with_progress(
    command: str, work: Callable[[argparse.Namespace, str, Progress], None]
) -> Callable[[argparse.Namespace], Exit]:
    """Runs `work` for `quarl command`, with the progress bar cleared on every exit."""

    def run(args: argparse.Namespace) -> Exit:
        progress = Progress(f"quarl {command}", sys.stderr, args.progress)
        try:
            work(args, _name(args.input), progress)
        finally:
            progress.finish()
        return Exit.OK

    return run


def _encode_with(args: argparse.Namespace, name: str, progress: Progress) -> None:
    raw = _read(args.input, progress, "reading JSON")
    progress.stage("parsing JSON")
    try:
        value = json.loads(raw)
    except json.JSONDecodeError as error:
        raise CliError(
            Exit.BAD_JSON, f"{name}: not valid JSON: {error.msg} at line {error.lineno} column {error.colno}"
        ) from None
    except UnicodeDecodeError as error:
        raise CliError(
            Exit.BAD_JSON, f"{name}: not valid JSON: the text is not UTF-8 ({error.reason} at byte {error.start})"
        ) from None
    except RecursionError:
        raise CliError(Exit.BAD_JSON, f"{name}: cannot read this JSON: it is nested too deeply") from None
    except ValueError as error:
        raise CliError(Exit.BAD_JSON, f"{name}: not valid JSON: {error}") from None
    del raw
    progress.stage("encoding")
    with _output(args.output, binary=True) as fp:
        try:
            dump(value, CountingWriter(fp, progress, "encoding, written"))
        except SerializationError as error:
            raise CliError(Exit.UNSUPPORTED, f"{name}: cannot encode: {error}") from None
        except RecursionError:
            raise CliError(Exit.UNSUPPORTED, f"{name}: cannot encode: nested too deeply") from None


def _decode_lines(raw: bytes | bytearray, name: str, args: argparse.Namespace, progress: Progress) -> None:
    """Several documents one after another: one JSON line each."""
    with _output(args.output, binary=False) as fp:
        try:
            for value in iter_documents(raw, stop_gc=True):
                line = to_json(value, sort_keys=args.sort_keys, allow_nan=args.allow_nan)
                fp.write(line.encode("utf-8") + b"\n")
        except DeserializationError as error:
            raise CliError(Exit.BAD_DATA, f"{name}: {for_command_line(error)} (at byte {error.pos})") from None
        except (TypeError, RecursionError) as error:
            raise _data_error(name, error) from None
        except ValueError as error:
            raise CliError(Exit.UNSUPPORTED, f"cannot write the value as JSON: {error}") from None


def _decode_with(args: argparse.Namespace, name: str, progress: Progress) -> None:
    raw = _read(args.input, progress)
    _check_marker(raw, name)
    progress.stage("decoding")
    try:
        value, end = raw_decode(raw, stop_gc=True)
    except (DeserializationError, TypeError, RecursionError) as error:
        raise _data_error(name, error) from None
    if end != len(raw):
        del value
        # Bytes after a document are the next document only if they start like one.
        if bytes(raw[end:end + 3]) != b"<o>":
            raise CliError(Exit.BAD_DATA, f"{name}: unexpected data after the end of the document, from byte {end}")
        _decode_lines(raw, name, args, progress)
        return
    del raw
    progress.stage("converting to JSON")
    data = (_json_text(value, args) + "\n").encode("utf-8")
    del value
    with _output(args.output, binary=False) as fp:
        write_all(fp, data, progress, "writing JSON")


@contextmanager
def _reading(name: str, steps: list[object], what: str = "value") -> Iterator[None]:
    """Errors of a lookup as the command's errors: no `what` at the path, or damaged data."""
    try:
        yield
    except DeserializationError as error:
        if str(error).startswith(_PATH_ERRORS):
            raise CliError(Exit.BAD_PATH, f"{name}: no {what} at {show_steps(steps)}: {error}") from None
        raise _data_error(name, error) from None
    except (TypeError, RecursionError) as error:
        raise _data_error(name, error) from None


def _lookup(raw: Buffer, steps: list[object], name: str) -> Any:
    with _reading(name, steps):
        return get(raw, *steps)


def _at_path(args: argparse.Namespace, command: str) -> tuple[list[object], str, Buffer]:
    """The steps, the file's name for messages and its bytes (a mapping where it can be)."""
    steps = _steps(args)
    name = _name(args.file)
    raw = _source(args.file, command)
    _check_marker(raw, name)
    return steps, name, raw


def _get(args: argparse.Namespace) -> Exit:
    steps, name, raw = _at_path(args, "get")
    value = _lookup(raw, steps, name)
    if args.raw and isinstance(value, (bytes, bytearray)):
        with _stdout() as out:
            out.write(value)
    elif args.raw and isinstance(value, str):
        _print(value + "\n")
    else:
        _print(_json_text(value, args) + "\n")
    return Exit.OK


def _has(args: argparse.Namespace) -> Exit:
    steps, name, raw = _at_path(args, "has")
    try:
        if contains(raw, *steps, include_falsy=not args.truthy):
            return Exit.OK
    except (TypeError, RecursionError) as error:
        raise _data_error(name, error) from None
    # No: tell a path that leads nowhere (or to a false value) from damaged data.
    try:
        _lookup(raw, steps, name)
    except CliError as error:
        if error.code != Exit.BAD_PATH:
            raise
    return Exit.NOT_FOUND


def _keys(args: argparse.Namespace) -> Exit:
    steps, name, raw = _at_path(args, "keys")
    with _reading(name, steps, "list or dict"):
        walk = iter_items(raw, *steps, keys_only=True)
        if walk.kind == "list":
            _print(f"{walk.__length_hint__()}\n")
            return Exit.OK
        with _stdout() as out:
            for key in walk:
                out.write((to_json(key) + "\n").encode("utf-8"))
    return Exit.OK


def _stats(args: argparse.Namespace) -> Exit:
    from .stats import collect, render  # gzip, pickle and dataclasses only when needed

    name = _name(args.file)
    raw = _read(args.file, Progress("quarl stats", sys.stderr, False))
    _check_marker(raw, name)
    value = _decode(raw, name)
    try:
        stats = collect(value, len(raw))
    except RecursionError:
        raise CliError(Exit.UNSUPPORTED, f"{name}: nested too deeply to compare with JSON and pickle") from None
    if args.json:
        _print(json.dumps({"file": name, **stats.as_dict()}, indent=2) + "\n")
    else:
        _print(render(name, stats) + "\n")
    return Exit.OK


_COMMANDS = {
    "encode": _with_progress("encode", _encode_with),
    "decode": _with_progress("decode", _decode_with),
    "get": _get,
    "has": _has,
    "keys": _keys,
    "stats": _stats,
}


def _prepare(argv: list[str]) -> list[str]:
    """Mark ``--json-key`` values of ``get`` and ``has`` so they keep their place among the steps."""
    for i, arg in enumerate(argv):
        if not arg.startswith("-"):
            if arg in ("get", "has", "keys"):
                return argv[: i + 1] + mark_json_keys(argv[i + 1 :])
            break
    return argv


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``) and return the exit status."""
    args_list = list(sys.argv[1:] if argv is None else argv)
    # Decoded and parsed integers may be long; there is no quadratic-time
    # risk worth the limit in a tool that reads the user's own files.
    sys.set_int_max_str_digits(0)
    parser = build_parser()
    try:
        try:
            args = parser.parse_args(_prepare(args_list))
        except SystemExit:
            sys.stdout.flush()  # --help and --version: a failed write is reported below
            raise
        code = _COMMANDS[args.command](args)
        sys.stdout.flush()
        return int(code)
    except CliError as error:
        sys.stderr.write(f"quarl: error: {error}\n")
        return int(error.code)
    except BrokenPipeError:
        # Whoever read our output stopped early; say nothing more.
        _drop_stdout()
        return int(Exit.BROKEN_PIPE)
    except OSError as error:  # standard output or error failed outside the commands' own writes
        _drop_stdout()
        sys.stderr.write(f"quarl: error: cannot write the output: {error.strerror or error}\n")
        return int(Exit.IO)
    except KeyboardInterrupt:
        sys.stderr.write("\nquarl: interrupted\n")
        return int(Exit.INTERRUPTED)
    except MemoryError:
        sys.stderr.write("quarl: error: out of memory\n")
        return int(Exit.UNSUPPORTED)
    except Exception as error:  # a fault of ours: still one line, but say so
        sys.stderr.write(f"quarl: internal error: {type(error).__name__}: {error}\n")
        return int(Exit.INTERNAL)
