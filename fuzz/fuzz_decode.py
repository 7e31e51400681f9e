"""Fuzz target: hostile bytes through load_bytes, lazy_load_bytes and
bytes_check_if_contains.

Input layout: 8 header bytes, then the document body. Header byte 0 holds
options (bit 0: pass a bytearray, bit 1: use_tuples, bit 2: do not prepend
the "<o>" marker, bit 3: custom_types loaders, bit 4: include_falsy=False,
bit 5: stop_gc); bytes 1-7 give a path of up to six steps (see path_from).

Invariants checked on every input:
- each entry point returns or raises one of its documented classes, and
  nothing else (a SystemError here means an exception was left pending);
- the input buffer is unchanged and the garbage collector is enabled again;
- load_bytes(doc, ignore_extra_data=True) and lazy_load_bytes(doc, []) agree:
  both fail, or both return equal values;
- load_bytes without ignore_extra_data only accepts what the lenient call
  accepts, with the same value (with use_tuples: the same value, read as lists);
- a path that lazy_load_bytes resolves is contained for bytes_check_if_contains
  with include_falsy=True;
- a decoded value (without loaders) is written again by dump_bytes and reads
  back equal.
"""

import gc
import sys

import atheris

with atheris.instrument_imports():
    import fuzz_common as fc
    from pyquarl import SerializationError, bytes_check_if_contains, dump_bytes, lazy_load_bytes, load_bytes

MISSING = object()


def attempt(call, allowed, what, path=()):
    try:
        return call(), None
    except Exception as error:  # noqa: BLE001 - classified just below
        fc.check_error(error, allowed, what, path)
        return MISSING, error


def as_lists(value):
    if type(value) in (list, tuple):
        return [as_lists(item) for item in value]
    if type(value) is dict:
        return {as_lists(k): as_lists(v) for k, v in value.items()}
    return value


def TestOneInput(data):
    if len(data) < fc.HEADER_SIZE:
        return
    options = data[0]
    body = data[fc.HEADER_SIZE :]
    document = body if options & 4 else b"<o>" + body
    holder = [None]
    buffer = bytearray(document) if options & 1 else document
    holder[0] = buffer
    extra = {"custom_types": fc.make_loaders(holder)} if options & 8 else {}
    use_tuples = bool(options & 2)
    include_falsy = not options & 16

    full, full_error = attempt(
        lambda: load_bytes(buffer, ignore_extra_data=True, stop_gc=bool(options & 32), **extra),
        fc.LOAD_ERRORS,
        "load_bytes",
    )
    assert gc.isenabled(), "load_bytes left the collector disabled"
    assert bytes(buffer) == document, "the input buffer was modified"

    strict, _ = attempt(lambda: load_bytes(buffer, use_tuples=use_tuples, **extra), fc.LOAD_ERRORS, "load_bytes")
    if strict is not MISSING and not use_tuples:
        assert full is not MISSING and fc.same_value(full, strict), "strict load differs from lenient load"
    if strict is not MISSING and use_tuples and full is not MISSING:
        assert fc.same_value(full, as_lists(strict)), "use_tuples load differs from plain load"

    whole, whole_error = attempt(lambda: lazy_load_bytes(buffer, [], **extra), fc.LAZY_ERRORS, "lazy_load_bytes")
    if (full is MISSING) != (whole is MISSING) or type(full_error) is not type(whole_error):
        raise AssertionError(f"load_bytes -> {full_error!r} but lazy_load_bytes(doc, []) -> {whole_error!r}")
    if full is not MISSING:
        assert fc.same_value(full, whole), f"load_bytes {full!r} != lazy {whole!r}"

    if full is not MISSING and not extra:
        # whatever was read back is plain data that writes and reads again
        try:
            again = dump_bytes(full)
        except SerializationError as error:
            assert str(error).startswith("Failed to serialize int"), error  # the writer's magnitude bound
        else:
            assert fc.same_value(full, load_bytes(again)), "re-encoded value differs"

    path = fc.path_from(data[1 : fc.HEADER_SIZE])
    found, _ = attempt(lambda: lazy_load_bytes(buffer, path, **extra), fc.LAZY_ERRORS, "lazy_load_bytes", path)
    contained, _ = attempt(
        lambda: bytes_check_if_contains(buffer, path, include_falsy=include_falsy, **extra),
        fc.CHECK_ERRORS,
        "bytes_check_if_contains",
        path,
    )
    assert contained is MISSING or type(contained) is bool
    if found is not MISSING and include_falsy:
        assert contained is True, f"lazy_load_bytes found {found!r} but the check answered {contained!r}"
    assert bytes(buffer) == document, "the input buffer was modified"
    assert sys.exc_info() == (None, None, None)


if __name__ == "__main__":
    fc.run(__file__, TestOneInput)
